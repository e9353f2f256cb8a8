/*
 * IPv6 addresses in device URIs: [v1.fe80::1+en0]. A link-local address needs its zone
 * (the interface name); device URIs write it behind "+", printer-address records behind
 * "%". These routines classify an address text and rewrite its zone in place.
 */
#include "zelcups_common.h"

#include <cstddef>
#include <cstring>
#include <string_view>
#include <strings.h>

namespace {

constexpr char kVersionPrefix[] = "[v1.";
constexpr size_t kVersionPrefixLength = sizeof(kVersionPrefix) - 1;
constexpr char kDefaultZone[] = "en0";
constexpr size_t kDefaultZoneLength = sizeof(kDefaultZone) - 1;

// The region that the zone separator search covers: from the text's second byte up to and
// including its last "/" (not counting the first byte), or its terminator when it has none.
// Returns its last byte, or nullptr for an empty text, which has no second byte.
const char *SearchRegionLast(const char *text) {
  if (text[0] == '\0') {
    return nullptr;
  }
  const char *slash = strrchr(text + 1, '/');
  return slash != nullptr ? slash : text + 1 + strlen(text + 1);
}

// The last occurrence of the charactor in text[1] .. last.
char *FindLastBetween(const char *text, const char *last, char charactor) {
  for (const char *p = last; p > text; --p) {
    if (*p == charactor) {
      return const_cast<char *>(p);
    }
  }
  return nullptr;
}

// The zone separator search limited to the address itself: a separator behind the
// address end belongs to the path (a "%" of an escape, a "+" in a queue name) and must
// not be taken for the zone, or rewritten.
char *FindZoneSeparator(char *address_start, char *address_end, char separator) {
  const char *last = SearchRegionLast(address_start);
  if (last == nullptr || address_end <= address_start) {
    return nullptr;
  }
  if (last >= address_end) {
    last = address_end - 1;
  }
  return FindLastBetween(address_start, last, separator);
}

// Opens a gap of `count` bytes at `position` by moving it and the rest of the text back.
void OpenGap(char *position, size_t count) {
  memmove(position + count, position, strlen(position) + 1);
}

}  // namespace

char *zelcups_common_get_ipv6_interfaceId_top_pointer(const char *text, char charactor) {
  if (text == nullptr) {
    return nullptr;
  }
  const char *last = SearchRegionLast(text);
  if (last == nullptr) {
    return nullptr;
  }
  return FindLastBetween(text, last, charactor);
}

bool zelcups_common_check_ipv6_link_local_address(const char *text) {
  if (text == nullptr) {
    return false;
  }
  if (strncmp(text, kVersionPrefix, kVersionPrefixLength) == 0) {
    text += kVersionPrefixLength;
  }
  return strncasecmp(text, "fe80:", 5) == 0;
}

bool zelcups_common_check_ipv6_address(char *text, char old_separator, char new_separator,
                                       char **address_start, char **address_end,
                                       char **zone_position) {
  if (text == nullptr) {
    return false;
  }
  char *start = strstr(text, kVersionPrefix);
  if (start != nullptr) {
    start += kVersionPrefixLength;
  } else if (strchr(text, ':') != nullptr) {
    start = text;
  }
  const bool is_ipv6 = start != nullptr;
  if (old_separator == '\0' || new_separator == '\0' || !is_ipv6) {
    return is_ipv6;
  }

  char *end = strchr(start, ']');
  if (end == nullptr) {
    end = start + strlen(start);
  }
  char *zone = end;
  if (zelcups_common_check_ipv6_link_local_address(start)) {
    zone = FindZoneSeparator(start, end, new_separator);
    if (zone == nullptr) {
      zone = FindZoneSeparator(start, end, old_separator);
      if (zone != nullptr) {
        *zone = new_separator;
      }
    }
    if (zone == nullptr) {
      OpenGap(end, 1);
      *end = new_separator;
      zone = end;
      end += 1;
    }
    // A link-local address is unusable without its interface.
    if (zone + 1 == end) {
      OpenGap(end, kDefaultZoneLength);
      memcpy(end, kDefaultZone, kDefaultZoneLength);
      end += kDefaultZoneLength;
    }
  }

  if (address_start != nullptr) {
    *address_start = start;
  }
  if (address_end != nullptr) {
    *address_end = end;
  }
  if (zone_position != nullptr) {
    *zone_position = zone;
  }
  return true;
}

bool zelcups::IsHostWithPort(std::string_view text) {
  constexpr std::size_t kMaxPortDigits = 5;
  if (text.find("[v1.") != std::string_view::npos) {
    return false;
  }
  const std::string_view host = text.substr(0, text.find('/'));
  const std::size_t colon = host.find(':');
  if (colon == std::string_view::npos || colon == 0) {
    return false;
  }
  const std::string_view name = host.substr(0, colon);
  const std::string_view port = host.substr(colon + 1);
  if (name.find('[') != std::string_view::npos) {
    return false;
  }
  return !port.empty() && port.size() <= kMaxPortDigits &&
         port.find_first_not_of("0123456789") == std::string_view::npos;
}
