/* Hooks that only tests call, to reach failure paths of the platform layer. */
#ifndef COMPAT_ZELCUPS_COMPAT_TESTING_H
#define COMPAT_ZELCUPS_COMPAT_TESTING_H

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

/* The next InstallEventLoopTimer returns status without installing anything. */
CF_EXPORT void CompatTesting_FailNextEventLoopTimerInstall(OSStatus status);

/* Removes every installed event-loop timer, so that a test can end a run whose timers
   (like the agent's) are never removed by their owner. */
CF_EXPORT void CompatTesting_RemoveAllEventLoopTimers(void);

/* The distributed center delivers posts to this process's own observers, on the main
   loop, without a session bus. */
CF_EXPORT void CompatTesting_UseInProcessDistributedCenter(void);

/* Notices go to recorder (header and message as UTF-8) instead of the desktop; null
   restores the desktop. */
typedef void (*CompatTestingNoticeRecorder)(const char *header, const char *message);
CF_EXPORT void CompatTesting_RecordUserNotifications(CompatTestingNoticeRecorder recorder);

CF_EXTERN_C_END

#endif
