#!/bin/sh
# Instruction counts for one workload of kovra_api under callgrind.
#
#   benchmarks/profile.sh [WORKLOAD] [run.py size options...]
#
# WORKLOAD: W1 (add_edge, default), W2 (add_node new + merge), W3 (delete_node on a
# W1 diff), W4 (new_or_updated_edges of a W1 diff), W4n (new_or_updated_nodes of a
# W2 diff), W4d (deleted_edges after W3), W5 (to_bytes), W5r (from_bytes), B1/B2 (add_edges
# of the W1 edges from lists / NumPy buffers), B3 (edges_columns of the W1 diff; module only).
# Default sizes are W1 at 100k edges among 10k ids, and
# 1/10 of run.py's defaults elsewhere; pass e.g. --edges 50000 to change them.
#
# Counters are zeroed at a gc.get_count() call right before the workload, so argument generation and
# set-up are not counted, and the process leaves by os._exit, so tear-down is not
# either. The count covers the Python loop as well as the calls: the loop is the
# same for the floor, so compare per-call counts with the floor's if in doubt.
# Environment: PYTHON (default .venv/bin/python), OUT (callgrind output file),
# TOP (lines to print, default 30). Add `--module floor` to count the call floor
# instead (all but W5 and W5r), the reference for the per-call figure.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
python=${PYTHON:-$root/.venv/bin/python}
workload=${1:-W1}
[ $# -gt 0 ] && shift
out=${OUT:-$(mktemp /tmp/kovra_callgrind.XXXXXX)}
top=${TOP:-30}

case "$workload" in
  W1|B1|B2|B3) sizes="--ids 10000 --edges 100000" ;;
  W2) sizes="--nodes 20000" ;;
  W3) sizes="--ids 10000 --edges 100000 --deletes 1000" ;;
  W4|W4n|W4d) sizes="--ids 10000 --edges 100000 --nodes 20000 --deletes 1000" ;;
  W5|W5r) sizes="--ids 10000 --w5-edges 100000 --w5-nodes 20000 --edges 100000" ;;
  *) echo "unknown workload $workload" >&2; exit 2 ;;
esac

# shellcheck disable=SC2086
printed=$(valgrind --tool=callgrind --callgrind-out-file="$out" --zero-before=gc_get_count \
  --dump-instr=no --collect-jumps=no \
  "$python" "$here/run.py" --profile-run "$workload" $sizes "$@" 2>"$out.log") || {
  tail -20 "$out.log" >&2
  exit 1
}
calls=$(echo "$printed" | awk '/^calls /{print $2}')

total=$(grep -m1 '^summary:\|^totals:' "$out" | awk '{print $2}')
echo "workload $workload: $total instructions in the measured region, $calls call(s)," \
  "$(awk -v t="$total" -v c="$calls" 'BEGIN{printf "%.0f", t / c}') per call ($out)"

# Frames that were already on the stack when the counters were zeroed show the
# whole total; drop them, and shorten paths to file and object base names.
show() {
  callgrind_annotate --inclusive="$1" --threshold=100 "$out" 2>/dev/null |
    sed -n '/^-* *$/d; /^ *[0-9,]* *([0-9. ]*%) /p' |
    grep -v '(100.0%)' | grep -v 'PROGRAM TOTALS' |
    sed -E 's# [^ :]*/([^/ :]+):# \1:#; s# \[[^]]*/([^/]+)\]$# [\1]#' |
    head -n "$top"
}
echo
echo "== top functions by own instructions (exclusive) =="
show no
echo
echo "== top functions including callees (inclusive) =="
show yes
