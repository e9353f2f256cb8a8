// The watcher's snapshot kept in a file of the session, so that an agent started again in
// the same session (after a crash, a restart of its unit, a kill) takes up where the last
// one stopped: queues added while none ran are still new to it.
#ifndef ZELCUPS_AGENT_SNAPSHOT_FILE_H
#define ZELCUPS_AGENT_SNAPSHOT_FILE_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "zelcups_common.h"

// The file: zelcups-agent.snapshot in the session's runtime folder; empty when the
// agent's private folder is not one that outlives it (there is nothing to keep then).
std::string SnapshotFile_Path(void);

// The saved snapshot, with its count in *queue_count; null when there is no file, when it
// is not a regular file of this user's closed to others, or when it does not read back
// whole. Free it with zelcups_common_cups_queuelist_terminate.
QueueList *SnapshotFile_Read(int32_t *queue_count);

// Saves a whole snapshot in place of the file, atomically. False when it could not be.
bool SnapshotFile_Save(const QueueList *list, int32_t count);

// A queue name as the file writes it (bytes up to the space, DEL and "%" as %XX), and
// back; the name read back is never empty and holds no NUL or "/".
std::string SnapshotFile_EscapeName(std::string_view name);
bool SnapshotFile_ParseName(std::string_view text, std::string *name);

// A tick's way through its queues, saved before each queue is handled: the queues up to
// it count as handled, the ones after it that the tick is still to handle keep their old
// entry (or none, when they are new), so that the next agent handles those and not one
// whose handling ended the agent.
struct SnapshotProgress {
  std::vector<std::string> now;      // each queue's line at its time in the new snapshot
  std::vector<std::string> not_yet;  // its line while it is still to be handled
};

SnapshotProgress SnapshotFile_StartProgress(const QueueList *old_list, int32_t old_count,
                                            const QueueList *snapshot, int32_t count,
                                            const std::vector<int32_t> &to_handle);

// Saves the file with the queues at indexes 0 to handled_through of the new snapshot
// counted as handled; handled_through at or past the end saves the whole new snapshot.
bool SnapshotFile_SaveProgress(const SnapshotProgress &progress, int32_t handled_through);

#endif
