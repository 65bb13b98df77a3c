"""The one-page figure of an assessment: the six panels an analyst reads first,
and with a bearing diagnosis two more, the envelope spectrum the verdict was
read from with each defect's harmonics marked, and the kurtogram.  And the
figure of a machine's history: each tracked finding's trend and alarm."""

from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # files only; no display is needed or wanted
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

from .analysis import Z_ALARM, Assessment, Record, RecordAnalysis, TrendAssessment  # noqa: E402
from .bearing import DEFECT_LABELS, HARMONICS, BearingDiagnosis  # noqa: E402
from .trend import FINDING_LABELS, MachineTrend  # noqa: E402

TACH_REVS_SHOWN = 6
LOW_RANGE_HZ = 1000.0
FAULT_HARMONICS = 5


def _tach_panel(ax, record: Record, analysis: RecordAnalysis):
    o = analysis.order
    if o is None or record.tach is None:
        # Without shaft timing the raw waveform takes the panel.
        shown = record.t < record.t[0] + 0.25
        ax.plot(record.t[shown], record.vibration[shown], lw=0.6, color="tab:blue")
        ax.set(title="Vibration waveform (no tachometer)", xlabel="time (s)", ylabel="vibration (g)")
        return
    end = o.pulse_times[min(TACH_REVS_SHOWN, len(o.pulse_times) - 1)] + 0.5 / o.speed_hz
    shown = record.t <= end
    ax.plot(record.t[shown], record.tach[shown], lw=0.8, color="0.3", label="tachometer")
    marks = o.pulse_times[o.pulse_times <= end]
    top = float(np.max(record.tach[shown]))
    ax.plot(marks, np.full(marks.shape, top * 1.08), "v", color="tab:red", label="pulse mid-times")
    ax.set(title=f"Tachometer pulses: {len(o.pulse_times)} found, mean {o.speed_hz:.2f} Hz",
           xlabel="time (s)", ylabel="tachometer (V)", ylim=(None, top * 1.25))
    ax.legend(loc="upper right", fontsize=8)


def _speed_panel(ax, analysis: RecordAnalysis):
    o = analysis.order
    if o is None:
        shown = analysis.spectrum_axis <= min(analysis.spectrum_axis[-1], 2 * analysis.band_hz[1])
        ax.semilogy(analysis.spectrum_axis[shown], analysis.spectrum_amps[shown], lw=0.6)
        ax.axvspan(*analysis.band_hz, color="tab:orange", alpha=0.15, label="envelope band")
        ax.set(title="Frequency spectrum", xlabel="frequency (Hz)", ylabel="amplitude (g peak)")
        ax.legend(loc="upper right", fontsize=8)
        return
    pulses = o.pulse_times
    ax.plot((pulses[1:] + pulses[:-1]) / 2, 1.0 / np.diff(pulses), lw=1.0, color="tab:blue")
    ax.axhline(o.speed_hz, color="0.5", ls=":", lw=0.9)
    title = f"High-speed shaft speed from the pulses, mean {o.speed_hz:.2f} Hz"
    if o.hss_revs_per_lss_rev is not None:
        title += f"\nslow shaft {len(o.lss_times) - 1} revolutions, mean {o.speed_hz / o.hss_revs_per_lss_rev:.3f} Hz"
    ax.set(title=title, xlabel="time (s)", ylabel="speed (Hz)")


def _order_spectrum_panel(ax, analysis: RecordAnalysis):
    o = analysis.order
    if o is None:
        # Without shaft timing, the low range where shaft harmonics and gear mesh sit.
        shown = analysis.spectrum_axis <= LOW_RANGE_HZ
        ax.plot(analysis.spectrum_axis[shown], analysis.spectrum_amps[shown], lw=0.7, color="tab:blue")
        ax.set(title=f"Frequency spectrum to {LOW_RANGE_HZ:g} Hz (no tachometer, no orders)",
               xlabel="frequency (Hz)", ylabel="amplitude (g peak)", xlim=(0, LOW_RANGE_HZ))
        return
    top_order = o.mesh_order + 5
    shown = o.orders <= top_order
    ax.plot(o.orders[shown], o.order_amps[shown], lw=0.7, color="tab:blue")
    for k, amp in zip((1, 2, 3), o.harmonics):
        ax.annotate(f"{k}x", (k, amp),
                    xytext=(0, 6), textcoords="offset points", ha="center", fontsize=8, color="tab:red")
        ax.plot(k, amp, "o", color="tab:red", ms=4)
    ax.annotate(f"mesh {o.mesh_order}", (o.mesh_order, o.mesh_amp),
                xytext=(0, 6), textcoords="offset points", ha="center", fontsize=8, color="tab:purple")
    ax.plot(o.mesh_order, o.mesh_amp, "o", color="tab:purple", ms=4)
    if o.lss_1x is not None:
        ax.annotate("slow 1x", (1.0 / o.hss_revs_per_lss_rev, o.lss_1x),
                    xytext=(0, 6), textcoords="offset points", ha="center", fontsize=8, color="tab:green")
    ax.set(title=f"Order spectrum: harmonic signature level {o.signature_level}",
           xlabel="order (per high-speed revolution)", ylabel="amplitude (g peak)", xlim=(0, top_order),
           ylim=(0, 1.2 * max(o.mesh_amp, *o.harmonics)))


def _envelope_panel(ax, analysis: RecordAnalysis, truth_fault):
    in_orders = analysis.angle_domain
    top = (FAULT_HARMONICS + 0.7) * analysis.fault_peak
    shown = analysis.env_axis <= top
    ax.plot(analysis.env_axis[shown], analysis.env_amps[shown], lw=0.7, color="tab:blue")
    for k in range(1, FAULT_HARMONICS + 1):
        ax.axvline(k * analysis.fault_peak, color="tab:red", ls=":", lw=0.9,
                   label="found fault and harmonics" if k == 1 else None)
    if truth_fault is not None:
        ax.plot(truth_fault, analysis.fault_amp * 1.08, "v", color="k", label=f"injected {truth_fault:g}")
    label = f"{analysis.fault_peak:.4f} {'orders' if in_orders else 'Hz'}"
    ax.set(title=f"Envelope spectrum {analysis.band_hz[0]:.0f}-{analysis.band_hz[1]:.0f} Hz: fault at {label}",
           xlabel="order (per high-speed revolution)" if in_orders else "frequency (Hz)",
           ylabel="envelope amplitude (g)", xlim=(0, top))
    ax.legend(loc="upper right", fontsize=8)


def _trend_panel(ax, trend: TrendAssessment, onset, unit, label):
    x = np.arange(len(trend.feature))
    ax.plot(x, trend.feature, ".", color="0.55", ms=4, label="measurements")
    ax.plot(x, trend.moving_average, lw=0.9, color="tab:cyan", label="moving average")
    ax.plot(x, trend.robust, lw=1.6, color="tab:blue", label="robust trend")
    ax.plot(x, trend.severity, lw=1.2, color="tab:red", label="severity envelope")
    ax.annotate("outlier", (trend.outlier_index, trend.feature[trend.outlier_index]),
                xytext=(8, 0), textcoords="offset points", fontsize=8, va="center")
    if onset is not None:
        ax.axvline(onset, color="k", ls="--", lw=0.8, label="injected onset")
    ax.set(title="Condition trend", xlabel=unit, ylabel=label)
    ax.legend(loc="upper left", fontsize=8)


def _anomaly_panel(ax, trend: TrendAssessment, onset, unit):
    x = np.arange(len(trend.zscore))
    ax.plot(x, trend.zscore, lw=1.0, color="tab:blue", label="z-score of the median trend")
    ax.axhline(Z_ALARM, color="tab:red", ls=":", lw=0.9, label=f"alarm threshold {Z_ALARM:g}")
    if trend.alarm_index is not None:
        ax.plot(trend.alarm_index, trend.zscore[trend.alarm_index], "o", color="tab:red", label="alarm")
    if onset is not None:
        ax.axvline(onset, color="k", ls="--", lw=0.8)
    ax.set(title="Anomaly score and degradation velocity", xlabel=unit, ylabel="z-score")
    ax.plot([], [], color="tab:green", label="degradation velocity (right)")
    rate = ax.twinx()
    rate.plot(x, trend.velocity, lw=1.0, color="tab:green")
    rate.set_ylabel(f"velocity (per {unit})")
    ax.legend(loc="best", fontsize=8)


DEFECT_COLOURS = {"outer_race": "tab:red", "inner_race": "tab:green", "ball": "tab:purple", "cage": "tab:cyan"}


def _bearing_envelope_panel(ax, bearing: BearingDiagnosis):
    ax.plot(bearing.envelope_hz, bearing.envelope_ratio, lw=0.6, color="tab:blue")
    for defect, e in bearing.defects.items():
        found = e.found_hz if np.isfinite(e.found_hz) else e.frequency_hz
        for k in range(1, HARMONICS + 1):
            ax.axvline(k * found, color=DEFECT_COLOURS[defect], ls="-" if e.present else ":", lw=1.0,
                       label=f"{DEFECT_LABELS[defect]}{' (present)' if e.present else ''}" if k == 1 else None)
    low, high = bearing.band_hz
    verdict = "no bearing defect" if bearing.verdict == "none" else f"{DEFECT_LABELS[bearing.verdict]} defect"
    ax.set(title=f"Envelope spectrum {low:.0f}-{high:.0f} Hz over its floor: {verdict}",
           xlabel="frequency (Hz)", ylabel="line / local floor")
    ax.legend(loc="upper right", fontsize=8)


def _kurtogram_panel(ax, bearing: BearingDiagnosis):
    kurt = bearing.kurtogram
    if not kurt.levels:
        ax.set(title="Kurtogram (not computed for a band given)")
        ax.axis("off")
        return
    image = ax.imshow(kurt.image(), extent=(0, kurt.nyquist_hz, len(kurt.levels), 0),
                      aspect="auto", interpolation="nearest", cmap="viridis")
    ax.set_yticks(np.arange(len(kurt.levels)) + 0.5, [f"{level:g}" for level in kurt.levels])
    low, high = bearing.band_hz
    if np.isfinite(low):
        ax.axvspan(low, high, color="w", alpha=0.25, lw=0)
    ax.set(title="Kurtogram of the record, lines removed (band chosen: shaded)", xlabel="frequency (Hz)",
           ylabel="level")
    plt.colorbar(image, ax=ax, label="spectral kurtosis")


def draw(assessment: Assessment, trend: TrendAssessment, path: Path, record: Record, truth_fault=None,
         onset=None, trend_unit="day", trend_label="level") -> None:
    """Writes the figure to `path` (PNG); `truth_fault` and `onset` mark
    injected values when they are known."""
    analysis = assessment.chain
    rows = 4 if assessment.bearing is not None else 3
    fig, axes = plt.subplots(rows, 2, figsize=(14, 4 * rows), layout="constrained")
    _tach_panel(axes[0, 0], record, analysis)
    _speed_panel(axes[0, 1], analysis)
    _order_spectrum_panel(axes[1, 0], analysis)
    _envelope_panel(axes[1, 1], analysis, truth_fault)
    _trend_panel(axes[2, 0], trend, onset, trend_unit, trend_label)
    _anomaly_panel(axes[2, 1], trend, onset, trend_unit)
    if assessment.bearing is not None:
        _bearing_envelope_panel(axes[3, 0], assessment.bearing)
        _kurtogram_panel(axes[3, 1], assessment.bearing)
    fig.suptitle(f"{analysis.name}: {analysis.duration_s:.1f} s at {analysis.fs:g} Hz", fontsize=13)
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=100)
    plt.close(fig)


def draw_machine_trend(machine: str, trend: MachineTrend, path: Path) -> None:
    """One panel per tracked finding with enough readings: the readings, the
    robust trend, the severity envelope, the alarm, and on the velocity the
    zone boundaries."""
    shown = list(trend.trends.values())
    fig, axes = plt.subplots(len(shown), 1, figsize=(11, 2.2 * len(shown)), sharex=True, squeeze=False)
    for ax, t in zip(axes[:, 0], shown):
        ax.plot(t.taken, t.values, ".", color="0.5", ms=4, label="readings")
        ax.plot(t.taken, t.robust, color="tab:blue", lw=1.2, label="robust trend")
        ax.plot(t.taken, t.severity, color="tab:orange", lw=1.0, label="severity envelope")
        if t.alarm_taken is not None:
            ax.axvline(t.alarm_taken, color="tab:red", lw=1.2, label=f"alarm {t.alarm_taken:%Y-%m-%d}")
        if t.finding == "velocity_rms_mm_s" and trend.outlook is not None:
            # The boundaries the readings have crossed, and the next one.
            top = max(t.values.max(), t.severity.max())
            for zone, boundary, below in zip("BCD", trend.outlook.boundaries_mm_s, (0.0, *trend.outlook.boundaries_mm_s)):
                if below <= top:
                    ax.axhline(boundary, color="tab:red", lw=0.6, ls="--")
                    ax.annotate(f"zone {zone}", (t.taken[0], boundary), fontsize=7, va="bottom")
        ax.set_ylabel(FINDING_LABELS[t.finding], fontsize=8)
        ax.legend(loc="upper left", fontsize=7, ncols=4)
    axes[0, 0].set_title(f"{machine}: {trend.measurements} measurements")
    fig.autofmt_xdate()
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)
