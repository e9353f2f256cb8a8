// The queue watcher: its timer, the starting snapshot, and the tick that finds new and
// changed queues whenever the PPD directory changes.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "printer_setup.h"
#include "admin_rights.h"
#include "folder_stream.h"
#include "machine_record.h"
#include "queue_journal.h"
#include "printer_setup_testing.h"
#include "queue_setup.h"
#include "snapshot_compare.h"
#include "snapshot_file.h"
#include "zelcups/pending_posts.h"
#include "zelcups/quit_request.h"
#include "zelcups/time_limits.h"

namespace {

constexpr EventTimerInterval kFirstFireDelay = 0.0;
constexpr EventTimerInterval kTickSeconds =
    std::chrono::duration<EventTimerInterval>(zelcups::kTickInterval).count();

PrinterSetupQueueHandler g_queue_handler = QueueSetup_SetUp;

// Without the machine's record: queues whose printer's name lookup was given up for want
// of an answer, when that was, and the queue's line as still to be handled. They are not
// done: this agent tries them again a minute later, and the session's file keeps them as
// not handled, so that an agent started again tries them too.
struct SessionRetry {
  time_t since = 0;
  std::string not_yet;
};
constexpr time_t kSessionRetrySeconds = zelcups::kLeftQueueRetry.count();
std::unordered_map<std::string, SessionRetry> g_session_retries;

bool SessionRetryDue() {
  const time_t now = time(nullptr);
  return std::any_of(g_session_retries.begin(), g_session_retries.end(), [now](const auto &retry) {
    return now - retry.second.since >= kSessionRetrySeconds;
  });
}

// The directory's time; an unreadable directory reads as time 0.
struct timespec ReadDirectoryTime() {
  struct stat status {};
  stat(zelcups_common_cups_ppd_directory(), &status);
  return status.st_mtim;
}

void StoreDirectoryTime(AgentContext *context, const struct timespec &time) {
  context->ppd_dir_mtime = static_cast<int32_t>(time.tv_sec);
  context->ppd_dir_mtime_full = time;
}

// The PPD's time as lpadmin left it: the scheduler rewrites the file it is given, and the
// record must hold that time, or the next tick would take the rewrite for a change.
struct timespec PPDTimeNow(const char *name, const struct timespec &before) {
  struct stat status {};
  const std::string path = std::string(zelcups_common_cups_ppd_directory()) + "/" + name + ".ppd";
  return stat(path.c_str(), &status) == 0 ? status.st_mtim : before;
}

// Queues this user's agent may not set up and said so: they are left to an administrator's
// agent, whose lpadmin rewrites the PPD a moment later; that change, and any later one, is
// no news from this session.
std::unordered_set<std::string> g_told_not_allowed;

void TellNotAllowedOnce(const char *name) {
  if (g_told_not_allowed.insert(name).second) {
    QueueJournal_LeftAlone(name, kNotAllowedReason, kJournalWarning);
  }
}

// With the machine's record, every agent of the machine asks it, queue by queue, which
// queues are still to be handled, and claims each before handling it: one lpadmin, one
// plug-in step, one alert per queue, whoever is logged in.
void HandleFromRecord(const QueueList *snapshot, int32_t count) {
  struct PassEnd {
    ~PassEnd() { MachineRecord_EndPass(); }
  } const pass_end;
  for (int32_t index : MachineRecord_QueuesToHandle(snapshot, count)) {
    if (QuitRequest_Received()) {
      return;
    }
    PendingPosts_Deliver();
    const char *name = zelcups_common_cups_queuelist_get_queue_name(snapshot, index);
    const struct timespec time =
        zelcups_common_cups_queuelist_get_queue_modify_time(snapshot, index);
    // A claim would keep an administrator's agent from the queue.
    if (!AdminRights_UserMayAdminister()) {
      TellNotAllowedOnce(name);
      continue;
    }
    const ClaimResult claim = MachineRecord_Claim(name, time);
    if (claim.claim == RecordClaim::kNotNow) {
      return;
    }
    if (claim.claim == RecordClaim::kTaken) {
      continue;
    }
    if (claim.claim == RecordClaim::kGivenUp) {
      QueueJournal_LeftAlone(name,
                             "two agents ended while handling it; it waits for its PPD "
                             "to change",
                             kJournalWarning);
      continue;
    }
    const QueueOutcome outcome = g_queue_handler(name, claim.quiet_reason);
    // Cut short by a quit (lpadmin ended early), or refused to this user: another agent,
    // or the next one, takes it.
    if ((QuitRequest_Received() && outcome.fate != QueueFate::kRepointed) ||
        outcome.fate == QueueFate::kNotAllowed) {
      MachineRecord_Release(name);
      continue;
    }
    if (outcome.fate == QueueFate::kMayPass || outcome.fate == QueueFate::kAbandoned) {
      MachineRecord_Leave(name, time, outcome.reason);
    } else {
      MachineRecord_Settle(name,
                           outcome.fate == QueueFate::kRepointed ? PPDTimeNow(name, time) : time);
    }
  }
}

// Without the machine's record: the session's own snapshot file, saved before each queue
// is handled, so that one whose handling ends the agent is not tried again and again by its
// successors.
void HandleFromSessionSnapshot(const AgentContext *context, const QueueList *snapshot,
                               int32_t count) {
  // Only the two snapshots decide, never how an earlier queue's handling went, but for the
  // queues whose lookup was given up, once their minute is over.
  std::vector<int32_t> to_handle = SnapshotCompare_QueuesToHandle(
      context->queue_list, context->queue_list_count, snapshot, count);
  std::unordered_map<std::string, SessionRetry> retries;
  retries.swap(g_session_retries);
  const time_t now = time(nullptr);
  std::vector<int32_t> retried;
  for (int32_t index = 0; index < count && !retries.empty(); ++index) {
    const auto retry = retries.find(zelcups_common_cups_queuelist_get_queue_name(snapshot, index));
    // A queue that changed meanwhile is handled now anyway.
    if (retry == retries.end() ||
        std::find(to_handle.begin(), to_handle.end(), index) != to_handle.end()) {
      continue;
    }
    if (now - retry->second.since < kSessionRetrySeconds) {
      g_session_retries.insert(*retry);
    } else {
      retried.push_back(index);
    }
  }
  to_handle.insert(to_handle.end(), retried.begin(), retried.end());
  std::sort(to_handle.begin(), to_handle.end());
  SnapshotProgress progress = SnapshotFile_StartProgress(
      context->queue_list, context->queue_list_count, snapshot, count, to_handle);
  for (const auto &[name, retry] : g_session_retries) {
    // Still waiting for its minute: kept as not handled in the file meanwhile.
    for (int32_t index = 0; index < count; ++index) {
      if (name == zelcups_common_cups_queuelist_get_queue_name(snapshot, index)) {
        progress.now[index] = retry.not_yet;
      }
    }
  }
  for (int32_t index : to_handle) {
    // A quit ends the tick between two queues; the file leaves the rest to the next agent.
    if (QuitRequest_Received()) {
      return;
    }
    PendingPosts_Deliver();
    const char *name = zelcups_common_cups_queuelist_get_queue_name(snapshot, index);
    const auto retry = retries.find(name);
    if (retry != retries.end()) {
      progress.not_yet[index] = retry->second.not_yet;
    }
    SnapshotFile_SaveProgress(progress, index);
    if (!AdminRights_UserMayAdminister()) {
      TellNotAllowedOnce(name);
      continue;
    }
    const QueueOutcome outcome = g_queue_handler(name, 0);
    // Cut short by a quit (lpadmin ended early): the next agent tries it again.
    if (QuitRequest_Received()) {
      SnapshotFile_SaveProgress(progress, index - 1);
      return;
    }
    if (outcome.fate == QueueFate::kAbandoned) {
      progress.now[index] = progress.not_yet[index];
      g_session_retries[name] = {time(nullptr), progress.not_yet[index]};
    }
  }
  SnapshotFile_SaveProgress(progress, count);
}

}  // namespace

void PrinterSetup_SetQueueHandlerForTesting(PrinterSetupQueueHandler handler) {
  g_queue_handler = handler != nullptr ? handler : QueueSetup_SetUp;
}

int32_t PrinterSetup_InitializeNotify(AgentContext *context) {
  if (context == nullptr) {
    return -1;
  }
  // The handle is kept so that shutdown can remove the timer, which holds the context.
  OSStatus status = InstallEventLoopTimer(GetMainEventLoop(), kFirstFireDelay, kTickSeconds,
                                          NewEventLoopTimerUPP(z_CallbackForPrinterSetup), context,
                                          &context->watcher_timer);
  if (status != noErr) {
    context->watcher_timer = nullptr;
    zelcups_common_cups_queuelist_terminate(context->queue_list);
    context->queue_list = nullptr;
    return status;
  }
  if (MachineRecord_Open()) {
    // The machine's first agent takes the queues present now as the baseline. Every later
    // one lets its first tick ask the record, so that queues added while nobody was logged
    // in are handled now; the directory time is left unknown for that.
    context->queue_list = zelcups_common_cups_queuelist_initialize(&context->queue_list_count);
    if (!MachineRecord_Start(context->queue_list, context->queue_list_count)) {
      StoreDirectoryTime(context, ReadDirectoryTime());
    }
  } else {
    // An agent started again in the same session goes on from the snapshot the last one
    // kept, so queues that came while none ran are handled at the first tick, which then
    // finds the directory changed. A session's first agent takes the queues that exist now
    // as the baseline: only later changes are acted on.
    context->queue_list = SnapshotFile_Read(&context->queue_list_count);
    if (context->queue_list == nullptr) {
      StoreDirectoryTime(context, ReadDirectoryTime());
      context->queue_list = zelcups_common_cups_queuelist_initialize(&context->queue_list_count);
      SnapshotFile_Save(context->queue_list, context->queue_list_count);
    }
  }
  FolderStream_Start(context, zelcups_common_cups_ppd_directory());
  return 0;
}

void PrinterSetup_TerminateNotify(AgentContext *context) {
  if (context == nullptr) {
    return;
  }
  FolderStream_Stop(context);
  if (context->watcher_timer != nullptr) {
    RemoveEventLoopTimer(context->watcher_timer);
    context->watcher_timer = nullptr;
  }
  zelcups_common_cups_queuelist_terminate(context->queue_list);
  context->queue_list = nullptr;
  MachineRecord_Close();
  g_told_not_allowed.clear();
  g_session_retries.clear();
}

void z_CallbackForPrinterSetup(EventLoopTimerRef, void *inUserData) {
  auto *context = static_cast<AgentContext *>(inUserData);
  if (context == nullptr) {
    return;
  }
  struct timespec directory_time = ReadDirectoryTime();
  // A queue due for its retry, or claimed by an agent that ended, is looked at again
  // although the folder did not change; in a new snapshot, as the files of the last one
  // may have been rewritten since (by lpadmin, among others).
  if (SnapshotCompare_SameTime(directory_time, context->ppd_dir_mtime_full) &&
      !MachineRecord_SomethingDue() && !SessionRetryDue()) {
    return;
  }
  // Stored before any queue is handled, so a queue whose handling fails is not retried
  // until its own file changes again (or, with the machine's record, its retry is due).
  StoreDirectoryTime(context, directory_time);

  int32_t count = 0;
  QueueList *snapshot = zelcups_common_cups_queuelist_initialize(&count);
  if (snapshot != nullptr) {
    if (MachineRecord_InUse()) {
      HandleFromRecord(snapshot, count);
    } else {
      HandleFromSessionSnapshot(context, snapshot, count);
    }
  }
  zelcups_common_cups_queuelist_terminate(context->queue_list);
  context->queue_list = snapshot;
  context->queue_list_count = count;
}
