// Network connection-type resolution: IPv4 or name against IPv6, from the device URI.

#include "connection_type.h"

#include "zelcups/pending_posts.h"
#include "zelcups/quit_request.h"
#include "zelcups/time_limits.h"
#include "zelcups/holders.h"
#include "zelcups_common.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

namespace {

constexpr std::string_view kVersionPrefix = "v1.";

// What a lookup of a "v1." name says: a "none" and a lookup given up on are not the same,
// since only the first makes the printer an IPv4 one.
enum class Ipv6Answer { kFound, kNone, kAbandoned };

// One lookup, shared by the tick and the thread that makes it: the tick may give up on
// it, and the thread then finishes alone. The thread's end is the pipe's closing.
struct Lookup {
  std::mutex mutex;
  bool found = false;
  zelcups::ScopedFd done_read, done_write;
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
// not wait for beyond zelcups::kNameLookupLimit or a quit request: a name server that
// does not answer would otherwise hold the tick on every such queue.
Ipv6Answer HasIpv6Address(const std::string &host) {
  auto lookup = std::make_shared<Lookup>();
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    return Ipv6Answer::kAbandoned;
  }
  lookup->done_read.reset(ends[0]);
  lookup->done_write.reset(ends[1]);
  try {
    std::thread([lookup, host] {
      const bool found = LookUpIpv6Address(host);
      std::lock_guard lock(lookup->mutex);
      lookup->found = found;
      lookup->done_write.reset();
    }).detach();
  } catch (const std::system_error &) {
    return Ipv6Answer::kAbandoned;  // no thread to spare: not looked up
  }
  const auto deadline = std::chrono::steady_clock::now() + zelcups::kNameLookupLimit;
  for (;;) {
    struct pollfd ready[] = {{lookup->done_read.get(), POLLIN, 0},
                             {QuitRequest_Descriptor(), POLLIN, 0},
                             {PendingPosts_Descriptor(), POLLIN, 0}};
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 ||
        (poll(ready, std::size(ready), static_cast<int>(left.count())) < 0 && errno != EINTR) ||
        ready[1].revents != 0) {
      return Ipv6Answer::kAbandoned;
    }
    if (ready[0].revents != 0) {
      std::lock_guard lock(lookup->mutex);
      return lookup->found ? Ipv6Answer::kFound : Ipv6Answer::kNone;
    }
    if (ready[2].revents != 0) {
      PendingPosts_Deliver();
    }
  }
}

// "v1.host/..." or "v1.host+zone/...": a host name meant as IPv6 but written without the
// brackets that the rest of the agent recognises. When the name has an IPv6 address the
// URI gets them, "[v1.host+zone]/...", two bytes longer. Says what the lookup found.
Ipv6Answer BracketVersionedHost(char *device_uri, std::size_t prefix_length) {
  const std::string_view uri(device_uri);
  const std::string_view remainder = uri.substr(prefix_length);
  const std::size_t slash = remainder.find('/');
  if (slash == std::string_view::npos) {
    return Ipv6Answer::kNone;
  }
  std::string_view host = remainder.substr(kVersionPrefix.size(), slash - kVersionPrefix.size());
  host = host.substr(0, host.find('+'));  // the zone is not part of the name
  if (const Ipv6Answer answer = HasIpv6Address(std::string(host)); answer != Ipv6Answer::kFound) {
    return answer;
  }

  std::string rewritten;
  rewritten.reserve(uri.size() + 2);
  rewritten.append(uri.substr(0, prefix_length));
  rewritten.push_back('[');
  rewritten.append(remainder.substr(0, slash));
  rewritten.push_back(']');
  rewritten.append(remainder.substr(slash));
  std::memcpy(device_uri, rewritten.c_str(), rewritten.size() + 1);
  return Ipv6Answer::kFound;
}

// The connection type; null when the name lookup was abandoned.
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
  switch (BracketVersionedHost(device_uri, prefix_length)) {
    case Ipv6Answer::kFound:
      return lpr_v6;
    case Ipv6Answer::kNone:
      return lpr;
    case Ipv6Answer::kAbandoned:
      break;
  }
  return nullptr;
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
  if (type == nullptr) {
    return kConnectionTypeAbandoned;
  }
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
