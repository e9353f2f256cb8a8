// Alerts through the desktop's notification service: a notice with buttons, and a wait for
// the user's answer during which nothing else of the process runs.
#include <gio/gio.h>
#include <glib-unix.h>
#include <poll.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cf_object.h"
#include "cf_url.h"
#include "quit_request.h"
#include "notification_service.h"
#include "session_bus.h"
#include "zelcups/holders.h"
#include "zelcups/time_limits.h"

namespace {

constexpr const char *kService = compat::kNotificationService;
constexpr const char *kPath = compat::kNotificationPath;
constexpr char kBusName[] = "org.freedesktop.DBus";
constexpr char kBusPath[] = "/org/freedesktop/DBus";
constexpr guint kBusCheckSeconds = static_cast<guint>(zelcups::kAlertBusCheckInterval.count());

// GNOME Shell and notification-daemon take "default" as a click on the notice and draw no
// button for it, while others draw every action; so the default button is offered both
// ways, and a click and the labelled button give the same answer.
constexpr char kClickAction[] = "default";

struct ButtonAction {
  const char *key;
  CFOptionFlags response;
};
constexpr ButtonAction kDefaultButton{"button-default", kCFUserNotificationDefaultResponse};
constexpr ButtonAction kAlternateButton{"button-alternate", kCFUserNotificationAlternateResponse};
constexpr ButtonAction kOtherButton{"button-other", kCFUserNotificationOtherResponse};

struct ContextUnref {
  void operator()(GMainContext *context) const { g_main_context_unref(context); }
};
struct ObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
struct SourceDestroy {
  void operator()(GSource *source) const {
    g_source_destroy(source);
    g_source_unref(source);
  }
};
using ScopedContext = std::unique_ptr<GMainContext, ContextUnref>;
using ScopedMessage = std::unique_ptr<GDBusMessage, ObjectUnref>;
using ScopedSource = std::unique_ptr<GSource, SourceDestroy>;

struct Action {
  std::string key;
  std::string label;
  CFOptionFlags response;
};

struct AlertWait {
  std::vector<Action> actions;
  // Known once the service answered Notify; signals queued before that wait in the
  // private context until then.
  guint32 id = 0;
  std::string owner;
  bool done = false;
  bool answered = false;
  bool close_notice = false;
  CFOptionFlags response = kCFUserNotificationCancelResponse;
  int live_subscriptions = 0;
};

// A button whose title is empty gets no action: a button without a label cannot be read.
std::vector<Action> AlertActions(CFStringRef default_title, CFStringRef alternate_title,
                                 CFStringRef other_title) {
  std::vector<Action> actions;
  std::string title = compat::TextOf(default_title);
  if (!title.empty()) {
    actions.push_back({kClickAction, title, kDefaultButton.response});
    actions.push_back({kDefaultButton.key, title, kDefaultButton.response});
  }
  for (const auto &[button, title_object] :
       {std::pair{kAlternateButton, alternate_title}, std::pair{kOtherButton, other_title}}) {
    title = compat::TextOf(title_object);
    if (!title.empty()) {
      actions.push_back({button.key, title, button.response});
    }
  }
  return actions;
}

std::string FileURI(const std::string &path) {
  g_autofree gchar *uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
  return uri == nullptr ? std::string() : uri;
}

// gdk-pixbuf, which most services draw images with, reads SVG only when librsvg's loader
// is installed, PNG always: so the image hint takes a PNG of the same name beside an SVG
// icon when there is one, and the application icon keeps the scalable original.
std::string RasterTwin(const std::string &path) {
  constexpr std::string_view kSvg = ".svg";
  if (path.size() <= kSvg.size() ||
      path.compare(path.size() - kSvg.size(), kSvg.size(), kSvg) != 0) {
    return path;
  }
  std::string png = path.substr(0, path.size() - kSvg.size()) + ".png";
  return g_file_test(png.c_str(), G_FILE_TEST_IS_REGULAR) ? png : path;
}

GVariant *NotifyArguments(const std::string &icon_path, CFOptionFlags flags, CFStringRef header,
                          CFStringRef message, const std::vector<Action> &actions) {
  std::vector<std::pair<std::string, std::string>> pairs;
  for (const Action &action : actions) {
    pairs.emplace_back(action.key, action.label);
  }
  const bool stop_level =
      (flags & kCFUserNotificationAlertLevelMask) == kCFUserNotificationStopAlertLevel;
  const std::string icon = icon_path.empty() ? std::string() : FileURI(icon_path);
  const std::string image = icon_path.empty() ? std::string() : FileURI(RasterTwin(icon_path));
  // Expire timeout 0: the alert stays until it is answered.
  return compat::NotifyArguments(icon, compat::TextOf(header), compat::TextOf(message), pairs,
                                 stop_level ? 2 : 1, image, 0);
}

// The reply's sender is the service's own name on the bus, which its signals come from.
bool ReadNotifyReply(GDBusMessage *reply, guint32 *id, std::string *owner) {
  GError *error = nullptr;
  if (reply == nullptr || g_dbus_message_to_gerror(reply, &error)) {
    g_clear_error(&error);
    return false;
  }
  GVariant *body = g_dbus_message_get_body(reply);
  const char *sender = g_dbus_message_get_sender(reply);
  if (body == nullptr || !g_variant_is_of_type(body, G_VARIANT_TYPE("(u)")) || sender == nullptr) {
    return false;
  }
  g_variant_get(body, "(u)", id);
  *owner = sender;
  return true;
}

void CloseNotice(GDBusConnection *bus, const std::string &owner, guint32 id) {
  // No reply wanted: the notice is gone either way, and the caller must not wait on it.
  g_dbus_connection_call(bus, owner.c_str(), kPath, kService, "CloseNotification",
                         g_variant_new("(u)", id), nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
                         nullptr, nullptr);
}

// One Notify call, shared by the alert and the watch thread that receives the reply. A
// reply that comes after the alert gave up on it closes its notice at once: nobody waits
// for an answer any more, and it would stay on screen for good.
struct NotifyCall {
  NotifyCall(GDBusConnection *connection, GDBusMessage *call)
      : bus(G_DBUS_CONNECTION(g_object_ref(connection))), message(call) {}
  ~NotifyCall() { g_object_unref(bus); }
  GDBusConnection *bus;
  ScopedMessage message;
  std::mutex mutex;
  zelcups::ScopedFd replied{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
  bool done = false;
  bool abandoned = false;
  bool shown = false;
  guint32 id = 0;
  std::string owner;
};
using SharedCall = std::shared_ptr<NotifyCall>;

void OnNotifyReply(GObject *source, GAsyncResult *result, gpointer data) {
  std::unique_ptr<SharedCall> holder(static_cast<SharedCall *>(data));
  NotifyCall &call = **holder;
  ScopedMessage reply(
      g_dbus_connection_send_message_with_reply_finish(G_DBUS_CONNECTION(source), result, nullptr));
  guint32 id = 0;
  std::string owner;
  const bool shown = ReadNotifyReply(reply.get(), &id, &owner);
  std::lock_guard lock(call.mutex);
  if (call.abandoned) {
    if (shown) {
      CloseNotice(call.bus, owner, id);
    }
    return;
  }
  call.done = true;
  call.shown = shown;
  call.id = id;
  call.owner = std::move(owner);
  eventfd_write(call.replied.get(), 1);
}

// On the watch thread, so that the reply is received whatever the caller does meanwhile.
// No time-out of the bus's own: a late reply must still reach OnNotifyReply.
gboolean SendNotifyFromWatch(gpointer data) {
  NotifyCall &call = **static_cast<SharedCall *>(data);
  g_dbus_connection_send_message_with_reply(call.bus, call.message.get(),
                                            G_DBUS_SEND_MESSAGE_FLAGS_NONE, G_MAXINT, nullptr,
                                            nullptr, OnNotifyReply, data);
  return G_SOURCE_REMOVE;
}

// Sends Notify and waits for its reply, at most zelcups::kNotifyLimit and not past a quit request;
// false when no service took it in that time.
bool SendNotify(GDBusConnection *bus, GVariant *arguments, AlertWait *wait) {
  GDBusMessage *message = g_dbus_message_new_method_call(kService, kPath, kService, "Notify");
  g_dbus_message_set_body(message, arguments);
  auto call = std::make_shared<NotifyCall>(bus, message);
  if (call->replied.get() < 0) {
    return false;
  }
  g_main_context_invoke(compat::WatchContext(), SendNotifyFromWatch,
                        std::make_unique<SharedCall>(call).release());
  // One wait for the reply and the quit request, within the limit.
  const auto deadline = std::chrono::steady_clock::now() + zelcups::kNotifyLimit;
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    struct pollfd ready[] = {{call->replied.get(), POLLIN, 0},
                             {compat::QuitDescriptor(), POLLIN, 0}};
    if (left.count() <= 0 ||
        (poll(ready, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) ||
        ready[0].revents != 0 || ready[1].revents != 0) {
      break;
    }
  }
  std::unique_lock lock(call->mutex);
  if (!call->done) {
    call->abandoned = true;
    return false;
  }
  wait->id = call->id;
  wait->owner = call->owner;
  return call->shown;
}

void OnServiceSignal(GDBusConnection *, const gchar *sender, const gchar *, const gchar *,
                     const gchar *signal, GVariant *parameters, gpointer user_data) {
  auto *wait = static_cast<AlertWait *>(user_data);
  // Another client may send look-alike signals, even to us alone.
  if (wait->done || sender == nullptr || wait->owner != sender) {
    return;
  }
  if (g_strcmp0(signal, "ActionInvoked") == 0 &&
      g_variant_is_of_type(parameters, G_VARIANT_TYPE("(us)"))) {
    guint32 id = 0;
    const gchar *key = nullptr;
    g_variant_get(parameters, "(u&s)", &id, &key);
    if (id != wait->id) {
      return;
    }
    for (const Action &action : wait->actions) {
      if (action.key == key) {
        wait->response = action.response;
        wait->answered = true;
        wait->close_notice = true;
        wait->done = true;
        return;
      }
    }
  } else if (g_strcmp0(signal, "NotificationClosed") == 0 &&
             g_variant_is_of_type(parameters, G_VARIANT_TYPE("(uu)"))) {
    guint32 id = 0;
    guint32 reason = 0;
    g_variant_get(parameters, "(uu)", &id, &reason);
    if (id == wait->id) {
      wait->answered = true;
      wait->done = true;
    }
  }
}

// The service that holds the notice lost its name: it quit or crashed, and no answer can
// come any more.
void OnNameOwnerChanged(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                        const gchar *, GVariant *parameters, gpointer user_data) {
  auto *wait = static_cast<AlertWait *>(user_data);
  if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sss)"))) {
    return;
  }
  const gchar *old_owner = nullptr;
  g_variant_get(parameters, "(&s&s&s)", nullptr, &old_owner, nullptr);
  if (!wait->owner.empty() && wait->owner == old_owner) {
    wait->done = true;
  }
}

void OnSubscriptionGone(gpointer user_data) {
  --static_cast<AlertWait *>(user_data)->live_subscriptions;
}

gboolean OnTimeout(gpointer user_data) {
  auto *wait = static_cast<AlertWait *>(user_data);
  wait->close_notice = true;
  wait->done = true;
  return G_SOURCE_REMOVE;
}

// A quit request (the session ending) withdraws the alert: the application must be able
// to end while it waits.
gboolean OnQuitRequest(gint, GIOCondition, gpointer user_data) {
  return OnTimeout(user_data);
}

struct BusCheck {
  GDBusConnection *bus;
  AlertWait *wait;
};

gboolean OnBusCheck(gpointer user_data) {
  auto *check = static_cast<BusCheck *>(user_data);
  if (g_dbus_connection_is_closed(check->bus)) {
    check->wait->done = true;
  }
  return G_SOURCE_CONTINUE;
}

ScopedSource AttachTimeout(GMainContext *context, guint interval_ms, GSourceFunc callback,
                           gpointer data) {
  ScopedSource source(g_timeout_source_new(interval_ms));
  g_source_set_callback(source.get(), callback, data, nullptr);
  g_source_attach(source.get(), context);
  return source;
}

// Runs only the private context until the wait ends, then undoes the subscriptions; their
// last callbacks may still be queued there and must run before the wait record goes.
void WaitForAnswer(GDBusConnection *bus, GMainContext *context, CFTimeInterval timeout,
                   AlertWait *wait, const guint subscriptions[2]) {
  ScopedSource limit;
  if (timeout > 0 && std::isfinite(timeout)) {
    double ms = std::fmin(std::ceil(timeout * 1000.0), static_cast<double>(G_MAXUINT));
    limit = AttachTimeout(context, static_cast<guint>(ms), OnTimeout, wait);
  }
  ScopedSource quit_check(g_unix_fd_source_new(compat::QuitDescriptor(), G_IO_IN));
  g_source_set_callback(quit_check.get(), G_SOURCE_FUNC(OnQuitRequest), wait, nullptr);
  g_source_attach(quit_check.get(), context);
  BusCheck check{bus, wait};
  ScopedSource bus_check = AttachTimeout(context, kBusCheckSeconds * 1000, OnBusCheck, &check);
  while (!wait->done) {
    g_main_context_iteration(context, TRUE);
  }
  bus_check.reset();
  limit.reset();
  quit_check.reset();
  for (int i = 0; i < 2; ++i) {
    g_dbus_connection_signal_unsubscribe(bus, subscriptions[i]);
  }
  while (wait->live_subscriptions > 0) {
    g_main_context_iteration(context, TRUE);
  }
}

}  // namespace

SInt32 CFUserNotificationDisplayAlert(CFTimeInterval timeout, CFOptionFlags flags, CFURLRef iconURL,
                                      CFURLRef, CFURLRef, CFStringRef alertHeader,
                                      CFStringRef alertMessage, CFStringRef defaultButtonTitle,
                                      CFStringRef alternateButtonTitle,
                                      CFStringRef otherButtonTitle, CFOptionFlags *responseFlags) {
  if (responseFlags != nullptr) {
    *responseFlags = kCFUserNotificationCancelResponse;
  }
  GDBusConnection *bus = compat::SessionBus();
  if (bus == nullptr || compat::QuitSignalled()) {
    return -1;
  }
  AlertWait wait;
  wait.actions = AlertActions(defaultButtonTitle, alternateButtonTitle, otherButtonTitle);

  // The signals are delivered to the context that is the thread's default when they are
  // subscribed; a private one keeps the main loop, with its ticks and notices, at rest.
  ScopedContext context(g_main_context_new());
  g_main_context_push_thread_default(context.get());
  // Subscribed before Notify goes out, so that no answer can slip in between. Some services
  // send their signals only to the sender of Notify: this same connection.
  wait.live_subscriptions = 2;
  const guint subscriptions[2] = {
      g_dbus_connection_signal_subscribe(bus, nullptr, kService, nullptr, kPath, nullptr,
                                         G_DBUS_SIGNAL_FLAGS_NONE, OnServiceSignal, &wait,
                                         OnSubscriptionGone),
      g_dbus_connection_signal_subscribe(bus, kBusName, kBusName, "NameOwnerChanged", kBusPath,
                                         kService, G_DBUS_SIGNAL_FLAGS_NONE, OnNameOwnerChanged,
                                         &wait, OnSubscriptionGone),
  };
  compat::NoteAlertWaiting(true);
  bool shown = SendNotify(
      bus,
      NotifyArguments(compat::FilePathOf(iconURL), flags, alertHeader, alertMessage, wait.actions),
      &wait);
  wait.done = !shown;
  WaitForAnswer(bus, context.get(), timeout, &wait, subscriptions);
  compat::NoteAlertWaiting(false);
  g_main_context_pop_thread_default(context.get());

  if (shown && wait.close_notice) {
    CloseNotice(bus, wait.owner, wait.id);
  }
  if (!wait.answered) {
    return -1;
  }
  if (responseFlags != nullptr) {
    *responseFlags = wait.response;
  }
  return 0;
}
