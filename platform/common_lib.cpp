// Stand-in for the maker's common library: the product profile, the status-message
// catalogue, Pascal-string copying and the path encoding.
#include "CommonLib.h"

#include <plist/plist.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common_lib_testing.h"
#include "zelcups/scoped.h"
#include "zelcups/holders.h"
#include "zelcups/plist_holders.h"

struct ZEL_OpaqueProfileTicket {
  plist_t root = nullptr;
  ~ZEL_OpaqueProfileTicket() { plist_free(root); }
};

namespace {

constexpr char kProductProfilePath[] =
    "/Library/Printers/Arvex/QRX5/Resources/ProductProfile.plist";
const char *g_product_profile_path = kProductProfilePath;
// A profile is a few kilobytes; anything far larger is not one.
constexpr long kMaxProfileBytes = 1 << 20;

struct MessageEntry {
  SInt32 code;
  const char *text;
};

// Status texts the driver refers to by code. Plain ASCII, so that they convert to every
// system encoding.
constexpr MessageEntry kMessageCatalogue[] = {
    {2001, "Paper out: load paper into the tray, then press Resume on the printer."},
    {2002, "Paper jam: open the front cover and remove the jammed paper."},
    {2003, "Cover open: close the printer cover to continue printing."},
    {2004, "Toner low: replace the toner cartridge soon."},
    {2005, "Toner empty: replace the toner cartridge to continue printing."},
    {2006, "Drum unit near end of life: have a new drum unit ready."},
    {2007, "Output tray full: remove the printed pages."},
    {2008, "The printer is offline or cannot be reached."},
    {2009, "Printer memory full: the page is too complex for the printer."},
    {2010, "Duplex unit error: check the duplex unit and its connection."},
    {2011, "Wrong paper size: load paper of the size the job asks for."},
};

// The string's whole text as UTF-8, U+0000 included (a C-string copy would stop there);
// false when it has none: not a string object, or half of a surrogate pair on its own.
bool CopyUTF8(CFStringRef string, std::string *utf8) {
  if (string == nullptr || CFGetTypeID(string) != CFStringGetTypeID()) {
    return false;
  }
  const CFIndex length = CFStringGetLength(string);
  std::vector<UniChar> units(static_cast<size_t>(length));
  CFStringGetCharacters(string, CFRangeMake(0, length), units.data());
  std::string text;
  text.reserve(units.size());
  for (size_t i = 0; i < units.size(); ++i) {
    char32_t c = units[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      return false;
    }
    if (c < 0x80) {
      text.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      text.push_back(static_cast<char>(0xC0 | (c >> 6)));
      text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      text.push_back(static_cast<char>(0xE0 | (c >> 12)));
      text.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      text.push_back(static_cast<char>(0xF0 | (c >> 18)));
      text.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      text.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  *utf8 = std::move(text);
  return true;
}

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

}  // namespace

void CommonLib_SetProductProfilePathForTesting(const char *path) {
  g_product_profile_path = path != nullptr ? path : kProductProfilePath;
}

OSStatus ZEL_INF_GetProductProfile(ZEL_PMTicketRef *outTicket) {
  if (outTicket == nullptr) {
    return paramErr;
  }
  *outTicket = nullptr;
  zelcups::ScopedFILE file(fopen(g_product_profile_path, "rb"));
  if (!file) {
    return errno == ENOENT ? kZELProfileMissingErr : kZELProfileUnreadableErr;
  }
  std::string bytes;
  char chunk[4096];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, file.get())) > 0) {
    bytes.append(chunk, got);
    if (bytes.size() > static_cast<size_t>(kMaxProfileBytes)) {
      return kZELProfileMalformedErr;
    }
  }
  if (ferror(file.get())) {
    return kZELProfileUnreadableErr;
  }
  if (bytes.empty()) {
    return kZELProfileMalformedErr;
  }
  auto ticket = std::make_unique<ZEL_OpaqueProfileTicket>();
  ticket->root =
      zelcups::PlistFromMemory(bytes.data(), static_cast<uint32_t>(bytes.size())).release();
  if (ticket->root == nullptr || plist_get_node_type(ticket->root) != PLIST_DICT) {
    return kZELProfileMalformedErr;
  }
  *outTicket = ticket.release();
  return noErr;
}

OSStatus ZEL_Utl_PMTicketGetCFString(ZEL_PMTicketRef inTicket, UInt32, UInt32, CFStringRef inKey,
                                     CFStringRef *outString) {
  std::string key;
  if (inTicket == nullptr || outString == nullptr || !CopyUTF8(inKey, &key)) {
    return paramErr;
  }
  // Dictionary keys are C strings: a key with U+0000 in it names no entry, and must not
  // be taken for the key it starts with.
  if (key.find('\0') != std::string::npos) {
    return kZELNoSuchEntryErr;
  }
  plist_t node = plist_dict_get_item(inTicket->root, key.c_str());
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) {
    return kZELNoSuchEntryErr;
  }
  char *value = nullptr;
  plist_get_string_val(node, &value);
  // The caller keeps the string for the life of the process without releasing it, so it
  // is handed out as an interned, immortal string.
  CFStringRef string = value != nullptr ? __CFStringMakeConstantString(value) : nullptr;
  free(value);
  if (string == nullptr) {
    return kZELNoSuchEntryErr;
  }
  *outString = string;
  return noErr;
}

void ZEL_Utl_PMTicketRelease(ZEL_PMTicketRef inTicket) {
  std::unique_ptr<ZEL_OpaqueProfileTicket> ticket(inTicket);
}

OSStatus ZEL_Msg_GetPStringErrMsg(SInt32 inCode, StringPtr outMessage, SInt32 inBufferSize, SInt32,
                                  SInt32) {
  if (outMessage == nullptr || inBufferSize < 1) {
    return paramErr;
  }
  for (const MessageEntry &entry : kMessageCatalogue) {
    if (entry.code != inCode) {
      continue;
    }
    zelcups::ScopedCFTypeRef<CFStringRef> text(
        CFStringCreateWithCString(nullptr, entry.text, kCFStringEncodingUTF8));
    if (!text || !CFStringGetPascalString(text.get(), outMessage, inBufferSize,
                                          CFStringGetSystemEncoding())) {
      return kZELNoMessageErr;
    }
    return noErr;
  }
  return kZELNoMessageErr;
}

StringPtr ZEL_Utl_PLstrcpy(StringPtr outDestination, ConstStr255Param inSource) {
  if (outDestination != nullptr && inSource != nullptr) {
    std::memmove(outDestination, inSource, static_cast<size_t>(inSource[0]) + 1);
  }
  return outDestination;
}

CFStringRef ZEL_Utl_CreateEncodedCFString(CFStringRef inPath) {
  std::string utf8;
  if (!CopyUTF8(inPath, &utf8)) {
    return nullptr;
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(utf8.size() * 3);
  for (unsigned char c : utf8) {
    if (IsUnreserved(c)) {
      encoded.push_back(static_cast<char>(c));
    } else {
      encoded.push_back('%');
      encoded.push_back(kHex[c >> 4]);
      encoded.push_back(kHex[c & 0x0F]);
    }
  }
  return CFStringCreateWithCString(nullptr, encoded.c_str(), kCFStringEncodingASCII);
}
