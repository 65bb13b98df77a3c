"""python -m kemo_pkg demo | analyze FILE: the drivetrain demonstration, or the
same analysis on a record of your own."""

import argparse
import json
import sys
from contextlib import nullcontext
from pathlib import Path

from .analysis import Settings, assess_record, assess_trend, progress_step, segment_trend, stable_band
from .bearing import SPEED_TOLERANCE, parse_defect_orders, parse_geometry
from .records import RecordError, load_record
from .report import Row, findings, format_report, group, to_json
from .severity import UNITS_TO_M_S2

PROG = "python -m kemo_pkg"


def _positive(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a positive number, not {text}") from None
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number, not {text}")
    return value


def _percent(text):
    # Beyond a third the search would reach the neighbouring shaft harmonics.
    value = _positive(text)
    if value >= 100 / 3:
        raise argparse.ArgumentTypeError(f"must be below 33 per cent, not {text}")
    return value


def _gear_ratio(text):
    # The slow shaft turns slower: below 1 the "slow-shaft revolutions" would
    # outnumber the pulses, a thousand to one at 0.001, and fill the memory.
    value = _positive(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1 (high-speed revolutions per slow-shaft revolution),"
                                         f" not {text}")
    return value


def _parsed_by(parse):
    def parse_argument(text):
        try:
            return parse(text)
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error)) from None
    return parse_argument


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        # One line, as for a record that cannot be read; the usage is --help's job.
        self.exit(2, f"{PROG}: error: {message}\n")


def _parser():
    # The texts of --help and the metavars stand on lines of their own: they
    # are documentation, and make mutate leaves them as they are.
    parser = _Parser(prog=PROG, description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser,
                                     metavar="{demo,analyze}")

    demo_command = commands.add_parser("demo",
                                       help="run the chain on a synthetic drivetrain with known truth")
    demo_command.add_argument("--out", type=Path, default=Path("out"),
                              help="folder for demo.png (default: out)")

    analyze = commands.add_parser("analyze",
                                  help="run the analysis on your own record (.csv, .npz, .mat, .wav)")
    analyze.add_argument("file", type=Path,
                         help="CSV with a header naming the columns, NPZ of named arrays,"
                              " MATLAB v5/v7 file or WAV file")
    analyze.add_argument("--fs", type=_positive,
                         metavar="HZ",
                         help="sample rate, when the record has no time axis and the file none of its own")
    analyze.add_argument("--rpm", type=_positive,
                         metavar="RPM",
                         help="nominal shaft speed (default: the file's rpm variable); refined from the spectrum")
    analyze.add_argument("--rpm-tolerance", type=_percent, default=100 * SPEED_TOLERANCE,
                         metavar="PERCENT",
                         help="how far the shaft may turn from --rpm, in per cent (default: %(default)g); the speed is"
                              " read from the shaft lines within it")
    machine = analyze.add_argument_group("the machine")
    bearing = machine.add_mutually_exclusive_group()
    bearing.add_argument("--bearing", type=_parsed_by(parse_defect_orders),
                         metavar="BPFO=..,BPFI=..,BSF=..,FTF=..",
                         help="defect frequencies of the bearing in orders of shaft speed")
    bearing.add_argument("--bearing-geometry", type=_parsed_by(parse_geometry), dest="bearing",
                         metavar="balls=N,ball_diameter=D,pitch_diameter=D,contact_angle=DEG",
                         help="bearing geometry, turned into defect orders")
    machine.add_argument("--gear-ratio", type=_gear_ratio, default=1.0,
                         metavar="R",
                         help="high-speed revolutions per slow-shaft revolution (default: 1, no gear stage)")
    machine.add_argument("--band", type=_positive, nargs=2,
                         metavar=("LOW", "HIGH"),
                         help="envelope band in Hz (default: chosen from the record when a bearing is given,"
                              " else 8%% to 20%% of the sample rate)")
    machine.add_argument("--units", choices=sorted(UNITS_TO_M_S2), default="g",
                         help="unit of the vibration record (default: g)")
    machine.add_argument("--machine-group", type=int, choices=(1, 2), default=1,
                         help="ISO 20816-3 group: 1 above 300 kW, 2 from 15 to 300 kW (default: 1)")
    machine.add_argument("--support", choices=("rigid", "flexible"), default="rigid",
                         help="ISO 20816-3 support (default: rigid)")
    output = analyze.add_argument_group("output")
    output.add_argument("--json", action="store_true",
                        help="print one JSON object instead of the table")
    output.add_argument("--no-figure", action="store_true",
                        help="draw no figure (needs no matplotlib)")
    output.add_argument("--out", type=Path, default=Path("out"),
                        help="folder for the figure (default: out)")
    output.add_argument("--force", action="store_true",
                        help="overwrite a figure that is already there")
    columns = analyze.add_argument_group("columns")
    columns.add_argument("--time-column",
                         metavar="NAME",
                         help="time axis column (default: time, t)")
    columns.add_argument("--vibration-column",
                         metavar="NAME",
                         help="vibration column or variable (default: vibration, vib, accel; in a MATLAB or"
                              " WAV file the only long vector)")
    columns.add_argument("--tach-column",
                         metavar="NAME",
                         help="tachometer column (default: tach, tachometer)")
    return parser


def _fail(message):
    print(f"{PROG}: error: {message}", file=sys.stderr)
    return 2


def _output_folder(out: Path):
    if out.exists() and not out.is_dir():
        raise NotADirectoryError(f"output folder {out} is a file")
    out.mkdir(parents=True, exist_ok=True)


def _figure_module():
    try:
        from . import figure
    except ModuleNotFoundError as missing:  # installed without the [demo] extra
        raise RecordError(f"the figures need {missing.name}; install it with: pip install 'kemo_pkg[demo]',"
                          " or pass --no-figure") from None
    return figure


def _demo(args):
    try:
        _output_folder(args.out)
        _figure_module()
    except (RecordError, OSError) as error:
        return _fail(error)
    from . import demo

    print("running the chain on the synthetic drivetrain:", file=sys.stderr)
    report, recovered, _ = demo.run(args.out)
    print(report)
    return 0 if recovered else 1


def _settings(args, fs) -> Settings:
    band = tuple(args.band) if args.band else None
    if band and not band[0] < band[1] < fs / 2:
        raise RecordError(f"envelope band {band[0]:g}-{band[1]:g} Hz must rise and stay below half the"
                          f" sample rate ({fs / 2:g} Hz)")
    if band and not stable_band(band, fs):
        raise RecordError(f"envelope band {band[0]:g}-{band[1]:g} Hz is too narrow, or too close to 0 Hz or to"
                          f" half the sample rate, for a stable band-pass filter at {fs:g} Hz; widen it or move"
                          " it towards the middle")
    return Settings(gear_ratio=args.gear_ratio, band_hz=band, rpm=args.rpm, rpm_tolerance=args.rpm_tolerance / 100,
                    bearing=args.bearing,
                    units=args.units, machine_group=args.machine_group, support=args.support)


def _analyze(args):
    try:
        record = load_record(args.file, args.fs, args.time_column, args.vibration_column, args.tach_column)
        settings = _settings(args, record.fs)
        figure_path = None
        if not args.no_figure:
            figure = _figure_module()
            figure_path = args.out / f"{args.file.stem}.png"
            if figure_path.exists() and not args.force:
                raise RecordError(f"{figure_path} exists; pass --force to overwrite it")
            _output_folder(args.out)
    except (RecordError, OSError) as error:
        return _fail(error)

    progress = not args.json
    if progress:
        print(f"running the analysis on {args.file}:", file=sys.stderr)
    assessment = assess_record(record, settings, progress=progress)
    trend = None
    if assessment.chain is not None:
        with progress_step("trend over the record") if progress else nullcontext():
            trend = assess_trend(segment_trend(record))
        if figure_path is not None:
            with progress_step("figure") if progress else nullcontext():
                figure.draw(assessment, trend, figure_path, record=record, trend_unit="segment",
                            trend_label=f"segment RMS ({settings.units})")
    if args.json:
        print(json.dumps(to_json(assessment, trend), allow_nan=False))
        return 0
    tach = "with" if record.tach is not None else "no"
    title = [
        f"kemo_pkg analyze: {args.file} ({assessment.samples} samples, {assessment.duration_s:.3g} s"
        f" at {record.fs:g} Hz, {tach} tachometer)",
        "",
    ]
    sections = group(findings(assessment, trend, trend_unit="segment"), lambda f: Row(f.label, f.text))
    print(format_report(title, sections, assessment.notes))
    if figure_path is not None and assessment.chain is not None:
        print(f"\nfigure: {figure_path}")
    return 0


def main(argv=None) -> int:
    args = _parser().parse_args(argv)
    return _demo(args) if args.command == "demo" else _analyze(args)


if __name__ == "__main__":
    sys.exit(main())
