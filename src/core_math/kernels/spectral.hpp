// Spectral kernels: scipy's periodic Hann window, which axis points fall in
// a window, the peak amplitude there, and the root-sum-square of a band.
#pragma once

#include "kernels/exact_arithmetic.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "kernels/summation.hpp"

namespace core_math::kernels {

// scipy's periodic Hann window of n points as it sums it: 0.5 * cos(0 * x)
// and 0.5 * cos(x) added to zeros, with x running from -pi in steps of
// 2 pi / n (np.linspace over n + 1 points, the last one dropped).  The
// first term is exactly 0.5.  One point is a window of 1.
inline void periodic_hann(std::size_t n, double* window) {
  if (n == 1) {
    window[0] = 1.0;
    return;
  }
  constexpr double kPi = 3.141592653589793;
  const double step = (kPi - -kPi) / static_cast<double>(n);
  for (std::size_t i = 0; i < n; ++i) window[i] = 0.5 + 0.5 * std::cos(static_cast<double>(i) * step + -kPi);
}

inline bool inside(double position, double lower, double upper) {
  return std::isgreaterequal(position, lower) && std::islessequal(position, upper);
}

// Axis points [first, first + count) lie in the window; `one_run` is false
// when the selected points are not side by side.
struct Selection {
  std::size_t first;
  std::size_t count;
  bool one_run;
};

// How many of axis[begin..end) lie in [lower, upper].
template <class View>
std::size_t count_inside(const View& axis, std::size_t begin, std::size_t end, double lower, double upper) {
  std::size_t count = 0;
  for (std::size_t i = begin; i < end; ++i) count += inside(axis[i], lower, upper);
  return count;
}

#if defined(__x86_64__)
// A spectrum is read whole for every feature, so the count over a
// contiguous axis runs four or two points at a time, with quiet compares
// that leave the floating-point flags alone.
__attribute__((target("avx2"))) inline std::size_t count_inside_avx2(const double* axis, std::size_t n, double lower,
                                                                     double upper) {
  const __m256d low = _mm256_set1_pd(lower), high = _mm256_set1_pd(upper);
  __m256i counts = _mm256_setzero_si256();
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m256d position = _mm256_loadu_pd(axis + i);
    const __m256d in = _mm256_and_pd(_mm256_cmp_pd(position, low, _CMP_GE_OQ), _mm256_cmp_pd(position, high, _CMP_LE_OQ));
    counts = _mm256_sub_epi64(counts, _mm256_castpd_si256(in));
  }
  alignas(32) std::int64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), counts);
  std::size_t count = static_cast<std::size_t>(lanes[0] + lanes[1] + lanes[2] + lanes[3]);
  for (; i < n; ++i) count += inside(axis[i], lower, upper);
  return count;
}

inline std::size_t count_inside(const Contiguous& axis, std::size_t begin, std::size_t end, double lower,
                                double upper) {
  static const bool has_avx2 = __builtin_cpu_supports("avx2");
  if (has_avx2) return count_inside_avx2(axis.data() + begin, end - begin, lower, upper);
  std::size_t count = 0;
  for (std::size_t i = begin; i < end; ++i) count += inside(axis[i], lower, upper);
  return count;
}
#endif

// A spectrum's axis ascends, so the window is the run that bisection finds;
// a count over the whole axis confirms it.  Any other axis is scanned point
// by point.
template <class View>
Selection select_window(const View& axis, std::size_t n, double lower, double upper) {
  std::size_t low = 0, high = n;  // first point not below `lower`
  while (low < high) {
    const std::size_t mid = low + (high - low) / 2;
    if (axis[mid] < lower) low = mid + 1; else high = mid;
  }
  const std::size_t first = low;
  high = n;  // first point above `upper`
  while (low < high) {
    const std::size_t mid = low + (high - low) / 2;
    if (axis[mid] <= upper) low = mid + 1; else high = mid;
  }
  const std::size_t end = low;
  if (count_inside(axis, first, end, lower, upper) == end - first && count_inside(axis, 0, first, lower, upper) == 0 &&
      count_inside(axis, end, n, lower, upper) == 0) {
    return {first, end - first, true};
  }
  Selection selection{0, 0, true};
  for (std::size_t i = 0; i < n; ++i) {
    if (!inside(axis[i], lower, upper)) continue;
    if (selection.count == 0) {
      selection.first = i;
    } else if (selection.first + selection.count != i) {
      selection.one_run = false;
    }
    ++selection.count;
  }
  return selection;
}

// The greatest amplitude among the selected points.
struct Peak {
  double value;
  bool has_nan;  // a NaN amplitude among them
};

inline void take_peak(Peak& peak, double amp) {
  if (std::isnan(amp)) peak.has_nan = true;
  if (std::isgreater(amp, peak.value)) peak.value = amp;
}

template <class View>
Peak run_peak(const View& amps, std::size_t first, std::size_t count) {
  Peak peak{-INFINITY, false};
  for (std::size_t i = first; i < first + count; ++i) take_peak(peak, amps[i]);
  return peak;
}

#if defined(__x86_64__)
// Four amplitudes at a time; which of two equal zeros wins does not matter,
// the caller leaves a zero peak to numpy.
__attribute__((target("avx2"))) inline Peak run_peak_avx2(const double* amps, std::size_t count) {
  __m256d best = _mm256_set1_pd(-INFINITY);
  __m256d unordered = _mm256_setzero_pd();
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    const __m256d amp = _mm256_loadu_pd(amps + i);
    unordered = _mm256_or_pd(unordered, _mm256_cmp_pd(amp, amp, _CMP_UNORD_Q));
    best = _mm256_max_pd(best, amp);
  }
  alignas(32) double lanes[4];
  _mm256_store_pd(lanes, best);
  Peak peak{-INFINITY, _mm256_movemask_pd(unordered) != 0};
  for (double lane : lanes) take_peak(peak, lane);
  for (; i < count; ++i) take_peak(peak, amps[i]);
  return peak;
}

inline Peak run_peak(const Contiguous& amps, std::size_t first, std::size_t count) {
  static const bool has_avx2 = __builtin_cpu_supports("avx2");
  if (has_avx2) return run_peak_avx2(amps.data() + first, count);
  Peak peak{-INFINITY, false};
  for (std::size_t i = first; i < first + count; ++i) take_peak(peak, amps[i]);
  return peak;
}
#endif

template <class Axis, class Amps>
Peak window_peak(const Axis& axis, const Amps& amps, std::size_t n, double lower, double upper,
                 const Selection& selection) {
  if (selection.one_run) return run_peak(amps, selection.first, selection.count);
  Peak peak{-INFINITY, false};
  for (std::size_t i = 0; i < n; ++i) {
    if (inside(axis[i], lower, upper)) take_peak(peak, amps[i]);
  }
  return peak;
}

// Whether correcting these magnitudes of an n-point transform by 2/n and
// `acf`, then scaling by at most 2 and squaring, stays clear of overflow and
// underflow (zero, NaN and infinity pass through such products without a
// flag).  The bounds leave generous room both ways.
inline bool scales_quietly(const double* magnitudes, std::size_t n_lines, double acf) {
  constexpr double kLargest = 1e70, kSmallest = 1e-70;
  const double acf_size = std::fabs(acf);
  if (!(acf_size <= kLargest && acf_size >= kSmallest)) return false;
  bool quiet = true;
  for (std::size_t k = 0; k < n_lines; ++k) {
    const double magnitude = magnitudes[k];
    quiet &= !(magnitude > kLargest && magnitude != INFINITY) && !(magnitude > 0.0 && magnitude < kSmallest);
  }
  return quiet;
}

}  // namespace core_math::kernels
