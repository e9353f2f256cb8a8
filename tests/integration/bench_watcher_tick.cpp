// The cost of one changed tick of the watcher over a PPD directory of many queues of
// another maker: the snapshot, the comparison with the previous one, and the family check
// of the one new queue. Run inside scripts/sandbox, whose /etc/cups/ppd is private.
//
//   bench_watcher_tick OTHER_MAKER_PPD COUNT...
//
// Prints one line per count: the queues and the median and slowest time of 5 ticks, in
// milliseconds.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "printer_setup.h"
#include "snapshot_file.h"

namespace {

constexpr char kPPDDirectory[] = "/etc/cups/ppd";
constexpr int kRuns = 5;

void Populate(const std::filesystem::path &ppd, int count) {
  std::filesystem::remove_all(kPPDDirectory);
  std::filesystem::create_directories(kPPDDirectory);
  for (int i = 0; i < count; ++i) {
    std::filesystem::copy_file(ppd,
                               std::string(kPPDDirectory) + "/Other-" + std::to_string(i) + ".ppd");
  }
}

double TickMilliseconds(AgentContext *context, const std::filesystem::path &ppd, int run) {
  // A new queue of another maker changes the directory; every other queue is unchanged.
  std::filesystem::copy_file(ppd,
                             std::string(kPPDDirectory) + "/New-" + std::to_string(run) + ".ppd");
  const auto start = std::chrono::steady_clock::now();
  z_CallbackForPrinterSetup(nullptr, context);
  const auto end = std::chrono::steady_clock::now();
  return std::chrono::duration<double, std::milli>(end - start).count();
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3 || getenv("ZELCUPS_SANDBOX") == nullptr) {
    fprintf(stderr, "usage (inside scripts/sandbox): %s OTHER_MAKER_PPD COUNT...\n", argv[0]);
    return 2;
  }
  const std::filesystem::path ppd = argv[1];
  for (int arg = 2; arg < argc; ++arg) {
    const int count = atoi(argv[arg]);
    Populate(ppd, count);
    // Each count starts as a session's first agent: its baseline is the directory.
    std::error_code ignored;
    std::filesystem::remove(SnapshotFile_Path(), ignored);
    auto *context = static_cast<AgentContext *>(calloc(1, sizeof(AgentContext)));
    // Installs the timer (never run here) and takes the starting snapshot.
    if (PrinterSetup_InitializeNotify(context) != 0) {
      fprintf(stderr, "bench_watcher_tick: the watcher did not start\n");
      return 1;
    }
    std::vector<double> times;
    for (int run = 0; run < kRuns; ++run) {
      times.push_back(TickMilliseconds(context, ppd, run));
    }
    PrinterSetup_TerminateNotify(context);
    free(context);
    std::sort(times.begin(), times.end());
    printf("%d\t%.1f\t%.1f\n", count, times[kRuns / 2], times.back());
  }
  return 0;
}
