// Times the device URI lookup against the sandbox's scheduler; scripts/bench-device-uri-lookup
// runs it beside lpstat.
//
//   bench_device_uri_lookup populate COUNT      adds Queue-0000 ... with socket:// URIs
//   bench_device_uri_lookup lookup QUEUE RUNS   prints the URI and the median time of RUNS lookups

#include "sandbox_scheduler.h"
#include "zelcups_common.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

int Populate(int count) {
  std::string error;
  if (!AddQueues(NumberedQueues(count), error)) {
    std::fprintf(stderr, "populate: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

int Lookup(const char *queue, int runs) {
  std::vector<double> milliseconds;
  std::string uri;
  for (int i = 0; i < runs; ++i) {
    char *found = nullptr;
    const auto start = std::chrono::steady_clock::now();
    const int32_t status = zelcups_common_queuename_to_cups_device_uri(queue, &found);
    const auto end = std::chrono::steady_clock::now();
    if (status != 0 || found == nullptr) {
      std::fprintf(stderr, "lookup of %s failed (status %d)\n", queue, status);
      std::free(found);
      return 1;
    }
    uri = found;
    std::free(found);
    milliseconds.push_back(std::chrono::duration<double, std::milli>(end - start).count());
  }
  std::sort(milliseconds.begin(), milliseconds.end());
  std::printf("%s\t%.2f\t%.2f\t%.2f\n", uri.c_str(), milliseconds[milliseconds.size() / 2],
              milliseconds.front(), milliseconds.back());
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (!InSandbox()) {
    std::fprintf(stderr, "run inside scripts/sandbox\n");
    return 2;
  }
  const std::string_view mode = argc > 1 ? argv[1] : "";
  if (mode == "populate" && argc == 3) {
    return Populate(std::atoi(argv[2]));
  }
  if (mode == "lookup" && argc == 4 && std::atoi(argv[3]) > 0) {
    return Lookup(argv[2], std::atoi(argv[3]));
  }
  std::fprintf(stderr, "usage: %s populate COUNT | lookup QUEUE RUNS\n", argv[0]);
  return 2;
}
