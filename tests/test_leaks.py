"""Repeated calls must not leak, and the checks would see it if they did.

Each function is called over and over on an ordinary float64 record (its
native path), on byte-swapped and NaN-gapped records (the paths that hand
the call to numpy), with an odd first argument (an exception from inside the
body), and with bad argument binding.  A leak shows in one of two ways, on
the interpreter as released:

- a reference kept to an object that was already there: its reference count
  grows.  The counts of every object the collector tracks, of everything
  those refer to, of the arguments, the namespace and the defaults are
  compared before and after the calls;
- a new object that is never freed: every object takes a block of the
  interpreter's allocator, so the allocated blocks grow, and so do the
  objects the collector tracks if it is a container.

numpy and scipy fill caches in their first calls, and go on filling some
in bursts for hundreds of calls more.  So the calls are warmed up, then
measured in five rounds: a leak grows in every round, a cache in some, and
each kind of growth is judged by its quietest round, against half an object
per call.  The reference counts need no rounds: what a cache holds does not
grow with the calls.  The last test plants leaks of one reference per call
and shows that each kind is caught.

The interpreter counts its blocks only with its own allocator: under
PYTHONMALLOC=malloc (the sanitizer run) these tests are skipped.
"""

import ctypes
import gc
import itertools
import sys
import warnings
from dataclasses import dataclass, field

import numpy as np
import pytest

from kemo_pkg import core_math
from support import reference
from support.field_records import typical_arguments

pytestmark = [
    pytest.mark.forked,
    pytest.mark.skipif(sys.getallocatedblocks() == 0, reason="the interpreter's allocator is not in use"),
]

WARM_UP_CALLS = 100
ROUNDS = 5
CALLS_PER_ROUND = 60
VARIANTS = ["native", "byte-swapped", "NaN gap", "odd first argument", "bad binding"]


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


def caller(function, name, variant):
    """A no-argument callable making one call of `function` (a function of
    the module, or one standing in for it) with the variant's arguments, and
    those arguments."""
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


def call_repeatedly(call, times):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for _ in range(times):
            try:
                call()
            except Exception:  # noqa: BLE001 - the error paths are under test too
                pass


def reachable_objects(*extra):
    """Every object the collector tracks, everything those refer to, and
    `extra`: held, so that none is freed and its id reused while compared."""
    tracked = gc.get_objects()
    reachable = {id(obj): obj for obj in itertools.chain(tracked, gc.get_referents(*tracked), extra)}
    return list(reachable.values())


def usage():
    """Allocated blocks and objects the collector tracks."""
    gc.collect()
    return np.array([sys.getallocatedblocks(), len(gc.get_objects())])


@dataclass
class Growth:
    """What `calls` calls left behind."""

    calls: int
    blocks: int = 0
    tracked_objects: int = 0
    references: dict = field(default_factory=dict)  # repr of an object that was there before -> references gained

    def leaks(self):
        """How the calls leaked, if they did: each kind of growth past half
        an object per call."""
        found = [
            f"{kind} grew by {amount} over {self.calls} calls"
            for kind, amount in [("allocated blocks", self.blocks), ("objects tracked", self.tracked_objects)]
            if amount >= self.calls // 2
        ]
        found += [f"{target} gained {gained} references" for target, gained in self.references.items()]
        return found


def growth_of(calls_by_variant, watched):
    """The quietest round's growth of each variant's calls, after warming
    them all up; and the references gained over all of them together."""
    for call in calls_by_variant.values():
        call_repeatedly(call, WARM_UP_CALLS)
    gc.collect()
    objects = reachable_objects(*watched)
    references_before = [sys.getrefcount(obj) for obj in objects]
    # Frozen, the objects there before are left out of the collections
    # below, which keeps them quick.
    gc.freeze()
    try:
        growth = {}
        for variant, call in calls_by_variant.items():
            marks = [usage()]
            for _ in range(ROUNDS):
                call_repeatedly(call, CALLS_PER_ROUND)
                marks.append(usage())
            quietest_round = np.diff(marks, axis=0).min(axis=0)
            growth[variant] = Growth(CALLS_PER_ROUND, *(int(amount) for amount in quietest_round))
    finally:
        gc.unfreeze()
    gc.collect()
    calls_made = ROUNDS * CALLS_PER_ROUND * len(calls_by_variant)
    total = Growth(calls_made)
    for obj, before in zip(objects, references_before):
        gained = sys.getrefcount(obj) - before
        if gained >= ROUNDS * CALLS_PER_ROUND // 2:
            total.references[f"{type(obj).__name__} {obj!r:.60}"] = gained
    return growth, total


def namespace_and_defaults(name):
    """Besides the arguments, the objects a leak would most likely hold."""
    namespace = [value for key, value in vars(core_math).items() if not key.startswith("__")]
    return [*namespace, *(getattr(core_math, name).__defaults__ or ())]


@pytest.mark.parametrize("name", reference.FUNCTION_NAMES)
def test_repeated_calls_hold_on_to_nothing(name):
    function = getattr(core_math, name)
    calls, arguments = {}, []
    for variant in VARIANTS:
        calls[variant], args = caller(function, name, variant)
        arguments += args
    growth, total = growth_of(calls, [*arguments, *namespace_and_defaults(name)])
    leaks = [f"{variant}: {leak}" for variant, variant_growth in growth.items() for leak in variant_growth.leaks()]
    assert not leaks + total.leaks()


def leaking(function, kept):
    """`function`, keeping one more reference per call to what `kept(args,
    result)` picks: a leak of one reference per call."""

    def call(*args):
        result = function(*args)
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(kept(args, result)))
        return result

    return call


@pytest.mark.parametrize(
    "name, kept, caught_by",
    [
        pytest.param("compute_true_overall_rms", lambda args, result: result, "allocated blocks", id="new float"),
        pytest.param("remove_dc_offset", lambda args, result: result, "allocated blocks", id="new record"),
        pytest.param("compute_fft_dsp", lambda args, result: [result], "objects tracked", id="new list"),
        pytest.param("compute_median_filter", lambda args, result: args[0], "references", id="the argument"),
        pytest.param("compute_moving_average", lambda args, result: np.mean, "references", id="a numpy function"),
    ],
)
def test_a_planted_leak_of_one_reference_per_call_is_caught(name, kept, caught_by):
    call, args = caller(leaking(getattr(core_math, name), kept), name, "native")
    growth, total = growth_of({"native": call}, [*args, *namespace_and_defaults(name)])
    leaks = growth["native"].leaks() + total.leaks()
    assert any(caught_by in leak for leak in leaks), leaks
