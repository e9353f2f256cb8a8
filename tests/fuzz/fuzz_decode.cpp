// The escape decoder on arbitrary bytes followed by exactly one terminator: an escape may
// be read past the count it is given, never past the terminator.
#include "fuzz_support.h"
#include "zelcups_common.h"

#include <string_view>

namespace {

// The caller's contract: a destination of source length + 1 bytes. It is filled with a
// non-zero byte so that a missing terminator shows.
void decode_and_check(const char *source, size_t size, char marker, int8_t digit_count) {
  auto destination = std::make_unique<char[]>(size + 1);
  memset(destination.get(), 0x5A, size + 1);
  zelcups_common_convert_hexcode_string_in_uri(destination.get(), source,
                                               static_cast<int32_t>(size), marker, digit_count);
  if (size == 0) {
    return;
  }
  const void *terminator = memchr(destination.get(), 0, size + 1);
  FUZZ_CHECK(terminator != nullptr);
  const std::string_view decoded(destination.get());
  const std::string_view text(source, strnlen(source, size));
  FUZZ_CHECK(decoded.size() <= text.size());
  if (text.find(marker) == std::string_view::npos) {
    FUZZ_CHECK(decoded == text);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 1 << 20) {
    return 0;
  }
  const auto source = fuzz_copy(data, size, 1);
  decode_and_check(source.get(), size, '%', 2);
  // A count that ends inside the text, as for a service name cut at its first dot.
  decode_and_check(source.get(), size / 2, '%', 2);
  // Other markers and digit counts: no caller uses them, but they must stay in bounds.
  if (size >= 2) {
    const auto rest = fuzz_copy(data + 2, size - 2, 1);
    decode_and_check(rest.get(), size - 2, static_cast<char>(data[0]),
                     static_cast<int8_t>(data[1]));
  }
  return 0;
}
