// The host's polymorphic iterator: Iterator<T> walks a sequence of T through
// first(), next(), atEnd() and item(), whatever holds the sequence.
//
// An Iterator is a value: copies walk independently (the implementation is
// cloned), and it starts on the first item. Services that hand out a
// sequence of objects they may change later (shapes of an editor, nodes of a
// group) give an iterator over a snapshot (Iterator<T>::over), so that
// editing the owner while walking never invalidates the walk.
//
// Failures: item() at the end is an invariant failure ("!atEnd()"). A
// default-constructed iterator is an empty sequence.
//
// Threading: an iterator belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

#include "base/assertions.h"

template <class T>
class IteratorImpl {
 public:
  virtual ~IteratorImpl() = default;
  virtual void first() = 0;
  virtual void next() = 0;
  virtual bool atEnd() const = 0;
  virtual T const& item() const = 0;
  // Number of items in the sequence.
  virtual std::size_t getCardinality() const = 0;
  virtual std::unique_ptr<IteratorImpl> clone() const = 0;
};

template <class T>
class Iterator {
 public:
  Iterator() = default;
  explicit Iterator(std::unique_ptr<IteratorImpl<T>> impl) : _impl(std::move(impl)) {
    if (_impl) _impl->first();
  }
  Iterator(Iterator const& o) : _impl(o._impl ? o._impl->clone() : nullptr) {}
  Iterator(Iterator&&) noexcept = default;
  Iterator& operator=(Iterator const& o) {
    if (this != &o) _impl = o._impl ? o._impl->clone() : nullptr;
    return *this;
  }
  Iterator& operator=(Iterator&&) noexcept = default;

  // An iterator over a snapshot of `items` (copies share the snapshot).
  static Iterator over(std::vector<T> items);

  void first() {
    if (_impl) _impl->first();
  }
  void next() {
    if (_impl && !_impl->atEnd()) _impl->next();
  }
  bool atEnd() const { return !_impl || _impl->atEnd(); }
  T const& item() const {
    QX_ASSERT(!atEnd());
    return _impl->item();
  }
  std::size_t getCardinality() const { return _impl ? _impl->getCardinality() : 0; }

 private:
  std::unique_ptr<IteratorImpl<T>> _impl;
};

template <class T>
class VectorIteratorImpl final : public IteratorImpl<T> {
 public:
  explicit VectorIteratorImpl(std::shared_ptr<std::vector<T> const> items) : _items(std::move(items)) {}
  void first() override { _index = 0; }
  void next() override { ++_index; }
  bool atEnd() const override { return _index >= _items->size(); }
  T const& item() const override { return (*_items)[_index]; }
  std::size_t getCardinality() const override { return _items->size(); }
  std::unique_ptr<IteratorImpl<T>> clone() const override { return std::make_unique<VectorIteratorImpl>(*this); }

 private:
  std::shared_ptr<std::vector<T> const> _items;
  std::size_t _index = 0;
};

template <class T>
Iterator<T> Iterator<T>::over(std::vector<T> items) {
  return Iterator(std::make_unique<VectorIteratorImpl<T>>(std::make_shared<std::vector<T> const>(std::move(items))));
}
