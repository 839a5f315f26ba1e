// The process environment as the host's resource management sees it:
// environment variables, and the directories that placeholders in resource
// paths stand for.
//
// Placeholders: a resource path may begin with "<ToolUiDir>", the directory
// of the tools' user-interface description files. It is $QX_TOOL_UI_DIR
// when that is set and not empty, else "share/qx/toolUI" beside the
// directory of the running program (an installed host keeps them there).
//
// Threading: reading is safe from any thread as long as nobody changes the
// environment at the same time (the C library's rule).
#pragma once

#include <string>

class OsEnv {
 public:
  // True when the variable is set (also when set to an empty string); its
  // value then goes to `value`, which is otherwise left alone.
  static bool getVariable(std::string const& name, std::string& value);

  static std::string getToolUiDir();
  // `path` with a leading "<ToolUiDir>" replaced by getToolUiDir(); other
  // paths unchanged.
  static std::string expandPath(std::string const& path);
};
