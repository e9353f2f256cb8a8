// Network connection-type resolution: IPv4 or name against IPv6, from the device URI.

#include "connection_type.h"

#include "zelcups/quit_request.h"
#include "zelcups/holders.h"
#include "zelcups_common.h"

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

namespace {

constexpr std::string_view kVersionPrefix = "v1.";

// A name server that does not answer would hold the tick for the resolver's own limits
// (10 s with the usual settings) on every such queue; a lookup that takes longer than
// this counts as failed. Local and working name servers answer in milliseconds.
constexpr auto kLookupLimit = std::chrono::seconds(3);
// How often the wait looks whether the agent was asked to quit.
constexpr auto kQuitCheck = std::chrono::milliseconds(50);

// One lookup, shared by the tick and the thread that makes it: the tick may give up on
// it, and the thread then finishes alone.
struct Lookup {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  bool found = false;
};

// Only whether the name has an IPv6 address matters; the addresses are not used.
bool LookUpIpv6Address(const std::string &host) {
  addrinfo hints{};
  hints.ai_family = AF_INET6;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *list = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0) {
    return false;
  }
  zelcups::ScopedAddrinfo holder(list);
  return true;
}

// getaddrinfo cannot be interrupted, so it runs on a thread of its own that the tick does
// not wait for beyond kLookupLimit or a quit request.
bool HasIpv6Address(const std::string &host) {
  auto lookup = std::make_shared<Lookup>();
  try {
    std::thread([lookup, host] {
      const bool found = LookUpIpv6Address(host);
      std::lock_guard lock(lookup->mutex);
      lookup->found = found;
      lookup->done = true;
      lookup->finished.notify_all();
    }).detach();
  } catch (const std::system_error &) {
    return false;  // no thread to spare: a failed lookup
  }
  const auto deadline = std::chrono::steady_clock::now() + kLookupLimit;
  std::unique_lock lock(lookup->mutex);
  while (!lookup->done && !QuitRequest_Received() && std::chrono::steady_clock::now() < deadline) {
    lookup->finished.wait_for(lock, kQuitCheck);
  }
  return lookup->done && lookup->found;
}

// "v1.host/..." or "v1.host+zone/...": a host name meant as IPv6 but written without the
// brackets that the rest of the agent recognises. When the name has an IPv6 address the
// URI gets them, "[v1.host+zone]/...", two bytes longer. Returns whether it is IPv6.
bool BracketVersionedHost(char *device_uri, std::size_t prefix_length) {
  const std::string_view uri(device_uri);
  const std::string_view remainder = uri.substr(prefix_length);
  const std::size_t slash = remainder.find('/');
  if (slash == std::string_view::npos) {
    return false;
  }
  std::string_view host = remainder.substr(kVersionPrefix.size(), slash - kVersionPrefix.size());
  host = host.substr(0, host.find('+'));  // the zone is not part of the name
  if (!HasIpv6Address(std::string(host))) {
    return false;
  }

  std::string rewritten;
  rewritten.reserve(uri.size() + 2);
  rewritten.append(uri.substr(0, prefix_length));
  rewritten.push_back('[');
  rewritten.append(remainder.substr(0, slash));
  rewritten.push_back(']');
  rewritten.append(remainder.substr(slash));
  std::memcpy(device_uri, rewritten.c_str(), rewritten.size() + 1);
  return true;
}

CFStringRef ResolveConnectionType(char *device_uri, std::size_t prefix_length) {
  const CFStringRef lpr = CFSTR("ZEL_QRX5_LPR");
  const CFStringRef lpr_v6 = CFSTR("ZEL_QRX5_LPRv6");
  char *remainder = device_uri + prefix_length;

  // Classification only: with separators 0 the text is left as it is.
  if (zelcups_common_check_ipv6_address(remainder, 0, 0, nullptr, nullptr, nullptr)) {
    // The colon of a port would otherwise make every "host:631" printer an IPv6 one.
    return zelcups::IsHostWithPort(remainder) ? lpr : lpr_v6;
  }
  // Any colon has been handled above, so what is left to look up is a host name.
  if (!std::string_view(remainder).starts_with(kVersionPrefix)) {
    return lpr;
  }
  return BracketVersionedHost(device_uri, prefix_length) ? lpr_v6 : lpr;
}

}  // namespace

int32_t z_FixConnectionTypeForLPD(char *device_uri, const char *prefix, char **connection_type) {
  if (device_uri == nullptr || prefix == nullptr || connection_type == nullptr) {
    return -1;
  }
  // The caller matched the prefix already; a shorter URI would send us past its end.
  const std::size_t prefix_length = std::strlen(prefix);
  if (strnlen(device_uri, prefix_length) < prefix_length) {
    return -1;
  }

  const CFStringRef type = ResolveConnectionType(device_uri, prefix_length);
  char *text = nullptr;
  const int32_t status = zelcups_common_cfstring_to_cstring(type, &text);
  if (status != 0) {
    return status;
  }
  if (text == nullptr) {
    return -1;
  }
  *connection_type = text;
  return 0;
}
