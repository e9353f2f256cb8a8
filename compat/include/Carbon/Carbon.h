/* The part of the Carbon event loop that the agent uses, on the GLib main loop. */
#ifndef COMPAT_CARBON_CARBON_H
#define COMPAT_CARBON_CARBON_H

#include <CoreFoundation/CoreFoundation.h>

CF_EXTERN_C_BEGIN

typedef struct OpaqueEventLoopRef *EventLoopRef;
typedef struct __EventLoopTimer *EventLoopTimerRef;
typedef double EventTimerInterval;
typedef void (*EventLoopTimerProcPtr)(EventLoopTimerRef inTimer, void *inUserData);
typedef EventLoopTimerProcPtr EventLoopTimerUPP;

#define kEventDurationSecond ((EventTimerInterval)1.0)
#define kEventDurationNoWait ((EventTimerInterval)0.0)
#define kEventDurationForever ((EventTimerInterval)(-1.0))

static inline EventLoopTimerUPP NewEventLoopTimerUPP(EventLoopTimerProcPtr proc) {
  return proc;
}
static inline void DisposeEventLoopTimerUPP(EventLoopTimerUPP upp) {
  (void)upp;
}

/* The main thread's loop. From the first call on, the process's quit requests (SIGTERM,
   SIGINT, SIGHUP) ask the application to quit instead of ending the process. */
CF_EXPORT EventLoopRef GetMainEventLoop(void);
/* A timer that first fires inFireDelay seconds from now and then every inInterval
   seconds (0 fires once). paramErr for a NULL loop, procedure or a negative time. */
CF_EXPORT OSStatus InstallEventLoopTimer(EventLoopRef inEventLoop, EventTimerInterval inFireDelay,
                                         EventTimerInterval inInterval,
                                         EventLoopTimerUPP inTimerProc, void *inTimerData,
                                         EventLoopTimerRef *outTimer);
CF_EXPORT OSStatus RemoveEventLoopTimer(EventLoopTimerRef inTimer);
/* Runs until QuitApplicationEventLoop or until the process is asked to quit
   (SIGTERM, SIGINT or SIGHUP). A quit asked for while no loop runs makes the next run
   return at once. */
CF_EXPORT void RunApplicationEventLoop(void);
CF_EXPORT void QuitApplicationEventLoop(void);

CF_EXTERN_C_END

#endif
