// Signal conditioning: DC removal and overall level, zero-phase band-pass
// filtering, and envelope demodulation.
#include <algorithm>
#include <cmath>

#include "fast/arrays.hpp"
#include "fast/genuine.hpp"
#include "fast/self_checks.hpp"
#include "fast/watch.hpp"
#include "kernels/filtering.hpp"
#include "kernels/summation.hpp"
#include "runtime/names.hpp"
#include "runtime/table.hpp"

namespace core_math::conditioning {
namespace {

py::object remove_dc_offset_body(const Scope& scope, Args args) {
  const py::handle y_vals = args[0];
  py::object mean = attr(scope[name::np], name::mean);
  return y_vals - call(mean, y_vals);
}

py::object remove_dc_offset_fast(const Scope& scope, Args args) {
  if (!fast::genuine(scope, name::np)) return {};
  const auto y = fast::float64_samples(args[0]);
  if (!y || y->size == 0) return {};
  return fast::float64_result(*y, y->size, [&](const auto& values, double* centred) {
    kernels::remove_mean(values, y->size, fast::summation_chunk(), centred);
  });
}

// Overall RMS with the DC level included.
py::object compute_true_overall_rms_body(const Scope& scope, Args args) {
  const py::handle y_vals = args[0];
  py::object sqrt = attr(scope[name::np], name::sqrt);
  py::object mean = attr(scope[name::np], name::mean);
  return to_float(call(sqrt, call(mean, squared(y_vals))));
}

py::object compute_true_overall_rms_fast(const Scope& scope, Args args) {
  if (!fast::genuine(scope, name::np)) return {};
  const auto y = fast::float64_samples(args[0]);
  if (!y || y->size == 0) return {};
  const fast::FloatingPointWatch watch;
  const double mean_square = fast::with_view(
      *y, [&](const auto& values) { return kernels::numpy_mean(kernels::Squared(values), y->size, fast::summation_chunk()); });
  const double rms = std::sqrt(mean_square);
  if (watch.raised()) return {};
  return py::float_(rms);
}

// scipy's filtfilt(b, a, data) with its defaults, natively, while the
// namespace binds scipy's own filtfilt, for a finite float64 record and
// float64 coefficients with a[0] == 1; empty when the call is scipy's: a
// record too short for the padding, numpy arithmetic that would warn, or NaN
// in the output, whose payload depends on operand order.  The result is laid
// out as scipy's: the middle of the extended output, read back to front, so
// that the transforms that follow see the same array.
py::object zero_phase_filtered(const Scope& scope, py::handle b, py::handle a, py::handle data) {
  if (!fast::genuine(scope, name::filtfilt)) return {};
  const auto x = fast::float64_samples(data);
  const auto numerator = fast::float64_samples(b);
  const auto denominator = fast::float64_samples(a);
  if (!x || !numerator || !denominator || numerator->contiguous == nullptr || denominator->contiguous == nullptr ||
      numerator->size != denominator->size || numerator->size < 2 || denominator->contiguous[0] != 1.0) {
    return {};
  }
  const kernels::TransferFunction filter{numerator->contiguous, denominator->contiguous, numerator->size};
  const std::size_t n = x->size, edge = 3 * filter.n_taps, extended = n + 2 * edge;
  // A record with NaN or infinity filters to NaN: scipy's from the start.
  if (n <= edge || !fast::all_finite(*x)) return {};
  fast::FloatingPointWatch watch;
  auto setup = fast::with_view(
      *x, [&](const auto& samples) { return kernels::zero_phase_setup(filter, samples, n, edge, fast::summation_chunk()); });
  if (watch.raised() || setup.zi.empty()) return {};
  double* reversed = nullptr;
  py::object output = fast::new_float64_array(extended, reversed);
  const double last_output = fast::with_view(
      *x, [&](const auto& samples) { return kernels::forward_pass(filter, setup, samples, n, reversed); });
  watch.restart();
  kernels::restart_state(setup, last_output);
  if (watch.raised()) return {};
  kernels::backward_pass(filter, setup, reversed, extended);
  if (std::any_of(reversed, reversed + extended, [](double value) { return std::isnan(value); })) return {};
  py::object back_to_front = item(output, steal_or_throw(PySlice_New(nullptr, nullptr, py::int_(-1).ptr())));
  return slice(back_to_front, py::int_(static_cast<Py_ssize_t>(edge)), py::int_(-static_cast<Py_ssize_t>(edge)));
}

// The band-pass as read; the zero-phase filtering itself is scipy's, or,
// where it can be done to the bit, the module's own.
py::object band_pass(const Scope& scope, Args args, bool native_filtering) {
  const py::handle data = args[0], lowcut = args[1], highcut = args[2], fs = args[3], order = args[4],
                   filter_type = args[5], rp = args[6], rs = args[7];
  py::object nyq = py::float_(0.5) * fs;
  py::object low = lowcut / nyq;
  py::object high = highcut / nyq;
  // An edge at or beyond 0 Hz or Nyquist, or edges out of order: the band
  // cannot be realised and the record comes back untouched.
  if (truthy(le(low, py::int_(0))) || truthy(ge(high, py::int_(1))) || truthy(ge(low, high))) {
    return py::reinterpret_borrow<py::object>(data);
  }
  py::object ftype = call(attr(filter_type, name::lower));
  auto is = [&ftype](const Name& family) { return truthy(eq(ftype, family)); };
  static const Keywords btype{"btype"};
  // The designer is looked up before its arguments are built, as a call reads.
  auto design = [&](const Name& designer, auto... leading) {
    py::object function = scope[designer];
    py::list edges = py::list(py::make_tuple(low, high));
    return call_kw(function, btype, order, leading..., edges, name::band.handle());
  };
  py::object coefficients;
  if (is(name::butter)) {
    coefficients = design(name::butter);
  } else if (is(name::cheby1)) {
    coefficients = design(name::cheby1, rp);
  } else if (is(name::cheby2)) {
    coefficients = design(name::cheby2, rs);
  } else if (is(name::ellip)) {
    coefficients = design(name::ellip, rp, rs);
  } else if (is(name::bessel)) {
    coefficients = design(name::bessel);
  } else {
    coefficients = design(name::butter);
  }
  auto [b, a] = unpack2(coefficients);
  if (native_filtering) {
    if (py::object filtered = zero_phase_filtered(scope, b, a, data)) return filtered;
  }
  return call(scope[name::filtfilt], b, a, data);
}

py::object apply_bandpass_body(const Scope& scope, Args args) { return band_pass(scope, args, false); }

// The body, with the zero-phase filtering the module's own where it can be.
// A call whose filtering could never be native (another filtfilt bound, a
// record that is not float64) is the generic body's from the start.
py::object apply_bandpass_fast(const Scope& scope, Args args) {
  if (!fast::genuine(scope, name::filtfilt) || !fast::float64_samples(args[0])) return {};
  return band_pass(scope, args, true);
}

py::object compute_envelope_waveform_body(const Scope& scope, Args args) {
  const py::handle y_vals = args[0], fs = args[1], lowcut = args[2], highcut = args[3], filter_order = args[4],
                   filter_type = args[5], rp = args[6], rs = args[7];
  static const Keywords filter_options{"order", "filter_type", "rp", "rs"};
  py::object filtered_y =
      call_kw(scope[name::apply_bandpass], filter_options, y_vals, lowcut, highcut, fs, filter_order, filter_type, rp, rs);
  py::object analytic_signal = call(scope[name::hilbert], filtered_y);
  py::object envelope_y = call(attr(scope[name::np], name::abs), analytic_signal);
  py::object mean = attr(scope[name::np], name::mean);
  return envelope_y - call(mean, envelope_y);
}

py::object compute_envelope_spectrum_body(const Scope& scope, Args args) {
  const py::handle y_vals = args[0], fs = args[1], lowcut = args[2], highcut = args[3], filter_order = args[4],
                   filter_type = args[5], rp = args[6], rs = args[7];
  static const Keywords filter_options{"filter_order", "filter_type", "rp", "rs"};
  py::object env_waveform = call_kw(scope[name::compute_envelope_waveform], filter_options, y_vals, fs, lowcut,
                                    highcut, filter_order, filter_type, rp, rs);
  auto [env_freqs, env_amps] = unpack2(call(scope[name::compute_frequency_spectrum], env_waveform, fs));
  return py::make_tuple(env_freqs, env_amps);
}

// The envelope functions share one signature: the record, its sample rate,
// the band, and the filter options passed on to apply_bandpass.
const Param envelope_params[] = {{"y_vals"},         {"fs"},
                                 {"lowcut"},         {"highcut"},
                                 {"filter_order", 4}, {"filter_type", "butter"},
                                 {"rp", 5.0},        {"rs", 40.0}};

const FunctionSpec definitions[] = {
    {"remove_dc_offset", {{"y_vals"}}, {}, remove_dc_offset_body,
     {remove_dc_offset_fast, {&fast::numpy_summation_check}}},
    {"apply_bandpass",
     {{"data"}, {"lowcut"}, {"highcut"}, {"fs"}, {"order", 4}, {"filter_type", "butter"}, {"rp", 5.0}, {"rs", 40.0}},
     {"nyq", "low", "high", "ftype", "b", "a"},
     apply_bandpass_body,
     {apply_bandpass_fast, {&fast::numpy_summation_check}}},
    {"compute_envelope_waveform", envelope_params, {"filtered_y", "analytic_signal", "envelope_y"},
     compute_envelope_waveform_body},
    {"compute_envelope_spectrum", envelope_params, {"env_waveform", "env_freqs", "env_amps"},
     compute_envelope_spectrum_body},
    {"compute_true_overall_rms", {{"y_vals"}}, {}, compute_true_overall_rms_body,
     {compute_true_overall_rms_fast, {&fast::numpy_summation_check}}},
};

}  // namespace

const FunctionTable functions{definitions};

}  // namespace core_math::conditioning
