"""The bearing diagnosis over labelled sets of real records: one
`python -m kemo_pkg analyze FILE --fs .. --rpm .. --vibration-column ..
--bearing .. --json --no-figure` per record, the verdicts against the labels,
and the time each took.

    python tools/evaluate.py [--json-dir DIR] [--first-seconds S] [--resample-to HZ] [--noise SHARE]
                             FOLDER [FOLDER ...]

Each FOLDER holds records (of any format `analyze` reads) and `labels.csv`
with the columns file, fault, fs_hz, rpm, bpfo, bpfi, bsf, ftf and vibration
(a blank cell leaves its flag out).  The tables are printed per folder (one
rig each) and pooled.  `--json-dir` keeps each record's JSON output there,
one file per record.

`--first-seconds`, `--resample-to` and `--noise` hand the command each
record as another rig would: only its first seconds, sampled at another
rate (by polyphase resampling), or with white noise of SHARE times its RMS
added, as a noisier sensor or amplifier would (drawn from a generator
seeded by the file's name: every run hands over the same record).  A
verdict that changes with them hangs on the record's length, on the rate
its rig happened to sample at or on how quiet its sensor was.
"""

import argparse
import contextlib
import csv
import io
import json
import statistics
import sys
import tempfile
import time
import zlib
from fractions import Fraction
from pathlib import Path

import numpy as np
from scipy.signal import firwin, resample_poly

from kemo_pkg.cli import main
from kemo_pkg.records import load_record

CLASSES = ("outer_race", "inner_race", "ball", "cage", "none")
SENSOR_FAULT = "sensor fault"


def labels(folder: Path) -> list[dict[str, str]]:
    """The rows of the folder's `labels.csv`.  A spreadsheet may save the
    table with a byte-order mark and pad its cells."""
    with open(folder / "labels.csv", newline="", encoding="utf-8-sig") as table:
        return [{key.strip(): (value or "").strip() for key, value in row.items() if key is not None}
                for row in csv.DictReader(table)]


def command(folder: Path, row: dict[str, str]) -> list[str]:
    """The command for one labelled record; a blank cell leaves its flag out, as a user would."""
    argv = ["analyze", str(folder / row["file"])]
    for flag, key in (("--fs", "fs_hz"), ("--rpm", "rpm"), ("--vibration-column", "vibration")):
        if row.get(key):
            argv += [flag, row[key]]
    if all(row.get(key) for key in ("bpfo", "bpfi", "bsf", "ftf")):
        argv += ["--bearing", ",".join(f"{key.upper()}={row[key]}" for key in ("bpfo", "bpfi", "bsf", "ftf"))]
    return argv + ["--json", "--no-figure"]


def derived(folder: Path, row: dict[str, str], scratch: Path, first_seconds: float | None,
            resample_to_hz: float | None, noise_share: float | None) -> dict[str, str]:
    """The record cut to its first seconds, sampled at another rate and
    with noise added, saved in `scratch`, and its row there."""
    record = load_record(folder / row["file"], fs=float(row["fs_hz"]) if row.get("fs_hz") else None,
                         vibration_column=row.get("vibration") or None)
    vibration, fs = np.asarray(record.vibration, float), record.fs
    if first_seconds is not None:
        vibration = vibration[: round(first_seconds * fs)]
    if resample_to_hz is not None:
        ratio = Fraction(resample_to_hz / fs).limit_denominator(1000)
        up, down = ratio.numerator, ratio.denominator
        # A long filter, its stopband (100 dB down) starting at the lower Nyquist: an upsampled record's
        # images and a downsampled one's aliases stay under every band's floor, where a short filter would
        # leave them as bands of a mirrored record for the diagnosis to read.
        taps = firwin(128 * max(up, down) + 1, 0.9 / max(up, down), window=("kaiser", 10.0))
        vibration = resample_poly(vibration, up, down, window=taps)
        fs = fs * up / down
    if noise_share is not None:
        rng = np.random.default_rng(zlib.crc32(row["file"].encode()))
        vibration = vibration + noise_share * np.std(vibration) * rng.standard_normal(vibration.size)
    path = scratch / f"{folder.name}--{Path(row['file']).stem}.npy"
    np.save(path, vibration)
    return dict(row, file=path.name, fs_hz=repr(fs), vibration="")


def diagnose(argv: list[str]) -> tuple[str, float, dict | None]:
    out, err = io.StringIO(), io.StringIO()
    start = time.perf_counter()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        code = main(argv)
    seconds = time.perf_counter() - start
    if code != 0:
        return f"exit {code}", seconds, None
    result = json.loads(out.getvalue())
    if not result["quality"]["usable"]:
        return SENSOR_FAULT, seconds, result
    bearing = result["bearing"]
    return (bearing["verdict"] if bearing else "no diagnosis"), seconds, result


def print_table(title: str, outcomes: list[tuple[str, str]], seconds: list[float] | None = None) -> None:
    """The confusion table of (label, verdict) pairs and its tallies."""
    table: dict[str, dict[str, int]] = {}
    for label, verdict in outcomes:
        table.setdefault(label, {}).setdefault(verdict, 0)
        table[label][verdict] += 1
    verdicts = list(CLASSES) + sorted({v for counts in table.values() for v in counts} - set(CLASSES))
    width = max(len(v) for v in verdicts) + 2
    print(f"\n{title}")
    print(f"{'label':<12}" + "".join(f"{v:>{width}}" for v in verdicts) + f"{'right':>{width}}")
    for label in [c for c in CLASSES if c in table]:
        counts = table[label]
        print(f"{label:<12}" + "".join(f"{counts.get(v, 0):>{width}}" for v in verdicts)
              + f"{counts.get(label, 0):>{width - 3}}/{sum(counts.values()):<2}")
    right = sum(label == verdict for label, verdict in outcomes)
    defects = set(CLASSES) - {"none"}
    wrong = sum(label in defects and verdict in defects and verdict != label for label, verdict in outcomes)
    missed = sum(label in defects and verdict == "none" for label, verdict in outcomes)
    healthy = [verdict for label, verdict in outcomes if label == "none"]
    false_alarms = sum(verdict != "none" for verdict in healthy)
    sensor = sum(verdict == SENSOR_FAULT for _, verdict in outcomes)
    print(f"right {right} of {len(outcomes)}; wrong defect named {wrong}; missed {missed};"
          f" false alarms on healthy records {false_alarms} of {len(healthy)}; sensor-fault verdicts {sensor}")
    if seconds:
        print(f"seconds per record (the whole command, in process): median {statistics.median(seconds):.3f},"
              f" max {max(seconds):.3f}")


def evaluate(folders: list[Path], json_dir: Path | None = None, first_seconds: float | None = None,
             resample_to_hz: float | None = None, noise_share: float | None = None) -> int:
    pooled: list[tuple[str, str]] = []
    pooled_seconds: list[float] = []
    for folder in folders:
        rows = labels(folder)
        outcomes, seconds = [], []
        for row in rows:
            if first_seconds is None and resample_to_hz is None and noise_share is None:
                verdict, took, result = diagnose(command(folder, row))
            else:
                with tempfile.TemporaryDirectory() as scratch:
                    derived_row = derived(folder, row, Path(scratch), first_seconds, resample_to_hz, noise_share)
                    verdict, took, result = diagnose(command(Path(scratch), derived_row))
            if json_dir is not None and result is not None:
                json_dir.mkdir(parents=True, exist_ok=True)
                (json_dir / f"{folder.name}--{Path(row['file']).stem}.json").write_text(json.dumps(result))
            bearing = (result or {}).get("bearing") or {}
            confidence = bearing.get("confidence") or ""
            outcomes.append((row["fault"], verdict))
            seconds.append(took)
            print(f"  {folder.name:<18} {row['file']:<22} {row['fault']:<11} -> {verdict:<12} {confidence:<9}"
                  f" {took:.2f} s", file=sys.stderr)
        print_table(f"{folder.name} ({len(rows)} records)", outcomes, seconds)
        pooled += outcomes
        pooled_seconds += seconds
    if len(folders) > 1:
        print_table(f"pooled over {len(folders)} rigs ({len(pooled)} records)", pooled, pooled_seconds)
    return 0


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--json-dir", type=Path)
    parser.add_argument("--first-seconds", type=float, help="judge only each record's first seconds")
    parser.add_argument("--resample-to", type=float, metavar="HZ", help="judge each record sampled at this rate")
    parser.add_argument("--noise", type=float, metavar="SHARE", help="add white noise of SHARE times each record's RMS")
    parser.add_argument("folders", type=Path, nargs="+")
    args = parser.parse_args()
    sys.exit(evaluate(args.folders, args.json_dir, args.first_seconds, args.resample_to, args.noise))
