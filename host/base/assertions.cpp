#include "base/assertions.h"

AssertionFailure::AssertionFailure(std::string file, int line, std::string condition)
    : std::logic_error("assertion failed: \"" + condition + "\" (" + file + ", line " +
                       std::to_string(line) + ")"),
      _file(std::move(file)),
      _line(line),
      _condition(std::move(condition)) {}

std::string Assertions::baseName(char const* file) {
  std::string name(file ? file : "");
  auto const slash = name.find_last_of("/\\");
  if (slash != std::string::npos) name.erase(0, slash + 1);
  auto const dot = name.find('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return name;
}

void Assertions::throwAssertionFailed(char const* file, int line, char const* text) {
  throw AssertionFailure(baseName(file), line, text ? text : "");
}
