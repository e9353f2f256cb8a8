// The device URI lookup against the real scheduler of scripts/sandbox; CTest gives every
// test a sandbox of its own, so each starts with an empty scheduler.

#include "sandbox_scheduler.h"
#include "zelcups_common.h"

#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

extern char **environ;

namespace {

char kUntouched[] = "untouched";

class DeviceUriLookupIntegration : public ::testing::Test {
 protected:
  void SetUp() override {
    // These tests add queues and stop cupsd: never on the host's scheduler.
    ASSERT_TRUE(InSandbox()) << "run inside scripts/sandbox (ctest does)";
  }
};

// Through the administration tool, as a user would add the queue.
int RunLpadmin(const std::string &queue, const std::string &device_uri) {
  const char *argv[] = {"lpadmin", "-p", queue.c_str(), "-v", device_uri.c_str(), nullptr};
  pid_t pid;
  if (posix_spawnp(&pid, "lpadmin", nullptr, nullptr, const_cast<char **>(argv), environ) != 0) {
    return -1;
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(DeviceUriLookupIntegration, AnswersWithTheQueuesUriAndNothingForAnotherCase) {
  ASSERT_EQ(RunLpadmin("Office", "usb://X/Y"), 0);

  struct Row {
    const char *queue;
    const char *expected;  // nullptr: 0 and no URI
  };
  const Row rows[] = {
      {"Office", "usb://X/Y"},
      {"office", nullptr},
      {"Offic", nullptr},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    char *uri = kUntouched;
    EXPECT_EQ(zelcups_common_queuename_to_cups_device_uri(rows[i].queue, &uri), 0)
        << "row " << i << ": " << rows[i].queue;
    if (rows[i].expected == nullptr) {
      EXPECT_EQ(uri, kUntouched) << "row " << i << ": " << rows[i].queue;
    } else {
      ASSERT_NE(uri, kUntouched) << "row " << i << ": " << rows[i].queue;
      EXPECT_STREQ(uri, rows[i].expected) << "row " << i << ": " << rows[i].queue;
      std::free(uri);
    }
  }
}

TEST_F(DeviceUriLookupIntegration, FindsTheRightQueueAmongTwoHundred) {
  std::vector<SandboxQueue> queues = NumberedQueues(197);
  queues.push_back({"Office", "usb://X/Y"});
  queues.push_back({"Office-2", "lpd://[v1.fe80::1+en0]/queue"});
  queues.push_back({"Off", "ipp://192.168.0.5:631/ipp"});
  std::string error;
  ASSERT_TRUE(AddQueues(queues, error)) << error;

  const size_t picks[] = {0, 98, 196, 197, 198, 199};
  for (size_t i : picks) {
    char *uri = kUntouched;
    ASSERT_EQ(zelcups_common_queuename_to_cups_device_uri(queues[i].name.c_str(), &uri), 0)
        << "row " << i << ": " << queues[i].name;
    ASSERT_NE(uri, kUntouched) << "row " << i << ": " << queues[i].name;
    EXPECT_EQ(std::string(uri), queues[i].device_uri) << "row " << i << ": " << queues[i].name;
    std::free(uri);
  }
}

TEST_F(DeviceUriLookupIntegration, NoAnswerWhenTheSchedulerIsStopped) {
  ASSERT_EQ(RunLpadmin("Office", "usb://X/Y"), 0);
  std::string error;
  ASSERT_TRUE(StopScheduler(error)) << error;

  char *uri = kUntouched;
  EXPECT_EQ(zelcups_common_queuename_to_cups_device_uri("Office", &uri), -1);
  EXPECT_EQ(uri, kUntouched);
}

}  // namespace
