// The host clipboard: one content at a time, a carrier of a selection of
// items (any SnItem: nodes, shape snapshots), with the action that put it
// there.
//
// A carrier holds its own copy of the selection it was made from, so
// changing that selection afterwards does not change the clipboard; the
// items themselves are shared and should be immutable snapshots.
//
// Module safety: the content may hold objects whose code a tool module
// supplies, so the clipboard empties itself when any module is unloaded,
// before the module's library is closed.
//
// Threading: the clipboard is a process-wide singleton in this shared
// library, guarded by a mutex; change listeners are called on the thread
// that changed it, outside the lock.
#pragma once

#include <mutex>

#include "base/cbDispatcher.h"
#include "base/rcPtr.h"
#include "framework/snSelection.h"

class InModule;

enum class DrAction {
  Copy,  // paste leaves the origin as it is
  Cut,   // the origin has been taken out; paste moves it
};

class DrCarrier {
 public:
  explicit DrCarrier(SnSelection selection) : _selection(makeRC<SnSelection>(std::move(selection))) {}
  // A carrier of a copy of `selection` (an empty selection when null).
  static RCShdPtr<DrCarrier> create(RCShdPtr<const SnSelection> const& selection);
  static RCShdPtr<DrCarrier> create(SnSelection const& selection) { return makeRC<DrCarrier>(selection); }

  RCShdPtr<const SnSelection> getSelection() const { return _selection; }

 private:
  RCShdPtr<const SnSelection> _selection;
};

class DrClipboard {
 public:
  static DrClipboard& getInstance();

  // A null carrier empties the clipboard.
  void setContent(RCShdPtr<DrCarrier> const& carrier, DrAction action);
  // Null when empty.
  RCShdPtr<DrCarrier> getContent() const;
  // The action of the current content (Copy when empty).
  DrAction getAction() const;
  bool isEmpty() const { return getContent().isNull(); }
  void clear() { setContent(RCShdPtr<DrCarrier>(), DrAction::Copy); }

  bool addChangeCallback(CbHandler<CbEmptyType>* handler) const { return _changed.addHandler(handler); }
  bool removeChangeCallback(CbHandler<CbEmptyType>* handler) const { return _changed.removeHandler(handler); }

 private:
  DrClipboard();
  void moduleUnloading(InModule const& module);

  mutable std::mutex _mutex;
  RCShdPtr<DrCarrier> _content;
  DrAction _action = DrAction::Copy;
  CbDispatcher<CbEmptyType> _changed;
  CbMethodHandler<InModule const, DrClipboard> _unloadHandler;
};
