/* Whether the desktop's notification service is there to show the notices and the
   alert, asked without starting it. */
#ifndef COMPAT_ZELCUPS_NOTIFICATION_PRESENCE_H
#define COMPAT_ZELCUPS_NOTIFICATION_PRESENCE_H

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

typedef enum NotificationPresence {
  kNotificationServiceRuns,        /* a process owns the service's name on the session bus */
  kNotificationServiceActivatable, /* none does, but the bus starts one on the first call */
  kNotificationServiceAbsent,      /* neither: notices and alerts are not shown */
  kNotificationServiceNoBus,       /* there is no session bus to ask */
} NotificationPresence;

/* Asks the session bus; each question is bounded in time and, when the bus does not
   answer, counts as the service being absent. */
CF_EXPORT NotificationPresence NotificationService_Presence(void);

CF_EXTERN_C_END

#endif
