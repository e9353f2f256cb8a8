// RAII holders, one per kind of handle the project touches: CF objects, stdio streams,
// malloc()ed memory, dlopen handles, address lists, and (where their libraries' headers
// are present) libcups connections and messages and libplist nodes.
//
// The libcups and libplist holders are compiled only when their headers can be found, so
// that code which never touches those libraries (compat itself, the CommonLib stand-in)
// includes this header without needing them. Their deleters are inline: a user links the
// library it uses anyway, and everyone else pays nothing.
#ifndef COMPAT_ZELCUPS_SCOPED_H
#define COMPAT_ZELCUPS_SCOPED_H

#include <CoreFoundation/CoreFoundation.h>
#include <zelcups/quit_request.h>
#include <dlfcn.h>
#include <netdb.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

#if __has_include(<cups/cups.h>)
#include <cups/cups.h>
#define ZELCUPS_SCOPED_HAVE_CUPS 1
#endif
#if __has_include(<plist/plist.h>)
#include <plist/plist.h>
#define ZELCUPS_SCOPED_HAVE_PLIST 1
#endif

namespace zelcups {

// A CF object: released on scope exit. Construct it from a Create/Copy result (the
// reference is taken over), or use Retain() to keep a borrowed object.
template <typename T>
class ScopedCFTypeRef {
 public:
  ScopedCFTypeRef() = default;
  explicit ScopedCFTypeRef(T object) : object_(object) {}
  ~ScopedCFTypeRef() { reset(); }
  ScopedCFTypeRef(const ScopedCFTypeRef &) = delete;
  ScopedCFTypeRef &operator=(const ScopedCFTypeRef &) = delete;
  ScopedCFTypeRef(ScopedCFTypeRef &&other) noexcept : object_(other.release()) {}
  ScopedCFTypeRef &operator=(ScopedCFTypeRef &&other) noexcept {
    reset(other.release());
    return *this;
  }

  static ScopedCFTypeRef Retain(T object) {
    if (object != nullptr) {
      CFRetain(object);
    }
    return ScopedCFTypeRef(object);
  }

  T get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // For out-parameters of Create/Copy calls: releases what is held first.
  T *InitializeInto() {
    reset();
    return &object_;
  }
  void reset(T object = nullptr) {
    if (object_ != nullptr) {
      CFRelease(object_);
    }
    object_ = object;
  }
  T release() { return std::exchange(object_, nullptr); }

 private:
  T object_ = nullptr;
};

// The holders below are std::unique_ptr with a deleter that calls the handle's own
// release function; unique_ptr never calls a deleter for null.
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

// A call into code that cannot be asked to stop, for as long as the holder lives (see
// QuitRequest_EnterUnstoppableCode).
class UnstoppableCode {
 public:
  UnstoppableCode() { QuitRequest_EnterUnstoppableCode(); }
  ~UnstoppableCode() { QuitRequest_LeaveUnstoppableCode(); }
  UnstoppableCode(const UnstoppableCode &) = delete;
  UnstoppableCode &operator=(const UnstoppableCode &) = delete;
};

#ifdef ZELCUPS_SCOPED_HAVE_CUPS
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
#endif

#ifdef ZELCUPS_SCOPED_HAVE_PLIST
struct PlistFree {
  void operator()(void *node) const noexcept { plist_free(static_cast<plist_t>(node)); }
};
// A property-list node (plist_t is a pointer to void): freed with its children.
using ScopedPlist = std::unique_ptr<void, PlistFree>;
#endif

}  // namespace zelcups

#endif
