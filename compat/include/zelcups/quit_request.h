/* Whether the platform has asked the application to quit, for work that runs outside the
   event loop (a long tick, a wait) and must stop at the next safe point. */
#ifndef COMPAT_ZELCUPS_QUIT_REQUEST_H
#define COMPAT_ZELCUPS_QUIT_REQUEST_H

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

/* True once a quit request (SIGTERM, SIGINT, SIGHUP) has arrived after the first call of
   GetMainEventLoop; it stays true until the process ends. */
CF_EXPORT Boolean QuitRequest_Received(void);

/* A descriptor that turns readable when a quit request arrives and stays so, for work
   that waits on descriptors of its own (a child, a connection): it polls this one beside
   them and stops when it turns readable. The platform owns it; never read or close it. */
CF_EXPORT int QuitRequest_Descriptor(void);

/* Around a call into code that cannot be asked to stop (a foreign plug-in): when a quit
   request comes while it runs, or finds it running, and it has not returned 0.8 s later,
   the process ends there with status 0. Calls nest. */
CF_EXPORT void QuitRequest_EnterUnstoppableCode(void);
CF_EXPORT void QuitRequest_LeaveUnstoppableCode(void);

CF_EXTERN_C_END

#endif
