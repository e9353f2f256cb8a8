/* Hooks that only tests call, to reach failure paths of the platform layer. */
#ifndef COMPAT_ZELCUPS_COMPAT_TESTING_H
#define COMPAT_ZELCUPS_COMPAT_TESTING_H

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

/* The next InstallEventLoopTimer returns status without installing anything. */
CF_EXPORT void CompatTesting_FailNextEventLoopTimerInstall(OSStatus status);

CF_EXTERN_C_END

#endif
