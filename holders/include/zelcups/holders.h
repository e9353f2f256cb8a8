// RAII holders for the C library's handles: stdio streams, malloc()ed memory, dlopen
// handles, address lists and file descriptors. Each is a std::unique_ptr with a deleter that calls
// the handle's own release function; unique_ptr never calls a deleter for null.
#ifndef ZELCUPS_HOLDERS_H
#define ZELCUPS_HOLDERS_H

#include <dlfcn.h>
#include <netdb.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace zelcups {

struct FileCloser {
  void operator()(FILE *file) const noexcept { fclose(file); }
};
struct MallocFree {
  void operator()(void *memory) const noexcept { free(memory); }
};
struct DlopenClose {
  void operator()(void *handle) const noexcept { dlclose(handle); }
};
struct AddrinfoFree {
  void operator()(addrinfo *list) const noexcept { freeaddrinfo(list); }
};

// A stdio stream: closed on scope exit.
using ScopedFILE = std::unique_ptr<FILE, FileCloser>;

// Memory from malloc, calloc, strdup and the like: freed on scope exit.
template <typename T>
using ScopedMalloc = std::unique_ptr<T, MallocFree>;

// A handle from dlopen: closed on scope exit.
using ScopedDlopen = std::unique_ptr<void, DlopenClose>;

// A list from getaddrinfo: freed on scope exit.
using ScopedAddrinfo = std::unique_ptr<addrinfo, AddrinfoFree>;

// A file descriptor: closed on scope exit, or when another takes its place.
class ScopedFd {
 public:
  ScopedFd() = default;
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() { reset(); }
  ScopedFd(const ScopedFd &) = delete;
  ScopedFd &operator=(const ScopedFd &) = delete;
  int get() const { return fd_; }
  // Hands the descriptor over to the caller, who closes it from now on.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) {
      close(fd_);
    }
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace zelcups

#endif
