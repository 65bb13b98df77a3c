#!/usr/bin/env bash
# Mutation testing of the Python layer: mutmut changes one thing at a time in
# every function of src/kemo_pkg/*.py (an operator, a number, a string, an
# argument) and runs the tests that reach that function (the subset named in
# pyproject.toml, [tool.mutmut]).  A mutant is killed when a test fails, hangs
# past its time limit or crashes.  The compiled core is not mutated.
#
#   tools/mutate.sh                          every module
#   tools/mutate.sh analysis records         those modules' mutants only
#   tools/mutate.sh 'quality.x_check_tach*'  the mutants of matching functions
#
# The run works in a copy (build/mutate, or MUTATE_WORK), so the tree is left
# as it was, and ends with one line: mutation score: K/N killed.  MUTATE_CHILDREN
# sets how many mutants run at once (default 2, one per core here).
set -euo pipefail
cd "$(dirname "$0")/.."

PY=${PY:-.venv/bin/python}
PY=$(cd "$(dirname "$PY")" && pwd)/$(basename "$PY")  # absolute: the run changes folder
MUTMUT=$(dirname "$PY")/mutmut
WORK=${MUTATE_WORK:-build/mutate}
PATTERNS=("$@")

rm -rf "$WORK"
mkdir -p "$WORK/mutants/src/kemo_pkg"
cp -r src tests pyproject.toml "$WORK/"
rm -f "$WORK"/src/kemo_pkg/*.so
# mutmut copies the sources into mutants/ and imports them from there; the
# extension comes from the installed package.
cp "$("$PY" -c 'import kemo_pkg.core_math as m; print(m.__file__)')" "$WORK/mutants/src/kemo_pkg/"

cd "$WORK"
GLOBS=()
for pattern in "${PATTERNS[@]}"; do
    [[ $pattern == *.* ]] && GLOBS+=("kemo_pkg.$pattern") || GLOBS+=("kemo_pkg.$pattern.*")
done
# The property tests try fewer generated records per mutant: each mutant is
# one fresh session, and a survivor runs every test that reaches it.
export KEMO_PROPERTY_EXAMPLES=${KEMO_PROPERTY_EXAMPLES:-30}
if ! "$MUTMUT" run --max-children "${MUTATE_CHILDREN:-2}" "${GLOBS[@]}" > run.log 2>&1; then
    tail -c 3000 run.log >&2
    exit 1
fi
"$PY" - "${GLOBS[@]}" <<'PYTHON'
import fnmatch
import json
import sys
from pathlib import Path

# mutmut's exit codes: 1 and 3 a failing test, 36 and the CPU-time signals
# a hang, -9 and -11 a crash; 0 survived, 33 and 5 no test reaches it.
KILLED = {1, 3, 36, 24, -24, 152, 255, -9, -11}
globs = sys.argv[1:] or ["*"]
killed = total = 0
with open("survivors.txt", "w") as survivors:
    for meta in sorted(Path("mutants/src/kemo_pkg").glob("*.py.meta")):
        codes = json.loads(meta.read_text())["exit_code_by_key"]
        for name, code in codes.items():
            if not any(fnmatch.fnmatchcase(name, g) for g in globs):
                continue
            total += 1
            killed += code in KILLED
            if code not in KILLED:
                survivors.write(f"{name}: {code}\n")
print(f"mutation score: {killed}/{total} killed")
PYTHON
