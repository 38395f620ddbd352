#!/usr/bin/env bash
# Runs the C++ tests and the whole pytest suite against a build instrumented with
# AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer. Exits non-zero on any
# test failure or sanitizer report.
#
#   tools/sanitize.sh              everything
#   tools/sanitize.sh -k leaks     extra arguments go to pytest
#
# The interpreter itself is not instrumented, so the sanitizer runtimes are preloaded into
# it; PYTHONMALLOC=malloc routes Python objects through the instrumented allocator too,
# so a reference dropped once too often shows up as a use after free.
set -euo pipefail
cd "$(dirname "$0")/.."

PY="${PYTHON:-${VIRTUAL_ENV:-$PWD/.venv}/bin/python}"
JOBS="${JOBS:-2}"
OUT=build/sanitize
SITE="$OUT/site"
mkdir -p "$OUT"

# No -Werror here: the instrumented -O3 build makes g++ 12 report false -Wrestrict
# overlaps inside std::string; the normal build keeps the warnings gate.
echo "== C++ tests and corpus replays under the sanitizers"
cmake -S . -B "$OUT/cpp" -G Ninja -DPython_EXECUTABLE="$PY" \
  -DKOVRA_SANITIZE=ON -DKOVRA_BUILD_MODULE=OFF -DKOVRA_BUILD_TESTS=ON >/dev/null
cmake --build "$OUT/cpp" -j "$JOBS"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$OUT/cpp" --output-on-failure

echo "== module built with the sanitizers, installed beside the normal one"
# A target folder rather than a second virtualenv: the build needs nothing new, and
# PYTHONPATH puts this copy ahead of the one installed in the virtualenv.
"$PY" -m pip --disable-pip-version-check install -q --no-build-isolation --no-deps --upgrade \
  --target "$SITE" -Ccmake.define.KOVRA_SANITIZE=ON \
  -Cbuild-dir="$OUT/module" .

ASAN_LIB="$(g++ -print-file-name=libasan.so)"
UBSAN_LIB="$(g++ -print-file-name=libubsan.so)"
REPORTS="$PWD/$OUT/reports"
rm -rf "$REPORTS"
mkdir -p "$REPORTS"

run_sanitized() {
  env LD_PRELOAD="$ASAN_LIB $UBSAN_LIB" \
    PYTHONPATH="$PWD/$SITE${PYTHONPATH:+:$PYTHONPATH}" \
    PYTHONMALLOC=malloc \
    KOVRA_SANITIZE_RUN=1 \
    ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=0:log_path=$REPORTS/asan" \
    LSAN_OPTIONS="suppressions=$PWD/tools/lsan.supp:print_suppressions=0" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$REPORTS/ubsan" \
    "$PY" "$@"
}

where="$(run_sanitized -c 'import kovra_api; print(kovra_api.__file__)')"
case "$where" in
  "$PWD/$SITE"/*) ;;
  *) echo "sanitize.sh: imported $where instead of the instrumented build" >&2; exit 1 ;;
esac

echo "== pytest under the sanitizers"
status=0
run_sanitized -m pytest -q -p no:cacheprovider "$@" || status=$?

# Every process of the run (pytest and the children some tests start) writes its own
# report file, so a report from a child whose test passed is not lost.
if compgen -G "$REPORTS/*" >/dev/null; then
  echo "sanitize.sh: sanitizer reports:" >&2
  for report in "$REPORTS"/*; do
    echo "--- $report" >&2
    head -n 200 "$report" >&2
  done
  exit 1
fi
exit "$status"
