"""Every function of kemo_pkg.core_math on a small synthetic record, written
the way a typed monitoring pipeline calls them; `mypy --strict` checks it
against the package's stubs (tests/test_stubs.py)."""

import numpy as np
from numpy.typing import NDArray

from kemo_pkg import core_math as cm

FS = 8192.0  # Hz


def synthetic_record(seconds: float = 4.0) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]:
    """Time axis, vibration and tachometer of a shaft at 20 Hz."""
    t = np.arange(int(seconds * FS)) / FS
    revs = 20.0 * t + 0.3
    vib = 0.3 * np.cos(2 * np.pi * revs) + 0.1 * np.cos(2 * np.pi * 17 * revs) + 0.05
    tach = np.where((revs % 1.0) < 0.05, 5.0, 0.0)
    return t, vib, tach


def order_features(t: NDArray[np.float64], vib: NDArray[np.float64], tach: NDArray[np.float64]) -> dict[str, float]:
    pulses = cm.get_tach_midpoints(t, tach)
    slow_revs = cm.generate_fault_freq_fast(pulses, 2.0)
    grid, order_wf, total_revs, pts_per_rev = cm.perform_order_tracking(t, vib, pulses)
    if order_wf is None or grid is None:
        raise ValueError("too few pulses to track orders")
    _, tsa_wf, blocks = cm.perform_tsa(order_wf, pts_per_rev, total_revs, 1)
    orders, amps = cm.compute_fft_dsp(order_wf, 1.0 / pts_per_rev, scaling="peak")
    if orders is None or amps is None:
        raise ValueError("empty order waveform")
    amp_1x, amp_2x, amp_3x = (cm.get_harmonic_peak(orders, amps, k) for k in (1.0, 2.0, 3.0))
    level: int = cm.detect_harmonic_signature(amp_1x, amp_2x, amp_3x)
    return {
        "pulses": float(len(pulses)),
        "slow_revs": float(0 if slow_revs is None else len(slow_revs) - 1),
        "tsa_blocks": float(blocks),
        "tsa_rms": 0.0 if tsa_wf is None else cm.compute_true_overall_rms(tsa_wf),
        "amp_1x": amp_1x,
        "level": float(level),
        "mesh_band": cm.get_band_energy(orders, amps, 16.5, 17.5),
    }


def time_features(vib: NDArray[np.float64]) -> dict[str, float]:
    ac = cm.remove_dc_offset(vib)
    filtered = cm.apply_bandpass(ac, 100.0, 400.0, FS, order=4, filter_type="cheby1", rp=1.0)
    envelope = cm.compute_envelope_waveform(ac, FS, 200.0, 2000.0)
    env_freqs, env_amps = cm.compute_envelope_spectrum(ac, FS, 200.0, 2000.0, filter_order=3)
    freqs, amps = cm.compute_frequency_spectrum(ac, FS, window_type=("tukey", 0.25), spectrum_format="power")
    if freqs is None or amps is None:
        raise ValueError("empty waveform")
    quefrency, cepstrum = cm.compute_cepstrum(env_amps, float(env_freqs[1] - env_freqs[0]))
    return {
        "overall_rms": cm.compute_true_overall_rms(vib),
        "band_rms": cm.compute_true_overall_rms(filtered),
        "envelope_peak": float(np.max(envelope)),
        "spectrum_peak_hz": float(freqs[np.argmax(amps)]),
        "cepstrum_max": float(np.max(cepstrum[1 : len(quefrency)])),
    }


def trend_features(levels: list[float], power_kw: NDArray[np.float64]) -> dict[str, float]:
    states = cm.classify_operating_state(power_kw, 2000.0)
    smoothed = {
        "moving": cm.compute_moving_average(levels, window_size=5),
        "median": cm.compute_median_filter(levels),
        "savgol": cm.compute_savgol_filter(levels, window_size=11, poly_order=2),
        "robust": cm.compute_robust_trend(levels, median_window=5, savgol_window=15),
    }
    severity = cm.compute_severity_envelope(levels, peak_weight=0.8)
    z_scores = cm.compute_dynamic_zscore(levels, baseline_window=20)
    velocity = cm.compute_degradation_velocity(smoothed["robust"], time_delta=1.0)
    return {
        "full_load_share": float(np.mean(states == "P5")),
        "robust_now": float(smoothed["robust"][-1]),
        "severity_now": float(severity[-1]),
        "z_max": float(np.max(z_scores)),
        "velocity_now": float(velocity[-1]),
    }


def main() -> None:
    t, vib, tach = synthetic_record()
    levels = [0.2 + 0.002 * max(0, day - 40) for day in range(60)]
    power_kw = np.linspace(150.0, 2300.0, 60)
    features = {**order_features(t, vib, tach), **time_features(vib), **trend_features(levels, power_kw)}
    for name, value in features.items():
        print(f"{name:18s} {value:10.4f}")


if __name__ == "__main__":
    main()
