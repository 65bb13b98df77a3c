"""The demonstration's drivetrain: the record and the history it builds are
those of its design, in closed form, and its truth checks the findings within
their tolerances."""

import math
from dataclasses import replace

import numpy as np
import pytest

from kemo_pkg import core_math as cm
from kemo_pkg import demo
from kemo_pkg.demo import Drivetrain, make_history, make_record
from kemo_pkg.severity import STANDARD_G


def tone_velocity_mm_s(freq_hz, amplitude_g):
    return amplitude_g * STANDARD_G / (2 * math.pi * freq_hz) / math.sqrt(2) * 1000


QUIET = Drivetrain(amp_1x=0.0, amp_2x=0.0, amp_3x=0.0, mesh_amp=0.0, lss_1x_amp=0.0, noise_rms=0.0, speed_drift_hz=0.0)
# White noise of RMS sigma spreads sigma**2 evenly up to fs / 2; in velocity
# each Hz weighs 1 / (2 pi f)**2, 10 Hz to 1 kHz.
NOISE_MM_S = math.sqrt(0.25**2 / 12800.0 / (2 * math.pi) ** 2 * (1 / 10 - 1 / 1000)) * STANDARD_G * 1000


@pytest.mark.parametrize(
    "parts, velocity_mm_s",
    [
        ({"mesh_amp": 0.8}, tone_velocity_mm_s(23 * 25.0, 0.8)),
        # Below 600 r/min the band opens at 2 Hz: the 5 Hz shaft counts, the 1.25 Hz run-out does not.
        ({"hss_speed_hz": 5.0, "amp_1x": 0.3, "lss_1x_amp": 0.12}, tone_velocity_mm_s(5.0, 0.3)),
        ({"noise_rms": 0.25, "fs": 25600.0}, NOISE_MM_S),
    ],
)
def test_the_designs_velocity_is_the_closed_form_of_its_parts(parts, velocity_mm_s):
    assert replace(QUIET, **parts).velocity_rms_mm_s() == pytest.approx(velocity_mm_s, rel=1e-9)


def test_an_impact_rings_the_housing_resonance_for_eight_decay_times():
    design = Drivetrain()
    ringing = design.ringing()
    decay_s = 1 / (design.resonance_damping * 2 * math.pi * design.resonance_hz)
    assert ringing.size == pytest.approx(8 * decay_s * design.fs, abs=1)
    spectrum = np.abs(np.fft.rfft(ringing, 1 << 16))
    assert np.argmax(spectrum) * design.fs / (1 << 16) == pytest.approx(design.resonance_hz, rel=0.01)
    assert (abs(ringing[0]), ringing.mean()) == (pytest.approx(1.0, abs=0.01), pytest.approx(0.0, abs=1e-12))


def test_the_tachometer_pulses_once_a_revolution_over_a_quiet_idle_level():
    # 25 revolutions in one second from 0.02 rev: the pulses at both ends are cut.
    design = replace(QUIET, fs=12800.0, duration_s=1.0, tach_phase_rev=0.02)
    record = make_record(design)
    high = record.tach > 2.5
    edges = np.flatnonzero(np.diff(high.astype(int)))
    starts, ends = edges[high[edges + 1]] + 1, edges[~high[edges + 1]]
    starts, ends = starts[starts < ends[-1]], ends[ends > starts[0]]  # whole pulses only
    assert design.pulse_times() == pytest.approx((starts + ends) / 2 / design.fs, abs=1 / design.fs)
    assert len(starts) == 24
    idle = record.tach[~high]
    assert (np.median(idle), np.std(idle)) == (pytest.approx(0.15, abs=0.002), pytest.approx(0.02, rel=0.05))
    assert np.median(record.tach[high]) == pytest.approx(0.15 + design.tach_high_v, abs=0.002)
    # Every run builds the same record.
    assert np.array_equal(make_record(design).vibration, record.vibration)


DAYS = np.array([0, 99, 100, 100.5, 101, 130, 149])


def test_the_spall_forms_on_the_onset_day_and_grows():
    design = Drivetrain()
    spall = (DAYS >= design.onset_day) * design.spall_g
    growth = design.growth_g * np.expm1(np.maximum(DAYS - design.onset_day, 0) / design.growth_days)
    level = design.band_level + spall + growth
    assert design.health_level(DAYS) == pytest.approx(level, rel=1e-12)
    # Its rate of change: none before the onset, then the slope of the level.
    step = 1e-4
    slope = (design.health_level(DAYS + step) - design.health_level(DAYS - step)) / (2 * step)
    assert design.health_velocity(DAYS) == pytest.approx(np.where(DAYS > design.onset_day, slope, 0.0), rel=1e-6)
    # Days counted in unsigned integers, before the onset too, read the same.
    days = np.arange(design.days)
    for curve in (design.health_level, design.health_velocity):
        assert np.array_equal(curve(days.astype(np.uint16)), curve(days))


def test_the_history_keeps_its_states_bands_and_scatter():
    design = Drivetrain()
    history = make_history(design)
    assert np.array_equal(make_history(design).band_level, history.band_level)  # drawn from a fixed seed
    # The states at their odds: idling on about one day in twenty.
    odds = dict(zip(["P_OUT", "P1", "P2", "P3", "P4", "P5"], [0.05, 0.08, 0.12, 0.25, 0.25, 0.25]))
    for state, p in odds.items():
        count = np.sum(history.states == state)
        assert abs(count - p * design.days) <= 3 * math.sqrt(p * (1 - p) * design.days), state
    # Each reading 5 % of its band's width inside it; the well-filled bands reach that margin.
    bands = {
        "P_OUT": (0, 100),
        "P1": (100, 500),
        "P2": (500, 800),
        "P3": (800, 1400),
        "P4": (1400, 1800),
        "P5": (1800, 2400),
    }
    for state, (low, high) in bands.items():
        share = (history.power_kw[history.states == state] - low) / (high - low)
        assert 0.05 <= share.min() and share.max() <= 0.95, state
        if share.size >= 30:
            assert share.min() < 0.1 and share.max() > 0.9, state
    departure = history.band_level - design.health_level(np.arange(design.days))
    assert departure[design.spike_day] == pytest.approx(design.spike_g, abs=4 * design.band_scatter)
    assert np.std(np.delete(departure, design.spike_day)) == pytest.approx(design.band_scatter, rel=0.2)


@pytest.mark.parametrize("duration_s", [3.0, 3.2])  # 75 and 80 pulse intervals: 18.75 and 20 slow revolutions
def test_the_demos_truth_is_the_designs_and_checks_within_its_tolerances(duration_s):
    design = Drivetrain(fs=12800.0, duration_s=duration_s)
    history = make_history(design)
    bin_order = 0.01
    truth = demo.truth(design, history, bin_order)
    speed, velocity, rms = design.mean_speed(), design.velocity_rms_mm_s(), design.overall_rms()
    slow_revs = math.floor((len(design.pulse_times()) - 1) / design.gear_ratio)
    health = design.health_level(np.arange(design.days))
    level, severity = health[-1], cm.compute_severity_envelope(health)[-1]
    rate = design.health_velocity(design.days - 1)
    counts = {state: int(np.sum(history.states == state)) for state in ["P1", "P2", "P3", "P4", "P5", "P_OUT"]}
    fault_hz, mesh_band = design.bpfo_order * speed, design.mesh_amp * math.sqrt(1.5)
    cases = {  # key: (injected as shown, found values that pass, found values that fail)
        "velocity_rms": (f"{velocity:.3f}", [velocity * 1.019], [velocity * 1.03]),
        "bearing_verdict": ("outer_race", ["outer_race"], ["none"]),
        "dc_offset": ("0.0200", [0.0215], [0.023]),
        "overall_rms": (f"{rms:.3f}", [rms * 0.981], [rms * 1.03]),
        "speed": (f"{speed:.3f}", [speed * 1.0009], [speed * 1.002]),
        "lss_revs": (f"{slow_revs}", [slow_revs], [slow_revs + 1]),
        "gear_ratio": ("4.0000", [4.0], [4.5]),
        "lss_1x": ("0.120", [0.125], [0.13]),
        "harmonic_1x": ("0.300", [0.31], [0.33]),
        "mesh_amp": ("0.800", [0.83], [0.85]),
        "mesh_band": (f"{mesh_band:.3f}", [mesh_band * 1.04], [mesh_band * 1.06]),
        "fault": ("3.5700", [3.57 + bin_order / 2], [3.57 + 2 * bin_order]),
        "fault_hz": (f"{fault_hz:.2f}", [fault_hz + bin_order * speed], [fault_hz + 1.5 * bin_order * speed]),
        "period": (f"{1 / 3.57:.4f}", [1.009 / 3.57], [1.02 / 3.57]),
        "outlier": ("40, +0.150", [(40, 0.17)], [(40, 0.19), (41, 0.15)]),
        "alarm": ("100", [98, 105], [None, 97, 106]),  # the median sees two days ahead, the alarm wants three
        "level": (
            f"{level:.3f} / {severity:.3f}",
            [(level * 1.09, severity * 0.91)],
            [(level * 1.15, severity), (level, severity * 1.15), (level, 0.0)],
        ),
        "velocity": (f"{rate:+.4f}", [rate * 0.81, rate * 1.19], [rate * 1.25]),
        "states": (
            " ".join(str(counts[f"P{k}"]) for k in range(1, 6)) + f" / {counts['P_OUT']}",
            [history.states],
            [history.states[::-1]],
        ),
    }
    for key, (injected, right, wrong) in cases.items():
        shown, check = truth[key]
        assert shown == injected, key
        assert all(check(found) for found in right) and not any(check(found) for found in wrong), key
