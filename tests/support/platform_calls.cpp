#include <vector>

#include "platform_doubles.h"

namespace zelcups_test {

std::vector<std::string> &PlatformCalls() {
  static std::vector<std::string> calls;
  return calls;
}

}  // namespace zelcups_test
