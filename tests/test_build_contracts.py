"""What the build guarantees, checked where it is enforced: arithmetic done
exactly as written, argument binding sized for every signature, and the
source's layers kept apart.  These compile small probes against the source
tree, so they need it (a checkout) and a C++ compiler."""

import os
import platform
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SOURCE = ROOT / "src" / "core_math"
FUSED_ARITHMETIC = ROOT / "tools" / "fused_arithmetic.py"
CXX = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")

pytestmark = pytest.mark.skipif(not SOURCE.is_dir() or CXX is None, reason="needs the source tree and a C++ compiler")

KERNELS = sorted(path.name for path in (SOURCE / "kernels").glob("*.hpp"))


def compiled(tmp_path, source, *options):
    """The compiler's verdict on `source`, checked against the core's headers."""
    probe = tmp_path / "probe.cpp"
    probe.write_text(source)
    return subprocess.run([CXX, "-std=c++17", "-fsyntax-only", f"-I{SOURCE}", *options, str(probe)],
                          capture_output=True, text=True)


@pytest.mark.parametrize(
    "options, complaint",
    [
        (["-ffast-math"], "without fast-math"),
        (["-fassociative-math", "-fno-signed-zeros", "-fno-trapping-math"], "without fast-math"),
        (["-freciprocal-math"], "without fast-math"),
        (["-ffinite-math-only"], "without fast-math"),
        (["-fno-signed-zeros"], "without fast-math"),
        (["-fno-trapping-math"], "with trapping math"),
    ],
)
def test_each_option_that_breaks_the_arithmetic_stops_the_build(tmp_path, options, complaint):
    source = '#include "kernels/exact_arithmetic.hpp"\n'
    broken = compiled(tmp_path, source, *options)
    assert broken.returncode != 0 and complaint in broken.stderr
    assert compiled(tmp_path, source, "-ffp-contract=off").returncode == 0


def signature_of(n_params):
    params = ", ".join(f'{{"p{i}"}}' for i in range(n_params))
    return (
        '#include "runtime/signature.hpp"\n'
        f"const core_math::Param params[] = {{{params}}};\n"
        "const core_math::Parameters signature(params);\n"
    )


def test_a_signature_longer_than_argument_binding_holds_does_not_compile(tmp_path):
    assert compiled(tmp_path, signature_of(9)).returncode == 0
    too_long = compiled(tmp_path, signature_of(10))
    assert too_long.returncode != 0 and "argument binding holds kMaxParams parameters" in too_long.stderr


@pytest.mark.skipif(platform.machine() not in ("x86_64", "AMD64"), reason="the probe asks for x86 FMA")
@pytest.mark.parametrize("contraction, fused", [("off", False), ("fast", True)])
def test_the_build_finds_fused_multiply_adds(tmp_path, contraction, fused):
    probe = tmp_path / "probe.cpp"
    probe.write_text("double corrected(double a, double b, double c) { return a * b + c; }\n")
    library = tmp_path / "probe.so"
    subprocess.run([CXX, "-O2", "-mfma", f"-ffp-contract={contraction}", "-shared", "-fPIC", str(probe), "-o",
                    str(library)], check=True)
    scan = subprocess.run([sys.executable, str(FUSED_ARITHMETIC), str(library)], capture_output=True, text=True)
    assert scan.returncode == (1 if fused else 0), scan.stderr


def includes(folder):
    """(file, included name) of every quoted include in a folder of the core."""
    return [
        (path.relative_to(SOURCE).as_posix(), line.split('"')[1])
        for path in sorted((SOURCE / folder).rglob("*.?pp"))
        for line in path.read_text().splitlines()
        if line.startswith('#include "')
    ]


def test_the_layers_below_the_domains_include_nothing_from_them():
    below = includes("runtime") + includes("fast") + includes("kernels")
    assert [(path, name) for path, name in below if name.startswith("domains/")] == []


def test_the_kernels_are_plain_cpp_under_the_arithmetic_contract():
    kernel_includes = includes("kernels")
    assert [(path, name) for path, name in kernel_includes if not name.startswith("kernels/")] == []
    assert not [path for path in (SOURCE / "kernels").glob("*.hpp") if "Python.h" in path.read_text()]
    under_contract = {path for path, name in kernel_includes if name == "kernels/exact_arithmetic.hpp"}
    assert under_contract == {f"kernels/{name}" for name in KERNELS} - {"kernels/exact_arithmetic.hpp"}
