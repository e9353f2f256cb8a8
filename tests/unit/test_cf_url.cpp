#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include <string>

#include "cf_text.h"
#include "zelcups/scoped.h"

using zelcups::ScopedCFTypeRef;

namespace {

using zelcups_test::Str;

constexpr const char *kKeepNone = "";
constexpr const char *kKeepAll = nullptr;
constexpr const char *kFails = nullptr;

TEST(CFURL, ReplacingPercentEscapes) {
  using namespace std::string_literals;
  struct Row {
    std::string input;
    const char *keep;
    CFStringEncoding encoding;
    const char *expected;      // kFails: null result
    size_t expected_size = 0;  // for results that hold a NUL
  } rows[] = {
      // every escape replaced
      {"lpd://h/q%20a", kKeepNone, kCFStringEncodingUTF8, "lpd://h/q a"},
      {"%E6%97%A5%e6%9c%ac", kKeepNone, kCFStringEncodingUTF8, "\xE6\x97\xA5\xE6\x9C\xAC"},
      {"plain", kKeepNone, kCFStringEncodingUTF8, "plain"},
      {"", kKeepNone, kCFStringEncodingUTF8, ""},
      {"%2541", kKeepNone, kCFStringEncodingUTF8, "%41"},
      {"a%00b", kKeepNone, kCFStringEncodingUTF8, "a\0b", 3},
      {"caf\xC3\xA9%2F", kKeepNone, kCFStringEncodingUTF8, "caf\xC3\xA9/"},
      {"%FF", kKeepNone, kCFStringEncodingMacRoman, "\xCB\x87"},
      // malformed escapes
      {"100%", kKeepNone, kCFStringEncodingUTF8, kFails},
      {"%4", kKeepNone, kCFStringEncodingUTF8, kFails},
      {"%G1", kKeepNone, kCFStringEncodingUTF8, kFails},
      {"%%41", kKeepNone, kCFStringEncodingUTF8, kFails},
      // escapes that are no UTF-8 text
      {"%FF", kKeepNone, kCFStringEncodingUTF8, kFails},
      {"%C3", kKeepNone, kCFStringEncodingUTF8, kFails},
      {"%C3x%A9", kKeepNone, kCFStringEncodingUTF8, kFails},
      {"%C0%AF", kKeepNone, kCFStringEncodingUTF8, kFails},
      {"%ED%A0%80", kKeepNone, kCFStringEncodingUTF8, kFails},
      {"%F4%90%80%80", kKeepNone, kCFStringEncodingUTF8, kFails},
      // a null set keeps every escape, even one that would not decode
      {"a%20b%FF", kKeepAll, kCFStringEncodingUTF8, "a%20b%FF"},
      // a set keeps the escapes of its characters only
      {"a%2Fb%20c", "/", kCFStringEncodingUTF8, "a%2Fb c"},
      {"%E6%97%A5%41%E6%9C%AC", "\xE6\x97\xA5", kCFStringEncodingUTF8, "%E6%97%A5A\xE6\x9C\xAC"},
      {"%2F%FF", "/", kCFStringEncodingUTF8, kFails},
      // an encoding this platform does not know
      {"%41", kKeepNone, 0x7777, kFails},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    const Row &row = rows[i];
    ScopedCFTypeRef<CFStringRef> keep;
    if (row.keep != nullptr) {
      keep = Str(row.keep);
    }
    ScopedCFTypeRef<CFStringRef> result(CFURLCreateStringByReplacingPercentEscapesUsingEncoding(
        nullptr, Str(row.input).get(), keep.get(), row.encoding));
    if (row.expected == kFails) {
      EXPECT_EQ(result.get(), nullptr) << "row " << i << ": " << row.input;
      continue;
    }
    ASSERT_NE(result.get(), nullptr) << "row " << i << ": " << row.input;
    std::string expected(row.expected,
                         row.expected_size != 0 ? row.expected_size : strlen(row.expected));
    EXPECT_TRUE(CFEqual(result.get(), Str(expected).get())) << "row " << i << ": " << row.input;
  }
  EXPECT_EQ(CFURLCreateStringByReplacingPercentEscapesUsingEncoding(nullptr, nullptr, Str("").get(),
                                                                    kCFStringEncodingUTF8),
            nullptr);
}

}  // namespace
