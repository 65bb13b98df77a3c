// Savitzky-Golay smoothing as scipy computes it: the window's coefficients
// correlated with the record, zeros beyond both ends, and the samples within
// half a window of either end replaced by the polynomial fitted to the
// first or last window.  The least-squares fits themselves are LAPACK's and
// stay with the caller; these are the parts around them.
#pragma once

#include "kernels/exact_arithmetic.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "kernels/summation.hpp"

namespace core_math::kernels {

// How scipy's correlation treats a kernel of odd length: mirror pairs equal
// (or opposite) to within DBL_EPSILON are summed (or differenced) before
// they are weighted, with the weights of the first half.
enum class Symmetry { symmetric, antisymmetric, none };

inline Symmetry kernel_symmetry(const double* weights, std::size_t size) {
  const std::size_t half = size / 2;
  const double* centre = weights + half;
  const auto all_pairs = [&](auto&& close) {
    for (std::size_t k = 1; k <= half; ++k) {
      if (!close(centre[k], centre[-static_cast<std::ptrdiff_t>(k)])) return false;
    }
    return true;
  };
  constexpr double kEpsilon = 2.220446049250313e-16;
  if (all_pairs([](double right, double left) { return !(std::fabs(right - left) > kEpsilon); })) {
    return Symmetry::symmetric;
  }
  if (all_pairs([](double right, double left) { return !(std::fabs(right + left) > kEpsilon); })) {
    return Symmetry::antisymmetric;
  }
  return Symmetry::none;
}

// out[i] = sum of x[i + j] * weights[half + j], zeros beyond both ends, in
// scipy's order of operations for the kernel's symmetry (odd size).  Blocks
// of outputs go through a zero-padded scratch copy, tap by tap, so that
// each output keeps its own order of additions while neighbouring outputs
// are computed side by side.
template <class View>
void correlate_zero_padded(const View& x, std::size_t n, const double* weights, std::size_t size, double* out) {
  constexpr std::size_t kBlock = 1024;
  const std::size_t half = size / 2;
  const Symmetry symmetry = kernel_symmetry(weights, size);
  const double* w = weights + half;  // centre tap
  std::vector<double> padded(kBlock + 2 * half);
  for (std::size_t first = 0; first < n; first += kBlock) {
    const std::size_t count = std::min(kBlock, n - first);
    for (std::size_t k = 0; k < count + 2 * half; ++k) {
      const std::size_t at = first + k;  // position + half in the record
      padded[k] = at < half || at - half >= n ? 0.0 : x[at - half];
    }
    const double* line = padded.data() + half;  // line[k] is sample first + k
    double* acc = out + first;
    if (symmetry == Symmetry::none) {
      // The last tap first, then the others in order.
      const auto last = static_cast<std::ptrdiff_t>(size - 1 - half);
      for (std::size_t k = 0; k < count; ++k) acc[k] = line[k + last] * w[last];
      for (std::ptrdiff_t j = -static_cast<std::ptrdiff_t>(half); j < last; ++j) {
        for (std::size_t k = 0; k < count; ++k) acc[k] += line[k + j] * w[j];
      }
      continue;
    }
    const double sign = symmetry == Symmetry::symmetric ? 1.0 : -1.0;
    for (std::size_t k = 0; k < count; ++k) acc[k] = line[k] * w[0];
    for (std::ptrdiff_t j = -static_cast<std::ptrdiff_t>(half); j < 0; ++j) {
      if (sign > 0) {
        for (std::size_t k = 0; k < count; ++k) acc[k] += (line[k + j] + line[k - j]) * w[j];
      } else {
        for (std::size_t k = 0; k < count; ++k) acc[k] += (line[k + j] - line[k - j]) * w[j];
      }
    }
  }
}

// The scaled design of an edge fit: row r holds r**poly_order .. r**0 for
// r = 0 .. window - 1 (exact: the caller keeps the powers below 2**53), each
// column divided by its norm, sqrt of the column's sum of squares.  numpy
// sums a single column pairwise and several columns row by row.
inline void edge_design(std::size_t window, std::size_t poly_order, std::size_t chunk, std::vector<double>& design,
                        std::vector<double>& scale) {
  const std::size_t order = poly_order + 1;
  design.assign(window * order, 0.0);
  for (std::size_t r = 0; r < window; ++r) {
    double power = 1.0;
    for (std::size_t k = order; k-- > 0;) {
      design[r * order + k] = power;
      power *= static_cast<double>(r);
    }
  }
  std::vector<double> squares(window * order);
  for (std::size_t i = 0; i < squares.size(); ++i) squares[i] = design[i] * design[i];
  scale.assign(order, 0.0);
  if (order == 1) {
    scale[0] = numpy_sum(Contiguous(squares.data()), window, chunk);
  } else {
    for (std::size_t r = 0; r < window; ++r) {
      for (std::size_t k = 0; k < order; ++k) scale[k] += squares[r * order + k];
    }
  }
  for (double& norm : scale) norm = std::sqrt(norm);
  for (std::size_t i = 0; i < design.size(); ++i) design[i] /= scale[i % order];
}

// The fitted polynomial at positions first, first + 1, ... (count of them)
// within the window: the solved coefficients unscaled, then Horner's rule
// from zero, as numpy evaluates it.
inline void edge_values(const double* solution, const std::vector<double>& scale, std::size_t first,
                        std::size_t count, double* out) {
  std::vector<double> coefficients(scale.size());
  for (std::size_t k = 0; k < scale.size(); ++k) coefficients[k] = solution[k] / scale[k];
  for (std::size_t i = 0; i < count; ++i) {
    const double position = static_cast<double>(first + i);
    double value = 0.0;
    for (double coefficient : coefficients) value = value * position + coefficient;
    out[i] = value;
  }
}

}  // namespace core_math::kernels
