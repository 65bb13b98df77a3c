// The function type of the module: a Python-function look-alike whose body is
// C++.  Calls arrive by vectorcall, are bound to the signature with the
// interpreter's own argument errors, and run the body; an exception leaving
// the body gains a traceback entry that names the function.
#include "runtime/function.hpp"

#include <frameobject.h>
#include <structmember.h>

#include <algorithm>
#include <cstddef>
#include <new>

namespace core_math {

namespace {

constexpr const char kModuleName[] = "kemo_pkg.core_math";
constexpr const char kFileName[] = "kemo_pkg/core_math";

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FunctionSpec* spec;
  fast::Route route;                  // the spec's fast path if usable, else nullptr
  Py_ssize_t n_required;
  unsigned long long calls;          // calls bound and run, by either path (the tests' route tally)
  unsigned long long generic_calls;  // of those, the ones the generic body served
  PyObject* name;           // __name__
  PyObject* qualname;       // __qualname__
  PyObject* module;         // __module__
  PyObject* doc;            // __doc__
  PyObject* globals;        // __globals__, the module dict
  PyObject* call_defaults;  // the defaults made at import; what every call uses
  PyObject* defaults;       // __defaults__, as callers see and set it
  PyObject* annotations;    // __annotations__
  PyObject* code;           // __code__, for introspection only
  PyObject* param_names;    // interned parameter names, in order
  PyObject* dict;           // __dict__
  PyObject* weakreflist;
};

// The objects a function holds, for deallocation and the collector.
constexpr PyObject* FunctionObject::*kHeld[] = {
    &FunctionObject::name,     &FunctionObject::qualname,    &FunctionObject::module,
    &FunctionObject::doc,      &FunctionObject::globals,     &FunctionObject::call_defaults,
    &FunctionObject::defaults, &FunctionObject::annotations, &FunctionObject::code,
    &FunctionObject::param_names, &FunctionObject::dict,
};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

// Nested calls of the module's functions on this thread.  A function rebound
// to call itself through the namespace must end in RecursionError, as a
// Python function would, and not by exhausting the C stack.  Unlike a Python
// frame, each nesting takes C stack, so a raised recursion limit is capped.
// (initial-exec: read without a call into the dynamic loader on every call)
thread_local int call_depth __attribute__((tls_model("initial-exec"))) = 0;

class CallDepthGuard {
 public:
  static constexpr int kShallow = 64;
  static constexpr int kMaxDepth = 1000;

  bool enter() {
    // The limit is only consulted once nesting is deep: a plain call pays nothing.
    if (call_depth >= kShallow && call_depth >= std::min(Py_GetRecursionLimit(), kMaxDepth)) {
      PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling a Python object");
      return false;
    }
    ++call_depth;
    entered_ = true;
    return true;
  }
  ~CallDepthGuard() {
    if (entered_) --call_depth;
  }

 private:
  bool entered_ = false;
};

// --- argument binding ------------------------------------------------------

PyObject* raise_arg_count(const FunctionObject* f, Py_ssize_t n_found) {
  const Py_ssize_t n_params = static_cast<Py_ssize_t>(f->spec->params.size());
  const bool exact = f->n_required == n_params;
  Py_ssize_t n_expected;
  const char* more_or_less;
  if (n_found < f->n_required) {
    n_expected = f->n_required;
    more_or_less = "at least";
  } else {
    n_expected = n_params;
    more_or_less = "at most";
  }
  if (exact) more_or_less = "exactly";
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", f->spec->name,
               more_or_less, n_expected, n_expected == 1 ? "" : "s", n_found);
  return nullptr;
}

// Index of the parameter named `key`, or -1.  Identity first: keyword names
// are nearly always the interned strings of the caller's code.
Py_ssize_t param_index(PyObject* const* param_names, Py_ssize_t n_params, PyObject* key) {
  for (Py_ssize_t i = 0; i < n_params; ++i) {
    if (param_names[i] == key) return i;
  }
  for (Py_ssize_t i = 0; i < n_params; ++i) {
    if (PyUnicode_Compare(param_names[i], key) == 0) return i;
  }
  return -1;
}

// The value passed under the name of parameter `param`, or nullptr.
PyObject* keyword_value(PyObject* kwnames, PyObject* const* kwvalues, PyObject* param) {
  const Py_ssize_t n_kw = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < n_kw; ++k) {
    if (PyTuple_GET_ITEM(kwnames, k) == param) return kwvalues[k];
  }
  for (Py_ssize_t k = 0; k < n_kw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (PyUnicode_Check(key) && PyUnicode_Compare(key, param) == 0) return kwvalues[k];
  }
  return nullptr;
}

// Binds a vectorcall to the signature.  `bound` receives borrowed references.
// The checks run in the order whose messages callers see: the positional
// count, then the required parameters by keyword, then stray keywords.
bool bind(const FunctionObject* f, PyObject* const* args, Py_ssize_t n_args, PyObject* kwnames, PyObject** bound) {
  const Py_ssize_t n_params = PyTuple_GET_SIZE(f->param_names);
  PyObject* const* param_names = &PyTuple_GET_ITEM(f->param_names, 0);
  if (n_args > n_params) {
    raise_arg_count(f, n_args);
    return false;
  }
  for (Py_ssize_t i = 0; i < n_params; ++i) bound[i] = i < n_args ? args[i] : nullptr;

  const Py_ssize_t n_kw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  if (n_kw == 0) {
    if (n_args < f->n_required) {
      raise_arg_count(f, n_args);
      return false;
    }
  } else {
    PyObject* const* kwvalues = args + n_args;
    Py_ssize_t n_kw_left = n_kw;
    for (Py_ssize_t i = n_args; i < n_params && (i < f->n_required || n_kw_left > 0); ++i) {
      bound[i] = keyword_value(kwnames, kwvalues, param_names[i]);
      if (bound[i] != nullptr) {
        --n_kw_left;
      } else if (i < f->n_required) {
        raise_arg_count(f, i);
        return false;
      }
    }
    // Keywords left over name no parameter, repeat a positional one, or are
    // not strings; report the first in the caller's order.
    for (Py_ssize_t k = 0; n_kw_left > 0 && k < n_kw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f->spec->name);
        return false;
      }
      const Py_ssize_t index = param_index(param_names, n_params, key);
      if (index < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", f->spec->name, key);
        return false;
      }
      if (index < n_args) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", f->spec->name, key);
        return false;
      }
      bound[index] = kwvalues[k];
    }
  }

  const Py_ssize_t first_default = n_params - PyTuple_GET_SIZE(f->call_defaults);
  for (Py_ssize_t i = first_default; i < n_params; ++i) {
    if (bound[i] == nullptr) bound[i] = PyTuple_GET_ITEM(f->call_defaults, i - first_default);
  }
  return true;
}

// --- calling ---------------------------------------------------------------

// Runs the fast path, and the generic body unless the fast path made the
// result; C++ exceptions become the pending Python exception.
PyObject* run_body(FunctionObject* f, PyObject* const* bound) {
  py::handle args[kMaxParams];
  const Py_ssize_t n_params = PyTuple_GET_SIZE(f->param_names);
  for (Py_ssize_t i = 0; i < n_params; ++i) args[i] = bound[i];
  const Scope scope(f->globals);
  try {
    ++f->calls;
    if (f->route != nullptr) {
      if (py::object result = f->route(scope, args)) return result.release().ptr();
    }
    ++f->generic_calls;
    return f->spec->body(scope, args).release().ptr();
  } catch (py::error_already_set& error) {
    error.restore();
  } catch (py::builtin_exception& error) {
    error.set_error();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_SystemError, error.what());
  }
  return nullptr;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  FunctionObject* f = as_function(self);
  PyObject* bound[kMaxParams];
  PyObject* result = nullptr;
  CallDepthGuard depth;
  if (depth.enter() && bind(f, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) {
    // The body may drop the last other reference to this function (by
    // rebinding its name); keep it alive for the traceback below.
    Py_INCREF(self);
    result = run_body(f, bound);
    Py_DECREF(self);
  }
  if (result == nullptr) {
    PyObject* qualified = PyUnicode_FromFormat("%s.%s", kModuleName, f->spec->name);
    if (qualified != nullptr) {
      add_traceback(PyUnicode_AsUTF8(qualified), f->globals);
      Py_DECREF(qualified);
    }
  }
  return result;
}

// --- the type's slots ------------------------------------------------------

void function_dealloc(PyObject* self) {
  FunctionObject* f = as_function(self);
  PyObject_GC_UnTrack(self);
  if (f->weakreflist != nullptr) PyObject_ClearWeakRefs(self);
  for (PyObject* FunctionObject::*held : kHeld) Py_CLEAR(f->*held);
  PyObject_GC_Del(self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  FunctionObject* f = as_function(self);
  for (PyObject* FunctionObject::*held : kHeld) Py_VISIT(f->*held);
  return 0;
}

// Breaks cycles through what callers can assign.  The namespace and the
// import-time defaults stay: a finaliser in the same cycle may still call.
int function_clear(PyObject* self) {
  FunctionObject* f = as_function(self);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->dict);
  return 0;
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Looked up on a class, a function becomes a bound method of the instance.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

// Pickled by reference: the unpickler imports the module and takes the
// function by name, so worker processes receive the very same function.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* get_defaults(PyObject* self, void*) {
  FunctionObject* f = as_function(self);
  return Py_NewRef(f->defaults != nullptr ? f->defaults : Py_None);
}

// Callers may replace __defaults__; calls keep the values fixed at import.
int set_defaults(PyObject* self, PyObject* value, void*) {
  if (value == Py_None) value = nullptr;
  if (value != nullptr && !PyTuple_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
    return -1;
  }
  Py_XSETREF(as_function(self)->defaults, Py_XNewRef(value));
  return 0;
}

int set_text(PyObject** slot, PyObject* value, const char* attribute) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute);
    return -1;
  }
  Py_SETREF(*slot, Py_NewRef(value));
  return 0;
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) { return set_text(&as_function(self)->name, value, "__name__"); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) {
  return set_text(&as_function(self)->qualname, value, "__qualname__");
}
PyObject* get_kwdefaults(PyObject*, void*) { return Py_NewRef(Py_None); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(FunctionObject, doc), 0, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(FunctionObject, globals), Py_READONLY, nullptr},
    {"__code__", Py_T_OBJECT_EX, offsetof(FunctionObject, code), Py_READONLY, nullptr},
    {"__annotations__", Py_T_OBJECT_EX, offsetof(FunctionObject, annotations), 0, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakreflist), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject FunctionType;  // filled in by ready_function_type

// --- construction ----------------------------------------------------------

// A tuple of interned strings.
PyObject* name_tuple(const std::vector<const char*>& first, const std::vector<const char*>& then) {
  PyObject* names = PyTuple_New(static_cast<Py_ssize_t>(first.size() + then.size()));
  if (names == nullptr) return nullptr;
  Py_ssize_t i = 0;
  for (const auto* list : {&first, &then}) {
    for (const char* text : *list) {
      PyObject* name = PyUnicode_InternFromString(text);
      if (name == nullptr) {
        Py_DECREF(names);
        return nullptr;
      }
      PyTuple_SET_ITEM(names, i++, name);
    }
  }
  return names;
}

// A code object for introspection: the parameters and locals of the body,
// as a Python function compiled from the same statements would list them.
PyObject* make_code(const FunctionSpec& spec, PyObject* varnames) {
  PyCodeObject* empty = PyCode_NewEmpty(kFileName, spec.name, 1);
  if (empty == nullptr) return nullptr;
  PyObject* code = nullptr;
  PyObject* replace = PyObject_GetAttrString(reinterpret_cast<PyObject*>(empty), "replace");
  PyObject* no_args = PyTuple_New(0);
  PyObject* changes =
      Py_BuildValue("{s:n,s:O,s:n,s:i}", "co_argcount", static_cast<Py_ssize_t>(spec.params.size()), "co_varnames",
                    varnames, "co_nlocals", PyTuple_GET_SIZE(varnames), "co_flags", CO_OPTIMIZED | CO_NEWLOCALS);
  if (replace != nullptr && no_args != nullptr && changes != nullptr) code = PyObject_Call(replace, no_args, changes);
  Py_XDECREF(changes);
  Py_XDECREF(no_args);
  Py_XDECREF(replace);
  Py_DECREF(empty);
  return code;
}

std::vector<const char*> param_names_of(const FunctionSpec& spec) {
  std::vector<const char*> names;
  for (const Param& param : spec.params) names.push_back(param.name);
  return names;
}

// A new reference to the value a default is written as, or nullptr with an exception set.
PyObject* make_default(const Literal& literal) {
  switch (literal.kind()) {
    case Literal::Kind::integer:
      return PyLong_FromLong(literal.integer());
    case Literal::Kind::real:
      return PyFloat_FromDouble(literal.real());
    case Literal::Kind::text:
      return PyUnicode_InternFromString(literal.text());
  }
  return nullptr;
}

PyObject* make_defaults(const FunctionSpec& spec) {
  Py_ssize_t n_defaults = 0;
  for (const Param& param : spec.params) n_defaults += param.default_value.has_value();
  PyObject* defaults = PyTuple_New(n_defaults);
  if (defaults == nullptr) return nullptr;
  Py_ssize_t i = 0;
  for (const Param& param : spec.params) {
    if (!param.default_value) continue;
    PyObject* value = make_default(*param.default_value);
    if (value == nullptr) {
      Py_DECREF(defaults);
      return nullptr;
    }
    PyTuple_SET_ITEM(defaults, i++, value);
  }
  return defaults;
}

}  // namespace

int ready_function_type() {
  PyTypeObject& type = FunctionType;
  if (type.tp_flags & Py_TPFLAGS_READY) return 0;
  type.tp_name = "kemo_pkg.core_math.function";
  type.tp_basicsize = sizeof(FunctionObject);
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
  type.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
  type.tp_call = PyVectorcall_Call;
  type.tp_descr_get = function_descr_get;
  type.tp_repr = function_repr;
  type.tp_dealloc = function_dealloc;
  type.tp_traverse = function_traverse;
  type.tp_clear = function_clear;
  type.tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
  type.tp_dictoffset = offsetof(FunctionObject, dict);
  type.tp_methods = function_methods;
  type.tp_members = function_members;
  type.tp_getset = function_getset;
  Py_SET_REFCNT(&type, 1);
  return PyType_Ready(&type);
}

PyObject* new_function(const FunctionSpec& spec, PyObject* globals) {
  FunctionObject* f = PyObject_GC_New(FunctionObject, &FunctionType);
  if (f == nullptr) return nullptr;
  f->vectorcall = function_vectorcall;
  f->spec = &spec;
  f->route = spec.fast.usable();
  f->calls = 0;
  f->generic_calls = 0;
  f->n_required = 0;
  for (const Param& param : spec.params) f->n_required += !param.default_value.has_value();
  f->name = PyUnicode_InternFromString(spec.name);
  f->qualname = Py_XNewRef(f->name);
  f->module = PyUnicode_InternFromString(kModuleName);
  f->doc = Py_NewRef(Py_None);
  f->globals = Py_NewRef(globals);
  f->call_defaults = make_defaults(spec);
  // Like a Python function, one without defaults reports None.
  f->defaults = f->call_defaults != nullptr && PyTuple_GET_SIZE(f->call_defaults) > 0 ? Py_NewRef(f->call_defaults)
                                                                                     : nullptr;
  f->annotations = PyDict_New();
  f->param_names = name_tuple(param_names_of(spec), {});
  PyObject* varnames = name_tuple(param_names_of(spec), spec.locals);
  f->code = varnames != nullptr ? make_code(spec, varnames) : nullptr;
  Py_XDECREF(varnames);
  f->dict = nullptr;
  f->weakreflist = nullptr;
  PyObject_GC_Track(f);
  PyObject* self = reinterpret_cast<PyObject*>(f);
  if (f->name == nullptr || f->module == nullptr || f->call_defaults == nullptr || f->annotations == nullptr ||
      f->param_names == nullptr || f->code == nullptr) {
    Py_DECREF(self);
    return nullptr;
  }
  return self;
}

void add_traceback(const char* qualified_name, PyObject* globals) {
  // Building the frame must not disturb the exception it describes.
  PyObject* exception = PyErr_GetRaisedException();
  PyCodeObject* code = PyCode_NewEmpty(kFileName, qualified_name, 1);
  PyFrameObject* frame = code != nullptr ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
  PyErr_SetRaisedException(exception);
  if (frame != nullptr) PyTraceBack_Here(frame);
  Py_XDECREF(frame);
  Py_XDECREF(code);
}

}  // namespace core_math

// For the tests only, and not part of the module: how many calls of one of
// the module's functions ran, and how many of those the generic body served
// (the rest its fast path).  Read through ctypes; -1 for another object.
extern "C" __attribute__((visibility("default"))) int kemo_core_math_route_tally(PyObject* function,
                                                                                 unsigned long long* calls,
                                                                                 unsigned long long* generic_calls) {
  if (!PyObject_TypeCheck(function, &core_math::FunctionType)) return -1;
  const auto* f = reinterpret_cast<const core_math::FunctionObject*>(function);
  *calls = f->calls;
  *generic_calls = f->generic_calls;
  return 0;
}
