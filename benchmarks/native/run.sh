#!/bin/sh
# Builds benchmarks/native/diff_loop.cpp against the core's sources and runs one
# workload, natively or under callgrind with its cache simulation.
#
#   benchmarks/native/run.sh [W1|W1s|W2|W3|W5r|W5n|B|Bs] [callgrind]
#
# Environment: ROOT (source tree, default this one), CXXFLAGS_EXTRA (for example
# the include directory of a dependency of an older tree).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=${ROOT:-$(dirname "$(dirname "$here")")}
workload=${1:-W1}
out=$(mktemp -d /tmp/kovra_native.XXXXXX)
# shellcheck disable=SC2086
g++ -std=c++20 -O3 -g -DNDEBUG -I"$root/src" ${CXXFLAGS_EXTRA:-} -o "$out/diff_loop" \
  "$here/diff_loop.cpp" "$root"/src/diff/*.cpp "$root"/src/codec/*.cpp
if [ "${2:-}" = callgrind ]; then
  valgrind --tool=callgrind --cache-sim=yes --toggle-collect=measured_region_body \
    --callgrind-out-file="$out/callgrind.out" "$out/diff_loop" "$workload" 2>"$out/log" |
    tee "$out/stdout"
  callgrind_annotate "$out/callgrind.out" 2>/dev/null | sed -n '/Ir/,/^-/p;/PROGRAM TOTALS/p' | head -8
  calls=$(awk '{print $2}' "$out/stdout")
  total=$(awk '/^summary:/{print $2}' "$out/callgrind.out")
  echo "$workload: $(awk -v t="$total" -v c="$calls" 'BEGIN{printf "%.0f", t / c}') instructions per call ($out/callgrind.out)"
else
  "$out/diff_loop" "$workload"
fi
