"""python -m kemo_pkg demo | analyze FILE: the drivetrain demonstration, or the
same analysis on a record of your own."""

import argparse
import json
import os
import secrets
import stat
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import AbstractContextManager, contextmanager, nullcontext
from pathlib import Path
from types import ModuleType
from typing import NoReturn

from . import __version__, demo
from .analysis import Assessment, Settings, assess_record, check_settings
from .bearing import SPEED_TOLERANCE, parse_defect_orders, parse_geometry
from .problems import EXCERPT, InputError, printable
from .records import COLUMN_ALIASES, MAX_SAMPLES, MIN_SAMPLES, READERS, load_record
from .report import Finding, Row, findings, format_report, group, to_json
from .severity import UNITS_TO_M_S2, ZONE_BOUNDARIES_MM_S
from .trend import assess_trend

__all__ = ["PROG", "main", "run_demo"]

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


def _parser() -> argparse.ArgumentParser:
    # The texts of --help and the metavars are documentation: make mutate
    # leaves the lines that hold them as they are.
    parser = _Parser(prog=PROG, description=__doc__)
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser, metavar="{demo,analyze}")

    demo_command = commands.add_parser("demo", help="run the chain on a synthetic drivetrain with known truth")
    demo_command.add_argument("--out", type=Path, default=Path("out"), help="folder for demo.png (default: out)")

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
    analyze.add_argument(
        "--rpm",
        type=_positive,
        metavar="RPM",
        help="nominal shaft speed (default: the file's rpm variable); the speed itself is read from the shaft lines",
    )
    analyze.add_argument(
        "--rpm-tolerance",
        type=_percent,
        default=100 * SPEED_TOLERANCE,
        metavar="PERCENT",
        help="how far the shaft may turn from the nominal speed, in per cent (default: %(default)g)",
    )
    machine = analyze.add_argument_group("the machine")
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


def _claim_figure(path: Path, force: bool) -> Path:
    """The temporary file, made now beside `path`, that the figure will be
    drawn into: whether it can be written is known before the analysis.
    Without `force`, anything already at `path` is kept (a link too, even
    one that points nowhere); with it, a folder still is."""
    try:
        mode: int | None = os.lstat(path).st_mode
    except FileNotFoundError:
        mode = None
    if mode is not None and not force:
        raise InputError(f"{path} exists; pass --force to overwrite it")
    if mode is not None and stat.S_ISDIR(mode):
        raise InputError(f"{path} is a folder; a figure cannot take its place")
    temporary = path.parent / f".{path.stem}-{secrets.token_hex(4)}.png"
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        os.close(os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
    except OSError as error:
        raise InputError(f"cannot write the figure into {path.parent}: {error.strerror}") from None
    return temporary


def _write_figure(draw: Callable[[Path], None], temporary: Path, path: Path, force: bool) -> None:
    """Draws the figure into `temporary` and renames it into place: a failed
    write leaves what was at `path` whole.  Without `force` the name is taken
    only where nothing has it, so that of two runs racing for it one writes
    and the other is refused; with it, what is there is replaced (a link
    itself, never what it points to)."""
    try:
        draw(temporary)
        if not force:
            os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
        os.replace(temporary, path)
    except FileExistsError:
        raise InputError(f"{path} exists; pass --force to overwrite it") from None
    except OSError as error:
        raise InputError(f"cannot write the figure {path}: {error.strerror}") from None


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
    with _shown("figure"):
        out.mkdir(parents=True, exist_ok=True)
        figure.draw(
            assessment,
            path,
            record,
            trend,
            truth_fault=design.bpfo_order,
            onset=design.onset_day,
            trend_unit="day",
            trend_label=f"bearing-band level ({assessment.units})",
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


def _analyze(args: argparse.Namespace) -> int:
    record = load_record(
        args.file, args.fs, args.time_column, args.vibration_column, args.tach_column, args.max_samples
    )
    settings = Settings(
        gear_ratio=args.gear_ratio,
        band_hz=tuple(args.band) if args.band else None,
        rpm=args.rpm,
        rpm_tolerance=args.rpm_tolerance / 100,
        bearing=args.bearing,
        units=args.units,
        machine_group=args.machine_group,
        support=args.support,
    )
    check_settings(settings, record.fs, len(record.vibration))
    figure, figure_path, temporary = None, args.out / f"{args.file.stem}.png", None
    if not args.no_figure:
        figure = _figure_module()
        _output_folder(args.out)
        temporary = _claim_figure(figure_path, args.force)
    try:
        if not args.json:
            print(f"running the analysis on {printable(str(args.file))}:", file=sys.stderr)
        progress: Callable[[str], AbstractContextManager[object]] = _shown if not args.json else _unseen
        assessment = assess_record(record, settings, progress)
        drawn = False
        if figure is not None and temporary is not None and assessment.chain is not None:
            with progress("figure"):
                _write_figure(lambda path: figure.draw(assessment, path, record), temporary, figure_path, args.force)
            drawn = True
    finally:
        if temporary is not None:
            temporary.unlink(missing_ok=True)
    if args.json:
        print(json.dumps(to_json(assessment), allow_nan=False))
        return 0
    print(_text_report(args, assessment, record.tach is not None))
    if drawn:
        print(f"\nfigure: {printable(str(figure_path))}")
    return 0


def _unseen(step: str) -> AbstractContextManager[object]:
    return nullcontext()  # beside the JSON, nothing on stderr


def main(argv: Sequence[str] | None = None) -> int:
    """The command line; returns the exit status: 0 done, 1 a demonstration
    that missed an injected quantity, 2 input that cannot be used."""
    args = _parser().parse_args(argv)
    try:
        return _demo(args) if args.command == "demo" else _analyze(args)
    except (InputError, OSError) as error:
        # Names and excerpts of the user's files escaped: one line, nothing a terminal acts on.
        print(f"{PROG}: error: {printable(str(error))}", file=sys.stderr)
    except MemoryError:
        print(f"{PROG}: error: out of memory; the record is too large for this machine", file=sys.stderr)
    return 2
