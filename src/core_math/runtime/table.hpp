// The one registry of analysis functions.  Each subsystem exports a table of
// the functions it defines; the module publishes them all, in the order it
// defines them, which is named once, in table.cpp.
#pragma once

#include <cstddef>
#include <vector>

#include "runtime/function.hpp"

namespace core_math {

// The functions one subsystem defines.
class FunctionTable {
 public:
  template <std::size_t N>
  constexpr FunctionTable(const FunctionSpec (&functions)[N]) : functions_(functions), size_(N) {}  // NOLINT

  const FunctionSpec* begin() const { return functions_; }
  const FunctionSpec* end() const { return functions_ + size_; }
  std::size_t size() const { return size_; }

 private:
  const FunctionSpec* functions_;
  std::size_t size_;
};

// Each subsystem's table, from its own unit in domains/.
namespace conditioning {
extern const FunctionTable functions;
}
namespace order_domain {
extern const FunctionTable functions;
}
namespace spectral {
extern const FunctionTable functions;
}
namespace trend {
extern const FunctionTable functions;
}

// Every subsystem's functions, in the order the module defines them.  Throws
// std::logic_error, which fails the import, when the order and the tables
// do not name the same functions once each.
std::vector<const FunctionSpec*> functions_in_definition_order();

}  // namespace core_math
