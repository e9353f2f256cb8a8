/* Notification centers. The distributed center carries notifications between processes
   over the session bus: object path /com/arvex/DistributedNotifications, interface
   com.arvex.DistributedNotifications, signal Notification (s name, s object, a{sv}
   user_info), the empty string standing for a null object. */
#ifndef COMPAT_COREFOUNDATION_CFNOTIFICATIONCENTER_H
#define COMPAT_COREFOUNDATION_CFNOTIFICATIONCENTER_H

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFString.h>

CF_EXTERN_C_BEGIN

typedef struct __CFNotificationCenter *CFNotificationCenterRef;
typedef CFStringRef CFNotificationName;

typedef void (*CFNotificationCallback)(CFNotificationCenterRef center, void *observer,
                                       CFNotificationName name, const void *object,
                                       CFDictionaryRef userInfo);

typedef CFIndex CFNotificationSuspensionBehavior;
enum {
  CFNotificationSuspensionBehaviorDrop = 1,
  CFNotificationSuspensionBehaviorCoalesce = 2,
  CFNotificationSuspensionBehaviorHold = 3,
  CFNotificationSuspensionBehaviorDeliverImmediately = 4,
};

CF_EXPORT CFTypeID CFNotificationCenterGetTypeID(void);
CF_EXPORT CFNotificationCenterRef CFNotificationCenterGetDistributedCenter(void);

/* Observers are called on the main loop. A null name observes every name, a null object
   every poster. Without a session bus nothing is registered and nothing fails. */
CF_EXPORT void CFNotificationCenterAddObserver(CFNotificationCenterRef center, const void *observer,
                                               CFNotificationCallback callBack, CFStringRef name,
                                               const void *object,
                                               CFNotificationSuspensionBehavior suspensionBehavior);
/* Removes the observer's registrations that match name and object (null matches any). */
CF_EXPORT void CFNotificationCenterRemoveObserver(CFNotificationCenterRef center,
                                                  const void *observer, CFNotificationName name,
                                                  const void *object);
CF_EXPORT void CFNotificationCenterRemoveEveryObserver(CFNotificationCenterRef center,
                                                       const void *observer);
/* object must be a string object or null. User-info values that are strings, numbers,
   booleans, data, arrays and dictionaries with string keys travel; others are left out. */
CF_EXPORT void CFNotificationCenterPostNotification(CFNotificationCenterRef center,
                                                    CFNotificationName name, const void *object,
                                                    CFDictionaryRef userInfo,
                                                    Boolean deliverImmediately);

CF_EXTERN_C_END

#endif
