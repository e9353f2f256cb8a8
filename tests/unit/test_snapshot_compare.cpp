// The queues a changed tick hands on: the same as walking the old snapshot from its start
// for every new entry, on snapshots with repeated, missing and re-timed names.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "snapshot_compare.h"

namespace {

struct Snapshot {
  std::vector<std::string> names;
  std::vector<bool> has_name;
  std::vector<QueueEntry> entries;
  QueueList list{};

  void Add(const std::string &name, bool named, long seconds, long nanoseconds) {
    names.push_back(name);
    has_name.push_back(named);
    QueueEntry entry{};
    entry.modify_timestamp = static_cast<int32_t>(seconds);
    entry.modify_time = {seconds, nanoseconds};
    entries.push_back(entry);
  }
  const QueueList *Finish() {
    for (std::size_t i = 0; i < entries.size(); ++i) {
      entries[i].queue_name = has_name[i] ? names[i].data() : nullptr;
    }
    list.queue_count = static_cast<int32_t>(entries.size());
    list.entries = entries.data();
    return &list;
  }
};

// The rule as a walk: the first old entry of the same name decides.
std::vector<int32_t> Pairwise(const QueueList *old_list, const QueueList *snapshot) {
  std::vector<int32_t> result;
  for (int32_t i = 0; i < snapshot->queue_count; ++i) {
    const QueueEntry &entry = snapshot->entries[i];
    if (entry.queue_name == nullptr) {
      continue;
    }
    bool handle = true;
    for (int32_t j = 0; j < old_list->queue_count; ++j) {
      const QueueEntry &old = old_list->entries[j];
      if (old.queue_name == nullptr ||
          std::strlen(old.queue_name) != std::strlen(entry.queue_name) ||
          std::strcmp(old.queue_name, entry.queue_name) != 0) {
        continue;
      }
      handle = old.modify_time.tv_sec != entry.modify_time.tv_sec ||
               old.modify_time.tv_nsec != entry.modify_time.tv_nsec;
      break;
    }
    if (handle) {
      result.push_back(i);
    }
  }
  return result;
}

TEST(SnapshotCompareTest, PicksTheSameQueuesAsThePairwiseWalk) {
  std::mt19937 random(20261208);
  for (int round = 0; round < 300; ++round) {
    Snapshot old_snapshot;
    Snapshot new_snapshot;
    // Few names, so that repeats and matches are common.
    std::uniform_int_distribution<int> name(0, 12), time(0, 2), count(0, 20), unnamed(0, 15);
    for (int i = count(random); i > 0; --i) {
      old_snapshot.Add("q" + std::to_string(name(random)), unnamed(random) != 0, time(random),
                       time(random));
    }
    for (int i = count(random); i > 0; --i) {
      new_snapshot.Add("q" + std::to_string(name(random)), unnamed(random) != 0, time(random),
                       time(random));
    }
    const QueueList *old_list = old_snapshot.Finish();
    const QueueList *snapshot = new_snapshot.Finish();
    EXPECT_EQ(SnapshotCompare_QueuesToHandle(old_list, old_list->queue_count, snapshot,
                                             snapshot->queue_count),
              Pairwise(old_list, snapshot))
        << "round " << round;
  }
}

TEST(SnapshotCompareTest, NoOldSnapshotMakesEveryNamedQueueNew) {
  Snapshot new_snapshot;
  new_snapshot.Add("a", true, 1, 0);
  new_snapshot.Add("b", false, 1, 0);
  new_snapshot.Add("c", true, 1, 0);
  const QueueList *snapshot = new_snapshot.Finish();
  EXPECT_EQ(SnapshotCompare_QueuesToHandle(nullptr, 0, snapshot, 3), (std::vector<int32_t>{0, 2}));
}

TEST(SnapshotCompareTest, ANanosecondMakesAQueueChanged) {
  Snapshot old_snapshot;
  old_snapshot.Add("a", true, 5, 100);
  old_snapshot.Add("a", true, 5, 200);  // a later repeat never decides
  Snapshot new_snapshot;
  new_snapshot.Add("a", true, 5, 200);
  new_snapshot.Add("ab", true, 5, 100);
  const QueueList *old_list = old_snapshot.Finish();
  const QueueList *snapshot = new_snapshot.Finish();
  EXPECT_EQ(SnapshotCompare_QueuesToHandle(old_list, 2, snapshot, 2), (std::vector<int32_t>{0, 1}));
}

}  // namespace
