// What every native fast path relies on: the guards that decide whether a
// call is the common case, access to float64 arrays, and the floating-point
// flags that send a call back to the generic path whenever numpy would warn.
#pragma once

#include <cfenv>
#include <cstddef>
#include <optional>
#include <vector>

#include "kernels/summation.hpp"
#include "pyops.hpp"

namespace core_math::fast {

// Decides, once per process, whether the fast paths reproduce the installed
// numpy; returns -1 only with a Python error set.
int initialise(PyObject* numpy_module);

// Whether fast paths run at all (set once, at import), and how the
// installed numpy chunks its sums.
extern bool fast_paths_enabled;
inline bool enabled() { return fast_paths_enabled; }
std::size_t summation_chunk();

// scipy's lstsq(lhs, rhs, cond=cond), run with numpy raising on every
// floating-point event; empty when one occurred, so that a fit whose numpy
// arithmetic would warn is abandoned before it has warned.
py::object least_squares_strictly(py::handle lstsq, py::handle lhs, py::handle rhs, py::handle cond);

// Notes the scipy functions that the module imported and that fast paths
// stand in for; -1 with an error set.
int remember_scipy_functions(PyObject* module_dict);

// The namespace still binds the numpy that was imported as `np`, and the
// scipy get_window, medfilt, filtfilt, interp1d and savgol_filter imported
// with it.
bool numpy_bound(const Scope& scope);
bool window_designer_bound(const Scope& scope);
bool median_filter_bound(const Scope& scope);
bool zero_phase_filter_bound(const Scope& scope);
bool interpolator_bound(const Scope& scope);
bool smoothing_filter_bound(const Scope& scope);

// scipy's get_window("hann", n), computed here; only while the check at
// import found the native window equal to scipy's to the bit (the cosines
// are the C library's, as numpy's are on this platform).
bool native_hann_window();
py::object hann_window(std::size_t n);

// The scipy function that savgol_filter designs its window with, while its
// module still binds the one it bound at import.  Borrowed; else nullptr.
PyObject* savgol_window_designer();

// A 1-D float64 ndarray (exactly ndarray, native byte order, aligned).
struct Samples {
  kernels::Strided values;
  std::size_t size;
  const double* contiguous;  // the same values when they lie side by side, else nullptr
};

// Calls `kernel` with the samples as the fastest view that fits them.
template <class Kernel>
decltype(auto) with_view(const Samples& samples, Kernel&& kernel) {
  if (samples.contiguous != nullptr) return kernel(kernels::Contiguous(samples.contiguous));
  return kernel(samples.values);
}
std::optional<Samples> float64_samples(py::handle obj);

// Whether any sample is NaN; whether every sample is finite.
bool any_nan(const Samples& samples);
bool all_finite(const Samples& samples);

// A Python float, or a Python int small enough to convert exactly.
std::optional<double> plain_number(py::handle obj);
// A plain number, or a numpy float64 scalar such as a spacing read off an
// axis array; for values that only ever meet numpy's own arithmetic.
std::optional<double> real_number(py::handle obj);

// A Python float and nothing else.
inline std::optional<double> plain_float(py::handle obj) {
  if (!PyFloat_CheckExact(obj.ptr())) return std::nullopt;
  return PyFloat_AS_DOUBLE(obj.ptr());
}
// A Python int that fits a long long.
std::optional<long long> plain_int(py::handle obj);
// An integer of any kind numpy or Python has (anything with __index__) that
// fits a long long.
std::optional<long long> index_value(py::handle obj);

// A Python float or numpy floating scalar that is NaN or infinite.
bool is_non_finite_real(py::handle value);

// Arithmetic on a large float64 temporary and a scalar.  Called from the
// interpreter, numpy writes the result into the temporary's own buffer
// ("temporary elision"); a body's temporaries get the same: same values,
// same warnings, and no second large array to allocate.
py::object scalar_times_temporary(py::handle scalar, py::object temporary);
py::object temporary_times_scalar(py::object temporary, py::handle scalar);
py::object temporary_over_scalar(py::object temporary, py::handle scalar);

// np.linspace(0, stop, num, endpoint=False) for a positive stop that is a
// double exactly.
py::object revolution_grid(std::size_t num, double stop);

// The axis np.fft.rfftfreq(n, d) gives, for a spacing whose n * d is a
// finite, nonzero double.
py::object rfft_axis(std::size_t n, double d);

// The writable buffer of a contiguous, native float64 array that owns its
// data and that only the caller holds, else nullptr.
double* exclusive_float64_data(const py::object& array);

// The buffer of a contiguous, native float64 array of `size` elements, else nullptr.
const double* contiguous_float64_data(const py::object& array, std::size_t size);

// The values of a float64 column vector of `rows` rows (shape (rows, 1)),
// as a least-squares solver returns its solution.
std::optional<std::vector<double>> float64_column(py::handle array, std::size_t rows);

// A new float64 array of shape (rows, columns), C order; `data` receives its buffer.
py::object new_float64_matrix(std::size_t rows, std::size_t columns, double*& data);

// A new contiguous float64 array of `size` elements; `data` receives its buffer.
py::object new_float64_array(std::size_t size, double*& data);
// A new array of `size` unicode strings of `width` characters; `data`
// receives its UCS4 buffer.
py::object new_unicode_array(std::size_t size, std::size_t width, Py_UCS4*& data);

// Clears the floating-point flags on construction; raised() tells whether
// the kernel since then did anything numpy would warn about.
class FloatingPointWatch {
 public:
  FloatingPointWatch() { restart(); }
  // Forgets what calls made since construction raised.
  void restart() { std::feclearexcept(FE_ALL_EXCEPT); }
  bool raised() const { return std::fetestexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW | FE_UNDERFLOW) != 0; }
};

// A new float64 array of `size` values that `kernel(view, out)` writes from
// the samples, or an empty object, for the body to take over, when the
// kernel raised a floating-point flag.
template <class Kernel>
py::object float64_result(const Samples& samples, std::size_t size, Kernel&& kernel) {
  const FloatingPointWatch watch;
  double* out = nullptr;
  py::object result = new_float64_array(size, out);
  with_view(samples, [&](const auto& values) { kernel(values, out); });
  if (watch.raised()) return {};
  return result;
}

}  // namespace core_math::fast
