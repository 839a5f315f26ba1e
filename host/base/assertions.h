// The host's assertion service: internal invariants of the host stand-in and
// of the plug-in are checked with QX_ASSERT and, when they fail, raise an
// AssertionFailure carrying the source file's base name (no folder, no
// extension), the line and the text of the failed condition. The service is
// always on, in every build type.
#pragma once

#include <stdexcept>
#include <string>

class AssertionFailure : public std::logic_error {
 public:
  AssertionFailure(std::string file, int line, std::string condition);

  // Base name of the source file, e.g. "warpGridProc".
  std::string const& file() const noexcept { return _file; }
  int line() const noexcept { return _line; }
  std::string const& condition() const noexcept { return _condition; }

 private:
  std::string _file;
  int _line;
  std::string _condition;
};

struct Assertions {
  // Raises AssertionFailure. `file` may be a full path; only its base name
  // without extension is kept.
  [[noreturn]] static void throwAssertionFailed(char const* file, int line, char const* text);

  // "src/warpGridProc.cpp" -> "warpGridProc".
  static std::string baseName(char const* file);
};

// The condition text is the condition as written in the source.
#define QX_ASSERT(cond)                                                  \
  do {                                                                   \
    if (!(cond)) ::Assertions::throwAssertionFailed(__FILE__, __LINE__, #cond); \
  } while (0)

// For a condition whose reported text differs from the C++ expression.
#define QX_ASSERT_TEXT(cond, text)                                        \
  do {                                                                   \
    if (!(cond)) ::Assertions::throwAssertionFailed(__FILE__, __LINE__, text); \
  } while (0)

// For code that a large area keeps in a private helper file but whose
// failures must be reported under the area's own file name.
#define QX_ASSERT_AS(file, cond, text)                                    \
  do {                                                                   \
    if (!(cond)) ::Assertions::throwAssertionFailed(file, __LINE__, text); \
  } while (0)
