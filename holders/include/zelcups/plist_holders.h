// The RAII holder for libplist nodes; its users link libplist anyway.
#ifndef ZELCUPS_PLIST_HOLDERS_H
#define ZELCUPS_PLIST_HOLDERS_H

#include <plist/plist.h>

#include <memory>

namespace zelcups {

struct PlistFree {
  void operator()(void *node) const noexcept { plist_free(static_cast<plist_t>(node)); }
};
// A property-list node (plist_t is a pointer to void): freed with its children.
using ScopedPlist = std::unique_ptr<void, PlistFree>;

}  // namespace zelcups

#endif
