// The map from sample time to shaft revolution count that order tracking
// builds on: straight lines between tachometer pulses, extended beyond the
// first and last pulse, in the arithmetic of scipy's linear interp1d.
#pragma once

#include "kernels/exact_arithmetic.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace core_math::kernels {

// Whether the pulse times strictly ascend and are finite: then the
// interpolator keeps them in their order and no interval is empty.
template <class View>
bool strictly_ascending(const View& pulse_times, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(pulse_times[i]) || (i > 0 && !(pulse_times[i - 1] < pulse_times[i]))) return false;
  }
  return true;
}

// How many sample times lie within [first_pulse, last_pulse], both ends
// included (NaN lies nowhere).
template <class View>
std::size_t count_within(const View& t, std::size_t n, double first_pulse, double last_pulse) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < n; ++i) count += t[i] >= first_pulse && t[i] <= last_pulse;
  return count;
}

// For every sample within the pulses' span, its value and its revolution
// count.  Between pulses lo = k - 1 and hi = k, where k is the first pulse
// at or after the sample's time, kept within 1 .. n_pulses - 1, the count
// is ((t - x_lo) / (x_hi - x_lo)) * hi + ((x_hi - t) / (x_hi - x_lo)) * lo.
template <class TimeView, class ValueView>
void track_within(const TimeView& t, const ValueView& y, std::size_t n, const double* pulse_times,
                  std::size_t n_pulses, double* revs, double* values) {
  const double first_pulse = pulse_times[0], last_pulse = pulse_times[n_pulses - 1];
  std::size_t j = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double time = t[i];
    if (!(time >= first_pulse && time <= last_pulse)) continue;
    const std::size_t first_at_or_after =
        static_cast<std::size_t>(std::lower_bound(pulse_times, pulse_times + n_pulses, time) - pulse_times);
    const std::size_t hi = std::clamp<std::size_t>(first_at_or_after, 1, n_pulses - 1), lo = hi - 1;
    const double x_lo = pulse_times[lo], x_hi = pulse_times[hi];
    revs[j] = ((time - x_lo) / (x_hi - x_lo)) * static_cast<double>(hi) +
              ((x_hi - time) / (x_hi - x_lo)) * static_cast<double>(lo);
    values[j] = y[i];
    ++j;
  }
}

}  // namespace core_math::kernels
