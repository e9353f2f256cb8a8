// The Carbon application event loop on GLib's default main context.
#include <Carbon/Carbon.h>

#include <glib-unix.h>
#include <glib.h>

#include <csignal>
#include <cmath>

#include "zelcups/compat_testing.h"

struct OpaqueEventLoopRef {
  int unused;
};

namespace {

OpaqueEventLoopRef g_main_event_loop;
GMainLoop *g_running_loop = nullptr;
bool g_quit_requested = false;
OSStatus g_next_install_status = noErr;

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

gboolean OnQuitSignal(gpointer loop) {
  g_main_loop_quit(static_cast<GMainLoop *>(loop));
  return G_SOURCE_CONTINUE;
}

}  // namespace

EventLoopRef GetMainEventLoop(void) {
  return &g_main_event_loop;
}

OSStatus InstallEventLoopTimer(EventLoopRef inEventLoop, EventTimerInterval inFireDelay,
                               EventTimerInterval inInterval, EventLoopTimerUPP inTimerProc,
                               void *inTimerData, EventLoopTimerRef *outTimer) {
  if (g_next_install_status != noErr) {
    OSStatus status = g_next_install_status;
    g_next_install_status = noErr;
    return status;
  }
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
  // timer that is never removed ends with the process like on the original platform.
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
  if (g_quit_requested) {
    g_quit_requested = false;
    return;
  }
  GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
  GMainLoop *outer = g_running_loop;
  g_running_loop = loop;
  guint signal_sources[] = {
      g_unix_signal_add(SIGTERM, OnQuitSignal, loop),
      g_unix_signal_add(SIGINT, OnQuitSignal, loop),
      g_unix_signal_add(SIGHUP, OnQuitSignal, loop),
  };
  g_main_loop_run(loop);
  for (guint id : signal_sources) {
    g_source_remove(id);
  }
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

void CompatTesting_FailNextEventLoopTimerInstall(OSStatus status) {
  g_next_install_status = status;
}
