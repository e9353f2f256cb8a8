#include "zelcups_common.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr int kUnset = -1;  // out-parameter not written

TEST(Ipv6AddressTest, ClassifiesAndCompletesZone) {
  struct Row {
    const char *text;
    char old_separator;
    char new_separator;
    bool expected;
    const char *expected_text;
    int start;  // indexes into the text after the call
    int end;
    int zone;
  } rows[] = {
      // a link-local address gets a zone, "en0" by default
      {"[v1.fe80::1]", '%', '+', true, "[v1.fe80::1+en0]", 4, 15, 11},
      {"[v1.fe80::1]/queue", '%', '+', true, "[v1.fe80::1+en0]/queue", 4, 15, 11},
      {"[v1.fe80::1%]", '%', '+', true, "[v1.fe80::1+en0]", 4, 15, 11},
      {"[v1.fe80::1+]", '%', '+', true, "[v1.fe80::1+en0]", 4, 15, 11},
      {"fe80::1", '%', '+', true, "fe80::1+en0", 0, 11, 7},
      {"fe80::", '%', '+', true, "fe80::+en0", 0, 10, 6},
      {"[v1.FE80::1]", '%', '+', true, "[v1.FE80::1+en0]", 4, 15, 11},
      {"lpd://x[v1.fe80::1]", '%', '+', true, "lpd://x[v1.fe80::1+en0]", 11, 22, 18},
      // a zone that is there keeps its name; the separator is rewritten
      {"[v1.fe80::1%en1]", '%', '+', true, "[v1.fe80::1+en1]", 4, 15, 11},
      {"[v1.fe80::1+en1]", '+', '%', true, "[v1.fe80::1%en1]", 4, 15, 11},
      {"[v1.fe80::1+en1]/q", '%', '+', true, "[v1.fe80::1+en1]/q", 4, 15, 11},
      {"[v1.fe80::1%a+b]", '%', '+', true, "[v1.fe80::1%a+b]", 4, 15, 13},
      // separators in the path are no zone and stay as they are
      {"[v1.fe80::1]/a%20b/c", '%', '+', true, "[v1.fe80::1+en0]/a%20b/c", 4, 15, 11},
      {"[v1.fe80::1]/a+b/c", '+', '%', true, "[v1.fe80::1%en0]/a+b/c", 4, 15, 11},
      // IPv6 but not link-local: unchanged, the zone position is the end
      {"[v1.2001:db8::1]/q", '%', '+', true, "[v1.2001:db8::1]/q", 4, 15, 15},
      {"[fe80::1]", '%', '+', true, "[fe80::1]", 0, 8, 8},
      {"192.168.0.5:515/q", '%', '+', true, "192.168.0.5:515/q", 0, 17, 17},
      {"[v1.]", '+', '%', true, "[v1.]", 4, 4, 4},
      // not IPv6: nothing is written
      {"192.168.0.5/q", '%', '+', false, "192.168.0.5/q", kUnset, kUnset, kUnset},
      {"", '%', '+', false, "", kUnset, kUnset, kUnset},
      // a zero separator only classifies
      {"[v1.fe80::1]", 0, 0, true, "[v1.fe80::1]", kUnset, kUnset, kUnset},
      {"fe80::1", '%', 0, true, "fe80::1", kUnset, kUnset, kUnset},
      {"printer.local", 0, 0, false, "printer.local", kUnset, kUnset, kUnset},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    const Row &row = rows[i];
    // Exactly the 4 spare bytes the caller must provide, so that the sanitizer build
    // catches any growth beyond them.
    const size_t size = strlen(row.text) + 1 + 4;
    auto text = std::make_unique<char[]>(size);
    memcpy(text.get(), row.text, strlen(row.text) + 1);
    char outside = 0;
    char *const unset = &outside;
    char *start = unset;
    char *end = unset;
    char *zone = unset;
    EXPECT_EQ(zelcups_common_check_ipv6_address(text.get(), row.old_separator, row.new_separator,
                                                &start, &end, &zone),
              row.expected)
        << "row " << i;
    EXPECT_STREQ(text.get(), row.expected_text) << "row " << i;
    const auto index = [&](char *p) {
      return p == unset ? kUnset : static_cast<int>(p - text.get());
    };
    EXPECT_EQ(index(start), row.start) << "row " << i;
    EXPECT_EQ(index(end), row.end) << "row " << i;
    EXPECT_EQ(index(zone), row.zone) << "row " << i;
  }
  EXPECT_FALSE(zelcups_common_check_ipv6_address(nullptr, '%', '+', nullptr, nullptr, nullptr));
}

TEST(Ipv6AddressTest, LinkLocal) {
  const struct {
    const char *text;
    bool expected;
  } rows[] = {{"[v1.fe80::1]", true},  {"fe80::1", true},        {"FE80:", true},
              {"Fe80::1", true},       {"fe80", false},          {"[V1.fe80::1]", false},
              {"[v1.fe81::1]", false}, {"x[v1.fe80::1]", false}, {"", false},
              {"[v1.", false},         {nullptr, false}};
  for (size_t i = 0; i < std::size(rows); ++i) {
    EXPECT_EQ(zelcups_common_check_ipv6_link_local_address(rows[i].text), rows[i].expected)
        << "row " << i;
  }
}

TEST(Ipv6AddressTest, ZoneSeparatorSearch) {
  const struct {
    const char *text;
    char charactor;
    int expected;  // index, or -1 for not found
  } rows[] = {
      {"fe80::1%en0", '%', 7}, {"%abc", '%', -1}, {"a%b/c%d", '%', 1},
      {"a%b%c", '%', 3},       {"/a/b", '/', 2},  {"ab/", '/', 2},
      {"", '%', -1},           {"a", '%', -1},    {nullptr, '%', -1},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    const char *found =
        zelcups_common_get_ipv6_interfaceId_top_pointer(rows[i].text, rows[i].charactor);
    EXPECT_EQ(found == nullptr ? -1 : static_cast<int>(found - rows[i].text), rows[i].expected)
        << "row " << i;
  }
}

}  // namespace
