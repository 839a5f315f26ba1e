// The host clipboard.
#include "framework/drClipboard.h"

#include <utility>

#include "base/inModuleLoader.h"

RCShdPtr<DrCarrier> DrCarrier::create(RCShdPtr<const SnSelection> const& selection) {
  return makeRC<DrCarrier>(selection.isNull() ? SnSelection() : *selection);
}

DrClipboard::DrClipboard() : _unloadHandler(this, &DrClipboard::moduleUnloading) {
  InModuleLoader::getInstance().addUnloadCallback(&_unloadHandler);
}

DrClipboard& DrClipboard::getInstance() {
  static DrClipboard instance;
  return instance;
}

void DrClipboard::setContent(RCShdPtr<DrCarrier> const& carrier, DrAction action) {
  RCShdPtr<DrCarrier> previous;  // released outside the lock
  {
    std::lock_guard<std::mutex> lock(_mutex);
    if (carrier == _content && action == _action) return;
    previous = std::exchange(_content, carrier);
    _action = carrier.isNull() ? DrAction::Copy : action;
  }
  _changed.call();
}

RCShdPtr<DrCarrier> DrClipboard::getContent() const {
  std::lock_guard<std::mutex> lock(_mutex);
  return _content;
}

DrAction DrClipboard::getAction() const {
  std::lock_guard<std::mutex> lock(_mutex);
  return _action;
}

void DrClipboard::moduleUnloading(InModule const& module) {
  (void)module;
  clear();
}
