"""The report of an assessment built by hand with known figures: every row's
section, key, label, value and text, the aligned table, and the JSON object
that pipelines key on."""

import json
import math

import numpy as np
import pytest

from kemo_pkg.analysis import Assessment, ShaftSpeed
from kemo_pkg.bearing import BearingDiagnosis, DefectEvidence
from kemo_pkg.drivetrain import ChainAnalysis
from kemo_pkg.problems import Note
from kemo_pkg.quality import ChannelQuality, Check, RecordQuality, TachQuality
from kemo_pkg.report import Finding, Row, findings, format_report, group, to_json
from kemo_pkg.severity import Severity
from kemo_pkg.tracking import OrderDomain
from kemo_pkg.trend import TrendAssessment

NO_ARRAY = np.array([])
SHAFT_HZ = 24.9876  # 1499.256 r/min


def chain(order, band_hz, env_bin, fault_peak, fault_period, env_noise_floor):
    return ChainAnalysis("drive", 12800.0, 3.0, dc_offset=0.0213, overall_rms=0.8766, band_hz=band_hz, order=order,
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
    notes=(Note("bearing", "a note"),),
)
TRACKED_TREND = trend(150, 101, np.array(["P1", "P3", "P3", "P_OUT", "P5"]))

# Without a tachometer: the speed from the spectrum, no velocity, no bearing
# defect and no band for it, an envelope over time without a floor and no
# cepstral period found.
UNTRACKED = Assessment(
    "bare", 12800.0, 38400, RecordQuality(OK_VIBRATION, None), units="m/s2",
    speed=ShaftSpeed(SHAFT_HZ, "spectrum"),
    severity=Severity(None, None, (2.0, 1000.0), (1.4, 2.8, 4.5), 2, "flexible"),
    bearing=BearingDiagnosis("none", None, (), 25.0, SHAFT_HZ, (math.nan, math.nan), "no band: the record is too short",
                             {}, kurtogram=None, envelope_hz=NO_ARRAY, envelope_ratio=NO_ARRAY),
    chain=chain(None, (1500.0, 3500.0), 0.5, 89.123, None, 0.0),
)

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
        "period": ("cepstral line period (rev)", 0.28, "0.2800")},
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
        "period": ("cepstral line period (s)", None, "not found")},
}

BROKEN_ROWS = {
    "data quality": {
        "vibration_quality": ("vibration channel", False, "fault: flat line; rail"),
        "tach_quality": ("tachometer channel", True, "usable, warning: scatter 2 %; speed swings 5 %"),
        "verdict": ("verdict", "sensor_fault", "sensor fault: flat line; rail")},
}


@pytest.mark.parametrize(
    "assessment, trend_assessment, trend_unit, rows",
    [(TRACKED, TRACKED_TREND, "day", TRACKED_ROWS), (UNTRACKED, None, "day", UNTRACKED_ROWS),
     (BROKEN, None, "day", BROKEN_ROWS)],
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
        "prewhitening": "cepstral", "note": None, "hidden": False}
    assert document["notes"] == ["bearing: a note"]
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
