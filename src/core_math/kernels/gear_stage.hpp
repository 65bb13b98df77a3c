// Revolution times of the slow shaft of a gear stage, as np.interp finds
// them between the fast shaft's tachometer pulses.
#pragma once

#include "kernels/exact_arithmetic.hpp"

#include <cstddef>

namespace core_math::kernels {

// Pulse k of the fast shaft marks slow-shaft count k / gear_ratio.  For every
// whole slow count 0 .. last_rev (all within the pulses' counts, n >= 2,
// gear_ratio positive), the time between the two pulses around it by linear
// interpolation, in np.interp's arithmetic: a count that falls on a pulse
// takes that pulse's time, any other one slope * (target - count) + time.
template <class View>
void whole_revolution_times(const View& pulse_times, std::size_t n, double gear_ratio, std::size_t last_rev,
                            double* times) {
  std::size_t j = 0;  // the last pulse at or below the target count
  double count = 0.0 / gear_ratio;
  double next_count = 1.0 / gear_ratio;
  for (std::size_t rev = 0; rev <= last_rev; ++rev) {
    const double target = static_cast<double>(rev);
    while (j + 1 < n && next_count <= target) {
      ++j;
      count = next_count;
      next_count = static_cast<double>(j + 1) / gear_ratio;
    }
    if (j + 1 == n || count == target) {
      times[rev] = pulse_times[j];
      continue;
    }
    const double slope = (pulse_times[j + 1] - pulse_times[j]) / (next_count - count);
    times[rev] = slope * (target - count) + pulse_times[j];
  }
}

}  // namespace core_math::kernels
