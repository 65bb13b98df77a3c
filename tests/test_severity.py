"""Overall velocity severity against known truth: the analytic velocity of
synthetic tones and noise, and the zone table of ISO 20816-3."""

import fnmatch
import math
import warnings

import numpy as np
import pytest

from kemo_pkg.severity import (
    STANDARD_G,
    assess_severity,
    tone_velocity_rms_mm_s,
    velocity_rms_mm_s,
    zone_of,
)

FS = 5120.0
BAND = (10.0, 1000.0)
ONE_G_AT_50_HZ_MM_S = STANDARD_G / (100 * math.pi) / math.sqrt(2) * 1000


def tones_record(tones, duration_s, fs=FS, phase=0.0, offset=0.0):
    """Sum of cosines (frequency Hz, amplitude), each with its own phase."""
    t = np.arange(round(duration_s * fs)) / fs
    return offset + sum(a * np.cos(2 * np.pi * f * t + phase * (k + 1)) for k, (f, a) in enumerate(tones))


@pytest.mark.parametrize("units, to_m_s2", [("m/s2", 1.0), ("g", STANDARD_G)])
@pytest.mark.parametrize("duration_s", [1.0, 1.0137, 2.71])  # from the minimum, 10 periods of 10 Hz
@pytest.mark.parametrize("phase", [0.0, 0.9, 2.2])
def test_50_hz_sine_reads_its_exact_velocity_and_zone(units, to_m_s2, duration_s, phase):
    x = tones_record([(50.0, 5.0 / 1000 * math.sqrt(2) * 2 * math.pi * 50 / to_m_s2)], duration_s, phase=phase)
    zones_at_5_mm_s = {(1, "rigid"): "C", (1, "flexible"): "B", (2, "rigid"): "D", (2, "flexible"): "C"}
    for (group, support), zone in zones_at_5_mm_s.items():
        severity = assess_severity(x, FS, units=units, machine_group=group, support=support)
        assert severity.velocity_rms_mm_s == pytest.approx(5.0, rel=1e-3)
        assert (severity.zone, severity.band_hz, severity.note) == (zone, BAND, None)


@pytest.mark.parametrize("duration_s", [1.0, 1.037, 1.37])
@pytest.mark.parametrize(
    "tones_at, share",  # edge, and distance from it in bins of 1/T: inside +, outside -
    [([("low", 2.0)], 1.0), ([("high", 2.0)], 1.0), ([("low", 30.0), ("low", -5.0), ("high", -200.0)], 1.0),
     ([("low", 2.5), ("high", 3.0), ("low", -2.5), ("high", -2.5)], 1.0),
     ([("low", 0.0)], 0.5), ([("high", 0.0)], 0.5)],
)
def test_tones_near_on_and_beyond_the_edges(duration_s, tones_at, share):
    # Equal velocities, so that a leak from an outside tone shows as much as a loss of an inside one.
    freqs = [BAND[0] + bins / duration_s if edge == "low" else BAND[1] - bins / duration_s for edge, bins in tones_at]
    tones = [(f, f / 100) for f in freqs]
    x = tones_record(tones, duration_s, phase=0.7, offset=2.5)  # the accelerometer's bias must not count
    velocity_mm_s = math.sqrt(share) * tone_velocity_rms_mm_s(tones, BAND)
    # A tone right on an edge counts about half its power (velocity within 10 %).
    assert velocity_rms_mm_s(x, FS, BAND) == pytest.approx(velocity_mm_s, rel=1e-3 if share == 1 else 0.1)


@pytest.mark.parametrize(
    "tones, units, exact_mm_s",
    [([(50.0, 2.0)], "g", 2 * ONE_G_AT_50_HZ_MM_S),
     # two velocity amplitudes of 1 / (40 pi) m/s inside the band, two tones outside
     ([(20.0, 1.0), (80.0, 4.0), (5.0, 9.0), (1200.0, 9.0)], "m/s2", 1000 / (40 * math.pi)),
     ([(1e300, 1.0), (10.0, 1e300)], "m/s2", 1e300 / (20 * math.pi) / math.sqrt(2) * 1000)],
)
def test_tone_velocity_is_the_closed_form(tones, units, exact_mm_s):
    assert tone_velocity_rms_mm_s(tones, BAND, units) == pytest.approx(exact_mm_s, rel=1e-12)


@pytest.mark.parametrize("band_hz, duration_s", [((10.0, 1000.0), 60.0), ((100.0, 800.0), 10.0)])
def test_white_noise_reads_its_closed_form(band_hz, duration_s):
    # One-sided density S = 2 sigma^2 / fs gives a velocity mean square of
    # S / (2 pi)^2 * (1 / f_low - 1 / f_high).  One record scatters by about
    # 1.5 % around it; 5 % still catches a window's power left uncorrected (22 %).
    sigma, fs = 0.5, 2560.0
    x = np.random.default_rng(16).normal(0.1, sigma, round(duration_s * fs))
    exact_m_s = math.sqrt(2 * sigma**2 / fs / (2 * math.pi) ** 2 * (1 / band_hz[0] - 1 / band_hz[1])) * STANDARD_G
    assert velocity_rms_mm_s(x, fs, band_hz) == pytest.approx(exact_m_s * 1000, rel=0.05)


@pytest.mark.parametrize(
    "velocity_mm_s, group, support, zone",
    [(2.29, 1, "rigid", "A"), (2.3, 1, "rigid", "B"), (7.1, 1, "rigid", "D"), (10.9, 1, "flexible", "C"),
     (11.0, 1, "flexible", "D"), (1.39, 2, "rigid", "A"), (4.5, 2, "rigid", "D"), (math.inf, 2, "flexible", "D")],
)
def test_zone_boundaries(velocity_mm_s, group, support, zone):
    assert zone_of(velocity_mm_s, group, support) == zone


def test_zones_default_to_a_large_machine_on_a_rigid_support():
    at_4_6_mm_s = tones_record([(50.0, 4.6 / ONE_G_AT_50_HZ_MM_S)], 1.0)
    assert zone_of(4.6) == "C" == assess_severity(at_4_6_mm_s, FS).zone  # D in group 2


SINE_1_G = tones_record([(50.0, 1.0)], 5.0)


@pytest.mark.parametrize(
    "record, fs, shaft_hz, band_hz, velocity_mm_s, note",  # note: a pattern of the whole note
    [
        (SINE_1_G[:5120], FS, 10.0, BAND, ONE_G_AT_50_HZ_MM_S, None),  # 10 periods of 10 Hz
        (SINE_1_G[:5119], FS, None, BAND, None, "no velocity: record of * s is too short for the velocity from 10 Hz*"),
        (SINE_1_G, FS, 9.9, (2.0, 1000.0), ONE_G_AT_50_HZ_MM_S, None),
        (SINE_1_G, FS, 0.5, (2.0, 1000.0), ONE_G_AT_50_HZ_MM_S, None),
        (SINE_1_G[:-1], FS, 9.9, (2.0, 1000.0), None, "no velocity: * too short for the velocity from 2 Hz*"),
        (tones_record([(50.0, 1.0)], 1, 2048.0), 2048.0, None, (10.0, 800.0), ONE_G_AT_50_HZ_MM_S,
         "band cut at 800 Hz, the alias-free limit of a 2048 Hz sample rate"),
        (tones_record([(50.0, 1.0)], 0.5, 2048.0), 2048.0, None, (10.0, 800.0), None,
         "band cut at 800 Hz, the alias-free limit of a 2048 Hz sample rate; no velocity: record of 0.5 s *"),
        (np.zeros(6000), FS, None, BAND, 0.0, None),
        (1e300 * SINE_1_G, FS, None, BAND, 1e300 * ONE_G_AT_50_HZ_MM_S, None),
        (1e308 * SINE_1_G, FS, None, BAND, None, "no velocity: the record is out of range*"),
        (np.append(SINE_1_G, np.nan), FS, None, BAND, None, "no velocity: the record holds non-finite samples"),
    ],
)
def test_records_give_a_number_or_a_note_saying_why_not(record, fs, shaft_hz, band_hz, velocity_mm_s, note):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        severity = assess_severity(record, fs, shaft_hz=shaft_hz)
    assert severity.band_hz == band_hz
    assert severity.velocity_rms_mm_s == (None if velocity_mm_s is None else pytest.approx(velocity_mm_s, rel=1e-3))
    assert severity.zone is None if velocity_mm_s is None else severity.zone in "ABCD"
    assert (severity.note is None) if note is None else fnmatch.fnmatchcase(severity.note, note)
    assert (severity.machine_group, severity.support, severity.boundaries_mm_s) == (1, "rigid", (2.3, 4.5, 7.1))


def test_a_band_from_1_hz_reads_a_slow_tone():
    fs = 256.0
    x = tones_record([(5.0, 3.0)], 12.0, fs)  # 12 periods of 1 Hz
    exact_mm_s = tone_velocity_rms_mm_s([(5.0, 3.0)], (1.0, 100.0), "m/s2")
    assert velocity_rms_mm_s(x, fs, (1.0, 100.0), "m/s2") == pytest.approx(exact_mm_s, rel=1e-3)


@pytest.mark.parametrize(
    "call, message",
    [(lambda: assess_severity(SINE_1_G, FS, units="mm/s2"), "unknown units 'mm/s2': expected one of g, m/s2$"),
     (lambda: assess_severity(SINE_1_G, FS, machine_group=3), "unknown machine group 3"),
     (lambda: assess_severity(SINE_1_G, FS, support="soft"), "unknown support 'soft'"),
     (lambda: assess_severity(SINE_1_G, FS, shaft_hz=math.nan), "shaft speed must be a positive number"),
     (lambda: assess_severity(SINE_1_G, FS, shaft_hz=math.inf), "shaft speed must be a positive number"),
     (lambda: assess_severity(SINE_1_G, FS, shaft_hz=0.0), "shaft speed must be a positive number"),
     (lambda: assess_severity(SINE_1_G, math.inf), "sample rate must be a positive number"),
     (lambda: assess_severity(SINE_1_G, 0.0), "sample rate must be a positive number"),
     (lambda: assess_severity(SINE_1_G, 0.5), "sample rate of 0.5 Hz is too low"),
     (lambda: assess_severity(SINE_1_G, 20.0), "sample rate of 20 Hz is too low"),
     # An alias-free limit right on the lower band edge leaves no band.
     (lambda: assess_severity(SINE_1_G, 25.6), "sample rate of 25.6 Hz is too low"),
     (lambda: zone_of(-1.0), "velocity must be a non-negative number"),
     (lambda: velocity_rms_mm_s(SINE_1_G, FS, (0.0, 1000.0)), "must lie inside 0 to 2560 Hz"),
     (lambda: velocity_rms_mm_s(SINE_1_G, FS, (100.0, 100.0)), "must lie inside 0 to 2560 Hz"),
     (lambda: velocity_rms_mm_s(SINE_1_G.reshape(5, -1), FS, BAND), "must be one-dimensional"),
     (lambda: velocity_rms_mm_s(np.append(SINE_1_G, np.nan), FS, BAND), "acceleration holds non-finite samples$"),
     (lambda: velocity_rms_mm_s(SINE_1_G[:5119], FS, BAND), "too short"),
     (lambda: velocity_rms_mm_s(SINE_1_G, FS, (10.0, 2560.0)), "must lie inside 0 to 2560 Hz")],
)
def test_bad_settings_raise_one_clear_message(call, message):
    with pytest.raises(ValueError, match=message):
        call()
