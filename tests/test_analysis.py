"""The analysis layer against known truth: every finding of the chain on
synthetic records whose answer follows from how they were built, and the
notes that tell the analyst what was set aside or not found."""

import json
import re
from dataclasses import replace

import numpy as np
import pytest

from kemo_pkg import core_math as cm
from kemo_pkg.analysis import Settings, assess_record
from kemo_pkg.demo import Drivetrain, make_record
from kemo_pkg.drivetrain import analyze_chain
from kemo_pkg.filterbank import stable_band
from kemo_pkg.records import Record
from kemo_pkg.report import Row, findings, format_report, group, summary, to_json
from kemo_pkg.severity import zone_of
from kemo_pkg.tracking import track_orders

# The demonstration's drivetrain cut to 3 s, and a faster one whose loose
# shaft gives a strong 1x and 2x (signature level 3), on a 2.5:1 gear stage,
# with a large sensor bias.
DRIVETRAINS = {
    "demo drivetrain": Drivetrain(fs=12800.0, duration_s=3.0),
    "loose shaft": Drivetrain(fs=10240.0, duration_s=2.0, hss_speed_hz=30.0, amp_1x=0.5, amp_2x=0.3, amp_3x=0.1,
                              signature_level=3, pinion_teeth=20, wheel_teeth=50, dc_offset=0.5, bpfo_order=4.1,
                              resonance_hz=2500.0, envelope_band_hz=(1500.0, 3500.0)),
}
# Order-spectrum amplitudes carry the noise too: 0.25 g spread over thousands of bins.
AMPLITUDE_G = 0.01


def design_truth(d: Drivetrain, env_bin: float) -> dict:
    """Each finding as the design fixes it: (value, absolute tolerance)."""
    pulses = len(d.pulse_times())
    speed, velocity = d.mean_speed(), d.velocity_rms_mm_s()
    return {
        "pulses": (pulses, 0), "speed": (speed, 1e-3 * speed),
        "lss_revs": ((pulses - 1) // d.gear_ratio, 0), "gear_ratio": (d.gear_ratio, 1e-9),
        "lss_1x": (d.lss_1x_amp, AMPLITUDE_G),
        "harmonic_1x": (d.amp_1x, AMPLITUDE_G), "harmonic_2x": (d.amp_2x, AMPLITUDE_G),
        "harmonic_3x": (d.amp_3x, AMPLITUDE_G), "signature": (d.signature_level, 0),
        "mesh_order": (d.pinion_teeth, 0), "mesh_amp": (d.mesh_amp, AMPLITUDE_G),
        # A tone on a bin of the Hann spectrum reads A there and A/2 either side.
        "mesh_band": (d.mesh_amp * np.sqrt(1.5), AMPLITUDE_G),
        "fault": (d.bpfo_order, env_bin), "fault_hz": (d.bpfo_order * speed, env_bin * speed),
        "period": (1 / d.bpfo_order, 0.005 / d.bpfo_order),
        # The noise's own mean and the tones' unfinished periods move the mean by a few mg.
        "dc_offset": (d.dc_offset, 0.005), "overall_rms": (d.overall_rms(), 0.01 * d.overall_rms()),
        "velocity_rms": (velocity, 0.01 * velocity), "zone": (zone_of(velocity), 0),
        "bearing_verdict": ("outer_race", 0),
    }


def departures(found: dict, truth: dict) -> dict:
    """The findings that miss their truth: key -> (found, true)."""
    def near(value, true, tolerance):
        return value == true if tolerance == 0 else abs(value - true) <= tolerance
    return {key: (found.get(key), true) for key, (true, tolerance) in truth.items()
            if key not in found or not near(found[key], true, tolerance)}


@pytest.fixture(scope="module", params=DRIVETRAINS.values(), ids=DRIVETRAINS.keys())
def drivetrain(request):
    design = request.param
    settings = Settings(gear_ratio=design.gear_ratio, bearing=design.bearing, band_hz=design.envelope_band_hz)
    return design, assess_record(make_record(design), settings)


def test_every_finding_of_the_chain_is_the_designs(drivetrain):
    design, assessment = drivetrain
    assert departures(summary(assessment), design_truth(design, assessment.chain.env_bin)) == {}
    assert (assessment.speed.source, assessment.notes) == ("tachometer", ())
    chain, order, bearing = assessment.chain, assessment.chain.order, assessment.bearing
    # One block per whole revolution between the first and last pulse.
    revolutions = len(design.pulse_times()) - 1
    assert (order.total_revs, order.tsa_blocks, order.tsa_wf.size) == (revolutions, revolutions, order.pts_per_rev)
    # The residual the envelope reads keeps nothing of the shaft's harmonics or the mesh.
    orders, amps = cm.compute_fft_dsp(order.residual, 1.0 / order.pts_per_rev)
    for k, synchronous_amp in zip((1, 2, 3, design.pinion_teeth), (*order.harmonics, order.mesh_amp)):
        assert cm.get_harmonic_peak(orders, amps, k, 0.1) < 0.1 * synchronous_amp
    assert (chain.name, chain.duration_s) == ("synthetic drivetrain", pytest.approx(design.duration_s))
    # The analyst's band serves the chain and the bearing alike.
    assert chain.band_hz == pytest.approx(design.envelope_band_hz) == bearing.band_hz
    outer_race = bearing.defects["outer_race"]
    assert outer_race.found_hz == pytest.approx(design.bpfo_order * design.mean_speed(), rel=0.01)
    assert bearing.shaft_hz == pytest.approx(design.mean_speed(), rel=1e-3)


def test_the_report_and_its_json_carry_the_same_findings(drivetrain):
    _, assessment = drivetrain
    rows = findings(assessment)
    lines = format_report(["title"], group(rows, lambda f: Row(f.label, f.text)), ["a note"]).splitlines()
    # Every row reads its label, then its own text.
    for row in rows:
        assert any(line.strip().startswith(row.label) and line.endswith(row.text) for line in lines), row
    assert (lines[0], lines[-1]) == ("title", "note: a note")
    document = json.loads(json.dumps(to_json(assessment), allow_nan=False))
    for row in rows:
        value = row.value.tolist() if isinstance(row.value, np.ndarray) else row.value
        assert document["findings"][row.key] == (list(value) if isinstance(value, tuple) else value), row.key
    assert document["speed"] == {"shaft_hz": assessment.speed.shaft_hz, "source": "tachometer", "nominal_hz": None}
    assert document["bearing"]["verdict"] == "outer_race"


F0 = 37.3  # Hz, between two bins of the one-second spectrum


def modulated(lines: dict[int, float], f0=F0, fs=10_000.0, seed=3) -> Record:
    """One second of a 1400 Hz resonance whose amplitude swings with lines at
    k * f0 of relative heights lines[k]: its envelope is 1 + sum of 0.3 *
    height cosines, so its envelope spectrum holds exactly those lines."""
    t = np.arange(int(fs)) / fs
    swing = 1 + sum(0.3 * height * np.cos(2 * np.pi * k * f0 * t) for k, height in lines.items())
    noise = np.random.default_rng(seed).normal(0.0, 0.05, t.size)
    return Record(t=t, vibration=swing * np.cos(2 * np.pi * 1400.0 * t) + noise, tach=None, fs=fs)


@pytest.mark.parametrize(
    "lines, harmonic",
    [
        pytest.param({1: 0.55, 2: 1.0}, 1, id="half the frequency, over half as tall: stepped down"),
        pytest.param({1: 0.45, 2: 1.0}, 2, id="half the frequency, under half as tall: kept"),
        pytest.param({1: 0.55, 3: 1.0}, 1, id="a third, over half as tall: stepped down"),
        pytest.param({1: 0.45, 3: 1.0}, 3, id="a third, under half as tall: kept"),
        pytest.param({1: 0.6, 2: 0.8, 4: 1.0}, 1, id="stepped down twice"),
    ],
)
def test_the_fault_line_steps_down_to_a_strong_half_or_third(lines, harmonic):
    analysis = analyze_chain(modulated(lines))
    assert analysis.fault_peak == pytest.approx(harmonic * F0, abs=analysis.env_bin)
    # A line between bins reads up to 15 % low through the Hann window.
    assert 0.85 <= analysis.fault_amp / (0.3 * lines[harmonic]) <= 1.01


def test_without_a_tachometer_the_fault_line_and_its_period_are_read_over_time():
    design = Drivetrain(fs=8192.0, duration_s=2.0, speed_drift_hz=0.0)
    fault_hz = design.bpfo_order * design.hss_speed_hz
    # The analyst's band holds the 3 kHz resonance the impacts ring.
    analysis = analyze_chain(replace(make_record(design), tach=None), band_hz=(2000.0, 4000.0))
    assert analysis.fault_peak == pytest.approx(fault_hz, abs=analysis.env_bin)
    assert analysis.fault_period == pytest.approx(1 / fault_hz, rel=0.01)
    # The cepstrum it was read from is kept, its quefrency in seconds.
    beyond_zero = analysis.quefrency > 0.5 / fault_hz
    assert analysis.quefrency[beyond_zero][np.argmax(analysis.cepstrum[beyond_zero])] == pytest.approx(1 / fault_hz,
                                                                                                       rel=0.01)
    assert analysis.order is None


# A steady 25 Hz drivetrain, 2 s at 8192 Hz.
STEADY = Drivetrain(fs=8192.0, duration_s=2.0, speed_drift_hz=0.0)
RECORD = make_record(STEADY)
RNG = np.random.default_rng(4)
# A tachometer cable picking up interference: impulses 50 to 150 ms apart,
# so some periods are short, some long, and all of them scattered.
IMPULSES = np.cumsum(0.05 + 0.1 * np.random.default_rng(2).random(40))
INTERFERENCE = 5.0 * (np.abs(RECORD.t[:, None] - IMPULSES) < 0.002).any(axis=1)
ONE_SPIKE = RECORD.vibration + 8.0 * (np.arange(RECORD.t.size) == 5000)


@pytest.mark.parametrize(
    "record, settings, speed, notes",
    [
        pytest.param(replace(RECORD, tach=INTERFERENCE), Settings(rpm=1515.0), ("spectrum", 25.25),
                     [r"tachometer: set aside \(of \d+ periods, \d short .* \(missed pulses\); periods depart"
                      r" from their neighbours' by [\d.]+ % \(median\): no shaft's speed wanders so\); analysed"
                      r" without it$"],
                     id="tachometer picking up interference"),
        pytest.param(replace(RECORD, tach=None, rpm=1485.0), Settings(), ("spectrum", 24.75), [],
                     id="the speed the acquisition logged"),
        pytest.param(replace(RECORD, tach=None, rpm=1485.0), Settings(rpm=1515.0), ("spectrum", 25.25), [],
                     id="the analyst's speed before the logged one"),
        pytest.param(replace(RECORD, tach=None), Settings(bearing=STEADY.bearing), None,
                     [r"bearing: not diagnosed; it needs the shaft speed \(give --rpm or a tachometer\)$"],
                     id="bearing without a speed"),
        pytest.param(RECORD, Settings(gear_ratio=300.0), ("tachometer", None),
                     ["slow shaft: the record holds less than one revolution at gear ratio 300$"],
                     id="gear stage slower than the record"),
        pytest.param(replace(RECORD, vibration=ONE_SPIKE), Settings(), ("tachometer", None),
                     [r"spikes: 1 isolated spike\(s\), 0.5 per second"], id="a sensor warning"),
    ],
)
def test_what_the_analysis_set_aside_is_noted(record, settings, speed, notes):
    assessment = assess_record(record, settings)
    if speed is None:
        assert assessment.speed is None and assessment.bearing is None
    else:
        assert (assessment.speed.source, assessment.speed.nominal_hz) == speed
        assert assessment.speed.shaft_hz == pytest.approx(STEADY.hss_speed_hz, rel=0.005)
    assert len(assessment.notes) == len(notes)
    assert all(re.match(pattern, str(note)) for note, pattern in zip(assessment.notes, notes)), assessment.notes
    over_angle = speed is not None and speed[0] == "tachometer"
    assert assessment.chain.fault_peak == pytest.approx(STEADY.bpfo_order * (1 if over_angle else 25.0), rel=0.01)
    assert (assessment.chain.order is not None) == over_angle


@pytest.mark.parametrize("pulses", [2, 3])
def test_three_pulses_are_the_fewest_to_track_orders_by(pulses):
    tach = 5.0 * (np.abs(RECORD.t[:, None] - [0.3, 0.7, 1.1][:pulses]) < 0.005).any(axis=1)
    order, notes = track_orders(replace(RECORD, tach=tach))
    assert (order is None) == (pulses == 2)
    assert [str(note) for note in notes] == (
        ["tachometer: 2 pulse(s) found, too few to track orders; analysed over time"] if pulses == 2 else [])
    if order is not None:  # no gear stage unless one is given
        assert (order.total_revs, order.lss_times) == (2, None)


def test_over_shaft_angle_the_bearing_is_found_however_the_speed_swings():
    # 25 Hz swinging by 2 Hz every 3 s: over time the defect lines smear
    # across 15 bins, over shaft angle they stay sharp.
    design = Drivetrain(fs=12800.0, duration_s=3.0, speed_drift_hz=2.0, speed_swing_period_s=3.0)
    assessment = assess_record(make_record(design), Settings(bearing=design.bearing))
    assert assessment.bearing.verdict == "outer_race"
    found_hz = assessment.bearing.defects["outer_race"].found_hz
    assert found_hz == pytest.approx(design.bpfo_order * design.mean_speed(), rel=0.01)


@pytest.mark.parametrize("fs", [8192.0, 12800.0])  # the bearing's band below Nyquist, and reaching it
def test_without_a_tachometer_the_chain_demodulates_the_bearings_band(fs):
    design = Drivetrain(fs=fs, duration_s=4.0, speed_drift_hz=0.0)
    assessment = assess_record(replace(make_record(design), tach=None), Settings(bearing=design.bearing, rpm=1500.0))
    assert assessment.bearing.verdict == "outer_race"
    (low, high), (chain_low, chain_high) = assessment.bearing.band_hz, assessment.chain.band_hz
    # A band reaching Nyquist loses no more than the filter bank's taper.
    assert high <= fs / 2 and chain_low == low and high - 0.1 * (high - low) <= chain_high <= high
    assert chain_high < fs / 2
    assert assessment.chain.fault_peak == pytest.approx(design.bpfo_order * 25.0, abs=assessment.chain.env_bin)


def test_over_shaft_angle_the_bearings_band_lies_within_the_record():
    design = DRIVETRAINS["demo drivetrain"]
    assessment = assess_record(make_record(design), Settings(bearing=design.bearing))
    assert assessment.bearing.band_hz[1] <= design.fs / 2


def test_the_analysts_band_comes_before_the_bearings():
    band = (2000.0, 3800.0)
    assessment = assess_record(replace(RECORD, tach=None), Settings(bearing=STEADY.bearing, rpm=1500.0, band_hz=band))
    assert assessment.chain.band_hz == band == assessment.bearing.band_hz


@pytest.mark.parametrize(
    "record, rpm, band_hz, note",
    [
        pytest.param(modulated({1: 1.0}), 300.0, (2.0, 1000.0), "no velocity: record of 1 s is too short for the"
                     " velocity from 2 Hz", id="a shaft below 600 r/min, from 2 Hz"),
        pytest.param(Record(t=np.arange(4096) / 20.0, vibration=RNG.normal(0.0, 1.0, 4096), tach=None, fs=20.0),
                     None, None, None, id="20 Hz sampling, no band"),
    ],
)
def test_the_velocity_severity_band_follows_the_shaft_and_the_sample_rate(record, rpm, band_hz, note):
    assessment = assess_record(record, Settings(rpm=rpm))
    if band_hz is None:
        assert assessment.severity is None
        assert [str(note) for note in assessment.notes] == [
            "velocity severity: sample rate of 20 Hz is too low for the velocity from 10 Hz: it needs more than"
            " 25.6 Hz"]
    else:
        assert (assessment.severity.band_hz, assessment.severity.velocity_rms_mm_s) == (band_hz, None)
        assert assessment.severity.note.startswith(note)


@pytest.mark.parametrize(
    "vibration, verdict",
    [
        (np.full(RECORD.t.size, 0.3), ["all 16384 samples are 0.3: no signal"]),
        (np.clip(RNG.normal(0, 1, RECORD.t.size), -0.5, 0.5),
         ["held at the rails +0.5 g", "saturated most of the time, no usable signal"]),
        (np.where(np.arange(RECORD.t.size) > 6000, 0.37, RNG.normal(0, 1, RECORD.t.size)),
         ["1 run(s) of a held value", "held most of the time, no usable signal"]),
    ],
    ids=["dead sensor", "saturated", "stalled"],
)
def test_a_broken_sensor_gets_a_sensor_fault_verdict_and_nothing_else(vibration, verdict):
    assessment = assess_record(replace(RECORD, vibration=vibration), Settings(rpm=1500.0))
    assert (assessment.speed, assessment.severity, assessment.bearing, assessment.chain) == (None,) * 4
    rows = {f.key: f for f in findings(assessment)}
    assert list(rows) == ["vibration_quality", "tach_quality", "verdict"]
    assert rows["verdict"].value == "sensor_fault"
    # One clause per fault, in the order the checks found them.
    faults = assessment.quality.vibration.faults
    assert rows["verdict"].text == "sensor fault: " + "; ".join(check.detail for check in faults)
    assert all(part in rows["verdict"].text for part in verdict)
    assert to_json(assessment)["quality"]["verdict"] == rows["verdict"].text


@pytest.mark.parametrize("band_hz, stable", [
    ((400.0, 600.0), True),   # mid-band, wide
    ((1.0, 900.0), True),     # low edge near 0 Hz, but wide
    ((100.0, 101.0), False),  # 1 Hz wide
    ((900.0, 999.0), False),  # top edge 1 Hz under Nyquist
    ((2.0, 40.0), False),     # bottom edge near 0 Hz, and narrow
])
def test_a_band_is_stable_unless_narrow_or_hugging_an_edge(band_hz, stable):
    # The band-pass filter's poles crowd onto the unit circle as the band
    # narrows or nears 0 Hz or Nyquist; at 2000 Hz these are either side.
    assert stable_band(band_hz, 2000.0) is stable


def test_a_spectrum_that_ends_below_the_line_search_reads_not_found_and_says_why():
    # 3 samples a second: the envelope spectrum stops at 1.5 Hz, under the
    # 2 Hz where the search for a line starts.  The clock starts at 100 s.
    fs, n = 3.0, 2048
    record = Record(t=100 + np.arange(n) / fs, vibration=np.random.default_rng(1).normal(size=n), tach=None, fs=fs,
                    name="slow")
    assessment = assess_record(record)
    chain = assessment.chain
    assert (chain.fault_peak, chain.fault_amp, chain.env_noise_floor, chain.fault_period) == (None,) * 4
    assert chain.duration_s == pytest.approx(n / fs)
    assert str(assessment.notes[-1]) == ("envelope: no bin of the spectrum (0 to 1.5 Hz, 0.00146 apart) lies in the"
                                         " line search range 2-1000 Hz; no line read")
    rows = {f.key: f for f in findings(assessment) if f.section.startswith("envelope")}
    assert {key: (f.value, f.text) for key, f in rows.items()} == dict.fromkeys(
        ["fault", "fault_amp", "period"], (None, "not found"))
    assert {key: to_json(assessment)["findings"][key] for key in rows} == dict.fromkeys(rows)
