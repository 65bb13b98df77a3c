#include "fast/working_buffers.hpp"

#include <array>
#include <vector>

#include "fast/arrays.hpp"
#include "kernels/spectral.hpp"
#include "runtime/numpy_api.hpp"

namespace core_math::fast {
namespace {

// The pool: arrays that only it holds (new references, held for the life of
// the process), or null.  Touched only with the GIL held.
std::array<PyObject*, 3> pool{};

std::size_t size_of(PyObject* array) {
  return static_cast<std::size_t>(PyArray_SIZE(reinterpret_cast<PyArrayObject*>(array)));
}

double* data_of(PyObject* array) { return static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array))); }

// The smallest kept array of at least `doubles` elements, taken out of the pool.
PyObject* take_kept(std::size_t doubles) {
  PyObject** best = nullptr;
  for (PyObject*& kept : pool) {
    if (kept != nullptr && size_of(kept) >= doubles && (best == nullptr || size_of(kept) < size_of(*best))) best = &kept;
  }
  if (best == nullptr) return nullptr;
  PyObject* taken = *best;
  *best = nullptr;
  return taken;
}

// Keeps `array` (a new reference) in an empty place, or in place of a
// smaller array; else lets it go.
void keep(PyObject* array) {
  PyObject** place = nullptr;
  for (PyObject*& kept : pool) {
    if (kept == nullptr) {
      place = &kept;
      break;
    }
    if (size_of(kept) < size_of(array) && (place == nullptr || size_of(kept) < size_of(*place))) place = &kept;
  }
  if (place == nullptr) {
    Py_DECREF(array);
    return;
  }
  PyObject* smaller = *place;
  *place = array;
  Py_XDECREF(smaller);
}

}  // namespace

double* WorkingBuffer::take(std::size_t doubles) {
  // An empty buffer still has one element, so that its data is a buffer.
  const std::size_t size = doubles > 0 ? doubles : 1;
  if (PyObject* kept = take_kept(size)) {
    array_ = py::reinterpret_steal<py::object>(kept);
    data_ = data_of(kept);
  } else {
    array_ = new_float64_array(size, data_);
  }
  return data_;
}

WorkingBuffer::~WorkingBuffer() {
  if (!array_) return;
  PyObject* array = array_.release().ptr();
  // Held elsewhere (a view outlives the call) or too large: not kept.
  if (Py_REFCNT(array) != 1 || size_of(array) > kLargestKept) {
    Py_DECREF(array);
    return;
  }
  keep(array);
}

py::object WorkingBuffer::float64_view(std::size_t doubles) const {
  return slice(array_, py::int_(0), py::int_(doubles));
}

py::object WorkingBuffer::complex128_view(std::size_t values) const {
  npy_intp dims[1] = {static_cast<npy_intp>(values)};
  PyArray_Descr* complex128 = PyArray_DescrFromType(NPY_CDOUBLE);
  PyObject* view = PyArray_NewFromDescr(&PyArray_Type, complex128, 1, dims, nullptr, data_, NPY_ARRAY_CARRAY, nullptr);
  if (view == nullptr) throw py::error_already_set();
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(view), py::object(array_).release().ptr()) < 0) {
    Py_DECREF(view);
    throw py::error_already_set();
  }
  return py::reinterpret_steal<py::object>(view);
}

const double* periodic_hann(std::size_t n, double* scratch) {
  static std::vector<double> kept;
  if (n > kLargestKept) {
    kernels::periodic_hann(n, scratch);
    return scratch;
  }
  if (kept.size() != n) {
    kept.resize(n);
    kernels::periodic_hann(n, kept.data());
  }
  return kept.data();
}

}  // namespace core_math::fast
