// The genuine library objects: the numpy module and the scipy functions that
// the module bound at import, which the fast paths stand in for.  A fast
// path takes a call only while the name it stands in for still binds the
// genuine object; after `core_math.filtfilt = my_filter` the caller's filter
// runs, through the generic body.
#pragma once

#include <Python.h>

#include "runtime/pyops.hpp"

namespace core_math::fast {

// Remembers, once per process, the objects the namespace binds under np,
// get_window, medfilt, filtfilt, interp1d and savgol_filter, and the
// savgol_coeffs that savgol_filter designs its window with.  -1 with an
// error set.
int remember_genuine(PyObject* module_dict);

// The object bound under `name` at import, whatever is bound now
// (borrowed), or nullptr.
PyObject* imported(const Name& name);

// The genuine object, while it is still bound under `name` (borrowed), else
// nullptr: np and the scipy functions in `scope`, savgol_coeffs in the
// module of the genuine savgol_filter.
PyObject* genuine(const Scope& scope, const Name& name);

}  // namespace core_math::fast
