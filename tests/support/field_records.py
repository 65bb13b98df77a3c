"""Records as the field produces them, for property tests of the analysis
functions.

Signals are synthesised from physical parameters (sines, amplitude-modulated
carriers, bearing impact trains, tachometer pulse trains with jitter, trends
with steps, power series around the rating tables' edges) and then passed
through what acquisition hardware and databases do to them: quantisation to
converter counts, dropouts stored as NaN, truncated files, odd shapes, odd
memory layouts and containers.  Every strategy shrinks towards a clean
float64 record, so a failure reduces to the plainest record that shows it.

`CALLS` maps each analysis function to a strategy of `Call`s;
`typical_arguments` gives one ordinary, fixed call of each function.
"""

import inspect
from dataclasses import dataclass, field

import numpy as np
from hypothesis import strategies as st

from support import reference

FS_VALUES = (1000, 2560.0, 5120.0, 8192, 25600.0, 44100.0)
FILTER_FAMILIES = ("butter", "cheby1", "cheby2", "ellip", "bessel")
WINDOWS = ("hann", "hamming", "boxcar", "blackman", "flattop", ("kaiser", 8.6), ("tukey", 0.25))
RATING_CLASS_EDGES = (1800, 2400, 2800, 3600, 3800, 4800)


class FieldRecord(np.ndarray):
    """An ndarray subclass, as data layers hand out records with extra metadata."""


@dataclass
class Call:
    """Arguments of one call; `keywords` names the parameters passed by keyword."""

    name: str
    arguments: dict
    keywords: tuple = field(default=())

    @property
    def args(self):
        return tuple(value for param, value in self.arguments.items() if param not in self.keywords)

    @property
    def kwargs(self):
        return {param: self.arguments[param] for param in self.keywords}

    def __repr__(self):
        shown = ", ".join(f"{param}={_short(value)}" for param, value in self.arguments.items())
        return f"{self.name}({shown}) keywords={list(self.keywords)}"


def _short(value):
    if isinstance(value, np.ndarray):
        layout = f"shape={value.shape}, dtype={value.dtype}, strides={value.strides}"
        return f"{type(value).__name__}({layout}, {value.tolist()!r:.300})"
    return f"{value!r:.300}"


def parameters(name):
    return tuple(inspect.signature(getattr(reference, name)).parameters)


def chance(draw, percent):
    """True with roughly `percent` % probability; shrinks to False."""
    return draw(st.integers(0, 99)) >= 100 - percent


# --- synthesis ------------------------------------------------------------


def noise(seed, n_samples, rms):
    return np.random.default_rng(seed).normal(0.0, rms, n_samples) if rms else np.zeros(n_samples)


def sine_sum(t, tones):
    """Sum of (amplitude, frequency in Hz, phase in rad) tones at times `t`."""
    y = np.zeros_like(t)
    for amplitude, frequency, phase in tones:
        y += amplitude * np.sin(2 * np.pi * frequency * t + phase)
    return y


def am_carrier(t, amplitude, carrier_hz, modulation_hz, depth):
    return amplitude * (1 + depth * np.cos(2 * np.pi * modulation_hz * t)) * np.cos(2 * np.pi * carrier_hz * t)


def impact_train(t, amplitude, fault_hz, resonance_hz, decay_s, jitter, seed):
    """A bearing defect: an impact every 1/`fault_hz` s, slightly irregular
    (rolling elements slip), each ringing down the structural resonance."""
    rng = np.random.default_rng(seed)
    y = np.zeros_like(t)
    if len(t) == 0:
        return y
    impact_time = t[0] + rng.uniform(0, 1 / fault_hz)
    while impact_time <= t[-1]:
        after = t >= impact_time
        ring_s = t[after] - impact_time
        y[after] += amplitude * np.exp(-ring_s / decay_s) * np.sin(2 * np.pi * resonance_hz * ring_s)
        impact_time += (1 + jitter * rng.uniform(-1, 1)) / fault_hz
    return y


def pulse_times_of(n_pulses, rpm, jitter, ramp, start_s, seed):
    """Once-per-revolution pulse times of a shaft at `rpm`, whose speed
    changes by `ramp` (a fraction) over the record, with timing jitter."""
    rng = np.random.default_rng(seed)
    period_s = 60.0 / rpm
    speed_factor = 1 + ramp * np.linspace(0, 1, max(n_pulses - 1, 0))
    periods = period_s / speed_factor * (1 + jitter * rng.uniform(-1, 1, max(n_pulses - 1, 0)))
    return start_s + np.concatenate(([0.0], np.cumsum(periods)))[:n_pulses]


def tach_signal(t, pulse_times, width_s, high, low, noise_rms, seed):
    """A tachometer output: `high` while within `width_s` after a pulse time,
    `low` otherwise, plus noise."""
    index = np.searchsorted(pulse_times, t, side="right") - 1
    inside = (index >= 0) & (t - pulse_times[np.maximum(index, 0)] < width_s)
    return np.where(inside, high, low) + noise(seed, len(t), noise_rms)


def trend_series(n_samples, level, slope, steps, noise_rms, seed):
    """A condition feature over time: a level, a drift, steps (a repair, a
    sensor swap) at given sample indices, and measurement scatter."""
    y = level + slope * np.arange(n_samples) + noise(seed, n_samples, noise_rms)
    for index, height in steps:
        y[index:] += height
    return y


# --- what acquisition and storage do to records ---------------------------

COUNT_DTYPES = ("int16", "int32", "uint16", "int64")


def to_counts(values, dtype, full_scale):
    """Quantised to converter counts: values beyond `full_scale` saturate."""
    info = np.iinfo(dtype)
    top = min(int(info.max), 2**53)  # exactly representable in float64
    offset = (top + 1) // 2 if info.min == 0 else 0
    step = max(full_scale / top, 5e-324)  # a subnormal full scale still has a step
    with np.errstate(over="ignore"):  # beyond full scale the counts saturate below
        counts = np.round(np.nan_to_num(values) / step) + offset
    return np.clip(counts, max(int(info.min), -top), top).astype(dtype)


@st.composite
def as_acquired(draw, values, hostile=True, truncated=True):
    """`values` (float64) as a record reaches the analysis: maybe quantised
    or stored narrower, with NaN dropouts, maybe `truncated`, and, if
    `hostile`, in an odd dtype, shape, memory layout or container."""
    values = np.array(values, dtype=np.float64)
    storage = draw(st.sampled_from(("float64",) * 6 + ("counts", "float32") + (("odd",) if hostile else ())))
    if storage == "counts":
        dtype = draw(st.sampled_from(COUNT_DTYPES))
        full_scale = draw(st.sampled_from((1.0, 10.0, 1e-3))) * (np.nanmax(np.abs(values), initial=0.0) or 1.0)
        values = to_counts(values, dtype, full_scale)
    elif storage == "float32":
        with np.errstate(over="ignore"):
            values = values.astype(np.float32)
    elif storage == "odd":
        with np.errstate(invalid="ignore", over="ignore"):  # NaN and out-of-range samples cast as they may
            values = values.astype(
                draw(st.sampled_from(("complex128", "bool", "float16", "object", ">f8", ">i4", "uint8")))
            )
    if values.dtype.kind in "fc" and chance(draw, 10):
        # A wrong calibration factor: squares overflow, or samples go subnormal.
        with np.errstate(all="ignore"):
            values = values * draw(st.sampled_from((1e300, 1e-310, -1e-300)))
    if values.dtype.kind in "fc" and len(values) and chance(draw, 25):
        start = draw(st.integers(0, len(values) - 1))
        gap = draw(st.integers(1, max(1, len(values) // 4)))
        values[start : start + gap] = draw(st.sampled_from((np.nan, np.inf, -np.inf)))
    if truncated and chance(draw, 15):
        values = values[: draw(st.integers(0, len(values)))]  # a truncated file
    # Most stores hand out plain arrays; the rest differ in one way or more.
    if not hostile or not chance(draw, 40):
        return values
    shape = draw(st.sampled_from(("1-d",) * 4 + ("row", "column", "0-d")))
    if shape == "row":
        values = values.reshape(1, -1)
    elif shape == "column":
        values = values.reshape(-1, 1)
    elif shape == "0-d" and values.size:
        values = np.array(values.flat[0], dtype=values.dtype)
    layout = draw(
        st.sampled_from(("contiguous",) * 3 + ("strided", "reversed", "read-only", "swapped", "subclass", "masked"))
    )
    values = with_layout(values, layout)
    container = draw(st.sampled_from(("ndarray",) * 4 + ("list", "tuple")))
    if container == "list":
        return values.tolist()
    if container == "tuple":
        return tuple(values.tolist()) if values.ndim else values.tolist()
    return values


def with_layout(values, layout):
    """The same values in another memory layout or array type."""
    if layout == "strided":
        spread = np.zeros(values.shape + (2,), dtype=values.dtype)
        spread[..., 0] = values
        return spread[..., 0]
    if layout == "reversed" and values.ndim:
        return np.flip(np.flip(values).copy())
    if layout == "read-only":
        values = values.copy()
        values.flags.writeable = False
        return values
    if layout == "swapped" and values.dtype.kind in "iufc" and values.dtype.itemsize > 1:
        return values.astype(values.dtype.newbyteorder())
    if layout == "subclass":
        return values.view(FieldRecord)
    if layout == "masked" and values.dtype.kind in "fc":
        return np.ma.masked_invalid(values)
    return values


# --- physical quantities --------------------------------------------------

fs_values = st.sampled_from(FS_VALUES) | st.floats(50.0, 50_000.0)


@st.composite
def vibration(draw, max_samples=600):
    """(samples, fs): tones, amplitude-modulated carriers and bearing impacts
    over broadband noise and a sensor bias."""
    fs = draw(fs_values)
    n_samples = draw(st.integers(0, max_samples) | st.sampled_from((27, 28, 33, 39, 51, 52)))
    t = np.arange(n_samples) / fs
    nyquist = fs / 2
    y = np.full(n_samples, draw(st.floats(-5.0, 5.0)))
    for _ in range(draw(st.integers(1, 3))):
        kind = draw(st.sampled_from(("sine", "am", "impacts")))
        amplitude = draw(st.floats(0.01, 50.0))
        frequency = draw(st.floats(0.0, 0.999)) * nyquist
        if kind == "sine":
            y += sine_sum(t, [(amplitude, frequency, draw(st.floats(0, 2 * np.pi)))])
        elif kind == "am":
            modulation = draw(st.floats(0.001, 0.2)) * nyquist
            y += am_carrier(t, amplitude, frequency, modulation, draw(st.floats(0.0, 1.0)))
        else:
            fault_hz = draw(st.floats(0.005, 0.1)) * fs
            decay_s = draw(st.floats(2.0, 50.0)) / fs
            y += impact_train(
                t, amplitude, fault_hz, frequency, decay_s, draw(st.floats(0, 0.2)), draw(st.integers(0, 99))
            )
    y += noise(draw(st.integers(0, 99)), n_samples, draw(st.sampled_from((0.0, 0.01, 0.5))))
    return y, fs


@st.composite
def pulse_trains(draw, max_pulses=60):
    """Increasing once-per-revolution pulse times, as tachometer detection gives them."""
    return pulse_times_of(
        draw(st.integers(0, max_pulses)),
        rpm=draw(st.floats(60.0, 6000.0)),
        jitter=draw(st.sampled_from((0.0, 0.001, 0.05))),
        ramp=draw(st.sampled_from((0.0, 0.5, -0.3))),
        start_s=draw(st.sampled_from((0.0, 0.013, -3.0, 1e5))),
        seed=draw(st.integers(0, 99)),
    )


@st.composite
def tach_records(draw):
    """(t, y) of a once-per-revolution tachometer: jittered pulses of finite
    width, pulses cut by the record's start and end, converter noise,
    time axes that start anywhere (pre-trigger records start below zero)."""
    fs = draw(st.sampled_from((1000.0, 2048.0, 10_000.0)))
    n_samples = draw(st.integers(1, 3000))
    t0 = draw(st.sampled_from((0.0, -2.0, -0.97, 12.5, 1e4)))
    t = t0 + np.arange(n_samples) / fs
    rpm = draw(st.floats(100.0, 4000.0))  # above 2000 rpm pulses come less than 30 ms apart
    # A first pulse before the record starts cuts the first pulse in the record.
    first_s = t0 - draw(st.floats(0.0, 1.0)) * 60 / rpm
    pulse_times = pulse_times_of(
        int((t[-1] - first_s) * rpm / 60) + 2,
        rpm,
        draw(st.sampled_from((0.0, 0.01, 0.08))),
        0.0,
        first_s,
        draw(st.integers(0, 99)),
    )
    width_s = draw(st.floats(0.0, 0.5)) * 60 / rpm
    high, low = draw(st.sampled_from(((5.0, 0.0), (0.0, 5.0), (24.0, 0.4), (1.0, 1.0))))
    y = tach_signal(
        t, pulse_times, width_s, high, low, draw(st.sampled_from((0.0, 0.02, 0.5))), draw(st.integers(0, 99))
    )
    # A database may hand out the time axis a little shorter or longer than the samples.
    n_times = n_samples + (draw(st.sampled_from((-1, -(n_samples // 2), 5))) if chance(draw, 15) else 0)
    t_stored = t0 + np.arange(n_times) / fs
    return draw(as_acquired(t_stored, hostile=False)), draw(as_acquired(y))


@st.composite
def shaft_records(draw):
    """(vib_x, vib_y, pulse_times) of a shaft running up or down: vibration
    at shaft orders with noise, and pulse times that may start before or
    end after the vibration record."""
    n_pulses = draw(st.integers(2, 10) if chance(draw, 85) else st.integers(0, 1))
    rpm = draw(st.floats(300.0, 6000.0))
    pulse_times = pulse_times_of(
        n_pulses,
        rpm,
        draw(st.sampled_from((0.0, 0.01))),
        draw(st.sampled_from((0.0, 0.4))),
        0.0,
        draw(st.integers(0, 99)),
    )
    samples_per_rev = draw(st.integers(1, 500))
    duration_s = (pulse_times[-1] if n_pulses else 1.0) + 60 / rpm
    n_samples = min(int(duration_s * rpm / 60 * samples_per_rev), 6000)
    start_s = draw(st.sampled_from((0.0, -0.01))) + draw(st.floats(0.0, 0.5)) * 60 / rpm
    vib_x = start_s + np.linspace(0, duration_s, n_samples, endpoint=False)
    revs = np.interp(vib_x, pulse_times, np.arange(n_pulses)) if n_pulses else vib_x
    vib_y = sine_sum(revs, [(1.0, 1.0, 0.2), (draw(st.floats(0, 2)), 2.0, 1.0), (0.3, 7.0, 0.0)]) + noise(
        1, n_samples, 0.05
    )
    if chance(draw, 10) and n_samples > 3:
        vib_x[n_samples // 2] = vib_x[n_samples // 2 - 1]  # a repeated time stamp from the database
    if chance(draw, 10):
        vib_y = vib_y[: draw(st.integers(0, n_samples))]
    return (
        draw(as_acquired(vib_x, hostile=False, truncated=False)),
        draw(as_acquired(vib_y, hostile=chance(draw, 30))),
        draw(as_acquired(pulse_times, hostile=False)),
    )


@st.composite
def trends(draw, max_samples=150):
    """A condition-feature trend: drift, steps, scatter, spikes, flat stretches
    (a stuck sensor) and NaN gaps, possibly stored as integers."""
    n_samples = draw(st.integers(2, max_samples) if chance(draw, 85) else st.integers(0, 2))
    y = trend_series(
        n_samples,
        level=draw(st.floats(-10.0, 1000.0)),
        slope=draw(st.floats(-1.0, 1.0)),
        steps=[
            (draw(st.integers(0, max(n_samples - 1, 0))), draw(st.floats(-50.0, 50.0)))
            for _ in range(draw(st.integers(0, 2)))
        ],
        noise_rms=draw(st.sampled_from((0.0, 0.1, 5.0))),
        seed=draw(st.integers(0, 99)),
    )
    if n_samples and chance(draw, 20):
        y[draw(st.integers(0, n_samples - 1))] *= draw(st.sampled_from((10.0, -10.0, 1e6)))  # a spike
    if n_samples > 2 and chance(draw, 20):
        start = draw(st.integers(0, n_samples - 2))
        y[start : start + draw(st.integers(2, 40))] = y[start]  # a stuck sensor
    return draw(as_acquired(y))


# --- option values --------------------------------------------------------


def recased(draw, text):
    return "".join(c.upper() if draw(st.booleans()) else c for c in text)


@st.composite
def filter_types(draw):
    kind = draw(st.sampled_from(("family",) * 5 + ("other", "none")))
    if kind == "family":
        return recased(draw, draw(st.sampled_from(FILTER_FAMILIES)))
    if kind == "other":
        return draw(st.sampled_from(("", " butter", "butterworth", "ELLIP ", "chebyshev", "ellip\x00")))
    return None


@st.composite
def bands(draw, fs):
    """(lowcut, highcut) in Hz for a record sampled at `fs`: mostly inside
    (0, Nyquist), sometimes exactly at or beyond the edges or reversed."""
    nyquist = fs / 2
    edges = st.floats(0.001, 0.999) | st.sampled_from((0.0, -0.1, 1.0, 1.5, 0.5))
    low, high = draw(edges), draw(edges)
    if chance(draw, 70):
        low, high = sorted((low, high))
    if chance(draw, 5):
        high = low
    if chance(draw, 10):
        return int(low * nyquist), int(high * nyquist)
    return low * nyquist, high * nyquist


fs_odd = st.sampled_from((0, 0.0, -1000.0, np.float64(2560.0), np.int64(1000), np.nan, np.inf))
counts_odd = st.sampled_from((0, -1, 4.0, np.int64(3), True, np.float64(np.nan)))


@st.composite
def filter_options(draw, order_name):
    options = {}
    if chance(draw, 60):
        options[order_name] = draw(st.integers(1, 8)) if chance(draw, 85) else draw(counts_odd)
    if chance(draw, 70):
        options["filter_type"] = draw(filter_types())
    if chance(draw, 50):
        options["rp"] = draw(st.sampled_from((5.0, 0.5, 1, 3.0, 0.0, -1.0, np.nan)))
    if chance(draw, 50):
        options["rs"] = draw(st.sampled_from((40.0, 20, 60.0, 80.0, 0.0, -5.0, np.inf)))
    return options


# --- calls of each function -----------------------------------------------


@st.composite
def calls(draw, name, arguments):
    """A `Call` of `name` with `arguments` (a dict in signature order, the
    left-out parameters taking their defaults), a random tail of which is
    passed by keyword."""
    names = [param for param in parameters(name) if param in arguments]
    arguments = {param: arguments[param] for param in names}
    # Positional arguments must precede any gap left by a defaulted parameter.
    all_params = parameters(name)
    contiguous = 0
    while contiguous < len(all_params) and all_params[contiguous] in arguments:
        contiguous += 1
    n_positional = draw(st.integers(0, contiguous).map(lambda n: contiguous - n))
    keywords = names[n_positional:]
    return Call(name, arguments, tuple(draw(st.permutations(keywords))) if keywords else ())


@st.composite
def single_record_calls(draw, name):
    y, _ = draw(vibration())
    return draw(calls(name, {parameters(name)[0]: draw(as_acquired(y))}))


@st.composite
def bandpass_calls(draw, name):
    y, fs = draw(vibration())
    if chance(draw, 10):
        fs_given = draw(fs_odd)
    else:
        fs_given = int(fs) if chance(draw, 20) else fs
    lowcut, highcut = draw(bands(fs))
    order_name = "order" if name == "apply_bandpass" else "filter_order"
    record_name = "data" if name == "apply_bandpass" else "y_vals"
    arguments = {record_name: draw(as_acquired(y)), "lowcut": lowcut, "highcut": highcut, "fs": fs_given}
    arguments.update(draw(filter_options(order_name)))
    return draw(calls(name, arguments))


@st.composite
def spectrum_calls(draw, name):
    y, fs = draw(vibration(max_samples=512))
    if name == "compute_fft_dsp":
        spacing = draw(st.sampled_from((1 / 64, 1 / 1024, 0.01, 1, 0, -0.5, np.float32(0.25))))
    else:
        spacing = fs if chance(draw, 85) else draw(fs_odd)
    arguments = {parameters(name)[0]: draw(as_acquired(y)), parameters(name)[1]: spacing}
    if chance(draw, 50):
        arguments["window_type"] = draw(st.sampled_from(WINDOWS + ("HANN", "bogus", None, 3)))
    if chance(draw, 50):
        arguments["scaling"] = draw(st.sampled_from(("peak", "rms", "peak-to-peak", "RMS", "p2p", "", None)))
    if chance(draw, 50):
        arguments["spectrum_format"] = draw(st.sampled_from(("linear", "power", "Power", "dB", None)))
    return draw(calls(name, arguments))


@st.composite
def amplitude_spectra(draw):
    """(axis, amplitudes, spacing) of a single-sided spectrum of a field record."""
    y, fs = draw(vibration(max_samples=400))
    if not len(y):
        return np.zeros(0), np.zeros(0), 1.0
    freqs, amps = reference.compute_frequency_spectrum(y, fs, window_type=draw(st.sampled_from(WINDOWS)))
    if chance(draw, 10):
        amps = -amps  # a sign flip in a stored spectrum
    return freqs, amps, fs / len(y)


@st.composite
def cepstrum_calls(draw):
    _, amps, spacing = draw(amplitude_spectra())
    if chance(draw, 15):
        amps[: draw(st.integers(0, len(amps)))] = 0.0
    d_axis = spacing if chance(draw, 85) else draw(st.sampled_from((0, 0.0, -1.0, np.nan, 1)))
    return draw(calls("compute_cepstrum", {"spectrum_amps": draw(as_acquired(amps)), "d_axis": d_axis}))


@st.composite
def axis_positions(draw, axis):
    """A position on `axis`: exactly on a point, between points, or outside."""
    if len(axis) and chance(draw, 60):
        position = axis[draw(st.integers(0, len(axis) - 1))]
        return position if chance(draw, 70) else float(position) + draw(st.sampled_from((0.5, -0.5, 1e-9)))
    return draw(st.sampled_from((1.0, 2.0, 3.0, -1.0, 0.0, 1e9, np.nan, np.inf)))


@st.composite
def spectral_feature_calls(draw, name):
    axis, amps, spacing = draw(amplitude_spectra())
    if chance(draw, 10):
        amps = amps[: draw(st.integers(0, len(amps)))]  # a stored pair out of step
    axis_name, amps_name = parameters(name)[:2]
    arguments = {axis_name: draw(as_acquired(axis, hostile=False)), amps_name: draw(as_acquired(amps))}
    if name == "get_harmonic_peak":
        arguments["target_order"] = draw(axis_positions(axis))
        if chance(draw, 60):
            arguments["search_window"] = draw(st.sampled_from((0.05, 0.0, spacing, spacing / 2, -1.0, 1e9, np.nan, 2)))
    else:
        arguments["start_val"] = draw(axis_positions(axis))
        arguments["end_val"] = draw(axis_positions(axis))
    return draw(calls(name, arguments))


@st.composite
def rms_calls(draw):
    y, _ = draw(vibration())
    if chance(draw, 30):
        # Raw converter counts near full scale: their squares overflow the storage width.
        counts_dtype = draw(st.sampled_from(("int8", "int16", "uint8", "uint16", "int32")))
        y_vals = to_counts(y, counts_dtype, np.max(np.abs(y), initial=0.0) or 1.0)
    else:
        y_vals = draw(as_acquired(y))
    return draw(calls("compute_true_overall_rms", {"y_vals": y_vals}))


@st.composite
def tach_calls(draw):
    t, y = draw(tach_records())
    return draw(calls("get_tach_midpoints", {"t": t, "y": y}))


@st.composite
def gear_stage_calls(draw):
    pulse_times = draw(as_acquired(draw(pulse_trains()), hostile=chance(draw, 20)))
    gear_ratio = draw(
        st.floats(0.3, 30.0)
        | st.integers(1, 10)
        | st.sampled_from((2.5, 4, np.float64(3.7), 0, 0.0, -3, np.nan, np.inf, 1e-300, np.int32(5)))
    )
    return draw(calls("generate_fault_freq_fast", {"hss_pulse_times": pulse_times, "gear_ratio": gear_ratio}))


@st.composite
def order_tracking_calls(draw):
    vib_x, vib_y, pulse_times = draw(shaft_records())
    return draw(calls("perform_order_tracking", {"vib_x": vib_x, "vib_y": vib_y, "pulse_times": pulse_times}))


@st.composite
def tsa_calls(draw):
    pts_per_rev = draw(st.integers(1, 64) | st.just(1024))
    total_revs = draw(st.integers(0, 12))
    revs = np.arange(total_revs * pts_per_rev) / pts_per_rev
    waveform = sine_sum(revs, [(1.0, 1.0, 0.0), (0.5, 3.0, 1.0)]) + noise(draw(st.integers(0, 9)), len(revs), 0.2)
    if chance(draw, 15):
        waveform = waveform[: draw(st.integers(0, len(waveform)))]
    if chance(draw, 10):
        waveform, pts_per_rev, total_revs = None, 0, 0  # degenerate order tracking passed on
    counts = {"pts_per_rev": pts_per_rev, "total_revs": total_revs, "revs_per_block": draw(st.integers(1, 13))}
    if chance(draw, 15):
        counts[draw(st.sampled_from(tuple(counts)))] = draw(counts_odd | st.sampled_from((-2, 2.0, 1e20)))
    waveform = draw(as_acquired(waveform, hostile=chance(draw, 20))) if waveform is not None else None
    return draw(calls("perform_tsa", {"order_waveform": waveform, **counts}))


@st.composite
def power_series(draw):
    """(power_arr, max_power_rating): samples on, just beside and between the
    band edges of the rating's table, negative (motoring), NaN (dropouts)."""
    rating = draw(
        st.sampled_from(RATING_CLASS_EDGES + (2000, 2500, 3700, 1500, 5000, 0, -100)).flatmap(
            lambda edge: st.sampled_from(
                (edge, float(edge), np.nextafter(edge, -np.inf), np.nextafter(edge, np.inf), np.int64(edge))
            )
        )
        | st.floats(-1e4, 1e5)
        | st.sampled_from((np.nan, np.inf))
    )
    table = [0, 100, 200, 300, 500, 800, 1000, 1400, 1500, 1800, 2400, 2500, 2600, 3200, 3500, 3600, 4200, 4800]
    if np.isfinite(rating):
        table += [float(rating) * fraction for fraction in (0, 0.2, 0.4, 0.6, 0.8, 1.0)]
    power_at_edges = st.sampled_from(table).flatmap(
        lambda edge: st.sampled_from((edge, np.nextafter(edge, -np.inf), np.nextafter(edge, np.inf)))
    )
    samples = draw(st.lists(power_at_edges | st.floats(-500.0, 6000.0) | st.just(np.nan), max_size=60))
    return draw(as_acquired(np.array(samples, dtype=np.float64))), rating


@st.composite
def operating_state_calls(draw):
    power_arr, rating = draw(power_series())
    return draw(calls("classify_operating_state", {"power_arr": power_arr, "max_power_rating": rating}))


@st.composite
def window_sizes(draw):
    """Counts of samples; now and then zero, negative, a float or absurd."""
    if chance(draw, 80):
        return draw(st.integers(1, 40))
    return draw(st.sampled_from((0, -1, -2, 4.0, 5.0, np.int64(7), 10**20)))


@st.composite
def trend_calls(draw, name):
    """A trend smoother or assessment with its window, weight or spacing
    drawn around the values that change its behaviour."""
    arguments = {parameters(name)[0]: draw(trends())}
    if name == "compute_severity_envelope" and chance(draw, 60):
        arguments["peak_weight"] = draw(st.sampled_from((0.9, 0.5, 0.0, 1.0, 1, 1.5, -0.2, np.nan)) | st.floats(0, 1))
    elif name in ("compute_moving_average", "compute_median_filter", "compute_dynamic_zscore") and chance(draw, 70):
        arguments[parameters(name)[1]] = draw(window_sizes())
    elif name == "compute_savgol_filter":
        if chance(draw, 70):
            arguments["window_size"] = draw(window_sizes())
        if chance(draw, 50):
            arguments["poly_order"] = draw(st.integers(-1, 8))
    elif name == "compute_robust_trend":
        for param in ("median_window", "savgol_window"):
            if chance(draw, 60):
                arguments[param] = draw(window_sizes())
        if chance(draw, 40):
            arguments["poly_order"] = draw(st.integers(-1, 8))
    elif name == "compute_degradation_velocity" and chance(draw, 60):
        arguments["time_delta"] = draw(
            st.sampled_from((1.0, 0.5, 3600, 0, 0.0, -1.0, np.nan, np.float32(0.1))) | st.floats(1e-3, 1e3)
        )
    return draw(calls(name, arguments))


@st.composite
def harmonic_signature_calls(draw):
    """Amplitudes around the rule's thresholds: exact multiples of the 3x
    amplitude, the 0.0001 floor, NaN, numpy scalars and one-element arrays."""
    amp_3x = draw(st.sampled_from((1.0, 0.0001, 0.5, 10.0, 0.0, -1.0, np.nan)) | st.floats(0, 100))
    multipliers = (1.1, 0.5, 0.8, 0.4, 0.2)
    amplitude = (
        st.sampled_from(multipliers).map(lambda m: m * amp_3x) | st.floats(0, 100) | st.sampled_from((np.nan, -1.0))
    )
    arguments = {"amp_1x": draw(amplitude), "amp_2x": draw(amplitude), "amp_3x": amp_3x}
    for param in ("vh1", "vh2", "ind1", "ind2", "low1", "low2"):
        if chance(draw, 15):
            arguments[param] = draw(st.floats(0, 2) | st.sampled_from((np.nan, 1)))
    wrap = draw(st.sampled_from(("float",) * 5 + ("float64", "array1", "array2", "int")))
    if wrap != "float":
        param = draw(st.sampled_from(tuple(arguments)))
        value = arguments[param]
        arguments[param] = {
            "float64": np.float64,
            "array1": lambda v: np.array([v]),
            "array2": lambda v: np.array([v, v]),
            "int": lambda v: int(v) if np.isfinite(v) else v,
        }[wrap](value)
    return draw(calls("detect_harmonic_signature", arguments))


CALLS = {
    "remove_dc_offset": single_record_calls("remove_dc_offset"),
    "get_tach_midpoints": tach_calls(),
    "generate_fault_freq_fast": gear_stage_calls(),
    "apply_bandpass": bandpass_calls("apply_bandpass"),
    "perform_order_tracking": order_tracking_calls(),
    "perform_tsa": tsa_calls(),
    "compute_envelope_waveform": bandpass_calls("compute_envelope_waveform"),
    "compute_fft_dsp": spectrum_calls("compute_fft_dsp"),
    "compute_frequency_spectrum": spectrum_calls("compute_frequency_spectrum"),
    "compute_envelope_spectrum": bandpass_calls("compute_envelope_spectrum"),
    "compute_cepstrum": cepstrum_calls(),
    "get_harmonic_peak": spectral_feature_calls("get_harmonic_peak"),
    "get_band_energy": spectral_feature_calls("get_band_energy"),
    "compute_true_overall_rms": rms_calls(),
    "classify_operating_state": operating_state_calls(),
    "compute_severity_envelope": trend_calls("compute_severity_envelope"),
    "compute_moving_average": trend_calls("compute_moving_average"),
    "compute_robust_trend": trend_calls("compute_robust_trend"),
    "compute_median_filter": trend_calls("compute_median_filter"),
    "compute_savgol_filter": trend_calls("compute_savgol_filter"),
    "detect_harmonic_signature": harmonic_signature_calls(),
    "compute_dynamic_zscore": trend_calls("compute_dynamic_zscore"),
    "compute_degradation_velocity": trend_calls("compute_degradation_velocity"),
}


# --- one ordinary call of each function -----------------------------------


def _typical_arguments():
    fs = 5120.0
    t = np.arange(512) / fs
    vibration_y = (
        0.3
        + sine_sum(t, [(1.0, 50.0, 0.1), (0.4, 310.0, 1.0)])
        + am_carrier(t, 0.8, 1200.0, 80.0, 0.6)
        + impact_train(t, 2.0, 97.0, 2000.0, 4e-4, 0.05, seed=1)
        + noise(2, len(t), 0.05)
    )
    freqs, amps = reference.compute_frequency_spectrum(vibration_y, fs)
    tach_t = np.arange(4000) / 2048.0
    tach_y = tach_signal(tach_t, pulse_times_of(40, 1300.0, 0.01, 0.0, -0.01, seed=3), 4e-3, 5.0, 0.0, 0.02, seed=4)
    pulse_times = pulse_times_of(5, 1500.0, 0.01, 0.2, 0.0, seed=5)
    vib_x = np.linspace(0.0, pulse_times[-1] + 0.01, 600)
    vib_y = sine_sum(np.interp(vib_x, pulse_times, np.arange(5)), [(1.0, 1.0, 0.2), (0.5, 2.0, 1.0)])
    order_waveform = sine_sum(np.arange(4 * 64) / 64, [(1.0, 1.0, 0.0), (0.3, 3.0, 0.5)]) + noise(6, 256, 0.1)
    orders, order_amps = reference.compute_fft_dsp(order_waveform, 1 / 64)
    trend = trend_series(80, 2.0, 0.01, [(50, 1.5)], 0.1, seed=7)
    band = {"lowcut": 800.0, "highcut": 1600.0, "fs": fs}
    filter_options = {"filter_type": "butter", "rp": 5.0, "rs": 40.0}
    envelope = {
        "y_vals": vibration_y,
        "fs": fs,
        "lowcut": 800.0,
        "highcut": 1600.0,
        "filter_order": 4,
        **filter_options,
    }
    spectrum_options = {"window_type": "hann", "scaling": "peak", "spectrum_format": "linear"}
    return {
        "remove_dc_offset": {"y_vals": vibration_y},
        "get_tach_midpoints": {"t": tach_t, "y": tach_y},
        "generate_fault_freq_fast": {
            "hss_pulse_times": pulse_times_of(40, 1500.0, 0.01, 0.0, 0.0, seed=8),
            "gear_ratio": 3.7,
        },
        "apply_bandpass": {"data": vibration_y, **band, "order": 4, **filter_options},
        "perform_order_tracking": {"vib_x": vib_x, "vib_y": vib_y, "pulse_times": pulse_times},
        "perform_tsa": {"order_waveform": order_waveform, "pts_per_rev": 64, "total_revs": 4, "revs_per_block": 2},
        "compute_envelope_waveform": envelope,
        "compute_fft_dsp": {"waveform": order_waveform, "d_rev": 1 / 64, **spectrum_options},
        "compute_frequency_spectrum": {"time_waveform": vibration_y, "fs": fs, **spectrum_options},
        "compute_envelope_spectrum": envelope,
        "compute_cepstrum": {"spectrum_amps": amps, "d_axis": fs / len(t)},
        "get_harmonic_peak": {"orders": orders, "amps": order_amps, "target_order": 1.0, "search_window": 0.05},
        "get_band_energy": {"x_axis": freqs, "y_axis": amps, "start_val": 1100.0, "end_val": 1300.0},
        "compute_true_overall_rms": {"y_vals": vibration_y},
        "classify_operating_state": {
            "power_arr": np.array([50.0, 120.0, 640.0, 1000.0, 1500.0, 2100.0, 2400.0]),
            "max_power_rating": 2000,
        },
        "compute_severity_envelope": {"feature_data": trend, "peak_weight": 0.9},
        "compute_moving_average": {"feature_data": trend, "window_size": 5},
        "compute_robust_trend": {"feature_data": trend, "median_window": 5, "savgol_window": 15, "poly_order": 3},
        "compute_median_filter": {"feature_data": trend, "window_size": 5},
        "compute_savgol_filter": {"feature_data": trend, "window_size": 11, "poly_order": 3},
        "detect_harmonic_signature": {
            "amp_1x": 1.2,
            "amp_2x": 0.6,
            "amp_3x": 1.0,
            "vh1": 1.1,
            "vh2": 0.5,
            "ind1": 0.8,
            "ind2": 0.4,
            "low1": 0.5,
            "low2": 0.2,
        },
        "compute_dynamic_zscore": {"feature_data": trend, "baseline_window": 30},
        "compute_degradation_velocity": {"trend_data": trend, "time_delta": 1.0},
    }


_TYPICAL_ARGUMENTS = _typical_arguments()


def typical_arguments(name):
    """Every parameter of an ordinary call of `name`, in signature order; the
    arrays are fresh copies, so a call cannot disturb the next one."""
    return {
        param: value.copy() if isinstance(value, np.ndarray) else value
        for param, value in _TYPICAL_ARGUMENTS[name].items()
    }
