"""The trend over a machine's history against a condition history drawn by
hand: the onset, the faulty reading, the level now, and the operating state
of every measurement."""

import numpy as np
import pytest

from kemo_pkg.analysis import assess_record
from kemo_pkg.problems import InputError
from kemo_pkg.records import Record
from kemo_pkg.report import findings
from kemo_pkg.trend import TREND_WINDOW, assess_trend

# 120 days: a level creeping up 0.5 mg a day, one faulty reading on day 20, a
# step of 0.3 g from day 60 (a spall), and from day 90 a fall of 0.01 g a day
# (the load taken off).
DAYS = np.arange(120)
ONSET, SPIKE, FALL_START, FALL_PER_DAY = 60, 20, 90, 0.01
HISTORY = (
    1.0
    + 0.0005 * np.minimum(DAYS, FALL_START - 1)
    + 0.4 * (DAYS == SPIKE)
    + 0.3 * (DAYS >= ONSET)
    - FALL_PER_DAY * np.maximum(DAYS - FALL_START + 1, 0)
)


def test_the_trend_reads_the_onset_the_outlier_and_the_level_now():
    trend = assess_trend(HISTORY, time_delta=0.5)
    assert trend.alarm_index == ONSET
    assert (trend.outlier_index, trend.outlier_size) == (SPIKE, pytest.approx(0.4, abs=0.001))
    # The median and the robust trend pass the faulty reading by; the 5-day
    # mean lags the straight fall by two days.
    assert [trend.median[SPIKE], trend.robust[SPIKE]] == pytest.approx([HISTORY[SPIKE] - 0.4] * 2, abs=0.001)
    assert trend.moving_average[-1] == pytest.approx(HISTORY[-1] + 2 * FALL_PER_DAY)
    # The trend fits the straight fall exactly; the severity envelope decays
    # from the plateau by 0.9 a day towards it, 9 days' fall above it at most.
    level_now = HISTORY[-1]
    severity_now = level_now + 9 * FALL_PER_DAY * (1 - 0.9 ** (DAYS[-1] - FALL_START + 1))
    rows = {f.key: f for f in findings_of_trend(trend)}
    assert rows["level"].value == (pytest.approx(level_now), pytest.approx(severity_now, abs=1e-4))
    assert rows["level"].text == f"{level_now:.3f} / {severity_now:.3f}"
    assert rows["velocity"].value == pytest.approx(-FALL_PER_DAY / 0.5)


def findings_of_trend(trend):
    noise = np.random.default_rng(5).normal(size=4096)
    healthy = assess_record(Record(t=np.arange(noise.size) / 1000.0, vibration=noise, tach=None, fs=1000.0))
    return [f for f in findings(healthy, trend) if f.section.startswith("trend")]


@pytest.mark.parametrize(
    "days, faulty_days, alarm",
    [(ONSET, (), None), (ONSET, (40, 41), None), (ONSET + 2, (), None), (ONSET + 3, (), ONSET)],
    ids=["healthy", "two faulty readings in a row", "two days after the onset", "on the third day"],
)
def test_an_alarm_wants_a_change_that_lasts_three_measurements(days, faulty_days, alarm):
    history = HISTORY[:days] + 0.3 * np.isin(DAYS[:days], faulty_days)
    assert assess_trend(history).alarm_index == alarm


def test_the_operating_state_of_every_measurement_of_a_2_mw_machine():
    power_kw = np.resize([50.0, 300.0, 650.0, 1100.0, 1600.0, 2100.0, 2500.0], DAYS.size)
    states = np.resize(["P_OUT", "P1", "P2", "P3", "P4", "P5", "P_OUT"], DAYS.size)
    trend = assess_trend(HISTORY, power_kw, 2000.0)
    np.testing.assert_array_equal(trend.states, states)
    # 120 days over 7 kinds: 18 of the first kind, 17 of the others, out of range twice.
    row = next(f for f in findings_of_trend(trend) if f.key == "states")
    assert row.text == "17 17 17 17 17 / 35"


@pytest.mark.parametrize(
    "feature, power, rating, problem",
    [
        (HISTORY[: TREND_WINDOW - 1], None, None, f"a trend needs at least {TREND_WINDOW} measurements"),
        (np.tile(HISTORY, (2, 1)), None, None, "in one series"),
        (HISTORY, np.full(DAYS.size, 900.0), None, "need both the power of every measurement and the rating"),
    ],
)
def test_a_history_that_cannot_be_read_as_a_trend_says_why(feature, power, rating, problem):
    with pytest.raises(InputError, match=problem):
        assess_trend(feature, power, rating)
