// The real event-loop timers, with a failure on request and every installation and
// removal logged.
#include <csignal>
#include <utility>

#include "platform_doubles.h"

extern "C" OSStatus __real_InstallEventLoopTimer(EventLoopRef, EventTimerInterval,
                                                 EventTimerInterval, EventLoopTimerUPP, void *,
                                                 EventLoopTimerRef *);
extern "C" OSStatus __real_RemoveEventLoopTimer(EventLoopTimerRef);

namespace {

OSStatus g_next_install_status = noErr;

}  // namespace

namespace zelcups_test {

void FailNextTimerInstall(OSStatus status) {
  g_next_install_status = status;
}

}  // namespace zelcups_test

extern "C" OSStatus __wrap_InstallEventLoopTimer(EventLoopRef inEventLoop,
                                                 EventTimerInterval inFireDelay,
                                                 EventTimerInterval inInterval,
                                                 EventLoopTimerUPP inTimerProc, void *inTimerData,
                                                 EventLoopTimerRef *outTimer) {
  zelcups_test::PlatformCalls().push_back("InstallEventLoopTimer");
  if (g_next_install_status != noErr) {
    return std::exchange(g_next_install_status, noErr);
  }
  return __real_InstallEventLoopTimer(inEventLoop, inFireDelay, inInterval, inTimerProc,
                                      inTimerData, outTimer);
}

extern "C" OSStatus __wrap_RemoveEventLoopTimer(EventLoopTimerRef inTimer) {
  zelcups_test::PlatformCalls().push_back("RemoveEventLoopTimer");
  return __real_RemoveEventLoopTimer(inTimer);
}
