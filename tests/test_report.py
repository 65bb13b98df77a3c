"""The report of an assessment built by hand with known figures: every row's
section, key, label, value and text, the aligned table, and the JSON object
that pipelines key on."""

import json
import math
import sys
from dataclasses import replace
from types import SimpleNamespace

import numpy as np
import pytest

from kemo_pkg import core_math as cm
from kemo_pkg import demo
from kemo_pkg.analysis import Assessment, OrderDomain, RecordAnalysis, RecordQuality, ShaftSpeed, TrendAssessment
from kemo_pkg.bearing import BearingDiagnosis, DefectEvidence
from kemo_pkg.demo import Drivetrain, make_history, make_record
from kemo_pkg.quality import ChannelQuality, Check, TachQuality
from kemo_pkg.report import Finding, Row, findings, format_report, group, to_json
from kemo_pkg.severity import STANDARD_G, Severity

NO_ARRAY = np.array([])
SHAFT_HZ = 24.9876  # 1499.256 r/min


def chain(order, band_hz, env_bin, fault_peak, fault_period, env_noise_floor):
    return RecordAnalysis("drive", 12800.0, 3.0, dc_offset=0.0213, overall_rms=0.8766, band_hz=band_hz, order=order,
                          spectrum_axis=NO_ARRAY, spectrum_amps=NO_ARRAY, env_axis=np.array([0.0, env_bin]),
                          env_amps=NO_ARRAY, fault_peak=fault_peak, fault_amp=0.1234, env_noise_floor=env_noise_floor,
                          quefrency=NO_ARRAY, cepstrum=NO_ARRAY, fault_period=fault_period)


def evidence(defect, frequency_hz, present, line_ratios, sideband_ratio=None, note=None):
    return DefectEvidence(defect, frequency_hz, frequency_hz + 0.09, score=7.26 if present else 0.44, excess=0.8,
                          present=present, band_hz=(2000.0, 4500.0), prewhitening="cepstral",
                          line_ratios=line_ratios, sideband_ratio=sideband_ratio, note=note)


def trend(unit_count, alarm_index, states):
    level = np.linspace(0.2, 0.3456, unit_count)
    return TrendAssessment(feature=level, moving_average=level, median=level, savgol=level,
                           robust=level, severity=np.full(unit_count, 0.3321), zscore=level,
                           velocity=np.append(np.zeros(unit_count - 1), 0.0234), alarm_index=alarm_index,
                           outlier_index=40, outlier_size=0.1512, states=states)


OK_VIBRATION = ChannelQuality("vibration", (Check("samples", "ok", "38400 samples", 38400.0),))
TACH = TachQuality("tachometer", (Check("pulses", "ok", "75 pulses", 75.0),
                                  Check("interval_scatter", "warning", "scatter 2 %", 0.02),
                                  Check("speed", "warning", "speed swings 5 %", 0.05)))

# With a tachometer: the order domain, a bearing defect, a band cut by the
# sample rate; the trend over days with operating states.
TRACKED = Assessment(
    "drive", 12800.0, 38400, RecordQuality(OK_VIBRATION, TACH), units="g",
    speed=ShaftSpeed(SHAFT_HZ, "tachometer", nominal_hz=25.0),
    severity=Severity(4.56789, "C", (10.0, 800.0), (2.3, 4.5, 7.1), 1, "rigid", note="band cut at 800 Hz"),
    bearing=BearingDiagnosis(
        "outer_race", "probable", ("inner_race",), 25.0, SHAFT_HZ, (2000.0, 4500.0), "the band given",
        {"outer_race": evidence("outer_race", 89.21, True, (12.34, 6.5, 3.0)),
         "inner_race": evidence("inner_race", 135.61, False, (1.1, 0.94, 1.0), sideband_ratio=1.24),
         "ball": evidence("ball", 57.9, False, (), note="no line stands inside the band")},
        kurtogram=None, envelope_hz=NO_ARRAY, envelope_ratio=NO_ARRAY),
    chain=chain(OrderDomain(pulse_times=np.arange(75.0), speed_hz=SHAFT_HZ, total_revs=74, pts_per_rev=256,
                            orders=NO_ARRAY, order_amps=NO_ARRAY, harmonics=(0.301, 0.134, 0.299), signature_level=2,
                            tsa_blocks=74, tsa_wf=NO_ARRAY, order_wf=NO_ARRAY, residual=NO_ARRAY, mesh_order=23,
                            mesh_amp=0.7989, mesh_band_energy=0.9796, lss_times=np.arange(19.0),
                            hss_revs_per_lss_rev=4.0, lss_1x=0.1187),
                band_hz=(2000.0, 4500.0), env_bin=0.004, fault_peak=3.5712, fault_period=0.28, env_noise_floor=0.01),
    notes=["a note"],
)
TRACKED_TREND = trend(150, 101, np.array(["P1", "P3", "P3", "P_OUT", "P5"]))

# Without a tachometer: the speed from the spectrum, no velocity, no bearing
# defect and no band for it, an envelope over time without a floor.
UNTRACKED = Assessment(
    "bare", 12800.0, 38400, RecordQuality(OK_VIBRATION, None), units="m/s2",
    speed=ShaftSpeed(SHAFT_HZ, "spectrum"),
    severity=Severity(None, None, (2.0, 1000.0), (1.4, 2.8, 4.5), 2, "flexible"),
    bearing=BearingDiagnosis("none", None, (), 25.0, SHAFT_HZ, (math.nan, math.nan), "no band: the record is too short", {},
                             kurtogram=None, envelope_hz=NO_ARRAY, envelope_ratio=NO_ARRAY),
    chain=chain(None, (1500.0, 3500.0), 0.5, 89.123, 0.01122, 0.0),
)
UNTRACKED_TREND = trend(40, None, None)

BROKEN = Assessment("dead", 12800.0, 38400, RecordQuality(
    ChannelQuality("vibration", (Check("flat", "fault", "flat line", 0.0), Check("dc_offset", "fault", "rail", 9.9),
                                 Check("spikes", "warning", "3 spikes", 3.0))), TACH))

TRACKED_ROWS = {
    "data quality": {
        "vibration_quality": ("vibration channel", True, "usable"),
        "tach_quality": ("tachometer channel", True, "usable, warning: scatter 2 %; speed swings 5 %")},
    "shaft speed": {
        "nominal_shaft_hz": ("nominal shaft speed (Hz)", 25.0, "25.000 (1500 r/min)"),
        "shaft_hz": ("shaft speed from the tachometer (Hz)", SHAFT_HZ, "24.988 (1499 r/min)")},
    "velocity severity 10-800 Hz, ISO 20816-3 group 1, rigid support": {
        "velocity_rms": ("velocity RMS (mm/s)", 4.56789, "4.568"),
        "zone": ("zone (A/B 2.3, B/C 4.5, C/D 7.1 mm/s)", "C", "C"),
        "severity_note": ("note", "band cut at 800 Hz", "band cut at 800 Hz")},
    "bearing": {
        "bearing_verdict": ("verdict", "outer_race", "outer race defect (probable); also possible: inner race"),
        "bearing_band": ("envelope band (Hz)", [2000.0, 4500.0], "2000-4500: the band given"),
        "bearing_outer_race": ("outer race (89.21 Hz)", True,
                               "PRESENT, score 7.3, lines x floor 12.3 6.5 3.0 at 89.30 Hz"),
        "bearing_inner_race": ("inner race (135.61 Hz)", False,
                               "absent, score 0.4, lines x floor 1.1 0.9 1.0 at 135.70 Hz, sidebands 1.2"),
        "bearing_ball": ("ball (57.90 Hz)", False, "no line stands inside the band")},
    "record": {
        "dc_offset": ("sensor DC offset (g)", 0.0213, "0.0213"),
        "overall_rms": ("overall RMS, DC included (g)", 0.8766, "0.877")},
    "shaft speed and gear stage": {
        "pulses": ("tachometer pulses", 75, "75"),
        "speed": ("mean shaft speed (Hz)", SHAFT_HZ, "24.988"),
        "lss_revs": ("slow-shaft revolutions", 18, "18"),
        "gear_ratio": ("gear ratio, pulses per slow rev", 4.0, "4.0000"),
        "lss_1x": ("slow-shaft 1x (g)", 0.1187, "0.119")},
    "order spectrum, synchronous average of 74 revolutions": {
        "harmonic_1x": ("1x amplitude (g)", 0.301, "0.301"),
        "harmonic_2x": ("2x amplitude (g)", 0.134, "0.134"),
        "harmonic_3x": ("3x amplitude (g)", 0.299, "0.299"),
        "signature": ("harmonic signature level", 2, "2"),
        "mesh_order": ("gear-mesh order", 23, "23"),
        "mesh_amp": ("gear-mesh level (g)", 0.7989, "0.799"),
        "mesh_band": ("gear-mesh band energy (g)", 0.9796, "0.980")},
    "envelope 2000-4500 Hz, over shaft angle (bin 0.0040 order)": {
        "fault": ("strongest envelope line (order)", 3.5712, "3.5712"),
        "fault_amp": ("its amplitude (g)", 0.1234, "0.123 (12x noise)"),
        "fault_hz": ("that line at mean speed (Hz)", 3.5712 * SHAFT_HZ, "89.24"),
        "period": ("cepstral fault period (rev)", 0.28, "0.2800")},
    "trend over 150 days": {
        "outlier": ("largest outlier (day, size)", [40, 0.1512], "40, +0.151"),
        "alarm": ("fault onset: alarm raised (day)", 101, "101"),
        "level": ("level now: trend / severity", [0.3456, 0.3321], "0.346 / 0.332"),
        "velocity": ("degradation velocity (per day)", 0.0234, "+0.0234"),
        "states": ("operating states P1..P5 / out", ["P1", "P3", "P3", "P_OUT", "P5"], "1 0 2 0 1 / 1")},
}

UNTRACKED_ROWS = {
    "data quality": {"vibration_quality": ("vibration channel", True, "usable")},
    "shaft speed": {"shaft_hz": ("shaft speed read from the shaft lines (Hz)", SHAFT_HZ, "24.988 (1499 r/min)")},
    "velocity severity 2-1000 Hz, ISO 20816-3 group 2, flexible support": {
        "velocity_rms": ("velocity RMS (mm/s)", None, "no velocity")},
    "bearing": {
        "bearing_verdict": ("verdict", "none", "no bearing defect"),
        "bearing_band": ("envelope band (Hz)", [None, None], "no band: the record is too short")},
    "record": {
        "dc_offset": ("sensor DC offset (m/s2)", 0.0213, "0.0213"),
        "overall_rms": ("overall RMS, DC included (m/s2)", 0.8766, "0.877")},
    "envelope 1500-3500 Hz (bin 0.5000 Hz)": {
        "fault": ("strongest envelope line (Hz)", 89.123, "89.123"),
        "fault_amp": ("its amplitude (m/s2)", 0.1234, "0.123"),  # against no floor, no ratio
        "period": ("cepstral fault period (s)", 0.01122, "0.01122")},
    "trend over 40 segments": {
        "outlier": ("largest outlier (segment, size)", [40, 0.1512], "40, +0.151"),
        "alarm": ("fault onset: alarm raised (segment)", None, "none"),
        "level": ("level now: trend / severity", [0.3456, 0.3321], "0.346 / 0.332"),
        "velocity": ("degradation velocity (per segment)", 0.0234, "+0.0234")},
}

BROKEN_ROWS = {
    "data quality": {
        "vibration_quality": ("vibration channel", False, "fault: flat line; rail"),
        "tach_quality": ("tachometer channel", True, "usable, warning: scatter 2 %; speed swings 5 %"),
        "verdict": ("verdict", "sensor_fault", "sensor fault: flat line; rail")},
    "trend over 40 segments": UNTRACKED_ROWS["trend over 40 segments"],
}


@pytest.mark.parametrize(
    "assessment, trend_assessment, trend_unit, rows",
    [(TRACKED, TRACKED_TREND, "day", TRACKED_ROWS), (UNTRACKED, UNTRACKED_TREND, "segment", UNTRACKED_ROWS),
     (BROKEN, UNTRACKED_TREND, "segment", BROKEN_ROWS)],
    ids=["with tachometer", "without", "sensor fault"],
)
def test_every_row_and_its_json_value(assessment, trend_assessment, trend_unit, rows):
    found = findings(assessment, trend_assessment, trend_unit)
    assert [(f.section, f.key, f.label, f.text) for f in found] == [
        (section, key, label, text) for section, block in rows.items() for key, (label, _, text) in block.items()]
    document = json.loads(json.dumps(to_json(assessment, trend_assessment), allow_nan=False))
    values = {key: value for block in rows.values() for key, (_, value, _) in block.items()}
    assert document["findings"] == values


def test_the_json_document():
    document = json.loads(json.dumps(to_json(TRACKED), allow_nan=False))
    assert document["record"] == {"name": "drive", "samples": 38400, "fs": 12800.0, "duration_s": 3.0, "units": "g"}
    assert document["quality"] == {
        "usable": True,
        "vibration": {"usable": True, "checks": [
            {"name": "samples", "status": "ok", "detail": "38400 samples", "value": 38400.0}]},
        "tachometer": {"usable": True, "checks": [
            {"name": "pulses", "status": "ok", "detail": "75 pulses", "value": 75.0},
            {"name": "interval_scatter", "status": "warning", "detail": "scatter 2 %", "value": 0.02},
            {"name": "speed", "status": "warning", "detail": "speed swings 5 %", "value": 0.05}]}}
    assert document["speed"] == {"shaft_hz": SHAFT_HZ, "source": "tachometer", "nominal_hz": 25.0}
    assert document["severity"] == {"velocity_rms_mm_s": 4.56789, "zone": "C", "band_hz": [10.0, 800.0],
                                    "boundaries_mm_s": [2.3, 4.5, 7.1], "machine_group": 1, "support": "rigid",
                                    "note": "band cut at 800 Hz"}
    bearing = document["bearing"]
    assert {key: bearing[key] for key in ("verdict", "shaft_hz", "nominal_shaft_hz", "band_hz", "band_reason")} == {
        "verdict": "outer_race", "shaft_hz": SHAFT_HZ, "nominal_shaft_hz": 25.0, "band_hz": [2000.0, 4500.0],
        "band_reason": "the band given"}
    assert bearing["defects"]["inner_race"] == {
        "frequency_hz": 135.61, "found_hz": pytest.approx(135.70), "score": 0.44, "excess": 0.8, "present": False,
        "line_ratios": [1.1, 0.94, 1.0], "sideband_ratio": 1.24, "band_hz": [2000.0, 4500.0],
        "prewhitening": "cepstral", "note": None}
    assert document["notes"] == ["a note"]
    untracked = to_json(UNTRACKED)
    assert (untracked["quality"]["tachometer"], untracked["severity"]["velocity_rms_mm_s"]) == (None, None)
    assert untracked["bearing"]["band_hz"] == [None, None] and untracked["bearing"]["defects"] == {}
    broken = to_json(BROKEN)
    assert broken["quality"]["verdict"] == "sensor fault: flat line; rail"
    assert (broken["speed"], broken["severity"], broken["bearing"]) == (None, None, None)


def test_the_table_aligns_injected_and_found_under_their_headings():
    sections = [("shaft", [Row("speed (Hz)", "24.988", "25.000", True), Row("pulses", "74", "75", False),
                           Row("zone", "C", "C"), Row("level", "123456"), Row("band", "2000-4500: the band given")]),
                ("bearing", [Row("verdict", "outer race defect")])]
    assert format_report(["title"], sections, ["a note"]).splitlines() == [
        "title",
        "              injected   found",
        "shaft",
        "  speed (Hz)    25.000  24.988  PASS",
        "  pulses            75      74  FAIL",
        "  zone               C       C",
        "  level                 123456",
        "  band        2000-4500: the band given",
        "bearing",
        "  verdict     outer race defect",
        "note: a note"]
    # Without an injected column the text follows the labels.
    assert format_report([], [("shaft", [Row("pulses", "74"), Row("mean speed", "25")])]) == (
        "shaft\n  pulses      74\n  mean speed  25")


def test_findings_group_into_their_sections_in_order():
    rows = [Finding("a", "k1", "one", 1, "1"), Finding("a", "k2", "two", 2, "2"), Finding("b", "k3", "three", 3, "3"),
            Finding("a", "k4", "four", 4, "4")]
    assert group(rows, lambda f: f.key) == [("a", ["k1", "k2"]), ("b", ["k3"]), ("a", ["k4"])]


# --- the demonstration's drivetrain and its truth ------------------------------

def tone_velocity_mm_s(freq_hz, amplitude_g):
    return amplitude_g * STANDARD_G / (2 * math.pi * freq_hz) / math.sqrt(2) * 1000


QUIET = Drivetrain(amp_1x=0.0, amp_2x=0.0, amp_3x=0.0, mesh_amp=0.0, lss_1x_amp=0.0, noise_rms=0.0,
                   speed_drift_hz=0.0)
# White noise of RMS sigma spreads sigma**2 evenly up to fs / 2; in velocity
# each Hz weighs 1 / (2 pi f)**2, 10 Hz to 1 kHz.
NOISE_MM_S = math.sqrt(0.25**2 / 12800.0 / (2 * math.pi) ** 2 * (1 / 10 - 1 / 1000)) * STANDARD_G * 1000


@pytest.mark.parametrize(
    "parts, velocity_mm_s",
    [({"mesh_amp": 0.8}, tone_velocity_mm_s(23 * 25.0, 0.8)),
     # Below 600 r/min the band opens at 2 Hz: the 5 Hz shaft counts, the 1.25 Hz run-out does not.
     ({"hss_speed_hz": 5.0, "amp_1x": 0.3, "lss_1x_amp": 0.12}, tone_velocity_mm_s(5.0, 0.3)),
     ({"noise_rms": 0.25, "fs": 25600.0}, NOISE_MM_S)],
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
    bands = {"P_OUT": (0, 100), "P1": (100, 500), "P2": (500, 800), "P3": (800, 1400), "P4": (1400, 1800),
             "P5": (1800, 2400)}
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
    truth = demo._truth(design, history, SimpleNamespace(chain=SimpleNamespace(env_bin=bin_order)))
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
        "level": (f"{level:.3f} / {severity:.3f}", [(level * 1.09, severity * 0.91)],
                  [(level * 1.15, severity), (level, severity * 1.15), (level, 0.0)]),
        "velocity": (f"{rate:+.4f}", [rate * 0.81, rate * 1.19], [rate * 1.25]),
        "states": (" ".join(str(counts[f"P{k}"]) for k in range(1, 6)) + f" / {counts['P_OUT']}",
                   [history.states], [history.states[::-1]]),
    }
    for key, (injected, right, wrong) in cases.items():
        shown, check = truth[key]
        assert shown == injected, key
        assert all(check(found) for found in right) and not any(check(found) for found in wrong), key


def test_the_demonstration_reports_its_truth_and_draws_the_figure(monkeypatch, tmp_path, capsys):
    design = Drivetrain(fs=12800.0, duration_s=3.0)
    record = object()
    drawn = {}
    monkeypatch.setattr(demo, "make_record", lambda d: record)
    monkeypatch.setattr(demo, "assess_record", lambda r, settings, progress: TRACKED)
    monkeypatch.setattr(demo, "assess_trend", lambda level, power, rating: TRACKED_TREND)
    # The figure's drawing stands in for the figure module: matplotlib is not loaded.
    figure = SimpleNamespace(draw=lambda *args, **kwargs: drawn.update(args=args, **kwargs))
    monkeypatch.setitem(sys.modules, "kemo_pkg.figure", figure)
    report, recovered, figure_path = demo.run(tmp_path, design)
    assert drawn == {"args": (TRACKED, TRACKED_TREND, tmp_path / "demo.png"), "record": record, "truth_fault": 3.57,
                     "onset": 100, "trend_unit": "day", "trend_label": "bearing-band level (g)"}
    lines = report.splitlines()
    assert lines[0] == "kemo_pkg demo: a synthetic drivetrain with known truth (seed 7)"
    assert lines[3] == "" and "note: a note" in lines and lines[-1] == f"figure: {tmp_path / 'demo.png'}"
    assert not recovered and figure_path == tmp_path / "demo.png"
    steps = [line.split(" ...")[0].strip() for line in capsys.readouterr().err.splitlines()]
    assert steps == ["building the synthetic drivetrain record", "trend, anomaly score and operating states", "figure"]
