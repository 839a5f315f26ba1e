#include "base/exceptions.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>

std::string qxTypeName(std::type_info const& type) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> const name(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status),
                                                    std::free);
  return status == 0 && name ? std::string(name.get()) : std::string(type.name());
}
