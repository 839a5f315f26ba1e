// The command stack and the guards that group edits into commands.
#include "pluginAPI/piUndo.h"

#include <algorithm>
#include <utility>

#include "base/assertions.h"
#include "pluginAPI/pxRequestMgr.h"

namespace {

// The guards open on this thread. Commands are built per stack, so one guard
// around edits of two graphs makes one command in each.
struct GuardScope {
  int depth = 0;
  int noLog = 0;
  std::string name;
  std::vector<PiCommandStack*> touched;
};
thread_local GuardScope tScope;

}  // namespace

// Holds back observer exceptions for the duration of a scope; the first one
// is rethrown by rethrow().
class PiCommandStack::Hold {
 public:
  Hold() : _outer(heldException()) { heldException() = &_held; }
  ~Hold() { heldException() = _outer; }
  void rethrow() {
    heldException() = _outer;
    if (_held) std::rethrow_exception(std::exchange(_held, nullptr));
  }

 private:
  std::exception_ptr _held;
  std::exception_ptr* _outer;
};

std::exception_ptr*& PiCommandStack::heldException() {
  thread_local std::exception_ptr* slot = nullptr;
  return slot;
}

PiCommandStack::~PiCommandStack() {
  auto& t = tScope.touched;
  t.erase(std::remove(t.begin(), t.end(), this), t.end());
}

void PiCommandStack::push(PiCommandStack* stack, std::unique_ptr<PiCommand> command, char const* editName) {
  QX_ASSERT(!PxRequestMgr::getInstance().isWorkerThreadCurrent());
  if (!stack) {
    command->redo();
    return;
  }
  QX_ASSERT(!stack->_undoRedoOngoing);
  Hold hold;
  if (tScope.noLog > 0) {
    command->redo();
  } else {
    // An edit outside any guard is a command of its own; the guard also
    // gathers whatever observers edit while this one is applied.
    PiUndoGuard guard(editName);
    PiCommand* applied = command.get();
    stack->append(command, tScope.name);
    applied->redo();
    // `command` still owns the edit when it was merged into the previous one.
  }
  hold.rethrow();
}

void PiCommandStack::append(std::unique_ptr<PiCommand>& command, std::string const& name) {
  if (!_open) {
    _open = std::make_unique<Macro>();
    _open->name = name;
    tScope.touched.push_back(this);
  }
  auto& edits = _open->edits;
  if (!edits.empty() && edits.back()->mergeWith(*command)) return;
  edits.push_back(std::move(command));
}

void PiCommandStack::closeMacro() {
  std::unique_ptr<Macro> m = std::move(_open);
  if (!m || m->edits.empty()) return;
  _commands.resize(_index);  // linear history: drop what could be redone
  if (_cleanIndex > _index) _cleanIndex = static_cast<std::size_t>(-1);
  m->serial = ++_serial;
  _commands.push_back(std::move(m));
  _index = _commands.size();
}

template <class F>
void PiCommandStack::replay(F&& f) {
  QX_ASSERT(!PxRequestMgr::getInstance().isWorkerThreadCurrent());
  QX_ASSERT(!PiUndoGuard::isOpen());
  QX_ASSERT(!_undoRedoOngoing);
  Hold hold;
  _undoRedoOngoing = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{_undoRedoOngoing};
  f();
  _undoRedoOngoing = false;
  hold.rethrow();
}

void PiCommandStack::undo() {
  QX_ASSERT(canUndo());
  replay([&] {
    Macro& m = *_commands[_index - 1];
    for (auto it = m.edits.rbegin(); it != m.edits.rend(); ++it) (*it)->undo();
    --_index;
  });
}

void PiCommandStack::redo() {
  QX_ASSERT(canRedo());
  replay([&] {
    for (auto& e : _commands[_index]->edits) e->redo();
    ++_index;
  });
}

std::string PiCommandStack::getUndoName() const { return canUndo() ? _commands[_index - 1]->name : std::string(); }
std::string PiCommandStack::getRedoName() const { return canRedo() ? _commands[_index]->name : std::string(); }

unsigned PiCommandStack::getState() const { return _index == 0 ? 0u : _commands[_index - 1]->serial; }

void PiCommandStack::clear() {
  QX_ASSERT(!_undoRedoOngoing);
  _commands.clear();
  _index = 0;
  _cleanIndex = 0;
}

PiUndoGuard::PiUndoGuard(std::string const& commandName) {
  if (tScope.depth++ == 0) tScope.name = commandName;
}

PiUndoGuard::~PiUndoGuard() {
  if (--tScope.depth > 0) return;
  std::vector<PiCommandStack*> touched = std::move(tScope.touched);
  tScope.touched.clear();
  for (PiCommandStack* s : touched) s->closeMacro();
  tScope.name.clear();
}

bool PiUndoGuard::isOpen() { return tScope.depth > 0; }

PiUndoGuardNoLog::PiUndoGuardNoLog() { ++tScope.noLog; }
PiUndoGuardNoLog::~PiUndoGuardNoLog() { --tScope.noLog; }
bool PiUndoGuardNoLog::isActive() { return tScope.noLog > 0; }
