// Time-synchronous averaging of an order-domain waveform, as numpy's mean
// over the block axis computes it.
#pragma once

#include "kernels/exact_arithmetic.hpp"

#include <algorithm>
#include <cstddef>

#include "kernels/summation.hpp"

namespace core_math::kernels {

// The mean, angle by angle, of `num_blocks` consecutive blocks of
// `block_pts` values each (num_blocks > 0).  numpy reduces over the block
// axis one block after the other, starting from 0.0, so every point's sum is
// a left-to-right fold; a block of a single point is a plain 1-D mean, which
// numpy sums pairwise.
template <class View>
void block_sums(const View& values, std::size_t num_blocks, std::size_t block_pts, double* sums) {
  std::fill(sums, sums + block_pts, 0.0);
  for (std::size_t b = 0; b < num_blocks; ++b) {
    const View block = values.from(b * block_pts);
    for (std::size_t j = 0; j < block_pts; ++j) sums[j] += block[j];
  }
}

// A contiguous record streams through the sums a vector at a time; each
// lane adds exactly what the scalar loop adds.
[[gnu::always_inline]] inline void contiguous_block_sums(const double* __restrict values, std::size_t num_blocks,
                                                         std::size_t block_pts, double* __restrict sums) {
  std::fill(sums, sums + block_pts, 0.0);
  for (std::size_t b = 0; b < num_blocks; ++b) {
    const double* __restrict block = values + b * block_pts;
    for (std::size_t j = 0; j < block_pts; ++j) sums[j] += block[j];
  }
}

#if defined(__x86_64__)
__attribute__((target("avx512f"))) inline void block_sums_avx512(const double* values, std::size_t num_blocks,
                                                                  std::size_t block_pts, double* sums) {
  contiguous_block_sums(values, num_blocks, block_pts, sums);
}
__attribute__((target("avx2"))) inline void block_sums_avx2(const double* values, std::size_t num_blocks,
                                                             std::size_t block_pts, double* sums) {
  contiguous_block_sums(values, num_blocks, block_pts, sums);
}
#endif

inline void block_sums(const Contiguous& values, std::size_t num_blocks, std::size_t block_pts, double* sums) {
#if defined(__x86_64__)
  static const bool has_avx512 = __builtin_cpu_supports("avx512f");
  static const bool has_avx2 = __builtin_cpu_supports("avx2");
  if (has_avx512) return block_sums_avx512(values.data(), num_blocks, block_pts, sums);
  if (has_avx2) return block_sums_avx2(values.data(), num_blocks, block_pts, sums);
#endif
  contiguous_block_sums(values.data(), num_blocks, block_pts, sums);
}

template <class View>
void block_mean(const View& values, std::size_t num_blocks, std::size_t block_pts, std::size_t chunk, double* mean) {
  if (block_pts == 1) {
    mean[0] = numpy_mean(values, num_blocks, chunk);
    return;
  }
  block_sums(values, num_blocks, block_pts, mean);
  const double count = static_cast<double>(num_blocks);
  for (std::size_t j = 0; j < block_pts; ++j) mean[j] /= count;
}

// np.linspace(0, stop, num, endpoint=False) for a positive stop: numpy
// multiplies 0, 1, 2, ... by the step and adds the start.  Adding the start
// of 0.0 is kept: it turns a -0.0 into +0.0, so it is not an identity.
inline void revolution_grid(std::size_t num, double stop, double* grid) {
  const double step = stop / static_cast<double>(num);
  for (std::size_t i = 0; i < num; ++i) grid[i] = static_cast<double>(i) * step + 0.0;
}

}  // namespace core_math::kernels
