// Notices are recorded, not shown.
#include "platform_doubles.h"

namespace zelcups_test {

std::vector<Notice> &Notices() {
  static std::vector<Notice> notices;
  return notices;
}

}  // namespace zelcups_test

extern "C" SInt32 __wrap_CFUserNotificationDisplayNotice(CFTimeInterval, CFOptionFlags, CFURLRef,
                                                         CFURLRef, CFURLRef,
                                                         CFStringRef alertHeader,
                                                         CFStringRef alertMessage, CFStringRef) {
  zelcups_test::Notices().push_back(
      {zelcups_test::TextOf(alertHeader), zelcups_test::TextOf(alertMessage)});
  return 0;
}
