// Zero-phase IIR filtering as scipy's filtfilt does it with its defaults:
// odd extension of the record by three filter lengths at each end, the
// steady-state initial conditions of a step scaled to the first sample, a
// forward pass, and a backward pass started from the forward pass's end.
//
// The steps that scipy computes with numpy arithmetic (the extension, the
// initial conditions and their scaling) are grouped apart from the two
// recursive passes, because only numpy's arithmetic reports floating-point
// trouble; the caller watches those steps and leaves such records to scipy.
#pragma once

#include "kernels/exact_arithmetic.hpp"

#include <cstddef>
#include <type_traits>
#include <vector>

#include "kernels/summation.hpp"

namespace core_math::kernels {

// A transfer function b / a of n_taps coefficients each, with a[0] == 1.
struct TransferFunction {
  const double* b;
  const double* a;
  std::size_t n_taps;  // at least 2
};

// The filter state after an infinitely long unit step: zi[i] gathers
// b[k] - y_inf * a[k] for k above i, summed from the last tap down, where
// y_inf = sum(b) / sum(a) is the step's final output.  numpy also forms the
// first tap's term and carries the sum through it before dropping it; those
// operations are done too, for the floating-point flags they may raise.
// Empty for a pole at z = 1 (sum(a) == 0), which scipy rejects.
inline std::vector<double> step_response_state(const TransferFunction& filter, std::size_t chunk) {
  const std::size_t n = filter.n_taps;
  const double sum_a = numpy_sum(Contiguous(filter.a), n, chunk);
  if (sum_a == 0.0) return {};
  const double y_inf = numpy_sum(Contiguous(filter.b), n, chunk) / sum_a;
  std::vector<double> zi(n - 1);
  zi[n - 2] = filter.b[n - 1] - y_inf * filter.a[n - 1];
  for (std::size_t i = n - 2; i-- > 0;) zi[i] = zi[i + 1] + (filter.b[i + 1] - y_inf * filter.a[i + 1]);
  volatile double dropped_total = zi[0] + (filter.b[0] - y_inf * filter.a[0]);
  static_cast<void>(dropped_total);
  return zi;
}

// Direct form II transposed over `count` inputs in[0 .. count): output k
// goes to out[-k] going down, or out[k] going up (out may be in itself),
// and the state moves on.  For each sample, in this order:
//   y = z[0] + b[0] * x
//   z[i] = (z[i + 1] + x * b[i + 1]) - y * a[i + 1]   for i below the last
//   z[last] = x * b[last + 1] - y * a[last + 1]
// `Taps` fixes the filter's length at compile time (0: the filter's own),
// so that the taps unroll and the state stays in registers; the
// operations are the same.
enum class Direction { down, up };

template <std::size_t Taps, Direction direction, class Input>
void filter_run(const TransferFunction& filter, double* state, const Input& in, std::size_t count, double* out) {
  const std::size_t n_taps = Taps != 0 ? Taps : filter.n_taps, last = n_taps - 2;
  // Fixed-length copies live on the stack, where the compiler can keep them in registers.
  double b[Taps != 0 ? Taps : 1], a[Taps != 0 ? Taps : 1], z[Taps > 1 ? Taps - 1 : 1];
  const double* b_taps = filter.b;
  const double* a_taps = filter.a;
  double* z_state = state;
  if constexpr (Taps != 0) {
    for (std::size_t i = 0; i < Taps; ++i) b[i] = filter.b[i], a[i] = filter.a[i];
    for (std::size_t i = 0; i + 1 < Taps; ++i) z[i] = state[i];
    b_taps = b;
    a_taps = a;
    z_state = z;
  }
  for (std::size_t k = 0; k < count; ++k) {
    const double x = in[k];
    const double y = z_state[0] + b_taps[0] * x;
    for (std::size_t i = 0; i < last; ++i) z_state[i] = (z_state[i + 1] + x * b_taps[i + 1]) - y * a_taps[i + 1];
    z_state[last] = x * b_taps[last + 1] - y * a_taps[last + 1];
    if constexpr (direction == Direction::down) {
      *(out - static_cast<std::ptrdiff_t>(k)) = y;
    } else {
      out[k] = y;
    }
  }
  if constexpr (Taps != 0) {
    for (std::size_t i = 0; i + 1 < Taps; ++i) state[i] = z[i];
  }
}

// Calls kernel(std::integral_constant<std::size_t, Taps>) with the filter's
// length fixed for the band-pass designs of orders 1 to 8 (3 to 17 taps),
// and 0 for any other.
template <class Kernel>
void with_fixed_taps(std::size_t n_taps, Kernel&& kernel) {
  switch (n_taps) {
    case 3: return kernel(std::integral_constant<std::size_t, 3>{});
    case 5: return kernel(std::integral_constant<std::size_t, 5>{});
    case 7: return kernel(std::integral_constant<std::size_t, 7>{});
    case 9: return kernel(std::integral_constant<std::size_t, 9>{});
    case 11: return kernel(std::integral_constant<std::size_t, 11>{});
    case 13: return kernel(std::integral_constant<std::size_t, 13>{});
    case 15: return kernel(std::integral_constant<std::size_t, 15>{});
    case 17: return kernel(std::integral_constant<std::size_t, 17>{});
    default: return kernel(std::integral_constant<std::size_t, 0>{});
  }
}

// The parts of a zero-phase run that scipy computes with numpy arithmetic.
struct ZeroPhaseSetup {
  std::vector<double> left, right;  // the odd extensions, outermost sample first on the left
  std::vector<double> zi;           // steady-state initial conditions of a unit step
  std::vector<double> state;        // zi scaled to the first extended sample
};

// Odd extension by `edge` samples (0 < edge < n) and the forward pass's
// initial state; without initial conditions for a pole at z = 1.
template <class View>
ZeroPhaseSetup zero_phase_setup(const TransferFunction& filter, const View& x, std::size_t n, std::size_t edge,
                                std::size_t chunk) {
  ZeroPhaseSetup setup{std::vector<double>(edge), std::vector<double>(edge), step_response_state(filter, chunk), {}};
  const double first = 2.0 * x[0], last = 2.0 * x[n - 1];
  for (std::size_t k = 0; k < edge; ++k) setup.left[k] = first - x[edge - k];
  for (std::size_t k = 0; k < edge; ++k) setup.right[k] = last - x[n - 2 - k];
  setup.state.resize(setup.zi.size());
  for (std::size_t i = 0; i < setup.zi.size(); ++i) setup.state[i] = setup.zi[i] * setup.left[0];
  return setup;
}

// The forward pass over the extended record of m = n + 2 * edge samples.
// Output k is stored at reversed[m - 1 - k], the order in which the
// backward pass reads it; returns the last output.
template <class View>
double forward_pass(const TransferFunction& filter, ZeroPhaseSetup& setup, const View& x, std::size_t n,
                    double* reversed) {
  const std::size_t edge = setup.left.size();
  double* state = setup.state.data();
  double* out = reversed + n + 2 * edge - 1;  // the slot of output 0
  with_fixed_taps(filter.n_taps, [&](auto taps) {
    constexpr std::size_t kTaps = decltype(taps)::value;
    filter_run<kTaps, Direction::down>(filter, state, Contiguous(setup.left.data()), edge, out);
    filter_run<kTaps, Direction::down>(filter, state, x, n, out - edge);
    filter_run<kTaps, Direction::down>(filter, state, Contiguous(setup.right.data()), edge, out - edge - n);
  });
  return reversed[0];
}

// The backward pass's initial state: zi scaled to the forward pass's last output.
inline void restart_state(ZeroPhaseSetup& setup, double last_output) {
  for (std::size_t i = 0; i < setup.zi.size(); ++i) setup.state[i] = setup.zi[i] * last_output;
}

// The backward pass over the reversed forward output, in place, from the
// end of the forward one.  Read back to front, the buffer then holds the
// zero-phase output of the extended record, as scipy leaves it.
inline void backward_pass(const TransferFunction& filter, ZeroPhaseSetup& setup, double* reversed, std::size_t m) {
  with_fixed_taps(filter.n_taps, [&](auto taps) {
    filter_run<decltype(taps)::value, Direction::up>(filter, setup.state.data(), Contiguous(reversed), m, reversed);
  });
}

// scipy's hilbert between its transforms, on the spectrum of a real record
// of n samples (`parts`: the real and imaginary part of each of the n
// lines): the lines of positive frequency doubled and those of negative
// frequency cleared, so that the inverse transform is the analytic signal.
// 0 Hz, and the Nyquist line of an even n, are kept as they are.
inline void keep_positive_frequencies(double* parts, std::size_t n) {
  const std::size_t past_positive = (n + 1) / 2, first_negative = n / 2 + 1;
  for (std::size_t i = 2; i < 2 * past_positive; ++i) parts[i] = parts[i] * 2.0;
  for (std::size_t i = 2 * first_negative; i < 2 * n; ++i) parts[i] = 0.0;
}

}  // namespace core_math::kernels
