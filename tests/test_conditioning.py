"""Zero-phase band-pass filtering and envelope demodulation."""

import numpy as np
import pytest

import reference
from kemo_pkg import core_math
from outcome import outcome

FAMILIES = ["butter", "cheby1", "cheby2", "ellip", "bessel"]


def tone(freq_hz, n_samples, fs):
    return np.sin(2 * np.pi * freq_hz * np.arange(n_samples) / fs)


def am_carrier(carrier_hz, modulation_hz, depth, fs, duration_s):
    t = np.arange(int(fs * duration_s)) / fs
    return (1 + depth * np.cos(2 * np.pi * modulation_hz * t)) * np.cos(2 * np.pi * carrier_hz * t)


def assert_same_as_reference(name, *args, **kwargs):
    assert outcome(getattr(core_math, name), *args, **kwargs) == outcome(getattr(reference, name), *args, **kwargs)


@pytest.fixture
def restored_namespace(monkeypatch):
    """Rebinding through this fixture is undone after the test."""
    return lambda name, value: monkeypatch.setattr(core_math, name, value)


@pytest.mark.parametrize(
    "lowcut, highcut, fs",
    [
        pytest.param(0, 100, 1000, id="lower-edge-at-0-hz"),
        pytest.param(-10, 100, 1000, id="lower-edge-negative"),
        pytest.param(100, 500, 1000, id="upper-edge-at-nyquist"),
        pytest.param(100, 700.0, 1000, id="upper-edge-above-nyquist"),
        pytest.param(200, 200, 1000, id="equal-edges"),
        pytest.param(300, 200, 1000, id="edges-reversed"),
        pytest.param(100, 200, -1000, id="negative-sample-rate"),
    ],
)
@pytest.mark.parametrize("filter_type", ["butter", None])
def test_unrealisable_band_hands_back_the_input_itself(lowcut, highcut, fs, filter_type):
    for data in (tone(60, 256, 1000), [1.0, 2.0, 3.0]):
        assert core_math.apply_bandpass(data, lowcut, highcut, fs, filter_type=filter_type) is data
    # The envelope is then that of the unfiltered record.
    x = tone(60, 256, 1000)
    assert_same_as_reference("compute_envelope_waveform", x, fs, lowcut, highcut, filter_type=filter_type)


@pytest.mark.parametrize(
    "filter_type, designer",
    [
        *[(family, family) for family in FAMILIES],
        ("BUTTER", "butter"), ("Cheby1", "cheby1"), ("CHEBY2", "cheby2"), ("eLLiP", "ellip"), ("Bessel", "bessel"),
        # Anything else, however close, is Butterworth.
        ("butterworth", "butter"), (" butter", "butter"), ("bessel ", "butter"), ("", "butter"),
        ("cheby", "butter"), ("elliptic", "butter"), ("chebyshev1", "butter"),
    ],
)
def test_each_family_is_designed_with_its_own_arguments_only(restored_namespace, filter_type, designer):
    calls = []

    def recording(name):
        def record(*args, **kwargs):
            calls.append((name, args, kwargs))
            return getattr(reference, name)(*args, **kwargs)

        return record

    for name in [*FAMILIES, "filtfilt"]:
        restored_namespace(name, recording(name))
    order, rp, rs = 3, 0.7, 55.0
    x = tone(150, 512, 1000)
    result = core_math.apply_bandpass(x, 100, 200, 1000, order, filter_type, rp, rs)

    # rp reaches only cheby1 and ellip, rs only cheby2 and ellip.
    ripple_args = {"butter": (), "cheby1": (rp,), "cheby2": (rs,), "ellip": (rp, rs), "bessel": ()}[designer]
    (name, args, kwargs), (filtfilt_name, filtfilt_args, filtfilt_kwargs) = calls
    assert (name, args, kwargs) == (designer, (order, *ripple_args, [0.2, 0.4]), {"btype": "band"})
    assert type(args[-1]) is list
    assert filtfilt_name == "filtfilt" and len(filtfilt_args) == 3 and filtfilt_args[2] is x and filtfilt_kwargs == {}
    assert outcome(lambda: result) == outcome(reference.apply_bandpass, x, 100, 200, 1000, order, designer, rp, rs)


@pytest.mark.parametrize(
    "freq_hz, in_band",
    [pytest.param(50, True, id="pass-band"), pytest.param(5, False, id="below"), pytest.param(400, False, id="above")],
)
def test_zero_phase_band_pass_keeps_timing_and_amplitude_in_band(freq_hz, in_band):
    fs = 1000
    x = tone(freq_hz, 4000, fs)
    filtered = core_math.apply_bandpass(x, 20, 200, fs)
    away_from_ends = slice(500, 3500)
    if in_band:
        np.testing.assert_allclose(filtered[away_from_ends], x[away_from_ends], atol=1e-4)
    else:
        assert np.max(np.abs(filtered[away_from_ends])) < 1e-3


@pytest.mark.parametrize("filter_type", FAMILIES)
@pytest.mark.parametrize("order, pad_samples", [(2, 15), (4, 27)])
def test_record_must_be_longer_than_the_zero_phase_padding(filter_type, order, pad_samples):
    for n_samples, filtered in [(pad_samples, False), (pad_samples + 1, True)]:
        args = (tone(150, n_samples, 1000), 100, 200, 1000, order, filter_type)
        (kind, *_), _ = outcome(core_math.apply_bandpass, *args)
        assert kind == ("returned" if filtered else "raised")
        assert_same_as_reference("apply_bandpass", *args)


@pytest.mark.parametrize("name", ["apply_bandpass", "compute_envelope_waveform", "compute_envelope_spectrum"])
@pytest.mark.parametrize("filter_type", [*FAMILIES, "Ellip", "none of them"])
@pytest.mark.parametrize("shape", [(700,), (3, 256)])
def test_filtering_and_envelopes_match_the_reference(name, filter_type, shape):
    rng = np.random.default_rng(11)
    x = rng.normal(size=shape) + tone(180, shape[-1], 1000)
    original = x.copy()
    band_and_rate = (100, 250, 1000) if name == "apply_bandpass" else (1000, 100, 250)
    assert_same_as_reference(name, x, *band_and_rate, 3, filter_type, 2.0, 35.0)
    np.testing.assert_array_equal(x, original)


@pytest.mark.parametrize(
    "name, args",
    [
        pytest.param("apply_bandpass", (np.ones(64), 10, 40, 0), id="zero-sample-rate"),
        pytest.param("apply_bandpass", (np.ones(64), None, 40, 100), id="missing-edge"),
        pytest.param("apply_bandpass", (np.ones(64), 10, 40, 100, 4, None), id="no-family-with-valid-band"),
        pytest.param("apply_bandpass", (np.ones(64), 10, 40, 100, -1), id="negative-order"),
        pytest.param("compute_envelope_waveform", (np.ones(64) * 1j, 100, 10, 40), id="complex-record"),
        pytest.param("compute_envelope_spectrum", (np.ones(20), 100, 10, 40), id="record-too-short"),
        pytest.param("compute_envelope_spectrum", (np.ones(64), 100, 10, 40, 4, "ellip", -1.0), id="bad-ripple"),
    ],
)
def test_failures_surface_unchanged(name, args):
    (kind, *_), _ = outcome(getattr(core_math, name), *args)
    assert kind == "raised"
    assert_same_as_reference(name, *args)


def test_envelope_of_a_steady_tone_is_flat_and_zero_mean():
    fs = 1000
    envelope = core_math.compute_envelope_waveform(tone(60, 4000, fs), fs, 20, 200)
    assert envelope.shape == (4000,) and abs(np.mean(envelope)) < 1e-12
    assert np.max(np.abs(envelope[500:3500])) < 0.01


def test_envelope_of_a_modulated_carrier_follows_the_modulation():
    fs, modulation_hz = 20_000, 37
    x = am_carrier(2000, modulation_hz, 0.5, fs, 1.0)
    envelope = core_math.compute_envelope_waveform(x, fs, 1500, 2500)
    t = np.arange(len(x)) / fs
    away_from_ends = slice(2000, 18000)
    np.testing.assert_allclose(envelope[away_from_ends], 0.5 * np.cos(2 * np.pi * modulation_hz * t[away_from_ends]),
                               atol=0.005)

    env_freqs, env_amps = core_math.compute_envelope_spectrum(x, fs, 1500, 2500)
    peak = np.argmax(env_amps[1:]) + 1
    assert env_freqs[peak] == 37.0
    assert env_amps[peak] == pytest.approx(0.5, rel=1e-3)


def test_envelope_spectrum_is_the_spectrum_of_the_envelope():
    fs = 4000
    x = am_carrier(900, 21, 0.3, fs, 0.5)
    options = {"filter_order": 2, "filter_type": "Cheby2", "rp": 1.0, "rs": 30.0}
    envelope = core_math.compute_envelope_waveform(x, fs, 700, 1100, **options)
    assert outcome(core_math.compute_envelope_spectrum, x, fs, 700, 1100, **options) == outcome(
        lambda: tuple(core_math.compute_frequency_spectrum(envelope, fs))
    )


def test_filter_order_reaches_the_band_pass_as_its_order():
    fs = 2000
    x = am_carrier(400, 13, 0.5, fs, 1.0)

    def envelope_of(filtered):
        magnitude = np.abs(core_math.hilbert(filtered))
        return magnitude - np.mean(magnitude)

    expected = outcome(envelope_of, core_math.apply_bandpass(x, 300, 500, fs, order=2))
    assert outcome(core_math.compute_envelope_waveform, x, fs, 300, 500, filter_order=2) == expected
    assert outcome(core_math.compute_envelope_waveform, x, fs, 300, 500) != expected


def test_envelope_calls_the_band_pass_bound_in_the_module(restored_namespace):
    calls = []

    def unfiltered(*args, **kwargs):
        calls.append((args, kwargs))
        return args[0]

    restored_namespace("apply_bandpass", unfiltered)
    x = am_carrier(400, 13, 0.5, 2000, 0.25)
    envelope = core_math.compute_envelope_waveform(x, 2000, 300, 500, 2, "Cheby1", 1.5, 30.0)
    assert calls == [((x, 300, 500, 2000), {"order": 2, "filter_type": "Cheby1", "rp": 1.5, "rs": 30.0})]
    assert outcome(lambda: envelope) == outcome(reference.compute_envelope_waveform, x, 2000, 0, 500)


def test_envelope_spectrum_calls_the_functions_bound_in_the_module(restored_namespace):
    calls = []
    envelope, axis, amplitudes = np.zeros(8), np.arange(5.0), np.ones(5)

    def recording(result):
        return lambda *args, **kwargs: calls.append((args, kwargs)) or result

    restored_namespace("compute_envelope_waveform", recording(envelope))
    restored_namespace("compute_frequency_spectrum", recording([axis, amplitudes]))
    x = np.ones(8)
    result = core_math.compute_envelope_spectrum(x, 100, 10, 20)
    assert type(result) is tuple and result[0] is axis and result[1] is amplitudes
    options = {"filter_order": 4, "filter_type": "butter", "rp": 5.0, "rs": 40.0}
    assert calls == [((x, 100, 10, 20), options), ((envelope, 100), {})]


@pytest.mark.parametrize(
    "rebound, call",
    [
        pytest.param("butter", lambda x: core_math.apply_bandpass(x, 10, 40, 100), id="designer"),
        pytest.param("compute_frequency_spectrum", lambda x: core_math.compute_envelope_spectrum(x, 100, 10, 40),
                     id="spectrum"),
    ],
)
@pytest.mark.parametrize(
    "n_values, message",
    [
        (0, "need more than 0 values to unpack"),
        (1, "need more than 1 value to unpack"),
        (3, "too many values to unpack (expected 2)"),
    ],
)
@pytest.mark.parametrize("container", [tuple, list, iter])
def test_results_that_do_not_unpack_into_two_values_raise(restored_namespace, rebound, call, n_values, message,
                                                          container):
    restored_namespace(rebound, lambda *args, **kwargs: container([np.ones(3)] * n_values))
    with pytest.raises(ValueError) as error:
        call(np.ones(64))
    assert str(error.value) == message
