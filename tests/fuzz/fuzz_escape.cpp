// The escape engine with each rule set, on arbitrary bytes of exact length.
#include "fuzz_support.h"
#include "zelcups_common.h"

#include <cstring>
#include <string_view>

namespace {

struct RuleSet {
  int32_t (*escape)(const char *, uint32_t, char **);
  const char *selected;
  bool decodes_back;  // escapes the marker itself, so decoding restores the text
};

constexpr RuleSet kRuleSets[] = {
    {zelcups_common_convert_charactor_for_lpadmin_command_line, "!&()|<>", false},
    {zelcups_common_convert_charactor_for_ipv6_address, ":%", true},
    {zelcups_common_convert_charactor_for_usb_and_mdns_uri, "() %", true},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 1 << 20) {
    return 0;
  }
  const auto source = fuzz_copy(data, size);
  const bool utf8 = fuzz_is_utf8_without_nul(source.get(), size);
  const bool has_nul = memchr(source.get(), 0, size) != nullptr;

  for (const RuleSet &rules : kRuleSets) {
    char *result = nullptr;
    FUZZ_CHECK(rules.escape(source.get(), static_cast<uint32_t>(size), &result) == 0);
    FUZZ_CHECK(result != nullptr);
    const size_t length = strlen(result);
    FUZZ_CHECK(length <= 3 * size);
    if (!has_nul) {
      FUZZ_CHECK(length >= size);
    }
    if (utf8) {
      // In valid UTF-8 a selected ASCII character is always a character of its own.
      for (size_t i = 0; i < length; ++i) {
        FUZZ_CHECK(strchr(rules.selected, result[i]) == nullptr || result[i] == '%');
      }
      if (rules.decodes_back) {
        auto decoded = std::make_unique<char[]>(length + 1);
        zelcups_common_convert_hexcode_string_in_uri(decoded.get(), result,
                                                     static_cast<int32_t>(length), '%', 2);
        FUZZ_CHECK(std::string_view(decoded.get()) == std::string_view(source.get(), size));
      }
    }
    free(result);
  }
  return 0;
}
