#pragma once
// Ownership of CoreFoundation references in the type: a CFRef releases what it holds exactly
// once, whatever path its owner takes out of a routine.

#include <CoreFoundation/CoreFoundation.h>

#include <memory>
#include <utility>

namespace platform::darwin {

// T is a CF reference type (CFStringRef, SecCodeRef, ...). Thread-compatible, like the reference.
template <typename T>
class CFRef {
 public:
  CFRef() = default;
  // Takes over a reference from a Create or Copy call (or an owned out-parameter).
  static CFRef adopt(T ref) {
    CFRef owned;
    owned.ref_ = ref;
    return owned;
  }
  // Keeps a reference from a Get call alive while it is used.
  static CFRef retain(T ref) {
    if (ref) CFRetain(ref);
    return adopt(ref);
  }

  CFRef(CFRef&& other) noexcept : ref_(other.release()) {}
  CFRef& operator=(CFRef&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  CFRef(const CFRef&) = delete;
  CFRef& operator=(const CFRef&) = delete;
  ~CFRef() { reset(); }

  T get() const { return ref_; }
  explicit operator bool() const { return ref_ != nullptr; }
  // Hands the reference to a new owner (a bridging transfer, a shared owner).
  [[nodiscard]] T release() { return std::exchange(ref_, nullptr); }
  void reset(T ref = nullptr) {
    if (ref_) CFRelease(ref_);
    ref_ = ref;
  }
  // For a Create/Copy call's out-parameter: releases what is held, then lends the slot.
  T* out() {
    reset();
    return &ref_;
  }

 private:
  T ref_ = nullptr;
};

// A shared owner of the reference, for the platform fields typed std::shared_ptr<void>
// (FileUrl::native, FileSecurity::native): the last copy releases it.
template <typename T>
std::shared_ptr<void> share(CFRef<T> ref) {
  if (!ref) return nullptr;
  return std::shared_ptr<void>(const_cast<void*>(static_cast<const void*>(ref.release())),
                               [](void* held) { CFRelease(static_cast<CFTypeRef>(held)); });
}

// The reference a shared owner holds, borrowed for as long as that owner lives.
template <typename T>
T borrow(const std::shared_ptr<void>& shared) {
  return static_cast<T>(shared.get());
}

}  // namespace platform::darwin
