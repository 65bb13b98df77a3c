// Order statistics of a float64 record without copying it, and numpy's
// percentile and median built on them.
//
// A tachometer record holds millions of samples; sorting a copy to find two
// ranks would cost memory proportional to the record.  Radix selection reads
// the record a few times instead: each pass narrows every wanted rank to the
// values that share one more 16-bit digit of their ordered bit pattern.
#pragma once

#include "kernels/exact_arithmetic.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace core_math::kernels {

// A bit pattern whose unsigned order is the numeric order of doubles (NaN aside).
inline std::uint64_t ordered_key(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

inline double from_ordered_key(std::uint64_t key) {
  const std::uint64_t bits = (key >> 63) != 0 ? key & ~(std::uint64_t{1} << 63) : ~key;
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// A short record is copied to a fixed scratch buffer and partitioned: the
// radix passes' histograms would cost more than the whole record.
constexpr std::size_t kShortRecord = 2048;

template <class View, std::size_t K>
std::array<double, K> short_order_statistics(const View& a, std::size_t n, const std::array<std::size_t, K>& ranks) {
  double scratch[kShortRecord];
  for (std::size_t i = 0; i < n; ++i) scratch[i] = a[i];
  std::array<double, K> values{};
  for (std::size_t k = 0; k < K; ++k) {
    std::nth_element(scratch, scratch + ranks[k], scratch + n);
    values[k] = scratch[ranks[k]];
  }
  return values;
}

// The values at `ranks` (counted from 0) of the ascending order of a[0..n).
// The record must hold no NaN.  Which of two equal zeros a rank yields is
// left open, as numpy's partition leaves it.
template <class View, std::size_t K>
std::array<double, K> order_statistics(const View& a, std::size_t n, const std::array<std::size_t, K>& ranks) {
  if (n <= kShortRecord) return short_order_statistics(a, n, ranks);
  constexpr int kDigitBits = 16;
  constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
  std::array<std::uint64_t, K> prefix{};
  std::array<std::size_t, K> rank = ranks;
  std::vector<std::uint32_t> histograms(K * kBuckets);  // fixed size, whatever the record length
  for (int shift = 64 - kDigitBits; shift >= 0; shift -= kDigitBits) {
    std::fill(histograms.begin(), histograms.end(), 0);
    const int prefix_shift = shift + kDigitBits;
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t key = ordered_key(a[i]);
      const std::uint64_t key_prefix = prefix_shift == 64 ? 0 : key >> prefix_shift;
      const std::size_t digit = static_cast<std::size_t>(key >> shift) & (kBuckets - 1);
      for (std::size_t k = 0; k < K; ++k) {
        if (key_prefix == prefix[k]) ++histograms[k * kBuckets + digit];
      }
    }
    for (std::size_t k = 0; k < K; ++k) {
      const std::uint32_t* histogram = &histograms[k * kBuckets];
      std::size_t digit = 0;
      while (rank[k] >= histogram[digit]) rank[k] -= histogram[digit++];
      prefix[k] = (prefix[k] << kDigitBits) | digit;
    }
  }
  std::array<double, K> values{};
  for (std::size_t k = 0; k < K; ++k) values[k] = from_ordered_key(prefix[k]);
  return values;
}

// The linear interpolation numpy's percentile makes between neighbouring
// order statistics: from below, or from above for a weight of one half or more.
inline double numpy_lerp(double below, double above, double weight) {
  const double difference = above - below;
  const double from_below = below + difference * weight;
  return weight >= 0.5 ? above - difference * (1 - weight) : from_below;
}

// np.percentile(a, percent) and np.median(a) of one record, n > 0, no NaN.
struct PercentileAndMedian {
  double percentile;
  double median;
};

template <class View>
PercentileAndMedian percentile_and_median(const View& a, std::size_t n, double percent) {
  const double quantile = percent / 100;
  const double virtual_index = static_cast<double>(n - 1) * quantile;
  // Past the last sample numpy takes the last one twice, and measures the
  // weight from index -1.
  const bool past_end = virtual_index >= static_cast<double>(n - 1);
  const double below_index = past_end ? -1.0 : std::floor(virtual_index);
  const double weight = virtual_index - below_index;
  const std::size_t below_rank = past_end ? n - 1 : static_cast<std::size_t>(below_index);
  const std::size_t above_rank = past_end ? n - 1 : below_rank + 1;
  const std::size_t middle = n / 2;
  const std::size_t median_low = n % 2 == 1 ? middle : middle - 1;
  const auto values = order_statistics<View, 4>(a, n, {below_rank, above_rank, median_low, middle});
  // The median is numpy's mean of the one or two middle values, and numpy
  // sums from 0.0: a middle value of -0.0 comes out as +0.0.
  const double median = n % 2 == 1 ? (0.0 + (0.0 + values[3])) / 1.0 : (0.0 + ((0.0 + values[2]) + values[3])) / 2.0;
  return {numpy_lerp(values[0], values[1], weight), median};
}

}  // namespace core_math::kernels
