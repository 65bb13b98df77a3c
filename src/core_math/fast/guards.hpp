// Argument guards: whether a number is one a native loop can take as it
// stands, converted exactly, with the arithmetic numpy would do with it.
#pragma once

#include <optional>

#include "runtime/pyops.hpp"

namespace core_math::fast {

// A Python float and nothing else.
inline std::optional<double> plain_float(py::handle obj) {
  if (!PyFloat_CheckExact(obj.ptr())) return std::nullopt;
  return PyFloat_AS_DOUBLE(obj.ptr());
}

// A Python int that fits a long long.
std::optional<long long> plain_int(py::handle obj);

// An integer of any kind numpy or Python has (anything with __index__) that
// fits a long long.
std::optional<long long> index_value(py::handle obj);

// A Python float, or a Python int small enough to convert exactly.
std::optional<double> plain_number(py::handle obj);

// A plain number, or a numpy float64 scalar such as a spacing read off an
// axis array; for values that only ever meet numpy's own arithmetic.
std::optional<double> real_number(py::handle obj);

}  // namespace core_math::fast
