// Which queues of a new snapshot of the PPD directory are new or changed.
#ifndef ZELCUPS_AGENT_SNAPSHOT_COMPARE_H
#define ZELCUPS_AGENT_SNAPSHOT_COMPARE_H

#include <cstdint>
#include <vector>

#include "zelcups_common.h"

// The indexes into snapshot, in snapshot order, of the queues that old_list lacks or
// lists with another modification time. Names match by length and bytes, and the first
// old entry of a name decides; entries without a name are never matched or handled.
std::vector<int32_t> SnapshotCompare_QueuesToHandle(const QueueList *old_list, int32_t old_count,
                                                    const QueueList *snapshot, int32_t count);

// Whether two file times are the same to the nanosecond: a queue added within the second
// of the last look changes only the nanoseconds.
bool SnapshotCompare_SameTime(const struct timespec &a, const struct timespec &b);

#endif
