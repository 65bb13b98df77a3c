"""The module itself: its namespace, the function objects and their
signatures, argument binding, re-import, rebinding and tracebacks."""

import builtins
import ctypes
import importlib
import inspect
import os
import pickle
import re
import subprocess
import sys
import types

import numpy as np
import pytest
import scipy.interpolate
import scipy.signal

from kemo_pkg import core_math
from support import reference
from support.outcome import outcome

pytestmark = pytest.mark.forked

# Every analysis function in definition order: its signature, then the local
# names its code object lists after the parameters.
FUNCTIONS = [
    ("remove_dc_offset", "(y_vals)", ""),
    ("get_tach_midpoints", "(t, y)",
     "p99 median_y threshold above_thresh diffs starts ends midpoints last_midpoint s e mid_t"),
    ("generate_fault_freq_fast", "(hss_pulse_times, gear_ratio)",
     "hss_revs lss_revs first_lss_rev last_lss_rev target_lss_integers"),
    ("apply_bandpass", "(data, lowcut, highcut, fs, order=4, filter_type='butter', rp=5.0, rs=40.0)",
     "nyq low high ftype b a"),
    ("perform_order_tracking", "(vib_x, vib_y, pulse_times)",
     "revs valid_idx t_vib_valid y_vib_valid time_to_rev_func instant_revs total_integer_revs pts_per_rev "
     "total_pts even_rev_grid rev_to_amp_func order_waveform"),
    ("perform_tsa", "(order_waveform, pts_per_rev, total_revs, revs_per_block)",
     "num_blocks valid_pts truncated_wf matrix tsa_wf tsa_rev_grid"),
    ("compute_envelope_waveform",
     "(y_vals, fs, lowcut, highcut, filter_order=4, filter_type='butter', rp=5.0, rs=40.0)",
     "filtered_y analytic_signal envelope_y"),
    ("compute_fft_dsp", "(waveform, d_rev, window_type='hann', scaling='peak', spectrum_format='linear')",
     "N win acf yf orders amp"),
    ("compute_frequency_spectrum",
     "(time_waveform, fs, window_type='hann', scaling='peak', spectrum_format='linear')", "N win acf yf freqs amp"),
    ("compute_envelope_spectrum",
     "(y_vals, fs, lowcut, highcut, filter_order=4, filter_type='butter', rp=5.0, rs=40.0)",
     "env_waveform env_freqs env_amps"),
    ("compute_cepstrum", "(spectrum_amps, d_axis)", "log_spectrum ceps_y N ceps_x"),
    ("get_harmonic_peak", "(orders, amps, target_order, search_window=0.05)", "mask"),
    ("get_band_energy", "(x_axis, y_axis, start_val, end_val)", "mask"),
    ("compute_true_overall_rms", "(y_vals)", ""),
    ("classify_operating_state", "(power_arr, max_power_rating)", "p_edges p_indices p"),
    ("compute_severity_envelope", "(feature_data, peak_weight=0.9)", "smoothed i"),
    ("compute_moving_average", "(feature_data, window_size=5)", "w result i window_sum"),
    ("compute_robust_trend", "(feature_data, median_window=5, savgol_window=15, poly_order=3)",
     "m_win s_win cleaned"),
    ("compute_median_filter", "(feature_data, window_size=5)", ""),
    ("compute_savgol_filter", "(feature_data, window_size=11, poly_order=3)", ""),
    ("detect_harmonic_signature",
     "(amp_1x, amp_2x, amp_3x, vh1=1.1, vh2=0.5, ind1=0.8, ind2=0.4, low1=0.5, low2=0.2)", ""),
    ("compute_dynamic_zscore", "(feature_data, baseline_window=30)", "z_scores i start_idx baseline std_dev"),
    ("compute_degradation_velocity", "(trend_data, time_delta=1.0)", ""),
]
NAMES = [name for name, _, _ in FUNCTIONS]
SCIPY_SIGNAL_NAMES = [
    "get_window", "butter", "cheby1", "cheby2", "ellip", "bessel", "filtfilt", "savgol_filter", "medfilt", "hilbert"
]
MODULE_FILE = "kemo_pkg/core_math"


def parameters(name):
    return list(inspect.signature(getattr(core_math, name)).parameters.values())


def required_names(name):
    return [p.name for p in parameters(name) if p.default is inspect.Parameter.empty]


def module_entries(traceback):
    """The functions of the module that a traceback passes through, outermost first."""
    entries = []
    while traceback is not None:
        code = traceback.tb_frame.f_code
        if code.co_filename == MODULE_FILE:
            entries.append(code.co_name)
        traceback = traceback.tb_next
    return entries


@pytest.fixture
def restored_namespace(monkeypatch):
    """Rebinding through this fixture is undone after the test."""
    return lambda name, value: monkeypatch.setattr(core_math, name, value)


def test_namespace_holds_numpy_scipy_and_the_functions_in_order():
    names = list(vars(core_math))
    assert names[names.index("np"):] == ["np", *SCIPY_SIGNAL_NAMES, "interp1d", *NAMES, "__test__"]
    assert core_math.np is np
    assert all(getattr(core_math, name) is getattr(scipy.signal, name) for name in SCIPY_SIGNAL_NAMES)
    assert core_math.interp1d is scipy.interpolate.interp1d
    assert core_math.__test__ == {}
    assert core_math.__builtins__ is builtins
    assert core_math.__name__ == "kemo_pkg.core_math"
    assert core_math.__package__ == "kemo_pkg"
    assert core_math.__file__ == core_math.__spec__.origin
    assert core_math.__loader__ is core_math.__spec__.loader
    assert not hasattr(core_math, "__path__")


@pytest.mark.parametrize("name, signature, local_names", FUNCTIONS)
def test_function_object_reads_like_a_python_function(name, signature, local_names):
    function = getattr(core_math, name)
    assert (function.__name__, function.__qualname__, function.__module__) == (name, name, "kemo_pkg.core_math")
    assert function.__doc__ is None
    assert function.__kwdefaults__ is None
    assert function.__globals__ is vars(core_math)
    assert function.__dict__ == {}
    assert re.fullmatch(rf"<function {name} at 0x[0-9a-f]+>", repr(function))

    assert str(inspect.signature(function)) == signature
    params = parameters(name)
    assert {p.kind for p in params} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    defaults = tuple(p.default for p in params if p.default is not inspect.Parameter.empty)
    # Python functions without defaults report None.
    assert function.__defaults__ == (defaults or None)

    code = function.__code__
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (len(params), 0, 0)
    assert code.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS) == 0
    assert code.co_varnames == (*(p.name for p in params), *local_names.split())
    assert code.co_filename == MODULE_FILE

    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(function, protocol)) is function


def test_assigned_defaults_show_in_the_signature_but_calls_keep_those_of_import(monkeypatch):
    rule = core_math.detect_harmonic_signature
    assert rule(2.0, 1.0, 1.0) == 3
    monkeypatch.setattr(rule, "__defaults__", (9.0,) * 6)
    assert str(inspect.signature(rule)).endswith("low2=9.0)")
    assert rule(2.0, 1.0, 1.0) == 3
    monkeypatch.setattr(rule, "__defaults__", None)
    assert rule(2.0, 1.0, 1.0) == 3


def test_binds_as_a_method_like_a_python_function():
    class Waveform(np.ndarray):
        rms = core_math.compute_true_overall_rms

    waveform = np.array([3.0, 4.0]).view(Waveform)
    assert Waveform.rms is core_math.compute_true_overall_rms
    assert waveform.rms.__func__ is core_math.compute_true_overall_rms and waveform.rms.__self__ is waveform
    assert waveform.rms() == 3.5355339059327378


def call_with_keyword_names(function, args, kwnames, kwvalues):
    """Calls `function` the way compiled callers do, with keyword names that
    Python syntax cannot produce."""
    vectorcall = ctypes.PYFUNCTYPE(
        ctypes.py_object, ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object
    )(("PyObject_Vectorcall", ctypes.pythonapi))
    values = (ctypes.py_object * (len(args) + len(kwvalues)))(*args, *kwvalues)
    return vectorcall(function, values, len(args), kwnames)


def binding_errors(name):
    """Each bad call of `name` with the message it must raise."""
    function = getattr(core_math, name)
    n_params, required = len(parameters(name)), required_names(name)
    n_required = len(required)
    has_defaults = n_params > n_required

    def takes(how, count, given):
        return f"{name}() takes {how} {count} positional argument{'' if count == 1 else 's'} ({given} given)"

    fill = [None] * n_required
    too_few = "at least" if has_defaults else "exactly"
    too_many = "at most" if has_defaults else "exactly"
    return [
        (lambda: function(), takes(too_few, n_required, 0)),
        (lambda: function(*[None] * (n_params + 1)), takes(too_many, n_params, n_params + 1)),
        # Missing required parameters are reported before stray keywords, by
        # the position of the first one missing.
        (lambda: function(**dict.fromkeys(required[:-1]), stray=1), takes(too_few, n_required, n_required - 1)),
        (lambda: function(*fill, stray=1), f"{name}() got an unexpected keyword argument 'stray'"),
        (lambda: function(*fill, **{required[0]: None}),
         f"{name}() got multiple values for keyword argument '{required[0]}'"),
        (lambda: call_with_keyword_names(function, fill, (1,), [None]), f"{name}() keywords must be strings"),
    ]


@pytest.mark.parametrize("name", NAMES)
def test_every_bad_call_raises_the_binding_error(name):
    for bad_call, message in binding_errors(name):
        with pytest.raises(TypeError) as error:
            bad_call()
        assert str(error.value) == message


@pytest.mark.parametrize(
    "bad_call, message",
    [
        (lambda x: core_math.apply_bandpass(x, 1, 2),
         "apply_bandpass() takes at least 4 positional arguments (3 given)"),
        # With keywords, the count is the position of the first required parameter left unfilled.
        (lambda x: core_math.apply_bandpass(data=x, lowcut=1, fs=100),
         "apply_bandpass() takes at least 4 positional arguments (2 given)"),
        (lambda x: core_math.apply_bandpass(x, 1, data=x, fs=100),
         "apply_bandpass() takes at least 4 positional arguments (2 given)"),
    ],
)
def test_binding_error_texts(bad_call, message):
    with pytest.raises(TypeError) as error:
        bad_call(np.ones(64))
    assert str(error.value) == message


@pytest.mark.parametrize(
    "name, kwargs",
    [
        ("get_harmonic_peak", {"orders": np.array([0.9, 0.96, 1.0, 1.04, 1.1]),
                               "amps": np.array([5.0, 2.0, 1.0, 3.0, 4.0]), "target_order": 1.0}),
        ("detect_harmonic_signature", {"amp_3x": 1.0, "low1": 0.05, "amp_2x": 0.0, "amp_1x": 0.1}),
        ("apply_bandpass", {"rs": 1.0, "fs": 100, "highcut": 60, "lowcut": 10, "data": np.ones(64)}),
    ],
)
def test_keywords_bind_by_name_in_any_order(name, kwargs):
    assert outcome(getattr(core_math, name), **kwargs) == outcome(getattr(reference, name), **kwargs)


def import_again(monkeypatch):
    monkeypatch.delitem(sys.modules, "kemo_pkg.core_math")
    return importlib.import_module("kemo_pkg.core_math")


@pytest.mark.parametrize("reimport", [import_again, lambda monkeypatch: importlib.reload(core_math)],
                         ids=["import", "reload"])
def test_reimport_gives_the_same_module_without_running_its_body_again(monkeypatch, reimport):
    sentinel = types.SimpleNamespace()
    monkeypatch.setattr(core_math, "np", sentinel)
    assert reimport(monkeypatch) is core_math
    assert core_math.np is sentinel
    assert sys.modules["kemo_pkg.core_math"] is core_math


def test_rebound_namespace_names_are_what_calls_use(restored_namespace):
    restored_namespace("np", types.SimpleNamespace(mean=lambda values: 1.5))
    np.testing.assert_array_equal(core_math.remove_dc_offset(np.array([2.0, 4.0])), [0.5, 2.5])


def test_names_missing_from_the_namespace_come_from_builtins_or_fail(monkeypatch):
    x = np.array([3.0, 5.0])
    monkeypatch.delattr(core_math, "np")
    with pytest.raises(NameError, match=r"^name 'np' is not defined$"):
        core_math.remove_dc_offset(x)
    monkeypatch.setattr(builtins, "np", np, raising=False)
    np.testing.assert_array_equal(core_math.remove_dc_offset(x), [-1.0, 1.0])


@pytest.mark.parametrize(
    "name, args, entries",
    [
        ("compute_true_overall_rms", ([3.0, 4.0],), ["compute_true_overall_rms"]),
        ("apply_bandpass", (np.ones(64), 10, 40, 0), ["apply_bandpass"]),
        # Too short for the zero-phase filter: raised three calls deep.
        ("compute_envelope_spectrum", (np.ones(20), 1000, 100, 200),
         ["compute_envelope_spectrum", "compute_envelope_waveform", "apply_bandpass"]),
    ],
)
def test_exceptions_from_bodies_carry_an_entry_per_function(name, args, entries):
    expected, _ = outcome(getattr(reference, name), *args)
    with pytest.raises(Exception) as error:
        getattr(core_math, name)(*args)
    assert ("raised", type(error.value), str(error.value)) == expected
    assert module_entries(error.value.__traceback__) == [f"kemo_pkg.core_math.{entry}" for entry in entries]


def test_function_rebound_to_call_itself_ends_in_recursion_error(restored_namespace):
    envelope_waveform = core_math.compute_envelope_waveform
    restored_namespace("compute_envelope_waveform", core_math.compute_envelope_spectrum)
    with pytest.raises(RecursionError):
        core_math.compute_envelope_spectrum(np.ones(64), 1000, 100, 200)
    # Unwound cleanly: with the name bound back, the next call works.
    restored_namespace("compute_envelope_waveform", envelope_waveform)
    assert outcome(core_math.compute_envelope_spectrum, np.ones(64), 1000, 100, 200) == outcome(
        reference.compute_envelope_spectrum, np.ones(64), 1000, 100, 200
    )


def test_self_recursion_stops_before_the_c_stack_with_a_raised_recursion_limit():
    # Python functions survive a raised limit in 3.13; a crash here would take
    # the test process with it, hence the child interpreter.
    script = (
        "import sys, numpy as np\n"
        "from kemo_pkg import core_math as m\n"
        "sys.setrecursionlimit(100_000)\n"
        "m.compute_envelope_waveform = m.compute_envelope_spectrum\n"
        "try:\n"
        "    m.compute_envelope_spectrum(np.ones(64), 1000, 100, 200)\n"
        "except RecursionError:\n"
        "    print('RecursionError')\n"
    )
    package_root = os.path.dirname(os.path.dirname(core_math.__file__))
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [package_root, os.environ.get("PYTHONPATH")]))}
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=120)
    assert (child.returncode, child.stdout) == (0, "RecursionError\n"), child.stderr
