// The module's function type: what each analysis function is, and how a call
// reaches its body.
#pragma once

#include <Python.h>

#include <optional>
#include <vector>

#include "pyops.hpp"

namespace core_math {

// A default value as written in a signature: an int, a float or a string.
class Literal {
 public:
  constexpr Literal(int value) : kind_(Kind::integer), integer_(value) {}        // NOLINT
  constexpr Literal(double value) : kind_(Kind::real), real_(value) {}           // NOLINT
  constexpr Literal(const char* value) : kind_(Kind::text), text_(value) {}      // NOLINT
  PyObject* make() const;  // new reference, or nullptr with an exception set

 private:
  enum class Kind { integer, real, text };
  Kind kind_;
  int integer_ = 0;
  double real_ = 0.0;
  const char* text_ = nullptr;
};

struct Param {
  const char* name;
  std::optional<Literal> default_value = std::nullopt;
};

// The parameters bound for one call, in signature order (borrowed references).
using Args = const py::handle*;
using Body = py::object (*)(const Scope& scope, Args args);

// A native route for the common case of a call.  It returns an empty object
// to hand the call to the body, which then does whatever numpy would do.
using FastPath = py::object (*)(const Scope& scope, Args args);

// One analysis function: its signature, the local names its code object
// lists after the parameters, its body and, for the hot ones, a fast path.
struct FunctionSpec {
  const char* name;
  std::vector<Param> params;
  std::vector<const char*> locals;
  Body body;
  FastPath fast = nullptr;
};

constexpr Py_ssize_t kMaxParams = 9;

// Creates the function object for `spec`, living in the namespace `globals`.
// Returns a new reference, or nullptr with an exception set.
PyObject* new_function(const FunctionSpec& spec, PyObject* globals);

// Prepares the function type; called once, before the first new_function.
int ready_function_type();

// Adds a traceback entry named `qualified_name` in the module's file to the
// pending exception.
void add_traceback(const char* qualified_name, PyObject* globals);

}  // namespace core_math
