#include "session_bus.h"

GDBusConnection *compat::SessionBus() {
  static GDBusConnection *connection = nullptr;
  if (connection == nullptr) {
    GError *error = nullptr;
    connection = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    g_clear_error(&error);
    if (connection != nullptr) {
      // The queue watcher needs no bus: losing it must not end the process.
      g_dbus_connection_set_exit_on_close(connection, FALSE);
    }
  }
  return connection;
}
