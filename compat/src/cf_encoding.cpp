// Text encodings through iconv, and the system encoding taken from the user's locale.
#include "cf_object.h"

#include <glib.h>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <cctype>
#include <cerrno>

namespace {

struct EncodingInfo {
  CFStringEncoding encoding;
  const char *iconv_name;
  CFIndex max_bytes_per_unit;
};

constexpr EncodingInfo kEncodings[] = {
    {kCFStringEncodingMacRoman, "MACINTOSH", 1},
    {kCFStringEncodingUTF8, "UTF-8", 3},
    {kCFStringEncodingASCII, "ASCII", 1},
    {kCFStringEncodingISOLatin1, "ISO-8859-1", 1},
    {kCFStringEncodingWindowsLatin1, "CP1252", 1},
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    {kCFStringEncodingUTF16, "UTF-16LE", 2},
    {kCFStringEncodingUTF32, "UTF-32LE", 4},
#else
    {kCFStringEncodingUTF16, "UTF-16BE", 2},
    {kCFStringEncodingUTF32, "UTF-32BE", 4},
#endif
    {kCFStringEncodingUTF16BE, "UTF-16BE", 2},
    {kCFStringEncodingUTF16LE, "UTF-16LE", 2},
    {kCFStringEncodingUTF32BE, "UTF-32BE", 4},
    {kCFStringEncodingUTF32LE, "UTF-32LE", 4},
    {kCFStringEncodingISOLatin2, "ISO-8859-2", 1},
    {kCFStringEncodingISOLatin5, "ISO-8859-9", 1},
    {kCFStringEncodingISOLatin9, "ISO-8859-15", 1},
    {kCFStringEncodingISOLatinCyrillic, "ISO-8859-5", 1},
    {kCFStringEncodingISOLatinGreek, "ISO-8859-7", 1},
    {kCFStringEncodingWindowsLatin2, "CP1250", 1},
    {kCFStringEncodingWindowsCyrillic, "CP1251", 1},
    {kCFStringEncodingKOI8_R, "KOI8-R", 1},
    {kCFStringEncodingKOI8_U, "KOI8-U", 1},
    {kCFStringEncodingEUC_JP, "EUC-JP", 3},
    {kCFStringEncodingShiftJIS, "SHIFT_JIS", 2},
    {kCFStringEncodingEUC_KR, "EUC-KR", 2},
    {kCFStringEncodingGB_18030_2000, "GB18030", 4},
    {kCFStringEncodingBig5, "BIG5", 2},
    {kCFStringEncodingBig5_HKSCS_1999, "BIG5-HKSCS", 2},
    {kCFStringEncodingEUC_TW, "EUC-TW", 4},
};

// Locale codesets as nl_langinfo(CODESET) spells them, reduced to upper-case letters and
// digits so that "UTF-8", "utf8" and "UTF8" meet.
struct CodesetAlias {
  const char *codeset;
  CFStringEncoding encoding;
};

constexpr CodesetAlias kCodesets[] = {
    {"UTF8", kCFStringEncodingUTF8},
    {"ANSIX341968", kCFStringEncodingASCII},
    {"ASCII", kCFStringEncodingASCII},
    {"USASCII", kCFStringEncodingASCII},
    {"ISO88591", kCFStringEncodingISOLatin1},
    {"ISO88592", kCFStringEncodingISOLatin2},
    {"ISO88595", kCFStringEncodingISOLatinCyrillic},
    {"ISO88597", kCFStringEncodingISOLatinGreek},
    {"ISO88599", kCFStringEncodingISOLatin5},
    {"ISO885915", kCFStringEncodingISOLatin9},
    {"CP1250", kCFStringEncodingWindowsLatin2},
    {"CP1251", kCFStringEncodingWindowsCyrillic},
    {"CP1252", kCFStringEncodingWindowsLatin1},
    {"KOI8R", kCFStringEncodingKOI8_R},
    {"KOI8U", kCFStringEncodingKOI8_U},
    {"EUCJP", kCFStringEncodingEUC_JP},
    {"SHIFTJIS", kCFStringEncodingShiftJIS},
    {"SJIS", kCFStringEncodingShiftJIS},
    {"EUCKR", kCFStringEncodingEUC_KR},
    {"GB18030", kCFStringEncodingGB_18030_2000},
    {"BIG5", kCFStringEncodingBig5},
    {"BIG5HKSCS", kCFStringEncodingBig5_HKSCS_1999},
    {"EUCTW", kCFStringEncodingEUC_TW},
    {"MACINTOSH", kCFStringEncodingMacRoman},
};

const EncodingInfo *FindEncoding(CFStringEncoding encoding) {
  for (const EncodingInfo &info : kEncodings) {
    if (info.encoding == encoding) {
      return &info;
    }
  }
  return nullptr;
}

class IconvHandle {
 public:
  IconvHandle(const char *to, const char *from) : handle_(iconv_open(to, from)) {}
  ~IconvHandle() {
    if (valid()) {
      iconv_close(handle_);
    }
  }
  IconvHandle(const IconvHandle &) = delete;
  IconvHandle &operator=(const IconvHandle &) = delete;
  bool valid() const { return handle_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return handle_; }

 private:
  iconv_t handle_;
};

// Converts all of input or fails: a byte sequence that is invalid in the source, a
// character the target cannot hold, or an irreversible substitution all count as failure.
bool Convert(const char *to, const char *from, std::string_view input, std::string *output) {
  IconvHandle cd(to, from);
  if (!cd.valid()) {
    return false;
  }
  std::string result(input.size() * 4 + 16, '\0');
  char *in = const_cast<char *>(input.data());
  size_t in_left = input.size();
  size_t used = 0;
  for (;;) {
    char *out = result.data() + used;
    size_t out_left = result.size() - used;
    size_t irreversible = iconv(cd.get(), in_left > 0 ? &in : nullptr, &in_left, &out, &out_left);
    used = result.size() - out_left;
    if (irreversible == static_cast<size_t>(-1)) {
      if (errno == E2BIG) {
        result.resize(result.size() * 2);
        continue;
      }
      return false;
    }
    if (irreversible > 0) {
      return false;
    }
    if (in_left == 0) {
      break;
    }
  }
  // Flush any shift state of stateful targets.
  for (;;) {
    char *out = result.data() + used;
    size_t out_left = result.size() - used;
    if (iconv(cd.get(), nullptr, nullptr, &out, &out_left) != static_cast<size_t>(-1)) {
      used = result.size() - out_left;
      break;
    }
    if (errno != E2BIG) {
      return false;
    }
    result.resize(result.size() * 2);
  }
  result.resize(used);
  *output = std::move(result);
  return true;
}

CFStringEncoding EncodingForCodeset(const char *codeset) {
  std::string key;
  for (const char *p = codeset; p != nullptr && *p != '\0'; ++p) {
    if (std::isalnum(static_cast<unsigned char>(*p))) {
      key.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(*p))));
    }
  }
  for (const CodesetAlias &alias : kCodesets) {
    if (key == alias.codeset) {
      return alias.encoding;
    }
  }
  // A codeset we have no name for: ASCII is the part every codeset shares.
  return kCFStringEncodingASCII;
}

// The user's codeset from LC_ALL, LC_CTYPE or LANG, read without touching the process's
// own locale (the agent never calls setlocale).
CFStringEncoding ReadSystemEncoding() {
  locale_t user = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
  if (user == static_cast<locale_t>(0)) {
    return kCFStringEncodingASCII;
  }
  CFStringEncoding encoding = EncodingForCodeset(nl_langinfo_l(CODESET, user));
  freelocale(user);
  return encoding;
}

// glibc's UTF-8 decoder takes the old 5- and 6-byte forms and code points beyond U+10FFFF;
// such text is no Unicode, and GLib and D-Bus refuse it further on (a notice would reach
// the service as "[Invalid UTF-8]").
bool IsUnicodeText(std::string_view utf8) {
  const char *p = utf8.data();
  const char *end = p + utf8.size();
  while (p < end) {
    // GLib's validator stops at NUL, which is a character like any other here.
    if (*p == '\0') {
      ++p;
      continue;
    }
    if (static_cast<gint32>(g_utf8_get_char_validated(p, end - p)) < 0) {
      return false;
    }
    p = g_utf8_next_char(p);
  }
  return true;
}

}  // namespace

bool compat::EncodingIsKnown(CFStringEncoding encoding) {
  return FindEncoding(encoding) != nullptr;
}

CFIndex compat::MaxBytesPerUnit(CFStringEncoding encoding) {
  const EncodingInfo *info = FindEncoding(encoding);
  return info == nullptr ? 0 : info->max_bytes_per_unit;
}

bool compat::DecodeToUTF8(std::string_view bytes, CFStringEncoding encoding, std::string *utf8) {
  const EncodingInfo *info = FindEncoding(encoding);
  if (info == nullptr) {
    return false;
  }
  std::string text;
  if (!Convert("UTF-8", info->iconv_name, bytes, &text) || !IsUnicodeText(text)) {
    return false;
  }
  *utf8 = std::move(text);
  return true;
}

bool compat::EncodeFromUTF8(std::string_view utf8, CFStringEncoding encoding, std::string *bytes) {
  if (encoding == kCFStringEncodingUTF8) {
    *bytes = std::string(utf8);
    return true;
  }
  const EncodingInfo *info = FindEncoding(encoding);
  if (info == nullptr) {
    return false;
  }
  return Convert(info->iconv_name, "UTF-8", utf8, bytes);
}

CFStringEncoding CFStringGetSystemEncoding(void) {
  // Fixed for the life of the process, as on the original platform.
  static const CFStringEncoding system_encoding = ReadSystemEncoding();
  return system_encoding;
}
