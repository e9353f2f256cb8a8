#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "CommonLib.h"
#include "common_lib_testing.h"
#include "cf_text.h"
#include "zelcups/scoped.h"
#include "scoped_temp_dir.h"

using zelcups::ScopedCFTypeRef;

namespace {

using zelcups_test::Str;
using zelcups_test::TextOf;

#define kKey "com.arvex.driver.QRX5.NotificationObject"

class ProfileTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(temp_.valid());
    dir_ = temp_.path();
    path_ = dir_ + "/ProductProfile.plist";
    CommonLib_SetProductProfilePathForTesting(path_.c_str());
  }
  void TearDown() override { CommonLib_SetProductProfilePathForTesting(nullptr); }
  void Write(const std::string &text) { std::ofstream(path_, std::ios::binary) << text; }

  ScopedTempDir temp_;
  std::string dir_, path_;
};

std::string Plist(const std::string &body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" + body +
         "\n</plist>\n";
}

TEST_F(ProfileTest, PresentProfileYieldsTheIdentifier) {
  Write(Plist(std::string("<dict><key>") + kKey +
              "</key><string>com.arvex.QRX5.StatusMonitor</string>"
              "<key>Number</key><integer>3</integer></dict>"));
  ZEL_PMTicketRef ticket = nullptr;
  ASSERT_EQ(ZEL_INF_GetProductProfile(&ticket), noErr);
  ASSERT_NE(ticket, nullptr);
  CFStringRef id = nullptr;
  EXPECT_EQ(ZEL_Utl_PMTicketGetCFString(ticket, 0, 0, CFSTR(kKey), &id), noErr);
  ASSERT_NE(id, nullptr);
  EXPECT_EQ(CFStringCompare(id, CFSTR("com.arvex.QRX5.StatusMonitor"), 0), kCFCompareEqualTo);

  // Absent keys and values of another type leave the out-parameter alone.
  CFStringRef untouched = CFSTR("sentinel");
  CFStringRef out = untouched;
  EXPECT_EQ(ZEL_Utl_PMTicketGetCFString(ticket, 0, 0, CFSTR("Missing"), &out), kZELNoSuchEntryErr);
  EXPECT_EQ(ZEL_Utl_PMTicketGetCFString(ticket, 0, 0, CFSTR("Number"), &out), kZELNoSuchEntryErr);
  EXPECT_EQ(out, untouched);
  EXPECT_EQ(ZEL_Utl_PMTicketGetCFString(nullptr, 0, 0, CFSTR(kKey), &out), paramErr);
  // A key with U+0000 in it is not the key it starts with.
  const std::string cut_key = std::string(kKey) + '\0' + "x";
  ScopedCFTypeRef<CFStringRef> key_with_nul(
      CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8 *>(cut_key.data()),
                              static_cast<CFIndex>(cut_key.size()), kCFStringEncodingUTF8, false));
  EXPECT_EQ(ZEL_Utl_PMTicketGetCFString(ticket, 0, 0, key_with_nul.get(), &out),
            kZELNoSuchEntryErr);
  EXPECT_EQ(out, untouched);
  ZEL_Utl_PMTicketRelease(ticket);
  ZEL_Utl_PMTicketRelease(nullptr);
}

TEST_F(ProfileTest, MissingOrMalformedProfilesFail) {
  struct Row {
    const char *contents;  // null: no file at all
    OSStatus expected;
  } rows[] = {
      {nullptr, kZELProfileMissingErr},
      {"", kZELProfileMalformedErr},
      {"not a property list", kZELProfileMalformedErr},
      {"<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key>", kZELProfileMalformedErr},
      {"<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>", kZELProfileMalformedErr},
      {"bplist00\xff\xff\xff", kZELProfileMalformedErr},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    unlink(path_.c_str());
    if (rows[i].contents != nullptr) {
      Write(rows[i].contents);
    }
    ZEL_PMTicketRef ticket = nullptr;
    EXPECT_EQ(ZEL_INF_GetProductProfile(&ticket), rows[i].expected) << "row " << i;
    EXPECT_EQ(ticket, nullptr) << "row " << i;
  }
  CommonLib_SetProductProfilePathForTesting(dir_.c_str());
  ZEL_PMTicketRef ticket = nullptr;
  EXPECT_NE(ZEL_INF_GetProductProfile(&ticket), noErr);
  EXPECT_EQ(ticket, nullptr);
}

TEST(CommonLibMessages, KnownCodesGiveTextUnknownCodesNothing) {
  struct Row {
    SInt32 code;
    SInt32 buffer_size;
    bool has_text;
  } rows[] = {
      {2001, 256, true}, {2004, 256, true},    {2011, 256, true}, {0, 256, false},
      {-1, 256, false},  {999999, 256, false}, {2001, 8, false},  {2001, 0, false},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    // Exactly the size the caller claims, so that an overrun shows under the sanitizer.
    std::vector<unsigned char> buffer(static_cast<size_t>(std::max(rows[i].buffer_size, 1)), 0);
    OSStatus status =
        ZEL_Msg_GetPStringErrMsg(rows[i].code, buffer.data(), rows[i].buffer_size, 0, 0);
    EXPECT_EQ(status == noErr, rows[i].has_text) << "row " << i;
    if (rows[i].has_text) {
      EXPECT_GT(buffer[0], 10) << "row " << i;
      std::string text(reinterpret_cast<char *>(buffer.data() + 1), buffer[0]);
      EXPECT_EQ(text.find('\0'), std::string::npos) << "row " << i;
    }
  }
  unsigned char paper_out[256];
  ASSERT_EQ(ZEL_Msg_GetPStringErrMsg(2001, paper_out, sizeof paper_out, 0, 0), noErr);
  EXPECT_NE(std::string(reinterpret_cast<char *>(paper_out + 1), paper_out[0]).find("Paper out"),
            std::string::npos);
}

TEST(CommonLibMessages, PLstrcpyCopiesLengthAndText) {
  const unsigned char source[] = {3, 'a', 'b', 'c', 'Z'};
  unsigned char destination[8];
  std::memset(destination, 0xEE, sizeof destination);
  EXPECT_EQ(ZEL_Utl_PLstrcpy(destination, source), destination);
  EXPECT_EQ(std::memcmp(destination, source, 4), 0);
  EXPECT_EQ(destination[4], 0xEE);
}

TEST(CommonLibEncoding, EncodesEverythingOutsideTheUnreservedSet) {
  using namespace std::string_literals;
  struct Row {
    std::string path;
    const char *encoded;
  } rows[] = {
      {"lp", "lp"},
      {"queue(1)", "queue%281%29"},
      {"a b/c", "a%20b%2Fc"},
      {"Abc-._~09", "Abc-._~09"},
      {"caf\xC3\xA9", "caf%C3%A9"},
      {"100%", "100%25"},
      {"", ""},
      // U+0000 is a character like any other: the text goes on after it.
      {"a\0b "s, "a%00b%20"},
      {"\0"s, "%00"},
      {"x\0\0\xF0\x9F\x98\x80"s, "x%00%00%F0%9F%98%80"},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    ScopedCFTypeRef<CFStringRef> path = Str(rows[i].path);
    ASSERT_TRUE(path) << "row " << i;
    ScopedCFTypeRef<CFStringRef> encoded(ZEL_Utl_CreateEncodedCFString(path.get()));
    ASSERT_TRUE(encoded) << "row " << i;
    EXPECT_EQ(TextOf(encoded.get()), rows[i].encoded) << "row " << i;
  }
  EXPECT_EQ(ZEL_Utl_CreateEncodedCFString(nullptr), nullptr);
}

TEST(CommonLibEncoding, UTF8FormHasOneBytePerCharacter) {
  std::mt19937 random(7);
  const char *pieces[] = {"a", "/", " ", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "%", "~"};
  for (int round = 0; round < 500; ++round) {
    std::string text;
    for (int n = static_cast<int>(random() % 40); n > 0; --n) {
      text += pieces[random() % std::size(pieces)];
    }
    ScopedCFTypeRef<CFStringRef> path(
        CFStringCreateWithCString(nullptr, text.c_str(), kCFStringEncodingUTF8));
    ScopedCFTypeRef<CFStringRef> encoded(ZEL_Utl_CreateEncodedCFString(path.get()));
    ASSERT_TRUE(encoded) << text;
    EXPECT_EQ(TextOf(encoded.get()).size(), static_cast<size_t>(CFStringGetLength(encoded.get())))
        << text;
  }
}

}  // namespace
