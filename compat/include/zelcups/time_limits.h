// Every time limit and grace of the agent, in one place: a quit must end the agent within
// a second in every phase, and these are the figures that promise rests on (the README
// quotes them).
#ifndef COMPAT_ZELCUPS_TIME_LIMITS_H
#define COMPAT_ZELCUPS_TIME_LIMITS_H

#include <chrono>

namespace zelcups {

using namespace std::chrono_literals;

// lpadmin may go on this long after a quit, to let the scheduler answer a change already
// sent; then it is asked to end, and after the second grace forced to.
inline constexpr std::chrono::milliseconds kLpadminQuitGrace = 500ms;
inline constexpr std::chrono::milliseconds kLpadminTermGrace = 200ms;
// A foreign plug-in that has not returned this long after a quit is not waited for.
inline constexpr std::chrono::milliseconds kUnstoppableCodeGrace = 800ms;
// A name lookup that takes longer is given up; a working name server answers in
// milliseconds, the resolver's own limits are 10 s and more.
inline constexpr std::chrono::milliseconds kNameLookupLimit = 3s;
// The scheduler is looked at this often while it says nothing (a quit ends the wait within
// it), and counts as not answering after this long in silence.
inline constexpr std::chrono::milliseconds kSchedulerCheckInterval = 250ms;
inline constexpr std::chrono::milliseconds kSchedulerSilenceLimit = 30s;
// A notification service that has not answered Notify by then counts as not showing the
// alert; long enough for one the bus starts on demand.
inline constexpr std::chrono::milliseconds kNotifyLimit = 5s;
// The agent's own executable must have stayed replaced or removed this long before the
// agent follows its package: an upgrade unpacks the libraries in the same run.
inline constexpr std::chrono::milliseconds kPackageSettleTime = 2s;
// Another agent holds the machine record's lock only while it reads or writes the record;
// one that holds it longer (stopped, or on a slow disk) is waited for this long, a quit
// not at all, before a tick gives up and tries again at the next. A change already made
// to a queue waits as long as it takes.
inline constexpr std::chrono::milliseconds kRecordLockPatience = 5s;
// A queue left for a cause that may pass is tried again at most this often, unless the
// backend appears.
inline constexpr std::chrono::seconds kLeftQueueRetry = 60s;
// A tool that adds many queues writes one PPD after another; the first change starts
// this wait and everything that follows within it is handled by one tick. Long enough to
// gather the files one scheduler request writes, short against the time it takes a
// person or a setup tool to go on to print.
inline constexpr std::chrono::milliseconds kFolderChangeLatency = 100ms;
// How often an alert's wait looks whether the bus itself went away: its "closed" signal is
// delivered on the main context, which the wait does not run.
inline constexpr std::chrono::seconds kAlertBusCheckInterval = 1s;
// The watcher's safety net beside the folder's events: a tick this often, the first at once.
inline constexpr std::chrono::milliseconds kTickInterval = 3s;
// A check at a terminal asks the bus daemon at most this long: a person is waiting.
inline constexpr std::chrono::milliseconds kCheckBusCallLimit = 2s;
// A flood of notices is over once no post came for this long: the drop count is told
// then, and the memory it took is handed back to the system.
inline constexpr std::chrono::milliseconds kNoticeFloodSettle = 2s;

}  // namespace zelcups

#endif
