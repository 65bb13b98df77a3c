"""Which path served a call: a function's fast path or its generic body.

The module keeps, for each of its functions, a tally of the calls it ran and
of those its generic body served.  The tally is private: it is not in the
module's namespace, and the tests read it through ctypes.

Rebinding the library names the fast paths stand in for to stand-ins that
behave exactly like them sends every call to the generic body: a fast path
takes a call only while the namespace binds the genuine library object.
"""

import contextlib
import ctypes
import sys
import types

import numpy as np
from scipy.interpolate import interp1d
from scipy.signal import filtfilt, medfilt, savgol_filter

from kemo_pkg import core_math

_extension = ctypes.PyDLL(core_math.__file__)
_route_tally = _extension.kemo_core_math_route_tally
_route_tally.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.c_ulonglong), ctypes.POINTER(ctypes.c_ulonglong)]
_route_tally.restype = ctypes.c_int
_has_fast_path = _extension.kemo_core_math_has_fast_path
_has_fast_path.argtypes = [ctypes.py_object]
_has_fast_path.restype = ctypes.c_int
_self_check = _extension.kemo_core_math_self_check
_self_check.argtypes = [ctypes.c_int, ctypes.POINTER(ctypes.c_char_p)]
_self_check.restype = ctypes.c_int


def self_checks():
    """{what a native copy copies: whether its self-check held at import}."""
    checks, copy_of = {}, ctypes.c_char_p()
    while (holds := _self_check(len(checks), ctypes.byref(copy_of))) >= 0:
        checks[copy_of.value.decode()] = bool(holds)
    return checks


def native_path(name):
    """The path that serves a common call of a module function with a fast
    path: "native", or "generic" where a copy it relies on was switched off
    at import (the installed library computes otherwise)."""
    return "native" if _has_fast_path(getattr(core_math, name)) == 1 else "generic"


def tally(function):
    """(calls run, of them served by the generic body) of a module function."""
    calls, generic_calls = ctypes.c_ulonglong(), ctypes.c_ulonglong()
    if _route_tally(function, ctypes.byref(calls), ctypes.byref(generic_calls)) != 0:
        raise TypeError(f"not a function of kemo_pkg.core_math: {function!r}")
    return calls.value, generic_calls.value


@contextlib.contextmanager
def path_of(function):
    """A list that, after the block, holds the path that served the block's
    calls of `function`: "generic" if its generic body ran, else "native" if
    it was called, else None."""
    served = []
    calls_before, generic_before = tally(function)
    try:
        yield served
    finally:
        counts = zip(tally(function), (calls_before, generic_before))
        calls, generic_calls = (after - before for after, before in counts)
        served.append("generic" if generic_calls else "native" if calls else None)


# Behaves like numpy in every respect, but is not the numpy the module bound.
NUMPY_STAND_IN = types.SimpleNamespace(**{name: getattr(np, name) for name in dir(np) if not name.startswith("__")})


def medfilt_stand_in(*args, **kwargs):
    return medfilt(*args, **kwargs)


def filtfilt_stand_in(*args, **kwargs):
    return filtfilt(*args, **kwargs)


def interp1d_stand_in(*args, **kwargs):
    return interp1d(*args, **kwargs)


def savgol_filter_stand_in(*args, **kwargs):
    return savgol_filter(*args, **kwargs)


# Every fast path checks one of these bindings before it takes a call.
GENERIC_STAND_INS = {
    "np": NUMPY_STAND_IN,
    "medfilt": medfilt_stand_in,
    "filtfilt": filtfilt_stand_in,
    "interp1d": interp1d_stand_in,
    "savgol_filter": savgol_filter_stand_in,
}


@contextlib.contextmanager
def rebound(**stand_ins):
    """Module names bound to stand-ins for the duration of the block."""
    bound = {name: getattr(core_math, name) for name in stand_ins}
    for name, stand_in in stand_ins.items():
        setattr(core_math, name, stand_in)
    try:
        yield
    finally:
        for name, value in bound.items():
            setattr(core_math, name, value)


def recorded(calls, name, function):
    """`function`, noting `name` in `calls` at every call."""

    def call(*args, **kwargs):
        calls.append(name)
        return function(*args, **kwargs)

    return call


@contextlib.contextmanager
def entries_into(function, calls, noted=None):
    """Notes each entry into a Python function, however it is reached: its
    name, or what `noted` reads from the entered frame."""
    previous = sys.getprofile()

    def profile(frame, event, arg):
        if event == "call" and frame.f_code is function.__code__:
            calls.append(function.__name__ if noted is None else noted(frame))

    sys.setprofile(profile)
    try:
        yield
    finally:
        sys.setprofile(previous)
