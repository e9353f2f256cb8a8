// The queue watcher: its timer, the starting snapshot, and the tick that finds new and
// changed queues whenever the PPD directory changes.
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "printer_setup.h"
#include "folder_stream.h"
#include "printer_setup_testing.h"
#include "queue_setup.h"
#include "snapshot_compare.h"
#include "snapshot_file.h"
#include "zelcups/quit_request.h"

namespace {

constexpr EventTimerInterval kFirstFireDelay = 0.0;
constexpr EventTimerInterval kTickInterval = 3.0;

PrinterSetupQueueHandler g_queue_handler = QueueSetup_SetUp;

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

}  // namespace

void PrinterSetup_SetQueueHandlerForTesting(PrinterSetupQueueHandler handler) {
  g_queue_handler = handler != nullptr ? handler : QueueSetup_SetUp;
}

int32_t PrinterSetup_InitializeNotify(AgentContext *context) {
  if (context == nullptr) {
    return -1;
  }
  // The handle is kept so that shutdown can remove the timer, which holds the context.
  OSStatus status = InstallEventLoopTimer(GetMainEventLoop(), kFirstFireDelay, kTickInterval,
                                          NewEventLoopTimerUPP(z_CallbackForPrinterSetup), context,
                                          &context->watcher_timer);
  if (status != noErr) {
    context->watcher_timer = nullptr;
    zelcups_common_cups_queuelist_terminate(context->queue_list);
    context->queue_list = nullptr;
    return status;
  }
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
}

void z_CallbackForPrinterSetup(EventLoopTimerRef, void *inUserData) {
  auto *context = static_cast<AgentContext *>(inUserData);
  if (context == nullptr) {
    return;
  }
  struct timespec directory_time = ReadDirectoryTime();
  if (SnapshotCompare_SameTime(directory_time, context->ppd_dir_mtime_full)) {
    return;
  }
  // Stored before any queue is handled, so a queue whose handling fails is not retried
  // until its own file changes again.
  StoreDirectoryTime(context, directory_time);

  int32_t count = 0;
  QueueList *snapshot = zelcups_common_cups_queuelist_initialize(&count);
  if (snapshot != nullptr) {
    // Only the two snapshots decide, never how an earlier queue's handling went.
    const std::vector<int32_t> to_handle = SnapshotCompare_QueuesToHandle(
        context->queue_list, context->queue_list_count, snapshot, count);
    const SnapshotProgress progress = SnapshotFile_StartProgress(
        context->queue_list, context->queue_list_count, snapshot, count, to_handle);
    bool stopped = false;
    for (int32_t index : to_handle) {
      // A quit ends the tick between two queues; the file leaves the rest to the next agent.
      if (QuitRequest_Received()) {
        stopped = true;
        break;
      }
      // Saved before the queue is handled: one whose handling ends the agent (a plug-in
      // that crashes runs inside it) is not tried again and again by its successors.
      SnapshotFile_SaveProgress(progress, index);
      g_queue_handler(zelcups_common_cups_queuelist_get_queue_name(snapshot, index));
      // Cut short by a quit (lpadmin ended early): the next agent tries it again.
      if (QuitRequest_Received()) {
        SnapshotFile_SaveProgress(progress, index - 1);
        stopped = true;
        break;
      }
    }
    if (!stopped) {
      SnapshotFile_SaveProgress(progress, count);
    }
  }
  zelcups_common_cups_queuelist_terminate(context->queue_list);
  context->queue_list = snapshot;
  context->queue_list_count = count;
}
