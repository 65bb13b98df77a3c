"""A fleet's records: found, analysed in parallel, kept in the history, and
read back as one table, most urgent machine first.

The records are found in a folder whose sub-folders are the machines, or
listed in a manifest CSV (`path, machine, taken`, and optionally `fs, rpm,
bearing, vibration`).  Each record's time is the one given, else a date in its
file name, else the file's modification time.  `run_fleet` analyses the
records the history does not hold yet: in this process, or as tasks of a
Dask `distributed` client, a bounded number in flight at a time so that
neither the workers nor this process hold more than a few records whatever
the fleet's size.  Results are written in batches, each one transaction.
"""

import csv
import math
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass, replace
from datetime import UTC, datetime
from itertools import islice
from pathlib import Path
from typing import TYPE_CHECKING, Any

import sqlalchemy as sa

from .analysis import Settings, assess_record, check_settings
from .bearing import parse_defect_orders
from .history import Measurement, Reading, append, content_hash, date_from_name, histories, stored_keys, to_utc
from .problems import InputError
from .records import READERS, load_record
from .report import to_json
from .trend import MachineTrend, machine_trend

if TYPE_CHECKING:
    from distributed import Client, Future

__all__ = [
    "Job",
    "MachineStatus",
    "analyse",
    "fleet_table",
    "jobs_from_folder",
    "jobs_from_manifest",
    "machine_status",
    "measurement",
    "new_jobs",
    "record_time",
    "run_fleet",
    "table_json",
]

BATCH_RECORDS = 64  # measurements written per transaction, at most
BATCH_SECONDS = 2.0  # ... or the results of this long, whichever comes first
TASKS_PER_THREAD = 4  # tasks in flight per worker thread: enough to keep every worker busy


@dataclass(frozen=True)
class Job:
    """One record to analyse: where it is, whose it is, when it was taken."""

    machine: str
    path: str
    taken: datetime  # UTC
    taken_from: str  # "flag", "manifest", "file name" or "file time"
    content_hash: str
    settings: Settings = Settings()
    fs: float | None = None  # the sample rate, for a record without a time axis
    vibration_column: str | None = None


def record_time(path: Path, given: datetime | None = None, given_by: str = "flag") -> tuple[datetime, str]:
    """When a record was taken (UTC) and where that was read: `given`, else
    a date in the file name, else the file's modification time."""
    if given is not None:
        return to_utc(given), given_by
    named = date_from_name(path.name)
    if named is not None:
        return named, "file name"
    return datetime.fromtimestamp(path.stat().st_mtime, UTC).replace(tzinfo=None), "file time"


def jobs_from_folder(folder: Path, settings: Settings = Settings(), fs: float | None = None) -> list[Job]:
    """Every record below the sub-folders of `folder`, each sub-folder one
    machine; by machine, then by path."""
    folder = Path(folder)
    if not folder.is_dir():
        raise InputError(f"{folder}: no such folder")
    jobs = []
    for machine_folder in sorted(p for p in folder.iterdir() if p.is_dir()):
        for path in sorted(machine_folder.rglob("*")):
            if path.suffix.lower() in READERS and path.is_file():
                taken, taken_from = record_time(path)
                jobs.append(Job(machine_folder.name, str(path), taken, taken_from, content_hash(path), settings, fs))
    return jobs


def _manifest_value[T](
    row: dict[str, str], column: str, parse: Callable[[str], T], line: int, manifest: Path
) -> T | None:
    text = (row.get(column) or "").strip()
    if not text:
        return None
    try:
        return parse(text)
    except ValueError as error:
        raise InputError(f"{manifest}, line {line}: {column} {text!r}: {error}") from None


def _positive(text: str) -> float:
    value = float(text)
    if not 0 < value < math.inf:
        raise ValueError("must be a positive number")
    return value


def jobs_from_manifest(
    manifest: Path, folder: Path, settings: Settings = Settings(), fs: float | None = None
) -> list[Job]:
    """The records a manifest CSV lists: `path` (relative to `folder`),
    `machine`, `taken` (ISO 8601, or empty for the file's own date), and
    optionally `fs`, `rpm`, `bearing` (BPFO=..,BPFI=..,BSF=..,FTF=..) and
    `vibration` (the column or variable), each overriding `settings`."""
    manifest = Path(manifest)
    try:
        with open(manifest, newline="", encoding="utf-8-sig") as file:
            reader = csv.DictReader(file)
            rows = list(reader)
    except (OSError, UnicodeDecodeError, csv.Error) as error:
        raise InputError(f"{manifest}: not a readable manifest ({error})") from None
    missing = {"path", "machine"} - set(reader.fieldnames or ())
    if missing:
        raise InputError(
            f"{manifest}: the manifest needs the columns path, machine (missing: {', '.join(sorted(missing))})"
        )
    jobs = []
    for line, row in enumerate(rows, 2):
        path = Path(folder) / (row["path"] or "").strip()
        machine = (row["machine"] or "").strip()
        if not machine:
            raise InputError(f"{manifest}, line {line}: no machine")
        if not path.is_file():
            raise InputError(f"{manifest}, line {line}: {path}: no such file")
        given = _manifest_value(row, "taken", datetime.fromisoformat, line, manifest)
        taken, taken_from = record_time(path, given, "manifest")
        rpm = _manifest_value(row, "rpm", _positive, line, manifest)
        bearing = _manifest_value(row, "bearing", parse_defect_orders, line, manifest)
        record_settings = replace(settings, rpm=rpm or settings.rpm, bearing=bearing or settings.bearing)
        jobs.append(
            Job(
                machine,
                str(path),
                taken,
                taken_from,
                content_hash(path),
                record_settings,
                _manifest_value(row, "fs", _positive, line, manifest) or fs,
                _manifest_value(row, "vibration", str, line, manifest),
            )
        )
    return jobs


def _settings_json(settings: Settings) -> dict[str, Any]:
    bearing = settings.bearing
    return {
        "gear_ratio": settings.gear_ratio,
        "band_hz": settings.band_hz,
        "rpm": settings.rpm,
        "rpm_tolerance": settings.rpm_tolerance,
        "bearing": None if bearing is None else [bearing.bpfo, bearing.bpfi, bearing.bsf, bearing.ftf],
        "units": settings.units,
        "machine_group": settings.machine_group,
        "support": settings.support,
    }


def measurement(job: Job, document: dict[str, Any] | None = None, error: str | None = None) -> Measurement:
    """The job's measurement: its findings (`to_json`), or the error that stopped its analysis."""
    return Measurement(
        job.machine,
        job.taken,
        job.taken_from,
        job.path,
        job.content_hash,
        _settings_json(job.settings),
        document,
        error,
    )


def analyse(job: Job) -> Measurement:
    """The record's measurement: its findings, or the one error line that
    stopped its analysis.  Runs in a worker; only plain data comes back."""
    try:
        record = load_record(job.path, job.fs, vibration_column=job.vibration_column)
        try:
            check_settings(job.settings, record.fs)
        except InputError as error:
            raise InputError(f"{job.path}: {error}") from None
        return measurement(job, document=to_json(assess_record(record, job.settings)))
    except InputError as error:
        return measurement(job, error=str(error))
    except Exception as error:  # a fault of the analysis: kept with the record, the fleet goes on
        return measurement(job, error=f"{job.path}: the analysis failed ({type(error).__name__}: {error})")


def _analysed(jobs: list[Job], client: "Client | None") -> Iterator[Measurement]:
    """Each job's measurement as it is done: in this process without a
    client, else on the client's workers with a bounded number in flight."""
    if client is None:
        yield from map(analyse, jobs)
        return
    from distributed import as_completed

    todo = iter(jobs)
    window = TASKS_PER_THREAD * max(1, sum(client.nthreads().values()))
    in_flight: dict[Future[Measurement], Job] = {}

    def submit(job: Job) -> "Future[Measurement]":
        future: Future[Measurement] = client.submit(analyse, job, pure=False)
        in_flight[future] = job
        return future

    queue = as_completed([submit(job) for job in islice(todo, window)])
    for future in queue:
        job = in_flight.pop(future)
        try:
            yield future.result()
        except Exception as error:  # the worker died under it, or the cluster went away
            yield measurement(job, error=f"{job.path}: its worker failed ({type(error).__name__}: {error})")
        next_job = next(todo, None)
        if next_job is not None:
            queue.add(submit(next_job))


def new_jobs(jobs: list[Job], engine: sa.Engine) -> list[Job]:
    """The jobs whose record the history does not hold for their machine
    yet, each record once."""
    known = stored_keys(engine)
    todo = []
    for job in jobs:
        key = (job.machine, job.content_hash)
        if key not in known:
            known.add(key)
            todo.append(job)
    return todo


def run_fleet(jobs: list[Job], engine: sa.Engine, client: "Client | None" = None) -> Iterator[Measurement]:
    """Analyses the jobs (`new_jobs`), stores their measurements in batches,
    and yields each once its analysis is done.  `client` is a
    `distributed.Client`, or None to analyse in this process."""
    batch, started = [], time.monotonic()
    try:
        for m in _analysed(jobs, client):
            batch.append(m)
            if len(batch) >= BATCH_RECORDS or time.monotonic() - started >= BATCH_SECONDS:
                append(engine, batch)
                batch, started = [], time.monotonic()
            yield m
    finally:  # an interrupted run keeps what it analysed
        append(engine, batch)


@dataclass(frozen=True)
class MachineStatus:
    """One machine's row of the fleet table."""

    machine: str
    measurements: int  # analysed, the sensor's faults included
    last_taken: datetime | None
    verdict: str | None  # of the latest analysed measurement
    zone: str | None
    alarms: tuple[tuple[str, datetime], ...]  # (finding, when raised)
    failed: int  # records that could not be analysed
    verdict_score: float | None = None  # the verdict's defect score, for the order of the table
    trend: MachineTrend | None = None

    @property
    def urgency(self) -> int:
        """0 the most urgent: a sensor fault, zone D, zone C, a bearing
        defect, a trend alarm, nothing."""
        if self.verdict == "sensor_fault":
            return 0
        if self.zone in ("D", "C"):
            return 1 if self.zone == "D" else 2
        if self.verdict not in (None, "none"):
            return 3
        return 4 if self.alarms else 5


def machine_status(machine: str, readings: list[Reading]) -> MachineStatus:
    """The machine's line of the fleet table, from its history (`readings`, oldest first)."""
    analysed = [r for r in readings if r.status == "analysed"]
    latest = analysed[-1] if analysed else None
    trend = machine_trend(readings)
    alarms = sorted(
        ((finding, t.alarm_taken) for finding, t in trend.trends.items() if t.alarm_taken is not None),
        key=lambda alarm: (alarm[1], alarm[0]),
    )
    score = None if latest is None or latest.verdict is None else latest.findings.get(latest.verdict)
    return MachineStatus(
        machine=machine,
        measurements=len(analysed),
        last_taken=max((r.taken for r in readings), default=None),
        verdict=None if latest is None else latest.verdict,
        zone=None if latest is None else latest.zone,
        alarms=tuple(alarms),
        failed=len(readings) - len(analysed),
        verdict_score=score,
        trend=trend,
    )


def fleet_table(engine: sa.Engine) -> list[MachineStatus]:
    """Every machine of the history, most urgent first: sensor faults, zone
    D, zone C, bearing defects (the strongest first), trend alarms; then by
    name."""
    rows = [machine_status(machine, readings) for machine, readings in histories(engine).items()]
    return sorted(rows, key=lambda r: (r.urgency, -(r.verdict_score or 0.0) if r.urgency == 3 else 0.0, r.machine))


def table_json(table: list[MachineStatus], analysed_now: int) -> dict[str, Any]:
    """The fleet table as `fleet --json` prints it."""
    return {
        "machines": [
            {
                "machine": r.machine,
                "measurements": r.measurements,
                "last_taken": None if r.last_taken is None else r.last_taken.isoformat(),
                "verdict": r.verdict,
                "zone": r.zone,
                "alarms": [{"finding": finding, "raised": raised.isoformat()} for finding, raised in r.alarms],
                "failed": r.failed,
            }
            for r in table
        ],
        "analysed_now": analysed_now,
    }
