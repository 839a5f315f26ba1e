// What the loader tests and their test module share: the names the module
// registers, the clipboard payload it copies, and the interface through
// which the application asks one of its nodes to copy.
#pragma once

#include <string>

#include "base/rcPtr.h"

namespace testmodule {

inline char const* toolName() { return "Test Module Tool"; }
inline char const* factoryName() { return "TestModuleList"; }
inline char const* libraryName() { return "libQxTestModule"; }
// When set at load, the module's tool package throws after registering.
inline char const* failVariable() { return "QX_TEST_MODULE_FAIL"; }

struct Payload : RCBase<LkCounter<int>> {
  std::string nodeName;
  double amount = 0.0;
};

class ClipboardSource {
 public:
  virtual ~ClipboardSource() = default;
  virtual void copyToClipboard() = 0;
};

}  // namespace testmodule
