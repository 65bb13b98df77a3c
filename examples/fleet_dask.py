"""A fleet of drivetrains, one record each, analysed in parallel with Dask.

    python examples/fleet_dask.py                 # 16 synthetic records
    python examples/fleet_dask.py RECORD.npz ...  # your own records

The analysis is the one `python -m kemo_pkg analyze` runs; nothing in it
changes for the fleet.  Dask ships each task to a worker process by pickling
the function it calls, and every function of `kemo_pkg.core_math` (like those
of `kemo_pkg.analysis`, `kemo_pkg.report` and `kemo_pkg.records`) pickles by
reference, as its module and name: a worker imports the module once and calls
the very function the serial run calls, so the fleet table is the serial one,
bit for bit.

On a cluster, pass `scheduler=client.get` from a `distributed.Client` instead
of "processes".

This keeps nothing: to keep each machine's findings over time, rank the fleet
and raise trend alarms, `python -m kemo_pkg fleet` runs the same analysis
into a history (`kemo_pkg.fleet`, `kemo_pkg.history`, `kemo_pkg.trend`).
"""

import sys
import tempfile
from pathlib import Path

import dask.bag as db

from kemo_pkg.analysis import Settings, assess_record
from kemo_pkg.demo import Drivetrain, make_record
from kemo_pkg.records import load_record, save_record
from kemo_pkg.report import summary


def fleet_bag(paths, settings=Settings()):
    """A Dask bag of one summary (a dict of findings by key, see
    `kemo_pkg.report.summary`) per record file, in the order of `paths`; one
    record per task."""
    records = db.from_sequence([str(p) for p in paths], partition_size=1)
    return records.map(load_record).map(assess_record, settings).map(summary)


def synthetic_fleet(folder: Path, machines: int = 16) -> list[Path]:
    """`machines` short drivetrain records; every third has a healthy bearing."""
    paths = []
    for k in range(machines):
        design = Drivetrain(
            fs=12800.0, duration_s=4.0, seed=100 + k, hss_speed_hz=22.0 + 0.5 * k,
            impact_amp=0.0 if k % 3 == 0 else 0.4 + 0.1 * k, bpfo_order=3.2 + 0.05 * k,
        )
        path = folder / f"machine_{k:02d}.npz"
        save_record(path, make_record(design))
        paths.append(path)
    return paths


def main(argv):
    with tempfile.TemporaryDirectory() as scratch:
        paths = [Path(p) for p in argv] or synthetic_fleet(Path(scratch))
        settings = Settings(gear_ratio=4.0, band_hz=(2000.0, 4500.0))
        rows = fleet_bag(paths, settings).compute(scheduler="processes", num_workers=2)
    print(f"{'record':18s} {'speed Hz':>9s} {'1x g':>7s} {'level':>5s} {'fault ord':>9s} {'fault g':>8s}")
    for path, row in sorted(zip(paths, rows), key=lambda pr: -pr[1]["fault_amp"]):
        print(f"{path.name:18s} {row.get('speed', float('nan')):9.3f} {row.get('harmonic_1x', float('nan')):7.3f}"
              f" {row.get('signature', -1):5d} {row['fault']:9.4f} {row['fault_amp']:8.3f}")


if __name__ == "__main__":
    main(sys.argv[1:])
