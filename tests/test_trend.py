"""Trend and condition assessment: operating states from power, the severity
envelope, trend smoothers, the dynamic z-score and the degradation rate."""

import inspect

import numpy as np
import pytest
from scipy.signal import medfilt, savgol_filter

import reference
from kemo_pkg import core_math
from outcome import outcome

TREND_FUNCTIONS = [
    "classify_operating_state",
    "compute_severity_envelope",
    "compute_moving_average",
    "compute_robust_trend",
    "compute_median_filter",
    "compute_savgol_filter",
    "compute_dynamic_zscore",
    "compute_degradation_velocity",
]


def assert_same_as_reference(name, *args):
    """Same result bits, exception text and warnings as the plain-Python reading,
    and the caller's arrays left as they were."""
    before = [arg.copy() for arg in args if isinstance(arg, np.ndarray)]
    assert outcome(getattr(core_math, name), *args) == outcome(getattr(reference, name), *args)
    for original, now in zip(before, [arg for arg in args if isinstance(arg, np.ndarray)], strict=True):
        np.testing.assert_array_equal(original, now)


def test_trend_functions_are_published_in_definition_order_with_their_signatures():
    published = [name for name in vars(core_math) if name in TREND_FUNCTIONS]
    assert published == TREND_FUNCTIONS
    for name in TREND_FUNCTIONS:
        function = getattr(core_math, name)
        assert function.__module__ == "kemo_pkg.core_math"
        assert inspect.signature(function) == inspect.signature(getattr(reference, name))


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
    assert_same_as_reference("classify_operating_state", power, rating)


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
    assert_same_as_reference(name, *args)


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
@pytest.mark.parametrize("name, options", CALLS, ids=[f"{name.removeprefix('compute_')}{options}" for name, options in CALLS])
def test_trend_functions_match_reference(name, options, series):
    assert_same_as_reference(name, series, *options)
