// User notifications through the desktop's notification service.
#include <gio/gio.h>

#include <cmath>
#include <string>

#include "cf_object.h"
#include "session_bus.h"

namespace {

constexpr char kService[] = "org.freedesktop.Notifications";
constexpr char kPath[] = "/org/freedesktop/Notifications";
constexpr char kApplicationName[] = "zelcups-agent";

// The service's reply is of no interest; the call only has to go out in order.
void DiscardReply(GObject *source, GAsyncResult *result, gpointer) {
  GError *error = nullptr;
  GVariant *reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
  if (reply != nullptr) {
    g_variant_unref(reply);
  }
  g_clear_error(&error);
}

}  // namespace

SInt32 CFUserNotificationDisplayNotice(CFTimeInterval timeout, CFOptionFlags, CFURLRef, CFURLRef,
                                       CFURLRef, CFStringRef alertHeader, CFStringRef alertMessage,
                                       CFStringRef) {
  std::string summary = compat::TextOf(alertHeader);
  std::string body = compat::TextOf(alertMessage);
  GDBusConnection *bus = compat::SessionBus();
  if (bus == nullptr) {
    return 0;
  }
  // 0 keeps the notice on screen until the user dismisses it.
  gint32 expire_ms = timeout > 0 && std::isfinite(timeout)
                         ? static_cast<gint32>(std::fmin(timeout * 1000.0, G_MAXINT32))
                         : 0;
  GVariantBuilder actions;
  g_variant_builder_init(&actions, G_VARIANT_TYPE_STRING_ARRAY);
  GVariantBuilder hints;
  g_variant_builder_init(&hints, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&hints, "{sv}", "urgency", g_variant_new_byte(1));
  g_dbus_connection_call(bus, kService, kPath, kService, "Notify",
                         g_variant_new("(susssasa{sv}i)", kApplicationName, 0u, "", summary.c_str(),
                                       body.c_str(), &actions, &hints, expire_ms),
                         G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, DiscardReply,
                         nullptr);
  // No flush: the connection's worker thread writes the call at once. An asynchronous
  // flush per notice parks a thread-pool thread that waits for the worker, whose own
  // flush needs a pool thread too; a burst of notices starved the pool and the notices
  // then trickled out over minutes.
  return 0;
}
