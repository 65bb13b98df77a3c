#include "fast/self_checks.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <vector>

#include "fast/arrays.hpp"
#include "kernels/selection.hpp"
#include "kernels/spectral.hpp"
#include "kernels/summation.hpp"
#include "runtime/names.hpp"

namespace core_math::fast {
namespace {

std::size_t numpy_chunk = 0;

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Probe records longer and shorter than every block and chunk boundary of
// numpy's summation, each contiguous and strided.
std::vector<py::object> probe_records() {
  std::vector<py::object> records;
  for (std::size_t n : {1, 2, 3, 7, 8, 9, 15, 16, 17, 31, 100, 127, 128, 129, 136, 1000, 4099, 8191, 8192, 8193, 8200,
                        16385, 40000, 140001}) {
    double* data = nullptr;
    py::object doubled = new_float64_array(2 * n, data);
    for (std::size_t i = 0; i < 2 * n; ++i) data[i] = probe_value(i);
    records.push_back(slice(doubled, py::none(), py::int_(n)));
    records.push_back(item(doubled, steal_or_throw(PySlice_New(nullptr, nullptr, py::int_(2).ptr()))));
  }
  return records;
}

double numpy_says(py::handle numpy, const Name& function, py::handle record) {
  return call(attr(numpy, function), record).cast<double>();
}

// Sums, means and sample standard deviations: numpy adds pairwise, and
// older releases also fold chunks of 8192 left to right.  The chunking is
// the one every probe agrees on.
bool summation_agrees(PyObject* module_dict) {
  const py::handle numpy = PyDict_GetItemWithError(module_dict, name::np.handle().ptr());
  if (!numpy) return false;
  const std::vector<py::object> records = probe_records();
  bool fits[2] = {true, true};
  constexpr std::size_t kChunks[2] = {0, 8192};
  for (const py::object& record : records) {
    const auto samples = float64_samples(record);
    if (!samples) return false;
    const double sum = numpy_says(numpy, name::sum, record);
    for (int c = 0; c < 2; ++c) fits[c] = fits[c] && same_bits(kernels::numpy_sum(samples->values, samples->size, kChunks[c]), sum);
  }
  if (!fits[0] && !fits[1]) return false;
  numpy_chunk = fits[0] ? kChunks[0] : kChunks[1];
  static const Keywords sample_std{"ddof"};
  for (const py::object& record : records) {
    const auto samples = float64_samples(record);
    const std::size_t n = samples->size;
    if (!same_bits(kernels::numpy_mean(samples->values, n, numpy_chunk), numpy_says(numpy, name::mean, record))) {
      return false;
    }
    if (n >= 2 && !same_bits(kernels::numpy_sample_std(samples->values, n, numpy_chunk),
                             call_kw(attr(numpy, name::std), sample_std, record, py::int_(1)).cast<double>())) {
      return false;
    }
  }
  return true;
}

// The 99.5th percentile and the median, found by selection.
bool order_statistics_agree(PyObject* module_dict) {
  const py::handle numpy = PyDict_GetItemWithError(module_dict, name::np.handle().ptr());
  if (!numpy) return false;
  const py::float_ percent(99.5);
  // A selection's result does not depend on the length beyond odd and even,
  // which the short probes cover; the long ones would only slow the import.
  constexpr std::size_t kLongestProbe = 8200;
  for (const py::object& record : probe_records()) {
    const auto samples = float64_samples(record);
    if (!samples) return false;
    if (samples->size > kLongestProbe) continue;
    const auto native = kernels::percentile_and_median(samples->values, samples->size, 99.5);
    const double percentile = call(attr(numpy, name::percentile), record, percent).cast<double>();
    if (!same_bits(native.percentile, percentile) || !same_bits(native.median, numpy_says(numpy, name::median, record))) {
      return false;
    }
  }
  return true;
}

// The periodic Hann window, on lengths around the ones monitoring records
// have, odd and even.
bool hann_window_agrees(PyObject* module_dict) {
  const py::handle get_window = PyDict_GetItemWithError(module_dict, name::get_window.handle().ptr());
  if (!get_window) return false;
  for (std::size_t n : {1, 2, 3, 7, 64, 1000, 1024, 4097, 65536, 100003}) {
    py::object scipy_window = call(get_window, name::hann.handle(), py::int_(n));
    const auto expected = float64_samples(scipy_window);
    if (!expected || expected->size != n) return false;
    std::vector<double> native(n);
    kernels::periodic_hann(n, native.data());
    for (std::size_t i = 0; i < n; ++i) {
      if (!same_bits(native[i], expected->values[i])) return false;
    }
  }
  return true;
}

}  // namespace

double probe_value(std::size_t i) {
  std::uint64_t state = (i + 1) * 0x9E3779B97F4A7C15ull;
  state ^= state >> 31;
  state *= 0xBF58476D1CE4E5B9ull;
  state ^= state >> 29;
  const double unit = static_cast<double>(state >> 11) * 0x1.0p-53;
  return (unit - 0.3) * std::ldexp(1.0, static_cast<int>(state % 40) - 20);
}

py::object probe_record(std::size_t n, std::size_t first) {
  double* data = nullptr;
  py::object record = new_float64_array(n, data);
  for (std::size_t i = 0; i < n; ++i) data[i] = probe_value(first + i);
  return record;
}

bool same_record(py::handle expected, const double* native, std::size_t n, std::ptrdiff_t native_step) {
  const auto values = float64_samples(expected);
  if (!values || values->size != n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    if (!same_bits(values->values[i], native[static_cast<std::ptrdiff_t>(i) * native_step])) return false;
  }
  return true;
}

SelfCheck numpy_summation_check{"numpy's sum, mean and standard deviation", summation_agrees};
SelfCheck numpy_order_statistics_check{"numpy's percentile and median", order_statistics_agree};
SelfCheck scipy_hann_window_check{"scipy's Hann window", hann_window_agrees};

namespace {

// The registry, in the order the checks run.  The summation check comes
// first: it also finds how numpy chunks its sums, which every native sum
// then follows.
SelfCheck* const registry[] = {&numpy_summation_check, &numpy_order_statistics_check, &scipy_hann_window_check,
                               &scipy_filtfilt_check,  &scipy_hilbert_check,          &scipy_medfilt_check,
                               &scipy_savgol_check,    &scipy_interp1d_check,         &numpy_interp_check};

}  // namespace

void run_self_checks(PyObject* module_dict) {
  static bool ran = false;
  if (ran || !numpy_api_imported()) return;
  ran = true;
  for (SelfCheck* check : registry) {
    try {
      check->holds_ = check->probe_(module_dict);
    } catch (py::error_already_set& error) {
      error.discard_as_unraisable("kemo_pkg.core_math self-check");
    }
    PyErr_Clear();  // a failed lookup of a library function only means the check does not hold
  }
}

std::size_t summation_chunk() { return numpy_chunk; }

}  // namespace core_math::fast

// For the tests only: the self-check at `index` of the registry, what it
// copies and whether it held at import (1 or 0); -1 past the last.
extern "C" __attribute__((visibility("default"))) int kemo_core_math_self_check(int index, const char** copy_of) {
  using core_math::fast::registry;
  if (index < 0 || static_cast<std::size_t>(index) >= std::size(registry)) return -1;
  *copy_of = registry[index]->copy_of();
  return registry[index]->holds() ? 1 : 0;
}
