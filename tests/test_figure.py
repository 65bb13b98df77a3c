"""The figure shows what was found where it was found: each panel's marks
stand at the drivetrain's pulses, harmonics, mesh, defect order and trend
events, and its title states them.  The figure is inspected, not rendered;
test_cli.py renders one."""

from dataclasses import replace

import numpy as np
import pytest
from matplotlib.figure import Figure

from kemo_pkg import figure
from kemo_pkg.analysis import Settings, assess_record
from kemo_pkg.demo import Drivetrain, make_history, make_record
from kemo_pkg.trend import assess_trend

SMALL = Drivetrain(fs=12800.0, duration_s=3.0)
RECORD = make_record(SMALL)
TREND = assess_trend(make_history(SMALL).band_level)


@pytest.fixture
def drawn(monkeypatch, tmp_path):
    """draw() with its arguments, giving back the figure it would have saved."""
    saved = []
    monkeypatch.setattr(Figure, "savefig", lambda fig, path, **kwargs: saved.append((fig, path)))

    def draw(assessment, record, trend=None, **marks):
        path = tmp_path / "out" / "figures" / "record.png"  # folders made as needed
        figure.draw(assessment, path, record, trend, **marks)
        (fig, saved_path), = saved
        assert saved_path == path and path.parent.is_dir()
        return fig
    return draw


def marks(ax, marker):
    """x and y of the points drawn with `marker`."""
    points = [line for line in ax.lines if line.get_marker() == marker and line.get_linestyle() == "None"]
    return np.concatenate([p.get_xdata() for p in points]), np.concatenate([p.get_ydata() for p in points])


def axis_labels(fig):
    return [(ax.get_xlabel(), ax.get_ylabel()) for ax in fig.axes]


def vertical_lines(ax):
    return sorted(float(line.get_xdata()[0]) for line in ax.lines
                  if len(set(line.get_xdata())) == 1 and line.get_linestyle() != "None")


def test_every_panel_marks_the_drivetrains_findings(drawn):
    assessment = assess_record(RECORD, Settings(gear_ratio=SMALL.gear_ratio, bearing=SMALL.bearing))
    fig = drawn(assessment, RECORD, TREND, truth_fault=SMALL.bpfo_order, onset=SMALL.onset_day)
    tach, speed, orders, envelope, trend, anomaly, bearing, kurtogram = fig.axes[:8]
    pulses, mean_hz = SMALL.pulse_times(), SMALL.mean_speed()

    assert tach.get_title() == f"Tachometer pulses: {len(pulses)} found, mean {mean_hz:.2f} Hz"
    # Six revolutions of the tachometer, each pulse marked above its peak.
    np.testing.assert_allclose(marks(tach, "v")[0], pulses[:7], atol=1 / SMALL.fs)
    order = assessment.chain.order
    detected = order.pulse_times
    shown_s = tach.lines[0].get_xdata()
    assert shown_s[0] == RECORD.t[0]
    assert shown_s[-1] == pytest.approx(detected[6] + 0.5 / order.speed_hz, abs=1 / SMALL.fs)
    assert tach.get_ylim()[1] == pytest.approx(1.25 * tach.lines[0].get_ydata().max())
    # The speed between each pair of pulses, at their midpoint, and its mean.
    np.testing.assert_allclose(speed.lines[0].get_xdata(), (detected[1:] + detected[:-1]) / 2)
    swing = speed.lines[0].get_ydata()
    assert mean_hz - SMALL.speed_drift_hz <= swing.min() < swing.max() <= mean_hz + SMALL.speed_drift_hz
    assert speed.lines[1].get_ydata()[0] == pytest.approx(mean_hz, rel=1e-3)
    assert speed.get_title() == (f"High-speed shaft speed from the pulses, mean {mean_hz:.2f} Hz\n"
                                 f"slow shaft 18 revolutions, mean {mean_hz / 4:.3f} Hz")

    assert orders.get_title() == "Order spectrum: harmonic signature level 2"
    x, y = marks(orders, "o")
    np.testing.assert_allclose(x, [1, 2, 3, SMALL.pinion_teeth])
    np.testing.assert_allclose(y, [SMALL.amp_1x, SMALL.amp_2x, SMALL.amp_3x, SMALL.mesh_amp], atol=0.01)
    labels = {a.get_text(): a.xy[0] for a in orders.texts}
    assert labels == {"1x": 1, "2x": 2, "3x": 3, f"mesh {SMALL.pinion_teeth}": SMALL.pinion_teeth,
                      "slow 1x": pytest.approx(1 / SMALL.gear_ratio, rel=1e-3)}
    assert orders.get_xlim() == (0, SMALL.pinion_teeth + 5)
    assert orders.get_ylim() == pytest.approx((0, 1.2 * max(y)))

    fault = assessment.chain.fault_peak
    low, high = assessment.bearing.band_hz  # the chain demodulates where the bearing diagnosis looked
    # The strongest line is the outer race's, which the bearing diagnosis found.
    assert envelope.get_title() == f"Envelope spectrum {low:.0f}-{high:.0f} Hz: outer race line at {fault:.4f} orders"
    np.testing.assert_allclose(vertical_lines(envelope), fault * np.arange(1, 6))
    assert envelope.get_xlim() == pytest.approx((0, 5.7 * fault))  # five harmonics and a margin
    assert marks(envelope, "v")[0] == pytest.approx([SMALL.bpfo_order])

    assert vertical_lines(trend) == vertical_lines(anomaly) == [SMALL.onset_day]
    assert [(a.get_text(), a.xy) for a in trend.texts] == [("outlier", (SMALL.spike_day,
                                                                      TREND.feature[SMALL.spike_day]))]
    assert [ax.get_title() for ax in (trend, anomaly)] == ["Condition trend",
                                                          "Anomaly score and degradation velocity"]
    assert marks(anomaly, "o") == ([TREND.alarm_index], [TREND.zscore[TREND.alarm_index]])
    np.testing.assert_array_equal(fig.axes[8].lines[0].get_ydata(), TREND.velocity)  # on the right-hand axis

    assert bearing.get_title() == f"Envelope spectrum {low:.0f}-{high:.0f} Hz over its floor: outer race defect (clear)"
    outer_race = assessment.bearing.defects["outer_race"].found_hz
    assert outer_race * np.arange(1, 4) == pytest.approx([x for x in vertical_lines(bearing)
                                                          if abs(x / outer_race - round(x / outer_race)) < 1e-9])
    # The kurtogram spans 0 Hz to the Nyquist of the diagnosis, one row per level, the band chosen shaded.
    kurt = assessment.bearing.kurtogram
    assert kurtogram.images[0].get_extent() == [0.0, kurt.nyquist_hz, len(kurt.levels), 0.0]
    assert kurtogram.patches[0].get_x() == pytest.approx(low)
    assert kurtogram.get_title() == "Kurtogram of the record, lines removed (band chosen: shaded)"
    # Each level's label in the middle of its row.
    assert list(kurtogram.get_yticks()) == [k + 0.5 for k in range(len(kurt.levels))]
    assert [t.get_text() for t in kurtogram.get_yticklabels()] == [f"{level:g}" for level in kurt.levels]
    # Over shaft angle the axes read in orders; the trend in days unless told otherwise.
    assert axis_labels(fig) == [
        ("time (s)", "tachometer (V)"), ("time (s)", "speed (Hz)"),
        ("order (per high-speed revolution)", "amplitude (g peak)"),
        ("order (per high-speed revolution)", "envelope amplitude (g)"), ("day", "level"), ("day", "z-score"),
        ("frequency (Hz)", "line / local floor"), ("frequency (Hz)", "level"), ("", "velocity (per day)"),
        ("", "spectral kurtosis")]


def test_without_tachometer_the_panels_show_time_and_frequency(drawn):
    record = replace(RECORD, tach=None)
    assessment = assess_record(record, Settings(band_hz=(1000.0, 2500.0), bearing=SMALL.bearing, rpm=1500.0,
                                                units="m/s2"))
    defects = {d: replace(e, present=False) for d, e in assessment.bearing.defects.items()}
    healthy = replace(assessment, bearing=replace(assessment.bearing, verdict="none", defects=defects))
    fig = drawn(healthy, record)
    tach, spectrum, low_range, envelope, bearing, kurtogram = fig.axes
    assert [ax.get_title() for ax in (tach, spectrum, low_range)] == [
        "Vibration waveform (no tachometer)", "Frequency spectrum",
        "Frequency spectrum to 1000 Hz (no tachometer, no orders)"]
    # The analyst's band: no kurtogram, and the bearing read in that band.
    assert kurtogram.get_title() == "Kurtogram (not computed for a band given)" and not kurtogram.axison
    assert bearing.get_title() == "Envelope spectrum 1000-2500 Hz over its floor: no bearing defect"
    # A quarter of a second of the waveform, the spectrum to twice the band's top.
    np.testing.assert_array_equal(tach.lines[0].get_ydata(), record.vibration[record.t < 0.25])
    shown_hz = spectrum.lines[0].get_xdata()
    assert shown_hz[-1] <= 5000.0 < shown_hz[-1] + 1 / SMALL.duration_s
    assert spectrum.patches[0].get_x() == 1000.0 and low_range.get_xlim() == (0.0, 1000.0)
    assert low_range.lines[0].get_xdata()[-1] == pytest.approx(1000.0, abs=1 / SMALL.duration_s)
    # No bearing defect: the chain's line is the strongest, and no more.
    assert envelope.get_title().endswith(f": strongest line at {assessment.chain.fault_peak:.4f} Hz")
    # Over time the axes read in Hz, the levels in the record's unit; one record has no trend.
    assert axis_labels(fig) == [
        ("time (s)", "vibration (m/s2)"), ("frequency (Hz)", "amplitude (m/s2 peak)"),
        ("frequency (Hz)", "amplitude (m/s2 peak)"), ("frequency (Hz)", "envelope amplitude (m/s2)"),
        ("frequency (Hz)", "line / local floor"), ("", "")]


def test_a_tachometer_that_gave_no_pulses_leaves_the_waveform_and_no_bearing_panels(drawn):
    record = replace(RECORD, tach=np.zeros_like(RECORD.tach))
    fig = drawn(assess_record(record, Settings(rpm=1500.0)), record, TREND)
    assert len(fig.axes) == 7  # six panels and the velocity's right-hand axis
    assert fig.axes[0].get_title() == "Vibration waveform (no tachometer)"
