// Trend and condition assessment: operating states from power, the severity
// envelope, trend smoothers, the dynamic z-score and the degradation rate.
#include <algorithm>
#include <array>
#include <cmath>
#include <optional>

#include "fast/arrays.hpp"
#include "fast/genuine.hpp"
#include "fast/guards.hpp"
#include "fast/self_checks.hpp"
#include "fast/watch.hpp"
#include "kernels/smoothing.hpp"
#include "kernels/trend.hpp"
#include "runtime/names.hpp"
#include "runtime/table.hpp"

namespace core_math::trend {
namespace {

// `lower <= value <= upper` as Python chains it: the upper test runs only
// when the lower one holds.
bool within(py::handle lower, py::handle value, py::handle upper) {
  return truthy(le(lower, value)) && truthy(le(value, upper));
}

// The rated-power classes with fixed band edges, tried in this order; any
// other rating gets its edges at fifths of the rating.
struct RatingClass {
  int lowest, highest;  // the ratings of the class, both included
  std::array<int, 6> edges;
};
constexpr RatingClass kRatingClasses[] = {
    {1800, 2400, {100, 500, 800, 1400, 1800, 2400}},
    {2800, 3600, {200, 1000, 1800, 2600, 3200, 3600}},
    {3800, 4800, {300, 1500, 2500, 3500, 4200, 4800}},
};
constexpr double kFifths[] = {0.2, 0.4, 0.6, 0.8};

py::list power_band_edges(py::handle rating) {
  py::list edges;
  for (const RatingClass& rating_class : kRatingClasses) {
    if (within(py::int_(rating_class.lowest), rating, py::int_(rating_class.highest))) {
      for (int edge : rating_class.edges) edges.append(py::int_(edge));
      return edges;
    }
  }
  edges.append(py::int_(0));
  for (double fraction : kFifths) edges.append(rating * py::float_(fraction));
  edges.append(rating);
  return edges;
}

// The same edges as doubles, for a rating the fast path can take: positive
// and finite, so that the edges ascend.
std::optional<std::array<double, 6>> numeric_band_edges(double rating) {
  if (!(rating > 0.0 && rating <= 1e300)) return std::nullopt;
  std::array<double, 6> edges{};
  for (const RatingClass& rating_class : kRatingClasses) {
    if (rating_class.lowest <= rating && rating <= rating_class.highest) {
      std::copy(rating_class.edges.begin(), rating_class.edges.end(), edges.begin());
      return edges;
    }
  }
  for (std::size_t i = 0; i < 4; ++i) edges[i + 1] = rating * kFifths[i];
  edges[5] = rating;
  return edges;
}

// np.digitize against ascending edges: how many edges lie at or below the
// power; NaN sorts above every edge.
int band_index(double power, const std::array<double, 6>& edges) {
  int index = 0;
  for (double edge : edges) index += !std::isless(power, edge);
  return index;
}

py::object classify_operating_state_fast(const Scope& scope, Args args) {
  if (!fast::genuine(scope, name::np)) return {};
  const auto power = fast::float64_samples(args[0]);
  const auto rating = fast::plain_number(args[1]);
  if (!power || power->size == 0 || !rating) return {};
  const auto edges = numeric_band_edges(*rating);
  if (!edges) return {};
  const auto band_of = [&](std::size_t i) {
    const int index = band_index(power->values[i], *edges);
    return 1 <= index && index <= 5 ? index : 0;
  };
  bool any_out = false;
  for (std::size_t i = 0; i < power->size && !any_out; ++i) any_out = band_of(i) == 0;
  // numpy sizes the strings by the longest label: "P_OUT" or "P1".."P5".
  const std::size_t width = any_out ? 5 : 2;
  Py_UCS4* text = nullptr;
  py::object labels = fast::new_unicode_array(power->size, width, text);
  static constexpr Py_UCS4 kOut[5] = {'P', '_', 'O', 'U', 'T'};
  for (std::size_t i = 0; i < power->size; ++i, text += width) {
    const int band = band_of(i);
    std::fill(text, text + width, 0);
    if (band == 0) {
      std::copy(kOut, kOut + 5, text);
    } else {
      text[0] = 'P';
      text[1] = static_cast<Py_UCS4>('0' + band);
    }
  }
  return labels;
}

py::object classify_operating_state_body(const Scope& scope, Args args) {
  const py::handle power_arr = args[0], max_power_rating = args[1];
  py::list p_edges = power_band_edges(max_power_rating);
  py::object p_indices = call(attr(scope[name::np], name::digitize), power_arr, p_edges);
  const py::str prefix("P"), out_of_range("P_OUT"), no_spec("");
  py::list labels;
  for (py::handle p : p_indices) {
    if (within(py::int_(1), p, py::int_(5))) {
      labels.append(prefix + steal_or_throw(PyObject_Format(p.ptr(), no_spec.ptr())));
    } else {
      labels.append(out_of_range);
    }
  }
  return call(attr(scope[name::np], name::array), labels);
}

// np.zeros_like(data, dtype=np.float64): the result array of the trend loops.
py::object float64_zeros_like(const Scope& scope, py::handle feature_data) {
  static const Keywords dtype{"dtype"};
  py::object zeros_like = attr(scope[name::np], name::zeros_like);
  py::object float64 = attr(scope[name::np], name::float64);
  return call_kw(zeros_like, dtype, feature_data, float64);
}

// Fast attack, slow decay: the larger of the previous envelope value and the
// new sample gets `peak_weight`, the smaller the rest.
py::object compute_severity_envelope_body(const Scope& scope, Args args) {
  const py::handle feature_data = args[0], peak_weight = args[1];
  py::object smoothed = float64_zeros_like(scope, feature_data);
  set_item(smoothed, py::int_(0), item(feature_data, py::int_(0)));
  const Py_ssize_t n_samples = length(feature_data);
  for (Py_ssize_t i = 1; i < n_samples; ++i) {
    const py::int_ index(i);
    py::object prev = item(smoothed, py::int_(i - 1));
    py::object x = item(feature_data, index);
    py::object hi = max_of(prev, x);
    py::object lo = min_of(prev, x);
    py::object attack = peak_weight * hi;
    py::object decay = (py::float_(1.0) - peak_weight) * lo;
    set_item(smoothed, index, attack + decay);
  }
  return smoothed;
}

py::object compute_severity_envelope_fast(const Scope& scope, Args args) {
  if (!fast::genuine(scope, name::np)) return {};
  const auto samples = fast::float64_samples(args[0]);
  const auto peak_weight = fast::plain_number(args[1]);
  if (!samples || samples->size == 0 || !peak_weight || !std::isfinite(*peak_weight)) return {};
  return fast::float64_result(*samples, samples->size, [&](const auto& values, double* smoothed) {
    kernels::severity_envelope(values, samples->size, *peak_weight, smoothed);
  });
}

// A `range` bound: an object that is not an integer raises the interpreter's
// TypeError; integers beyond the index range are clamped, which leaves the
// warm-up loop as empty or as long as the series allows.
Py_ssize_t range_bound(py::handle stop) {
  const Py_ssize_t bound = PyNumber_AsSsize_t(stop.ptr(), nullptr);
  if (bound == -1 && PyErr_Occurred()) throw py::error_already_set();
  return bound;
}

// Trailing mean; the first `window_size` samples average what there is so far.
py::object compute_moving_average_body(const Scope& scope, Args args) {
  const py::handle feature_data = args[0], window_size = args[1];
  py::object w = min_of(window_size, py::int_(length(feature_data)));
  py::object result = float64_zeros_like(scope, feature_data);
  const Py_ssize_t warm_up = range_bound(w);
  for (Py_ssize_t i = 0; i < warm_up; ++i) {
    py::object mean = attr(scope[name::np], name::mean);
    set_item(result, py::int_(i), call(mean, slice(feature_data, py::none(), py::int_(i + 1))));
  }
  const Py_ssize_t n_samples = length(feature_data);
  if (truthy(gt(py::int_(n_samples), w))) {
    py::object sum = attr(scope[name::np], name::sum);
    py::object window_sum = call(sum, slice(feature_data, py::none(), w));
    // The loop starts at w itself, as `range` does, even for a window below
    // the index range: its first step reads sample 0, then sample w.
    const py::int_ end(n_samples), one(1);
    for (py::object index = steal_or_throw(PyNumber_Index(w.ptr())); truthy(lt(index, end)); index = index + one) {
      // The window sum is carried, not recomputed: one sample leaves, one
      // enters.  A NaN gap or an infinite sample would stay in a carried
      // sum for good, so when one leaves, the sum is taken afresh.
      py::object leaving = item(feature_data, index - w);
      if (is_non_finite_real(leaving)) {
        py::object sum_again = attr(scope[name::np], name::sum);
        window_sum = call(sum_again, slice(feature_data, index - w + one, index + one));
      } else {
        window_sum = window_sum - leaving;
        window_sum = window_sum + item(feature_data, index);
      }
      set_item(result, index, window_sum / w);
    }
  }
  return result;
}

py::object compute_moving_average_fast(const Scope& scope, Args args) {
  if (!fast::genuine(scope, name::np)) return {};
  const auto samples = fast::float64_samples(args[0]);
  const auto window_size = fast::plain_int(args[1]);
  if (!samples || !window_size || *window_size < 1) return {};
  const std::size_t window = std::min(static_cast<std::size_t>(*window_size), samples->size);
  return fast::float64_result(*samples, samples->size, [&](const auto& values, double* averages) {
    kernels::moving_average(values, samples->size, window, fast::summation_chunk(), averages);
  });
}

// The keyword forms scipy's two filters are called with.
const Keywords& median_options() {
  static const Keywords keywords{"kernel_size"};
  return keywords;
}
const Keywords& savgol_options() {
  static const Keywords keywords{"window_length", "polyorder"};
  return keywords;
}

// The odd-window rule: scipy's median and Savitzky-Golay filters want an odd
// window, so an even one is widened by one sample.
long long odd_window(long long window) { return window % 2 == 0 ? window + 1 : window; }

// The bodies state the rule in two forms, which differ only for windows that
// are not plain ints: as the statement `if w % 2 == 0: w += 1`, which widens
// an array in place, and as the expression `w if w % 2 != 0 else w + 1`.
enum class Stated { as_statement, as_expression };

py::object odd_window(py::handle window, Stated stated) {
  py::object remainder = mod(window, py::int_(2));
  if (stated == Stated::as_statement) {
    if (truthy(eq(remainder, py::int_(0)))) return iadd(window, py::int_(1));
    return py::reinterpret_borrow<py::object>(window);
  }
  if (truthy(ne(remainder, py::int_(0)))) return py::reinterpret_borrow<py::object>(window);
  return window + py::int_(1);
}

py::object compute_median_filter_body(const Scope& scope, Args args) {
  const py::handle feature_data = args[0];
  py::object window_size = odd_window(args[1], Stated::as_statement);
  return call_kw(scope[name::medfilt], median_options(), feature_data, window_size);
}

// scipy's medfilt of a 1-D float64 record, natively, for a window whose
// median is certain to the bit; empty when the call is scipy's.  A window
// longer than the record is scipy's too, for its warning.
py::object median_filtered(const Scope& scope, py::handle feature_data, long long kernel_size) {
  if (!fast::genuine(scope, name::medfilt)) return {};
  const auto samples = fast::float64_samples(feature_data);
  if (!samples || kernel_size < 1 || static_cast<unsigned long long>(kernel_size) > samples->size ||
      static_cast<std::size_t>(kernel_size) > kernels::kMaxMedianWindow) {
    return {};
  }
  const bool unambiguous = fast::with_view(
      *samples, [&](const auto& values) { return kernels::median_is_unambiguous(values, samples->size); });
  if (!unambiguous) return {};
  return fast::float64_result(*samples, samples->size, [&](const auto& values, double* medians) {
    kernels::running_median(values, samples->size, static_cast<std::size_t>(kernel_size), medians);
  });
}

py::object compute_median_filter_fast(const Scope& scope, Args args) {
  const auto window_size = fast::plain_int(args[1]);
  if (!window_size) return {};
  return median_filtered(scope, args[0], odd_window(*window_size));
}

// scipy's lstsq(lhs, rhs, cond=cond), run with numpy raising on every
// floating-point event; empty when one occurred, so that a fit whose numpy
// arithmetic would warn is abandoned before it has warned.
py::object least_squares_strictly(py::handle lstsq, py::handle lhs, py::handle rhs, py::handle cond) {
  static const Keywords every_event{"all"};
  static const Keywords cutoff{"cond"};
  py::object strict = call_kw(attr(fast::imported(name::np), name::errstate), every_event, name::raise.handle());
  py::object leave = attr(strict, name::dunder_exit);
  call(attr(strict, name::dunder_enter));
  py::object result;
  try {
    result = call_kw(lstsq, cutoff, lhs, rhs, cond);
  } catch (py::error_already_set& error) {
    call(leave, py::none(), py::none(), py::none());
    if (error.matches(PyExc_FloatingPointError)) return {};
    throw;
  }
  call(leave, py::none(), py::none(), py::none());
  return result;
}

// The polynomial that scipy's least-squares solver fits to the `window`
// samples from `first` on, written at the `count` positions from `offset`
// on within that window; false when numpy would report a floating-point
// event, the fit falls short of full rank (scipy then warns) or the solver
// answers in an unexpected form.
template <class View>
bool fit_edge(py::handle lstsq, py::handle design, const std::vector<double>& scale, const View& samples,
              std::size_t window, std::size_t first, std::size_t offset, std::size_t count, double* out) {
  const std::size_t order = scale.size();
  double* column = nullptr;
  py::object rhs = fast::new_float64_matrix(window, 1, column);
  for (std::size_t r = 0; r < window; ++r) column[r] = samples[first + r];
  constexpr double kEpsilon = 2.220446049250313e-16;
  py::object fit = least_squares_strictly(lstsq, design, rhs, py::float_(static_cast<double>(window) * kEpsilon));
  if (!fit) return false;
  const auto solution = fast::float64_column(item(fit, py::int_(0)), order);
  const auto rank = fast::index_value(item(fit, py::int_(2)));
  if (!solution || rank != static_cast<long long>(order)) return false;
  const fast::FloatingPointWatch watch;
  kernels::edge_values(solution->data(), scale, offset, count, out);
  return !watch.raised();
}

// scipy's savgol_filter(feature_data, window_length=window,
// polyorder=poly_order) with its defaults, natively but for scipy's window
// design and its two least-squares edge fits; empty when the call is
// scipy's.  The scipy calls made here warn of nothing (the fits run with
// numpy raising instead), so a call handed over part way has done nothing
// visible.
py::object savgol_smoothed(const Scope& scope, py::handle feature_data, long long window, py::handle poly_order_arg) {
  if (!fast::genuine(scope, name::savgol_filter)) return {};
  const auto samples = fast::float64_samples(feature_data);
  const auto poly_order = fast::plain_int(poly_order_arg);
  // Positions up to 254 raised to powers up to 6 stay exact doubles.
  constexpr long long kLongestWindow = 255, kHighestOrder = 6;
  if (!samples || !poly_order || window < 1 || window > kLongestWindow || window % 2 == 0 ||
      static_cast<unsigned long long>(window) > samples->size || *poly_order < 0 || *poly_order >= window ||
      *poly_order > kHighestOrder) {
    return {};
  }
  const std::size_t n = samples->size, taps = static_cast<std::size_t>(window);
  // A record with NaN or infinity is refused by scipy's solver.
  const bool finite = fast::all_finite(*samples);
  PyObject* designer = fast::genuine(scope, name::savgol_coeffs);  // borrowed
  const py::object linalg = py::reinterpret_steal<py::object>(PyImport_GetModule(name::scipy_linalg.handle().ptr()));
  if (PyErr_Occurred()) throw py::error_already_set();
  if (!finite || designer == nullptr || !linalg) return {};

  py::object coefficients = call(designer, py::int_(window), poly_order_arg);
  const auto weights = fast::float64_samples(coefficients);
  if (!weights || weights->size != taps) return {};
  // A convolution: the correlation with the coefficients reversed.
  std::vector<double> reversed(taps);
  for (std::size_t k = 0; k < taps; ++k) reversed[k] = weights->values[taps - 1 - k];
  double* out = nullptr;
  py::object smoothed = fast::new_float64_array(n, out);
  fast::with_view(*samples, [&](const auto& values) {
    kernels::correlate_zero_padded(values, n, reversed.data(), taps, out);
  });
  const std::size_t half = taps / 2;
  if (half == 0) return smoothed;
  std::vector<double> design, scale;
  kernels::edge_design(taps, static_cast<std::size_t>(*poly_order), fast::summation_chunk(), design, scale);
  double* design_data = nullptr;
  py::object lhs = fast::new_float64_matrix(taps, scale.size(), design_data);  // scipy's solver copies it
  std::copy(design.begin(), design.end(), design_data);
  py::object lstsq = attr(linalg, name::lstsq);
  const bool fitted = fast::with_view(*samples, [&](const auto& values) {
    return fit_edge(lstsq, lhs, scale, values, taps, 0, 0, half, out) &&
           fit_edge(lstsq, lhs, scale, values, taps, n - taps, taps - half, half, out + n - half);
  });
  if (!fitted) return {};
  return smoothed;
}

py::object compute_savgol_filter_body(const Scope& scope, Args args) {
  const py::handle feature_data = args[0], poly_order = args[2];
  py::object window_size = odd_window(args[1], Stated::as_statement);
  return call_kw(scope[name::savgol_filter], savgol_options(), feature_data, window_size, poly_order);
}

py::object compute_savgol_filter_fast(const Scope& scope, Args args) {
  const auto window_size = fast::plain_int(args[1]);
  if (!window_size) return {};
  return savgol_smoothed(scope, args[0], odd_window(*window_size), args[2]);
}

// A median filter knocks out spikes first, so that the Savitzky-Golay fit
// follows the trend rather than the outliers.
py::object compute_robust_trend_body(const Scope& scope, Args args) {
  const py::handle feature_data = args[0], poly_order = args[3];
  py::object m_win = odd_window(args[1], Stated::as_expression);
  py::object s_win = odd_window(args[2], Stated::as_expression);
  py::object cleaned = call_kw(scope[name::medfilt], median_options(), feature_data, m_win);
  return call_kw(scope[name::savgol_filter], savgol_options(), cleaned, s_win, poly_order);
}

// The spike removal natively, then the Savitzky-Golay smoothing natively
// where it can be, else through scipy.
py::object compute_robust_trend_fast(const Scope& scope, Args args) {
  const auto median_window = fast::plain_int(args[1]);
  const auto savgol_window = fast::plain_int(args[2]);
  if (!median_window || !savgol_window) return {};
  py::object cleaned = median_filtered(scope, args[0], odd_window(*median_window));
  if (!cleaned) return {};
  const long long s_win = odd_window(*savgol_window);
  if (py::object smoothed = savgol_smoothed(scope, cleaned, s_win, args[3])) return smoothed;
  return call_kw(scope[name::savgol_filter], savgol_options(), cleaned, py::int_(s_win), args[3]);
}

// Each sample scored against the `baseline_window` samples before it.
py::object compute_dynamic_zscore_body(const Scope& scope, Args args) {
  const py::handle feature_data = args[0], baseline_window = args[1];
  py::object z_scores = float64_zeros_like(scope, feature_data);
  const Py_ssize_t n_samples = length(feature_data);
  const py::float_ flat_limit(1e-9);
  for (Py_ssize_t i = 0; i < n_samples; ++i) {
    const py::int_ index(i);
    py::object start_idx = max_of(py::int_(0), index - baseline_window);
    py::object baseline = slice(feature_data, start_idx, index);
    if (length(baseline) < 2) continue;
    static const Keywords sample_options{"ddof"};
    py::object std_dev = call_kw(attr(scope[name::np], name::std), sample_options, baseline, py::int_(1));
    // A flat baseline has no spread to score against.
    if (truthy(gt(std_dev, flat_limit))) {
      py::object sample = item(feature_data, index);
      py::object mean = attr(scope[name::np], name::mean);
      py::object deviation = sample - call(mean, baseline);
      set_item(z_scores, index, deviation / std_dev);
    } else {
      set_item(z_scores, index, py::float_(0.0));
    }
  }
  return z_scores;
}

py::object compute_dynamic_zscore_fast(const Scope& scope, Args args) {
  if (!fast::genuine(scope, name::np)) return {};
  const auto samples = fast::float64_samples(args[0]);
  const auto baseline_window = fast::plain_int(args[1]);
  if (!samples || !baseline_window) return {};
  // A negative window leaves every baseline empty, like a window of 0.
  const std::size_t window = *baseline_window < 0 ? 0 : static_cast<std::size_t>(*baseline_window);
  return fast::float64_result(*samples, samples->size, [&](const auto& values, double* z_scores) {
    kernels::dynamic_zscore(values, samples->size, window, fast::summation_chunk(), z_scores);
  });
}

py::object compute_degradation_velocity_body(const Scope& scope, Args args) {
  const py::handle trend_data = args[0], time_delta = args[1];
  return temporary_over_scalar(call(attr(scope[name::np], name::gradient), trend_data), time_delta);
}

py::object compute_degradation_velocity_fast(const Scope& scope, Args args) {
  if (!fast::genuine(scope, name::np)) return {};
  const auto trend = fast::float64_samples(args[0]);
  const auto time_delta = fast::plain_number(args[1]);
  if (!trend || trend->size < 2 || !time_delta) return {};
  return fast::float64_result(*trend, trend->size, [&](const auto& values, double* velocity) {
    kernels::gradient_per_time(values, trend->size, *time_delta, velocity);
  });
}

const FunctionSpec definitions[] = {
    {"classify_operating_state", {{"power_arr"}, {"max_power_rating"}}, {"p_edges", "p_indices", "p"},
     classify_operating_state_body, {classify_operating_state_fast}},
    {"compute_severity_envelope", {{"feature_data"}, {"peak_weight", 0.9}}, {"smoothed", "i"},
     compute_severity_envelope_body, {compute_severity_envelope_fast}},
    {"compute_moving_average", {{"feature_data"}, {"window_size", 5}}, {"w", "result", "i", "window_sum"},
     compute_moving_average_body, {compute_moving_average_fast, {&fast::numpy_summation_check}}},
    {"compute_robust_trend",
     {{"feature_data"}, {"median_window", 5}, {"savgol_window", 15}, {"poly_order", 3}},
     {"m_win", "s_win", "cleaned"},
     compute_robust_trend_body,
     {compute_robust_trend_fast, {&fast::numpy_summation_check}}},
    {"compute_median_filter", {{"feature_data"}, {"window_size", 5}}, {}, compute_median_filter_body,
     {compute_median_filter_fast}},
    {"compute_savgol_filter", {{"feature_data"}, {"window_size", 11}, {"poly_order", 3}}, {},
     compute_savgol_filter_body, {compute_savgol_filter_fast, {&fast::numpy_summation_check}}},
    {"compute_dynamic_zscore", {{"feature_data"}, {"baseline_window", 30}},
     {"z_scores", "i", "start_idx", "baseline", "std_dev"}, compute_dynamic_zscore_body,
     {compute_dynamic_zscore_fast, {&fast::numpy_summation_check}}},
    {"compute_degradation_velocity", {{"trend_data"}, {"time_delta", 1.0}}, {}, compute_degradation_velocity_body,
     {compute_degradation_velocity_fast}},
};

}  // namespace

const FunctionTable functions{definitions};

}  // namespace core_math::trend
