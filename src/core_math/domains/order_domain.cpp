// Shaft speed and the order domain: tachometer pulses, gear-stage revolution
// times, angular resampling and time-synchronous averaging.
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "fast/arrays.hpp"
#include "fast/genuine.hpp"
#include "fast/guards.hpp"
#include "fast/self_checks.hpp"
#include "fast/watch.hpp"
#include "kernels/angle_map.hpp"
#include "kernels/gear_stage.hpp"
#include "kernels/selection.hpp"
#include "kernels/synchronous_average.hpp"
#include "kernels/tachometer.hpp"
#include "runtime/names.hpp"
#include "runtime/table.hpp"

namespace core_math::order_domain {
namespace {

// np.linspace(0, stop, num, endpoint=False) for a positive stop that is a
// double exactly: the grid of shaft angles, in revolutions.
py::object revolution_grid(std::size_t num, double stop) {
  double* grid = nullptr;
  py::object result = fast::new_float64_array(num, grid);
  kernels::revolution_grid(num, stop, grid);
  return result;
}

py::object get_tach_midpoints_body(const Scope& scope, Args args) {
  const py::handle t = args[0], y = args[1];
  // The threshold adapts to the record: 40 % of the way from the median
  // level to the 99.5th percentile, so pulse height and offset do not matter.
  py::object p99 = call(attr(scope[name::np], name::percentile), y, py::float_(99.5));
  py::object median_y = call(attr(scope[name::np], name::median), y);
  py::object threshold = median_y + py::float_(0.4) * (p99 - median_y);
  py::object above_thresh = gt(y, threshold);
  py::object diff = attr(scope[name::np], name::diff);
  py::object diffs = call(diff, call(attr(above_thresh, name::astype), py::handle(reinterpret_cast<PyObject*>(&PyLong_Type))));
  py::object where = attr(scope[name::np], name::where);
  py::object starts = item(call(where, eq(diffs, py::int_(1))), py::int_(0)) + py::int_(1);
  where = attr(scope[name::np], name::where);
  py::object ends = item(call(where, eq(diffs, py::int_(-1))), py::int_(0));
  // A record that begins or ends inside a pulse still counts that pulse.
  if (truthy(item(above_thresh, py::int_(0)))) {
    starts = call(attr(scope[name::np], name::insert), starts, py::int_(0), py::int_(0));
  }
  if (truthy(item(above_thresh, py::int_(-1)))) {
    py::object append = attr(scope[name::np], name::append);
    ends = call(append, ends, py::int_(length(y) - 1));
  }
  py::list midpoints;
  // Pre-trigger records have negative times; the first pulse is measured
  // against no previous pulse at all.
  py::object last_midpoint = py::float_(-std::numeric_limits<double>::infinity());
  const py::float_ two(2.0), min_spacing(0.03);
  for (py::handle pair : zip(starts, ends)) {
    auto [s, e] = unpack2(pair);
    // Two statements: C++ leaves the order of operands unsequenced, and a
    // short time axis must fail on the pulse's first sample, as read.
    py::object t_first = item(t, s);
    py::object mid_t = (t_first + item(t, e)) / two;
    // Bounce on the tachometer edge gives a second pulse within 30 ms: drop it.
    if (truthy(ge(mid_t - last_midpoint, min_spacing))) {
      midpoints.append(mid_t);
      last_midpoint = mid_t;
    }
  }
  return call(attr(scope[name::np], name::array), midpoints);
}

py::object get_tach_midpoints_fast(const Scope& scope, Args args) {
  if (!fast::genuine(scope, name::np)) return {};
  const auto t = fast::float64_samples(args[0]);
  const auto y = fast::float64_samples(args[1]);
  if (!t || !y || y->size == 0) return {};
  // A NaN sample makes numpy's threshold NaN: that rare record is numpy's.
  if (fast::any_nan(*y)) return {};
  const fast::FloatingPointWatch watch;
  std::vector<double> midpoints;
  const bool complete = fast::with_view(*y, [&](const auto& samples) {
    const auto levels = kernels::percentile_and_median(samples, y->size, 99.5);
    const double threshold = levels.median + 0.4 * (levels.percentile - levels.median);
    return kernels::pulse_midpoints(t->values, t->size, samples, y->size, threshold, 0.03, midpoints);
  });
  if (!complete) return {};
  if (watch.raised()) return {};
  double* data = nullptr;
  py::object result = fast::new_float64_array(midpoints.size(), data);
  std::copy(midpoints.begin(), midpoints.end(), data);
  return result;
}

py::object generate_fault_freq_fast_body(const Scope& scope, Args args) {
  const py::handle hss_pulse_times = args[0], gear_ratio = args[1];
  py::object arange = attr(scope[name::np], name::arange);
  py::object hss_revs = call(arange, py::int_(length(hss_pulse_times)));
  py::object lss_revs = hss_revs / gear_ratio;
  py::object ceil = attr(scope[name::np], name::ceil);
  py::object first_lss_rev = to_int(call(ceil, item(lss_revs, py::int_(0))));
  py::object floor = attr(scope[name::np], name::floor);
  py::object last_lss_rev = to_int(call(floor, item(lss_revs, py::int_(-1))));
  // Fewer than two whole slow-shaft revolutions: no revolution to time.
  if (truthy(le(last_lss_rev, first_lss_rev))) return py::none();
  arange = attr(scope[name::np], name::arange);
  py::object target_lss_integers = call(arange, first_lss_rev, last_lss_rev + py::int_(1));
  return call(attr(scope[name::np], name::interp), target_lss_integers, lss_revs, hss_pulse_times);
}

py::object generate_fault_freq_fast_path(const Scope& scope, Args args) {
  if (!fast::genuine(scope, name::np)) return {};
  const auto pulse_times = fast::float64_samples(args[0]);
  const auto gear_ratio = fast::plain_number(args[1]);
  // Up to 1e300 the counts k / gear_ratio stay clear of subnormals, whose
  // underflow numpy may be asked to report.
  if (!pulse_times || pulse_times->size < 2 || !gear_ratio || !(*gear_ratio > 0.0 && *gear_ratio <= 1e300)) {
    return {};
  }
  const std::size_t n = pulse_times->size;
  // A pulse time of NaN or infinity makes np.interp's own NaN rules matter.
  if (!fast::all_finite(*pulse_times)) return {};
  const fast::FloatingPointWatch watch;
  const double last_count = std::floor(static_cast<double>(n - 1) / *gear_ratio);
  if (watch.raised_computing(last_count)) return {};
  // The first whole count is always 0: fewer than two whole slow-shaft
  // revolutions leave none to time.
  if (last_count <= 0.0) return py::none();
  // Results beyond a few GiB are numpy's to allocate, or to refuse.
  constexpr double kLargestNativeResult = 1 << 28;
  if (last_count >= kLargestNativeResult) return {};
  const auto last_rev = static_cast<std::size_t>(last_count);
  return fast::float64_result(*pulse_times, last_rev + 1, [&](const auto& times, double* lss_times) {
    kernels::whole_revolution_times(times, n, *gear_ratio, last_rev, lss_times);
  });
}

// Tachometer pulses of a shaft near 50 Hz whose speed wanders, for the probes.
py::object probe_pulses(std::size_t n_pulses) {
  double* times = nullptr;
  py::object pulses = fast::new_float64_array(n_pulses, times);
  double time = -0.013;
  for (std::size_t k = 0; k < n_pulses; ++k) {
    times[k] = time;
    time += 0.02 + 0.001 * std::fabs(fast::probe_value(k)) / 1048576.0;
  }
  return pulses;
}

// The native slow-shaft times against np.interp's, for gear ratios below,
// at and above one.
bool whole_revolution_times_agree(PyObject*) {
  PyObject* numpy = fast::imported(name::np);
  if (numpy == nullptr) return false;
  constexpr std::size_t kPulses = 200;
  const py::object pulses = probe_pulses(kPulses);
  const auto times = fast::float64_samples(pulses);
  const py::object counts = call(attr(numpy, name::arange), py::int_(kPulses));
  for (double gear_ratio : {0.5, 1.0, 3.7, 92.0 / 23.0}) {
    const auto last_rev = static_cast<std::size_t>(std::floor(static_cast<double>(kPulses - 1) / gear_ratio));
    std::vector<double> native(last_rev + 1);
    kernels::whole_revolution_times(times->values, kPulses, gear_ratio, last_rev, native.data());
    const py::object targets = call(attr(numpy, name::arange), py::int_(0), py::int_(last_rev + 1));
    const py::object expected =
        call(attr(numpy, name::interp), targets, counts / py::float_(gear_ratio), pulses);
    if (!fast::same_record(expected, native.data(), last_rev + 1)) return false;
  }
  return true;
}

// The native revolution counts against scipy's linear interp1d, for samples
// spread over every interval between pulses and onto the pulses themselves.
bool revolution_map_agrees(PyObject*) {
  PyObject* interp1d = fast::imported(name::interp1d);
  PyObject* numpy = fast::imported(name::np);
  if (interp1d == nullptr || numpy == nullptr) return false;
  constexpr std::size_t kPulses = 40, kSamples = 2000;
  const py::object pulses = probe_pulses(kPulses);
  const double* pulse_times = fast::float64_samples(pulses)->contiguous;
  const double span = pulse_times[kPulses - 1] - pulse_times[0];
  double* t = nullptr;
  const py::object sample_times = fast::new_float64_array(kSamples + kPulses, t);
  for (std::size_t i = 0; i < kSamples; ++i) t[i] = pulse_times[0] + span * static_cast<double>(i) / kSamples;
  std::copy(pulse_times, pulse_times + kPulses, t + kSamples);
  std::vector<double> revs(kSamples + kPulses), values(kSamples + kPulses);
  kernels::track_within(kernels::Contiguous(t), kernels::Contiguous(t), kSamples + kPulses, pulse_times, kPulses,
                        revs.data(), values.data());
  static const Keywords linear_options{"kind", "fill_value"};
  const py::object time_to_rev = call_kw(interp1d, linear_options, pulses, call(attr(numpy, name::arange), py::int_(kPulses)),
                                         name::linear.handle(), name::extrapolate.handle());
  return fast::same_record(call(time_to_rev, sample_times), revs.data(), kSamples + kPulses);
}

py::object no_tracking() { return py::make_tuple(py::none(), py::none(), 0, 0); }

// A cubic interp1d answers NaN everywhere once one position is NaN, fitting
// a stand-in spline between the finite extremes of the positions.  Pulses so
// close that their spacing underflows give infinite revolution counts beside
// NaN ones; there is then no finite extreme, and the stand-in spline's solver
// writes outside its buffers.  Every count that is not finite spoils the
// waveform alike, so such counts are handed over as NaN.
py::object nan_where_not_finite(py::handle instant_revs) {
  const auto counts = fast::float64_samples(instant_revs);
  if (!counts || !fast::any_nan(*counts) || fast::all_finite(*counts)) {
    return py::reinterpret_borrow<py::object>(instant_revs);
  }
  double* cleaned = nullptr;
  py::object cleaned_revs = fast::new_float64_array(counts->size, cleaned);
  fast::with_view(*counts, [&](const auto& values) {
    for (std::size_t i = 0; i < counts->size; ++i) {
      cleaned[i] = std::isfinite(values[i]) ? values[i] : std::numeric_limits<double>::quiet_NaN();
    }
  });
  return cleaned_revs;
}

// The samples as a cubic spline over revolution count, extended past both
// ends, read at the evenly spaced angles.
py::object angular_resampling(const Scope& scope, py::handle instant_revs, py::handle y_vib_valid,
                              py::handle even_rev_grid, py::handle total_integer_revs, py::handle pts_per_rev) {
  static const Keywords spline_options{"kind", "bounds_error", "fill_value"};
  py::object rev_to_amp_func =
      call_kw(scope[name::interp1d], spline_options, nan_where_not_finite(instant_revs), y_vib_valid,
              name::cubic.handle(), py::handle(Py_False), name::extrapolate.handle());
  py::object order_waveform = call(rev_to_amp_func, even_rev_grid);
  return py::make_tuple(even_rev_grid, order_waveform, total_integer_revs, pts_per_rev);
}

py::object perform_order_tracking_body(const Scope& scope, Args args) {
  const py::handle vib_x = args[0], vib_y = args[1], pulse_times = args[2];
  py::object arange = attr(scope[name::np], name::arange);
  py::object revs = call(arange, py::int_(length(pulse_times)));
  py::object valid_idx = ge(vib_x, item(pulse_times, py::int_(0)));
  valid_idx = valid_idx & le(vib_x, item(pulse_times, py::int_(-1)));
  py::object t_vib_valid = item(vib_x, valid_idx);
  py::object y_vib_valid = item(vib_y, valid_idx);
  if (length(t_vib_valid) < 2) return no_tracking();
  // Between pulses the shaft is taken to turn at constant speed.
  static const Keywords linear_options{"kind", "fill_value"};
  py::object time_to_rev_func = call_kw(scope[name::interp1d], linear_options, pulse_times, revs, name::linear.handle(),
                                        name::extrapolate.handle());
  py::object instant_revs = call(time_to_rev_func, t_vib_valid);
  py::object total_integer_revs = py::int_(length(pulse_times) - 1);
  if (truthy(lt(total_integer_revs, py::int_(1)))) return no_tracking();
  // At least 1024 points per revolution, whatever the speed.
  py::object samples_per_rev = to_int(py::int_(length(y_vib_valid)) / total_integer_revs);
  py::object pts_per_rev = max_of(py::int_(1024), samples_per_rev);
  py::object total_pts = total_integer_revs * pts_per_rev;
  static const Keywords grid_options{"endpoint"};
  py::object even_rev_grid = call_kw(attr(scope[name::np], name::linspace), grid_options, py::int_(0),
                                     total_integer_revs, total_pts, py::handle(Py_False));
  return angular_resampling(scope, instant_revs, y_vib_valid, even_rev_grid, total_integer_revs, pts_per_rev);
}

py::object perform_order_tracking_fast(const Scope& scope, Args args) {
  if (!fast::genuine(scope, name::np) || !fast::genuine(scope, name::interp1d)) return {};
  const auto vib_x = fast::float64_samples(args[0]);
  const auto vib_y = fast::float64_samples(args[1]);
  const auto pulses = fast::float64_samples(args[2]);
  if (!vib_x || !vib_y || vib_x->size != vib_y->size || !pulses || pulses->size < 2 || pulses->contiguous == nullptr ||
      !kernels::strictly_ascending(pulses->values, pulses->size)) {
    return {};
  }
  const double* pulse_times = pulses->contiguous;
  const std::size_t n_pulses = pulses->size;
  const std::size_t n_valid = fast::with_view(*vib_x, [&](const auto& t) {
    return kernels::count_within(t, vib_x->size, pulse_times[0], pulse_times[n_pulses - 1]);
  });
  if (n_valid < 2) return no_tracking();
  const std::size_t total_integer_revs = n_pulses - 1;
  const auto samples_per_rev = static_cast<std::size_t>(static_cast<double>(n_valid) / static_cast<double>(total_integer_revs));
  const std::size_t pts_per_rev = std::max<std::size_t>(1024, samples_per_rev);
  // Grids beyond a few GiB are numpy's to allocate, or to refuse.
  constexpr std::size_t kLargestNativeGrid = std::size_t{1} << 28;
  if (pts_per_rev > kLargestNativeGrid / total_integer_revs) return {};
  const fast::FloatingPointWatch watch;
  double *revs = nullptr, *values = nullptr;
  py::object instant_revs = fast::new_float64_array(n_valid, revs);
  py::object y_vib_valid = fast::new_float64_array(n_valid, values);
  fast::with_view(*vib_x, [&](const auto& t) {
    fast::with_view(*vib_y, [&](const auto& y) {
      kernels::track_within(t, y, vib_x->size, pulse_times, n_pulses, revs, values);
    });
  });
  if (watch.raised()) return {};
  py::object even_rev_grid =
      revolution_grid(total_integer_revs * pts_per_rev, static_cast<double>(total_integer_revs));
  return angular_resampling(scope, instant_revs, y_vib_valid, even_rev_grid, py::int_(total_integer_revs),
                            py::int_(pts_per_rev));
}

py::object perform_tsa_body(const Scope& scope, Args args) {
  const py::handle order_waveform = args[0], pts_per_rev = args[1], total_revs = args[2], revs_per_block = args[3];
  py::object num_blocks = floordiv(total_revs, revs_per_block);
  if (truthy(eq(num_blocks, py::int_(0)))) return py::make_tuple(py::none(), py::none(), 0);
  py::object valid_pts = num_blocks * revs_per_block * pts_per_rev;
  // The trailing revolutions that do not fill a block are dropped.
  py::object truncated_wf = slice(order_waveform, py::none(), valid_pts);
  py::object reshape = attr(truncated_wf, name::reshape);
  py::object matrix = call(reshape, num_blocks, revs_per_block * pts_per_rev);
  static const Keywords along_blocks{"axis"};
  py::object tsa_wf = call_kw(attr(scope[name::np], name::mean), along_blocks, matrix, py::int_(0));
  static const Keywords grid_options{"endpoint"};
  py::object linspace = attr(scope[name::np], name::linspace);
  py::object tsa_rev_grid =
      call_kw(linspace, grid_options, py::int_(0), revs_per_block, py::int_(length(tsa_wf)), py::handle(Py_False));
  return py::make_tuple(tsa_rev_grid, tsa_wf, num_blocks);
}

py::object perform_tsa_fast(const Scope& scope, Args args) {
  if (!fast::genuine(scope, name::np)) return {};
  const auto waveform = fast::float64_samples(args[0]);
  const auto pts_per_rev = fast::plain_int(args[1]);
  const auto total_revs = fast::plain_int(args[2]);
  const auto revs_per_block = fast::plain_int(args[3]);
  if (!waveform || !pts_per_rev || !total_revs || !revs_per_block) return {};
  if (*pts_per_rev < 1 || *total_revs < 0 || *revs_per_block < 1) return {};
  const long long num_blocks = *total_revs / *revs_per_block;
  long long block_pts = 0, valid_pts = 0;
  // A record too short for its blocks fails in numpy's reshape.
  if (num_blocks == 0 || __builtin_mul_overflow(*revs_per_block, *pts_per_rev, &block_pts) ||
      __builtin_mul_overflow(num_blocks, block_pts, &valid_pts) ||
      static_cast<unsigned long long>(valid_pts) > waveform->size || block_pts > (1LL << 53)) {
    return {};
  }
  const fast::FloatingPointWatch watch;
  double* mean = nullptr;
  py::object tsa_wf = fast::new_float64_array(static_cast<std::size_t>(block_pts), mean);
  fast::with_view(*waveform, [&](const auto& values) {
    kernels::block_mean(values, static_cast<std::size_t>(num_blocks), static_cast<std::size_t>(block_pts),
                        fast::summation_chunk(), mean);
  });
  // NaN payloads depend on the order of operands, which numpy fixes and
  // a compiler may swap: such averages are numpy's.
  if (watch.raised() || std::any_of(mean, mean + block_pts, [](double value) { return std::isnan(value); })) return {};
  py::object tsa_rev_grid =
      revolution_grid(static_cast<std::size_t>(block_pts), static_cast<double>(*revs_per_block));
  return py::make_tuple(tsa_rev_grid, tsa_wf, py::int_(num_blocks));
}

const FunctionSpec definitions[] = {
    {"get_tach_midpoints",
     {{"t"}, {"y"}},
     {"p99", "median_y", "threshold", "above_thresh", "diffs", "starts", "ends", "midpoints", "last_midpoint", "s",
      "e", "mid_t"},
     get_tach_midpoints_body,
     {get_tach_midpoints_fast, {&fast::numpy_order_statistics_check}}},
    {"generate_fault_freq_fast",
     {{"hss_pulse_times"}, {"gear_ratio"}},
     {"hss_revs", "lss_revs", "first_lss_rev", "last_lss_rev", "target_lss_integers"},
     generate_fault_freq_fast_body,
     {generate_fault_freq_fast_path, {&fast::numpy_interp_check}}},
    {"perform_order_tracking",
     {{"vib_x"}, {"vib_y"}, {"pulse_times"}},
     {"revs", "valid_idx", "t_vib_valid", "y_vib_valid", "time_to_rev_func", "instant_revs", "total_integer_revs",
      "pts_per_rev", "total_pts", "even_rev_grid", "rev_to_amp_func", "order_waveform"},
     perform_order_tracking_body,
     {perform_order_tracking_fast, {&fast::scipy_interp1d_check}}},
    {"perform_tsa",
     {{"order_waveform"}, {"pts_per_rev"}, {"total_revs"}, {"revs_per_block"}},
     {"num_blocks", "valid_pts", "truncated_wf", "matrix", "tsa_wf", "tsa_rev_grid"},
     perform_tsa_body,
     {perform_tsa_fast, {&fast::numpy_summation_check}}},
};

}  // namespace

const FunctionTable functions{definitions};

}  // namespace core_math::order_domain

namespace core_math::fast {

SelfCheck scipy_interp1d_check{"scipy's linear interp1d", order_domain::revolution_map_agrees};
SelfCheck numpy_interp_check{"numpy's interp", order_domain::whole_revolution_times_agree};

}  // namespace core_math::fast
