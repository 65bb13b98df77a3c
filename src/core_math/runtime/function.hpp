// The module's function type: what each analysis function is, and how a call
// reaches its body.
#pragma once

#include <Python.h>

#include <cstddef>
#include <utility>
#include <vector>

#include "fast/fast_path.hpp"
#include "runtime/pyops.hpp"
#include "runtime/signature.hpp"

namespace core_math {

// The generic body: the function as written, every operation through the
// object protocol and every name looked up in the namespace at call time.
using Body = py::object (*)(const Scope& scope, Args args);

// One analysis function: its signature, the local names its code object
// lists after the parameters, its generic body and, for the hot ones, a
// fast path.
struct FunctionSpec {
  template <std::size_t N>
  FunctionSpec(const char* name_, const Param (&params_)[N], std::vector<const char*> locals_, Body body_,
               fast::FastPath fast_ = {})
      : name(name_), params(params_), locals(std::move(locals_)), body(body_), fast(fast_) {}

  const char* name;
  Parameters params;
  std::vector<const char*> locals;
  Body body;
  fast::FastPath fast;
};

// Creates the function object for `spec`, living in the namespace `globals`;
// its fast path is taken if usable now, after the self-checks.  Returns a
// new reference, or nullptr with an exception set.
PyObject* new_function(const FunctionSpec& spec, PyObject* globals);

// Prepares the function type; called once, before the first new_function.
int ready_function_type();

// Adds a traceback entry named `qualified_name` in the module's file to the
// pending exception.
void add_traceback(const char* qualified_name, PyObject* globals);

}  // namespace core_math
