"""The report of an assessment: rows of findings for the text table, and one
JSON object with the same figures for pipelines.

`findings` lists what was found in reading order; each `Finding` carries its
value (for tests, the demonstration's truth table and fleet summaries) and its
text.  `format_report` lays findings out as an aligned table, `to_json` gives
the machine-readable form: plain numbers, strings and lists, NaN as null.
"""

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from .analysis import Assessment
from .bearing import DEFECT_LABELS, BearingDiagnosis
from .drivetrain import ChainAnalysis
from .problems import Note
from .quality import ChannelQuality
from .trend import TrendAssessment, state_counts

__all__ = ["NOT_FOUND", "Finding", "Row", "findings", "format_report", "group", "summary", "to_json"]

# What the report reads where a line or a period was sought and not found.
NOT_FOUND = "not found"


@dataclass(frozen=True)
class Finding:
    section: str
    key: str
    label: str
    value: object
    text: str


class _Rows(list[Finding]):
    """Findings collected under the current section heading."""

    section = ""

    def __call__(self, key: str, label: str, value: object, text: str) -> None:
        self.append(Finding(self.section, key, label, value, text))


def findings(assessment: Assessment, trend: TrendAssessment | None = None, trend_unit: str = "day") -> list[Finding]:
    """The report's rows, in reading order."""
    add = _Rows()
    _quality_findings(assessment, add)
    if assessment.quality.usable:
        _speed_findings(assessment, add)
        _severity_findings(assessment, add)
        if assessment.bearing is not None:
            _bearing_findings(assessment.bearing, add)
        if assessment.chain is not None:
            _chain_findings(assessment.chain, assessment.units, add)
    if trend is not None:
        _trend_findings(trend, trend_unit, add)
    return list(add)


def summary(assessment: Assessment) -> dict[str, object]:
    """The record's findings by key: one row of a fleet table."""
    return {f.key: f.value for f in findings(assessment)}


def _quality_findings(assessment: Assessment, add: _Rows) -> None:
    q = assessment.quality
    add.section = "data quality"
    add("vibration_quality", "vibration channel", q.vibration.usable, q.vibration.summary)
    if q.tachometer is not None:
        add("tach_quality", "tachometer channel", q.tachometer.usable, q.tachometer.summary)
    if q.verdict is not None:
        add("verdict", "verdict", "sensor_fault", q.verdict)


def _speed_findings(assessment: Assessment, add: _Rows) -> None:
    speed = assessment.speed
    if speed is None:
        return
    add.section = "shaft speed"
    if speed.nominal_hz is not None:
        add("nominal_shaft_hz", "nominal shaft speed (Hz)", speed.nominal_hz,
            f"{speed.nominal_hz:.3f} ({speed.nominal_hz * 60:.0f} r/min)")
    source = {"tachometer": "from the tachometer", "spectrum": "read from the shaft lines",
              "envelope": "read from the shaft lines of the envelope",
              "nominal": "nominal, no shaft line found"}[speed.source]
    add("shaft_hz", f"shaft speed {source} (Hz)", speed.shaft_hz,
        f"{speed.shaft_hz:.3f} ({speed.shaft_hz * 60:.0f} r/min)")


def _severity_findings(assessment: Assessment, add: _Rows) -> None:
    sev = assessment.severity
    if sev is None:
        return
    low, high = sev.band_hz
    add.section = (f"velocity severity {low:g}-{high:g} Hz, ISO 20816-3 group {sev.machine_group},"
                   f" {sev.support} support")
    if sev.velocity_rms_mm_s is None:
        add("velocity_rms", "velocity RMS (mm/s)", None, sev.note or "no velocity")
        return
    add("velocity_rms", "velocity RMS (mm/s)", sev.velocity_rms_mm_s, f"{sev.velocity_rms_mm_s:.3f}")
    ab, bc, cd = sev.boundaries_mm_s
    add("zone", f"zone (A/B {ab:g}, B/C {bc:g}, C/D {cd:g} mm/s)", sev.zone, str(sev.zone))
    if sev.note:
        add("severity_note", "note", sev.note, sev.note)


def _bearing_findings(b: BearingDiagnosis, add: _Rows) -> None:
    low, high = b.band_hz
    add.section = "bearing"
    verdict = b.verdict_text
    if b.alternatives:
        verdict += "; also possible: " + ", ".join(DEFECT_LABELS[d] for d in b.alternatives)
    add("bearing_verdict", "verdict", b.verdict, verdict)
    add("bearing_band", "envelope band (Hz)", b.band_hz,
        f"{low:.0f}-{high:.0f}: {b.band_reason}" if math.isfinite(low) else b.band_reason)
    for defect, e in b.defects.items():
        label = f"{DEFECT_LABELS[defect]} ({e.frequency_hz:.2f} Hz)"
        if e.note:
            text = e.note
        else:
            lines = " ".join("masked" if math.isnan(ratio) else f"{ratio:.1f}" for ratio in e.line_ratios)
            text = (f"{'PRESENT' if e.present else 'absent'}, score {e.score:.1f}, lines x floor {lines}"
                    f" at {e.found_hz:.2f} Hz")
            if e.sideband_ratio is not None:
                text += f", sidebands {e.sideband_ratio:.1f}"
        add(f"bearing_{defect}", label, e.present, text)


def _figure(value: float | None, spec: str) -> str:
    """`value` as the report shows it: formatted by `spec`, or "not found"."""
    return NOT_FOUND if value is None else format(value, spec)


def _chain_findings(a: ChainAnalysis, unit: str, add: _Rows) -> None:
    """The drivetrain chain's rows: record levels, shaft and gear stage, order
    spectrum and synchronous average, envelope and cepstrum."""
    o = a.order
    fault_amp_text = _figure(a.fault_amp, ".3f")
    # Against no floor (none in the search range, or a spectrum of zeros) a line stands out by nothing.
    if a.fault_amp is not None and a.env_noise_floor:
        fault_amp_text += f" ({a.fault_amp / a.env_noise_floor:.0f}x noise)"
    add.section = "record"
    add("dc_offset", f"sensor DC offset ({unit})", a.dc_offset, f"{a.dc_offset:.4f}")
    add("overall_rms", f"overall RMS, DC included ({unit})", a.overall_rms, f"{a.overall_rms:.3f}")
    if o is not None:
        add.section = "shaft speed and gear stage"
        add("pulses", "tachometer pulses", len(o.pulse_times), f"{len(o.pulse_times)}")
        add("speed", "mean shaft speed (Hz)", o.speed_hz, f"{o.speed_hz:.3f}")
        if o.lss_times is not None and o.hss_revs_per_lss_rev is not None:
            add("lss_revs", "slow-shaft revolutions", len(o.lss_times) - 1, f"{len(o.lss_times) - 1}")
            add("gear_ratio", "gear ratio, pulses per slow rev", o.hss_revs_per_lss_rev,
                f"{o.hss_revs_per_lss_rev:.4f}")
        if o.lss_1x is not None:
            add("lss_1x", f"slow-shaft 1x ({unit})", o.lss_1x, f"{o.lss_1x:.3f}")
        add.section = f"order spectrum, synchronous average of {o.tsa_blocks} revolutions"
        for k, amp in enumerate(o.harmonics, 1):
            add(f"harmonic_{k}x", f"{k}x amplitude ({unit})", amp, f"{amp:.3f}")
        add("signature", "harmonic signature level", o.signature_level, f"{o.signature_level}")
        add("mesh_order", "gear-mesh order", o.mesh_order, _figure(o.mesh_order, "d"))
        add("mesh_amp", f"gear-mesh level ({unit})", o.mesh_amp, _figure(o.mesh_amp, ".3f"))
        add("mesh_band", f"gear-mesh band energy ({unit})", o.mesh_band_energy, _figure(o.mesh_band_energy, ".3f"))
        add.section = f"envelope {a.band_hz[0]:.0f}-{a.band_hz[1]:.0f} Hz, over shaft angle (bin {a.env_bin:.4f} order)"
        fault_hz = None if a.fault_peak is None else a.fault_peak * o.speed_hz
        add("fault", "strongest envelope line (order)", a.fault_peak, _figure(a.fault_peak, ".4f"))
        add("fault_amp", f"its amplitude ({unit})", a.fault_amp, fault_amp_text)
        add("fault_hz", "that line at mean speed (Hz)", fault_hz, _figure(fault_hz, ".2f"))
        add("period", "cepstral line period (rev)", a.fault_period, _figure(a.fault_period, ".4f"))
    else:
        add.section = f"envelope {a.band_hz[0]:.0f}-{a.band_hz[1]:.0f} Hz (bin {a.env_bin:.4f} Hz)"
        add("fault", "strongest envelope line (Hz)", a.fault_peak, _figure(a.fault_peak, ".3f"))
        add("fault_amp", f"its amplitude ({unit})", a.fault_amp, fault_amp_text)
        add("period", "cepstral line period (s)", a.fault_period, _figure(a.fault_period, ".5f"))


def _trend_findings(tr: TrendAssessment, trend_unit: str, add: _Rows) -> None:
    """The trend's rows: outlier, alarm, level, velocity and operating states."""
    add.section = f"trend over {len(tr.feature)} {trend_unit}s"
    add("outlier", f"largest outlier ({trend_unit}, size)", (tr.outlier_index, tr.outlier_size),
        f"{tr.outlier_index}, {tr.outlier_size:+.3f}")
    add("alarm", f"fault onset: alarm raised ({trend_unit})", tr.alarm_index,
        "none" if tr.alarm_index is None else f"{tr.alarm_index}")
    add("level", "level now: trend / severity", (tr.savgol[-1], tr.severity[-1]),
        f"{tr.savgol[-1]:.3f} / {tr.severity[-1]:.3f}")
    add("velocity", f"degradation velocity (per {trend_unit})", tr.velocity[-1], f"{tr.velocity[-1]:+.4f}")
    if tr.states is not None:
        add("states", "operating states P1..P5 / out", tr.states, state_counts(tr.states))


@dataclass(frozen=True)
class Row:
    label: str
    found: str
    injected: str | None = None
    passed: bool | None = None


def format_report(title: list[str], sections: list[tuple[str, list[Row]]], notes: Sequence[Note] = ()) -> str:
    """An aligned table: one block per section, with the injected column and a
    verdict when the rows carry them.  Rows without an injected value carry
    text, not a figure to compare: it follows the labels unaligned."""
    rows = [row for _, block in sections for row in block]
    checked = [row for row in rows if row.injected is not None]
    label_w = max(len(r.label) for r in rows) + 2
    found_w = max([len("found"), *(len(r.found) for r in checked)])
    inj_w = max([len("injected"), *(len(r.injected or "") for r in checked)])
    lines = list(title)
    if checked:
        lines.append(f"{'':{label_w}}  {'injected':>{inj_w}}  {'found':>{found_w}}")
    for heading, block in sections:
        lines.append(heading)
        for r in block:
            line = f"  {r.label:{label_w - 2}}  "
            if r.injected is not None:
                verdict = "" if r.passed is None else ("PASS" if r.passed else "FAIL")
                line += f"{r.injected:>{inj_w}}  {r.found:>{found_w}}  {verdict}"
            elif checked and len(r.found) <= found_w:
                line += f"{'':>{inj_w}}  {r.found:>{found_w}}"
            else:
                line += r.found
            lines.append(line.rstrip())
    lines.extend(f"note: {n}" for n in notes)
    return "\n".join(lines)


def group(rows: list[Finding], make_row: Callable[[Finding], Row]) -> list[tuple[str, list[Row]]]:
    """Findings into report sections, each turned into a `Row` by `make_row`."""
    sections: list[tuple[str, list[Row]]] = []
    for finding in rows:
        if not sections or sections[-1][0] != finding.section:
            sections.append((finding.section, []))
        sections[-1][1].append(make_row(finding))
    return sections


def _number(value: float | None) -> float | None:
    """A float for JSON: NaN and infinities as null."""
    return float(value) if value is not None and math.isfinite(value) else None


def _channel_json(channel: ChannelQuality | None) -> dict[str, Any] | None:
    if channel is None:
        return None
    return {"usable": channel.usable,
            "checks": [{"name": c.name, "status": c.status, "detail": c.detail, "value": _number(c.value)}
                       for c in channel.checks]}


def _bearing_json(b: BearingDiagnosis) -> dict[str, Any]:
    return {
        "verdict": b.verdict,
        "confidence": b.confidence,
        "alternatives": list(b.alternatives),
        "shaft_hz": _number(b.shaft_hz),
        "nominal_shaft_hz": _number(b.nominal_shaft_hz),
        "band_hz": [_number(edge) for edge in b.band_hz],
        "band_reason": b.band_reason,
        "band_rms": _number(b.band_rms),
        "defects": {
            defect: {
                "frequency_hz": _number(e.frequency_hz),
                "found_hz": _number(e.found_hz),
                "score": _number(e.score),
                "excess": _number(e.excess),
                "present": e.present,
                "line_ratios": [_number(r) for r in e.line_ratios],
                "sideband_ratio": _number(e.sideband_ratio),
                "band_hz": [_number(edge) for edge in e.band_hz],
                "prewhitening": e.prewhitening or None,
                "note": e.note,
                "hidden": e.hidden,
            }
            for defect, e in b.defects.items()
        },
    }


def _plain(value: object) -> object:
    """A finding's value as JSON: numbers, strings, lists; arrays as lists."""
    if isinstance(value, (bool, str)) or value is None:
        return value
    if isinstance(value, (int, np.integer)):
        return int(value)
    if isinstance(value, (float, np.floating)):
        return _number(float(value))
    if isinstance(value, np.ndarray):
        return [_plain(v) for v in value.tolist()]
    if isinstance(value, (tuple, list)):
        return [_plain(v) for v in value]
    return str(value)


def to_json(assessment: Assessment, trend: TrendAssessment | None = None) -> dict[str, Any]:
    """The assessment as one JSON-ready object.

    Keys: "record", "quality" (with "usable"), "speed", "severity" and
    "bearing" (null where not assessed), "findings" (every report row's value
    by key) and "notes"."""
    a = assessment
    speed = None if a.speed is None else {
        "shaft_hz": _number(a.speed.shaft_hz), "source": a.speed.source, "nominal_hz": _number(a.speed.nominal_hz)}
    severity = None if a.severity is None else {
        "velocity_rms_mm_s": _number(a.severity.velocity_rms_mm_s), "zone": a.severity.zone,
        "band_hz": [_number(edge) for edge in a.severity.band_hz],
        "boundaries_mm_s": list(a.severity.boundaries_mm_s), "machine_group": a.severity.machine_group,
        "support": a.severity.support, "note": a.severity.note}
    quality: dict[str, Any] = {"usable": a.quality.usable, "vibration": _channel_json(a.quality.vibration),
                               "tachometer": _channel_json(a.quality.tachometer)}
    if a.quality.verdict is not None:
        quality["verdict"] = a.quality.verdict
    return {
        "record": {"name": a.name, "samples": a.samples, "fs": a.fs, "duration_s": a.duration_s, "units": a.units},
        "quality": quality,
        "speed": speed,
        "severity": severity,
        "bearing": None if a.bearing is None else _bearing_json(a.bearing),
        "findings": {f.key: _plain(f.value) for f in findings(a, trend)},
        "notes": [str(note) for note in a.notes],
    }
