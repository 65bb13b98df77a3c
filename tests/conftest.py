"""The suite's frame: the support package on the path and its assertions
rewritten, the isolation of tests of native code, and a count of the calls
compared with the plain-Python reading."""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))
pytest.register_assert_rewrite("support")

pytest_plugins = ["pytester", "support.isolation"]

CALLS_COMPARED = "calls compared with the plain-Python reading"


@pytest.hookimpl(wrapper=True)
def pytest_runtest_call(item):
    from support import outcome

    before = outcome.calls_compared
    try:
        return (yield)
    finally:
        item.user_properties.append((CALLS_COMPARED, outcome.calls_compared - before))


def pytest_terminal_summary(terminalreporter):
    """How many calls the run compared with the reading, for its record."""
    compared = sum(
        value
        for report in terminalreporter.stats.get("passed", []) + terminalreporter.stats.get("failed", [])
        if report.when == "call"
        for key, value in report.user_properties
        if key == CALLS_COMPARED
    )
    if compared:
        terminalreporter.write_line(f"{CALLS_COMPARED}: {compared}")
    records_run = getattr(sys.modules.get("test_robustness"), "records_run", 0)
    if records_run:
        terminalreporter.write_line(f"generated records run through python -m kemo_pkg analyze: {records_run}")
