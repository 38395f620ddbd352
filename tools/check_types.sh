#!/usr/bin/env bash
# Type checks against the installed module and its stub package, as a user's checker
# sees them: `mypy --strict` accepts a typed user script and reports a misspelled
# update key, and stubtest finds the stubs in step with the module.
#   PYTHON=path/to/venv/python tools/check_types.sh
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
py="${PYTHON:-$root/.venv/bin/python}"
py="$(cd "$(dirname "${py}")" && pwd)/$(basename "${py}")"  # absolute: the checks run elsewhere
scripts="$root/tests/typing"
# Run from an empty folder so that nothing in the source tree can stand in for what
# the installation provides.
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
mypy=("$py" -m mypy --strict --no-error-summary --cache-dir="$work/cache")

echo "== mypy --strict: a typed user script"
"${mypy[@]}" "$scripts/user_script.py"

echo "== mypy --strict: a misspelled update key must be reported"
status=0
out="$("${mypy[@]}" "$scripts/misspelled_key.py" 2>&1)" || status=$?
echo "$out"
if [ "$status" -ne 1 ] || ! grep -q '"labl".*\[typeddict-unknown-key\]' <<<"$out"; then
  echo "check_types.sh: mypy did not report the misspelled key" >&2
  exit 1
fi

echo "== stubtest"
# NodeUpdate is a name for type checkers only, which the module does not have.
"$py" -m mypy.stubtest --allowlist "$root/tools/stubtest_allowlist.txt" kovra_api
echo "type checks passed"
