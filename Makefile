# make          - the tests (the default): set up .venv with CPython 3.13, install the package, run the suite
# make test-oldest - the suite again in .venv-oldest, on the oldest numpy and scipy pyproject.toml admits
# make dev      - rebuild the extension in place after an edit, recompiling only what changed
# make demo     - the same set-up, then the drivetrain demonstration
# make bench    - module against the plain-Python baseline, side by side; a fleet run on 1 and 2 workers
# make sanitize - the tests against the extension built with ASan and UBSan
# make evaluate - the bearing diagnosis over every rig of real development records in ../shared/data
# make mutate   - mutation testing of the Python layer (not part of CI; MODULES="analysis ..." for some)
# make lint     - ruff (lint and format) and mypy, strict, over the package and its tests

VENV := .venv
PY := $(VENV)/bin/python
STAMP := $(VENV)/.installed
BUILD_TOOLS := $(VENV)/.build-tools
SOURCES := $(shell find src -type f -not -name '*.so' -not -path '*/__pycache__/*') CMakeLists.txt pyproject.toml

# CPython 3.13: python3.13 on PATH if it runs, else a pyenv installation.
PYTHON313 := $(shell for c in python3.13 $${PYENV_ROOT:-$$HOME/.pyenv}/versions/3.13*/bin/python3.13; do \
	"$$c" -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1 && { echo "$$c"; break; }; done)

DEVELOPMENT_SETS := $(wildcard ../shared/data/bearings-*)

.DEFAULT_GOAL := test
.PHONY: test test-oldest dev demo bench sanitize evaluate mutate lint clean

$(PY):
	@test -n "$(PYTHON313)" || { echo "error: CPython 3.13 not found (no working python3.13 on PATH, none under pyenv)" >&2; exit 1; }
	$(PYTHON313) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

# The package as users install it: a wheel built in an isolated environment.
$(STAMP): $(PY) $(SOURCES)
	$(PY) -m pip install --quiet ".[test,demo]"
	@touch $@

LIBRARY_VERSIONS := import numpy, scipy; print(f"numpy {numpy.__version__}, scipy {scipy.__version__}")

test: $(STAMP)
	@$(PY) -c '$(LIBRARY_VERSIONS)'
	$(PY) -m pytest -q tests

# The oldest numpy and scipy the package admits: the lower bounds of its
# dependencies in pyproject.toml, pinned.  `make` tests the newest.
OLDEST_VENV := .venv-oldest
OLDEST_PY := $(OLDEST_VENV)/bin/python
OLDEST_PINS = $(shell $(PYTHON313) -c 'import tomllib; \
	print(" ".join(d.replace(">=", "==") for d in tomllib.load(open("pyproject.toml", "rb"))["project"]["dependencies"]))')

$(OLDEST_PY):
	@test -n "$(PYTHON313)" || { echo "error: CPython 3.13 not found (no working python3.13 on PATH, none under pyenv)" >&2; exit 1; }
	$(PYTHON313) -m venv $(OLDEST_VENV)
	$(OLDEST_PY) -m pip install --quiet --upgrade pip

$(OLDEST_VENV)/.installed: $(OLDEST_PY) $(SOURCES)
	$(OLDEST_PY) -m pip install --quiet ".[test]" $(OLDEST_PINS)
	@touch $@

# The tests marked `services` (a PostgreSQL server, a Dask cluster, fleet runs
# in processes) exercise no native code of their own: `make test` runs them,
# the oldest libraries and the sanitized build leave them out.
SERVICES_LEFT_OUT := -m "not services"

test-oldest: $(OLDEST_VENV)/.installed
	@$(OLDEST_PY) -c '$(LIBRARY_VERSIONS)'
	$(OLDEST_PY) -m pytest -q $(SERVICES_LEFT_OUT) tests

# An editable install whose CMake tree (build/dev) persists between edits:
# only the changed files recompile.  It counts as installed, so `make` then
# tests this build until a source changes again.
$(BUILD_TOOLS): $(PY) Makefile
	$(PY) -m pip install --quiet "scikit-build-core>=0.10" "pybind11>=2.13" "numpy>=2.1" "setuptools-scm>=8" cmake ninja
	@touch $@

dev: $(BUILD_TOOLS)
	$(PY) -m pip install --quiet --no-build-isolation --config-settings=build-dir=build/dev --editable ".[test,demo]"
	@touch $(STAMP)

demo: $(STAMP)
	$(PY) -m kemo_pkg demo

bench: $(STAMP)
	$(PY) bench/bench.py

evaluate: $(STAMP)
	@test -n "$(DEVELOPMENT_SETS)" || { echo "evaluate: no ../shared/data/bearings-* folder is here; nothing to evaluate"; exit 0; }
	$(PY) tools/evaluate.py $(EVALUATE_FLAGS) $(DEVELOPMENT_SETS)

sanitize: $(STAMP)
	PY=$(PY) bash tools/sanitize.sh $(SERVICES_LEFT_OUT) tests

# The tools of the optional group "mutate", as pyproject.toml names them.
$(VENV)/.mutate: $(STAMP) pyproject.toml
	$(PY) -c 'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["mutate"]))' > $(VENV)/mutate-requirements.txt
	$(PY) -m pip install --quiet -r $(VENV)/mutate-requirements.txt
	@touch $@

# MODULES="analysis records" limits the run to those modules' mutants.
mutate: $(VENV)/.mutate
	PY=$(PY) bash tools/mutate.sh $(MODULES)

# The settings of both tools are in pyproject.toml; .pre-commit-config.yaml runs the same.
lint: $(STAMP)
	$(PY) -m ruff check .
	$(PY) -m ruff format --check .
	$(PY) -m mypy

clean:
	rm -rf build $(VENV) $(OLDEST_VENV)
