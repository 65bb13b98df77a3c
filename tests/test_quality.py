"""The data-quality stage: records built with a known sensor fault are named
for it, healthy records pass untouched, and no input escapes as an exception."""

import os
import warnings

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from kemo_pkg import core_math as cm
from kemo_pkg.demo import Drivetrain, make_record
from kemo_pkg.quality import (
    DETECTOR_LOCKOUT_S,
    DETECTOR_TRIGGER,
    TACH_SCATTER_FAULT,
    _quantiles,
    check_tachometer,
    check_vibration,
)
from kemo_pkg.records import MIN_SAMPLES
from support.field_records import as_acquired, pulse_times_of, tach_records, tach_signal, vibration
from support.rigs import RIGS, labelled

FS = 10_000.0
T = np.arange(100_000) / FS  # 10 s
# make mutate tries fewer generated records: it runs these once per mutant.
PROPERTY_SETTINGS = settings(max_examples=int(os.environ.get("KEMO_PROPERTY_EXAMPLES", 300)), deadline=None)


def noise(rms=1.0, n=T.size, seed=1):
    return np.random.default_rng(seed).normal(0.0, rms, n)


def edited(values, where, value):
    values = values.copy()
    values[where] = value
    return values


class Over:
    """Any figure above `floor`, for values the record sets only a bound on."""

    def __init__(self, floor):
        self.floor = floor

    def __eq__(self, value):
        return value is not None and value > self.floor

    def __repr__(self):
        return f"Over({self.floor})"


def near(value, rel=0.01):
    return pytest.approx(value, rel=rel)


def judged(ac_rms_g, peak_g, clipping=("ok", 0.0), spikes=("ok", 0.0), dropouts=("ok", 0.0), dc_offset=None,
           n=T.size):
    """Every check of a record that passes samples, flat and magnitude: the
    figure behind each, a zero-mean record's DC ratio a few 1/sqrt(n) at most."""
    return [("samples", "ok", n), ("flat", "ok", ac_rms_g), ("magnitude", "ok", peak_g), ("clipping", *clipping),
            ("spikes", *spikes), ("dropouts", *dropouts),
            ("dc_offset", *(dc_offset or ("ok", pytest.approx(0.0, abs=0.03))))]


def stopped_at(n, flat=None, magnitude=None):
    """The checks of a record whose flat or magnitude check is a fault: none after it."""
    return [("samples", "ok", n), ("flat", *flat)] + ([("magnitude", *magnitude)] if magnitude else [])


def held_beyond(values, low, high):
    return np.count_nonzero((values <= low) | (values >= high)) / values.size


def gaussian_peak(rms):
    return near(4.4 * rms, 0.1)  # the largest of 1e5 normal samples


UNIT_NOISE = noise()
# The rail that holds exactly 1 % of the samples of unit noise clipped there.
ONE_PERCENT_RAIL = np.mean(np.sort(np.abs(UNIT_NOISE))[-1001:-999])
# Bearing impacts every 115 samples (87 Hz), ringing a 3 kHz resonance down in 2 ms: tall, but not alone.
SINCE_IMPACT_S = (np.arange(T.size) % 115) / FS
RINGING = np.exp(-SINCE_IMPACT_S / 0.002) * np.sin(2 * np.pi * 3000 * SINCE_IMPACT_S)
BETWEEN_IMPACTS = 115 * np.array([87, 348, 674]) + 95
SAWTOOTH = np.tile(np.arange(-3.0, 4.0), T.size // 7)  # -3 to 3 g in steps of 1 g: 2 g RMS
TONE = 2.0 * np.sin(2 * np.pi * 47.3 * T)

def impacts_ringing_after(record):
    """Impacts every 917 samples: one sample over three times as tall as the
    ringing of a 1.3 kHz resonance that follows it for a few milliseconds."""
    ring_t = np.arange(40) / FS
    ring = 0.35 * np.exp(-ring_t / 0.002) * np.cos(2 * np.pi * 1300 * ring_t)
    starts = np.arange(1000, T.size - 100, 917)
    record[starts] = np.random.default_rng(2).uniform(1.1, 1.3, starts.size)
    for at in starts:
        record[at + 3 : at + 43] += ring
    return record


# vibration -> every check's (name, status, value)
VIBRATION = {
    # The records
    "50 000 zeros": (lambda: np.zeros(50_000), stopped_at(50_000, ("fault", 0.0))),
    "noise clipped at +-1.5": (lambda: np.clip(UNIT_NOISE, -1.5, 1.5),
                               judged(near(0.88), 1.5, ("warning", held_beyond(UNIT_NOISE, -1.5, 1.5)))),
    # Held at the rails most of the time: no usable signal left.
    "noise clipped at +-0.5": (lambda: np.clip(UNIT_NOISE, -0.5, 0.5),
                               judged(Over(0.4), 0.5, ("fault", held_beyond(UNIT_NOISE, -0.5, 0.5)))),
    "amplitude 1e300": (lambda: 1e300 * UNIT_NOISE,
                        stopped_at(T.size, ("ok", near(1e300)), ("fault", gaussian_peak(1e300)))),
    # Dead sensors
    "a constant bias": (lambda: np.full(T.size, 11.7), stopped_at(T.size, ("fault", 0.0))),
    # One count either side of zero in 21 % of the samples: an RMS of 0.46 counts.
    "int16 counts flickering by a step": (lambda: np.round(noise(0.4)).astype(np.int16),
                                          stopped_at(T.size, ("fault", near(0.46, 0.02)))),
    # Counts of 0, +-1 and +-2 in the proportions 6 : 4 : 1 each side: exactly one count RMS, a live sensor's faintest.
    "int16 counts at one converter step RMS": (
        lambda: np.tile(np.array([0, 1, 2, 1, 0, -1, -2, -1, 0, 1, 0, -1, 0, 1, 0, -1], np.int16), T.size // 16),
        judged(1.0, 2.0, dc_offset=("ok", 0.0))),
    "subnormal samples": (lambda: 1e-310 * UNIT_NOISE,
                          stopped_at(T.size, ("ok", near(1e-310)), ("fault", gaussian_peak(1e-310)))),
    "a sensor at its supply rail": (lambda: 12.0 + noise(1e-4),
                                    judged(near(1e-4), near(12.0, 1e-3), dc_offset=("fault", near(1.2e5)))),
    # Damaged records
    "peaks cut at a rail of 0.6658 g": (
        lambda: np.clip(0.2 * UNIT_NOISE, -0.6658, 0.6658),
        judged(near(0.2), 0.6658, ("warning", held_beyond(0.2 * UNIT_NOISE, -0.6658, 0.6658)))),
    "1 % of the samples at the rails, the most run through": (
        lambda: np.clip(UNIT_NOISE, -ONE_PERCENT_RAIL, ONE_PERCENT_RAIL),
        judged(near(0.99), ONE_PERCENT_RAIL, ("warning", 0.01))),
    "int16 counts saturating": (lambda: np.clip(np.round(12000 * UNIT_NOISE), -32768, 32767).astype(np.int16),
                                judged(near(12000), 32768,
                                       ("warning", held_beyond(np.round(12000 * UNIT_NOISE), -32768, 32767)))),
    # A sine clipped at 0.8 of its amplitude spends 1 - (2/pi) asin(0.8) of its time at the rails.
    "a tone clipped at 0.8 of its amplitude": (
        lambda: np.clip(TONE, -1.6, 1.6),
        judged(Over(1.0), 1.6, ("warning", near(1 - 2 / np.pi * np.arcsin(0.8), 1e-3)))),
    "three transients between bearing impacts": (lambda: edited(RINGING + noise(0.1), BETWEEN_IMPACTS, 1.2),
                                                 judged(Over(0.1), Over(1.2), spikes=("warning", 3))),
    "a spike each second": (lambda: edited(noise(0.5), np.arange(5000, T.size, 10_000), np.linspace(4.5, 5.4, 10)),
                            judged(near(0.5), 5.4, spikes=("warning", 10))),
    # A hard impact's first half-cycle stands alone, but the structure rings on after it: no spike.
    "impacts whose first half-cycle stands alone": (lambda: impacts_ringing_after(noise(0.1)),
                                                     judged(Over(0.1), Over(1.1))),
    "a lost buffer of zeros, 1 % of the record, the most run through": (
        lambda: edited(noise(0.5), slice(20_000, 21_000), 0.0),
        judged(near(0.5), gaussian_peak(0.5), dropouts=("warning", 0.01))),
    "the last 8 samples lost, the shortest dropout": (
        lambda: edited(noise(0.5), slice(-8, None), 0.0),
        judged(near(0.5), gaussian_peak(0.5), dropouts=("warning", 8e-5))),
    # A quarter of the samples repeat the one before by chance: runs of 13.5 samples once in a thousand
    # records of this length, so a stall of 14 is no chance.
    "int16 counts at 1.2 counts RMS, stalled for 14 samples": (
        lambda: edited(np.round(1.2 * UNIT_NOISE).astype(np.int16), slice(30_000, 30_014), 4),
        judged(near(1.23), 5, dropouts=("warning", 14 / T.size))),
    # A tenth of the record at 0.37 g: a mean of 0.037 g.
    "a stalled converter": (lambda: edited(noise(0.5), slice(50_000, 60_000), 0.37),
                            judged(near(0.487), gaussian_peak(0.5), dropouts=("warning", 0.1),
                                   dc_offset=("ok", near(0.037 / 0.487, 0.05)))),
    # Against a bulk of zeros, the live third's tallest samples stand out as spikes.
    "a record lost but for its first third": (lambda: edited(noise(0.5), slice(30_000, None), 0.0),
                                              judged(Over(0.2), Over(1.0), spikes=("warning", 2),
                                                     dropouts=("fault", 0.7))),
    "three spikes on a bias 20 times the vibration": (
        lambda: edited(1.0 + noise(0.05), [10_000, 40_000, 77_777], 1.5),
        judged(near(0.05), 1.5, spikes=("warning", 3), dc_offset=("warning", near(20)))),
    # A rail holds more than four times the value below it.
    "a top value four times as frequent as the one below": (
        lambda: edited(0.3 * UNIT_NOISE, np.r_[1000:9000:1000, 20_000, 30_000], [1.5] * 8 + [1.4] * 2),
        judged(near(0.3), 1.5)),
    # A sawtooth of 2 g RMS on a bias of 20 g, then of 2000 g: each exactly on its threshold.
    "a bias of ten times the AC level": (lambda: 20.0 + SAWTOOTH,
                                         judged(near(2.0), 23.0, dc_offset=("warning", 10.0), n=SAWTOOTH.size)),
    "a bias of a thousand times the AC level": (
        lambda: 2000.0 + SAWTOOTH, judged(near(2.0), 2003.0, dc_offset=("fault", 1000.0), n=SAWTOOTH.size)),
    # The extremes of any sensor's range are still a sensor's.
    "a peak of 1e12 g, the largest plausible": (lambda: 1e12 / 3 * SAWTOOTH,
                                                judged(near(2e12 / 3), 1e12, n=SAWTOOTH.size)),
    "a peak of 1e-15 g, the smallest plausible": (lambda: 1e-15 / 3 * SAWTOOTH,
                                                  judged(near(2e-15 / 3), 1e-15, n=SAWTOOTH.size)),
    "NaN samples": (lambda: edited(UNIT_NOISE, slice(5, 9), np.nan), [("samples", "fault", 4)]),
    "ten samples": (lambda: noise(n=10), [("samples", "fault", 10)]),
    "complex samples": (lambda: UNIT_NOISE + 0j, [("samples", "fault", None)]),
    # Healthy records
    "Gaussian noise": (lambda: 0.3 * UNIT_NOISE, judged(near(0.3), gaussian_peak(0.3))),
    "int16 counts of noise": (lambda: np.round(300 * UNIT_NOISE).astype(np.int16),
                              judged(near(300), gaussian_peak(300))),
    "a pure tone": (lambda: TONE, judged(near(2 ** 0.5, 1e-3), near(2.0, 1e-3))),
    "a tone in int16 counts": (lambda: np.round(15_000 * TONE).astype(np.int16),
                               judged(near(30_000 / 2 ** 0.5, 1e-3), near(30_000, 1e-3))),
    "the drivetrain": (lambda: make_record().vibration, judged(Over(0.0), Over(0.0), n=256_000)),
    "a slower drivetrain at 12 kHz": (lambda: make_record(Drivetrain(fs=12_000.0, hss_speed_hz=12.0)).vibration,
                                      judged(Over(0.0), Over(0.0), n=120_000)),
}


def assert_checks(quality, channel, expected):
    assert quality.channel == channel
    assert [(c.name, c.status, c.value) for c in quality.checks] == expected
    assert all(isinstance(c.detail, str) and c.detail for c in quality.checks)
    assert quality.usable == all(status != "fault" for _, status, _ in expected)
    assert [c.name for c in quality.warnings] == [name for name, status, _ in expected if status == "warning"]


# What a report reads for the fault: the closing words of its diagnosis.
DIAGNOSES = {
    "50 000 zeros": "no signal (dead sensor or disconnected cable)",
    "amplitude 1e300": "beyond any sensor or converter (corrupt scale factor?)",
    "subnormal samples": "below any sensor's noise floor (numerical residue, not a signal)",
    "NaN samples": "4 of 100000 samples are NaN or infinite",
    "ten samples": f"10 samples: too few to judge (at least {MIN_SAMPLES})",
    "noise clipped at +-1.5": "levels and crest factor are its own, the defect lines keep their place",
    "noise clipped at +-0.5": ": saturated most of the time, no usable signal",
    "a spike each second": "out; bridged for the analysis",
    "a record lost but for its first third": ": held most of the time, no usable signal",
    "int16 counts flickering by a step": ": converter flicker, no sensor behind it",
    "a sensor at its supply rail": ": sensor off its bias",
    "peaks cut at a rail of 0.6658 g": ": brief overload",
    "a stalled converter": "the longest 10000 samples (1 s) at 0.37 g",
    "three spikes on a bias 20 times the vibration": ": a bias left on by the chain (removed for the analysis)",
}


@pytest.mark.filterwarnings("error")
@pytest.mark.parametrize("case", VIBRATION)
def test_vibration_checks_name_the_fault_and_its_measure(case):
    build, expected = VIBRATION[case]
    quality = check_vibration(build(), FS)
    assert_checks(quality, "vibration", expected)
    assert any(c.detail.endswith(DIAGNOSES.get(case, "")) for c in quality.checks)


@pytest.mark.parametrize("case", VIBRATION)
def test_every_level_is_given_in_the_records_unit(case):
    record = VIBRATION[case][0]()
    in_g, in_m_s2 = ([check.detail for check in check_vibration(record, FS, units).checks] for units in ("g", "m/s2"))
    assert [detail.replace(" m/s2", " g") for detail in in_m_s2] == in_g


@pytest.mark.parametrize("record, fs, counted", [
    (UNIT_NOISE[:MIN_SAMPLES], FS, ("ok", MIN_SAMPLES)),  # the fewest samples judged, those of the shortest record
    (UNIT_NOISE[: MIN_SAMPLES - 1], FS, ("fault", MIN_SAMPLES - 1)),
    (UNIT_NOISE, 0.5, ("ok", T.size)),  # a slow rate is a rate
    (UNIT_NOISE, 0.0, ("fault", None)),
    (UNIT_NOISE, -FS, ("fault", None)),
    (UNIT_NOISE, np.inf, ("fault", None)),
    (UNIT_NOISE, np.nan, ("fault", None)),
])
def test_a_record_is_judged_from_its_shortest_length_at_a_positive_finite_rate(record, fs, counted):
    first = check_vibration(record, fs).checks[0]
    assert (first.name, first.status, first.value) == ("samples", *counted)
    assert counted[1] is not None or "is not a rate" in first.detail


def test_quantiles_interpolate_between_neighbours_as_numpy_does():
    ordered = np.array([0.0, 1.0, 2.0, 3.0, 10.0])
    shares = (0.0, 0.3, 0.5, 0.9, 1.0)  # positions 0, 1.2, 2, 3.6 and 4 among the five
    np.testing.assert_allclose(_quantiles(ordered, shares), [0.0, 1.2, 2.0, 7.2, 10.0])
    np.testing.assert_allclose(_quantiles(ordered, shares), np.percentile(ordered, 100 * np.array(shares)))


def train(pulse_times, high=5.0, low=0.0, width_s=0.004, noise_rms=0.02):
    return tach_signal(T, np.sort(pulse_times), width_s, high, low, noise_rms, 3)


TEN_HZ = pulse_times_of(100, 600.0, 0.001, 0.0, 0.01, 1)  # 0.01 s to 9.91 s, periods within 0.1 %
ELEVEN_HZ = pulse_times_of(108, 660.0, 0.001, 0.0, 0.01, 1)
TWO_RATES = 0.01 + np.r_[0, np.cumsum(np.tile([0.06, 0.06, 0.14, 0.14, 0.14, 0.06], 4)[:22])]  # s
EDGE_STUTTER = (1.5, 0.5, 3.5, 2.5)  # V, the samples before each 5 V pulse: chatter either side of the hysteresis


def stuttering(pulse_times):
    tach = train(pulse_times, noise_rms=0.0)
    starts = np.searchsorted(T, pulse_times)
    for k, level in enumerate(EDGE_STUTTER):
        tach[starts - len(EDGE_STUTTER) + k] = level
    return tach


def read_up_to_pulses(count, peak_v=5.0, status="ok"):
    return [("samples", "ok", T.size), ("magnitude", "ok", near(peak_v, 0.03)), ("pulses", status, count)]


def usable(pulses, edges_dropped=0.0, intervals=("ok", 0.0), speed_hz=10.0, peak_v=5.0):
    return [*read_up_to_pulses(pulses, peak_v), ("trigger_edges", "ok", edges_dropped),
            ("pulse_intervals", *intervals), ("interval_scatter", "ok", pytest.approx(0.0, abs=3e-3)),
            ("speed", "ok", near(speed_hz, 1e-3))]


def scattered(pulses, intervals, scatter):
    return [*read_up_to_pulses(pulses), ("trigger_edges", "ok", 0.0), ("pulse_intervals", *intervals),
            ("interval_scatter", "fault", scatter)]


# (sample times, tachometer) -> every check's (name, status, value), and the closing words of a diagnosis
TACHOMETER = {
    "sample times of another record": (lambda: (T[:-1], train(TEN_HZ)), [("samples", "fault", None)], ""),
    "a sample time repeated": (lambda: (edited(T, 500, T[499]), train(TEN_HZ)), [("samples", "fault", None)],
                               "the sample times do not increase"),
    "NaN sample times": (lambda: (edited(T, slice(5, 9), np.nan), train(TEN_HZ)), [("samples", "fault", 4)],
                         "4 of 100000 sample times are NaN or infinite"),
    "a constant": (lambda: (T, np.full(T.size, 0.3)), [("samples", "ok", T.size), ("pulses", "fault", 0)],
                   "(no signal on the tachometer cable)"),
    "a scale factor of 1e300": (lambda: (T, 1e300 * train(TEN_HZ, noise_rms=0.0)),
                                [("samples", "ok", T.size), ("magnitude", "fault", 5e300)], ""),
    "clean notch-type pulses, the median at the top": (lambda: (T, train(TEN_HZ, 0.0, 5.0, noise_rms=0.0)),
                                                       read_up_to_pulses(0, status="fault"),
                                                       "never crosses its trigger level; the pulses point downwards"),
    "five revolutions on a 20 V bias": (
        lambda: (T, train(pulse_times_of(5, 60.0, 0.0, 0.0, 1.0, 1), 24.0, 20.0, 0.05)),
        read_up_to_pulses(5, 24.0, "fault"), "5 pulse(s) in 10 s: too few to track (at least 10)"),
    # The broken cable: noise crosses the level at random, far more often than the detector keeps
    # (one pulse per 30 ms lockout).
    "pure noise": (lambda: (T, UNIT_NOISE),
                   [*read_up_to_pulses(near(10 / 0.03, 0.03), 4.4), ("trigger_edges", "fault", Over(1.0))],
                   "or pulses closer than the detector's 30 ms lockout"),
    "noisy notch-type pulses": (lambda: (T, train(TEN_HZ, 0.0, 5.0)),
                                [*read_up_to_pulses(near(10 / 0.03, 0.03)), ("trigger_edges", "fault", Over(1.0))],
                                "30 ms lockout; the pulses point downwards"),
    # Every other pulse falls inside the detector's lockout: one edge dropped per pulse kept.
    "a shaft at 50 Hz": (lambda: (T, train(np.arange(0, 10, 0.02), width_s=0.002)),
                         [*read_up_to_pulses(250), ("trigger_edges", "fault", 1.0)], ""),
    "bounce inside the lockout on 5 of 100 pulses": (lambda: (T, train(np.r_[TEN_HZ, TEN_HZ[10:60:10] + 0.01])),
                                                     usable(100, edges_dropped=0.05), ""),
    "edges stuttering within the hysteresis": (lambda: (T, stuttering(TEN_HZ)), usable(100), ""),
    "ten revolutions, the fewest tracked": (
        lambda: (T, train(pulse_times_of(10, 60.0, 0.0, 0.0, 0.5, 1), width_s=0.05)), usable(10, speed_hz=1.0), ""),
    "10 Hz, the record starting inside a pulse": (lambda: (T, train(TEN_HZ - 0.012)), usable(100), ""),
    "needle pulses on a 3 V bias": (lambda: (T, train(TEN_HZ, 5.0, 3.0, width_s=0.00015, noise_rms=0.0)),
                                    usable(100), "(599 to 601 r/min), mean 10 Hz"),
    "a double trigger in the first turn": (lambda: (T, train(np.r_[TEN_HZ, TEN_HZ[0] + 0.04])),
                                           usable(101, intervals=("warning", 2 / 100)),
                                           "2 short (a second trigger in the revolution)"),
    "five missed pulses in 100 periods": (lambda: (T, train(np.delete(ELEVEN_HZ, [15, 30, 45, 46, 60, 75, 76]))),
                                          usable(101, intervals=("warning", 0.05), speed_hz=11.0),
                                          "at 2, 3 times their neighbours (missed pulses)"),
    "every eighth pulse missed": (lambda: (T, train(np.delete(TEN_HZ, np.s_[4::8]))),
                                  usable(88, intervals=("fault", 12 / 87))[:-1],
                                  "12 long, at 2 times their neighbours (missed pulses)"),
    "a double trigger every fifth turn": (lambda: (T, train(np.r_[TEN_HZ, TEN_HZ[::5] + 0.04])),
                                          usable(120, intervals=("fault", 40 / 119))[:-1],
                                          "40 short (a second trigger in the revolution)"),
    # Periods drawn within +-25 %: none out of step with its neighbours, but no rotor's speed.
    "a wandering speed": (lambda: (T, train(pulse_times_of(100, 600.0, 0.25, 0.0, 0.01, 1))),
                          scattered(100, ("ok", 0.0), Over(TACH_SCATTER_FAULT)), ""),
    # Bursts of three fast and three slow periods: no period is in step with its neighbours.
    "a trigger at two rates": (lambda: (T, train(TWO_RATES)), scattered(23, ("fault", 1.0), np.inf), ""),
}


@pytest.mark.parametrize("build, expected, phrase", TACHOMETER.values(), ids=TACHOMETER.keys())
def test_tachometer_checks_name_the_fault_and_its_measure(build, expected, phrase):
    quality = check_tachometer(*build(), FS)
    assert_checks(quality, "tachometer", expected)
    assert any(c.detail.endswith(phrase) for c in quality.checks)
    assert any("downwards" in c.detail for c in quality.checks) == ("downwards" in phrase)
    assert quality.usable == (quality.pulse_times is not None) == (quality.checks[-1].name == "speed")
    if quality.usable:
        np.testing.assert_allclose(quality.speed_range_hz, expected[-1][2].expected, rtol=0.02)


def test_the_checks_count_edges_at_the_core_detectors_own_trigger_and_lockout():
    # The core's detector takes no settings; these are its own.  A full pulse
    # on 0.6 % of the samples sets the 99.5th percentile at 1 over a median of 0.
    t = np.arange(10_000) / 1000.0

    def found(*pulses):  # (start, width, height) in s, s and the full pulse's height
        y = np.zeros(t.size)
        for start, width, height in [(1.0, 0.06, 1.0), *pulses]:
            y[(t >= start) & (t < start + width)] = height
        return cm.get_tach_midpoints(t, y).size - 1

    assert [found((5.0, 0.005, DETECTOR_TRIGGER + step)) for step in (0.01, -0.01)] == [1, 0]
    second = [(5.0 + DETECTOR_LOCKOUT_S + step, 0.005, 1.0) for step in (0.002, -0.002)]
    assert [found((5.0, 0.005, 1.0), pulse) for pulse in second] == [2, 1]


def test_a_usable_tachometer_gives_the_detectors_pulses_and_the_shafts_speed_range():
    design = Drivetrain()
    record = make_record(design)
    quality = check_tachometer(record.t, record.tach, record.fs)
    np.testing.assert_array_equal(quality.pulse_times, cm.get_tach_midpoints(record.t, record.tach))
    # The speed swings sinusoidally about the set point; each period averages it over one revolution.
    omega = 2 * np.pi / design.speed_swing_period_s
    true_hz = design.hss_speed_hz + design.speed_drift_hz * np.sin(omega * record.t)
    np.testing.assert_allclose(quality.speed_range_hz, (true_hz.min(), true_hz.max()), rtol=2e-3)


def well_formed(quality):
    assert all(c.status in ("ok", "warning", "fault") and "\n" not in c.detail for c in quality.checks)
    return quality.usable == (not quality.faults)


extreme_arrays = hnp.arrays(st.sampled_from(("f8", "f4", "f2", "i2", "i8", "u1", "?")), st.integers(0, 300))
vibration_records = st.one_of(
    vibration().flatmap(lambda record: st.tuples(as_acquired(record[0]), st.just(record[1]))),
    st.tuples(extreme_arrays, st.floats(1e-3, 1e6)),
)


@given(record=vibration_records)
@PROPERTY_SETTINGS
def test_no_vibration_record_raises_or_warns(record):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert well_formed(check_vibration(*record))


@given(record=tach_records(), fs=st.sampled_from((1000.0, 10_000.0)))
@PROPERTY_SETTINGS
def test_no_tachometer_record_raises_or_warns(record, fs):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        quality = check_tachometer(*record, fs)
    assert well_formed(quality) and quality.usable == (quality.pulse_times is not None)


@pytest.mark.skipif(not RIGS, reason="the real bearing records are not beside the repository")
def test_real_bearing_records_are_usable_hard_impacts_and_all():
    from scipy.io import loadmat

    for rig in RIGS:
        for name, row in labelled(rig.name.removeprefix("bearings-")).items():
            quality = check_vibration(loadmat(rig / row["file"])[row["vibration"]].ravel(), float(row["fs_hz"]))
            # A hard impact that stands alone for a sample or two may read as a spike, and is bridged.
            assert not quality.faults and {c.name for c in quality.warnings} <= {"clipping", "spikes"}, name
