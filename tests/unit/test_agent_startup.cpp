#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <functional>
#include <map>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "agent_context.h"
#include "backend_uri.h"
#include "machine_record.h"
#include "machine_record_testing.h"
#include "platform_doubles.h"
#include "printer_setup_testing.h"
#include "queue_list_testing.h"
#include "scoped_temp_dir.h"
#include "snapshot_file.h"
#include "snapshot_file_testing.h"

namespace {

std::vector<std::string> g_handled;
// What the snapshot file held each time a queue's handling began: "name@nsec" entries.
std::vector<std::vector<std::string>> g_file_when_handled;

// A queue handed on with the failure told last time shows it as "NAME~HASH".
QueueOutcome RecordQueue(const char *name, uint32_t quiet_reason) {
  g_handled.push_back(name + (quiet_reason != 0 ? "~" + std::to_string(quiet_reason) : ""));
  return {};
}

class WatcherTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(temp_.valid());
    dir_ = temp_.path();
    ppd_ = dir_ + "/ppd";
    ASSERT_EQ(mkdir(ppd_.c_str(), 0755), 0);
    zelcups_common_cups_queuelist_set_directory_for_testing(ppd_.c_str());
    PrinterSetup_SetQueueHandlerForTesting(RecordQueue);
    SnapshotFile_SetPathForTesting((dir_ + "/snapshot").c_str());
    MachineRecord_SetFolderForTesting((dir_ + "/no-machine-folder").c_str());
    g_handled.clear();
    g_file_when_handled.clear();
    zelcups_test::PlatformCalls().clear();
  }
  void TearDown() override {
    PrinterSetup_TerminateNotify(&context_);
    zelcups_common_cups_queuelist_set_directory_for_testing(nullptr);
    PrinterSetup_SetQueueHandlerForTesting(nullptr);
    SnapshotFile_SetPathForTesting(nullptr);
    MachineRecord_SetFolderForTesting(nullptr);
  }

  void SetTime(const std::string &path, time_t sec, long nsec) {
    struct timespec times[2] = {{sec, nsec}, {sec, nsec}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }
  // A queue file and the directory both get explicit times, as CUPS writing the file
  // would change them.
  void WriteQueue(const std::string &name, time_t sec, long nsec) {
    std::ofstream(ppd_ + "/" + name + ".ppd") << "*PPD-Adobe: \"4.3\"\n";
    SetTime(ppd_ + "/" + name + ".ppd", sec, nsec);
  }
  void Tick() { z_CallbackForPrinterSetup(nullptr, &context_); }

  ScopedTempDir temp_;
  std::string dir_, ppd_;
  AgentContext context_{};
};

TEST_F(WatcherTest, QueuesPresentAtStartAreTheBaseline) {
  WriteQueue("Office", 1700000000, 0);
  SetTime(ppd_, 1700000000, 100);
  ASSERT_EQ(PrinterSetup_InitializeNotify(&context_), 0);
  EXPECT_EQ(context_.queue_list_count, 1);
  EXPECT_EQ(context_.ppd_dir_mtime, 1700000000);
  QueueList *before = context_.queue_list;
  Tick();
  Tick();
  EXPECT_TRUE(g_handled.empty());
  EXPECT_EQ(context_.queue_list, before);  // an unchanged directory takes no snapshot
}

TEST_F(WatcherTest, NewAndChangedQueuesAreHandledOnce) {
  WriteQueue("Office", 1700000000, 0);
  WriteQueue("Lab", 1700000000, 0);
  SetTime(ppd_, 1700000000, 0);
  ASSERT_EQ(PrinterSetup_InitializeNotify(&context_), 0);

  struct Step {
    const char *action;  // "add", "change", "remove"
    const char *queue;
    long dir_nsec;  // the directory changes only within the same second
    std::vector<std::string> handled;
    int32_t count_after;
  } steps[] = {
      {"add", "Hall", 1, {"Hall"}, 3}, {"change", "Office", 2, {"Office"}, 3},
      {"remove", "Lab", 3, {}, 2},     {"add", "Lab", 4, {"Lab"}, 3},
      {"none", "", 4, {}, 3},
  };
  for (size_t i = 0; i < std::size(steps); ++i) {
    const Step &step = steps[i];
    std::string action = step.action;
    if (action == "add") {
      WriteQueue(step.queue, 1700000000, 500);
    } else if (action == "change") {
      SetTime(ppd_ + "/" + step.queue + ".ppd", 1700000000, 999);
    } else if (action == "remove") {
      ASSERT_EQ(unlink((ppd_ + "/" + step.queue + ".ppd").c_str()), 0);
    }
    SetTime(ppd_, 1700000000, step.dir_nsec);
    g_handled.clear();
    Tick();
    EXPECT_EQ(g_handled, step.handled) << "step " << i;
    EXPECT_EQ(context_.queue_list_count, step.count_after) << "step " << i;
    EXPECT_EQ(context_.ppd_dir_mtime, 1700000000) << "step " << i;
  }
}

TEST_F(WatcherTest, UnreadableDirectoryEmptiesTheSnapshotAndEveryQueueReturnsAsNew) {
  WriteQueue("Office", 1700000000, 0);
  SetTime(ppd_, 1700000000, 0);
  ASSERT_EQ(PrinterSetup_InitializeNotify(&context_), 0);

  std::string aside = dir_ + "/aside";
  ASSERT_EQ(rename(ppd_.c_str(), aside.c_str()), 0);
  Tick();
  EXPECT_EQ(context_.ppd_dir_mtime, 0);
  EXPECT_EQ(context_.queue_list_count, 0);
  EXPECT_NE(context_.queue_list, nullptr);
  EXPECT_TRUE(g_handled.empty());

  ASSERT_EQ(rename(aside.c_str(), ppd_.c_str()), 0);
  Tick();
  EXPECT_EQ(g_handled, std::vector<std::string>{"Office"});
}

// What a restarted agent reads: only a whole file of this user's closed to others counts.
TEST_F(WatcherTest, SnapshotFileCountsOnlyWhenWholeAndOurs) {
  const std::string h = "zelcups-agent snapshot 1 ", path = dir_ + "/snapshot";
  const struct {
    std::string text;
    mode_t mode;
    const char *second_name;  // null: not read
  } rows[] = {
      {h + "2\n1 5 Office\n2 0 a%25b%20c\nend\n", 0600, "a%b c"},
      {h + "2\n1 5 Office\nend\n", 0600, nullptr},
      {h + "2\n1 5 Office\n2 0 Hall\n", 0600, nullptr},
      {h + "2\n1 5 Office\n2 1000000000 Hall\nend\n", 0600, nullptr},
      {h + "2\n1 5 Office\n2 0 a/b\nend\n", 0600, nullptr},
      {h + "2\n1 5 Office\n2 0 Hall\nend\n", 0644, nullptr},
  };
  for (const auto &row : rows) {
    std::ofstream(path, std::ios::trunc) << row.text;
    ASSERT_EQ(chmod(path.c_str(), row.mode), 0);
    int32_t count = 0;
    QueueList *list = SnapshotFile_Read(&count);
    EXPECT_EQ(list == nullptr ? "null" : zelcups_common_cups_queuelist_get_queue_name(list, 1),
              std::string(row.second_name ? row.second_name : "null"))
        << row.text;
    zelcups_common_cups_queuelist_terminate(list);
  }
}

// A folder planted where the snapshot or the record goes: one line, once, over ticks that
// go on. A queue is claimed only in a record written (another agent may want it).
TEST_F(WatcherTest, UnwritableSnapshotOrRecordIsSaidOnce) {
  ASSERT_EQ(mkdir((dir_ + "/machine").c_str(), 0770), 0);
  for (const std::string planted : {"/snapshot", "/machine/record"}) {
    const bool record = planted.ends_with("record");
    ASSERT_EQ(mkdir((dir_ + planted).c_str(), 0700), 0);
    MachineRecord_SetFolderForTesting((dir_ + (record ? "/machine" : "/none")).c_str());
    testing::internal::CaptureStderr();
    ASSERT_EQ(PrinterSetup_InitializeNotify(&context_), 0);
    g_handled.clear();
    for (long i = 1; i <= 2; ++i) {
      WriteQueue((record ? "R" : "S") + std::to_string(i), 1700000000, 1);
      SetTime(ppd_, 1700000000, i);
      Tick();
    }
    const std::string said = testing::internal::GetCapturedStderr(), line = dir_ + planted + " ";
    EXPECT_TRUE(said.find(line) != std::string::npos && said.find(line) == said.rfind(line))
        << said;
    EXPECT_EQ(g_handled.size(), record ? 0U : 2U) << planted;
    PrinterSetup_TerminateNotify(&context_);
    context_ = AgentContext{};
  }
}

QueueOutcome RecordQueueAndFile(const char *name, uint32_t) {
  g_handled.emplace_back(name);
  int32_t count = 0;
  QueueList *saved = SnapshotFile_Read(&count);
  std::vector<std::string> entries;
  for (int32_t i = 0; i < count; ++i) {
    entries.push_back(
        std::string(zelcups_common_cups_queuelist_get_queue_name(saved, i)) + "@" +
        std::to_string(zelcups_common_cups_queuelist_get_queue_modify_time(saved, i).tv_nsec));
  }
  std::sort(entries.begin(), entries.end());
  g_file_when_handled.push_back(entries);
  zelcups_common_cups_queuelist_terminate(saved);
  return {};
}

TEST_F(WatcherTest, AgentStartedAgainGoesOnFromTheFileCountingEachQueueFromJustBeforeItsHandling) {
  WriteQueue("Office", 1700000000, 1);
  SetTime(ppd_, 1700000000, 1);
  ASSERT_EQ(PrinterSetup_InitializeNotify(&context_), 0);
  // The agent is killed; while none runs, queues come and one changes.
  PrinterSetup_TerminateNotify(&context_);
  context_ = AgentContext{};
  WriteQueue("Hall", 1700000000, 2);
  WriteQueue("Lab", 1700000000, 3);
  SetTime(ppd_ + "/Office.ppd", 1700000000, 4);
  SetTime(ppd_, 1700000000, 4);
  PrinterSetup_SetQueueHandlerForTesting(RecordQueueAndFile);
  ASSERT_EQ(PrinterSetup_InitializeNotify(&context_), 0);
  Tick();
  ASSERT_EQ(g_handled.size(), 3u);
  const std::map<std::string, std::string> now = {
      {"Hall", "Hall@2"}, {"Lab", "Lab@3"}, {"Office", "Office@4"}};
  for (size_t k = 0; k < g_handled.size(); ++k) {
    // The queues up to this one at their new times; Office, not yet reached, at its old.
    std::vector<std::string> expected = {"Office@1"};
    for (size_t done = 0; done <= k; ++done) {
      std::erase(expected, g_handled[done] == "Office" ? "Office@1" : "");
      expected.push_back(now.at(g_handled[done]));
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(g_file_when_handled[k], expected) << "before handling " << g_handled[k];
  }

  // A file that does not read back whole, or is not the user's own, is no baseline.
  const std::string path = dir_ + "/snapshot";
  const struct {
    const char *what;
    std::function<void()> spoil;
  } rows[] = {
      {"cut short", [&] { ASSERT_EQ(truncate(path.c_str(), 40), 0); }},
      {"open to others", [&] { ASSERT_EQ(chmod(path.c_str(), 0644), 0); }},
      {"someone else's", [&] { ASSERT_EQ(chown(path.c_str(), geteuid() + 1, getegid()), 0); }},
      {"a count too high",
       [&] { std::ofstream(path) << "zelcups-agent snapshot 1 4\n1 0 Hall\nend\n"; }},
  };
  for (const auto &row : rows) {
    PrinterSetup_TerminateNotify(&context_);
    context_ = AgentContext{};
    ASSERT_EQ(PrinterSetup_InitializeNotify(&context_), 0) << row.what;
    row.spoil();
    PrinterSetup_TerminateNotify(&context_);
    context_ = AgentContext{};
    WriteQueue("Late", 1700000000, 9);
    SetTime(ppd_, 1700000000, 9);
    g_handled.clear();
    ASSERT_EQ(PrinterSetup_InitializeNotify(&context_), 0) << row.what;
    Tick();
    EXPECT_TRUE(g_handled.empty()) << row.what << ": handled " << g_handled.front();
    EXPECT_EQ(context_.queue_list_count, 4) << row.what;
    ASSERT_EQ(unlink((ppd_ + "/Late.ppd").c_str()), 0);
  }
}

// A queue whose printer's name lookup was given up is not done: an agent started again
// from the session's file tries it again, and only it.
QueueOutcome AbandonLab(const char *name, uint32_t quiet_reason) {
  RecordQueue(name, quiet_reason);
  return {std::string_view(name) == "Lab" ? QueueFate::kAbandoned : QueueFate::kSettled, 0};
}

TEST_F(WatcherTest, QueueWhoseLookupWasGivenUpIsTriedAgainByTheNextAgent) {
  ASSERT_EQ(PrinterSetup_InitializeNotify(&context_), 0);
  WriteQueue("Hall", 1700000000, 2);
  WriteQueue("Lab", 1700000000, 3);
  SetTime(ppd_, 1700000000, 3);
  PrinterSetup_SetQueueHandlerForTesting(AbandonLab);
  Tick();
  EXPECT_EQ(g_handled.size(), 2u);
  PrinterSetup_TerminateNotify(&context_);
  context_ = AgentContext{};
  g_handled.clear();
  ASSERT_EQ(PrinterSetup_InitializeNotify(&context_), 0);
  Tick();
  EXPECT_EQ(g_handled, std::vector<std::string>{"Lab"});
}

// The machine's record as other agents left it: each row plants Hall's lines, with
// another agent alive or gone, and says whether this agent's next tick hands Hall on.
TEST_F(WatcherTest, MachineRecordHandsEachQueueToOneAgent) {
  const std::string folder = dir_ + "/machine", record = folder + "/record";
  ASSERT_EQ(mkdir(folder.c_str(), 0770), 0);
  MachineRecord_SetFolderForTesting(folder.c_str());
  MachineRecord_SetNowForTesting(1800000000);
  std::ofstream(folder + "/agent.ended");  // an agent killed while idle left it
  const struct {
    const char *lines;  // Hall's, at its time 1700000000.5 unless said otherwise
    bool other_alive;
    bool handled;
  } rows[] = {
      {"", false, true},
      {"B 1700000000 5 - Hall\n", false, false},
      {"B 1700000000 4 - Hall\n", false, true},
      {"C 1700000000 5 agent.other Hall\n", true, false},
      {"C 1700000000 5 agent.other Hall\n", false, true},
      {"C 1700000000 5 agent.other Hall\nC 1700000000 5 agent.other Hall\n", false, false},
      {"C 1700000000 5 agent.other Hall\nR 0 0 - Hall\n", true, true},
      {"L 1700000000 5 1799999990:1 Hall\n", false, false},
      {"L 1700000000 5 1799999930:7 Hall\n", false, true},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    WriteQueue("Office", 1700000000, 1);
    ASSERT_EQ(unlink(record.c_str()) == 0 || errno == ENOENT, true);
    ASSERT_EQ(PrinterSetup_InitializeNotify(&context_), 0);  // takes the baseline: Office
    std::ofstream(record, std::ios::app) << rows[i].lines;
    // Made after this agent's start, whose sweep takes the files of agents that ended.
    const int other = open((folder + "/agent.other").c_str(), O_RDWR | O_CREAT, 0640);
    ASSERT_EQ(flock(other, rows[i].other_alive ? LOCK_EX : LOCK_UN), 0);
    WriteQueue("Hall", 1700000000, 5);
    SetTime(ppd_, 1700000000, 10 + static_cast<long>(i));
    g_handled.clear();
    Tick();
    // A failure told before stays quiet; so does finding a queue settled before (and
    // written since) on the backend.
    std::string hall = std::strstr(rows[i].lines, ":7 ") != nullptr ? "Hall~7" : "Hall";
    if (rows[i].lines[0] == 'B') {
      hall += "~" + std::to_string(MachineRecord_ReasonHash(kAlreadyOnBackendReason));
    }
    EXPECT_EQ(g_handled,
              rows[i].handled ? std::vector<std::string>{hall} : std::vector<std::string>{})
        << "row " << i << ": " << rows[i].lines;
    g_handled.clear();
    Tick();  // settled or still taken, it is not handed on again
    SetTime(ppd_, 1700000000, 100 + static_cast<long>(i));
    Tick();
    EXPECT_TRUE(g_handled.empty()) << "row " << i << ": " << rows[i].lines;
    PrinterSetup_TerminateNotify(&context_);
    context_ = AgentContext{};
    ASSERT_EQ(unlink((ppd_ + "/Hall.ppd").c_str()), 0);
    close(other);
  }
  EXPECT_NE(access((folder + "/agent.ended").c_str(), F_OK), 0);
  MachineRecord_SetNowForTesting(0);
}

// Planted in place of the record: ignored and replaced, with a line, the queues present
// then taken as handled.
TEST_F(WatcherTest, MachineRecordThatIsNotOneIsReplaced) {
  const std::string folder = dir_ + "/machine", record = folder + "/record";
  ASSERT_EQ(mkdir(folder.c_str(), 0770), 0);
  MachineRecord_SetFolderForTesting(folder.c_str());
  const std::string valid = "zelcups-agent record 1\nB 1 0 - Other\n";
  const struct {
    const char *what;
    std::string text;
    mode_t mode;
    gid_t group;  // added to the folder's
    bool link, replaced;
  } rows[] = {
      {"whole", valid, 0660, 0, false, false},
      {"a link", valid, 0660, 0, true, true},
      {"another group's", valid, 0660, 1, false, true},
      {"open to others", valid, 0664, 0, false, true},
      {"garbled", valid + "B 1 x - Hall\n", 0660, 0, false, true},
      {"cut short", valid + "B 1 0 - Ha", 0660, 0, false, true},
  };
  WriteQueue("Office", 1700000000, 1);
  for (const auto &row : rows) {
    const std::string planted = row.link ? dir_ + "/elsewhere" : record;
    unlink(record.c_str());
    std::ofstream(planted) << row.text;
    ASSERT_EQ(chmod(planted.c_str(), row.mode), 0);
    ASSERT_EQ(chown(planted.c_str(), geteuid(), getegid() + row.group), 0);
    ASSERT_TRUE(!row.link || symlink(planted.c_str(), record.c_str()) == 0);
    g_handled.clear();
    testing::internal::CaptureStderr();
    ASSERT_EQ(PrinterSetup_InitializeNotify(&context_), 0) << row.what;
    Tick();
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said.find("ignored and replaced") != std::string::npos, row.replaced)
        << row.what << ": " << said;
    // Replaced, the record takes Office as handled; kept, it lacks Office, which is new.
    EXPECT_EQ(g_handled.empty(), row.replaced) << row.what;
    struct stat status {};
    EXPECT_TRUE(lstat(record.c_str(), &status) == 0 && S_ISREG(status.st_mode)) << row.what;
    PrinterSetup_TerminateNotify(&context_);
    context_ = AgentContext{};
  }
}

// Saving grows with the queues a tick handles, not with their square.
TEST_F(WatcherTest, MachineRecordSavesEightThousandQueuesWithinATenthOfASecond) {
  ASSERT_EQ(mkdir((dir_ + "/machine").c_str(), 0770), 0);
  MachineRecord_SetFolderForTesting((dir_ + "/machine").c_str());
  ASSERT_TRUE(MachineRecord_Open());
  MachineRecord_Start(nullptr, 0);
  // The work of saving, in CPU time: a machine shared with other builds stretches the wall
  // clock, not this.
  const auto cpu = [] {
    struct timespec now {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
  };
  std::vector<std::string> names;
  for (int i = 0; i < 8000; ++i) {
    names.push_back("Queue-" + std::to_string(i));
  }
  const double cpu_start = cpu();
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 8000; ++i) {
    ASSERT_EQ(MachineRecord_Claim(names[i], {1700000000, i}).claim, RecordClaim::kClaimed);
    MachineRecord_Settle(names[i], {1700000000, i + 1});
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  const double cpu_took = cpu() - cpu_start;
  printf("FIGURE record save of 8000 queues: %.3f s (%.3f s of CPU)\n", took.count(), cpu_took);
#ifndef __SANITIZE_ADDRESS__  // many times slower under the sanitizers, by design
  EXPECT_LT(cpu_took, 0.1);
#endif
  MachineRecord_Close();
}

TEST_F(WatcherTest, NullContextsAreRefused) {
  WriteQueue("Office", 1700000000, 0);  // what a tick that went on would handle
  EXPECT_EQ(PrinterSetup_InitializeNotify(nullptr), -1);
  PrinterSetup_TerminateNotify(nullptr);
  z_CallbackForPrinterSetup(nullptr, nullptr);
  EXPECT_TRUE(g_handled.empty());
  EXPECT_TRUE(zelcups_test::PlatformCalls().empty());
}

TEST_F(WatcherTest, FailedTimerInstallationReturnsItsStatusWithoutSnapshot) {
  WriteQueue("Office", 1700000000, 0);
  zelcups_test::FailNextTimerInstall(-9876);
  EXPECT_EQ(PrinterSetup_InitializeNotify(&context_), -9876);
  EXPECT_EQ(context_.queue_list, nullptr);
  EXPECT_EQ(context_.ppd_dir_mtime, 0);
  EXPECT_EQ(context_.watcher_timer, nullptr);
}

TEST_F(WatcherTest, ShutdownRemovesTheTimerOnce) {
  ASSERT_EQ(PrinterSetup_InitializeNotify(&context_), 0);
  ASSERT_NE(context_.watcher_timer, nullptr);
  PrinterSetup_TerminateNotify(&context_);
  EXPECT_EQ(context_.watcher_timer, nullptr);
  PrinterSetup_TerminateNotify(&context_);  // again, as on a half-built context: no-op
  EXPECT_EQ(zelcups_test::PlatformCalls(),
            (std::vector<std::string>{"InstallEventLoopTimer", "RemoveEventLoopTimer"}));
}

TEST_F(WatcherTest, AgentMainReturnsTheTimerStatusWithoutRunningTheLoopAndRemovesTheObserver) {
  zelcups_test::FailNextTimerInstall(-9876);
  EXPECT_EQ(Agent_Main(), -9876);  // would hang here if the loop ran
  // The observer holds the context, which is gone now.
  EXPECT_EQ(zelcups_test::ObserverCount(), 0u);
  EXPECT_EQ(zelcups_test::PlatformCalls(),
            (std::vector<std::string>{"AddObserver", "InstallEventLoopTimer", "RemoveObserver"}));
}

void QuitAfterFirstTick(EventLoopTimerRef, void *) {
  raise(SIGTERM);
}

TEST_F(WatcherTest, AgentMainReturnsZeroOnQuitRequestAndUndoesStartUpInReverse) {
  WriteQueue("Office", 1700000000, 0);
  // Fires after the agent's own first tick, which is due at once.
  EventLoopTimerRef quit = nullptr;
  ASSERT_EQ(
      InstallEventLoopTimer(GetMainEventLoop(), 0.05, 0.0, QuitAfterFirstTick, nullptr, &quit),
      noErr);
  zelcups_test::PlatformCalls().clear();
  EXPECT_EQ(Agent_Main(), 0);
  EXPECT_TRUE(g_handled.empty());  // the queue existed at start-up
  EXPECT_EQ(zelcups_test::PlatformCalls(),
            (std::vector<std::string>{"AddObserver", "InstallEventLoopTimer",
                                      "RemoveEventLoopTimer", "RemoveObserver"}));
  EXPECT_EQ(zelcups_test::ObserverCount(), 0u);
  RemoveEventLoopTimer(quit);
}

// Ends a loop that no quit request ended, and says so.
bool g_watchdog_fired = false;
void Watchdog(EventLoopTimerRef, void *) {
  g_watchdog_fired = true;
  QuitApplicationEventLoop();
}

TEST_F(WatcherTest, QuitRequestDuringStartUpEndsTheAgentWithZero) {
  // A process of its own, in which nothing but the agent has touched the event loop yet.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
    EXPECT_EXIT(
        {
          alarm(10);  // a request that is caught but lost leaves the loop running
          // Before any step of start-up has run but the first.
          zelcups_test::RaiseDuringNextObserverAdd(signal_number);
          exit(Agent_Main());
        },
        testing::ExitedWithCode(0), "")
        << "signal " << signal_number;
  }
}

TEST_F(WatcherTest, QuitRequestDuringShutdownEndsTheAgentWithZero) {
  for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
    g_watchdog_fired = false;
    EventLoopTimerRef watchdog = nullptr;
    ASSERT_EQ(InstallEventLoopTimer(GetMainEventLoop(), 5.0, 0.0, Watchdog, nullptr, &watchdog),
              noErr);
    EventLoopTimerRef quit = nullptr;
    ASSERT_EQ(
        InstallEventLoopTimer(GetMainEventLoop(), 0.05, 0.0, QuitAfterFirstTick, nullptr, &quit),
        noErr);
    // The last step of shutdown; a request that is not caught kills the test here.
    zelcups_test::RaiseDuringNextObserverRemoval(signal_number);
    EXPECT_EQ(Agent_Main(), 0) << "signal " << signal_number;
    // The request was kept, not lost: the next run ends at once.
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    RunApplicationEventLoop();
    EXPECT_FALSE(g_watchdog_fired) << "signal " << signal_number;
    RemoveEventLoopTimer(quit);
    RemoveEventLoopTimer(watchdog);
  }
}

}  // namespace
