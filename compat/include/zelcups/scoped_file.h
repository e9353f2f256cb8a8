// RAII holder for a stdio stream: closed on scope exit.
#ifndef COMPAT_ZELCUPS_SCOPED_FILE_H
#define COMPAT_ZELCUPS_SCOPED_FILE_H

#include <cstdio>
#include <memory>

namespace zelcups {

struct FileCloser {
  void operator()(FILE *file) const { fclose(file); }
};
using ScopedFILE = std::unique_ptr<FILE, FileCloser>;

}  // namespace zelcups

#endif
