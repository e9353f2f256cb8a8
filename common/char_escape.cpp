/*
 * Percent escaping of the single-byte characters that a rule set selects, the matching
 * decoder, and the conversion of a string object to a heap UTF-8 string.
 *
 * Everything works on bytes: a multi-byte UTF-8 character is copied whole and never
 * escaped, and no routine reads beyond the byte count it is given.
 */
#include "char_escape_internal.h"
#include "zelcups_common.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

namespace {

// The characters that once ended or redirected the lpadmin command line in a shell.
// lpadmin now runs without one, but the backend reads its URI with them escaped, so they
// still are. The percent sign stays: an escape already in a device URI must reach the
// backend unchanged.
constexpr std::array<char, 7> kLpadminCommandCharactors = {'!', '&', '(', ')', '|', '<', '>'};
constexpr std::array<char, 2> kIpv6AddressCharactors = {':', '%'};
constexpr std::array<char, 4> kUsbAndMdnsUriCharactors = {'(', ')', ' ', '%'};

template <size_t N>
bool IsOneOf(char charactor, const std::array<char, N> &charactors) {
  return std::find(charactors.begin(), charactors.end(), charactor) != charactors.end();
}

bool z_check_ng_charactor_for_lpadmin_command(char charactor) {
  return IsOneOf(charactor, kLpadminCommandCharactors);
}

bool z_check_convert_charactor_for_usb_and_mdns_uri(char charactor) {
  return IsOneOf(charactor, kUsbAndMdnsUriCharactors);
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  return -1;
}

// Reads the digits from the right and stops at the first character that is no digit; the
// result is the low 8 bits of what was read, so only the last two digits weigh.
char zHexStringToBin(const char *text, int8_t digit_count) {
  if (text == nullptr || digit_count <= 0) {
    return 0;
  }
  uint32_t sum = 0;
  uint32_t weight = 1;
  for (int index = digit_count - 1; index >= 0; --index) {
    const int digit = HexDigitValue(text[index]);
    if (digit < 0) {
      break;
    }
    sum = (sum + static_cast<uint32_t>(digit) * weight) & 0xFF;
    weight = (weight * 16) & 0xFF;
  }
  return static_cast<char>(static_cast<uint8_t>(sum));
}

}  // namespace

bool z_check_convert_charactor_for_ipv6_address(char charactor) {
  return IsOneOf(charactor, kIpv6AddressCharactors);
}

void zelcups_common_write_percent_escape(uint8_t byte, char escape[3]) {
  constexpr char kHexDigits[] = "0123456789ABCDEF";
  escape[0] = '%';
  escape[1] = kHexDigits[byte >> 4];
  escape[2] = kHexDigits[byte & 0x0F];
}

int32_t zelcups_common_get_utf8_one_charactor_length(uint8_t lead_byte) {
  int32_t length = 0;
  for (uint8_t bit = 0x80; bit != 0 && (lead_byte & bit) != 0 && length < 6; bit >>= 1) {
    ++length;
  }
  return length == 0 ? 1 : length;
}

int32_t zelcups_common_convert_charactor_to_fall_under_into_hex_string(
    const char *source, uint32_t source_length, zelcups_charactor_predicate predicate,
    char **result) {
  if (source == nullptr || predicate == nullptr || result == nullptr) {
    return -1;
  }
  // Three output bytes per input byte at worst; the rest of the zero fill terminates.
  const size_t size = std::max<size_t>(size_t{6} * source_length, 1);
  auto *output = static_cast<char *>(calloc(size, 1));
  if (output == nullptr) {
    return -1;
  }
  uint32_t in = 0;
  size_t out = 0;
  while (in < source_length) {
    const auto lead = static_cast<uint8_t>(source[in]);
    const auto length = static_cast<uint32_t>(zelcups_common_get_utf8_one_charactor_length(lead));
    if (length > 1) {
      // The sequence is trusted, not checked; a lead byte that announces more bytes than
      // are left takes only those that are there.
      const uint32_t count = std::min(length, source_length - in);
      memcpy(output + out, source + in, count);
      in += count;
      out += count;
      continue;
    }
    if (predicate(source[in])) {
      zelcups_common_write_percent_escape(lead, output + out);
      out += 3;
    } else {
      output[out++] = source[in];
    }
    ++in;
  }
  *result = output;
  return 0;
}

int32_t zelcups_common_convert_charactor_for_lpadmin_command_line(const char *source,
                                                                  uint32_t source_length,
                                                                  char **result) {
  return zelcups_common_convert_charactor_to_fall_under_into_hex_string(
      source, source_length, z_check_ng_charactor_for_lpadmin_command, result);
}

int32_t zelcups_common_convert_charactor_for_ipv6_address(const char *source,
                                                          uint32_t source_length, char **result) {
  return zelcups_common_convert_charactor_to_fall_under_into_hex_string(
      source, source_length, z_check_convert_charactor_for_ipv6_address, result);
}

int32_t zelcups_common_convert_charactor_for_usb_and_mdns_uri(const char *source,
                                                              uint32_t source_length,
                                                              char **result) {
  return zelcups_common_convert_charactor_to_fall_under_into_hex_string(
      source, source_length, z_check_convert_charactor_for_usb_and_mdns_uri, result);
}

void zelcups_common_convert_hexcode_string_in_uri(char *destination, const char *source,
                                                  int32_t source_length, char marker,
                                                  int8_t digit_count) {
  if (destination == nullptr || source == nullptr || source_length <= 0) {
    return;
  }
  // The text ends at the byte count or at a terminator inside it, whichever comes first.
  const auto *terminator =
      static_cast<const char *>(memchr(source, '\0', static_cast<size_t>(source_length)));
  const int32_t end =
      terminator != nullptr ? static_cast<int32_t>(terminator - source) : source_length;
  const int32_t digits = std::max<int32_t>(digit_count, 0);

  int32_t in = 0;
  int32_t out = 0;
  while (in < end) {
    if (source[in] != marker) {
      destination[out++] = source[in++];
      continue;
    }
    // An escape that starts inside the count is read whole, as callers that count only up
    // to a delimiter expect, but never past the string's terminator: digits missing there
    // read as the terminator, which is no digit, so such an escape gives 0x00.
    std::array<char, 128> escape{};
    for (int32_t k = 0; k < digits && source[in + 1 + k] != '\0'; ++k) {
      escape[static_cast<size_t>(k)] = source[in + 1 + k];
    }
    destination[out++] = zHexStringToBin(escape.data(), digit_count);
    in += 1 + digits;
  }
  // Each escape takes at least its marker from inside the count, so the output, with this
  // terminator, stays within the source length + 1 bytes that the caller provides.
  destination[out] = '\0';
}

int32_t zelcups_common_cfstring_to_cstring(CFStringRef string, char **result) {
  if (string == nullptr || result == nullptr) {
    return -1;
  }
  // One UTF-16 unit never needs more than 3 UTF-8 bytes; 6 leaves room for the terminator.
  const CFIndex units = std::max<CFIndex>(CFStringGetLength(string), 0);
  const size_t size = std::max<size_t>(static_cast<size_t>(units) * 6, 1);
  auto *output = static_cast<char *>(calloc(size, 1));
  if (output == nullptr) {
    return -1;
  }
  if (!CFStringGetCString(string, output, static_cast<CFIndex>(size), kCFStringEncodingUTF8)) {
    // A failed conversion gives an empty string, never a partial one.
    memset(output, 0, size);
  }
  *result = output;
  return 0;
}
