// The PPD keyword reader on arbitrary file contents, read through an in-memory file.
#include "fuzz_support.h"
#include "zelcups_common.h"

#include <algorithm>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

constexpr int32_t kCapacity = 8;

struct Outcome {
  bool result;
  int32_t count;
  int32_t stored;
};

Outcome read_ppd(const std::string &path, bool check_header, const char *key_prefix,
                 bool with_options) {
  PpdOption options[kCapacity] = {};
  int32_t count = with_options ? kCapacity : -1;
  PpdOptionRequest request{};
  request.ppd_path = path.c_str();
  request.check_header = check_header;
  if (check_header) {
    request.pc_file_name = "XVTD";
    request.manufacturer = "Arvex";
    request.pdl_type = "ZELQRX5";
  }
  request.key_prefix = key_prefix;
  request.options = with_options ? options : nullptr;
  request.option_count = &count;
  Outcome outcome{zelcups_common_check_and_get_ppd_option_list(request), count, 0};
  for (PpdOption &option : options) {
    if (option.key == nullptr) {
      FUZZ_CHECK(option.value == nullptr);
      continue;
    }
    ++outcome.stored;
    FUZZ_CHECK(option.value != nullptr);
    FUZZ_CHECK(strlen(option.key) <= 255 && strlen(option.value) <= 255);
    FUZZ_CHECK(strpbrk(option.value, "\t\r\n\"") == nullptr);
    free(option.key);
    free(option.value);
  }
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const int fd = memfd_create("fuzz.ppd", 0);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(size == 0 || write(fd, data, size) == static_cast<ssize_t>(size));
  const std::string path = "/proc/self/fd/" + std::to_string(fd);

  const bool family = zelcups_common_check_pdl_type_by_ppd_file(path.c_str(), "ZELQRX5");
  // Without the header check every readable file succeeds when only counting.
  const Outcome counted = read_ppd(path, false, nullptr, false);
  FUZZ_CHECK(counted.result && counted.count >= 0 && counted.stored == 0);
  const Outcome collected = read_ppd(path, false, nullptr, true);
  FUZZ_CHECK(collected.result == (counted.count <= kCapacity));
  FUZZ_CHECK(collected.stored == std::min(counted.count, kCapacity));
  FUZZ_CHECK(collected.count == (collected.result ? counted.count : kCapacity));
  // A family file is collected from its top, like any file without the check.
  const Outcome checked = read_ppd(path, true, nullptr, false);
  FUZZ_CHECK(checked.result == family);
  FUZZ_CHECK(!checked.result || checked.count == counted.count);
  const Outcome prefixed = read_ppd(path, false, "Default", false);
  FUZZ_CHECK(prefixed.result && prefixed.count <= counted.count);

  close(fd);
  return 0;
}
