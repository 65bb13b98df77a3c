"""A machine's condition over its history: each tracked finding's trend,
anomaly score and alarm, and when the velocity severity will reach its next
zone.

Every measurement the machine's sensor could be trusted for counts; the
readings of each finding are taken in order of time.  For each finding:

- the robust trend (a median filter, then Savitzky-Golay) and the severity
  envelope, which follows rises fast and falls slowly;
- the dynamic z-score of each reading against the `BASELINE` readings before
  it; an alarm is raised at the `ALARM_PERSISTENCE`-th reading in a row above
  `Z_ALARM` against the baseline before the first of them, judged only where
  a full baseline lies behind it.  Only a rise alarms: a falling defect score
  or band energy is no fault;
- the degradation velocity, per day, of the Savitzky-Golay trend (the median
  filter pads its ends, so the latest readings are read from the fit).

The velocity severity's zone now is the latest reading's; at the trend's
current velocity its next boundary is reached on the projected date.
"""

from dataclasses import dataclass
from datetime import datetime, timedelta
from typing import Any

import numpy as np

from . import core_math as cm
from .analysis import ALARM_PERSISTENCE, Z_ALARM
from .history import TRACKED, Reading
from .severity import ZONE_BOUNDARIES_MM_S, ZONES

__all__ = ["BASELINE", "MIN_READINGS", "FindingTrend", "MachineTrend", "ZoneOutlook", "machine_trend", "trend_json"]

BASELINE = 20  # readings a z-score is judged against
MIN_READINGS = BASELINE + 1
SMOOTHING = 15  # Savitzky-Golay window of the trends, in readings
FINDING_LABELS = {
    "velocity_rms_mm_s": "velocity RMS (mm/s)",
    "outer_race": "outer race score",
    "inner_race": "inner race score",
    "ball": "ball score",
    "cage": "cage score",
    "band_rms": "bearing band RMS",
    "shaft_hz": "shaft speed (Hz)",
}


@dataclass(frozen=True, eq=False)  # arrays: compared by identity
class FindingTrend:
    """One finding over the machine's history, oldest reading first."""

    finding: str
    taken: tuple[datetime, ...]
    values: np.ndarray
    robust: np.ndarray
    severity: np.ndarray
    zscore: np.ndarray
    velocity_per_day: np.ndarray  # of the Savitzky-Golay trend
    level_now: float  # the Savitzky-Golay trend at the latest reading
    alarm_index: int | None  # the reading at which the alarm was raised

    @property
    def alarm_taken(self) -> datetime | None:
        return None if self.alarm_index is None else self.taken[self.alarm_index]


@dataclass(frozen=True)
class ZoneOutlook:
    """The velocity severity's zone now, and when its next boundary is
    reached at the current velocity (None when the trend is not rising, or
    in zone D already)."""

    zone: str
    boundaries_mm_s: tuple[float, float, float]
    next_zone: str | None
    projected: datetime | None


@dataclass(frozen=True)
class MachineTrend:
    measurements: int  # the readings the sensor could be trusted for
    trends: dict[str, FindingTrend]  # the findings with at least MIN_READINGS readings
    too_few: dict[str, int]  # the others: their number of readings
    outlook: ZoneOutlook | None


def _alarm_index(values: np.ndarray, zscore: np.ndarray) -> int | None:
    """The reading at which the alarm is raised: the last of ALARM_PERSISTENCE
    in a row above Z_ALARM, each judged against the baseline before the first
    of them (a moving baseline would take a lasting step in and let it go)."""
    for start in np.flatnonzero(zscore[BASELINE:] > Z_ALARM) + BASELINE:
        following = values[start + 1 : start + ALARM_PERSISTENCE]
        if len(following) < ALARM_PERSISTENCE - 1:
            break
        baseline = values[start - BASELINE : start]
        if all(cm.compute_dynamic_zscore(np.append(baseline, value), BASELINE)[-1] > Z_ALARM for value in following):
            return int(start + ALARM_PERSISTENCE - 1)
    return None


def _finding_trend(finding: str, taken: list[datetime], values: list[float]) -> FindingTrend:
    series = np.asarray(values, dtype=float)
    # Measurements are taken about evenly; the velocity is per day at their mean spacing.
    spacing_days = (taken[-1] - taken[0]).total_seconds() / 86400.0 / (len(taken) - 1)
    smooth = cm.compute_savgol_filter(series, SMOOTHING, 3)
    zscore = cm.compute_dynamic_zscore(series, BASELINE)
    return FindingTrend(
        finding=finding,
        taken=tuple(taken),
        values=series,
        robust=cm.compute_robust_trend(series, 5, SMOOTHING, 3),
        severity=cm.compute_severity_envelope(series, 0.9),
        zscore=zscore,
        velocity_per_day=cm.compute_degradation_velocity(smooth, spacing_days if spacing_days > 0 else 1.0),
        level_now=float(smooth[-1]),
        alarm_index=_alarm_index(series, zscore),
    )


def _outlook(readings: list[Reading], velocity: FindingTrend | None) -> ZoneOutlook | None:
    latest = next((r for r in reversed(readings) if r.zone is not None), None)
    if latest is None or latest.zone is None:
        return None
    zone = latest.zone
    boundaries = ZONE_BOUNDARIES_MM_S[latest.settings.get("machine_group", 1), latest.settings.get("support", "rigid")]
    index = ZONES.index(zone)
    if index == len(ZONES) - 1:
        return ZoneOutlook(zone, boundaries, None, None)
    projected = None
    if velocity is not None and velocity.velocity_per_day[-1] > 0:
        days = max(0.0, (boundaries[index] - velocity.level_now) / velocity.velocity_per_day[-1])
        if days < 365.0 * 100:  # beyond a century is no projection
            projected = velocity.taken[-1] + timedelta(days=float(days))
    return ZoneOutlook(zone, boundaries, ZONES[index + 1], projected)


def machine_trend(readings: list[Reading]) -> MachineTrend:
    """The trends of a machine's history (`kemo_pkg.history.machine_history`,
    oldest first)."""
    trusted = [r for r in readings if r.status == "analysed" and r.usable]
    trends, too_few = {}, {}
    for finding in TRACKED:
        read = [(r.taken, r.findings[finding]) for r in trusted if r.findings.get(finding) is not None]
        if len(read) < MIN_READINGS:
            too_few[finding] = len(read)
            continue
        taken, values = zip(*read)
        trends[finding] = _finding_trend(finding, list(taken), list(values))
    return MachineTrend(len(trusted), trends, too_few, _outlook(trusted, trends.get("velocity_rms_mm_s")))


def _number(value: float) -> float | None:
    return float(value) if np.isfinite(value) else None


def trend_json(machine: str, trend: MachineTrend) -> dict[str, Any]:
    """The trend as `trend --json` prints it: for each finding its readings
    and, where there are enough, the latest reading, the robust trend, the
    severity envelope, the z-score and the velocity per day now, and the
    alarm; the zone now and when the next is reached."""
    findings = {
        finding: {"readings": count, "note": f"too few readings for a trend (it needs {MIN_READINGS})"}
        for finding, count in trend.too_few.items()
    }
    for finding, t in trend.trends.items():
        findings[finding] = {
            "readings": len(t.values),
            "latest": _number(t.values[-1]),
            "trend": _number(t.robust[-1]),
            "severity": _number(t.severity[-1]),
            "zscore": _number(t.zscore[-1]),
            "velocity_per_day": _number(t.velocity_per_day[-1]),
            "alarm": None if t.alarm_taken is None else t.alarm_taken.isoformat(),
        }
    outlook = trend.outlook
    return {
        "machine": machine,
        "measurements": trend.measurements,
        "findings": findings,
        "zone": None if outlook is None else outlook.zone,
        "next_zone": None if outlook is None else outlook.next_zone,
        "projected": None if outlook is None or outlook.projected is None else outlook.projected.isoformat(),
    }
