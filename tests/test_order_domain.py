"""Shaft speed and the order domain: tachometer pulses, gear-stage revolution
times, order tracking and time-synchronous averaging."""

import numpy as np
import pytest

import reference
from kemo_pkg import core_math
from outcome import outcome


def assert_same_as_reference(name, *args):
    """Same result bits, exception text and warnings as the plain-Python reading."""
    assert outcome(getattr(core_math, name), *args) == outcome(getattr(reference, name), *args)


def tach_record(pulse_times):
    """A tachometer record with a single-sample pulse at each of `pulse_times`
    and a quiet sample before, between and after them."""
    pulse_times = np.asarray(pulse_times, dtype=float)
    quiet = np.concatenate(
        ([pulse_times[0] - 0.01], (pulse_times[:-1] + pulse_times[1:]) / 2, [pulse_times[-1] + 0.01])
    )
    t = np.sort(np.concatenate((pulse_times, quiet)))
    return t, np.isin(t, pulse_times) * 5.0


@pytest.mark.parametrize(
    "pulse_times, kept",
    [
        pytest.param([0.1, 0.3, 0.7], [0.1, 0.3, 0.7], id="single-sample-pulses"),
        pytest.param([1.00, 1.02, 1.04], [1.00, 1.04], id="bounce-measured-against-last-kept"),
        pytest.param([0.0, 0.03], [0.0, 0.03], id="exactly-30-ms-kept"),
        pytest.param([0.0, np.nextafter(0.03, 0)], [0.0], id="just-under-30-ms-dropped"),
        # Pre-trigger records: pulses before -0.97 s are kept too.
        pytest.param([-2.0, -1.5, -1.0, -0.5, 0.0], [-2.0, -1.5, -1.0, -0.5, 0.0], id="negative-time-axis"),
        pytest.param([-1e6, -1e6 + 0.02, 0.0], [-1e6, 0.0], id="far-negative-time-axis"),
        pytest.param([-0.97, -0.95, -0.9], [-0.97, -0.9], id="time-axis-from-minus-0.97"),
    ],
)
def test_pulse_times_are_kept_at_least_30_ms_apart(pulse_times, kept):
    t, y = tach_record(pulse_times)
    midpoints = core_math.get_tach_midpoints(t, y)
    assert midpoints.dtype == np.float64
    np.testing.assert_array_equal(midpoints, kept)
    assert_same_as_reference("get_tach_midpoints", t, y)


def test_pulse_midpoint_is_in_time_and_includes_pulses_cut_by_the_record_ends():
    t = np.array([0.00, 0.01, 0.05, 0.10, 0.12, 0.30, 0.31, 0.40, 0.41, 0.50, 0.60, 0.70, 0.80, 0.81])
    y = np.array([4.0, 4.0, 0.1, 0.0, 4.0, 4.0, 4.0, 0.0, 0.2, 0.0, 0.0, 0.1, 4.0, 4.0])
    midpoints = core_math.get_tach_midpoints(t, y)
    np.testing.assert_array_equal(midpoints, [(0.00 + 0.01) / 2, (0.12 + 0.31) / 2, (0.80 + 0.81) / 2])


@pytest.mark.parametrize(
    "y",
    [
        pytest.param(np.full(50, 2.5), id="constant"),
        pytest.param(np.array([0.0, 1.0, 1.0, 1.0, 1.0, 0.0]), id="mostly-at-maximum"),
        pytest.param(np.where(np.arange(50) % 10 == 3, 5.0, 0.0) + np.where(np.arange(50) == 7, np.nan, 0), id="nan"),
    ],
)
def test_records_without_pulses_give_an_empty_float_array(y):
    midpoints = core_math.get_tach_midpoints(np.arange(len(y)) * 0.01, y)
    assert midpoints.shape == (0,) and midpoints.dtype == np.float64
    assert_same_as_reference("get_tach_midpoints", np.arange(len(y)) * 0.01, y)


def test_extra_times_beyond_the_record_are_ignored():
    t, y = tach_record([0.1, 0.3, 0.7])
    longer_t = np.concatenate((t, [5.0, 6.0]))
    np.testing.assert_array_equal(core_math.get_tach_midpoints(longer_t, y), core_math.get_tach_midpoints(t, y))


@pytest.mark.parametrize(
    "t, y",
    [
        pytest.param(np.arange(5.0), np.array([0.0, 0, 0, 0, 0, 5, 0]), id="time-axis-shorter"),
        pytest.param(np.arange(3.0), np.array([]), id="empty-record"),
        pytest.param([0.0, 0.1, 0.2, 0.3], np.array([0.0, 5, 0, 0]), id="time-axis-list"),
    ],
)
def test_tach_failures_match_reference(t, y):
    assert_same_as_reference("get_tach_midpoints", t, y)


HSS_PULSE_TIMES = np.cumsum([0.0, 0.10, 0.11, 0.09, 0.12, 0.10, 0.13, 0.08, 0.10])


@pytest.mark.parametrize(
    "n_pulses, gear_ratio, kept_pulses",
    [
        (9, 4, [0, 4, 8]),
        (5, 4, [0, 4]),
        (9, 4.0, [0, 4, 8]),
        (3, 1, [0, 1, 2]),
        (4, 4, None),
        (1, 4, None),
        (6, -2.0, None),
    ],
)
def test_slow_shaft_revolutions_at_whole_counts(n_pulses, gear_ratio, kept_pulses):
    lss_times = core_math.generate_fault_freq_fast(HSS_PULSE_TIMES[:n_pulses], gear_ratio)
    if kept_pulses is None:
        assert lss_times is None
    else:
        np.testing.assert_array_equal(lss_times, HSS_PULSE_TIMES[kept_pulses])


def test_fractional_gear_ratio_interpolates_between_pulses():
    lss_times = core_math.generate_fault_freq_fast(HSS_PULSE_TIMES[:6], 2.5)
    assert lss_times[0] == HSS_PULSE_TIMES[0] and lss_times[2] == HSS_PULSE_TIMES[5]
    assert lss_times[1] == pytest.approx((HSS_PULSE_TIMES[2] + HSS_PULSE_TIMES[3]) / 2, rel=1e-14)


@pytest.mark.parametrize(
    "pulse_times, gear_ratio",
    [(HSS_PULSE_TIMES, 2.5), (HSS_PULSE_TIMES, 0), (HSS_PULSE_TIMES, 0.0), (np.array([]), 4), (HSS_PULSE_TIMES, "4")],
)
def test_gear_stage_matches_reference(pulse_times, gear_ratio):
    assert_same_as_reference("generate_fault_freq_fast", pulse_times, gear_ratio)


UNEVEN_PULSE_TIMES = np.cumsum([0.5, 1.0, 0.4, 1.2, 0.4, 0.7, 0.9, 0.35, 1.1, 0.6, 0.85])  # 11 pulses, 10 revolutions


@pytest.mark.parametrize("vib_x", [np.linspace(-1.0, 0.4, 20), np.array([-1.0, 0.9, 20.0])], ids=["none", "one"])
def test_order_tracking_needs_two_samples_in_the_pulse_span(vib_x):
    result = core_math.perform_order_tracking(vib_x, np.ones_like(vib_x), UNEVEN_PULSE_TIMES)
    assert result == (None, None, 0, 0) and all(type(count) is int for count in result[2:])


@pytest.mark.parametrize(
    "n_valid, pts_per_rev", [(5_000, 1024), (10_249, 1024), (10_250, 1025), (50_000, 5_000)]
)
def test_points_per_revolution_is_the_mean_sample_count_at_least_1024(n_valid, pts_per_rev):
    # Samples outside the pulse span do not count.
    vib_x = np.concatenate(([0.0, 0.2], np.linspace(UNEVEN_PULSE_TIMES[0], UNEVEN_PULSE_TIMES[-1], n_valid), [9.0]))
    grid, order_waveform, total_revs, found_pts_per_rev = core_math.perform_order_tracking(
        vib_x, np.sin(vib_x), UNEVEN_PULSE_TIMES
    )
    assert (total_revs, found_pts_per_rev) == (10, pts_per_rev)
    assert type(total_revs) is int and type(found_pts_per_rev) is int
    assert grid.shape == order_waveform.shape == (10 * pts_per_rev,)
    assert grid[0] == 0.0 and grid[-1] == pytest.approx(10 - 1 / pts_per_rev, rel=1e-14) and grid.max() < 10


def test_order_waveform_follows_shaft_angle_through_slow_and_fast_revolutions():
    # A gear mesh with 3 teeth per revolution, sampled at 2 kHz; the shaft's
    # speed changes from revolution to revolution.
    vib_x = np.arange(0.51, 8.6, 1 / 2000)
    shaft_revs = np.interp(vib_x, UNEVEN_PULSE_TIMES, np.arange(11))
    grid, order_waveform, total_revs, pts_per_rev = core_math.perform_order_tracking(
        vib_x, np.sin(2 * np.pi * 3 * shaft_revs), UNEVEN_PULSE_TIMES
    )
    np.testing.assert_array_equal(np.bincount(grid.astype(int)), np.full(total_revs, pts_per_rev))
    # The first sample lies after the first pulse: the spline extends to revolution 0.
    np.testing.assert_allclose(order_waveform, np.sin(2 * np.pi * 3 * grid), atol=1e-4)


@pytest.mark.parametrize(
    "vib_x, pulse_times",
    [
        pytest.param(np.linspace(0.0, 9.0, 3001), UNEVEN_PULSE_TIMES, id="uneven-pulses"),
        pytest.param(np.linspace(0.5, 8.71, 2000), UNEVEN_PULSE_TIMES, id="samples-on-first-and-last-pulse"),
        pytest.param(np.array([0.0, 0.6, 0.7, 0.8, 2.0]), np.array([0.5, 1.0]), id="three-valid-samples"),
        pytest.param(np.array([0.6, 0.6, 0.7, 0.8, 0.9]), np.array([0.5, 1.0]), id="repeated-times"),
        pytest.param(np.linspace(0, 1, 10), np.array([]), id="no-pulses"),
        pytest.param(np.linspace(0, 1, 10), np.array([0.5]), id="single-pulse"),
    ],
)
def test_order_tracking_matches_reference(vib_x, pulse_times):
    vib_y = np.cos(7.0 * vib_x) + 0.1 * vib_x
    assert_same_as_reference("perform_order_tracking", vib_x, vib_y, pulse_times)


def test_order_tracking_rejects_mismatched_lengths_like_reference():
    assert_same_as_reference("perform_order_tracking", np.linspace(0, 9, 50), np.ones(40), UNEVEN_PULSE_TIMES)


def test_tsa_averages_whole_blocks_and_drops_the_rest():
    pts_per_rev = 1024
    one_rev = np.sin(2 * np.pi * np.arange(pts_per_rev) / pts_per_rev)
    # Revolution r carries an offset r; the tenth revolution must not enter the mean.
    order_waveform = np.repeat(np.arange(10.0), pts_per_rev) + np.tile(one_rev, 10)
    order_waveform[9 * pts_per_rev :] = 1e9
    tsa_rev_grid, tsa_wf, num_blocks = core_math.perform_tsa(order_waveform, pts_per_rev, 10, 3)
    assert num_blocks == 3 and type(num_blocks) is int
    assert tsa_rev_grid.shape == tsa_wf.shape == (3 * pts_per_rev,)
    assert tsa_rev_grid[0] == 0.0 and tsa_rev_grid[-1] == pytest.approx(3 - 1 / pts_per_rev, rel=1e-14)
    np.testing.assert_allclose(tsa_wf, np.repeat([3.0, 4.0, 5.0], pts_per_rev) + np.tile(one_rev, 3), rtol=1e-13)


def test_tsa_worked_example():
    tsa_rev_grid, tsa_wf, num_blocks = core_math.perform_tsa(np.array([1.0, 2.0, 3.0, 3.0, 2.0, 1.0]), 3, 2, 1)
    assert num_blocks == 2
    np.testing.assert_array_equal(tsa_wf, [2.0, 2.0, 2.0])
    np.testing.assert_allclose(tsa_rev_grid, [0.0, 1 / 3, 2 / 3], rtol=1e-15)


def test_tsa_of_a_single_block_is_that_block():
    order_waveform = np.random.default_rng(3).standard_normal(4 * 16)
    _, tsa_wf, num_blocks = core_math.perform_tsa(order_waveform, 16, 4, 4)
    assert num_blocks == 1
    np.testing.assert_array_equal(tsa_wf, order_waveform)


@pytest.mark.parametrize(
    "order_waveform, pts_per_rev, total_revs",
    [(np.ones(3 * 8), 8, 3), (None, 0, 0)],
    ids=["fewer-revolutions-than-a-block", "degenerate-tracking-passed-on"],
)
def test_tsa_without_a_whole_block(order_waveform, pts_per_rev, total_revs):
    assert core_math.perform_tsa(order_waveform, pts_per_rev, total_revs, 5) == (None, None, 0)


@pytest.mark.parametrize(
    "args",
    [
        pytest.param((np.ones(24), 8, 3, 0), id="zero-revolutions-per-block"),
        pytest.param((np.ones(20), 8, 3, 1), id="waveform-shorter-than-blocks"),
        pytest.param((np.ones(24), 8, 3.0, 1), id="float-count"),
        pytest.param((np.ones(24), 8, -3, 1), id="negative-count"),
        pytest.param((np.arange(24.0), np.int64(8), np.int64(3), 2), id="numpy-counts"),
    ],
)
def test_tsa_matches_reference(args):
    assert_same_as_reference("perform_tsa", *args)


@pytest.mark.parametrize("gear_ratio", [None, 4], ids=["high-speed-shaft", "low-speed-shaft"])
def test_chain_from_tachometer_to_order_spectrum_at_ramping_speed(gear_ratio):
    fs, duration = 10_000.0, 4.0
    speed_start_hz, speed_end_hz = 20.0, 26.0  # a 30 % run-up
    t = np.arange(0.0, duration, 1 / fs)
    hss_revs = 0.5 + speed_start_hz * t + (speed_end_hz - speed_start_hz) * t**2 / (2 * duration)
    rng = np.random.default_rng(4)
    # Once-per-revolution key-phasor pulse, 5 % of a revolution wide, on a noisy baseline.
    tach = np.where(hss_revs % 1.0 < 0.05, 5.0, 0.0) + 0.1 * rng.standard_normal(t.size)
    tracked_revs = hss_revs / (gear_ratio or 1)
    # Unbalance of the tracked shaft, a fixed 50 Hz line and noise.
    vibration = np.cos(2 * np.pi * tracked_revs + 0.7) + 0.5 * np.sin(2 * np.pi * 50 * t)
    vibration += 0.2 * rng.standard_normal(t.size)

    pulse_times = core_math.get_tach_midpoints(t, tach)
    shaft_speeds_hz = 1 / np.diff(pulse_times)
    assert shaft_speeds_hz[0] == pytest.approx(speed_start_hz, rel=0.02)
    assert shaft_speeds_hz[-1] == pytest.approx(speed_end_hz, rel=0.02)
    if gear_ratio is not None:
        pulse_times = core_math.generate_fault_freq_fast(pulse_times, gear_ratio)

    _, order_waveform, total_revs, pts_per_rev = core_math.perform_order_tracking(t, vibration, pulse_times)
    assert total_revs == len(pulse_times) - 1
    orders, amp = core_math.compute_fft_dsp(order_waveform, 1 / pts_per_rev)
    assert orders[np.argmax(amp)] == pytest.approx(1.0)
    amp_1x = core_math.get_harmonic_peak(orders, amp, 1.0)
    assert amp_1x == pytest.approx(1.0, rel=0.05)

    _, tsa_wf, num_blocks = core_math.perform_tsa(order_waveform, pts_per_rev, total_revs, 1)
    assert num_blocks == total_revs
    tsa_orders, tsa_amp = core_math.compute_fft_dsp(tsa_wf, 1 / pts_per_rev)
    assert tsa_orders[1] == pytest.approx(1.0) and np.argmax(tsa_amp) == 1
    assert tsa_amp[1] == pytest.approx(1.0, rel=0.05)
