"""A crash in native code fails its own test, and the run goes on."""

from pathlib import Path

SUPPORT = Path(__file__).parent

CRASHING_SUITE = """
import ctypes
import pytest

pytestmark = pytest.mark.forked


def test_before():
    pass


def test_reads_address_zero():
    ctypes.string_at(0)


def test_after():
    pass


@pytest.mark.parametrize("exit_status", [3])
def test_leaves_without_a_word(exit_status):
    import os
    os._exit(exit_status)
"""


def test_a_segfault_fails_the_test_that_caused_it_and_no_other(pytester):
    pytester.makeconftest(
        f"import sys\nsys.path.insert(0, {str(SUPPORT)!r})\npytest_plugins = ['support.isolation']\n"
    )
    pytester.makepyfile(test_crashing=CRASHING_SUITE)
    run = pytester.runpytest_subprocess("-p", "no:cacheprovider", "-p", "no:faulthandler")
    run.assert_outcomes(passed=2, failed=2)
    run.stdout.fnmatch_lines(
        [
            # SIGSEGV, or SIGABRT where AddressSanitizer catches the fault first.
            "*test_crashing.py::test_reads_address_zero: the test worker crashed, ended by signal *",
            "*test_crashing.py::test_leaves_without_a_word[[]3[]]: the test worker crashed, ended by exit status 3*",
        ]
    )
