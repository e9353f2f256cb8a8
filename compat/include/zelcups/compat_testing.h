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

CF_EXTERN_C_END

#endif
