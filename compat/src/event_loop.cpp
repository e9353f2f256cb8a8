// The Carbon application event loop on GLib's default main context.
#include <Carbon/Carbon.h>

#include <glib-unix.h>
#include <glib.h>

#include "quit_request.h"
#include "zelcups/quit_request.h"

#include <cmath>
#include <csignal>
#include <initializer_list>

struct OpaqueEventLoopRef {
  int unused;
};

namespace {

OpaqueEventLoopRef g_main_event_loop;
GMainLoop *g_running_loop = nullptr;
bool g_quit_requested = false;

// The timer record lives inside its GSource, so the source owns it.
struct TimerSource {
  GSource source;
  EventLoopTimerUPP proc;
  void *user_data;
  gint64 interval_us;
};

gboolean DispatchTimer(GSource *source, GSourceFunc, gpointer) {
  auto *timer = reinterpret_cast<TimerSource *>(source);
  gint64 due = g_source_get_ready_time(source);
  if (timer->interval_us > 0) {
    // Keep the phase of the original schedule, but never queue up missed fires: a
    // callback that blocked for a while is followed by one fire, not a burst.
    gint64 next = due + timer->interval_us;
    gint64 now = g_get_monotonic_time();
    if (next <= now) {
      next = now + timer->interval_us;
    }
    g_source_set_ready_time(source, next);
  } else {
    g_source_set_ready_time(source, -1);
  }
  timer->proc(reinterpret_cast<EventLoopTimerRef>(timer), timer->user_data);
  return G_SOURCE_CONTINUE;
}

GSourceFuncs g_timer_funcs = {nullptr, nullptr, DispatchTimer, nullptr, nullptr, nullptr};

gint64 SecondsToMicroseconds(EventTimerInterval seconds) {
  return static_cast<gint64>(std::llround(seconds * G_USEC_PER_SEC));
}

bool g_quit_signalled = false;

gboolean OnQuitSignal(gpointer) {
  compat::NoteQuitSignal();
  QuitApplicationEventLoop();
  return G_SOURCE_CONTINUE;
}

// The platform's quit request is SIGTERM, SIGINT or SIGHUP. From the application's first
// look at its main event loop to the end of the process, such a signal asks it to quit:
// one that comes while the application starts up ends the loop as soon as it runs, and
// one that comes while it shuts down is simply not answered. Left to the default action,
// either would kill the process in the middle of its start-up or teardown.
void CatchQuitRequests() {
  static const bool kCaught = [] {
    for (int signal_number : compat::kQuitSignals) {
      g_unix_signal_add(signal_number, OnQuitSignal, nullptr);
    }
    return true;
  }();
  static_cast<void>(kCaught);
}

}  // namespace

namespace compat {

bool QuitSignalled() {
  return g_quit_signalled;
}

void NoteQuitSignal() {
  g_quit_signalled = true;
}

}  // namespace compat

Boolean CompatQuitRequested(void) {
  return compat::QuitSignalled();
}

EventLoopRef GetMainEventLoop(void) {
  CatchQuitRequests();
  return &g_main_event_loop;
}

OSStatus InstallEventLoopTimer(EventLoopRef inEventLoop, EventTimerInterval inFireDelay,
                               EventTimerInterval inInterval, EventLoopTimerUPP inTimerProc,
                               void *inTimerData, EventLoopTimerRef *outTimer) {
  if (inEventLoop != &g_main_event_loop || inTimerProc == nullptr || !(inFireDelay >= 0) ||
      !(inInterval >= 0) || !std::isfinite(inFireDelay) || !std::isfinite(inInterval)) {
    return paramErr;
  }
  GSource *source = g_source_new(&g_timer_funcs, sizeof(TimerSource));
  auto *timer = reinterpret_cast<TimerSource *>(source);
  timer->proc = inTimerProc;
  timer->user_data = inTimerData;
  timer->interval_us = SecondsToMicroseconds(inInterval);
  g_source_set_name(source, "EventLoopTimer");
  g_source_set_ready_time(source, g_get_monotonic_time() + SecondsToMicroseconds(inFireDelay));
  g_source_attach(source, nullptr);
  if (outTimer != nullptr) {
    *outTimer = reinterpret_cast<EventLoopTimerRef>(timer);
  }
  // The context holds the source from here on; our own reference is not needed, and a
  // timer that is never removed ends with the process.
  g_source_unref(source);
  return noErr;
}

OSStatus RemoveEventLoopTimer(EventLoopTimerRef inTimer) {
  if (inTimer == nullptr) {
    return paramErr;
  }
  g_source_destroy(reinterpret_cast<GSource *>(inTimer));
  return noErr;
}

void RunApplicationEventLoop(void) {
  CatchQuitRequests();
  if (g_quit_requested) {
    g_quit_requested = false;
    return;
  }
  GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
  GMainLoop *outer = g_running_loop;
  g_running_loop = loop;
  g_main_loop_run(loop);
  g_running_loop = outer;
  g_main_loop_unref(loop);
}

void QuitApplicationEventLoop(void) {
  if (g_running_loop != nullptr) {
    g_main_loop_quit(g_running_loop);
  } else {
    g_quit_requested = true;
  }
}
