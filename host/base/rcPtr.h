// The host's reference-counted ownership types and the two failures that
// go with them.
//
// RCShdPtr<T> shares ownership of an object, RCWeakPtr<T> observes one
// without keeping it alive, RCStrongPtr<T> is a shared pointer that a
// caller holds for the duration of a use (same semantics as RCShdPtr here).
// They sit on the standard shared pointer, so objects need no intrusive
// count; RCBase<LkCounter<int>> remains as the common base that host
// interfaces name for reference-counted payloads.
//
// Using a null pointer where an object must exist (operator->, operator*)
// raises NullPointerException; a checked cast to the wrong class raises
// CastException. Both are ordinary exceptions, not assertion failures: they
// report a caller's mistake at a host boundary, not a broken invariant.
//
// Threading: the count is atomic, as the standard pointer's is; a single
// pointer object is not to be written by two threads at once.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <utility>

#include "base/exceptions.h"

template <class T>
class RCWeakPtr;

template <class T>
class RCShdPtr {
 public:
  using element_type = T;

  RCShdPtr() noexcept = default;
  RCShdPtr(std::nullptr_t) noexcept {}
  // Takes ownership of a freshly allocated object.
  explicit RCShdPtr(T* p) : _p(p) {}
  RCShdPtr(std::shared_ptr<T> p) noexcept : _p(std::move(p)) {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  RCShdPtr(RCShdPtr<U> const& o) noexcept : _p(o.shared()) {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  RCShdPtr(std::shared_ptr<U> o) noexcept : _p(std::move(o)) {}

  bool isNull() const noexcept { return !_p; }
  explicit operator bool() const noexcept { return static_cast<bool>(_p); }
  T* get() const noexcept { return _p.get(); }
  T* operator->() const { return &checked(); }
  T& operator*() const { return checked(); }
  void reset() noexcept { _p.reset(); }
  long useCount() const noexcept { return _p.use_count(); }
  std::shared_ptr<T> const& shared() const noexcept { return _p; }

  template <class U>
  bool operator==(RCShdPtr<U> const& o) const noexcept {
    return _p.get() == o.get();
  }
  bool operator==(std::nullptr_t) const noexcept { return !_p; }
  template <class U>
  bool operator<(RCShdPtr<U> const& o) const noexcept {
    return std::less<void const*>()(_p.get(), o.get());
  }

 private:
  T& checked() const {
    if (!_p) throw NullPointerException(qxTypeName(typeid(T)));
    return *_p;
  }
  std::shared_ptr<T> _p;
};

template <class T>
using RCStrongPtr = RCShdPtr<T>;

template <class T>
class RCWeakPtr {
 public:
  RCWeakPtr() noexcept = default;
  template <class U>
  RCWeakPtr(RCShdPtr<U> const& p) noexcept : _p(p.shared()) {}
  RCShdPtr<T> lock() const noexcept { return RCShdPtr<T>(_p.lock()); }
  bool expired() const noexcept { return _p.expired(); }
  bool isNull() const noexcept { return _p.expired(); }
  void reset() noexcept { _p.reset(); }

 private:
  std::weak_ptr<T> _p;
};

template <class T, class... A>
RCShdPtr<T> makeRC(A&&... a) {
  return RCShdPtr<T>(std::make_shared<T>(std::forward<A>(a)...));
}

// Null when the object is not a U.
template <class U, class T>
RCShdPtr<U> rcDynamicCast(RCShdPtr<T> const& p) noexcept {
  return RCShdPtr<U>(std::dynamic_pointer_cast<U>(p.shared()));
}

// Raises CastException when a non-null object is not a U; null stays null.
template <class U, class T>
RCShdPtr<U> rcCheckedCast(RCShdPtr<T> const& p) {
  if (p.isNull()) return RCShdPtr<U>();
  RCShdPtr<U> r = rcDynamicCast<U>(p);
  if (r.isNull()) throw CastException(qxTypeName(typeid(*p.get())), qxTypeName(typeid(U)));
  return r;
}

template <class U, class T>
RCShdPtr<U> rcConstCast(RCShdPtr<T> const& p) noexcept {
  return RCShdPtr<U>(std::const_pointer_cast<U>(p.shared()));
}

// Counter policy tag of the host's reference-counted base.
template <class Int>
struct LkCounter {};

// Common base of reference-counted payloads (clipboard objects, per-viewer
// instance data). Virtual destructor so a payload is released through the
// base.
template <class Counter>
class RCBase : public std::enable_shared_from_this<RCBase<Counter>> {
 public:
  virtual ~RCBase() = default;
};
