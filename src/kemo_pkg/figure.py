"""The one-page figure of an assessment: the four panels of the record an
analyst reads first; with a machine's history the trend and its anomaly
score; with a bearing diagnosis the envelope spectrum the verdict was read
from, each defect's harmonics marked, and the kurtogram.  Levels are in the
record's units."""

from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # files only; no display is needed or wanted
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.axes import Axes  # noqa: E402

from .analysis import Assessment  # noqa: E402
from .bearing import DEFECT_LABELS, HARMONICS, SLIP_TOLERANCE, BearingDiagnosis  # noqa: E402
from .drivetrain import ChainAnalysis  # noqa: E402
from .records import Record  # noqa: E402
from .trend import FINDING_LABELS, Z_ALARM, MachineTrend, TrendAssessment  # noqa: E402

__all__ = ["draw", "draw_machine_trend", "envelope_line"]

TACH_REVS_SHOWN = 6
LOW_RANGE_HZ = 1000.0
FAULT_HARMONICS = 5
MESH_SHOWN = 20  # orders shown when the synchronous average holds no gear mesh


def _tach_panel(ax: Axes, record: Record, analysis: ChainAnalysis, units: str) -> None:
    o = analysis.order
    if o is None or record.tach is None:
        # Without shaft timing the raw waveform takes the panel.
        shown = record.t < record.t[0] + 0.25
        ax.plot(record.t[shown], record.vibration[shown], lw=0.6, color="tab:blue")
        ax.set(title="Vibration waveform (no tachometer)", xlabel="time (s)", ylabel=f"vibration ({units})")
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


def _speed_panel(ax: Axes, analysis: ChainAnalysis, units: str) -> None:
    o = analysis.order
    if o is None:
        shown = analysis.spectrum_axis <= min(analysis.spectrum_axis[-1], 2 * analysis.band_hz[1])
        ax.semilogy(analysis.spectrum_axis[shown], analysis.spectrum_amps[shown], lw=0.6)
        ax.axvspan(*analysis.band_hz, color="tab:orange", alpha=0.15, label="envelope band")
        ax.set(title="Frequency spectrum", xlabel="frequency (Hz)", ylabel=f"amplitude ({units} peak)")
        ax.legend(loc="upper right", fontsize=8)
        return
    pulses = o.pulse_times
    ax.plot((pulses[1:] + pulses[:-1]) / 2, 1.0 / np.diff(pulses), lw=1.0, color="tab:blue")
    ax.axhline(o.speed_hz, color="0.5", ls=":", lw=0.9)
    title = f"High-speed shaft speed from the pulses, mean {o.speed_hz:.2f} Hz"
    if o.lss_times is not None and o.hss_revs_per_lss_rev is not None:
        title += f"\nslow shaft {len(o.lss_times) - 1} revolutions, mean {o.speed_hz / o.hss_revs_per_lss_rev:.3f} Hz"
    ax.set(title=title, xlabel="time (s)", ylabel="speed (Hz)")


def _order_spectrum_panel(ax: Axes, analysis: ChainAnalysis, units: str) -> None:
    o = analysis.order
    if o is None:
        # Without shaft timing, the low range where shaft harmonics and gear mesh sit.
        shown = analysis.spectrum_axis <= LOW_RANGE_HZ
        ax.plot(analysis.spectrum_axis[shown], analysis.spectrum_amps[shown], lw=0.7, color="tab:blue")
        ax.set(title=f"Frequency spectrum to {LOW_RANGE_HZ:g} Hz (no tachometer, no orders)",
               xlabel="frequency (Hz)", ylabel=f"amplitude ({units} peak)", xlim=(0, LOW_RANGE_HZ))
        return
    top_order = (o.mesh_order or MESH_SHOWN) + 5
    shown = o.orders <= top_order
    ax.plot(o.orders[shown], o.order_amps[shown], lw=0.7, color="tab:blue")
    for k, amp in zip((1, 2, 3), o.harmonics):
        ax.annotate(f"{k}x", (k, amp),
                    xytext=(0, 6), textcoords="offset points", ha="center", fontsize=8, color="tab:red")
        ax.plot(k, amp, "o", color="tab:red", ms=4)
    if o.mesh_order is not None and o.mesh_amp is not None:
        ax.annotate(f"mesh {o.mesh_order}", (o.mesh_order, o.mesh_amp),
                    xytext=(0, 6), textcoords="offset points", ha="center", fontsize=8, color="tab:purple")
        ax.plot(o.mesh_order, o.mesh_amp, "o", color="tab:purple", ms=4)
    if o.lss_1x is not None and o.hss_revs_per_lss_rev is not None:
        ax.annotate("slow 1x", (1.0 / o.hss_revs_per_lss_rev, o.lss_1x),
                    xytext=(0, 6), textcoords="offset points", ha="center", fontsize=8, color="tab:green")
    ax.set(title=f"Order spectrum: harmonic signature level {o.signature_level}",
           xlabel="order (per high-speed revolution)", ylabel=f"amplitude ({units} peak)", xlim=(0, top_order),
           ylim=(0, 1.2 * max(o.mesh_amp or 0.0, *o.harmonics)))


def envelope_line(assessment: Assessment) -> str:
    """What the chain's strongest envelope line is, as the figure names it:
    the line of a defect the bearing diagnosis found present, where that
    defect's lines stand (within its slip tolerance and a bin), else the
    strongest line; "no line" when none was found."""
    chain = assessment.chain
    if chain is None or chain.fault_peak is None:
        return "no line"
    at = f"{chain.fault_peak:.4f} {'orders' if chain.angle_domain else 'Hz'}"
    to_hz = 1.0 if chain.order is None else chain.order.speed_hz
    present = [] if assessment.bearing is None else [e for e in assessment.bearing.defects.values() if e.present]
    for e in present:
        if abs(chain.fault_peak * to_hz - e.found_hz) <= SLIP_TOLERANCE[e.defect] * e.found_hz + chain.env_bin * to_hz:
            return f"{DEFECT_LABELS[e.defect]} line at {at}"
    return f"strongest line at {at}"


def _envelope_panel(ax: Axes, assessment: Assessment, analysis: ChainAnalysis, truth_fault: float | None) -> None:
    in_orders = analysis.angle_domain
    line = analysis.fault_peak
    top = (FAULT_HARMONICS + 0.7) * line if line is not None else analysis.env_axis[-1]
    shown = analysis.env_axis <= top
    ax.plot(analysis.env_axis[shown], analysis.env_amps[shown], lw=0.7, color="tab:blue")
    if line is not None:
        for k in range(1, FAULT_HARMONICS + 1):
            ax.axvline(k * line, color="tab:red", ls=":", lw=0.9,
                       label="strongest line and harmonics" if k == 1 else None)
    if truth_fault is not None and analysis.fault_amp is not None:
        ax.plot(truth_fault, analysis.fault_amp * 1.08, "v", color="k", label=f"injected {truth_fault:g}")
    low, high = analysis.band_hz
    ax.set(title=f"Envelope spectrum {low:.0f}-{high:.0f} Hz: {envelope_line(assessment)}",
           xlabel="order (per high-speed revolution)" if in_orders else "frequency (Hz)",
           ylabel=f"envelope amplitude ({assessment.units})", xlim=(0, top))
    if line is not None:
        ax.legend(loc="upper right", fontsize=8)


def _trend_panel(ax: Axes, trend: TrendAssessment, onset: int | None, unit: str, label: str) -> None:
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


def _anomaly_panel(ax: Axes, trend: TrendAssessment, onset: int | None, unit: str) -> None:
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


def _bearing_envelope_panel(ax: Axes, bearing: BearingDiagnosis) -> None:
    ax.plot(bearing.envelope_hz, bearing.envelope_ratio, lw=0.6, color="tab:blue")
    for defect, e in bearing.defects.items():
        found = e.found_hz if np.isfinite(e.found_hz) else e.frequency_hz
        for k in range(1, HARMONICS + 1):
            ax.axvline(k * found, color=DEFECT_COLOURS[defect], ls="-" if e.present else ":", lw=1.0,
                       label=f"{DEFECT_LABELS[defect]}{' (present)' if e.present else ''}" if k == 1 else None)
    low, high = bearing.band_hz
    ax.set(title=f"Envelope spectrum {low:.0f}-{high:.0f} Hz over its floor: {bearing.verdict_text}",
           xlabel="frequency (Hz)", ylabel="line / local floor")
    ax.legend(loc="upper right", fontsize=8)


def _kurtogram_panel(ax: Axes, bearing: BearingDiagnosis) -> None:
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


def draw(assessment: Assessment, path: Path, record: Record, trend: TrendAssessment | None = None,
         truth_fault: float | None = None, onset: int | None = None, trend_unit: str = "day",
         trend_label: str = "level") -> None:
    """Writes the figure of `assessment` (of a usable record, whose chain ran)
    to `path` (PNG), with the panels of `trend`, a machine's history, when
    given; `truth_fault` and `onset` mark injected values when they are known."""
    analysis = assessment.chain
    if analysis is None:
        raise ValueError("no figure of a record whose chain did not run (a sensor fault)")
    rows = 2 + (trend is not None) + (assessment.bearing is not None)
    fig, axes = plt.subplots(rows, 2, figsize=(14, 4 * rows), layout="constrained", squeeze=False)
    _tach_panel(axes[0, 0], record, analysis, assessment.units)
    _speed_panel(axes[0, 1], analysis, assessment.units)
    _order_spectrum_panel(axes[1, 0], analysis, assessment.units)
    _envelope_panel(axes[1, 1], assessment, analysis, truth_fault)
    if trend is not None:
        _trend_panel(axes[2, 0], trend, onset, trend_unit, trend_label)
        _anomaly_panel(axes[2, 1], trend, onset, trend_unit)
    if assessment.bearing is not None:
        _bearing_envelope_panel(axes[-1, 0], assessment.bearing)
        _kurtogram_panel(axes[-1, 1], assessment.bearing)
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
            boundaries = trend.outlook.boundaries_mm_s
            for zone, boundary, below in zip("BCD", boundaries, (0.0, *boundaries)):
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
