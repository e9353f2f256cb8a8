// The agent's bundle: the resource folder beside the executable's folder, and its
// localized strings from the message catalogues of the text domain "zelcups-agent".
//
// The catalogues are the .mo files msgfmt writes, looked up per call in the user's
// languages and then in English. gettext's own lookup cannot be used for this: it picks the
// language from the process's LC_MESSAGES locale, which must then be set globally and be
// installed on the machine, or from LANGUAGE, which it also follows when we need English;
// so it could neither fall back to English nor read a catalogue for a language whose locale
// is not installed.
#include <glib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cf_object.h"
#include "cf_url.h"

struct __CFBundle : compat::CFObject {
  __CFBundle(std::string resources, std::string locales)
      : CFObject(compat::kTypeIDBundle),
        resource_dir(std::move(resources)),
        locale_dir(std::move(locales)) {
    immortal = true;
  }
  // Empty when the executable's location is unknown: then nothing is found.
  const std::string resource_dir;
  const std::string locale_dir;
};

namespace {

constexpr char kTextDomain[] = "zelcups-agent";
constexpr char kDefaultTable[] = "Localizable";
// The language the keys were written for, used when none of the user's has a catalogue.
constexpr char kDevelopmentLanguage[] = "en";

// Resource types of the original platform and the file types that stand in for them here.
struct TypeStandIn {
  std::string_view type;
  std::string_view stand_in;
};
constexpr TypeStandIn kTypeStandIns[] = {
    {"icns", "svg"},
};

const __CFBundle *AsBundle(CFTypeRef cf) {
  return compat::As<__CFBundle>(cf, compat::kTypeIDBundle);
}

__CFBundle *MakeMainBundle() {
  g_autofree gchar *executable = g_file_read_link("/proc/self/exe", nullptr);
  if (executable == nullptr) {
    return compat::NewObject<__CFBundle>(std::string(), std::string());
  }
  g_autofree gchar *bin_dir = g_path_get_dirname(executable);
  g_autofree gchar *prefix = g_path_get_dirname(bin_dir);
  g_autofree gchar *resources = g_build_filename(prefix, "share", kTextDomain, nullptr);
  g_autofree gchar *locales = g_build_filename(prefix, "share", "locale", nullptr);
  return compat::NewObject<__CFBundle>(resources, locales);
}

// --- the user's languages ----------------------------------------------------------------

const char *NonEmptyEnv(const char *name) {
  const char *value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

bool IsCLocale(std::string_view name) {
  std::string_view language = name.substr(0, name.find_first_of("_.@"));
  return language == "C" || language == "POSIX";
}

// The same order gettext follows: LANGUAGE, a list of languages, unless the locale is C;
// else the locale of LC_ALL, LC_MESSAGES or LANG, whichever is set first. The C locale, or
// an entry C in the list, ends the user's languages.
std::vector<std::string> UserLanguages() {
  const char *locale = NonEmptyEnv("LC_ALL");
  for (const char *name : {"LC_MESSAGES", "LANG"}) {
    if (locale == nullptr) {
      locale = NonEmptyEnv(name);
    }
  }
  std::vector<std::string> languages;
  if (locale == nullptr || IsCLocale(locale)) {
    return languages;
  }
  const char *list = NonEmptyEnv("LANGUAGE");
  gchar **entries = g_strsplit(list != nullptr ? list : locale, ":", -1);
  for (gchar **entry = entries; *entry != nullptr; ++entry) {
    std::string_view name = *entry;
    if (name.empty()) {
      continue;
    }
    if (IsCLocale(name)) {
      break;
    }
    // Part of a file path: a name must not lead out of the catalogue folder.
    if (name.find('/') != std::string_view::npos || name.front() == '.') {
      continue;
    }
    languages.emplace_back(name);
  }
  g_strfreev(entries);
  return languages;
}

// language[_territory][.codeset][@modifier], from the most specific form to the language
// alone, as gettext tries them.
std::vector<std::string> LanguageVariants(const std::string &name) {
  size_t at = name.find('@');
  std::string modifier = at == std::string::npos ? std::string() : name.substr(at);
  std::string rest = name.substr(0, at);
  std::string without_codeset = rest.substr(0, rest.find('.'));
  std::string language = without_codeset.substr(0, without_codeset.find('_'));
  std::vector<std::string> variants;
  for (std::string candidate :
       {name, without_codeset + modifier, without_codeset, language + modifier, language}) {
    if (!candidate.empty() &&
        std::find(variants.begin(), variants.end(), candidate) == variants.end()) {
      variants.push_back(std::move(candidate));
    }
  }
  return variants;
}

// --- message catalogues ------------------------------------------------------------------

// A GNU message catalogue (.mo) in memory: a header, then two tables of (length, offset)
// pairs for the original and the translated strings, every string NUL-terminated.
class Catalogue {
 public:
  explicit Catalogue(std::string bytes) : bytes_(std::move(bytes)) {
    constexpr uint32_t kMagic = 0x950412de;
    constexpr uint32_t kSwappedMagic = 0xde120495;
    uint32_t magic = 0;
    if (bytes_.size() < 20 || !Word(0, &magic) || (magic != kMagic && magic != kSwappedMagic)) {
      return;
    }
    swapped_ = magic == kSwappedMagic;
    uint32_t revision = 0;
    Word(4, &revision);
    if (revision >> 16 > 1 || !Word(8, &count_) || !Word(12, &originals_) ||
        !Word(16, &translations_)) {
      return;
    }
    valid_ = true;
    charset_ = ReadCharset();
  }

  // The translation of msgid as UTF-8 text; nothing when it has none.
  std::optional<std::string> Find(std::string_view msgid) const {
    if (!valid_) {
      return std::nullopt;
    }
    for (uint32_t i = 0; i < count_; ++i) {
      std::optional<std::string_view> original = Entry(originals_, i);
      // A plural entry holds its plural form behind a NUL; the singular is the msgid.
      if (!original || original->substr(0, original->find('\0')) != msgid) {
        continue;
      }
      std::optional<std::string_view> translation = Entry(translations_, i);
      if (!translation) {
        return std::nullopt;
      }
      return ToUTF8(translation->substr(0, translation->find('\0')));
    }
    return std::nullopt;
  }

 private:
  bool Word(uint64_t at, uint32_t *value) const {
    if (at + 4 > bytes_.size()) {
      return false;
    }
    uint32_t word = 0;
    std::memcpy(&word, bytes_.data() + at, 4);
    *value = swapped_ ? GUINT32_SWAP_LE_BE(word) : word;
    return true;
  }

  std::optional<std::string_view> Entry(uint32_t table, uint32_t index) const {
    uint64_t at = table + uint64_t{index} * 8;
    uint32_t length = 0;
    uint32_t offset = 0;
    // The terminating NUL must be inside the file as well.
    if (!Word(at, &length) || !Word(at + 4, &offset) ||
        uint64_t{offset} + length >= bytes_.size() || bytes_[offset + length] != '\0') {
      return std::nullopt;
    }
    return std::string_view(bytes_).substr(offset, length);
  }

  // The header is the translation of the empty msgid; msgfmt keeps the text in the charset
  // the translator wrote it in.
  std::string ReadCharset() const {
    std::optional<std::string_view> header;
    for (uint32_t i = 0; i < count_ && !header; ++i) {
      std::optional<std::string_view> original = Entry(originals_, i);
      if (original && original->empty()) {
        header = Entry(translations_, i);
      }
    }
    constexpr std::string_view kCharset = "charset=";
    size_t at = header ? header->find(kCharset) : std::string_view::npos;
    if (at == std::string_view::npos) {
      return "UTF-8";
    }
    std::string_view rest = header->substr(at + kCharset.size());
    return std::string(rest.substr(0, rest.find_first_of(" ;\n")));
  }

  std::optional<std::string> ToUTF8(std::string_view text) const {
    if (g_ascii_strcasecmp(charset_.c_str(), "UTF-8") == 0) {
      if (!g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr)) {
        return std::nullopt;
      }
      return std::string(text);
    }
    gsize written = 0;
    g_autofree gchar *converted = g_convert(text.data(), static_cast<gssize>(text.size()), "UTF-8",
                                            charset_.c_str(), nullptr, &written, nullptr);
    if (converted == nullptr) {
      return std::nullopt;
    }
    return std::string(converted, written);
  }

  std::string bytes_;
  bool swapped_ = false;
  bool valid_ = false;
  uint32_t count_ = 0;
  uint32_t originals_ = 0;
  uint32_t translations_ = 0;
  std::string charset_;
};

// The catalogue of one of the user's languages: the first of its variants that has one.
std::optional<Catalogue> LoadCatalogue(const std::string &locale_dir, const std::string &name) {
  for (const std::string &variant : LanguageVariants(name)) {
    std::string file = std::string(kTextDomain) + ".mo";
    g_autofree gchar *path =
        g_build_filename(locale_dir.c_str(), variant.c_str(), "LC_MESSAGES", file.c_str(), nullptr);
    g_autofree gchar *contents = nullptr;
    gsize length = 0;
    if (g_file_get_contents(path, &contents, &length, nullptr)) {
      return Catalogue(std::string(contents, length));
    }
  }
  return std::nullopt;
}

// Each language in turn, as gettext does with a list: one whose catalogue lacks the key
// hands over to the next.
std::optional<std::string> Translate(const std::string &locale_dir, const std::string &key) {
  std::vector<std::string> languages = UserLanguages();
  languages.emplace_back(kDevelopmentLanguage);
  for (const std::string &language : languages) {
    std::optional<Catalogue> catalogue = LoadCatalogue(locale_dir, language);
    if (!catalogue) {
      continue;
    }
    std::optional<std::string> text = catalogue->Find(key);
    if (text && !text->empty()) {
      return text;
    }
  }
  return std::nullopt;
}

bool IsRegularFile(const std::string &path) {
  return g_file_test(path.c_str(), G_FILE_TEST_IS_REGULAR);
}

}  // namespace

CFTypeID CFBundleGetTypeID(void) {
  return compat::kTypeIDBundle;
}

CFBundleRef CFBundleGetMainBundle(void) {
  static __CFBundle *const main_bundle = MakeMainBundle();
  return main_bundle;
}

CFURLRef CFBundleCopyResourceURL(CFBundleRef bundle, CFStringRef resourceName,
                                 CFStringRef resourceType, CFStringRef subDirName) {
  const __CFBundle *object = AsBundle(bundle);
  std::string name = compat::TextOf(resourceName);
  if (object == nullptr || object->resource_dir.empty() || name.empty()) {
    return nullptr;
  }
  std::string type = compat::TextOf(resourceType);
  if (!type.empty() && type.front() == '.') {
    type.erase(0, 1);
  }
  std::string folder = object->resource_dir;
  std::string sub_dir = compat::TextOf(subDirName);
  if (!sub_dir.empty()) {
    folder += "/" + sub_dir;
  }
  std::vector<std::string> types{type};
  for (const TypeStandIn &stand_in : kTypeStandIns) {
    if (type == stand_in.type) {
      types.emplace_back(stand_in.stand_in);
    }
  }
  for (const std::string &candidate : types) {
    std::string path = folder + "/" + name + (candidate.empty() ? "" : "." + candidate);
    if (IsRegularFile(path)) {
      return compat::NewFileURL(std::move(path));
    }
  }
  return nullptr;
}

CFStringRef CFBundleCopyLocalizedString(CFBundleRef bundle, CFStringRef key, CFStringRef value,
                                        CFStringRef tableName) {
  std::string key_text = compat::TextOf(key);
  std::string value_text = compat::TextOf(value);
  if (key_text.empty()) {
    return compat::NewStringFromUTF8(std::move(value_text));
  }
  const __CFBundle *object = AsBundle(bundle);
  std::string table = compat::TextOf(tableName);
  if (object != nullptr && !object->locale_dir.empty() &&
      (table.empty() || table == kDefaultTable)) {
    if (std::optional<std::string> text = Translate(object->locale_dir, key_text)) {
      return compat::NewStringFromUTF8(std::move(*text));
    }
  }
  return compat::NewStringFromUTF8(value_text.empty() ? std::move(key_text)
                                                      : std::move(value_text));
}
