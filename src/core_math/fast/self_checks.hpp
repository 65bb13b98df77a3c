// The self-checks.  A fast path copies numpy's or scipy's arithmetic, and
// such a copy is only worth its speed while it gives the installed library's
// bits.  Each copy has a check that compares the two on probe records, once,
// at import; a copy that differs in one bit is switched off, and with it only
// what relies on it: the fast paths that name it, or the part of a fast path
// that consults it.  Every other path keeps running natively.
//
// To add a copy: write its probe beside the copy (the domain's file, or
// self_checks.cpp for numpy's arithmetic), add the check to the registry in
// self_checks.cpp, and name it in the fast paths that rely on it.  The
// probes are small: the import, every check included, takes some 35 ms
// beyond numpy's and scipy's own.
#pragma once

#include <Python.h>

#include <cstddef>

#include "runtime/pyops.hpp"

namespace core_math::fast {

class SelfCheck {
 public:
  // Compares the copy with the library the module namespace binds at import.
  using Probe = bool (*)(PyObject* module_dict);

  constexpr SelfCheck(const char* copy_of, Probe probe) : copy_of_(copy_of), probe_(probe) {}
  SelfCheck(const SelfCheck&) = delete;
  SelfCheck& operator=(const SelfCheck&) = delete;

  const char* copy_of() const { return copy_of_; }
  // Whether the copy gave the library's bits at import; false before then.
  bool holds() const { return holds_; }

 private:
  friend void run_self_checks(PyObject* module_dict);
  const char* copy_of_;
  Probe probe_;
  bool holds_ = false;
};

// The checks of the registry.
extern SelfCheck numpy_summation_check;         // np.sum, np.mean and np.std(ddof=1): the order of additions
extern SelfCheck numpy_order_statistics_check;  // np.percentile and np.median
extern SelfCheck scipy_hann_window_check;       // scipy's get_window("hann", n)
extern SelfCheck scipy_filtfilt_check;          // filtfilt: odd extension, initial state, the two passes
extern SelfCheck scipy_hilbert_check;           // hilbert's spectrum halving and inverse transform, under np.abs
extern SelfCheck scipy_medfilt_check;           // medfilt: zero padding and the middle value
extern SelfCheck scipy_savgol_check;            // savgol_filter: the correlation's order and the edge fits
extern SelfCheck scipy_interp1d_check;          // linear interp1d between tachometer pulses
extern SelfCheck numpy_interp_check;            // np.interp between tachometer pulses

// Runs every check of the registry, once per process.  Never fails the
// import: a check that cannot run (no numpy C API, an error in a probe)
// does not hold.
void run_self_checks(PyObject* module_dict);

// How the installed numpy chunks its sums (0 for not at all), as the
// summation check found it.
std::size_t summation_chunk();

// For the probes.  Deterministic values spanning many magnitudes and both
// signs, so that any difference in the order of operations shows in the
// last bits.
double probe_value(std::size_t i);
// A float64 record of `n` such values from value `first` on.
py::object probe_record(std::size_t n, std::size_t first = 0);
// Every element of `expected` (a float64 record of `n` values) has the bits
// of native[i * native_step].
bool same_record(py::handle expected, const double* native, std::size_t n, std::ptrdiff_t native_step = 1);

}  // namespace core_math::fast
