"""The type stubs: they describe the functions the module really has, they ship
with the package, and mypy holds a typed pipeline to them."""

import ast
import inspect
import os
import runpy
import subprocess
import sys
from pathlib import Path

import pytest

import kemo_pkg
from kemo_pkg import core_math

PACKAGE_DIR = Path(kemo_pkg.__file__).parent
EXAMPLE = Path(__file__).parent.parent / "examples" / "typed_usage.py"


def stub_functions():
    tree = ast.parse((PACKAGE_DIR / "core_math.pyi").read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


def module_functions():
    return {
        name: value for name, value in vars(core_math).items()
        if callable(value) and getattr(value, "__module__", None) == "kemo_pkg.core_math"
    }


def test_the_stubs_and_the_marker_ship_with_the_package():
    assert (PACKAGE_DIR / "py.typed").is_file()
    assert len(module_functions()) == 23
    assert sorted(stub_functions()) == sorted(module_functions())


@pytest.mark.parametrize("name", sorted(module_functions()))
def test_stub_has_the_parameters_and_defaults_of_the_function(name):
    stub = stub_functions()[name]
    parameters = inspect.signature(module_functions()[name]).parameters.values()
    assert [arg.arg for arg in stub.args.args] == [p.name for p in parameters]
    stub_defaults = [ast.literal_eval(value) for value in stub.args.defaults]
    assert stub_defaults == [p.default for p in parameters if p.default is not inspect.Parameter.empty]
    assert stub.returns is not None and all(arg.annotation is not None for arg in stub.args.args)
    assert ast.get_docstring(stub)
    assert module_functions()[name].__doc__ is None


def mypy(tmp_path, *files):
    env = dict(os.environ)
    # A development tree is found through MYPYPATH; an installed package through
    # the interpreter's site-packages, which mypy must not be given as a path.
    if "site-packages" not in PACKAGE_DIR.parts:
        env["MYPYPATH"] = str(PACKAGE_DIR.parent)
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"),
         *map(str, files)],
        capture_output=True, text=True, env=env,
    )


def test_mypy_accepts_the_example_that_calls_every_function(tmp_path):
    called = {node.attr for node in ast.walk(ast.parse(EXAMPLE.read_text())) if isinstance(node, ast.Attribute)}
    assert set(module_functions()) <= called
    checked = mypy(tmp_path, EXAMPLE)
    assert checked.returncode == 0, checked.stdout + checked.stderr


def test_mypy_rejects_calls_the_stubs_do_not_allow(tmp_path):
    misuse = tmp_path / "misuse.py"
    misuse.write_text(
        "import numpy as np\n"
        "from kemo_pkg import core_math as cm\n"
        "x = np.zeros(64)\n"
        "cm.get_harmonic_peak(x, x)\n"
        "orders, amps = cm.compute_fft_dsp(x, 1 / 64)\n"
        "first: float = amps[0]\n"
        "cm.apply_bandpass(x, 1.0, 2.0, 10.0, filter='butter')\n"
        "level: str = cm.detect_harmonic_signature(1.0, 0.5, 1.0)\n"
    )
    checked = mypy(tmp_path, misuse)
    assert checked.returncode == 1
    errors = [line for line in checked.stdout.splitlines() if ": error: " in line]
    assert [line.split(":")[1] for line in errors] == ["4", "6", "7", "8"], checked.stdout


def test_the_example_runs(capsys):
    runpy.run_path(str(EXAMPLE), run_name="__main__")
    assert "amp_1x" in capsys.readouterr().out
