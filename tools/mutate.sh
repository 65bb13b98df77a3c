#!/usr/bin/env bash
# Mutation testing of the Python layer: mutmut changes one thing at a time in
# every function of src/kemo_pkg/*.py (an operator, a number, a string, an
# argument) and runs the tests that reach that function (the subset named in
# pyproject.toml, [tool.mutmut]).  A mutant is killed when a test fails, hangs
# past its time limit or crashes.  The compiled core is not mutated.
#
# The run works in a copy under build/mutate, so the tree is left as it was,
# and ends with one line: mutation score: K/N killed.
set -euo pipefail
cd "$(dirname "$0")/.."

PY=${PY:-.venv/bin/python}
PY=$(cd "$(dirname "$PY")" && pwd)/$(basename "$PY")  # absolute: the run changes folder
MUTMUT=$(dirname "$PY")/mutmut
WORK=build/mutate

rm -rf "$WORK"
mkdir -p "$WORK/mutants/src/kemo_pkg"
cp -r src tests pyproject.toml "$WORK/"
rm -f "$WORK"/src/kemo_pkg/*.so
# mutmut copies the sources into mutants/ and imports them from there; the
# extension comes from the installed package.
cp "$("$PY" -c 'import kemo_pkg.core_math as m; print(m.__file__)')" "$WORK/mutants/src/kemo_pkg/"

cd "$WORK"
if ! "$MUTMUT" run --max-children 2 > run.log 2>&1; then
    tail -n 30 run.log >&2
    exit 1
fi
"$MUTMUT" results > survivors.txt
"$MUTMUT" export-cicd-stats > /dev/null
"$PY" - <<'PYTHON'
import json

with open("mutants/mutmut-cicd-stats.json") as f:
    s = json.load(f)
killed = s["killed"] + s["timeout"] + s["segfault"]
print(f"mutation score: {killed}/{s['total']} killed")
PYTHON
