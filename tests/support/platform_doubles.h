// What unit tests see of and do to the platform doubles: the distributed center delivers
// posts within the process (one main-loop idle callback per post, like a bus message),
// notices are recorded instead of shown, the next timer installation can be made to
// fail, a quit signal can be raised in the middle of a call, and the calls that start
// and stop the agent's services are logged in order.
#ifndef ZELCUPS_TESTS_SUPPORT_PLATFORM_DOUBLES_H
#define ZELCUPS_TESTS_SUPPORT_PLATFORM_DOUBLES_H

#include <Carbon/Carbon.h>
#include <CoreFoundation/CoreFoundation.h>

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

#include "cf_text.h"

namespace zelcups_test {

struct Notice {
  std::string header, message;
  bool operator==(const Notice &) const = default;
};
inline std::ostream &operator<<(std::ostream &out, const Notice &notice) {
  return out << "{" << notice.header << ": " << notice.message << "}";
}

// Every notice shown so far, oldest first; tests clear it.
std::vector<Notice> &Notices();

// Observers registered with the distributed center and not removed.
std::size_t ObserverCount();

// The next InstallEventLoopTimer returns status without installing anything.
void FailNextTimerInstall(OSStatus status);

// The next call of the kind raises signal_number on entry, as a quit request that comes
// at that moment.
void RaiseDuringNextObserverAdd(int signal_number);
void RaiseDuringNextObserverRemoval(int signal_number);

// "AddObserver", "RemoveObserver", "InstallEventLoopTimer", "RemoveEventLoopTimer", in
// the order called; tests clear it.
std::vector<std::string> &PlatformCalls();

}  // namespace zelcups_test

#endif
