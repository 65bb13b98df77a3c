#!/usr/bin/env bash
# The extension built with AddressSanitizer and UndefinedBehaviorSanitizer,
# and the whole test suite run against that build.
#
# The sanitized build lives in build/sanitize: its own CMake tree, and a
# package directory unpacked from its wheel that goes first on PYTHONPATH,
# so neither .venv nor the development build is touched.  Any finding ends
# the run with a report: both sanitizers abort on the first error.
set -euo pipefail
cd "$(dirname "$0")/.."

PY=${PY:-.venv/bin/python}
BUILD_DIR=build/sanitize
PACKAGE_DIR=$PWD/$BUILD_DIR/site

# The runtimes preloaded below must be those the extension is compiled
# against: build with the same gcc.
export CXX=g++
rm -rf "$BUILD_DIR/wheel" "$PACKAGE_DIR"
"$PY" -m pip wheel --quiet --no-deps --wheel-dir "$BUILD_DIR/wheel" \
    --config-settings=cmake.define.KEMO_SANITIZE=ON \
    --config-settings=cmake.build-type=RelWithDebInfo \
    --config-settings=build-dir="$BUILD_DIR/cmake" \
    .
"$PY" -m zipfile -e "$BUILD_DIR"/wheel/kemo_pkg-*.whl "$PACKAGE_DIR"

# CPython frees little at exit, so leak detection would only report the
# interpreter; allocation failures must reach Python as MemoryError.
# PYTHONMALLOC=malloc hands every object allocation to ASan, so a freed
# object used again is caught too.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:halt_on_error=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export PYTHONMALLOC=malloc
export PYTHONPATH=$PACKAGE_DIR
export KEMO_SANITIZED_PACKAGE=$PACKAGE_DIR

# The suite runs in the process that checked which build it imported.  (The
# runner is given with -c, not on stdin: worker processes that the suite
# spawns re-run the main module from its file.)
exec "$PY" -c '
import os, sys
from pathlib import Path

import pytest

import kemo_pkg.core_math

extension = Path(kemo_pkg.core_math.__file__)
assert extension.is_relative_to(os.environ["KEMO_SANITIZED_PACKAGE"]), f"not the sanitized build: {extension}"
assert b"__asan_report" in extension.read_bytes(), f"built without AddressSanitizer: {extension}"
assert b"__ubsan_handle" in extension.read_bytes(), f"built without UndefinedBehaviorSanitizer: {extension}"
print(f"sanitized build: {extension}", flush=True)
sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", *(sys.argv[1:] or ["tests"])]))
' "$@"
