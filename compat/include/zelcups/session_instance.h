/* One running copy of a program per user session. */
#ifndef COMPAT_ZELCUPS_SESSION_INSTANCE_H
#define COMPAT_ZELCUPS_SESSION_INSTANCE_H

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

/* Claims the session for the program called name, for as long as the process lives; the
   claim goes with the process, however it ends. False when another process holds it. A
   session without a bus is still one session: the claim lives in the user's runtime
   folder, not on the bus. */
CF_EXPORT Boolean SessionInstance_Claim(const char *name);

CF_EXTERN_C_END

#endif
