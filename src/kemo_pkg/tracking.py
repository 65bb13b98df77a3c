"""Order tracking: what a once-per-revolution tachometer makes possible.

`track_orders` times the high-speed shaft by the tachometer's pulses and
resamples the record over shaft angle: the order spectrum, the first
harmonics and their signature, the time-synchronous average and the gear
mesh read from it, the residual that the envelope reads, and, through a gear
stage, the slow shaft's revolutions.  Over angle the lines of everything
turning with the shaft stay sharp however the speed drifts.
"""

from dataclasses import dataclass

import numpy as np

from . import core_math as cm
from .problems import Note
from .records import Record

__all__ = ["MESH_MIN_ORDER", "MIN_PULSES", "OrderDomain", "peak_in", "spectrum_of", "track_orders"]

# The gear mesh is the strongest synchronous order above the first three harmonics.
MESH_MIN_ORDER = 4
MIN_PULSES = 3  # two pulses bound one revolution; three give a speed and its first change


@dataclass(frozen=True, eq=False)  # arrays: compared by identity
class OrderDomain:
    """What the tachometer makes possible: everything over shaft angle."""

    pulse_times: np.ndarray
    speed_hz: float  # mean high-speed shaft speed over the pulses
    total_revs: int
    pts_per_rev: int
    orders: np.ndarray  # order spectrum of the whole tracked record
    order_amps: np.ndarray
    harmonics: tuple[float, float, float]
    signature_level: int
    tsa_blocks: int
    tsa_wf: np.ndarray  # one averaged revolution
    order_wf: np.ndarray  # the whole record over shaft angle, pts_per_rev points a revolution
    residual: np.ndarray  # order_wf less its synchronous average: what the envelope reads
    mesh_order: int | None  # None when the average holds no order above MESH_MIN_ORDER
    mesh_amp: float | None  # read from the synchronous average
    mesh_band_energy: float | None  # read from the order spectrum, mesh order +- 0.5
    lss_times: np.ndarray | None = None  # the slow shaft's whole revolutions, through a gear stage
    hss_revs_per_lss_rev: float | None = None
    lss_1x: float | None = None


def peak_in(axis: np.ndarray, amps: np.ndarray, low: float, high: float) -> tuple[float, float] | None:
    """Position and height of the largest value of `amps` with `axis` in [low,
    high]; None when the axis has no point there."""
    inside = np.flatnonzero((axis >= low) & (axis <= high))
    if inside.size == 0:
        return None
    best = inside[np.argmax(amps[inside])]
    return float(axis[best]), float(amps[best])


def track_orders(record: Record, gear_ratio: float = 1.0) -> tuple[OrderDomain | None, tuple[Note, ...]]:
    """Everything over shaft angle that the record's tachometer makes possible,
    and notes of what it did not.

    Parameters
    ----------
    record : Record
    gear_ratio : float
        High-speed revolutions per slow-shaft revolution; 1 for no gear stage.

    Returns
    -------
    order : OrderDomain or None
        None without a tachometer, or when its pulses cannot time the shaft.
    notes : tuple of Note
    """
    if record.tach is None:
        return None, ()
    pulses = cm.get_tach_midpoints(record.t, record.tach)
    if len(pulses) < MIN_PULSES:
        return None, (Note("tachometer", f"{len(pulses)} pulse(s) found, too few to track orders; analysed over time"),)
    vib_ac = cm.remove_dc_offset(record.vibration)
    _, order_wf, total_revs, pts_per_rev = cm.perform_order_tracking(record.t, vib_ac, pulses)
    if order_wf is None:
        return None, (Note("tachometer", "no vibration samples between the pulses; analysed over time"),)
    orders, order_amps = spectrum_of(cm.compute_fft_dsp(order_wf, 1.0 / pts_per_rev))
    amp_1x, amp_2x, amp_3x = (cm.get_harmonic_peak(orders, order_amps, k) for k in (1.0, 2.0, 3.0))

    # One-revolution blocks keep what repeats with the high-speed shaft: its
    # harmonics and the pinion's mesh.  The rest, bearing impacts included, is
    # the residual that the envelope analysis reads.
    _, tsa_wf, tsa_blocks = cm.perform_tsa(order_wf, pts_per_rev, total_revs, 1)
    assert tsa_wf is not None  # two pulses or more: one whole revolution at least
    tsa_orders, tsa_amps = spectrum_of(cm.compute_fft_dsp(tsa_wf, 1.0 / pts_per_rev))
    mesh = peak_in(tsa_orders, tsa_amps, MESH_MIN_ORDER, tsa_orders[-1])
    mesh_order = None if mesh is None else round(mesh[0])
    lss_times, hss_revs_per_lss_rev, lss_1x, notes = _slow_shaft(record, vib_ac, pulses, gear_ratio)
    order = OrderDomain(
        pulse_times=pulses,
        speed_hz=float((len(pulses) - 1) / (pulses[-1] - pulses[0])),
        total_revs=total_revs,
        pts_per_rev=pts_per_rev,
        orders=orders,
        order_amps=order_amps,
        harmonics=(amp_1x, amp_2x, amp_3x),
        signature_level=cm.detect_harmonic_signature(amp_1x, amp_2x, amp_3x),
        tsa_blocks=tsa_blocks,
        tsa_wf=tsa_wf,
        order_wf=order_wf,
        residual=order_wf - np.tile(tsa_wf, tsa_blocks),
        mesh_order=mesh_order,
        mesh_amp=None if mesh is None else mesh[1],
        mesh_band_energy=None if mesh is None else cm.get_band_energy(orders, order_amps, mesh[0] - 0.5, mesh[0] + 0.5),
        lss_times=lss_times,
        hss_revs_per_lss_rev=hss_revs_per_lss_rev,
        lss_1x=lss_1x,
    )
    return order, notes


def _slow_shaft(
    record: Record, vib_ac: np.ndarray, pulses: np.ndarray, gear_ratio: float
) -> tuple[np.ndarray | None, float | None, float | None, tuple[Note, ...]]:
    """The slow shaft's revolution times behind the gear stage, high-speed
    revolutions per slow revolution and the slow shaft's 1x; None without a
    gear stage or a whole slow revolution."""
    if gear_ratio == 1.0:
        return None, None, None, ()
    lss_times = cm.generate_fault_freq_fast(pulses, gear_ratio)
    if lss_times is None:
        return (
            None,
            None,
            None,
            (Note("slow shaft", f"the record holds less than one revolution at gear ratio {gear_ratio:g}"),),
        )
    # High-speed revolution count at each slow-shaft revolution: the pulse
    # index, interpolated at the slow-shaft times.
    hss_counts = np.interp(lss_times, pulses, np.arange(len(pulses)))
    _, lss_wf, _, lss_pts = cm.perform_order_tracking(record.t, vib_ac, lss_times)
    lss_1x = None
    if lss_wf is not None:
        lss_orders, lss_amps = spectrum_of(cm.compute_fft_dsp(lss_wf, 1.0 / lss_pts))
        lss_1x = cm.get_harmonic_peak(lss_orders, lss_amps, 1.0)
    return lss_times, float(np.mean(np.diff(hss_counts))), lss_1x, ()


def spectrum_of(pair: tuple[np.ndarray, np.ndarray] | tuple[None, None]) -> tuple[np.ndarray, np.ndarray]:
    """A spectrum of a waveform that has samples, as every waveform here has."""
    axis, amps = pair
    assert axis is not None and amps is not None
    return axis, amps
