/* The running program and its package: an upgrade replaces the executable, a removal
   deletes it, and a copy that runs on would go on working with what is no longer
   installed. */
#ifndef COMPAT_ZELCUPS_OWN_EXECUTABLE_H
#define COMPAT_ZELCUPS_OWN_EXECUTABLE_H

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

/* Watches the program's own executable from the application event loop: once it has been
   replaced or removed and has stayed so for a moment (the package manager may still be
   at work), the loop is asked to quit, as for a quit request. */
CF_EXPORT void OwnExecutable_Watch(void);

/* After the loop has ended: when the executable was replaced, says so and starts the new
   one in this process's place with argv, the quit signals still blocked (returns only if
   that fails); when it was removed, says so. Nothing otherwise. */
CF_EXPORT void OwnExecutable_FollowPackage(char **argv);

CF_EXTERN_C_END

#endif
