#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "cf_text.h"
#include "zelcups/scoped.h"

using zelcups::ScopedCFTypeRef;

namespace {

using zelcups_test::Str;
using zelcups_test::TextOf;

TEST(CFString, LengthCountsUTF16Units) {
  struct Row {
    const char *utf8;
    CFIndex units;
  } rows[] = {
      {"", 0},
      {"abc", 3},
      {"\xC3\xA9", 1},
      {"\xE2\x82\xAC", 1},
      {"\xF0\x9D\x84\x9E", 2},
      {"a\xF0\x9F\x98\x80z", 4},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    auto s = Str(rows[i].utf8);
    ASSERT_TRUE(s) << "row " << i;
    EXPECT_EQ(CFStringGetLength(s.get()), rows[i].units) << "row " << i;
  }
}

TEST(CFString, InvalidBytesGiveNoObject) {
  const char *rows[] = {"\xC3\x28", "\xFF", "\xC0\xAF", "\xED\xA0\x80", "abc\xE2\x82",
                        // Beyond U+10FFFF, and the old 5- and 6-byte forms.
                        "a\xF4\x90\x80\x80", "\xF7\xBF\xBF\xBF", "\xF8\x88\x80\x80\x80",
                        "\xFC\x84\x80\x80\x80\x80"};
  for (size_t i = 0; i < std::size(rows); ++i) {
    EXPECT_EQ(CFStringCreateWithCString(nullptr, rows[i], kCFStringEncodingUTF8), nullptr)
        << "row " << i;
    EXPECT_EQ(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8 *>(rows[i]),
                                      static_cast<CFIndex>(std::strlen(rows[i])),
                                      kCFStringEncodingUTF8, false),
              nullptr)
        << "row " << i;
  }
  // The last character there is, and a NUL inside the bytes, are text.
  ScopedCFTypeRef<CFStringRef> last(
      CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8 *>("a\0\xF4\x8F\xBF\xBF"), 6,
                              kCFStringEncodingUTF8, false));
  ASSERT_TRUE(last);
  EXPECT_EQ(CFStringGetLength(last.get()), 4);
  // So is U+0000 among characters, and what follows it; a lone surrogate is not.
  const UniChar units[] = {'a', 0, 'b', ' ', 0xD800};
  ScopedCFTypeRef<CFStringRef> characters(CFStringCreateWithCharacters(nullptr, units, 4));
  ASSERT_TRUE(characters);
  EXPECT_EQ(CFStringGetLength(characters.get()), 4);
  EXPECT_EQ(CFStringCreateWithCharacters(nullptr, units + 3, 2), nullptr);
  EXPECT_EQ(CFStringCreateWithCString(nullptr, nullptr, kCFStringEncodingUTF8), nullptr);
  EXPECT_EQ(CFStringCreateWithCString(nullptr, "\x80", kCFStringEncodingASCII), nullptr);
  EXPECT_EQ(CFStringCreateWithCString(nullptr, "abc", 0x7777), nullptr);
}

TEST(CFString, MacRomanAndUTF8Convert) {
  ScopedCFTypeRef<CFStringRef> roman(
      CFStringCreateWithCString(nullptr, "caf\x8E", kCFStringEncodingMacRoman));
  ASSERT_TRUE(roman);
  EXPECT_EQ(TextOf(roman.get()), "caf\xC3\xA9");
  char back[8] = {};
  ASSERT_TRUE(CFStringGetCString(roman.get(), back, sizeof back, kCFStringEncodingMacRoman));
  EXPECT_STREQ(back, "caf\x8E");
  // A character MacRoman lacks (the rouble sign) does not convert, and is not replaced.
  auto rouble = Str("\xE2\x82\xBD");
  EXPECT_FALSE(CFStringGetCString(rouble.get(), back, sizeof back, kCFStringEncodingMacRoman));
  EXPECT_FALSE(
      CFStringGetCString(Str("\xC3\xA9").get(), back, sizeof back, kCFStringEncodingASCII));
}

TEST(CFString, CStringNeedsRoomForTerminator) {
  auto s = Str("abcd");
  char buffer[5];
  EXPECT_FALSE(CFStringGetCString(s.get(), buffer, 4, kCFStringEncodingUTF8));
  EXPECT_TRUE(CFStringGetCString(s.get(), buffer, 5, kCFStringEncodingUTF8));
  EXPECT_STREQ(buffer, "abcd");
}

TEST(CFString, PascalBufferSizeCountsTheLengthByte) {
  struct Row {
    size_t text_bytes;
    CFIndex buffer_size;
    bool fits;
  } rows[] = {
      {254, 255, true},  {255, 255, false},  {255, 256, true}, {256, 256, false},
      {255, 1000, true}, {256, 1000, false}, {0, 1, true},     {1, 1, false},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    std::string text(rows[i].text_bytes, 'x');
    auto s = Str(text.c_str());
    std::vector<unsigned char> buffer(static_cast<size_t>(rows[i].buffer_size), 0xEE);
    EXPECT_EQ(static_cast<bool>(CFStringGetPascalString(s.get(), buffer.data(), rows[i].buffer_size,
                                                        kCFStringEncodingUTF8)),
              rows[i].fits)
        << "row " << i;
    if (rows[i].fits) {
      EXPECT_EQ(buffer[0], rows[i].text_bytes) << "row " << i;
    }
  }
}

TEST(CFString, PascalRoundTripInEncoding) {
  const unsigned char pascal[] = {4, 'c', 'a', 'f', 0x8E};
  ScopedCFTypeRef<CFStringRef> s(
      CFStringCreateWithPascalString(nullptr, pascal, kCFStringEncodingMacRoman));
  ASSERT_TRUE(s);
  EXPECT_EQ(TextOf(s.get()), "caf\xC3\xA9");
  // The same bytes are not UTF-8.
  EXPECT_EQ(CFStringCreateWithPascalString(nullptr, pascal, kCFStringEncodingUTF8), nullptr);
  const unsigned char empty[] = {0};
  ScopedCFTypeRef<CFStringRef> e(
      CFStringCreateWithPascalString(nullptr, empty, kCFStringEncodingUTF8));
  ASSERT_TRUE(e);
  EXPECT_EQ(CFStringGetLength(e.get()), 0);
}

TEST(CFString, Compare) {
  struct Row {
    const char *a;
    const char *b;
    CFStringCompareFlags flags;
    CFComparisonResult expected;
  } rows[] = {
      {"USB", "USB", 0, kCFCompareEqualTo},
      {"USB", "usb", 0, kCFCompareLessThan},
      {"USB", "usb", kCFCompareCaseInsensitive, kCFCompareEqualTo},
      {"zel_qrx5_lprv6", "ZEL_QRX5_LPRv6", kCFCompareCaseInsensitive, kCFCompareEqualTo},
      {"ZEL_QRX5_LPR", "ZEL_QRX5_LPRv6", kCFCompareCaseInsensitive, kCFCompareLessThan},
      {"\xC3\x89T\xC3\x89", "\xC3\xA9t\xC3\xA9", kCFCompareCaseInsensitive, kCFCompareEqualTo},
      {"b", "a", 0, kCFCompareGreaterThan},
      // UTF-16 order: a surrogate pair sorts below U+FF01.
      {"\xF0\x9F\x98\x80", "\xEF\xBC\x81", 0, kCFCompareLessThan},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    EXPECT_EQ(CFStringCompare(Str(rows[i].a).get(), Str(rows[i].b).get(), rows[i].flags),
              rows[i].expected)
        << "row " << i;
  }
}

TEST(CFString, ConstantStringsAreSharedAndImmortal) {
  CFStringRef a = CFSTR("DNSSD");
  EXPECT_EQ(a, CFSTR("DNSSD"));
  EXPECT_NE(a, CFSTR("USB"));
  CFRelease(a);
  CFRelease(a);
  EXPECT_EQ(TextOf(a), "DNSSD");
  EXPECT_TRUE(CFEqual(a, Str("DNSSD").get()));
  EXPECT_EQ(CFHash(a), CFHash(Str("DNSSD").get()));
}

TEST(CFString, SystemEncodingFollowsTheLocale) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Row {
    const char *lc_all;
    CFStringEncoding expected;
  } rows[] = {
      {"C.UTF-8", kCFStringEncodingUTF8},
      {"C", kCFStringEncodingASCII},
      {"POSIX", kCFStringEncodingASCII},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    EXPECT_EXIT(
        {
          setenv("LC_ALL", rows[i].lc_all, 1);
          std::exit(CFStringGetSystemEncoding() == rows[i].expected ? 0 : 1);
        },
        testing::ExitedWithCode(0), "")
        << "row " << i;
  }
}

struct NumberRow {
  CFNumberType stored_type;
  double stored;  // converted to stored_type first
  bool exact;
  int32_t value;
};

ScopedCFTypeRef<CFNumberRef> MakeNumber(CFNumberType type, double v) {
  switch (type) {
    case kCFNumberSInt64Type: {
      int64_t i = static_cast<int64_t>(v);
      return ScopedCFTypeRef<CFNumberRef>(CFNumberCreate(nullptr, type, &i));
    }
    case kCFNumberFloat32Type: {
      float f = static_cast<float>(v);
      return ScopedCFTypeRef<CFNumberRef>(CFNumberCreate(nullptr, type, &f));
    }
    default:
      return ScopedCFTypeRef<CFNumberRef>(CFNumberCreate(nullptr, kCFNumberFloat64Type, &v));
  }
}

TEST(CFNumber, SInt32ConversionReportsLoss) {
  const double kNaN = std::numeric_limits<double>::quiet_NaN();
  NumberRow rows[] = {
      {kCFNumberSInt64Type, 1000, true, 1000},
      {kCFNumberFloat64Type, 1000.0, true, 1000},
      {kCFNumberFloat32Type, 1000.0, true, 1000},
      {kCFNumberFloat64Type, 2.5, false, 2},
      {kCFNumberFloat64Type, -2.5, false, -2},
      {kCFNumberSInt64Type, 2147483647.0, true, 2147483647},
      {kCFNumberSInt64Type, -2147483648.0, true, -2147483647 - 1},
      {kCFNumberSInt64Type, 2147483648.0, false, -2147483647 - 1},
      {kCFNumberFloat64Type, 1e10, false, 2147483647},
      {kCFNumberFloat64Type, -1e10, false, -2147483647 - 1},
      {kCFNumberFloat64Type, kNaN, false, 0},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    auto n = MakeNumber(rows[i].stored_type, rows[i].stored);
    int32_t out = 12345;
    EXPECT_EQ(static_cast<bool>(CFNumberGetValue(n.get(), kCFNumberSInt32Type, &out)),
              rows[i].exact)
        << "row " << i;
    EXPECT_EQ(out, rows[i].value) << "row " << i;
  }
}

TEST(CFNumber, FloatConversions) {
  double tenth = 0.1;
  ScopedCFTypeRef<CFNumberRef> n(CFNumberCreate(nullptr, kCFNumberDoubleType, &tenth));
  float f = 0;
  EXPECT_FALSE(CFNumberGetValue(n.get(), kCFNumberFloat32Type, &f));
  double d = 0;
  EXPECT_TRUE(CFNumberGetValue(n.get(), kCFNumberFloat64Type, &d));
  EXPECT_EQ(d, 0.1);
  EXPECT_EQ(CFNumberGetType(n.get()), kCFNumberFloat64Type);
  EXPECT_TRUE(CFNumberIsFloatType(n.get()));

  int64_t big = std::numeric_limits<int64_t>::max();
  ScopedCFTypeRef<CFNumberRef> b(CFNumberCreate(nullptr, kCFNumberLongLongType, &big));
  EXPECT_EQ(CFNumberGetType(b.get()), kCFNumberSInt64Type);
  EXPECT_FALSE(CFNumberGetValue(b.get(), kCFNumberFloat64Type, &d));
  int64_t back = 0;
  EXPECT_TRUE(CFNumberGetValue(b.get(), kCFNumberSInt64Type, &back));
  EXPECT_EQ(back, big);
  EXPECT_FALSE(CFNumberGetValue(b.get(), 99, &back));
  EXPECT_EQ(CFNumberCreate(nullptr, 99, &big), nullptr);
}

TEST(CFData, RangesOutsideTheDataCopyNothing) {
  const UInt8 bytes[] = {3, 'a', 'b', 'c', 'z'};
  ScopedCFTypeRef<CFDataRef> data(CFDataCreate(nullptr, bytes, sizeof bytes));
  EXPECT_EQ(CFDataGetLength(data.get()), 5);
  struct Row {
    CFIndex location, length;
    bool copies;
  } rows[] = {{0, 5, true},  {1, 3, true},   {5, 0, true},  {0, 6, false},
              {4, 2, false}, {-1, 1, false}, {2, -1, false}};
  for (size_t i = 0; i < std::size(rows); ++i) {
    UInt8 out[8];
    std::memset(out, 0xEE, sizeof out);
    CFDataGetBytes(data.get(), CFRangeMake(rows[i].location, rows[i].length), out);
    if (rows[i].copies) {
      EXPECT_EQ(std::memcmp(out, bytes + rows[i].location, static_cast<size_t>(rows[i].length)), 0)
          << "row " << i;
    } else {
      EXPECT_EQ(out[0], 0xEE) << "row " << i;
    }
  }
  ScopedCFTypeRef<CFDataRef> empty(CFDataCreate(nullptr, nullptr, 0));
  ASSERT_TRUE(empty);
  EXPECT_EQ(CFDataGetLength(empty.get()), 0);
}

TEST(CFDictionary, KeysMatchByValueAndValuesAreRetained) {
  ScopedCFTypeRef<CFMutableDictionaryRef> dict(CFDictionaryCreateMutable(
      nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  auto value = Str("v1");
  CFDictionarySetValue(dict.get(), Str("State").get(), value.get());
  EXPECT_EQ(CFGetRetainCount(value.get()), 2);
  EXPECT_EQ(CFDictionaryGetValue(dict.get(), CFSTR("State")), value.get());
  EXPECT_EQ(CFDictionaryGetValue(dict.get(), CFSTR("state")), nullptr);

  auto second = Str("v2");
  CFDictionaryAddValue(dict.get(), CFSTR("State"), second.get());  // present: no change
  EXPECT_EQ(CFDictionaryGetValue(dict.get(), CFSTR("State")), value.get());
  CFDictionarySetValue(dict.get(), CFSTR("State"), second.get());
  EXPECT_EQ(CFGetRetainCount(value.get()), 1);
  EXPECT_EQ(CFDictionaryGetValue(dict.get(), CFSTR("State")), second.get());
  CFDictionaryRemoveValue(dict.get(), CFSTR("State"));
  EXPECT_EQ(CFDictionaryGetCount(dict.get()), 0);
  EXPECT_EQ(CFGetRetainCount(second.get()), 1);
  EXPECT_EQ(CFDictionaryGetValue(nullptr, CFSTR("State")), nullptr);
}

TEST(CFDictionary, KeepsInsertionOrderAndScales) {
  ScopedCFTypeRef<CFMutableDictionaryRef> dict(CFDictionaryCreateMutable(
      nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  constexpr int kCount = 10000;
  for (int i = kCount - 1; i >= 0; --i) {
    auto key = Str(std::to_string(i).c_str());
    CFDictionarySetValue(dict.get(), key.get(), key.get());
  }
  ASSERT_EQ(CFDictionaryGetCount(dict.get()), kCount);
  std::vector<std::string> order;
  CFDictionaryApplyFunction(
      dict.get(),
      [](const void *key, const void *, void *context) {
        static_cast<std::vector<std::string> *>(context)->push_back(
            TextOf(static_cast<CFStringRef>(key)));
      },
      &order);
  ASSERT_EQ(order.size(), static_cast<size_t>(kCount));
  EXPECT_EQ(order.front(), std::to_string(kCount - 1));
  EXPECT_EQ(order.back(), "0");
  CFDictionaryRemoveValue(dict.get(), Str("5000").get());
  EXPECT_EQ(CFDictionaryGetValue(dict.get(), Str("5000").get()), nullptr);
  EXPECT_NE(CFDictionaryGetValue(dict.get(), Str("4999").get()), nullptr);
}

TEST(CFPropertyList, XMLRoundTripKeepsOrderAndTypes) {
  ScopedCFTypeRef<CFMutableDictionaryRef> dict(CFDictionaryCreateMutable(
      nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  CFDictionaryAddValue(dict.get(), CFSTR("Connection"), CFSTR("ZEL_QRX5_LPR"));
  CFDictionaryAddValue(dict.get(), CFSTR("MODEL:"), Str("fe80::1 <&>").get());
  CFDictionaryAddValue(dict.get(), CFSTR("Printer URI"), CFSTR(""));
  ScopedCFTypeRef<CFDataRef> xml(
      CFPropertyListCreateData(nullptr, dict.get(), kCFPropertyListXMLFormat_v1_0, 0, nullptr));
  ASSERT_TRUE(xml);
  std::string text(reinterpret_cast<const char *>(CFDataGetBytePtr(xml.get())),
                   static_cast<size_t>(CFDataGetLength(xml.get())));
  EXPECT_NE(text.find("<!DOCTYPE plist"), std::string::npos);
  EXPECT_LT(text.find("Connection"), text.find("MODEL:"));
  EXPECT_LT(text.find("MODEL:"), text.find("Printer URI"));
  EXPECT_NE(text.find("fe80::1 &lt;&amp;&gt;"), std::string::npos);

  CFPropertyListFormat format = 0;
  ScopedCFTypeRef<CFPropertyListRef> back(
      CFPropertyListCreateWithData(nullptr, xml.get(), 0, &format, nullptr));
  ASSERT_TRUE(back);
  EXPECT_EQ(format, kCFPropertyListXMLFormat_v1_0);
  EXPECT_TRUE(CFEqual(back.get(), dict.get()));
}

TEST(CFPropertyList, ObjectsWithoutPlistFormGiveNoData) {
  ScopedCFTypeRef<CFMutableDictionaryRef> dict(CFDictionaryCreateMutable(
      nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  int32_t one = 1;
  ScopedCFTypeRef<CFNumberRef> key(CFNumberCreate(nullptr, kCFNumberSInt32Type, &one));
  CFDictionaryAddValue(dict.get(), key.get(), CFSTR("x"));
  EXPECT_EQ(
      CFPropertyListCreateData(nullptr, dict.get(), kCFPropertyListXMLFormat_v1_0, 0, nullptr),
      nullptr);
  EXPECT_EQ(
      CFPropertyListCreateData(nullptr, CFSTR("x"), kCFPropertyListBinaryFormat_v1_0, 0, nullptr),
      nullptr);
  const UInt8 junk[] = "<plist><dict><key>a</key>";
  ScopedCFTypeRef<CFDataRef> bad(CFDataCreate(nullptr, junk, sizeof junk - 1));
  EXPECT_EQ(CFPropertyListCreateWithData(nullptr, bad.get(), 0, nullptr, nullptr), nullptr);
}

TEST(CFBase, ReleaseFreesAtZeroAndTypesAreDistinct) {
  CFStringRef s = CFStringCreateWithCString(nullptr, "x", kCFStringEncodingUTF8);
  CFRetain(s);
  EXPECT_EQ(CFGetRetainCount(s), 2);
  CFRelease(s);
  CFRelease(s);  // frees; the sanitizer build catches a leak or a double free
  CFRelease(nullptr);
  CFTypeID ids[] = {CFStringGetTypeID(),     CFNumberGetTypeID(), CFDataGetTypeID(),
                    CFDictionaryGetTypeID(), CFArrayGetTypeID(),  CFBooleanGetTypeID()};
  for (size_t i = 0; i < std::size(ids); ++i) {
    for (size_t j = i + 1; j < std::size(ids); ++j) {
      EXPECT_NE(ids[i], ids[j]) << i << "," << j;
    }
  }
  EXPECT_EQ(CFGetTypeID(kCFBooleanTrue), CFBooleanGetTypeID());
  EXPECT_NE(CFAllocatorGetDefault(), nullptr);
}

}  // namespace
