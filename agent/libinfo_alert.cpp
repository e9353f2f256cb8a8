// The alert that tells the user the driver's plug-in could not set up a new queue; its
// body is the queue's name.
#include <CoreFoundation/CoreFoundation.h>

#include "libinfo_alert.h"
#include "zelcups/scoped.h"

bool LibinfoAlert_Show(const char *queue_name) {
  CFBundleRef bundle = CFBundleGetMainBundle();
  zelcups::ScopedCFTypeRef<CFURLRef> icon(
      CFBundleCopyResourceURL(bundle, CFSTR("Printer"), CFSTR("icns"), nullptr));
  zelcups::ScopedCFTypeRef<CFStringRef> header(CFBundleCopyLocalizedString(
      bundle, CFSTR("Libinfo Get Error Title"), CFSTR("Libinfo Get Error Title"), nullptr));
  // With several sessions, or several queues in one tick, an alert that does not say which
  // queue it is about cannot be acted on. A name that is not UTF-8 gives the empty text.
  zelcups::ScopedCFTypeRef<CFStringRef> message(
      queue_name != nullptr
          ? CFStringCreateWithCString(kCFAllocatorDefault, queue_name, kCFStringEncodingUTF8)
          : nullptr);
  if (!message) {
    message.reset(CFBundleCopyLocalizedString(bundle, nullptr, nullptr, nullptr));
  }
  zelcups::ScopedCFTypeRef<CFStringRef> default_button(CFBundleCopyLocalizedString(
      bundle, CFSTR("Bidi Add Error OK"), CFSTR("Bidi Add Error OK"), nullptr));
  zelcups::ScopedCFTypeRef<CFStringRef> alternate_button(
      CFBundleCopyLocalizedString(bundle, nullptr, nullptr, nullptr));
  // Waits until the user answers; the answer changes nothing.
  return CFUserNotificationDisplayAlert(0.0, kCFUserNotificationNoteAlertLevel, icon.get(), nullptr,
                                        nullptr, header.get(), message.get(), default_button.get(),
                                        alternate_button.get(), nullptr, nullptr) == 0;
}
