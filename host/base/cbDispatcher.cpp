// Registration bookkeeping shared by every callback type.
#include "base/cbDispatcher.h"

CbHandlerBase::~CbHandlerBase() {
  for (CbDispatcherBase* d : _dispatchers) d->_handlers.erase(d->find(this));
}

CbDispatcherBase::~CbDispatcherBase() {
  if (_destroyed) *_destroyed = true;
  for (Registration const& r : _handlers) {
    auto& ds = r.handler->_dispatchers;
    ds.erase(std::find(ds.begin(), ds.end(), this));
  }
}

bool CbDispatcherBase::addBase(CbHandlerBase* h) const {
  if (!h || isRegistered(h)) return false;
  _handlers.push_back({h, ++_nextSerial});
  h->_dispatchers.push_back(const_cast<CbDispatcherBase*>(this));
  return true;
}

bool CbDispatcherBase::removeBase(CbHandlerBase* h) const {
  auto it = find(h);
  if (it == _handlers.end()) return false;
  _handlers.erase(it);
  auto& ds = h->_dispatchers;
  ds.erase(std::find(ds.begin(), ds.end(), this));
  return true;
}
