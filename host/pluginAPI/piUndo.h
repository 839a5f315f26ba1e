// Undo and redo: every edit of a graph is a small command that knows how to
// undo and redo itself; the edits made while a PiUndoGuard is open form one
// named command of the graph's PiCommandStack.
//
// Recording. An edit pushes its command onto the stack of the graph it
// changes, which applies it at once. With a guard open on the calling thread
// the command joins that guard's command (nested guards join the outermost
// one, whose name the command takes); without one the edit is a command of
// its own, named by the edit. Edits made by observers while an edit is being
// applied join the same command, after it. A guard closes its command when
// it ends, also when its scope ends by an exception; a command with no edits
// is dropped. Under PiUndoGuardNoLog edits apply but are not recorded: they
// are for state that follows from other state (display flags, derived
// values), which undo leaves as it is.
//
// Replaying. undo() undoes the edits of the command before the stack's index
// in reverse order and moves the index back; redo() redoes the next command.
// History is linear: a new command drops every command after the index.
// During undo and redo, isUndoRedoOngoing() is true and edits are an
// invariant failure ("!_undoRedoOngoing"): observers that keep their own
// lists in step with the graph read it, they do not edit it.
//
// State word: getState() is the serial number of the command just before the
// index (0 for none). Every recorded command gets a new serial, so the word
// names the graph's state: undo followed by redo gives the same word back, a
// new edit never repeats an old one (the index alone would, after undo and a
// new edit). isClean() compares the index with the one marked by setClean().
//
// Failures. A command's own undo and redo do not throw. An observer that
// throws while an edit (or an undo, or a redo) is applied does not stop it:
// the rest of the command is applied and recorded first, then the first such
// exception is rethrown, so the history always matches the graph.
//
// Threading: guards and stacks belong to the user-interface thread; pushing
// an edit from a processing worker thread is an invariant failure
// ("!PxRequestMgr::getInstance().isWorkerThreadCurrent()").
#pragma once

#include <cstddef>
#include <exception>
#include <memory>
#include <string>
#include <vector>

class PiCommand {
 public:
  virtual ~PiCommand() = default;
  virtual void undo() = 0;
  virtual void redo() = 0;
  // Absorbs `next`, an edit applied right after this one within the same
  // command; true when it did (then `next` is applied and dropped).
  virtual bool mergeWith(PiCommand const& next) {
    (void)next;
    return false;
  }
};

class PiCommandStack {
 public:
  PiCommandStack() = default;
  PiCommandStack(PiCommandStack const&) = delete;
  PiCommandStack& operator=(PiCommandStack const&) = delete;
  ~PiCommandStack();

  // Applies and records an edit (see above). `stack` may be null: the edit
  // of an object outside any graph is applied and not recorded.
  static void push(PiCommandStack* stack, std::unique_ptr<PiCommand> command, char const* editName);

  bool canUndo() const { return _index > 0; }
  bool canRedo() const { return _index < _commands.size(); }
  void undo();
  void redo();
  std::string getUndoName() const;  // empty when nothing to undo
  std::string getRedoName() const;

  std::size_t getIndex() const { return _index; }
  std::size_t getCount() const { return _commands.size(); }
  unsigned getState() const;
  void setClean() { _cleanIndex = _index; }
  bool isClean() const { return _cleanIndex == _index; }
  bool isUndoRedoOngoing() const { return _undoRedoOngoing; }
  // Forgets the history (the graph stays as it is).
  void clear();

  // Runs observer code of an edit being applied: while the stack applies an
  // edit an exception is held back (see above); otherwise it propagates.
  template <class F>
  static void callObserver(F&& f) {
    std::exception_ptr* held = heldException();
    if (!held) {
      f();
      return;
    }
    try {
      f();
    } catch (...) {
      if (!*held) *held = std::current_exception();
    }
  }

 private:
  friend class PiUndoGuard;
  struct Macro {
    std::string name;
    unsigned serial = 0;
    std::vector<std::unique_ptr<PiCommand>> edits;
  };
  class Hold;
  static std::exception_ptr*& heldException();
  void append(std::unique_ptr<PiCommand>& command, std::string const& name);
  void closeMacro();
  template <class F>
  void replay(F&& f);

  std::vector<std::unique_ptr<Macro>> _commands;
  std::size_t _index = 0;
  std::size_t _cleanIndex = 0;
  unsigned _serial = 0;
  bool _undoRedoOngoing = false;
  std::unique_ptr<Macro> _open;  // the command being built by an open guard
};

class PiUndoGuard {
 public:
  explicit PiUndoGuard(std::string const& commandName);
  ~PiUndoGuard();
  PiUndoGuard(PiUndoGuard const&) = delete;
  PiUndoGuard& operator=(PiUndoGuard const&) = delete;

  // True while a guard is open on the calling thread.
  static bool isOpen();
};

class PiUndoGuardNoLog {
 public:
  PiUndoGuardNoLog();
  ~PiUndoGuardNoLog();
  PiUndoGuardNoLog(PiUndoGuardNoLog const&) = delete;
  PiUndoGuardNoLog& operator=(PiUndoGuardNoLog const&) = delete;

  static bool isActive();
};
