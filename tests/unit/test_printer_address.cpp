#include "backend_uri.h"
#include "cf_text.h"
#include "zelcups_common.h"
#include "zelcups/scoped.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

using Record = std::vector<std::pair<std::string, std::string>>;
using ScopedData = zelcups::ScopedCFTypeRef<CFDataRef>;
using ScopedString = zelcups::ScopedCFTypeRef<CFStringRef>;

// The record as libplist reads it back: its keys in document order with their string
// values; nothing when it is no XML dictionary of strings.
std::optional<Record> ParseRecord(CFDataRef data) {
  if (data == nullptr) {
    return std::nullopt;
  }
  const auto *bytes = reinterpret_cast<const char *>(CFDataGetBytePtr(data));
  const auto length = static_cast<uint32_t>(CFDataGetLength(data));
  if (length < 5 || strncmp(bytes, "<?xml", 5) != 0) {
    return std::nullopt;
  }
  plist_t root = nullptr;
  plist_from_xml(bytes, length, &root);
  if (root == nullptr || plist_get_node_type(root) != PLIST_DICT) {
    plist_free(root);
    return std::nullopt;
  }
  Record record;
  bool strings_only = true;
  plist_dict_iter iter = nullptr;
  plist_dict_new_iter(root, &iter);
  for (;;) {
    char *key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(root, iter, &key, &value);
    if (key == nullptr) {
      break;
    }
    char *text = nullptr;
    if (plist_get_node_type(value) == PLIST_STRING) {
      plist_get_string_val(value, &text);
    }
    strings_only = strings_only && text != nullptr;
    record.emplace_back(key, text != nullptr ? text : "");
    free(key);
    free(text);
  }
  free(iter);
  plist_free(root);
  return strings_only ? std::optional<Record>(record) : std::nullopt;
}

struct Outcome {
  int32_t status;
  std::string connection_type;
  std::optional<Record> record;
};

Outcome Read(const std::string &uri) {
  // Sentinels show whether anything was handed out on failure.
  auto connection_type = reinterpret_cast<CFStringRef>(0x1);
  auto data = reinterpret_cast<CFDataRef>(0x1);
  Outcome outcome{zelcups_common_create_printer_address(uri.c_str(), &connection_type, &data), "",
                  std::nullopt};
  if (outcome.status != 0) {
    EXPECT_EQ(connection_type, reinterpret_cast<CFStringRef>(0x1)) << uri;
    EXPECT_EQ(data, reinterpret_cast<CFDataRef>(0x1)) << uri;
    return outcome;
  }
  ScopedString type_holder(connection_type);
  ScopedData data_holder(data);
  outcome.connection_type = connection_type ? zelcups_test::TextOf(connection_type) : "<none>";
  outcome.record = ParseRecord(data);
  return outcome;
}

std::string Repeat(char c, size_t count) {
  return std::string(count, c);
}

TEST(PrinterAddressTest, ReadsBackendUris) {
  const Record kNone;
  struct Row {
    std::string uri;
    int32_t status;
    std::string connection_type;
    Record record;
  } rows[] = {
      // network printers: host and address as written
      {"xvtdbmu://ZEL_QRX5_LPR/Office/lpd://192.168.0.5/queue",
       0,
       "ZEL_QRX5_LPR",
       {{"Connection", "ZEL_QRX5_LPR"},
        {"MODEL:", "192.168.0.5"},
        {"Printer URI", "lpd://192.168.0.5/queue"}}},
      {"xvtdbmu://ZEL_QRX5_LPR/Office/lpd://printer.example/a%28b%29",
       0,
       "ZEL_QRX5_LPR",
       {{"Connection", "ZEL_QRX5_LPR"},
        {"MODEL:", "printer.example"},
        {"Printer URI", "lpd://printer.example/a%28b%29"}}},
      {"xvtdbmu://ZEL_QRX5_LPR/Office/",
       0,
       "ZEL_QRX5_LPR",
       {{"Connection", "ZEL_QRX5_LPR"}, {"MODEL:", ""}, {"Printer URI", ""}}},
      // a host with a port is no IPv6 address, whatever its name
      {"xvtdbmu://ZEL_QRX5_LPR/Office/lpd://192.168.0.5:631/ipp",
       0,
       "ZEL_QRX5_LPR",
       {{"Connection", "ZEL_QRX5_LPR"},
        {"MODEL:", "192.168.0.5:631"},
        {"Printer URI", "lpd://192.168.0.5:631/ipp"}}},
      {"xvtdbmu://ZEL_QRX5_LPR/Office/lpd://fe80:9100",
       0,
       "ZEL_QRX5_LPR",
       {{"Connection", "ZEL_QRX5_LPR"},
        {"MODEL:", "fe80:9100"},
        {"Printer URI", "lpd://fe80:9100"}}},
      // IPv6: the bare address, and the address with its "%" zone escaped
      {"xvtdbmu://zel_qrx5_lprv6/Office/lpd://[v1.fe80::1+en0]/queue",
       0,
       "zel_qrx5_lprv6",
       {{"Connection", "zel_qrx5_lprv6"},
        {"MODEL:", "fe80::1"},
        {"Printer URI", "fe80%3A%3A1%25en0"}}},
      {"xvtdbmu://ZEL_QRX5_LPRv6/Office/lpd://[v1.fe80::1]",
       0,
       "ZEL_QRX5_LPRv6",
       {{"Connection", "ZEL_QRX5_LPRv6"},
        {"MODEL:", "fe80::1"},
        {"Printer URI", "fe80%3A%3A1%25en0"}}},
      {"xvtdbmu://ZEL_QRX5_LPRv6/Office/lpd://[v1.2001:db8::1]/q",
       0,
       "ZEL_QRX5_LPRv6",
       {{"Connection", "ZEL_QRX5_LPRv6"},
        {"MODEL:", "2001:db8::1"},
        {"Printer URI", "2001%3Adb8%3A%3A1"}}},
      // Bonjour: the decoded service name
      {"xvtdbmu://DNSSD/Office/mdns://Office%20Printer._printer._tcp.local./",
       0,
       "DNSSD",
       {{"Address", "Office Printer"},
        {"Location", "local."},
        {"MANUFACTURER:", "Arvex"},
        {"Printer URI", "mdns://Office%20Printer._printer._tcp.local./"}}},
      {"xvtdbmu://dnssd/Q/mdns://Caf%C3%A9%2E2._ipp._tcp.local.",
       0,
       "dnssd",
       {{"Address", "Caf\xC3\xA9.2"},
        {"Location", "local."},
        {"MANUFACTURER:", "Arvex"},
        {"Printer URI", "mdns://Caf%C3%A9%2E2._ipp._tcp.local."}}},
      {"xvtdbmu://DNSSD/Office/mdns://no-dot", -108, "", kNone},
      {"xvtdbmu://DNSSD/Office/mdns://%FF._ipp._tcp.local.", -108, "", kNone},
      // USB: decoded model and serial number; a missing part reads as empty
      {"xvtdbmu://USB/Office/usb://Vendor/Model%20X?serial=ABC123",
       0,
       "USB",
       {{"MANUFACTURER:", "Arvex"},
        {"MODEL:", "Model X"},
        {"Printer URI", "usb://Vendor/Model%20X?serial=ABC123"},
        {"SERN:", "ABC123"}}},
      {"xvtdbmu://USB/Office/usb://Vendor/Model",
       0,
       "USB",
       {{"MANUFACTURER:", "Arvex"},
        {"MODEL:", "Model"},
        {"Printer URI", "usb://Vendor/Model"},
        {"SERN:", ""}}},
      {"xvtdbmu://USB/Office/usb://Vendor/Mserial=1",
       0,
       "USB",
       {{"MANUFACTURER:", "Arvex"},
        {"MODEL:", "Mserial=1"},
        {"Printer URI", "usb://Vendor/Mserial=1"},
        {"SERN:", ""}}},
      {"xvtdbmu://USB/Office/usb://Vendor/Model?interface=1",
       0,
       "USB",
       {{"MANUFACTURER:", "Arvex"},
        {"MODEL:", "Model"},
        {"Printer URI", "usb://Vendor/Model?interface=1"},
        {"SERN:", ""}}},
      {"xvtdbmu://USB/Office/usb://Vendor?serial=S1",
       0,
       "USB",
       {{"MANUFACTURER:", "Arvex"},
        {"MODEL:", ""},
        {"Printer URI", "usb://Vendor?serial=S1"},
        {"SERN:", "S1"}}},
      {"xvtdbmu://usb/Office/usb://Vendor",
       0,
       "usb",
       {{"MANUFACTURER:", "Arvex"},
        {"MODEL:", ""},
        {"Printer URI", "usb://Vendor"},
        {"SERN:", ""}}},
      // tab, newline and carriage return are XML; other control characters are not
      {"xvtdbmu://USB/q/usb://V/M?serial=A%09B%0A%0D",
       0,
       "USB",
       {{"MANUFACTURER:", "Arvex"},
        {"MODEL:", "M"},
        {"Printer URI", "usb://V/M?serial=A%09B%0A%0D"},
        {"SERN:", "A\tB\n\r"}}},
      {"xvtdbmu://DNSSD/q/mdns://a%0eb.local.", -50, "", kNone},
      // URIs that are refused
      {"xvtdbmu://USB", -50, "", kNone},
      {"xvtdbmu://USB/Office", -50, "", kNone},
      {"xvtdbmu:/USB/Office/usb://V/M", -50, "", kNone},
      {"xvtdbmu://SOCKET/q/a", -9786, "", kNone},
      {"xvtdbmu://ZEL_QRX5_LPRv7/q/a", -9786, "", kNone},
      {"xvtdbmu:///q/a", -9786, "", kNone},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    const Row &row = rows[i];
    const Outcome outcome = Read(row.uri);
    EXPECT_EQ(outcome.status, row.status) << "row " << i << ": " << row.uri;
    if (row.status != 0 || outcome.status != 0) {
      continue;
    }
    EXPECT_EQ(outcome.connection_type, row.connection_type) << "row " << i << ": " << row.uri;
    ASSERT_TRUE(outcome.record.has_value()) << "row " << i << ": " << row.uri;
    EXPECT_EQ(*outcome.record, row.record) << "row " << i << ": " << row.uri;
  }
}

TEST(PrinterAddressTest, RefusesTextsOf1024BytesOrMore) {
  for (size_t length : {size_t{1023}, size_t{1024}}) {
    const int32_t expected = length < 1024 ? 0 : -50;
    const std::string queue = Repeat('q', length);
    const std::string usb = "usb://V/" + Repeat('m', length - 8);
    const std::string lpd = "lpd://" + Repeat('h', length - 6);
    const std::string mdns = "mdns://" + Repeat('s', length - 8) + ".";
    EXPECT_EQ(Read("xvtdbmu://USB/" + queue + "/usb://V/M").status, expected) << length;
    EXPECT_EQ(Read("xvtdbmu://USB/Q/" + usb).status, expected) << length;
    EXPECT_EQ(Read("xvtdbmu://ZEL_QRX5_LPR/Q/" + lpd).status, expected) << length;
    EXPECT_EQ(Read("xvtdbmu://DNSSD/Q/" + mdns).status, expected) << length;
    EXPECT_EQ(Read(Repeat('x', length) + "://USB/Q/usb://V/M").status, expected) << length;
    // a connection type that fits is merely unknown
    EXPECT_EQ(Read("xvtdbmu://" + Repeat('T', length) + "/Q/a").status,
              length < 1024 ? -9786 : -50);
    // the escaped IPv6 address is a derived text: 341 colons and `extra` letters become
    // 3 * 341 + extra bytes, from an address far shorter than that
    const std::string ipv6 = "lpd://[v1." + Repeat(':', 341) + Repeat('a', length - 1023) + "]";
    const Outcome outcome = Read("xvtdbmu://ZEL_QRX5_LPRv6/Q/" + ipv6);
    EXPECT_EQ(outcome.status, expected) << length;
    if (outcome.status == 0 && outcome.record.has_value()) {
      EXPECT_EQ(outcome.record->back().second.size(), length);
    }

    ScopedString service_name(zelcups_common_get_mdns_cfstring_service_name_from_uri(
        ("mdns://" + Repeat('s', length - 8) + ".").c_str()));
    EXPECT_EQ(service_name.get() != nullptr, length < 1024) << length;
  }
}

TEST(PrinterAddressTest, SeparatesDriverUri) {
  char scheme[1024] = "s";
  char type[1024] = "t";
  char queue[1024] = "q";
  char address[1024] = "a";
  EXPECT_EQ(
      zelcups_common_separate_driver_uri("xvtdbmu://A/B/lpd://h/p/q", scheme, type, queue, address),
      0);
  EXPECT_STREQ(scheme, "xvtdbmu");
  EXPECT_STREQ(type, "A");
  EXPECT_STREQ(queue, "B");
  EXPECT_STREQ(address, "lpd://h/p/q");
  // parts may be skipped; a refused URI writes nothing
  EXPECT_EQ(zelcups_common_separate_driver_uri("x://T//", nullptr, type, queue, nullptr), 0);
  EXPECT_STREQ(type, "T");
  EXPECT_STREQ(queue, "");
  EXPECT_EQ(zelcups_common_separate_driver_uri("x://T/Q", scheme, type, queue, address), -50);
  EXPECT_EQ(zelcups_common_separate_driver_uri(("x://T/Q/" + Repeat('a', 1024)).c_str(), scheme,
                                               type, queue, address),
            -50);
  EXPECT_STREQ(scheme, "xvtdbmu");
  EXPECT_STREQ(type, "T");
  EXPECT_EQ(zelcups_common_separate_driver_uri(nullptr, scheme, type, queue, address), -50);
}

TEST(PrinterAddressTest, BuildersCheckTheirArguments) {
  CFDataRef data = nullptr;
  CFStringRef type = CFSTR("ZEL_QRX5_LPR");
  EXPECT_EQ(zelcups_common_create_printer_address(nullptr, &type, &data), -50);
  EXPECT_EQ(zelcups_common_create_printer_address("x://USB/q/usb://", nullptr, &data), -50);
  EXPECT_EQ(zelcups_common_create_printer_address("x://USB/q/usb://", &type, nullptr), -50);
  EXPECT_EQ(zelcups_common_create_printer_address_for_lpr(nullptr, "lpd://h", &data), -50);
  EXPECT_EQ(zelcups_common_create_printer_address_for_lpr(type, "lpd://h", nullptr), -50);
  EXPECT_EQ(zelcups_common_create_printer_address_for_mdns(type, nullptr, &data), -50);
  EXPECT_EQ(zelcups_common_create_printer_address_for_usb(type, nullptr, &data), -50);
  EXPECT_EQ(zelcups_common_get_mdns_cfstring_service_name_from_uri(nullptr), nullptr);

  // without an address the network builder still makes its record
  ASSERT_EQ(zelcups_common_create_printer_address_for_lpr(type, nullptr, &data), 0);
  ScopedData holder(data);
  const Record expected = {{"Connection", "ZEL_QRX5_LPR"}, {"MODEL:", ""}, {"Printer URI", ""}};
  EXPECT_EQ(ParseRecord(data), expected);

  // a failing builder hands out nothing, whatever the caller's variable held
  data = reinterpret_cast<CFDataRef>(0x1);
  EXPECT_EQ(zelcups_common_create_printer_address_for_mdns(nullptr, "mdns://x", &data), -108);
  EXPECT_EQ(data, nullptr);
}

// The watcher's own address forming: what the record reads back is what it wrote.
std::string FormBackendUri(const std::string &device_uri, const std::string &queue) {
  QueueBackend backend;
  EXPECT_TRUE(BackendURI_Create(queue.c_str(), device_uri.c_str(), &backend)) << device_uri;
  return backend.backend_uri;
}

class Generator {
 public:
  explicit Generator(uint32_t seed) : engine_(seed) {}
  size_t Below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(engine_); }
  bool Chance() { return Below(2) == 0; }
  std::string From(const std::string &alphabet, size_t min, size_t max) {
    std::string text;
    for (size_t n = min + Below(max - min + 1); n > 0; --n) {
      text += alphabet[Below(alphabet.size())];
    }
    return text;
  }
  // Percent escapes as device URIs carry them, in either case of digits; the command-line
  // characters are sometimes left bare, as the watcher escapes them itself.
  std::string Escape(const std::string &text) {
    static const std::string kBare =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_~";
    std::string escaped;
    for (unsigned char c : text) {
      if (kBare.find(static_cast<char>(c)) != std::string::npos ||
          (std::string("()!&|<>").find(static_cast<char>(c)) != std::string::npos && Chance())) {
        escaped += static_cast<char>(c);
      } else {
        char hex[4];
        snprintf(hex, sizeof(hex), Chance() ? "%%%02X" : "%%%02x", c);
        escaped += hex;
      }
    }
    return escaped;
  }

 private:
  std::mt19937 engine_;
};

const std::string kAscii = [] {
  std::string printable;
  for (char c = ' '; c <= '~'; ++c) {
    printable += c;
  }
  return printable;
}();
const std::string kHex = "0123456789abcdefABCDEF";
const std::string kHostCharacters = "abcdefghijklmnopqrstuvwxyz0123456789-";
const std::string kQueueCharacters = "ABCabcxyz0189_-.;$`|&()!+@";
// No colon: the watcher and the IPv6 routine take a colon anywhere for IPv6.
const std::string kPathCharacters = "abcXYZ019/_-.()&|%+";

TEST(PrinterAddressTest, RoundTripsRandomAddresses) {
  constexpr uint32_t kSeed = 20240612;
  Generator gen(kSeed);
  for (int i = 0; i < 3000; ++i) {
    const std::string queue = gen.From(kQueueCharacters, 1, 20);
    const std::string path = gen.Chance() ? "" : "/" + gen.From(kPathCharacters, 0, 20);
    std::string device_uri;
    Record expected;
    std::string expected_type;
    std::string expected_serial;
    switch (gen.Below(5)) {
      case 0: {  // IPv4 address or name, with or without a port
        std::string host = gen.Chance() ? std::to_string(gen.Below(256)) + ".168.0." +
                                              std::to_string(gen.Below(256))
                                        : gen.From(kHostCharacters, 1, 12) + ".example";
        if (gen.Chance()) {
          host += ":" + std::to_string(1 + gen.Below(65535));
        }
        const char *schemes[] = {"lpd://", "socket://", "ipp://"};
        device_uri = schemes[gen.Below(3)] + host + path;
        expected_type = "ZEL_QRX5_LPR";
        expected = {{"Connection", expected_type}, {"MODEL:", host}};
        break;
      }
      case 1: {  // IPv6, link-local with or without a zone, or global
        const bool link_local = gen.Chance();
        const std::string address = (link_local ? (gen.Chance() ? "fe80::" : "FE80::")
                                                : "2001:db8:" + gen.From(kHex, 1, 4) + "::") +
                                    gen.From(kHex, 1, 4);
        const std::string zone = gen.From("abcen0123", 1, 6);
        const size_t zone_form = link_local ? gen.Below(3) : 0;
        const std::string written_zone = zone_form == 0 ? "" : (zone_form == 1 ? "+" : "%") + zone;
        device_uri = "ipp://[v1." + address + written_zone + "]" + path;
        const std::string full =
            link_local ? address + "%" + (zone_form == 0 ? "en0" : zone) : address;
        char *escaped = nullptr;
        ASSERT_EQ(zelcups_common_convert_charactor_for_ipv6_address(
                      full.c_str(), static_cast<uint32_t>(full.size()), &escaped),
                  0);
        expected_type = "ZEL_QRX5_LPRv6";
        expected = {{"Connection", expected_type}, {"MODEL:", address}, {"Printer URI", escaped}};
        free(escaped);
        break;
      }
      case 2: {  // Bonjour: any service name, UTF-8 included, dots escaped
        std::string name;
        for (size_t n = 1 + gen.Below(24); n > 0; --n) {
          name += gen.Below(8) == 0 ? std::string("\xC3\xA9") : gen.From(kAscii, 1, 1);
        }
        device_uri =
            (gen.Chance() ? "dnssd://" : "mdns://") + gen.Escape(name) + "._ipp._tcp.local./";
        expected_type = "DNSSD";
        expected = {{"Address", name}, {"Location", "local."}, {"MANUFACTURER:", "Arvex"}};
        break;
      }
      default: {  // USB: a model without "?", any serial number, or none
        const std::string vendor = gen.From(kQueueCharacters + " ", 1, 10);
        std::string model = gen.From(kAscii, 1, 20);
        std::erase(model, '?');
        const bool has_serial = gen.Chance();
        expected_serial = has_serial ? gen.From(kAscii, 0, 16) : "";
        device_uri = "usb://" + gen.Escape(vendor) + "/" + gen.Escape(model) +
                     (has_serial ? "?serial=" + gen.Escape(expected_serial) : "");
        expected_type = "USB";
        expected = {{"MANUFACTURER:", "Arvex"}, {"MODEL:", model}};
        break;
      }
    }
    const std::string backend_uri = FormBackendUri(device_uri, queue);
    const std::string context = "case " + std::to_string(i) + " (seed " + std::to_string(kSeed) +
                                "): " + device_uri + " -> " + backend_uri;
    char read_queue[1024] = {};
    char address[1024] = {};
    ASSERT_EQ(zelcups_common_separate_driver_uri(backend_uri.c_str(), nullptr, nullptr, read_queue,
                                                 address),
              0)
        << context;
    EXPECT_EQ(read_queue, queue) << context;

    const Outcome outcome = Read(backend_uri);
    ASSERT_EQ(outcome.status, 0) << context;
    EXPECT_EQ(outcome.connection_type, expected_type) << context;
    ASSERT_TRUE(outcome.record.has_value()) << context;
    // The address as the backend URI holds it, where the record keeps it unchanged.
    if (expected_type == "ZEL_QRX5_LPR" || expected_type == "DNSSD") {
      expected.emplace_back("Printer URI", address);
    } else if (expected_type == "USB") {
      expected.emplace_back("Printer URI", address);
      expected.emplace_back("SERN:", expected_serial);
    }
    EXPECT_EQ(*outcome.record, expected) << context;
  }
}

}  // namespace
