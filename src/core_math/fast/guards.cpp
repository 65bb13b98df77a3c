#include "fast/guards.hpp"

#include "runtime/numpy_api.hpp"

namespace core_math::fast {

std::optional<long long> plain_int(py::handle obj) {
  if (!PyLong_CheckExact(obj.ptr())) return std::nullopt;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(obj.ptr(), &overflow);
  if (overflow != 0 || (value == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    return std::nullopt;
  }
  return value;
}

std::optional<long long> index_value(py::handle obj) {
  PyObject* index = PyNumber_Index(obj.ptr());
  if (index == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return plain_int(py::reinterpret_steal<py::object>(index));
}

std::optional<double> plain_number(py::handle obj) {
  if (const auto value = plain_float(obj)) return value;
  constexpr long long kExactLimit = 1LL << 53;  // every int up to here converts to a double exactly
  if (const auto value = plain_int(obj); value && *value <= kExactLimit && *value >= -kExactLimit) {
    return static_cast<double>(*value);
  }
  return std::nullopt;
}

std::optional<double> real_number(py::handle obj) {
  // np.float64 is a float subclass: its value is read as a float's.
  if (numpy_api_imported() && Py_IS_TYPE(obj.ptr(), &PyDoubleArrType_Type)) return PyFloat_AS_DOUBLE(obj.ptr());
  return plain_number(obj);
}

}  // namespace core_math::fast
