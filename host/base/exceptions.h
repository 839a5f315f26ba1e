// Failures of the host's ownership types: a null handle used where an object
// must exist (NullPointerException), and a handle converted to a type its
// object does not have (CastException). Both are programming errors of the
// caller, not bad user input, and carry the type names involved.
#pragma once

#include <stdexcept>
#include <string>
#include <typeinfo>

class NullPointerException : public std::logic_error {
 public:
  explicit NullPointerException(std::string const& typeName)
      : std::logic_error("null handle to " + typeName + " used") {}
};

class CastException : public std::logic_error {
 public:
  CastException(std::string const& fromType, std::string const& toType)
      : std::logic_error("cannot cast " + fromType + " to " + toType) {}
};

// Readable name of a type for messages, e.g. "PxAnimValueNode<int>".
std::string qxTypeName(std::type_info const& type);
