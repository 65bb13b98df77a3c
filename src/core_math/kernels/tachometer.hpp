// Pulse mid-times of a tachometer record against a fixed threshold.
#pragma once

#include "kernels/exact_arithmetic.hpp"

#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

namespace core_math::kernels {

// Scans y[0..n) for runs strictly above `threshold` and appends the
// mid-time (t[first] + t[last]) / 2 of each run to `midpoints`, dropping a
// run that follows the last kept one by less than `min_spacing`.  A run
// open at either end of the record is cut there.  Returns false, with
// `midpoints` incomplete, when a run reaches past the `n_times` samples of t.
template <class Times, class Samples>
bool pulse_midpoints(const Times& t, std::size_t n_times, const Samples& y, std::size_t n, double threshold,
                     double min_spacing, std::vector<double>& midpoints) {
  double last_midpoint = -std::numeric_limits<double>::infinity();
  auto close_pulse = [&](std::size_t first, std::size_t last) {
    if (last >= n_times) return false;
    const double mid_t = (t[first] + t[last]) / 2.0;
    if (std::isgreaterequal(mid_t - last_midpoint, min_spacing)) {
      midpoints.push_back(mid_t);
      last_midpoint = mid_t;
    }
    return true;
  };
  bool inside = false;
  std::size_t first = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const bool above = std::isgreater(y[i], threshold);
    if (above && !inside) {
      first = i;
      inside = true;
    } else if (!above && inside) {
      inside = false;
      if (!close_pulse(first, i - 1)) return false;
    }
  }
  return !inside || close_pulse(first, n - 1);
}

}  // namespace core_math::kernels
