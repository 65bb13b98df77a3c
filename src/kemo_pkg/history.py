"""A machine's history: every measurement's findings, kept in a database.

The embedded store is one SQLite file; a PostgreSQL URL lets a team share one
server (through SQLAlchemy, with the `postgres` extra's driver).  The package
creates and migrates the schema itself (Alembic, `kemo_pkg/migrations`).

A measurement is one record of one machine, taken at one time.  It is stored
once per machine and record content (the SHA-256 of the file), so analysing
the same record again is harmless.  Each append is one transaction: a run
killed halfway leaves whole measurements or none.  SQLite runs in WAL mode,
every transaction takes the write lock when it begins, and a busy file is
waited for, so several processes may append at once.

Times are stored in UTC; a time without a zone is read as UTC.  A database
that fails under a read or an append (a file damaged since, a server gone)
is an `InputError` that names the history, as one that cannot be opened is.
"""

import functools
import hashlib
import json
import math
import re
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from datetime import UTC, datetime
from pathlib import Path
from typing import Any, ParamSpec, TypeVar

import sqlalchemy as sa
from sqlalchemy.dialects import postgresql, sqlite

from .bearing import DEFECTS
from .problems import InputError

__all__ = [
    "DEFAULT_TARGET",
    "TRACKED",
    "Measurement",
    "Reading",
    "append",
    "content_hash",
    "date_from_name",
    "histories",
    "machine_history",
    "machines",
    "open_history",
    "stored_keys",
    "to_utc",
]

DEFAULT_TARGET = "kemo-history.sqlite"
BUSY_TIMEOUT_S = 60.0  # how long a writer waits for another's transaction on SQLite
MIGRATIONS = Path(__file__).parent / "migrations"
# The findings a trend follows, each one number per measurement.
TRACKED = ("velocity_rms_mm_s", *DEFECTS, "band_rms", "shaft_hz")
# A date in a file name: 2024-03-05, 20240305, optionally a time (T0812, _08-12-30).
_NAME_DATE = re.compile(r"(?<!\d)(\d{4})-?(\d{2})-?(\d{2})(?:[T_ -]?(\d{2})[:.-]?(\d{2})(?:[:.-]?(\d{2}))?)?(?!\d)")

_metadata = sa.MetaData()
_measurement = sa.Table(
    "measurement",
    _metadata,
    sa.Column("id", sa.Integer, primary_key=True),
    sa.Column("machine", sa.String(200)),
    sa.Column("taken", sa.DateTime),
    sa.Column("taken_from", sa.String(20)),
    sa.Column("path", sa.Text),
    sa.Column("content_hash", sa.String(64)),
    sa.Column("settings", sa.Text),
    sa.Column("status", sa.String(10)),
    sa.Column("error", sa.Text),
    sa.Column("usable", sa.Boolean),
    sa.Column("verdict", sa.String(40)),
    sa.Column("shaft_hz", sa.Float(53)),
    sa.Column("velocity_rms_mm_s", sa.Float(53)),
    sa.Column("zone", sa.String(1)),
    sa.Column("band_rms", sa.Float(53)),
    sa.Column("document", sa.Text),
)
_defect = sa.Table(
    "defect",
    _metadata,
    sa.Column("measurement_id", sa.Integer, primary_key=True),
    sa.Column("defect", sa.String(20), primary_key=True),
    sa.Column("frequency_hz", sa.Float(53)),
    sa.Column("score", sa.Float(53)),
    sa.Column("present", sa.Boolean),
)


@dataclass(frozen=True)
class Measurement:
    """One record of one machine, as it goes into the history: its findings
    (`document`, the JSON of `kemo_pkg.report.to_json`), or the one error
    line of a record that could not be analysed."""

    machine: str
    taken: datetime  # UTC
    taken_from: str  # "flag", "manifest", "file name" or "file time"
    path: str
    content_hash: str
    settings: dict[str, Any] = field(default_factory=dict)
    document: dict[str, Any] | None = None
    error: str | None = None


@dataclass(frozen=True)
class Reading:
    """One stored measurement as a trend and a fleet table read it: the
    tracked findings by name (None where not read) and the verdicts."""

    taken: datetime
    path: str
    status: str  # "analysed" or "failed"
    error: str | None
    usable: bool | None
    verdict: str | None  # "sensor_fault", a bearing verdict, or None
    zone: str | None
    findings: dict[str, float | None]
    settings: dict[str, Any]
    present: frozenset[str] = frozenset()  # the defects judged present


def content_hash(path: str | Path) -> str:
    """SHA-256 of a file's bytes, read in blocks."""
    digest = hashlib.sha256()
    with open(path, "rb") as file:
        for block in iter(lambda: file.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def to_utc(moment: datetime) -> datetime:
    """`moment` in UTC without its zone, as the history keeps it; a time
    without a zone is UTC already."""
    return moment if moment.tzinfo is None else moment.astimezone(UTC).replace(tzinfo=None)


def date_from_name(name: str) -> datetime | None:
    """The first valid date (and time) written in a file name, or None."""
    for match in _NAME_DATE.finditer(name):
        try:
            return datetime(*[int(part) for part in match.groups() if part is not None])  # type: ignore[arg-type]
        except ValueError:  # 20241399: digits, not a date
            continue
    return None


def _url(target: str) -> sa.URL:
    if "://" not in target:
        target = f"sqlite:///{target}"
    try:
        url = sa.make_url(target)
    except sa.exc.ArgumentError:
        raise InputError(f"history {target!r} is neither a file nor a database URL") from None
    if url.drivername in ("postgresql", "postgres"):
        url = url.set(drivername="postgresql+psycopg")
    if url.get_backend_name() not in ("sqlite", "postgresql"):
        raise InputError(f"history {url.render_as_string()}: the history lives in SQLite or PostgreSQL")
    if url.get_backend_name() == "sqlite":
        folder = Path(url.database or "").parent
        if not url.database or url.database == ":memory:" or not folder.is_dir():
            raise InputError(f"history {url.database or target}: the SQLite file needs an existing folder")
    return url


def _writes_one_at_a_time(engine: sa.Engine) -> None:
    """SQLite in WAL mode, waiting for a busy file, each transaction holding
    the write lock from its start: two appenders then queue instead of one
    failing when both would upgrade a read lock."""

    @sa.event.listens_for(engine, "connect")
    def _connect(connection: Any, _: object) -> None:
        connection.isolation_level = None  # the driver begins no transaction of its own
        connection.execute(f"PRAGMA busy_timeout = {int(BUSY_TIMEOUT_S * 1000)}")
        connection.execute("PRAGMA journal_mode = WAL")
        connection.execute("PRAGMA foreign_keys = ON")

    @sa.event.listens_for(engine, "begin")
    def _begin(connection: sa.Connection) -> None:
        connection.exec_driver_sql("BEGIN IMMEDIATE")


def open_history(target: str = DEFAULT_TARGET) -> sa.Engine:
    """The history at `target` (a SQLite file, or a database URL), its schema
    created or migrated to the package's.

    Raises
    ------
    InputError
        When the target is no history, its driver is not installed, or the
        database cannot be reached; the message says which.
    """
    url = _url(str(target))
    try:
        engine = sa.create_engine(url, poolclass=sa.pool.NullPool)
    except ModuleNotFoundError as missing:
        raise InputError(
            f"a PostgreSQL history needs the driver {missing.name}; install it with: pip install 'kemo_pkg[postgres]'"
        ) from None
    if url.get_backend_name() == "sqlite":
        _writes_one_at_a_time(engine)
    from alembic import command
    from alembic.config import Config
    from alembic.util import CommandError

    config = Config()
    config.set_main_option("script_location", str(MIGRATIONS))
    try:
        with engine.begin() as connection:
            if url.get_backend_name() == "postgresql":  # one migration at a time across processes
                connection.execute(sa.text("SELECT pg_advisory_xact_lock(20816)"))
            config.attributes["connection"] = connection
            command.upgrade(config, "head")
    except sa.exc.SQLAlchemyError as error:
        engine.dispose()
        raise _failed(url, error) from None
    except CommandError as error:  # a schema this package does not know: a newer one's
        engine.dispose()
        raise InputError(
            f"history {url.render_as_string()}: its schema is not one this kemo_pkg knows ({error})"
        ) from None
    return engine


def _failed(url: sa.URL, error: Exception) -> InputError:
    """The one line that names the history and the first line of why it failed."""
    reason = str(getattr(error, "orig", None) or error).strip().splitlines()[0]
    return InputError(f"history {url.render_as_string()}: {reason}")


_P = ParamSpec("_P")
_T = TypeVar("_T")


def _failing_as_history(*reading_back: type[Exception]) -> Callable[[Callable[_P, _T]], Callable[_P, _T]]:
    """An operation on a history (its first argument, the engine), with a
    database that fails under it (a damaged file, a server gone, a lock
    held too long) reported as the one line that names the history; and so
    the errors `reading_back` of a stored value that cannot be read back."""

    failures: tuple[type[Exception], ...] = (sa.exc.SQLAlchemyError, *reading_back)

    def decorate(operation: Callable[_P, _T]) -> Callable[_P, _T]:
        @functools.wraps(operation)
        def guarded(*args: _P.args, **kwargs: _P.kwargs) -> _T:
            try:
                return operation(*args, **kwargs)
            except failures as error:
                engine = args[0]
                assert isinstance(engine, sa.Engine)
                raise _failed(engine.url, error) from None

        return guarded

    return decorate


def _number(value: object) -> float | None:
    return float(value) if isinstance(value, (int, float)) and math.isfinite(value) else None


def _row(m: Measurement) -> dict[str, Any]:
    """The measurement's columns: the tracked findings read from its document."""
    doc = m.document or {}
    severity, bearing = doc.get("severity") or {}, doc.get("bearing") or {}
    usable = (doc.get("quality") or {}).get("usable") if m.document is not None else None
    return {
        "machine": m.machine,
        "taken": to_utc(m.taken),
        "taken_from": m.taken_from,
        "path": m.path,
        "content_hash": m.content_hash,
        "settings": json.dumps(m.settings, sort_keys=True),
        "status": "failed" if m.document is None else "analysed",
        "error": m.error,
        "usable": usable,
        "verdict": "sensor_fault" if usable is False else bearing.get("verdict"),
        "shaft_hz": _number((doc.get("speed") or {}).get("shaft_hz")),
        "velocity_rms_mm_s": _number(severity.get("velocity_rms_mm_s")),
        "zone": severity.get("zone"),
        "band_rms": _number(bearing.get("band_rms")),
        "document": None if m.document is None else json.dumps(m.document, allow_nan=False),
    }


def _defect_rows(measurement_id: int, m: Measurement) -> list[dict[str, Any]]:
    """The measurement's bearing families, one row each."""
    defects = ((m.document or {}).get("bearing") or {}).get("defects") or {}
    return [
        {
            "measurement_id": measurement_id,
            "defect": name,
            "frequency_hz": _number(e.get("frequency_hz")),
            "score": _number(e.get("score")),
            "present": bool(e.get("present")),
        }
        for name, e in defects.items()
    ]


@_failing_as_history()
def append(engine: sa.Engine, measurements: Iterable[Measurement]) -> int:
    """Stores `measurements` in one transaction, each record once per
    machine; returns how many were new."""
    # A record given twice is stored as it came first.
    by_key: dict[tuple[str, str], Measurement] = {}
    for m in measurements:
        by_key.setdefault((m.machine, m.content_hash), m)
    if not by_key:
        return 0
    # Both dialects insert "once" alike; their statements differ only in type.
    insert: Callable[[sa.Table], Any] = postgresql.insert if engine.dialect.name == "postgresql" else sqlite.insert
    columns = _measurement.c
    statement = (
        insert(_measurement)
        .on_conflict_do_nothing(index_elements=["machine", "content_hash"])
        .returning(columns.id, columns.machine, columns.content_hash)
    )
    with engine.begin() as connection:
        # One statement for the batch (a few round trips to a server, not one per record); a record
        # the history holds already returns no row.
        new_ids = {
            (machine, digest): new_id
            for new_id, machine, digest in connection.execute(statement, [_row(m) for m in by_key.values()])
        }
        defect_rows = [row for key, new_id in new_ids.items() for row in _defect_rows(new_id, by_key[key])]
        if defect_rows:
            connection.execute(_defect.insert(), defect_rows)
    return len(new_ids)


@_failing_as_history()
def stored_keys(engine: sa.Engine) -> set[tuple[str, str]]:
    """(machine, content hash) of every stored measurement."""
    with engine.connect() as connection:
        rows = connection.execute(sa.select(_measurement.c.machine, _measurement.c.content_hash))
        return {(machine, digest) for machine, digest in rows}


@_failing_as_history()
def machines(engine: sa.Engine) -> list[str]:
    """The machines with a history, by name."""
    with engine.connect() as connection:
        query = sa.select(_measurement.c.machine).distinct().order_by(_measurement.c.machine)
        return list(connection.execute(query).scalars())


def machine_history(engine: sa.Engine, machine: str) -> list[Reading]:
    """The measurements of `machine`, oldest first (by time, then by path)."""
    return histories(engine, machine).get(machine, [])


@_failing_as_history(ValueError, TypeError)  # a date or settings no longer parse
def histories(engine: sa.Engine, machine: str | None = None) -> dict[str, list[Reading]]:
    """Each machine's measurements (of `machine` alone, if given), oldest
    first (by time, then by path), the machines by name: two queries
    whatever the fleet's size."""
    m, d = _measurement, _defect
    chosen = sa.true() if machine is None else m.c.machine == machine
    with engine.connect() as connection:
        rows = connection.execute(
            sa.select(
                m.c.machine,
                m.c.id,
                m.c.taken,
                m.c.path,
                m.c.status,
                m.c.error,
                m.c.usable,
                m.c.verdict,
                m.c.zone,
                m.c.shaft_hz,
                m.c.velocity_rms_mm_s,
                m.c.band_rms,
                m.c.settings,
            )
            .where(chosen)
            .order_by(m.c.machine, m.c.taken, m.c.path, m.c.id)
        ).all()
        scores: dict[int, dict[str, float | None]] = {}
        present: dict[int, set[str]] = {}
        for measurement_id, defect, score, is_present in connection.execute(
            sa.select(d.c.measurement_id, d.c.defect, d.c.score, d.c.present)
            .join(m, m.c.id == d.c.measurement_id)
            .where(chosen)
        ):
            scores.setdefault(measurement_id, {})[defect] = score
            if is_present:
                present.setdefault(measurement_id, set()).add(defect)
    readings: dict[str, list[Reading]] = {}
    for r in rows:
        readings.setdefault(r.machine, []).append(
            Reading(
                taken=r.taken,
                path=r.path,
                status=r.status,
                error=r.error,
                usable=r.usable,
                verdict=r.verdict,
                zone=r.zone,
                settings=json.loads(r.settings),
                findings={
                    "velocity_rms_mm_s": r.velocity_rms_mm_s,
                    **{k: scores.get(r.id, {}).get(k) for k in DEFECTS},
                    "band_rms": r.band_rms,
                    "shaft_hz": r.shaft_hz,
                },
                present=frozenset(present.get(r.id, ())),
            )
        )
    return readings
