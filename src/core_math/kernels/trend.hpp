// Trend kernels: the recursive severity envelope, the trailing moving
// average and the dynamic z-score, each as numpy computes them sample by
// sample.
#pragma once

#include "kernels/exact_arithmetic.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "kernels/summation.hpp"

namespace core_math::kernels {

// Fast attack, slow decay: the larger of the previous output and the new
// sample weighs `peak_weight`, the smaller `1.0 - peak_weight`.  n > 0.
template <class View>
void severity_envelope(const View& x, std::size_t n, double peak_weight, double* smoothed) {
  const double decay_weight = 1.0 - peak_weight;
  smoothed[0] = x[0];
  for (std::size_t i = 1; i < n; ++i) {
    const double prev = smoothed[i - 1];
    const double sample = x[i];
    // Branches rather than selects: the envelope mostly sits above the
    // samples, so they predict well and keep prev's dependency chain short.
    if (std::isgreater(sample, prev)) {
      smoothed[i] = peak_weight * sample + decay_weight * prev;
    } else if (std::isless(sample, prev)) {
      smoothed[i] = peak_weight * prev + decay_weight * sample;
    } else {
      // Neither is greater (a tie, or a NaN on either side): Python's max
      // and min both keep the earlier argument, prev, and the two weighted
      // terms need not add up to prev to the bit.
      smoothed[i] = peak_weight * prev + decay_weight * prev;
    }
  }
}

// Trailing mean over `window` samples (0 < window <= n); the first
// `window` outputs average the samples so far.  The window sum is carried
// from sample to sample, exactly as the running update does it, and taken
// afresh when a NaN or infinite sample leaves the window.
template <class View>
void moving_average(const View& x, std::size_t n, std::size_t window, std::size_t chunk, double* result) {
  for (std::size_t i = 0; i < window; ++i) result[i] = numpy_mean(x, i + 1, chunk);
  if (n <= window) return;
  double window_sum = numpy_sum(x, window, chunk);
  const double divisor = static_cast<double>(window);
  for (std::size_t i = window; i < n; ++i) {
    const double leaving = x[i - window];
    if (std::isfinite(leaving)) {
      window_sum = window_sum - leaving;
      window_sum = window_sum + x[i];
    } else {
      window_sum = numpy_sum(x.from(i + 1 - window), window, chunk);
    }
    result[i] = window_sum / divisor;
  }
}

// Each sample scored against the up to `baseline_window` samples before it;
// 0.0 where the baseline holds fewer than two samples or has no spread.
template <class View>
void dynamic_zscore(const View& x, std::size_t n, std::size_t baseline_window, std::size_t chunk, double* z_scores) {
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t start = i > baseline_window ? i - baseline_window : 0;
    const std::size_t count = i - start;
    z_scores[i] = 0.0;
    if (count < 2) continue;
    const View baseline = x.from(start);
    const double std_dev = numpy_sample_std(baseline, count, chunk);
    if (std::isgreater(std_dev, 1e-9)) z_scores[i] = (x[i] - numpy_mean(baseline, count, chunk)) / std_dev;
  }
}

// np.gradient of a series at unit spacing (n >= 2): central differences
// inside, one-sided at the ends, in numpy's order; then divided by the
// sample spacing `time_delta`.
template <class View>
void gradient_per_time(const View& x, std::size_t n, double time_delta, double* velocity) {
  for (std::size_t i = 1; i + 1 < n; ++i) velocity[i] = (x[i + 1] - x[i - 1]) / 2.0;
  velocity[0] = (x[1] - x[0]) / 1.0;
  velocity[n - 1] = (x[n - 1] - x[n - 2]) / 1.0;
  for (std::size_t i = 0; i < n; ++i) velocity[i] = velocity[i] / time_delta;
}

// The longest window the running median keeps sorted in place; longer
// windows are scipy's.
constexpr std::size_t kMaxMedianWindow = 255;

// Whether the median of a window is fixed to the bit: without NaN and
// without -0.0, values that compare equal are the same double, so every
// correct selection returns the same one.
template <class View>
bool median_is_unambiguous(const View& x, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    const double value = x[i];
    if (std::isnan(value) || (value == 0.0 && std::signbit(value))) return false;
  }
  return true;
}

// scipy's median filter of a record: each output is the middle one of the
// `window` samples centred on it (window odd, 1 <= window <= kMaxMedianWindow),
// zeros standing in beyond both ends.  The window is kept sorted as it
// slides: the sample that leaves makes room, the one that enters moves to
// its place.
template <class View>
void running_median(const View& x, std::size_t n, std::size_t window, double* medians) {
  const std::size_t half = window / 2;
  const auto sample = [&](std::size_t i_plus_half) {
    return i_plus_half < half || i_plus_half - half >= n ? 0.0 : x[i_plus_half - half];
  };
  double sorted[kMaxMedianWindow];
  for (std::size_t j = 0; j < window; ++j) sorted[j] = sample(j);
  std::sort(sorted, sorted + window);
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) {
      const double leaving = sample(i - 1);
      const double entering = sample(i + 2 * half);
      std::size_t at = static_cast<std::size_t>(std::lower_bound(sorted, sorted + window, leaving) - sorted);
      while (at + 1 < window && sorted[at + 1] < entering) {
        sorted[at] = sorted[at + 1];
        ++at;
      }
      while (at > 0 && sorted[at - 1] > entering) {
        sorted[at] = sorted[at - 1];
        --at;
      }
      sorted[at] = entering;
    }
    medians[i] = sorted[half];
  }
}

}  // namespace core_math::kernels
