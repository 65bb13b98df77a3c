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

// Direct form II transposed, one sample: the output, and the state moved on.
inline double filter_sample(const TransferFunction& filter, double* state, double x) {
  const std::size_t last = filter.n_taps - 1;
  const double y = state[0] + filter.b[0] * x;
  for (std::size_t i = 0; i + 1 < last; ++i) state[i] = (state[i + 1] + x * filter.b[i + 1]) - y * filter.a[i + 1];
  state[last - 1] = x * filter.b[last] - y * filter.a[last];
  return y;
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
  double* state = setup.state.data();
  double* out = reversed + n + 2 * setup.left.size();  // one past the slot of output 0
  for (double sample : setup.left) *--out = filter_sample(filter, state, sample);
  for (std::size_t i = 0; i < n; ++i) *--out = filter_sample(filter, state, x[i]);
  for (double sample : setup.right) *--out = filter_sample(filter, state, sample);
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
  double* state = setup.state.data();
  for (std::size_t j = 0; j < m; ++j) reversed[j] = filter_sample(filter, state, reversed[j]);
}

}  // namespace core_math::kernels
