"""python -m kemo_pkg demo | analyze FILE: the drivetrain demonstration, or the
same chain on a record of your own."""

import argparse
import sys
from pathlib import Path

from .analysis import (
    Row, analyze_record, assess_trend, findings, format_report, group, progress_step, segment_trend,
)
from .records import RecordError, load_record

PROG = "python -m kemo_pkg"

try:
    from . import demo
    from .figure import draw
except ModuleNotFoundError as missing:  # installed without the [demo] extra
    sys.exit(f"{PROG}: error: the figures need {missing.name}; install it with: pip install 'kemo_pkg[demo]'")


def _positive(text):
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be a positive number, not {text}")
    return value


def _parser():
    parser = argparse.ArgumentParser(prog=PROG, description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True, metavar="{demo,analyze}")

    demo_command = commands.add_parser("demo", help="run the chain on a synthetic drivetrain with known truth")
    demo_command.add_argument("--out", type=Path, default=Path("out"), help="folder for demo.png (default: out)")

    analyze = commands.add_parser("analyze", help="run the chain on your own record (.csv or .npz)")
    analyze.add_argument("file", type=Path, help="CSV with a header naming the columns, or NPZ of named arrays")
    analyze.add_argument("--fs", type=_positive, metavar="HZ", help="sample rate, when the record has no time axis")
    analyze.add_argument("--gear-ratio", type=_positive, default=1.0, metavar="R",
                         help="high-speed revolutions per slow-shaft revolution (default: 1, no gear stage)")
    analyze.add_argument("--band", type=_positive, nargs=2, metavar=("LOW", "HIGH"),
                         help="envelope band in Hz (default: 8%% to 20%% of the sample rate)")
    analyze.add_argument("--out", type=Path, default=Path("out"), help="folder for the figure (default: out)")
    analyze.add_argument("--force", action="store_true", help="overwrite a figure that is already there")
    analyze.add_argument("--time-column", metavar="NAME", help="time axis column (default: time, t)")
    analyze.add_argument("--vibration-column", metavar="NAME", help="vibration column (default: vibration, vib, accel)")
    analyze.add_argument("--tach-column", metavar="NAME", help="tachometer column (default: tach, tachometer)")
    return parser


def _fail(message):
    print(f"{PROG}: error: {message}", file=sys.stderr)
    return 2


def _output_folder(out: Path):
    if out.exists() and not out.is_dir():
        raise NotADirectoryError(f"output folder {out} is a file")
    out.mkdir(parents=True, exist_ok=True)


def _demo(args):
    try:
        _output_folder(args.out)
    except OSError as error:
        return _fail(error)
    print("running the chain on the synthetic drivetrain:", file=sys.stderr)
    report, recovered, _ = demo.run(args.out)
    print(report)
    return 0 if recovered else 1


def _analyze(args):
    try:
        record = load_record(args.file, args.fs, args.time_column, args.vibration_column, args.tach_column)
        band = tuple(args.band) if args.band else None
        if band and not band[0] < band[1] < record.fs / 2:
            raise RecordError(f"envelope band {band[0]:g}-{band[1]:g} Hz must rise and stay below half the"
                              f" sample rate ({record.fs / 2:g} Hz)")
        figure_path = args.out / f"{args.file.stem}.png"
        if figure_path.exists() and not args.force:
            raise RecordError(f"{figure_path} exists; pass --force to overwrite it")
        _output_folder(args.out)
    except (RecordError, OSError) as error:
        return _fail(error)

    print(f"running the chain on {args.file}:", file=sys.stderr)
    analysis = analyze_record(record, args.gear_ratio, band, progress=True)
    with progress_step("trend over the record"):
        trend = assess_trend(segment_trend(record))
    with progress_step("figure"):
        draw(analysis, trend, figure_path, record=record, trend_unit="segment", trend_label="segment RMS (g)")
    title = [
        f"kemo_pkg analyze: {args.file} ({len(record.vibration)} samples, {analysis.duration_s:.3g} s"
        f" at {record.fs:g} Hz, {'with' if record.tach is not None else 'no'} tachometer)",
        "",
    ]
    sections = group(findings(analysis, trend, trend_unit="segment"), lambda f: Row(f.label, f.text))
    print(format_report(title, sections, analysis.notes))
    print(f"\nfigure: {figure_path}")
    return 0


def main(argv=None) -> int:
    args = _parser().parse_args(argv)
    return _demo(args) if args.command == "demo" else _analyze(args)


if __name__ == "__main__":
    sys.exit(main())
