// The IPv6 test, the link-local test and the zone completion with both separator pairs,
// each on a text whose buffer has exactly the 4 spare bytes that callers must provide.
#include "fuzz_support.h"
#include "zelcups_common.h"

#include <string_view>

namespace {

constexpr size_t kSpare = 4;

void complete_and_check(const std::string_view original, bool is_ipv6, char old_separator,
                        char new_separator) {
  const auto text =
      fuzz_copy(reinterpret_cast<const uint8_t *>(original.data()), original.size(), 1 + kSpare);
  text[original.size()] = '\0';
  char outside = 0;
  char *start = &outside;
  char *end = &outside;
  char *zone = &outside;
  const bool result = zelcups_common_check_ipv6_address(text.get(), old_separator, new_separator,
                                                        &start, &end, &zone);
  FUZZ_CHECK(result == is_ipv6);
  const std::string_view completed(text.get());
  if (!result) {
    FUZZ_CHECK(completed == original);
    FUZZ_CHECK(start == &outside && end == &outside && zone == &outside);
    return;
  }
  FUZZ_CHECK(completed.size() >= original.size());
  FUZZ_CHECK(completed.size() <= original.size() + kSpare);
  char *const first = text.get();
  char *const last = first + completed.size();
  FUZZ_CHECK(first <= start && start <= zone && zone <= end && end <= last);
  // Nothing before the address changes, and what follows it only moves.
  const size_t growth = completed.size() - original.size();
  FUZZ_CHECK(completed.substr(0, start - first) == original.substr(0, start - first));
  FUZZ_CHECK(static_cast<size_t>(end - first) >= growth);
  FUZZ_CHECK(completed.substr(end - first) == original.substr(end - first - growth));
  if (zelcups_common_check_ipv6_link_local_address(start)) {
    FUZZ_CHECK(*zone == new_separator);
    FUZZ_CHECK(zone + 1 < end);  // the zone is never empty
  } else {
    FUZZ_CHECK(completed == original);
    FUZZ_CHECK(zone == end);
  }
  FUZZ_CHECK(zelcups_common_check_ipv6_address(text.get(), 0, 0, nullptr, nullptr, nullptr));

  // A completed address is complete: a second pass keeps it as it is. (The zone search
  // ends at the last "/", so an address that holds one is left out.)
  if (std::string_view(start, end - start).find('/') == std::string_view::npos) {
    const auto again = fuzz_copy(reinterpret_cast<const uint8_t *>(completed.data()),
                                 completed.size(), 1 + kSpare);
    again[completed.size()] = '\0';
    FUZZ_CHECK(zelcups_common_check_ipv6_address(again.get(), old_separator, new_separator, nullptr,
                                                 nullptr, nullptr));
    FUZZ_CHECK(std::string_view(again.get()) == completed);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 1 << 16) {
    return 0;
  }
  // The routines take NUL-terminated text: the input up to its first NUL.
  const std::string_view original(reinterpret_cast<const char *>(data),
                                  strnlen(reinterpret_cast<const char *>(data), size));
  const auto text =
      fuzz_copy(reinterpret_cast<const uint8_t *>(original.data()), original.size(), 1);
  text[original.size()] = '\0';

  char outside = 0;
  char *start = &outside;
  const bool is_ipv6 =
      zelcups_common_check_ipv6_address(text.get(), 0, 0, &start, nullptr, nullptr);
  FUZZ_CHECK(start == &outside);
  FUZZ_CHECK(std::string_view(text.get()) == original);
  (void)zelcups_common_check_ipv6_link_local_address(text.get());
  for (const char separator : {'%', '+'}) {
    const char *found = zelcups_common_get_ipv6_interfaceId_top_pointer(text.get(), separator);
    FUZZ_CHECK(found == nullptr ||
               (found > text.get() && found < text.get() + original.size() && *found == separator));
  }

  complete_and_check(original, is_ipv6, '%', '+');
  complete_and_check(original, is_ipv6, '+', '%');
  return 0;
}
