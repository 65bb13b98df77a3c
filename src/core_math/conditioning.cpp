// Signal conditioning: DC removal and overall level, zero-phase band-pass
// filtering, and envelope demodulation.
#include <cmath>

#include "fastpath.hpp"
#include "kernels/summation.hpp"
#include "names.hpp"
#include "table.hpp"

namespace core_math::conditioning {
namespace {

py::object remove_dc_offset_body(const Scope& scope, Args args) {
  const py::handle y_vals = args[0];
  py::object mean = attr(scope[name::np], name::mean);
  return y_vals - call(mean, y_vals);
}

py::object remove_dc_offset_fast(const Scope& scope, Args args) {
  if (!fast::numpy_bound(scope)) return {};
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
  if (!fast::numpy_bound(scope)) return {};
  const auto y = fast::float64_samples(args[0]);
  if (!y || y->size == 0) return {};
  const fast::FloatingPointWatch watch;
  const double mean_square = fast::with_view(
      *y, [&](const auto& values) { return kernels::numpy_mean(kernels::Squared(values), y->size, fast::summation_chunk()); });
  const double rms = std::sqrt(mean_square);
  if (watch.raised()) return {};
  return py::float_(rms);
}

py::object apply_bandpass_body(const Scope& scope, Args args) {
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
  return call(scope[name::filtfilt], b, a, data);
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

}  // namespace

const FunctionSpec remove_dc_offset{"remove_dc_offset", {{"y_vals"}}, {}, remove_dc_offset_body, remove_dc_offset_fast};

const FunctionSpec apply_bandpass{
    "apply_bandpass",
    {{"data"}, {"lowcut"}, {"highcut"}, {"fs"}, {"order", 4}, {"filter_type", "butter"}, {"rp", 5.0}, {"rs", 40.0}},
    {"nyq", "low", "high", "ftype", "b", "a"},
    apply_bandpass_body};

// The envelope functions share one signature: the record, its sample rate,
// the band, and the filter options passed on to apply_bandpass.
const std::vector<Param> envelope_params{
    {"y_vals"}, {"fs"}, {"lowcut"}, {"highcut"}, {"filter_order", 4}, {"filter_type", "butter"}, {"rp", 5.0}, {"rs", 40.0}};

const FunctionSpec compute_envelope_waveform{"compute_envelope_waveform", envelope_params,
                                             {"filtered_y", "analytic_signal", "envelope_y"},
                                             compute_envelope_waveform_body};

const FunctionSpec compute_envelope_spectrum{"compute_envelope_spectrum", envelope_params,
                                             {"env_waveform", "env_freqs", "env_amps"},
                                             compute_envelope_spectrum_body};

const FunctionSpec compute_true_overall_rms{
    "compute_true_overall_rms", {{"y_vals"}}, {}, compute_true_overall_rms_body, compute_true_overall_rms_fast};

}  // namespace core_math::conditioning
