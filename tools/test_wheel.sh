#!/usr/bin/env bash
# Checks the wheel that `make wheel` left in dist/ for one Python version, as a user
# gets it: its manylinux tag, its exported symbols, then an install into a fresh
# virtualenv and the pytest suite (and, with TYPES=1, the type checks) against that
# installation rather than the source tree.
#   tools/test_wheel.sh [3.12|3.13]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
version="${1:-3.12}"
tag="cp${version/./}"
build_py="${PYTHON:-$root/.venv/bin/python}"  # has auditwheel, from `make wheel`
build_py="$(cd "$(dirname "${build_py}")" && pwd)/$(basename "${build_py}")"  # absolute: the checks run elsewhere

wheel="$(ls -t "$root"/dist/kovra_api-*-"$tag"-"$tag"-*manylinux*.whl 2>/dev/null | head -n 1 || true)"
if [ -z "$wheel" ]; then
  echo "test_wheel.sh: no manylinux $tag wheel in dist/; run make wheel PYTHON_VERSION=$version" >&2
  exit 1
fi
echo "== $(basename "$wheel")"

# The lowest tag reached must be manylinux2014 (glibc 2.17 and its C++ runtime):
# one call into a newer libstdc++ (a range-checked access, new T[n] of a run-time
# length, a sized delete) lifts the tag, and auditwheel's report names the symbol.
"$build_py" -m auditwheel show "$wheel" | sed 's/^/  /'
glibc_minor="$(basename "$wheel" | sed -n 's/.*manylinux_2_\([0-9]*\)_.*/\1/p' | sort -n | head -n 1)"
if [ -z "$glibc_minor" ] || [ "$glibc_minor" -gt 17 ]; then
  echo "test_wheel.sh: expected the tag manylinux_2_17 (manylinux2014), got $(basename "$wheel")" >&2
  exit 1
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Only the module's init function may be exported.
"$build_py" -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); z.extractall(sys.argv[2], [n for n in z.namelist() if n.endswith(".so")])' "$wheel" "$work/unpacked"
exports="$(nm -D --defined-only "$work"/unpacked/kovra_api*.so | awk '{print $NF}' | sort -u)"
echo "  exported: $exports"
if [ "$exports" != "PyInit_kovra_api" ]; then
  echo "test_wheel.sh: the module exports more than PyInit_kovra_api" >&2
  exit 1
fi

echo "== fresh $version virtualenv"
"$(sh "$root/tools/find_python.sh" "$version")" -m venv "$work/venv"
py="$work/venv/bin/python"
extras="test"
[ "${TYPES:-0}" = 1 ] && extras="test,typing"
"$py" -m pip --disable-pip-version-check install -q "$wheel[$extras]"

# Run from an empty folder: pytest puts the test folder on sys.path, never the
# source tree, so `import kovra_api` can only find the installed wheel.
echo "== pytest against the installed wheel"
cd "$work"
status=0
# The two longest property runs test the core's logic, which `make test` runs on the
# same code; a wheel is here for its packaging and the binding, so they are left out
# to keep CI within its time.
"$py" -m pytest -p no:cacheprovider --rootdir "$root" "$root/tests" \
  --deselect tests/test_stateful.py::TestGraphDiffMachine::runTest \
  --deselect tests/test_hostile_documents.py::test_every_single_byte_change \
  | tee "$work/pytest.log" || status=$?
grep -q "^kovra_api: $work/venv/lib/" "$work/pytest.log" || {
  echo "test_wheel.sh: pytest did not import the installed wheel" >&2
  exit 1
}
[ "$status" -eq 0 ] || exit "$status"

if [ "${TYPES:-0}" = 1 ]; then
  PYTHON="$py" bash "$root/tools/check_types.sh"
fi
