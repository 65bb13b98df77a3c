"""The drivetrain chain over one record: the envelope of a resonance band and
its cepstrum.

`analyze_chain` demodulates the band, over shaft angle when the record was
tracked (`tracking.track_orders`) and over time otherwise, and reads the
strongest envelope line, its size over the noise and the cepstral period of
its family.
"""

from dataclasses import dataclass

import numpy as np

from . import core_math as cm
from .filterbank import default_band
from .problems import InputError, Note
from .records import MIN_SAMPLES, Record
from .tracking import OrderDomain, peak_in, spectrum_of

__all__ = ["CEPSTRUM_FLOOR", "FAULT_HZ_RANGE", "FAULT_ORDER_RANGE", "STRONG", "ChainAnalysis", "analyze_chain"]

# The envelope's strongest line is searched between these multiples of shaft
# speed: below 1.5 orders sit shaft-rate modulation and the leakage of the
# spectrum's zero line, above 40 orders no rolling-element defect of a
# practical bearing.
FAULT_ORDER_RANGE = (1.5, 40.0)
# Without a tachometer the same search runs in Hz.
FAULT_HZ_RANGE = (2.0, 1000.0)
# A line or rahmonic at least this share of the tallest counts as strong.
STRONG = 0.5
CEPSTRUM_FLOOR = 4.0  # multiple of the envelope spectrum's median below which it is clipped


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


def _fundamental_line(axis: np.ndarray, amps: np.ndarray, low: float, high: float) -> tuple[float, float] | None:
    """Position and height of the fundamental of the dominant line in [low,
    high]: impacts give harmonics nearly as tall as their fundamental, so the
    tallest line may be one of them; a strong line at a half or a third of it
    is taken instead, as often as one is found."""
    line = peak_in(axis, amps, low, high)
    bin_width = axis[1] - axis[0]
    stepped_down = line is not None
    while stepped_down and line is not None:
        stepped_down = False
        for divisor in (2, 3):
            candidate = line[0] / divisor
            if candidate < low:
                continue
            below = peak_in(axis, amps, candidate - 2 * bin_width, candidate + 2 * bin_width)
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


def analyze_chain(
    record: Record, order: OrderDomain | None = None, band_hz: tuple[float, float] | None = None
) -> ChainAnalysis:
    """The envelope and cepstrum of one record, with its levels.

    Parameters
    ----------
    record : Record
    order : OrderDomain, optional
        What `tracking.track_orders` gave for the record: the envelope is then read
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
        spectrum_axis, spectrum_amps = spectrum_of(cm.compute_frequency_spectrum(vib_ac, record.fs))
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
