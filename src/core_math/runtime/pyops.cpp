#include "runtime/pyops.hpp"

#include <pybind11/numpy.h>

#include <cmath>

#define CORE_MATH_FILLS_NUMPY_API
#include "runtime/numpy_api.hpp"

namespace core_math {

namespace {
PyObject* builtins_module = nullptr;  // held for the life of the process
PyObject* builtin_zip = nullptr;
}  // namespace

int bind_builtins() {
  if (builtins_module == nullptr) {
    builtins_module = PyImport_ImportModule("builtins");
    if (builtins_module == nullptr) return -1;
  }
  if (builtin_zip == nullptr) {
    PyObject* name = PyUnicode_InternFromString("zip");
    if (name == nullptr) return -1;
    if (PyObject_GetOptionalAttr(builtins_module, name, &builtin_zip) == 0) {
      PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    Py_DECREF(name);
    if (builtin_zip == nullptr) return -1;
  }
  return 0;
}

PyObject* Keywords::tuple() const {
  if (tuple_ == nullptr) {
    py::tuple names(names_.size());
    for (std::size_t i = 0; i < names_.size(); ++i) {
      PyObject* name = PyUnicode_InternFromString(names_[i]);
      if (name == nullptr) throw py::error_already_set();
      PyTuple_SET_ITEM(names.ptr(), static_cast<Py_ssize_t>(i), name);
    }
    tuple_ = names.release().ptr();  // kept for the life of the process
  }
  return tuple_;
}

namespace {
constexpr int kNoWatcher = -1, kNoWatcherLeft = -2;
int namespace_watcher = kNoWatcher;
// Bumped by every change to a watched namespace: a remembered value is good
// only as long as this has not moved.
unsigned long long namespace_epoch = 1;

int on_namespace_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
  ++namespace_epoch;
  return 0;
}
}  // namespace

bool watch_namespace(PyObject* namespace_dict) {
  if (namespace_watcher == kNoWatcher) {
    namespace_watcher = PyDict_AddWatcher(on_namespace_change);
    if (namespace_watcher < 0) namespace_watcher = kNoWatcherLeft;
  }
  if (namespace_watcher == kNoWatcherLeft || PyDict_Watch(namespace_watcher, namespace_dict) < 0) {
    PyErr_Clear();
    return false;
  }
  return true;
}

PyObject* Name::cached_in(PyObject* namespace_dict) const {
  return cached_dict_ == namespace_dict && cached_epoch_ == namespace_epoch ? cached_value_ : nullptr;
}

void Name::remember(PyObject* namespace_dict, PyObject* value) const {
  cached_dict_ = namespace_dict;
  cached_value_ = value;
  cached_epoch_ = namespace_epoch;
}

py::object attr(py::handle obj, const Name& name) {
  // A plain module's attribute is its dict entry; remember it while the
  // module's namespace is unchanged.
  PyObject* module_dict = PyModule_CheckExact(obj.ptr()) ? PyModule_GetDict(obj.ptr()) : nullptr;
  if (module_dict != nullptr) {
    if (PyObject* value = name.cached_in(module_dict)) return py::reinterpret_borrow<py::object>(value);
  }
  py::object value = steal_or_throw(PyObject_GetAttr(obj.ptr(), name.handle().ptr()));
  if (module_dict != nullptr && PyDict_GetItemWithError(module_dict, name.handle().ptr()) == value.ptr() &&
      watch_namespace(module_dict)) {
    name.remember(module_dict, value.ptr());
  }
  PyErr_Clear();  // a failed dict lookup only means nothing is remembered
  return value;
}

py::object Scope::operator[](const Name& name) const {
  if (PyObject* cached = name.cached_in(globals_)) return py::reinterpret_borrow<py::object>(cached);
  PyObject* value = nullptr;
  if (PyDict_GetItemRef(globals_, name.handle().ptr(), &value) < 0) throw py::error_already_set();
  if (value != nullptr) {
    if (watch_namespace(globals_)) name.remember(globals_, value);
    return py::reinterpret_steal<py::object>(value);
  }
  if (PyObject_GetOptionalAttr(builtins_module, name.handle().ptr(), &value) < 0) throw py::error_already_set();
  if (value == nullptr) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.handle().ptr());
    throw py::error_already_set();
  }
  return py::reinterpret_steal<py::object>(value);
}

py::object zip(py::handle a, py::handle b) {
  return steal_or_throw(PyObject_CallFunctionObjArgs(builtin_zip, a.ptr(), b.ptr(), nullptr));
}

namespace {
py::object keep_unless(py::handle first, py::handle second, int op) {
  const int replace = PyObject_RichCompareBool(second.ptr(), first.ptr(), op);
  if (replace < 0) throw py::error_already_set();
  return py::reinterpret_borrow<py::object>(replace ? second : first);
}
}  // namespace

py::object max_of(py::handle a, py::handle b) { return keep_unless(a, b, Py_GT); }
py::object min_of(py::handle a, py::handle b) { return keep_unless(a, b, Py_LT); }

py::object squared(py::handle values) {
  py::object base = py::reinterpret_borrow<py::object>(values);
  if (py::isinstance<py::array>(values)) {
    const py::dtype dtype = py::reinterpret_borrow<py::array>(values).dtype();
    const char kind = dtype.kind();
    if ((kind == 'i' || kind == 'u') && dtype.itemsize() < 8) {
      base = base.attr("astype")(kind == 'i' ? "int64" : "uint64");
    }
  }
  return power(base, py::int_(2));
}

namespace {
bool numpy_api = false;
}  // namespace

bool import_numpy_api() {
  if (!numpy_api) {
    numpy_api = PyArray_ImportNumPyAPI() == 0;
    PyErr_Clear();
  }
  return numpy_api;
}

bool numpy_api_imported() { return numpy_api; }

bool is_non_finite_real(py::handle value) {
  PyObject* obj = value.ptr();
  const bool real = PyFloat_Check(obj) || (numpy_api && PyObject_TypeCheck(obj, &PyFloatingArrType_Type));
  if (!real) return false;
  const double as_double = PyFloat_AsDouble(obj);
  if (as_double == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return !std::isfinite(as_double);
}

namespace {

// numpy's conditions for reusing a temporary's buffer: an array that only
// the caller holds, owns and may write its data, is large enough to be worth
// it, and keeps its dtype through the operation with the scalar.
constexpr npy_intp kMinElisionBytes = 256 * 1024;

bool elides(const py::object& temporary, py::handle scalar) {
  if (!numpy_api || !PyArray_CheckExact(temporary.ptr()) || Py_REFCNT(temporary.ptr()) != 1) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(temporary.ptr());
  const bool float64_scalar = PyFloat_CheckExact(scalar.ptr()) || PyLong_CheckExact(scalar.ptr()) ||
                              Py_IS_TYPE(scalar.ptr(), &PyDoubleArrType_Type);
  return float64_scalar && PyArray_TYPE(array) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(array) &&
         PyArray_ISWRITEABLE(array) && PyArray_CHKFLAGS(array, NPY_ARRAY_OWNDATA) &&
         PyArray_NBYTES(array) >= kMinElisionBytes;
}

}  // namespace

py::object scalar_times_temporary(py::handle scalar, py::object temporary) {
  if (elides(temporary, scalar)) return imul(temporary, scalar);
  return scalar * temporary;
}

py::object temporary_times_scalar(py::object temporary, py::handle scalar) {
  if (elides(temporary, scalar)) return imul(temporary, scalar);
  return temporary * scalar;
}

py::object temporary_over_scalar(py::object temporary, py::handle scalar) {
  if (elides(temporary, scalar)) return itruediv(temporary, scalar);
  return temporary / scalar;
}

std::pair<py::object, py::object> unpack2(py::handle value) {
  constexpr Py_ssize_t expected = 2;
  auto too_few = [](Py_ssize_t found) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
    return py::error_already_set();
  };
  auto too_many = [] {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
    return py::error_already_set();
  };
  if (PyTuple_CheckExact(value.ptr()) || PyList_CheckExact(value.ptr())) {
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(value.ptr());
    if (size > expected) throw too_many();
    if (size < expected) throw too_few(size);
    PyObject** items = PySequence_Fast_ITEMS(value.ptr());
    return {py::reinterpret_borrow<py::object>(items[0]), py::reinterpret_borrow<py::object>(items[1])};
  }
  py::object iterator = steal_or_throw(PyObject_GetIter(value.ptr()));
  py::object items[expected];
  for (Py_ssize_t i = 0; i < expected; ++i) {
    PyObject* next = PyIter_Next(iterator.ptr());
    if (next == nullptr) {
      if (PyErr_Occurred()) throw py::error_already_set();
      throw too_few(i);
    }
    items[i] = py::reinterpret_steal<py::object>(next);
  }
  PyObject* extra = PyIter_Next(iterator.ptr());
  if (extra != nullptr) {
    Py_DECREF(extra);
    throw too_many();
  }
  if (PyErr_Occurred()) throw py::error_already_set();
  return {items[0], items[1]};
}

}  // namespace core_math
