"""What a call did, in a form two calls can be compared by: the result down to
its bits, or the exception with its text, and the warnings raised on the way;
and the one comparison of the module's outcome with the plain-Python reading's.
"""

import collections.abc
import contextlib
import math
import re
import warnings

import numpy as np

from kemo_pkg import core_math
from support import reference
from support.paths import GENERIC_STAND_INS, path_of, rebound

# numpy's error state decides which floating-point events warn or raise; a
# native loop that meets one must leave the call to numpy whatever the state.
ERROR_STATES = {
    "default": {},
    "all raise": {"all": "raise"},
    "underflow warns": {"under": "warn"},
}

calls_compared = 0  # reported at the end of a run

# An object's repr in a message: two calls may be handed equal objects at
# different addresses (an iterator is replayed to each).
ADDRESS = re.compile(r"0x[0-9a-f]+")


def fingerprint(value):
    """`value` down to its type, dtype, shape and bits."""
    if isinstance(value, tuple):
        return ("tuple", tuple(fingerprint(item) for item in value))
    if isinstance(value, list):
        return ("list", tuple(fingerprint(item) for item in value))
    if isinstance(value, dict):
        return ("dict", tuple((key, fingerprint(item)) for key, item in value.items()))
    if isinstance(value, np.ndarray):
        data = value.tobytes() if value.dtype.kind != "O" else repr(value.tolist())
        return (type(value), value.dtype.str, value.shape, data)
    if isinstance(value, float):
        return (type(value), value.hex() if not math.isnan(value) else "nan")
    if isinstance(value, np.generic):
        return (type(value), np.asarray(value).tobytes())
    return (type(value), repr(value))


def outcome(function, *args, **kwargs):
    """Calls `function` and records its result, exception and warnings."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = ("returned", fingerprint(function(*args, **kwargs)))
        except Exception as error:  # noqa: BLE001 - the exception is the outcome
            result = ("raised", type(error), ADDRESS.sub("0x...", str(error)))
    return result, [(w.category, ADDRESS.sub("0x...", str(w.message))) for w in caught]


def _handing_back(function, args, kwargs):
    """`function`, with its result paired with the arguments whose very object
    it returned (`apply_bandpass` hands back an unfiltered record; nothing
    else may)."""
    arguments = {**dict(enumerate(args)), **kwargs}

    def call(*call_args, **call_kwargs):
        result = function(*call_args, **call_kwargs)
        if isinstance(result, (bool, int, float, type(None))):
            return result, []
        return result, [param for param, value in arguments.items() if value is result]

    return call


def _replayed(values):
    """A maker of `values` for each call: the same objects, except that an
    iterator, which a call consumes, is replayed as a new iterator over the
    same items."""
    saved = [list(value) if isinstance(value, collections.abc.Iterator) else None for value in values]
    return lambda: [iter(items) if items is not None else value for value, items in zip(values, saved)]


def assert_same_outcome(name, *args, error_state="default", generic=False, served_by=None, **kwargs):
    """`core_math.<name>(*args, **kwargs)` does what the plain-Python reading
    does: the same result to its type, dtype, shape and bits (the same
    argument object, where one is handed back), the same exception and text,
    the same warnings, under numpy's `error_state`; and neither changes an
    argument.

    With `generic`, the module is also called with its library names bound
    to stand-ins, so that its generic body serves the call, and must agree
    too.  `served_by` ("native" or "generic") is the path that must have
    served the module's own call.
    """
    global calls_compared
    make_args, make_kwargs = _replayed(args), _replayed(list(kwargs.values()))
    function = getattr(core_math, name)
    sides = {"reading": (getattr(reference, name), contextlib.nullcontext())}
    sides["module"] = (function, contextlib.nullcontext())
    if generic:
        sides["generic body"] = (function, rebound(**GENERIC_STAND_INS))
    outcomes, paths = {}, {}
    for side, (side_function, binding) in sides.items():
        side_args, side_kwargs = make_args(), dict(zip(kwargs, make_kwargs()))
        before = fingerprint((side_args, side_kwargs))
        with np.errstate(**ERROR_STATES[error_state]), binding, path_of(function) as path:
            outcomes[side] = outcome(_handing_back(side_function, side_args, side_kwargs), *side_args, **side_kwargs)
        paths[side] = path[0]
        assert fingerprint((side_args, side_kwargs)) == before, f"{side} changed an argument of {name}"
    calls_compared += 1
    assert outcomes["module"] == outcomes["reading"]
    if generic:
        assert paths["generic body"] == "generic", f"the stand-ins left {name} to its fast path"
        assert outcomes["generic body"] == outcomes["reading"]
    if served_by is not None:
        assert paths["module"] == served_by, f"{name} served by its {paths['module']} path, not its {served_by} one"
    return outcomes["module"]
