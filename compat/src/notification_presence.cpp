#include "zelcups/notification_presence.h"

#include <gio/gio.h>

#include <cstring>

#include "notification_service.h"
#include "session_bus.h"
#include "zelcups/time_limits.h"

namespace {

constexpr gint kBusCallMilliseconds = static_cast<gint>(zelcups::kCheckBusCallLimit.count());

// The reply of one of the bus daemon's own methods, or null when it did not answer.
GVariant *AskBus(GDBusConnection *bus, const char *method, GVariant *arguments,
                 const GVariantType *reply_type) {
  GError *error = nullptr;
  GVariant *reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method,
      arguments, reply_type, G_DBUS_CALL_FLAGS_NONE, kBusCallMilliseconds, nullptr, &error);
  g_clear_error(&error);
  return reply;
}

bool NameHasOwner(GDBusConnection *bus) {
  GVariant *reply = AskBus(bus, "NameHasOwner", g_variant_new("(s)", compat::kNotificationService),
                           G_VARIANT_TYPE("(b)"));
  gboolean owned = FALSE;
  if (reply != nullptr) {
    g_variant_get(reply, "(b)", &owned);
    g_variant_unref(reply);
  }
  return owned;
}

bool NameActivatable(GDBusConnection *bus) {
  GVariant *reply = AskBus(bus, "ListActivatableNames", nullptr, G_VARIANT_TYPE("(as)"));
  if (reply == nullptr) {
    return false;
  }
  GVariantIter *names = nullptr;
  g_variant_get(reply, "(as)", &names);
  bool found = false;
  const gchar *name = nullptr;
  while (!found && g_variant_iter_next(names, "&s", &name)) {
    found = std::strcmp(name, compat::kNotificationService) == 0;
  }
  g_variant_iter_free(names);
  g_variant_unref(reply);
  return found;
}

}  // namespace

NotificationPresence NotificationService_Presence(void) {
  GDBusConnection *bus = compat::SessionBus();
  if (bus == nullptr) {
    return kNotificationServiceNoBus;
  }
  if (NameHasOwner(bus)) {
    return kNotificationServiceRuns;
  }
  return NameActivatable(bus) ? kNotificationServiceActivatable : kNotificationServiceAbsent;
}
