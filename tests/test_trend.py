"""Trend and condition assessment: operating states from power, the severity
envelope, trend smoothers, the dynamic z-score and the degradation rate; and
their native paths against numpy's and scipy's own."""

import numpy as np
import pytest
import scipy.linalg
from hypothesis import given
from hypothesis import strategies as st
from scipy.signal import medfilt, savgol_coeffs, savgol_filter

from kemo_pkg import core_math
from support import reference
from support.edge_records import (
    BUDGET,
    MOSTLY,
    ORDINARY_MAGNITUDES,
    assert_at_boundary,
    error_states,
    laid_out,
    lengths,
    loop_lengths,
    numbers,
    records,
    seeds,
    sprinkle,
    with_values,
)
from support.outcome import assert_same_outcome, outcome
from support.paths import entries_into, rebound, recorded

pytestmark = pytest.mark.forked

# --- operating states -------------------------------------------------------

FIXED_TABLES = {
    "low": [100, 500, 800, 1400, 1800, 2400],
    "mid": [200, 1000, 1800, 2600, 3200, 3600],
    "high": [300, 1500, 2500, 3500, 4200, 4800],
}


def fifths_of(rating):
    return [0, rating * 0.2, rating * 0.4, rating * 0.6, rating * 0.8, rating]


@pytest.mark.parametrize(
    "rating, edges",
    [(rating, FIXED_TABLES["low"]) for rating in (1800, 2000.0, 2400)]
    + [(rating, FIXED_TABLES["mid"]) for rating in (2800, 3600)]
    + [(rating, FIXED_TABLES["high"]) for rating in (3800, 4800)]
    + [(rating, fifths_of(rating)) for rating in (1500, 1799.9, 2400.5, 2500, 3700, 5000, 7.3)],
)
def test_rating_selects_band_edges_and_an_edge_opens_the_band_above(rating, edges):
    just_below = [np.nextafter(edge, -np.inf) for edge in edges]
    labels = core_math.classify_operating_state(np.array(just_below + edges, dtype=float), rating)
    bands = ["P1", "P2", "P3", "P4", "P5"]
    assert labels.tolist() == ["P_OUT"] + bands + bands + ["P_OUT"]


def test_rating_2000_labels_powers_at_and_between_its_edges():
    labels = core_math.classify_operating_state(np.array([50, 100, 499, 500, 1800, 2399, 2400]), 2000)
    assert labels.tolist() == ["P_OUT", "P1", "P1", "P2", "P5", "P5", "P_OUT"]


@pytest.mark.parametrize(
    "power, rating, label",
    [(1250, 2500, "P3"), (0, 5000, "P1"), (-1, 5000, "P_OUT"), (5000, 5000, "P_OUT"), (np.nan, 2000, "P_OUT"),
     (np.nan, 5000, "P_OUT"), (0, 0, "P_OUT"), (-5, 0, "P_OUT"), (7, 0, "P_OUT")],
)
def test_single_power_label(power, rating, label):
    assert core_math.classify_operating_state([power], rating).tolist() == [label]


@pytest.mark.parametrize(
    "power, dtype",
    [([100, 2399.5, 900], "<U2"), ([100, 2400, 900], "<U5"), ([np.nan], "<U5"), ([], "<f8"), (np.array([]), "<f8")],
)
def test_labels_are_as_wide_as_the_longest_label(power, dtype):
    labels = core_math.classify_operating_state(power, 2000)
    assert labels.dtype.str == dtype
    assert labels.shape == (len(power),)


POWERS = {
    "float_grid": np.array([-1, 0, 50, 100, 499, 500, 1250, 1800, 2399, 2400, 3600.0, 5000, 1e300]),
    "nan_and_inf": np.array([np.nan, np.inf, -np.inf, 1000.0, -0.0]),
    "int64": np.array([0, 150, 900, 2000, 2600, 4100, 7000]),
    "float32": np.array([0.1, 999.9, 1000.06, 4000.24, 5000.3, 4999], dtype=np.float32),
    "list": [150, 2000.5, 2600, -3],
    "strided": np.linspace(-100, 6000, 61)[::4],
    "in_band_only": np.array([100.0, 2399.0]),
    "empty": np.array([]),
    "scalar": 5.0,
    "two_dimensional": np.full((2, 2), 900.0),
}
RATINGS = [2000, 2000.0, 2400, 2500, 3600.0, 3700, 5000, 0, -100, np.nan, np.inf, 1e-320, 2**60,
           np.float32(5000.3), np.float64(3000), "2000"]


@pytest.mark.parametrize("power", POWERS.values(), ids=POWERS.keys())
@pytest.mark.parametrize("rating", RATINGS, ids=repr)
def test_operating_states_match_reference(power, rating):
    assert_same_outcome("classify_operating_state", power, rating)


# --- severity envelope ------------------------------------------------------

@pytest.mark.parametrize(
    "feature_data, peak_weight, expected",
    [
        ([0, 10, 0, 0], 0.9, [0.0, 9.0, 8.1, 7.29]),
        ([3, 1, 4, 1, 5], 1.0, [3.0, 3.0, 4.0, 4.0, 5.0]),
        ([3, 1, 4, 1, 5], 0.0, [3.0, 1.0, 1.0, 1.0, 1.0]),
        ([4.0, 0.0, 8.0, 2.0], 0.5, [4.0, 2.0, 5.0, 3.5]),
        ([2.5], 0.9, [2.5]),
        ([2.0, np.nan, 4.0], 0.9, [2.0, 2.0, 3.8]),
        ([np.nan, 1.0, 5.0], 0.9, [np.nan, np.nan, np.nan]),
    ],
)
def test_severity_envelope_attacks_fast_and_decays_slowly(feature_data, peak_weight, expected):
    smoothed = core_math.compute_severity_envelope(np.array(feature_data), peak_weight)
    assert smoothed.dtype == np.float64
    np.testing.assert_allclose(smoothed, expected, rtol=1e-14)


def test_severity_envelope_of_integers_is_float64():
    smoothed = core_math.compute_severity_envelope(np.array([0, 10, 0], dtype=np.int16))
    assert smoothed.dtype == np.float64


# --- trend smoothing --------------------------------------------------------

@pytest.mark.parametrize(
    "feature_data, window_size, expected",
    [
        ([1, 2, 3, 4, 5, 6], 3, [1.0, 1.5, 2.0, 3.0, 4.0, 5.0]),
        ([2, 4, 9], 5, [2.0, 3.0, 5.0]),
        ([2, 4, 9], 3, [2.0, 3.0, 5.0]),
        ([2, 4, 9], 5.5, [2.0, 3.0, 5.0]),
        ([2.5, -1.0, 7.0], 1, [2.5, -1.0, 7.0]),
        ([], 5, []),
        # A NaN gap or an infinite sample counts only while it is in the window.
        ([1.0, np.nan, 2.0, 3.0, 4.0], 2, [1.0, np.nan, np.nan, 2.5, 3.5]),
        ([1.0, np.inf, 2.0, 3.0, 4.0, 6.0], 3, [1.0, np.inf, np.inf, np.inf, 3.0, 13 / 3]),
    ],
)
@pytest.mark.parametrize("as_array", [True, False], ids=["array", "list"])
def test_moving_average_trails_the_sample(feature_data, window_size, expected, as_array):
    series = np.array(feature_data) if as_array else feature_data
    averages = core_math.compute_moving_average(series, window_size)
    assert averages.dtype == np.float64
    np.testing.assert_array_equal(averages, expected)


def test_moving_average_sums_an_integer_series_exactly():
    # Once the large sample has left the window only the ones remain: the
    # integer sum carries no rounding, a float64 sum has lost them.
    spiky = [2**53, 1, 1, 1]
    assert core_math.compute_moving_average(np.array(spiky), 2)[2:].tolist() == [1.0, 1.0]
    assert core_math.compute_moving_average(np.array(spiky, dtype=float), 2)[2:].tolist() == [0.5, 0.5]


def test_moving_average_window_zero_is_nan_with_numpy_warning():
    with pytest.warns(RuntimeWarning, match="invalid value encountered in scalar divide"):
        averages = core_math.compute_moving_average(np.array([1.0, 2.0, 3.0]), 0)
    assert np.isnan(averages).all()


@pytest.mark.parametrize("window_size, kernel_size", [(4, 5), (5, 5), (0, 1), (7, 7)])
def test_median_filter_widens_an_even_window(window_size, kernel_size):
    x = np.array([1.0, 9.0, 2.0, 3.0, 8.0, 4.0, 0.0, 6.0, 5.0])
    filtered = core_math.compute_median_filter(x, window_size)
    np.testing.assert_array_equal(filtered, medfilt(x, kernel_size=kernel_size))


@pytest.mark.parametrize("window_size, poly_order, window_length", [(10, 3, 11), (11, 3, 11), (6, 2, 7), (4, 1, 5)])
def test_savgol_filter_widens_an_even_window(window_size, poly_order, window_length):
    x = np.sin(np.arange(30) / 4.0) + np.arange(30) * 0.1
    smoothed = core_math.compute_savgol_filter(x, window_size, poly_order)
    np.testing.assert_array_equal(smoothed, savgol_filter(x, window_length=window_length, polyorder=poly_order))


@pytest.mark.parametrize(
    "median_window, savgol_window, poly_order, kernel_size, window_length",
    [(5, 15, 3, 5, 15), (6, 14, 3, 7, 15), (4, 8, 2, 5, 9), (1, 3, 1, 1, 3), (0, 2, 0, 1, 3)],
)
def test_robust_trend_is_savgol_of_median_filtered_series(
    median_window, savgol_window, poly_order, kernel_size, window_length
):
    x = np.cos(np.arange(40) / 6.0)
    x[[7, 21]] = [5.0, np.nan]
    expected = savgol_filter(medfilt(x, kernel_size=kernel_size), window_length=window_length, polyorder=poly_order)
    trend = core_math.compute_robust_trend(x, median_window, savgol_window, poly_order)
    np.testing.assert_array_equal(trend, expected)


def test_robust_trend_barely_follows_a_single_spike():
    ramp = np.arange(40) * 0.5
    spiky = np.where(np.arange(40) == 20, 100.0, ramp)
    assert np.abs(core_math.compute_robust_trend(spiky) - ramp)[10:30].max() < 0.25
    assert np.abs(core_math.compute_savgol_filter(spiky, 15) - ramp)[10:30].max() > 10


# --- anomaly score and degradation rate -------------------------------------

@pytest.mark.parametrize(
    "feature_data, baseline_window, expected",
    [
        ([1, 2, 3, 10], 30, [0.0, 0.0, 1.5 / 0.5**0.5, 8.0]),
        ([1, 2, 3, 4, 5, 20], 3, [0.0, 0.0, 1.5 / 0.5**0.5, 2.0, 2.0, 16.0]),
        ([5.0, 5.0, 5.0, 9.0], 30, [0.0, 0.0, 0.0, 0.0]),
        ([1.0, np.nan, 2.0, 3.0, 4.0], 30, [0.0, 0.0, 0.0, 0.0, 0.0]),
        ([1.0, np.nan, 2.0, 3.0, 5.0], 2, [0.0, 0.0, 0.0, 0.0, 2.5 / 0.5**0.5]),
        ([1.0, 2.0, 3.0, np.nan], 30, [0.0, 0.0, 1.5 / 0.5**0.5, np.nan]),
        ([2.0, 0.0, 9.0], 5.5, [0.0, 0.0, 8.0 / 2**0.5]),
        ([2.0, 0.0, 9.0], 2.0, [0.0, 0.0, 8.0 / 2**0.5]),
        ([], 30, []),
    ],
)
def test_dynamic_zscore_scores_against_preceding_samples(feature_data, baseline_window, expected):
    z_scores = core_math.compute_dynamic_zscore(np.array(feature_data, dtype=float), baseline_window)
    assert z_scores.dtype == np.float64
    np.testing.assert_allclose(z_scores, expected, rtol=1e-14)


@pytest.mark.parametrize("baseline_window", [0, 1, -1, -40])
def test_dynamic_zscore_without_two_sample_baselines_is_all_zero(baseline_window):
    z_scores = core_math.compute_dynamic_zscore(np.array([1.0, 4.0, 2.0, 8.0, 3.0]), baseline_window)
    assert z_scores.tolist() == [0.0] * 5


@pytest.mark.parametrize("step, scored", [(2e-9, True), (1e-9, False)])
def test_dynamic_zscore_treats_a_spread_up_to_1e_9_as_flat(step, scored):
    # The baseline [1, 1 + step] has a sample standard deviation of step / sqrt(2).
    z_scores = core_math.compute_dynamic_zscore(np.array([1.0, 1.0 + step, 5.0]))
    assert (z_scores[2] != 0.0) == scored


def test_dynamic_zscore_of_integers_is_float64():
    assert core_math.compute_dynamic_zscore(np.array([1, 2, 3, 10])).dtype == np.float64


@pytest.mark.parametrize(
    "trend_data, time_delta, expected",
    [
        ([0, 1, 4, 9], 1.0, [1.0, 2.0, 4.0, 5.0]),
        ([0, 1, 4, 9], 0.5, [2.0, 4.0, 8.0, 10.0]),
        ([3.0, 7.0], 2, [2.0, 2.0]),
        ([1.0, 2.5, 4.0, 5.5, 7.0], 0.25, [6.0] * 5),
        # Central differences step over the sample itself.
        ([0.0, 1.0, np.nan, 9.0, 16.0], 1.0, [1.0, np.nan, 4.0, np.nan, 7.0]),
    ],
)
def test_degradation_velocity_is_gradient_per_time_unit(trend_data, time_delta, expected):
    velocity = core_math.compute_degradation_velocity(np.array(trend_data), time_delta)
    assert velocity.dtype == np.float64
    np.testing.assert_array_equal(velocity, expected)


@pytest.mark.parametrize("time_delta", [0, 0.0])
def test_degradation_velocity_at_zero_spacing_divides_with_numpy_warnings(time_delta):
    with pytest.warns(RuntimeWarning) as caught:
        velocity = core_math.compute_degradation_velocity(np.array([1, 1, 3, 2]), time_delta)
    np.testing.assert_array_equal(velocity, [np.nan, np.inf, np.inf, -np.inf])
    assert {str(w.message) for w in caught} == {
        "divide by zero encountered in divide",
        "invalid value encountered in divide",
    }


# --- errors, warnings and bits as numpy, scipy and Python give them ----------

@pytest.mark.parametrize(
    "name, args, kind",
    [
        ("compute_moving_average", (np.arange(4.0), 2.0), TypeError),
        ("compute_moving_average", ([1, 2, 3], 3.0), TypeError),
        ("compute_dynamic_zscore", (np.arange(8.0), 2.5), TypeError),
        ("compute_severity_envelope", (np.array([]),), IndexError),
        ("compute_severity_envelope", ([],), IndexError),
        ("compute_savgol_filter", (np.arange(10.0),), ValueError),
        ("compute_savgol_filter", (np.arange(20.0), 4, 5), ValueError),
        ("compute_robust_trend", (np.arange(14.0),), ValueError),
        ("classify_operating_state", (5.0, 2000), TypeError),
        ("classify_operating_state", (np.ones((2, 2)), 5000), ValueError),
        ("compute_degradation_velocity", (np.array([3.0]),), ValueError),
        ("compute_moving_average", (np.array([1.0, 2.0]), 0), RuntimeWarning),
        ("compute_median_filter", (np.arange(3.0), 7), UserWarning),
        ("compute_degradation_velocity", (np.array([0, 1, 1]), 0), RuntimeWarning),
    ],
)
def test_failures_surface_as_the_libraries_raise_them(name, args, kind):
    result, warned = outcome(getattr(reference, name), *args)
    if issubclass(kind, Warning):
        assert kind in [category for category, _ in warned]
    else:
        assert result[:2] == ("raised", kind)
    assert_same_outcome(name, *args)


_rng = np.random.default_rng(20240611)
SERIES = {
    "int64": np.array([3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7, 9, 3]),
    "int8": np.array([3, -1, 4, 127, 5, -128, 7, 7, 0, 1, 2, 3, 4, 5, 6, 100], dtype=np.int8),
    "uint8": np.arange(250, 266).astype(np.uint8),
    "bool": np.array([True, False, True, True, False, True, True, True]),
    "float32": _rng.normal(size=20).astype(np.float32),
    "floats": _rng.normal(size=40),
    "nan": np.array([1.0, np.nan, 2.0, 3.0, 2.5, 4.0, 1.0, 0.5, 9.0]),
    "nan_first": np.array([np.nan, 1.0, 2.0, 3.0, 5.0]),
    "inf": np.array([1.0, np.inf, 2.0, -np.inf, 3.0, 4.0, 4.0]),
    "overflowing": np.array([1e308, -1e308, 1e308, 5.0, 1e-320, 3.0, 1e308, 1e308]),
    "flat": np.full(16, 2.0),
    "empty": np.array([]),
    "one_sample": np.array([7.5]),
    "list": [1, 2.5, 3, 10, 4, 4, 0, -2, 7, float("nan"), 7.5, 1, 1, 2, 3, 0.5, 6],
    "strided": _rng.normal(size=90)[::3],
    "reversed": _rng.normal(size=30)[::-1],
    # Sums and baselines run past one 8192-sample buffer.
    "long": _rng.normal(size=9000) * 1e3 + 5.0,
}
CALLS = [
    ("compute_severity_envelope", ()),
    *[("compute_severity_envelope", (weight,)) for weight in (1.0, 0.0, 0.5, 1, 1.5, -0.3, np.nan)],
    ("compute_moving_average", ()),
    *[("compute_moving_average", (window,)) for window in (1, 3, 0, -2, 200, 8500, 40.0)],
    ("compute_median_filter", ()),
    *[("compute_median_filter", (window,)) for window in (4, 0)],
    ("compute_savgol_filter", ()),
    ("compute_savgol_filter", (6, 2)),
    ("compute_robust_trend", ()),
    ("compute_robust_trend", (4, 6, 2)),
    ("compute_dynamic_zscore", ()),
    *[("compute_dynamic_zscore", (window,)) for window in (3, 2, 1, -1, 150, 10_000, 2.5, 10**20)],
    ("compute_degradation_velocity", ()),
    *[("compute_degradation_velocity", (time_delta,)) for time_delta in (0.5, 3, 0, -0.0, np.float32(0.1))],
]


@pytest.mark.parametrize("series", SERIES.values(), ids=SERIES.keys())
@pytest.mark.parametrize("name, options", CALLS,
                         ids=[f"{name.removeprefix('compute_')}{options}" for name, options in CALLS])
def test_trend_functions_match_reference(name, options, series):
    assert_same_outcome(name, series, *options)


# --- the native loops' own conditions, just inside and just outside ----------

WAVEFORM = np.sin(np.arange(1000) * 0.1) + 0.2
# A condition feature drifting over 300 measurements.
TREND = 2.0 + 0.1 * np.cumsum(np.random.default_rng(11).standard_normal(300))
# A steady rise: straight-line fits of it leave residuals of exactly zero.
STEADY_RISE = np.arange(40.0)
# Alternating at the largest doubles: the residuals of the edge fits overflow.
LARGEST_ALTERNATING = 1.7e308 * (-1.0) ** np.arange(40)
# Windows exactly symmetric, symmetric to within DBL_EPSILON, antisymmetric to
# within it (the square fit of five samples), not symmetric (the default
# window among them), and fits wide enough that the design's column sums round.
SAVGOL_WINDOW_DESIGNS = [(1, 0), (3, 1), (9, 0), (5, 2), (15, 3), (21, 5), (5, 4), (11, 3), (7, 6), (25, 6), (51, 5),
                         (253, 4), (255, 6)]

BOUNDARIES = [
    pytest.param("classify_operating_state", (np.linspace(100, 2399, 50), 2000),
                 "native", id="every power inside the bands"),
    pytest.param("classify_operating_state", (np.linspace(-10, 10, 21), 5e-324), "native", id="smallest rating"),
    pytest.param("classify_operating_state", (np.linspace(0, 2500, 100), 0), "generic", id="zero rating"),
    pytest.param("classify_operating_state", (np.linspace(0, 2500, 100), np.nan), "generic", id="NaN rating"),
    pytest.param("classify_operating_state", (np.linspace(0, 1e301, 100), 1e300), "native", id="rating 1e300"),
    pytest.param("classify_operating_state", (np.linspace(0, 1e301, 100), 1e301), "generic", id="rating 1e301"),
    pytest.param("compute_severity_envelope", (WAVEFORM, np.nan), "generic", id="NaN peak weight"),
    pytest.param("compute_severity_envelope", (with_values(WAVEFORM, 3, np.inf), 1.0),
                 "native", id="infinite sample, weight 1"),
    pytest.param("compute_severity_envelope", (with_values(WAVEFORM, 0, np.nan), 0.9), "native", id="NaN first sample"),
    pytest.param("compute_moving_average", (WAVEFORM, 0), "generic", id="moving average window 0"),
    pytest.param("compute_moving_average", (WAVEFORM[:7], 7), "native", id="moving average window of the whole series"),
    pytest.param("compute_moving_average", (WAVEFORM[:7], 8), "native", id="moving average window past the series"),
    pytest.param("compute_dynamic_zscore", (WAVEFORM, -1), "native", id="negative baseline window"),
    pytest.param("compute_dynamic_zscore", (WAVEFORM, 2), "native", id="baseline of two samples"),
    pytest.param("compute_dynamic_zscore", (np.repeat([1.0, 2.0], [40, 10]), 30), "native", id="flat baseline"),
    pytest.param("compute_median_filter", (WAVEFORM, 4), "native", id="even median window"),
    pytest.param("compute_median_filter", (WAVEFORM, 0), "native", id="median window 0"),
    pytest.param("compute_median_filter", (WAVEFORM, 1), "native", id="median window 1"),
    pytest.param("compute_median_filter", (WAVEFORM, -1), "generic", id="negative median window"),
    pytest.param("compute_median_filter", (WAVEFORM, 255), "native", id="median window 255"),
    pytest.param("compute_median_filter", (WAVEFORM, 256), "generic", id="median window 256"),
    pytest.param("compute_median_filter", (WAVEFORM[:7], 7), "native", id="median window of the whole series"),
    pytest.param("compute_median_filter", (WAVEFORM[:8], 8), "generic", id="median window one past the series"),
    pytest.param("compute_median_filter", (WAVEFORM[:0], 5), "generic", id="median of no samples"),
    pytest.param("compute_median_filter", (WAVEFORM, 5.0), "generic", id="float median window"),
    pytest.param("compute_median_filter", (WAVEFORM, np.int64(5)), "generic", id="numpy int median window"),
    pytest.param("compute_median_filter", (WAVEFORM, True), "generic", id="bool median window"),
    pytest.param("compute_median_filter", (with_values(WAVEFORM, 9, np.nan), 5), "generic", id="median beside NaN"),
    pytest.param("compute_median_filter", (with_values(WAVEFORM, 9, -0.0), 5), "generic", id="median beside -0.0"),
    pytest.param("compute_median_filter", (np.tile([0.0, -0.0, 1.0, -0.0], 10), 5),
                 "generic", id="zero medians of both signs"),
    pytest.param("compute_median_filter", (with_values(WAVEFORM, [3, 4], [np.inf, -np.inf]), 5),
                 "native", id="median beside infinities"),
    # Three levels: most windows hold their median several times.
    pytest.param("compute_median_filter", (np.round(WAVEFORM) + 0.0, 7), "native", id="median of three levels"),
    pytest.param("compute_robust_trend", (WAVEFORM, 6, 14), "native", id="even robust windows"),
    pytest.param("compute_robust_trend", (WAVEFORM, 257), "generic", id="robust median window past 255"),
    pytest.param("compute_robust_trend", (WAVEFORM[:14],), "native", id="series shorter than the fit"),
    pytest.param("compute_robust_trend", (WAVEFORM, 5, 15.0), "generic", id="float fit window"),
    pytest.param("compute_robust_trend", (WAVEFORM, np.int64(5)), "generic", id="numpy int robust median window"),
    pytest.param("compute_robust_trend", (with_values(WAVEFORM, 9, np.nan),), "generic", id="robust trend beside NaN"),
    pytest.param("compute_robust_trend", (TREND, 5, 255, 6), "native", id="robust trend, widest native fit"),
    pytest.param("compute_robust_trend", (TREND, 5, 257), "native", id="robust fit window past 255"),
    pytest.param("compute_robust_trend", (TREND, 5, 15, 7), "native", id="robust fit order past 6"),
    *(pytest.param("compute_savgol_filter", (TREND, window, order),
                 "native", id=f"savgol window {window}, order {order}")
      for window, order in SAVGOL_WINDOW_DESIGNS),
    pytest.param("compute_savgol_filter", (TREND[:255], 255, 6), "native", id="savgol window of the whole series"),
    pytest.param("compute_savgol_filter", (TREND[:254], 255, 3), "generic", id="savgol window one past the series"),
    pytest.param("compute_savgol_filter", (TREND, 257, 3), "generic", id="savgol window past 255"),
    pytest.param("compute_savgol_filter", (TREND, 10, 3), "native", id="even savgol window"),
    pytest.param("compute_savgol_filter", (TREND, 0, 0), "native", id="savgol window 0"),
    pytest.param("compute_savgol_filter", (TREND, -1, 0), "generic", id="negative savgol window"),
    pytest.param("compute_savgol_filter", (TREND, 11.0, 3), "generic", id="float savgol window"),
    pytest.param("compute_savgol_filter", (TREND, np.int64(11), 3), "generic", id="numpy int savgol window"),
    pytest.param("compute_savgol_filter", (TREND, 11, 7), "generic", id="savgol order past 6"),
    pytest.param("compute_savgol_filter", (TREND, 11, 11), "generic", id="savgol order of the window"),
    pytest.param("compute_savgol_filter", (TREND, 11, -1), "generic", id="negative savgol order"),
    pytest.param("compute_savgol_filter", (TREND, 11, 3.0), "generic", id="float savgol order"),
    pytest.param("compute_savgol_filter", (TREND, 11, np.int64(3)), "generic", id="numpy int savgol order"),
    pytest.param("compute_savgol_filter", (TREND, 11, True), "generic", id="bool savgol order"),
    pytest.param("compute_savgol_filter", (with_values(TREND, 0, np.nan), 11, 3), "generic", id="savgol of a NaN"),
    pytest.param("compute_savgol_filter", (with_values(TREND, 150, -np.inf), 11, 3),
                 "generic", id="savgol of an infinity"),
    pytest.param("compute_savgol_filter", (STEADY_RISE, 11, 1), "native", id="savgol of a steady rise"),
    # scipy's fit of zeros is -0.0, which the edge polynomial turns into +0.0.
    pytest.param("compute_savgol_filter", (np.zeros(40), 11, 0), "native", id="savgol of zeros"),
    pytest.param("compute_savgol_filter", (np.full(40, -0.0), 11, 3), "native", id="savgol of negative zeros"),
    pytest.param("compute_savgol_filter", (np.full(40, 7.25), 15, 3), "native", id="savgol of a constant"),
    pytest.param("compute_savgol_filter", (LARGEST_ALTERNATING, 11, 3), "generic", id="savgol fits that overflow"),
    pytest.param("compute_savgol_filter", (TREND * 1e300, 11, 3), "generic", id="savgol at 1e300"),
    pytest.param("compute_savgol_filter", (TREND * 1e-300, 11, 3), "generic", id="savgol at 1e-300"),
    pytest.param("compute_savgol_filter", (TREND * 1e-310, 11, 3), "generic", id="subnormal savgol"),
]


@pytest.mark.parametrize("name, args, path", BOUNDARIES)
def test_native_loop_boundaries(name, args, path):
    assert_at_boundary(name, args, path)


@pytest.mark.parametrize("name, args", [
    pytest.param("compute_median_filter", (WAVEFORM, 5), id="median"),
    pytest.param("compute_robust_trend", (WAVEFORM, 5, 15, 3), id="robust-trend"),
])
def test_the_common_median_call_is_native_and_a_rebound_medfilt_takes_it_over(name, args):
    calls = []
    with entries_into(medfilt, calls):
        outcome(getattr(core_math, name), *args)
    assert calls == []
    assert_same_outcome(name, *args, served_by="native")
    with rebound(medfilt=recorded(calls, "medfilt", medfilt)):
        assert_same_outcome(name, *args, served_by="generic")
    assert calls == ["medfilt"]


def fitted_shape(frame):
    return frame.f_locals["a"].shape


@pytest.mark.parametrize("name, args", [
    pytest.param("compute_savgol_filter", (WAVEFORM, 11, 3), id="savgol"),
    pytest.param("compute_robust_trend", (WAVEFORM, 5, 51, 5), id="robust-trend-wide-fit"),
])
def test_the_common_savgol_call_leaves_scipy_the_window_design_and_the_edge_fits(name, args):
    window, poly_order = args[-2:]
    # The window design's fit, then one fit of the first and one of the last window.
    fits = [(poly_order + 1, window), (window, poly_order + 1), (window, poly_order + 1)]
    function = getattr(core_math, name)
    calls, native_fits, generic_fits = [], [], []
    with entries_into(savgol_filter, calls), entries_into(scipy.linalg.lstsq, native_fits, fitted_shape):
        native = outcome(function, *args)
    assert calls == []
    with rebound(savgol_filter=recorded(calls, "savgol_filter", savgol_filter)), \
            entries_into(scipy.linalg.lstsq, generic_fits, fitted_shape):
        generic = outcome(function, *args)
    assert calls == ["savgol_filter"]
    assert native_fits == generic_fits == fits
    assert native == generic
    assert_same_outcome(name, *args, served_by="native")


# --- edge records: operating states ------------------------------------------

TABLE_RATINGS = [1800, 2400, 2800, 3600, 3800, 4800]
# Ratings on and just beside the table edges, proportional ones, and ratings
# that give no usable edges.
ratings = st.one_of(
    st.sampled_from(TABLE_RATINGS),
    st.sampled_from(TABLE_RATINGS).map(lambda r: float(np.nextafter(r, 0))),
    st.sampled_from(TABLE_RATINGS).map(lambda r: float(np.nextafter(r, np.inf))),
    st.floats(0, 6000),
    st.sampled_from([2500, 3700, 1500, 5000, 2000.0, 0, -100, -0.0, np.nan, np.inf, -np.inf, 1e300, 1e301, 5e-324]),
)

TABLE_EDGES = [100, 500, 800, 1400, 1800, 2400, 200, 1000, 2600, 3200, 3600, 300, 1500, 2500, 3500, 4200, 4800]


@st.composite
def power_records(draw, rating):
    """Powers on every band edge of the fixed tables and of the rating, just
    beside them, spread over the range, and a few broken samples."""
    n = draw(lengths)
    rng = np.random.default_rng(draw(seeds))
    scale = abs(float(rating)) if np.isfinite(rating) and rating != 0 else 5000.0
    edges = [0.0, *TABLE_EDGES, *(scale * fraction for fraction in (0.2, 0.4, 0.6, 0.8, 1.0))]
    candidates = np.concatenate([edges, np.nextafter(edges, np.inf), np.nextafter(edges, -np.inf)])
    powers = np.where(rng.random(n) < 0.5, rng.choice(candidates, n), rng.uniform(-0.2 * scale, 1.2 * scale, n))
    specials = draw(st.lists(st.sampled_from([np.nan, np.inf, -np.inf, -0.0]), max_size=2))
    if n:
        powers[rng.integers(0, n, len(specials))] = specials
    return draw(laid_out(powers))


@BUDGET
@given(data=st.data(), error_state=error_states)
def test_operating_states_of_edge_records(data, error_state):
    rated_power = data.draw(ratings)
    power_arr = data.draw(power_records(rated_power))
    rating = data.draw(numbers(st.just(rated_power)))
    assert_same_outcome("classify_operating_state", power_arr, rating, error_state=error_state, generic=True)


# --- edge records: trend series -----------------------------------------------

peak_weights = st.one_of(
    st.sampled_from([0.0, 0.5, 0.9, 1.0, -0.5, 1.5, 2.0, np.nan, np.inf, 1e308]),
    st.floats(-2, 3),
)


@BUDGET
@given(feature_data=records(length=loop_lengths).flatmap(laid_out), peak_weight=numbers(peak_weights),
       error_state=error_states)
def test_severity_envelope_of_edge_records(feature_data, peak_weight, error_state):
    assert_same_outcome("compute_severity_envelope", feature_data, peak_weight, error_state=error_state, generic=True)


def windows(n):
    """Window lengths of every sign, around the series length and far beyond,
    and windows that are not plain ints."""
    return st.one_of(
        st.integers(2, 40),
        st.integers(-3, 1),
        st.sampled_from([n - 1, n, n + 1, 2**62, 2**70, -(2**70)]),
        # The longest window a running median keeps sorted natively, and beside it.
        st.sampled_from([254, 255, 256, 257]),
        st.sampled_from([5.0, 0.0, True, np.int64(5)]),
    )


trend_records = records(length=loop_lengths)


@st.composite
def series_with_window(draw, feature_records=trend_records, window_sizes=windows):
    feature_data = draw(feature_records)
    return draw(laid_out(feature_data)), draw(window_sizes(len(feature_data)))


@BUDGET
@given(series=series_with_window(), error_state=error_states)
def test_moving_average_of_edge_records(series, error_state):
    assert_same_outcome("compute_moving_average", *series, error_state=error_state, generic=True)


@BUDGET
@given(series=series_with_window(), error_state=error_states)
def test_dynamic_zscore_of_edge_records(series, error_state):
    assert_same_outcome("compute_dynamic_zscore", *series, error_state=error_state, generic=True)


def settled(values):
    """Without NaN, and with every zero positive, samples that compare equal
    are the same double: any correct median selection returns the same bits."""
    return np.where(np.isnan(values), 0.0, values) + 0.0


# Half the records have medians fixed to the bit, and half the windows fit
# the series, as the native loop needs.
median_records = st.one_of(trend_records.map(settled), trend_records)


def median_windows(n):
    return st.one_of(st.integers(0, min(n, 256)), windows(n))


@BUDGET
@given(series=series_with_window(median_records, median_windows), error_state=error_states)
def test_median_filter_of_edge_records(series, error_state):
    assert_same_outcome("compute_median_filter", *series, error_state=error_state, generic=True)


@st.composite
def robust_trend_calls(draw):
    """A series and median window, with Savitzky-Golay windows and orders that
    fit it, are too long for it, or are not plain ints."""
    feature_data, median_window = draw(series_with_window(median_records, median_windows))
    n = len(feature_data)
    savgol_window = draw(st.one_of(st.sampled_from([15, 14, 5, 2, 1, 0, -1, 51, 255, 257, 15.0, np.int64(15)]),
                                   st.sampled_from([n - 1, n, n + 1])))
    poly_order = draw(st.sampled_from([3, 0, 2, 6, 7, 14, -1, 3.0]))
    return feature_data, median_window, savgol_window, poly_order


@BUDGET
@given(args=robust_trend_calls(), error_state=error_states)
def test_robust_trend_of_edge_records(args, error_state):
    assert_same_outcome("compute_robust_trend", *args, error_state=error_state, generic=True)


# --- edge records: Savitzky-Golay smoothing -----------------------------------

# Windows from a single sample to past the widest native fit, even ones, and
# windows that are not plain ints.
SAVGOL_WINDOWS = [1, 3, 5, 11, 15, 51, 253, 255, 257, 2, 10, 254, 256, 0, -1]
NOT_PLAIN_WINDOWS = [11.0, np.int64(11), True, 2**70]
NOT_PLAIN_ORDERS = [3.0, np.int64(3), True]
# Ordinary levels mostly, else levels where the fits or their residuals
# overflow or underflow.
feature_magnitudes = st.one_of(st.sampled_from(ORDINARY_MAGNITUDES),
                               st.sampled_from([1e154, 1e300, 1.7e308, 1e-160, 1e-300, 1e-310]))
TREND_SHAPES = ["drift", "polynomial", "constant", "alternating", "any record"]


@st.composite
def shaped_trends(draw, n):
    """A condition feature: a drift, samples of a polynomial of low degree, a
    constant (zeros of either sign among them), or one alternating from
    measurement to measurement, at any magnitude; or any record at all. One
    in four with a chance of NaN, infinities and extremes."""
    shape = draw(st.sampled_from(TREND_SHAPES))
    if shape == "any record":
        return draw(records(n=n))
    rng = np.random.default_rng(draw(seeds))
    level = draw(feature_magnitudes) * draw(st.sampled_from([1.0, -1.0]))
    with np.errstate(all="ignore"):  # the largest levels leave infinities, as in a broken record
        if shape == "drift":
            values = level * np.cumsum(rng.standard_normal(n)) / np.sqrt(max(n, 1))
        elif shape == "polynomial":
            coefficients = rng.integers(-3, 4, draw(st.integers(1, 5))).astype(np.float64)
            values = level * np.polyval(coefficients, np.arange(n) - n // 2.0)
        elif shape == "constant":
            values = np.full(n, level * draw(st.sampled_from([0.0, 1.0])))
        else:
            values = level * (-1.0) ** np.arange(n)
    if not draw(st.sampled_from(MOSTLY)):
        sprinkle(draw, rng, values)
    return values


@st.composite
def savgol_calls(draw):
    """(feature_data, window_size, poly_order): a trend about as long as the
    window, longer or a few thousand samples long, in any layout; windows and
    orders mostly plain ints."""
    plain_windows = st.one_of(st.sampled_from(SAVGOL_WINDOWS), st.integers(1, 40))
    window_size = draw(plain_windows if draw(st.sampled_from(MOSTLY)) else st.sampled_from(NOT_PLAIN_WINDOWS))
    # The odd window the call fits with, for records of a sensible length.
    window = min(int(window_size) + (window_size % 2 == 0), 3000)
    orders_that_fit = st.integers(0, min(max(window - 1, 0), 6))
    other_orders = st.sampled_from([7, -1, window, window - 1, *NOT_PLAIN_ORDERS])
    poly_order = draw(orders_that_fit if draw(st.sampled_from(MOSTLY)) else other_orders)
    n = draw(st.one_of(st.sampled_from([window - 1, window, window + 1]).map(lambda n: max(n, 0)),
                       st.integers(max(window, 0), max(window, 300)), st.just(3000)))
    return draw(shaped_trends(n).flatmap(laid_out)), window_size, poly_order


@BUDGET
@given(args=savgol_calls(), error_state=error_states)
def test_savgol_filter_of_edge_records(args, error_state):
    assert_same_outcome("compute_savgol_filter", *args, error_state=error_state, generic=True)


def symmetric_apart(by):
    """A designer of the smoothing window made exactly symmetric, then its
    outer pair set `by` apart."""

    def design(window_length, polyorder, **options):
        window = savgol_coeffs(window_length, polyorder)
        window = (window + window[::-1]) / 2
        window[0] = window[-1] + by
        return window

    return design


# The outer coefficients of the order-3 window of 11 lie in [1/16, 1/8), where
# DBL_EPSILON is a whole number of units in the last place.
DBL_EPSILON = np.finfo(np.float64).eps
JUST_PAST_DBL_EPSILON = DBL_EPSILON + np.spacing(1 / 16)

# Window designers with scipy's signature.
WINDOW_DESIGNS = [
    pytest.param(symmetric_apart(0.0), id="exactly symmetric"),
    pytest.param(symmetric_apart(DBL_EPSILON), id="symmetric to DBL_EPSILON"),
    pytest.param(symmetric_apart(JUST_PAST_DBL_EPSILON), id="just past DBL_EPSILON"),
    # The slope of the fitted polynomial weighs the samples antisymmetrically.
    pytest.param(lambda window_length, polyorder, **options: savgol_coeffs(window_length, polyorder, deriv=1),
                 id="slope"),
    pytest.param(lambda window_length, polyorder, **options: savgol_coeffs(window_length, polyorder,
                                                                           pos=window_length - 1),
                 id="fit at the last sample"),
    pytest.param(lambda window_length, polyorder, **options: savgol_coeffs(window_length, polyorder).astype(np.float32),
                 id="float32 window"),
    pytest.param(lambda window_length, polyorder, **options: savgol_coeffs(window_length, polyorder)[1:],
                 id="one tap short"),
]


@pytest.mark.parametrize("design", WINDOW_DESIGNS)
def test_a_replaced_window_designer_is_asked_once(monkeypatch, design):
    # With savgol_filter's designer replaced, the smoothing is scipy's own,
    # and the replacement is asked exactly as often as scipy asks it.
    asked = []

    def counted(*args, **options):
        asked.append(args)
        return design(*args, **options)

    monkeypatch.setitem(savgol_filter.__globals__, "savgol_coeffs", counted)
    assert_same_outcome("compute_savgol_filter", TREND, 11, 3, generic=True, served_by="generic")
    assert len(asked) == 3  # the module, its generic body and the reading, once each


@BUDGET
@given(
    trend=records().flatmap(laid_out),
    time_delta=numbers(st.sampled_from([1.0, 0.5, 2, 0, 0.0, -3, 1e-300, 1e300, np.inf, np.nan])),
    error_state=error_states,
)
def test_degradation_velocity_of_edge_records(trend, time_delta, error_state):
    assert_same_outcome("compute_degradation_velocity", trend, time_delta, error_state=error_state, generic=True)
