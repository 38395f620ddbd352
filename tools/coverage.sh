#!/usr/bin/env bash
# Line and branch coverage of src/diff by the C++ tests and the replays of the saved
# fuzz corpus (ctest runs both), from a gcc --coverage build at -O0 in build/coverage.
# Prints each file's figures, the total of the files COVERAGE_FOCUS names (default
# src/diff/edge_store*.cpp) and their unreached lines by function; the annotated
# sources go to build/coverage/report/index.html. Needs gcovr in the virtualenv
# (`make coverage` installs the version pinned in pyproject.toml's `coverage` extra).
# Each process draws its own hash keys, so which tags collide differs from run to run:
# a few branches of the index's probe loop come and go, while the lines reached do not.
#
#   tools/coverage.sh
#   COVERAGE_FOCUS='src/diff/graph_diff*.cpp' tools/coverage.sh
set -euo pipefail
cd "$(dirname "$0")/.."

PY="${PYTHON:-${VIRTUAL_ENV:-$PWD/.venv}/bin/python}"
JOBS="${JOBS:-2}"
FOCUS="${COVERAGE_FOCUS:-src/diff/edge_store*.cpp}"
export PATH="$(dirname "$PY"):$PATH"  # the virtualenv's cmake, ninja and gcovr
OUT=build/coverage
REPORT="$OUT/report"

# -O0, so that each line's count is that line's and not a neighbour's it was merged with.
cmake -S . -B "$OUT" -G Ninja -DKOVRA_WERROR=ON \
  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=--coverage \
  -DKOVRA_BUILD_MODULE=OFF -DKOVRA_BUILD_TESTS=ON -DKOVRA_TEST_HOOKS=ON >/dev/null
cmake --build "$OUT" -j "$JOBS"
# Counts add up across runs, and a rebuilt object's old counts no longer fit it: each
# run starts from zero.
find "$OUT" -name '*.gcda' -delete
ctest --test-dir "$OUT" --output-on-failure

rm -rf "$REPORT"
mkdir -p "$REPORT"
# Template instances' lines count once (--merge-lines); branches taken only when an
# exception is thrown, and those the compiler adds on lines without code, are left out,
# so that a branch is a decision written in the source. Only the objects of the core, the
# tests and the replays are read: CMake's own compiler probe was built with --coverage too.
gcovr --root . --filter 'src/diff/' -j "$JOBS" \
  --merge-lines --exclude-throw-branches --exclude-unreachable-branches --exclude-noncode-lines \
  --json "$OUT/coverage.json" --json-summary "$OUT/summary.json" \
  --html-details "$REPORT/index.html" \
  "$OUT/CMakeFiles/kovra_core.dir" "$OUT/tests" "$OUT/fuzz"
"$PY" tools/coverage_report.py "$OUT/summary.json" "$OUT/coverage.json" "$FOCUS"
echo "annotated sources: $REPORT/index.html"
