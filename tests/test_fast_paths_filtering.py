"""Native zero-phase band-pass filtering and cepstrum against scipy's and
numpy's own.

`apply_bandpass` designs its filter as it always did and then, for a float64
record and float64 coefficients, runs the forward and backward passes itself
instead of calling scipy's `filtfilt`; `compute_cepstrum` floors the
amplitudes, takes the magnitudes and builds the quefrency axis itself.  Both
must give what scipy and numpy give, down to the bits, the warnings and the
exceptions, and leave every call they cannot reproduce to them.  The generic
bodies are reached by rebinding `filtfilt` and `np` to stand-ins that behave
exactly like the originals.
"""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from scipy.signal import butter, filtfilt

import reference
from kemo_pkg import core_math
from outcome import outcome
from test_fast_paths import (
    BUDGET,
    assert_fast_path_agrees,
    ERROR_STATES,
    entries_into,
    error_states,
    laid_out,
    rebound,
    recorded,
    recording_numpy,
    records,
    seeds,
)


# A 1 kHz record: 50 Hz and 180 Hz tones over a little noise.
FS = 1000.0
WAVEFORM = (np.sin(2 * np.pi * 50 * np.arange(600) / FS) + 0.3 * np.sin(2 * np.pi * 180 * np.arange(600) / FS)
            + 0.05 * np.random.default_rng(7).standard_normal(600))

# --- band-pass filtering --------------------------------------------------

FAMILIES = ["butter", "cheby1", "cheby2", "ellip", "bessel"]
# Spellings that select a family, and names that fall back to Butterworth.
family_names = st.one_of(
    st.sampled_from(FAMILIES),
    st.sampled_from(["BUTTER", "Cheby1", "CHEBY2", "eLLip", "Bessel", "butterworth", " bessel", "", "notch"]),
)


def padding(order):
    """Samples filtfilt adds at each end: three lengths of a band-pass of this order."""
    return 3 * (2 * order + 1)


# Bands that cannot be realised, as fractions of Nyquist: an edge at or below
# 0 Hz, at or above Nyquist, equal or inverted edges.
UNREALISABLE_BANDS = [(0.0, 0.5), (-0.1, 0.5), (0.2, 1.0), (0.2, 1.3), (0.3, 0.3), (0.5, 0.3)]


@st.composite
def bands(draw):
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
    lowcut, highcut, fs = draw(bands())
    rp = draw(st.sampled_from([5.0, 0.5, 3]))
    rs = draw(st.sampled_from([40.0, 20.0, 80]))
    return draw(filter_records(order)), lowcut, highcut, fs, order, draw(family_names), rp, rs


@BUDGET
@given(args=band_pass_calls(), error_state=error_states)
def test_band_pass(args, error_state):
    assert_fast_path_agrees("apply_bandpass", args, error_state)


@settings(max_examples=60, deadline=None)
@given(args=band_pass_calls(), envelope=st.sampled_from(["compute_envelope_waveform", "compute_envelope_spectrum"]),
       error_state=error_states)
def test_envelope(args, envelope, error_state):
    data, lowcut, highcut, fs, order, filter_type, rp, rs = args
    assert_fast_path_agrees(envelope, (data, fs, lowcut, highcut, order, filter_type, rp, rs), error_state)


@pytest.mark.parametrize("extra_samples", [0, 1], ids=["too short", "shortest filtered"])
@pytest.mark.parametrize("order", [1, 4, 8])
@pytest.mark.parametrize("filter_type", FAMILIES)
def test_records_at_the_padding_limit(filter_type, order, extra_samples):
    record = WAVEFORM[: padding(order) + extra_samples]
    assert_fast_path_agrees("apply_bandpass", (record, 50, 200, FS, order, filter_type))


def silent_then(tail):
    """A record that is silent for its first half: the forward pass starts
    from a zero state, and only its end meets the tail's level."""
    return np.concatenate([np.zeros(len(tail)), tail])


NOISE = np.random.default_rng(11).standard_normal(60)
# Records whose extension or initial states raise a floating-point flag in
# numpy (overflow at the start, underflow at the start or, after the forward
# pass, at the end), or that leave NaN in the result.
EXTREME_RECORDS = [
    pytest.param(np.full(60, 5e-324), id="subnormal constant"),
    pytest.param(np.concatenate([[1e308], NOISE]), id="starts at 1e308"),
    pytest.param(silent_then(1e-310 * NOISE), id="fades to subnormal"),
    pytest.param(silent_then(1e-305 * NOISE), id="fades to 1e-305"),
    pytest.param(silent_then(1e306 * NOISE), id="swells to 1e306"),
    pytest.param(silent_then(1e307 * NOISE), id="swells to 1e307"),
    pytest.param(np.where(np.arange(60) == 30, np.nan, NOISE), id="NaN sample"),
    pytest.param(np.where(np.arange(60) == 59, -np.inf, NOISE), id="infinite last sample"),
    pytest.param(np.full(60, -0.0), id="negative zeros"),
]


@pytest.mark.parametrize("error_state", ERROR_STATES)
@pytest.mark.parametrize("filter_type", FAMILIES)
@pytest.mark.parametrize("data", EXTREME_RECORDS)
def test_extreme_records(data, filter_type, error_state):
    assert_fast_path_agrees("apply_bandpass", (data, 30, 120, FS, 4, filter_type), error_state)


@pytest.mark.parametrize("function_name, args", [
    pytest.param("apply_bandpass", (WAVEFORM, 30, 120, FS), id="band-pass"),
    pytest.param("apply_bandpass", (WAVEFORM[::-1], 30, 120, FS, 6, "ellip"), id="band-pass of a reversed view"),
    pytest.param("compute_envelope_waveform", (WAVEFORM, FS, 150, 250), id="envelope"),
    pytest.param("compute_envelope_spectrum", (WAVEFORM, FS, 150, 250, 3, "cheby2"), id="envelope spectrum"),
])
def test_the_common_call_filters_natively(function_name, args):
    calls = []
    with entries_into(filtfilt, calls):
        native = getattr(core_math, function_name)(*args)
    assert calls == []
    assert outcome(lambda: native) == outcome(getattr(reference, function_name), *args)
    # A new record, not a view of the caller's.
    assert not np.shares_memory(native, args[0])


def test_the_filtered_record_is_laid_out_as_scipys():
    native = core_math.apply_bandpass(WAVEFORM, 30, 120, FS)
    filtered = filtfilt(*butter(4, [30 / (FS / 2), 120 / (FS / 2)], btype="band"), WAVEFORM)
    assert native.strides == filtered.strides
    assert native.base.shape == filtered.base.shape
    assert np.array_equal(native.base, filtered.base)


@pytest.mark.parametrize("function_name, args", [
    pytest.param("apply_bandpass", (WAVEFORM, 30, 120, FS), id="band-pass"),
    pytest.param("compute_envelope_waveform", (WAVEFORM, FS, 30, 120), id="envelope"),
])
def test_a_rebound_filtfilt_does_the_filtering(monkeypatch, function_name, args):
    records_filtered = []

    def doubled(b, a, data):
        """A zero-phase filter of the caller's own, told apart from scipy's by its gain."""
        records_filtered.append(data)
        return 2.0 * filtfilt(b, a, data)

    for module in (core_math, reference):
        monkeypatch.setattr(module, "filtfilt", doubled)
    through_the_module = outcome(getattr(core_math, function_name), *args)
    through_the_reading = outcome(getattr(reference, function_name), *args)
    # Once each, handed the caller's record itself.
    assert len(records_filtered) == 2 and all(data is WAVEFORM for data in records_filtered)
    assert through_the_module == through_the_reading


def designed(b, a):
    """A designer that ignores the band and returns these coefficients."""
    return lambda *args, **kwargs: (b, a)


B4, A4 = butter(4, [0.06, 0.24], btype="band")
# Coefficients as a rebound designer may return them: ones the native filter
# takes, and ones just outside what it takes, which scipy must filter.
COEFFICIENTS = [
    pytest.param(B4, A4, id="designed"),
    pytest.param(np.array([0.2, 0.3]), np.array([1.0, -0.5]), id="first order"),
    pytest.param(2.0 * B4, 2.0 * A4, id="a[0] of 2"),
    pytest.param(-B4, -A4, id="a[0] of -1"),
    pytest.param(B4.astype(np.float32), A4.astype(np.float32), id="float32"),
    pytest.param(B4, A4.astype(np.float16), id="half-precision denominator"),
    pytest.param(np.array([1, 1]), np.array([1, 0]), id="ints"),
    pytest.param(list(B4), list(A4), id="lists"),
    pytest.param(np.array([0.2, 0.3]), np.array([1.0, -0.5, 0.06]), id="shorter numerator"),
    pytest.param(np.array([0.2, 0.3, 0.1]), np.array([1.0, -0.5]), id="shorter denominator"),
    pytest.param(np.array([0.5]), np.array([1.0]), id="one tap"),
    pytest.param(np.repeat(B4, 2)[::2], np.repeat(A4, 2)[::2], id="strided"),
    pytest.param(B4[::-1][::-1], A4, id="reversed twice"),
    pytest.param(B4.reshape(1, -1), A4.reshape(1, -1), id="rows"),
    pytest.param(np.array([-0.0, -0.0, -0.0]), np.array([1.0, 0.5, 0.25]), id="numerator of negative zeros"),
    pytest.param(np.array([0.0, 0.0]), np.array([1.0, -0.5]), id="numerator of zeros"),
    pytest.param(np.array([1.0, 1.0]), np.array([1.0, -1.0]), id="pole at z = 1"),
    pytest.param(np.array([0.0, 0.0]), np.array([1.0, -1.0]), id="pole at z = 1, zero numerator"),
    pytest.param(np.array([np.inf, 1.0]), np.array([1.0, -1.0]), id="pole at z = 1, infinite numerator"),
    pytest.param(np.array([np.inf, 1.0]), np.array([1.0, -0.5]), id="infinite step response"),
    pytest.param(np.array([1.0, np.inf]), np.array([1.0, 0.5]), id="infinite last tap"),
    pytest.param(np.array([np.nan, 1.0]), np.array([1.0, 0.5]), id="NaN tap"),
    pytest.param(np.array([1e308, 1e308]), np.array([1.0, 0.5]), id="numerator sum overflows"),
    pytest.param(np.array([1.7e308, 0.0]), np.array([1.0, -2.0]), id="step response overflows"),
    pytest.param(np.array([1e-300, 1e-300]), np.array([1.0, 1e-10]), id="tiny state"),
    pytest.param(np.array([1.0, 0.0]), np.array([1.0, -1.5]), id="unstable"),
]
COEFFICIENT_RECORDS = [
    pytest.param(WAVEFORM[:100], id="record"),
    pytest.param(np.ones(40), id="ones"),
    pytest.param(np.full(40, -0.0), id="negative zeros"),
    pytest.param(np.where(np.arange(40) == 20, np.nan, 1.0), id="NaN sample"),
]


@pytest.mark.parametrize("error_state", ERROR_STATES)
@pytest.mark.parametrize("data", COEFFICIENT_RECORDS)
@pytest.mark.parametrize("b, a", COEFFICIENTS)
def test_coefficients_of_a_rebound_designer(monkeypatch, b, a, data, error_state):
    for module in (core_math, reference):
        monkeypatch.setattr(module, "butter", designed(b, a))
    assert_fast_path_agrees("apply_bandpass", (data, 30, 120, FS), error_state)


# --- cepstrum -------------------------------------------------------------

FLOOR = 1e-12
SPECIAL_AMPLITUDES = [0.0, -0.0, -1.0, FLOOR, float(np.nextafter(FLOOR, 0)), float(np.nextafter(FLOOR, 1)),
                      np.inf, -np.inf, np.nan, 1.7e308, 5e-324]


@st.composite
def amplitude_spectra(draw):
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
# warns about in its scalar arithmetic.
ORDINARY_SPACINGS = [1.0, 0.5, 1 / 64, 1000.0, 3, np.float64(0.25)]
SPACINGS = [
    1.0, 0.5, 1 / 64, 1000.0, -1.0, 0.0, -0.0, 1e-320, 5e-324, 1e307, 1e308, np.inf, -np.inf, np.nan,
    1, 3, -1, 0, 2**53 - 1, 2**53, -(2**53), 2**53 + 1, 10**400, True, False,
    np.float64(0.25), np.float64(0), np.float64(-0.0), np.float64(1e-320), np.float64(1e308), np.float64(np.nan),
    np.float32(0.5), np.int64(2),
]


@BUDGET
@given(spectrum_amps=amplitude_spectra(), d_axis=st.sampled_from(ORDINARY_SPACINGS) | st.sampled_from(SPACINGS),
       error_state=error_states)
def test_cepstrum(spectrum_amps, d_axis, error_state):
    assert_fast_path_agrees("compute_cepstrum", (spectrum_amps, d_axis), error_state)


def test_the_common_cepstrum_runs_natively_and_a_rebound_np_takes_it_over(monkeypatch):
    _, amps = core_math.compute_frequency_spectrum(WAVEFORM, FS)
    calls = []
    for module, name in ((np, "maximum"), (np, "abs"), (np.fft, "rfftfreq")):
        monkeypatch.setattr(module, name, recorded(calls, name, getattr(module, name)))
    native = outcome(core_math.compute_cepstrum, amps, FS / len(WAVEFORM))
    monkeypatch.undo()
    assert calls == []
    with rebound(np=recording_numpy(calls)):
        generic = outcome(core_math.compute_cepstrum, amps, FS / len(WAVEFORM))
    assert calls
    assert native == generic == outcome(reference.compute_cepstrum, amps, FS / len(WAVEFORM))


@pytest.mark.parametrize("error_state", ERROR_STATES)
@pytest.mark.parametrize("spectrum_amps", [np.array([3.0, 0.5, 1e-13, 2.0, 7.0]), np.array([0.0, 4.0])],
                         ids=["5 amplitudes", "2 amplitudes"])
@pytest.mark.parametrize("d_axis", SPACINGS, ids=lambda d_axis: f"{d_axis!r:.24}")
def test_cepstrum_spacings(d_axis, spectrum_amps, error_state):
    assert_fast_path_agrees("compute_cepstrum", (spectrum_amps, d_axis), error_state)
