"""Bearing diagnosis against known truth: synthetic records whose defects are
built in, the kinematic formulas and the bearing flags, and the real records
of the development rigs when they are at hand."""

import json
import math
import re
import subprocess
import sys
from dataclasses import replace
from unittest.mock import ANY

import numpy as np
import pytest
from scipy.io import loadmat
from scipy.signal import butter, decimate, resample_poly, sosfiltfilt

from kemo_pkg.__main__ import main
from kemo_pkg.bearing import (
    DEFECT_LABELS,
    HARMONICS,
    MAX_BALLS,
    MAX_BSF,
    DefectOrders,
    defect_orders_from_geometry,
    diagnose_bearing,
    parse_defect_orders,
    parse_geometry,
)
from kemo_pkg.records import load_record
from kemo_pkg.speed import shaft_speed_from_envelope, shaft_speed_from_spectrum
from support.rigs import RIGS, analyze_arguments, labelled

# A 6205-like deep-groove bearing: nine balls, ball to pitch diameter 0.2.
ORDERS = defect_orders_from_geometry(9, 7.94, 39.7)
FS = 20000.0
SHAFT_HZ = 29.3
RATES = {"outer_race": ORDERS.bpfo, "inner_race": ORDERS.bpfi, "ball": 2 * ORDERS.bsf, "cage": ORDERS.ftf}
# What the load zone modulates each defect's impacts at: the inner race turns through it with the shaft, a
# ball with the cage; the outer race sits in it.
LOAD_ZONE = {"inner_race": 1.0, "ball": ORDERS.ftf}
# The defect lines reach up to the inner race's rate and its shaft-rate sideband;
# a demodulation band starts four times above them.
BAND_FLOOR_HZ = 4 * (ORDERS.bpfi + 1) * SHAFT_HZ


def bearing_record(*defects, seconds=4.0, fs=FS, shaft_hz=SHAFT_HZ, impact=1.0, noise=0.5, seed=0, lag=0.005,
                   modulation=None, harmonics=((1, 0.4), (2, 0.2), (3, 0.1)), orders=None, jitter=0.005,
                   load_zone=1.5):
    """Shaft `harmonics` (order, amplitude), noise, and the impacts of each
    of `defects` (at its rate, or at `orders`: another bearing's), each
    ringing a 4.2 kHz resonance, their strength swinging through the load
    zone (or at `modulation`, in orders), the narrower the higher
    `load_zone`; the rolling elements lag their rolling speed by `lag` and
    jitter by `jitter` of a period."""
    rng = np.random.default_rng(seed)
    n = int(seconds * fs)
    t = np.arange(n) / fs
    x = sum(a * np.cos(2 * np.pi * k * shaft_hz * t + k) for k, a in harmonics)
    x = x + noise * rng.standard_normal(n)
    ring_t = np.arange(int(0.004 * fs)) / fs
    ring = np.exp(-900.0 * ring_t) * np.sin(2 * np.pi * 4200.0 * ring_t)
    for defect in defects:
        period = 1.0 / ((orders or RATES[defect]) * shaft_hz * (1 - lag))
        times = np.arange(0.01, seconds - 0.01, period)
        times = times + rng.normal(0.0, jitter * period, times.size)
        order = LOAD_ZONE.get(defect) if modulation is None else modulation
        strength = np.ones(times.size)
        if order:
            # Strongest in the middle of the load zone, light load outside it.
            strength = 0.2 + np.clip(np.cos(2 * np.pi * order * shaft_hz * times), 0, None) ** load_zone
        impulses = np.zeros(n)
        np.add.at(impulses, np.minimum((times * fs).astype(int), n - 1), impact * strength)
        x = x + np.convolve(impulses, ring)[:n]
    return x


def one_line_at(frequency_hz, seconds=4.0, seed=3):
    """The 4.2 kHz resonance's noise, its power swinging at one frequency:
    a single line in its squared envelope spectrum, without harmonics."""
    rng = np.random.default_rng(seed)
    t = np.arange(int(seconds * FS)) / FS
    resonance = sosfiltfilt(butter(4, (3800, 4600), "bandpass", fs=FS, output="sos"), rng.standard_normal(t.size))
    return 0.5 * rng.standard_normal(t.size) + 3 * resonance * np.sqrt(1 + 0.9 * np.cos(2 * np.pi * frequency_hz * t))


def present(diagnosis):
    return {d for d, e in diagnosis.defects.items() if e.present}


@pytest.mark.parametrize(
    "defect, strike",
    [("outer_race", {}), ("inner_race", {}), ("ball", {}), (None, {}),
     # An inner race struck hard through a narrow load zone rings sidebands of high order; a lagging outer race's
     # comb (at BPFI - 2 shaft rates: 2 BPFI - 4, 3 BPFI - 6) stands on them, and they are the inner race's.
     ("inner_race", {"impact": 4.0, "load_zone": 20.0})],
    ids=["outer race", "inner race", "ball", "healthy", "inner race, narrow load zone"],
)
def test_a_built_in_defect_is_named_and_a_healthy_bearing_is_not(defect, strike):
    record = bearing_record(*filter(None, [defect]), **strike)
    diagnosis = diagnose_bearing(record, FS, ORDERS, SHAFT_HZ, nominal_shaft_hz=30.0)
    assert (diagnosis.verdict, diagnosis.confidence, diagnosis.alternatives) == (
        (defect, "clear", ()) if defect else ("none", None, ()))
    assert (diagnosis.shaft_hz, diagnosis.nominal_shaft_hz) == (SHAFT_HZ, 30.0)
    # Four seconds hold enough periods of every family, and every band reaches them: all are judged, and one
    # that stood on the defect's lines says whose they are.
    borrowed = f"its lines are the {DEFECT_LABELS[defect]}'s" if defect else None
    assert all(math.isfinite(e.score) and e.note in (None, borrowed) for e in diagnosis.defects.values())
    assert diagnosis.notes == () and len(diagnosis.kurtogram.levels) == len(diagnosis.kurtogram.kurtosis) == 12
    if defect is None:
        assert present(diagnosis) == set()
        assert diagnosis.band_hz[0] >= 0.99 * BAND_FLOOR_HZ and "kurtosis" in diagnosis.band_reason
        return
    evidence = diagnosis.defects[defect]
    assert evidence.score >= 3 and evidence.excess >= 0.35
    # Its three harmonics stand over the floor, and so do the sidebands its physics predicts.
    assert len(evidence.line_ratios) == HARMONICS and np.nanmin(evidence.line_ratios) > 3
    if defect != "outer_race":
        assert evidence.sideband_ratio > 1.5
    # Its lines explained away, no other family borrows them (a ball's cage-rate lines are its own).
    assert present(diagnosis) <= {defect, "cage" if defect == "ball" else defect}
    # The lines stand where the lagging elements put them, not at the kinematic rate.
    assert evidence.found_hz == pytest.approx(evidence.frequency_hz * 0.995, rel=0.004)
    # The band is where the impacts ring, and the evidence panel shows the line over its floor.
    assert diagnosis.band_hz == evidence.band_hz and diagnosis.band_hz[0] <= 4200.0 <= diagnosis.band_hz[1]
    assert DEFECT_LABELS[defect] in diagnosis.band_reason
    assert diagnosis.envelope_ratio[np.abs(diagnosis.envelope_hz - evidence.found_hz) <= 1.0].max() > 3
    assert diagnosis.envelope_hz[-1] >= HARMONICS * max(e.frequency_hz for e in diagnosis.defects.values())


@pytest.mark.parametrize(
    "record, expected, orders",
    [
        # A strong outer-race defect whose impacts vary from ball to ball repeats with the cage too: still the
        # race, however far its cage-rate lines stand.
        (bearing_record("outer_race", impact=4.0, modulation=ORDERS.ftf), ("outer_race", ANY, ANY), ORDERS),
        # A lightly loaded cage lags 4 %, and the outer race's lines with it.
        (bearing_record("outer_race", lag=0.04), ("outer_race", "clear", ()), ORDERS),
        # Impacts in step over the whole record (every 191 samples, and 201 behind a lagging cage) ring the
        # resonance as a comb of lines, which are no machine's.
        *((bearing_record("outer_race", jitter=0.0, lag=1 - FS / (samples * RATES["outer_race"] * SHAFT_HZ)),
           ("outer_race", "clear", ()), ORDERS) for samples in (191, 201)),
        # Two defects of like strength: the stronger, and the other beside it.
        (bearing_record("outer_race", impact=0.5) + bearing_record("inner_race", seed=1, noise=0.0, harmonics=()),
         ("inner_race", "probable", ("outer_race",)), ORDERS),
        # A rolling element whose spin wanders leaves only its cage-rate modulation: a ball, or the cage.
        (bearing_record("cage"), ("ball", "probable", ("cage",)), ORDERS),
        # The same lines 4.5 % below this bearing's cage rate: as likely another bearing's cage on the shaft.
        (bearing_record("cage", lag=0.045), ("none", None, ()), ORDERS),
        # Another machine's train 4.7 % below the outer race's rate, its first line under the shaft's third
        # harmonic: a lagging cage would put the race's lines there, but a lag must show the line fixing its rate.
        (bearing_record("outer_race", orders=2.97), ("none", None, ()), replace(ORDERS, bpfo=3.1)),
        # Impacts at the inner race's rate that do not swing with the shaft, or at a ball's that do not swing
        # with the cage: no defect of a part that turns through the load zone does that.
        (bearing_record("inner_race", modulation=0.0), ("none", None, ()), ORDERS),
        (bearing_record("ball", modulation=0.0), ("none", None, ()), ORDERS),
        # One line at the outer race's rate, without its harmonics: a tone, not a train of impacts.
        (one_line_at(ORDERS.bpfo * SHAFT_HZ), ("none", None, ()), ORDERS),
        (bearing_record("outer_race", impact=0.02), ("none", None, ()), ORDERS),  # under its noise
        # Another bearing's inner race, one shaft rate above this one's outer race: the outer race's comb
        # lands on its shaft-rate sidebands (c - 1, 2c - 2, 3c - 3), and they are the inner race's.
        (bearing_record("inner_race", orders=ORDERS.bpfo + 1), ("none", None, ()), ORDERS),
        # Another bearing's outer race at half this one's rate: the comb at this one's rate reads its even
        # harmonics, with its odd ones standing halfway between.
        (bearing_record("outer_race", orders=ORDERS.bpfo / 2), ("none", None, ()), ORDERS),
        # An outer race and an inner race one shaft rate apart, both standing: the inner race's lines explain
        # the outer race's away (they are its sidebands), but might as well be explained by them.
        (bearing_record("outer_race", impact=0.5)
         + bearing_record("inner_race", orders=ORDERS.bpfo + 1, seed=1, noise=0.0, harmonics=()),
         ("inner_race", "probable", ("outer_race",)), replace(ORDERS, bpfi=ORDERS.bpfo + 1)),
        # Bearings whose ball defect strikes, or whose balls spin, within 1 % of the outer race's rate: the
        # outer race's lines are as much a ball's, whichever stands higher.
        (bearing_record("outer_race"), ("outer_race", "probable", ("ball",)),
         replace(ORDERS, bsf=0.99 * RATES["outer_race"] / 2)),
        (bearing_record("outer_race"), ("outer_race", "probable", ("ball",)),
         replace(ORDERS, bsf=0.99 * RATES["outer_race"])),
    ],
    ids=["outer race, cage-rate swing", "cage lagging", "impacts in step", "impacts in step, cage lagging",
         "two defects", "cage lines", "another bearing's cage lines", "a train below a lag, its fundamental hidden",
         "inner race, no load zone", "ball, no load zone",
         "one line", "weak defect", "another inner race", "another outer race at half the rate",
         "races a shaft rate apart", "a ball striking at the outer race's rate",
         "a ball spinning at the outer race's rate"],
)
def test_the_families_judged_together(record, expected, orders):
    diagnosis = diagnose_bearing(record, FS, orders, SHAFT_HZ)
    assert (diagnosis.verdict, diagnosis.confidence, diagnosis.alternatives) == expected
    if expected[0] == "ball":
        # The band shown is where the cage-rate lines stand.
        assert diagnosis.band_hz == diagnosis.defects["cage"].band_hz and "cage" in diagnosis.band_reason
    if diagnosis.defects["cage"].present and expected[0] == "none":
        assert re.fullmatch(r"bearing: cage-rate lines stand \d\.\d % below this bearing's cage rate, .*",
                            diagnosis.notes[0])


def knocks(seed, fs=FS, seconds=3.0):
    """A healthy machine: shaft harmonics, supply lines and knocks at random, ringing the resonance."""
    rng = np.random.default_rng(seed)
    t = np.arange(int(seconds * fs)) / fs
    x = bearing_record(seconds=seconds, fs=fs, seed=seed) + 0.3 * np.sin(2 * np.pi * 100.0 * t)
    hits = np.zeros(t.size)
    hits[rng.integers(0, t.size, int(8 * seconds))] = rng.uniform(0.5, 2.0, int(8 * seconds))
    ring_t = np.arange(int(0.004 * fs)) / fs
    return x + np.convolve(hits, np.exp(-900.0 * ring_t) * np.sin(2 * np.pi * 4200.0 * ring_t))[: t.size]


@pytest.mark.parametrize("seed, highest_hz", [(0, None), (1, None), (2, None), (3, FS / 4)])
@pytest.mark.parametrize("machine", [lambda seed: np.random.default_rng(seed).standard_normal(int(3 * FS)), knocks],
                         ids=["noise", "healthy machine"])
def test_no_defect_raises_no_alarm(machine, seed, highest_hz):
    diagnosis = diagnose_bearing(machine(seed), FS, ORDERS, SHAFT_HZ, highest_hz=highest_hz)
    assert (diagnosis.verdict, present(diagnosis)) == ("none", set())
    # The kurtogram's best band, above the defect lines and within what the record holds.
    assert BAND_FLOOR_HZ <= diagnosis.band_hz[0] < diagnosis.band_hz[1] <= (highest_hz or FS / 2)


@pytest.mark.parametrize("defect", ["outer_race", None])
def test_the_empty_top_of_a_record_resampled_upwards_is_no_band(defect):
    # Past the old Nyquist and the interpolation filter's transition there is
    # no vibration, only the filter's residue.
    resampled = resample_poly(bearing_record(*filter(None, [defect])), 4, 1)
    diagnosis = diagnose_bearing(resampled, 4 * FS, ORDERS, SHAFT_HZ)
    assert diagnosis.verdict == (defect or "none")
    assert diagnosis.band_hz[1] <= 1.25 * FS / 2
    finest = diagnosis.kurtogram.kurtosis[-1]
    assert np.all(np.isnan(finest[int(1.25 * len(finest) / 4) :]))


@pytest.mark.parametrize(
    "fs, seconds, orders, notes, why",
    [
        # Sampled below the bands: nothing to demodulate, and the report says so.
        (1000.0, 2.0, ORDERS, ("sample rate is too low",), dict.fromkeys(RATES, "no band to judge it in")),
        # Short: the outer race still read, the cage's few periods not.
        (FS, 0.8, ORDERS, (), {"cage": "fewer than 10 of its periods"}),
        # Shorter: each band's envelope spectrum too coarse for two harmonics clear of the shaft's lines.
        (FS, 0.5, ORDERS, (), {"outer_race": "(a longer record resolves them)",
                               "cage": "fewer than 10 of its periods"}),
        # Striking on the shaft's fourth harmonic, or 0.3 % off it: judged a little off its rate, where it cannot
        # be, and said to be hidden, not absent; a longer record parts lines that lie off the shaft's.
        (FS, 4.0, replace(ORDERS, bpfo=4.0), (), {"outer_race": "where it may hide"}),
        (FS, 4.0, replace(ORDERS, bpfo=3.988), (), {"outer_race": "where it may hide (a longer record parts them)"}),
    ],
)
def test_what_cannot_be_judged_says_why(fs, seconds, orders, notes, why):
    record = bearing_record("outer_race", fs=fs, seconds=seconds, orders=orders.bpfo, lag=0.0)
    diagnosis = diagnose_bearing(record, fs, orders, SHAFT_HZ)
    assert all(any(note in line for line in diagnosis.notes) for note in notes)
    for defect, reason in why.items():
        evidence = diagnosis.defects[defect]
        assert evidence.note.endswith(reason) and not evidence.present and evidence.defect == defect
        judged = (evidence.found_hz, evidence.score, evidence.excess, *evidence.band_hz)
        assert all(map(math.isfinite if "hide" in reason else math.isnan, judged))
        # The verdict says which family it could not see where its lines are likeliest.
        on_shaft_lines = "shaft's lines" in evidence.note
        assert evidence.hidden == on_shaft_lines == (DEFECT_LABELS[defect] in diagnosis.verdict_text)
        assert evidence.frequency_hz == pytest.approx(orders.families()[defect][0] * SHAFT_HZ)
    assert diagnosis.verdict == ("outer_race" if seconds == 0.8 else "none")


def test_the_band_given_is_the_band_used():
    diagnosis = diagnose_bearing(bearing_record("outer_race"), FS, ORDERS, SHAFT_HZ, band_hz=(3500.0, 5000.0))
    assert diagnosis.verdict == "outer_race"
    assert diagnosis.band_hz == (3500.0, 5000.0) and diagnosis.band_reason == "the band given"
    assert diagnosis.defects["outer_race"].band_hz == pytest.approx((3500.0, 5000.0), abs=2 / 4.0)
    # The same diagnosis read in other units: every frequency halved, nothing else.
    halved = diagnosis.scaled(0.5)
    assert (halved.verdict, halved.band_hz, halved.nominal_shaft_hz) == ("outer_race", (1750.0, 2500.0), None)
    assert (halved.shaft_hz, halved.kurtogram.nyquist_hz) == (SHAFT_HZ / 2, FS / 4)
    assert np.array_equal(halved.envelope_hz, diagnosis.envelope_hz / 2)
    assert np.array_equal(halved.envelope_ratio, diagnosis.envelope_ratio)
    outer, halved_outer = diagnosis.defects["outer_race"], halved.defects["outer_race"]
    assert (halved_outer.frequency_hz, halved_outer.found_hz, halved_outer.band_hz, halved_outer.score) == (
        outer.frequency_hz / 2, outer.found_hz / 2, (outer.band_hz[0] / 2, outer.band_hz[1] / 2), outer.score)


def test_the_scale_of_the_record_does_not_matter():
    record = bearing_record("inner_race")
    small, huge = (diagnose_bearing(record * scale, FS, ORDERS, SHAFT_HZ) for scale in (1e-9, 1e9))
    assert small.verdict == huge.verdict == "inner_race"
    assert small.defects["inner_race"].score == pytest.approx(huge.defects["inner_race"].score, rel=1e-6)


@pytest.mark.parametrize(
    "fs, seconds, amplitudes, nominal_hz, expected_hz",
    [
        # A set point up to 10 % off: the shaft's own speed, read far finer than the 0.25 Hz bins.
        *[(2000.0, 4.0, {1: 0.4, 2: 0.2, 3: 0.1}, SHAFT_HZ * n, SHAFT_HZ) for n in (0.91, 1.0, 1.09)],
        # Another machine's strong line inside the search does not pull the comb of the shaft's harmonics.
        (2000.0, 4.0, {1: 0.4, 2: 0.2, 3: 0.1, 1.05: 2.0}, SHAFT_HZ, SHAFT_HZ),
        # Nor does it make a speed whose fifth harmonic it is, beside faint shaft lines: no speed is read.
        (2000.0, 4.0, {**dict.fromkeys(range(1, 6), 0.005), 5 * 1.07: 2.0}, SHAFT_HZ * 1.04, None),
        (120.0, 20.0, {1: 1.0}, SHAFT_HZ * 1.02, SHAFT_HZ),  # the second harmonic at Nyquist: the first alone
        (2000.0, 4.0, {4: 1.0, 5: 0.5}, SHAFT_HZ * 0.98, SHAFT_HZ),  # only the fourth and fifth harmonics
        (2000.0, 4.0, {}, SHAFT_HZ * 1.02, None),  # no shaft line: no speed
        (1000.0, 1.0, {1: 1.0}, 0.3, None),        # too slow for a 1 s record to resolve
    ],
)
def test_the_speed_is_read_from_the_shaft_harmonics(fs, seconds, amplitudes, nominal_hz, expected_hz):
    record = bearing_record(fs=fs, seconds=seconds, noise=0.1, harmonics=amplitudes.items())
    found_hz = shaft_speed_from_spectrum(record, fs, nominal_hz, 0.1)
    assert found_hz == (None if expected_hz is None else pytest.approx(expected_hz, rel=1e-4))



@pytest.mark.parametrize("read", [shaft_speed_from_spectrum, shaft_speed_from_envelope])
def test_a_silent_record_tells_no_speed(read):
    assert read(np.zeros(8000), FS, SHAFT_HZ) is None

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
    # The races' lines carry shaft-rate sidebands, a ball's (striking at twice its spin) cage-rate ones.
    assert orders.families() == {"outer_race": (orders.bpfo, 1.0), "inner_race": (orders.bpfi, 1.0),
                                 "ball": (2 * orders.bsf, orders.ftf), "cage": (orders.ftf, None)}
    if geometry.startswith("balls=1,"):
        assert orders == defect_orders_from_geometry(1, 1.0, 4.0) == DefectOrders(0.375, 0.625, 1.875, 0.375)


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
        # Orders and geometries no rolling bearing has.
        (parse_defect_orders, "BPFO=3.05,BPFI=1e9,BSF=1.99,FTF=0.38", r"^BPFI must be below 314 orders \(under the"
         r" number of balls, and no bearing holds more than 314\), not 1e\+09$"),
        (parse_defect_orders, "BPFO=3.05,BPFI=4.95,BSF=1.99,FTF=0.5", "FTF must be below 0.5 orders"),
        (parse_defect_orders, "BPFO=4.95,BPFI=3.05,BSF=1.99,FTF=0.38", r"^BPFO \(4.95\) must be below BPFI \(3.05\)"),
        (parse_defect_orders, "BPFO=3.05,BPFI=4.95,BSF=50,FTF=0.38", "BSF must be below 50 orders"),
        (parse_geometry, "balls=1e9,ball_diameter=0.2,pitch_diameter=1", "^1e\\+09 balls of diameter 0.2 do not fit"
         " around a pitch circle of diameter 1: 15 do at most$"),
        (parse_geometry, "balls=inf,ball_diameter=1,pitch_diameter=5", "positive whole number"),
        (parse_geometry, "balls=8,ball_diameter=0.009,pitch_diameter=1", "at least 1% of the pitch diameter"),
    ],
)
def test_a_bearing_that_cannot_be_is_refused_with_its_reason(parse, text, problem):
    with pytest.raises(ValueError, match=problem):
        parse(text)


# The widest bearing the checks admit: its lines reach the furthest and its
# families crowd the most harmonics of the shaft below them.
WIDEST = DefectOrders(MAX_BALLS - 1.0, MAX_BALLS - 0.5, MAX_BSF - 0.1, 0.499)


@pytest.mark.forked(address_space=2**30, seconds=300)
@pytest.mark.parametrize("orders, shaft_hz", [(WIDEST, 0.01), (WIDEST, 1.0), (ORDERS, 1e9), (ORDERS, 1e-300)],
                         ids=["widest bearing, slow shaft", "widest bearing", "lines far above Nyquist",
                              "lines at no frequency"])
def test_the_diagnosis_memory_grows_with_the_record_not_the_defect_lines(orders, shaft_hz):
    """Within 1 GiB of address space, a million samples."""
    record = np.random.default_rng(5).standard_normal(2**20)
    assert diagnose_bearing(record, FS, orders, shaft_hz).verdict == "none"


BEARING_FLAG = f"BPFO={ORDERS.bpfo},BPFI={ORDERS.bpfi},BSF={ORDERS.bsf},FTF={ORDERS.ftf}"


@pytest.mark.parametrize(
    "record, set_point, tolerance, source, verdict",
    [
        ({}, 0.99, [], "spectrum", "inner_race"),
        # A set point 8 % off: the shaft's lines within the default 10 % give the speed.
        ({}, 1.08, [], "spectrum", "inner_race"),
        # Searched within 5 % only, the shaft's lines are out of reach: no speed found, and the families
        # sought at the set point are not there; a missed defect, not a wrong one.
        ({}, 1.08, ["--rpm-tolerance", "5"], "nominal", "none"),
        # No shaft line in the spectrum: the load zone swings the inner race's impacts at shaft rate, and
        # the envelope tells the speed.
        ({"harmonics": (), "seconds": 6.0}, 1.05, [], "envelope", "inner_race"),
    ],
    ids=["set point near", "set point 8 % off", "set point beyond the tolerance", "shaft lines in the envelope only"],
)
def test_the_command_reads_the_speed_and_names_the_defect_in_its_json(tmp_path, capsys, record, set_point, tolerance,
                                                                       source, verdict):
    path = tmp_path / "pump.npz"
    built = dict(record)
    np.savez(path, vibration=bearing_record(built.pop("defect", "inner_race"), **built), fs=FS)
    code = main(["analyze", str(path), "--rpm", str(SHAFT_HZ * 60 * set_point), "--json", "--no-figure",
                 "--bearing", BEARING_FLAG, *tolerance])
    out = json.loads(capsys.readouterr().out)
    assert code == 0
    bearing = out["bearing"]
    assert (bearing["verdict"], out["speed"]["source"]) == (verdict, source)
    assert out["speed"]["nominal_hz"] == bearing["nominal_shaft_hz"] == pytest.approx(SHAFT_HZ * set_point)
    assert set(bearing["defects"]) == {"outer_race", "inner_race", "ball", "cage"}
    if source != "nominal":
        assert bearing["shaft_hz"] == pytest.approx(SHAFT_HZ, rel=0.002)
        assert (bearing["confidence"], bearing["alternatives"]) == ("clear", [])
        inner = bearing["defects"]["inner_race"]
        assert inner["present"] and inner["frequency_hz"] == pytest.approx(ORDERS.bpfi * bearing["shaft_hz"])
        assert bearing["band_hz"][0] <= 4200 <= bearing["band_hz"][1]
    else:
        searched = tolerance[1] if tolerance else "10"
        assert bearing["confidence"] is None
        assert any(f"no shaft line stands out within {searched} %" in n for n in out["notes"])


def test_a_bearing_without_a_speed_is_noted_not_guessed(tmp_path, capsys):
    path = tmp_path / "fan.npz"
    np.savez(path, vibration=bearing_record("outer_race"), fs=FS)
    assert main(["analyze", str(path), "--json", "--no-figure", "--bearing-geometry",
                 "balls=9,ball_diameter=7.94,pitch_diameter=39.7"]) == 0
    out = json.loads(capsys.readouterr().out)
    assert out["bearing"] is None
    assert any("needs the shaft speed" in note for note in out["notes"])


# Records of the development rigs that hold each rule up: clear defects and healthy bearings of each rig;
# a cage lagging 4 % (UESTC O_800); hard impacts, not sensor faults (MFPT); a healthy bearing with a line
# near the inner race's rate, without its sidebands (UESTC N_1400); a ball comb on the inner race's
# sidebands (UESTC I_1200); a strong outer-race comb whose third line fades to the floor at a quarter of
# the rig's rate, where decoys reading the floor on its lines would widen its null (MFPT OuterRaceFault_4).
# (rig, record, fault, the share of the rig's rate it is analysed at)
REAL = [("fan-end", "IR021_1_271", "inner_race", 1), ("fan-end", "OR014@6_0_313", "outer_race", 1),
        ("fan-end", "B014_2_288", "ball", 1), ("fan-end", "N_0_97", "none", 1), ("uestc", "O_800", "outer_race", 1),
        ("uestc", "N_1400", "none", 1), ("uestc", "I_1200", "inner_race", 1),
        ("mfpt", "InnerRaceFault_1", "inner_race", 1), ("mfpt", "OuterRaceFault_1", "outer_race", 1),
        ("mfpt", "OuterRaceFault_4", "outer_race", 4)]


@pytest.mark.skipif(not RIGS, reason="the real development records are not at hand")
@pytest.mark.parametrize("rig, name, fault, share", REAL, ids=[f"{rig} {name} 1/{k}" for rig, name, _, k in REAL])
def test_real_records_of_the_development_rigs(tmp_path, rig, name, fault, share, capsys):
    arguments = analyze_arguments(rig, name)
    if share > 1:  # the record as a slower acquisition would have taken it
        row = labelled(rig)[name]
        np.save(tmp_path / "slower.npy", decimate(loadmat(arguments[1])[row["vibration"]].ravel(), share, ftype="fir"))
        arguments = ["analyze", str(tmp_path / "slower.npy"), "--fs", str(float(row["fs_hz"]) / share), "--rpm",
                     row["rpm"], *arguments[-2:]]
    assert main([*arguments, "--json", "--no-figure"]) == 0
    out = json.loads(capsys.readouterr().out)
    assert out["quality"]["usable"] and out["bearing"]["verdict"] == fault



# Real records drowned in white noise of their own RMS, which buries the shaft's lines in their spectra.
# (rig, record, seconds kept, whether the envelope gives the speed)
DROWNED = [
    # An inner race, 13 s at a set point 2.6 % off: its load zone swings the envelope at shaft rate.
    ("uestc", "I_800", None, True),
    # 2 s of an outer race: too short to part the second shaft harmonic from BPFO less one shaft rate.
    ("fan-end", "OR021@6_0_315", 2.0, False),
    # 1 s of an inner race, whose sidebands a speed 5 % off would take for its fourth and fifth harmonics.
    ("mfpt", "InnerRaceFault_3", 1.0, False),
]


@pytest.mark.skipif(not RIGS, reason="the real development records are not at hand")
@pytest.mark.parametrize("rig, name, seconds, read", DROWNED, ids=[f"{rig} {name}" for rig, name, *_ in DROWNED])
def test_the_speed_of_a_real_record_drowned_in_noise(rig, name, seconds, read):
    _, path, _, fs, _, nominal_rpm, _, column, *_ = analyze_arguments(rig, name)
    vibration = load_record(path, float(fs), vibration_column=column).vibration
    nominal_hz = float(nominal_rpm) / 60
    measured_hz = shaft_speed_from_spectrum(vibration, float(fs), nominal_hz)
    kept = vibration[: None if seconds is None else int(seconds * float(fs))]
    drowned = kept + np.std(kept) * np.random.default_rng(1).standard_normal(kept.size)
    assert shaft_speed_from_spectrum(drowned, float(fs), nominal_hz) is None
    found_hz = shaft_speed_from_envelope(drowned, float(fs), nominal_hz)
    assert found_hz == (pytest.approx(measured_hz, rel=0.003) if read else None)

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
