// The Carbon application event loop on GLib's default main context.
#include <Carbon/Carbon.h>

#include <glib-unix.h>
#include <glib.h>

#include "zelcups/journal.h"
#include "quit_request.h"
#include "zelcups/quit_request.h"
#include "zelcups/time_limits.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <mutex>

struct OpaqueEventLoopRef {
  int unused;
};

namespace {

OpaqueEventLoopRef g_main_event_loop;
// The running loop and a quit request that it has not yet answered, or that came before
// any ran.
std::mutex g_loop_mutex;
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

std::atomic<bool> g_quit_signalled{false};
// Readable from the first quit signal on, and never read: every wait polls it.
int g_quit_fd = -1;

// Code that cannot be asked to stop (a foreign plug-in) and since when it runs.
std::atomic<int> g_unstoppable_depth{0};
std::atomic<gint64> g_unstoppable_since{0};
std::atomic<gint64> g_quit_time{0};
void AttachSource(GSource *source, GMainContext *context) {
  g_source_attach(source, context);
  g_source_unref(source);
}

// How long a quit waits for unstoppable code to return before the process ends without
// it: the session's end must not wait on a plug-in that hangs.
constexpr gint64 kUnstoppableGraceUs =
    std::chrono::microseconds(zelcups::kUnstoppableCodeGrace).count();

void WatchUnstoppableCode();

// On the watch thread, when the grace may be over: measured from the later of the quit
// and the call's start. Written with write(2), not stdio: the code that hangs may hold
// standard error's lock.
gboolean CheckUnstoppableCode(gpointer) {
  if (g_unstoppable_depth.load() > 0) {
    const gint64 due =
        std::max(g_quit_time.load(), g_unstoppable_since.load()) + kUnstoppableGraceUs;
    if (g_get_monotonic_time() >= due) {
      static constexpr char kMessage[] = ": quitting while foreign code has not returned\n";
      const char *prefix = Journal_Prefix(kJournalWarning);
      const ssize_t written[] = {write(STDERR_FILENO, prefix, strlen(prefix)),
                                 write(STDERR_FILENO, program_invocation_short_name,
                                       strlen(program_invocation_short_name)),
                                 write(STDERR_FILENO, kMessage, sizeof kMessage - 1)};
      static_cast<void>(written);
      _exit(0);
    }
    WatchUnstoppableCode();
  }
  return G_SOURCE_REMOVE;
}

// One timer for the moment unstoppable code running after a quit outstays the grace.
void WatchUnstoppableCode() {
  const gint64 due = std::max(g_quit_time.load(), g_unstoppable_since.load()) + kUnstoppableGraceUs;
  const gint64 left_us = std::max<gint64>(due - g_get_monotonic_time(), 0);
  GSource *check = g_timeout_source_new(static_cast<guint>((left_us + 999) / 1000));
  g_source_set_callback(check, CheckUnstoppableCode, nullptr, nullptr);
  AttachSource(check, compat::WatchContext());
}

void OnQuitSignal() {
  if (!g_quit_signalled.exchange(true)) {
    g_quit_time.store(g_get_monotonic_time());
    eventfd_write(g_quit_fd, 1);
    if (g_unstoppable_depth.load() > 0) {
      WatchUnstoppableCode();
    }
  }
  QuitApplicationEventLoop();
}

gboolean ReadQuitSignals(gint signal_fd, GIOCondition, gpointer) {
  signalfd_siginfo info;
  while (read(signal_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    OnQuitSignal();
  }
  return G_SOURCE_CONTINUE;
}

// A quit request ends the loop that runs, or the next one. It is a source of the loop
// itself, not a call on the loop from outside: a loop that is about to run but does not
// run yet would not see such a call, and the request would be lost.
bool QuitRequestPending() {
  std::lock_guard lock(g_loop_mutex);
  return g_quit_requested && g_running_loop != nullptr;
}

gboolean PrepareQuitRequest(GSource *, gint *timeout) {
  *timeout = -1;
  return QuitRequestPending();
}

gboolean CheckQuitRequest(GSource *) {
  return QuitRequestPending();
}

gboolean DispatchQuitRequest(GSource *, GSourceFunc, gpointer) {
  std::lock_guard lock(g_loop_mutex);
  if (g_quit_requested && g_running_loop != nullptr) {
    g_quit_requested = false;
    g_main_loop_quit(g_running_loop);
  }
  return G_SOURCE_CONTINUE;
}

GSourceFuncs g_quit_request_funcs = {
    PrepareQuitRequest, CheckQuitRequest, DispatchQuitRequest, nullptr, nullptr, nullptr};

// The platform's quit request is SIGTERM, SIGINT or SIGHUP. The agent blocks them before
// it starts (see early_start.cpp); from the application's first look at its main event
// loop on, they are blocked in the calling thread too and read through a descriptor, so a
// signal that comes while the application starts up, runs or shuts down asks it to quit,
// whenever it came. The descriptor is read on a thread of its own, since the main loop
// does not run while a callback works (a tick, an alert's wait) and the request must be
// seen at once all the same; and by the main loop, which alone sees a signal sent to the
// main thread.
void CatchQuitRequests() {
  static const bool kCaught = [] {
    sigset_t quit_signals;
    sigemptyset(&quit_signals);
    for (int signal_number : compat::kQuitSignals) {
      sigaddset(&quit_signals, signal_number);
    }
    pthread_sigmask(SIG_BLOCK, &quit_signals, nullptr);
    g_quit_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    const int signal_fd = signalfd(-1, &quit_signals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (g_quit_fd < 0 || signal_fd < 0) {
      // Without them a quit signal would never be seen; its default action at least
      // ends the process.
      fprintf(stderr, "%s%s: quit requests cannot be read: %s\n", Journal_Prefix(kJournalError),
              program_invocation_short_name, g_strerror(errno));
      pthread_sigmask(SIG_UNBLOCK, &quit_signals, nullptr);
      return false;
    }
    for (GMainContext *context : {compat::WatchContext(), g_main_context_default()}) {
      GSource *source = g_unix_fd_source_new(signal_fd, G_IO_IN);
      g_source_set_callback(source, G_SOURCE_FUNC(ReadQuitSignals), nullptr, nullptr);
      AttachSource(source, context);
    }
    GSource *request = g_source_new(&g_quit_request_funcs, sizeof(GSource));
    g_source_set_name(request, "QuitRequest");
    AttachSource(request, g_main_context_default());
    return true;
  }();
  static_cast<void>(kCaught);
}

gpointer ServeWatchContext(gpointer data) {
  auto *context = static_cast<GMainContext *>(data);
  g_main_context_push_thread_default(context);
  for (;;) {
    g_main_context_iteration(context, TRUE);
  }
  return nullptr;
}

}  // namespace

namespace compat {

GMainContext *WatchContext() {
  static GMainContext *const kContext = [] {
    GMainContext *context = g_main_context_new();
    g_thread_unref(g_thread_new("compat-watch", ServeWatchContext, context));
    return context;
  }();
  return kContext;
}

bool QuitSignalled() {
  return g_quit_signalled.load();
}

int QuitDescriptor() {
  CatchQuitRequests();
  return g_quit_fd;
}

}  // namespace compat

Boolean QuitRequest_Received(void) {
  return compat::QuitSignalled();
}

int QuitRequest_Descriptor(void) {
  return compat::QuitDescriptor();
}

void QuitRequest_EnterUnstoppableCode(void) {
  // Only the main thread enters: the start is stored before the depth shows it.
  if (g_unstoppable_depth.load() == 0) {
    g_unstoppable_since.store(g_get_monotonic_time());
  }
  if (g_unstoppable_depth.fetch_add(1) == 0 && g_quit_signalled.load()) {
    WatchUnstoppableCode();
  }
}

void QuitRequest_LeaveUnstoppableCode(void) {
  g_unstoppable_depth.fetch_sub(1);
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
  GMainLoop *loop = nullptr;
  GMainLoop *outer = nullptr;
  {
    std::lock_guard lock(g_loop_mutex);
    if (g_quit_requested) {
      g_quit_requested = false;
      return;
    }
    loop = g_main_loop_new(nullptr, FALSE);
    outer = g_running_loop;
    g_running_loop = loop;
  }
  g_main_loop_run(loop);
  {
    std::lock_guard lock(g_loop_mutex);
    g_running_loop = outer;
  }
  g_main_loop_unref(loop);
}

void QuitApplicationEventLoop(void) {
  {
    std::lock_guard lock(g_loop_mutex);
    g_quit_requested = true;
  }
  g_main_context_wakeup(nullptr);
}
