// URL objects for files, and the percent-escape decoder.
#include "cf_url.h"

#include <glib.h>

#include <cstring>

namespace {

const __CFURL *AsURL(CFTypeRef cf) {
  return compat::As<__CFURL>(cf, compat::kTypeIDURL);
}

// The bytes of the escapes from text[at] on, as long as escapes follow one another; false
// when one is cut short or not hexadecimal. *end is where the run stops.
bool ReadEscapeRun(std::string_view text, size_t at, std::string *bytes, size_t *end) {
  bytes->clear();
  while (at < text.size() && text[at] == '%') {
    if (text.size() - at < 3) {
      return false;
    }
    int high = g_ascii_xdigit_value(text[at + 1]);
    int low = g_ascii_xdigit_value(text[at + 2]);
    if (high < 0 || low < 0) {
      return false;
    }
    bytes->push_back(static_cast<char>(high * 16 + low));
    at += 3;
  }
  *end = at;
  return true;
}

// Appends the decoded text of one run, putting back the escapes of each character that is
// to stay escaped. A character's escapes are as many as its bytes in the encoding.
bool AppendRun(std::string_view escapes, std::string_view decoded, std::string_view keep,
               CFStringEncoding encoding, std::string *out) {
  if (keep.empty()) {
    out->append(decoded);
    return true;
  }
  size_t consumed = 0;
  for (const char *p = decoded.data(), *end = p + decoded.size(); p < end;) {
    const char *next = *p == '\0' ? p + 1 : g_utf8_next_char(p);
    std::string_view character(p, static_cast<size_t>(next - p));
    std::string bytes;
    if (!compat::EncodeFromUTF8(character, encoding, &bytes)) {
      return false;
    }
    if (keep.find(character) != std::string_view::npos) {
      out->append(escapes.substr(consumed, bytes.size() * 3));
    } else {
      out->append(character);
    }
    consumed += bytes.size() * 3;
    p = next;
  }
  return true;
}

}  // namespace

CFURLRef compat::NewFileURL(std::string absolute_path) {
  return NewObject<__CFURL>(std::move(absolute_path));
}

std::string compat::FilePathOf(CFURLRef url) {
  const __CFURL *object = AsURL(url);
  return object == nullptr ? std::string() : object->path;
}

CFTypeID CFURLGetTypeID(void) {
  return compat::kTypeIDURL;
}

CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef, const UInt8 *buffer,
                                                 CFIndex bufLen, Boolean) {
  if (buffer == nullptr || bufLen <= 0) {
    return nullptr;
  }
  std::string path(reinterpret_cast<const char *>(buffer), static_cast<size_t>(bufLen));
  if (path.find('\0') != std::string::npos) {
    return nullptr;
  }
  if (!g_path_is_absolute(path.c_str())) {
    g_autofree gchar *current = g_get_current_dir();
    g_autofree gchar *absolute = g_build_filename(current, path.c_str(), nullptr);
    path = absolute;
  }
  return compat::NewFileURL(std::move(path));
}

Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean, UInt8 *buffer, CFIndex maxBufLen) {
  const __CFURL *object = AsURL(url);
  if (object == nullptr || buffer == nullptr || maxBufLen <= 0 ||
      object->path.size() >= static_cast<size_t>(maxBufLen)) {
    return false;
  }
  std::memcpy(buffer, object->path.c_str(), object->path.size() + 1);
  return true;
}

CFStringRef CFURLCreateStringByReplacingPercentEscapesUsingEncoding(
    CFAllocatorRef allocator, CFStringRef origString, CFStringRef charactersToLeaveEscaped,
    CFStringEncoding encoding) {
  if (compat::As<__CFString>(origString, compat::kTypeIDString) == nullptr ||
      !compat::EncodingIsKnown(encoding)) {
    return nullptr;
  }
  // A null set keeps every escape, as documented for the original.
  if (charactersToLeaveEscaped == nullptr) {
    return CFStringCreateCopy(allocator, origString);
  }
  const std::string &text = compat::UTF8Of(origString);
  const std::string keep = compat::TextOf(charactersToLeaveEscaped);
  std::string out;
  out.reserve(text.size());
  std::string bytes;
  std::string decoded;
  size_t at = 0;
  while (at < text.size()) {
    if (text[at] != '%') {
      out.push_back(text[at++]);
      continue;
    }
    // A character of several bytes spans several escapes, so a run is decoded as a whole.
    size_t end = 0;
    if (!ReadEscapeRun(text, at, &bytes, &end) ||
        !compat::DecodeToUTF8(bytes, encoding, &decoded) ||
        !AppendRun(std::string_view(text).substr(at, end - at), decoded, keep, encoding, &out)) {
      return nullptr;
    }
    at = end;
  }
  return compat::NewStringFromUTF8(std::move(out));
}
