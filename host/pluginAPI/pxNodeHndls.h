// Handles of processing nodes: shared owners of immutable nodes.
//
//   PxNodePtr<T>     passes nodes around while a graph is built: create()
//                    makes a node, upcasts are implicit, cast<U>() converts
//                    to another node class or protocol.
//   PxStrongHndl<T>  is how a node holds one of its inputs. It converts from
//                    any handle, checking the node's protocol, so a node's
//                    constructor can take generic handles and keep typed ones.
//
// Threading: nodes are built and released on the main thread only. Every
// operation that makes a handle take or give up a node (construction from a
// node, copy, move, assignment, reset, destruction) fails the assertion
// "!PxRequestMgr::getInstance().isWorkerThreadCurrent()" on a worker thread,
// so the last owner of a node can never let it go in the middle of a request.
// Requests use the nodes through references (operator-> and get()), which
// is allowed on every thread. A handle destroyed on a worker fails the same
// assertion inside its destructor, which cannot throw, so the program ends
// there with the failure reported: a node released on a worker is a broken
// graph.
//
// Failures: using a null handle (operator->, operator*) raises
// NullPointerException; converting a node to a protocol it does not
// implement raises CastException. A null handle converts to a null handle.
#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>
#include <utility>

#include "base/assertions.h"
#include "base/exceptions.h"
#include "pluginAPI/pxNode.h"
#include "pluginAPI/pxRequestMgr.h"

inline void pxCheckNodeHandleThread() { QX_ASSERT(!PxRequestMgr::getInstance().isWorkerThreadCurrent()); }

// The node of `from` as a T: a plain conversion for upcasts, a checked
// dynamic cast otherwise.
template <class T, class U>
std::shared_ptr<T> pxCastNode(std::shared_ptr<U> const& from) {
  if constexpr (std::is_convertible_v<U*, T*>) {
    return from;
  } else {
    if (!from) return nullptr;
    std::shared_ptr<T> to = std::dynamic_pointer_cast<T>(from);
    if (!to) throw CastException(qxTypeName(typeid(*from)), qxTypeName(typeid(T)));
    return to;
  }
}

// What both handles share: ownership and the thread rule.
template <class T>
class PxNodeHandle {
 public:
  T* get() const noexcept { return _node.get(); }
  bool isNull() const noexcept { return _node == nullptr; }
  explicit operator bool() const noexcept { return _node != nullptr; }
  T* operator->() const { return &checked(); }
  T& operator*() const { return checked(); }
  std::shared_ptr<T> const& getShared() const noexcept { return _node; }

  void reset() {
    if (_node) pxCheckNodeHandleThread();
    _node.reset();
  }

  template <class U>
  bool operator==(PxNodeHandle<U> const& o) const noexcept { return _node == o.getShared(); }
  bool operator==(std::nullptr_t) const noexcept { return _node == nullptr; }

 protected:
  PxNodeHandle() noexcept = default;
  explicit PxNodeHandle(std::shared_ptr<T> node) : _node(std::move(node)) {
    if (_node) pxCheckNodeHandleThread();
  }
  PxNodeHandle(PxNodeHandle const& o) : _node(o._node) {
    if (_node) pxCheckNodeHandleThread();
  }
  PxNodeHandle(PxNodeHandle&& o) {
    if (o._node) pxCheckNodeHandleThread();
    _node = std::move(o._node);
  }
  PxNodeHandle& operator=(PxNodeHandle const& o) {
    if (_node || o._node) pxCheckNodeHandleThread();
    _node = o._node;
    return *this;
  }
  PxNodeHandle& operator=(PxNodeHandle&& o) {
    if (_node || o._node) pxCheckNodeHandleThread();
    _node = std::move(o._node);
    return *this;
  }
  ~PxNodeHandle() {
    if (_node) pxCheckNodeHandleThread();
  }

 private:
  T& checked() const {
    if (!_node) throw NullPointerException(qxTypeName(typeid(T)));
    return *_node;
  }

  std::shared_ptr<T> _node;
};

template <class T>
class PxNodePtr : public PxNodeHandle<T> {
 public:
  PxNodePtr() noexcept = default;
  PxNodePtr(std::nullptr_t) noexcept {}
  explicit PxNodePtr(std::shared_ptr<T> node) : PxNodeHandle<T>(std::move(node)) {}
  template <class U>
    requires std::is_convertible_v<U*, T*>
  PxNodePtr(PxNodeHandle<U> const& o) : PxNodeHandle<T>(std::shared_ptr<T>(o.getShared())) {}
  PxNodePtr(PxNodePtr const&) = default;
  PxNodePtr(PxNodePtr&&) = default;
  PxNodePtr& operator=(PxNodePtr const&) = default;
  PxNodePtr& operator=(PxNodePtr&&) = default;

  template <class... Args>
  static PxNodePtr create(Args&&... args) {
    return PxNodePtr(std::make_shared<T>(std::forward<Args>(args)...));
  }

  // The same node as a U; CastException when it is not one.
  template <class U>
  PxNodePtr<U> cast() const {
    return PxNodePtr<U>(pxCastNode<U>(this->getShared()));
  }
};

template <class T>
class PxStrongHndl : public PxNodeHandle<T> {
 public:
  PxStrongHndl() noexcept = default;
  PxStrongHndl(std::nullptr_t) noexcept {}
  // From any handle; CastException when its node is not a T.
  template <class U>
  PxStrongHndl(PxNodeHandle<U> const& o) : PxNodeHandle<T>(pxCastNode<T>(o.getShared())) {}
  PxStrongHndl(PxStrongHndl const&) = default;
  PxStrongHndl(PxStrongHndl&&) = default;
  PxStrongHndl& operator=(PxStrongHndl const&) = default;
  PxStrongHndl& operator=(PxStrongHndl&&) = default;
};
