// The backend URI of one queue, formed from its device URI.
#include "backend_uri.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "CommonLib.h"
#include "zelcups/scoped.h"
#include "zelcups/holders.h"
#include "zelcups_common.h"

namespace {

constexpr std::string_view kBackendScheme = "xvtdbmu";
constexpr std::string_view kVersionedBracket = "[v1.";
constexpr std::string_view kLpr = "ZEL_QRX5_LPR";
constexpr std::string_view kLprV6 = "ZEL_QRX5_LPRv6";
// The resolver may lengthen the URI in place by 2 bytes (brackets around a host) and the
// zone completion by up to 4 more ("+en0"): the working copy has room for both.
constexpr std::size_t kDeviceURISpare = 2 + 4;
// "lpd://" is all that precedes the host in an address of the LPR types.
constexpr std::size_t kLprSchemeLength = 6;

const BackendRule *FindBackendRule(const char *device_uri) {
  for (const BackendRule &rule : BACKEND_RULES) {
    if (std::strncmp(device_uri, rule.uri_prefix, std::strlen(rule.uri_prefix)) == 0) {
      return &rule;
    }
  }
  return nullptr;
}

// The scheme the backend expects in the address: every network rule is reached over LPR,
// and Bonjour is written "mdns" whichever name the scheduler used.
std::string_view AddressScheme(std::string_view uri_prefix) {
  if (uri_prefix == "socket://" || uri_prefix == "ipp://") {
    return "lpd://";
  }
  if (uri_prefix == "dnssd://") {
    return "mdns://";
  }
  return uri_prefix;
}

// For the LPR types the path after the host is handed to the maker's own encoding, once
// freed of the escapes the command-line step added. Empty when any step fails, so that
// the address then ends with the slash after the host.
std::string ReencodeLprPath(const char *path) {
  zelcups::ScopedCFTypeRef<CFStringRef> text(
      CFStringCreateWithCString(kCFAllocatorDefault, path, kCFStringEncodingUTF8));
  if (!text) {
    return {};
  }
  zelcups::ScopedCFTypeRef<CFStringRef> decoded(
      CFURLCreateStringByReplacingPercentEscapesUsingEncoding(kCFAllocatorDefault, text.get(),
                                                              CFSTR(""), kCFStringEncodingUTF8));
  if (!decoded) {
    return {};
  }
  zelcups::ScopedCFTypeRef<CFStringRef> encoded(ZEL_Utl_CreateEncodedCFString(decoded.get()));
  if (!encoded) {
    return {};
  }
  // The encoding writes every character as one byte, so this is the size it needs.
  std::vector<char> buffer(static_cast<std::size_t>(CFStringGetLength(encoded.get())) + 1);
  if (!CFStringGetCString(encoded.get(), buffer.data(), static_cast<CFIndex>(buffer.size()),
                          kCFStringEncodingUTF8)) {
    return {};
  }
  return buffer.data();
}

// The scheduler refuses a device URI holding bytes outside ASCII, while it takes such
// queue names ("Büro"): those bytes are written as percent escapes so that the queue can
// be re-pointed at all. An ASCII name goes in as it is, the form the backend reads.
std::string QueueNameForURI(std::string_view queue_name) {
  std::string text;
  for (unsigned char byte : queue_name) {
    if (byte < 0x80) {
      text.push_back(static_cast<char>(byte));
    } else {
      char escape[3];
      zelcups_common_write_percent_escape(byte, escape);
      text.append(escape, sizeof(escape));
    }
  }
  return text;
}

std::string FormAddress(const std::string &address_buffer, std::string_view connection_type) {
  if (connection_type != kLpr && connection_type != kLprV6) {
    return address_buffer;
  }
  const std::size_t slash = address_buffer.find('/', kLprSchemeLength);
  if (slash == std::string::npos || slash + 1 == address_buffer.size()) {
    return address_buffer;
  }
  return address_buffer.substr(0, slash + 1) + ReencodeLprPath(address_buffer.c_str() + slash + 1);
}

// The rule's fixed connection type, or the one its resolver works out from uri (which it
// may lengthen in place, within the spare bytes); null, with the status, when there is
// none.
zelcups::ScopedMalloc<char> ConnectionTypeFor(const BackendRule &rule, char *uri, int32_t *status) {
  char *type_text = nullptr;
  *status = rule.connection_type != nullptr
                ? zelcups_common_cfstring_to_cstring(rule.connection_type(), &type_text)
                : rule.resolver(uri, rule.uri_prefix, &type_text);
  zelcups::ScopedMalloc<char> connection_type(type_text);
  return *status == 0 ? std::move(connection_type) : nullptr;
}

// The printer's address as the backend reads it, before FormAddress: the address scheme
// and the escaped rest of the device URI; false when it cannot be escaped or is too long.
bool FormAddressBuffer(const BackendRule &rule, char *remainder, std::string_view connection_type,
                       std::string *address_buffer) {
  *address_buffer = AddressScheme(rule.uri_prefix);
  // Only a network printer's host can be an IPv6 address: the test takes any colon for
  // one, and a USB serial number or a Bonjour name may hold colons. The resolver counts
  // "host:port" as a network host, not as IPv6, and the address must agree. The test may
  // also complete a link-local zone in place, within the spare bytes of the URI.
  const bool is_ipv6 =
      connection_type == kLprV6 &&
      zelcups_common_check_ipv6_address(remainder, '%', '+', nullptr, nullptr, nullptr);

  char *escaped_text = nullptr;
  const int32_t escape_status = zelcups_common_convert_charactor_for_lpadmin_command_line(
      remainder, static_cast<uint32_t>(std::strlen(remainder)), &escaped_text);
  zelcups::ScopedMalloc<char> escaped(escaped_text);
  if (escape_status != 0 || !escaped) {
    return false;
  }
  std::string_view escaped_remainder(escaped.get());
  if (is_ipv6) {
    // "[v1.fe80::1+en0]/lp" stays as it is; "[fd00::5]/lp" becomes "[v1.fd00::5]/lp".
    const std::size_t dot = escaped_remainder.find('.');
    escaped_remainder.remove_prefix(dot == std::string_view::npos
                                        ? std::min<std::size_t>(1, escaped_remainder.size())
                                        : dot + 1);
    address_buffer->append(kVersionedBracket);
  }
  address_buffer->append(escaped_remainder);
  return address_buffer->size() <= kMaxURILength;
}

}  // namespace

bool BackendURI_Create(const char *queue_name, const char *device_uri, QueueBackend *backend) {
  if (queue_name == nullptr || device_uri == nullptr || backend == nullptr) {
    return false;
  }
  const BackendRule *rule = FindBackendRule(device_uri);
  if (rule == nullptr) {
    return false;
  }

  const std::size_t uri_length = std::strlen(device_uri);
  std::vector<char> uri(uri_length + 1 + kDeviceURISpare, '\0');
  std::memcpy(uri.data(), device_uri, uri_length);
  int32_t status = 0;
  const zelcups::ScopedMalloc<char> connection_type = ConnectionTypeFor(*rule, uri.data(), &status);
  if (!connection_type) {
    backend->lookup_abandoned = status == kConnectionTypeAbandoned;
    return false;
  }
  std::string address_buffer;
  if (!FormAddressBuffer(*rule, uri.data() + std::strlen(rule->uri_prefix), connection_type.get(),
                         &address_buffer)) {
    return false;
  }

  std::string address = FormAddress(address_buffer, connection_type.get());
  std::string backend_uri;
  backend_uri.append(kBackendScheme)
      .append("://")
      .append(connection_type.get())
      .append("/")
      .append(QueueNameForURI(queue_name))
      .append("/")
      .append(address);
  if (address.size() > kMaxURILength || backend_uri.size() > kMaxURILength) {
    return false;
  }
  backend->connection_type = connection_type.get();
  backend->address = std::move(address);
  backend->backend_uri = std::move(backend_uri);
  return true;
}

bool BackendURI_RuleTakes(const char *device_uri) {
  return device_uri != nullptr && FindBackendRule(device_uri) != nullptr;
}

bool BackendURI_LpadminCommandLineFits(const char *queue_name, const std::string &backend_uri) {
  constexpr std::string_view kFixedText[] = {"lpadmin -p ", " -v \"", "\" -P ",
                                             ZELCUPS_COMMON_PPD_DIRECTORY "/", ".ppd"};
  std::size_t length = backend_uri.size() + 2 * std::strlen(queue_name);
  for (std::string_view text : kFixedText) {
    length += text.size();
  }
  return length <= kMaxURILength;
}
