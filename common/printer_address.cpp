/*
 * Printer-address records: the reading side of the backend URI that the queue watcher
 * writes, xvtdbmu://TYPE/QUEUE/ADDRESS. The address becomes a small dictionary of how the
 * printer is reached, handed out as XML property-list data.
 *
 * Every part of a URI and every text made from it must be shorter than 1024 bytes; a
 * longer one is refused with -50, never cut, so that a record cannot name another printer
 * than the URI did.
 */
#include "char_escape_internal.h"
#include "zelcups_common.h"
#include "zelcups/holders.h"
#include "zelcups/scoped.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int32_t kParamErr = -50;
constexpr int32_t kMemFullErr = -108;
constexpr int32_t kUnknownConnectionTypeErr = -9786;

constexpr size_t kTextLimit = 1024;
// The IPv6 routine may complete a link-local zone in place: a separator and "en0".
constexpr size_t kZoneRoom = 4;

constexpr std::string_view kLprScheme = "lpd://";
constexpr std::string_view kMdnsScheme = "mdns://";
constexpr std::string_view kUsbScheme = "usb://";
constexpr std::string_view kSerialKey = "serial=";

using ScopedString = zelcups::ScopedCFTypeRef<CFStringRef>;
using ScopedDictionary = zelcups::ScopedCFTypeRef<CFMutableDictionaryRef>;

using PrinterAddressBuilder = int32_t (*)(CFStringRef, const char *, CFDataRef *);

struct PrinterAddressBuilderRow {
  const char *connection_type;
  PrinterAddressBuilder builder;
};

constexpr std::array<PrinterAddressBuilderRow, 4> kPrinterAddressBuilders = {{
    {"ZEL_QRX5_LPR", zelcups_common_create_printer_address_for_lpr},
    {"ZEL_QRX5_LPRv6", zelcups_common_create_printer_address_for_lpr},
    {"DNSSD", zelcups_common_create_printer_address_for_mdns},
    {"USB", zelcups_common_create_printer_address_for_usb},
}};

// Whether text is shorter than the limit, without measuring further than the limit.
bool FitsLimit(const char *text) {
  return strnlen(text, kTextLimit) < kTextLimit;
}

// A string object of a text that goes into a record: -50 when the text is too long for
// one, -108 when it is no text in the encoding.
int32_t CreateRecordString(std::string_view text, CFStringEncoding encoding, ScopedString *out) {
  if (text.size() >= kTextLimit) {
    return kParamErr;
  }
  out->reset(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8 *>(text.data()),
                                     static_cast<CFIndex>(text.size()), encoding, false));
  return *out ? 0 : kMemFullErr;
}

struct RecordEntry {
  CFStringRef key;
  CFStringRef value;
};

// XML 1.0 carries tab, newline, carriage return and the characters from U+0020 on, save
// U+FFFE and U+FFFF. Any other control character (a decoded "%0E", U+0000) would make a
// record that no XML reader can read.
bool XmlCanCarry(CFStringRef text) {
  const CFIndex length = CFStringGetLength(text);
  std::vector<UniChar> units(static_cast<size_t>(length));
  CFStringGetCharacters(text, CFRangeMake(0, length), units.data());
  for (const UniChar c : units) {
    if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0xFFFE || c == 0xFFFF) {
      return false;
    }
  }
  return true;
}

// The record's XML data with its keys in the given order: -50 when a value cannot be
// written in XML, -108 when the data is not made.
int32_t CreateRecordData(std::initializer_list<RecordEntry> entries, CFDataRef *data) {
  for (const RecordEntry &entry : entries) {
    if (!XmlCanCarry(entry.value)) {
      return kParamErr;
    }
  }
  ScopedDictionary record(CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                    &kCFTypeDictionaryValueCallBacks));
  if (!record) {
    return kMemFullErr;
  }
  for (const RecordEntry &entry : entries) {
    CFDictionarySetValue(record.get(), entry.key, entry.value);
  }
  *data =
      CFPropertyListCreateData(nullptr, record.get(), kCFPropertyListXMLFormat_v1_0, 0, nullptr);
  return *data != nullptr ? 0 : kMemFullErr;
}

struct UsbParts {
  std::string_view model;
  std::string_view serial;
};

// Model and serial number of a decoded USB address, usb://VENDOR/MODEL?serial=SERIAL.
// A part that is missing is empty, so every USB record has the same four keys: without a
// "/" after the vendor there is no model, and the serial number is still read from a
// query; without a "?" there is no query and so no serial number, even when the model
// happens to hold "serial=".
UsbParts SplitUsbAddress(std::string_view decoded) {
  UsbParts parts;
  if (decoded.size() <= kUsbScheme.size()) {
    return parts;
  }
  const size_t slash = decoded.find('/', kUsbScheme.size());
  size_t serial_search = 0;
  size_t query = std::string_view::npos;
  if (slash == std::string_view::npos) {
    query = decoded.find('?', kUsbScheme.size());
    serial_search = query;
  } else {
    const size_t model_start = slash + 1;
    query = decoded.find('?', model_start);
    parts.model =
        decoded.substr(model_start, query == std::string_view::npos ? std::string_view::npos
                                                                    : query - model_start);
    serial_search = model_start;
  }
  if (query == std::string_view::npos) {
    return parts;
  }
  const size_t key = decoded.find(kSerialKey, serial_search);
  if (key != std::string_view::npos) {
    parts.serial = decoded.substr(key + kSerialKey.size());
  }
  return parts;
}

}  // namespace

int32_t zelcups_common_separate_driver_uri(const char *uri, char *scheme, char *connection_type,
                                           char *queue, char *address) {
  if (uri == nullptr) {
    return kParamErr;
  }
  constexpr std::array<std::string_view, 3> kSeparators = {"://", "/", "/"};
  std::array<std::string_view, 4> parts;
  std::string_view rest(uri);
  for (size_t i = 0; i < kSeparators.size(); ++i) {
    const size_t at = rest.find(kSeparators[i]);
    if (at == std::string_view::npos) {
      return kParamErr;
    }
    parts[i] = rest.substr(0, at);
    rest.remove_prefix(at + kSeparators[i].size());
  }
  parts[3] = rest;
  // All or nothing: no buffer is written when one part does not fit.
  for (std::string_view part : parts) {
    if (part.size() >= kTextLimit) {
      return kParamErr;
    }
  }
  const std::array<char *, 4> buffers = {scheme, connection_type, queue, address};
  for (size_t i = 0; i < buffers.size(); ++i) {
    if (buffers[i] != nullptr) {
      memcpy(buffers[i], parts[i].data(), parts[i].size());
      buffers[i][parts[i].size()] = '\0';
    }
  }
  return 0;
}

int32_t zelcups_common_create_printer_address(const char *uri, CFStringRef *connection_type,
                                              CFDataRef *address_data) {
  if (uri == nullptr || connection_type == nullptr || address_data == nullptr) {
    return kParamErr;
  }
  std::array<char, kTextLimit> scheme{};
  std::array<char, kTextLimit> type{};
  std::array<char, kTextLimit> queue{};
  std::array<char, kTextLimit> address{};
  const int32_t split = zelcups_common_separate_driver_uri(uri, scheme.data(), type.data(),
                                                           queue.data(), address.data());
  if (split != 0) {
    return split;
  }
  ScopedString type_object(
      CFStringCreateWithCString(nullptr, type.data(), CFStringGetSystemEncoding()));
  if (!type_object) {
    return kMemFullErr;
  }
  for (const PrinterAddressBuilderRow &row : kPrinterAddressBuilders) {
    ScopedString row_type(
        CFStringCreateWithCString(nullptr, row.connection_type, kCFStringEncodingUTF8));
    if (!row_type) {
      return kMemFullErr;
    }
    if (CFStringCompare(type_object.get(), row_type.get(), kCFCompareCaseInsensitive) !=
        kCFCompareEqualTo) {
      continue;
    }
    zelcups::ScopedCFTypeRef<CFDataRef> data;
    const int32_t status = row.builder(type_object.get(), address.data(), data.InitializeInto());
    if (status != 0) {
      return status;
    }
    *connection_type = type_object.release();
    *address_data = data.release();
    return 0;
  }
  return kUnknownConnectionTypeErr;
}

int32_t zelcups_common_create_printer_address_for_lpr(CFStringRef connection_type,
                                                      const char *address,
                                                      CFDataRef *address_data) {
  if (connection_type == nullptr || address_data == nullptr) {
    return kParamErr;
  }
  *address_data = nullptr;
  std::array<char, kTextLimit + kZoneRoom> working{};
  if (address != nullptr) {
    if (!FitsLimit(address)) {
      return kParamErr;
    }
    memcpy(working.data(), address, strlen(address));
  }
  // Past "lpd://"; the working copy is zero-filled, so a shorter address reads as empty.
  char *text = working.data() + kLprScheme.size();

  char *start = nullptr;
  char *end = nullptr;
  char *zone = nullptr;
  // A host with a port must not reach the IPv6 routine at all: a name such as "fe80" would
  // be taken for a link-local address and given a zone.
  const bool ipv6 = !zelcups::IsHostWithPort(text) &&
                    zelcups_common_check_ipv6_address(text, '+', '%', &start, &end, &zone) &&
                    start != nullptr;

  std::string_view host;
  if (ipv6) {
    host = std::string_view(start, static_cast<size_t>(zone - start));
  } else {
    const std::string_view rest(text);
    host = rest.substr(0, rest.find('/'));
  }
  ScopedString host_object;
  int32_t status = CreateRecordString(host, CFStringGetSystemEncoding(), &host_object);
  if (status != 0) {
    return status;
  }

  ScopedString uri_object;
  if (ipv6) {
    // The record writes the address with its zone as one escaped text: "fe80%3A%3A1%25en0".
    char *escaped = nullptr;
    status = zelcups_common_convert_charactor_to_fall_under_into_hex_string(
        start, static_cast<uint32_t>(end - start), z_check_convert_charactor_for_ipv6_address,
        &escaped);
    if (status != 0) {
      return status;
    }
    const zelcups::ScopedMalloc<char> holder(escaped);
    status = CreateRecordString(escaped, kCFStringEncodingUTF8, &uri_object);
  } else {
    status = CreateRecordString(working.data(), kCFStringEncodingUTF8, &uri_object);
  }
  if (status != 0) {
    return status;
  }

  return CreateRecordData({{CFSTR("Connection"), connection_type},
                           {CFSTR("MODEL:"), host_object.get()},
                           {CFSTR("Printer URI"), uri_object.get()}},
                          address_data);
}

CFStringRef zelcups_common_get_mdns_cfstring_service_name_from_uri(const char *address) {
  if (address == nullptr || !FitsLimit(address)) {
    return nullptr;
  }
  const char *dot = strchr(address, '.');
  if (dot == nullptr) {
    return nullptr;
  }
  // The service name runs from behind "mdns://" to the first dot; the decoder may read
  // the digits of an escape cut by the dot, which stay within the address.
  std::array<char, kTextLimit> name{};
  const auto dot_index = static_cast<size_t>(dot - address);
  if (dot_index > kMdnsScheme.size()) {
    zelcups_common_convert_hexcode_string_in_uri(
        name.data(), address + kMdnsScheme.size(),
        static_cast<int32_t>(dot_index - kMdnsScheme.size()), '%', 2);
  }
  return CFStringCreateWithCString(nullptr, name.data(), kCFStringEncodingUTF8);
}

int32_t zelcups_common_create_printer_address_for_mdns(CFStringRef, const char *address,
                                                       CFDataRef *address_data) {
  if (address == nullptr || address_data == nullptr) {
    return kParamErr;
  }
  *address_data = nullptr;
  if (!FitsLimit(address)) {
    return kParamErr;
  }
  ScopedString address_object(
      CFStringCreateWithCString(nullptr, address, CFStringGetSystemEncoding()));
  ScopedString service_name(zelcups_common_get_mdns_cfstring_service_name_from_uri(address));
  ScopedString location(CFStringCreateWithCString(nullptr, "local.", CFStringGetSystemEncoding()));
  if (!address_object || !service_name || !location) {
    return kMemFullErr;
  }
  return CreateRecordData({{CFSTR("Address"), service_name.get()},
                           {CFSTR("Location"), location.get()},
                           {CFSTR("MANUFACTURER:"), CFSTR("Arvex")},
                           {CFSTR("Printer URI"), address_object.get()}},
                          address_data);
}

int32_t zelcups_common_create_printer_address_for_usb(CFStringRef, const char *address,
                                                      CFDataRef *address_data) {
  if (address == nullptr || address_data == nullptr) {
    return kParamErr;
  }
  *address_data = nullptr;
  if (!FitsLimit(address)) {
    return kParamErr;
  }
  ScopedString address_object(
      CFStringCreateWithCString(nullptr, address, CFStringGetSystemEncoding()));
  if (!address_object) {
    return kMemFullErr;
  }
  std::array<char, kTextLimit> decoded{};
  zelcups_common_convert_hexcode_string_in_uri(decoded.data(), address,
                                               static_cast<int32_t>(strlen(address)), '%', 2);
  const UsbParts parts = SplitUsbAddress(decoded.data());
  ScopedString model;
  ScopedString serial;
  int32_t status = CreateRecordString(parts.model, CFStringGetSystemEncoding(), &model);
  if (status == 0) {
    status = CreateRecordString(parts.serial, CFStringGetSystemEncoding(), &serial);
  }
  if (status != 0) {
    return status;
  }
  return CreateRecordData({{CFSTR("MANUFACTURER:"), CFSTR("Arvex")},
                           {CFSTR("MODEL:"), model.get()},
                           {CFSTR("Printer URI"), address_object.get()},
                           {CFSTR("SERN:"), serial.get()}},
                          address_data);
}
