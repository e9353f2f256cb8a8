#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "queue_list_testing.h"
#include "zelcups_common.h"
#include "scoped_temp_dir.h"

namespace {

// The module's snapshot, taken of the given directory in place of the fixed one.
QueueList *InitializeIn(const std::string &directory, int32_t *count) {
  zelcups_common_cups_queuelist_set_directory_for_testing(directory.c_str());
  QueueList *list = zelcups_common_cups_queuelist_initialize(count);
  zelcups_common_cups_queuelist_set_directory_for_testing(nullptr);
  return list;
}

class QueueListTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(temp_.valid());
    dir_ = temp_.path();
  }

  std::string Path(const std::string &name) const { return dir_ + "/" + name; }
  void Touch(const std::string &name, time_t sec = 0, long nsec = 0) {
    std::ofstream(Path(name)) << "*PPD-Adobe: \"4.3\"\n";
    if (sec != 0) {
      struct timespec times[2] = {{sec, nsec}, {sec, nsec}};
      ASSERT_EQ(utimensat(AT_FDCWD, Path(name).c_str(), times, 0), 0);
    }
  }

  // name -> (seconds, nanoseconds) of every listed queue.
  std::map<std::string, std::pair<int32_t, long>> Snapshot(int32_t *count_out = nullptr) {
    int32_t count = -7;
    QueueList *list = InitializeIn(dir_.c_str(), &count);
    EXPECT_NE(list, nullptr);
    std::map<std::string, std::pair<int32_t, long>> queues;
    if (list == nullptr) {
      return queues;
    }
    EXPECT_EQ(count, list->queue_count);
    for (int32_t i = 0; i < count; ++i) {
      const char *name = zelcups_common_cups_queuelist_get_queue_name(list, i);
      EXPECT_NE(name, nullptr) << "index " << i;
      if (name != nullptr) {
        queues[name] = {zelcups_common_cups_queuelist_get_queue_modify_timestamp(list, i),
                        zelcups_common_cups_queuelist_get_queue_modify_time(list, i).tv_nsec};
      }
    }
    // Outside the list the accessors answer nothing.
    EXPECT_EQ(zelcups_common_cups_queuelist_get_queue_name(list, count), nullptr);
    EXPECT_EQ(zelcups_common_cups_queuelist_get_queue_name(list, -1), nullptr);
    EXPECT_EQ(zelcups_common_cups_queuelist_get_queue_modify_timestamp(list, count), 0);
    EXPECT_EQ(zelcups_common_cups_queuelist_get_queue_modify_timestamp(list, -1), 0);
    if (count_out != nullptr) {
      *count_out = count;
    }
    zelcups_common_cups_queuelist_terminate(list);
    return queues;
  }

  ScopedTempDir temp_;
  std::string dir_;
};

TEST_F(QueueListTest, NamesEndingInDotPPDAreQueues) {
  struct Row {
    const char *file;
    const char *queue;  // null: not a queue
  } rows[] = {
      {"Office.ppd", "Office"},
      {"a.ppd", "a"},
      {"Office.PPD", nullptr},
      {"Office.ppd.O", nullptr},
      {".ppd", nullptr},
      {"..ppd", "."},
      {"ppd", nullptr},
      {"x.ppd.ppd", "x.ppd"},
      {"a;b$(c)|&.ppd", "a;b$(c)|&"},
      {"caf\xC3\xA9.ppd", "caf\xC3\xA9"},
  };
  for (const Row &row : rows) {
    Touch(row.file, 1700000000, 5);
  }
  auto queues = Snapshot();
  size_t expected = 0;
  for (size_t i = 0; i < std::size(rows); ++i) {
    if (rows[i].queue == nullptr) {
      continue;
    }
    ++expected;
    ASSERT_EQ(queues.count(rows[i].queue), 1u) << "row " << i;
    EXPECT_EQ(queues[rows[i].queue].first, 1700000000) << "row " << i;
    EXPECT_EQ(queues[rows[i].queue].second, 5) << "row " << i;
  }
  EXPECT_EQ(queues.size(), expected);
}

TEST_F(QueueListTest, EveryFileTypeCountsAndVanishedFilesReadAsTimeZero) {
  Touch("target", 1600000000, 0);
  ASSERT_EQ(mkdir(Path("old.ppd").c_str(), 0755), 0);
  struct timespec times[2] = {{1650000000, 42}, {1650000000, 42}};
  ASSERT_EQ(utimensat(AT_FDCWD, Path("old.ppd").c_str(), times, 0), 0);
  ASSERT_EQ(symlink("target", Path("link.ppd").c_str()), 0);
  ASSERT_EQ(symlink("does-not-exist", Path("gone.ppd").c_str()), 0);
  ASSERT_EQ(mkfifo(Path("pipe.ppd").c_str(), 0644), 0);
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string socket_path = Path("sock.ppd");
  ASSERT_LT(socket_path.size(), sizeof address.sun_path);
  std::strcpy(address.sun_path, socket_path.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  close(fd);

  auto queues = Snapshot();
  EXPECT_EQ(queues.size(), 5u);
  EXPECT_EQ(queues["old"], std::make_pair(1650000000, 42L));
  EXPECT_EQ(queues["link"].first, 1600000000);  // the status of what the link names
  EXPECT_EQ(queues["gone"], std::make_pair(0, 0L));
  EXPECT_EQ(queues.count("pipe"), 1u);
  EXPECT_EQ(queues.count("sock"), 1u);
}

TEST_F(QueueListTest, LongestNamesFit) {
  std::string name(251, 'q');
  Touch(name + ".ppd");
  auto queues = Snapshot();
  ASSERT_EQ(queues.size(), 1u);
  EXPECT_EQ(queues.begin()->first, name);
}

TEST_F(QueueListTest, EmptyAndMissingDirectoriesGiveEmptyLists) {
  int32_t count = -1;
  QueueList *empty = InitializeIn(dir_.c_str(), &count);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(empty->queue_count, 0);
  EXPECT_NE(empty->entries, nullptr);  // slots for "." and ".."
  zelcups_common_cups_queuelist_terminate(empty);

  std::string missing = dir_ + "/missing";
  count = -1;
  QueueList *none = InitializeIn(missing.c_str(), &count);
  ASSERT_NE(none, nullptr);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(none->entries, nullptr);
  EXPECT_EQ(zelcups_common_cups_queuelist_get_queue_name(none, 0), nullptr);
  zelcups_common_cups_queuelist_terminate(none);

  // A file where the directory should be is no directory either.
  Touch("plain");
  QueueList *file = InitializeIn(Path("plain").c_str(), nullptr);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->queue_count, 0);
  zelcups_common_cups_queuelist_terminate(file);

  zelcups_common_cups_queuelist_terminate(nullptr);
  EXPECT_EQ(zelcups_common_cups_queuelist_get_queue_name(nullptr, 0), nullptr);
  EXPECT_EQ(zelcups_common_cups_queuelist_get_queue_modify_timestamp(nullptr, 0), 0);
}

TEST_F(QueueListTest, ClearedTestingFolderGivesBackTheFixedOne) {
  // A testing folder set and cleared leaves no trace: the scan lists what the machine's
  // own folder holds, whatever that is.
  Touch("Stray.ppd");
  zelcups_common_cups_queuelist_set_directory_for_testing(dir_.c_str());
  zelcups_common_cups_queuelist_set_directory_for_testing(nullptr);
  std::set<std::string> expected, listed;
  std::error_code unreadable;  // an unreadable or missing folder lists nothing
  for (const auto &entry : std::filesystem::directory_iterator("/etc/cups/ppd", unreadable)) {
    const std::string file = entry.path().filename().string();
    if (file.size() > 4 && file.ends_with(".ppd")) {
      expected.insert(file.substr(0, file.size() - 4));
    }
  }
  int32_t count = -1;
  QueueList *list = zelcups_common_cups_queuelist_initialize(&count);
  ASSERT_NE(list, nullptr);
  for (int32_t i = 0; i < count; ++i) {
    listed.insert(zelcups_common_cups_queuelist_get_queue_name(list, i));
  }
  zelcups_common_cups_queuelist_terminate(list);
  EXPECT_EQ(listed, expected);
}

}  // namespace
