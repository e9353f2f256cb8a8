// The alert against a stand-in notification service on a private session bus.
#include <Carbon/Carbon.h>
#include <CoreFoundation/CoreFoundation.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "scoped_temp_dir.h"
#include "cf_text.h"
#include "zelcups/scoped.h"

using zelcups::ScopedCFTypeRef;
using Clock = std::chrono::steady_clock;

namespace {

using zelcups_test::Str;

constexpr char kName[] = "org.freedesktop.Notifications";
constexpr char kPath[] = "/org/freedesktop/Notifications";

// One private session bus for the whole run: the process keeps its session connection for
// good, so the bus must outlive every test.
class PrivateBus : public ::testing::Environment {
 public:
  void SetUp() override {
    bus_ = g_test_dbus_new(G_TEST_DBUS_NONE);
    g_test_dbus_up(bus_);
  }
  void TearDown() override { g_test_dbus_stop(bus_); }
  static GTestDBus *bus_;
};
GTestDBus *PrivateBus::bus_ = nullptr;
const auto *const kBusEnvironment = ::testing::AddGlobalTestEnvironment(new PrivateBus);

struct NotifyCall {
  std::string icon, summary, body, image_path;
  std::vector<std::string> actions;
  guint8 urgency = 0;
  gint32 expire = -2;
};

// What the service does once it has answered Notify.
enum class Reaction { kNothing, kInvoke, kClose, kLeave, kSpoofThenClose };

constexpr char kIntrospection[] =
    "<node><interface name='org.freedesktop.Notifications'>"
    "<method name='Notify'><arg type='s' direction='in'/><arg type='u' direction='in'/>"
    "<arg type='s' direction='in'/><arg type='s' direction='in'/><arg type='s' direction='in'/>"
    "<arg type='as' direction='in'/><arg type='a{sv}' direction='in'/>"
    "<arg type='i' direction='in'/><arg type='u' direction='out'/></method>"
    "<method name='CloseNotification'><arg type='u' direction='in'/></method>"
    "</interface></node>";

// The service on a connection and thread of its own, as a desktop's would be.
class FakeService {
 public:
  FakeService(Reaction reaction, std::string action = "", guint delay_ms = 0)
      : reaction_(reaction), action_(std::move(action)), delay_ms_(delay_ms) {
    thread_ = std::thread([this] { Run(); });
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return ready_; });
  }
  ~FakeService() {
    g_main_context_invoke(
        context_,
        [](gpointer loop) -> gboolean {
          g_main_loop_quit(static_cast<GMainLoop *>(loop));
          return G_SOURCE_REMOVE;
        },
        loop_);
    thread_.join();
  }

  std::vector<NotifyCall> calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  std::vector<guint32> closed() {
    std::lock_guard lock(mutex_);
    return closed_;
  }
  bool WaitForClose(guint32 id) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [&] {
      return std::find(closed_.begin(), closed_.end(), id) != closed_.end();
    });
  }

 private:
  void Run() {
    context_ = g_main_context_new();
    g_main_context_push_thread_default(context_);
    loop_ = g_main_loop_new(context_, false);
    connection_ = g_dbus_connection_new_for_address_sync(
        g_test_dbus_get_bus_address(PrivateBus::bus_),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    GDBusNodeInfo *node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
    static const GDBusInterfaceVTable vtable = {OnMethod, nullptr, nullptr, {}};
    g_dbus_connection_register_object(connection_, kPath, node->interfaces[0], &vtable, this,
                                      nullptr, nullptr);
    g_dbus_node_info_unref(node);
    RequestName("RequestName", g_variant_new("(su)", kName, 4u));
    {
      std::lock_guard lock(mutex_);
      ready_ = true;
    }
    changed_.notify_all();
    g_main_loop_run(loop_);
    g_dbus_connection_close_sync(connection_, nullptr, nullptr);
    g_object_unref(connection_);
    g_main_loop_unref(loop_);
    g_main_context_pop_thread_default(context_);
    g_main_context_unref(context_);
  }

  void RequestName(const char *method, GVariant *arguments) {
    GVariant *reply = g_dbus_connection_call_sync(
        connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        method, arguments, nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
    if (reply != nullptr) {
      g_variant_unref(reply);
    }
  }

  void Emit(GDBusConnection *from, const char *signal, GVariant *arguments) {
    g_dbus_connection_emit_signal(from, client_.c_str(), kPath, kName, signal, arguments, nullptr);
  }

  static void OnMethod(GDBusConnection *, const gchar *sender, const gchar *, const gchar *,
                       const gchar *method, GVariant *parameters, GDBusMethodInvocation *invocation,
                       gpointer user_data) {
    auto *self = static_cast<FakeService *>(user_data);
    std::unique_lock lock(self->mutex_);
    if (g_strcmp0(method, "CloseNotification") == 0) {
      guint32 id = 0;
      g_variant_get(parameters, "(u)", &id);
      self->closed_.push_back(id);
      lock.unlock();
      self->changed_.notify_all();
      g_dbus_method_invocation_return_value(invocation, nullptr);
      return;
    }
    NotifyCall call;
    const gchar *icon, *summary, *body;
    GVariantIter *actions;
    GVariant *hints;
    g_variant_get(parameters, "(&su&s&s&sas@a{sv}i)", nullptr, nullptr, &icon, &summary, &body,
                  &actions, &hints, &call.expire);
    call.icon = icon;
    call.summary = summary;
    call.body = body;
    for (const gchar *action; g_variant_iter_loop(actions, "&s", &action);) {
      call.actions.emplace_back(action);
    }
    g_variant_iter_free(actions);
    const gchar *image_path = nullptr;
    g_variant_lookup(hints, "image-path", "&s", &image_path);
    call.image_path = image_path != nullptr ? image_path : "";
    g_variant_lookup(hints, "urgency", "y", &call.urgency);
    g_variant_unref(hints);
    self->calls_.push_back(call);
    self->client_ = sender;
    guint32 id = 40 + static_cast<guint32>(self->calls_.size());
    lock.unlock();
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", id));
    if (self->delay_ms_ == 0) {
      self->React(id);
      return;
    }
    self->pending_id_ = id;
    GSource *later = g_timeout_source_new(self->delay_ms_);
    g_source_set_callback(
        later,
        [](gpointer data) -> gboolean {
          auto *service = static_cast<FakeService *>(data);
          service->React(service->pending_id_);
          return G_SOURCE_REMOVE;
        },
        self, nullptr);
    g_source_attach(later, self->context_);
    g_source_unref(later);
  }

  // Unicast to the client, as some services do.
  void React(guint32 id) {
    switch (reaction_) {
      case Reaction::kNothing:
        break;
      case Reaction::kInvoke:
        Emit(connection_, "ActionInvoked", g_variant_new("(us)", id, action_.c_str()));
        break;
      case Reaction::kClose:
        Emit(connection_, "NotificationClosed", g_variant_new("(uu)", id, 2u));
        break;
      case Reaction::kLeave:
        RequestName("ReleaseName", g_variant_new("(s)", kName));
        break;
      case Reaction::kSpoofThenClose: {
        GDBusConnection *other = g_dbus_connection_new_for_address_sync(
            g_test_dbus_get_bus_address(PrivateBus::bus_),
            GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                 G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr);
        Emit(other, "ActionInvoked", g_variant_new("(us)", id, "button-default"));
        g_dbus_connection_flush_sync(other, nullptr, nullptr);
        g_object_unref(other);
        g_usleep(100000);
        Emit(connection_, "NotificationClosed", g_variant_new("(uu)", id, 2u));
        break;
      }
    }
  }

  const Reaction reaction_;
  const std::string action_;
  const guint delay_ms_;
  guint32 pending_id_ = 0;
  std::thread thread_;
  GMainContext *context_ = nullptr;
  GMainLoop *loop_ = nullptr;
  GDBusConnection *connection_ = nullptr;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool ready_ = false;
  std::vector<NotifyCall> calls_;
  std::vector<guint32> closed_;
  std::string client_;
};

struct Answer {
  SInt32 result;
  CFOptionFlags response;
  double seconds;
};

Answer Show(const char *ok, const char *alternate = "", const char *other = nullptr,
            CFURLRef icon = nullptr, CFTimeInterval timeout = 0) {
  CFOptionFlags response = 99;
  Clock::time_point start = Clock::now();
  SInt32 result = CFUserNotificationDisplayAlert(
      timeout, kCFUserNotificationNoteAlertLevel, icon, nullptr, nullptr, Str("Header").get(),
      Str("Message").get(), Str(ok).get(), Str(alternate).get(), Str(other).get(), &response);
  return {result, response, std::chrono::duration<double>(Clock::now() - start).count()};
}

TEST(UserAlert, NotifyCarriesTheAlert) {
  ScopedTempDir folder;
  std::string svg = folder.path() + "/Printer.svg";
  std::ofstream(svg) << "<svg/>";
  ScopedCFTypeRef<CFURLRef> icon(
      CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8 *>(svg.data()),
                                              static_cast<CFIndex>(svg.size()), false));
  for (bool with_png : {false, true}) {
    if (with_png) {
      std::ofstream(folder.path() + "/Printer.png") << "png";
    }
    FakeService service(Reaction::kClose);
    Show("OK", "", nullptr, icon.get());
    ASSERT_EQ(service.calls().size(), 1u);
    NotifyCall call = service.calls()[0];
    EXPECT_EQ(call.summary, "Header");
    EXPECT_EQ(call.body, "Message");
    EXPECT_EQ(call.icon, "file://" + svg);
    EXPECT_EQ(call.image_path,
              "file://" + folder.path() + (with_png ? "/Printer.png" : "/Printer.svg"));
    EXPECT_EQ(call.expire, 0);
    EXPECT_EQ(call.urgency, 1);
  }
}

TEST(UserAlert, OneActionPerButtonWithATitle) {
  using Actions = std::vector<std::string>;
  struct Row {
    const char *ok, *alternate, *other;
    Actions expected;
  } rows[] = {
      {"OK", "", nullptr, {"default", "OK", "button-default", "OK"}},
      {"OK",
       "Cancel",
       "More",
       {"default", "OK", "button-default", "OK", "button-alternate", "Cancel", "button-other",
        "More"}},
      {"", "Cancel", nullptr, {"button-alternate", "Cancel"}},
      {nullptr, nullptr, "", {}},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    FakeService service(Reaction::kClose);
    Show(rows[i].ok, rows[i].alternate, rows[i].other);
    ASSERT_EQ(service.calls().size(), 1u) << "row " << i;
    EXPECT_EQ(service.calls()[0].actions, rows[i].expected) << "row " << i;
  }
}

TEST(UserAlert, AnActionAnswersAndClosesTheNotice) {
  struct Row {
    const char *action;
    CFOptionFlags response;
  } rows[] = {
      {"default", kCFUserNotificationDefaultResponse},
      {"button-default", kCFUserNotificationDefaultResponse},
      {"button-alternate", kCFUserNotificationAlternateResponse},
      {"button-other", kCFUserNotificationOtherResponse},
  };
  for (const Row &row : rows) {
    FakeService service(Reaction::kInvoke, row.action);
    Answer answer = Show("OK", "Cancel", "More");
    EXPECT_EQ(answer.result, 0) << row.action;
    EXPECT_EQ(answer.response, row.response) << row.action;
    EXPECT_TRUE(service.WaitForClose(41)) << row.action;
  }
}

TEST(UserAlert, ClosingOrLosingTheServiceEndsTheWait) {
  struct Row {
    Reaction reaction;
    SInt32 result;
  } rows[] = {
      {Reaction::kClose, 0},
      {Reaction::kLeave, -1},
      // a look-alike answer from another client changes nothing
      {Reaction::kSpoofThenClose, 0},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    FakeService service(rows[i].reaction);
    Answer answer = Show("OK");
    EXPECT_EQ(answer.result, rows[i].result) << "row " << i;
    EXPECT_EQ(answer.response, kCFUserNotificationCancelResponse) << "row " << i;
    EXPECT_TRUE(service.closed().empty()) << "row " << i;
  }
}

TEST(UserAlert, WithoutAServiceItReturnsAtOnce) {
  Answer answer = Show("OK");
  EXPECT_EQ(answer.result, -1);
  EXPECT_EQ(answer.response, kCFUserNotificationCancelResponse);
  EXPECT_LT(answer.seconds, 1.0);
}

TEST(UserAlert, ATimeoutEndsTheWaitAndClosesTheNotice) {
  FakeService service(Reaction::kNothing);
  Answer answer = Show("OK", "", nullptr, nullptr, 0.3);
  EXPECT_EQ(answer.result, -1);
  EXPECT_GE(answer.seconds, 0.3);
  EXPECT_TRUE(service.WaitForClose(41));
}

// The wait runs no timer or callback of the main loop: no tick and no notice meanwhile.
TEST(UserAlert, TheMainContextRestsWhileItWaits) {
  bool fired = false;
  g_timeout_add(
      10,
      [](gpointer flag) -> gboolean {
        *static_cast<bool *>(flag) = true;
        return G_SOURCE_REMOVE;
      },
      &fired);
  FakeService service(Reaction::kInvoke, "button-default", 300);
  Answer answer = Show("OK");
  EXPECT_EQ(answer.result, 0);
  EXPECT_GE(answer.seconds, 0.3);
  EXPECT_FALSE(fired);
  while (!fired) {
    g_main_context_iteration(nullptr, true);
  }
}

// Posted text over 4 KiB is cut on a letter's boundary, with an ellipsis.
char g_heard[8192];
TEST(DistributedCenter, LongTextIsCut) {
  std::string text = "ab";
  while (text.size() < 6000)
    text += "\xC3\xA9";
  auto heard = [](CFNotificationCenterRef, void *, CFNotificationName, const void *,
                  CFDictionaryRef info) {
    CFStringGetCString(static_cast<CFStringRef>(CFDictionaryGetValue(info, CFSTR("Message"))),
                       g_heard, sizeof g_heard, kCFStringEncodingUTF8);
  };
  CFNotificationCenterRef center = CFNotificationCenterGetDistributedCenter();
  CFNotificationCenterAddObserver(center, g_heard, heard, CFSTR("Long"), nullptr,
                                  CFNotificationSuspensionBehaviorDeliverImmediately);
  auto message = Str(text.c_str());
  const void *key = CFSTR("Message"), *value = message.get();
  ScopedCFTypeRef<CFDictionaryRef> info(CFDictionaryCreate(
      nullptr, &key, &value, 1, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  CFNotificationCenterPostNotification(center, CFSTR("Long"), nullptr, info.get(), true);
  for (auto end = Clock::now() + std::chrono::seconds(10); !*g_heard && Clock::now() < end;)
    g_main_context_iteration(nullptr, false);
  EXPECT_EQ(g_heard, text.substr(0, 4092) + "\u2026");
}

}  // namespace

// The session ending must not wait for the user: a quit request withdraws the alert, and
// no further alert is shown. In a process of its own, since the request stays.
TEST(UserAlertDeathTest, AQuitRequestWithdrawsTheAlert) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        GetMainEventLoop();  // from here on the quit signals are caught
        FakeService service(Reaction::kNothing);
        std::thread quitter([] {
          std::this_thread::sleep_for(std::chrono::milliseconds(300));
          kill(getpid(), SIGTERM);
        });
        Answer answer = Show("OK", "", nullptr, nullptr, 5.0);  // the limit only guards the test
        quitter.join();
        const bool closed = service.WaitForClose(41);
        Answer again = Show("OK", "", nullptr, nullptr, 2.0);
        const bool ok = answer.result == -1 && answer.seconds < 4.0 && closed &&
                        again.result == -1 && again.seconds < 1.0 && service.calls().size() == 1;
        exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}
