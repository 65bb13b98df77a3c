"""Eight threads calling every analysis function at once get what one thread
gets: the same result bits or the same exception, on shared input records
that stay as they were."""

import sys
import threading

import numpy as np
import pytest

from kemo_pkg import core_math
from support import reference
from support.field_records import typical_arguments
from support.outcome import fingerprint

pytestmark = pytest.mark.forked

N_THREADS = 8
# Each thread goes through a function's records this many times before all
# move on together: long enough for the threads to overlap.
ROUNDS_PER_FUNCTION = 5


def result_of(function, args):
    """The result down to its bits, or the exception with its text.  (Warnings
    are not recorded: the warnings machinery is not thread-safe.)"""
    try:
        return ("returned", fingerprint(function(*args)))
    except Exception as error:  # noqa: BLE001 - the exception is the result
        return ("raised", type(error), str(error))


def variants(arguments):
    """An ordinary record, the same at a higher level, byte-swapped (numpy's
    path), and an odd first argument (an exception from inside the body)."""
    values = list(arguments.values())
    louder = [value * 1.5 if isinstance(value, np.ndarray) and value.dtype.kind == "f" else value for value in values]
    swapped = [value.astype(value.dtype.newbyteorder()) if isinstance(value, np.ndarray) else value for value in values]
    return [tuple(values), tuple(louder), tuple(swapped), ("odd", *values[1:])]


def fingerprints(records):
    return {name: [fingerprint(args) for args in function_records] for name, function_records in records.items()}


@pytest.fixture
def frequent_thread_switches():
    # Switching threads every microsecond interleaves the calls as finely as
    # the interpreter allows.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


@pytest.mark.filterwarnings("ignore")
def test_eight_threads_get_what_one_thread_gets(frequent_thread_switches):
    records = {name: variants(typical_arguments(name)) for name in reference.FUNCTION_NAMES}
    records_before = fingerprints(records)
    expected = {name: [result_of(getattr(core_math, name), args) for args in records[name]] for name in records}
    in_step = threading.Barrier(N_THREADS)
    mismatches = []

    def worker(thread_index):
        for name, function_records in records.items():
            # All threads call the same function at once, each on its own
            # choice of record.
            in_step.wait()
            function = getattr(core_math, name)
            for k in range(ROUNDS_PER_FUNCTION * len(function_records)):
                choice = (thread_index + k) % len(function_records)
                if result_of(function, function_records[choice]) != expected[name][choice]:
                    mismatches.append((name, choice, thread_index))

    threads = [threading.Thread(target=worker, args=(index,)) for index in range(N_THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not mismatches
    assert fingerprints(records) == records_before
