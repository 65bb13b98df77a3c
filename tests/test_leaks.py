"""Repeated calls must not leak.

Each function is called over and over on an ordinary float64 record (its
native path), on byte-swapped and NaN-gapped records (the paths that fall
back to numpy), on an odd first argument (an exception from inside the
body), and with bad argument binding.  The memory traced by the interpreter
(numpy's data buffers included), the allocated object blocks, the objects
the collector tracks and the reference counts of the arguments, of the
module's namespace and of the defaults must not grow.
"""

import gc
import itertools
import sys
import tracemalloc
import warnings

import numpy as np
import pytest

import reference
from kemo_pkg import core_math
from strategies import typical_arguments

CALLS_PER_ROUND = 50
# numpy and scipy keep bounded caches (array dimensions, free lists) that
# fill and drain for a while after the first calls; a leak grows in every
# round, so the test looks for one quiet round among the first many.
MAX_ROUNDS = 60
MEMORY_TOLERANCE_BYTES = 800
# Allocated blocks and references: a leak adds at least one per call.
COUNT_TOLERANCE = CALLS_PER_ROUND // 5


def swapped_byte_order(value):
    return value.astype(value.dtype.newbyteorder()) if isinstance(value, np.ndarray) else value


def with_nan_gap(value):
    if isinstance(value, np.ndarray) and value.dtype.kind == "f" and len(value) > 4:
        value = value.copy()
        value[len(value) // 2] = np.nan
    return value


def bad_bindings(function, arguments):
    """Calls that fail in argument binding, in turn: none, too many, an
    unknown keyword, a repeated one."""
    first = next(iter(arguments))
    calls = itertools.cycle(
        [
            lambda: function(),
            lambda: function(*arguments.values(), None),
            lambda: function(*arguments.values(), sampling="fast"),
            lambda: function(*arguments.values(), **{first: None}),
        ]
    )
    return lambda: next(calls)()


def caller(name, variant):
    """A no-argument callable making one call of `name`, and its arguments."""
    function = getattr(core_math, name)
    arguments = typical_arguments(name)
    if variant == "bad binding":
        return bad_bindings(function, arguments), tuple(arguments.values())
    if variant == "byte-swapped":
        arguments = {param: swapped_byte_order(value) for param, value in arguments.items()}
    elif variant == "NaN gap":
        arguments = {param: with_nan_gap(value) for param, value in arguments.items()}
    elif variant == "odd first argument":
        arguments[next(iter(arguments))] = "odd"
    args = tuple(arguments.values())
    return lambda: function(*args), args


def call_round(call):
    for _ in range(CALLS_PER_ROUND):
        try:
            call()
        except Exception:  # noqa: BLE001 - error paths are under test too
            pass
    gc.collect()


def watched_objects(args):
    """Objects whose reference counts a leak or an extra release would change."""
    namespace = [value for key, value in vars(core_math).items() if not key.startswith("__")]
    defaults = [value for name in reference.FUNCTION_NAMES for value in getattr(core_math, name).__defaults__ or ()]
    return [*args, *namespace, *defaults, np.float64, np.nan]


def total_refcount():
    """The interpreter's reference total; only debug builds keep one."""
    return getattr(sys, "gettotalrefcount", lambda: 0)()


def usage():
    return np.array(
        [tracemalloc.get_traced_memory()[0], sys.getallocatedblocks(), len(gc.get_objects()), total_refcount()]
    )


VARIANTS = ["native", "byte-swapped", "NaN gap", "odd first argument", "bad binding"]


@pytest.fixture(scope="module")
def traced_memory():
    # Frozen objects are left out of collections, which keeps the many full
    # collections below quick.
    gc.collect()
    gc.freeze()
    tracemalloc.start()
    yield
    tracemalloc.stop()
    gc.unfreeze()


@pytest.mark.parametrize("variant", VARIANTS)
@pytest.mark.parametrize("name", reference.FUNCTION_NAMES)
def test_repeated_calls_hold_on_to_nothing(traced_memory, name, variant):
    call, args = caller(name, variant)
    watched = watched_objects(args)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        call_round(call)  # first-use caches of numpy and scipy
        refcounts = [sys.getrefcount(obj) for obj in watched]
        growth_per_round = []
        for _ in range(MAX_ROUNDS):
            before = usage()
            call_round(call)
            memory, blocks, tracked, references = usage() - before
            growth_per_round.append((int(memory), int(blocks), int(tracked), int(references)))
            if (
                memory < MEMORY_TOLERANCE_BYTES
                and blocks < COUNT_TOLERANCE
                and references < COUNT_TOLERANCE
                and tracked <= 0
            ):
                break
        else:
            pytest.fail(
                f"grew in every round of {CALLS_PER_ROUND} calls"
                f" (bytes, blocks, objects, references): {growth_per_round}"
            )
        refcounts_after = [sys.getrefcount(obj) for obj in watched]
        changed = [repr(watched[i])[:80] for i, count in enumerate(refcounts) if refcounts_after[i] != count]
        assert not changed, f"reference counts changed: {changed}"
