"""Overall vibration severity: broadband velocity RMS and its zone of ISO 20816-3.

The velocity RMS is integrated from the acceleration record in the frequency
domain: the record is Hann-windowed and transformed once, and every bin in the
band contributes its acceleration power divided by (2 pi f)^2; the sum is the
velocity mean square.  Chosen over a band-pass filter and a time integration
because it needs neither: the band edges are as sharp as the record's
resolution allows (a filter's skirt would take its share of a tone near an
edge), there is no integration drift to remove, and each bin is integrated
exactly, not by a trapezoid whose gain falls towards the upper band edge.

The window and what it asks for:

- Leakage.  A record rarely holds a whole number of periods of a tone; a
  rectangular window then leaks the tone into every bin, 1/k^2 in power, and
  the 1/f^2 of the integration lifts the leaked power below the tone, most of
  all near the lower band edge.  The Hann window's leakage falls as 1/k^6 and
  stays within about two bins of the tone.
- Offset.  The periodic Hann window confines a constant, the accelerometer's
  bias, to the two lowest bins, far below the band (its lower edge is at bin
  `MIN_PERIODS` or above); the mean needs no removal.
- Power.  The window lowers the power the spectrum reads; dividing by its
  equivalent noise bandwidth, 1.5 bins, restores it for tones and noise alike.
- Spread.  The window's lobe spreads each line over +-2/T (T the record
  length) with variance 1/(3 T^2), and 1/f^2 weighs the part below the line
  more than the part above: the velocity power would read high by 1/(f T)^2
  (0.7 % for a tone of 12 periods).  Weighting each bin with
  (1 - 1/(f T)^2) / (2 pi f)^2 removes that term; what remains is of order
  1/(f T)^4.
- Edges.  Each bin stands for the frequencies within half a bin of it, and a
  bin that straddles an edge counts with its share inside the band, so the
  edge sits where it is asked for rather than on the nearest bin.

With a record of at least `MIN_PERIODS` periods of the band's lowest frequency,
whatever its phase and length, the velocity of a tone reads within 0.1 % when
it is 2/T or more inside both edges, and within 0.01 % from 3/T on.  A tone
within 2/T of an edge counts in part, about half of its power right on the
edge; 2/T is a fifth of the lower edge frequency at the minimum length and
narrows as the record grows.  Shorter records do not resolve the lowest
frequencies of the band: `assess_severity` gives a note and no number.

The upper edge is kept within the alias-free bandwidth of the record, fs / 2.56,
above which an analyser's anti-alias filter already attenuates.
"""

import bisect
import math
from collections.abc import Iterable
from dataclasses import dataclass

import numpy as np

from . import core_math as cm

STANDARD_G = 9.80665  # m/s2 per g
UNITS_TO_M_S2: dict[str, float] = {"g": STANDARD_G, "m/s2": 1.0}

# Velocity RMS at the zone boundaries A/B, B/C and C/D, mm/s.  Group 1: above
# 300 kW or shaft height 315 mm and more; group 2: 15 to 300 kW or shaft height
# 160 to 315 mm.
ZONE_BOUNDARIES_MM_S: dict[tuple[int, str], tuple[float, float, float]] = {
    (1, "rigid"): (2.3, 4.5, 7.1),
    (1, "flexible"): (3.5, 7.1, 11.0),
    (2, "rigid"): (1.4, 2.8, 4.5),
    (2, "flexible"): (2.3, 4.5, 7.1),
}
ZONES = "ABCD"

BAND_HZ = (10.0, 1000.0)
SLOW_SHAFT_LOW_HZ = 2.0  # lower band edge for shafts below 600 r/min
SLOW_SHAFT_HZ = 10.0     # 600 r/min
ALIAS_FREE_RATIO = 2.56  # sample rate per Hz of alias-free bandwidth
MIN_PERIODS = 10         # record length, in periods of the lowest band frequency
HANN_NOISE_BANDWIDTH_BINS = 1.5


@dataclass(frozen=True)
class Severity:
    """The overall velocity severity of one record and the zone it falls in."""

    velocity_rms_mm_s: float | None      # None when the record cannot give it (note says why)
    zone: str | None                     # "A" | "B" | "C" | "D"
    band_hz: tuple[float, float]         # the band actually used
    boundaries_mm_s: tuple[float, float, float]  # A/B, B/C, C/D
    machine_group: int
    support: str
    note: str | None = None              # record too short, band cut below Nyquist, ...


def _to_m_s2(units: str) -> float:
    try:
        return UNITS_TO_M_S2[units]
    except (KeyError, TypeError):
        raise ValueError(f"unknown units {units!r}: expected one of {', '.join(UNITS_TO_M_S2)}") from None


def _zone_boundaries(machine_group: int, support: str) -> tuple[float, float, float]:
    if machine_group not in {group for group, _ in ZONE_BOUNDARIES_MM_S}:
        raise ValueError(f"unknown machine group {machine_group!r}: expected 1 or 2")
    if support not in {kind for _, kind in ZONE_BOUNDARIES_MM_S}:
        raise ValueError(f"unknown support {support!r}: expected rigid or flexible")
    return ZONE_BOUNDARIES_MM_S[machine_group, support]


def _shortfall(n_samples: int, fs: float, low_hz: float) -> str | None:
    """Why a record is too short for the band's lowest frequency, or None."""
    needed_s = MIN_PERIODS / low_hz
    if n_samples / fs >= needed_s:
        return None
    return (
        f"record of {n_samples / fs:.3g} s is too short for the velocity from {low_hz:g} Hz: "
        f"it needs {MIN_PERIODS} periods, {needed_s:.3g} s"
    )


def severity_band(shaft_hz: float | None, fs: float) -> tuple[float, float]:
    """The band of the overall velocity, Hz.

    Parameters
    ----------
    shaft_hz : float or None
        Shaft speed in Hz, None when unknown.  Below 600 r/min (10 Hz) the band
        starts at 2 Hz, so that the running speed itself is inside it.
    fs : float
        Sample rate, Hz.

    Returns
    -------
    (low_hz, high_hz) : tuple of float
        10 Hz (or 2 Hz) to 1 kHz, the upper edge lowered to fs / 2.56 when
        that is below 1 kHz.

    Raises
    ------
    ValueError
        For a shaft speed that is not a positive number, or a sample rate too
        low to leave any band.
    """
    if not (math.isfinite(fs) and fs > 0):
        raise ValueError(f"sample rate must be a positive number of Hz, not {fs!r}")
    if shaft_hz is not None and not (math.isfinite(shaft_hz) and shaft_hz > 0):
        raise ValueError(f"shaft speed must be a positive number of Hz, not {shaft_hz!r}")
    low_hz = SLOW_SHAFT_LOW_HZ if shaft_hz is not None and shaft_hz < SLOW_SHAFT_HZ else BAND_HZ[0]
    high_hz = min(BAND_HZ[1], fs / ALIAS_FREE_RATIO)
    if high_hz <= low_hz:
        raise ValueError(
            f"sample rate of {fs:g} Hz is too low for the velocity from {low_hz:g} Hz: "
            f"it needs more than {ALIAS_FREE_RATIO * low_hz:g} Hz"
        )
    return low_hz, high_hz


def velocity_rms_mm_s(
    acceleration: np.ndarray, fs: float, band_hz: tuple[float, float], units: str = "g"
) -> float:
    """Velocity RMS over a band, integrated from acceleration in the frequency domain.

    Parameters
    ----------
    acceleration : array_like
        One-dimensional acceleration record; its mean does not count.
    fs : float
        Sample rate, Hz.
    band_hz : (float, float)
        Band edges, Hz, with 0 < low < high < fs / 2; edges included.
    units : {"g", "m/s2"}
        Unit of the acceleration.

    Returns
    -------
    float
        Velocity RMS in mm/s; infinity when it exceeds the floating-point range.

    Raises
    ------
    ValueError
        For an unknown unit, a band outside (0, fs / 2), a record that is not
        one-dimensional, holds a non-finite sample or is shorter than
        `MIN_PERIODS` periods of the band's lowest frequency.
    """
    to_m_s2 = _to_m_s2(units)
    low_hz, high_hz = band_hz
    if not 0 < low_hz < high_hz < fs / 2:
        raise ValueError(f"band {low_hz:g} to {high_hz:g} Hz must lie inside 0 to {fs / 2:g} Hz")
    acceleration = np.asarray(acceleration, dtype=float)
    if acceleration.ndim != 1:
        raise ValueError(f"acceleration must be one-dimensional, not of shape {acceleration.shape}")
    if not np.isfinite(acceleration).all():
        raise ValueError("acceleration holds non-finite samples")
    too_short = _shortfall(acceleration.size, fs, low_hz)
    if too_short:
        raise ValueError(too_short)
    # Scaled to a peak of one, so that no record's power overflows or underflows
    # on the way; the scale comes back on the root.
    peak = float(np.max(np.abs(acceleration)))
    if peak == 0.0:
        return 0.0
    freqs, power = cm.compute_frequency_spectrum(acceleration / peak, fs, scaling="rms", spectrum_format="power")
    assert freqs is not None and power is not None  # the record is at least MIN_PERIODS periods long
    bin_hz = freqs[1]
    # At most the whole bin; bins wholly outside come out negative and drop.
    in_band_share = (np.minimum(freqs + bin_hz / 2, high_hz) - np.maximum(freqs - bin_hz / 2, low_hz)) / bin_hz
    in_band = in_band_share > 0
    f = freqs[in_band]
    duration_s = acceleration.size / fs
    weight = in_band_share[in_band] * (1.0 - 1.0 / (f * duration_s) ** 2) / (2 * np.pi * f) ** 2
    velocity_ms = float(np.sum(power[in_band] * weight)) / HANN_NOISE_BANDWIDTH_BINS
    return math.sqrt(velocity_ms) * peak * to_m_s2 * 1000.0


def zone_of(velocity_mm_s: float, machine_group: int = 1, support: str = "rigid") -> str:
    """The zone, "A" to "D", of a velocity RMS in mm/s for a machine group (1 or 2)
    and its support ("rigid" or "flexible").  A velocity on a boundary is in
    the zone above it."""
    boundaries = _zone_boundaries(machine_group, support)
    if not velocity_mm_s >= 0:
        raise ValueError(f"velocity must be a non-negative number of mm/s, not {velocity_mm_s!r}")
    return ZONES[bisect.bisect_right(boundaries, velocity_mm_s)]


def assess_severity(
    acceleration: np.ndarray,
    fs: float,
    *,
    units: str = "g",
    machine_group: int = 1,
    support: str = "rigid",
    shaft_hz: float | None = None,
) -> Severity:
    """Overall velocity RMS of an acceleration record and its zone of ISO 20816-3.

    Parameters
    ----------
    acceleration : array_like
        One-dimensional acceleration record.
    fs : float
        Sample rate, Hz.
    units : {"g", "m/s2"}
        Unit of the acceleration.
    machine_group : {1, 2}
        1: above 300 kW or shaft height 315 mm and more; 2: 15 to 300 kW or
        shaft height 160 to 315 mm.
    support : {"rigid", "flexible"}
    shaft_hz : float or None
        Shaft speed in Hz when known: below 10 Hz the band starts at 2 Hz.

    Returns
    -------
    Severity
        With no velocity and no zone, and a note saying why, when the record is
        too short for the band's lowest frequency, holds non-finite samples, or
        its velocity exceeds the floating-point range.  The note also tells
        when the band's upper edge was lowered for the sample rate.

    Raises
    ------
    ValueError
        For an unknown unit, machine group or support, a shaft speed that is
        not a positive number, or a sample rate too low to leave any band.
    """
    _to_m_s2(units)  # a wrong setting fails whatever the record
    boundaries = _zone_boundaries(machine_group, support)
    band_hz = severity_band(shaft_hz, fs)
    acceleration = np.asarray(acceleration, dtype=float)
    notes = []
    if band_hz[1] < BAND_HZ[1]:
        notes.append(f"band cut at {band_hz[1]:.4g} Hz, the alias-free limit of a {fs:g} Hz sample rate")
    velocity = None
    if not np.isfinite(acceleration).all():
        notes.append("no velocity: the record holds non-finite samples")
    elif too_short := _shortfall(acceleration.size, fs, band_hz[0]):
        notes.append(f"no velocity: {too_short}")
    else:
        velocity = velocity_rms_mm_s(acceleration, fs, band_hz, units)
        if math.isinf(velocity):
            velocity = None
            notes.append("no velocity: the record is out of range, its velocity exceeds the floating-point range")
    return Severity(
        velocity_rms_mm_s=velocity,
        zone=None if velocity is None else zone_of(velocity, machine_group, support),
        band_hz=band_hz,
        boundaries_mm_s=boundaries,
        machine_group=machine_group,
        support=support,
        note="; ".join(notes) or None,
    )


def tone_velocity_rms_mm_s(
    tones: Iterable[tuple[float, float]], band_hz: tuple[float, float], units: str = "g"
) -> float:
    """The exact velocity RMS of a sum of sinusoids inside a band.

    Parameters
    ----------
    tones : iterable of (frequency_hz, amplitude)
        Sinusoids of distinct frequencies and their acceleration amplitudes
        (peak, in `units`); only those inside the band, edges included, count.
    band_hz : (float, float)
        Band edges, Hz.
    units : {"g", "m/s2"}
        Unit of the amplitudes.

    Returns
    -------
    float
        Velocity RMS in mm/s: the root-sum-square of A / (2 pi f) / sqrt(2).
    """
    to_m_s2 = _to_m_s2(units)
    low_hz, high_hz = band_hz
    velocity_rms_m_s = math.hypot(*(
        amplitude * to_m_s2 / (2 * math.pi * freq_hz) / math.sqrt(2)
        for freq_hz, amplitude in tones
        if low_hz <= freq_hz <= high_hz
    ))
    return velocity_rms_m_s * 1000.0
