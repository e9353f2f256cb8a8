// The device URI of the maker's backend for one queue: how the printer is connected,
// worked out from the scheme of the queue's current device URI, and the printer's address
// in a form that the backend reads back.
#ifndef ZELCUPS_AGENT_BACKEND_URI_H
#define ZELCUPS_AGENT_BACKEND_URI_H

#include <CoreFoundation/CoreFoundation.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "connection_type.h"

// One row: a device URI beginning with uri_prefix has either a fixed connection type or
// one that resolver works out from the URI. Exactly one of the two is set.
struct BackendRule {
  const char *uri_prefix;
  CFStringRef (*connection_type)();
  int32_t (*resolver)(char *device_uri, const char *prefix, char **connection_type);
};

// Searched in this order; the first row whose prefix starts the URI wins.
inline constexpr std::array<BackendRule, 6> BACKEND_RULES = {{
    {"mdns://", [] { return CFSTR("DNSSD"); }, nullptr},
    {"dnssd://", [] { return CFSTR("DNSSD"); }, nullptr},
    {"usb://", [] { return CFSTR("USB"); }, nullptr},
    {"lpd://", nullptr, z_FixConnectionTypeForLPD},
    {"socket://", nullptr, z_FixConnectionTypeForLPD},
    {"ipp://", nullptr, z_FixConnectionTypeForLPD},
}};

// The longest address, backend URI and lpadmin command line, in bytes, that the backend
// and the scheduler take; one that is longer leaves the queue alone rather than being cut.
inline constexpr std::size_t kMaxURILength = 1023;

// The maker's backend, which the scheduler needs before it takes a URI of its scheme.
inline constexpr char kBackendProgramPath[] = "/usr/lib/cups/backend/xvtdbmu";
// Why a queue needs nothing: the journal's reason, which the machine's record also knows.
inline constexpr char kAlreadyOnBackendReason[] =
    "its device URI already uses the driver's backend";

struct QueueBackend {
  std::string connection_type;  // "ZEL_QRX5_LPR", "ZEL_QRX5_LPRv6", "DNSSD" or "USB"
  std::string address;          // "lpd://...", "mdns://..." or "usb://..."
  std::string backend_uri;      // "xvtdbmu://TYPE/QUEUE/ADDRESS"
  // Set, with nothing else, when no type could be had because the name lookup was given
  // up: the queue is not to be left alone for good but tried again.
  bool lookup_abandoned = false;
};

// Forms the backend URI for queue_name from its device URI. The name goes in unchanged,
// except that bytes outside ASCII are percent-escaped. False when the queue is to be
// left alone: no rule matches (a URI of the backend's own scheme among them), the
// connection type cannot be had, or the address or the URI would not fit.
bool BackendURI_Create(const char *queue_name, const char *device_uri, QueueBackend *backend);

// Whether some rule takes the device URI, without working out the connection type (which
// may look a name up): a queue whose URI no rule takes is left alone whatever its PPD.
bool BackendURI_RuleTakes(const char *device_uri);

// Whether the lpadmin command line for the queue, written as a person would type it with
// the queue's own PPD (lpadmin -p QUEUE -v "URI" -P /etc/cups/ppd/QUEUE.ppd), fits the
// limit: what does not is not run at all. Where a copy of the PPD is kept instead does not
// move the limit.
bool BackendURI_LpadminCommandLineFits(const char *queue_name, const std::string &backend_uri);

#endif
