"""W7 and W8 of benchmarks/run.py: ids chosen against the tables, and churn.

W7 times from_bytes of a document of n deleted node ids, and a delete_node loop
over the same ids into a fresh diff, for sets of crafted ids against random ids
of the same count (ratio = crafted / random, the worst set per row; every set in
the notes):

- weak-low / weak-high: ids whose first (last) 8 bytes are the constants that
  the module's first hash xored into its halves, which collapsed it to 0;
- order-prefix: the first n ids, in deleted_nodes() order, of a diff of 5n ids;
- collide: ids brute-forced (numpy, vectorised) to share the home bucket of every
  table up to 2^8 buckets under the first key of the current hash. This script
  carries its own copy of that hash, as an attacker would.

W8 runs the churn loop `add_edge(a, new id); delete_node(a); add_node(a, {})` in a
fresh process and reports its resident memory growth.
"""

import gc
import json
import os
import random
import struct
import subprocess
import sys
import time

WEAK_LOW = struct.pack("<Q", 0x9E3779B97F4A7C15)
WEAK_HIGH = struct.pack("<Q", 0xD6E8FEB86659FD93)
SETS = ("weak-low", "weak-high", "order-prefix", "collide")
CHURN_CYCLES = 4_000_000


# ------------------------------------------------------------------ the hash, copied

M64 = (1 << 64) - 1


def _fmix64(x):
    x ^= x >> 33
    x = (x * 0xFF51AFD7ED558CCD) & M64
    x ^= x >> 33
    x = (x * 0xC4CEB9FE1A85EC53) & M64
    x ^= x >> 33
    return x


def _first_key():
    base = 0x6A09E667F3BCC909
    return _fmix64(base) | 1, _fmix64((base + 0x9E3779B97F4A7C15) & M64)


def _np_fmix64(np, x):
    x = x ^ (x >> np.uint64(33))
    x = x * np.uint64(0xFF51AFD7ED558CCD)
    x = x ^ (x >> np.uint64(33))
    x = x * np.uint64(0xC4CEB9FE1A85EC53)
    return x ^ (x >> np.uint64(33))


def colliding_ids(count, bits, seed):
    """Ids whose hash under the first key has `bits` zero bits where the home
    bucket is taken from."""
    import numpy as np

    k0, k1 = (np.uint64(k) for k in _first_key())
    shift = np.uint64(64 - bits)
    rng = np.random.default_rng(seed)
    found = []
    total = 0
    with np.errstate(over="ignore"):
        while total < count:
            words = rng.integers(0, 2**64 - 1, size=(1 << 22, 2), dtype=np.uint64,
                                 endpoint=True)
            low, high = words[:, 0], words[:, 1]
            h = _np_fmix64(np, low ^ k1 ^ _np_fmix64(np, high ^ k0))
            hit = words[(h >> shift) == 0]
            found.append(hit)
            total += len(hit)
    raw = np.concatenate(found)[:count].astype("<u8").tobytes()
    return [raw[i:i + 16] for i in range(0, 16 * count, 16)]


# ------------------------------------------------------------------ id sets


def make_set(name, count, cls, seed):
    rng = random.Random(seed)
    if name == "random":
        raw = rng.randbytes(16 * count)
        return [raw[i:i + 16] for i in range(0, 16 * count, 16)]
    if name == "weak-low":
        return [WEAK_LOW + rng.randbytes(8) for _ in range(count)]
    if name == "weak-high":
        return [rng.randbytes(8) + WEAK_HIGH for _ in range(count)]
    if name == "order-prefix":
        large = cls()
        raw = rng.randbytes(16 * 5 * count)
        f = large.delete_node
        for i in range(0, len(raw), 16):
            f(raw[i:i + 16])
        return [bytes.fromhex(text.replace("-", "")) for text in large.deleted_nodes()[:count]]
    if name == "collide":
        return colliding_ids(count, 8, seed)
    raise ValueError(name)


def deleted_nodes_document(ids):
    """A document whose only content is `ids` as deleted nodes."""
    entry = struct.pack("<Q", 16)
    return b"".join([struct.pack("<QQ", 0, len(ids)), *(entry + i for i in ids),
                     struct.pack("<QQ", 0, 0)])


def time_sets(bench, cls, count):
    """Best time per (set, operation) at one count. The sets take turns within each
    repetition, so that a busy moment of the machine does not favour one of them."""
    reps = max(3, min(bench.args.reps, 5))
    inputs = {}
    for name in ("random", *SETS):
        bench.progress(f"W7 {name} x{count:,}")
        ids = make_set(name, count, cls, bench.args.seed + count)
        inputs[name] = (ids, deleted_nodes_document(ids))
    timings = {}
    given_up = set()
    for _ in range(reps):
        for name, (ids, document) in inputs.items():
            if name in given_up:
                continue
            gc.collect()
            start = bench_clock()
            cls.from_bytes(document)
            took = bench_clock() - start
            timings.setdefault((name, "from_bytes"), []).append(took)
            diff = cls()
            f = diff.delete_node
            start = bench_clock()
            for i in ids:
                f(i)
            took = bench_clock() - start
            timings.setdefault((name, "delete_node"), []).append(took)
            if took > bench.args.slow * 1e9:
                given_up.add(name)  # the former hash on crafted ids: one repetition says enough
    return {key: min(values) for key, values in timings.items()}


def bench_clock():
    return time.thread_time_ns() if _cpu_clock else time.perf_counter_ns()


_cpu_clock = False


def w7(bench, cls):
    global _cpu_clock
    _cpu_clock = bench.args.clock == "cpu"
    counts = (4_000, 40_000) if bench.args.quick else (40_000, 400_000)
    for count in counts:
        best = time_sets(bench, cls, count)
        for op in ("from_bytes", "delete_node"):
            random_ns = best[("random", op)]
            ratios = {name: best[(name, op)] / random_ns for name in SETS}
            worst = max(ratios, key=ratios.get)
            bench.extra[f"W7 {op} {count}"] = {
                "count": count, "random_ns": random_ns, "worst": worst,
                "crafted_ns": best[(worst, op)], "ratios": ratios}


def w8(bench):
    cycles = CHURN_CYCLES // 10 if bench.args.quick else CHURN_CYCLES
    bench.progress(f"W8 churn loop x{cycles:,} (fresh process)")
    done = subprocess.run([sys.executable, os.path.abspath(__file__), bench.args.module,
                           str(cycles)], capture_output=True, text=True)
    if done.returncode != 0:
        bench.check(False, f"W8 child failed: {done.stderr.strip()[-500:]}")
        return
    bench.extra["W8 churn"] = json.loads(done.stdout.strip().splitlines()[-1])


def rows(bench, row):
    """Adds the W7 and W8 rows through run.py's row()."""
    for key, result in bench.extra.items():
        if key.startswith("W7 "):
            _, op, count = key.split()
            notes = ", ".join(f"{n} {r:.2f}x" for n, r in result["ratios"].items())
            row("W7", "crafted ids", f"{op} crafted ({int(count):,})",
                result["crafted_ns"] / result["random_ns"], "random ids",
                {"module": result["crafted_ns"] / int(count),
                 "ref": result["random_ns"] / int(count)}, {},
                note=f"per id, worst set {result['worst']}; {notes}")
    churn = bench.extra.get("W8 churn")
    if churn:
        growth = (churn["rss_after"] - churn["rss_before"]) / 2**20
        row("W8", "churn growth", f"churn RSS growth ({churn['cycles']:,} cycles)", growth,
            "-", {"module": growth}, {},
            note=f"document after the loop: {churn['document_bytes']} bytes")


def _churn_child(module_name, cycles):
    import ctypes
    import importlib

    cls = importlib.import_module(module_name).PyGraphDiff
    trim = ctypes.CDLL("libc.so.6").malloc_trim
    page = os.sysconf("SC_PAGE_SIZE")

    def resident():
        gc.collect()
        trim(0)
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * page

    d = cls()
    a = bytes(range(16))
    add_edge, delete_node, add_node = d.add_edge, d.delete_node, d.add_node
    ids = (i.to_bytes(16, "little") for i in range(cycles))
    before = resident()
    for b in ids:
        add_edge(a, b, 1.0)
        delete_node(a)
        add_node(a, {})
    after = resident()
    print(json.dumps({"cycles": cycles, "rss_before": before, "rss_after": after,
                      "document_bytes": len(d.to_bytes())}))


if __name__ == "__main__":
    _churn_child(sys.argv[1], int(sys.argv[2]))
