"""The drivetrain chain over one record: the order domain and the envelope.

`track_orders` is what a once-per-revolution tachometer makes possible: pulse
times, the high-speed shaft over shaft angle (order spectrum, harmonics and
their signature, the time-synchronous average and the gear mesh read from
it, the residual that the envelope reads) and, through a gear stage, the slow
shaft.  `analyze_chain` demodulates a resonance band, over shaft angle when
the record was tracked and over time otherwise, and reads the strongest
envelope line, its size over the noise and the cepstral period of its family.
"""

from dataclasses import dataclass

import numpy as np

from . import core_math as cm
from .problems import InputError, Note
from .records import MIN_SAMPLES, Record

__all__ = [
    "CEPSTRUM_FLOOR",
    "FAULT_HZ_RANGE",
    "FAULT_ORDER_RANGE",
    "MESH_MIN_ORDER",
    "MIN_BAND_CONDITIONING",
    "MIN_PULSES",
    "STRONG",
    "ChainAnalysis",
    "OrderDomain",
    "analyze_chain",
    "check_band",
    "default_band",
    "stable_band",
    "track_orders",
]

# The envelope's strongest line is searched between these multiples of shaft
# speed: below 1.5 orders sit shaft-rate modulation and the leakage of the
# spectrum's zero line, above 40 orders no rolling-element defect of a
# practical bearing.
FAULT_ORDER_RANGE = (1.5, 40.0)
# Without a tachometer the same search runs in Hz.
FAULT_HZ_RANGE = (2.0, 1000.0)
# The gear mesh is the strongest synchronous order above the first three harmonics.
MESH_MIN_ORDER = 4
MIN_PULSES = 3
# A line or rahmonic at least this share of the tallest counts as strong.
STRONG = 0.5
CEPSTRUM_FLOOR = 4.0  # multiple of the envelope spectrum's median below which it is clipped
# The envelope's band-pass is a 4th-order Butterworth in transfer-function
# form, run forwards and backwards.  Its poles crowd the unit circle when the
# band is narrow and close to 0 Hz or to Nyquist: once the distance from the
# nearer end times the width falls below about 1e-5 of the squared sample
# rate, rounding puts poles outside and unit noise comes out at 1e18, or NaN.
# Three times that keeps a margin.
MIN_BAND_CONDITIONING = 3e-5


def default_band(fs: float) -> tuple[float, float]:
    """An envelope band high enough to sit above gear mesh and shaft harmonics,
    where bearing impacts ring the structure: 8 % to 20 % of the sample rate."""
    return 0.08 * fs, 0.2 * fs


def stable_band(band_hz: tuple[float, float], fs: float) -> bool:
    """Whether the envelope's band-pass filter over `band_hz` (Hz, below
    Nyquist) stays stable at the sample rate `fs`."""
    low, high = band_hz[0] / fs, band_hz[1] / fs
    return min(low, 0.5 - high) * (high - low) >= MIN_BAND_CONDITIONING


def check_band(band_hz: tuple[float, float], fs: float) -> None:
    """Raises InputError unless the envelope's band-pass can take `band_hz`
    (Hz) at the sample rate `fs`: a band that rises, stays below Nyquist and
    keeps its filter stable."""
    low, high = band_hz
    if not 0 < low < high < fs / 2:
        raise InputError(
            f"envelope band {low:g}-{high:g} Hz must rise and stay below half the sample rate ({fs / 2:g} Hz)"
        )
    if not stable_band(band_hz, fs):
        raise InputError(
            f"envelope band {low:g}-{high:g} Hz is too narrow, or too close to 0 Hz or to half the"
            f" sample rate, for a stable band-pass filter at {fs:g} Hz; widen it or move it towards"
            " the middle"
        )


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


@dataclass(frozen=True, eq=False)  # arrays: compared by identity
class ChainAnalysis:
    """The chain's findings over one record.  A line or period not found is None."""

    name: str
    fs: float
    duration_s: float
    dc_offset: float
    overall_rms: float
    band_hz: tuple[float, float]
    order: OrderDomain | None
    spectrum_axis: np.ndarray  # order spectrum with a tachometer, else Hz
    spectrum_amps: np.ndarray
    env_axis: np.ndarray  # orders with a tachometer, else Hz
    env_amps: np.ndarray
    fault_peak: float | None  # strongest envelope line (its fundamental), on env_axis
    fault_amp: float | None
    env_noise_floor: float | None  # median of the envelope spectrum over the search range
    quefrency: np.ndarray  # revolutions with a tachometer, else s
    cepstrum: np.ndarray
    fault_period: float | None  # shortest strong cepstral period, on quefrency
    notes: tuple[Note, ...] = ()

    @property
    def env_bin(self) -> float:
        return float(self.env_axis[1] - self.env_axis[0])

    @property
    def angle_domain(self) -> bool:
        return self.order is not None


def _peak_in(axis: np.ndarray, amps: np.ndarray, low: float, high: float) -> tuple[float, float] | None:
    """Position and height of the largest value of `amps` with `axis` in [low,
    high]; None when the axis has no point there."""
    inside = np.flatnonzero((axis >= low) & (axis <= high))
    if inside.size == 0:
        return None
    best = inside[np.argmax(amps[inside])]
    return float(axis[best]), float(amps[best])


def _fundamental_line(axis: np.ndarray, amps: np.ndarray, low: float, high: float) -> tuple[float, float] | None:
    """Position and height of the fundamental of the dominant line in [low,
    high]: impacts give harmonics nearly as tall as their fundamental, so the
    tallest line may be one of them; a strong line at a half or a third of it
    is taken instead, as often as one is found."""
    line = _peak_in(axis, amps, low, high)
    bin_width = axis[1] - axis[0]
    stepped_down = line is not None
    while stepped_down and line is not None:
        stepped_down = False
        for divisor in (2, 3):
            candidate = line[0] / divisor
            if candidate < low:
                continue
            below = _peak_in(axis, amps, candidate - 2 * bin_width, candidate + 2 * bin_width)
            # On a coarse axis the window around the candidate reaches the line
            # itself; only a line below it is a step down, so the search ends.
            if below is not None and below[0] < line[0] and below[1] >= STRONG * line[1]:
                line, stepped_down = below, True
                break
    return line


def _fundamental_period(quefrency: np.ndarray, cepstrum: np.ndarray, low: float, high: float) -> float | None:
    """The shortest period among the strong rahmonics in [low, high]: a defect
    that rings harmonics at every multiple of its frequency shows peaks at every
    multiple of its period, and the second is often as tall as the first.
    None when the range holds no peak."""
    inside = np.flatnonzero((quefrency >= low) & (quefrency <= high))
    values = cepstrum[inside]
    local_max = (values[1:-1] >= values[:-2]) & (values[1:-1] >= values[2:])
    strong = np.flatnonzero(local_max & (values[1:-1] >= STRONG * values.max(initial=0.0)))
    return float(quefrency[inside[1 + strong[0]]]) if strong.size else None


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
    orders, order_amps = _spectrum(cm.compute_fft_dsp(order_wf, 1.0 / pts_per_rev))
    amp_1x, amp_2x, amp_3x = (cm.get_harmonic_peak(orders, order_amps, k) for k in (1.0, 2.0, 3.0))

    # One-revolution blocks keep what repeats with the high-speed shaft: its
    # harmonics and the pinion's mesh.  The rest, bearing impacts included, is
    # the residual that the envelope analysis reads.
    _, tsa_wf, tsa_blocks = cm.perform_tsa(order_wf, pts_per_rev, total_revs, 1)
    assert tsa_wf is not None  # two pulses or more: one whole revolution at least
    tsa_orders, tsa_amps = _spectrum(cm.compute_fft_dsp(tsa_wf, 1.0 / pts_per_rev))
    mesh = _peak_in(tsa_orders, tsa_amps, MESH_MIN_ORDER, tsa_orders[-1])
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
        lss_orders, lss_amps = _spectrum(cm.compute_fft_dsp(lss_wf, 1.0 / lss_pts))
        lss_1x = cm.get_harmonic_peak(lss_orders, lss_amps, 1.0)
    return lss_times, float(np.mean(np.diff(hss_counts))), lss_1x, ()


def _spectrum(pair: tuple[np.ndarray, np.ndarray] | tuple[None, None]) -> tuple[np.ndarray, np.ndarray]:
    """A spectrum of a waveform that has samples, as every waveform here has."""
    axis, amps = pair
    assert axis is not None and amps is not None
    return axis, amps


def analyze_chain(
    record: Record, order: OrderDomain | None = None, band_hz: tuple[float, float] | None = None
) -> ChainAnalysis:
    """The envelope and cepstrum of one record, with its levels.

    Parameters
    ----------
    record : Record
    order : OrderDomain, optional
        What `track_orders` gave for the record: the envelope is then read
        over shaft angle, in orders; over time, in Hz, without it.
    band_hz : (low, high), optional
        The envelope band, Hz (default: `default_band`).

    Returns
    -------
    ChainAnalysis

    Raises
    ------
    InputError
        For a record shorter than `MIN_SAMPLES`.
    """
    if len(record.vibration) < MIN_SAMPLES:
        raise InputError(f"{len(record.vibration)} samples, a record needs at least {MIN_SAMPLES}")
    band_hz = band_hz or default_band(record.fs)
    sample_rate: float
    vib_ac = cm.remove_dc_offset(record.vibration)
    if order is not None:
        # Over shaft angle the defect lines stay sharp however the speed
        # drifts; the band follows the resonance at the mean speed.
        sample_rate, band = order.pts_per_rev, (band_hz[0] / order.speed_hz, band_hz[1] / order.speed_hz)
        spectrum_axis, spectrum_amps = order.orders, order.order_amps
        search, unit, env_input = FAULT_ORDER_RANGE, "orders", order.residual
    else:
        sample_rate, band = record.fs, band_hz
        spectrum_axis, spectrum_amps = _spectrum(cm.compute_frequency_spectrum(vib_ac, record.fs))
        search, unit, env_input = FAULT_HZ_RANGE, "Hz", vib_ac
    env_axis, env_amps = cm.compute_envelope_spectrum(env_input, sample_rate, band[0], band[1])
    line = _fundamental_line(env_axis, env_amps, *search)
    # Clipping the noise floor leaves the log spectrum to the family of
    # defect lines, so the cepstrum reads their spacing and not the noise.
    in_search = (env_axis >= search[0]) & (env_axis <= search[1])
    notes: tuple[Note, ...] = ()
    noise_floor = None
    if in_search.any():
        noise_floor = float(np.median(env_amps[in_search]))
    else:  # the spectrum ends below the range (a slow sample rate) or its bins step over it (a short record)
        notes = (
            Note(
                "envelope",
                f"no bin of the spectrum (0 to {env_axis[-1]:.3g} {unit}, {env_axis[1]:.3g}"
                f" apart) lies in the line search range {search[0]:g}-{search[1]:g} {unit};"
                " no line read",
            ),
        )
    quefrency, cepstrum = cm.compute_cepstrum(
        env_amps if noise_floor is None else np.fmax(env_amps, CEPSTRUM_FLOOR * noise_floor),
        env_axis[1] - env_axis[0],
    )
    # The quefrency axis is the shorter of the two; its points pair with the
    # leading cepstrum values.
    cepstrum = cepstrum[: len(quefrency)]
    return ChainAnalysis(
        name=record.name,
        fs=record.fs,
        duration_s=float(record.t[-1] - record.t[0] + 1.0 / record.fs),
        dc_offset=float(np.mean(record.vibration - vib_ac)),
        overall_rms=cm.compute_true_overall_rms(record.vibration),
        band_hz=band_hz,
        order=order,
        spectrum_axis=spectrum_axis,
        spectrum_amps=spectrum_amps,
        env_axis=env_axis,
        env_amps=env_amps,
        fault_peak=None if line is None else line[0],
        fault_amp=None if line is None else line[1],
        env_noise_floor=noise_floor,
        quefrency=quefrency,
        cepstrum=cepstrum,
        fault_period=_fundamental_period(quefrency, cepstrum, 1.0 / search[1], 1.0 / search[0]),
        notes=notes,
    )
