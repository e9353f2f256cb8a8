// The backend URI a queue is re-pointed at, for every kind of device URI the scheduler may
// report, and the limits beyond which a queue is left alone.
#include <gtest/gtest.h>

#include <string>

#include "backend_uri.h"

namespace {

struct Row {
  const char *device_uri;
  const char *connection_type;  // nullptr: the queue is left alone
  const char *backend_uri;
};

constexpr Row kRows[] = {
    // fixed connection types; escapes already in the URI stay as they are
    {"mdns://Office._ipp._tcp.local./", "DNSSD",
     "xvtdbmu://DNSSD/Office/mdns://Office._ipp._tcp.local./"},
    {"dnssd://Office%20Printer._printer._tcp.local./", "DNSSD",
     "xvtdbmu://DNSSD/Office/mdns://Office%20Printer._printer._tcp.local./"},
    {"usb://Arvex/QRX5?serial=1", "USB", "xvtdbmu://USB/Office/usb://Arvex/QRX5?serial=1"},
    {"usb://Arvex/QRX5%20Pro(2)", "USB", "xvtdbmu://USB/Office/usb://Arvex/QRX5%20Pro%282%29"},
    // a colon makes no IPv6 address outside the network types
    {"usb://Vendor/Model?serial=A:B", "USB", "xvtdbmu://USB/Office/usb://Vendor/Model?serial=A:B"},
    {"dnssd://Lab:2._ipp._tcp.local./", "DNSSD",
     "xvtdbmu://DNSSD/Office/mdns://Lab:2._ipp._tcp.local./"},
    // network hosts over IPv4 or by name
    {"socket://10.0.0.5", "ZEL_QRX5_LPR", "xvtdbmu://ZEL_QRX5_LPR/Office/lpd://10.0.0.5"},
    {"socket://10.0.0.5/", "ZEL_QRX5_LPR", "xvtdbmu://ZEL_QRX5_LPR/Office/lpd://10.0.0.5/"},
    {"ipp://10.0.0.5/lp", "ZEL_QRX5_LPR", "xvtdbmu://ZEL_QRX5_LPR/Office/lpd://10.0.0.5/lp"},
    {"ipp://printer.local/ipp/print", "ZEL_QRX5_LPR",
     "xvtdbmu://ZEL_QRX5_LPR/Office/lpd://printer.local/ipp%2Fprint"},
    // a port is not IPv6: host and port stay whole
    {"ipp://192.168.0.5:631/ipp", "ZEL_QRX5_LPR",
     "xvtdbmu://ZEL_QRX5_LPR/Office/lpd://192.168.0.5:631/ipp"},
    {"socket://printer.local:9100", "ZEL_QRX5_LPR",
     "xvtdbmu://ZEL_QRX5_LPR/Office/lpd://printer.local:9100"},
    // the LPR path is decoded and handed to the maker's encoding
    {"lpd://10.0.0.5/queue(1)", "ZEL_QRX5_LPR",
     "xvtdbmu://ZEL_QRX5_LPR/Office/lpd://10.0.0.5/queue%281%29"},
    {"lpd://10.0.0.5/q%7Eueue%20one", "ZEL_QRX5_LPR",
     "xvtdbmu://ZEL_QRX5_LPR/Office/lpd://10.0.0.5/q~ueue%20one"},
    {"lpd://10.0.0.5/a;b|c&d$e`f", "ZEL_QRX5_LPR",
     "xvtdbmu://ZEL_QRX5_LPR/Office/lpd://10.0.0.5/a%3Bb%7Cc%26d%24e%60f"},
    {"lpd://10.0.0.5/caf%C3%A9", "ZEL_QRX5_LPR",
     "xvtdbmu://ZEL_QRX5_LPR/Office/lpd://10.0.0.5/caf%C3%A9"},
    // a path that does not decode is dropped, the slash after the host stays
    {"lpd://10.0.0.5/bad%FFpath", "ZEL_QRX5_LPR", "xvtdbmu://ZEL_QRX5_LPR/Office/lpd://10.0.0.5/"},
    {"lpd://10.0.0.5/bad%G1", "ZEL_QRX5_LPR", "xvtdbmu://ZEL_QRX5_LPR/Office/lpd://10.0.0.5/"},
    // IPv6: the bracketed form behind "[v1.", a link-local address gets its zone
    {"lpd://[v1.fe80::1]/lp", "ZEL_QRX5_LPRv6",
     "xvtdbmu://ZEL_QRX5_LPRv6/Office/lpd://[v1.fe80::1+en0]/lp"},
    {"lpd://[v1.fe80::1+eth1]/lp", "ZEL_QRX5_LPRv6",
     "xvtdbmu://ZEL_QRX5_LPRv6/Office/lpd://[v1.fe80::1+eth1]/lp"},
    {"ipp://[fd00::5]/ipp", "ZEL_QRX5_LPRv6",
     "xvtdbmu://ZEL_QRX5_LPRv6/Office/lpd://[v1.fd00::5]/ipp"},
    {"socket://[2001:db8::17]", "ZEL_QRX5_LPRv6",
     "xvtdbmu://ZEL_QRX5_LPRv6/Office/lpd://[v1.2001:db8::17]"},
    // no rule: another scheme, the backend's own, or a prefix in other case
    {"xvtdbmu://ZEL_QRX5_LPR/Office/lpd://10.0.0.5", nullptr, nullptr},
    {"http://10.0.0.5/", nullptr, nullptr},
    {"SOCKET://10.0.0.5", nullptr, nullptr},
    {"", nullptr, nullptr},
};

TEST(BackendUriTest, FormsTheBackendUriOfEachKindOfDeviceUri) {
  for (const Row &row : kRows) {
    QueueBackend backend;
    const bool formed = BackendURI_Create("Office", row.device_uri, &backend);
    if (row.connection_type == nullptr) {
      EXPECT_FALSE(formed) << row.device_uri << " gave " << backend.backend_uri;
      continue;
    }
    ASSERT_TRUE(formed) << row.device_uri;
    EXPECT_EQ(backend.connection_type, row.connection_type) << row.device_uri;
    EXPECT_EQ(backend.backend_uri, row.backend_uri) << row.device_uri;
    EXPECT_EQ("xvtdbmu://" + backend.connection_type + "/Office/" + backend.address,
              backend.backend_uri)
        << row.device_uri;
  }
}

TEST(BackendUriTest, TheQueueNameGoesInAsItIsSaveBytesOutsideAscii) {
  QueueBackend backend;
  ASSERT_TRUE(BackendURI_Create("a<b>;$(x) `y`", "socket://10.0.0.5", &backend));
  EXPECT_EQ(backend.backend_uri, "xvtdbmu://ZEL_QRX5_LPR/a<b>;$(x) `y`/lpd://10.0.0.5");
  // Bytes outside ASCII, which the scheduler refuses in a URI, are escaped.
  ASSERT_TRUE(BackendURI_Create("B\xC3\xBCro-\xE2\x82\xAC", "socket://10.0.8.1", &backend));
  EXPECT_EQ(backend.backend_uri, "xvtdbmu://ZEL_QRX5_LPR/B%C3%BCro-%E2%82%AC/lpd://10.0.8.1");
}

// "xvtdbmu://USB/Q/usb://" is 22 bytes: a device URI of "usb://" and n letters gives a
// backend URI of 22 + n bytes, with nothing escaped.
TEST(BackendUriTest, ABackendUriLongerThan1023BytesLeavesTheQueueAlone) {
  QueueBackend backend;
  ASSERT_TRUE(BackendURI_Create("Q", ("usb://" + std::string(1001, 'a')).c_str(), &backend));
  EXPECT_EQ(backend.backend_uri.size(), 1023u);
  EXPECT_FALSE(BackendURI_Create("Q", ("usb://" + std::string(1002, 'a')).c_str(), &backend));
  // Escaping lengthens the address past the limit although the device URI is shorter.
  EXPECT_FALSE(BackendURI_Create("Q", ("usb://" + std::string(340, '(')).c_str(), &backend));
}

TEST(BackendUriTest, ACommandLineLongerThan1023BytesIsNotRun) {
  // lpadmin -p Q -v "URI" -P PPD: 21 bytes besides the three arguments, counted with the
  // queue's own PPD wherever a copy of it lives.
  const std::string ppd = "/etc/cups/ppd/Q.ppd";
  EXPECT_TRUE(BackendURI_LpadminCommandLineFits("Q", std::string(1023 - 21 - 1 - ppd.size(), 'u')));
  EXPECT_FALSE(
      BackendURI_LpadminCommandLineFits("Q", std::string(1024 - 21 - 1 - ppd.size(), 'u')));
}

}  // namespace
