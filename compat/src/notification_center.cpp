// The distributed notification center over the session bus.
#include <gio/gio.h>
#include <malloc.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "zelcups/journal.h"
#include "cf_object.h"
#include "notification_service.h"
#include "session_bus.h"
#include "zelcups/pending_posts.h"
#include "zelcups/scoped.h"
#include "zelcups/time_limits.h"

namespace {

constexpr char kObjectPath[] = "/com/arvex/DistributedNotifications";
constexpr char kInterface[] = "com.arvex.DistributedNotifications";
constexpr char kSignal[] = "Notification";

// Posts that arrived and wait for the main loop, which does not run while a callback
// works or an alert waits. A flood would otherwise pile up without limit; the newest are
// kept, as they tell the present state. A burst while the loop runs is shown whole; while
// an alert waits, which may be for hours, fewer are kept.
constexpr std::size_t kMaxPendingPosts = 16384;
constexpr std::size_t kMaxPendingPostsWhileAlert = 1000;
constexpr std::size_t kMaxPendingBytes = 8 * 1024 * 1024;
// Posts handed to observers per turn of the main loop, so that timers run in a flood.
constexpr int kPostsPerTurn = 64;
// No text longer than this is handed on: more than any notice can show, and a poster
// could send megabytes.
constexpr std::size_t kMaxTextBytes = 4096;
constexpr char kEllipsis[] = "\u2026";
constexpr guint kSettleMs = static_cast<guint>(zelcups::kNoticeFloodSettle.count());
// malloc keeps freed memory for reuse; after this many posts, hand it back.
constexpr unsigned kTrimAfterPosts = 500;

struct Observer {
  CFNotificationCenterRef center;
  const void *token;
  CFNotificationCallback callback;
  bool any_name;
  std::string name;
  bool any_object;
  std::string object;
  guint subscription = 0;
  bool removed = false;
};

// D-Bus values to CF objects: integers and doubles become numbers, strings strings, byte
// arrays data, a{sv} dictionaries; anything else an object of a type no one asks for.
CFTypeRef ToCF(GVariant *value);

CFDictionaryRef DictionaryFromVariant(GVariant *dictionary) {
  CFMutableDictionaryRef result = CFDictionaryCreateMutable(
      nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  GVariantIter iter;
  g_variant_iter_init(&iter, dictionary);
  const gchar *key = nullptr;
  GVariant *value = nullptr;
  while (g_variant_iter_next(&iter, "{&sv}", &key, &value)) {
    g_autoptr(GVariant) owned_value = value;
    const zelcups::ScopedCFTypeRef<CFStringRef> key_object(compat::NewStringFromUTF8(key));
    const zelcups::ScopedCFTypeRef<CFTypeRef> value_object(ToCF(owned_value));
    CFDictionarySetValue(result, key_object.get(), value_object.get());
  }
  return result;
}

CFTypeRef ToCF(GVariant *value) {
  const GVariantType *type = g_variant_get_type(value);
  int64_t integer = 0;
  bool is_integer = true;
  if (g_variant_type_equal(type, G_VARIANT_TYPE_BYTE)) {
    integer = g_variant_get_byte(value);
  } else if (g_variant_type_equal(type, G_VARIANT_TYPE_INT16)) {
    integer = g_variant_get_int16(value);
  } else if (g_variant_type_equal(type, G_VARIANT_TYPE_UINT16)) {
    integer = g_variant_get_uint16(value);
  } else if (g_variant_type_equal(type, G_VARIANT_TYPE_INT32)) {
    integer = g_variant_get_int32(value);
  } else if (g_variant_type_equal(type, G_VARIANT_TYPE_UINT32)) {
    integer = g_variant_get_uint32(value);
  } else if (g_variant_type_equal(type, G_VARIANT_TYPE_INT64)) {
    integer = g_variant_get_int64(value);
  } else if (g_variant_type_equal(type, G_VARIANT_TYPE_UINT64)) {
    guint64 unsigned_value = g_variant_get_uint64(value);
    if (unsigned_value > static_cast<guint64>(INT64_MAX)) {
      double real = static_cast<double>(unsigned_value);
      return CFNumberCreate(nullptr, kCFNumberFloat64Type, &real);
    }
    integer = static_cast<int64_t>(unsigned_value);
  } else {
    is_integer = false;
  }
  if (is_integer) {
    return CFNumberCreate(nullptr, kCFNumberSInt64Type, &integer);
  }
  if (g_variant_type_equal(type, G_VARIANT_TYPE_DOUBLE)) {
    double real = g_variant_get_double(value);
    return CFNumberCreate(nullptr, kCFNumberFloat64Type, &real);
  }
  if (g_variant_type_equal(type, G_VARIANT_TYPE_STRING)) {
    gsize length = 0;
    const gchar *text = g_variant_get_string(value, &length);
    if (length <= kMaxTextBytes) {
      return compat::NewStringFromUTF8(text);
    }
    // Cut on a character boundary: D-Bus strings are valid UTF-8.
    gsize cut = kMaxTextBytes - (sizeof(kEllipsis) - 1);
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
      --cut;
    }
    return compat::NewStringFromUTF8((std::string(text, cut) + kEllipsis).c_str());
  }
  if (g_variant_type_equal(type, G_VARIANT_TYPE_BYTESTRING)) {
    gsize length = 0;
    const void *bytes = g_variant_get_fixed_array(value, &length, 1);
    return CFDataCreate(nullptr, static_cast<const UInt8 *>(bytes), static_cast<CFIndex>(length));
  }
  if (g_variant_type_equal(type, G_VARIANT_TYPE_VARDICT)) {
    return DictionaryFromVariant(value);
  }
  return compat::NewOpaqueObject();
}

// CF objects to D-Bus values for posting; null for what has no D-Bus form.
GVariant *ToVariant(CFTypeRef object);

void AddToBuilder(const void *key, const void *value, void *context) {
  if (CFGetTypeID(key) != CFStringGetTypeID()) {
    return;
  }
  GVariant *variant = ToVariant(value);
  if (variant != nullptr) {
    g_variant_builder_add(static_cast<GVariantBuilder *>(context), "{sv}",
                          compat::UTF8Of(static_cast<CFStringRef>(key)).c_str(), variant);
  }
}

GVariant *VardictOf(CFDictionaryRef dictionary) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
  CFDictionaryApplyFunction(dictionary, AddToBuilder, &builder);
  return g_variant_builder_end(&builder);
}

// D-Bus values, one per property-list type.
struct VariantMaker {
  GVariant *operator()(CFStringRef string) const {
    return g_variant_new_string(compat::UTF8Of(string).c_str());
  }
  GVariant *operator()(CFNumberRef number) const {
    if (CFNumberIsFloatType(number)) {
      double real = 0;
      CFNumberGetValue(number, kCFNumberFloat64Type, &real);
      return g_variant_new_double(real);
    }
    int32_t small = 0;
    if (CFNumberGetValue(number, kCFNumberSInt32Type, &small)) {
      return g_variant_new_int32(small);
    }
    int64_t large = 0;
    CFNumberGetValue(number, kCFNumberSInt64Type, &large);
    return g_variant_new_int64(large);
  }
  GVariant *operator()(CFBooleanRef boolean) const {
    return g_variant_new_boolean(CFBooleanGetValue(boolean));
  }
  GVariant *operator()(CFDataRef data) const {
    return g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, CFDataGetBytePtr(data),
                                     static_cast<gsize>(CFDataGetLength(data)), 1);
  }
  GVariant *operator()(CFArrayRef array) const {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("av"));
    for (CFIndex i = 0; i < CFArrayGetCount(array); ++i) {
      GVariant *item = ToVariant(CFArrayGetValueAtIndex(array, i));
      if (item != nullptr) {
        g_variant_builder_add(&builder, "v", item);
      }
    }
    return g_variant_builder_end(&builder);
  }
  GVariant *operator()(CFDictionaryRef dictionary) const { return VardictOf(dictionary); }
};

GVariant *ToVariant(CFTypeRef object) {
  return compat::VisitPropertyListObject<GVariant *>(object, VariantMaker{});
}

}  // namespace

struct __CFNotificationCenter : compat::CFObject {
  __CFNotificationCenter() : CFObject(compat::kTypeIDNotificationCenter) { immortal = true; }
  // Registrations in the order made; list nodes stay put while others come and go.
  std::list<std::unique_ptr<Observer>> observers;
};

namespace {

__CFNotificationCenter g_distributed_center;

bool Wants(const Observer &observer, const std::string &name, const std::string &object) {
  return !observer.removed && (observer.any_name || observer.name == name) &&
         (observer.any_object || observer.object == object);
}

void Deliver(Observer *observer, const gchar *name, const gchar *object, GVariant *user_info) {
  const zelcups::ScopedCFTypeRef<CFStringRef> name_object(compat::NewStringFromUTF8(name));
  const zelcups::ScopedCFTypeRef<CFStringRef> poster(
      *object != '\0' ? compat::NewStringFromUTF8(object) : nullptr);
  // An empty user-info dictionary arrives as none, as when the poster gave none.
  const zelcups::ScopedCFTypeRef<CFDictionaryRef> info(
      g_variant_n_children(user_info) > 0 ? DictionaryFromVariant(user_info) : nullptr);
  observer->callback(observer->center, const_cast<void *>(observer->token), name_object.get(),
                     poster.get(), info.get());
}

// Pending posts: the parameters of each signal, (ssa{sv}), oldest first.
struct PostInbox {
  std::mutex mutex;
  std::deque<GVariant *> posts;
  std::size_t bytes = 0;
  unsigned long long dropped = 0;
  // A delivery is scheduled on the main loop, or waits for the notices to drain.
  bool delivery_due = false;
  // While the bus filter fills it; once it stops, nothing more is kept.
  bool taking = false;
  // The descriptor was made readable for the posts that wait; set again only once the
  // inbox has been emptied, so that work which cannot hand them on now (the notices back
  // up) is not woken again and again.
  bool signalled = false;
};
PostInbox g_inbox;
// Readable while posts wait, for work outside the loop (PendingPosts_Descriptor).
int g_posts_waiting = -1;
std::atomic<bool> g_alert_waiting{false};
bool g_delivery_stalled = false;
gint64 g_last_delivery_us = 0;
unsigned g_posts_since_trim = 0;
guint g_settle_source = 0;

// Observers removed while a delivery runs: it may still come to them, so they are freed
// once no delivery runs any more.
int g_deliveries_running = 0;
std::vector<std::unique_ptr<Observer>> g_removed_during_delivery;

void DeliverPost(GVariant *parameters) {
  const gchar *name = nullptr;
  const gchar *object = nullptr;
  g_autoptr(GVariant) user_info = nullptr;
  g_variant_get(parameters, "(&s&s@a{sv})", &name, &object, &user_info);
  std::vector<Observer *> observers;
  for (auto &registration : g_distributed_center.observers) {
    observers.push_back(registration.get());
  }
  ++g_deliveries_running;
  for (Observer *observer : observers) {
    if (Wants(*observer, name, object)) {
      Deliver(observer, name, object, user_info);
    }
  }
  if (--g_deliveries_running == 0) {
    g_removed_during_delivery.clear();
  }
}

gboolean Settle(gpointer) {
  const bool pending = [] {
    std::lock_guard lock(g_inbox.mutex);
    return !g_inbox.posts.empty();
  }();
  if (pending || g_get_monotonic_time() - g_last_delivery_us < gint64{kSettleMs} * 1000) {
    return G_SOURCE_CONTINUE;
  }
  unsigned long long dropped = 0;
  {
    std::lock_guard lock(g_inbox.mutex);
    dropped = std::exchange(g_inbox.dropped, 0);
  }
  if (dropped > 0) {
    fprintf(stderr, "%s%s: %llu posted notifications dropped while busy (the newest kept)\n",
            Journal_Prefix(kJournalWarning), program_invocation_short_name, dropped);
  }
  // GLib and malloc keep what a flood freed for reuse, which never comes.
  if (g_posts_since_trim >= kTrimAfterPosts) {
    malloc_trim(0);
  }
  g_posts_since_trim = 0;
  g_settle_source = 0;
  return G_SOURCE_REMOVE;
}

void QuietenPostsWaiting() {
  eventfd_t count = 0;
  if (g_posts_waiting >= 0) {
    eventfd_read(g_posts_waiting, &count);
  }
}

// The oldest waiting post, or null once the inbox is empty (which ends the signal).
GVariant *TakeOldestPost() {
  std::lock_guard lock(g_inbox.mutex);
  if (g_inbox.posts.empty()) {
    g_inbox.delivery_due = false;
    if (std::exchange(g_inbox.signalled, false)) {
      QuietenPostsWaiting();
    }
    return nullptr;
  }
  GVariant *post = g_inbox.posts.front();
  g_inbox.posts.pop_front();
  g_inbox.bytes -= g_variant_get_size(post);
  return post;
}

void DeliverOldestPost(GVariant *post) {
  DeliverPost(post);
  g_variant_unref(post);
  ++g_posts_since_trim;
  g_last_delivery_us = g_get_monotonic_time();
  if (g_settle_source == 0) {
    g_settle_source = g_timeout_add(kSettleMs, Settle, nullptr);
  }
}

gboolean DeliverPendingPosts(gpointer) {
  for (int i = 0; i < kPostsPerTurn; ++i) {
    if (compat::NoticesBackedUp()) {
      g_delivery_stalled = true;
      return G_SOURCE_REMOVE;
    }
    GVariant *post = TakeOldestPost();
    if (post == nullptr) {
      return G_SOURCE_REMOVE;
    }
    DeliverOldestPost(post);
  }
  return G_SOURCE_CONTINUE;
}

void ScheduleDelivery() {
  GSource *source = g_idle_source_new();
  g_source_set_callback(source, DeliverPendingPosts, nullptr, nullptr);
  g_source_attach(source, g_main_context_default());
  g_source_unref(source);
}

void KeepPost(GVariant *post) {
  bool schedule = false;
  {
    std::lock_guard lock(g_inbox.mutex);
    if (!g_inbox.taking) {
      g_variant_unref(post);
      return;
    }
    g_inbox.posts.push_back(post);
    g_inbox.bytes += g_variant_get_size(post);
    const std::size_t limit =
        g_alert_waiting.load() ? kMaxPendingPostsWhileAlert : kMaxPendingPosts;
    while (g_inbox.posts.size() > limit ||
           (g_inbox.bytes > kMaxPendingBytes && g_inbox.posts.size() > 1)) {
      g_inbox.bytes -= g_variant_get_size(g_inbox.posts.front());
      g_variant_unref(g_inbox.posts.front());
      g_inbox.posts.pop_front();
      ++g_inbox.dropped;
    }
    schedule = !std::exchange(g_inbox.delivery_due, true);
    if (!std::exchange(g_inbox.signalled, true) && g_posts_waiting >= 0) {
      eventfd_write(g_posts_waiting, 1);
    }
  }
  if (schedule) {
    ScheduleDelivery();
  }
}

// On the connection's worker thread: the posts go to the bounded inbox instead of one
// dispatch each on the main loop, where they would pile up while it is busy.
GDBusMessage *TakePosts(GDBusConnection *, GDBusMessage *message, gboolean incoming, gpointer) {
  if (!incoming || g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_SIGNAL ||
      g_strcmp0(g_dbus_message_get_path(message), kObjectPath) != 0 ||
      g_strcmp0(g_dbus_message_get_interface(message), kInterface) != 0 ||
      g_strcmp0(g_dbus_message_get_member(message), kSignal) != 0) {
    return message;
  }
  GVariant *body = g_dbus_message_get_body(message);
  if (body != nullptr && g_variant_is_of_type(body, G_VARIANT_TYPE("(ssa{sv})"))) {
    KeepPost(g_variant_ref(body));
  }
  g_object_unref(message);
  return nullptr;
}

guint g_filter = 0;

void StopTakingPosts();

void StartTakingPosts(GDBusConnection *bus) {
  if (g_filter != 0) {
    return;
  }
  if (g_posts_waiting < 0) {
    g_posts_waiting = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  }
  {
    std::lock_guard lock(g_inbox.mutex);
    g_inbox.taking = true;
  }
  g_filter = g_dbus_connection_add_filter(bus, TakePosts, nullptr, nullptr);
  // Registered after the inbox was made, so it runs before the inbox goes.
  static const bool kAtExit = std::atexit(StopTakingPosts) == 0;
  static_cast<void>(kAtExit);
}

// The filter runs on GDBus's own thread, which goes on until the process ends, and may be
// in the middle of a post while it is removed: after this the inbox takes none, so no post
// outlives the last observer or reaches an inbox that exit takes apart.
void StopTakingPosts() {
  if (g_filter == 0) {
    return;
  }
  if (GDBusConnection *bus = compat::SessionBus()) {
    g_dbus_connection_remove_filter(bus, g_filter);
  }
  g_filter = 0;
  std::lock_guard lock(g_inbox.mutex);
  g_inbox.taking = false;
  for (GVariant *post : g_inbox.posts) {
    g_variant_unref(post);
  }
  g_inbox.posts.clear();
  g_inbox.bytes = 0;
}

// The subscription only asks the bus for the posts; TakePosts receives them.
void OnSignal(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *,
              GVariant *, gpointer) {}

void Unsubscribe(Observer &observer) {
  observer.removed = true;
  GDBusConnection *bus = observer.subscription != 0 ? compat::SessionBus() : nullptr;
  if (bus != nullptr) {
    g_dbus_connection_signal_unsubscribe(bus, observer.subscription);
  }
  observer.subscription = 0;
}

}  // namespace

CFTypeID CFNotificationCenterGetTypeID(void) {
  return compat::kTypeIDNotificationCenter;
}

CFNotificationCenterRef CFNotificationCenterGetDistributedCenter(void) {
  return &g_distributed_center;
}

void CFNotificationCenterAddObserver(CFNotificationCenterRef center, const void *observer,
                                     CFNotificationCallback callBack, CFStringRef name,
                                     const void *object, CFNotificationSuspensionBehavior) {
  if (center != &g_distributed_center || callBack == nullptr) {
    return;
  }
  auto registration = std::make_unique<Observer>(
      Observer{center, observer, callBack, name == nullptr, compat::TextOf(name), object == nullptr,
               compat::TextOf(object)});
  GDBusConnection *bus = compat::SessionBus();
  if (bus == nullptr) {
    return;
  }
  StartTakingPosts(bus);
  // The bus filters by name (arg0) so that unrelated notifications never wake us.
  registration->subscription = g_dbus_connection_signal_subscribe(
      bus, nullptr, kInterface, kSignal, kObjectPath,
      registration->any_name ? nullptr : registration->name.c_str(), G_DBUS_SIGNAL_FLAGS_NONE,
      OnSignal, nullptr, nullptr);
  center->observers.push_back(std::move(registration));
}

void CFNotificationCenterRemoveObserver(CFNotificationCenterRef center, const void *observer,
                                        CFNotificationName name, const void *object) {
  if (center != &g_distributed_center) {
    return;
  }
  std::string wanted_name = compat::TextOf(name);
  std::string wanted_object = compat::TextOf(object);
  for (auto it = center->observers.begin(); it != center->observers.end();) {
    Observer &registration = **it;
    if (registration.token == observer &&
        (name == nullptr || (!registration.any_name && registration.name == wanted_name)) &&
        (object == nullptr || (!registration.any_object && registration.object == wanted_object))) {
      Unsubscribe(registration);
      if (g_deliveries_running > 0) {
        g_removed_during_delivery.push_back(std::move(*it));
      }
      it = center->observers.erase(it);
    } else {
      ++it;
    }
  }
  if (center->observers.empty()) {
    StopTakingPosts();
  }
}

void CFNotificationCenterRemoveEveryObserver(CFNotificationCenterRef center, const void *observer) {
  CFNotificationCenterRemoveObserver(center, observer, nullptr, nullptr);
}

void CFNotificationCenterPostNotification(CFNotificationCenterRef center, CFNotificationName name,
                                          const void *object, CFDictionaryRef userInfo, Boolean) {
  if (center != &g_distributed_center || CFGetTypeID(name) != CFStringGetTypeID()) {
    return;
  }
  g_autoptr(GVariant) user_info = g_variant_ref_sink(VardictOf(userInfo));
  std::string poster = compat::TextOf(object);
  GDBusConnection *bus = compat::SessionBus();
  if (bus != nullptr) {
    g_dbus_connection_emit_signal(
        bus, nullptr, kObjectPath, kInterface, kSignal,
        g_variant_new("(ss@a{sv})", compat::TextOf(name).c_str(), poster.c_str(), user_info),
        nullptr);
    g_dbus_connection_flush_sync(bus, nullptr, nullptr);
  }
}

int PendingPosts_Descriptor(void) {
  return g_posts_waiting;
}

void PendingPosts_Deliver(void) {
  // Not from inside an observer's callback (which may itself wait), and not past an alert.
  if (g_alert_waiting.load() || g_deliveries_running > 0) {
    return;
  }
  for (;;) {
    if (compat::NoticesBackedUp()) {
      // The answers that would drain them come through the loop: left to it, and the
      // descriptor stays quiet until then.
      QuietenPostsWaiting();
      return;
    }
    GVariant *post = TakeOldestPost();
    if (post == nullptr) {
      return;
    }
    DeliverOldestPost(post);
  }
}

void compat::ResumePostDelivery() {
  if (std::exchange(g_delivery_stalled, false)) {
    ScheduleDelivery();
  }
}

void compat::NoteAlertWaiting(bool waiting) {
  g_alert_waiting.store(waiting);
}
