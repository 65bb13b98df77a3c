"""Scale-out: the chain over a fleet of records in Dask worker processes gives
exactly the serial result, because every function pickles by reference, and
that result is each machine's own."""

import os
import pickle
import runpy
from pathlib import Path

import dask
import dask.bag as db
import numpy as np
import pytest

from kemo_pkg import core_math
from kemo_pkg.analysis import Settings, assess_record
from kemo_pkg.demo import Drivetrain, make_record
from kemo_pkg.records import load_record, save_record
from kemo_pkg.report import summary

EXAMPLE = Path(__file__).parent.parent / "examples" / "fleet_dask.py"
FUNCTIONS = sorted(
    name for name, value in vars(core_math).items()
    if callable(value) and getattr(value, "__module__", None) == "kemo_pkg.core_math"
)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_pickles_as_its_module_and_name(name):
    function = getattr(core_math, name)
    data = pickle.dumps(function)
    assert b"kemo_pkg.core_math" in data and name.encode() in data
    assert len(data) < 100  # a reference, not a copy of code
    assert pickle.loads(data) is function


def _same(rows, others):
    """Equal row for row; arrays (operating states) compared element by element."""
    return len(rows) == len(others) and all(
        a.keys() == b.keys() and all(np.array_equal(a[k], b[k]) if isinstance(a[k], np.ndarray) else a[k] == b[k]
                                     for k in a)
        for a, b in zip(rows, others)
    )


def test_fleet_in_worker_processes_equals_the_serial_run(tmp_path):
    paths, designs = [], []
    for k in range(8):
        designs.append(Drivetrain(fs=12800.0, duration_s=2.0, seed=200 + k, hss_speed_hz=21.0 + k,
                                  bpfo_order=3.1 + 0.1 * k, impact_amp=0.0 if k == 3 else 1.2))
        paths.append(tmp_path / f"machine_{k}.npz")
        save_record(paths[-1], make_record(designs[-1]))
    settings = Settings(gear_ratio=4.0, band_hz=(2000.0, 4500.0))

    fleet_bag = runpy.run_path(str(EXAMPLE))["fleet_bag"]
    fleet = fleet_bag(paths, settings)
    # A core_math function handed to Dask directly travels the same way.
    levels = db.from_sequence([str(p) for p in paths], npartitions=4).map(load_record).map(
        lambda record: record.vibration).map(core_math.compute_true_overall_rms)
    workers = db.from_sequence(range(4), npartitions=4).map(lambda _: os.getpid())
    parallel, parallel_levels, worker_pids = dask.compute(fleet, levels, workers, scheduler="processes",
                                                          num_workers=2)
    assert os.getpid() not in worker_pids

    records = [load_record(p) for p in paths]
    serial = [summary(assess_record(record, settings)) for record in records]
    assert _same(parallel, serial)
    assert parallel_levels == [core_math.compute_true_overall_rms(record.vibration) for record in records]
    # ... and each row is its machine's: speed, gear stage and, where the
    # bearing has a defect, its order within one bin (a revolution's inverse).
    for row, design in zip(parallel, designs):
        assert (row["speed"], row["gear_ratio"]) == (pytest.approx(design.mean_speed(), rel=1e-4), 4.0)
        if design.impact_amp:
            assert row["fault"] == pytest.approx(design.bpfo_order, abs=1 / (design.duration_s * row["speed"]))
