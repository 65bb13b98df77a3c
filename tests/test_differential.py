"""Every analysis function against its plain-Python reading, on records as
the field produces them.

Both sides are deterministic, so they must agree exactly: the type, dtype,
shape and bits of every result (and whether the caller's own object is
handed back), the type and text of every exception, the category and text of
every warning.  Neither may modify the caller's records.
"""

import os

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import reference
from kemo_pkg import core_math
from outcome import _fingerprint, outcome
from strategies import CALLS

# CI replays a fixed sequence of records, so a run is reproducible; a local
# run explores new ones and keeps the failures it finds in .hypothesis/.
# KEMO_FIELD_EXAMPLES=5000 makes a long local hunt.
FIELD_SETTINGS = settings(
    max_examples=int(os.environ.get("KEMO_FIELD_EXAMPLES", 100)),
    deadline=None,
    derandomize=bool(os.environ.get("CI")),
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

cases_compared = 0  # reported at the end of the run


def reporting_handed_back_argument(function, arguments):
    """`function`, with its result paired with the names of the arguments
    whose very object it returned (`apply_bandpass` hands back an unfiltered
    record; nothing else may)."""

    def call(*args, **kwargs):
        result = function(*args, **kwargs)
        if isinstance(result, (bool, int, float, type(None))):
            return result, []
        return result, [param for param, value in arguments.items() if value is result]

    return call


def assert_matches_reading(call):
    global cases_compared
    before = {param: _fingerprint(value) for param, value in call.arguments.items()}
    outcomes = {}
    for side in (reference, core_math):
        function = reporting_handed_back_argument(getattr(side, call.name), call.arguments)
        outcomes[side.__name__] = outcome(function, *call.args, **call.kwargs)
        after = {param: _fingerprint(value) for param, value in call.arguments.items()}
        assert after == before, f"{side.__name__}.{call.name} modified its arguments"
    cases_compared += 1
    assert outcomes["kemo_pkg.core_math"] == outcomes["reference"]


@pytest.mark.parametrize("name", reference.FUNCTION_NAMES)
@FIELD_SETTINGS
@given(data=st.data())
def test_module_matches_reading_on_field_records(name, data):
    assert_matches_reading(data.draw(CALLS[name], label="call"))
