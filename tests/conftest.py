import sys
from pathlib import Path

# The plain-Python reading and the outcome helpers live beside the tests.
sys.path.insert(0, str(Path(__file__).parent))


def pytest_terminal_summary(terminalreporter):
    """How much the reliability tests compared, for the record of a run."""
    for module_name, counter, label in (
        ("test_differential", "cases_compared", "field records compared with the plain-Python reading"),
        ("test_hostile", "odd_calls_made", "odd-argument calls compared with the plain-Python reading"),
        ("test_robustness", "records_run", "generated records run through python -m kemo_pkg analyze"),
    ):
        count = getattr(sys.modules.get(module_name), counter, 0)
        if count:
            terminalreporter.write_line(f"{label}: {count}")
