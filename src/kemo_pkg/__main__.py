"""python -m kemo_pkg demo | analyze FILE: the drivetrain demonstration, or the
same analysis on a record of your own."""

import argparse
import csv
import json
import sys
import tempfile
from contextlib import nullcontext
from datetime import datetime
from pathlib import Path

from .analysis import Settings, assess_record, assess_trend, check_band, progress_step, segment_trend
from .bearing import parse_defect_orders, parse_geometry
from .fleet import (Job, fleet_table, jobs_from_folder, jobs_from_manifest, measurement, new_jobs, record_time,
                    run_fleet, table_json)
from .history import DEFAULT_TARGET, append, content_hash, machine_history, machines, open_history
from .records import RecordError, load_record
from .report import Row, findings, format_report, group, to_json
from .severity import UNITS_TO_M_S2
from .trend import FINDING_LABELS, MIN_READINGS, machine_trend, trend_json

PROG = "python -m kemo_pkg"


def _positive(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a positive number, not {text}") from None
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number, not {text}")
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


def _machine_arguments(parser):
    """What the analyst knows of the machine, for `analyze` and `fleet`."""
    machine = parser.add_argument_group("the machine")
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


def _history_argument(group):
    group.add_argument("--history", default=DEFAULT_TARGET,
                       metavar="TARGET",
                       help=f"SQLite file or database URL (postgresql://...) of the history (default: {DEFAULT_TARGET})")


def _parser():
    # The texts of --help and the metavars stand on lines of their own: they
    # are documentation, and make mutate leaves them as they are.
    parser = _Parser(prog=PROG, description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser,
                                     metavar="{demo,analyze,trend,fleet}")

    demo_command = commands.add_parser("demo",
                                       help="run the chain on a synthetic drivetrain with known truth")
    demo_command.add_argument("--out", type=Path, default=Path("out"),
                              help="folder for demo.png (default: out)")
    demo_command.add_argument("--fleet", action="store_true",
                              help="a synthetic fleet of 20 machines over a year instead, through fleet and trend")

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
    _machine_arguments(analyze)
    history = analyze.add_argument_group("history")
    history.add_argument("--machine",
                         metavar="NAME",
                         help="append the findings to this machine's history")
    history.add_argument("--taken", type=_parsed_by(datetime.fromisoformat),
                         metavar="ISO-8601",
                         help="when the record was taken (default: a date in the file name, else the file's time);"
                              " UTC unless a zone is given")
    _history_argument(history)
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
    trend = commands.add_parser("trend",
                                help="a machine's trends, alarms and zone outlook, from its history")
    trend.add_argument("machine",
                       metavar="NAME",
                       help="the machine, as stored by analyze --machine or fleet")
    _history_argument(trend)
    trend.add_argument("--json", action="store_true",
                       help="print one JSON object instead of the table")
    trend.add_argument("--figure", action="store_true",
                       help="draw the trends into --out, NAME-trend.png")
    trend.add_argument("--out", type=Path, default=Path("out"),
                       help="folder for the figure (default: out)")
    trend.add_argument("--force", action="store_true",
                       help="overwrite a figure that is already there")

    fleet = commands.add_parser("fleet",
                                help="analyse every new record of a fleet on Dask, then the fleet table")
    fleet.add_argument("folder", type=Path,
                       help="one sub-folder of records per machine (or the folder the manifest's paths start from)")
    fleet.add_argument("--manifest", type=Path,
                       metavar="CSV",
                       help="the records: path, machine, taken, and optionally fs, rpm, bearing, vibration")
    _history_argument(fleet)
    where = fleet.add_mutually_exclusive_group()
    where.add_argument("--workers", type=int, default=2,
                       metavar="N",
                       help="worker processes of a local Dask cluster (default: 2; 0: in this process)")
    where.add_argument("--scheduler",
                       metavar="ADDRESS",
                       help="address of a running Dask distributed scheduler, e.g. tcp://10.0.0.5:8786")
    fleet.add_argument("--fs", type=_positive,
                       metavar="HZ",
                       help="sample rate of records without a time axis or a rate of their own")
    _machine_arguments(fleet)
    fleet.add_argument("--json", action="store_true",
                       help="print the fleet table as one JSON object")
    fleet.add_argument("--csv", type=Path,
                       metavar="FILE",
                       help="write the fleet table to this CSV file")
    fleet.add_argument("--force", action="store_true",
                       help="overwrite a CSV file that is already there")
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
    if args.fleet:
        return _demo_fleet(args)
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


def _demo_fleet(args):
    """The synthetic fleet through `fleet` on a local cluster and `trend`, each alarm beside its truth."""
    try:
        _output_folder(args.out)
        figure = _figure_module()
        progress_bar = _progress_bar()
        client = _dask_client(argparse.Namespace(scheduler=None, workers=2))
    except (RecordError, OSError) as error:
        return _fail(error)
    from .demo_fleet import FleetDesign, build_fleet, truth_rows

    design = FleetDesign()
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(scratch)
        with progress_step(f"building {design.machines} machines x {design.measurements} records into {folder}"):
            manifest = build_fleet(folder, design)
        engine = open_history(folder / "history.sqlite")
        try:
            analysed_now = _run_fleet(jobs_from_manifest(manifest, folder, Settings(band_hz=design.band_hz)),
                                      engine, client, progress_bar)
        finally:
            client.close()
        table = fleet_table(engine)
        engine.dispose()
    sections = truth_rows(design, table)
    title = [f"kemo_pkg demo --fleet: {design.machines} pumps, {design.measurements} measurements each over"
             f" {design.days:g} days, {design.duration_s:g} s at {design.fs:g} Hz", ""]
    print(format_report(title, sections))
    print("\n" + _fleet_text(table, analysed_now))
    machine = design.name(design.spalls[0][0])
    trend = next(row.trend for row in table if row.machine == machine)
    print("\n" + _trend_text(machine, trend))
    figure_path = args.out / "fleet-trend.png"
    figure.draw_machine_trend(machine, trend, figure_path)
    print(f"\nfigure: {figure_path}")
    return 0 if all(row.passed for _, rows in sections for row in rows) else 1


def _settings(args, fs) -> Settings:
    band = tuple(args.band) if args.band else None
    if band:
        try:
            check_band(band, fs)
        except ValueError as error:
            raise RecordError(str(error)) from None
    return Settings(gear_ratio=args.gear_ratio, band_hz=band, rpm=args.rpm, bearing=args.bearing,
                    units=args.units, machine_group=args.machine_group, support=args.support)


def _analyze(args):
    try:
        if args.machine is None and (args.taken is not None or args.history != DEFAULT_TARGET):
            raise RecordError("--taken and --history need --machine NAME")
        record = load_record(args.file, args.fs, args.time_column, args.vibration_column, args.tach_column)
        settings = _settings(args, record.fs)
        engine = None if args.machine is None else open_history(args.history)
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
    stored = None if engine is None else _store_analysis(args, assessment, settings, engine)
    if args.json:
        document = to_json(assessment, trend)
        if stored is not None:
            document["history"] = stored
        print(json.dumps(document, allow_nan=False))
        return 0
    tach = "with" if record.tach is not None else "no"
    title = [
        f"kemo_pkg analyze: {args.file} ({assessment.samples} samples, {assessment.duration_s:.3g} s"
        f" at {record.fs:g} Hz, {tach} tachometer)",
        "",
    ]
    sections = group(findings(assessment, trend, trend_unit="segment"), lambda f: Row(f.label, f.text))
    print(format_report(title, sections, assessment.notes))
    if stored is not None:
        print(f"\nhistory: {stored['machine']}, taken {stored['taken']} (from the {stored['taken_from']}),"
              f" {'stored in' if stored['stored'] else 'already in'} {args.history}")
    if figure_path is not None and assessment.chain is not None:
        print(f"\nfigure: {figure_path}")
    return 0


def _store_analysis(args, assessment, settings, engine) -> dict:
    """Appends the record's findings to the machine's history; what was stored, and where its date came from."""
    given_by = "flag" if args.taken is not None else None
    taken, taken_from = record_time(args.file, args.taken, given_by)
    job = Job(args.machine, str(args.file), taken, taken_from, content_hash(args.file), settings)
    added = append(engine, [measurement(job, document=to_json(assessment))])
    engine.dispose()
    return {"machine": args.machine, "taken": taken.isoformat(), "taken_from": taken_from, "stored": added == 1}


def _trend(args):
    try:
        engine = open_history(args.history)
        readings = machine_history(engine, args.machine)
        if not readings:
            known = machines(engine)
            raise RecordError(f"no measurement of {args.machine} in {args.history}"
                              f" ({'machines: ' + ', '.join(known) if known else 'it is empty'})")
        figure_path = None
        if args.figure:
            figure = _figure_module()
            figure_path = args.out / f"{args.machine}-trend.png"
            if figure_path.exists() and not args.force:
                raise RecordError(f"{figure_path} exists; pass --force to overwrite it")
            _output_folder(args.out)
    except (RecordError, OSError) as error:
        return _fail(error)
    trend = machine_trend(readings)
    engine.dispose()
    if args.json:
        print(json.dumps(trend_json(args.machine, trend), allow_nan=False))
    else:
        print(_trend_text(args.machine, trend))
    if figure_path is not None:
        if trend.trends:
            figure.draw_machine_trend(args.machine, trend, figure_path)
        where = figure_path if trend.trends else f"none, no finding has the {MIN_READINGS} readings a trend needs"
        print(f"\nfigure: {where}", file=sys.stderr if args.json else sys.stdout)
    return 0


def _trend_text(machine: str, trend) -> str:
    lines = [f"kemo_pkg trend: {machine}, {trend.measurements} measurements the sensor could be trusted for", ""]
    if trend.trends:
        lines.append(f"  {'finding':22} {'readings':>8} {'latest':>9} {'trend':>9} {'severity':>9} {'z-score':>8}"
                     f" {'per day':>10}  alarm")
    for finding, t in trend.trends.items():
        alarm = "none" if t.alarm_taken is None else f"raised {t.alarm_taken:%Y-%m-%d %H:%M}"
        lines.append(f"  {FINDING_LABELS[finding]:22} {len(t.values):8d} {t.values[-1]:9.4g} {t.robust[-1]:9.4g}"
                     f" {t.severity[-1]:9.4g} {t.zscore[-1]:8.2f} {t.velocity_per_day[-1]:+10.3g}  {alarm}")
    for finding, count in trend.too_few.items():
        lines.append(f"  {FINDING_LABELS[finding]:22} {count:8d}  too few readings for a trend (it needs {MIN_READINGS})")
    outlook = trend.outlook
    if outlook is not None:
        lines.append("")
        if outlook.next_zone is None:
            lines.append(f"zone now: {outlook.zone}, the highest")
        else:
            when = ("not reached at the current velocity" if outlook.projected is None
                    else f"projected {outlook.projected:%Y-%m-%d} at the current velocity")
            lines.append(f"zone now: {outlook.zone}; zone {outlook.next_zone} from"
                         f" {outlook.boundaries_mm_s['ABC'.index(outlook.zone)]:g} mm/s, {when}")
    return "\n".join(lines)


def _dask_client(args):
    """A client of the scheduler at --scheduler, or of a local cluster of --workers processes; None for 0 workers."""
    if args.scheduler is None and args.workers == 0:
        return None
    try:
        from distributed import Client, LocalCluster
    except ModuleNotFoundError as missing:
        raise RecordError(f"the fleet runs on Dask distributed ({missing.name} is missing); install it with:"
                          " pip install 'kemo_pkg[fleet]', or pass --workers 0") from None
    if args.scheduler is not None:
        try:
            return Client(args.scheduler, timeout="10s")
        except (OSError, ValueError, TimeoutError) as error:
            raise RecordError(f"no Dask scheduler at {args.scheduler} ({error})") from None
    if args.workers < 0:
        raise RecordError(f"--workers must be 0 or more, not {args.workers}")
    cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=None)
    return Client(cluster)


def _progress_bar():
    try:
        from tqdm import tqdm
    except ModuleNotFoundError:
        raise RecordError("the fleet's progress bar needs tqdm; install it with: pip install 'kemo_pkg[fleet]'") from None
    return tqdm


def _run_fleet(jobs, engine, client, progress_bar) -> int:
    """Analyses the records the history does not hold yet, with a progress
    bar of records done, failures and the rate; how many were analysed."""
    todo = new_jobs(jobs, engine)
    failures = 0
    with progress_bar(total=len(todo), unit="record", file=sys.stderr, mininterval=1.0) as bar:
        for m in run_fleet(todo, engine, client):
            failures += m.error is not None
            bar.set_postfix(failed=failures, refresh=False)
            bar.update()
    return len(todo)


def _fleet_text(table, analysed_now: int) -> str:
    lines = [f"{'machine':16} {'measurements':>12} {'last taken':>16}  {'verdict':14} {'zone':4}  {'failed':>6}  alarms"]
    for row in table:
        alarms = ", ".join(f"{finding} {raised:%Y-%m-%d}" for finding, raised in row.alarms) or "-"
        last = "-" if row.last_taken is None else f"{row.last_taken:%Y-%m-%d %H:%M}"
        lines.append(f"{row.machine:16} {row.measurements:12d} {last:>16}  {row.verdict or '-':14} {row.zone or '-':4}"
                     f"  {row.failed:6d}  {alarms}")
    lines.append(f"\n{len(table)} machines, {analysed_now} records analysed now")
    return "\n".join(lines)


def _write_table_csv(path: Path, document: dict) -> None:
    with open(path, "w", newline="") as file:
        writer = csv.writer(file)
        writer.writerow(["machine", "measurements", "last_taken", "verdict", "zone", "alarms", "failed"])
        for row in document["machines"]:
            alarms = "; ".join(f"{a['finding']} {a['raised']}" for a in row["alarms"])
            writer.writerow([row["machine"], row["measurements"], row["last_taken"], row["verdict"], row["zone"],
                             alarms, row["failed"]])


def _fleet(args):
    try:
        if args.csv is not None and args.csv.exists() and not args.force:
            raise RecordError(f"{args.csv} exists; pass --force to overwrite it")
        settings = Settings(gear_ratio=args.gear_ratio, band_hz=tuple(args.band) if args.band else None,
                            bearing=args.bearing, units=args.units, machine_group=args.machine_group,
                            support=args.support)
        if args.manifest is not None:
            jobs = jobs_from_manifest(args.manifest, args.folder, settings, args.fs)
        else:
            jobs = jobs_from_folder(args.folder, settings, args.fs)
        progress_bar = _progress_bar()
        engine = open_history(args.history)
        client = _dask_client(args)
    except (RecordError, OSError) as error:
        return _fail(error)
    try:
        analysed_now = _run_fleet(jobs, engine, client, progress_bar)
    finally:
        if client is not None:
            client.close()
    table = fleet_table(engine)
    engine.dispose()
    document = table_json(table, analysed_now)
    if args.csv is not None:
        _write_table_csv(args.csv, document)
    print(json.dumps(document) if args.json else _fleet_text(table, analysed_now))
    return 0


def main(argv=None) -> int:
    args = _parser().parse_args(argv)
    return {"demo": _demo, "analyze": _analyze, "trend": _trend, "fleet": _fleet}[args.command](args)


if __name__ == "__main__":
    sys.exit(main())
