/* Posted notifications that arrive while long work runs outside the event loop (a tick
   over many queues, a wait on a child or a name server): the work hands them on between
   its steps and while it waits, so that a status notice is not held until it ends. */
#ifndef COMPAT_ZELCUPS_PENDING_POSTS_H
#define COMPAT_ZELCUPS_PENDING_POSTS_H

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN

/* A descriptor that turns readable when posts wait to be handed on, for a wait to poll
   beside its own; -1 before any observer of posted notifications exists (poll ignores
   it). The platform owns it; never read or close it. */
CF_EXPORT int PendingPosts_Descriptor(void);

/* Hands the waiting posts to their observers, as the event loop would, on the thread that
   runs it. Does nothing while an alert waits for its answer (posts wait for it, as they
   do in the loop) or while notices back up at the notification service. */
CF_EXPORT void PendingPosts_Deliver(void);

CF_EXTERN_C_END

#endif
