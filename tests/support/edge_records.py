"""Records at the edges of the native loops, for property tests of the fast
paths against the generic bodies and the plain-Python reading.

Lengths sit around the blocks and chunks of numpy's summation; magnitudes
reach where squares overflow and sums underflow; NaN, infinities, signed
zeros and extremes stand at random places; records come in every memory
layout a native loop takes, and often in one just outside (another dtype,
byte order, array type, alignment or shape); numbers come as plain floats,
whole ints, numpy scalars, or numbers no native loop takes.
"""

import numpy as np
from hypothesis import settings
from hypothesis import strategies as st

from support.outcome import ERROR_STATES, assert_same_outcome

BUDGET = settings(max_examples=150, deadline=None)

# --- records --------------------------------------------------------------

# Around the eight-accumulator blocks and the 128-element leaves of numpy's
# pairwise sum, and past its 8192-element buffer.
EDGE_LENGTHS = [0, 1, 2, 7, 8, 9, 127, 128, 129]
lengths = st.one_of(st.sampled_from(EDGE_LENGTHS), st.integers(0, 300), st.sampled_from([2500, 8193]))
# Loops that call numpy once per sample get shorter long records.
loop_lengths = st.one_of(st.sampled_from(EDGE_LENGTHS), st.integers(0, 300), st.just(2100))

# Ordinary levels mostly; 1e-9 sits at the flat-baseline limit of the
# z-score, 1e154 overflows when squared, 1e-160 underflows, 1e-310 is
# subnormal already.
ORDINARY_MAGNITUDES = [1.0, 1e-3, 1e6]
magnitudes = st.one_of(st.sampled_from(ORDINARY_MAGNITUDES), st.sampled_from([1e-9, 1e154, 1e300, 1e-160, 1e-310]))
SPECIAL_VALUES = [np.nan, np.inf, -np.inf, 0.0, -0.0, 1.7e308, -1.7e308, 5e-324, 2.2250738585072014e-308, 1e154]
# Half the records hold none of them; NaN, a dropout, is the commonest.
special_value = st.one_of(st.just(np.nan), st.sampled_from(SPECIAL_VALUES))
special_values = st.one_of(st.just([]), st.lists(special_value, min_size=1, max_size=3))
seeds = st.integers(0, 2**32 - 1)


def sprinkle(draw, rng, values):
    """Puts a few special values, or one in ten samples, at random places."""
    specials = draw(special_values)
    if len(values) and specials:
        count = draw(st.sampled_from([len(specials), max(len(specials), len(values) // 10)]))
        values[rng.integers(0, len(values), count)] = rng.choice(specials, count)


@st.composite
def records(draw, n=None, length=lengths):
    """A float64 record of one magnitude, continuous or on a few levels (runs
    of equal values, flat stretches, zeros of both signs), with NaN,
    infinities and extremes at random places."""
    n = draw(length) if n is None else n
    rng = np.random.default_rng(draw(seeds))
    magnitude = draw(magnitudes)
    levels = draw(st.sampled_from([None, 0, 1, 3]))
    if levels is None:
        values = rng.standard_normal(n) * magnitude
    else:
        values = rng.integers(-levels, levels + 1, n) * (magnitude * rng.choice([-1.0, 1.0], n))
    sprinkle(draw, rng, values)
    return values


class Recording(np.ndarray):
    """A caller's own array type."""


def contiguous(values):
    return values.copy()


def every_other(values):
    """A view of every second sample; the skipped ones are NaN."""
    base = np.full(2 * len(values), np.nan)
    base[::2] = values
    return base[::2]


def reversed_view(values):
    return values[::-1].copy()[::-1]


def read_only(values):
    values = values.copy()
    values.flags.writeable = False
    return values


def as_float32(values):
    with np.errstate(all="ignore"):
        return values.astype(np.float32)


def as_int64(values):
    return np.clip(np.nan_to_num(values), -(2.0**62), 2.0**62).astype(np.int64)


def byte_swapped(values):
    return values.astype(">f8")


def subclassed(values):
    return values.copy().view(Recording)


def unaligned(values):
    raw = np.zeros(values.nbytes + 1, np.uint8)
    shifted = np.ndarray(values.shape, np.float64, buffer=raw, offset=1)
    shifted[...] = values
    return shifted


def one_row(values):
    return values.reshape(1, -1)


NATIVE_LAYOUTS = [contiguous, every_other, reversed_view, read_only]
GUARD_LAYOUTS = [as_float32, as_int64, byte_swapped, subclassed, unaligned, one_row]
# Mostly layouts the native loops take, often one just outside them.
layouts = st.one_of(st.sampled_from(NATIVE_LAYOUTS), st.sampled_from(NATIVE_LAYOUTS + GUARD_LAYOUTS))


@st.composite
def laid_out(draw, values):
    return draw(layouts)(values)


@st.composite
def laid_out_pair(draw, first, second):
    """Both arrays in layouts the native loops take, or one just outside."""
    native = st.sampled_from(NATIVE_LAYOUTS)
    first_layout, second_layout = draw(st.sampled_from([(native, native)] * 3 + [(layouts, native), (native, layouts)]))
    return draw(first_layout)(first), draw(second_layout)(second)


# --- numbers --------------------------------------------------------------

# Numbers outside what a native loop takes: bools, ints float64 cannot hold
# exactly (or at all), numpy scalars.
NOT_PLAIN_NUMBERS = [True, False, 2**53, -(2**53), 2**53 + 1, -(2**53) - 1, 10**400, np.int64(3), np.float64(0.5)]


def whole_int(value):
    return int(value) if np.isfinite(value) and value == int(value) else value


@st.composite
def numbers(draw, values):
    """A value as a caller passes it: mostly a plain float, else a whole int
    or a numpy float64, sometimes a number outside the native loops."""
    value = draw(values)
    form = draw(st.sampled_from([float, float, float, whole_int, np.float64, None]))
    return draw(st.sampled_from(NOT_PLAIN_NUMBERS)) if form is None else form(value)


error_states = st.sampled_from(list(ERROR_STATES))

# Three draws in four.
MOSTLY = [True, True, True, False]


def laid_out_args(args, layout):
    """The arrays among `args` in `layout`, the rest as they are."""
    return tuple(layout(arg) if isinstance(arg, np.ndarray) else arg for arg in args)


def with_values(values, at, new_values):
    """A copy of `values` with `new_values` at `at`."""
    values = values.copy()
    values[at] = new_values
    return values


def assert_at_boundary(name, args, path):
    """The reading's outcome at a native loop's limit, through both paths, in
    every layout the native loops take and every error state; and the path
    that must serve the contiguous record: the side of the limit it is on."""
    for layout in NATIVE_LAYOUTS:
        for error_state in ERROR_STATES:
            assert_same_outcome(name, *laid_out_args(args, layout), error_state=error_state, generic=True,
                                served_by=path if layout is contiguous else None)
