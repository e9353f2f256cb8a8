#include "zelcups_common.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

using namespace std::string_literals;

using EscapeRoutine = int32_t (*)(const char *, uint32_t, char **);
constexpr EscapeRoutine kLpadmin = zelcups_common_convert_charactor_for_lpadmin_command_line;
constexpr EscapeRoutine kIpv6 = zelcups_common_convert_charactor_for_ipv6_address;
constexpr EscapeRoutine kUsbMdns = zelcups_common_convert_charactor_for_usb_and_mdns_uri;

// A heap copy of exactly the given bytes, without a terminator, so that the sanitizer
// build catches any read past them.
std::unique_ptr<char[]> exact_copy(const std::string &bytes) {
  auto copy = std::make_unique<char[]>(bytes.size() + (bytes.empty() ? 1 : 0));
  memcpy(copy.get(), bytes.data(), bytes.size());
  return copy;
}

TEST(CharEscapeTest, EscapesWhatTheRuleSelects) {
  struct Row {
    EscapeRoutine routine;
    std::string source;
    std::string expected;  // bytes up to the terminator, which must follow
  } rows[] = {
      {kLpadmin, "lpd://host/a(b)|c", "lpd://host/a%28b%29%7Cc"},
      {kLpadmin, "!&()|<>", "%21%26%28%29%7C%3C%3E"},
      {kLpadmin, "a%20b \"$\\`;'", "a%20b \"$\\`;'"},
      {kIpv6, "fe80::1%en0", "fe80%3A%3A1%25en0"},
      {kUsbMdns, "Model X (2)", "Model%20X%20%282%29"},
      {kUsbMdns, "100%", "100%25"},
      {kUsbMdns, "", ""},
      // multi-byte characters are copied whole, by every rule set
      {kLpadmin, "(\xC3\xA9|\xE2\x82\xAC!\xF0\x9F\x98\x80)",
       "%28\xC3\xA9%7C\xE2\x82\xAC%21\xF0\x9F\x98\x80%29"},
      {kIpv6, ":\xC3\xA9%", "%3A\xC3\xA9%25"},
      // the bytes behind a lead byte are taken unseen; a stray continuation byte is offered
      {kUsbMdns, "\xC3(", "\xC3("},
      {kUsbMdns, "\xE2 %", "\xE2 %"},
      {kUsbMdns, "\xA9(", "\xA9%28"},
      // a lead byte that announces more bytes than are left takes only those
      {kUsbMdns, "a\xF0(", "a\xF0("},
      {kUsbMdns, "\xFC", "\xFC"},
      {kIpv6, ":\xFD::", "%3A\xFD::"},
      // NUL bytes inside the given length are plain bytes
      {kUsbMdns, "a\0("s, "a\0%28"s},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    const Row &row = rows[i];
    auto source = exact_copy(row.source);
    char *result = nullptr;
    ASSERT_EQ(row.routine(source.get(), static_cast<uint32_t>(row.source.size()), &result), 0)
        << "row " << i;
    ASSERT_NE(result, nullptr) << "row " << i;
    EXPECT_EQ(std::string(result, row.expected.size()), row.expected) << "row " << i;
    EXPECT_EQ(result[row.expected.size()], '\0') << "row " << i;
    free(result);
  }
}

TEST(CharEscapeTest, EachRuleSetEscapesExactlyItsCharactors) {
  struct Row {
    EscapeRoutine routine;
    const char *escaped;
  } rows[] = {{kLpadmin, "!&()|<>"}, {kIpv6, ":%"}, {kUsbMdns, "() %"}};
  for (size_t i = 0; i < std::size(rows); ++i) {
    for (int c = 1; c < 0x100; ++c) {
      const char byte = static_cast<char>(c);
      char *result = nullptr;
      ASSERT_EQ(rows[i].routine(&byte, 1, &result), 0) << "row " << i;
      char expected[4] = {byte, '\0'};
      if (strchr(rows[i].escaped, byte) != nullptr) {
        snprintf(expected, sizeof expected, "%%%02X", c);
      }
      EXPECT_STREQ(result, expected) << "row " << i << " byte " << c;
      free(result);
    }
  }
}

TEST(CharEscapeTest, SourceLengthAndBadArguments) {
  char *result = nullptr;
  ASSERT_EQ(kUsbMdns("a(b)", 2, &result), 0);
  EXPECT_STREQ(result, "a%28");
  free(result);

  char sentinel = 0;
  char *untouched = &sentinel;
  EXPECT_EQ(zelcups_common_convert_charactor_to_fall_under_into_hex_string(nullptr, 1, nullptr,
                                                                           &untouched),
            -1);
  EXPECT_EQ(
      zelcups_common_convert_charactor_to_fall_under_into_hex_string("a", 1, nullptr, &untouched),
      -1);
  EXPECT_EQ(untouched, &sentinel);
  EXPECT_EQ(kLpadmin(nullptr, 0, &untouched), -1);
  EXPECT_EQ(kLpadmin("a", 1, nullptr), -1);
}

TEST(CharEscapeTest, Utf8SequenceLength) {
  const struct {
    uint8_t lead;
    int32_t length;
  } rows[] = {{0x00, 1}, {0x7F, 1}, {0x80, 1}, {0xBF, 1}, {0xC0, 2}, {0xDF, 2},
              {0xE0, 3}, {0xEF, 3}, {0xF0, 4}, {0xF7, 4}, {0xF8, 5}, {0xFB, 5},
              {0xFC, 6}, {0xFD, 6}, {0xFE, 6}, {0xFF, 6}};
  for (size_t i = 0; i < std::size(rows); ++i) {
    EXPECT_EQ(zelcups_common_get_utf8_one_charactor_length(rows[i].lead), rows[i].length)
        << "row " << i;
  }
}

// A heap copy of the bytes and one terminator, nothing more, so that the sanitizer build
// catches any read past the terminator.
std::unique_ptr<char[]> terminated_copy(const std::string &bytes) {
  auto copy = std::make_unique<char[]>(bytes.size() + 1);
  memcpy(copy.get(), bytes.data(), bytes.size());
  copy[bytes.size()] = '\0';
  return copy;
}

TEST(CharEscapeTest, DecodesEscapes) {
  constexpr int32_t kWhole = -1;  // the count is the text's length
  struct Row {
    std::string source;
    int32_t count;
    std::string expected;  // the text up to the terminator
  } rows[] = {
      {"Office%20Printer", kWhole, "Office Printer"},
      {"%4a%4A", kWhole, "JJ"},
      {"%41%42", kWhole, "AB"},
      {"no marker", kWhole, "no marker"},
      // malformed digits decode by the reader's rule: it stops at a non-digit from the right
      {"%g4x", kWhole, "\x04x"},
      {"%4gx", kWhole, ""},
      {"%%41", kWhole,
       "\x04"
       "1"},
      // an escape that starts inside the count is read whole, even past the count
      {"a%41", 3, "aA"},
      {"a%41", 2, "aA"},
      {"a%41b", 2, "aA"},
      {"a%41", 1, "a"},
      {"Office%20Printer._ipp", 7, "Office "},
      // ...but never past the terminator: the missing digits read as 0x00
      {"a%", kWhole, "a"},
      {"a%4", kWhole, "a"},
      {"a%4", 2, "a"},
      // a terminator inside the count ends the text
      {"ab\0%41"s, kWhole, "ab"},
      {"a%4\0001"s, kWhole, "a"},
      {"a%\00041"s, 2, "a"},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    const Row &row = rows[i];
    auto source = terminated_copy(row.source);
    const int32_t count = row.count == kWhole ? static_cast<int32_t>(row.source.size()) : row.count;
    std::string destination(static_cast<size_t>(count) + 1, '\x55');
    zelcups_common_convert_hexcode_string_in_uri(destination.data(), source.get(), count, '%', 2);
    EXPECT_EQ(std::string(destination.c_str()), row.expected) << "row " << i << ": " << row.source;
  }

  char destination[8] = "xxxxxxx";
  zelcups_common_convert_hexcode_string_in_uri(destination, "b", 0, '%', 2);
  EXPECT_STREQ(destination, "xxxxxxx");
}

TEST(CharEscapeTest, StringObjectToCString) {
  const char *rows[] = {"", "Office", "\xC3\xA9", "\xF0\x9F\x98\x80 x"};
  for (size_t i = 0; i < std::size(rows); ++i) {
    CFStringRef string = CFStringCreateWithCString(nullptr, rows[i], kCFStringEncodingUTF8);
    ASSERT_NE(string, nullptr) << "row " << i;
    char *result = nullptr;
    EXPECT_EQ(zelcups_common_cfstring_to_cstring(string, &result), 0) << "row " << i;
    EXPECT_STREQ(result, rows[i]) << "row " << i;
    free(result);
    CFRelease(string);
  }
  char *untouched = nullptr;
  EXPECT_EQ(zelcups_common_cfstring_to_cstring(nullptr, &untouched), -1);
  EXPECT_EQ(untouched, nullptr);
  EXPECT_EQ(zelcups_common_cfstring_to_cstring(CFSTR("x"), nullptr), -1);
}

}  // namespace
