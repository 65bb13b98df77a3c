"""The analysis functions as plain Python, statement for statement.

This is the behaviour the compiled module must reproduce bit for bit: the
baseline of the benchmark and the oracle of the differential tests.  The
mended faults are applied here too (narrow integer amplitudes are squared in
64 bits; the first tachometer pulse is measured against no previous pulse; a
NaN or infinite sample leaving the moving-average window no longer stays in
its carried sum).
"""

import math

import numpy as np
from scipy.signal import get_window, butter, cheby1, cheby2, ellip, bessel, filtfilt, savgol_filter, medfilt, hilbert
from scipy.interpolate import interp1d


def _squared(values):
    if isinstance(values, np.ndarray) and values.dtype.kind in "iu" and values.dtype.itemsize < 8:
        values = values.astype("int64" if values.dtype.kind == "i" else "uint64")
    return values ** 2


def _non_finite_real(value):
    return isinstance(value, (float, np.floating)) and not math.isfinite(float(value))


def remove_dc_offset(y_vals):
    return y_vals - np.mean(y_vals)


def get_tach_midpoints(t, y):
    p99 = np.percentile(y, 99.5)
    median_y = np.median(y)
    threshold = median_y + 0.4 * (p99 - median_y)
    above_thresh = y > threshold
    diffs = np.diff(above_thresh.astype(int))
    starts = np.where(diffs == 1)[0] + 1
    ends = np.where(diffs == -1)[0]
    if above_thresh[0]:
        starts = np.insert(starts, 0, 0)
    if above_thresh[-1]:
        ends = np.append(ends, len(y) - 1)
    midpoints = []
    last_midpoint = -float("inf")
    for s, e in zip(starts, ends):
        mid_t = (t[s] + t[e]) / 2.0
        if mid_t - last_midpoint >= 0.03:
            midpoints.append(mid_t)
            last_midpoint = mid_t
    return np.array(midpoints)


def generate_fault_freq_fast(hss_pulse_times, gear_ratio):
    hss_revs = np.arange(len(hss_pulse_times))
    lss_revs = hss_revs / gear_ratio
    first_lss_rev = int(np.ceil(lss_revs[0]))
    last_lss_rev = int(np.floor(lss_revs[-1]))
    if last_lss_rev <= first_lss_rev:
        return None
    target_lss_integers = np.arange(first_lss_rev, last_lss_rev + 1)
    return np.interp(target_lss_integers, lss_revs, hss_pulse_times)


def apply_bandpass(data, lowcut, highcut, fs, order=4, filter_type="butter", rp=5.0, rs=40.0):
    nyq = 0.5 * fs
    low = lowcut / nyq
    high = highcut / nyq
    if low <= 0 or high >= 1 or low >= high:
        return data
    ftype = filter_type.lower()
    if ftype == "butter":
        b, a = butter(order, [low, high], btype="band")
    elif ftype == "cheby1":
        b, a = cheby1(order, rp, [low, high], btype="band")
    elif ftype == "cheby2":
        b, a = cheby2(order, rs, [low, high], btype="band")
    elif ftype == "ellip":
        b, a = ellip(order, rp, rs, [low, high], btype="band")
    elif ftype == "bessel":
        b, a = bessel(order, [low, high], btype="band")
    else:
        b, a = butter(order, [low, high], btype="band")
    return filtfilt(b, a, data)


def perform_order_tracking(vib_x, vib_y, pulse_times):
    revs = np.arange(len(pulse_times))
    valid_idx = (vib_x >= pulse_times[0]) & (vib_x <= pulse_times[-1])
    t_vib_valid = vib_x[valid_idx]
    y_vib_valid = vib_y[valid_idx]
    if len(t_vib_valid) < 2:
        return (None, None, 0, 0)
    time_to_rev_func = interp1d(pulse_times, revs, kind="linear", fill_value="extrapolate")
    instant_revs = time_to_rev_func(t_vib_valid)
    total_integer_revs = len(pulse_times) - 1
    if total_integer_revs < 1:
        return (None, None, 0, 0)
    pts_per_rev = max(1024, int(len(y_vib_valid) / total_integer_revs))
    total_pts = total_integer_revs * pts_per_rev
    even_rev_grid = np.linspace(0, total_integer_revs, total_pts, endpoint=False)
    # NaN beside infinite counts leaves the cubic spline no finite span.
    if np.isnan(instant_revs).any():
        instant_revs = np.where(np.isfinite(instant_revs), instant_revs, np.nan)
    rev_to_amp_func = interp1d(instant_revs, y_vib_valid, kind="cubic", bounds_error=False, fill_value="extrapolate")
    order_waveform = rev_to_amp_func(even_rev_grid)
    return (even_rev_grid, order_waveform, total_integer_revs, pts_per_rev)


def perform_tsa(order_waveform, pts_per_rev, total_revs, revs_per_block):
    num_blocks = total_revs // revs_per_block
    if num_blocks == 0:
        return (None, None, 0)
    valid_pts = num_blocks * revs_per_block * pts_per_rev
    truncated_wf = order_waveform[:valid_pts]
    matrix = truncated_wf.reshape(num_blocks, revs_per_block * pts_per_rev)
    tsa_wf = np.mean(matrix, axis=0)
    tsa_rev_grid = np.linspace(0, revs_per_block, len(tsa_wf), endpoint=False)
    return (tsa_rev_grid, tsa_wf, num_blocks)


def compute_envelope_waveform(y_vals, fs, lowcut, highcut, filter_order=4, filter_type="butter", rp=5.0, rs=40.0):
    filtered_y = apply_bandpass(y_vals, lowcut, highcut, fs, order=filter_order, filter_type=filter_type, rp=rp, rs=rs)
    analytic_signal = hilbert(filtered_y)
    envelope_y = np.abs(analytic_signal)
    return envelope_y - np.mean(envelope_y)


def compute_fft_dsp(waveform, d_rev, window_type="hann", scaling="peak", spectrum_format="linear"):
    N = len(waveform)
    if N == 0:
        return (None, None)
    win = get_window(window_type, N)
    acf = 1.0 / np.mean(win)
    yf = np.fft.rfft(waveform * win)
    orders = np.fft.rfftfreq(N, d=d_rev)
    amp = 2.0 / N * np.abs(yf) * acf
    amp[0] /= 2.0
    if scaling == "rms":
        amp /= np.sqrt(2)
    elif scaling == "peak-to-peak":
        amp *= 2.0
    if spectrum_format == "power":
        amp **= 2
    return (orders, amp)


def compute_frequency_spectrum(time_waveform, fs, window_type="hann", scaling="peak", spectrum_format="linear"):
    N = len(time_waveform)
    if N == 0:
        return (None, None)
    win = get_window(window_type, N)
    acf = 1.0 / np.mean(win)
    yf = np.fft.rfft(time_waveform * win)
    freqs = np.fft.rfftfreq(N, d=1.0 / fs)
    amp = 2.0 / N * np.abs(yf) * acf
    amp[0] /= 2.0
    if scaling == "rms":
        amp /= np.sqrt(2)
    elif scaling == "peak-to-peak":
        amp *= 2.0
    if spectrum_format == "power":
        amp **= 2
    return (freqs, amp)


def compute_envelope_spectrum(y_vals, fs, lowcut, highcut, filter_order=4, filter_type="butter", rp=5.0, rs=40.0):
    env_waveform = compute_envelope_waveform(
        y_vals, fs, lowcut, highcut, filter_order=filter_order, filter_type=filter_type, rp=rp, rs=rs
    )
    env_freqs, env_amps = compute_frequency_spectrum(env_waveform, fs)
    return (env_freqs, env_amps)


def compute_cepstrum(spectrum_amps, d_axis):
    log_spectrum = np.log(np.maximum(spectrum_amps, 1e-12))
    ceps_y = np.abs(np.fft.irfft(log_spectrum))
    N = len(spectrum_amps)
    ceps_x = np.fft.rfftfreq(2 * N - 1, d=d_axis)
    return (ceps_x, ceps_y)


def get_harmonic_peak(orders, amps, target_order, search_window=0.05):
    mask = (orders >= target_order - search_window) & (orders <= target_order + search_window)
    return float(np.max(amps[mask])) if np.any(mask) else np.nan


def get_band_energy(x_axis, y_axis, start_val, end_val):
    mask = (x_axis >= start_val) & (x_axis <= end_val)
    if not np.any(mask):
        return 0.0
    return float(np.sqrt(np.sum(_squared(y_axis[mask]))))


def compute_true_overall_rms(y_vals):
    return float(np.sqrt(np.mean(_squared(y_vals))))


def classify_operating_state(power_arr, max_power_rating):
    if 1800 <= max_power_rating <= 2400:
        p_edges = [100, 500, 800, 1400, 1800, 2400]
    elif 2800 <= max_power_rating <= 3600:
        p_edges = [200, 1000, 1800, 2600, 3200, 3600]
    elif 3800 <= max_power_rating <= 4800:
        p_edges = [300, 1500, 2500, 3500, 4200, 4800]
    else:
        p_edges = [
            0,
            max_power_rating * 0.2,
            max_power_rating * 0.4,
            max_power_rating * 0.6,
            max_power_rating * 0.8,
            max_power_rating,
        ]
    p_indices = np.digitize(power_arr, p_edges)
    return np.array([f"P{p}" if 1 <= p <= 5 else "P_OUT" for p in p_indices])


def compute_severity_envelope(feature_data, peak_weight=0.9):
    smoothed = np.zeros_like(feature_data, dtype=np.float64)
    smoothed[0] = feature_data[0]
    for i in range(1, len(feature_data)):
        prev = smoothed[i - 1]
        x = feature_data[i]
        smoothed[i] = peak_weight * max(prev, x) + (1.0 - peak_weight) * min(prev, x)
    return smoothed


def compute_moving_average(feature_data, window_size=5):
    w = min(window_size, len(feature_data))
    result = np.zeros_like(feature_data, dtype=np.float64)
    for i in range(w):
        result[i] = np.mean(feature_data[: i + 1])
    if len(feature_data) > w:
        window_sum = np.sum(feature_data[:w])
        for i in range(w, len(feature_data)):
            leaving = feature_data[i - w]
            if _non_finite_real(leaving):
                window_sum = np.sum(feature_data[i - w + 1 : i + 1])
            else:
                window_sum = window_sum - leaving + feature_data[i]
            result[i] = window_sum / w
    return result


def compute_robust_trend(feature_data, median_window=5, savgol_window=15, poly_order=3):
    m_win = median_window if median_window % 2 != 0 else median_window + 1
    s_win = savgol_window if savgol_window % 2 != 0 else savgol_window + 1
    cleaned = medfilt(feature_data, kernel_size=m_win)
    return savgol_filter(cleaned, window_length=s_win, polyorder=poly_order)


def compute_median_filter(feature_data, window_size=5):
    if window_size % 2 == 0:
        window_size += 1
    return medfilt(feature_data, kernel_size=window_size)


def compute_savgol_filter(feature_data, window_size=11, poly_order=3):
    if window_size % 2 == 0:
        window_size += 1
    return savgol_filter(feature_data, window_length=window_size, polyorder=poly_order)


def detect_harmonic_signature(amp_1x, amp_2x, amp_3x, vh1=1.1, vh2=0.5, ind1=0.8, ind2=0.4, low1=0.5, low2=0.2):
    if amp_3x <= 0.0001:
        return 0
    if amp_1x > vh1 * amp_3x and amp_2x > vh2 * amp_3x:
        return 3
    if amp_1x > ind1 * amp_3x and amp_2x > ind2 * amp_3x:
        return 2
    if amp_1x > low1 * amp_3x or amp_2x > low2 * amp_3x:
        return 1
    return 0


def compute_dynamic_zscore(feature_data, baseline_window=30):
    z_scores = np.zeros_like(feature_data, dtype=np.float64)
    for i in range(len(feature_data)):
        start_idx = max(0, i - baseline_window)
        baseline = feature_data[start_idx:i]
        if len(baseline) < 2:
            continue
        std_dev = np.std(baseline, ddof=1)
        if std_dev > 1e-9:
            z_scores[i] = (feature_data[i] - np.mean(baseline)) / std_dev
        else:
            z_scores[i] = 0.0
    return z_scores


def compute_degradation_velocity(trend_data, time_delta=1.0):
    return np.gradient(trend_data) / time_delta


FUNCTION_NAMES = (
    "remove_dc_offset",
    "get_tach_midpoints",
    "generate_fault_freq_fast",
    "apply_bandpass",
    "perform_order_tracking",
    "perform_tsa",
    "compute_envelope_waveform",
    "compute_fft_dsp",
    "compute_frequency_spectrum",
    "compute_envelope_spectrum",
    "compute_cepstrum",
    "get_harmonic_peak",
    "get_band_energy",
    "compute_true_overall_rms",
    "classify_operating_state",
    "compute_severity_envelope",
    "compute_moving_average",
    "compute_robust_trend",
    "compute_median_filter",
    "compute_savgol_filter",
    "detect_harmonic_signature",
    "compute_dynamic_zscore",
    "compute_degradation_velocity",
)
