"""Signal conditioning: DC removal and overall RMS, zero-phase band-pass
filtering, envelope demodulation; and their native paths (the mean, the RMS,
the zero-phase filter) against scipy's and numpy's own."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from scipy.signal import butter, filtfilt

from kemo_pkg import core_math
from support import reference
from support.edge_records import (
    BUDGET,
    assert_at_boundary,
    error_states,
    laid_out,
    records,
    seeds,
)
from support.outcome import ERROR_STATES, assert_same_outcome, outcome
from support.paths import entries_into, self_checks

pytestmark = pytest.mark.forked

FAMILIES = ["butter", "cheby1", "cheby2", "ellip", "bessel"]
FS = 1000.0
# A 1 kHz record: 50 Hz and 180 Hz tones over a little noise.
WAVEFORM = (np.sin(2 * np.pi * 50 * np.arange(600) / FS) + 0.3 * np.sin(2 * np.pi * 180 * np.arange(600) / FS)
            + 0.05 * np.random.default_rng(7).standard_normal(600))


def tone(freq_hz, n_samples, fs):
    return np.sin(2 * np.pi * freq_hz * np.arange(n_samples) / fs)


def am_carrier(carrier_hz, modulation_hz, depth, fs, duration_s):
    t = np.arange(int(fs * duration_s)) / fs
    return (1 + depth * np.cos(2 * np.pi * modulation_hz * t)) * np.cos(2 * np.pi * carrier_hz * t)


@pytest.fixture
def restored_namespace(monkeypatch):
    """Rebinding through this fixture is undone after the test."""
    return lambda name, value: monkeypatch.setattr(core_math, name, value)


# --- DC removal and overall RMS -----------------------------------------------


@pytest.mark.parametrize(
    "y_vals, rms",
    [
        pytest.param(np.array([3.0, 4.0]), 3.5355339059327378, id="two-samples"),
        pytest.param(np.full(10, -2.0), 2.0, id="dc-level-counts"),
        # Squared in their own dtype these would wrap around.
        pytest.param(np.array([100, -100], dtype=np.int8), 100.0, id="int8"),
        pytest.param(np.array([30000, -30000], dtype=np.int16), 30000.0, id="int16"),
        pytest.param(np.array([2_000_000_000, -2_000_000_000], dtype=np.int32), 2e9, id="int32"),
        pytest.param(np.array([60000, 60000], dtype=np.uint16), 60000.0, id="uint16"),
        pytest.param(np.array([4_000_000_000, 4_000_000_000], dtype=np.uint32), 4e9, id="uint32"),
    ],
)
def test_overall_rms_keeps_the_dc_level_and_full_scale_integer_samples(y_vals, rms):
    result = core_math.compute_true_overall_rms(y_vals)
    assert type(result) is float and result == rms


def test_dc_removal_takes_one_mean_over_the_whole_array():
    np.testing.assert_array_equal(core_math.remove_dc_offset(np.full(7, 3.25)), np.zeros(7))
    np.testing.assert_array_equal(core_math.remove_dc_offset(np.array([[0.0, 0.0], [0.0, 4.0]])), [[-1, -1], [-1, 3]])


@pytest.mark.parametrize("name", ["remove_dc_offset", "compute_true_overall_rms"])
@pytest.mark.parametrize(
    "y_vals",
    [
        pytest.param(np.array([]), id="empty"),
        pytest.param(np.array([1.0, np.nan, 2.0]), id="nan"),
        pytest.param(np.array([1e200, 1.0]), id="square-overflows"),
        pytest.param([3.0, 4.0], id="list"),
        pytest.param(np.array([1 + 2j, 3 - 1j]), id="complex"),
        pytest.param(np.array([True, False, True]), id="bool"),
        pytest.param(np.array([2**40, -(2**40), 7], dtype=np.int64), id="int64"),
        pytest.param(np.array([-32768, 32767, 1], dtype=np.int16), id="int16"),
        pytest.param(np.linspace(-1, 1, 12, dtype=np.float32).reshape(3, 4), id="float32-2d"),
        pytest.param(np.float64(-2.5), id="numpy-scalar"),
        pytest.param(1.5, id="python-float"),
        # Past numpy's 8192-sample buffer, in every layout the native loops take.
        pytest.param(np.random.default_rng(7).normal(0.3, 2.0, 20_000), id="long"),
        pytest.param(np.random.default_rng(7).normal(0.3, 2.0, 20_000)[::3], id="long-strided"),
    ],
)
def test_time_domain_basics_match_the_reading(name, y_vals):
    assert_same_outcome(name, y_vals, generic=True)


@pytest.mark.parametrize(
    "name, args, path",
    [
        pytest.param("compute_true_overall_rms", (WAVEFORM[:1],), "native", id="rms of one sample"),
        pytest.param("compute_true_overall_rms", (WAVEFORM * 1e154,), "generic", id="rms whose squares overflow"),
        pytest.param("remove_dc_offset", (WAVEFORM[:0],), "generic", id="mean of no samples"),
        pytest.param("remove_dc_offset", (np.full(9, 1e308),), "generic", id="mean whose sum overflows"),
    ],
)
def test_native_loop_boundaries(name, args, path):
    assert_at_boundary(name, args, path)


@BUDGET
@given(name=st.sampled_from(["remove_dc_offset", "compute_true_overall_rms"]),
       waveform=records().flatmap(laid_out), error_state=error_states)
def test_mean_and_rms_of_edge_records(name, waveform, error_state):
    assert_same_outcome(name, waveform, error_state=error_state, generic=True)


# --- band-pass filtering ------------------------------------------------------


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
    assert_same_outcome("compute_envelope_waveform", tone(60, 256, 1000), fs, lowcut, highcut, filter_type=filter_type)


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
    x = tone(freq_hz, 4000, 1000)
    filtered = core_math.apply_bandpass(x, 20, 200, 1000)
    away_from_ends = slice(500, 3500)
    if in_band:
        np.testing.assert_allclose(filtered[away_from_ends], x[away_from_ends], atol=1e-4)
    else:
        assert np.max(np.abs(filtered[away_from_ends])) < 1e-3


@pytest.mark.parametrize("name", ["apply_bandpass", "compute_envelope_waveform", "compute_envelope_spectrum"])
@pytest.mark.parametrize("filter_type", [*FAMILIES, "Ellip", "none of them"])
@pytest.mark.parametrize("shape", [(700,), (3, 256)])
def test_filtering_and_envelopes_match_the_reading(name, filter_type, shape):
    x = np.random.default_rng(11).normal(size=shape) + tone(180, shape[-1], 1000)
    band_and_rate = (100, 250, 1000) if name == "apply_bandpass" else (1000, 100, 250)
    assert_same_outcome(name, x, *band_and_rate, 3, filter_type, 2.0, 35.0, generic=True)


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
    (kind, *_), _ = assert_same_outcome(name, *args)
    assert kind == "raised"


# --- the native zero-phase filter --------------------------------------------


def padding(order):
    """Samples filtfilt adds at each end: three lengths of a band-pass of this order."""
    return 3 * (2 * order + 1)


# Whether the native zero-phase filter held against the installed scipy at
# import; where it did not (scipy's own filtfilt computes otherwise), scipy
# filters every record.
NATIVE_FILTER = self_checks()["scipy's filtfilt"]


def filtered_natively(name, *args):
    """Whether the call's zero-phase filtering was the module's own."""
    calls = []
    with entries_into(filtfilt, calls):
        outcome(getattr(core_math, name), *args)
    return calls == []


@pytest.mark.parametrize("extra_samples", [0, 1], ids=["too short", "shortest filtered"])
@pytest.mark.parametrize("order", [1, 4, 8])
@pytest.mark.parametrize("filter_type", FAMILIES)
def test_records_at_the_padding_limit(filter_type, order, extra_samples):
    args = (WAVEFORM[: padding(order) + extra_samples], 50, 200, FS, order, filter_type)
    (kind, *_), _ = assert_same_outcome("apply_bandpass", *args, generic=True)
    assert kind == ("returned" if extra_samples else "raised")
    assert filtered_natively("apply_bandpass", *args) == (bool(extra_samples) and NATIVE_FILTER)


def silent_then(tail):
    """A record that is silent for its first half: the forward pass starts
    from a zero state, and only its end meets the tail's level."""
    return np.concatenate([np.zeros(len(tail)), tail])


NOISE = np.random.default_rng(11).standard_normal(60)


# Records whose extension or initial states raise a floating-point flag in
# numpy (overflow at the start, underflow at the start or, after the forward
# pass, at the end), or that leave NaN in the result; and whether the module
# filters them itself.
@pytest.mark.parametrize(
    "data, natively",
    [
        pytest.param(np.full(60, 5e-324), False, id="subnormal constant"),
        pytest.param(np.concatenate([[1e308], NOISE]), False, id="starts at 1e308"),
        pytest.param(silent_then(1e-310 * NOISE), False, id="fades to subnormal"),
        pytest.param(silent_then(1e-305 * NOISE), False, id="fades to 1e-305"),
        pytest.param(silent_then(1e306 * NOISE), True, id="swells to 1e306"),
        pytest.param(silent_then(1e307 * NOISE), False, id="swells to 1e307"),
        pytest.param(np.where(np.arange(60) == 30, np.nan, NOISE), False, id="NaN sample"),
        pytest.param(np.where(np.arange(60) == 59, -np.inf, NOISE), False, id="infinite last sample"),
        pytest.param(np.full(60, -0.0), True, id="negative zeros"),
    ],
)
@pytest.mark.parametrize("filter_type", FAMILIES)
def test_extreme_records(data, natively, filter_type):
    args = (data, 30, 120, FS, 4, filter_type)
    for error_state in ERROR_STATES:
        assert_same_outcome("apply_bandpass", *args, error_state=error_state, generic=True)
    assert filtered_natively("apply_bandpass", *args) == (natively and NATIVE_FILTER)


@pytest.mark.parametrize("name, args", [
    pytest.param("apply_bandpass", (WAVEFORM, 30, 120, FS), id="band-pass"),
    pytest.param("apply_bandpass", (WAVEFORM[::-1], 30, 120, FS, 6, "ellip"), id="band-pass of a reversed view"),
    pytest.param("compute_envelope_waveform", (WAVEFORM, FS, 150, 250), id="envelope"),
    pytest.param("compute_envelope_spectrum", (WAVEFORM, FS, 150, 250, 3, "cheby2"), id="envelope spectrum"),
])
def test_the_common_call_filters_natively_into_a_new_record(name, args):
    assert filtered_natively(name, *args) == NATIVE_FILTER
    assert_same_outcome(name, *args, generic=True)
    assert not np.shares_memory(getattr(core_math, name)(*args), args[0])


def test_the_filtered_record_is_laid_out_as_scipys():
    native = core_math.apply_bandpass(WAVEFORM, 30, 120, FS)
    filtered = filtfilt(*butter(4, [30 / (FS / 2), 120 / (FS / 2)], btype="band"), WAVEFORM)
    assert native.strides == filtered.strides
    assert native.base.shape == filtered.base.shape
    assert np.array_equal(native.base, filtered.base)


@pytest.mark.parametrize("name, args", [
    pytest.param("apply_bandpass", (WAVEFORM, 30, 120, FS), id="band-pass"),
    pytest.param("compute_envelope_waveform", (WAVEFORM, FS, 30, 120), id="envelope"),
])
def test_a_rebound_filtfilt_does_the_filtering(monkeypatch, name, args):
    records_filtered = []

    def doubled(b, a, data):
        """A zero-phase filter of the caller's own, told apart from scipy's by its gain."""
        records_filtered.append(data)
        return 2.0 * filtfilt(b, a, data)

    for module in (core_math, reference):
        monkeypatch.setattr(module, "filtfilt", doubled)
    assert_same_outcome(name, *args)
    # Once each, handed the caller's record itself.
    assert len(records_filtered) == 2 and all(data is WAVEFORM for data in records_filtered)


B4, A4 = butter(4, [0.06, 0.24], btype="band")


# Coefficients as a rebound designer may return them: ones the native filter
# takes, and ones just outside what it takes, which scipy must filter.
@pytest.mark.parametrize("b, a, taken", [
    pytest.param(B4, A4, True, id="designed"),
    pytest.param(np.array([0.2, 0.3]), np.array([1.0, -0.5]), True, id="first order"),
    pytest.param(2.0 * B4, 2.0 * A4, False, id="a[0] of 2"),
    pytest.param(-B4, -A4, False, id="a[0] of -1"),
    pytest.param(B4.astype(np.float32), A4.astype(np.float32), False, id="float32"),
    pytest.param(B4, A4.astype(np.float16), False, id="half-precision denominator"),
    pytest.param(np.array([1, 1]), np.array([1, 0]), False, id="ints"),
    pytest.param(list(B4), list(A4), False, id="lists"),
    pytest.param(np.array([0.2, 0.3]), np.array([1.0, -0.5, 0.06]), False, id="shorter numerator"),
    pytest.param(np.array([0.2, 0.3, 0.1]), np.array([1.0, -0.5]), False, id="shorter denominator"),
    pytest.param(np.array([0.5]), np.array([1.0]), False, id="one tap"),
    pytest.param(np.repeat(B4, 2)[::2], np.repeat(A4, 2)[::2], False, id="strided"),
    pytest.param(B4[::-1][::-1], A4, True, id="reversed twice"),
    pytest.param(B4.reshape(1, -1), A4.reshape(1, -1), False, id="rows"),
    pytest.param(np.array([-0.0, -0.0, -0.0]), np.array([1.0, 0.5, 0.25]), True, id="numerator of negative zeros"),
    pytest.param(np.array([0.0, 0.0]), np.array([1.0, -0.5]), True, id="numerator of zeros"),
    pytest.param(np.array([1.0, 1.0]), np.array([1.0, -1.0]), False, id="pole at z = 1"),
    pytest.param(np.array([0.0, 0.0]), np.array([1.0, -1.0]), False, id="pole at z = 1, zero numerator"),
    pytest.param(np.array([np.inf, 1.0]), np.array([1.0, -1.0]), False, id="pole at z = 1, infinite numerator"),
    pytest.param(np.array([np.inf, 1.0]), np.array([1.0, -0.5]), False, id="infinite step response"),
    pytest.param(np.array([1.0, np.inf]), np.array([1.0, 0.5]), False, id="infinite last tap"),
    pytest.param(np.array([np.nan, 1.0]), np.array([1.0, 0.5]), False, id="NaN tap"),
    pytest.param(np.array([1e308, 1e308]), np.array([1.0, 0.5]), False, id="numerator sum overflows"),
    pytest.param(np.array([1.7e308, 0.0]), np.array([1.0, -2.0]), False, id="step response overflows"),
    pytest.param(np.array([1e-300, 1e-300]), np.array([1.0, 1e-10]), False, id="tiny state"),
    pytest.param(np.array([1.0, 0.0]), np.array([1.0, -1.5]), True, id="unstable"),
])
@pytest.mark.parametrize("data", [
    pytest.param(WAVEFORM[:100], id="record"),
    pytest.param(np.ones(40), id="ones"),
    pytest.param(np.full(40, -0.0), id="negative zeros"),
    pytest.param(np.where(np.arange(40) == 20, np.nan, 1.0), id="NaN sample"),
])
def test_coefficients_of_a_rebound_designer(monkeypatch, b, a, taken, data):
    for module in (core_math, reference):
        monkeypatch.setattr(module, "butter", lambda *args, **kwargs: (b, a))
    for error_state in ERROR_STATES:
        assert_same_outcome("apply_bandpass", data, 30, 120, FS, error_state=error_state, generic=True)
    # A record with NaN is scipy's to filter, whatever the coefficients.
    native = taken and not np.isnan(data).any() and NATIVE_FILTER
    assert filtered_natively("apply_bandpass", data, 30, 120, FS) == native


# Spellings that select a family, and names that fall back to Butterworth.
family_names = st.one_of(
    st.sampled_from(FAMILIES),
    st.sampled_from(["BUTTER", "Cheby1", "CHEBY2", "eLLip", "Bessel", "butterworth", " bessel", "", "notch"]),
)
# Bands that cannot be realised, as fractions of Nyquist: an edge at or below
# 0 Hz, at or above Nyquist, equal or inverted edges.
UNREALISABLE_BANDS = [(0.0, 0.5), (-0.1, 0.5), (0.2, 1.0), (0.2, 1.3), (0.3, 0.3), (0.5, 0.3)]


@st.composite
def bands_and_rates(draw):
    """(lowcut, highcut, fs): mostly a band inside (0 Hz, Nyquist), else one
    that cannot be realised."""
    fs = draw(st.sampled_from([FS, 100, 25600.0, np.float64(2048.0)]))
    realisable = st.tuples(st.floats(0.02, 0.45), st.floats(0.5, 0.98))
    edges = draw(st.sampled_from([realisable] * 4 + [st.sampled_from(UNREALISABLE_BANDS)]).flatmap(lambda band: band))
    form = draw(st.sampled_from([float, float, np.float64, round]))
    return *(form(edge * 0.5 * fs) for edge in edges), fs


@st.composite
def filter_records(draw, order):
    """A record of about the padding length (just too short, the shortest
    that is filtered), longer, or long: plain noise, a constant, or one with
    extremes, NaN and infinities, in any layout."""
    edge = padding(order)
    n = draw(st.one_of(st.integers(edge + 1, 400), st.sampled_from([edge + 1, edge, 3000])))
    kind = draw(st.sampled_from(["noise", "noise", "constant", "broken", "broken"]))
    if kind == "noise":
        values = np.random.default_rng(draw(seeds)).standard_normal(n) * draw(st.sampled_from([1.0, 1e-3, 1e6]))
    elif kind == "constant":
        values = np.full(n, draw(st.sampled_from([0.0, -0.0, 2.5, -1e-3, 1e308, 5e-324])))
    else:
        values = draw(records(n=n))
    return draw(laid_out(values))


@st.composite
def band_pass_calls(draw):
    """apply_bandpass's arguments: record, band, order, family, ripple, attenuation."""
    order = draw(st.integers(1, 8))
    lowcut, highcut, fs = draw(bands_and_rates())
    rp = draw(st.sampled_from([5.0, 0.5, 3]))
    rs = draw(st.sampled_from([40.0, 20.0, 80]))
    return draw(filter_records(order)), lowcut, highcut, fs, order, draw(family_names), rp, rs


@BUDGET
@given(args=band_pass_calls(), error_state=error_states)
def test_band_pass_of_edge_records(args, error_state):
    assert_same_outcome("apply_bandpass", *args, error_state=error_state, generic=True)


@settings(max_examples=60, deadline=None)
@given(args=band_pass_calls(), envelope=st.sampled_from(["compute_envelope_waveform", "compute_envelope_spectrum"]),
       error_state=error_states)
def test_envelopes_of_edge_records(args, envelope, error_state):
    data, lowcut, highcut, fs, order, filter_type, rp, rs = args
    assert_same_outcome(envelope, data, fs, lowcut, highcut, order, filter_type, rp, rs, error_state=error_state,
                        generic=True)


# --- envelope demodulation ----------------------------------------------------


def test_envelope_of_a_steady_tone_is_flat_and_zero_mean():
    envelope = core_math.compute_envelope_waveform(tone(60, 4000, 1000), 1000, 20, 200)
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
    "rebound_name, call",
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
def test_results_that_do_not_unpack_into_two_values_raise(restored_namespace, rebound_name, call, n_values, message,
                                                          container):
    restored_namespace(rebound_name, lambda *args, **kwargs: container([np.ones(3)] * n_values))
    with pytest.raises(ValueError) as error:
        call(np.ones(64))
    assert str(error.value) == message
