// The comparison of two snapshots, linear in the number of queues: a directory of tens of
// thousands of queues must be compared well within one 3-second interval.
#include "snapshot_compare.h"

#include <string_view>
#include <unordered_map>

bool SnapshotCompare_SameTime(const struct timespec &a, const struct timespec &b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

std::vector<int32_t> SnapshotCompare_QueuesToHandle(const QueueList *old_list, int32_t old_count,
                                                    const QueueList *snapshot, int32_t count) {
  // try_emplace keeps the first index of a repeated name, which is the entry a walk from
  // the start of the old snapshot would stop at.
  std::unordered_map<std::string_view, int32_t> first_old_entry;
  first_old_entry.reserve(old_count > 0 ? static_cast<std::size_t>(old_count) : 0);
  for (int32_t old = 0; old < old_count; ++old) {
    const char *name = zelcups_common_cups_queuelist_get_queue_name(old_list, old);
    if (name != nullptr) {
      first_old_entry.try_emplace(name, old);
    }
  }

  std::vector<int32_t> to_handle;
  for (int32_t index = 0; index < count; ++index) {
    const char *name = zelcups_common_cups_queuelist_get_queue_name(snapshot, index);
    if (name == nullptr) {
      continue;
    }
    auto found = first_old_entry.find(name);
    if (found == first_old_entry.end() ||
        !SnapshotCompare_SameTime(
            zelcups_common_cups_queuelist_get_queue_modify_time(old_list, found->second),
            zelcups_common_cups_queuelist_get_queue_modify_time(snapshot, index))) {
      to_handle.push_back(index);
    }
  }
  return to_handle;
}
