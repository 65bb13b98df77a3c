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

from support import reference
from support.field_records import CALLS
from support.outcome import assert_same_outcome

pytestmark = pytest.mark.forked

# CI replays a fixed sequence of records, so a run is reproducible; a local
# run explores new ones and keeps the failures it finds in .hypothesis/.
# KEMO_FIELD_EXAMPLES=5000 makes a long local hunt.
FIELD_SETTINGS = settings(
    max_examples=int(os.environ.get("KEMO_FIELD_EXAMPLES", 100)),
    deadline=None,
    derandomize=bool(os.environ.get("CI")),
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


@pytest.mark.parametrize("name", reference.FUNCTION_NAMES)
@FIELD_SETTINGS
@given(data=st.data())
def test_module_matches_reading_on_field_records(name, data):
    call = data.draw(CALLS[name], label="call")
    assert_same_outcome(call.name, *call.args, **call.kwargs)
