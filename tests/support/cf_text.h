// String objects from UTF-8 and back, for tests that build inputs and read results.
#ifndef ZELCUPS_TESTS_SUPPORT_CF_TEXT_H
#define ZELCUPS_TESTS_SUPPORT_CF_TEXT_H

#include <CoreFoundation/CoreFoundation.h>

#include <string>
#include <string_view>
#include <vector>

#include "zelcups/scoped.h"

namespace zelcups_test {

// A string object of a C string; null for null and for bytes that are no UTF-8.
inline zelcups::ScopedCFTypeRef<CFStringRef> Str(const char *utf8) {
  return zelcups::ScopedCFTypeRef<CFStringRef>(
      utf8 == nullptr ? nullptr : CFStringCreateWithCString(nullptr, utf8, kCFStringEncodingUTF8));
}

// A string object of every byte, NULs included.
inline zelcups::ScopedCFTypeRef<CFStringRef> Str(std::string_view bytes) {
  return zelcups::ScopedCFTypeRef<CFStringRef>(
      CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8 *>(bytes.data()),
                              static_cast<CFIndex>(bytes.size()), kCFStringEncodingUTF8, false));
}

// The text of a string object as UTF-8; empty for null, for other objects and for a
// string that has no UTF-8 form.
inline std::string TextOf(CFTypeRef object) {
  if (object == nullptr || CFGetTypeID(object) != CFStringGetTypeID()) {
    return {};
  }
  auto string = static_cast<CFStringRef>(object);
  std::vector<char> buffer(static_cast<size_t>(CFStringGetMaximumSizeForEncoding(
                               CFStringGetLength(string), kCFStringEncodingUTF8)) +
                           1);
  if (!CFStringGetCString(string, buffer.data(), static_cast<CFIndex>(buffer.size()),
                          kCFStringEncodingUTF8)) {
    return {};
  }
  return buffer.data();
}

}  // namespace zelcups_test

#endif
