// The RAII holders of this library's own handles: CF objects, and a stretch of code that
// cannot be asked to stop. Holders for other libraries' handles live in the zelcups_holders
// target (<zelcups/holders.h>).
#ifndef COMPAT_ZELCUPS_SCOPED_H
#define COMPAT_ZELCUPS_SCOPED_H

#include <CoreFoundation/CoreFoundation.h>
#include <zelcups/quit_request.h>

#include <utility>

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

// A call into code that cannot be asked to stop, for as long as the holder lives (see
// QuitRequest_EnterUnstoppableCode).
class UnstoppableCode {
 public:
  UnstoppableCode() { QuitRequest_EnterUnstoppableCode(); }
  ~UnstoppableCode() { QuitRequest_LeaveUnstoppableCode(); }
  UnstoppableCode(const UnstoppableCode &) = delete;
  UnstoppableCode &operator=(const UnstoppableCode &) = delete;
};

}  // namespace zelcups

#endif
