// Python-level operations for the analysis bodies.
//
// The bodies are written as the interpreter would run them: every operator
// dispatches through the object protocol, comparisons yield objects that are
// truth-tested afterwards (an array comparison stays an array), and names are
// looked up in the module namespace at the moment of use.  pybind11 supplies
// the owning handles and the arithmetic operators; what it lacks or does
// differently (its comparisons return C++ bools and short-cut on identity) is
// here.
#pragma once

#include <Python.h>
#include <pybind11/pybind11.h>

#include <initializer_list>
#include <vector>

namespace core_math {

namespace py = pybind11;

// Throws the pending Python error unless `result` holds a new reference.
inline py::object steal_or_throw(PyObject* result) {
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

// An identifier, interned at first use and kept for the life of the process.
class Name {
 public:
  explicit constexpr Name(const char* text) : text_(text) {}
  Name(const Name&) = delete;
  Name& operator=(const Name&) = delete;

  py::handle handle() const {
    if (object_ == nullptr) {
      object_ = PyUnicode_InternFromString(text_);
      if (object_ == nullptr) throw py::error_already_set();
    }
    return object_;
  }
  operator py::handle() const { return handle(); }  // NOLINT: used as an attribute name
  const char* text() const { return text_; }

  // What `namespace_dict[name]` held at the last look, while no watched
  // namespace has changed since (borrowed), else nullptr.
  PyObject* cached_in(PyObject* namespace_dict) const;
  void remember(PyObject* namespace_dict, PyObject* value) const;

 private:
  const char* text_;
  mutable PyObject* object_ = nullptr;
  mutable PyObject* cached_dict_ = nullptr;
  mutable PyObject* cached_value_ = nullptr;
  mutable unsigned long long cached_epoch_ = 0;
};

// Watches a namespace dict (the module's globals, a module such as numpy)
// so that names looked up in it can be remembered until it changes, as the
// interpreter's own caches do.  False when the interpreter has no watcher
// left to give: lookups are then simply not remembered.
bool watch_namespace(PyObject* namespace_dict);

// The keyword names of one call site, as one tuple made at first use.
class Keywords {
 public:
  Keywords(std::initializer_list<const char*> names) : names_(names) {}
  Keywords(const Keywords&) = delete;
  Keywords& operator=(const Keywords&) = delete;
  Py_ssize_t size() const { return static_cast<Py_ssize_t>(names_.size()); }
  PyObject* tuple() const;

 private:
  std::vector<const char*> names_;
  mutable PyObject* tuple_ = nullptr;
};

// `callable(*args)` and `callable(*positional, **keywords)` by vectorcall,
// as the interpreter makes calls: no argument tuple, no keyword dict.  The
// trailing `names.size()` arguments are the keyword values.  Arguments are
// evaluated by C++ in no fixed order: where their order shows, evaluate
// them into locals first.
template <class... Arg>
py::object call(py::handle callable, const Arg&... args) {
  PyObject* stack[] = {nullptr, py::handle(args).ptr()...};
  return steal_or_throw(
      PyObject_Vectorcall(callable.ptr(), stack + 1, sizeof...(Arg) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <class... Arg>
py::object call_kw(py::handle callable, const Keywords& names, const Arg&... args) {
  PyObject* stack[] = {nullptr, py::handle(args).ptr()...};
  PyObject* kwnames = names.tuple();
  const std::size_t n_positional = sizeof...(Arg) - static_cast<std::size_t>(names.size());
  return steal_or_throw(
      PyObject_Vectorcall(callable.ptr(), stack + 1, n_positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// The module namespace a body runs in: its globals, then builtins.
class Scope {
 public:
  explicit Scope(PyObject* globals) : globals_(globals) {}
  py::object operator[](const Name& name) const;
  PyObject* globals() const { return globals_; }

 private:
  PyObject* globals_;  // borrowed from the function object for the call
};

// The arguments bound for one call, in signature order (borrowed references).
using Args = const py::handle*;

// `obj.name`, looked up now (a pybind11 accessor would look up on first use).
py::object attr(py::handle obj, const Name& name);

// Rich comparisons that keep the operands' result object (`x < y` in Python).
inline py::object lt(py::handle a, py::handle b) { return steal_or_throw(PyObject_RichCompare(a.ptr(), b.ptr(), Py_LT)); }
inline py::object le(py::handle a, py::handle b) { return steal_or_throw(PyObject_RichCompare(a.ptr(), b.ptr(), Py_LE)); }
inline py::object gt(py::handle a, py::handle b) { return steal_or_throw(PyObject_RichCompare(a.ptr(), b.ptr(), Py_GT)); }
inline py::object ge(py::handle a, py::handle b) { return steal_or_throw(PyObject_RichCompare(a.ptr(), b.ptr(), Py_GE)); }
inline py::object eq(py::handle a, py::handle b) { return steal_or_throw(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ)); }
inline py::object ne(py::handle a, py::handle b) { return steal_or_throw(PyObject_RichCompare(a.ptr(), b.ptr(), Py_NE)); }

// Python's truth test, as `if` and `and`/`or` apply it.
inline bool truthy(py::handle value) {
  const int result = PyObject_IsTrue(value.ptr());
  if (result < 0) throw py::error_already_set();
  return result != 0;
}

inline py::object floordiv(py::handle a, py::handle b) { return steal_or_throw(PyNumber_FloorDivide(a.ptr(), b.ptr())); }
inline py::object mod(py::handle a, py::handle b) { return steal_or_throw(PyNumber_Remainder(a.ptr(), b.ptr())); }
inline py::object power(py::handle a, py::handle b) { return steal_or_throw(PyNumber_Power(a.ptr(), b.ptr(), Py_None)); }
inline py::object iadd(py::handle a, py::handle b) { return steal_or_throw(PyNumber_InPlaceAdd(a.ptr(), b.ptr())); }
inline py::object imul(py::handle a, py::handle b) { return steal_or_throw(PyNumber_InPlaceMultiply(a.ptr(), b.ptr())); }
inline py::object itruediv(py::handle a, py::handle b) { return steal_or_throw(PyNumber_InPlaceTrueDivide(a.ptr(), b.ptr())); }
inline py::object ipower(py::handle a, py::handle b) { return steal_or_throw(PyNumber_InPlacePower(a.ptr(), b.ptr(), Py_None)); }

// `obj[key]` and `obj[key] = value`.
inline py::object item(py::handle obj, py::handle key) { return steal_or_throw(PyObject_GetItem(obj.ptr(), key.ptr())); }
inline void set_item(py::handle obj, py::handle key, py::handle value) {
  if (PyObject_SetItem(obj.ptr(), key.ptr(), value.ptr()) < 0) throw py::error_already_set();
}
// `obj[start:stop]`, either bound being None when left out.
inline py::object slice(py::handle obj, py::handle start, py::handle stop) {
  py::object bounds = steal_or_throw(PySlice_New(start.ptr(), stop.ptr(), nullptr));
  return item(obj, bounds);
}

// Takes the built-ins that bodies use from the builtins module, once, at exec.
int bind_builtins();

// The built-ins a body applies directly.
inline Py_ssize_t length(py::handle obj) {
  const Py_ssize_t n = PyObject_Size(obj.ptr());
  if (n < 0) throw py::error_already_set();
  return n;
}
inline py::object to_int(py::handle obj) { return steal_or_throw(PyNumber_Long(obj.ptr())); }
inline py::object to_float(py::handle obj) { return steal_or_throw(PyNumber_Float(obj.ptr())); }
// max(a, b) and min(a, b): the later argument wins only when strictly greater (less).
py::object max_of(py::handle a, py::handle b);
py::object min_of(py::handle a, py::handle b);

// zip(a, b), the interpreter's own.
py::object zip(py::handle a, py::handle b);

// `values ** 2`, except that integer arrays narrower than 64 bits are
// squared in 64 bits: raw converter counts (int16, int32) would otherwise
// wrap around silently and report a wrong level.
py::object squared(py::handle values);

// Fills the table of numpy's C API once numpy is imported; false, with no
// error set, when this numpy does not offer it (the generic bodies then
// serve every call).
bool import_numpy_api();
bool numpy_api_imported();

// Whether `value` is a Python float or a numpy floating scalar that is NaN
// or infinite: such a sample, once it leaves a carried window sum, would
// stay in it for good.
bool is_non_finite_real(py::handle value);

// Arithmetic on a large float64 temporary and a scalar.  Called from the
// interpreter, numpy writes the result into the temporary's own buffer
// ("temporary elision"); a body's temporaries get the same: same values,
// same warnings, and no second large array to allocate.
py::object scalar_times_temporary(py::handle scalar, py::object temporary);
py::object temporary_times_scalar(py::object temporary, py::handle scalar);
py::object temporary_over_scalar(py::object temporary, py::handle scalar);

// `first, second = value` with the module's unpacking errors.
std::pair<py::object, py::object> unpack2(py::handle value);

}  // namespace core_math
