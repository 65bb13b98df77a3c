// Working buffers: the record-sized intermediates of a call (an extended
// record, a windowed record, a transform), kept from one call to the next.
//
// Filling a megabyte of fresh memory costs the kernel a page fault for each
// of its pages, and for a transform of a million samples those faults cost
// as much as the arithmetic; the memory the composition of numpy calls frees
// between its steps is warm again only by the allocator's chance.  A fast
// path instead takes a working buffer from a small pool, and gives it back
// when the call is done: the next call finds it mapped and warm.  A buffer
// taken is the caller's alone until given back, so calls on other threads
// (the transforms release the GIL) take other buffers.  The pool keeps at
// most a few buffers, none larger than kLargestKept, so what the process
// holds between calls stays bounded.
#pragma once

#include <cstddef>

#include "runtime/pyops.hpp"

namespace core_math::fast {

// One working buffer of a call: none until taken, given back to the pool
// when the call is done.
class WorkingBuffer {
 public:
  WorkingBuffer() = default;
  ~WorkingBuffer();
  WorkingBuffer(const WorkingBuffer&) = delete;
  WorkingBuffer& operator=(const WorkingBuffer&) = delete;

  // A buffer of at least `doubles` float64 elements: a kept one, or a new
  // one.  Once per call.
  double* take(std::size_t doubles);

  // The first `doubles` elements of the buffer taken as a float64 array, and
  // the first `values` complex values (2 * values doubles) as a complex128
  // array, viewing the buffer.  A view must be dropped before the call
  // ends: one still held keeps the buffer out of the pool.
  py::object float64_view(std::size_t doubles) const;
  py::object complex128_view(std::size_t values) const;

 private:
  py::object array_;  // a float64 array that owns the buffer
  double* data_ = nullptr;
};

// No buffer of more elements than this (32 MiB) is kept between calls.
constexpr std::size_t kLargestKept = std::size_t{1} << 22;

// The periodic Hann window of n points, kept from one call to the next: the
// records of one machine, and of a fleet, share a length, and at a million
// points the cosines cost as much as the transform.  A window longer than
// kLargestKept is computed into `scratch` (n doubles) instead.  The window
// stays valid until the next call of this function; only with the GIL held.
const double* periodic_hann(std::size_t n, double* scratch);

}  // namespace core_math::fast
