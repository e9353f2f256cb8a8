#include "cf_object.h"

#include <glib.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

namespace {

CFIndex CountUTF16Units(std::string_view utf8) {
  CFIndex units = 0;
  for (const char *p = utf8.data(), *end = p + utf8.size(); p < end; p = g_utf8_next_char(p)) {
    units += g_utf8_get_char(p) >= 0x10000 ? 2 : 1;
  }
  return units;
}

std::u16string ToUTF16(std::string_view utf8) {
  std::u16string units;
  units.reserve(utf8.size());
  for (const char *p = utf8.data(), *end = p + utf8.size(); p < end; p = g_utf8_next_char(p)) {
    gunichar c = g_utf8_get_char(p);
    if (c >= 0x10000) {
      c -= 0x10000;
      units.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      units.push_back(static_cast<char16_t>(c));
    }
  }
  return units;
}

// Case folding for comparisons; g_utf8_casefold stops at NUL, so fold piecewise.
std::string CaseFold(std::string_view utf8) {
  std::string folded;
  size_t start = 0;
  while (start <= utf8.size()) {
    size_t nul = utf8.find('\0', start);
    size_t end = nul == std::string_view::npos ? utf8.size() : nul;
    g_autofree gchar *piece =
        g_utf8_casefold(utf8.data() + start, static_cast<gssize>(end - start));
    folded += piece;
    if (nul == std::string_view::npos) {
      break;
    }
    folded.push_back('\0');
    start = nul + 1;
  }
  return folded;
}

CFStringRef CreateFromBytes(std::string_view bytes, CFStringEncoding encoding) {
  std::string utf8;
  if (!compat::DecodeToUTF8(bytes, encoding, &utf8)) {
    return nullptr;
  }
  return compat::NewStringFromUTF8(std::move(utf8));
}

const __CFString *AsString(CFTypeRef cf) {
  return compat::As<__CFString>(cf, compat::kTypeIDString);
}

}  // namespace

__CFString::__CFString(std::string text)
    : CFObject(compat::kTypeIDString), utf8(std::move(text)), utf16_length(CountUTF16Units(utf8)) {}

bool __CFString::Equals(const CFObject &other) const {
  return utf8 == static_cast<const __CFString &>(other).utf8;
}

CFHashCode __CFString::Hash() const {
  return std::hash<std::string>{}(utf8);
}

CFStringRef compat::NewStringFromUTF8(std::string utf8) {
  return NewObject<__CFString>(std::move(utf8));
}

const std::string &compat::UTF8Of(CFStringRef string) {
  return string->utf8;
}

std::string compat::TextOf(CFTypeRef object) {
  const __CFString *string = AsString(object);
  return string == nullptr ? std::string() : string->utf8;
}

CFTypeID CFStringGetTypeID(void) {
  return compat::kTypeIDString;
}

CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char *cStr, CFStringEncoding encoding) {
  if (cStr == nullptr) {
    return nullptr;
  }
  return CreateFromBytes(std::string_view(cStr), encoding);
}

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8 *bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean) {
  if (numBytes < 0 || (bytes == nullptr && numBytes > 0)) {
    return nullptr;
  }
  return CreateFromBytes(
      std::string_view(reinterpret_cast<const char *>(bytes), static_cast<size_t>(numBytes)),
      encoding);
}

CFStringRef CFStringCreateWithPascalString(CFAllocatorRef, ConstStr255Param pStr,
                                           CFStringEncoding encoding) {
  if (pStr == nullptr) {
    return nullptr;
  }
  return CreateFromBytes(std::string_view(reinterpret_cast<const char *>(pStr + 1), pStr[0]),
                         encoding);
}

CFStringRef CFStringCreateWithCharacters(CFAllocatorRef, const UniChar *chars, CFIndex numChars) {
  if (numChars < 0 || (chars == nullptr && numChars > 0)) {
    return nullptr;
  }
  // GLib's converter stops at U+0000; here it is a character like any other, and what
  // follows it belongs to the string. A lone surrogate has no UTF-8 form: no object.
  std::string text;
  text.reserve(static_cast<size_t>(numChars));
  for (CFIndex i = 0; i < numChars; ++i) {
    gunichar c = chars[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < numChars && chars[i + 1] >= 0xDC00 &&
        chars[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (chars[++i] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      return nullptr;
    }
    char bytes[6];
    text.append(bytes, static_cast<size_t>(g_unichar_to_utf8(c, bytes)));
  }
  return compat::NewStringFromUTF8(std::move(text));
}

CFStringRef CFStringCreateCopy(CFAllocatorRef, CFStringRef theString) {
  const __CFString *string = AsString(theString);
  if (string == nullptr) {
    return nullptr;
  }
  return static_cast<CFStringRef>(CFRetain(string));
}

CFIndex CFStringGetLength(CFStringRef theString) {
  const __CFString *string = AsString(theString);
  return string == nullptr ? 0 : string->utf16_length;
}

UniChar CFStringGetCharacterAtIndex(CFStringRef theString, CFIndex idx) {
  const __CFString *string = AsString(theString);
  if (string == nullptr || idx < 0 || idx >= string->utf16_length) {
    return 0;
  }
  return ToUTF16(string->utf8)[static_cast<size_t>(idx)];
}

void CFStringGetCharacters(CFStringRef theString, CFRange range, UniChar *buffer) {
  const __CFString *string = AsString(theString);
  if (string == nullptr || buffer == nullptr || range.location < 0 || range.length <= 0 ||
      range.location > string->utf16_length - range.length) {
    return;
  }
  std::u16string units = ToUTF16(string->utf8);
  std::copy_n(units.begin() + range.location, range.length, buffer);
}

Boolean CFStringGetCString(CFStringRef theString, char *buffer, CFIndex bufferSize,
                           CFStringEncoding encoding) {
  const __CFString *string = AsString(theString);
  if (string == nullptr || buffer == nullptr || bufferSize <= 0) {
    return false;
  }
  std::string bytes;
  if (!compat::EncodeFromUTF8(string->utf8, encoding, &bytes) ||
      bytes.size() + 1 > static_cast<size_t>(bufferSize)) {
    buffer[0] = '\0';
    return false;
  }
  std::memcpy(buffer, bytes.data(), bytes.size());
  buffer[bytes.size()] = '\0';
  return true;
}

Boolean CFStringGetPascalString(CFStringRef theString, StringPtr buffer, CFIndex bufferSize,
                                CFStringEncoding encoding) {
  const __CFString *string = AsString(theString);
  if (string == nullptr || buffer == nullptr || bufferSize < 1) {
    return false;
  }
  std::string bytes;
  size_t capacity = std::min<size_t>(static_cast<size_t>(bufferSize) - 1, 255);
  if (!compat::EncodeFromUTF8(string->utf8, encoding, &bytes) || bytes.size() > capacity) {
    return false;
  }
  buffer[0] = static_cast<unsigned char>(bytes.size());
  std::memcpy(buffer + 1, bytes.data(), bytes.size());
  return true;
}

CFComparisonResult CFStringCompare(CFStringRef theString1, CFStringRef theString2,
                                   CFStringCompareFlags compareOptions) {
  const __CFString *a = AsString(theString1);
  const __CFString *b = AsString(theString2);
  if (a == nullptr || b == nullptr) {
    return a == b ? kCFCompareEqualTo : (a == nullptr ? kCFCompareLessThan : kCFCompareGreaterThan);
  }
  std::u16string left, right;
  if ((compareOptions & kCFCompareCaseInsensitive) != 0) {
    left = ToUTF16(CaseFold(a->utf8));
    right = ToUTF16(CaseFold(b->utf8));
  } else {
    left = ToUTF16(a->utf8);
    right = ToUTF16(b->utf8);
  }
  int order = left.compare(right);
  return order < 0 ? kCFCompareLessThan : (order > 0 ? kCFCompareGreaterThan : kCFCompareEqualTo);
}

Boolean CFStringIsEncodingAvailable(CFStringEncoding encoding) {
  return compat::EncodingIsKnown(encoding);
}

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding) {
  if (length < 0 || !compat::EncodingIsKnown(encoding)) {
    return kCFNotFound;
  }
  return length * compat::MaxBytesPerUnit(encoding);
}

CFStringRef __CFStringMakeConstantString(const char *cStr) {
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<__CFString>, std::less<>> constants;
  if (cStr == nullptr) {
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(mutex);
  auto found = constants.find(std::string_view(cStr));
  if (found != constants.end()) {
    return found->second.get();
  }
  std::string utf8;
  if (!compat::DecodeToUTF8(cStr, kCFStringEncodingUTF8, &utf8)) {
    return nullptr;
  }
  auto constant = std::make_unique<__CFString>(std::move(utf8));
  constant->immortal = true;
  CFStringRef result = constant.get();
  constants.emplace(cStr, std::move(constant));
  return result;
}
