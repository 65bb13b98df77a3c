"""The trend over a machine's history: one condition value per measurement,
oldest first.

`assess_trend` reads it as an analyst would: smoothers that pass a faulty
reading by, the severity envelope, an anomaly score against the recent
baseline and the alarm it raises, the degradation velocity and, with the
power of each measurement, the operating state it was taken in.
"""

from dataclasses import dataclass

import numpy as np
from numpy.typing import ArrayLike

from . import core_math as cm
from .problems import InputError

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
