// The network connection-type resolver. CTest runs this in a private mount and network
// namespace whose /etc/hosts gives "printhost-with" the IPv6 address ::1 and
// "printhost-without" only 127.0.0.1, and whose name service reads that file alone, so
// that every lookup below has one known answer.

#include "connection_type.h"

#include <netdb.h>
#include <sys/socket.h>

#include <Carbon/Carbon.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "zelcups/holders.h"
#include "zelcups/quit_request.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr const char *kLpr = "ZEL_QRX5_LPR";
constexpr const char *kLprV6 = "ZEL_QRX5_LPRv6";

bool HasIpv6Address(const char *name) {
  addrinfo hints{};
  hints.ai_family = AF_INET6;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *list = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &list) != 0) {
    return false;
  }
  freeaddrinfo(list);
  return true;
}

// The device URI in a heap block with exactly the 2 spare bytes the caller owes the
// resolver, so that AddressSanitizer reports any write beyond them.
char *CopyWithTwoSpareBytes(const char *uri) {
  const size_t size = std::strlen(uri) + 1 + 2;
  char *buffer = static_cast<char *>(std::malloc(size));
  std::memset(buffer, 'Z', size);
  std::memcpy(buffer, uri, std::strlen(uri) + 1);
  return buffer;
}

TEST(ConnectionType, ResolvesTypeAndRewritesVersionedHostNames) {
  // The rows below hold only with the private hosts file.
  ASSERT_TRUE(HasIpv6Address("printhost-with"))
      << "run through ctest: the test needs its private /etc/hosts";
  ASSERT_FALSE(HasIpv6Address("printhost-without"));
  struct Row {
    const char *uri;
    const char *prefix;
    const char *type;
    const char *uri_after;  // nullptr: unchanged
  };
  const Row rows[] = {
      // IPv6 addresses, bracketed or bare: no lookup, no change.
      {"lpd://[v1.fe80::1+en0]/queue", "lpd://", kLprV6, nullptr},
      {"lpd://[v1.2001:db8::5]/q", "lpd://", kLprV6, nullptr},
      {"lpd://[v1.fe80::1+en0]:515/queue", "lpd://", kLprV6, nullptr},
      {"socket://fe80::1", "socket://", kLprV6, nullptr},
      {"ipp://[fd00::5]:631/ipp", "ipp://", kLprV6, nullptr},
      // IPv4 addresses and names.
      {"socket://192.168.0.5", "socket://", kLpr, nullptr},
      {"ipp://printer.local/ipp", "ipp://", kLpr, nullptr},
      {"lpd://printhost-with/q", "lpd://", kLpr, nullptr},
      {"lpd://", "lpd://", kLpr, nullptr},
      // A port is not IPv6.
      {"ipp://192.168.0.5:631/ipp", "ipp://", kLpr, nullptr},
      {"socket://192.168.0.5:9100", "socket://", kLpr, nullptr},
      {"ipp://printer.local:631/ipp", "ipp://", kLpr, nullptr},
      {"ipp://printer.local:65535", "ipp://", kLpr, nullptr},
      {"ipp://user@printer.local:631/ipp", "ipp://", kLpr, nullptr},
      {"ipp://printer.local:631/a:b", "ipp://", kLpr, nullptr},
      {"lpd://v1.printhost-with:515/q", "lpd://", kLpr, nullptr},
      // Colons that are no port still count as IPv6.
      {"ipp://printer.local:/ipp", "ipp://", kLprV6, nullptr},
      {"ipp://printer.local:123456/ipp", "ipp://", kLprV6, nullptr},
      {"ipp://printer.local:63a/ipp", "ipp://", kLprV6, nullptr},
      {"ipp://:631/ipp", "ipp://", kLprV6, nullptr},
      {"ipp://printer.local/ipp:1", "ipp://", kLprV6, nullptr},
      {"ipp://printer.local:631/[v1.x", "ipp://", kLprV6, nullptr},
      // "v1." host names: bracketed when the name has an IPv6 address.
      {"lpd://v1.printhost-with/q", "lpd://", kLprV6, "lpd://[v1.printhost-with]/q"},
      {"lpd://v1.printhost-with+en0/q", "lpd://", kLprV6, "lpd://[v1.printhost-with+en0]/q"},
      {"lpd://v1.printhost-with/", "lpd://", kLprV6, "lpd://[v1.printhost-with]/"},
      {"socket://v1.printhost-with/a/b", "socket://", kLprV6, "socket://[v1.printhost-with]/a/b"},
      {"lpd://v1.printhost-without/q", "lpd://", kLpr, nullptr},
      {"lpd://v1.printhost-without+en0/q", "lpd://", kLpr, nullptr},
      {"lpd://v1.no-such-host/q", "lpd://", kLpr, nullptr},
      {"lpd://v1./q", "lpd://", kLpr, nullptr},
      // Not the form: no slash behind the host, or the prefix in another case.
      {"lpd://v1.printhost-with", "lpd://", kLpr, nullptr},
      {"lpd://V1.printhost-with/q", "lpd://", kLpr, nullptr},
  };

  for (size_t i = 0; i < std::size(rows); ++i) {
    const Row &row = rows[i];
    char *uri = CopyWithTwoSpareBytes(row.uri);
    char *type = nullptr;
    EXPECT_EQ(z_FixConnectionTypeForLPD(uri, row.prefix, &type), 0)
        << "row " << i << ": " << row.uri;
    EXPECT_STREQ(type, row.type) << "row " << i << ": " << row.uri;
    const char *expected_uri = row.uri_after != nullptr ? row.uri_after : row.uri;
    EXPECT_STREQ(uri, expected_uri) << "row " << i << ": " << row.uri;
    const size_t growth = row.uri_after != nullptr ? 2 : 0;
    EXPECT_EQ(std::strlen(uri), std::strlen(row.uri) + growth) << "row " << i << ": " << row.uri;
    std::free(type);  // a heap copy of its own, never the constant
    std::free(uri);
  }
}

TEST(ConnectionType, RefusesMissingArgumentsWithoutWriting) {
  char uri[] = "lpd://v1.printhost-with/q\0\0";
  char untouched[] = "untouched";
  char *type = untouched;

  EXPECT_EQ(z_FixConnectionTypeForLPD(nullptr, "lpd://", &type), -1);
  EXPECT_EQ(type, untouched);
  EXPECT_EQ(z_FixConnectionTypeForLPD(uri, nullptr, &type), -1);
  EXPECT_EQ(type, untouched);
  EXPECT_EQ(z_FixConnectionTypeForLPD(uri, "lpd://", nullptr), -1);
  EXPECT_STREQ(uri, "lpd://v1.printhost-with/q");

  char short_uri[] = "lpd:/";
  EXPECT_EQ(z_FixConnectionTypeForLPD(short_uri, "lpd://", &type), -1);
  EXPECT_EQ(type, untouched);
}

// After a quit request a name is not looked up, and not taken for one without an IPv6
// address either: the URI and the type stay unwritten. Addresses need no lookup.
bool QuitAbandonsTheLookupButNotAnAddress() {
  GetMainEventLoop();  // from here on the quit signals are caught
  kill(getpid(), SIGTERM);
  while (!QuitRequest_Received()) {
  }
  char versioned[] = "lpd://v1.printhost-without/q\0\0", address[] = "socket://10.0.0.5";
  char untouched[] = "untouched";
  char *type = untouched, *address_type = nullptr;
  const bool abandoned =
      z_FixConnectionTypeForLPD(versioned, "lpd://", &type) == kConnectionTypeAbandoned &&
      type == untouched && std::strcmp(versioned, "lpd://v1.printhost-without/q") == 0;
  const bool resolved = z_FixConnectionTypeForLPD(address, "socket://", &address_type) == 0;
  const zelcups::ScopedMalloc<char> address_text(address_type);
  return abandoned && resolved && std::strcmp(address_type, kLpr) == 0;
}

TEST(ConnectionTypeDeathTest, AQuitAbandonsTheLookupButNotAnAddress) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(exit(QuitAbandonsTheLookupButNotAnAddress() ? 0 : 1), testing::ExitedWithCode(0), "");
}

}  // namespace
