"""The data-quality stage: records built with a known sensor fault are named
for it, healthy records pass untouched, and no input escapes as an exception."""

import os
import warnings
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from kemo_pkg import core_math as cm
from kemo_pkg.demo import Drivetrain, make_record
from kemo_pkg.quality import check_tachometer, check_vibration
from support.field_records import as_acquired, pulse_times_of, tach_records, tach_signal, vibration

FS = 10_000.0
T = np.arange(100_000) / FS  # 10 s
REAL_RECORDS = Path(__file__).resolve().parents[2] / "shared" / "data" / "bearings-fan-end"
# make mutate tries fewer generated records: it runs these once per mutant.
PROPERTY_SETTINGS = settings(max_examples=int(os.environ.get("KEMO_PROPERTY_EXAMPLES", 300)), deadline=None)


def noise(rms=1.0, n=T.size, seed=1):
    return np.random.default_rng(seed).normal(0.0, rms, n)


def edited(values, where, value):
    values = values.copy()
    values[where] = value
    return values


def flagged(quality):
    return {c.name: c.status for c in quality.checks if c.status != "ok"}


VIBRATION = {
    # The records
    "50 000 zeros": (lambda: np.zeros(50_000), {"flat": "fault"}),
    "noise clipped at +-1.5": (lambda: np.clip(noise(), -1.5, 1.5), {"clipping": "fault"}),
    "amplitude 1e300": (lambda: 1e300 * noise(), {"magnitude": "fault"}),
    # Dead sensors
    "a constant bias": (lambda: np.full(T.size, 11.7), {"flat": "fault"}),
    "int16 counts flickering by a step": (lambda: np.round(noise(0.4)).astype(np.int16), {"flat": "fault"}),
    "subnormal samples": (lambda: 1e-310 * noise(), {"magnitude": "fault"}),
    "a sensor at its supply rail": (lambda: 12.0 + noise(1e-4), {"dc_offset": "fault"}),
    # Damaged records
    "peaks cut at a rail of 0.6658 g": (lambda: np.clip(noise(0.2), -0.6658, 0.6658), {"clipping": "warning"}),
    "int16 counts saturating": (lambda: np.clip(np.round(12000 * noise()), -32768, 32767).astype(np.int16),
                                {"clipping": "warning"}),
    "three isolated spikes": (lambda: edited(noise(0.5), [10_000, 40_000, 77_777], 8.0), {"spikes": "warning"}),
    "a spike every 100 samples": (lambda: noise(0.5) + 9.0 * (np.arange(T.size) % 100 == 0), {"spikes": "fault"}),
    "a lost buffer of zeros": (lambda: edited(noise(0.5), slice(20_000, 20_300), 0.0), {"dropouts": "warning"}),
    "a stalled converter": (lambda: edited(noise(0.5), slice(50_000, 60_000), 0.37), {"dropouts": "fault"}),
    "a bias 20 times the vibration": (lambda: 1.0 + noise(0.05), {"dc_offset": "warning"}),
    "NaN samples": (lambda: edited(noise(), slice(5, 9), np.nan), {"samples": "fault"}),
    "ten samples": (lambda: noise(n=10), {"samples": "fault"}),
    "complex samples": (lambda: noise() + 0j, {"samples": "fault"}),
    # Healthy records
    "Gaussian noise": (lambda: noise(0.3), {}),
    "int16 counts of noise": (lambda: np.round(300 * noise()).astype(np.int16), {}),
    "a pure tone": (lambda: 2.0 * np.sin(2 * np.pi * 47.3 * T), {}),
    "a tone in int16 counts": (lambda: np.round(30_000 * np.sin(2 * np.pi * 47.3 * T)).astype(np.int16), {}),
    "the drivetrain": (lambda: make_record().vibration, {}),
    "a slower drivetrain at 12 kHz": (lambda: make_record(Drivetrain(fs=12_000.0, hss_speed_hz=12.0)).vibration, {}),
}


@pytest.mark.parametrize("build, expected", VIBRATION.values(), ids=VIBRATION.keys())
def test_vibration_checks_name_the_fault_and_only_it(build, expected):
    quality = check_vibration(build(), FS)
    assert flagged(quality) == expected
    assert quality.usable == ("fault" not in expected.values())


def train(pulse_times, high=5.0, low=0.0, width_s=0.004):
    return tach_signal(T, np.sort(pulse_times), width_s, high, low, 0.02, 3)


TEN_HZ = pulse_times_of(101, 600.0, 0.001, 0.0, 0.01, 1)
TACHOMETER = {
    "pure noise (the issue's broken cable)": (lambda: noise(), {"trigger_edges": "fault"}),
    "a constant": (lambda: np.full(T.size, 0.3), {"pulses": "fault"}),
    "five revolutions": (lambda: train(pulse_times_of(5, 60.0, 0.0, 0.0, 1.0, 1), width_s=0.05),
                         {"pulses": "fault"}),
    "a shaft at 50 Hz, inside the lockout": (lambda: train(np.arange(0, 10, 0.02), width_s=0.002),
                                             {"trigger_edges": "fault"}),
    "notch-type pulses": (lambda: train(TEN_HZ, high=0.0, low=5.0), {"trigger_edges": "fault"}),
    "one missed pulse": (lambda: train(np.delete(TEN_HZ, 40)), {"pulse_intervals": "warning"}),
    "every eighth pulse missed": (lambda: train(np.delete(TEN_HZ, np.s_[3::8])), {"pulse_intervals": "fault"}),
    "one double trigger": (lambda: train(np.r_[TEN_HZ, TEN_HZ[40] + 0.04]), {"pulse_intervals": "warning"}),
    "a double trigger every fifth turn": (lambda: train(np.r_[TEN_HZ, TEN_HZ[::5] + 0.04]),
                                          {"pulse_intervals": "fault"}),
    # Impulses 50 to 150 ms apart: never inside the lockout, never a shaft.
    "random interference": (lambda: train(np.cumsum(0.05 + 0.1 * np.random.default_rng(2).random(90))),
                            {"pulse_intervals": "fault", "interval_scatter": "fault"}),
    "10 Hz": (lambda: train(TEN_HZ), {}),
    "25 Hz speeding up a fifth, 24 V": (lambda: train(pulse_times_of(300, 1500.0, 0.001, 0.2, 0.0, 1), 24.0, 0.4),
                                        {}),
}


@pytest.mark.parametrize("build, expected", TACHOMETER.values(), ids=TACHOMETER.keys())
def test_tachometer_checks_name_the_fault_and_only_it(build, expected):
    quality = check_tachometer(T, build(), FS)
    assert flagged(quality) == expected
    assert quality.usable == ("fault" not in expected.values()) == (quality.pulse_times is not None)


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


@pytest.mark.skipif(not REAL_RECORDS.is_dir(), reason="the real bearing records are not beside the repository")
def test_real_bearing_records_are_usable_and_only_clipping_is_flagged():
    from scipy.io import loadmat

    for path in sorted(REAL_RECORDS.glob("*.mat")):
        record = loadmat(path)
        quality = check_vibration(next(v for k, v in record.items() if k.endswith("FE_time")), 12_000.0)
        assert set(flagged(quality).items()) <= {("clipping", "warning")}, path.name
