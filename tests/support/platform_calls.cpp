#include <vector>

#include "platform_doubles.h"

namespace zelcups_test {

std::vector<std::string> &PlatformCalls() {
  static std::vector<std::string> calls;
  return calls;
}

std::string TextOf(CFTypeRef object) {
  if (object == nullptr || CFGetTypeID(object) != CFStringGetTypeID()) {
    return {};
  }
  auto string = static_cast<CFStringRef>(object);
  std::vector<char> buffer(static_cast<size_t>(CFStringGetMaximumSizeForEncoding(
                               CFStringGetLength(string), kCFStringEncodingUTF8)) +
                           1);
  CFStringGetCString(string, buffer.data(), static_cast<CFIndex>(buffer.size()),
                     kCFStringEncodingUTF8);
  return buffer.data();
}

}  // namespace zelcups_test
