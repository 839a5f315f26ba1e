// The host's callbacks: a CbDispatcher<T> calls every registered CbHandler<T>
// with a payload of type T (CbDispatcher<CbEmptyType> is the payload-free
// form, called with no argument).
//
// Ownership: neither side owns the other. A handler registers with any number
// of dispatchers and leaves all of them when it is destroyed; a dispatcher
// that is destroyed first forgets its handlers. Registering a null handler or
// one that is already registered does nothing.
//
// Re-entrancy: a notification walks the handlers registered when it starts,
// in registration order. Before each call it checks that the handler is still
// registered, so a handler removed (or destroyed) by an earlier handler of the
// same notification is not called; a handler added during a notification is
// first called by the next one, even when it took the place (the address) of
// one destroyed during the notification: every registration carries its own
// serial number. A handler may destroy the dispatcher that is calling it: the
// notification then stops. An exception from a handler ends the notification
// and leaves the registrations as they are.
//
// Threading: none. Callbacks belong to the user-interface thread, like the
// graph whose changes they report.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <type_traits>
#include <utility>
#include <vector>

struct CbEmptyType {};

class CbDispatcherBase;

class CbHandlerBase {
 public:
  CbHandlerBase() = default;
  // A copy is a new handler, registered nowhere.
  CbHandlerBase(CbHandlerBase const&) {}
  CbHandlerBase& operator=(CbHandlerBase const&) { return *this; }
  virtual ~CbHandlerBase();

 private:
  friend class CbDispatcherBase;
  std::vector<CbDispatcherBase*> _dispatchers;
};

class CbDispatcherBase {
 public:
  CbDispatcherBase() = default;
  CbDispatcherBase(CbDispatcherBase const&) = delete;
  CbDispatcherBase& operator=(CbDispatcherBase const&) = delete;
  ~CbDispatcherBase();

  bool isRegistered(CbHandlerBase const* h) const { return find(h) != _handlers.end(); }
  std::size_t getHandlerCount() const { return _handlers.size(); }

 protected:
  // Both return whether anything changed.
  bool addBase(CbHandlerBase* h) const;
  bool removeBase(CbHandlerBase* h) const;

  // Calls `f` for each handler registered now that is still registered when
  // its turn comes.
  template <class F>
  void forEach(F&& f) const {
    std::vector<Registration> const snapshot = _handlers;
    bool destroyed = false;
    bool* const outer = _destroyed;
    _destroyed = &destroyed;
    struct Restore {
      bool& destroyed;
      bool* outer;
      CbDispatcherBase const* self;
      ~Restore() {
        if (!destroyed) self->_destroyed = outer;
        else if (outer) *outer = true;
      }
    } restore{destroyed, outer, this};
    for (Registration const& r : snapshot) {
      if (destroyed) return;
      auto it = find(r.handler);
      if (it != _handlers.end() && it->serial == r.serial) f(r.handler);
    }
  }

 private:
  friend class CbHandlerBase;
  struct Registration {
    CbHandlerBase* handler;
    unsigned long serial;
  };
  std::vector<Registration>::const_iterator find(CbHandlerBase const* h) const {
    return std::find_if(_handlers.begin(), _handlers.end(), [h](Registration const& r) { return r.handler == h; });
  }
  mutable std::vector<Registration> _handlers;
  mutable unsigned long _nextSerial = 0;
  // Set while a notification runs, so that the destructor can stop it.
  mutable bool* _destroyed = nullptr;
};

template <class T>
class CbHandler : public CbHandlerBase {
 public:
  virtual void call(T& payload) = 0;
};

template <class T>
class CbDispatcher : public CbDispatcherBase {
 public:
  // Registration is not part of the owner's observable state, so owners may
  // offer it from const operations.
  bool addHandler(CbHandler<T>* h) const { return addBase(h); }
  bool removeHandler(CbHandler<T>* h) const { return removeBase(h); }

  void call(T& payload) const {
    forEach([&](CbHandlerBase* h) { static_cast<CbHandler<T>*>(h)->call(payload); });
  }
  template <class U = T, class = std::enable_if_t<std::is_same_v<std::remove_const_t<U>, CbEmptyType>>>
  void call() const {
    T empty{};
    call(empty);
  }
};

namespace cbDetail {
template <class T, class C>
struct MethodOf {
  using type = void (C::*)(T&);
};
template <class C>
struct MethodOf<CbEmptyType, C> {
  using type = void (C::*)();
};
}  // namespace cbDetail

// Calls a member function of an object; for CbEmptyType the member takes no
// argument. The object must outlive the handler (it is usually its owner).
template <class T, class C>
class CbMethodHandler : public CbHandler<T> {
 public:
  using Method = typename cbDetail::MethodOf<T, C>::type;
  CbMethodHandler(C* object, Method method) : _object(object), _method(method) {}
  void call(T& payload) override {
    if constexpr (std::is_same_v<T, CbEmptyType>) {
      (void)payload;
      (_object->*_method)();
    } else {
      (_object->*_method)(payload);
    }
  }

 private:
  C* _object;
  Method _method;
};

template <class T>
class CbFunctionHandler : public CbHandler<T> {
 public:
  explicit CbFunctionHandler(std::function<void(T&)> f) : _f(std::move(f)) {}
  void call(T& payload) override { _f(payload); }

 private:
  std::function<void(T&)> _f;
};
