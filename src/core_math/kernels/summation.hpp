// numpy's float64 summation, operation for operation, so that sums, means and
// standard deviations computed here carry the same bits as numpy's.
//
// numpy adds pairwise: blocks of at most 128 values go through eight
// interleaved accumulators, longer runs are split in two at a multiple of 8.
// Older releases also cut the array into chunks of the iterator's buffer
// size and folded the chunk sums left to right; `chunk` selects that (0 for
// none).  The self-check at import measures which one the installed numpy
// does.
#pragma once

#include "kernels/exact_arithmetic.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace core_math::kernels {

// A read-only 1-D float64 array of any stride.
class Strided {
 public:
  Strided(const void* data, std::ptrdiff_t stride_bytes) : data_(static_cast<const char*>(data)), stride_(stride_bytes) {}
  double operator[](std::size_t i) const {
    double value;
    std::memcpy(&value, data_ + static_cast<std::ptrdiff_t>(i) * stride_, sizeof value);
    return value;
  }
  Strided from(std::size_t first) const { return Strided(data_ + static_cast<std::ptrdiff_t>(first) * stride_, stride_); }

 private:
  const char* data_;
  std::ptrdiff_t stride_;
};

// A contiguous one: the common case, which the compiler can vectorise.
class Contiguous {
 public:
  explicit Contiguous(const double* data) : data_(data) {}
  double operator[](std::size_t i) const { return data_[i]; }
  const double* data() const { return data_; }
  Contiguous from(std::size_t first) const { return Contiguous(data_ + first); }

 private:
  const double* data_;
};

// The squares of a view, as `values ** 2` makes them.
template <class View>
class Squared {
 public:
  explicit Squared(const View& values) : values_(values) {}
  double operator[](std::size_t i) const {
    const double value = values_[i];
    return value * value;
  }
  Squared from(std::size_t first) const { return Squared(values_.from(first)); }

 private:
  View values_;
};

// Squared deviations from `mean`, as numpy's variance forms them.
template <class View>
class SquaredDeviation {
 public:
  SquaredDeviation(const View& values, double mean) : values_(values), mean_(mean) {}
  double operator[](std::size_t i) const {
    const double deviation = values_[i] - mean_;
    return deviation * deviation;
  }
  SquaredDeviation from(std::size_t first) const { return SquaredDeviation(values_.from(first), mean_); }

 private:
  View values_;
  double mean_;
};

template <class View>
double pairwise_sum(const View& a, std::size_t n) {
  if (n < 8) {
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += a[i];
    return sum;
  }
  if (n <= 128) {
    double r[8];
    for (std::size_t j = 0; j < 8; ++j) r[j] = a[j];
    std::size_t i = 8;
    for (; i + 8 <= n; i += 8) {
      for (std::size_t j = 0; j < 8; ++j) r[j] += a[i + j];
    }
    double sum = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) sum += a[i];
    return sum;
  }
  std::size_t half = n / 2;
  half -= half % 8;
  return pairwise_sum(a, half) + pairwise_sum(a.from(half), n - half);
}

// np.sum of the first n values.  numpy's reduction starts from 0.0, which
// is why a sum of negative zeros is +0.0.
template <class View>
double numpy_sum(const View& a, std::size_t n, std::size_t chunk) {
  double sum = 0.0;
  if (chunk == 0) return sum + pairwise_sum(a, n);
  for (std::size_t first = 0; first < n; first += chunk) {
    sum += pairwise_sum(a.from(first), n - first < chunk ? n - first : chunk);
  }
  return sum;
}

// np.mean of the first n values (n > 0).
template <class View>
double numpy_mean(const View& a, std::size_t n, std::size_t chunk) {
  return numpy_sum(a, n, chunk) / static_cast<double>(n);
}

// np.std(a, ddof=1) of the first n values (n > 1).
template <class View>
double numpy_sample_std(const View& a, std::size_t n, std::size_t chunk) {
  const double mean = numpy_mean(a, n, chunk);
  const double variance = numpy_sum(SquaredDeviation<View>(a, mean), n, chunk) / static_cast<double>(n - 1);
  return std::sqrt(variance);
}

// y - offset, element by element.
template <class View>
void subtract(const View& y, std::size_t n, double offset, double* out) {
  for (std::size_t i = 0; i < n; ++i) out[i] = y[i] - offset;
}

// A contiguous record a vector at a time, as numpy's own loop does where the
// processor has the vectors: each lane subtracts exactly what the scalar loop does.
[[gnu::always_inline]] inline void contiguous_subtract(const double* __restrict y, std::size_t n, double offset,
                                                       double* __restrict out) {
  for (std::size_t i = 0; i < n; ++i) out[i] = y[i] - offset;
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) inline void subtract_avx2(const double* y, std::size_t n, double offset, double* out) {
  contiguous_subtract(y, n, offset, out);
}
#endif

inline void subtract(const Contiguous& y, std::size_t n, double offset, double* out) {
#if defined(__x86_64__)
  static const bool has_avx2 = __builtin_cpu_supports("avx2");
  if (has_avx2) return subtract_avx2(y.data(), n, offset, out);
#endif
  contiguous_subtract(y.data(), n, offset, out);
}

// y - np.mean(y) for n > 0 values.
template <class View>
void remove_mean(const View& y, std::size_t n, std::size_t chunk, double* centred) {
  subtract(y, n, numpy_mean(y, n, chunk), centred);
}

}  // namespace core_math::kernels
