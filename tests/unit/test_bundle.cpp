// Runs from bin/ of the build tree, which holds the agent's bundle in share/ beside it, as
// an installed agent has.
#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "cf_text.h"
#include "zelcups/scoped.h"

using zelcups::ScopedCFTypeRef;

namespace {

using zelcups_test::Str;
using zelcups_test::TextOf;

const std::filesystem::path kPrefix =
    std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path();

std::string PathOf(CFURLRef url) {
  char path[4096];
  if (url == nullptr ||
      !CFURLGetFileSystemRepresentation(url, true, reinterpret_cast<UInt8 *>(path), sizeof path)) {
    return "(none)";
  }
  return path;
}

constexpr char kTitleKey[] = "Libinfo Get Error Title";
constexpr char kButtonKey[] = "Bidi Add Error OK";
constexpr char kEnglishTitle[] =
    "The printer's settings for the new queue could not be read from the driver.";
constexpr char kGermanTitle[] =
    "Die Druckereinstellungen f\u00fcr die neue Warteschlange konnten nicht vom Treiber gelesen "
    "werden.";
constexpr char kFrenchTitle[] =
    "Les r\u00e9glages de l'imprimante pour la nouvelle file d'attente n'ont pas pu \u00eatre "
    "lus depuis le pilote.";
constexpr char kJapaneseTitle[] =
    "\u65b0\u3057\u3044\u30ad\u30e5\u30fc\u306e\u30d7\u30ea\u30f3\u30bf\u30fc\u8a2d\u5b9a\u3092"
    "\u30c9\u30e9\u30a4\u30d0\u30fc\u304b\u3089\u8aad\u307f\u8fbc\u3081\u307e\u305b\u3093\u3067"
    "\u3057\u305f\u3002";

void SetEnvironment(const char *name, const char *value) {
  if (value == nullptr) {
    unsetenv(name);
  } else {
    setenv(name, value, 1);
  }
}

TEST(Bundle, ResourcesComeFromShareBesideTheExecutablesFolder) {
  CFBundleRef bundle = CFBundleGetMainBundle();
  ASSERT_NE(bundle, nullptr);
  EXPECT_EQ(CFGetTypeID(bundle), CFBundleGetTypeID());
  const std::string folder = (kPrefix / "share" / "zelcups-agent").string();
  struct Row {
    const char *name, *type, *sub_dir;
    std::string expected;
  } rows[] = {
      {"Printer", "icns", nullptr, folder + "/Printer.svg"},
      {"Printer", "svg", nullptr, folder + "/Printer.svg"},
      {"Printer", ".png", nullptr, folder + "/Printer.png"},
      {"Printer.svg", nullptr, nullptr, folder + "/Printer.svg"},
      {"Printer", "tiff", nullptr, "(none)"},
      {"Scanner", "icns", nullptr, "(none)"},
      {"Printer", "icns", "Missing", "(none)"},
      {"", "icns", nullptr, "(none)"},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    ScopedCFTypeRef<CFURLRef> url(CFBundleCopyResourceURL(
        bundle, Str(rows[i].name).get(), Str(rows[i].type).get(), Str(rows[i].sub_dir).get()));
    EXPECT_EQ(PathOf(url.get()), rows[i].expected) << "row " << i << ": " << rows[i].name;
  }
  EXPECT_EQ(CFBundleCopyResourceURL(nullptr, Str("Printer").get(), Str("icns").get(), nullptr),
            nullptr);
}

TEST(Bundle, LocalizedStringsFollowTheUsersLanguagesThenEnglish) {
  struct Row {
    const char *language, *lc_all, *lc_messages, *lang;
    const char *key, *value, *table;
    const char *expected;
  } rows[] = {
      {nullptr, nullptr, nullptr, "de_DE.UTF-8", kTitleKey, kTitleKey, nullptr, kGermanTitle},
      {nullptr, nullptr, nullptr, "fr_FR.UTF-8", kTitleKey, kTitleKey, nullptr, kFrenchTitle},
      {nullptr, nullptr, nullptr, "ja_JP.UTF-8", kTitleKey, kTitleKey, nullptr, kJapaneseTitle},
      {nullptr, nullptr, nullptr, "ja_JP.UTF-8", kButtonKey, kButtonKey, nullptr, "OK"},
      {nullptr, nullptr, nullptr, "de_AT.ISO-8859-15@euro", kTitleKey, nullptr, nullptr,
       kGermanTitle},
      // no catalogue for the user's language, or no language: English
      {nullptr, nullptr, nullptr, "es_ES.UTF-8", kTitleKey, kTitleKey, nullptr, kEnglishTitle},
      {nullptr, nullptr, nullptr, "C", kTitleKey, kTitleKey, nullptr, kEnglishTitle},
      {nullptr, nullptr, nullptr, "C.UTF-8", kButtonKey, kButtonKey, nullptr, "OK"},
      {nullptr, nullptr, nullptr, nullptr, kTitleKey, kTitleKey, nullptr, kEnglishTitle},
      // which setting wins
      {nullptr, "fr_FR.UTF-8", "ja_JP.UTF-8", "de_DE.UTF-8", kTitleKey, nullptr, nullptr,
       kFrenchTitle},
      {nullptr, nullptr, "ja_JP.UTF-8", "de_DE.UTF-8", kTitleKey, nullptr, nullptr, kJapaneseTitle},
      {"es:fr:de", nullptr, nullptr, "de_DE.UTF-8", kTitleKey, nullptr, nullptr, kFrenchTitle},
      {"fr", nullptr, nullptr, "C", kTitleKey, nullptr, nullptr, kEnglishTitle},
      {"es:C:de", nullptr, nullptr, "de_DE.UTF-8", kTitleKey, nullptr, nullptr, kEnglishTitle},
      {"../../../../share/locale/de:.:ja", nullptr, nullptr, "de_DE.UTF-8", kTitleKey, nullptr,
       nullptr, kJapaneseTitle},
      // a key no catalogue has, another table, no key
      {nullptr, nullptr, nullptr, "de_DE.UTF-8", "No Such Key", nullptr, nullptr, "No Such Key"},
      {nullptr, nullptr, nullptr, "de_DE.UTF-8", "No Such Key", "", nullptr, "No Such Key"},
      {nullptr, nullptr, nullptr, "de_DE.UTF-8", "No Such Key", "Given", nullptr, "Given"},
      {nullptr, nullptr, nullptr, "de_DE.UTF-8", kTitleKey, nullptr, "Localizable", kGermanTitle},
      {nullptr, nullptr, nullptr, "de_DE.UTF-8", kTitleKey, nullptr, "Other", kTitleKey},
      {nullptr, nullptr, nullptr, "de_DE.UTF-8", nullptr, nullptr, nullptr, ""},
      {nullptr, nullptr, nullptr, "de_DE.UTF-8", nullptr, "Given", nullptr, "Given"},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    const Row &row = rows[i];
    SetEnvironment("LANGUAGE", row.language);
    SetEnvironment("LC_ALL", row.lc_all);
    SetEnvironment("LC_MESSAGES", row.lc_messages);
    SetEnvironment("LANG", row.lang);
    ScopedCFTypeRef<CFStringRef> text(CFBundleCopyLocalizedString(
        CFBundleGetMainBundle(), Str(row.key).get(), Str(row.value).get(), Str(row.table).get()));
    ASSERT_NE(text.get(), nullptr) << "row " << i;
    EXPECT_EQ(TextOf(text.get()), row.expected) << "row " << i << ": " << (row.key ? row.key : "-");
  }
}

// A damaged catalogue is skipped like a missing one.
TEST(Bundle, DamagedCataloguesAreSkipped) {
  const std::filesystem::path locales = kPrefix / "share" / "locale";
  std::ifstream german(locales / "de" / "LC_MESSAGES" / "zelcups-agent.mo", std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(german)), std::istreambuf_iterator<char>());
  ASSERT_GT(bytes.size(), 40u);
  std::string truncated = bytes.substr(0, bytes.size() - 20);
  std::string garbage(bytes.size(), '\xff');
  garbage.replace(0, 12, bytes, 0, 12);  // a valid header over tables that point nowhere
  struct Row {
    const char *language;
    std::string contents;
  } rows[] = {{"x-test-truncated", truncated}, {"x-test-garbage", garbage}, {"x-test-empty", ""}};
  for (const Row &row : rows) {
    std::filesystem::path folder = locales / row.language / "LC_MESSAGES";
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "zelcups-agent.mo", std::ios::binary) << row.contents;
    setenv("LANGUAGE", row.language, 1);
    setenv("LANG", "de_DE.UTF-8", 1);
    ScopedCFTypeRef<CFStringRef> text(CFBundleCopyLocalizedString(
        CFBundleGetMainBundle(), Str(kTitleKey).get(), nullptr, nullptr));
    std::filesystem::remove_all(locales / row.language);
    ASSERT_NE(text.get(), nullptr) << row.language;
    EXPECT_EQ(TextOf(text.get()), kEnglishTitle) << row.language;
  }
}

}  // namespace
