#!/usr/bin/env bash
# Runs the C++ tests and the whole pytest suite against a build instrumented with
# AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer, the module's with the
# diff's rules checked after every call; beside it, the stable-ABI build of the
# module, instrumented alike, under the test files that reach what it does
# differently (src/extension/api_access.h). Exits non-zero on any test failure,
# sanitizer report or broken rule.
#
#   tools/sanitize.sh              everything
#   tools/sanitize.sh -k leaks     extra arguments go to pytest, in both runs
#
# The interpreter itself is not instrumented, so the sanitizer runtimes are preloaded into
# it; PYTHONMALLOC=malloc routes Python objects through the instrumented allocator too,
# so a reference dropped once too often shows up as a use after free.
set -euo pipefail
cd "$(dirname "$0")/.."

PY="${PYTHON:-${VIRTUAL_ENV:-$PWD/.venv}/bin/python}"
JOBS="${JOBS:-2}"
export PATH="$(dirname "$PY"):$PATH"  # the virtualenv's cmake and ninja
OUT=build/sanitize
mkdir -p "$OUT"

# No -Werror here: the instrumented -O3 build makes g++ 12 report false -Wrestrict
# overlaps inside std::string; the normal build keeps the warnings gate.
echo "== C++ tests and corpus replays under the sanitizers"
cmake -S . -B "$OUT/cpp" -G Ninja -DPython_EXECUTABLE="$PY" -DKOVRA_WERROR=OFF \
  -DKOVRA_SANITIZE=ON -DKOVRA_BUILD_MODULE=OFF -DKOVRA_BUILD_TESTS=ON -DKOVRA_TEST_HOOKS=ON \
  >/dev/null
cmake --build "$OUT/cpp" -j "$JOBS"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$OUT/cpp" --output-on-failure

# A module built with the sanitizers, installed beside the normal one: a target folder
# rather than a second virtualenv, since the build needs nothing new, and PYTHONPATH
# puts this copy ahead of the one installed in the virtualenv. It also checks the
# diff's rules after every call on it and aborts on a broken one
# (KOVRA_CHECK_INVARIANTS), so the suite runs against those checks.
#   install_sanitized NAME [pip arguments...]   into $OUT/site-NAME, built in $OUT/module-NAME
install_sanitized() {
  local name="$1"
  shift
  "$PY" -m pip --disable-pip-version-check install -q --no-build-isolation --no-deps --upgrade \
    --target "$OUT/site-$name" -Ccmake.define.KOVRA_SANITIZE=ON -Ccmake.define.KOVRA_WERROR=OFF \
    -Ccmake.define.KOVRA_CHECK_INVARIANTS=ON -Cbuild-dir="$OUT/module-$name" "$@" .
}
echo "== modules built with the sanitizers, installed beside the normal one"
install_sanitized full
install_sanitized abi3 -Cwheel.py-api="$(sed -n 's/^ABI3_PY_API := //p' Makefile)"

ASAN_LIB="$(g++ -print-file-name=libasan.so)"
UBSAN_LIB="$(g++ -print-file-name=libubsan.so)"
REPORTS="$PWD/$OUT/reports"
rm -rf "$REPORTS"
mkdir -p "$REPORTS"

# Exit codes are left alone (exitcode=0) and the reports are judged below instead: the
# interpreter never frees some of its own objects at exit, and those leaks are no fault
# of ours, while every other report is.
#   SITE=folder run_sanitized python arguments...
run_sanitized() {
  env LD_PRELOAD="$ASAN_LIB $UBSAN_LIB" \
    PYTHONPATH="$PWD/$SITE${PYTHONPATH:+:$PYTHONPATH}" \
    PYTHONMALLOC=malloc \
    KOVRA_SANITIZE_RUN=1 \
    ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=0:exitcode=0:log_path=$REPORTS/asan" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$REPORTS/ubsan" \
    "$PY" "$@"
}

# The build in SITE is the one imported.
check_site() {
  local where
  where="$(run_sanitized -c 'import kovra_api; print(kovra_api.__file__)')"
  case "$where" in
    "$PWD/$SITE"/*) ;;
    *) echo "sanitize.sh: imported $where instead of the instrumented build" >&2; exit 1 ;;
  esac
}

SITE="$OUT/site-full" check_site
SITE="$OUT/site-abi3" check_site

# The stable-ABI build differs only in how it reads Python objects and types; these
# files reach every one of those reads (ids, numbers, texts, dicts, lists, tuples,
# bytes, types' slots and names), and the rest of the suite runs on that build in
# the wheel's test. Its run goes beside the whole suite's, on the other core, and
# its output follows that of the whole suite.
echo "== pytest under the sanitizers, the stable-ABI build's files beside it"
SITE="$OUT/site-abi3" run_sanitized -m pytest -q -p no:cacheprovider "$@" \
  tests/test_binding.py tests/test_conversion.py tests/test_columns.py tests/test_queries.py \
  tests/test_mutation.py tests/test_roundtrip.py tests/test_shards.py tests/test_module.py \
  tests/test_borrow.py tests/test_leaks.py >"$OUT/pytest-abi3.log" 2>&1 &
abi3_run=$!
status=0
SITE="$OUT/site-full" run_sanitized -m pytest -q -p no:cacheprovider "$@" || status=$?
echo "== the stable-ABI build under the sanitizers"
wait "$abi3_run" || status=$?
cat "$OUT/pytest-abi3.log"

# Every process of the run (pytest and the children some tests start) writes its own
# report file, so a report from a child whose test passed is not lost. A leak counts
# when its allocation stack passes through this module's code: then the module either
# allocated the block or was running when the interpreter did.
"$PY" - "$REPORTS" <<'PYEOF' || status=1
import pathlib, re, sys

blocks, ours, other = 0, [], []
for report in sorted(pathlib.Path(sys.argv[1]).glob("*")):
    text = report.read_text(errors="replace")
    for block in re.split(r"\n\s*\n", text):
        if re.match(r"\s*(Direct|Indirect) leak of", block):
            blocks += 1
            if "kovra" in block:
                ours.append((report.name, block.strip()))
        elif ("runtime error:" in block or "fatal error" in block
              or ("ERROR:" in block and "LeakSanitizer: detected memory leaks" not in block)):
            other.append((report.name, block.strip()))
for name, block in other + ours:
    print(f"--- {name}\n{block}\n", file=sys.stderr)
print(f"sanitizer reports: {len(other)} errors, {len(ours)} leaks through kovra code, "
      f"{blocks - len(ours)} leaks of the interpreter's own ignored")
sys.exit(1 if other or ours else 0)
PYEOF
exit "$status"
