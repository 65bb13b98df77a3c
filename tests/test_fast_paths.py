"""The native fast paths against the generic bodies they stand in for.

The hot functions serve the common call (float64 records, plain numbers) with
native loops and hand everything else to the generic body, which calls numpy
through the module namespace. Whatever the input - ordinary or broken
records, strided views, arguments just outside what the native loop takes,
numpy error states that warn or raise - both must return the same bits, raise
the same exception and issue the same warnings, and so must the plain-Python
reading. The generic body is reached by rebinding `np`, `medfilt`, `filtfilt`,
`interp1d` and `savgol_filter` to stand-ins that behave exactly like numpy and
scipy's functions but are not the objects the module imported.
"""

import contextlib
import sys
import types

import numpy as np
import pytest
import scipy.linalg
from hypothesis import given, settings
from hypothesis import strategies as st
from scipy.interpolate import interp1d
from scipy.signal import filtfilt, get_window, medfilt, savgol_coeffs, savgol_filter

import reference
from kemo_pkg import core_math
from outcome import outcome

# Behaves like numpy in every respect, but is not the numpy the native loops
# were checked against at import, so calls through it take the generic body.
NUMPY_STAND_IN = types.SimpleNamespace(**{name: getattr(np, name) for name in dir(np) if not name.startswith("__")})


def medfilt_stand_in(*args, **kwargs):
    """scipy's median filter, but not the function the native loops check for."""
    return medfilt(*args, **kwargs)


def filtfilt_stand_in(*args, **kwargs):
    """scipy's zero-phase filter, but not the function the native filter checks for."""
    return filtfilt(*args, **kwargs)


def interp1d_stand_in(*args, **kwargs):
    """scipy's interpolator, but not the one the native revolution count checks for."""
    return interp1d(*args, **kwargs)


def savgol_filter_stand_in(*args, **kwargs):
    """scipy's Savitzky-Golay filter, but not the one the native smoothing checks for."""
    return savgol_filter(*args, **kwargs)


# Each native loop checks one of these bindings before it takes a call, so
# with all of them rebound every call takes the generic body.
GENERIC_STAND_INS = {
    "np": NUMPY_STAND_IN,
    "medfilt": medfilt_stand_in,
    "filtfilt": filtfilt_stand_in,
    "interp1d": interp1d_stand_in,
    "savgol_filter": savgol_filter_stand_in,
}


@contextlib.contextmanager
def rebound(**stand_ins):
    """Module names bound to stand-ins for the duration of the block."""
    bound = {name: getattr(core_math, name) for name in stand_ins}
    for name, stand_in in stand_ins.items():
        setattr(core_math, name, stand_in)
    try:
        yield
    finally:
        for name, value in bound.items():
            setattr(core_math, name, value)


# numpy's error state decides which floating-point flags warn or raise; a
# native loop that sees any flag must leave the call to numpy.
ERROR_STATES = {
    "default": {},
    "all raise": {"all": "raise"},
    "underflow warns": {"under": "warn"},
}


def assert_fast_path_agrees(function_name, args, error_state="default"):
    """Same outcome natively, through the generic body and in plain Python,
    and the caller's arrays left as they were."""
    before = [arg.tobytes() for arg in args if isinstance(arg, np.ndarray)]
    function = getattr(core_math, function_name)
    with np.errstate(**ERROR_STATES[error_state]):
        native = outcome(function, *args)
        with rebound(**GENERIC_STAND_INS):
            generic = outcome(function, *args)
        plain = outcome(getattr(reference, function_name), *args)
    assert native == generic
    assert generic == plain
    assert [arg.tobytes() for arg in args if isinstance(arg, np.ndarray)] == before


BUDGET = settings(max_examples=150, deadline=None)

# --- records --------------------------------------------------------------

# Around the eight-accumulator blocks and the 128-element leaves of numpy's
# pairwise sum, and past its 8192-element buffer.
EDGE_LENGTHS = [0, 1, 2, 7, 8, 9, 127, 128, 129]
lengths = st.one_of(st.sampled_from(EDGE_LENGTHS), st.integers(0, 300), st.sampled_from([2500, 8193]))
# Loops that call numpy once per sample get shorter long records.
loop_lengths = st.one_of(st.sampled_from(EDGE_LENGTHS), st.integers(0, 300), st.just(2100))

# Ordinary levels mostly; 1e-9 sits at the flat-baseline limit of the
# z-score, 1e154 overflows when squared, 1e-160 underflows, 1e-310 is
# subnormal already.
ORDINARY_MAGNITUDES = [1.0, 1e-3, 1e6]
magnitudes = st.one_of(st.sampled_from(ORDINARY_MAGNITUDES), st.sampled_from([1e-9, 1e154, 1e300, 1e-160, 1e-310]))
SPECIAL_VALUES = [np.nan, np.inf, -np.inf, 0.0, -0.0, 1.7e308, -1.7e308, 5e-324, 2.2250738585072014e-308, 1e154]
# Half the records hold none of them; NaN, a dropout, is the commonest.
special_value = st.one_of(st.just(np.nan), st.sampled_from(SPECIAL_VALUES))
special_values = st.one_of(st.just([]), st.lists(special_value, min_size=1, max_size=3))
seeds = st.integers(0, 2**32 - 1)


def sprinkle(draw, rng, values):
    """Puts a few special values, or one in ten samples, at random places."""
    specials = draw(special_values)
    if len(values) and specials:
        count = draw(st.sampled_from([len(specials), max(len(specials), len(values) // 10)]))
        values[rng.integers(0, len(values), count)] = rng.choice(specials, count)


@st.composite
def records(draw, n=None, length=lengths):
    """A float64 record of one magnitude, continuous or on a few levels (runs
    of equal values, flat stretches, zeros of both signs), with NaN,
    infinities and extremes at random places."""
    n = draw(length) if n is None else n
    rng = np.random.default_rng(draw(seeds))
    magnitude = draw(magnitudes)
    levels = draw(st.sampled_from([None, 0, 1, 3]))
    if levels is None:
        values = rng.standard_normal(n) * magnitude
    else:
        values = rng.integers(-levels, levels + 1, n) * (magnitude * rng.choice([-1.0, 1.0], n))
    sprinkle(draw, rng, values)
    return values


class Recording(np.ndarray):
    """A caller's own array type."""


def contiguous(values):
    return values.copy()


def every_other(values):
    """A view of every second sample; the skipped ones are NaN."""
    base = np.full(2 * len(values), np.nan)
    base[::2] = values
    return base[::2]


def reversed_view(values):
    return values[::-1].copy()[::-1]


def read_only(values):
    values = values.copy()
    values.flags.writeable = False
    return values


def as_float32(values):
    with np.errstate(all="ignore"):
        return values.astype(np.float32)


def as_int64(values):
    return np.clip(np.nan_to_num(values), -(2.0**62), 2.0**62).astype(np.int64)


def byte_swapped(values):
    return values.astype(">f8")


def subclassed(values):
    return values.copy().view(Recording)


def unaligned(values):
    raw = np.zeros(values.nbytes + 1, np.uint8)
    shifted = np.ndarray(values.shape, np.float64, buffer=raw, offset=1)
    shifted[...] = values
    return shifted


def one_row(values):
    return values.reshape(1, -1)


NATIVE_LAYOUTS = [contiguous, every_other, reversed_view, read_only]
GUARD_LAYOUTS = [as_float32, as_int64, byte_swapped, subclassed, unaligned, one_row]
# Mostly layouts the native loops take, often one just outside them.
layouts = st.one_of(st.sampled_from(NATIVE_LAYOUTS), st.sampled_from(NATIVE_LAYOUTS + GUARD_LAYOUTS))


@st.composite
def laid_out(draw, values):
    return draw(layouts)(values)


@st.composite
def laid_out_pair(draw, first, second):
    """Both arrays in layouts the native loops take, or one just outside."""
    native = st.sampled_from(NATIVE_LAYOUTS)
    first_layout, second_layout = draw(st.sampled_from([(native, native)] * 3 + [(layouts, native), (native, layouts)]))
    return draw(first_layout)(first), draw(second_layout)(second)


# --- numbers --------------------------------------------------------------

# Numbers outside what a native loop takes: bools, ints float64 cannot hold
# exactly (or at all), numpy scalars.
NOT_PLAIN_NUMBERS = [True, False, 2**53, -(2**53), 2**53 + 1, -(2**53) - 1, 10**400, np.int64(3), np.float64(0.5)]


def whole_int(value):
    return int(value) if np.isfinite(value) and value == int(value) else value


@st.composite
def numbers(draw, values):
    """A value as a caller passes it: mostly a plain float, else a whole int
    or a numpy float64, sometimes a number outside the native loops."""
    value = draw(values)
    form = draw(st.sampled_from([float, float, float, whole_int, np.float64, None]))
    return draw(st.sampled_from(NOT_PLAIN_NUMBERS)) if form is None else form(value)


error_states = st.sampled_from(list(ERROR_STATES))

# --- the common call, and who serves it -----------------------------------

WAVEFORM = np.sin(np.arange(1000) * 0.1) + 0.2
TACH_TIMES = np.arange(2000) / 1000.0
TACH_SIGNAL = 5.0 * (np.arange(2000) % 40 < 3)
ORDERS = np.arange(200) / 16.0
ORDER_AMPS = 1.0 + np.cos(ORDERS)
# A fast shaft at about 50 Hz, its speed wandering a little.
HSS_PULSE_TIMES = np.cumsum(0.02 + 0.002 * np.sin(np.arange(200) / 7.0))
# Vibration of that shaft at 2560 Hz from before its first pulse to past its sixth.
VIB_TIMES = np.arange(-64, 384) / 2560.0
VIB_SAMPLES = np.sin(2 * np.pi * 150.0 * VIB_TIMES) + 0.3 * np.sin(2 * np.pi * 37.0 * VIB_TIMES)

COMMON_CALLS = [
    pytest.param("remove_dc_offset", (WAVEFORM,), id="dc"),
    pytest.param("compute_true_overall_rms", (WAVEFORM,), id="rms"),
    pytest.param("get_tach_midpoints", (TACH_TIMES, TACH_SIGNAL), id="tach"),
    pytest.param("get_harmonic_peak", (ORDERS, ORDER_AMPS, 1.0), id="peak"),
    pytest.param("get_band_energy", (ORDERS, ORDER_AMPS, 1, 3), id="band"),
    pytest.param("classify_operating_state", (np.linspace(0, 2500, 100), 2000), id="states"),
    pytest.param("compute_severity_envelope", (WAVEFORM, 0.9), id="envelope"),
    pytest.param("compute_moving_average", (WAVEFORM, 5), id="moving-average"),
    pytest.param("compute_dynamic_zscore", (WAVEFORM, 30), id="zscore"),
    pytest.param("compute_degradation_velocity", (WAVEFORM, 0.5), id="velocity"),
    pytest.param("compute_fft_dsp", (WAVEFORM, 1 / 64), id="order-spectrum"),
    pytest.param("compute_frequency_spectrum", (WAVEFORM, 1000.0, "hamming", "rms", "power"), id="spectrum"),
    pytest.param("perform_tsa", (WAVEFORM, 10, 100, 5), id="synchronous-average"),
    pytest.param("generate_fault_freq_fast", (HSS_PULSE_TIMES, 2.5), id="slow-shaft"),
]
# The median filters need no numpy of their own: scipy's medfilt is what they
# stand in for.
MEDIAN_CALLS = [
    pytest.param("compute_median_filter", (WAVEFORM, 5), id="median"),
    pytest.param("compute_robust_trend", (WAVEFORM, 5, 15, 3), id="robust-trend"),
]
# Order tracking maps sample times to revolutions without scipy's linear
# interp1d, but fits its spline with scipy, which calls numpy on its own.
ORDER_TRACKING_CALLS = [
    pytest.param("perform_order_tracking", (VIB_TIMES, VIB_SAMPLES, HSS_PULSE_TIMES[:6]), id="order-tracking"),
]
# The Savitzky-Golay smoothers leave scipy the window design and the
# least-squares fit at each end; the correlation and the fitted edges are native.
SAVGOL_CALLS = [
    pytest.param("compute_savgol_filter", (WAVEFORM, 11, 3), id="savgol"),
    pytest.param("compute_robust_trend", (WAVEFORM, 5, 51, 5), id="robust-trend-wide-fit"),
]

# The numpy functions each generic body above reaches first.
GENERIC_ENTRY_POINTS = ["mean", "percentile", "any", "digitize", "zeros_like", "gradient", "arange"]


def recorded(calls, name, function):
    def call(*args, **kwargs):
        calls.append(name)
        return function(*args, **kwargs)

    return call


def recording_numpy(calls):
    """The stand-in, with every numpy function noting its calls."""
    return types.SimpleNamespace(
        **{
            name: recorded(calls, name, value) if callable(value) and not isinstance(value, type) else value
            for name, value in vars(NUMPY_STAND_IN).items()
        }
    )


@pytest.mark.parametrize("function_name, args", COMMON_CALLS)
def test_the_common_call_runs_natively_and_a_rebound_np_takes_it_over(monkeypatch, function_name, args):
    # Without this, every comparison below could be the generic body against itself.
    function = getattr(core_math, function_name)
    calls = []
    for name in GENERIC_ENTRY_POINTS:
        monkeypatch.setattr(np, name, recorded(calls, name, getattr(np, name)))
    native = outcome(function, *args)
    monkeypatch.undo()
    assert calls == []
    with rebound(np=recording_numpy(calls)):
        generic = outcome(function, *args)
    assert calls
    assert native == generic


@contextlib.contextmanager
def entries_into(function, calls, noted=None):
    """Notes each entry into a Python function, however it is reached: its
    name, or what `noted` reads from the entered frame."""
    previous = sys.getprofile()

    def profile(frame, event, arg):
        if event == "call" and frame.f_code is function.__code__:
            calls.append(function.__name__ if noted is None else noted(frame))

    sys.setprofile(profile)
    try:
        yield
    finally:
        sys.setprofile(previous)


@pytest.mark.parametrize("function_name, args", MEDIAN_CALLS)
def test_the_common_median_call_runs_natively_and_a_rebound_medfilt_takes_it_over(function_name, args):
    function = getattr(core_math, function_name)
    calls = []
    with entries_into(medfilt, calls):
        native = outcome(function, *args)
    assert calls == []
    with rebound(medfilt=recorded(calls, "medfilt", medfilt)):
        generic = outcome(function, *args)
    assert calls == ["medfilt"]
    assert native == generic


def fitted_shape(frame):
    return frame.f_locals["a"].shape


@pytest.mark.parametrize("function_name, args", SAVGOL_CALLS)
def test_the_common_savgol_call_runs_natively_and_a_rebound_savgol_filter_takes_it_over(function_name, args):
    function = getattr(core_math, function_name)
    window, poly_order = args[-2:]
    # The window design's fit, then one fit of the first and one of the last window.
    fits = [(poly_order + 1, window), (window, poly_order + 1), (window, poly_order + 1)]
    calls, native_fits, generic_fits = [], [], []
    native = outcome(function, *args)
    for scipy_filter in (savgol_filter, medfilt):
        with entries_into(scipy_filter, calls):
            assert outcome(function, *args) == native
    assert calls == []
    with entries_into(scipy.linalg.lstsq, native_fits, fitted_shape):
        assert outcome(function, *args) == native
    with rebound(savgol_filter=recorded(calls, "savgol_filter", savgol_filter)), \
            entries_into(scipy.linalg.lstsq, generic_fits, fitted_shape):
        generic = outcome(function, *args)
    assert calls == ["savgol_filter"]
    assert native_fits == generic_fits == fits
    assert native == generic


def interpolation_kind(frame):
    return frame.f_locals["kind"]


@pytest.mark.parametrize("function_name, args", ORDER_TRACKING_CALLS)
def test_the_common_order_tracking_call_fits_only_its_spline_with_interp1d(function_name, args):
    # Each sample's revolution count is native; the spline stays scipy's.
    function = getattr(core_math, function_name)
    kinds = []
    with entries_into(interp1d.__init__, kinds, interpolation_kind):
        native = outcome(function, *args)
    assert kinds == ["cubic"]
    kinds.clear()
    with rebound(interp1d=interp1d_stand_in), entries_into(interp1d.__init__, kinds, interpolation_kind):
        generic = outcome(function, *args)
    assert kinds == ["linear", "cubic"]
    assert native == generic


@pytest.mark.parametrize("layout", GUARD_LAYOUTS)
@pytest.mark.parametrize("function_name, args", COMMON_CALLS + MEDIAN_CALLS + ORDER_TRACKING_CALLS + SAVGOL_CALLS)
def test_records_the_native_loops_decline(function_name, args, layout):
    laid_out_args = tuple(layout(arg) if isinstance(arg, np.ndarray) else arg for arg in args)
    assert_fast_path_agrees(function_name, laid_out_args)


# --- each native loop's own conditions, just inside and just outside ------


def spaced_pulses(mid_times):
    """A tachometer record of one-sample pulses at the given mid-times."""
    y = np.zeros(2 * len(mid_times) + 1)
    y[1::2] = 5.0
    t = np.full(len(y), -1.0)
    t[1::2] = mid_times
    return t, y


def with_values(values, at, new_values):
    values = values.copy()
    values[at] = new_values
    return values


# 0.06 - 0.03 is exactly 0.03; the pulse just before 0.06 follows 0.03 by less.
PULSES_30_MS_APART = spaced_pulses([0.0, 0.03, float(np.nextafter(0.06, 0)), 0.06])
# The window 1.0 +- 0.1 holds orders 15/16, 1 and 17/16 (indices 15 to 17).
PEAK_WINDOW = (1.0, 0.1)


def tracked_record(valid_count, pulse_count):
    """(vib_x, vib_y, pulse_times) at 1 kHz: `valid_count` samples from the
    first pulse to the last, five more before and after, and every pulse on a
    sample, the shaft speeding up."""
    vib_x = -0.37 + np.arange(-5, valid_count + 5) / 1000.0
    vib_y = np.sin(7.0 * vib_x) + 0.1 * np.cos(450.0 * vib_x)
    pulse_samples = 5 + np.round((valid_count - 1) * np.linspace(0, 1, pulse_count) ** 0.8).astype(int)
    return vib_x, vib_y, vib_x[pulse_samples]


TRACKED_TIMES, TRACKED_SAMPLES, TRACKED_PULSES = tracked_record(300, 4)


def tracked_with(vib_x=TRACKED_TIMES, vib_y=TRACKED_SAMPLES, pulse_times=TRACKED_PULSES):
    """That record of three revolutions, one of its arrays changed."""
    return vib_x, vib_y, pulse_times


# A sample 1e-310 s past a pulse three seconds before the next lies a
# revolution fraction past it that underflows.
SUBNORMAL_TIME_PAST_A_PULSE = (np.array([0.0, 1e-310, 1.0, 2.0, 4.0, 5.0, 6.0]), WAVEFORM[:7],
                               np.array([0.0, 3.0, 6.0]))
# The first revolution lasts longer than the largest double. Of the samples
# from the second pulse on, only the one on that pulse counts in the first
# revolution, and only its revolution count overflows.
REVOLUTION_PAST_THE_LARGEST_DOUBLE = (np.array([1.5e308, 1.55e308, 1.6e308, 1.65e308, 1.7e308]), WAVEFORM[:5],
                                      np.array([-1.5e308, 1.5e308, 1.7e308]))

# A condition feature drifting over 300 measurements.
TREND = 2.0 + 0.1 * np.cumsum(np.random.default_rng(11).standard_normal(300))
# A steady rise: straight-line fits of it leave residuals of exactly zero.
STEADY_RISE = np.arange(40.0)
# Alternating at the largest doubles: the residuals of the edge fits overflow.
LARGEST_ALTERNATING = 1.7e308 * (-1.0) ** np.arange(40)
# Windows exactly symmetric, symmetric to within DBL_EPSILON, antisymmetric to
# within it (the square fit of five samples), not symmetric (the default
# window among them), and fits wide enough that the design's column sums round.
SAVGOL_WINDOW_DESIGNS = [(1, 0), (3, 1), (9, 0), (5, 2), (15, 3), (21, 5), (5, 4), (11, 3), (7, 6), (25, 6), (51, 5),
                         (253, 4), (255, 6)]

BOUNDARY_CALLS = [
    pytest.param("compute_true_overall_rms", (WAVEFORM[:1],), id="rms of one sample"),
    pytest.param("compute_true_overall_rms", (WAVEFORM * 1e154,), id="rms whose squares overflow"),
    pytest.param("get_tach_midpoints", PULSES_30_MS_APART, id="pulses exactly 30 ms apart"),
    pytest.param("get_tach_midpoints", (TACH_TIMES, with_values(TACH_SIGNAL, 500, np.nan)), id="tach NaN sample"),
    pytest.param("get_tach_midpoints", (TACH_TIMES[:-1], TACH_SIGNAL[::-1]), id="pulse past a short time axis"),
    pytest.param("get_harmonic_peak", (ORDERS, ORDER_AMPS, *PEAK_WINDOW), id="peak"),
    pytest.param("get_harmonic_peak", (ORDERS, with_values(ORDER_AMPS, 16, np.nan), *PEAK_WINDOW), id="NaN inside"),
    pytest.param("get_harmonic_peak", (ORDERS, with_values(ORDER_AMPS, 18, np.nan), *PEAK_WINDOW), id="NaN beside"),
    # Which of two zeros np.max returns depends on where each lies.
    pytest.param("get_harmonic_peak", (ORDERS, with_values(ORDER_AMPS, [15, 16, 17], [0.0, -0.0, -0.0]), *PEAK_WINDOW),
                 id="zero peak, positive first"),
    pytest.param("get_harmonic_peak", (ORDERS, with_values(ORDER_AMPS, [15, 16, 17], [-0.0, -0.0, 0.0]), *PEAK_WINDOW),
                 id="zero peak, negative first"),
    pytest.param("get_harmonic_peak", (ORDERS, ORDER_AMPS, 1.0, 1 / 16), id="window edges on axis points"),
    pytest.param("get_harmonic_peak", (ORDERS[::-1], ORDER_AMPS, *PEAK_WINDOW), id="peak on a falling axis"),
    pytest.param("get_band_energy", (ORDERS, ORDER_AMPS, -np.inf, np.inf), id="band over everything"),
    pytest.param("get_band_energy", (ORDERS, ORDER_AMPS, 3, 1), id="inverted band"),
    pytest.param("get_band_energy", (with_values(ORDERS, 50, 2.0), ORDER_AMPS, 1, 3), id="band in two runs"),
    pytest.param("classify_operating_state", (np.linspace(100, 2399, 50), 2000), id="every power inside the bands"),
    pytest.param("classify_operating_state", (np.linspace(-10, 10, 21), 5e-324), id="smallest rating"),
    pytest.param("classify_operating_state", (np.linspace(0, 2500, 100), 0), id="zero rating"),
    pytest.param("classify_operating_state", (np.linspace(0, 2500, 100), np.nan), id="NaN rating"),
    pytest.param("classify_operating_state", (np.linspace(0, 1e301, 100), 1e300), id="rating 1e300"),
    pytest.param("classify_operating_state", (np.linspace(0, 1e301, 100), 1e301), id="rating 1e301"),
    pytest.param("compute_severity_envelope", (WAVEFORM, np.nan), id="NaN peak weight"),
    pytest.param("compute_severity_envelope", (with_values(WAVEFORM, 3, np.inf), 1.0), id="infinite sample, weight 1"),
    pytest.param("compute_severity_envelope", (with_values(WAVEFORM, 0, np.nan), 0.9), id="NaN first sample"),
    pytest.param("compute_moving_average", (WAVEFORM, 0), id="moving average window 0"),
    pytest.param("compute_moving_average", (WAVEFORM[:7], 7), id="moving average window of the whole series"),
    pytest.param("compute_moving_average", (WAVEFORM[:7], 8), id="moving average window past the series"),
    pytest.param("compute_dynamic_zscore", (WAVEFORM, -1), id="negative baseline window"),
    pytest.param("compute_dynamic_zscore", (WAVEFORM, 2), id="baseline of two samples"),
    pytest.param("compute_dynamic_zscore", (np.repeat([1.0, 2.0], [40, 10]), 30), id="flat baseline"),
    # 100 revolutions of 10 points in 1000 samples.
    pytest.param("perform_tsa", (WAVEFORM[:-1], 10, 100, 5), id="record one sample short"),
    pytest.param("perform_tsa", (WAVEFORM, 10, 99, 5), id="revolutions left over"),
    pytest.param("perform_tsa", (WAVEFORM, 10, 100, 100), id="a single block"),
    pytest.param("perform_tsa", (WAVEFORM, 1, 1000, 1), id="one-point blocks"),
    pytest.param("perform_tsa", (WAVEFORM, 1, 1, 1), id="a single one-point block"),
    pytest.param("perform_tsa", (WAVEFORM, 10, 4, 5), id="no whole block"),
    pytest.param("perform_tsa", (WAVEFORM, 0, 100, 5), id="no points per revolution"),
    pytest.param("perform_tsa", (WAVEFORM, 10, -10, 5), id="negative revolutions"),
    pytest.param("perform_tsa", (WAVEFORM, 10, 100, 0), id="no revolutions per block"),
    pytest.param("perform_tsa", (WAVEFORM, 10, 100, -5), id="negative revolutions per block"),
    pytest.param("perform_tsa", (WAVEFORM, np.int64(10), 100, 5), id="numpy int points per revolution"),
    pytest.param("perform_tsa", (WAVEFORM, 10, 100.0, 5), id="float revolutions"),
    pytest.param("perform_tsa", (WAVEFORM, 10, 100, True), id="bool revolutions per block"),
    pytest.param("perform_tsa", (with_values(WAVEFORM, 7, np.nan), 10, 100, 5), id="averaged NaN"),
    pytest.param("perform_tsa", (with_values(WAVEFORM, 7, np.inf), 10, 100, 5), id="averaged infinity"),
    pytest.param("perform_tsa", (with_values(WAVEFORM, [7, 57], [np.inf, -np.inf]), 10, 100, 5),
                 id="infinities of both signs at one angle"),
    pytest.param("perform_tsa", (np.full(1000, -0.0), 10, 100, 5), id="averaged negative zeros"),
    pytest.param("perform_tsa", (np.full(1000, 1e308), 10, 100, 5), id="block sums that overflow"),
    pytest.param("perform_tsa", (np.full(1000, 3e-310), 10, 100, 3), id="subnormal averages"),
    pytest.param("compute_median_filter", (WAVEFORM, 4), id="even median window"),
    pytest.param("compute_median_filter", (WAVEFORM, 0), id="median window 0"),
    pytest.param("compute_median_filter", (WAVEFORM, 1), id="median window 1"),
    pytest.param("compute_median_filter", (WAVEFORM, -1), id="negative median window"),
    pytest.param("compute_median_filter", (WAVEFORM, 255), id="median window 255"),
    pytest.param("compute_median_filter", (WAVEFORM, 256), id="median window 256"),
    pytest.param("compute_median_filter", (WAVEFORM[:7], 7), id="median window of the whole series"),
    pytest.param("compute_median_filter", (WAVEFORM[:8], 8), id="median window one past the series"),
    pytest.param("compute_median_filter", (WAVEFORM[:0], 5), id="median of no samples"),
    pytest.param("compute_median_filter", (WAVEFORM, 5.0), id="float median window"),
    pytest.param("compute_median_filter", (WAVEFORM, np.int64(5)), id="numpy int median window"),
    pytest.param("compute_median_filter", (WAVEFORM, True), id="bool median window"),
    pytest.param("compute_median_filter", (with_values(WAVEFORM, 9, np.nan), 5), id="median beside NaN"),
    pytest.param("compute_median_filter", (with_values(WAVEFORM, 9, -0.0), 5), id="median beside -0.0"),
    pytest.param("compute_median_filter", (np.tile([0.0, -0.0, 1.0, -0.0], 10), 5), id="zero medians of both signs"),
    pytest.param("compute_median_filter", (with_values(WAVEFORM, [3, 4], [np.inf, -np.inf]), 5),
                 id="median beside infinities"),
    # Three levels: most windows hold their median several times.
    pytest.param("compute_median_filter", (np.round(WAVEFORM) + 0.0, 7), id="median of three levels"),
    pytest.param("compute_robust_trend", (WAVEFORM, 6, 14), id="even robust windows"),
    pytest.param("compute_robust_trend", (WAVEFORM, 257), id="robust median window past 255"),
    pytest.param("compute_robust_trend", (WAVEFORM[:14],), id="series shorter than the fit"),
    pytest.param("compute_robust_trend", (WAVEFORM, 5, 15.0), id="float fit window"),
    pytest.param("compute_robust_trend", (WAVEFORM, np.int64(5)), id="numpy int robust median window"),
    pytest.param("compute_robust_trend", (with_values(WAVEFORM, 9, np.nan),), id="robust trend beside NaN"),
    pytest.param("compute_robust_trend", (TREND, 5, 255, 6), id="robust trend, widest native fit"),
    pytest.param("compute_robust_trend", (TREND, 5, 257), id="robust fit window past 255"),
    pytest.param("compute_robust_trend", (TREND, 5, 15, 7), id="robust fit order past 6"),
    *(pytest.param("compute_savgol_filter", (TREND, window, order), id=f"savgol window {window}, order {order}")
      for window, order in SAVGOL_WINDOW_DESIGNS),
    pytest.param("compute_savgol_filter", (TREND[:255], 255, 6), id="savgol window of the whole series"),
    pytest.param("compute_savgol_filter", (TREND[:254], 255, 3), id="savgol window one past the series"),
    pytest.param("compute_savgol_filter", (TREND, 257, 3), id="savgol window past 255"),
    pytest.param("compute_savgol_filter", (TREND, 10, 3), id="even savgol window"),
    pytest.param("compute_savgol_filter", (TREND, 0, 0), id="savgol window 0"),
    pytest.param("compute_savgol_filter", (TREND, -1, 0), id="negative savgol window"),
    pytest.param("compute_savgol_filter", (TREND, 11.0, 3), id="float savgol window"),
    pytest.param("compute_savgol_filter", (TREND, np.int64(11), 3), id="numpy int savgol window"),
    pytest.param("compute_savgol_filter", (TREND, 11, 7), id="savgol order past 6"),
    pytest.param("compute_savgol_filter", (TREND, 11, 11), id="savgol order of the window"),
    pytest.param("compute_savgol_filter", (TREND, 11, -1), id="negative savgol order"),
    pytest.param("compute_savgol_filter", (TREND, 11, 3.0), id="float savgol order"),
    pytest.param("compute_savgol_filter", (TREND, 11, np.int64(3)), id="numpy int savgol order"),
    pytest.param("compute_savgol_filter", (TREND, 11, True), id="bool savgol order"),
    pytest.param("compute_savgol_filter", (with_values(TREND, 0, np.nan), 11, 3), id="savgol of a NaN"),
    pytest.param("compute_savgol_filter", (with_values(TREND, 150, -np.inf), 11, 3), id="savgol of an infinity"),
    pytest.param("compute_savgol_filter", (STEADY_RISE, 11, 1), id="savgol of a steady rise"),
    # scipy's fit of zeros is -0.0, which the edge polynomial turns into +0.0.
    pytest.param("compute_savgol_filter", (np.zeros(40), 11, 0), id="savgol of zeros"),
    pytest.param("compute_savgol_filter", (np.full(40, -0.0), 11, 3), id="savgol of negative zeros"),
    pytest.param("compute_savgol_filter", (np.full(40, 7.25), 15, 3), id="savgol of a constant"),
    pytest.param("compute_savgol_filter", (LARGEST_ALTERNATING, 11, 3), id="savgol fits that overflow"),
    pytest.param("compute_savgol_filter", (TREND * 1e300, 11, 3), id="savgol at 1e300"),
    pytest.param("compute_savgol_filter", (TREND * 1e-300, 11, 3), id="savgol at 1e-300"),
    pytest.param("compute_savgol_filter", (TREND * 1e-310, 11, 3), id="subnormal savgol"),
    pytest.param("generate_fault_freq_fast", (HSS_PULSE_TIMES[:9], 4), id="nine pulses, ratio 4"),
    pytest.param("generate_fault_freq_fast", (HSS_PULSE_TIMES[:5], 4), id="one slow revolution"),
    pytest.param("generate_fault_freq_fast", (HSS_PULSE_TIMES[:4], 4), id="less than a slow revolution"),
    pytest.param("generate_fault_freq_fast", (HSS_PULSE_TIMES[:1], 1.0), id="one pulse"),
    pytest.param("generate_fault_freq_fast", (HSS_PULSE_TIMES[:0], 1.0), id="no pulse"),
    pytest.param("generate_fault_freq_fast", (HSS_PULSE_TIMES, 1), id="ratio 1"),
    pytest.param("generate_fault_freq_fast", (HSS_PULSE_TIMES, 0.3), id="ratio below 1"),
    pytest.param("generate_fault_freq_fast", (HSS_PULSE_TIMES, 2**53), id="int ratio 2**53"),
    pytest.param("generate_fault_freq_fast", (HSS_PULSE_TIMES, 2**53 + 1), id="int ratio 2**53 + 1"),
    pytest.param("generate_fault_freq_fast", (HSS_PULSE_TIMES, 1e300), id="ratio 1e300"),
    pytest.param("generate_fault_freq_fast", (HSS_PULSE_TIMES, 1e301), id="ratio 1e301"),
    pytest.param("generate_fault_freq_fast", (HSS_PULSE_TIMES, 1e-300), id="ratio 1e-300"),
    pytest.param("generate_fault_freq_fast", (HSS_PULSE_TIMES, 0), id="ratio 0"),
    pytest.param("generate_fault_freq_fast", (HSS_PULSE_TIMES, -2.0), id="negative ratio"),
    pytest.param("generate_fault_freq_fast", (HSS_PULSE_TIMES, np.float64(2.5)), id="numpy float ratio"),
    pytest.param("generate_fault_freq_fast", (HSS_PULSE_TIMES, True), id="bool ratio"),
    pytest.param("generate_fault_freq_fast", (with_values(HSS_PULSE_TIMES, 7, np.nan), 2.5), id="NaN pulse time"),
    pytest.param("generate_fault_freq_fast", (with_values(HSS_PULSE_TIMES, 7, np.inf), 2.5), id="infinite pulse time"),
    pytest.param("generate_fault_freq_fast", (with_values(HSS_PULSE_TIMES, 7, 1.7e308), 2.5), id="slope overflows"),
    # 10 revolutions: 1024.9 samples per revolution truncate to 1024, 1025 stay.
    pytest.param("perform_order_tracking", tracked_record(10249, 11), id="10249 samples over 10 revolutions"),
    pytest.param("perform_order_tracking", tracked_record(10250, 11), id="10250 samples over 10 revolutions"),
    pytest.param("perform_order_tracking", tracked_record(4, 2), id="four samples over one revolution"),
    pytest.param("perform_order_tracking", tracked_record(3, 2), id="three samples, too few for a spline"),
    pytest.param("perform_order_tracking", tracked_record(2, 2), id="two samples"),
    pytest.param("perform_order_tracking", tracked_with(pulse_times=TRACKED_PULSES[:1]), id="one pulse"),
    pytest.param("perform_order_tracking", tracked_with(with_values(TRACKED_TIMES, 6, TRACKED_TIMES[5]),
                                                        pulse_times=TRACKED_PULSES[:1]), id="two samples on one pulse"),
    pytest.param("perform_order_tracking", tracked_with(pulse_times=TRACKED_PULSES[:0]), id="no pulse"),
    pytest.param("perform_order_tracking", tracked_with(TRACKED_TIMES[::-1], TRACKED_SAMPLES[::-1]),
                 id="samples in reverse"),
    pytest.param("perform_order_tracking", tracked_with(with_values(TRACKED_TIMES, 100, TRACKED_TIMES[99])),
                 id="repeated sample time"),
    # The first NaN stands where the first pulse is.
    pytest.param("perform_order_tracking", tracked_with(with_values(TRACKED_TIMES, [5, 100], np.nan)),
                 id="NaN sample times"),
    pytest.param("perform_order_tracking", tracked_with(with_values(TRACKED_TIMES, [0, 100], [-np.inf, np.inf])),
                 id="infinite sample times"),
    pytest.param("perform_order_tracking", tracked_with(vib_y=with_values(TRACKED_SAMPLES, 100, np.nan)),
                 id="NaN sample"),
    pytest.param("perform_order_tracking", tracked_with(vib_y=with_values(TRACKED_SAMPLES, 100, np.inf)),
                 id="infinite sample"),
    pytest.param("perform_order_tracking", tracked_with(vib_y=TRACKED_SAMPLES[:-1]), id="one sample short"),
    pytest.param("perform_order_tracking", tracked_with(pulse_times=TRACKED_PULSES[::-1]), id="pulses in reverse"),
    pytest.param("perform_order_tracking", tracked_with(pulse_times=with_values(TRACKED_PULSES, 1, TRACKED_PULSES[0])),
                 id="repeated pulse time"),
    pytest.param("perform_order_tracking", tracked_with(pulse_times=with_values(TRACKED_PULSES, 2, np.nan)),
                 id="NaN pulse time"),
    pytest.param("perform_order_tracking", tracked_with(pulse_times=with_values(TRACKED_PULSES, -1, np.inf)),
                 id="infinite last pulse"),
    pytest.param("perform_order_tracking", SUBNORMAL_TIME_PAST_A_PULSE, id="revolution fraction underflows"),
    pytest.param("perform_order_tracking", REVOLUTION_PAST_THE_LARGEST_DOUBLE, id="revolution overflows"),
]


@pytest.mark.parametrize("error_state", ERROR_STATES)
@pytest.mark.parametrize("layout", NATIVE_LAYOUTS)
@pytest.mark.parametrize("function_name, args", BOUNDARY_CALLS)
def test_native_loop_boundaries(function_name, args, layout, error_state):
    laid_out_args = tuple(layout(arg) if isinstance(arg, np.ndarray) else arg for arg in args)
    assert_fast_path_agrees(function_name, laid_out_args, error_state)


def test_pulses_exactly_30_ms_apart_are_kept():
    assert core_math.get_tach_midpoints(*PULSES_30_MS_APART).tolist() == [0.0, 0.03, 0.06]


# --- overall level --------------------------------------------------------


@BUDGET
@given(waveform=records().flatmap(laid_out), error_state=error_states)
def test_overall_rms(waveform, error_state):
    assert_fast_path_agrees("compute_true_overall_rms", (waveform,), error_state)


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
def test_amplitude_spectra(waveform, spacing, window_type, scaling, spectrum_format, twin, error_state):
    assert_fast_path_agrees(twin, (waveform, spacing, window_type, scaling, spectrum_format), error_state)


# Long records take the native Hann window; any other window of a long
# record is scipy's, and so is any window once get_window is rebound.
LONG_RECORD_LENGTHS = [8192, 8193, 10_000, 65_537]


@pytest.mark.parametrize("n", LONG_RECORD_LENGTHS)
@pytest.mark.parametrize("window_type", ["hann", "hamming", "HANN"])
@pytest.mark.parametrize("twin", ["compute_fft_dsp", "compute_frequency_spectrum"])
def test_spectra_of_long_records(n, window_type, twin):
    waveform = np.random.default_rng(n).standard_normal(n) + 0.3
    assert_fast_path_agrees(twin, (waveform, 1 / 1024, window_type))


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


@BUDGET
@given(waveform=records().flatmap(laid_out), error_state=error_states)
def test_dc_removal(waveform, error_state):
    assert_fast_path_agrees("remove_dc_offset", (waveform,), error_state)


@BUDGET
@given(
    trend=records().flatmap(laid_out),
    time_delta=numbers(st.sampled_from([1.0, 0.5, 2, 0, 0.0, -3, 1e-300, 1e300, np.inf, np.nan])),
    error_state=error_states,
)
def test_degradation_velocity(trend, time_delta, error_state):
    assert_fast_path_agrees("compute_degradation_velocity", (trend, time_delta), error_state)


# --- tachometer pulses ----------------------------------------------------


@st.composite
def tachometer_records(draw):
    """(t, y): a pulse train at any phase (pulses may be open at either end
    or one sample wide), on a time axis that may start before zero or hold
    fewer samples than the record."""
    n = draw(loop_lengths)
    rng = np.random.default_rng(draw(seeds))
    fs = draw(st.sampled_from([50.0, 1000.0, 1e5]))
    # Pulses any number of samples apart, or just around the 30 ms spacing rule.
    spacing_rule = round(0.03 * fs)
    period = draw(st.one_of(st.integers(2, 50), st.sampled_from([max(spacing_rule + step, 2) for step in (-1, 0, 1)])))
    width = draw(st.integers(1, 6))
    phase = draw(st.integers(0, 50))
    noise = draw(st.sampled_from([0.0, 0.01, 0.3]))
    y = 5.0 * ((np.arange(n) + phase) % period < width) + noise * rng.standard_normal(n)
    sprinkle(draw, rng, y)
    t_start = draw(st.sampled_from([0.0, -2.0, -0.97, 1e6, 1.7e308]))
    t = t_start + np.arange(max(n + draw(st.integers(-3, 2)), 0)) / fs
    return draw(laid_out_pair(t, y))


@BUDGET
@given(record=tachometer_records(), error_state=error_states)
def test_tach_midpoints(record, error_state):
    assert_fast_path_agrees("get_tach_midpoints", record, error_state)


@BUDGET
@given(data=st.data(), t=records(), y=records(), error_state=error_states)
def test_tach_midpoints_of_arbitrary_records(data, t, y, error_state):
    assert_fast_path_agrees("get_tach_midpoints", data.draw(laid_out_pair(t, y)), error_state)


# --- slow shaft and synchronous average ----------------------------------


@st.composite
def pulse_trains(draw):
    """Pulse times of a shaft whose speed wanders, from any start time and at
    any scale, or any record at all (NaN, infinities, huge values, unsorted)."""
    n = draw(loop_lengths)
    if draw(st.integers(0, 2)) == 0:
        return draw(records(n=n).flatmap(laid_out))
    rng = np.random.default_rng(draw(seeds))
    period = draw(st.sampled_from([0.02, 1.0, 1e-9, 1e200]))
    start = draw(st.sampled_from([0.0, -1.0, 1e6, 1e300]))
    return draw(laid_out(start + np.cumsum(period * rng.uniform(0.5, 1.5, n))))


# Ratios below, at and above one, whole ones, ratios at and beyond the limits
# of the native loop, and ratios no gear stage has. Tiny ratios that leave the
# counts finite would ask for results of many GiB.
gear_ratios = st.one_of(
    st.floats(0.05, 50),
    st.sampled_from([1.0, 2.0, 2.5, 4.0, 1 / 3, 0.999999, 2.0**53, 1e300, 1e301, 1e-300, 5e-324, 0.0, -0.0, -2.0,
                     np.nan, np.inf, -np.inf]),
)


@BUDGET
@given(hss_pulse_times=pulse_trains(), gear_ratio=st.one_of(gear_ratios, numbers(gear_ratios)),
       error_state=error_states)
def test_slow_shaft_revolution_times(hss_pulse_times, gear_ratio, error_state):
    assert_fast_path_agrees("generate_fault_freq_fast", (hss_pulse_times, gear_ratio), error_state)


@st.composite
def averaging_calls(draw):
    """(order_waveform, pts_per_rev, total_revs, revs_per_block): one-point
    blocks, as many as a long record has samples, or blocks of a few
    revolutions, few or enough for a pairwise sum to differ from a fold; a
    record exactly as long as the blocks, one sample short, or with
    revolutions to spare; now and then a count the native loop declines."""
    if draw(st.integers(0, 2)) == 0:
        pts_per_rev, revs_per_block, num_blocks = 1, 1, draw(lengths)
    else:
        pts_per_rev, revs_per_block = draw(st.integers(1, 40)), draw(st.integers(1, 4))
        num_blocks = draw(st.one_of(st.integers(1, 9), st.sampled_from([0, 16, 130])))
    total_revs = num_blocks * revs_per_block + draw(st.integers(0, revs_per_block - 1))
    block_pts = num_blocks * revs_per_block * pts_per_rev
    n = draw(st.sampled_from([block_pts, total_revs * pts_per_rev + pts_per_rev, max(block_pts - 1, 0)]))
    counts = [pts_per_rev, total_revs, revs_per_block]
    if draw(st.integers(0, 7)) == 0:
        counts[draw(st.integers(0, 2))] = draw(st.sampled_from([0, -1, *NOT_PLAIN_NUMBERS]))
    return draw(records(n=n).flatmap(laid_out)), *counts


@BUDGET
@given(args=averaging_calls(), error_state=error_states)
def test_synchronous_average(args, error_state):
    assert_fast_path_agrees("perform_tsa", args, error_state)


# --- order tracking -------------------------------------------------------

SAMPLE_ARRANGEMENTS = ["at a rate", "at a rate", "at a rate", "shuffled", "a time repeated", "broken"]
# What now and then keeps a record from the native revolution count.
RECORD_FLAWS = ["layouts", "one sample short", "one sample more", "pulses out of order", "a pulse repeated",
                np.nan, np.inf, -np.inf]
# Three draws in four.
MOSTLY = [True, True, True, False]


@st.composite
def order_tracking_records(draw):
    """(vib_x, vib_y, pulse_times): samples at a rate from any start time,
    now and then shuffled, with a time repeated or broken; pulses of a shaft
    whose speed wanders, the first and the last before, on or between samples
    or after the record, sometimes every pulse on a sample; in one record in
    four a flaw that leaves the call to the generic body."""
    n = draw(st.integers(8, 300) if draw(st.sampled_from(MOSTLY)) else st.integers(0, 7))
    rng = np.random.default_rng(draw(seeds))
    fs = draw(st.sampled_from([1000.0, 2560.0, 3.0]))
    t_start = draw(st.sampled_from([0.0, -0.37, -2.0, 1e6]))
    sample_times = t_start + np.arange(n) / fs
    duration = max(n, 1) / fs

    def span_end(outside):
        where = draw(st.sampled_from(["on a sample", "between samples", "outside the record"]))
        if where == "on a sample" and n:
            return sample_times[rng.integers(n)]
        return t_start + duration * (outside if where == "outside the record" else rng.uniform())

    first_pulse, last_pulse = sorted([span_end(rng.uniform(-0.5, 0.0)), span_end(rng.uniform(1.0, 1.5))])
    pulse_count = draw(st.integers(4, 12) if draw(st.sampled_from(MOSTLY)) else st.integers(0, 3))
    pulse_times = np.full(pulse_count, first_pulse)
    if pulse_count > 1:
        elapsed = np.cumsum(rng.uniform(0.5, 1.5, pulse_count))
        pulse_times += (last_pulse - first_pulse) * (elapsed - elapsed[0]) / (elapsed[-1] - elapsed[0])
        pulse_times[-1] = last_pulse
    if n and draw(st.booleans()):
        inside = (pulse_times >= sample_times[0]) & (pulse_times <= sample_times[-1])
        pulse_times[inside] = sample_times[np.searchsorted(sample_times, pulse_times[inside])]

    arrangement = draw(st.sampled_from(SAMPLE_ARRANGEMENTS))
    vib_x = rng.permutation(sample_times) if arrangement == "shuffled" else sample_times.copy()
    if arrangement == "a time repeated" and n > 1:
        at = rng.integers(1, n)
        vib_x[at] = vib_x[at - 1]
    elif arrangement == "broken":
        sprinkle(draw, rng, vib_x)

    flaw = None if draw(st.sampled_from(MOSTLY)) else draw(st.sampled_from(RECORD_FLAWS))
    vib_y = draw(records(n=max(n + {"one sample short": -1, "one sample more": 1}.get(flaw, 0), 0)))
    if flaw == "layouts":
        return *draw(laid_out_pair(vib_x, vib_y)), draw(laid_out(pulse_times))
    if pulse_count and flaw not in (None, "one sample short", "one sample more"):
        at = rng.integers(pulse_count)
        if flaw == "pulses out of order":
            pulse_times[[at - 1, at]] = pulse_times[[at, at - 1]]
        else:
            pulse_times[at] = pulse_times[at - 1] if flaw == "a pulse repeated" else flaw
    vib_x, vib_y = (draw(st.sampled_from(NATIVE_LAYOUTS))(values) for values in (vib_x, vib_y))
    return vib_x, vib_y, draw(st.sampled_from([contiguous, read_only]))(pulse_times)


@BUDGET
@given(record=order_tracking_records(), error_state=error_states)
def test_order_tracking(record, error_state):
    assert_fast_path_agrees("perform_order_tracking", record, error_state)


# --- spectral features ----------------------------------------------------

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
def spectra(draw):
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
@given(data=st.data(), spectrum=spectra(), error_state=error_states)
def test_harmonic_peak(data, spectrum, error_state):
    orders, amps, positions, d_order = spectrum
    target_order = data.draw(numbers(positions))
    half_widths = st.sampled_from([0.0, 0.05, d_order / 2, d_order, 3 * d_order, 1e300, -d_order, np.nan, np.inf])
    search_window = data.draw(numbers(half_widths))
    assert_fast_path_agrees("get_harmonic_peak", (orders, amps, target_order, search_window), error_state)


@BUDGET
@given(data=st.data(), spectrum=spectra(), error_state=error_states)
def test_band_energy(data, spectrum, error_state):
    x_axis, y_axis, positions, _ = spectrum
    # Bands inside, across and outside the axis, inverted, or over everything.
    bands = st.one_of(st.tuples(numbers(positions), numbers(positions)), st.just((-np.inf, np.inf)))
    start_val, end_val = data.draw(bands)
    assert_fast_path_agrees("get_band_energy", (x_axis, y_axis, start_val, end_val), error_state)


# Past 2**53 doubles lie two apart: Python forms the window edges of two ints
# exactly and numpy rounds each edge once, whereas rounding each int first
# can move an edge by one axis point.
ORDERS_PAST_2_53 = np.unique(np.arange(2**53 - 6, 2**53 + 12).astype(np.float64))
RISING_AMPS = np.arange(1.0, len(ORDERS_PAST_2_53) + 1)


@pytest.mark.parametrize("amps", [RISING_AMPS, RISING_AMPS[::-1]], ids=["rising", "falling"])
@pytest.mark.parametrize("target_order", [2**53 - 3, 2**53 - 1, 2**53, 2**53 + 1, 2**53 + 3, 2**53 + 5])
@pytest.mark.parametrize("search_window", [1, 2, 3])
def test_harmonic_peak_of_int_orders_past_2_53(amps, target_order, search_window):
    assert_fast_path_agrees("get_harmonic_peak", (ORDERS_PAST_2_53, amps, target_order, search_window))


# --- harmonic signature rule ----------------------------------------------


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
def test_harmonic_signature(args, error_state):
    # The rule needs no numpy: nine plain floats as a float subclass take the
    # generic body. Beside a numpy scalar a float subclass would not be a weak
    # Python float, but there the native rule declines anyway.
    generic_args = [Amplitude(value) for value in args] if all(type(value) is float for value in args) else args
    with np.errstate(**ERROR_STATES[error_state]):
        native = outcome(core_math.detect_harmonic_signature, *args)
        generic = outcome(core_math.detect_harmonic_signature, *generic_args)
        plain = outcome(reference.detect_harmonic_signature, *args)
    assert native == generic == plain


# --- operating states -----------------------------------------------------

TABLE_RATINGS = [1800, 2400, 2800, 3600, 3800, 4800]
# Ratings on and just beside the table edges, proportional ones, and ratings
# that give no usable edges.
ratings = st.one_of(
    st.sampled_from(TABLE_RATINGS),
    st.sampled_from(TABLE_RATINGS).map(lambda r: float(np.nextafter(r, 0))),
    st.sampled_from(TABLE_RATINGS).map(lambda r: float(np.nextafter(r, np.inf))),
    st.floats(0, 6000),
    st.sampled_from([2500, 3700, 1500, 5000, 2000.0, 0, -100, -0.0, np.nan, np.inf, -np.inf, 1e300, 1e301, 5e-324]),
)

TABLE_EDGES = [100, 500, 800, 1400, 1800, 2400, 200, 1000, 2600, 3200, 3600, 300, 1500, 2500, 3500, 4200, 4800]


@st.composite
def power_records(draw, rating):
    """Powers on every band edge of the fixed tables and of the rating, just
    beside them, spread over the range, and a few broken samples."""
    n = draw(lengths)
    rng = np.random.default_rng(draw(seeds))
    scale = abs(float(rating)) if np.isfinite(rating) and rating != 0 else 5000.0
    edges = [0.0, *TABLE_EDGES, *(scale * fraction for fraction in (0.2, 0.4, 0.6, 0.8, 1.0))]
    candidates = np.concatenate([edges, np.nextafter(edges, np.inf), np.nextafter(edges, -np.inf)])
    powers = np.where(rng.random(n) < 0.5, rng.choice(candidates, n), rng.uniform(-0.2 * scale, 1.2 * scale, n))
    specials = draw(st.lists(st.sampled_from([np.nan, np.inf, -np.inf, -0.0]), max_size=2))
    if n:
        powers[rng.integers(0, n, len(specials))] = specials
    return draw(laid_out(powers))


@BUDGET
@given(data=st.data(), error_state=error_states)
def test_operating_states(data, error_state):
    rated_power = data.draw(ratings)
    power_arr = data.draw(power_records(rated_power))
    rating = data.draw(numbers(st.just(rated_power)))
    assert_fast_path_agrees("classify_operating_state", (power_arr, rating), error_state)


# --- trend series ---------------------------------------------------------

peak_weights = st.one_of(
    st.sampled_from([0.0, 0.5, 0.9, 1.0, -0.5, 1.5, 2.0, np.nan, np.inf, 1e308]),
    st.floats(-2, 3),
)


@BUDGET
@given(feature_data=records(length=loop_lengths).flatmap(laid_out), peak_weight=numbers(peak_weights),
       error_state=error_states)
def test_severity_envelope(feature_data, peak_weight, error_state):
    assert_fast_path_agrees("compute_severity_envelope", (feature_data, peak_weight), error_state)


def windows(n):
    """Window lengths of every sign, around the series length and far beyond,
    and windows that are not plain ints."""
    return st.one_of(
        st.integers(2, 40),
        st.integers(-3, 1),
        st.sampled_from([n - 1, n, n + 1, 2**62, 2**70, -(2**70)]),
        # The longest window a running median keeps sorted natively, and beside it.
        st.sampled_from([254, 255, 256, 257]),
        st.sampled_from([5.0, 0.0, True, np.int64(5)]),
    )


trend_records = records(length=loop_lengths)


@st.composite
def series_with_window(draw, feature_records=trend_records, window_sizes=windows):
    feature_data = draw(feature_records)
    return draw(laid_out(feature_data)), draw(window_sizes(len(feature_data)))


@BUDGET
@given(series=series_with_window(), error_state=error_states)
def test_moving_average(series, error_state):
    assert_fast_path_agrees("compute_moving_average", series, error_state)


@BUDGET
@given(series=series_with_window(), error_state=error_states)
def test_dynamic_zscore(series, error_state):
    assert_fast_path_agrees("compute_dynamic_zscore", series, error_state)


def settled(values):
    """Without NaN, and with every zero positive, samples that compare equal
    are the same double: any correct median selection returns the same bits."""
    return np.where(np.isnan(values), 0.0, values) + 0.0


# Half the records have medians fixed to the bit, and half the windows fit
# the series, as the native loop needs.
median_records = st.one_of(trend_records.map(settled), trend_records)


def median_windows(n):
    return st.one_of(st.integers(0, min(n, 256)), windows(n))


@BUDGET
@given(series=series_with_window(median_records, median_windows), error_state=error_states)
def test_median_filter(series, error_state):
    assert_fast_path_agrees("compute_median_filter", series, error_state)


@st.composite
def robust_trend_calls(draw):
    """A series and median window, with Savitzky-Golay windows and orders that
    fit it, are too long for it, or are not plain ints."""
    feature_data, median_window = draw(series_with_window(median_records, median_windows))
    n = len(feature_data)
    savgol_window = draw(st.one_of(st.sampled_from([15, 14, 5, 2, 1, 0, -1, 51, 255, 257, 15.0, np.int64(15)]),
                                   st.sampled_from([n - 1, n, n + 1])))
    poly_order = draw(st.sampled_from([3, 0, 2, 6, 7, 14, -1, 3.0]))
    return feature_data, median_window, savgol_window, poly_order


@BUDGET
@given(args=robust_trend_calls(), error_state=error_states)
def test_robust_trend(args, error_state):
    assert_fast_path_agrees("compute_robust_trend", args, error_state)


# --- Savitzky-Golay smoothing ---------------------------------------------

# Windows from a single sample to past the widest native fit, even ones, and
# windows that are not plain ints.
SAVGOL_WINDOWS = [1, 3, 5, 11, 15, 51, 253, 255, 257, 2, 10, 254, 256, 0, -1]
NOT_PLAIN_WINDOWS = [11.0, np.int64(11), True, 2**70]
NOT_PLAIN_ORDERS = [3.0, np.int64(3), True]
# Ordinary levels mostly, else levels where the fits or their residuals
# overflow or underflow.
feature_magnitudes = st.one_of(st.sampled_from(ORDINARY_MAGNITUDES),
                               st.sampled_from([1e154, 1e300, 1.7e308, 1e-160, 1e-300, 1e-310]))
TREND_SHAPES = ["drift", "polynomial", "constant", "alternating", "any record"]


@st.composite
def trends(draw, n):
    """A condition feature: a drift, samples of a polynomial of low degree, a
    constant (zeros of either sign among them), or one alternating from
    measurement to measurement, at any magnitude; or any record at all. One
    in four with a chance of NaN, infinities and extremes."""
    shape = draw(st.sampled_from(TREND_SHAPES))
    if shape == "any record":
        return draw(records(n=n))
    rng = np.random.default_rng(draw(seeds))
    level = draw(feature_magnitudes) * draw(st.sampled_from([1.0, -1.0]))
    with np.errstate(all="ignore"):  # the largest levels leave infinities, as in a broken record
        if shape == "drift":
            values = level * np.cumsum(rng.standard_normal(n)) / np.sqrt(max(n, 1))
        elif shape == "polynomial":
            coefficients = rng.integers(-3, 4, draw(st.integers(1, 5))).astype(np.float64)
            values = level * np.polyval(coefficients, np.arange(n) - n // 2.0)
        elif shape == "constant":
            values = np.full(n, level * draw(st.sampled_from([0.0, 1.0])))
        else:
            values = level * (-1.0) ** np.arange(n)
    if not draw(st.sampled_from(MOSTLY)):
        sprinkle(draw, rng, values)
    return values


@st.composite
def savgol_calls(draw):
    """(feature_data, window_size, poly_order): a trend about as long as the
    window, longer or a few thousand samples long, in any layout; windows and
    orders mostly plain ints."""
    plain_windows = st.one_of(st.sampled_from(SAVGOL_WINDOWS), st.integers(1, 40))
    window_size = draw(plain_windows if draw(st.sampled_from(MOSTLY)) else st.sampled_from(NOT_PLAIN_WINDOWS))
    # The odd window the call fits with, for records of a sensible length.
    window = min(int(window_size) + (window_size % 2 == 0), 3000)
    orders_that_fit = st.integers(0, min(max(window - 1, 0), 6))
    other_orders = st.sampled_from([7, -1, window, window - 1, *NOT_PLAIN_ORDERS])
    poly_order = draw(orders_that_fit if draw(st.sampled_from(MOSTLY)) else other_orders)
    n = draw(st.one_of(st.sampled_from([window - 1, window, window + 1]).map(lambda n: max(n, 0)),
                       st.integers(max(window, 0), max(window, 300)), st.just(3000)))
    return draw(trends(n).flatmap(laid_out)), window_size, poly_order


@BUDGET
@given(args=savgol_calls(), error_state=error_states)
def test_savgol_filter(args, error_state):
    assert_fast_path_agrees("compute_savgol_filter", args, error_state)


def symmetric_apart(by):
    """A designer of the smoothing window made exactly symmetric, then its
    outer pair set `by` apart."""

    def design(window_length, polyorder, **options):
        window = savgol_coeffs(window_length, polyorder)
        window = (window + window[::-1]) / 2
        window[0] = window[-1] + by
        return window

    return design


# The outer coefficients of the order-3 window of 11 lie in [1/16, 1/8), where
# DBL_EPSILON is a whole number of units in the last place.
DBL_EPSILON = np.finfo(np.float64).eps
JUST_PAST_DBL_EPSILON = DBL_EPSILON + np.spacing(1 / 16)

# Window designers with scipy's signature.
WINDOW_DESIGNS = [
    pytest.param(symmetric_apart(0.0), id="exactly symmetric"),
    pytest.param(symmetric_apart(DBL_EPSILON), id="symmetric to DBL_EPSILON"),
    pytest.param(symmetric_apart(JUST_PAST_DBL_EPSILON), id="just past DBL_EPSILON"),
    # The slope of the fitted polynomial weighs the samples antisymmetrically.
    pytest.param(lambda window_length, polyorder, **options: savgol_coeffs(window_length, polyorder, deriv=1),
                 id="slope"),
    pytest.param(lambda window_length, polyorder, **options: savgol_coeffs(window_length, polyorder,
                                                                           pos=window_length - 1),
                 id="fit at the last sample"),
    pytest.param(lambda window_length, polyorder, **options: savgol_coeffs(window_length, polyorder).astype(np.float32),
                 id="float32 window"),
    pytest.param(lambda window_length, polyorder, **options: savgol_coeffs(window_length, polyorder)[1:],
                 id="one tap short"),
]


@pytest.mark.parametrize("design", WINDOW_DESIGNS)
def test_a_replaced_window_designer_is_asked_once(monkeypatch, design):
    # With savgol_filter's designer replaced, the smoothing is scipy's own,
    # and the replacement is asked exactly as often as scipy asks it.
    asked = []

    def counted(*args, **options):
        asked.append(args)
        return design(*args, **options)

    monkeypatch.setitem(savgol_filter.__globals__, "savgol_coeffs", counted)
    assert_fast_path_agrees("compute_savgol_filter", (TREND, 11, 3))
    assert len(asked) == 3  # native, generic and plain reading, once each
