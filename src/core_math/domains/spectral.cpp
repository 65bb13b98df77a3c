// Spectral analysis: windowed amplitude spectra over frequency or order, the
// cepstrum, harmonic and band features, and the harmonic signature rule.
#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <optional>

#include "fast/arrays.hpp"
#include "fast/genuine.hpp"
#include "fast/guards.hpp"
#include "fast/self_checks.hpp"
#include "fast/watch.hpp"
#include "fast/working_buffers.hpp"
#include "kernels/spectral.hpp"
#include "runtime/names.hpp"
#include "runtime/table.hpp"

namespace core_math::spectral {
namespace {

// scipy's get_window("hann", n), computed here; only while the self-check
// found it equal to scipy's to the bit (the cosines are the C library's, as
// numpy's are).
py::object hann_window(std::size_t n) {
  double* window = nullptr;
  py::object result = fast::new_float64_array(n, window);
  kernels::periodic_hann(n, window);
  return result;
}

// The axis np.fft.rfftfreq(n, d) gives, for a spacing whose n * d is a
// finite, nonzero double.
py::object rfft_axis(std::size_t n, double d) {
  const double step = 1.0 / (static_cast<double>(n) * d);
  double* axis = nullptr;
  py::object result = fast::new_float64_array(n / 2 + 1, axis);
  for (std::size_t i = 0; i <= n / 2; ++i) axis[i] = static_cast<double>(i) * step;
  return result;
}

// What the two spectrum functions differ in: the spacing handed to rfftfreq.
enum class Axis { orders, frequency };

// The spectrum's amplitude statements, once, from the transform's magnitudes on:
//   amp = 2.0 / N * np.abs(yf) * acf      a single-sided peak, through the window
//   amp[0] /= 2.0                         0 Hz has no mirror image folded into it
//   amp /= np.sqrt(2)  if scaling == "rms"
//   amp *= 2.0         elif scaling == "peak-to-peak"
//   amp **= 2          if spectrum_format == "power"
// `steps` carries out each statement, on the whole array (the generic body)
// or on one line (the fast path's single pass); `scaling_is(word)` and
// `format_is(word)` compare the options with a word of the vocabulary.
template <class Steps, class ScalingIs, class FormatIs>
void apply_amplitude_statements(Steps& steps, ScalingIs&& scaling_is, FormatIs&& format_is) {
  steps.correct();
  steps.halve_zero_frequency();
  if (scaling_is(name::rms)) {
    steps.divide_by_root_two();
  } else if (scaling_is(name::peak_to_peak)) {
    steps.double_it();
  }
  if (format_is(name::power)) steps.square();
}

// The statements on the whole array, as numpy runs them: the array is
// rescaled in place, and each statement warns for itself.
class ArraySteps {
 public:
  ArraySteps(const Scope& scope, py::object magnitudes, py::handle two_over_n, py::handle acf)
      : scope_(scope), amp_(std::move(magnitudes)), two_over_n_(two_over_n), acf_(acf) {}

  void correct() { amp_ = temporary_times_scalar(scalar_times_temporary(two_over_n_, std::move(amp_)), acf_); }
  void halve_zero_frequency() {
    const py::int_ dc(0);
    set_item(amp_, dc, itruediv(item(amp_, dc), py::float_(2.0)));
  }
  void divide_by_root_two() { amp_ = itruediv(amp_, call(attr(scope_[name::np], name::sqrt), py::int_(2))); }
  void double_it() { amp_ = imul(amp_, py::float_(2.0)); }
  void square() { amp_ = ipower(amp_, py::int_(2)); }
  py::object amplitudes() && { return std::move(amp_); }

 private:
  const Scope& scope_;
  py::object amp_;
  py::handle two_over_n_, acf_;
};

// The amplitudes from the transform's magnitudes, by numpy's array arithmetic.
py::object scaled_amplitudes(const Scope& scope, py::object magnitudes, py::handle two_over_n, py::handle acf,
                             py::handle scaling, py::handle spectrum_format) {
  ArraySteps steps(scope, std::move(magnitudes), two_over_n, acf);
  apply_amplitude_statements(
      steps, [&](const Name& word) { return truthy(eq(scaling, word)); },
      [&](const Name& word) { return truthy(eq(spectrum_format, word)); });
  return std::move(steps).amplitudes();
}

// The statements on one line: the same operations, in the same order, as
// numpy applies them to that line of the array.
struct LineSteps {
  double line;
  bool zero_frequency;
  double two_over_n, acf;

  void correct() { line = two_over_n * line * acf; }
  void halve_zero_frequency() {
    if (zero_frequency) line /= 2.0;
  }
  void divide_by_root_two() { line /= std::sqrt(2.0); }
  void double_it() { line *= 2.0; }
  void square() { line = line * line; }
};

// The word of the vocabulary an option string (an exact str) is, or nullptr.
const Name* option_word(py::handle option, std::initializer_list<const Name*> vocabulary) {
  for (const Name* word : vocabulary) {
    if (PyUnicode_CompareWithASCIIString(option.ptr(), word->text()) == 0) return word;
  }
  return nullptr;
}

// The spectrum from its window on: the amplitude correction, the transform,
// the axis and the amplitudes.
py::object spectrum_through_window(const Scope& scope, Args args, Axis axis, const py::int_& N, py::handle win) {
  const py::handle waveform = args[0], spacing = args[1], scaling = args[3], spectrum_format = args[4];
  py::object mean = attr(scope[name::np], name::mean);
  py::object acf = py::float_(1.0) / call(mean, win);
  py::object rfft = attr(attr(scope[name::np], name::fft), name::rfft);
  py::object yf = call(rfft, waveform * win);
  static const Keywords spacing_keyword{"d"};
  py::object rfftfreq = attr(attr(scope[name::np], name::fft), name::rfftfreq);
  py::object d = axis == Axis::orders ? py::reinterpret_borrow<py::object>(spacing) : py::float_(1.0) / spacing;
  py::object x_axis = call_kw(rfftfreq, spacing_keyword, N, d);
  py::object two_over_n = py::float_(2.0) / N;
  py::object magnitudes = call(attr(scope[name::np], name::abs), yf);
  return py::make_tuple(x_axis, scaled_amplitudes(scope, std::move(magnitudes), two_over_n, acf, scaling, spectrum_format));
}

// Single-sided amplitude spectrum, corrected so that a sinusoid's peak reads
// true through the window.
py::object amplitude_spectrum(const Scope& scope, Args args, Axis axis) {
  const py::handle waveform = args[0], window_type = args[2];
  const Py_ssize_t n_samples = length(waveform);
  if (n_samples == 0) return py::make_tuple(py::none(), py::none());
  const py::int_ N(n_samples);
  py::object win = call(scope[name::get_window], window_type, N);
  return spectrum_through_window(scope, args, axis, N, win);
}

// The same spectrum with the window's mean, the windowed record, the axis
// and the scaling computed here; the window, the transform and its
// magnitudes still come from scipy and numpy.
py::object amplitude_spectrum_fast(const Scope& scope, Args args, Axis axis) {
  if (!fast::genuine(scope, name::np) || !fast::genuine(scope, name::get_window)) return {};
  const auto waveform = fast::float64_samples(args[0]);
  const auto spacing = fast::plain_number(args[1]);
  const py::handle window_type = args[2], scaling = args[3], spectrum_format = args[4];
  // Past a few thousand samples scipy's window and the transform are all the
  // cost, and numpy's own vector loops do the rest as fast as these; the
  // Hann window computed here pays for every length.
  constexpr std::size_t kLongestNativeRecord = 8192;
  const bool native_hann = fast::scipy_hann_window_check.holds() && PyUnicode_CheckExact(window_type.ptr()) &&
                           option_word(window_type, {&name::hann}) != nullptr;
  if (!waveform || waveform->size == 0 || (!native_hann && waveform->size > kLongestNativeRecord) || !spacing) {
    return {};
  }
  if (!PyUnicode_CheckExact(scaling.ptr()) || !PyUnicode_CheckExact(spectrum_format.ptr())) return {};
  const std::size_t n = waveform->size;
  if (axis == Axis::frequency && *spacing == 0.0) return {};
  const double d = axis == Axis::orders ? *spacing : 1.0 / *spacing;
  const double span = static_cast<double>(n) * d;
  if (span == 0.0 || !std::isfinite(span)) return {};

  // From here on scipy's window (unless it is the native Hann) and numpy
  // may have been called and may have warned: a call the native loops
  // cannot finish goes on through numpy, never back to the start.  The
  // window, the windowed record and its transform live in working buffers.
  const py::int_ N(n);
  fast::WorkingBuffer windowed_buffer, transform_buffer;
  double* product = windowed_buffer.take(n);
  py::object win;
  std::optional<fast::Samples> window;
  if (native_hann) {
    const double* hann = fast::periodic_hann(n, product);
    window = fast::Samples{kernels::Strided(hann, sizeof(double)), n, hann};
  } else {
    win = call(scope[name::get_window], window_type, N);
    window = fast::float64_samples(win);
    if (!window || window->size != n) return spectrum_through_window(scope, args, axis, N, win);
  }
  fast::FloatingPointWatch watch;
  const double acf = 1.0 / fast::with_view(*window, [&](const auto& values) {
    return kernels::numpy_mean(values, n, fast::summation_chunk());
  });
  // The product may overwrite the window: a long native Hann lies in the
  // product's buffer.
  fast::with_view(*waveform, [&](const auto& samples) {
    fast::with_view(*window, [&](const auto& weights) {
      for (std::size_t i = 0; i < n; ++i) product[i] = samples[i] * weights[i];
    });
  });
  py::object x_axis = rfft_axis(n, d);
  // A window of NaN (scipy's answer to some parameters) leaves NaN payloads
  // to numpy's choosing.
  if (watch.raised_computing(acf) || !std::isfinite(acf)) {
    return spectrum_through_window(scope, args, axis, N, native_hann ? hann_window(n) : win);
  }

  const std::size_t n_lines = n / 2 + 1;
  transform_buffer.take(2 * n_lines);
  static const Keywords into{"out"};
  py::object yf = call_kw(attr(attr(scope[name::np], name::fft), name::rfft), into, windowed_buffer.float64_view(n),
                          transform_buffer.complex128_view(n_lines));
  py::object magnitudes = call(attr(scope[name::np], name::abs), yf);
  yf = py::object();
  const double* magnitude = fast::contiguous_float64_data(magnitudes, n_lines);
  if (magnitude == nullptr) {
    return py::make_tuple(x_axis, scaled_amplitudes(scope, std::move(magnitudes), py::float_(2.0 / static_cast<double>(n)),
                                                    py::float_(acf), scaling, spectrum_format));
  }
  watch.restart();
  const double two_over_n = 2.0 / static_cast<double>(n);
  // Where the scaling cannot overflow or underflow, it overwrites the
  // magnitudes, as numpy does with a temporary; otherwise the magnitudes
  // are kept for numpy to scale (and warn) should the loop raise a flag.
  double* amp = fast::exclusive_float64_data(magnitudes);
  py::object amplitudes = magnitudes;
  if (amp == nullptr || !kernels::scales_quietly(magnitude, n_lines, acf)) amplitudes = fast::new_float64_array(n_lines, amp);
  const Name* scaling_word = option_word(scaling, {&name::rms, &name::peak_to_peak});
  const Name* format_word = option_word(spectrum_format, {&name::power});
  // One pass, each line through the amplitude statements.
  for (std::size_t k = 0; k < n_lines; ++k) {
    LineSteps steps{magnitude[k], k == 0, two_over_n, acf};
    apply_amplitude_statements(
        steps, [&](const Name& word) { return &word == scaling_word; },
        [&](const Name& word) { return &word == format_word; });
    amp[k] = steps.line;
  }
  if (watch.raised()) {
    amplitudes = scaled_amplitudes(scope, std::move(magnitudes), py::float_(two_over_n), py::float_(acf), scaling,
                                   spectrum_format);
  }
  return py::make_tuple(x_axis, amplitudes);
}

py::object compute_fft_dsp_fast(const Scope& scope, Args args) {
  return amplitude_spectrum_fast(scope, args, Axis::orders);
}

py::object compute_frequency_spectrum_fast(const Scope& scope, Args args) {
  return amplitude_spectrum_fast(scope, args, Axis::frequency);
}

py::object compute_fft_dsp_body(const Scope& scope, Args args) { return amplitude_spectrum(scope, args, Axis::orders); }

py::object compute_frequency_spectrum_body(const Scope& scope, Args args) {
  return amplitude_spectrum(scope, args, Axis::frequency);
}

py::object compute_cepstrum_body(const Scope& scope, Args args) {
  const py::handle spectrum_amps = args[0], d_axis = args[1];
  // Empty bins would make the logarithm -inf; floor them at 1e-12.
  // Temporaries are passed straight on, so that they are freed as soon as
  // the interpreter would free them.
  py::object log = attr(scope[name::np], name::log);
  py::object log_spectrum = call(log, call(attr(scope[name::np], name::maximum), spectrum_amps, py::float_(1e-12)));
  py::object abs = attr(scope[name::np], name::abs);
  py::object irfft = attr(attr(scope[name::np], name::fft), name::irfft);
  py::object ceps_y = call(abs, call(irfft, log_spectrum));
  const Py_ssize_t N = length(spectrum_amps);
  static const Keywords spacing_keyword{"d"};
  py::object rfftfreq = attr(attr(scope[name::np], name::fft), name::rfftfreq);
  py::object ceps_x = call_kw(rfftfreq, spacing_keyword, py::int_(2 * N - 1), d_axis);
  return py::make_tuple(ceps_x, ceps_y);
}

// The floor, the magnitudes and the quefrency axis natively; the logarithm
// and the inverse transform stay numpy's.  Every check comes before the
// first numpy call, so that a call handed over has warned nothing yet.
py::object compute_cepstrum_fast(const Scope& scope, Args args) {
  if (!fast::genuine(scope, name::np)) return {};
  const auto amps = fast::float64_samples(args[0]);
  const auto d_axis = fast::real_number(args[1]);
  if (!amps || amps->size < 2 || !d_axis) return {};
  const std::size_t n = amps->size;
  const std::size_t n_quefrency = 2 * n - 1;
  const double span = static_cast<double>(n_quefrency) * *d_axis;
  if (span == 0.0 || !std::isfinite(span)) return {};
  // NaN amplitudes would leave it to np.maximum which NaN comes through.
  if (fast::any_nan(*amps)) return {};
  const fast::FloatingPointWatch watch;
  py::object ceps_x = rfft_axis(n_quefrency, *d_axis);
  if (watch.raised()) return {};
  // The floored spectrum and its logarithm live in a working buffer.
  fast::WorkingBuffer log_buffer;
  double* floored = log_buffer.take(n);
  fast::with_view(*amps, [&](const auto& values) {
    for (std::size_t i = 0; i < n; ++i) floored[i] = std::max(values[i], 1e-12);
  });
  py::object log_spectrum = log_buffer.float64_view(n);
  // The logarithm in place: numpy's own loop over the buffer np.maximum
  // would have made.
  static const Keywords in_place{"out"};
  call_kw(attr(scope[name::np], name::log), in_place, log_spectrum, log_spectrum);
  py::object irfft = attr(attr(scope[name::np], name::fft), name::irfft);
  py::object ceps_y = call(irfft, log_spectrum);
  log_spectrum = py::object();
  if (double* values = fast::exclusive_float64_data(ceps_y)) {
    const std::size_t n_ceps = static_cast<std::size_t>(length(ceps_y));
    for (std::size_t i = 0; i < n_ceps; ++i) values[i] = std::fabs(values[i]);
  } else {
    ceps_y = call(attr(scope[name::np], name::abs), ceps_y);
  }
  return py::make_tuple(ceps_x, ceps_y);
}

py::object get_harmonic_peak_body(const Scope& scope, Args args) {
  const py::handle orders = args[0], amps = args[1], target_order = args[2], search_window = args[3];
  py::object mask = ge(orders, target_order - search_window);
  mask = mask & le(orders, target_order + search_window);
  // The greatest amplitude anywhere in the window, edges included.
  if (truthy(call(attr(scope[name::np], name::any), mask))) {
    py::object max = attr(scope[name::np], name::max);
    return to_float(call(max, item(amps, mask)));
  }
  return attr(scope[name::np], name::nan);
}

// The arguments of a spectral feature as the native loops take them: an axis
// and its amplitudes, float64 records of one length, and two plain numbers
// (a target order and a half-width, or the ends of a band).
struct FeatureArguments {
  fast::Samples axis, amps;
  double first, second;
};

std::optional<FeatureArguments> feature_arguments(const Scope& scope, Args args) {
  if (!fast::genuine(scope, name::np)) return std::nullopt;
  const auto axis = fast::float64_samples(args[0]);
  const auto amps = fast::float64_samples(args[1]);
  const auto first = fast::plain_number(args[2]);
  const auto second = fast::plain_number(args[3]);
  if (!axis || !amps || axis->size != amps->size || !first || !second) return std::nullopt;
  return FeatureArguments{*axis, *amps, *first, *second};
}

py::object get_harmonic_peak_fast(const Scope& scope, Args args) {
  const auto feature = feature_arguments(scope, args);
  if (!feature) return {};
  const fast::Samples &orders = feature->axis, &amps = feature->amps;
  const double lower = feature->first - feature->second, upper = feature->first + feature->second;
  const auto selection = fast::with_view(
      orders, [&](const auto& axis) { return kernels::select_window(axis, orders.size, lower, upper); });
  if (selection.count == 0) return attr(scope[name::np], name::nan);
  const auto peak = fast::with_view(amps, [&](const auto& values) {
    return kernels::window_peak(orders.values, values, orders.size, lower, upper, selection);
  });
  // NaN payloads and the sign of a zero peak are numpy's to choose.
  if (peak.has_nan || peak.value == 0.0) return {};
  return py::float_(peak.value);
}

py::object get_band_energy_body(const Scope& scope, Args args) {
  const py::handle x_axis = args[0], y_axis = args[1], start_val = args[2], end_val = args[3];
  py::object mask = ge(x_axis, start_val);
  mask = mask & le(x_axis, end_val);
  if (!truthy(call(attr(scope[name::np], name::any), mask))) return py::float_(0.0);
  // Root-sum-square of the band's amplitudes.
  py::object sqrt = attr(scope[name::np], name::sqrt);
  py::object sum = attr(scope[name::np], name::sum);
  return to_float(call(sqrt, call(sum, squared(item(y_axis, mask)))));
}

py::object get_band_energy_fast(const Scope& scope, Args args) {
  const auto feature = feature_arguments(scope, args);
  if (!feature) return {};
  const fast::Samples &x_axis = feature->axis, &y_axis = feature->amps;
  const double start_val = feature->first, end_val = feature->second;
  const auto band = fast::with_view(
      x_axis, [&](const auto& axis) { return kernels::select_window(axis, x_axis.size, start_val, end_val); });
  if (!band.one_run) return {};
  if (band.count == 0) return py::float_(0.0);
  const fast::FloatingPointWatch watch;
  const double energy = fast::with_view(y_axis, [&](const auto& amps) {
    return std::sqrt(kernels::numpy_sum(kernels::Squared(amps.from(band.first)), band.count, fast::summation_chunk()));
  });
  if (watch.raised_computing(energy)) return {};
  return py::float_(energy);
}

// The harmonic signature rule, once: the 1x and 2x amplitudes graded against
// multiples of the 3x amplitude, strictest level first, each test made only
// when the one before it allows, as Python's `and` and `or` make them.  A 3x
// amplitude at or below 0.0001 is taken as no reference at all.  `values`
// holds amp_1x, amp_2x, amp_3x, vh1, vh2, ind1, ind2, low1 and low2.
template <class Number, class AtMost, class Exceeds>
int harmonic_level(const Number* values, AtMost&& at_most, Exceeds&& exceeds) {
  const Number &amp_1x = values[0], &amp_2x = values[1], &amp_3x = values[2];
  const Number &vh1 = values[3], &vh2 = values[4], &ind1 = values[5], &ind2 = values[6], &low1 = values[7],
               &low2 = values[8];
  constexpr double kNoReference = 0.0001;
  if (at_most(amp_3x, kNoReference)) return 0;
  const auto above = [&](const Number& amp, const Number& multiplier) { return exceeds(amp, multiplier, amp_3x); };
  if (above(amp_1x, vh1) && above(amp_2x, vh2)) return 3;
  if (above(amp_1x, ind1) && above(amp_2x, ind2)) return 2;
  if (above(amp_1x, low1) || above(amp_2x, low2)) return 1;
  return 0;
}

py::object detect_harmonic_signature_fast(const Scope&, Args args) {
  double values[9];
  for (int i = 0; i < 9; ++i) {
    const auto number = fast::plain_float(args[i]);
    if (!number) return {};
    values[i] = *number;
  }
  return py::int_(harmonic_level(
      values, [](double amp, double limit) { return amp <= limit; },
      [](double amp, double multiplier, double amp_3x) { return amp > multiplier * amp_3x; }));
}

py::object detect_harmonic_signature_body(const Scope&, Args args) {
  return py::int_(harmonic_level(
      args, [](py::handle amp, double limit) { return truthy(le(amp, py::float_(limit))); },
      [](py::handle amp, py::handle multiplier, py::handle amp_3x) { return truthy(gt(amp, multiplier * amp_3x)); }));
}

const FunctionSpec definitions[] = {
    {"compute_fft_dsp",
     {{"waveform"}, {"d_rev"}, {"window_type", "hann"}, {"scaling", "peak"}, {"spectrum_format", "linear"}},
     {"N", "win", "acf", "yf", "orders", "amp"},
     compute_fft_dsp_body,
     {compute_fft_dsp_fast, {&fast::numpy_summation_check}}},
    {"compute_frequency_spectrum",
     {{"time_waveform"}, {"fs"}, {"window_type", "hann"}, {"scaling", "peak"}, {"spectrum_format", "linear"}},
     {"N", "win", "acf", "yf", "freqs", "amp"},
     compute_frequency_spectrum_body,
     {compute_frequency_spectrum_fast, {&fast::numpy_summation_check}}},
    {"compute_cepstrum", {{"spectrum_amps"}, {"d_axis"}}, {"log_spectrum", "ceps_y", "N", "ceps_x"},
     compute_cepstrum_body, {compute_cepstrum_fast}},
    {"get_harmonic_peak", {{"orders"}, {"amps"}, {"target_order"}, {"search_window", 0.05}}, {"mask"},
     get_harmonic_peak_body, {get_harmonic_peak_fast}},
    {"get_band_energy", {{"x_axis"}, {"y_axis"}, {"start_val"}, {"end_val"}}, {"mask"}, get_band_energy_body,
     {get_band_energy_fast, {&fast::numpy_summation_check}}},
    {"detect_harmonic_signature",
     {{"amp_1x"}, {"amp_2x"}, {"amp_3x"}, {"vh1", 1.1}, {"vh2", 0.5}, {"ind1", 0.8}, {"ind2", 0.4}, {"low1", 0.5},
      {"low2", 0.2}},
     {},
     detect_harmonic_signature_body,
     {detect_harmonic_signature_fast}},
};

}  // namespace

const FunctionTable functions{definitions};

}  // namespace core_math::spectral
