#include "fast/arrays.hpp"

#include <cmath>

#include "runtime/numpy_api.hpp"

namespace core_math::fast {

std::optional<Samples> float64_samples(py::handle obj) {
  if (!numpy_api_imported() || !PyArray_CheckExact(obj.ptr())) return std::nullopt;
  auto* array = reinterpret_cast<PyArrayObject*>(obj.ptr());
  if (PyArray_NDIM(array) != 1 || PyArray_TYPE(array) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(array) ||
      !PyArray_ISALIGNED(array)) {
    return std::nullopt;
  }
  const npy_intp stride = PyArray_STRIDE(array, 0);
  const auto* data = static_cast<const double*>(PyArray_DATA(array));
  return Samples{kernels::Strided(data, stride), static_cast<std::size_t>(PyArray_DIM(array, 0)),
                 stride == sizeof(double) ? data : nullptr};
}

bool any_nan(const Samples& samples) {
  return with_view(samples, [&](const auto& values) {
    for (std::size_t i = 0; i < samples.size; ++i) {
      if (std::isnan(values[i])) return true;
    }
    return false;
  });
}

bool all_finite(const Samples& samples) {
  return with_view(samples, [&](const auto& values) {
    for (std::size_t i = 0; i < samples.size; ++i) {
      if (!std::isfinite(values[i])) return false;
    }
    return true;
  });
}

py::object new_float64_array(std::size_t size, double*& data) {
  npy_intp dims[1] = {static_cast<npy_intp>(size)};
  py::object array = steal_or_throw(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
  data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.ptr())));
  return array;
}

py::object new_float64_matrix(std::size_t rows, std::size_t columns, double*& data) {
  npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(columns)};
  py::object array = steal_or_throw(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
  data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.ptr())));
  return array;
}

py::object new_unicode_array(std::size_t size, std::size_t width, Py_UCS4*& data) {
  PyArray_Descr* descr = PyArray_DescrNewFromType(NPY_UNICODE);
  if (descr == nullptr) throw py::error_already_set();
  PyDataType_SET_ELSIZE(descr, static_cast<npy_intp>(width * sizeof(Py_UCS4)));
  npy_intp dims[1] = {static_cast<npy_intp>(size)};
  py::object array =
      steal_or_throw(PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, nullptr, nullptr, 0, nullptr));
  data = static_cast<Py_UCS4*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.ptr())));
  return array;
}

double* exclusive_float64_data(const py::object& array_object) {
  if (!PyArray_CheckExact(array_object.ptr()) || Py_REFCNT(array_object.ptr()) != 1) return nullptr;
  auto* array = reinterpret_cast<PyArrayObject*>(array_object.ptr());
  if (PyArray_TYPE(array) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(array) || !PyArray_ISCARRAY(array) ||
      !PyArray_CHKFLAGS(array, NPY_ARRAY_OWNDATA)) {
    return nullptr;
  }
  return static_cast<double*>(PyArray_DATA(array));
}

const double* contiguous_float64_data(const py::object& array_object, std::size_t size) {
  if (!PyArray_CheckExact(array_object.ptr())) return nullptr;
  auto* array = reinterpret_cast<PyArrayObject*>(array_object.ptr());
  if (PyArray_NDIM(array) != 1 || PyArray_TYPE(array) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(array) ||
      !PyArray_ISCARRAY_RO(array) || static_cast<std::size_t>(PyArray_DIM(array, 0)) != size) {
    return nullptr;
  }
  return static_cast<const double*>(PyArray_DATA(array));
}

std::optional<std::vector<double>> float64_column(py::handle array_object, std::size_t rows) {
  if (!PyArray_CheckExact(array_object.ptr())) return std::nullopt;
  auto* array = reinterpret_cast<PyArrayObject*>(array_object.ptr());
  if (PyArray_NDIM(array) != 2 || PyArray_TYPE(array) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(array) ||
      !PyArray_ISALIGNED(array) || PyArray_DIM(array, 0) != static_cast<npy_intp>(rows) || PyArray_DIM(array, 1) != 1) {
    return std::nullopt;
  }
  std::vector<double> values(rows);
  for (std::size_t k = 0; k < rows; ++k) values[k] = *static_cast<const double*>(PyArray_GETPTR2(array, k, 0));
  return values;
}

}  // namespace core_math::fast
