"""Bearing diagnosis against known truth: synthetic records whose defect is
built in, the kinematic formulas, the bearing flags, a few real records when
the development set is at hand, and the diagnosis's building blocks (combs,
line masks, floors, bands) on inputs whose answer is known by construction."""

import json
import math
import re
import subprocess
import sys
import warnings
from dataclasses import replace
from pathlib import Path

import numpy as np
import pytest
from scipy.signal import resample_poly

from kemo_pkg.__main__ import main
from kemo_pkg.bearing import (
    DEFECT_LABELS, HARMONICS, DefectOrders, _comb, _envelope_spectra, _explain_away, _floor_block, _floor_ratio,
    _Level, _line_mask, _local_floor, _prewhitened, _reaches, _robust, _unjudged, defect_orders_from_geometry,
    diagnose_bearing, parse_defect_orders, parse_geometry, refine_shaft_speed,
)
from kemo_pkg.filterbank import (
    Kurtogram, band_envelope, bands_at, fast_length_at_most, level_envelopes, resolved_levels, spectral_kurtosis,
    tree_levels,
)

# A 6205-like deep-groove bearing: nine balls, ball to pitch diameter 0.2.
ORDERS = defect_orders_from_geometry(9, 7.94, 39.7)
FS = 20000.0
SHAFT_HZ = 29.3
# The defect lines reach up to the inner race's rate and its shaft-rate sideband;
# a demodulation band starts four times above them.
BAND_FLOOR_HZ = 4 * (ORDERS.bpfi + 1) * SHAFT_HZ


def bearing_record(defect=None, seconds=4.0, fs=FS, shaft_hz=SHAFT_HZ, impact=1.0, noise=0.5, seed=0,
                   harmonics=((1, 0.4), (2, 0.2), (3, 0.1))):
    """Shaft `harmonics` (order, amplitude), noise, and the impacts of
    `defect`, each ringing a 4.2 kHz resonance: at the outer-race rate, at
    the inner-race rate with the defect passing through the load zone at
    shaft rate, at twice the spin rate for a ball, passing through it at cage
    rate; the rolling elements slip 0.5 % and jitter."""
    rng = np.random.default_rng(seed)
    n = int(seconds * fs)
    t = np.arange(n) / fs
    x = sum(a * np.cos(2 * np.pi * k * shaft_hz * t + k) for k, a in harmonics)
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
    # Four seconds hold enough periods of every family, and every band reaches them: all are judged.
    assert all(math.isfinite(e.score) and e.note is None for e in diagnosis.defects.values())
    assert diagnosis.notes == [] and len(diagnosis.kurtogram.levels) == len(diagnosis.kurtogram.kurtosis) == 12
    if defect is None:
        assert present == set()
        assert diagnosis.band_hz[0] >= 0.99 * BAND_FLOOR_HZ and "kurtosis" in diagnosis.band_reason
    else:
        evidence = diagnosis.defects[defect]
        assert evidence.present and evidence.score >= 4 and evidence.excess >= 0.35
        # Its three harmonics stand over the floor, and so do the sidebands its physics predicts.
        assert len(evidence.line_ratios) == 3 and min(evidence.line_ratios) > 1.5
        assert evidence.sideband_ratio is None if defect == "outer_race" else evidence.sideband_ratio > 1.0
        assert evidence.prewhitening in ("cepstral", "lines removed")
        # Its lines explained away, no other family borrows them (a ball's cage-rate lines are its own).
        others = [e.excess for d, e in diagnosis.defects.items() if d not in (defect, "cage")]
        assert max(others) < 0.35
        # The evidence panel: the envelope spectrum of the band shows the line over its floor.
        at_line = np.abs(diagnosis.envelope_hz - evidence.found_hz) <= 1.0
        assert diagnosis.envelope_ratio[at_line].max() > 1.5
        assert diagnosis.envelope_hz[-1] >= HARMONICS * max(e.frequency_hz for e in diagnosis.defects.values())
        # The lines stand where the slipping elements put them, not at the kinematic rate.
        assert evidence.found_hz == pytest.approx(evidence.frequency_hz * 0.995, rel=0.004)
        # The band is where the impacts ring.
        assert diagnosis.band_hz[0] <= 4200.0 <= diagnosis.band_hz[1]
        assert diagnosis.band_hz == evidence.band_hz and DEFECT_LABELS[defect] in diagnosis.band_reason


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
    # The band shown is where the cage-rate lines stand.
    assert diagnosis.band_hz == diagnosis.defects["cage"].band_hz and "cage" in diagnosis.band_reason


@pytest.mark.parametrize("seed, highest_hz", [(0, None), (1, None), (2, None), (3, None), (4, None), (5, FS / 4)])
def test_noise_alone_raises_no_alarm(seed, highest_hz):
    noise = np.random.default_rng(seed).standard_normal(int(3 * FS))
    diagnosis = diagnose_bearing(noise, FS, ORDERS, SHAFT_HZ, highest_hz=highest_hz)
    assert diagnosis.verdict == "none"
    assert not any(e.present for e in diagnosis.defects.values())
    # The kurtogram's best band, above the defect lines and within what the record holds.
    assert BAND_FLOOR_HZ <= diagnosis.band_hz[0] < diagnosis.band_hz[1] <= (highest_hz or FS / 2)


def test_a_record_sampled_below_the_bands_is_left_undiagnosed():
    diagnosis = diagnose_bearing(bearing_record(fs=1000.0, seconds=2.0), 1000.0, ORDERS, SHAFT_HZ)
    assert diagnosis.verdict == "none" and not any(e.present for e in diagnosis.defects.values())
    assert all(map(math.isnan, diagnosis.band_hz)) and diagnosis.band_reason == "no band lies above the defect lines"
    assert any("sample rate is too low" in note for note in diagnosis.notes)
    assert all(e.note == "no band to judge it in" and e.defect == d for d, e in diagnosis.defects.items())
    assert [e.frequency_hz for e in diagnosis.defects.values()] == pytest.approx(
        [f * diagnosis.shaft_hz for f, _ in ORDERS.families().values()])
    assert diagnosis.envelope_hz.size == diagnosis.envelope_ratio.size == 0


def test_the_tree_splits_each_level_in_two_and_in_three():
    assert tree_levels(3) == [0.0, 1.0, 1.6, 2.0, 2.6, 3.0]
    assert [bands_at(level) for level in tree_levels(3)] == [1, 2, 3, 4, 6, 8]
    # A level is resolved where its bands span four bins above 0 Hz.
    assert resolved_levels(6, 33) == [0.0, 1.0, 1.6, 2.0, 2.6, 3.0]
    assert resolved_levels(6, 32) == [0.0, 1.0, 1.6, 2.0, 2.6]
    # A record is cut to the longest length fast for a real transform: prime factors 2, 3 and 5 only.
    assert [fast_length_at_most(n) for n in (1, 7, 1001)] == [1, 6, 1000]
    with pytest.raises(ValueError, match="record length must be positive"):
        fast_length_at_most(0)


def test_a_weak_defect_under_its_noise_is_not_claimed():
    diagnosis = diagnose_bearing(bearing_record("outer_race", impact=0.02), FS, ORDERS, SHAFT_HZ)
    assert diagnosis.verdict == "none"


def test_the_band_given_is_the_band_used():
    diagnosis = diagnose_bearing(bearing_record("outer_race"), FS, ORDERS, SHAFT_HZ, band_hz=(3500.0, 5000.0))
    assert diagnosis.verdict == "outer_race"
    assert diagnosis.band_hz == (3500.0, 5000.0) and diagnosis.band_reason == "the band given"
    assert diagnosis.defects["outer_race"].band_hz == pytest.approx((3500.0, 5000.0), abs=2 / 4.0)
    # The same diagnosis read in other units: every frequency halved, nothing else.
    halved = diagnosis.scaled(0.5)
    assert halved.verdict == "outer_race" and halved.band_hz == (1750.0, 2500.0)
    assert (halved.shaft_hz, halved.nominal_shaft_hz, halved.kurtogram.nyquist_hz) == (
        diagnosis.shaft_hz / 2, SHAFT_HZ / 2, FS / 4)
    assert np.array_equal(halved.envelope_hz, diagnosis.envelope_hz / 2)
    assert np.array_equal(halved.envelope_ratio, diagnosis.envelope_ratio)
    outer, halved_outer = diagnosis.defects["outer_race"], halved.defects["outer_race"]
    assert (halved_outer.frequency_hz, halved_outer.found_hz, halved_outer.band_hz, halved_outer.score) == (
        outer.frequency_hz / 2, outer.found_hz / 2, (outer.band_hz[0] / 2, outer.band_hz[1] / 2), outer.score)


def test_a_record_too_short_for_the_cage_leaves_it_unjudged():
    diagnosis = diagnose_bearing(bearing_record("outer_race", seconds=0.8), FS, ORDERS, SHAFT_HZ)
    cage = diagnosis.defects["cage"]
    assert cage.defect == "cage" and cage.present is False and "periods" in cage.note
    assert all(map(math.isnan, (cage.found_hz, cage.score, cage.excess, *cage.band_hz)))
    assert (cage.prewhitening, cage.line_ratios, cage.sideband_ratio) == ("", (), None)


def test_the_scale_of_the_record_does_not_matter():
    record = bearing_record("inner_race")
    small, huge = (diagnose_bearing(record * scale, FS, ORDERS, SHAFT_HZ) for scale in (1e-9, 1e9))
    assert small.verdict == huge.verdict == "inner_race"
    assert small.defects["inner_race"].score == pytest.approx(huge.defects["inner_race"].score, rel=1e-6)


@pytest.mark.parametrize(
    "fs, seconds, amplitudes, nominal_hz, expected_hz",
    [
        *[(2000.0, 4.0, {1: 0.4, 2: 0.2, 3: 0.1}, SHAFT_HZ * n, SHAFT_HZ) for n in (0.975, 1.0, 1.025)],
        (120.0, 20.0, {1: 1.0}, SHAFT_HZ * 1.02, SHAFT_HZ),  # the second harmonic at Nyquist: the first alone
        (2000.0, 4.0, {4: 1.0, 5: 0.5}, SHAFT_HZ * 0.98, SHAFT_HZ),  # only the fourth and fifth harmonics
        (2000.0, 4.0, {}, SHAFT_HZ * 1.02, SHAFT_HZ * 1.02),       # no shaft line: the nominal speed stays
        (1000.0, 1.0, {1: 1.0}, 0.3, 0.3),                         # too slow for a 1 s record to resolve
    ],
)
def test_the_speed_is_refined_from_the_shaft_harmonics(fs, seconds, amplitudes, nominal_hz, expected_hz):
    # Read between bins: far finer than the 0.25 Hz bins of a 4 s record.
    record = bearing_record(fs=fs, seconds=seconds, noise=0.1, harmonics=amplitudes.items())
    assert refine_shaft_speed(record, fs, nominal_hz) == pytest.approx(expected_hz, rel=1e-4)


@pytest.mark.parametrize(
    "geometry, expected",
    [
        # 6203 (the fan-end bearing of the development set): eight balls, no contact angle.
        ("balls=8,ball_diameter=0.2656,pitch_diameter=1.122", (3.0530, 4.9469, 1.994, 0.3817)),
        # A contact angle shortens the effective ball diameter by its cosine.
        ("Balls=10, Ball_Diameter=10, Pitch_Diameter=50, Contact_Angle=60", (4.5, 5.5, 2.475, 0.45)),
        # One ball, a quarter of the pitch diameter: the fewest a bearing can have; no contact angle.
        ("balls=1,ball_diameter=1,pitch_diameter=4", (0.375, 0.625, 1.875, 0.375)),
    ],
)
def test_kinematic_defect_orders(geometry, expected):
    orders = parse_geometry(geometry)
    assert (orders.bpfo, orders.bpfi, orders.bsf, orders.ftf) == pytest.approx(expected, abs=6e-4)
    # BPFO + BPFI = balls, and the outer-race rate is the cage's times the balls.
    balls = int(re.search(r"balls=(\d+)", geometry, re.I).group(1))
    assert orders.bpfo + orders.bpfi == pytest.approx(balls)
    assert orders.bpfo == pytest.approx(balls * orders.ftf)
    # The inner race's lines carry shaft-rate sidebands, a ball's (striking at twice its spin) cage-rate ones.
    assert orders.families() == {"outer_race": (orders.bpfo, None), "inner_race": (orders.bpfi, 1.0),
                                 "ball": (2 * orders.bsf, orders.ftf), "cage": (orders.ftf, None)}


def test_a_deep_groove_bearing_has_no_contact_angle_by_default():
    assert defect_orders_from_geometry(1, 1.0, 4.0) == parse_geometry("balls=1,ball_diameter=1,pitch_diameter=4") == (
        DefectOrders(bpfo=0.375, bpfi=0.625, bsf=1.875, ftf=0.375))


GIVE_ORDERS = "^bearing: give BPFO, BPFI, BSF and FTF in orders"
GIVE_GEOMETRY = "^bearing geometry: give balls, ball_diameter, pitch_diameter and optionally contact_angle"


@pytest.mark.parametrize(
    "parse, text, problem",
    [
        (parse_defect_orders, "BPFO=3.05,BPFI=4.95,BSF=1.99", GIVE_ORDERS + "; missing FTF$"),
        (parse_defect_orders, "bpfo=3.05,bpfi=4.95,bsf=1.99,ftf=0.38,bpf=2,rpm=1800",
         GIVE_ORDERS + "; unknown bpf, rpm$"),
        (parse_defect_orders, "BPFO=3.05,BPFI=x,BSF=1.99,FTF=0.38", "^bearing: 'x' is not a number"),
        (parse_defect_orders, "BPFO==3.05,BPFI=4.95,BSF=1.99,FTF=0.38", "'=3.05' is not a number"),
        (parse_defect_orders, "BPFO=-3,BPFI=4.95,BSF=1.99,FTF=0.38", "BPFO must be a positive number"),
        (parse_defect_orders, "BPFO=3.05,BPFI=4.95,BSF=0,FTF=0.38", "BSF must be a positive number"),
        (parse_defect_orders, "BPFO 3.05", "is not KEY=VALUE"),
        (parse_geometry, "balls=8,ball_diameter=one,pitch_diameter=5", "^bearing geometry: 'one' is not a number"),
        (parse_geometry, "balls=8,ball_diameter=12,pitch_diameter=10", "must be smaller than the pitch diameter"),
        (parse_geometry, "balls=8,ball_diameter=5,pitch_diameter=5", "must be smaller than the pitch diameter"),
        (parse_geometry, "balls=8,ball_diameter=0,pitch_diameter=5", "the ball diameter must be positive"),
        (parse_geometry, "balls=8,ball_diameter=1,pitch_diameter=inf", "the pitch diameter must be positive"),
        (parse_geometry, "balls=8.5,ball_diameter=1,pitch_diameter=5", "positive whole number"),
        (parse_geometry, "balls=0,ball_diameter=1,pitch_diameter=5", "positive whole number"),
        (parse_geometry, "balls=8,ball_diameter=1,pitch_diameter=5,contact_angle=90", "contact angle"),
        (parse_geometry, "balls=8", GIVE_GEOMETRY + "; missing ball_diameter, pitch_diameter$"),
        (parse_geometry, "balls=8,ball_diameter=1,pitch_diameter=5,angle=9,width=3",
         GIVE_GEOMETRY + "; unknown angle, width$"),
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


def spectrum_with_lines(columns, lines, invalid=()):
    """One envelope spectrum as log line-over-floor ratios: `lines` maps a
    bin to its ratio, the bins of `invalid` (and the last) are masked."""
    log_ratio = np.zeros((1, columns), np.float32)
    for index, value in lines.items():
        log_ratio[0, index] = value
    valid = np.ones(columns, bool)
    valid[list(invalid) + [columns - 1]] = False
    return log_ratio * valid, valid


@pytest.mark.parametrize(
    "columns, lines, invalid, fundamental_hz, sideband_hz, expected",
    [
        # Three lines of a 200 Hz family slipping 2/3 %: found at that slip.
        (1000, {199: 2.0, 397: 2.0, 596: 2.0}, (), 200.0, None, (2.0, 0.0, -0.02 / 3)),
        # No slip; the lower sidebands stand, the upper do not: half a sideband line on average.
        (1000, {50: 2.0, 100: 2.0, 150: 2.0, 40: 1.0, 90: 1.0, 140: 1.0}, (), 50.0, 10.0, (2.25, 0.5, 0.0)),
        # One sideband on a valid bin: it alone is their mean.
        (1000, {50: 2.0, 100: 2.0, 150: 2.0, 40: 1.0}, (60, 90, 110, 140, 160), 50.0, 10.0, (2.5, 1.0, 0.0)),
        # Every sideband masked: the lines alone.
        (1000, {50: 2.0, 100: 2.0, 150: 2.0}, (40, 60, 90, 110, 140, 160), 50.0, 10.0, (2.0, 0.0, 0.0)),
        # The third harmonic and its sidebands lie past the spectrum: two lines count.
        (120, {50: 2.0, 100: 2.0, 40: 1.0, 90: 1.0}, (), 50.0, 10.0, (2.25, 0.5, 0.0)),
        # One line within the spectrum is no comb.
        (60, {50: 2.0}, (), 50.0, None, (-np.inf, 0.0, None)),
    ],
)
def test_a_comb_scores_the_mean_of_its_lines_at_their_common_slip(columns, lines, invalid, fundamental_hz,
                                                                   sideband_hz, expected):
    log_ratio, valid = spectrum_with_lines(columns, lines, invalid)
    score, sideband, slip = _comb(log_ratio, valid, 1.0, np.array([fundamental_hz]), 0.01, sideband_hz)
    assert (score[0, 0], sideband[0, 0]) == pytest.approx(expected[:2], abs=1e-4)
    if expected[2] is not None:
        assert slip[0, 0] == pytest.approx(expected[2], abs=1e-4)


@pytest.mark.parametrize(
    "centre_hz, relative, masked_bins",
    [
        (10.0, 0.0, range(18, 23)),    # two bins either side of bin 20
        (10.0, 0.1, range(16, 25)),    # and 10 % of 10 Hz more: two bins at 0.5 Hz a bin
        (5.2, 0.0, range(8, 14)),      # between bins: two whole bins beyond either neighbour
        (0.5, 0.0, range(0, 4)),       # cut at 0 Hz
        (-1.0, 0.0, [0]),              # a sideband below 0 Hz still reaches bin 0
        (-5.0, 0.0, []),
        (19.5, 0.0, range(37, 40)),    # cut at the last bin
        (25.0, 0.0, []),
    ],
)
def test_a_line_mask_covers_its_tolerance_and_two_bins(centre_hz, relative, masked_bins):
    assert np.flatnonzero(_line_mask(40, 0.5, [centre_hz], relative)).tolist() == list(masked_bins)


def test_the_local_floor_is_the_block_medians_joined_at_their_centres():
    # Blocks of four bins at floors 1, 2 and 4, each with one tall line, and two bins past the last block.
    spectra = np.array([[1, 9, 1, 1, 2, 2, 30, 2, 4, 4, 4, 70, 5, 5]], float)
    floor = np.interp(np.arange(14), [1.5, 5.5, 9.5], [1.0, 2.0, 4.0])
    assert _local_floor(spectra, 4)[0] == pytest.approx(floor)
    assert _local_floor(3 * spectra, 4)[0] == pytest.approx(3 * floor)  # each row its own
    assert _local_floor(spectra, 50)[0] == pytest.approx(np.full(14, np.median(spectra)))  # one block: flat
    # Where the floor is zero, the ratio is undefined, quietly.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        ratio = _floor_ratio(np.array([[0.0, 0.0, 0.0, 5.0]]), 4)[0]
    assert np.isnan(ratio[:3]).all() and ratio[3] == np.inf
    # A block holds half a shaft rate of bins, and never fewer than 16.
    assert (_floor_block(30.0, 0.1), _floor_block(30.0, 1.0)) == (150, 16)


@pytest.mark.parametrize(
    "defect, found_hz, df, masked_hz, kept_hz",
    [
        # Above shaft rate: every harmonic up to the spectrum's top, with three
        # shaft-rate sidebands either side; not a fourth, nor the shaft's own lines.
        ("outer_race", 110.0, 2.0, [20.0, 80.0, 110.0, 140.0, 200.0, 990.0], [60.0, 100.0, 230.0]),
        # Below shaft rate: the cage's four harmonics its comb claimed, with their sidebands.
        ("cage", 12.0, 1.0, [12.0, 42.0, 48.0, 78.0], [60.0, 90.0]),
    ],
)
def test_a_present_family_explains_its_own_lines_away(defect, found_hz, df, masked_hz, kept_hz):
    bins, shaft_hz = int(1000 / df), 30.0  # spectra up to 1000 Hz
    level = _Level.masked("cepstral", np.array([1000.0]), np.array([2000.0]), df, np.ones((1, bins), np.float32),
                          bins + 200, np.ones(bins, bool), np.ones(bins, bool))
    # The spectrum's last bin and the padding past it hold no line.
    assert level.valid[: bins - 1].all() and not level.valid[bins - 1 :].any()
    assert level.decoy_valid[: bins - 1].all() and not level.decoy_valid[bins - 1 :].any()
    evidence = replace(_unjudged(defect, found_hz, ""), found_hz=found_hz)
    (explained,) = _explain_away([level], evidence, shaft_hz, None)
    masked, kept = (np.array(masked_hz) / df).astype(int), (np.array(kept_hz) / df).astype(int)
    assert not explained.valid[masked].any() and explained.valid[kept].all()
    assert not explained.log_ratio[0, masked].any() and (explained.log_ratio[0, kept] == 1).all()


def test_spectral_kurtosis_of_a_steady_tone_noise_and_an_impact():
    rng = np.random.default_rng(1)
    noise = np.abs(rng.standard_normal(20000) + 1j * rng.standard_normal(20000)) ** 2
    squared_envelopes = np.vstack([np.full(20000, 3.0),          # constant modulus: -1
                                   noise,                        # complex Gaussian: 0
                                   np.eye(1, 20000)[0] * 1e-6,   # one impact in 20000 samples: 20000 - 2
                                   np.zeros(20000)])             # an empty band: undefined
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # the empty band is NaN, quietly
        kurtosis = spectral_kurtosis(squared_envelopes)
    assert kurtosis[:3] == pytest.approx([-1.0, 0.0, 19998.0], abs=0.05)
    assert np.isnan(kurtosis[3])


def test_the_kurtogram_peak_is_the_band_of_highest_kurtosis_within_the_limits():
    # Over 0 to 1200 Hz: level 1 in two bands of 600 Hz, level 1.6 in three of 400 Hz.
    kurt = Kurtogram((0.0, 1.0, 1.6), (np.array([np.nan]), np.array([1.0, 3.0]), np.array([2.0, 2.5, 3.0])), 1200.0)
    assert kurt.peak() == (1.0, (600.0, 1200.0), 3.0)  # a tie goes to the coarser level
    assert kurt.peak(above_hz=700.0) == (1.6, (800.0, 1200.0), 3.0)
    assert kurt.peak(below_hz=700.0) == (1.6, (0.0, 400.0), 2.0)
    assert kurt.peak(above_hz=400.0, below_hz=800.0) == (1.6, (400.0, 800.0), 2.5)  # the limits are the band's edges
    level, band, value = kurt.peak(above_hz=1300.0)
    assert math.isnan(level) and all(map(math.isnan, band)) and math.isnan(value)
    # Drawn as an image: each band repeated over the columns it spans.
    image = np.array([[np.nan] * 6, [1.0] * 3 + [3.0] * 3, [2.0, 2.0, 2.5, 2.5, 3.0, 3.0]])
    assert kurt.image() == pytest.approx(image, nan_ok=True)


def test_prewhitening_keeps_every_phase_and_brings_the_discrete_lines_to_the_floor():
    rng = np.random.default_rng(2)
    magnitude = rng.uniform(10.0, 20.0, 64)  # a floor of about 15
    magnitude[[20, 41]] = [500.0, 40.0]      # a discrete line; a bump under three times the floor
    spectrum = magnitude * np.exp(1j * rng.uniform(-np.pi, np.pi, 64))
    whitened = _prewhitened(spectrum, 16)
    phase = np.angle(spectrum)
    assert np.abs(whitened["cepstral"]) == pytest.approx(np.ones(64), rel=1e-6)
    assert np.angle(whitened["cepstral"]) == pytest.approx(phase, abs=1e-5)
    lines_removed = whitened["lines removed"]
    assert np.angle(lines_removed) == pytest.approx(phase, abs=1e-5)
    floor = _local_floor(magnitude[None, :], 16)[0]
    expected = np.where(np.arange(64) == 20, floor, magnitude)
    assert np.abs(lines_removed) == pytest.approx(expected, rel=1e-6)
    assert abs(lines_removed[20]) < 20.0


def test_the_decoys_spread_is_a_robust_standard_deviation():
    rng = np.random.default_rng(3)
    median, spread = _robust(np.append(rng.normal(5.0, 2.0, 20000), [1e6] * 100))  # a few wild decoys
    assert (median, spread) == pytest.approx((5.0, 2.0), rel=0.03)
    assert _robust(np.zeros(60)) == (0.0, 0.02)  # decoys all on the floor still spread a little


def test_the_envelope_spectrum_averages_three_half_overlapping_halves():
    rate_hz, n = 1000.0, 1200
    t = np.arange(n) / rate_hz
    # A steady level (no line but at 0 Hz, removed), and a 50 Hz line of amplitude 2.
    squared = np.vstack([np.full(n, 5.0), 1.0 + 2.0 * np.cos(2 * np.pi * 50.0 * t + 0.7)])
    spectra, df = _envelope_spectra(squared, rate_hz)
    assert df == rate_hz / 600  # halves: twice the record's bin spacing
    assert np.abs(spectra[0]).max() < 1e-9
    # A Hann window's coherent gain: a line of amplitude A reads A/2 times the window's sum.
    assert spectra[1, 30] == pytest.approx(2.0 / 2 * np.hanning(600).sum(), rel=0.01)


def test_a_level_is_judged_where_its_spectra_reach_two_harmonics_at_full_slip():
    # 100 Hz, 1 % slip: the second harmonic's tooth at 202 Hz (bin 404 at 0.5 Hz a bin) and the bin
    # beside it below the last bin.
    reaching, short = (_Level.masked("cepstral", np.zeros(1), np.ones(1), 0.5, np.zeros((1, bins), np.float32), bins,
                                     np.ones(bins, bool), np.ones(bins, bool)) for bins in (407, 406))
    assert _reaches(reaching, 100.0, 0.01) and not _reaches(short, 100.0, 0.01)


def line_power_through(band_hz, line_bin, bins=1001):
    """Mean squared envelope of band `band_hz` of a spectrum (1 Hz bins) that
    holds one line of unit amplitude on `line_bin`."""
    spectrum = np.zeros(bins, complex)
    spectrum[line_bin] = 1.0
    return band_envelope(spectrum, 1.0, band_hz).envelopes.mean()


@pytest.mark.parametrize(
    "band_hz, edge_bins, edge_gains",
    [
        # 100 bins: ten on either side fade in and out along a raised cosine.
        ((200.0, 300.0), (200, 204, 205, 210, 250, 299), (0.0062, 0.4218, 0.5782, 1.0, 1.0, 0.0062)),
        # 8 bins: one on either side, at half gain.
        ((200.0, 208.0), (200, 201, 207), (0.5, 1.0, 0.5)),
    ],
)
def test_a_band_passes_its_flat_top_whole_and_fades_at_its_edges(band_hz, edge_bins, edge_gains):
    centre = line_power_through(band_hz, int(np.mean(band_hz)))
    gains = [math.sqrt(line_power_through(band_hz, line_bin) / centre) for line_bin in edge_bins]
    assert gains == pytest.approx(edge_gains, abs=1e-4)


def test_the_bands_of_a_level_and_a_band_given_span_the_bins_asked_for():
    spectrum = np.ones(1025, complex)  # 1024 bins above 0 Hz at 0.5 Hz a bin
    level = level_envelopes(spectrum, 0.5, 2.0)
    assert (level.level, level.width_hz, level.low_hz.tolist()) == (2.0, 128.0, [0.5, 128.5, 256.5, 384.5])
    # The squared envelopes reach up to the 128 Hz width: sampled at twice it they do not alias; asked
    # to be free of aliasing below 20 Hz only, what lies above their Nyquist folds down to 148.5 - 128 Hz.
    rates_hz = [level_envelopes(spectrum, 0.5, 2.0, alias_free_hz).rate_hz for alias_free_hz in (np.inf, 200.0, 20.0)]
    assert rates_hz == [256.0, 256.0, 148.5]
    band = band_envelope(spectrum, 0.5, (0.0, 1000.0))  # from the first bin above 0 Hz up to Nyquist
    assert (band.level, band.low_hz.tolist(), band.width_hz, band.nyquist_hz) == (0.0, [0.5], 511.5, 512.0)
    assert band_envelope(spectrum, 0.5, (100.0, 102.0)).width_hz == 2.0  # four bins: the narrowest band
    with pytest.raises(ValueError, match="bands of 3 bins are too narrow to demodulate"):
        band_envelope(spectrum, 0.5, (100.0, 101.5))
