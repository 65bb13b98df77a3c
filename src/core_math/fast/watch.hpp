// The floating-point watch.  numpy warns ("overflow encountered in ...",
// "invalid value ...", "divide by zero ...", and underflow when asked to)
// whenever an operation raises a floating-point flag.  A native loop that
// raised one hands the call to the generic body, which then warns, or
// raises, exactly as numpy does; the loop's own result is dropped unseen.
#pragma once

#include <cfenv>
#include <cstddef>

#include "fast/arrays.hpp"

namespace core_math::fast {

// Clears the floating-point flags on construction; raised() tells whether
// the kernel since then did anything numpy would warn about.
class FloatingPointWatch {
 public:
  FloatingPointWatch() { restart(); }
  // Forgets what calls made since construction raised.
  void restart() { std::feclearexcept(FE_ALL_EXCEPT); }
  bool raised() const { return std::fetestexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW | FE_UNDERFLOW) != 0; }
};

// A new float64 array of `size` values that `kernel(view, out)` writes from
// the samples, or an empty object, for the body to take over, when the
// kernel raised a floating-point flag.
template <class Kernel>
py::object float64_result(const Samples& samples, std::size_t size, Kernel&& kernel) {
  const FloatingPointWatch watch;
  double* out = nullptr;
  py::object result = new_float64_array(size, out);
  with_view(samples, [&](const auto& values) { kernel(values, out); });
  if (watch.raised()) return {};
  return result;
}

}  // namespace core_math::fast
