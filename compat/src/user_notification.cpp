// User notifications through the desktop's notification service.
#include <gio/gio.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <string>

#include "cf_object.h"
#include "notification_service.h"
#include "session_bus.h"
#include "zelcups/journal.h"

namespace {

// Notices sent and not yet answered, on the main thread alone.
constexpr int kMaxNoticesInFlight = 100;
int g_notices_in_flight = 0;

// Whether the last notice found a notification service, told once each time it changes:
// without one, every notice is lost, and the user cannot know.
enum class ServiceSeen { kNotYet, kPresent, kMissing };
ServiceSeen g_service_seen = ServiceSeen::kNotYet;

void NoteService(const GError *error) {
  const bool missing =
      error != nullptr && (g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
                           g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER) ||
                           g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NO_REPLY) ||
                           g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT));
  if (missing && g_service_seen != ServiceSeen::kMissing) {
    fprintf(stderr,
            "%s%s: no notification service answers on the session bus; status notices are "
            "not shown until one does\n",
            Journal_Prefix(kJournalWarning), program_invocation_short_name);
    g_service_seen = ServiceSeen::kMissing;
  } else if (error == nullptr && g_service_seen != ServiceSeen::kPresent) {
    if (g_service_seen == ServiceSeen::kMissing) {
      fprintf(stderr, "%s%s: a notification service answers again; status notices are shown\n",
              Journal_Prefix(kJournalNotice), program_invocation_short_name);
    }
    g_service_seen = ServiceSeen::kPresent;
  }
}

// The service's reply is of no interest but for whether there was one; the call only
// has to go out in order.
void DiscardReply(GObject *source, GAsyncResult *result, gpointer) {
  GError *error = nullptr;
  GVariant *reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
  if (reply != nullptr) {
    g_variant_unref(reply);
  }
  NoteService(error);
  g_clear_error(&error);
  if (g_notices_in_flight-- == kMaxNoticesInFlight) {
    compat::ResumePostDelivery();
  }
}

}  // namespace

bool compat::NoticesBackedUp() {
  return g_notices_in_flight >= kMaxNoticesInFlight;
}

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
  ++g_notices_in_flight;
  g_dbus_connection_call(
      bus, compat::kNotificationService, compat::kNotificationPath, compat::kNotificationService,
      "Notify", compat::NotifyArguments("", summary, body, {}, 1, "", expire_ms),
      G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, DiscardReply, nullptr);
  // No flush: the connection's worker thread writes the call at once. An asynchronous
  // flush per notice parks a thread-pool thread that waits for the worker, whose own
  // flush needs a pool thread too; a burst of notices starved the pool and the notices
  // then trickled out over minutes.
  return 0;
}
