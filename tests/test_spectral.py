"""Spectral analysis: amplitude spectra over frequency and order, cepstrum,
harmonic and band features, the harmonic signature rule; and their native
paths (the window's mean and the scaling, the Hann window, the cepstrum's
floor and axis, the feature windows, the rule) against numpy's and scipy's own."""

import math
import warnings

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from scipy.signal import get_window

from kemo_pkg import core_math
from support import reference
from support.edge_records import (
    BUDGET,
    assert_at_boundary,
    error_states,
    laid_out,
    laid_out_pair,
    lengths,
    numbers,
    records,
    seeds,
    with_values,
)
from support.outcome import ERROR_STATES, assert_same_outcome, outcome
from support.paths import entries_into, recorded

pytestmark = pytest.mark.forked

# The twins read the same amplitudes: a spacing of 1/64 revolution and a
# sample rate of 64 Hz give the same axis values.
SPECTRUM_CALLS = [
    pytest.param(core_math.compute_fft_dsp, 1 / 64, id="orders"),
    pytest.param(core_math.compute_frequency_spectrum, 64, id="frequency"),
]


def cosine(amplitude, cycles, n_samples, phase=0.3):
    return amplitude * np.cos(2 * np.pi * cycles * np.arange(n_samples) / n_samples + phase)


def test_50_hz_cosine_reads_its_amplitude():
    fs = 1000
    x = 2.0 * np.cos(2 * np.pi * 50 * np.arange(fs) / fs)
    freqs, amp = core_math.compute_frequency_spectrum(x, fs)
    assert freqs[50] == 50.0
    assert amp[50] == pytest.approx(2.0, rel=1e-12)


@pytest.mark.parametrize("spectrum, spacing", SPECTRUM_CALLS)
@pytest.mark.parametrize(
    "scaling, spectrum_format, factor, exponent",
    [
        ("peak", "linear", 1.0, 1),
        ("rms", "linear", 1 / math.sqrt(2), 1),
        ("peak-to-peak", "linear", 2.0, 1),
        ("peak", "power", 1.0, 2),
        ("rms", "power", 1 / math.sqrt(2), 2),
        ("peak-to-peak", "power", 2.0, 2),
    ],
)
@pytest.mark.parametrize("bin_k", [2, 17, 126])
def test_cosine_on_a_bin_reads_true_in_every_scaling(
    spectrum, spacing, scaling, spectrum_format, factor, exponent, bin_k
):
    _, amp = spectrum(cosine(1.5, bin_k, 256), spacing, scaling=scaling, spectrum_format=spectrum_format)
    assert amp[bin_k] == pytest.approx((factor * 1.5) ** exponent, rel=1e-12)


@pytest.mark.parametrize("spectrum, spacing", SPECTRUM_CALLS)
@pytest.mark.parametrize(
    "options",
    [
        {"scaling": "RMS"},
        {"scaling": "Peak-to-peak"},
        {"scaling": " rms"},
        {"scaling": None},
        {"spectrum_format": "Power"},
        {"spectrum_format": "POWER"},
        {"spectrum_format": "dB"},
        {"scaling": "peak", "spectrum_format": "linear"},
    ],
)
def test_unknown_option_values_silently_mean_the_defaults(spectrum, spacing, options):
    x = cosine(1.0, 5, 64)
    assert outcome(spectrum, x, spacing, **options) == outcome(spectrum, x, spacing)


WINDOWS_WITH_POSITIVE_MEAN = ["hann", "boxcar", "hamming", "flattop", ("kaiser", 8.0), ("tukey", 0.25)]


@pytest.mark.parametrize("window_type", WINDOWS_WITH_POSITIVE_MEAN)
def test_nyquist_value_of_an_alternating_series_is_not_halved(window_type):
    _, amp = core_math.compute_fft_dsp(np.tile([0.75, -0.75], 32), 1 / 64, window_type)
    assert amp[-1] == pytest.approx(1.5, rel=1e-12)


@pytest.mark.parametrize("window_type", WINDOWS_WITH_POSITIVE_MEAN)
def test_constant_reads_its_magnitude_at_zero_frequency(window_type):
    _, amp = core_math.compute_frequency_spectrum(np.full(50, -3.0), 50, window_type)
    assert amp[0] == pytest.approx(3.0, rel=1e-12)


@pytest.mark.parametrize("spectrum, spacing", SPECTRUM_CALLS)
@pytest.mark.parametrize("n_samples, n_values", [(1, 1), (2, 2), (8, 5), (9, 5), (1000, 501)])
def test_axis_and_amplitudes_have_n_half_plus_one_values(spectrum, spacing, n_samples, n_values):
    x_axis, amp = spectrum(np.ones(n_samples), spacing)
    assert x_axis.shape == amp.shape == (n_values,)
    assert x_axis.dtype == amp.dtype == np.float64


def test_frequency_axis_runs_to_nyquist_in_hz():
    freqs, _ = core_math.compute_frequency_spectrum(np.zeros(1000), 1000)
    np.testing.assert_allclose(freqs, np.arange(501.0), rtol=1e-15)


def test_once_per_revolution_lies_at_order_one():
    samples_per_rev = 64
    shaft_revs = np.arange(6400) / samples_per_rev
    orders, amp = core_math.compute_fft_dsp(np.cos(2 * np.pi * shaft_revs), 1 / samples_per_rev)
    np.testing.assert_allclose(orders, np.arange(3201) * 0.01, rtol=1e-13)
    assert np.argmax(amp) == 100 and orders[100] == pytest.approx(1.0)


@pytest.mark.parametrize("spectrum, spacing", SPECTRUM_CALLS)
@pytest.mark.parametrize("window_type", ["no-such-window", ("kaiser",), 3.5])
@pytest.mark.parametrize("waveform", [np.array([]), []], ids=["array", "list"])
def test_empty_waveform_returns_none_pair_before_anything_else(monkeypatch, spectrum, spacing, window_type, waveform):
    # Nothing is built for an empty record, not even the window function lookup.
    monkeypatch.delattr(core_math, "get_window")
    assert spectrum(waveform, spacing, window_type, scaling=object()) == (None, None)
    assert spectrum(waveform, 0, window_type) == (None, None)


@pytest.mark.parametrize("fs", [0, 0.0])
def test_zero_sample_rate_raises_float_division_by_zero(fs):
    with pytest.raises(ZeroDivisionError, match="^float division by zero$"):
        core_math.compute_frequency_spectrum(np.ones(8), fs)


@pytest.mark.parametrize("name", ["compute_fft_dsp", "compute_frequency_spectrum"])
@pytest.mark.parametrize(
    "args",
    [
        pytest.param((np.random.default_rng(1).standard_normal(301), 0.01), id="noise-odd-length"),
        pytest.param(([1.0, 2.0, -4.0, 0.5, 3.0], 0.5), id="list"),
        pytest.param((np.arange(-20, 20, dtype=np.int16), 0.25), id="int16"),
        pytest.param((np.linspace(-1, 1, 33, dtype=np.float32), 2), id="float32"),
        pytest.param((np.array([1.0, np.nan, 2.0, 3.0]), 1.0), id="nan-spreads"),
        pytest.param((cosine(2.0, 7, 128), 1 / 128, ("kaiser", 8.0), "rms", "power"), id="kaiser-tuple"),
        pytest.param((cosine(2.0, 7, 128), 1 / 128, ("tukey", 0.5), "peak-to-peak"), id="tukey-tuple"),
        pytest.param((cosine(2.0, 7, 128), 1 / 128, ("general_gaussian", 1.5, 7.0)), id="gaussian-tuple"),
        pytest.param((np.ones(8), 1.0, "no-such-window"), id="unknown-window"),
        pytest.param((np.ones(8), 1.0, ("kaiser",)), id="window-tuple-missing-parameter"),
        pytest.param((5, 1.0), id="no-length"),
        pytest.param((["a", "b"], 1.0), id="non-numeric"),
        pytest.param((np.ones(8), np.float64(0.0)), id="numpy-zero-spacing"),
        pytest.param((np.ones(8), 0), id="python-zero-spacing"),
    ],
)
def test_spectra_match_reference(name, args):
    assert_same_outcome(name, *args)


@pytest.mark.parametrize("n_values", [2, 3, 5, 257])
def test_cepstrum_has_n_quefrencies_and_2n_minus_2_values(n_values):
    d_axis = 0.5
    ceps_x, ceps_y = core_math.compute_cepstrum(np.linspace(1.0, 3.0, n_values), d_axis)
    assert ceps_y.shape == (2 * n_values - 2,)
    np.testing.assert_allclose(ceps_x, np.arange(n_values) / ((2 * n_values - 1) * d_axis), rtol=1e-15)


def test_cepstrum_floors_zero_and_negative_amplitudes_at_1e_12():
    floored = core_math.compute_cepstrum(np.array([0.0, -5.0, 1e-300, 1e-12, -np.inf]), 1.0)
    assert outcome(lambda: floored) == outcome(core_math.compute_cepstrum, np.full(5, 1e-12), 1.0)
    assert floored[1][0] == pytest.approx(-math.log(1e-12), rel=1e-12)


@pytest.mark.parametrize("level", [1.0, 0.2, 40.0])
def test_constant_spectrum_gives_its_log_at_zero_quefrency(level):
    _, ceps_y = core_math.compute_cepstrum(np.full(9, level), 1.0)
    assert ceps_y[0] == pytest.approx(abs(math.log(level)), abs=1e-15)
    np.testing.assert_allclose(ceps_y[1:], 0.0, atol=1e-14)


@pytest.mark.parametrize(
    "args",
    [
        pytest.param((np.array([2.0]), 1.0), id="one-value"),
        pytest.param((np.array([]), 1.0), id="empty"),
        pytest.param((np.array([1.0, np.nan, 2.0]), 1.0), id="nan"),
        pytest.param(([0.5, 2.0, 0.0, 7.0], 0.25), id="list"),
        pytest.param((np.arange(6, dtype=np.int32), 2), id="int32"),
    ],
)
def test_cepstrum_matches_reference(args):
    assert_same_outcome("compute_cepstrum", *args)


PEAK_ORDERS = np.array([1.5, 2.0, 2.5, 2.75])
PEAK_AMPS = np.array([3.0, 1.0, 2.0, 9.0])


@pytest.mark.parametrize(
    "target_order, search_window, peak",
    [
        (2.0, 0.5, 3.0),  # both edges inside; the greatest, not the nearest
        (1.75, 0.25, 3.0),
        (2.25, 0.25, 2.0),
        (2.5, 0.25, 9.0),
        (2.75, 0.0, 9.0),
        (1.0, 0.49, math.nan),
    ],
)
def test_harmonic_peak_takes_greatest_amplitude_in_inclusive_window(target_order, search_window, peak):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        found = core_math.get_harmonic_peak(PEAK_ORDERS, PEAK_AMPS, target_order, search_window)
    assert type(found) is float
    assert found == peak or (math.isnan(found) and math.isnan(peak))


def test_harmonic_peak_default_window_is_five_hundredths():
    orders = np.array([0.94, 0.95, 1.0, 1.05, 1.06])
    amps = np.array([8.0, 1.0, 2.0, 3.0, 9.0])
    assert core_math.get_harmonic_peak(orders=orders, amps=amps, target_order=1.0) == 3.0


@pytest.mark.parametrize(
    "start_val, end_val, energy",
    [(1, 3, 13.0), (2, 3, math.sqrt(160)), (4, 4, 5.0), (0.5, 9, math.sqrt(194)), (3, 1, 0.0), (5, 9, 0.0)],
)
def test_band_energy_is_root_sum_square_over_inclusive_band(start_val, end_val, energy):
    found = core_math.get_band_energy(np.array([1, 2, 3, 4]), np.array([3.0, 4.0, 12.0, 5.0]), start_val, end_val)
    assert type(found) is float
    assert found == pytest.approx(energy, rel=1e-15)


@pytest.mark.parametrize("dtype", ["int8", "int16", "int32", "uint8", "uint16", "uint32"])
def test_band_energy_squares_narrow_integer_amplitudes_without_wrapping(dtype):
    # Raw converter counts: each nonzero square is beyond the range of the count's own type.
    root = math.isqrt(np.iinfo(dtype).max) + 1
    sign = -1 if np.iinfo(dtype).min < 0 else 1
    counts = np.array([3 * root, sign * 2 * root, root, 0, 3 * root], dtype=dtype)
    x_axis = np.arange(5.0)
    found = core_math.get_band_energy(x_axis, counts, 0.0, 3.0)
    assert type(found) is float
    assert found == math.sqrt(sum(int(count) ** 2 for count in counts[:4]))
    assert_same_outcome("get_band_energy", x_axis, counts, 0.0, 3.0)


@pytest.mark.parametrize(
    "name, args",
    [
        pytest.param("get_band_energy", (np.arange(2.0), np.array([3e19, 4e19], np.float32), 0, 1), id="float32"),
        pytest.param("get_band_energy", (np.arange(3.0), np.array([3, 4, 2**40], np.int64), 0, 2), id="int64"),
        pytest.param("get_band_energy", (np.arange(4.0), np.array([1.0, 2.0]), 0, 3), id="shorter-amplitudes"),
        pytest.param("get_band_energy", (np.arange(3.0), np.array([1.0, np.nan, 2.0]), 0, 2), id="nan-amplitude"),
        pytest.param("get_band_energy", ([0.0, 1.0], np.array([1.0, 2.0]), 0, 1), id="list-axis"),
        pytest.param("get_harmonic_peak", (np.arange(4.0), np.array([1.0, 2.0]), 1.0, 2), id="shorter-amplitudes"),
        pytest.param("get_harmonic_peak", (np.array([1.0, np.nan]), np.array([1.0, 5.0]), 1.0), id="nan-order"),
        pytest.param("get_harmonic_peak", (np.arange(3.0), np.arange(3, dtype=np.float32), 1.0, 1.0), id="float32"),
        pytest.param("get_harmonic_peak", ([0.0, 1.0], np.array([1.0, 2.0]), 1.0), id="list-axis"),
    ],
)
def test_features_match_reference(name, args):
    assert_same_outcome(name, *args)


@pytest.mark.parametrize(
    "amp_1x, amp_2x, amp_3x, level",
    [
        (9.0, 9.0, 0.0001, 0),  # the floor includes its bound
        (9.0, 9.0, 0.0, 0),
        (9.0, 9.0, -1.0, 0),
        (1.2, 0.6, 1.0, 3),
        (1.1, 0.6, 1.0, 2),
        (2.0, 0.45, 1.0, 2),
        (0.9, 0.3, 1.0, 1),
        (0.1, 0.25, 1.0, 1),
        (0.5, 0.2, 1.0, 0),
        (1.0, 0.6, 0.5, 3),
        (5.0, 5.0, 10.0, 1),
        (9.0, 9.0, math.nan, 0),
        (math.nan, 0.6, 1.0, 1),
        (np.float64(1.2), np.float32(0.6), np.array([1.0]), 3),
    ],
)
def test_harmonic_signature_levels(amp_1x, amp_2x, amp_3x, level):
    found = core_math.detect_harmonic_signature(amp_1x, amp_2x, amp_3x)
    assert type(found) is int and found == level


@pytest.mark.parametrize("scale", [0.01, 7.0, 1e6])
@pytest.mark.parametrize("amps", [(1.3, 0.7, 1.0), (1.0, 0.45, 1.0), (0.6, 0.1, 1.0), (0.3, 0.1, 1.0)])
def test_harmonic_signature_ignores_common_scale(scale, amps):
    scaled = [amp * scale for amp in amps]
    assert core_math.detect_harmonic_signature(*scaled) == core_math.detect_harmonic_signature(*amps)


def test_harmonic_signature_tests_highest_level_first_even_with_unordered_multipliers():
    assert core_math.detect_harmonic_signature(0.01, 0.01, 1.0, vh1=0.0, vh2=0.0, ind1=5.0, low1=5.0) == 3


class Probe:
    """A number that notes in `log` every product and comparison it is asked for."""

    def __init__(self, name, value, log):
        self.name, self.value, self.log = name, value, log

    def __mul__(self, other):
        self.log.append(f"{self.name}*")
        return self.value * (other.value if isinstance(other, Probe) else other)

    def __gt__(self, other):
        self.log.append(f"{self.name}>")
        return self.value > other

    def __le__(self, other):
        self.log.append(f"{self.name}<=")
        return self.value <= other


@pytest.mark.parametrize(
    "amp_1x, amp_2x, amp_3x, level, steps",
    [
        (9.0, 9.0, 0.0001, 0, ""),
        (1.2, 0.6, 1.0, 3, "vh1* amp_1x> vh2* amp_2x>"),
        (1.0, 0.6, 1.0, 2, "vh1* amp_1x> ind1* amp_1x> ind2* amp_2x>"),
        (2.0, 0.45, 1.0, 2, "vh1* amp_1x> vh2* amp_2x> ind1* amp_1x> ind2* amp_2x>"),
        (0.6, 0.0, 1.0, 1, "vh1* amp_1x> ind1* amp_1x> low1* amp_1x>"),
        (0.1, 0.1, 1.0, 0, "vh1* amp_1x> ind1* amp_1x> low1* amp_1x> low2* amp_2x>"),
    ],
)
def test_harmonic_signature_short_circuits(amp_1x, amp_2x, amp_3x, level, steps):
    log = []
    multipliers = {"vh1": 1.1, "vh2": 0.5, "ind1": 0.8, "ind2": 0.4, "low1": 0.5, "low2": 0.2}
    probes = {name: Probe(name, value, log) for name, value in multipliers.items()}
    amps = [Probe(name, value, log) for name, value in [("amp_1x", amp_1x), ("amp_2x", amp_2x), ("amp_3x", amp_3x)]]
    assert core_math.detect_harmonic_signature(*amps, **probes) == level
    assert log == ["amp_3x<="] + steps.split()


@pytest.mark.parametrize(
    "args",
    [
        pytest.param((np.array([1.2, 0.1]), 0.6, 1.0), id="two-element-amplitude"),
        pytest.param((1.2, 0.6, np.array([1.0, 2.0])), id="two-element-reference"),
        pytest.param((1.2, 0.6, 1.0, np.array([1.0, 2.0])), id="two-element-multiplier"),
        pytest.param(("1.2", 0.6, 1.0), id="text-amplitude"),
        pytest.param((1.2, 0.6, None), id="none-reference"),
    ],
)
def test_harmonic_signature_errors_match_reference(args):
    assert_same_outcome("detect_harmonic_signature", *args)


# --- the native paths -------------------------------------------------------

WAVEFORM = np.sin(np.arange(1000) * 0.1) + 0.2
ORDERS = np.arange(200) / 16.0
ORDER_AMPS = 1.0 + np.cos(ORDERS)
# The window 1.0 +- 0.1 holds orders 15/16, 1 and 17/16 (indices 15 to 17).
PEAK_WINDOW = (1.0, 0.1)

BOUNDARIES = [
    pytest.param("get_harmonic_peak", (ORDERS, ORDER_AMPS, *PEAK_WINDOW), "native", id="peak"),
    pytest.param("get_harmonic_peak", (ORDERS, with_values(ORDER_AMPS, 16, np.nan), *PEAK_WINDOW),
                 "generic", id="NaN inside"),
    pytest.param("get_harmonic_peak", (ORDERS, with_values(ORDER_AMPS, 18, np.nan), *PEAK_WINDOW),
                 "native", id="NaN beside"),
    # Which of two zeros np.max returns depends on where each lies.
    pytest.param("get_harmonic_peak", (ORDERS, with_values(ORDER_AMPS, [15, 16, 17], [0.0, -0.0, -0.0]), *PEAK_WINDOW),
                 "generic", id="zero peak, positive first"),
    pytest.param("get_harmonic_peak", (ORDERS, with_values(ORDER_AMPS, [15, 16, 17], [-0.0, -0.0, 0.0]), *PEAK_WINDOW),
                 "generic", id="zero peak, negative first"),
    pytest.param("get_harmonic_peak", (ORDERS, ORDER_AMPS, 1.0, 1 / 16), "native", id="window edges on axis points"),
    pytest.param("get_harmonic_peak", (ORDERS[::-1], ORDER_AMPS, *PEAK_WINDOW), "native", id="peak on a falling axis"),
    pytest.param("get_band_energy", (ORDERS, ORDER_AMPS, -np.inf, np.inf), "native", id="band over everything"),
    pytest.param("get_band_energy", (ORDERS, ORDER_AMPS, 3, 1), "native", id="inverted band"),
    pytest.param("get_band_energy", (with_values(ORDERS, 50, 2.0), ORDER_AMPS, 1, 3), "generic", id="band in two runs"),
]


@pytest.mark.parametrize("name, args, path", BOUNDARIES)
def test_native_loop_boundaries(name, args, path):
    assert_at_boundary(name, args, path)


@BUDGET
@given(
    waveform=records().flatmap(laid_out),
    spacing=numbers(st.sampled_from([1 / 64, 1000.0, 1, 0, 0.0, 5e-324, 1e308, np.inf, -2.0])),
    window_type=st.sampled_from(["hann", "boxcar", ("kaiser", 8.0), ("tukey", 0.5), np.inf, "bogus"]),
    scaling=st.sampled_from(["peak", "rms", "peak-to-peak", "RMS"]),
    spectrum_format=st.sampled_from(["linear", "power", "Power"]),
    twin=st.sampled_from(["compute_fft_dsp", "compute_frequency_spectrum"]),
    error_state=error_states,
)
def test_amplitude_spectra_of_edge_records(waveform, spacing, window_type, scaling, spectrum_format, twin, error_state):
    assert_same_outcome(twin, waveform, spacing, window_type, scaling, spectrum_format,
                        error_state=error_state, generic=True)


# Long records take the native Hann window; any other window of a long
# record is scipy's, and so is any window once get_window is rebound.
@pytest.mark.parametrize("n", [8192, 8193, 10_000, 65_537])
@pytest.mark.parametrize("window_type", ["hann", "hamming", "HANN"])
@pytest.mark.parametrize("twin", ["compute_fft_dsp", "compute_frequency_spectrum"])
def test_spectra_of_long_records(n, window_type, twin):
    waveform = np.random.default_rng(n).standard_normal(n) + 0.3
    path = "native" if window_type == "hann" or n <= 8192 else "generic"
    assert_same_outcome(twin, waveform, 1 / 1024, window_type, generic=True, served_by=path)


def test_the_hann_window_of_a_long_record_is_made_natively_unless_get_window_is_rebound(monkeypatch):
    waveform = np.random.default_rng(5).standard_normal(20_000)
    calls = []
    with entries_into(get_window, calls):
        native = outcome(core_math.compute_frequency_spectrum, waveform, 2560.0)
    assert calls == []
    monkeypatch.setattr(core_math, "get_window", recorded(calls, "get_window", get_window))
    assert outcome(core_math.compute_frequency_spectrum, waveform, 2560.0) == native
    assert calls == ["get_window"]
    assert native == outcome(reference.compute_frequency_spectrum, waveform, 2560.0)


# --- cepstrum ----------------------------------------------------------------

FLOOR = 1e-12  # the cepstrum's floor of the amplitudes
SPECIAL_AMPLITUDES = [0.0, -0.0, -1.0, FLOOR, float(np.nextafter(FLOOR, 0)), float(np.nextafter(FLOOR, 1)),
                      np.inf, -np.inf, np.nan, 1.7e308, 5e-324]


@st.composite
def cepstrum_amplitudes(draw):
    """Amplitudes of one magnitude, now and then signed, with zeros, the floor
    itself and its neighbours, infinities or NaN at a few places."""
    n = draw(st.one_of(st.integers(2, 300), st.sampled_from([0, 1, 2, 3, 2049, 4096])))
    rng = np.random.default_rng(draw(seeds))
    magnitude = draw(st.sampled_from([1.0, 1e-3, 1e6, FLOOR, 1e-300, 1e300]))
    values = rng.standard_normal(n) * magnitude
    if draw(st.integers(0, 3)):
        values = np.abs(values)
    specials = draw(st.lists(st.sampled_from(SPECIAL_AMPLITUDES), max_size=3))
    if n and specials:
        values[rng.integers(0, n, len(specials))] = specials
    return draw(laid_out(values))


# Spacings of every kind a caller may pass, including ones whose axis span
# (2N - 1) * d_axis is zero, subnormal or infinite, and ones numpy itself
# warns about in its scalar arithmetic; and, for five amplitudes, the path
# that serves them: the native one takes a plain number or a numpy float64
# whose span and quefrency step are finite, nonzero and not subnormal.
SPACINGS_AND_PATHS = [
    (1.0, "native"), (0.5, "native"), (1 / 64, "native"), (1000.0, "native"), (-1.0, "native"),
    (0.0, "generic"), (-0.0, "generic"), (1e-320, "generic"), (5e-324, "generic"), (1e307, "generic"),
    (1e308, "generic"), (np.inf, "generic"), (-np.inf, "generic"), (np.nan, "generic"),
    (1, "native"), (3, "native"), (-1, "native"), (0, "generic"), (2**53 - 1, "native"), (2**53, "native"),
    (-(2**53), "native"), (2**53 + 1, "generic"), (10**400, "generic"), (True, "generic"), (False, "generic"),
    (np.float64(0.25), "native"), (np.float64(0), "generic"), (np.float64(-0.0), "generic"),
    (np.float64(1e-320), "generic"), (np.float64(1e308), "generic"), (np.float64(np.nan), "generic"),
    (np.float32(0.5), "generic"), (np.int64(2), "generic"),
]
ORDINARY_SPACINGS = [1.0, 0.5, 1 / 64, 1000.0, 3, np.float64(0.25)]
SPACINGS = [spacing for spacing, _ in SPACINGS_AND_PATHS]


@BUDGET
@given(spectrum_amps=cepstrum_amplitudes(), d_axis=st.sampled_from(ORDINARY_SPACINGS) | st.sampled_from(SPACINGS),
       error_state=error_states)
def test_cepstrum_of_edge_records(spectrum_amps, d_axis, error_state):
    assert_same_outcome("compute_cepstrum", spectrum_amps, d_axis, error_state=error_state, generic=True)


@pytest.mark.parametrize("d_axis, path", SPACINGS_AND_PATHS, ids=lambda value: f"{value!r:.24}")
def test_cepstrum_spacings(d_axis, path):
    for error_state in ERROR_STATES:
        assert_same_outcome("compute_cepstrum", np.array([3.0, 0.5, 1e-13, 2.0, 7.0]), d_axis,
                            error_state=error_state, generic=True, served_by=path)
        assert_same_outcome("compute_cepstrum", np.array([0.0, 4.0]), d_axis, error_state=error_state, generic=True)


# --- spectral features ------------------------------------------------------

AXIS_KINDS = ["ascending", "repeated values", "unsorted", "with NaN"]


def grid_positions(d_axis, n):
    """On a grid point, just beside one, anywhere, or not a position at all."""
    on_grid = st.integers(-3, n + 3).map(lambda k: k * d_axis)
    return st.one_of(
        on_grid,
        on_grid.map(lambda x: float(np.nextafter(x, np.inf))),
        on_grid.map(lambda x: float(np.nextafter(x, -np.inf))),
        st.floats(-1e3, 1e3),
        st.sampled_from([np.inf, -np.inf, np.nan, 1e308, -1e308]),
    )


@st.composite
def feature_spectra(draw):
    """(axis, amplitudes, positions on the axis, axis spacing): an ascending
    axis of exact grid points, or one with repeats, shuffled or holding NaN;
    the amplitudes are sometimes one sample short."""
    n = draw(lengths)
    rng = np.random.default_rng(draw(seeds))
    kind = draw(st.sampled_from(AXIS_KINDS))
    d_axis = draw(st.sampled_from([1 / 64, 0.1, 1.0, 2.5]))
    axis = np.arange(n) * d_axis
    if kind == "repeated values":
        axis = np.floor(np.arange(n) / 3) * d_axis
    elif kind == "unsorted":
        axis = rng.permutation(axis)
    elif kind == "with NaN" and n:
        axis[rng.integers(0, n, 2)] = np.nan
    amps = draw(records(n=n))
    if draw(st.booleans()):
        amps = np.abs(amps)
    if n and draw(st.integers(0, 9)) == 0:
        amps = amps[:-1]
    return *draw(laid_out_pair(axis, amps)), grid_positions(d_axis, n), d_axis


@BUDGET
@given(data=st.data(), spectrum=feature_spectra(), error_state=error_states)
def test_harmonic_peak_of_edge_records(data, spectrum, error_state):
    orders, amps, positions, d_order = spectrum
    target_order = data.draw(numbers(positions))
    half_widths = st.sampled_from([0.0, 0.05, d_order / 2, d_order, 3 * d_order, 1e300, -d_order, np.nan, np.inf])
    search_window = data.draw(numbers(half_widths))
    assert_same_outcome("get_harmonic_peak", orders, amps, target_order, search_window,
                        error_state=error_state, generic=True)


@BUDGET
@given(data=st.data(), spectrum=feature_spectra(), error_state=error_states)
def test_band_energy_of_edge_records(data, spectrum, error_state):
    x_axis, y_axis, positions, _ = spectrum
    # Bands inside, across and outside the axis, inverted, or over everything.
    bands = st.one_of(st.tuples(numbers(positions), numbers(positions)), st.just((-np.inf, np.inf)))
    start_val, end_val = data.draw(bands)
    assert_same_outcome("get_band_energy", x_axis, y_axis, start_val, end_val, error_state=error_state, generic=True)


# Past 2**53 doubles lie two apart: Python forms the window edges of two ints
# exactly and numpy rounds each edge once, whereas rounding each int first
# can move an edge by one axis point.
ORDERS_PAST_2_53 = np.unique(np.arange(2**53 - 6, 2**53 + 12).astype(np.float64))
RISING_AMPS = np.arange(1.0, len(ORDERS_PAST_2_53) + 1)


@pytest.mark.parametrize("amps", [RISING_AMPS, RISING_AMPS[::-1]], ids=["rising", "falling"])
@pytest.mark.parametrize("target_order", [2**53 - 3, 2**53 - 1, 2**53, 2**53 + 1, 2**53 + 3, 2**53 + 5])
@pytest.mark.parametrize("search_window", [1, 2, 3])
def test_harmonic_peak_of_int_orders_past_2_53(amps, target_order, search_window):
    assert_same_outcome("get_harmonic_peak", ORDERS_PAST_2_53, amps, target_order, search_window, generic=True)


# --- harmonic signature rule ------------------------------------------------


class Amplitude(float):
    """A float of the caller's own type, which the native rule declines."""


amplitudes = st.one_of(
    st.floats(), st.sampled_from([0.0, -0.0, 0.0001, 0.00010000000000000002, 1.0, 0.5, 1.1, 1e308, 5e-324])
)


@st.composite
def harmonic_amplitudes(draw):
    """(amp_1x, amp_2x, amp_3x, vh1, vh2, ind1, ind2, low1, low2), with the
    amplitudes often exactly on or beside a threshold."""
    amp_3x = draw(amplitudes)
    multipliers = [draw(st.one_of(st.just(default), amplitudes)) for default in (1.1, 0.5, 0.8, 0.4, 0.5, 0.2)]
    tested = []
    for multiplier in (multipliers[0], multipliers[1]):
        threshold = multiplier * amp_3x
        with np.errstate(over="ignore"):  # the neighbours of the largest doubles are infinite
            beside = [threshold, float(np.nextafter(threshold, np.inf)), float(np.nextafter(threshold, -np.inf))]
        tested.append(draw(st.one_of(amplitudes, st.sampled_from(beside))))
    values = [*tested, amp_3x, *multipliers]
    # Now and then one argument the native rule does not take.
    if draw(st.integers(0, 4)) == 0:
        values[draw(st.integers(0, 8))] = draw(st.sampled_from([1, True, np.float64(1.0), np.float32(0.5), 2**60]))
    return tuple(values)


@BUDGET
@given(args=harmonic_amplitudes(), error_state=error_states)
def test_harmonic_signature_of_edge_records(args, error_state):
    plain_floats = all(type(value) is float for value in args)
    assert_same_outcome("detect_harmonic_signature", *args, error_state=error_state,
                        served_by="native" if plain_floats else "generic")
    if plain_floats:
        # The rule needs no numpy: the same values as a float subclass take
        # the generic body.
        assert_same_outcome("detect_harmonic_signature", *map(Amplitude, args), error_state=error_state,
                            served_by="generic")
