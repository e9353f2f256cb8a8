#include <glib.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "CommonLib.h"
#include "agent_context.h"
#include "status_notice.h"
#include "platform_doubles.h"
#include "zelcups/scoped.h"

using zelcups::ScopedCFTypeRef;
using zelcups_test::Notice;
using zelcups_test::Notices;

namespace {

// The system encoding is read once per process: make it UTF-8 before anything asks.
const bool kUTF8Locale = setenv("LC_ALL", "C.UTF-8", 1) == 0;

// Values of the user-info dictionary, built per row.
enum class Kind { kNone, kInt, kDouble, kString, kData, kArray, kDictionary };
struct Value {
  Kind kind = Kind::kNone;
  double number = 0;
  std::string bytes;
};

Value Int(int64_t v) {
  return {Kind::kInt, static_cast<double>(v), {}};
}
Value Real(double v) {
  return {Kind::kDouble, v, {}};
}
Value Text(std::string s) {
  return {Kind::kString, 0, std::move(s)};
}
Value Data(std::string s) {
  return {Kind::kData, 0, std::move(s)};
}
const Value kNone{};
const Value kArray{Kind::kArray, 0, {}};
const Value kDictionary{Kind::kDictionary, 0, {}};

ScopedCFTypeRef<CFTypeRef> Make(const Value &v) {
  switch (v.kind) {
    case Kind::kInt: {
      int64_t i = static_cast<int64_t>(v.number);
      return ScopedCFTypeRef<CFTypeRef>(CFNumberCreate(nullptr, kCFNumberSInt64Type, &i));
    }
    case Kind::kDouble:
      return ScopedCFTypeRef<CFTypeRef>(CFNumberCreate(nullptr, kCFNumberFloat64Type, &v.number));
    case Kind::kString:
      return ScopedCFTypeRef<CFTypeRef>(
          CFStringCreateWithCString(nullptr, v.bytes.c_str(), kCFStringEncodingUTF8));
    case Kind::kData:
      return ScopedCFTypeRef<CFTypeRef>(
          CFDataCreate(nullptr, reinterpret_cast<const UInt8 *>(v.bytes.data()),
                       static_cast<CFIndex>(v.bytes.size())));
    case Kind::kArray: {
      const void *items[] = {CFSTR("a")};
      return ScopedCFTypeRef<CFTypeRef>(CFArrayCreate(nullptr, items, 1, &kCFTypeArrayCallBacks));
    }
    case Kind::kDictionary: {
      const void *keys[] = {CFSTR("Message")};
      const void *values[] = {CFSTR("inner")};
      return ScopedCFTypeRef<CFTypeRef>(CFDictionaryCreate(nullptr, keys, values, 1,
                                                           &kCFTypeDictionaryKeyCallBacks,
                                                           &kCFTypeDictionaryValueCallBacks));
    }
    case Kind::kNone:
      break;
  }
  return ScopedCFTypeRef<CFTypeRef>();
}

std::string CatalogueText(SInt32 code) {
  unsigned char text[256];
  EXPECT_EQ(ZEL_Msg_GetPStringErrMsg(code, text, sizeof text, 0, 0), noErr);
  return std::string(reinterpret_cast<char *>(text + 1), text[0]);
}

void Drain() {
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
}

class StatusNoticeTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(kUTF8Locale); }
  void SetUp() override { Notices().clear(); }
  void TearDown() override {
    Alert_TerminateNotify(&context_);
    Drain();
  }

  void Post(const char *object, const Value &state, const Value &code, const Value &message,
            const char *name = "PMNotification") {
    ScopedCFTypeRef<CFMutableDictionaryRef> info(CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    const std::pair<CFStringRef, const Value *> entries[] = {
        {CFSTR("State"), &state}, {CFSTR("MessageCode"), &code}, {CFSTR("Message"), &message}};
    for (const auto &[key, value] : entries) {
      auto object_value = Make(*value);
      if (object_value) {
        CFDictionarySetValue(info.get(), key, object_value.get());
      }
    }
    ScopedCFTypeRef<CFStringRef> poster(
        object ? CFStringCreateWithCString(nullptr, object, kCFStringEncodingUTF8) : nullptr);
    ScopedCFTypeRef<CFStringRef> notification(
        CFStringCreateWithCString(nullptr, name, kCFStringEncodingUTF8));
    CFNotificationCenterPostNotification(CFNotificationCenterGetDistributedCenter(),
                                         notification.get(), poster.get(), info.get(), true);
  }

  AgentContext context_{};
};

TEST_F(StatusNoticeTest, DecisionTable) {
  ASSERT_EQ(Alert_InitializeNotify(&context_), 0);
  const std::string paper_out = CatalogueText(2001);
  std::string many_e_acute;
  for (int i = 0; i < 200; ++i) {
    many_e_acute += "\xC3\xA9";  // 400 bytes in UTF-8, 200 in MacRoman
  }
  std::string cyrillic;
  for (int i = 0; i < 128; ++i) {
    cyrillic += "\xD0\xB6";  // fits neither encoding in 254 bytes
  }
  std::string long_data(300, 'x');
  long_data[0] = static_cast<char>(255);

  struct Row {
    Value state, code, message;
    const char *shown;  // null: no notice
  } rows[] = {
      // State decides whether anything happens.
      {Int(1000), kNone, Text("Toner low"), "Toner low"},
      {Int(999), kNone, Text("Toner low"), nullptr},
      {Int(1001), kNone, Text("Toner low"), nullptr},
      {kNone, kNone, Text("Toner low"), nullptr},
      {Real(1000.0), kNone, Text("Toner low"), "Toner low"},
      {Real(1000.5), kNone, Text("Toner low"), nullptr},
      {Text("1000"), kNone, Text("Toner low"), nullptr},
      {Int(4294968296), kNone, Text("Toner low"), nullptr},  // 2^32 + 1000
      // A usable message code wins; an unknown one shows nothing.
      {Int(1000), Int(2001), Text("ignored"), paper_out.c_str()},
      {Int(1000), Int(2001), kNone, paper_out.c_str()},
      {Int(1000), Int(999999), Text("not a fallback"), nullptr},
      {Int(1000), Text("2001"), Text("from message"), "from message"},
      {Int(1000), Real(2.5), Text("from message"), "from message"},
      {Int(1000), Real(2001.0), Text("ignored"), paper_out.c_str()},
      // Message strings: 254 bytes fit, 255 do not; MacRoman is the second chance.
      {Int(1000), kNone, Text(std::string(254, 'm')), nullptr},  // filled in below
      {Int(1000), kNone, Text(std::string(255, 'm')), nullptr},
      {Int(1000), kNone, Text(many_e_acute), many_e_acute.c_str()},
      {Int(1000), kNone, Text(cyrillic), nullptr},
      {Int(1000), kNone, Text(""), ""},
      // Message data: a Pascal string.
      {Int(1000), kNone,
       Data(std::string("\x03"
                        "abczz")),
       "abc"},
      {Int(1000), kNone, Data(""), ""},
      {Int(1000), kNone,
       Data(std::string("\x0a"
                        "ab")),
       "ab"},
      {Int(1000), kNone, Data(long_data), nullptr},                    // filled in below
      {Int(1000), kNone, Data(std::string("\x02\xff\xfe")), nullptr},  // not UTF-8
      // Other message types, or none.
      {Int(1000), kNone, Int(5), nullptr},
      {Int(1000), kNone, kArray, nullptr},
      {Int(1000), kNone, kDictionary, nullptr},
      {Int(1000), kNone, kNone, nullptr},
  };
  const std::string m254(254, 'm');
  const std::string x254(254, 'x');
  rows[14].shown = m254.c_str();
  rows[22].shown = x254.c_str();

  for (size_t i = 0; i < std::size(rows); ++i) {
    Notices().clear();
    Post("com.arvex.QRX5.StatusMonitor", rows[i].state, rows[i].code, rows[i].message);
    Drain();
    if (rows[i].shown == nullptr) {
      EXPECT_TRUE(Notices().empty()) << "row " << i << ": " << Notices().front();
    } else {
      ASSERT_EQ(Notices().size(), 1u) << "row " << i;
      EXPECT_EQ(Notices()[0], (Notice{"Arvex DORVIK Printer Driver", rows[i].shown}))
          << "row " << i;
    }
  }
}

TEST_F(StatusNoticeTest, IdentifierFiltersPosters) {
  context_.notification_identifier = CFSTR("com.arvex.QRX5.StatusMonitor");
  ASSERT_EQ(Alert_InitializeNotify(&context_), 0);
  Post("com.arvex.QRX5.StatusMonitor", Int(1000), kNone, Text("mine"));
  Post("com.example.other", Int(1000), kNone, Text("other poster"));
  Post(nullptr, Int(1000), kNone, Text("no poster"));
  Post("com.arvex.QRX5.StatusMonitor", Int(1000), kNone, Text("wrong name"), "PMOther");
  Post("com.arvex.QRX5.StatusMonitor", Int(1000), kNone, Text("second"));
  Drain();
  std::vector<Notice> expected = {{"Arvex DORVIK Printer Driver", "mine"},
                                  {"Arvex DORVIK Printer Driver", "second"}};
  EXPECT_EQ(Notices(), expected);
}

TEST_F(StatusNoticeTest, WithoutIdentifierEveryPosterCounts) {
  ASSERT_EQ(Alert_InitializeNotify(&context_), 0);
  Post("com.example.any", Int(1000), kNone, Text("one"));
  Post(nullptr, Int(1000), kNone, Text("two"));
  Drain();
  EXPECT_EQ(Notices().size(), 2u);
}

TEST_F(StatusNoticeTest, RemovedObserverHearsNothingAndNullContextIsRefused) {
  EXPECT_EQ(Alert_InitializeNotify(nullptr), -1);
  Alert_TerminateNotify(nullptr);
  ASSERT_EQ(Alert_InitializeNotify(&context_), 0);
  Post(nullptr, Int(1000), kNone, Text("queued before removal"));
  Alert_TerminateNotify(&context_);
  Drain();
  EXPECT_TRUE(Notices().empty());
}

}  // namespace
