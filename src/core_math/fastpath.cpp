#include "fastpath.hpp"

#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#include <numpy/arrayobject.h>

#include <cstring>
#include <initializer_list>

#include "kernels/selection.hpp"
#include "kernels/spectral.hpp"
#include "kernels/synchronous_average.hpp"
#include "names.hpp"

namespace core_math::fast {
namespace {

PyObject* genuine_numpy = nullptr;  // held for the life of the process
PyObject* genuine_get_window = nullptr;  // likewise
PyObject* genuine_medfilt = nullptr;  // likewise
PyObject* genuine_filtfilt = nullptr;  // likewise
PyObject* genuine_interp1d = nullptr;  // likewise
PyObject* genuine_savgol_filter = nullptr;  // likewise
PyObject* genuine_savgol_coeffs = nullptr;  // likewise, as savgol_filter's module bound it
bool hann_matches = false;
std::size_t numpy_chunk = 0;

// Deterministic probe values spanning many magnitudes and both signs, so
// that any difference in the order of additions shows in the last bits.
double probe_value(std::size_t i) {
  std::uint64_t state = (i + 1) * 0x9E3779B97F4A7C15ull;
  state ^= state >> 31;
  state *= 0xBF58476D1CE4E5B9ull;
  state ^= state >> 29;
  const double unit = static_cast<double>(state >> 11) * 0x1.0p-53;
  return (unit - 0.3) * std::ldexp(1.0, static_cast<int>(state % 40) - 20);
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// What numpy itself says for one probe array, against the kernels.
struct ProbeVerdict {
  bool sum_matches[2];  // unchunked, chunked by 8192
  bool statistics_match;
};

constexpr std::size_t kChunkCandidates[2] = {0, 8192};

ProbeVerdict judge_probe(py::handle numpy, py::handle array, const Samples& samples) {
  const std::size_t n = samples.size;
  const double numpy_sum_value = numpy.attr("sum")(array).cast<double>();
  ProbeVerdict verdict{};
  for (int c = 0; c < 2; ++c) {
    verdict.sum_matches[c] = same_bits(kernels::numpy_sum(samples.values, n, kChunkCandidates[c]), numpy_sum_value);
  }
  const std::size_t chunk = verdict.sum_matches[0] ? 0 : 8192;
  bool match = same_bits(kernels::numpy_mean(samples.values, n, chunk), numpy.attr("mean")(array).cast<double>());
  if (n >= 2) {
    const double std_dev = numpy.attr("std")(array, py::arg("ddof") = 1).cast<double>();
    match = match && same_bits(kernels::numpy_sample_std(samples.values, n, chunk), std_dev);
  }
  const auto statistics = kernels::percentile_and_median(samples.values, n, 99.5);
  match = match && same_bits(statistics.percentile, numpy.attr("percentile")(array, 99.5).cast<double>()) &&
          same_bits(statistics.median, numpy.attr("median")(array).cast<double>());
  verdict.statistics_match = match;
  return verdict;
}

// Runs the kernels against numpy on probes longer and shorter than every
// block and chunk boundary, contiguous and strided.  Returns whether all
// agree, and sets the chunking that the sums follow.
bool self_check(py::handle numpy) {
  bool chunk_fits[2] = {true, true};
  bool statistics_match = true;
  for (std::size_t n : {1, 2, 3, 7, 8, 9, 15, 16, 17, 31, 100, 127, 128, 129, 136, 1000, 4099, 8191, 8192, 8193, 8200,
                        16385, 40000, 140001}) {
    double* data = nullptr;
    py::object doubled = new_float64_array(2 * n, data);
    for (std::size_t i = 0; i < 2 * n; ++i) data[i] = probe_value(i);
    py::object contiguous = item(doubled, steal_or_throw(PySlice_New(nullptr, py::int_(n).ptr(), nullptr)));
    py::object strided = item(doubled, steal_or_throw(PySlice_New(nullptr, nullptr, py::int_(2).ptr())));
    for (const py::object& array : {contiguous, strided}) {
      const std::optional<Samples> samples = float64_samples(array);
      if (!samples) return false;
      const ProbeVerdict verdict = judge_probe(numpy, array, *samples);
      for (int c = 0; c < 2; ++c) chunk_fits[c] = chunk_fits[c] && verdict.sum_matches[c];
      statistics_match = statistics_match && verdict.statistics_match;
    }
  }
  numpy_chunk = chunk_fits[0] ? 0 : 8192;
  return (chunk_fits[0] || chunk_fits[1]) && statistics_match;
}

}  // namespace

bool fast_paths_enabled = false;

int initialise(PyObject* numpy_module) {
  if (genuine_numpy != nullptr) return 0;
  // Without numpy's array interface the generic paths serve every call.
  if (PyArray_ImportNumPyAPI() < 0) {
    PyErr_Clear();
    return 0;
  }
  genuine_numpy = Py_NewRef(numpy_module);
  try {
    fast_paths_enabled = self_check(numpy_module);
  } catch (py::error_already_set& error) {
    error.discard_as_unraisable("kemo_pkg.core_math self-check");
    fast_paths_enabled = false;
  }
  return 0;
}

std::size_t summation_chunk() { return numpy_chunk; }

py::object least_squares_strictly(py::handle lstsq, py::handle lhs, py::handle rhs, py::handle cond) {
  static const Keywords every_event{"all"};
  static const Keywords cutoff{"cond"};
  py::object strict = call_kw(attr(genuine_numpy, name::errstate), every_event, name::raise.handle());
  py::object leave = attr(strict, name::dunder_exit);
  call(attr(strict, name::dunder_enter));
  py::object result;
  try {
    result = call_kw(lstsq, cutoff, lhs, rhs, cond);
  } catch (py::error_already_set& error) {
    call(leave, py::none(), py::none(), py::none());
    if (error.matches(PyExc_FloatingPointError)) return {};
    throw;
  }
  call(leave, py::none(), py::none(), py::none());
  return result;
}

namespace {

// Whether the native Hann window is scipy's, on lengths around the ones
// monitoring records have, odd and even.
bool hann_self_check() {
  for (std::size_t n : {1, 2, 3, 7, 64, 1000, 1024, 4097, 65536, 100003}) {
    py::object scipy_window = call(genuine_get_window, name::hann.handle(), py::int_(n));
    const auto expected = float64_samples(scipy_window);
    if (!expected || expected->size != n) return false;
    std::vector<double> native(n);
    kernels::periodic_hann(n, native.data());
    for (std::size_t i = 0; i < n; ++i) {
      if (!same_bits(native[i], expected->values[i])) return false;
    }
  }
  return true;
}

}  // namespace

bool native_hann_window() { return hann_matches; }

py::object hann_window(std::size_t n) {
  double* window = nullptr;
  py::object result = new_float64_array(n, window);
  kernels::periodic_hann(n, window);
  return result;
}

int remember_scipy_functions(PyObject* module_dict) {
  if (genuine_get_window != nullptr) return 0;
  if (PyDict_GetItemStringRef(module_dict, "get_window", &genuine_get_window) < 0) return -1;
  if (fast_paths_enabled && genuine_get_window != nullptr) {
    try {
      hann_matches = hann_self_check();
    } catch (py::error_already_set& error) {
      error.discard_as_unraisable("kemo_pkg.core_math self-check");
    }
  }
  if (PyDict_GetItemStringRef(module_dict, "medfilt", &genuine_medfilt) < 0) return -1;
  if (PyDict_GetItemStringRef(module_dict, "filtfilt", &genuine_filtfilt) < 0) return -1;
  if (PyDict_GetItemStringRef(module_dict, "interp1d", &genuine_interp1d) < 0) return -1;
  if (PyDict_GetItemStringRef(module_dict, "savgol_filter", &genuine_savgol_filter) < 0) return -1;
  if (genuine_savgol_filter == nullptr || !PyFunction_Check(genuine_savgol_filter)) return 0;
  return PyDict_GetItemStringRef(PyFunction_GetGlobals(genuine_savgol_filter), "savgol_coeffs", &genuine_savgol_coeffs) < 0
             ? -1
             : 0;
}

namespace {

bool bound_to(const Scope& scope, const Name& name, const PyObject* genuine) {
  PyObject* value = PyDict_GetItemWithError(scope.globals(), name.handle().ptr());  // borrowed
  if (value == nullptr) PyErr_Clear();
  return value != nullptr && value == genuine;
}

}  // namespace

bool window_designer_bound(const Scope& scope) { return bound_to(scope, name::get_window, genuine_get_window); }
bool median_filter_bound(const Scope& scope) { return bound_to(scope, name::medfilt, genuine_medfilt); }
bool zero_phase_filter_bound(const Scope& scope) { return bound_to(scope, name::filtfilt, genuine_filtfilt); }
bool interpolator_bound(const Scope& scope) { return bound_to(scope, name::interp1d, genuine_interp1d); }
bool smoothing_filter_bound(const Scope& scope) {
  return bound_to(scope, name::savgol_filter, genuine_savgol_filter);
}

PyObject* savgol_window_designer() {
  if (genuine_savgol_coeffs == nullptr) return nullptr;
  PyObject* designer = PyDict_GetItemWithError(PyFunction_GetGlobals(genuine_savgol_filter), name::savgol_coeffs.handle().ptr());
  if (designer == nullptr) PyErr_Clear();
  return designer == genuine_savgol_coeffs ? designer : nullptr;
}

bool numpy_bound(const Scope& scope) { return bound_to(scope, name::np, genuine_numpy); }

std::optional<Samples> float64_samples(py::handle obj) {
  if (!PyArray_CheckExact(obj.ptr())) return std::nullopt;
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
  if (genuine_numpy != nullptr && Py_IS_TYPE(obj.ptr(), &PyDoubleArrType_Type)) return PyFloat_AS_DOUBLE(obj.ptr());  // np.float64 is a float subclass
  return plain_number(obj);
}

bool is_non_finite_real(py::handle value) {
  PyObject* obj = value.ptr();
  const bool real = PyFloat_Check(obj) || (genuine_numpy != nullptr && PyObject_TypeCheck(obj, &PyFloatingArrType_Type));
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
  if (genuine_numpy == nullptr || !PyArray_CheckExact(temporary.ptr()) || Py_REFCNT(temporary.ptr()) != 1) return false;
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

py::object revolution_grid(std::size_t num, double stop) {
  double* grid = nullptr;
  py::object result = new_float64_array(num, grid);
  kernels::revolution_grid(num, stop, grid);
  return result;
}

py::object rfft_axis(std::size_t n, double d) {
  const double step = 1.0 / (static_cast<double>(n) * d);
  double* axis = nullptr;
  py::object result = new_float64_array(n / 2 + 1, axis);
  for (std::size_t i = 0; i <= n / 2; ++i) axis[i] = static_cast<double>(i) * step;
  return result;
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

py::object new_float64_matrix(std::size_t rows, std::size_t columns, double*& data) {
  npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(columns)};
  py::object array = steal_or_throw(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
  data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.ptr())));
  return array;
}

py::object new_float64_array(std::size_t size, double*& data) {
  npy_intp dims[1] = {static_cast<npy_intp>(size)};
  py::object array = steal_or_throw(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
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

}  // namespace core_math::fast
