"""The fast layer as a whole: every hot function serves its common call
natively, and its generic body serves the call once the library names the
fast path stands in for are rebound; records just outside what a native loop
takes are the generic body's; and a self-check that fails at import switches
off what relies on it, and nothing else."""

import json
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from support import reference
from support.edge_records import GUARD_LAYOUTS, laid_out_args
from support.outcome import assert_same_outcome

pytestmark = pytest.mark.forked

WAVEFORM = np.sin(np.arange(1000) * 0.1) + 0.2
TACH_TIMES = np.arange(2000) / 1000.0
TACH_SIGNAL = 5.0 * (np.arange(2000) % 40 < 3)
ORDERS = np.arange(200) / 16.0
ORDER_AMPS = 1.0 + np.cos(ORDERS)
# A fast shaft at about 50 Hz, its speed wandering a little.
PULSES = np.cumsum(0.02 + 0.002 * np.sin(np.arange(200) / 7.0))
# Vibration of that shaft at 2560 Hz from before its first pulse to past its sixth.
VIB_TIMES = np.arange(-64, 384) / 2560.0
VIB_SAMPLES = np.sin(2 * np.pi * 150.0 * VIB_TIMES) + 0.3 * np.sin(2 * np.pi * 37.0 * VIB_TIMES)
_, SPECTRUM = reference.compute_frequency_spectrum(WAVEFORM, 1000.0)

# One ordinary call of every function with a fast path that stands in for
# numpy or scipy (the harmonic signature rule stands in for neither: its
# tests are in test_spectral.py).
COMMON_CALLS = [
    pytest.param("remove_dc_offset", (WAVEFORM,), id="dc"),
    pytest.param("compute_true_overall_rms", (WAVEFORM,), id="rms"),
    pytest.param("apply_bandpass", (WAVEFORM, 30, 120, 1000.0), id="band-pass"),
    pytest.param("get_tach_midpoints", (TACH_TIMES, TACH_SIGNAL), id="tach"),
    pytest.param("generate_fault_freq_fast", (PULSES, 2.5), id="slow-shaft"),
    pytest.param("perform_order_tracking", (VIB_TIMES, VIB_SAMPLES, PULSES[:6]), id="order-tracking"),
    pytest.param("perform_tsa", (WAVEFORM, 10, 100, 5), id="synchronous-average"),
    pytest.param("compute_fft_dsp", (WAVEFORM, 1 / 64), id="order-spectrum"),
    pytest.param("compute_frequency_spectrum", (WAVEFORM, 1000.0, "hamming", "rms", "power"), id="spectrum"),
    pytest.param("compute_cepstrum", (SPECTRUM, 1.0), id="cepstrum"),
    pytest.param("get_harmonic_peak", (ORDERS, ORDER_AMPS, 1.0), id="peak"),
    pytest.param("get_band_energy", (ORDERS, ORDER_AMPS, 1, 3), id="band"),
    pytest.param("classify_operating_state", (np.linspace(0, 2500, 100), 2000), id="states"),
    pytest.param("compute_severity_envelope", (WAVEFORM, 0.9), id="envelope"),
    pytest.param("compute_moving_average", (WAVEFORM, 5), id="moving-average"),
    pytest.param("compute_robust_trend", (WAVEFORM, 5, 15, 3), id="robust-trend"),
    pytest.param("compute_median_filter", (WAVEFORM, 5), id="median"),
    pytest.param("compute_savgol_filter", (WAVEFORM, 11, 3), id="savgol"),
    pytest.param("compute_dynamic_zscore", (WAVEFORM, 30), id="zscore"),
    pytest.param("compute_degradation_velocity", (WAVEFORM, 0.5), id="velocity"),
]


@pytest.mark.parametrize("name, args", COMMON_CALLS)
def test_the_common_call_is_native_and_the_generic_body_gives_the_same(name, args):
    assert_same_outcome(name, *args, generic=True, served_by="native")


@pytest.mark.parametrize("layout", GUARD_LAYOUTS)
@pytest.mark.parametrize("name, args", COMMON_CALLS)
def test_records_the_native_loops_decline_are_the_generic_bodys(name, args, layout):
    assert_same_outcome(name, *laid_out_args(args, layout), generic=True, served_by="generic")


# A child process that breaks one native copy's agreement with the library
# before the module is imported, mends it, and reports which path serves a
# few calls.  Only the paths that rely on the broken copy may change.
CHILD = """
import json, sys
import numpy as np
import scipy.signal
sys.path.insert(0, {tests!r})
{breaks}
from kemo_pkg import core_math
{mends}
from support.paths import path_of
x = np.sin(np.arange(20_000) * 0.1)
calls = {{
    "rms": (core_math.compute_true_overall_rms, (x,)),
    "tach": (core_math.get_tach_midpoints, (np.arange(2000) / 1000.0, 5.0 * (np.arange(2000) % 40 < 3))),
    "envelope": (core_math.compute_severity_envelope, (x,)),
    "short spectrum": (core_math.compute_frequency_spectrum, (x[:64], 1000.0)),
    "long spectrum": (core_math.compute_frequency_spectrum, (x, 1000.0)),
}}
paths = {{}}
for label, (function, args) in calls.items():
    with path_of(function) as path:
        function(*args)
    paths[label] = path[0]
print(json.dumps(paths))
"""

# What each break leaves to the generic body; everything else stays native.
BREAKS = {
    "numpy's summation": (
        "real_sum = np.sum\nnp.sum = lambda *args, **kwargs: np.nextafter(real_sum(*args, **kwargs), np.inf)",
        "np.sum = real_sum",
        {"rms", "short spectrum", "long spectrum"},
    ),
    "numpy's percentile": (
        "real_percentile = np.percentile\n"
        "np.percentile = lambda *args, **kwargs: np.nextafter(real_percentile(*args, **kwargs), np.inf)",
        "np.percentile = real_percentile",
        {"tach"},
    ),
    # scipy's window stays the genuine one bound at import: only the Hann
    # window made natively for long records is switched off.
    "scipy's Hann window": (
        "real_window = scipy.signal.get_window\n"
        "scipy.signal.get_window = lambda *args, **kwargs: np.nextafter(real_window(*args, **kwargs), 2.0)",
        "",
        {"long spectrum"},
    ),
}


@pytest.mark.parametrize("broken", BREAKS)
def test_a_failed_self_check_switches_off_only_what_relies_on_it(broken):
    breaks, mends, generic = BREAKS[broken]
    script = CHILD.format(tests=str(Path(__file__).parent), breaks=breaks, mends=mends)
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert child.returncode == 0, child.stderr
    paths = json.loads(child.stdout)
    assert {label for label, path in paths.items() if path == "generic"} == generic
    assert {label for label, path in paths.items() if path == "native"} == set(paths) - generic
