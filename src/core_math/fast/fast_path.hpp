// A fast path: a native route for the common case of a call.
//
// A hot function has one beside its generic body.  It runs first, on the
// same bound arguments, and either makes the call's result or hands the
// call to the generic body by returning an empty object.  The generic body
// then does everything numpy and scipy would do: it warns, raises, or
// returns what the native loops would have returned.
//
// The hand-over rule: a route may hand a call over only while nothing of it
// is visible.  Until then it issues no warning, leaves no exception pending,
// changes no argument and calls nothing a caller could observe: no function
// that the namespace binds in place of a genuine one, no method of an
// argument, no library function that may warn.  (The genuine numpy and scipy
// functions that cannot warn, or that run with numpy raising instead of
// warning, are allowed.)  Past its first call that could have been seen, a
// route finishes the call itself, through the generic operations where its
// native loops cannot.
#pragma once

#include <array>

#include "fast/self_checks.hpp"
#include "runtime/pyops.hpp"

namespace core_math::fast {

using Route = py::object (*)(const Scope& scope, Args args);

struct FastPath {
  Route route = nullptr;
  // The self-checks of the native copies the route relies on as a whole;
  // unused places are null.
  std::array<const SelfCheck*, 3> relies_on{};

  // The route, if there is one and every copy it relies on held at import.
  Route usable() const {
    for (const SelfCheck* check : relies_on) {
      if (check != nullptr && !check->holds()) return nullptr;
    }
    return route;
  }
};

}  // namespace core_math::fast
