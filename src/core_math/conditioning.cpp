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
  return y_vals - scope[name::np].attr(name::mean)(y_vals);
}

// Overall RMS with the DC level included.
py::object compute_true_overall_rms_body(const Scope& scope, Args args) {
  const py::handle y_vals = args[0];
  py::object sqrt = scope[name::np].attr(name::sqrt);
  py::object mean = scope[name::np].attr(name::mean);
  return to_float(sqrt(mean(squared(y_vals))));
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
  py::object ftype = filter_type.attr(name::lower)();
  auto is = [&ftype](const char* family) { return truthy(eq(ftype, py::str(family))); };
  auto band_edges = [&low, &high] { return py::list(py::make_tuple(low, high)); };
  const py::str band("band");
  py::object design;
  if (is("butter")) {
    py::object butter = scope[name::butter];
    design = butter(order, band_edges(), py::arg("btype") = band);
  } else if (is("cheby1")) {
    py::object cheby1 = scope[name::cheby1];
    design = cheby1(order, rp, band_edges(), py::arg("btype") = band);
  } else if (is("cheby2")) {
    py::object cheby2 = scope[name::cheby2];
    design = cheby2(order, rs, band_edges(), py::arg("btype") = band);
  } else if (is("ellip")) {
    py::object ellip = scope[name::ellip];
    design = ellip(order, rp, rs, band_edges(), py::arg("btype") = band);
  } else if (is("bessel")) {
    py::object bessel = scope[name::bessel];
    design = bessel(order, band_edges(), py::arg("btype") = band);
  } else {
    py::object butter = scope[name::butter];
    design = butter(order, band_edges(), py::arg("btype") = band);
  }
  auto [b, a] = unpack2(design);
  return scope[name::filtfilt](b, a, data);
}

py::object compute_envelope_waveform_body(const Scope& scope, Args args) {
  const py::handle y_vals = args[0], fs = args[1], lowcut = args[2], highcut = args[3], filter_order = args[4],
                   filter_type = args[5], rp = args[6], rs = args[7];
  py::object apply_bandpass = scope[name::apply_bandpass];
  py::object filtered_y = apply_bandpass(y_vals, lowcut, highcut, fs, py::arg("order") = filter_order,
                                         py::arg("filter_type") = filter_type, py::arg("rp") = rp,
                                         py::arg("rs") = rs);
  py::object analytic_signal = scope[name::hilbert](filtered_y);
  py::object envelope_y = scope[name::np].attr(name::abs)(analytic_signal);
  return envelope_y - scope[name::np].attr(name::mean)(envelope_y);
}

py::object compute_envelope_spectrum_body(const Scope& scope, Args args) {
  const py::handle y_vals = args[0], fs = args[1], lowcut = args[2], highcut = args[3], filter_order = args[4],
                   filter_type = args[5], rp = args[6], rs = args[7];
  py::object envelope_waveform = scope[name::compute_envelope_waveform];
  py::object env_waveform = envelope_waveform(y_vals, fs, lowcut, highcut, py::arg("filter_order") = filter_order,
                                              py::arg("filter_type") = filter_type, py::arg("rp") = rp,
                                              py::arg("rs") = rs);
  auto [env_freqs, env_amps] = unpack2(scope[name::compute_frequency_spectrum](env_waveform, fs));
  return py::make_tuple(env_freqs, env_amps);
}

}  // namespace

const FunctionSpec remove_dc_offset{"remove_dc_offset", {{"y_vals"}}, {}, remove_dc_offset_body};

const FunctionSpec apply_bandpass{
    "apply_bandpass",
    {{"data"}, {"lowcut"}, {"highcut"}, {"fs"}, {"order", 4}, {"filter_type", "butter"}, {"rp", 5.0}, {"rs", 40.0}},
    {"nyq", "low", "high", "ftype", "b", "a"},
    apply_bandpass_body};

const FunctionSpec compute_envelope_waveform{
    "compute_envelope_waveform",
    {{"y_vals"}, {"fs"}, {"lowcut"}, {"highcut"}, {"filter_order", 4}, {"filter_type", "butter"}, {"rp", 5.0},
     {"rs", 40.0}},
    {"filtered_y", "analytic_signal", "envelope_y"},
    compute_envelope_waveform_body};

const FunctionSpec compute_envelope_spectrum{
    "compute_envelope_spectrum",
    {{"y_vals"}, {"fs"}, {"lowcut"}, {"highcut"}, {"filter_order", 4}, {"filter_type", "butter"}, {"rp", 5.0},
     {"rs", 40.0}},
    {"env_waveform", "env_freqs", "env_amps"},
    compute_envelope_spectrum_body};

const FunctionSpec compute_true_overall_rms{
    "compute_true_overall_rms", {{"y_vals"}}, {}, compute_true_overall_rms_body, compute_true_overall_rms_fast};

}  // namespace core_math::conditioning
