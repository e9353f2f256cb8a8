// The distributed center within the process: posts reach this process's own observers
// through one main-loop idle callback each, with no session bus.
#include <glib.h>

#include <csignal>
#include <list>
#include <memory>
#include <utility>

#include "platform_doubles.h"

namespace {

struct Registration {
  const void *token;
  CFNotificationCallback callback;
  bool any_name;
  std::string name;
  bool any_object;
  std::string object;
  bool removed = false;
};

struct Post {
  std::string name, object;
  CFDictionaryRef user_info;  // retained; null when the poster gave none or an empty one
};

std::list<std::shared_ptr<Registration>> g_registrations;
int g_raise_on_add = 0;
int g_raise_on_removal = 0;

void RaiseIfAsked(int &signal_number) {
  if (signal_number != 0) {
    raise(std::exchange(signal_number, 0));
  }
}

bool Wants(const Registration &registration, const Post &post) {
  return !registration.removed && (registration.any_name || registration.name == post.name) &&
         (registration.any_object || registration.object == post.object);
}

// Observers registered when the post is delivered hear it, unless one of them removes
// another on the way.
gboolean Deliver(gpointer data) {
  std::unique_ptr<Post> post(static_cast<Post *>(data));
  std::vector<std::shared_ptr<Registration>> targets;
  for (const auto &registration : g_registrations) {
    if (Wants(*registration, *post)) {
      targets.push_back(registration);
    }
  }
  CFStringRef name = CFStringCreateWithCString(nullptr, post->name.c_str(), kCFStringEncodingUTF8);
  CFStringRef object =
      post->object.empty()
          ? nullptr
          : CFStringCreateWithCString(nullptr, post->object.c_str(), kCFStringEncodingUTF8);
  for (const auto &registration : targets) {
    if (!registration->removed) {
      registration->callback(CFNotificationCenterGetDistributedCenter(),
                             const_cast<void *>(registration->token), name, object,
                             post->user_info);
    }
  }
  if (object != nullptr) {
    CFRelease(object);
  }
  CFRelease(name);
  if (post->user_info != nullptr) {
    CFRelease(post->user_info);
  }
  return G_SOURCE_REMOVE;
}

}  // namespace

namespace zelcups_test {

std::size_t ObserverCount() {
  return g_registrations.size();
}

void RaiseDuringNextObserverAdd(int signal_number) {
  g_raise_on_add = signal_number;
}

void RaiseDuringNextObserverRemoval(int signal_number) {
  g_raise_on_removal = signal_number;
}

}  // namespace zelcups_test

extern "C" void __wrap_CFNotificationCenterAddObserver(CFNotificationCenterRef center,
                                                       const void *observer,
                                                       CFNotificationCallback callBack,
                                                       CFStringRef name, const void *object,
                                                       CFNotificationSuspensionBehavior) {
  zelcups_test::PlatformCalls().push_back("AddObserver");
  RaiseIfAsked(g_raise_on_add);
  if (center != CFNotificationCenterGetDistributedCenter() || callBack == nullptr) {
    return;
  }
  g_registrations.push_back(std::make_shared<Registration>(
      Registration{observer, callBack, name == nullptr, zelcups_test::TextOf(name),
                   object == nullptr, zelcups_test::TextOf(object)}));
}

extern "C" void __wrap_CFNotificationCenterRemoveObserver(CFNotificationCenterRef center,
                                                          const void *observer,
                                                          CFNotificationName name,
                                                          const void *object) {
  zelcups_test::PlatformCalls().push_back("RemoveObserver");
  RaiseIfAsked(g_raise_on_removal);
  if (center != CFNotificationCenterGetDistributedCenter()) {
    return;
  }
  const std::string wanted_name = zelcups_test::TextOf(name);
  const std::string wanted_object = zelcups_test::TextOf(object);
  std::erase_if(g_registrations, [&](const std::shared_ptr<Registration> &registration) {
    bool matches =
        registration->token == observer &&
        (name == nullptr || (!registration->any_name && registration->name == wanted_name)) &&
        (object == nullptr || (!registration->any_object && registration->object == wanted_object));
    if (matches) {
      registration->removed = true;
    }
    return matches;
  });
}

extern "C" void __wrap_CFNotificationCenterPostNotification(CFNotificationCenterRef center,
                                                            CFNotificationName name,
                                                            const void *object,
                                                            CFDictionaryRef userInfo, Boolean) {
  if (center != CFNotificationCenterGetDistributedCenter() || name == nullptr) {
    return;
  }
  // As over the bus, an empty dictionary arrives as none.
  CFDictionaryRef user_info = nullptr;
  if (userInfo != nullptr && CFDictionaryGetCount(userInfo) > 0) {
    user_info = static_cast<CFDictionaryRef>(CFRetain(userInfo));
  }
  g_idle_add(Deliver, std::make_unique<Post>(
                          Post{zelcups_test::TextOf(name), zelcups_test::TextOf(object), user_info})
                          .release());
}
