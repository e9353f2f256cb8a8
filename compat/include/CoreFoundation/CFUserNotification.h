/* User notifications, shown through the desktop's notification service
   (org.freedesktop.Notifications). */
#ifndef COMPAT_COREFOUNDATION_CFUSERNOTIFICATION_H
#define COMPAT_COREFOUNDATION_CFUSERNOTIFICATION_H

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFString.h>

CF_EXTERN_C_BEGIN

typedef const struct __CFURL *CFURLRef;

enum {
  kCFUserNotificationStopAlertLevel = 0,
  kCFUserNotificationNoteAlertLevel = 1,
  kCFUserNotificationCautionAlertLevel = 2,
  kCFUserNotificationPlainAlertLevel = 3,
};

enum {
  kCFUserNotificationDefaultResponse = 0,
  kCFUserNotificationAlternateResponse = 1,
  kCFUserNotificationOtherResponse = 2,
  kCFUserNotificationCancelResponse = 3,
};

/* Shows the notice and returns at once; a timeout of 0 keeps it until the user dismisses
   it. With no notification service nothing is shown. Returns 0. */
CF_EXPORT SInt32 CFUserNotificationDisplayNotice(CFTimeInterval timeout, CFOptionFlags flags,
                                                 CFURLRef iconURL, CFURLRef soundURL,
                                                 CFURLRef localizationURL, CFStringRef alertHeader,
                                                 CFStringRef alertMessage,
                                                 CFStringRef defaultButtonTitle);

CF_EXTERN_C_END

#endif
