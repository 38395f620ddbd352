#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz and runs each one for the
# given number of seconds (default 60), starting from the saved corpus.
# New inputs go to build-fuzz/corpus, crashes to build-fuzz/artifacts.
set -euo pipefail

seconds="${1:-60}"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-fuzz"
python="${PYTHON:-$root/.venv/bin/python}"

cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKOVRA_FUZZ=ON -DKOVRA_BUILD_MODULE=OFF -DKOVRA_BUILD_TESTS=OFF -DKOVRA_TEST_HOOKS=ON \
  -DPython_EXECUTABLE="$python" >/dev/null
# The targets fuzz/CMakeLists.txt lists, read from there.
targets=$(sed -n 's/^set(KOVRA_FUZZ_TARGETS \(.*\))$/\1/p' "$root/fuzz/CMakeLists.txt")
# shellcheck disable=SC2086
cmake --build "$build" -j2 --target $targets

status=0
for target in $targets; do
  corpus="$build/corpus/$target"
  mkdir -p "$corpus" "$build/artifacts"
  log="$build/$target.log"
  echo "== $target: ${seconds}s"
  # The first directory receives new inputs, so the saved seeds stay untouched.
  if "$build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
      -dict="$root/fuzz/node_record.dict" \
      -artifact_prefix="$build/artifacts/$target-" "$corpus" "$root/fuzz/corpus/$target" \
      >"$log" 2>&1; then
    grep -E '^stat::number_of_executed_units' "$log" | sed "s/^/$target /"
  else
    status=1
    echo "$target FAILED, see $log"
    grep -E '^(==[0-9]+==ERROR|SUMMARY|artifact_prefix|Test unit written)' "$log" || tail -20 "$log"
  fi
done
exit "$status"
