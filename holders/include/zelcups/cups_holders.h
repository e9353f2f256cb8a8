// RAII holders for libcups handles; their users link libcups anyway.
#ifndef ZELCUPS_CUPS_HOLDERS_H
#define ZELCUPS_CUPS_HOLDERS_H

#include <cups/cups.h>

#include <memory>

namespace zelcups {

struct HTTPClose {
  void operator()(http_t *connection) const noexcept { httpClose(connection); }
};
struct IPPDelete {
  void operator()(ipp_t *message) const noexcept { ippDelete(message); }
};

// A scheduler connection: closed on scope exit.
using ScopedHTTP = std::unique_ptr<http_t, HTTPClose>;
// An IPP message: deleted on scope exit.
using ScopedIPP = std::unique_ptr<ipp_t, IPPDelete>;

}  // namespace zelcups

#endif
