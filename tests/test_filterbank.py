"""The filter bank's tree of demodulation bands, each band's squared
envelope and its edges, and the kurtogram, on spectra whose answer is known
by construction."""

import math
import warnings

import numpy as np
import pytest

from kemo_pkg.filterbank import (
    Kurtogram,
    band_envelope,
    bands_at,
    fast_length_at_most,
    level_envelopes,
    resolved_levels,
    spectral_kurtosis,
    tree_levels,
)


def test_the_tree_splits_each_level_in_two_and_in_three():
    assert tree_levels(3) == [0.0, 1.0, 1.6, 2.0, 2.6, 3.0]
    assert [bands_at(level) for level in tree_levels(3)] == [1, 2, 3, 4, 6, 8]
    # A level is resolved where its bands span four bins above 0 Hz.
    assert resolved_levels(6, 33) == [0.0, 1.0, 1.6, 2.0, 2.6, 3.0]
    assert resolved_levels(6, 32) == [0.0, 1.0, 1.6, 2.0, 2.6]
    # A record is cut to the longest length fast for a real transform: prime factors 2, 3 and 5 only.
    assert [fast_length_at_most(n) for n in (1, 7, 1001)] == [1, 6, 1000]
    with pytest.raises(ValueError, match="record length must be positive"):
        fast_length_at_most(0)


def test_spectral_kurtosis_of_a_steady_tone_noise_and_an_impact():
    rng = np.random.default_rng(1)
    noise = np.abs(rng.standard_normal(20000) + 1j * rng.standard_normal(20000)) ** 2
    squared_envelopes = np.vstack([np.full(20000, 3.0),          # constant modulus: -1
                                   noise,                        # complex Gaussian: 0
                                   np.eye(1, 20000)[0] * 1e-6,   # one impact in 20000 samples: 20000 - 2
                                   np.zeros(20000)])             # an empty band: undefined
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # the empty band is NaN, quietly
        kurtosis = spectral_kurtosis(squared_envelopes)
    assert kurtosis[:3] == pytest.approx([-1.0, 0.0, 19998.0], abs=0.05)
    assert np.isnan(kurtosis[3])


def test_the_kurtogram_peak_is_the_band_of_highest_kurtosis_within_the_limits():
    # Over 0 to 1200 Hz: level 1 in two bands of 600 Hz, level 1.6 in three of 400 Hz.
    kurt = Kurtogram((0.0, 1.0, 1.6), (np.array([np.nan]), np.array([1.0, 3.0]), np.array([2.0, 2.5, 3.0])), 1200.0)
    assert kurt.peak() == (1.0, (600.0, 1200.0), 3.0)  # a tie goes to the coarser level
    assert kurt.peak(above_hz=700.0) == (1.6, (800.0, 1200.0), 3.0)
    assert kurt.peak(below_hz=700.0) == (1.6, (0.0, 400.0), 2.0)
    assert kurt.peak(above_hz=400.0, below_hz=800.0) == (1.6, (400.0, 800.0), 2.5)  # the limits are the band's edges
    level, band, value = kurt.peak(above_hz=1300.0)
    assert math.isnan(level) and all(map(math.isnan, band)) and math.isnan(value)
    # Drawn as an image: each band repeated over the columns it spans.
    image = np.array([[np.nan] * 6, [1.0] * 3 + [3.0] * 3, [2.0, 2.0, 2.5, 2.5, 3.0, 3.0]])
    assert kurt.image() == pytest.approx(image, nan_ok=True)


def line_power_through(band_hz, line_bin, bins=1001):
    """Mean squared envelope of band `band_hz` of a spectrum (1 Hz bins) that
    holds one line of unit amplitude on `line_bin`."""
    spectrum = np.zeros(bins, complex)
    spectrum[line_bin] = 1.0
    return band_envelope(spectrum, 1.0, band_hz).envelopes.mean()


@pytest.mark.parametrize(
    "band_hz, edge_bins, edge_gains",
    [
        # 100 bins: ten on either side fade in and out along a raised cosine.
        ((200.0, 300.0), (200, 204, 205, 210, 250, 299), (0.0062, 0.4218, 0.5782, 1.0, 1.0, 0.0062)),
        # 8 bins: one on either side, at half gain.
        ((200.0, 208.0), (200, 201, 207), (0.5, 1.0, 0.5)),
    ],
)
def test_a_band_passes_its_flat_top_whole_and_fades_at_its_edges(band_hz, edge_bins, edge_gains):
    centre = line_power_through(band_hz, int(np.mean(band_hz)))
    gains = [math.sqrt(line_power_through(band_hz, line_bin) / centre) for line_bin in edge_bins]
    assert gains == pytest.approx(edge_gains, abs=1e-4)


def test_the_bands_of_a_level_and_a_band_given_span_the_bins_asked_for():
    spectrum = np.ones(1025, complex)  # 1024 bins above 0 Hz at 0.5 Hz a bin
    level = level_envelopes(spectrum, 0.5, 2.0)
    assert (level.level, level.width_hz, level.low_hz.tolist()) == (2.0, 128.0, [0.5, 128.5, 256.5, 384.5])
    # The squared envelopes reach up to the 128 Hz width: sampled at twice it they do not alias; asked
    # to be free of aliasing below 20 Hz only, what lies above their Nyquist folds down to 148.5 - 128 Hz.
    rates_hz = [level_envelopes(spectrum, 0.5, 2.0, alias_free_hz).rate_hz for alias_free_hz in (np.inf, 200.0, 20.0)]
    assert rates_hz == [256.0, 256.0, 148.5]
    band = band_envelope(spectrum, 0.5, (0.0, 1000.0))  # from the first bin above 0 Hz up to Nyquist
    assert (band.level, band.low_hz.tolist(), band.width_hz, band.nyquist_hz) == (0.0, [0.5], 511.5, 512.0)
    assert band_envelope(spectrum, 0.5, (100.0, 102.0)).width_hz == 2.0  # four bins: the narrowest band
    with pytest.raises(ValueError, match="bands of 3 bins are too narrow to demodulate"):
        band_envelope(spectrum, 0.5, (100.0, 101.5))
