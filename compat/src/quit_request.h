// Whether the platform has asked the application to quit: shared by the event loop, which
// ends on it, and the alert, whose wait must not outlast it.
#ifndef COMPAT_SRC_QUIT_REQUEST_H
#define COMPAT_SRC_QUIT_REQUEST_H

#include <glib.h>

#include <csignal>

namespace compat {

// The quit signals (SIGTERM, SIGINT, SIGHUP) the application answers.
inline constexpr int kQuitSignals[] = {SIGTERM, SIGINT, SIGHUP};

// True once a quit signal has arrived, at once, whatever the main thread does; it stays
// true until the process ends.
bool QuitSignalled();

// Readable from the first quit signal on, for the rest of the process: a wait polls it
// beside what it waits for. Never read or closed by its users.
int QuitDescriptor();

// A context that a thread of its own serves for the life of the process: what it holds
// (the quit signals, late replies) is answered while the main thread is busy.
GMainContext *WatchContext();

}  // namespace compat

#endif
