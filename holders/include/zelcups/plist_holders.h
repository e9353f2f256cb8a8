// The RAII holders for libplist nodes and texts, and the two calls whose form changed in
// libplist 2.3 (the build defines ZELCUPS_PLIST_2_3 for that form); its users link
// libplist anyway.
#ifndef ZELCUPS_PLIST_HOLDERS_H
#define ZELCUPS_PLIST_HOLDERS_H

#include <plist/plist.h>

#include <cstdint>
#include <memory>

namespace zelcups {

struct PlistFree {
  void operator()(void *node) const noexcept { plist_free(static_cast<plist_t>(node)); }
};
// A property-list node (plist_t is a pointer to void): freed with its children.
using ScopedPlist = std::unique_ptr<void, PlistFree>;

struct PlistTextFree {
  void operator()(char *text) const noexcept {
#if ZELCUPS_PLIST_2_3
    plist_mem_free(text);
#else
    plist_to_xml_free(text);
#endif
  }
};
// A text libplist made (its XML form of a node).
using ScopedPlistText = std::unique_ptr<char, PlistTextFree>;

// The node that BYTES (XML or binary) describe, or null.
inline ScopedPlist PlistFromMemory(const char *bytes, uint32_t length) {
  plist_t root = nullptr;
#if ZELCUPS_PLIST_2_3
  plist_from_memory(bytes, length, &root, nullptr);
#else
  plist_from_memory(bytes, length, &root);
#endif
  return ScopedPlist(root);
}

}  // namespace zelcups

#endif
