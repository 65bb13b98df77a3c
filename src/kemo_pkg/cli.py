"""python -m kemo_pkg: the drivetrain demonstration (demo), the analysis of
a record of your own (analyze), a machine's history read over time (trend),
and a fleet's records analysed on Dask (fleet)."""

import argparse
import csv
import json
import os
import secrets
import stat
import sys
import tempfile
import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager, nullcontext
from datetime import datetime
from pathlib import Path
from types import ModuleType
from typing import TYPE_CHECKING, Any, NoReturn

from sqlalchemy import Engine

from . import __version__, demo
from .analysis import Assessment, Progress, Settings, assess_record, check_settings
from .bearing import parse_defect_orders, parse_geometry
from .demo_fleet import FleetDesign, build_fleet, truth_rows
from .fleet import (
    Job,
    MachineStatus,
    fleet_table,
    jobs_from_folder,
    jobs_from_manifest,
    measurement,
    new_jobs,
    record_time,
    run_fleet,
    table_json,
)
from .history import DEFAULT_TARGET, append, content_hash, machine_history, machines, open_history
from .problems import EXCERPT, InputError, printable
from .records import COLUMN_ALIASES, MAX_SAMPLES, MIN_SAMPLES, READERS, load_record
from .report import Finding, Row, findings, format_report, group, to_json
from .severity import UNITS_TO_M_S2, ZONE_BOUNDARIES_MM_S, ZONES
from .speed import SPEED_TOLERANCE
from .trend import FINDING_LABELS, MIN_READINGS, MachineTrend, assess_trend, machine_trend, trend_json

if TYPE_CHECKING:
    from distributed import Client

__all__ = ["PROG", "main", "run_demo", "run_demo_fleet"]

PROG = "python -m kemo_pkg"


def _positive(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number, not {printable(text, EXCERPT)}")
    return value


def _samples(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a whole number of samples, not {printable(text, EXCERPT)}") from None
    if value < MIN_SAMPLES:
        raise argparse.ArgumentTypeError(f"must be at least {MIN_SAMPLES}, the shortest record, not {value}")
    return value


def _percent(text: str) -> float:
    # Beyond a third the search would reach the neighbouring shaft harmonics.
    value = _positive(text)
    if value >= 100 / 3:
        raise argparse.ArgumentTypeError(f"must be below 33 per cent, not {text}")
    return value


def _parsed_by(parse: Callable[[str], object]) -> Callable[[str], object]:
    def parse_argument(text: str) -> object:
        try:
            return parse(text)
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error)) from None

    return parse_argument


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, as for a record that cannot be read; the usage is --help's job.
        self.exit(2, f"{PROG}: error: {printable(message)}\n")


def _names(role: str) -> str:
    return ", ".join(COLUMN_ALIASES[role])


def _machine_arguments(parser: argparse.ArgumentParser) -> None:
    """What the analyst knows of the machine, for `analyze` and `fleet`."""
    machine = parser.add_argument_group("the machine")
    bearing = machine.add_mutually_exclusive_group()
    bearing.add_argument(
        "--bearing",
        type=_parsed_by(parse_defect_orders),
        metavar="BPFO=..,BPFI=..,BSF=..,FTF=..",
        help="defect frequencies of the bearing in orders of shaft speed",
    )
    bearing.add_argument(
        "--bearing-geometry",
        type=_parsed_by(parse_geometry),
        dest="bearing",
        metavar="balls=N,ball_diameter=D,pitch_diameter=D,contact_angle=DEG",
        help="bearing geometry, turned into defect orders",
    )
    machine.add_argument(
        "--gear-ratio",
        type=_positive,
        default=1.0,
        metavar="R",
        help="high-speed revolutions per slow-shaft revolution (default: 1, no gear stage)",
    )
    machine.add_argument(
        "--band",
        type=_positive,
        nargs=2,
        metavar=("LOW", "HIGH"),
        help="envelope band in Hz (default: chosen from the record when a bearing is given,"
        " else 8%% to 20%% of the sample rate)",
    )
    machine.add_argument(
        "--units", choices=list(UNITS_TO_M_S2), default="g", help="unit of the vibration record (default: g)"
    )
    machine.add_argument(
        "--machine-group",
        type=int,
        choices=sorted({g for g, _ in ZONE_BOUNDARIES_MM_S}),
        default=1,
        help="ISO 20816-3 group: 1 above 300 kW, 2 from 15 to 300 kW (default: 1)",
    )
    machine.add_argument(
        "--support",
        choices=sorted({s for _, s in ZONE_BOUNDARIES_MM_S}, reverse=True),
        default="rigid",
        help="ISO 20816-3 support (default: rigid)",
    )


def _history_argument(group: argparse._ActionsContainer) -> None:
    group.add_argument(
        "--history",
        default=DEFAULT_TARGET,
        metavar="TARGET",
        help=f"SQLite file or database URL (postgresql://...) of the history (default: {DEFAULT_TARGET})",
    )


def _speed_arguments(command: argparse.ArgumentParser, otherwise: str) -> None:
    command.add_argument(
        "--rpm",
        type=_positive,
        metavar="RPM",
        help=f"nominal shaft speed (default: {otherwise}); the speed itself is read from the shaft lines",
    )
    command.add_argument(
        "--rpm-tolerance",
        type=_percent,
        default=100 * SPEED_TOLERANCE,
        metavar="PERCENT",
        help="how far the shaft may turn from the nominal speed, in per cent (default: %(default)g)",
    )


def _parser() -> argparse.ArgumentParser:
    # The texts of --help and the metavars are documentation: make mutate
    # leaves the lines that hold them as they are.
    parser = _Parser(prog=PROG, description=__doc__)
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(
        dest="command", required=True, parser_class=_Parser, metavar="{demo,analyze,trend,fleet}"
    )

    demo_command = commands.add_parser("demo", help="run the chain on a synthetic drivetrain with known truth")
    demo_command.add_argument("--out", type=Path, default=Path("out"), help="folder for demo.png (default: out)")
    demo_command.add_argument(
        "--fleet",
        action="store_true",
        help="a synthetic fleet of 20 machines over a year instead, through fleet and trend",
    )

    analyze = commands.add_parser("analyze", help=f"run the analysis on your own record ({', '.join(READERS)})")
    formats = dict.fromkeys(what for _, what in READERS.values())
    analyze.add_argument("file", type=Path, help="; ".join(formats))
    analyze.add_argument(
        "--fs",
        type=_positive,
        metavar="HZ",
        help="sample rate, when the record has no time axis and the file none of its own",
    )
    analyze.add_argument(
        "--max-samples",
        type=_samples,
        default=MAX_SAMPLES,
        metavar="N",
        help="the most samples a channel of the file may hold (default: 2**26); a file declaring more is refused"
        " before it is read",
    )
    _speed_arguments(analyze, "the file's rpm variable")
    _machine_arguments(analyze)
    history = analyze.add_argument_group("history")
    history.add_argument("--machine", metavar="NAME", help="append the findings to this machine's history")
    history.add_argument(
        "--taken",
        type=_parsed_by(datetime.fromisoformat),
        metavar="ISO-8601",
        help="when the record was taken (default: a date in the file name, else the file's time); UTC unless a"
        " zone is given",
    )
    _history_argument(history)
    output = analyze.add_argument_group("output")
    output.add_argument("--json", action="store_true", help="print one JSON object instead of the table")
    output.add_argument("--no-figure", action="store_true", help="draw no figure (needs no matplotlib)")
    output.add_argument("--out", type=Path, default=Path("out"), help="folder for the figure (default: out)")
    output.add_argument("--force", action="store_true", help="overwrite a figure that is already there")
    columns = analyze.add_argument_group("columns")
    columns.add_argument("--time-column", metavar="NAME", help=f"time axis column (default: {_names('time')})")
    columns.add_argument(
        "--vibration-column",
        metavar="NAME",
        help=f"vibration column or channel (default: {_names('vibration')}; in a file of"
        " channels the only long vector)",
    )
    columns.add_argument("--tach-column", metavar="NAME", help=f"tachometer column (default: {_names('tach')})")

    trend = commands.add_parser("trend", help="a machine's trends, alarms and zone outlook, from its history")
    trend.add_argument("machine", metavar="NAME", help="the machine, as stored by analyze --machine or fleet")
    _history_argument(trend)
    trend.add_argument("--json", action="store_true", help="print one JSON object instead of the table")
    trend.add_argument("--figure", action="store_true", help="draw the trends into --out, NAME-trend.png")
    trend.add_argument("--out", type=Path, default=Path("out"), help="folder for the figure (default: out)")
    trend.add_argument("--force", action="store_true", help="overwrite a figure that is already there")

    fleet = commands.add_parser("fleet", help="analyse every new record of a fleet on Dask, then the fleet table")
    fleet.add_argument(
        "folder",
        type=Path,
        help="one sub-folder of records per machine (or the folder the manifest's paths start from)",
    )
    fleet.add_argument(
        "--manifest",
        type=Path,
        metavar="CSV",
        help="the records: path, machine, taken, and optionally fs, rpm, bearing, vibration",
    )
    _history_argument(fleet)
    where = fleet.add_mutually_exclusive_group()
    where.add_argument(
        "--workers",
        type=int,
        default=2,
        metavar="N",
        help="worker processes of a local Dask cluster (default: 2; 0: in this process)",
    )
    where.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="address of a running Dask distributed scheduler, e.g. tcp://10.0.0.5:8786",
    )
    fleet.add_argument(
        "--fs",
        type=_positive,
        metavar="HZ",
        help="sample rate of records without a time axis or a rate of their own",
    )
    _speed_arguments(fleet, "the manifest's rpm, else each file's rpm variable")
    _machine_arguments(fleet)
    fleet.add_argument("--json", action="store_true", help="print the fleet table as one JSON object")
    fleet.add_argument("--csv", type=Path, metavar="FILE", help="write the fleet table to this CSV file")
    fleet.add_argument("--force", action="store_true", help="overwrite a CSV file that is already there")
    return parser


@contextmanager
def _shown(step: str) -> Iterator[None]:
    """One line on stderr per step of the analysis, with the time it took."""
    print(f"  {step} ...", end="", file=sys.stderr, flush=True)
    start = time.perf_counter()
    try:
        yield
    except BaseException:
        print(file=sys.stderr, flush=True)  # the step's line ends, and the error has its own
        raise
    print(f" {time.perf_counter() - start:.2f} s", file=sys.stderr, flush=True)


def _output_folder(out: Path) -> None:
    if out.exists() and not out.is_dir():
        raise InputError(f"output folder {out} is a file")


Publish = Callable[[Callable[[Path], None]], None]  # writes an output, given what draws it into a path


def _claim(path: Path, force: bool, what: str) -> Path:
    """The temporary file, made now beside `path`, that `what` will be
    written into: whether it can be written is known before any work.
    Without `force`, anything already at `path` is kept (a link too, even
    one that points nowhere); with it, a folder still is."""
    try:
        mode: int | None = os.lstat(path).st_mode
    except FileNotFoundError:
        mode = None
    if mode is not None and not force:
        raise InputError(f"{path} exists; pass --force to overwrite it")
    if mode is not None and stat.S_ISDIR(mode):
        raise InputError(f"{path} is a folder; {what} cannot take its place")
    temporary = path.parent / f".{path.stem}-{secrets.token_hex(4)}{path.suffix}"
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        os.close(os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
    except OSError as error:
        raise InputError(f"cannot write {what} into {path.parent}: {error.strerror}") from None
    return temporary


def _publish(write: Callable[[Path], None], temporary: Path, path: Path, force: bool, what: str) -> None:
    """Writes into `temporary` and renames it into place: a failed write
    leaves what was at `path` whole.  Without `force` the name is taken only
    where nothing has it, so that of two runs racing for it one writes and
    the other is refused; with it, what is there is replaced (a link itself,
    never what it points to)."""
    try:
        write(temporary)
        if not force:
            os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
        os.replace(temporary, path)
    except FileExistsError:
        raise InputError(f"{path} exists; pass --force to overwrite it") from None
    except OSError as error:
        raise InputError(f"cannot write {what} {path}: {error.strerror}") from None


@contextmanager
def _claimed(path: Path | None, force: bool, what: str = "the figure") -> Iterator[Publish | None]:
    """Claims `path` for an output now (None: no output), and yields what
    writes it into place once it is made; the claim is given up on leaving."""
    if path is None:
        yield None
        return
    temporary = _claim(path, force, what)
    try:
        yield lambda write: _publish(write, temporary, path, force, what)
    finally:
        temporary.unlink(missing_ok=True)


def _figure_module() -> ModuleType:
    try:
        from . import figure
    except ImportError as missing:  # installed without the [demo] extra
        raise InputError(
            f"the figures need {missing.name}; install it with: pip install 'kemo_pkg[demo]', or pass --no-figure"
        ) from None
    return figure


def run_demo(out: Path, design: demo.Drivetrain = demo.Drivetrain()) -> tuple[str, bool]:
    """Builds the demonstration's record and history, runs the analysis and the
    trend, and draws the figure into `out`.  Returns the report, found beside
    injected, and whether every injected quantity was recovered."""
    figure = _figure_module()
    with _shown("building the synthetic drivetrain record"):
        record = demo.make_record(design)
        history = demo.make_history(design)
    assessment = assess_record(record, Settings(gear_ratio=design.gear_ratio, bearing=design.bearing), progress=_shown)
    with _shown("trend, anomaly score and operating states"):
        trend = assess_trend(history.band_level, history.power_kw, design.rating_kw)
    assert assessment.chain is not None  # the demonstration's sensors are sound
    truth = demo.truth(design, history, assessment.chain.env_bin)

    def verdict(finding: Finding) -> Row:
        if finding.key not in truth:  # a reading with no single injected value
            return Row(finding.label, finding.text)
        injected, check = truth[finding.key]
        return Row(finding.label, finding.text, injected, finding.value is not None and check(finding.value))

    sections = group(findings(assessment, trend), verdict)
    checked = [row for _, block in sections for row in block if row.passed is not None]
    recovered = sum(bool(row.passed) for row in checked)
    path = out / "demo.png"
    # The demonstration replaces its own figure, whole or not at all.
    with _shown("figure"), _claimed(path, force=True) as publish:
        assert publish is not None
        publish(
            lambda into: figure.draw(
                assessment,
                into,
                record,
                trend,
                truth_fault=design.bpfo_order,
                onset=design.onset_day,
                trend_unit="day",
                trend_label=f"bearing-band level ({assessment.units})",
            )
        )
    title = [
        f"kemo_pkg demo: a synthetic drivetrain with known truth (seed {design.seed})",
        f"  {design.duration_s:g} s at {design.fs:g} Hz; high-speed shaft {design.hss_speed_hz:g}"
        f" +- {design.speed_drift_hz:g} Hz with a once-per-revolution tachometer;"
        f" gear {design.pinion_teeth}:{design.wheel_teeth}",
        f"  outer-race defect at {design.bpfo_order:g} orders ringing {design.resonance_hz:g} Hz;"
        f" {design.days} daily measurements of a {design.rating_kw:g} kW machine",
        "",
    ]
    report = format_report(title, sections, assessment.notes)
    report += f"\n\n{recovered} of {len(checked)} injected quantities recovered\nfigure: {path}"
    return report, recovered == len(checked)


def _demo(args: argparse.Namespace) -> int:
    _output_folder(args.out)
    _figure_module()
    if args.fleet:
        print("running fleet and trend on a synthetic fleet:", file=sys.stderr)
        report, found = run_demo_fleet(args.out)
        print(report)
        return 0 if found else 1
    print("running the chain on the synthetic drivetrain:", file=sys.stderr)
    report, recovered = run_demo(args.out)
    print(report)
    return 0 if recovered else 1


def _text_report(args: argparse.Namespace, assessment: Assessment, tach: bool) -> str:
    title = [
        f"kemo_pkg analyze: {printable(str(args.file))} ({assessment.samples} samples, {assessment.duration_s:.3g} s"
        f" at {assessment.fs:g} Hz, {'with' if tach else 'no'} tachometer)",
        "",
    ]
    sections = group(findings(assessment), lambda f: Row(f.label, f.text))
    return format_report(title, sections, assessment.notes)


def _settings(args: argparse.Namespace) -> Settings:
    """The machine as the analyst described it with the flags."""
    return Settings(
        gear_ratio=args.gear_ratio,
        band_hz=tuple(args.band) if args.band else None,
        rpm=args.rpm,
        rpm_tolerance=args.rpm_tolerance / 100,
        bearing=args.bearing,
        units=args.units,
        machine_group=args.machine_group,
        support=args.support,
    )


def _analyze(args: argparse.Namespace) -> int:
    if args.machine is None and (args.taken is not None or args.history != DEFAULT_TARGET):
        raise InputError("--taken and --history need --machine NAME")
    record = load_record(
        args.file, args.fs, args.time_column, args.vibration_column, args.tach_column, args.max_samples
    )
    settings = _settings(args)
    check_settings(settings, record.fs, len(record.vibration))
    engine = None if args.machine is None else open_history(args.history)
    figure, figure_path = None, args.out / f"{args.file.stem}.png"
    if not args.no_figure:
        figure = _figure_module()
        _output_folder(args.out)
    with _claimed(None if figure is None else figure_path, args.force) as publish:
        if not args.json:
            print(f"running the analysis on {printable(str(args.file))}:", file=sys.stderr)
        progress: Progress = nullcontext if args.json else _shown  # beside the JSON, nothing on stderr
        assessment = assess_record(record, settings, progress)
        drawn = False
        if figure is not None and publish is not None and assessment.chain is not None:
            draw = figure.draw
            with progress("figure"):
                publish(lambda path: draw(assessment, path, record))
            drawn = True
    document = to_json(assessment) if args.json or engine is not None else {}
    stored = None if engine is None else _store_analysis(args, document, settings, engine)
    if args.json:
        if stored is not None:
            document["history"] = stored
        print(json.dumps(document, allow_nan=False))
        return 0
    print(_text_report(args, assessment, record.tach is not None))
    if stored is not None:
        print(
            f"\nhistory: {stored['machine']}, taken {stored['taken']} (from the {stored['taken_from']}),"
            f" {'stored in' if stored['stored'] else 'already in'} {args.history}"
        )
    if drawn:
        print(f"\nfigure: {printable(str(figure_path))}")
    return 0


def _store_analysis(
    args: argparse.Namespace, document: dict[str, Any], settings: Settings, engine: Engine
) -> dict[str, Any]:
    """Appends the record's findings (`document`, their JSON) to the
    machine's history: what was stored, and where its date was read."""
    taken, taken_from = record_time(args.file, args.taken, "flag")
    job = Job(args.machine, str(args.file), taken, taken_from, content_hash(args.file), settings)
    added = append(engine, [measurement(job, document=document)])
    engine.dispose()
    return {"machine": args.machine, "taken": taken.isoformat(), "taken_from": taken_from, "stored": added == 1}


def _trend(args: argparse.Namespace) -> int:
    engine = open_history(args.history)
    readings = machine_history(engine, args.machine)
    known = [] if readings else machines(engine)
    engine.dispose()
    if not readings:
        raise InputError(
            f"no measurement of {args.machine} in {args.history}"
            f" ({'machines: ' + ', '.join(known) if known else 'it is empty'})"
        )
    figure, figure_path = None, args.out / f"{args.machine}-trend.png"
    if args.figure:
        figure = _figure_module()
        _output_folder(args.out)
    with _claimed(None if figure is None else figure_path, args.force) as publish:
        trend = machine_trend(readings)
        print(
            json.dumps(trend_json(args.machine, trend), allow_nan=False)
            if args.json
            else _trend_text(args.machine, trend)
        )
        if figure is not None and publish is not None:
            if trend.trends:
                publish(lambda path: figure.draw_machine_trend(args.machine, trend, path))
            where = figure_path if trend.trends else f"none, no finding has the {MIN_READINGS} readings a trend needs"
            print(f"\nfigure: {printable(str(where))}", file=sys.stderr if args.json else sys.stdout)
    return 0


def _trend_text(machine: str, trend: MachineTrend) -> str:
    lines = [f"kemo_pkg trend: {machine}, {trend.measurements} measurements the sensor could be trusted for", ""]
    if trend.trends:
        lines.append(
            f"  {'finding':22} {'readings':>8} {'latest':>9} {'trend':>9} {'severity':>9} {'z-score':>8}"
            f" {'per day':>10}  alarm"
        )
    for finding, t in trend.trends.items():
        alarm = "none" if t.alarm_taken is None else f"raised {t.alarm_taken:%Y-%m-%d %H:%M}"
        lines.append(
            f"  {FINDING_LABELS[finding]:22} {len(t.values):8d} {t.values[-1]:9.4g} {t.robust[-1]:9.4g}"
            f" {t.severity[-1]:9.4g} {t.zscore[-1]:8.2f} {t.velocity_per_day[-1]:+10.3g}  {alarm}"
        )
    for finding, count in trend.too_few.items():
        lines.append(
            f"  {FINDING_LABELS[finding]:22} {count:8d}  too few readings for a trend (it needs {MIN_READINGS})"
        )
    outlook = trend.outlook
    if outlook is not None:
        if outlook.next_zone is None:
            lines += ["", f"zone now: {outlook.zone}, the highest"]
        else:
            when = (
                "not reached at the current velocity"
                if outlook.projected is None
                else f"projected {outlook.projected:%Y-%m-%d} at the current velocity"
            )
            boundary = outlook.boundaries_mm_s[ZONES.index(outlook.zone)]
            lines += ["", f"zone now: {outlook.zone}; zone {outlook.next_zone} from {boundary:g} mm/s, {when}"]
    return "\n".join(lines)


@contextmanager
def _dask_client(scheduler: str | None, workers: int) -> "Iterator[Client | None]":
    """A client of the scheduler at `scheduler`, or of a local cluster of
    `workers` processes, closed (the local cluster stopped) on leaving;
    None for none."""
    if scheduler is None and workers == 0:
        yield None
        return
    try:
        from distributed import Client
    except ImportError as missing:
        raise InputError(
            f"the fleet runs on Dask distributed ({missing.name} is missing); install it with:"
            " pip install 'kemo_pkg[fleet]', or pass --workers 0"
        ) from None
    if scheduler is not None:
        try:
            client = Client(scheduler, timeout="10s")
        except (OSError, ValueError, TimeoutError) as error:
            raise InputError(f"no Dask scheduler at {scheduler} ({error})") from None
    elif workers < 0:
        raise InputError(f"--workers must be 0 or more, not {workers}")
    else:
        # The client starts the cluster, and so stops it when it closes.
        client = Client(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None)
    with client:
        yield client


def _progress_bar() -> Callable[..., Any]:
    try:
        from tqdm import tqdm
    except ImportError:
        raise InputError(
            "the fleet's progress bar needs tqdm; install it with: pip install 'kemo_pkg[fleet]'"
        ) from None
    bar: Callable[..., Any] = tqdm
    return bar


def _run_fleet(jobs: list[Job], engine: Engine, client: "Client | None", progress_bar: Callable[..., Any]) -> int:
    """Analyses the records the history does not hold yet, with a progress
    bar of records done, failures and the rate; how many were analysed."""
    todo = new_jobs(jobs, engine)
    failures = 0
    with progress_bar(total=len(todo), unit="record", file=sys.stderr, mininterval=1.0) as bar:
        for done in run_fleet(todo, engine, client):
            failures += done.error is not None
            bar.set_postfix(failed=failures, refresh=False)
            bar.update()
    return len(todo)


def _fleet_text(table: list[MachineStatus], analysed_now: int) -> str:
    lines = [
        f"{'machine':16} {'measurements':>12} {'last taken':>16}  {'verdict':14} {'zone':4}  {'failed':>6}  alarms"
    ]
    for row in table:
        alarms = ", ".join(f"{finding} {raised:%Y-%m-%d}" for finding, raised in row.alarms) or "-"
        last = "-" if row.last_taken is None else f"{row.last_taken:%Y-%m-%d %H:%M}"
        lines.append(
            f"{row.machine:16} {row.measurements:12d} {last:>16}  {row.verdict or '-':14} {row.zone or '-':4}"
            f"  {row.failed:6d}  {alarms}"
        )
    lines.append(f"\n{len(table)} machines, {analysed_now} records analysed now")
    return "\n".join(lines)


def _write_table_csv(document: dict[str, Any], path: Path) -> None:
    with open(path, "w", newline="") as file:
        writer = csv.writer(file)
        writer.writerow(["machine", "measurements", "last_taken", "verdict", "zone", "alarms", "failed"])
        for row in document["machines"]:
            alarms = "; ".join(f"{alarm['finding']} {alarm['raised']}" for alarm in row["alarms"])
            writer.writerow(
                [
                    row["machine"],
                    row["measurements"],
                    row["last_taken"],
                    row["verdict"],
                    row["zone"],
                    alarms,
                    row["failed"],
                ]
            )


def _fleet(args: argparse.Namespace) -> int:
    with _claimed(args.csv, args.force, "the table") as publish:
        return _run_fleet_command(args, publish)


def _run_fleet_command(args: argparse.Namespace, publish: Publish | None) -> int:
    settings = _settings(args)
    if args.manifest is not None:
        jobs = jobs_from_manifest(args.manifest, args.folder, settings, args.fs)
    else:
        jobs = jobs_from_folder(args.folder, settings, args.fs)
    progress_bar = _progress_bar()
    # The scheduler is reached before the history is opened: a fleet that cannot run leaves no history behind.
    with _dask_client(args.scheduler, args.workers) as client:
        engine = open_history(args.history)
        try:
            analysed_now = _run_fleet(jobs, engine, client, progress_bar)
            table = fleet_table(engine)
        finally:
            engine.dispose()
    document = table_json(table, analysed_now)
    if publish is not None:
        publish(lambda path: _write_table_csv(document, path))
    print(json.dumps(document) if args.json else _fleet_text(table, analysed_now))
    return 0


def run_demo_fleet(out: Path, design: FleetDesign = FleetDesign()) -> tuple[str, bool]:
    """Builds the synthetic fleet into a temporary folder, runs `fleet` on a
    local cluster of two workers and `trend`, and draws one spalled machine's
    trends into `out`.  Returns the report, each alarm beside its truth, the
    fleet table and that machine's trend, and whether every truth was found."""
    figure = _figure_module()
    progress_bar = _progress_bar()
    with _dask_client(None, 2) as client, tempfile.TemporaryDirectory() as scratch:
        folder = Path(scratch)
        with _shown(f"building {design.machines} machines x {design.measurements} records into {folder}"):
            manifest = build_fleet(folder, design)
        engine = open_history(str(folder / "history.sqlite"))
        try:
            jobs = jobs_from_manifest(manifest, folder, Settings(band_hz=design.band_hz))
            analysed_now = _run_fleet(jobs, engine, client, progress_bar)
            table = fleet_table(engine)
        finally:
            engine.dispose()
    sections = truth_rows(design, table)
    title = [
        f"kemo_pkg demo --fleet: {design.machines} pumps, {design.measurements} measurements each over"
        f" {design.days:g} days, {design.duration_s:g} s at {design.fs:g} Hz",
        "",
    ]
    machine = design.name(design.spalls[0][0])
    trend = next(row.trend for row in table if row.machine == machine)
    assert trend is not None  # every row of the table carries its trend
    path = out / "fleet-trend.png"
    with _claimed(path, force=True) as publish:
        assert publish is not None
        publish(lambda into: figure.draw_machine_trend(machine, trend, into))
    report = "\n\n".join(
        [
            format_report(title, sections),
            _fleet_text(table, analysed_now),
            _trend_text(machine, trend),
            f"figure: {path}",
        ]
    )
    return report, all(row.passed for _, rows in sections for row in rows)


def main(argv: Sequence[str] | None = None) -> int:
    """The command line; returns the exit status: 0 done, 1 a demonstration
    that missed an injected quantity, 2 input that cannot be used."""
    args = _parser().parse_args(argv)
    try:
        command = {"demo": _demo, "analyze": _analyze, "trend": _trend, "fleet": _fleet}[args.command]
        return command(args)
    except (InputError, OSError) as error:
        # Names and excerpts of the user's files escaped: one line, nothing a terminal acts on.
        print(f"{PROG}: error: {printable(str(error))}", file=sys.stderr)
    except MemoryError:
        print(f"{PROG}: error: out of memory; the record is too large for this machine", file=sys.stderr)
    return 2
