// The session bus, shared by the notification center and the user notifications.
#ifndef COMPAT_SRC_SESSION_BUS_H
#define COMPAT_SRC_SESSION_BUS_H

#include <gio/gio.h>

namespace compat {

// The process's session-bus connection, or null when there is no session bus. Not
// owned by the caller. A failed attempt is retried on the next call.
GDBusConnection *SessionBus();

}  // namespace compat

#endif
