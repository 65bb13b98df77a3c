"""Demodulation bands of a record: which band the envelope's band-pass can
take, the 1/3-binary filter-bank tree, the squared envelope of every band,
and the kurtogram.

A bearing defect rings the structure's resonances with a short impact at every
contact; which resonance carries the impacts best depends on the machine, the
sensor and its mounting, so the band is chosen from the record.  The tree
splits the band from 0 Hz to Nyquist into 2**k equal bands at level k and into
3 * 2**(k-1) bands at the intermediate level k + 0.6 (the 1/3 levels), as the
fast kurtogram does.

Every band is cut from one transform of the record: the band's bins, with
raised-cosine edges, brought down to 0 Hz and transformed back give its
analytic signal, zero-padded so that its squared envelope does not alias
below a chosen frequency (by default anywhere, at twice the band's width).
This costs one short transform per band and keeps the band edges exactly
where the tree puts them.
"""

import math
from dataclasses import dataclass

import numpy as np
import scipy.fft as sfft

from .problems import InputError

__all__ = [
    "EDGE_TAPER", "MIN_BAND_BINS", "MIN_BAND_CONDITIONING", "Kurtogram", "LevelEnvelopes", "band_envelope", "bands_at",
    "check_band", "default_band", "fast_length_at_most", "level_envelopes", "resolved_levels", "spectral_kurtosis",
    "stable_band", "tree_levels",
]

EDGE_TAPER = 0.1  # share of a band's bins on each side that fade in and out
MIN_BAND_BINS = 4  # narrower bands leave no room for the tapers and a flat top
# The envelope's band-pass is a 4th-order Butterworth in transfer-function
# form, run forwards and backwards.  Its poles crowd the unit circle when the
# band is narrow and close to 0 Hz or to Nyquist: once the distance from the
# nearer end times the width falls below about 1e-5 of the squared sample
# rate, rounding puts poles outside and unit noise comes out at 1e18, or NaN.
# Three times that keeps a margin.
MIN_BAND_CONDITIONING = 3e-5


def fast_length_at_most(n: int) -> int:
    """The longest length not above `n` whose real transform is fast (its
    prime factors are 2, 3 and 5): the record is cut by well under 1 %."""
    if n < 1:
        raise ValueError(f"record length must be positive, not {n}")
    length = n
    while sfft.next_fast_len(length, real=True) != length:
        length -= 1
    return length


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


def tree_levels(max_level: int) -> list[float]:
    """Levels 0, 1, 1.6, 2, 2.6, ..., max_level of the 1/3-binary tree."""
    levels = [0.0, 1.0]
    for k in range(2, max_level + 1):
        levels += [k - 0.4, float(k)]
    return levels


def resolved_levels(max_level: int, bins: int) -> list[float]:
    """The levels of the tree up to `max_level` whose bands span at least
    MIN_BAND_BINS bins of a one-sided transform of `bins` bins: a short record
    resolves only the coarse levels."""
    return [level for level in tree_levels(max_level) if (bins - 1) // bands_at(level) >= MIN_BAND_BINS]


def bands_at(level: float) -> int:
    """Number of equal bands between 0 Hz and Nyquist at `level`."""
    whole = int(np.ceil(level))
    return 1 << whole if level == whole else 3 << (whole - 2)


@dataclass(frozen=True, eq=False)  # arrays: compared by identity
class LevelEnvelopes:
    """Squared envelopes of the equal bands of one tree level.

    Row i of `envelopes` is band i, from `low_hz[i]` to `low_hz[i] + width_hz`;
    its samples are evenly spaced over the whole record, so the spectrum of
    every row has the record's frequency resolution."""

    level: float
    low_hz: np.ndarray
    width_hz: float
    envelopes: np.ndarray
    rate_hz: float  # sample rate of the envelopes
    nyquist_hz: float  # the record's highest line: no band reaches past it

    @property
    def high_hz(self) -> np.ndarray:
        return np.minimum(self.low_hz + self.width_hz, self.nyquist_hz)


def level_envelopes(spectrum: np.ndarray, df: float, level: float, alias_free_hz: float = np.inf) -> LevelEnvelopes:
    """Squared envelopes of the bands of `level`, from the one-sided transform
    `spectrum` of a record (bin spacing `df` Hz), free of aliasing below
    `alias_free_hz`.  The 0 Hz bin is left out."""
    n_bands = bands_at(level)
    return _envelopes(spectrum, df, level, 1, n_bands, (len(spectrum) - 1) // n_bands, alias_free_hz)


def band_envelope(spectrum: np.ndarray, df: float, band_hz: tuple[float, float],
                  alias_free_hz: float = np.inf) -> LevelEnvelopes:
    """Squared envelope of the one band `band_hz`, as a level of one band."""
    first = max(1, int(round(band_hz[0] / df)))
    last = min(len(spectrum) - 1, int(round(band_hz[1] / df)))
    return _envelopes(spectrum, df, 0.0, first, 1, last - first, alias_free_hz)


def _envelopes(spectrum: np.ndarray, df: float, level: float, first: int, n_bands: int, width: int,
               alias_free_hz: float) -> LevelEnvelopes:
    if width < MIN_BAND_BINS:
        raise ValueError(f"bands of {width} bins are too narrow to demodulate; use fewer levels or a wider band")
    bins = spectrum[first : first + n_bands * width].reshape(n_bands, width)
    taper = max(1, int(EDGE_TAPER * width))
    ramp = 0.5 - 0.5 * np.cos(np.pi * (np.arange(taper) + 0.5) / taper)
    window = np.ones(width)
    window[:taper] = ramp
    window[-taper:] = ramp[::-1]
    # The squared envelope reaches up to the band's width; sampled at `padded`
    # bins' rate, what lies above half of it folds down to no less than
    # padded - width bins.
    padded = sfft.next_fast_len(2 * width if alias_free_hz >= width * df else width + math.ceil(alias_free_hz / df))
    analytic = sfft.ifft(bins * window.astype(bins.real.dtype), padded, axis=1, workers=1)
    squared = analytic.real**2 + analytic.imag**2
    return LevelEnvelopes(level, (first + np.arange(n_bands) * width) * df, width * df, squared, padded * df,
                          (len(spectrum) - 1) * df)


def spectral_kurtosis(squared_envelopes: np.ndarray) -> np.ndarray:
    """Kurtosis of each band's complex envelope, E|c|^4 / (E|c|^2)^2 - 2: zero
    for Gaussian noise, large where impacts stand out of it."""
    mean_power = squared_envelopes.mean(axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        return (squared_envelopes**2).mean(axis=1) / mean_power**2 - 2.0


@dataclass(frozen=True, eq=False)  # arrays: compared by identity
class Kurtogram:
    """Spectral kurtosis of every band of the tree: `kurtosis[i]` holds the
    bands of `levels[i]`, from 0 Hz to `nyquist_hz`, low to high."""

    levels: tuple[float, ...]
    kurtosis: tuple[np.ndarray, ...]
    nyquist_hz: float

    def band(self, level: float, index: int) -> tuple[float, float]:
        """Edges in Hz of band `index` of `level`."""
        width = self.nyquist_hz / bands_at(level)
        return index * width, (index + 1) * width

    def image(self) -> np.ndarray:
        """One row per level, each band repeated over the columns it spans, so
        that the rows draw as an image over 0 Hz to Nyquist."""
        columns = 3 * 2 ** int(self.levels[-1])  # every level's band count divides it
        return np.array([np.repeat(row, columns // len(row)) for row in self.kurtosis])

    def peak(self, above_hz: float = 0.0, below_hz: float = np.inf) -> tuple[float, tuple[float, float], float]:
        """Level, band edges (Hz) and kurtosis of the band of highest kurtosis
        among those between `above_hz` and `below_hz`; NaN kurtosis if none is."""
        best = (float("nan"), (float("nan"), float("nan")), float("nan"))
        for level, values in zip(self.levels, self.kurtosis):
            lows = np.arange(len(values)) * self.nyquist_hz / len(values)
            highs = lows + self.nyquist_hz / len(values)
            allowed = np.flatnonzero((lows >= above_hz) & (highs <= below_hz) & np.isfinite(values))
            if allowed.size:
                index = allowed[np.argmax(values[allowed])]
                if not values[index] <= best[2]:
                    best = (level, self.band(level, int(index)), float(values[index]))
        return best
