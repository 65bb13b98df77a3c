"""The trend over a machine's history: one condition value per measurement,
oldest first.

`assess_trend` reads it as an analyst would: smoothers that pass a faulty
reading by, the severity envelope, an anomaly score against the recent
baseline and the alarm it raises, the degradation velocity and, with the
power of each measurement, the operating state it was taken in.

`machine_trend` reads a machine's stored history (`kemo_pkg.history`), one
series per tracked finding, over the measurements its sensor could be
trusted for, each finding's readings in order of time:

- the robust trend and the severity envelope;
- the dynamic z-score of each reading against the `MACHINE_BASELINE`
  ordinary readings before it (a reading above `Z_ALARM` joins no later
  baseline); an alarm is raised at the `ALARM_PERSISTENCE`-th reading in a
  row above `Z_ALARM`, judged only where `MACHINE_BASELINE` readings lie
  behind it, and for a defect's score only over readings in which the
  defect is judged present.  Only a rise alarms: a falling defect score or
  band energy is no fault;
- the degradation velocity, per day, of the Savitzky-Golay trend.

The velocity severity's zone now is the latest reading's; at the trend's
current velocity its next boundary is reached on the projected date.
"""

from dataclasses import dataclass
from datetime import datetime, timedelta
from typing import Any

import numpy as np
from numpy.typing import ArrayLike

from . import core_math as cm
from .bearing import DEFECTS
from .history import TRACKED, Reading
from .problems import InputError
from .severity import ZONE_BOUNDARIES_MM_S, ZONES

__all__ = [
    "ALARM_PERSISTENCE",
    "MEDIAN_WINDOW",
    "MOVING_AVERAGE_WINDOW",
    "OPERATING_STATES",
    "OUT_OF_RANGE",
    "ROBUST_TREND",
    "SEVERITY_PEAK_WEIGHT",
    "TREND_ORDER",
    "TREND_WINDOW",
    "ZSCORE_BASELINE",
    "Z_ALARM",
    "TrendAssessment",
    "assess_trend",
    "state_counts",
    "MACHINE_BASELINE",
    "MIN_READINGS",
    "FINDING_LABELS",
    "FindingTrend",
    "MachineTrend",
    "ZoneOutlook",
    "machine_trend",
    "trend_json",
]

# The power bands of `core_math.classify_operating_state`, lowest first, and
# the label of a reading outside them (idling, or beyond the rating).
OPERATING_STATES = ("P1", "P2", "P3", "P4", "P5")
OUT_OF_RANGE = "P_OUT"
# A running median over five measurements outvotes a faulty reading, or two
# in a row, on either side of the one judged.
MEDIAN_WINDOW = 5
MOVING_AVERAGE_WINDOW = 5
# The Savitzky-Golay trend: a cubic over three weeks of daily measurements
# follows a spall's growth without its day-to-day scatter.
TREND_WINDOW = 21
TREND_ORDER = 3
# The robust trend: faulty readings removed by a five-point median, then a
# cubic over fifteen measurements.
ROBUST_TREND = (5, 15, 3)
# The severity envelope takes a rise at once and lets it fall by a tenth of
# the difference a measurement.
SEVERITY_PEAK_WEIGHT = 0.9
# The anomaly score of a measurement is its z-score against the thirty
# before it (a month of daily readings) ...
ZSCORE_BASELINE = 30
Z_ALARM = 3.0
# ... and an alarm wants this many scores in a row above Z_ALARM.
ALARM_PERSISTENCE = 3


@dataclass(frozen=True, eq=False)  # arrays: compared by identity
class TrendAssessment:
    feature: np.ndarray
    moving_average: np.ndarray
    median: np.ndarray
    savgol: np.ndarray
    robust: np.ndarray
    severity: np.ndarray
    zscore: np.ndarray  # of the median trend, so that a lone spike raises no alarm
    velocity: np.ndarray  # of the Savitzky-Golay trend, per time_delta
    alarm_index: int | None  # first of ALARM_PERSISTENCE scores above Z_ALARM
    outlier_index: int  # largest departure from the median trend
    outlier_size: float
    states: np.ndarray | None = None


def assess_trend(
    feature: ArrayLike, power: ArrayLike | None = None, rating: float | None = None, time_delta: float = 1.0
) -> TrendAssessment:
    """Reads a condition trend.

    Parameters
    ----------
    feature : array_like
        One condition value per measurement, oldest first; at least
        `TREND_WINDOW` of them.
    power, rating : array_like and float, optional
        The power of every measurement and the machine's rating, in one unit:
        the operating state of every measurement.
    time_delta : float
        Time between measurements, in the unit the velocity is given per.

    Returns
    -------
    TrendAssessment

    Raises
    ------
    InputError
        For fewer than `TREND_WINDOW` measurements, or power without a rating.
    """
    feature = np.asarray(feature, dtype=float)
    if feature.ndim != 1 or feature.size < TREND_WINDOW:
        raise InputError(f"a trend needs at least {TREND_WINDOW} measurements in one series, not {feature.shape}")
    if (power is None) != (rating is None):
        raise InputError("the operating states need both the power of every measurement and the rating")
    median = cm.compute_median_filter(feature, MEDIAN_WINDOW)
    savgol = cm.compute_savgol_filter(feature, TREND_WINDOW, TREND_ORDER)
    zscore = cm.compute_dynamic_zscore(median, ZSCORE_BASELINE)
    above = zscore > Z_ALARM
    persistent = [i for i in range(len(above) - ALARM_PERSISTENCE + 1) if above[i : i + ALARM_PERSISTENCE].all()]
    # The median filter pads the ends with zeros; only measurements with a full
    # window of neighbours are judged for outliers.
    edge = MEDIAN_WINDOW // 2
    departure = (feature - median)[edge:-edge]
    outlier = int(np.argmax(np.abs(departure)))
    return TrendAssessment(
        feature=feature,
        moving_average=cm.compute_moving_average(feature, MOVING_AVERAGE_WINDOW),
        median=median,
        savgol=savgol,
        robust=cm.compute_robust_trend(feature, *ROBUST_TREND),
        severity=cm.compute_severity_envelope(feature, SEVERITY_PEAK_WEIGHT),
        zscore=zscore,
        # The median trend is padded with zeros at the ends, so the level and
        # rate of the latest measurements are read from the Savitzky-Golay fit.
        velocity=cm.compute_degradation_velocity(savgol, time_delta),
        alarm_index=persistent[0] if persistent else None,
        outlier_index=outlier + edge,
        outlier_size=float(departure[outlier]),
        states=None if power is None or rating is None else cm.classify_operating_state(power, rating),
    )


def state_counts(states: np.ndarray) -> str:
    """Measurements in each operating state, then those out of range: "12 30 41 38 22 / 7"."""
    in_bands = " ".join(str(int(np.sum(states == state))) for state in OPERATING_STATES)
    return f"{in_bands} / {int(np.sum(states == OUT_OF_RANGE))}"


# A machine measured every week or so: its last twenty readings, some five
# months, are the baseline a reading of its history is judged against.
MACHINE_BASELINE = 20
MIN_READINGS = MACHINE_BASELINE + 1
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
    zscore: np.ndarray  # against the ordinary readings before it
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


def _anomaly(values: np.ndarray, may_alarm: np.ndarray) -> tuple[np.ndarray, int | None]:
    """Each reading's z-score against the MACHINE_BASELINE readings before
    it that were not out of the ordinary themselves, and the reading at which
    the alarm is raised: the ALARM_PERSISTENCE-th in a row above Z_ALARM
    among those that `may_alarm`.  A reading above Z_ALARM stays out of later
    baselines, so that a lone chance reading does not widen the baseline for
    months, and a lasting step is judged against the machine as it was
    before, not taken in."""
    zscore = np.zeros(len(values))
    baseline: list[float] = []
    run, alarm = 0, None
    for i, value in enumerate(values):
        # Until half a baseline is there, every reading joins it.
        if len(baseline) >= 2:
            zscore[i] = cm.compute_dynamic_zscore(np.append(baseline, value), MACHINE_BASELINE)[-1]
        out = len(baseline) >= MACHINE_BASELINE // 2 and zscore[i] > Z_ALARM
        run = run + 1 if out and may_alarm[i] and i >= MACHINE_BASELINE else 0
        if run == ALARM_PERSISTENCE and alarm is None:
            alarm = i
        if not out:
            baseline = [*baseline[1 - MACHINE_BASELINE :], float(value)]
    return zscore, alarm


def _finding_trend(finding: str, taken: list[datetime], values: list[float], may_alarm: list[bool]) -> FindingTrend:
    series = np.asarray(values, dtype=float)
    # Measurements are taken about evenly; the velocity is per day at their mean spacing.
    spacing_days = (taken[-1] - taken[0]).total_seconds() / 86400.0 / (len(taken) - 1)
    smooth = cm.compute_savgol_filter(series, *ROBUST_TREND[1:])
    zscore, alarm_index = _anomaly(series, np.asarray(may_alarm, dtype=bool))
    return FindingTrend(
        finding=finding,
        taken=tuple(taken),
        values=series,
        robust=cm.compute_robust_trend(series, *ROBUST_TREND),
        severity=cm.compute_severity_envelope(series, SEVERITY_PEAK_WEIGHT),
        zscore=zscore,
        velocity_per_day=cm.compute_degradation_velocity(smooth, spacing_days if spacing_days > 0 else 1.0),
        level_now=float(smooth[-1]),
        alarm_index=alarm_index,
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
        # A defect's score alarms only where the defect is judged present: below that it is the
        # noise of its decoys, which a healthy machine's scores wander through now and then.
        read = [
            (r.taken, r.findings[finding], finding not in DEFECTS or finding in r.present)
            for r in trusted
            if r.findings.get(finding) is not None
        ]
        if len(read) < MIN_READINGS:
            too_few[finding] = len(read)
            continue
        taken, values, may_alarm = zip(*read)
        trends[finding] = _finding_trend(finding, list(taken), list(values), list(may_alarm))
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
