/* What every fuzz target needs: a property check that aborts, and exact-size copies. */
#ifndef ZELCUPS_FUZZ_SUPPORT_H
#define ZELCUPS_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      fprintf(stderr, "%s:%d: property violated: %s\n", __FILE__, __LINE__, #condition); \
      abort();                                                                           \
    }                                                                                    \
  } while (0)

/* A heap copy of exactly `size` bytes plus `spare` bytes; the sanitizer flags any access
   beyond them. */
inline std::unique_ptr<char[]> fuzz_copy(const uint8_t *data, size_t size, size_t spare = 0) {
  auto copy = std::make_unique<char[]>(size + spare);
  if (size != 0) {
    memcpy(copy.get(), data, size);
  }
  return copy;
}

/* Lead bytes followed by as many continuation bytes as they announce (1 to 4 bytes in
   all), and no NUL: every valid UTF-8 text without NUL passes. */
inline bool fuzz_is_utf8_without_nul(const char *text, size_t size) {
  const auto *bytes = reinterpret_cast<const uint8_t *>(text);
  for (size_t i = 0; i < size;) {
    const uint8_t lead = bytes[i];
    size_t length = 0;
    if (lead == 0) {
      return false;
    } else if (lead < 0x80) {
      length = 1;
    } else if (lead >= 0xC0 && lead < 0xE0) {
      length = 2;
    } else if (lead >= 0xE0 && lead < 0xF0) {
      length = 3;
    } else if (lead >= 0xF0 && lead < 0xF8) {
      length = 4;
    } else {
      return false;
    }
    if (length > size - i) {
      return false;
    }
    for (size_t k = 1; k < length; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) {
        return false;
      }
    }
    i += length;
  }
  return true;
}

#endif
