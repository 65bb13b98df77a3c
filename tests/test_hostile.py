"""Odd values in every parameter position of every analysis function.

Each ordinary call (field_records.typical_arguments) is repeated with one of
its arguments replaced by an odd value, passed by position and by keyword.
The module must do exactly what the plain-Python reading does (same result
bits, same exception type and text, same warnings), leave its arguments as
they were, and never take the interpreter down.
"""

import warnings

import numpy as np
import pytest

from support import reference
from support.field_records import FieldRecord, parameters, typical_arguments
from support.outcome import assert_same_outcome

pytestmark = pytest.mark.forked


def _record():
    """64 samples of a sine with a sensor bias, the base of the odd arrays."""
    return 0.25 + np.sin(2 * np.pi * 5 * np.arange(64) / 64)


def _read_only():
    values = _record()
    values.flags.writeable = False
    return values


def _matrix():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", PendingDeprecationWarning)
        return np.asmatrix(_record().reshape(8, 8))


def _with_nan_gap():
    values = _record()
    values[20:30] = np.nan
    return values


# Each value is made afresh for every call, so no call sees what another did.
ODD_VALUES = {
    "None": lambda: None,
    "str": lambda: "abc",
    "empty str": lambda: "",
    "bytes": lambda: b"\x00\x01\x02",
    "list": lambda: _record().tolist(),
    "nested list": lambda: [[1.0, 2.0], [3.0, 4.0]],
    "ragged list": lambda: [[1.0], [2.0, 3.0]],
    "empty list": lambda: [],
    "tuple": lambda: (1.0, 2.0, 3.0),
    "range": lambda: range(64),
    "iterator": lambda: iter([1.0, 2.0, 3.0]),
    "dict": lambda: {"y": 1.0},
    "object": object,
    "True": lambda: True,
    "0": lambda: 0,
    "-1": lambda: -1,
    "huge int": lambda: 10**30,
    "huge negative int": lambda: -(10**30),
    "2**63": lambda: 2**63,
    "NaN": lambda: float("nan"),
    "inf": lambda: float("inf"),
    "-inf": lambda: float("-inf"),
    "-0.0": lambda: -0.0,
    "1e308": lambda: 1e308,
    "subnormal": lambda: 5e-324,
    "complex": lambda: 1 + 2j,
    "numpy float64": lambda: np.float64(3.0),
    "numpy int64": lambda: np.int64(7),
    "numpy float32 NaN": lambda: np.float32("nan"),
    "0-d array": lambda: np.array(2.5),
    "2-D array": lambda: _record().reshape(8, 8),
    "object array": lambda: np.array(_record().tolist(), dtype=object),
    "object array with None": lambda: np.array([1.0, None, 2.0], dtype=object),
    "complex array": lambda: _record() + 1j * _record()[::-1],
    "bool array": lambda: _record() > 0.25,
    "float32 array": lambda: _record().astype(np.float32),
    "int16 array": lambda: (_record() * 20000).astype(np.int16),
    "uint8 array": lambda: (_record() * 100 + 128).astype(np.uint8),
    "string array": lambda: np.array(["1.0", "2.0", "3.0"]),
    "datetime64 array": lambda: np.datetime64("2024-05-01T00:00:00") + np.arange(64).astype("timedelta64[ms]"),
    "empty array": lambda: np.array([]),
    "empty int array": lambda: np.array([], dtype=np.int64),
    "all-NaN array": lambda: np.full(64, np.nan),
    "NaN gap array": _with_nan_gap,
    "1e308 array": lambda: np.full(64, 1e308),
    "read-only array": _read_only,
    "strided array": lambda: np.repeat(_record(), 2)[::2],
    "reversed array": lambda: _record()[::-1],
    "byte-swapped array": lambda: _record().astype(">f8"),
    "ndarray subclass": lambda: _record().view(FieldRecord),
    "matrix": _matrix,
    "masked array": lambda: np.ma.masked_invalid(_with_nan_gap()),
}

POSITIONS = [(name, param) for name in reference.FUNCTION_NAMES for param in parameters(name)]

@pytest.mark.parametrize("by_keyword", [False, True], ids=["positional", "keyword"])
@pytest.mark.parametrize("name, param", POSITIONS, ids=[f"{name}-{param}" for name, param in POSITIONS])
def test_odd_value_gives_the_readings_outcome(name, param, by_keyword):
    mismatches = []
    for label, odd_value in ODD_VALUES.items():
        arguments = typical_arguments(name)
        arguments[param] = odd_value()
        try:
            if by_keyword:
                assert_same_outcome(name, **arguments)
            else:
                assert_same_outcome(name, *arguments.values())
        except AssertionError as mismatch:
            mismatches.append(f"{param}={label}: {mismatch!s:.800}")
    assert not mismatches, "\n".join(mismatches)
