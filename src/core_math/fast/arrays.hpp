// Array access for the fast paths: the float64 records they read in place,
// and the new arrays they write their results into.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "kernels/summation.hpp"
#include "runtime/pyops.hpp"

namespace core_math::fast {

// A 1-D float64 ndarray (exactly ndarray, native byte order, aligned).
struct Samples {
  kernels::Strided values;
  std::size_t size;
  const double* contiguous;  // the same values when they lie side by side, else nullptr
};

// The samples of `obj`, if it is such an array and numpy's C API is in
// use; else nothing, and the call is the generic body's.
std::optional<Samples> float64_samples(py::handle obj);

// Calls `kernel` with the samples as the fastest view that fits them.
template <class Kernel>
decltype(auto) with_view(const Samples& samples, Kernel&& kernel) {
  if (samples.contiguous != nullptr) return kernel(kernels::Contiguous(samples.contiguous));
  return kernel(samples.values);
}

// Whether any sample is NaN; whether every sample is finite.
bool any_nan(const Samples& samples);
bool all_finite(const Samples& samples);

// A new contiguous float64 array of `size` elements; `data` receives its buffer.
py::object new_float64_array(std::size_t size, double*& data);
// A new float64 array of shape (rows, columns), C order; `data` receives its buffer.
py::object new_float64_matrix(std::size_t rows, std::size_t columns, double*& data);
// A new array of `size` unicode strings of `width` characters; `data`
// receives its UCS4 buffer.
py::object new_unicode_array(std::size_t size, std::size_t width, Py_UCS4*& data);

// The writable buffer of a contiguous, native float64 array that owns its
// data and that only the caller holds, else nullptr.
double* exclusive_float64_data(const py::object& array);

// The buffer of a contiguous, native float64 array of `size` elements, else nullptr.
const double* contiguous_float64_data(const py::object& array, std::size_t size);

// The values of a float64 column vector of `rows` rows (shape (rows, 1)).
std::optional<std::vector<double>> float64_column(py::handle array, std::size_t rows);

}  // namespace core_math::fast
