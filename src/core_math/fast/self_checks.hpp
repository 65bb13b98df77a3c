// The self-checks.  A fast path copies numpy's or scipy's arithmetic, and
// such a copy is only worth its speed while it gives the installed library's
// bits.  Each copy has a check that compares the two on probe records, once,
// at import; a copy that differs in one bit is switched off, and with it only
// what relies on it: the fast paths that name it, or the part of a fast path
// that consults it.  Every other path keeps running natively.
//
// To add a copy: write its probe in self_checks.cpp, add the check to the
// registry there, and name it in the fast paths that rely on it.
#pragma once

#include <Python.h>

#include <cstddef>

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

// The checks of the registry (fast/self_checks.cpp).
extern SelfCheck numpy_summation_check;         // np.sum, np.mean and np.std(ddof=1): the order of additions
extern SelfCheck numpy_order_statistics_check;  // np.percentile and np.median
extern SelfCheck scipy_hann_window_check;       // scipy's get_window("hann", n)

// Runs every check of the registry, once per process.  Never fails the
// import: a check that cannot run (no numpy C API, an error in a probe)
// does not hold.
void run_self_checks(PyObject* module_dict);

// How the installed numpy chunks its sums (0 for not at all), as the
// summation check found it.
std::size_t summation_chunk();

}  // namespace core_math::fast
