// The sandbox's private scheduler, as the integration tests and the benchmark set it up.
#ifndef ZELCUPS_TESTS_SANDBOX_SCHEDULER_H
#define ZELCUPS_TESTS_SANDBOX_SCHEDULER_H

#include <string>
#include <vector>

struct SandboxQueue {
  std::string name;
  std::string device_uri;
};

// True inside scripts/sandbox, whose scheduler these helpers may change and stop.
bool InSandbox();

// Adds the queues (no PPD) over one connection, as lpadmin -p NAME -v URI would; false
// with a message in error when the scheduler refuses one.
bool AddQueues(const std::vector<SandboxQueue> &queues, std::string &error);

// "Queue-0000", "Queue-0001", ... each with a socket:// URI of its own.
std::vector<SandboxQueue> NumberedQueues(int count);

// Stops the sandbox's cupsd and waits until it has exited; false when none runs or it
// does not end within 10 seconds.
bool StopScheduler(std::string &error);

#endif
