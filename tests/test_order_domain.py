"""Shaft speed and the order domain: tachometer pulses, gear-stage revolution
times, order tracking and time-synchronous averaging; and their native paths
(the pulse scan, the slow-shaft interpolation, the revolution map, the block
average) against numpy's and scipy's own."""

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from scipy.interpolate import interp1d

from kemo_pkg import core_math
from support.edge_records import (
    BUDGET,
    MOSTLY,
    NATIVE_LAYOUTS,
    NOT_PLAIN_NUMBERS,
    assert_at_boundary,
    contiguous,
    error_states,
    laid_out,
    laid_out_pair,
    lengths,
    loop_lengths,
    numbers,
    read_only,
    records,
    seeds,
    sprinkle,
    with_values,
)
from support.outcome import assert_same_outcome, outcome
from support.paths import entries_into, interp1d_stand_in, native_path, rebound

pytestmark = pytest.mark.forked

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
    assert_same_outcome("get_tach_midpoints", t, y)


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
    assert_same_outcome("get_tach_midpoints", np.arange(len(y)) * 0.01, y)


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
    assert_same_outcome("get_tach_midpoints", t, y)


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
    assert_same_outcome("generate_fault_freq_fast", pulse_times, gear_ratio)


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
        # Spacing that underflows: some scipy releases map the samples to NaN
        # and infinite revolution counts, which their cubic spline cannot take.
        pytest.param(np.arange(1300) * 7.7e-315, np.arange(10) * 1e-312, id="pulses-underflowing-apart"),
    ],
)
def test_order_tracking_matches_reference(vib_x, pulse_times):
    vib_y = np.cos(7.0 * vib_x) + 0.1 * vib_x
    assert_same_outcome("perform_order_tracking", vib_x, vib_y, pulse_times)


def test_order_tracking_rejects_mismatched_lengths_like_reference():
    assert_same_outcome("perform_order_tracking", np.linspace(0, 9, 50), np.ones(40), UNEVEN_PULSE_TIMES)


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
    assert_same_outcome("perform_tsa", *args)


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


# --- the native loops' own conditions, just inside and just outside ----------

WAVEFORM = np.sin(np.arange(1000) * 0.1) + 0.2
TACH_TIMES = np.arange(2000) / 1000.0
TACH_SIGNAL = 5.0 * (np.arange(2000) % 40 < 3)
# A fast shaft at about 50 Hz, its speed wandering a little.
PULSES = np.cumsum(0.02 + 0.002 * np.sin(np.arange(200) / 7.0))
# Vibration of that shaft at 2560 Hz from before its first pulse to past its sixth.
VIB_TIMES = np.arange(-64, 384) / 2560.0
VIB_SAMPLES = np.sin(2 * np.pi * 150.0 * VIB_TIMES) + 0.3 * np.sin(2 * np.pi * 37.0 * VIB_TIMES)


def spaced_pulses(mid_times):
    """A tachometer record of one-sample pulses at the given mid-times."""
    y = np.zeros(2 * len(mid_times) + 1)
    y[1::2] = 5.0
    t = np.full(len(y), -1.0)
    t[1::2] = mid_times
    return t, y


# 0.06 - 0.03 is exactly 0.03; the pulse just before 0.06 follows 0.03 by less.
PULSES_30_MS_APART = spaced_pulses([0.0, 0.03, float(np.nextafter(0.06, 0)), 0.06])


def tracked_record(valid_count, pulse_count):
    """(vib_x, vib_y, pulse_times) at 1 kHz: `valid_count` samples from the
    first pulse to the last, five more before and after, and every pulse on a
    sample, the shaft speeding up."""
    vib_x = -0.37 + np.arange(-5, valid_count + 5) / 1000.0
    vib_y = np.sin(7.0 * vib_x) + 0.1 * np.cos(450.0 * vib_x)
    pulse_samples = 5 + np.round((valid_count - 1) * np.linspace(0, 1, pulse_count) ** 0.8).astype(int)
    return vib_x, vib_y, vib_x[pulse_samples]


TRACKED_TIMES, TRACKED_SAMPLES, TRACKED_PULSES = tracked_record(300, 4)


def tracked_with(vib_x=TRACKED_TIMES, vib_y=TRACKED_SAMPLES, pulse_times=TRACKED_PULSES):
    """That record of three revolutions, one of its arrays changed."""
    return vib_x, vib_y, pulse_times


# A sample 1e-310 s past a pulse three seconds before the next lies a
# revolution fraction past it that underflows.
SUBNORMAL_TIME_PAST_A_PULSE = (np.array([0.0, 1e-310, 1.0, 2.0, 4.0, 5.0, 6.0]), WAVEFORM[:7],
                               np.array([0.0, 3.0, 6.0]))
# The first revolution lasts longer than the largest double. Of the samples
# from the second pulse on, only the one on that pulse counts in the first
# revolution, and only its revolution count overflows.
REVOLUTION_PAST_THE_LARGEST_DOUBLE = (np.array([1.5e308, 1.55e308, 1.6e308, 1.65e308, 1.7e308]), WAVEFORM[:5],
                                      np.array([-1.5e308, 1.5e308, 1.7e308]))

BOUNDARIES = [
    pytest.param("get_tach_midpoints", PULSES_30_MS_APART, "native", id="pulses exactly 30 ms apart"),
    pytest.param("get_tach_midpoints", (TACH_TIMES, with_values(TACH_SIGNAL, 500, np.nan)),
                 "generic", id="tach NaN sample"),
    pytest.param("get_tach_midpoints", (TACH_TIMES[:-1], TACH_SIGNAL[::-1]),
                 "generic", id="pulse past a short time axis"),
    pytest.param("generate_fault_freq_fast", (PULSES[:9], 4), "native", id="nine pulses, ratio 4"),
    pytest.param("generate_fault_freq_fast", (PULSES[:5], 4), "native", id="one slow revolution"),
    pytest.param("generate_fault_freq_fast", (PULSES[:4], 4), "native", id="less than a slow revolution"),
    pytest.param("generate_fault_freq_fast", (PULSES[:1], 1.0), "generic", id="one pulse"),
    pytest.param("generate_fault_freq_fast", (PULSES[:0], 1.0), "generic", id="no pulse"),
    pytest.param("generate_fault_freq_fast", (PULSES, 1), "native", id="ratio 1"),
    pytest.param("generate_fault_freq_fast", (PULSES, 0.3), "native", id="ratio below 1"),
    pytest.param("generate_fault_freq_fast", (PULSES, 2**53), "native", id="int ratio 2**53"),
    pytest.param("generate_fault_freq_fast", (PULSES, 2**53 + 1), "generic", id="int ratio 2**53 + 1"),
    pytest.param("generate_fault_freq_fast", (PULSES, 1e300), "native", id="ratio 1e300"),
    pytest.param("generate_fault_freq_fast", (PULSES, 1e301), "generic", id="ratio 1e301"),
    pytest.param("generate_fault_freq_fast", (PULSES, 1e-300), "generic", id="ratio 1e-300"),
    pytest.param("generate_fault_freq_fast", (PULSES, 0), "generic", id="ratio 0"),
    pytest.param("generate_fault_freq_fast", (PULSES, -2.0), "generic", id="negative ratio"),
    pytest.param("generate_fault_freq_fast", (PULSES, np.float64(2.5)), "generic", id="numpy float ratio"),
    pytest.param("generate_fault_freq_fast", (PULSES, True), "generic", id="bool ratio"),
    pytest.param("generate_fault_freq_fast", (with_values(PULSES, 7, np.nan), 2.5), "generic", id="NaN pulse time"),
    pytest.param("generate_fault_freq_fast", (with_values(PULSES, 7, np.inf), 2.5),
                 "generic", id="infinite pulse time"),
    pytest.param("generate_fault_freq_fast", (with_values(PULSES, 7, 1.7e308), 2.5), "generic", id="slope overflows"),
    # 10 revolutions: 1024.9 samples per revolution truncate to 1024, 1025 stay.
    pytest.param("perform_order_tracking", tracked_record(10249, 11), "native", id="10249 samples over 10 revolutions"),
    pytest.param("perform_order_tracking", tracked_record(10250, 11), "native", id="10250 samples over 10 revolutions"),
    pytest.param("perform_order_tracking", tracked_record(4, 2), "native", id="four samples over one revolution"),
    pytest.param("perform_order_tracking", tracked_record(3, 2), "native", id="three samples, too few for a spline"),
    pytest.param("perform_order_tracking", tracked_record(2, 2), "native", id="two samples"),
    pytest.param("perform_order_tracking", tracked_with(pulse_times=TRACKED_PULSES[:1]), "generic", id="one pulse"),
    pytest.param("perform_order_tracking", tracked_with(with_values(TRACKED_TIMES, 6, TRACKED_TIMES[5]),
                                                        pulse_times=TRACKED_PULSES[:1]), "generic",
                 id="two samples on one pulse"),
    pytest.param("perform_order_tracking", tracked_with(pulse_times=TRACKED_PULSES[:0]), "generic", id="no pulse"),
    pytest.param("perform_order_tracking", tracked_with(TRACKED_TIMES[::-1], TRACKED_SAMPLES[::-1]),
                 "native", id="samples in reverse"),
    pytest.param("perform_order_tracking", tracked_with(with_values(TRACKED_TIMES, 100, TRACKED_TIMES[99])),
                 "native", id="repeated sample time"),
    # The first NaN stands where the first pulse is.
    pytest.param("perform_order_tracking", tracked_with(with_values(TRACKED_TIMES, [5, 100], np.nan)),
                 "generic", id="NaN sample times"),
    pytest.param("perform_order_tracking", tracked_with(with_values(TRACKED_TIMES, [0, 100], [-np.inf, np.inf])),
                 "native", id="infinite sample times"),
    pytest.param("perform_order_tracking", tracked_with(vib_y=with_values(TRACKED_SAMPLES, 100, np.nan)),
                 "native", id="NaN sample"),
    pytest.param("perform_order_tracking", tracked_with(vib_y=with_values(TRACKED_SAMPLES, 100, np.inf)),
                 "native", id="infinite sample"),
    pytest.param("perform_order_tracking", tracked_with(vib_y=TRACKED_SAMPLES[:-1]), "generic", id="one sample short"),
    pytest.param("perform_order_tracking", tracked_with(pulse_times=TRACKED_PULSES[::-1]),
                 "generic", id="pulses in reverse"),
    pytest.param("perform_order_tracking", tracked_with(pulse_times=with_values(TRACKED_PULSES, 1, TRACKED_PULSES[0])),
                 "generic", id="repeated pulse time"),
    pytest.param("perform_order_tracking", tracked_with(pulse_times=with_values(TRACKED_PULSES, 2, np.nan)),
                 "generic", id="NaN pulse time"),
    pytest.param("perform_order_tracking", tracked_with(pulse_times=with_values(TRACKED_PULSES, -1, np.inf)),
                 "generic", id="infinite last pulse"),
    pytest.param("perform_order_tracking", SUBNORMAL_TIME_PAST_A_PULSE, "generic", id="revolution fraction underflows"),
    pytest.param("perform_order_tracking", REVOLUTION_PAST_THE_LARGEST_DOUBLE, "generic", id="revolution overflows"),
    # 100 revolutions of 10 points in 1000 samples.
    pytest.param("perform_tsa", (WAVEFORM[:-1], 10, 100, 5), "generic", id="record one sample short"),
    pytest.param("perform_tsa", (WAVEFORM, 10, 99, 5), "native", id="revolutions left over"),
    pytest.param("perform_tsa", (WAVEFORM, 10, 100, 100), "native", id="a single block"),
    pytest.param("perform_tsa", (WAVEFORM, 1, 1000, 1), "native", id="one-point blocks"),
    pytest.param("perform_tsa", (WAVEFORM, 1, 1, 1), "native", id="a single one-point block"),
    pytest.param("perform_tsa", (WAVEFORM, 10, 4, 5), "generic", id="no whole block"),
    pytest.param("perform_tsa", (WAVEFORM, 0, 100, 5), "generic", id="no points per revolution"),
    pytest.param("perform_tsa", (WAVEFORM, 10, -10, 5), "generic", id="negative revolutions"),
    pytest.param("perform_tsa", (WAVEFORM, 10, 100, 0), "generic", id="no revolutions per block"),
    pytest.param("perform_tsa", (WAVEFORM, 10, 100, -5), "generic", id="negative revolutions per block"),
    pytest.param("perform_tsa", (WAVEFORM, np.int64(10), 100, 5), "generic", id="numpy int points per revolution"),
    pytest.param("perform_tsa", (WAVEFORM, 10, 100.0, 5), "generic", id="float revolutions"),
    pytest.param("perform_tsa", (WAVEFORM, 10, 100, True), "generic", id="bool revolutions per block"),
    pytest.param("perform_tsa", (with_values(WAVEFORM, 7, np.nan), 10, 100, 5), "generic", id="averaged NaN"),
    pytest.param("perform_tsa", (with_values(WAVEFORM, 7, np.inf), 10, 100, 5), "native", id="averaged infinity"),
    pytest.param("perform_tsa", (with_values(WAVEFORM, [7, 57], [np.inf, -np.inf]), 10, 100, 5),
                 "generic", id="infinities of both signs at one angle"),
    pytest.param("perform_tsa", (np.full(1000, -0.0), 10, 100, 5), "native", id="averaged negative zeros"),
    pytest.param("perform_tsa", (np.full(1000, 1e308), 10, 100, 5), "generic", id="block sums that overflow"),
    pytest.param("perform_tsa", (np.full(1000, 3e-310), 10, 100, 3), "native", id="subnormal averages"),
]


@pytest.mark.parametrize("name, args, path", BOUNDARIES)
def test_native_loop_boundaries(name, args, path):
    assert_at_boundary(name, args, path)


def test_pulses_exactly_30_ms_apart_are_kept():
    assert core_math.get_tach_midpoints(*PULSES_30_MS_APART).tolist() == [0.0, 0.03, 0.06]


def interpolation_kind(frame):
    return frame.f_locals["kind"]


def test_the_common_order_tracking_call_fits_only_its_spline_with_interp1d():
    # Each sample's revolution count is native (unless the installed scipy's
    # linear interp1d computes otherwise); the spline stays scipy's.
    args = (VIB_TIMES, VIB_SAMPLES, PULSES[:6])
    kinds = []
    with entries_into(interp1d.__init__, kinds, interpolation_kind):
        native = outcome(core_math.perform_order_tracking, *args)
    assert kinds == (["cubic"] if native_path("perform_order_tracking") == "native" else ["linear", "cubic"])
    kinds.clear()
    with rebound(interp1d=interp1d_stand_in), entries_into(interp1d.__init__, kinds, interpolation_kind):
        generic = outcome(core_math.perform_order_tracking, *args)
    assert kinds == ["linear", "cubic"]
    assert native == generic


@st.composite
def tachometer_records(draw):
    """(t, y): a pulse train at any phase (pulses may be open at either end
    or one sample wide), on a time axis that may start before zero or hold
    fewer samples than the record."""
    n = draw(loop_lengths)
    rng = np.random.default_rng(draw(seeds))
    fs = draw(st.sampled_from([50.0, 1000.0, 1e5]))
    # Pulses any number of samples apart, or just around the 30 ms spacing rule.
    spacing_rule = round(0.03 * fs)
    period = draw(st.one_of(st.integers(2, 50), st.sampled_from([max(spacing_rule + step, 2) for step in (-1, 0, 1)])))
    width = draw(st.integers(1, 6))
    phase = draw(st.integers(0, 50))
    noise = draw(st.sampled_from([0.0, 0.01, 0.3]))
    y = 5.0 * ((np.arange(n) + phase) % period < width) + noise * rng.standard_normal(n)
    sprinkle(draw, rng, y)
    t_start = draw(st.sampled_from([0.0, -2.0, -0.97, 1e6, 1.7e308]))
    t = t_start + np.arange(max(n + draw(st.integers(-3, 2)), 0)) / fs
    return draw(laid_out_pair(t, y))


@BUDGET
@given(record=tachometer_records(), error_state=error_states)
def test_tach_midpoints_of_edge_records(record, error_state):
    assert_same_outcome("get_tach_midpoints", *record, error_state=error_state, generic=True)


@BUDGET
@given(data=st.data(), t=records(), y=records(), error_state=error_states)
def test_tach_midpoints_of_arbitrary_records(data, t, y, error_state):
    assert_same_outcome("get_tach_midpoints", *data.draw(laid_out_pair(t, y)), error_state=error_state, generic=True)


# --- slow shaft and synchronous average ----------------------------------


@st.composite
def wandering_pulse_trains(draw):
    """Pulse times of a shaft whose speed wanders, from any start time and at
    any scale, or any record at all (NaN, infinities, huge values, unsorted)."""
    n = draw(loop_lengths)
    if draw(st.integers(0, 2)) == 0:
        return draw(records(n=n).flatmap(laid_out))
    rng = np.random.default_rng(draw(seeds))
    period = draw(st.sampled_from([0.02, 1.0, 1e-9, 1e200]))
    start = draw(st.sampled_from([0.0, -1.0, 1e6, 1e300]))
    return draw(laid_out(start + np.cumsum(period * rng.uniform(0.5, 1.5, n))))


# Ratios below, at and above one, whole ones, ratios at and beyond the limits
# of the native loop, and ratios no gear stage has. Tiny ratios that leave the
# counts finite would ask for results of many GiB.
gear_ratios = st.one_of(
    st.floats(0.05, 50),
    st.sampled_from([1.0, 2.0, 2.5, 4.0, 1 / 3, 0.999999, 2.0**53, 1e300, 1e301, 1e-300, 5e-324, 0.0, -0.0, -2.0,
                     np.nan, np.inf, -np.inf]),
)


@BUDGET
@given(hss_pulse_times=wandering_pulse_trains(), gear_ratio=st.one_of(gear_ratios, numbers(gear_ratios)),
       error_state=error_states)
def test_slow_shaft_revolution_times_of_edge_records(hss_pulse_times, gear_ratio, error_state):
    assert_same_outcome("generate_fault_freq_fast", hss_pulse_times, gear_ratio, error_state=error_state, generic=True)


@st.composite
def averaging_calls(draw):
    """(order_waveform, pts_per_rev, total_revs, revs_per_block): one-point
    blocks, as many as a long record has samples, or blocks of a few
    revolutions, few or enough for a pairwise sum to differ from a fold; a
    record exactly as long as the blocks, one sample short, or with
    revolutions to spare; now and then a count the native loop declines."""
    if draw(st.integers(0, 2)) == 0:
        pts_per_rev, revs_per_block, num_blocks = 1, 1, draw(lengths)
    else:
        pts_per_rev, revs_per_block = draw(st.integers(1, 40)), draw(st.integers(1, 4))
        num_blocks = draw(st.one_of(st.integers(1, 9), st.sampled_from([0, 16, 130])))
    total_revs = num_blocks * revs_per_block + draw(st.integers(0, revs_per_block - 1))
    block_pts = num_blocks * revs_per_block * pts_per_rev
    n = draw(st.sampled_from([block_pts, total_revs * pts_per_rev + pts_per_rev, max(block_pts - 1, 0)]))
    counts = [pts_per_rev, total_revs, revs_per_block]
    if draw(st.integers(0, 7)) == 0:
        counts[draw(st.integers(0, 2))] = draw(st.sampled_from([0, -1, *NOT_PLAIN_NUMBERS]))
    return draw(records(n=n).flatmap(laid_out)), *counts


@BUDGET
@given(args=averaging_calls(), error_state=error_states)
def test_synchronous_average_of_edge_records(args, error_state):
    assert_same_outcome("perform_tsa", *args, error_state=error_state, generic=True)


# --- order tracking -------------------------------------------------------

SAMPLE_ARRANGEMENTS = ["at a rate", "at a rate", "at a rate", "shuffled", "a time repeated", "broken"]
# What now and then keeps a record from the native revolution count.
RECORD_FLAWS = ["layouts", "one sample short", "one sample more", "pulses out of order", "a pulse repeated",
                np.nan, np.inf, -np.inf]
@st.composite
def order_tracking_records(draw):
    """(vib_x, vib_y, pulse_times): samples at a rate from any start time,
    now and then shuffled, with a time repeated or broken; pulses of a shaft
    whose speed wanders, the first and the last before, on or between samples
    or after the record, sometimes every pulse on a sample; in one record in
    four a flaw that leaves the call to the generic body."""
    n = draw(st.integers(8, 300) if draw(st.sampled_from(MOSTLY)) else st.integers(0, 7))
    rng = np.random.default_rng(draw(seeds))
    fs = draw(st.sampled_from([1000.0, 2560.0, 3.0]))
    t_start = draw(st.sampled_from([0.0, -0.37, -2.0, 1e6]))
    sample_times = t_start + np.arange(n) / fs
    duration = max(n, 1) / fs

    def span_end(outside):
        where = draw(st.sampled_from(["on a sample", "between samples", "outside the record"]))
        if where == "on a sample" and n:
            return sample_times[rng.integers(n)]
        return t_start + duration * (outside if where == "outside the record" else rng.uniform())

    first_pulse, last_pulse = sorted([span_end(rng.uniform(-0.5, 0.0)), span_end(rng.uniform(1.0, 1.5))])
    pulse_count = draw(st.integers(4, 12) if draw(st.sampled_from(MOSTLY)) else st.integers(0, 3))
    pulse_times = np.full(pulse_count, first_pulse)
    if pulse_count > 1:
        elapsed = np.cumsum(rng.uniform(0.5, 1.5, pulse_count))
        pulse_times += (last_pulse - first_pulse) * (elapsed - elapsed[0]) / (elapsed[-1] - elapsed[0])
        pulse_times[-1] = last_pulse
    if n and draw(st.booleans()):
        inside = (pulse_times >= sample_times[0]) & (pulse_times <= sample_times[-1])
        pulse_times[inside] = sample_times[np.searchsorted(sample_times, pulse_times[inside])]

    arrangement = draw(st.sampled_from(SAMPLE_ARRANGEMENTS))
    vib_x = rng.permutation(sample_times) if arrangement == "shuffled" else sample_times.copy()
    if arrangement == "a time repeated" and n > 1:
        at = rng.integers(1, n)
        vib_x[at] = vib_x[at - 1]
    elif arrangement == "broken":
        sprinkle(draw, rng, vib_x)

    flaw = None if draw(st.sampled_from(MOSTLY)) else draw(st.sampled_from(RECORD_FLAWS))
    vib_y = draw(records(n=max(n + {"one sample short": -1, "one sample more": 1}.get(flaw, 0), 0)))
    if flaw == "layouts":
        return *draw(laid_out_pair(vib_x, vib_y)), draw(laid_out(pulse_times))
    if pulse_count and flaw not in (None, "one sample short", "one sample more"):
        at = rng.integers(pulse_count)
        if flaw == "pulses out of order":
            pulse_times[[at - 1, at]] = pulse_times[[at, at - 1]]
        else:
            pulse_times[at] = pulse_times[at - 1] if flaw == "a pulse repeated" else flaw
    vib_x, vib_y = (draw(st.sampled_from(NATIVE_LAYOUTS))(values) for values in (vib_x, vib_y))
    return vib_x, vib_y, draw(st.sampled_from([contiguous, read_only]))(pulse_times)


@BUDGET
@given(record=order_tracking_records(), error_state=error_states)
def test_order_tracking_of_edge_records(record, error_state):
    assert_same_outcome("perform_order_tracking", *record, error_state=error_state, generic=True)
