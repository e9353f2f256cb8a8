/* User notifications, shown through the desktop's notification service
   (org.freedesktop.Notifications). */
#ifndef COMPAT_COREFOUNDATION_CFUSERNOTIFICATION_H
#define COMPAT_COREFOUNDATION_CFUSERNOTIFICATION_H

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFString.h>
#include <CoreFoundation/CFURL.h>

CF_EXTERN_C_BEGIN

enum {
  kCFUserNotificationStopAlertLevel = 0,
  kCFUserNotificationNoteAlertLevel = 1,
  kCFUserNotificationCautionAlertLevel = 2,
  kCFUserNotificationPlainAlertLevel = 3,
  kCFUserNotificationAlertLevelMask = 3,
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

/* Shows an alert and waits until the user answers it with a button or closes it, until
   timeout seconds have passed (0: no limit), or until the notification service leaves
   the bus. Each button with a non-empty title becomes an action; the default button is
   also the action taken by a click on the notice. The icon is shown from iconURL (an SVG
   file; a PNG beside it of the same name is offered to services that draw only raster
   images). Sound and localization locations are not used. Nothing else of the process runs
   on the main loop meanwhile. Returns 0 when the user answered, -1 when no notification
   service took the alert, it timed out or the service left; *responseFlags, when given,
   is one of the responses above (Cancel for anything but a button). */
CF_EXPORT SInt32 CFUserNotificationDisplayAlert(
    CFTimeInterval timeout, CFOptionFlags flags, CFURLRef iconURL, CFURLRef soundURL,
    CFURLRef localizationURL, CFStringRef alertHeader, CFStringRef alertMessage,
    CFStringRef defaultButtonTitle, CFStringRef alternateButtonTitle, CFStringRef otherButtonTitle,
    CFOptionFlags *responseFlags);

CF_EXTERN_C_END

#endif
