// Signal conditioning: DC removal and overall level, zero-phase band-pass
// filtering, and envelope demodulation.
#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "fast/arrays.hpp"
#include "fast/genuine.hpp"
#include "fast/self_checks.hpp"
#include "fast/watch.hpp"
#include "fast/working_buffers.hpp"
#include "kernels/filtering.hpp"
#include "kernels/summation.hpp"
#include "runtime/names.hpp"
#include "runtime/numpy_api.hpp"
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
  if (watch.raised_computing(rms)) return {};
  return py::float_(rms);
}

// scipy's filtfilt(b, a, x) with its defaults, natively, for a finite
// record longer than the padding: the extended output, read back to front,
// into `reversed` (n + 2 * 3 * n_taps values).  False where scipy's numpy
// arithmetic (the extension, the initial state and its scaling) would warn,
// or the output holds NaN, whose payload depends on operand order.
bool filter_natively(const kernels::TransferFunction& filter, const fast::Samples& x, double* reversed) {
  const std::size_t n = x.size, edge = 3 * filter.n_taps, extended = n + 2 * edge;
  fast::FloatingPointWatch watch;
  auto setup = fast::with_view(
      x, [&](const auto& samples) { return kernels::zero_phase_setup(filter, samples, n, edge, fast::summation_chunk()); });
  if (watch.raised() || setup.zi.empty()) return false;
  const double last_output = fast::with_view(
      x, [&](const auto& samples) { return kernels::forward_pass(filter, setup, samples, n, reversed); });
  watch.restart();
  kernels::restart_state(setup, last_output);
  if (watch.raised()) return false;
  kernels::backward_pass(filter, setup, reversed, extended);
  return std::none_of(reversed, reversed + extended, [](double value) { return std::isnan(value); });
}

// The filter b / a as the native passes take it: float64 coefficients side
// by side, as many of a as of b, a[0] == 1.
std::optional<kernels::TransferFunction> native_filter(py::handle b, py::handle a) {
  const auto numerator = fast::float64_samples(b);
  const auto denominator = fast::float64_samples(a);
  if (!numerator || !denominator || numerator->contiguous == nullptr || denominator->contiguous == nullptr ||
      numerator->size != denominator->size || numerator->size < 2 || denominator->contiguous[0] != 1.0) {
    return std::nullopt;
  }
  return kernels::TransferFunction{numerator->contiguous, denominator->contiguous, numerator->size};
}

// scipy's filtfilt(b, a, data) natively, while the namespace binds scipy's
// own filtfilt, for a finite float64 record and float64 coefficients with
// a[0] == 1; empty when the call is scipy's.  The result is laid out as
// scipy's: the middle of the extended output, read back to front, so that
// the transforms that follow see the same array.  It is a new array, or,
// given `working`, a view of that buffer.
py::object zero_phase_filtered(const Scope& scope, py::handle b, py::handle a, py::handle data,
                               fast::WorkingBuffer* working = nullptr) {
  if (!fast::genuine(scope, name::filtfilt)) return {};
  const auto x = fast::float64_samples(data);
  const auto filter = native_filter(b, a);
  if (!x || !filter) return {};
  const std::size_t n = x->size, edge = 3 * filter->n_taps, extended = n + 2 * edge;
  // A record with NaN or infinity filters to NaN: scipy's from the start.
  if (n <= edge || !fast::all_finite(*x)) return {};
  double* reversed = nullptr;
  py::object output;
  if (working != nullptr) {
    reversed = working->take(extended);
    output = working->float64_view(extended);
  } else {
    output = fast::new_float64_array(extended, reversed);
  }
  if (!filter_natively(*filter, *x, reversed)) return {};
  py::object back_to_front = item(output, steal_or_throw(PySlice_New(nullptr, nullptr, py::int_(-1).ptr())));
  return slice(back_to_front, py::int_(static_cast<Py_ssize_t>(edge)), py::int_(-static_cast<Py_ssize_t>(edge)));
}

// The native passes against scipy's filtfilt, for band-pass designs of
// three families and orders, on records from just longer than the padding
// on, side by side and strided.
bool zero_phase_filter_agrees(PyObject* module_dict) {
  PyObject* filtfilt = fast::imported(name::filtfilt);
  PyObject* butter = PyDict_GetItemWithError(module_dict, name::butter.handle().ptr());
  PyObject* ellip = PyDict_GetItemWithError(module_dict, name::ellip.handle().ptr());
  if (filtfilt == nullptr || butter == nullptr || ellip == nullptr) return false;
  static const Keywords band_type{"btype"};
  const py::object designs[] = {
      call_kw(butter, band_type, py::int_(4), py::make_tuple(0.1, 0.3), name::band.handle()),
      call_kw(ellip, band_type, py::int_(2), py::float_(1.0), py::float_(40.0), py::make_tuple(0.05, 0.6),
              name::band.handle()),
  };
  for (const py::object& design : designs) {
    auto [b, a] = unpack2(design);
    const auto filter = native_filter(b, a);
    if (!filter) return false;
    const std::size_t edge = 3 * filter->n_taps;
    for (std::size_t n : {edge + 1, edge + 97, std::size_t{1000}}) {
      py::object doubled = fast::probe_record(2 * n);
      py::object records[] = {slice(doubled, py::int_(0), py::int_(n)),
                              item(doubled, steal_or_throw(PySlice_New(nullptr, nullptr, py::int_(2).ptr())))};
      for (const py::object& record : records) {
        const auto x = fast::float64_samples(record);
        std::vector<double> reversed(n + 2 * edge);
        if (!x || !filter_natively(*filter, *x, reversed.data())) return false;
        // Output i of scipy's is the native buffer's element n + edge - 1 - i.
        if (!fast::same_record(call(filtfilt, b, a, record), &reversed[n + edge - 1], n, -1)) return false;
      }
    }
  }
  return true;
}

// The band-pass as read; the zero-phase filtering itself is scipy's, or,
// where it can be done to the bit, the module's own.
py::object band_pass(const Scope& scope, Args args, bool native_filtering,
                     fast::WorkingBuffer* working = nullptr) {
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
    if (py::object filtered = zero_phase_filtered(scope, b, a, data, working)) return filtered;
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

// scipy's hilbert(record) for a float64 record of n > 0 samples, natively
// between its two transforms (scipy's fft and ifft, given): the spectrum's
// positive frequencies doubled and its negative ones cleared in place, then
// the inverse transform done in place.  Empty, before anything visible, for
// a spectrum with a line that is not finite or that doubling would
// overflow: scipy's hilbert then warns as it does.  The analytic signal
// differs from scipy's, if at all, only in the sign of zero parts, which
// its magnitude does not show; the self-check compares magnitudes.
py::object analytic_signal(py::handle fft, py::handle ifft, py::handle record, std::size_t n) {
  static const Keywords along{"axis"};
  static const Keywords in_place{"axis", "overwrite_x"};
  py::object spectrum = call_kw(fft, along, record, py::int_(static_cast<Py_ssize_t>(n)), py::int_(-1));
  if (!numpy_api_imported() || !PyArray_CheckExact(spectrum.ptr()) || Py_REFCNT(spectrum.ptr()) != 1) return {};
  auto* lines = reinterpret_cast<PyArrayObject*>(spectrum.ptr());
  if (PyArray_TYPE(lines) != NPY_CDOUBLE || !PyArray_ISCARRAY(lines) || PyArray_NDIM(lines) != 1 ||
      static_cast<std::size_t>(PyArray_DIM(lines, 0)) != n) {
    return {};
  }
  double* parts = static_cast<double*>(PyArray_DATA(lines));  // real and imaginary, line by line
  if (!std::all_of(parts, parts + 2 * n, [](double part) { return std::isfinite(part); })) return {};
  const fast::FloatingPointWatch watch;
  kernels::keep_positive_frequencies(parts, n);
  if (watch.raised()) return {};
  return call_kw(ifft, in_place, spectrum, py::int_(-1), py::handle(Py_True));
}

// The envelope from the filtered record on, as the body computes it: the
// analytic signal natively where its self-check holds, its magnitude by
// numpy, and the mean removed in place from that new array.
py::object envelope_of(const Scope& scope, py::object filtered_y) {
  py::object analytic;
  const auto filtered = fast::float64_samples(filtered_y);
  PyObject* fft = fast::genuine(scope, name::fft);
  PyObject* ifft = fast::genuine(scope, name::ifft);
  if (filtered && filtered->size > 0 && fast::scipy_hilbert_check.holds() && fft != nullptr && ifft != nullptr) {
    analytic = analytic_signal(fft, ifft, filtered_y, filtered->size);
  }
  if (!analytic) analytic = call(scope[name::hilbert], filtered_y);
  filtered_y = py::object();  // a working buffer's view: dropped before the call ends
  py::object envelope_y = call(attr(scope[name::np], name::abs), analytic);
  analytic = py::object();
  const auto magnitudes = fast::float64_samples(envelope_y);
  if (double* envelope = magnitudes ? fast::exclusive_float64_data(envelope_y) : nullptr) {
    const std::size_t n = magnitudes->size;
    const fast::FloatingPointWatch watch;
    const double mean = kernels::numpy_mean(kernels::Contiguous(envelope), n, fast::summation_chunk());
    // A finite mean leaves every subtraction quiet; any other is numpy's to warn about.
    if (!watch.raised_computing(mean) && std::isfinite(mean)) {
      for (std::size_t i = 0; i < n; ++i) envelope[i] = envelope[i] - mean;
      return envelope_y;
    }
  }
  return envelope_y - call(attr(scope[name::np], name::mean), envelope_y);
}

// The native analytic signal's magnitude against that of scipy's hilbert,
// on records of odd and even lengths.
bool analytic_signal_agrees(PyObject*) {
  PyObject* hilbert = fast::imported(name::hilbert);
  PyObject* fft = fast::imported(name::fft);
  PyObject* ifft = fast::imported(name::ifft);
  if (hilbert == nullptr || fft == nullptr || ifft == nullptr) return false;
  const py::object abs = attr(fast::imported(name::np), name::abs);
  for (std::size_t n : {1, 2, 3, 8, 9, 64, 1001}) {
    const py::object record = fast::probe_record(n, 7);
    const py::object native = analytic_signal(fft, ifft, record, n);
    if (!native) return false;
    const py::object magnitude = call(abs, native);
    const double* values = fast::contiguous_float64_data(magnitude, n);
    if (values == nullptr || !fast::same_record(call(abs, call(hilbert, record)), values, n)) return false;
  }
  return true;
}

// The body, with the module's own band-pass filtering into a working buffer
// (the filtered record lives only for the call) and the envelope formed as
// envelope_of does.  A call whose band-pass is not the module's own
// (apply_bandpass rebound) is the body's.
py::object compute_envelope_waveform_fast(const Scope& scope, Args args) {
  PyObject* band_pass_function = PyDict_GetItemWithError(scope.globals(), name::apply_bandpass.handle().ptr());
  if (band_pass_function == nullptr) {
    PyErr_Clear();
    return {};
  }
  if (!is_module_function(band_pass_function, "apply_bandpass") || !fast::genuine(scope, name::np) ||
      !fast::genuine(scope, name::hilbert)) {
    return {};
  }
  // apply_bandpass(y_vals, lowcut, highcut, fs, order, filter_type, rp, rs)
  const py::handle band_pass_args[] = {args[0], args[2], args[3], args[1], args[4], args[5], args[6], args[7]};
  fast::WorkingBuffer working;
  py::object filtered_y;
  try {
    filtered_y = band_pass(scope, band_pass_args, fast::scipy_filtfilt_check.holds(), &working);
  } catch (py::error_already_set& error) {
    // The traceback names the band-pass, as a call through it would.
    error.restore();
    add_traceback("kemo_pkg.core_math.apply_bandpass", scope.globals());
    throw py::error_already_set();
  }
  return envelope_of(scope, std::move(filtered_y));
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
     {apply_bandpass_fast, {&fast::numpy_summation_check, &fast::scipy_filtfilt_check}}},
    {"compute_envelope_waveform", envelope_params, {"filtered_y", "analytic_signal", "envelope_y"},
     compute_envelope_waveform_body, {compute_envelope_waveform_fast, {&fast::numpy_summation_check}}},
    {"compute_envelope_spectrum", envelope_params, {"env_waveform", "env_freqs", "env_amps"},
     compute_envelope_spectrum_body},
    {"compute_true_overall_rms", {{"y_vals"}}, {}, compute_true_overall_rms_body,
     {compute_true_overall_rms_fast, {&fast::numpy_summation_check}}},
};

}  // namespace

const FunctionTable functions{definitions};

}  // namespace core_math::conditioning

namespace core_math::fast {

SelfCheck scipy_filtfilt_check{"scipy's filtfilt", conditioning::zero_phase_filter_agrees};
SelfCheck scipy_hilbert_check{"scipy's hilbert", conditioning::analytic_signal_agrees};

}  // namespace core_math::fast
