"""The bearing diagnosis over a labelled set of real records: one
`python -m kemo_pkg analyze FILE --json --no-figure` per record, the verdicts
against the labels, and the time each took.

    python tools/evaluate.py FOLDER

FOLDER holds MATLAB records and `labels.csv` (file, fault, ...), as the
fan-end development set does: 12 kHz records whose vibration variable ends in
`_FE_time`, from a 6203 bearing with the defect orders below.
"""

import contextlib
import csv
import io
import json
import statistics
import sys
import time
from pathlib import Path

import scipy.io

from kemo_pkg.__main__ import main

FS_HZ = 12000
BEARING = "BPFO=3.0530,BPFI=4.9469,BSF=1.994,FTF=0.3817"
CLASSES = ("outer_race", "inner_race", "ball", "cage", "none")


def _vibration_variable(path: Path) -> str:
    return next(name for name, _, _ in scipy.io.whosmat(path) if name.endswith("_FE_time"))


def _diagnose(path: Path) -> tuple[str, float]:
    argv = ["analyze", str(path), "--fs", str(FS_HZ), "--vibration-column", _vibration_variable(path),
            "--bearing", BEARING, "--json", "--no-figure"]
    out = io.StringIO()
    start = time.perf_counter()
    with contextlib.redirect_stdout(out):
        code = main(argv)
    seconds = time.perf_counter() - start
    if code != 0:
        return f"exit {code}", seconds
    bearing = json.loads(out.getvalue())["bearing"]
    return (bearing["verdict"] if bearing else "no diagnosis"), seconds


def main_evaluate(folder: Path) -> int:
    with open(folder / "labels.csv", newline="") as labels:
        rows = list(csv.DictReader(labels))
    table: dict[str, dict[str, int]] = {}
    seconds = []
    for row in rows:
        verdict, took = _diagnose(folder / row["file"])
        seconds.append(took)
        table.setdefault(row["fault"], {}).setdefault(verdict, 0)
        table[row["fault"]][verdict] += 1
        print(f"  {row['file']:<22} {row['fault']:<11} -> {verdict:<11} {took:.2f} s", file=sys.stderr)
    verdicts = list(CLASSES) + sorted({v for counts in table.values() for v in counts} - set(CLASSES))
    width = max(len(v) for v in verdicts) + 2
    print(f"{'label':<12}" + "".join(f"{v:>{width}}" for v in verdicts) + f"{'right':>{width}}")
    right = 0
    for label in [c for c in CLASSES if c in table]:
        counts = table[label]
        right += counts.get(label, 0)
        print(f"{label:<12}" + "".join(f"{counts.get(v, 0):>{width}}" for v in verdicts)
              + f"{counts.get(label, 0):>{width - 3}}/{sum(counts.values()):<2}")
    healthy = table.get("none", {})
    false_alarms = sum(n for v, n in healthy.items() if v != "none")
    print(f"right: {right} of {len(rows)}; false alarms on healthy records: {false_alarms} of {sum(healthy.values())}")
    print(f"seconds per record (the whole command, in process): median {statistics.median(seconds):.3f},"
          f" max {max(seconds):.3f}")
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sys.exit(main_evaluate(Path(sys.argv[1])))
