"""Amplitude spectra, cepstrum, harmonic and band features, and the harmonic
signature rule."""

import math
import warnings

import numpy as np
import pytest

import reference
from kemo_pkg import core_math
from outcome import outcome

# The twins read the same amplitudes: a spacing of 1/64 revolution and a
# sample rate of 64 Hz give the same axis values.
SPECTRUM_CALLS = [
    pytest.param(core_math.compute_fft_dsp, 1 / 64, id="orders"),
    pytest.param(core_math.compute_frequency_spectrum, 64, id="frequency"),
]


def assert_same_as_reference(name, *args, **kwargs):
    """Same result bits, exception text and warnings as the plain-Python reading,
    and the caller's arrays left as they were."""
    before = [arg.copy() for arg in args if isinstance(arg, np.ndarray)]
    assert outcome(getattr(core_math, name), *args, **kwargs) == outcome(getattr(reference, name), *args, **kwargs)
    after = [arg for arg in args if isinstance(arg, np.ndarray)]
    for original, now in zip(before, after, strict=True):
        np.testing.assert_array_equal(original, now)


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
    assert_same_as_reference(name, *args)


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
    assert_same_as_reference("compute_cepstrum", *args)


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
    assert_same_as_reference("get_band_energy", x_axis, counts, 0.0, 3.0)


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
    assert_same_as_reference(name, *args)


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
    assert_same_as_reference("detect_harmonic_signature", *args)
