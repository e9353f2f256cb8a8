#include <Carbon/Carbon.h>
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <limits>

#include "zelcups/compat_testing.h"

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

// Ends a test that would otherwise hang.
void Watchdog(EventLoopTimerRef, void *) {
  QuitApplicationEventLoop();
}

class EventLoopTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(InstallEventLoopTimer(GetMainEventLoop(), 10.0, 0.0, Watchdog, nullptr, &watchdog_),
              noErr);
  }
  void TearDown() override { CompatTesting_RemoveAllEventLoopTimers(); }
  EventLoopTimerRef watchdog_ = nullptr;
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
}

TEST_F(EventLoopTest, RemovedTimerNoLongerFires) {
  FireLog removed;
  EventLoopTimerRef timer = nullptr;
  ASSERT_EQ(InstallEventLoopTimer(GetMainEventLoop(), 0.0, 0.001, CountAndQuit, &removed, &timer),
            noErr);
  ASSERT_EQ(RemoveEventLoopTimer(timer), noErr);
  FireLog other;
  other.quit_after = 5;
  ASSERT_EQ(InstallEventLoopTimer(GetMainEventLoop(), 0.0, 0.005, CountAndQuit, &other, nullptr),
            noErr);
  RunApplicationEventLoop();
  EXPECT_EQ(other.fires, 5);
  EXPECT_EQ(removed.fires, 0);
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
  CompatTesting_FailNextEventLoopTimerInstall(-1234);
  EXPECT_EQ(InstallEventLoopTimer(GetMainEventLoop(), 0, 3, CountAndQuit, nullptr, nullptr), -1234);
  // Only the next one fails.
  EXPECT_EQ(InstallEventLoopTimer(GetMainEventLoop(), 0, 3, CountAndQuit, nullptr, nullptr), noErr);
}

TEST_F(EventLoopTest, QuitSignalsEndTheLoop) {
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    FireLog log;
    log.quit_after = 1;
    log.signal_to_raise = sig;
    EventLoopTimerRef timer = nullptr;
    ASSERT_EQ(InstallEventLoopTimer(GetMainEventLoop(), 0.0, 0.01, CountAndQuit, &log, &timer),
              noErr);
    RunApplicationEventLoop();  // returns instead of the process dying of the signal
    EXPECT_EQ(log.fires, 1) << "signal " << sig;
    RemoveEventLoopTimer(timer);
  }
}

TEST_F(EventLoopTest, QuitBeforeRunReturnsAtOnce) {
  QuitApplicationEventLoop();
  RunApplicationEventLoop();
  SUCCEED();
}

}  // namespace
