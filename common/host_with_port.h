// The one rule, shared by the watcher that writes addresses and the reader of printer
// addresses, that a network host followed by a port is not IPv6.
#ifndef ZELCUPS_COMMON_HOST_WITH_PORT_H
#define ZELCUPS_COMMON_HOST_WITH_PORT_H

#include <string_view>

namespace zelcups {

// True when the host part of text (up to its first "/") is an IPv4 address or a name
// followed by ":" and 1 to 5 digits. The IPv6 test of the common module counts any colon
// as IPv6; such a host is written, and read back, whole.
bool IsHostWithPort(std::string_view text);

}  // namespace zelcups

#endif
