"""Numerical core of vibration and rotating-machinery condition monitoring.

Stateless functions over one-dimensional numpy arrays: signal conditioning,
shaft speed and the order domain, spectral analysis and trend assessment.
"""

from collections.abc import Sequence
from typing import Any, Literal

import numpy as np
from numpy.typing import ArrayLike, NDArray

_Floats = NDArray[np.float64]
_Spectrum = tuple[NDArray[np.float64], NDArray[np.float64]]
# Inputs that are measured and indexed as they are: numpy arrays or sequences.
_Series = NDArray[Any] | Sequence[float]
_Window = str | tuple[Any, ...] | float

def remove_dc_offset(y_vals: ArrayLike) -> NDArray[Any]:
    """Returns the waveform minus the mean of all its samples, as a new array
    of the same shape; float64 for float64 or integer input."""

def get_tach_midpoints(t: _Series, y: NDArray[Any]) -> _Floats:
    """Returns the mid-times of the pulses of a once-per-revolution tachometer
    record `y` sampled at times `t`: a pulse is a run of samples above a
    threshold 40 % of the way from the median to the 99.5th percentile, timed
    at the midpoint of its first and last sample, and a pulse less than 0.03
    time units after the last kept one is dropped.  Empty when no pulse is
    found."""

def generate_fault_freq_fast(hss_pulse_times: _Series, gear_ratio: float) -> _Floats | None:
    """Returns the times at which the slow shaft of a gear stage completes each
    whole revolution, interpolated from the high-speed-shaft pulse times, with
    `gear_ratio` high-speed revolutions per slow revolution; None when the
    pulses span less than one full slow revolution."""

def apply_bandpass(
    data: NDArray[Any],
    lowcut: float,
    highcut: float,
    fs: float,
    order: int = 4,
    filter_type: str = "butter",
    rp: float = 5.0,
    rs: float = 40.0,
) -> NDArray[Any]:
    """Returns `data` band-pass filtered between `lowcut` and `highcut` Hz at
    sample rate `fs`, forward and backward (zero phase); `filter_type` is one of
    "butter", "cheby1", "cheby2", "ellip", "bessel" (any other name gives
    Butterworth), `rp` the passband ripple and `rs` the stopband attenuation in
    dB.  A band that cannot be realised (lower edge at or below 0, upper edge at
    or above Nyquist, edges not rising) returns `data` itself, unfiltered."""

def perform_order_tracking(
    vib_x: NDArray[Any], vib_y: NDArray[Any], pulse_times: NDArray[Any]
) -> tuple[_Floats, _Floats, int, int] | tuple[None, None, Literal[0], Literal[0]]:
    """Resamples vibration `vib_y` at times `vib_x` to even steps of shaft
    angle between the first and last of `pulse_times` (one per revolution):
    returns the revolution grid, the order-domain waveform, the number of whole
    revolutions and the points per revolution (at least 1024); (None, None, 0,
    0) when fewer than two pulses or two samples lie in the span."""

def perform_tsa(
    order_waveform: NDArray[Any] | None, pts_per_rev: int, total_revs: int, revs_per_block: int
) -> tuple[_Floats, _Floats, int] | tuple[None, None, Literal[0]]:
    """Returns the time-synchronous average of an order-domain waveform: the
    revolution grid of one block, the point-by-point mean of the whole blocks of
    `revs_per_block` revolutions, and the number of blocks averaged; (None,
    None, 0) when no whole block fits."""

def compute_envelope_waveform(
    y_vals: NDArray[Any],
    fs: float,
    lowcut: float,
    highcut: float,
    filter_order: int = 4,
    filter_type: str = "butter",
    rp: float = 5.0,
    rs: float = 40.0,
) -> NDArray[Any]:
    """Returns the amplitude envelope of `y_vals` band-passed as in
    `apply_bandpass` (with `filter_order` as its order), taken from the analytic
    signal and with its mean removed."""

def compute_fft_dsp(
    waveform: _Series,
    d_rev: float,
    window_type: _Window = "hann",
    scaling: str = "peak",
    spectrum_format: str = "linear",
) -> _Spectrum | tuple[None, None]:
    """Returns the single-sided amplitude spectrum (orders, amplitudes) of an
    angle-domain waveform sampled every `d_rev` revolutions, windowed with
    `window_type` and corrected so that a sinusoid reads its peak; `scaling`
    "rms" or "peak-to-peak" rescales it, `spectrum_format` "power" squares it.
    (None, None) for an empty waveform."""

def compute_frequency_spectrum(
    time_waveform: _Series,
    fs: float,
    window_type: _Window = "hann",
    scaling: str = "peak",
    spectrum_format: str = "linear",
) -> _Spectrum | tuple[None, None]:
    """Returns the single-sided amplitude spectrum (frequencies in Hz,
    amplitudes) of a waveform sampled at `fs`, with the window, scaling and
    format options of `compute_fft_dsp`; (None, None) for an empty waveform."""

def compute_envelope_spectrum(
    y_vals: NDArray[Any],
    fs: float,
    lowcut: float,
    highcut: float,
    filter_order: int = 4,
    filter_type: str = "butter",
    rp: float = 5.0,
    rs: float = 40.0,
) -> _Spectrum:
    """Returns the amplitude spectrum (frequencies in Hz, amplitudes) of the
    envelope that `compute_envelope_waveform` gives for the same arguments:
    the repetition rates of impacts that ring the chosen band."""

def compute_cepstrum(spectrum_amps: _Series, d_axis: float) -> _Spectrum:
    """Returns the real cepstrum of an amplitude spectrum whose axis steps by
    `d_axis`: the quefrency axis (N values) and the magnitude of the inverse
    transform of the log amplitudes floored at 1e-12 (2N - 2 values); a family
    of evenly spaced lines shows as a peak at the reciprocal of its spacing."""

def get_harmonic_peak(
    orders: NDArray[Any], amps: NDArray[Any], target_order: float, search_window: float = 0.05
) -> float:
    """Returns the largest amplitude whose axis value lies within
    `search_window` of `target_order`, both edges included; NaN when no axis
    value does."""

def get_band_energy(x_axis: NDArray[Any], y_axis: NDArray[Any], start_val: float, end_val: float) -> float:
    """Returns the root-sum-square of the amplitudes whose axis value lies in
    [`start_val`, `end_val`]; 0.0 when none does.  Integer amplitudes narrower
    than 64 bits are squared in 64 bits."""

def compute_true_overall_rms(y_vals: NDArray[Any]) -> float:
    """Returns the root mean square of all samples, DC included.  Integer
    samples narrower than 64 bits (raw converter counts) are squared in 64 bits,
    so they cannot overflow."""

def classify_operating_state(
    power_arr: ArrayLike, max_power_rating: float
) -> NDArray[np.str_] | NDArray[np.float64]:
    """Returns one label per power sample: "P1" to "P5" for the five power
    bands of the machine's rating class (fixed tables for ratings of 1800-2400,
    2800-3600 and 3800-4800, fifths of the rating otherwise), "P_OUT" below the
    first edge or at and above the last; an empty input gives an empty float64
    array."""

def compute_severity_envelope(feature_data: _Series, peak_weight: float = 0.9) -> _Floats:
    """Returns the severity envelope of a trend: each value moves towards a new
    sample by `peak_weight` when the sample is higher and by 1 - `peak_weight`
    when it is lower, so rises are followed fast and falls slowly."""

def compute_moving_average(feature_data: _Series, window_size: int = 5) -> _Floats:
    """Returns the trailing mean of the last `window_size` samples at every
    sample (of all samples so far during the first `window_size`); a NaN or
    infinite sample affects only the averages whose window holds it."""

def compute_robust_trend(
    feature_data: ArrayLike, median_window: int = 5, savgol_window: int = 15, poly_order: int = 3
) -> NDArray[Any]:
    """Returns the trend with spikes removed by a median filter of
    `median_window` and then smoothed by a Savitzky-Golay filter of
    `savgol_window` and `poly_order`; even windows are raised by one."""

def compute_median_filter(feature_data: ArrayLike, window_size: int = 5) -> NDArray[Any]:
    """Returns the running median over `window_size` samples (an even window is
    raised by one; the ends are padded with zeros)."""

def compute_savgol_filter(feature_data: ArrayLike, window_size: int = 11, poly_order: int = 3) -> NDArray[Any]:
    """Returns the Savitzky-Golay smoothed trend: a polynomial of `poly_order`
    fitted over `window_size` samples at every sample (an even window is
    raised by one)."""

def detect_harmonic_signature(
    amp_1x: float,
    amp_2x: float,
    amp_3x: float,
    vh1: float = 1.1,
    vh2: float = 0.5,
    ind1: float = 0.8,
    ind2: float = 0.4,
    low1: float = 0.5,
    low2: float = 0.2,
) -> Literal[0, 1, 2, 3]:
    """Returns the level of the 1x and 2x amplitudes against the 3x: 3 when
    both exceed `vh1` and `vh2` times the 3x, 2 for `ind1` and `ind2`, 1 when
    either exceeds `low1` or `low2` times it, else 0 (also when the 3x is at or
    below 0.0001)."""

def compute_dynamic_zscore(feature_data: _Series, baseline_window: int = 30) -> _Floats:
    """Returns the z-score of every sample against the `baseline_window`
    samples before it (sample standard deviation); 0.0 where fewer than two
    samples precede it or the baseline is flat."""

def compute_degradation_velocity(trend_data: ArrayLike, time_delta: float = 1.0) -> NDArray[Any]:
    """Returns the rate of change of a trend per unit of time: central
    differences inside, one-sided at the ends, divided by the spacing
    `time_delta` of the samples."""
