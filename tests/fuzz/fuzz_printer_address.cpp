// The printer-address reader on any text, and its builders on any address: either a
// non-zero result and nothing handed out, or 0 and a record that libplist reads back as a
// dictionary of strings with the keys of its connection type.
#include "fuzz_support.h"
#include "zelcups_common.h"

#include <plist/plist.h>
#include <strings.h>

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace {

const auto kUntouchedString = reinterpret_cast<CFStringRef>(0x1);
const auto kUntouchedData = reinterpret_cast<CFDataRef>(0x1);

// The record's keys in document order, or an empty list when it is no dictionary of
// strings.
std::vector<std::string> RecordKeys(CFDataRef data) {
  std::vector<std::string> keys;
  plist_t root = nullptr;
  plist_from_xml(reinterpret_cast<const char *>(CFDataGetBytePtr(data)),
                 static_cast<uint32_t>(CFDataGetLength(data)), &root);
  if (root == nullptr || plist_get_node_type(root) != PLIST_DICT) {
    plist_free(root);
    return keys;
  }
  plist_dict_iter iter = nullptr;
  plist_dict_new_iter(root, &iter);
  for (;;) {
    char *key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(root, iter, &key, &value);
    if (key == nullptr) {
      break;
    }
    FUZZ_CHECK(plist_get_node_type(value) == PLIST_STRING);
    keys.emplace_back(key);
    free(key);
  }
  free(iter);
  plist_free(root);
  return keys;
}

const std::vector<std::string> kNetworkKeys = {"Connection", "MODEL:", "Printer URI"};
const std::vector<std::string> kBonjourKeys = {"Address", "Location",
                                               "MANUFACTURER:", "Printer URI"};
const std::vector<std::string> kUsbKeys = {"MANUFACTURER:", "MODEL:", "Printer URI", "SERN:"};

void CheckBuilder(int32_t (*builder)(CFStringRef, const char *, CFDataRef *), const char *address,
                  const std::vector<std::string> &keys) {
  CFDataRef data = kUntouchedData;
  const int32_t status = builder(CFSTR("ZEL_QRX5_LPR"), address, &data);
  if (status != 0) {
    FUZZ_CHECK(data == nullptr);
    return;
  }
  FUZZ_CHECK(data != nullptr && data != kUntouchedData);
  FUZZ_CHECK(RecordKeys(data) == keys);
  CFRelease(data);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 1 << 16) {
    return 0;
  }
  // A C string: the bytes up to the first NUL, and exactly one terminator behind them.
  const auto text = fuzz_copy(data, size, 1);
  const char *uri = text.get();

  CFStringRef connection_type = kUntouchedString;
  CFDataRef record = kUntouchedData;
  const int32_t status = zelcups_common_create_printer_address(uri, &connection_type, &record);
  if (status != 0) {
    FUZZ_CHECK(status == -50 || status == -108 || status == -9786 || status == -1);
    FUZZ_CHECK(connection_type == kUntouchedString && record == kUntouchedData);
  } else {
    FUZZ_CHECK(connection_type != nullptr && connection_type != kUntouchedString);
    FUZZ_CHECK(record != nullptr && record != kUntouchedData);
    char *type = nullptr;
    FUZZ_CHECK(zelcups_common_cfstring_to_cstring(connection_type, &type) == 0);
    const std::vector<std::string> keys = RecordKeys(record);
    if (strcasecmp(type, "ZEL_QRX5_LPR") == 0 || strcasecmp(type, "ZEL_QRX5_LPRv6") == 0) {
      FUZZ_CHECK(keys == kNetworkKeys);
    } else if (strcasecmp(type, "DNSSD") == 0) {
      FUZZ_CHECK(keys == kBonjourKeys);
    } else {
      FUZZ_CHECK(strcasecmp(type, "USB") == 0 && keys == kUsbKeys);
    }
    free(type);
    CFRelease(connection_type);
    CFRelease(record);
  }

  // The builders and the service-name reader on the whole text as an address.
  CheckBuilder(zelcups_common_create_printer_address_for_lpr, uri, kNetworkKeys);
  CheckBuilder(zelcups_common_create_printer_address_for_mdns, uri, kBonjourKeys);
  CheckBuilder(zelcups_common_create_printer_address_for_usb, uri, kUsbKeys);
  CFStringRef service_name = zelcups_common_get_mdns_cfstring_service_name_from_uri(uri);
  if (service_name != nullptr) {
    CFRelease(service_name);
  }
  return 0;
}
