#include <Carbon/Carbon.h>
#include <CoreServices/CoreServices.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "scoped_temp_dir.h"

namespace {

struct FireLog {
  int fires = 0;
  int quit_after = 0;
  EventLoopTimerRef seen = nullptr;
  int signal_to_raise = 0;
};

void CountAndQuit(EventLoopTimerRef timer, void *data) {
  auto *log = static_cast<FireLog *>(data);
  log->seen = timer;
  if (++log->fires == log->quit_after) {
    if (log->signal_to_raise != 0) {
      raise(log->signal_to_raise);
    } else {
      QuitApplicationEventLoop();
    }
  }
}

// Ends a test that would otherwise hang; a test that needed it fails.
void Watchdog(EventLoopTimerRef, void *fired) {
  *static_cast<bool *>(fired) = true;
  QuitApplicationEventLoop();
}

class EventLoopTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(InstallEventLoopTimer(GetMainEventLoop(), 10.0, 0.0, Watchdog, &watchdog_fired_,
                                    &watchdog_),
              noErr);
  }
  void TearDown() override {
    RemoveEventLoopTimer(watchdog_);
    EXPECT_FALSE(watchdog_fired_) << "no quit request ended the loop";
  }
  EventLoopTimerRef watchdog_ = nullptr;
  bool watchdog_fired_ = false;
};

TEST_F(EventLoopTest, RepeatingTimerPassesItsHandleAndUserData) {
  FireLog log;
  log.quit_after = 3;
  EventLoopTimerRef timer = nullptr;
  ASSERT_EQ(InstallEventLoopTimer(GetMainEventLoop(), 0.0, 0.01, CountAndQuit, &log, &timer),
            noErr);
  RunApplicationEventLoop();
  EXPECT_EQ(log.fires, 3);
  EXPECT_EQ(log.seen, timer);
  RemoveEventLoopTimer(timer);
}

TEST_F(EventLoopTest, RemovedTimerNoLongerFires) {
  FireLog removed;
  EventLoopTimerRef timer = nullptr;
  ASSERT_EQ(InstallEventLoopTimer(GetMainEventLoop(), 0.0, 0.001, CountAndQuit, &removed, &timer),
            noErr);
  ASSERT_EQ(RemoveEventLoopTimer(timer), noErr);
  FireLog other;
  other.quit_after = 5;
  EventLoopTimerRef other_timer = nullptr;
  ASSERT_EQ(
      InstallEventLoopTimer(GetMainEventLoop(), 0.0, 0.005, CountAndQuit, &other, &other_timer),
      noErr);
  RunApplicationEventLoop();
  EXPECT_EQ(other.fires, 5);
  EXPECT_EQ(removed.fires, 0);
  RemoveEventLoopTimer(other_timer);
}

TEST_F(EventLoopTest, BadArgumentsAreRefused) {
  const double kNaN = std::numeric_limits<double>::quiet_NaN();
  struct Row {
    EventLoopRef loop;
    double delay, interval;
    EventLoopTimerUPP proc;
  } rows[] = {
      {nullptr, 0, 3, CountAndQuit},
      {GetMainEventLoop(), 0, 3, nullptr},
      {GetMainEventLoop(), -1, 3, CountAndQuit},
      {GetMainEventLoop(), 0, -3, CountAndQuit},
      {GetMainEventLoop(), kNaN, 3, CountAndQuit},
      {GetMainEventLoop(), 0, INFINITY, CountAndQuit},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    EventLoopTimerRef timer = nullptr;
    EXPECT_EQ(InstallEventLoopTimer(rows[i].loop, rows[i].delay, rows[i].interval, rows[i].proc,
                                    nullptr, &timer),
              paramErr)
        << "row " << i;
    EXPECT_EQ(timer, nullptr) << "row " << i;
  }
}

TEST_F(EventLoopTest, QuitSignalsEndTheLoop) {
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    FireLog log;
    log.quit_after = 1;
    log.signal_to_raise = sig;
    // The signal reaches the loop through GLib's worker thread; a second fire within the
    // second means the signal did not end the loop.
    EventLoopTimerRef timer = nullptr;
    ASSERT_EQ(InstallEventLoopTimer(GetMainEventLoop(), 0.0, 1.0, CountAndQuit, &log, &timer),
              noErr);
    RunApplicationEventLoop();  // returns instead of the process dying of the signal
    EXPECT_EQ(log.fires, 1) << "signal " << sig;
    RemoveEventLoopTimer(timer);
  }
}

TEST_F(EventLoopTest, QuitBeforeRunReturnsAtOnce) {
  // Due at once: a loop that runs at all fires it (and then ends).
  FireLog log;
  log.quit_after = 1;
  EventLoopTimerRef timer = nullptr;
  ASSERT_EQ(InstallEventLoopTimer(GetMainEventLoop(), 0.0, 0.0, CountAndQuit, &log, &timer), noErr);
  QuitApplicationEventLoop();
  RunApplicationEventLoop();
  EXPECT_EQ(log.fires, 0);
  // The request was used up: the next run is an ordinary one.
  RunApplicationEventLoop();
  EXPECT_EQ(log.fires, 1);
  RemoveEventLoopTimer(timer);
}

TEST_F(EventLoopTest, QuitSignalBeforeRunEndsTheNextRun) {
  // From the first look at the main loop on, a quit signal is a request, not the end.
  GetMainEventLoop();
  FireLog log;
  log.quit_after = 1;
  EventLoopTimerRef timer = nullptr;
  ASSERT_EQ(InstallEventLoopTimer(GetMainEventLoop(), 1.0, 0.0, CountAndQuit, &log, &timer), noErr);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    raise(sig);
    RunApplicationEventLoop();
    EXPECT_EQ(log.fires, 0) << "signal " << sig;
  }
  RemoveEventLoopTimer(timer);
}

// Each step changes the folder, runs the loop for a while, and says which callbacks that
// brings: a burst within the latency is one event, a stopped stream brings none, and a
// folder made again is watched again.
void Record(ConstFSEventStreamRef, void *log, size_t count, void *,
            const FSEventStreamEventFlags flags[], const FSEventStreamEventId[]) {
  for (size_t i = 0; i < count; ++i) {
    static_cast<std::vector<FSEventStreamEventFlags> *>(log)->push_back(flags[i]);
  }
}

void Quit(EventLoopTimerRef, void *) {
  QuitApplicationEventLoop();
}

struct Burst {
  std::string folder;
  int written = 0;
};

void WriteOne(EventLoopTimerRef, void *data) {
  auto *burst = static_cast<Burst *>(data);
  if (burst->written < 5) {
    std::ofstream(burst->folder + "/q" + std::to_string(burst->written++) + ".ppd") << "x";
  }
}

void StopStream(EventLoopTimerRef, void *stream) {
  FSEventStreamStop(static_cast<FSEventStreamRef>(stream));
}

TEST_F(EventLoopTest, FolderStreamCoalescesABurstAndStopsWhenStopped) {
  ScopedTempDir temp;
  const std::string folder = temp.path() + "/ppd";
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  CFStringRef path = CFStringCreateWithCString(nullptr, folder.c_str(), kCFStringEncodingUTF8);
  CFArrayRef paths =
      CFArrayCreate(nullptr, reinterpret_cast<const void **>(&path), 1, &kCFTypeArrayCallBacks);
  std::vector<FSEventStreamEventFlags> log;
  FSEventStreamContext context = {0, &log, nullptr, nullptr, nullptr};
  FSEventStreamRef stream =
      FSEventStreamCreate(nullptr, Record, &context, paths, kFSEventStreamEventIdSinceNow, 0.2, 0);
  ASSERT_NE(stream, nullptr);
  EXPECT_FALSE(FSEventStreamStart(stream)) << "started before it was scheduled";
  FSEventStreamScheduleWithRunLoop(stream, CFRunLoopGetMain(), kCFRunLoopDefaultMode);
  ASSERT_TRUE(FSEventStreamStart(stream));
  struct Step {
    const char *what;
    bool remake, burst;
    double stop_at;  // seconds into the step; 0: not stopped
    std::vector<FSEventStreamEventFlags> expected;
  } steps[] = {
      {"nothing", false, false, 0, {}},
      {"a burst", false, true, 0, {kFSEventStreamEventFlagNone}},
      {"the folder made again", true, false, 0, {kFSEventStreamEventFlagRootChanged}},
      {"a burst in the new folder", false, true, 0, {kFSEventStreamEventFlagNone}},
      {"a burst, stopped within the latency", false, true, 0.1, {}},
  };
  for (const Step &step : steps) {
    log.clear();
    if (step.remake) {
      std::filesystem::remove_all(folder);
      mkdir(folder.c_str(), 0755);
    }
    // Five files 30 ms apart, all within the latency.
    Burst burst{folder};
    EventLoopTimerRef writer = nullptr, stopper = nullptr, quit = nullptr;
    if (step.burst) {
      InstallEventLoopTimer(GetMainEventLoop(), 0, 0.03, WriteOne, &burst, &writer);
    }
    if (step.stop_at > 0) {
      InstallEventLoopTimer(GetMainEventLoop(), step.stop_at, 0, StopStream, stream, &stopper);
    }
    ASSERT_EQ(InstallEventLoopTimer(GetMainEventLoop(), 0.6, 0, Quit, nullptr, &quit), noErr);
    RunApplicationEventLoop();
    for (EventLoopTimerRef timer : {writer, stopper}) {
      if (timer != nullptr) {
        RemoveEventLoopTimer(timer);
      }
    }
    RemoveEventLoopTimer(quit);
    EXPECT_EQ(log, step.expected) << step.what;
  }
  FSEventStreamInvalidate(stream);
  FSEventStreamRelease(stream);
  CFRelease(paths);
  CFRelease(path);
}

}  // namespace
