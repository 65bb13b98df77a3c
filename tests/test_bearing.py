"""Bearing diagnosis against known truth: synthetic records whose defect is
built in, the kinematic formulas, the bearing flags, and a few real records
when the development set is at hand."""

import json
import math
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from scipy.signal import resample_poly

from kemo_pkg.__main__ import main
from kemo_pkg.bearing import (
    DefectOrders, defect_orders_from_geometry, diagnose_bearing, parse_defect_orders, parse_geometry,
    refine_shaft_speed,
)

# A 6205-like deep-groove bearing: nine balls, ball to pitch diameter 0.2.
ORDERS = defect_orders_from_geometry(9, 7.94, 39.7)
FS = 20000.0
SHAFT_HZ = 29.3


def bearing_record(defect=None, seconds=4.0, fs=FS, shaft_hz=SHAFT_HZ, impact=1.0, noise=0.5, seed=0):
    """Shaft harmonics, noise, and the impacts of `defect`, each ringing a
    4.2 kHz resonance: at the outer-race rate, at the inner-race rate with the
    defect passing through the load zone at shaft rate, at twice the spin rate
    for a ball, passing through it at cage rate; the rolling elements slip
    0.5 % and jitter."""
    rng = np.random.default_rng(seed)
    n = int(seconds * fs)
    t = np.arange(n) / fs
    x = sum(a * np.cos(2 * np.pi * k * shaft_hz * t + k) for k, a in ((1, 0.4), (2, 0.2), (3, 0.1)))
    x = x + noise * rng.standard_normal(n)
    if defect is not None:
        rate_order, modulation_order = {"outer_race": (ORDERS.bpfo, None), "inner_race": (ORDERS.bpfi, 1.0),
                                         "ball": (2 * ORDERS.bsf, ORDERS.ftf), "cage": (ORDERS.ftf, None)}[defect]
        period = 1.0 / (rate_order * shaft_hz * 0.995)
        times = np.arange(0.01, seconds - 0.01, period)
        times = times + rng.normal(0.0, 0.005 * period, times.size)
        strength = np.ones(times.size)
        if modulation_order is not None:
            # The load zone: strongest at its middle, light load outside it.
            strength = 0.2 + np.clip(np.cos(2 * np.pi * modulation_order * shaft_hz * times), 0, None) ** 1.5
        ring_t = np.arange(int(0.004 * fs)) / fs
        ring = np.exp(-900.0 * ring_t) * np.sin(2 * np.pi * 4200.0 * ring_t)
        impulses = np.zeros(n)
        np.add.at(impulses, np.minimum((times * fs).astype(int), n - 1), impact * strength)
        x = x + np.convolve(impulses, ring)[:n]
    return x


@pytest.mark.parametrize("defect", ["outer_race", "inner_race", "ball", None])
def test_a_built_in_defect_is_named_and_a_healthy_bearing_is_not(defect):
    diagnosis = diagnose_bearing(bearing_record(defect), FS, ORDERS, SHAFT_HZ * 1.01)
    assert diagnosis.verdict == (defect or "none")
    assert diagnosis.shaft_hz == pytest.approx(SHAFT_HZ, rel=0.002)
    present = {d for d, e in diagnosis.defects.items() if e.present}
    if defect is None:
        assert present == set()
    else:
        evidence = diagnosis.defects[defect]
        assert evidence.present and evidence.score >= 4
        # The lines stand where the slipping elements put them, not at the kinematic rate.
        assert evidence.found_hz == pytest.approx(evidence.frequency_hz * 0.995, rel=0.004)
        # The band is where the impacts ring.
        assert diagnosis.band_hz[0] <= 4200.0 <= diagnosis.band_hz[1]


@pytest.mark.parametrize("defect", ["outer_race", None])
def test_the_empty_top_of_a_record_resampled_upwards_is_no_band(defect):
    # Past the old Nyquist and the interpolation filter's transition there is
    # no vibration, only the filter's residue.
    resampled = resample_poly(bearing_record(defect), 4, 1)
    diagnosis = diagnose_bearing(resampled, 4 * FS, ORDERS, SHAFT_HZ)
    assert diagnosis.verdict == (defect or "none")
    assert diagnosis.band_hz[1] <= 1.25 * FS / 2
    finest = diagnosis.kurtogram.kurtosis[-1]
    assert np.all(np.isnan(finest[int(1.25 * len(finest) / 4):]))


def test_cage_rate_lines_without_ball_lines_read_as_a_ball_defect():
    # A rolling element's spin that wanders leaves only its cage-rate modulation.
    diagnosis = diagnose_bearing(bearing_record("cage"), FS, ORDERS, SHAFT_HZ)
    assert diagnosis.defects["cage"].present
    assert diagnosis.verdict == "ball"


@pytest.mark.parametrize("seed", range(6))
def test_noise_alone_raises_no_alarm(seed):
    noise = np.random.default_rng(seed).standard_normal(int(3 * FS))
    diagnosis = diagnose_bearing(noise, FS, ORDERS, SHAFT_HZ)
    assert diagnosis.verdict == "none"
    assert not any(e.present for e in diagnosis.defects.values())


def test_a_weak_defect_under_its_noise_is_not_claimed():
    diagnosis = diagnose_bearing(bearing_record("outer_race", impact=0.02), FS, ORDERS, SHAFT_HZ)
    assert diagnosis.verdict == "none"


def test_the_band_given_is_the_band_used():
    diagnosis = diagnose_bearing(bearing_record("outer_race"), FS, ORDERS, SHAFT_HZ, band_hz=(3500.0, 5000.0))
    assert diagnosis.verdict == "outer_race"
    assert diagnosis.band_hz == (3500.0, 5000.0) and diagnosis.band_reason == "the band given"
    assert diagnosis.defects["outer_race"].band_hz == pytest.approx((3500.0, 5000.0), abs=2 / 4.0)


def test_a_record_too_short_for_the_cage_leaves_it_unjudged():
    diagnosis = diagnose_bearing(bearing_record("outer_race", seconds=0.8), FS, ORDERS, SHAFT_HZ)
    cage = diagnosis.defects["cage"]
    assert not cage.present and math.isnan(cage.score) and "periods" in cage.note


def test_the_scale_of_the_record_does_not_matter():
    record = bearing_record("inner_race")
    small, huge = (diagnose_bearing(record * scale, FS, ORDERS, SHAFT_HZ) for scale in (1e-9, 1e9))
    assert small.verdict == huge.verdict == "inner_race"
    assert small.defects["inner_race"].score == pytest.approx(huge.defects["inner_race"].score, rel=1e-6)


@pytest.mark.parametrize("nominal", [0.975, 1.0, 1.025])
def test_the_speed_is_refined_from_the_shaft_harmonics(nominal):
    assert refine_shaft_speed(bearing_record(), FS, SHAFT_HZ * nominal) == pytest.approx(SHAFT_HZ, rel=5e-4)


@pytest.mark.parametrize(
    "balls, ball_d, pitch_d, angle, expected",
    [
        # 6203 (the fan-end bearing of the development set): eight balls.
        (8, 0.2656, 1.122, 0.0, (3.0530, 4.9469, 1.994, 0.3817)),
        # A contact angle shortens the effective ball diameter by its cosine.
        (10, 10.0, 50.0, 60.0, (4.5, 5.5, 2.475, 0.45)),
    ],
)
def test_kinematic_defect_orders(balls, ball_d, pitch_d, angle, expected):
    orders = defect_orders_from_geometry(balls, ball_d, pitch_d, angle)
    assert (orders.bpfo, orders.bpfi, orders.bsf, orders.ftf) == pytest.approx(expected, abs=6e-4)
    # BPFO + BPFI = balls, and the outer-race rate is the cage's times the balls.
    assert orders.bpfo + orders.bpfi == pytest.approx(balls)
    assert orders.bpfo == pytest.approx(balls * orders.ftf)


@pytest.mark.parametrize(
    "parse, text, problem",
    [
        (parse_defect_orders, "BPFO=3.05,BPFI=4.95,BSF=1.99", "missing FTF"),
        (parse_defect_orders, "bpfo=3.05,bpfi=4.95,bsf=1.99,ftf=0.38,bpf=2", "unknown bpf"),
        (parse_defect_orders, "BPFO=3.05,BPFI=x,BSF=1.99,FTF=0.38", "'x' is not a number"),
        (parse_defect_orders, "BPFO=-3,BPFI=4.95,BSF=1.99,FTF=0.38", "BPFO must be a positive number"),
        (parse_defect_orders, "BPFO 3.05", "is not KEY=VALUE"),
        (parse_geometry, "balls=8,ball_diameter=12,pitch_diameter=10", "must be smaller than the pitch diameter"),
        (parse_geometry, "balls=8.5,ball_diameter=1,pitch_diameter=5", "positive whole number"),
        (parse_geometry, "balls=8,ball_diameter=1,pitch_diameter=5,contact_angle=95", "contact angle"),
        (parse_geometry, "balls=8,ball_diameter=1", "missing pitch_diameter"),
    ],
)
def test_a_bearing_that_cannot_be_is_refused_with_its_reason(parse, text, problem):
    with pytest.raises(ValueError, match=problem):
        parse(text)


def test_the_command_names_the_defect_in_its_json(tmp_path, capsys):
    path = tmp_path / "pump.npz"
    np.savez(path, vibration=bearing_record("inner_race"), fs=FS)
    code = main(["analyze", str(path), "--rpm", str(SHAFT_HZ * 60 * 0.99), "--json", "--no-figure",
                 "--bearing", f"BPFO={ORDERS.bpfo},BPFI={ORDERS.bpfi},BSF={ORDERS.bsf},FTF={ORDERS.ftf}"])
    out = json.loads(capsys.readouterr().out)
    assert code == 0
    bearing = out["bearing"]
    assert bearing["verdict"] == "inner_race"
    assert bearing["shaft_hz"] == pytest.approx(SHAFT_HZ, rel=0.002)
    assert set(bearing["defects"]) == {"outer_race", "inner_race", "ball", "cage"}
    inner = bearing["defects"]["inner_race"]
    assert inner["present"] and inner["frequency_hz"] == pytest.approx(ORDERS.bpfi * bearing["shaft_hz"])
    assert bearing["band_hz"][0] <= 4200 <= bearing["band_hz"][1]
    assert out["speed"]["source"] == "spectrum" and out["speed"]["nominal_hz"] == pytest.approx(SHAFT_HZ * 0.99)


def test_a_bearing_without_a_speed_is_noted_not_guessed(tmp_path, capsys):
    path = tmp_path / "fan.npz"
    np.savez(path, vibration=bearing_record("outer_race"), fs=FS)
    assert main(["analyze", str(path), "--json", "--no-figure", "--bearing-geometry",
                 "balls=9,ball_diameter=7.94,pitch_diameter=39.7"]) == 0
    out = json.loads(capsys.readouterr().out)
    assert out["bearing"] is None
    assert any("needs the shaft speed" in note for note in out["notes"])


DEVELOPMENT_SET = Path(__file__).resolve().parents[2] / "shared" / "data" / "bearings-fan-end"


@pytest.mark.skipif(not DEVELOPMENT_SET.is_dir(), reason="the real development records are not at hand")
@pytest.mark.parametrize("name, fault", [("IR021_1_271", "inner_race"), ("OR014@6_0_313", "outer_race"),
                                         ("B014_2_288", "ball"), ("N_0_97", "none")])
def test_real_records_of_clear_defects_and_the_healthy_bearing(name, fault, capsys):
    import scipy.io

    path = DEVELOPMENT_SET / f"{name}.mat"
    variable = next(v for v, _, _ in scipy.io.whosmat(path) if v.endswith("_FE_time"))
    assert main(["analyze", str(path), "--fs", "12000", "--vibration-column", variable, "--json", "--no-figure",
                 "--bearing", "BPFO=3.0530,BPFI=4.9469,BSF=1.994,FTF=0.3817"]) == 0
    assert json.loads(capsys.readouterr().out)["bearing"]["verdict"] == fault


@pytest.mark.parametrize("figure, code, stream", [("--no-figure", 0, "stdout"), ("--force", 2, "stderr")])
def test_without_matplotlib_only_the_figure_is_missing(tmp_path, figure, code, stream):
    np.savez(tmp_path / "fan.npz", vibration=bearing_record("outer_race", seconds=2.0), fs=FS)
    # An interpreter on which matplotlib cannot be imported.
    script = ("import sys; sys.modules['matplotlib'] = None; from kemo_pkg.__main__ import main;"
              f" sys.exit(main(['analyze', 'fan.npz', '--rpm', '{SHAFT_HZ * 60}', '--json', '{figure}']))")
    done = subprocess.run([sys.executable, "-c", script], cwd=tmp_path, capture_output=True, text=True)
    assert done.returncode == code
    if code == 0:
        assert json.loads(done.stdout)["speed"]["shaft_hz"] == pytest.approx(SHAFT_HZ, rel=0.002)
    else:
        assert done.stdout == "" and done.stderr.count("\n") == 1 and "--no-figure" in done.stderr
