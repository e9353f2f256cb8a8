/*
 * PPD keyword reader: tells whether a PPD file belongs to our driver family by its header
 * keywords, and collects the main keywords that stand outside the option groups.
 *
 * The reader knows only the line syntax it needs: one main keyword per line behind one
 * leading character, an optional option word, a colon and a value that may be quoted.
 */
#include "zelcups_common.h"
#include "zelcups/holders.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// A longer line arrives in pieces of kLineSize - 1 bytes, each read as a line of its own.
constexpr int kLineSize = 512;
// Keys and values are cut at kKeyValueSize - 1 bytes.
constexpr int32_t kKeyValueSize = 256;

constexpr int32_t kNotSeen = 0;
constexpr int32_t kMatched = 1;
constexpr int32_t kMismatched = -1;

struct HeaderCheck {
  const char *keyword;
  const char *expected;
  int32_t state;
};

bool StartsWith(const char *text, const char *prefix) {
  return strncmp(text, prefix, strlen(prefix)) == 0;
}

bool EndsKey(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '"' || c == ':';
}

bool EndsValue(char c) {
  return c == '\t' || c == '\r' || c == '\n' || c == '"';
}

const char *SkipRun(const char *p, const char *set) {
  while (*p != '\0' && strchr(set, *p) != nullptr) {
    ++p;
  }
  return p;
}

// Splits the text behind a line's first character into its main keyword and its value;
// an option word and its translation stay at the front of the value. Returns the value's
// length plus 1.
int32_t zget_key_value(const char *line, char *key, char *value, int32_t capacity) {
  if (line == nullptr || key == nullptr || value == nullptr || capacity < 1) {
    return 0;
  }
  memset(key, 0, static_cast<size_t>(capacity));
  memset(value, 0, static_cast<size_t>(capacity));
  const int32_t limit = capacity - 1;

  const char *p = line;
  int32_t key_length = 0;
  while (*p != '\0' && !EndsKey(*p) && key_length < limit) {
    key[key_length++] = *p++;
  }
  if (*p == '\0') {
    return 1;
  }
  // The byte that ended the key goes, whatever it is; after a cut that is a byte of the key.
  ++p;
  p = SkipRun(p, " \t");
  p = SkipRun(p, ":");
  p = SkipRun(p, " \t");
  p = SkipRun(p, "\"");

  int32_t value_length = 0;
  while (*p != '\0' && !EndsValue(*p) && value_length < limit) {
    value[value_length++] = *p++;
  }
  return value_length + 1;
}

// 0 when the line is not about the keyword, 1 when its value begins with the expected
// text, -1 when it does not. Only the keyword's length is compared, so a longer keyword
// that begins with it counts as the same.
int32_t zPPDValueCheck(const char *line, const char *keyword, const char *expected) {
  if (line == nullptr) {
    return kNotSeen;
  }
  if (expected == nullptr) {
    return kMatched;
  }
  if (keyword == nullptr || !StartsWith(line, keyword)) {
    return kNotSeen;
  }
  std::array<char, kKeyValueSize> key{};
  std::array<char, kKeyValueSize> value{};
  zget_key_value(line, key.data(), value.data(), kKeyValueSize);
  return StartsWith(value.data(), expected) ? kMatched : kMismatched;
}

bool AllMatched(const std::array<HeaderCheck, 3> &checks) {
  for (const HeaderCheck &check : checks) {
    if (check.state != kMatched) {
      return false;
    }
  }
  return true;
}

// Runs the header checks still unseen on one line, in order, up to the first that
// decides. Returns false when a header keyword carries the wrong value.
bool CheckHeaderLine(std::array<HeaderCheck, 3> &checks, const char *line) {
  for (HeaderCheck &check : checks) {
    if (check.state != kNotSeen) {
      continue;
    }
    check.state = zPPDValueCheck(line, check.keyword, check.expected);
    if (check.state == kMismatched) {
      return false;
    }
    if (check.state == kMatched) {
      break;
    }
  }
  return true;
}

// The next line that may carry a keyword, from behind its first character; null at the
// end of the file or on a read error. Comment lines (asterisk and percent sign) and lines
// that hold nothing but a line end behind their first character carry no keyword.
const char *NextKeywordLine(FILE *file, std::array<char, kLineSize> &buffer) {
  for (;;) {
    buffer.fill('\0');
    if (fgets(buffer.data(), kLineSize, file) == nullptr) {
      return nullptr;
    }
    const auto second = static_cast<unsigned char>(buffer[1]);
    if (second != '%' && second >= 0x20 && second < 0x80) {
      return buffer.data() + 1;
    }
  }
}

// Reads until the header is settled: every check matched (at once, when none is asked
// for) on some line with a keyword. False when a header keyword carries the wrong value
// or the file ends first.
bool SettleHeader(FILE *file, std::array<HeaderCheck, 3> &checks) {
  std::array<char, kLineSize> buffer{};
  while (const char *line = NextKeywordLine(file, buffer)) {
    if (!CheckHeaderLine(checks, line)) {
      return false;
    }
    if (AllMatched(checks)) {
      return true;
    }
  }
  return false;
}

// Counts, from where the file stands, the pairs outside the OpenUI/CloseUI groups whose
// keyword begins with the request's prefix, copying them into its options when it has
// any. False when they do not fit there or cannot be counted.
bool CollectPairs(FILE *file, const PpdOptionRequest &request, int32_t *pair_count) {
  const int32_t capacity = request.option_count != nullptr ? *request.option_count : 0;
  bool in_option_group = false;
  std::array<char, kLineSize> buffer{};
  while (const char *line = NextKeywordLine(file, buffer)) {
    if (request.option_count == nullptr) {
      continue;
    }
    if (strncmp(line, "OpenUI", 6) == 0) {
      in_option_group = true;
      continue;
    }
    if (in_option_group) {
      if (strncmp(line, "CloseUI", 7) == 0) {
        in_option_group = false;
      }
      continue;
    }
    if (request.key_prefix != nullptr && !StartsWith(line, request.key_prefix)) {
      continue;
    }
    std::array<char, kKeyValueSize> key{};
    std::array<char, kKeyValueSize> value{};
    zget_key_value(line, key.data(), value.data(), kKeyValueSize);
    if (request.options != nullptr) {
      if (*pair_count >= capacity) {
        return false;
      }
      request.options[*pair_count].key = strdup(key.data());
      request.options[*pair_count].value = strdup(value.data());
    }
    if (*pair_count == INT32_MAX) {
      return false;
    }
    ++*pair_count;
  }
  return true;
}

}  // namespace

bool zelcups_common_check_pdl_type_by_ppd_file(const char *ppd_path, const char *pdl_type) {
  PpdOptionRequest request{};
  request.ppd_path = ppd_path;
  request.check_header = true;
  request.pc_file_name = "XVTD";
  request.manufacturer = "Arvex";
  request.pdl_type = pdl_type;
  return zelcups_common_check_and_get_ppd_option_list(request);
}

bool zelcups_common_check_and_get_ppd_option_list(PpdOptionRequest request) {
  if (request.ppd_path == nullptr) {
    return false;
  }
  zelcups::ScopedFILE file(fopen(request.ppd_path, "r"));
  if (!file) {
    return false;
  }
  std::array<HeaderCheck, 3> checks{{
      {"PCFileName", request.pc_file_name, kNotSeen},
      {"Manufacturer", request.manufacturer, kNotSeen},
      {"XVPDLType", request.pdl_type, kNotSeen},
  }};
  for (HeaderCheck &check : checks) {
    check.state = (!request.check_header || check.expected == nullptr) ? kMatched : kNotSeen;
  }
  int32_t pair_count = 0;
  if (SettleHeader(file.get(), checks)) {
    // The header is settled: collect from the top, the line that settled it included.
    rewind(file.get());
    if (!CollectPairs(file.get(), request, &pair_count)) {
      return false;
    }
  }
  // A read error (a directory opens fine on Linux, but cannot be read) is no end of file:
  // a file we could not read has not been shown to belong to the family or to hold no pairs.
  if (ferror(file.get()) != 0 || !AllMatched(checks)) {
    return false;
  }
  if (request.option_count != nullptr) {
    *request.option_count = pair_count;
  }
  return true;
}
