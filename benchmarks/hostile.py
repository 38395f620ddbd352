"""W7 and W8 of benchmarks/run.py: ids chosen against the tables, and churn.

W7 times from_bytes of a document of n deleted node ids, and delete_node,
add_edge and add_node loops over the same ids into a fresh diff, for sets of
crafted ids against random ids of the same count (ratio = crafted / random, the
worst set per row; every set in the notes):

- weak-low / weak-high: ids whose first (last) 8 bytes are the constants that
  the module's first hash xored into its halves, which collapsed it to 0;
- order-prefix: the first n ids, in deleted_nodes() order, of a diff of 5n ids;
- collide: ids brute-forced (numpy, vectorised) to share the home bucket of every
  table up to 2^8 buckets under the first key of the former public key schedule;
- full-collide: four sets of 130 ids first, each set with one full 64-bit hash
  under one of the first four keys of that schedule (computed through the inverse
  of the mixer, no search), then random ids. Under the public schedule they sent
  a table through its re-keys into the tree until clear().
This script carries its own copy of the module's former hash and its public key
schedule, as an attacker would; the keys are secret now (and the hash another),
so every set should cost what random ids cost.

Two more rows use the full-collide ids: from_bytes of the W5 document with them
as its first node records (against the same with random ids first), and each
single delete_node and add_node call of them into a diff that already holds 1M
entries (the slowest call against the median call of random ids in a twin diff
of the same history).

W8 runs the churn loop `add_edge(a, new id); delete_node(a); add_node(a, {})` in a
fresh process and reports its resident memory growth; and, in another, a churn of
label updates over the nodes of a decoded document, whose texts share chunks.
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
SETS = ("weak-low", "weak-high", "order-prefix", "collide", "full-collide")
OPS = ("from_bytes", "delete_node", "add_edge", "add_node")
FULL_PER_KEY, FULL_KEYS = 130, 4
TWIN_WINDOW = 8
UPDATE = {"red": 1}
CHURN_CYCLES = 4_000_000


# ------------------------------------------------------------------ the former hash, copied

M64 = (1 << 64) - 1


def _fmix64(x):
    x ^= x >> 33
    x = (x * 0xFF51AFD7ED558CCD) & M64
    x ^= x >> 33
    x = (x * 0xC4CEB9FE1A85EC53) & M64
    x ^= x >> 33
    return x


def _fmix64_inverse(x):
    x ^= x >> 33
    x = (x * pow(0xC4CEB9FE1A85EC53, -1, 1 << 64)) & M64
    x ^= x >> 33
    x = (x * pow(0xFF51AFD7ED558CCD, -1, 1 << 64)) & M64
    x ^= x >> 33
    return x


def _schedule_key(n):
    base = (0x6A09E667F3BCC909 + 2 * n * 0x9E3779B97F4A7C15) & M64
    return _fmix64(base) | 1, _fmix64((base + 0x9E3779B97F4A7C15) & M64)


def _first_key():
    return _schedule_key(0)


def fully_colliding_ids(seed):
    """FULL_PER_KEY ids per key of the former schedule's first FULL_KEYS keys, each
    group sharing one full hash under its key: low = fmix64^-1(target) ^ k1 ^ fmix64(high ^ k0)."""
    rng = random.Random(seed)
    ids = []
    for n in range(FULL_KEYS):
        k0, k1 = _schedule_key(n)
        inverse = _fmix64_inverse(rng.getrandbits(64))
        for _ in range(FULL_PER_KEY):
            high = rng.getrandbits(64)
            low = inverse ^ k1 ^ _fmix64(high ^ k0)
            ids.append(struct.pack("<QQ", low, high))
    return ids


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
    if name == "full-collide":
        crafted = fully_colliding_ids(seed)
        return crafted + make_set("random", count - len(crafted), cls, seed + 1)
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
            diff = cls()
            f = diff.add_edge
            start = bench_clock()
            for i in range(len(ids)):
                f(ids[i], ids[i - 1], 1.0)
            timings.setdefault((name, "add_edge"), []).append(bench_clock() - start)
            diff = cls()
            f = diff.add_node
            start = bench_clock()
            for i in ids:
                f(i, UPDATE)
            timings.setdefault((name, "add_node"), []).append(bench_clock() - start)
            del diff
    return {key: min(values) for key, values in timings.items()}


def bench_clock():
    return time.thread_time_ns() if _cpu_clock else time.perf_counter_ns()


_cpu_clock = False


def with_nodes_first(document, ids):
    """`document` with a node record `{}` for each of `ids` before its own nodes."""
    (count,) = struct.unpack_from("<Q", document)
    first = b"".join(struct.pack("<Q", 16) + i + struct.pack("<Q", 2) + b"{}" for i in ids)
    return struct.pack("<Q", count + len(ids)) + first + document[8:]


def w7_document(bench, cls, document, reps):
    """from_bytes of the W5 document with crafted ids first, against random ids first."""
    bench.progress("W7 the W5 document with crafted ids first")
    crafted = fully_colliding_ids(bench.args.seed)
    documents = {"random": with_nodes_first(document, make_set("random", len(crafted), cls, 1)),
                 "full-collide": with_nodes_first(document, crafted)}
    best = {}
    for _ in range(reps):
        for name, data in documents.items():
            gc.collect()
            start = bench_clock()
            cls.from_bytes(data)
            took = bench_clock() - start
            best[name] = min(best.get(name, took), took)
    bench.extra["W7-document W5"] = {"random_ns": best["random"],
                                     "crafted_ns": best["full-collide"]}


def w7_large_diff(bench, cls, reps=5):
    """Each single call of the crafted ids into a diff of 1M entries. The twin diff of
    the same history gets random ids: its tables grow, and its arrays reach new pages,
    at the same calls, so a call slow in both is not the ids' doing. The best of
    `reps` runs counts, so that an interruption of the process does not."""
    entries = 100_000 if bench.args.quick else 1_000_000
    bench.progress(f"W7 crafted ids into a diff of {entries:,} entries")
    rng = random.Random(bench.args.seed)
    base = rng.randbytes(16 * entries)
    crafted = fully_colliding_ids(bench.args.seed)
    sets = {"random": make_set("random", len(crafted), cls, 2), "full-collide": crafted}
    result = {}
    for op in ("delete_node", "add_node"):
        for _ in range(reps):
            calls = {}
            for name, ids in sets.items():
                diff = cls()
                f = diff.delete_node if op == "delete_node" else diff.add_node
                args = (UPDATE,) if op == "add_node" else ()
                for i in range(0, len(base), 16):
                    f(base[i:i + 16], *args)
                gc.collect()
                times = calls[name] = []
                for i in ids:
                    start = time.perf_counter_ns()
                    f(i, *args)
                    times.append(time.perf_counter_ns() - start)
                del diff
            median = sorted(calls["random"])[len(crafted) // 2]
            # The page boundaries move by a few calls between diffs with the
            # allocations' alignment, so the twin is looked at nearby.
            slow_in_twin = [i for i, t in enumerate(calls["random"]) if t > 4 * median]
            left_out = [i for i, t in enumerate(calls["full-collide"]) if t > 10 * median
                        and any(abs(i - j) <= TWIN_WINDOW for j in slow_in_twin)]
            worst = max(t for i, t in enumerate(calls["full-collide"]) if i not in left_out)
            if op not in result or worst / median < result[op]["worst_ns"] / result[op]["median_ns"]:
                result[op] = {"median_ns": median, "worst_ns": worst, "growth_calls": left_out,
                              "entries": entries}
    bench.extra["W7-large diff"] = result


def w7(bench, cls, w5_document=None):
    global _cpu_clock
    _cpu_clock = bench.args.clock == "cpu"
    counts = (4_000, 40_000) if bench.args.quick else (40_000, 400_000)
    if w5_document is not None:
        w7_document(bench, cls, w5_document, max(3, min(bench.args.reps, 5)))
    w7_large_diff(bench, cls)
    for count in counts:
        best = time_sets(bench, cls, count)
        for op in OPS:
            random_ns = best[("random", op)]
            ratios = {name: best[(name, op)] / random_ns for name in SETS}
            worst = max(ratios, key=ratios.get)
            bench.extra[f"W7 {op} {count}"] = {
                "count": count, "random_ns": random_ns, "worst": worst,
                "crafted_ns": best[(worst, op)], "ratios": ratios}


def w8(bench):
    cycles = CHURN_CYCLES // 10 if bench.args.quick else CHURN_CYCLES
    for kind in ("edges", "labels"):
        bench.progress(f"W8 {kind} churn x{cycles:,} (fresh process)")
        done = subprocess.run([sys.executable, os.path.abspath(__file__), bench.args.module,
                               str(cycles), kind], capture_output=True, text=True)
        if done.returncode != 0:
            bench.check(False, f"W8 child failed: {done.stderr.strip()[-500:]}")
            return
        bench.extra[f"W8 churn {kind}"] = json.loads(done.stdout.strip().splitlines()[-1])


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
    document = bench.extra.get("W7-document W5")
    if document:
        row("W7", "crafted ids first in W5", "from_bytes W5, crafted ids first",
            document["crafted_ns"] / document["random_ns"], "random ids first",
            {"module": document["crafted_ns"], "ref": document["random_ns"]}, {},
            note="the document of W5 with 520 node records first")
    for op, result in bench.extra.get("W7-large diff", {}).items():
        growth = result["growth_calls"]
        row("W7", "slowest call", f"{op} crafted into {result['entries']:,}: slowest call",
            result["worst_ns"] / result["median_ns"], "median random call",
            {"module": result["worst_ns"], "ref": result["median_ns"]}, {},
            note=(f"calls {growth} slow in the random twin too (growth, new pages), left out"
                  if growth else "no call slow in the random twin"))
    for kind, label in (("edges", "churn"), ("labels", "label churn")):
        churn = bench.extra.get(f"W8 churn {kind}")
        if churn:
            growth = (churn["rss_after"] - churn["rss_before"]) / 2**20
            row("W8", "churn growth", f"{label} RSS growth ({churn['cycles']:,} cycles)", growth,
                "-", {"module": growth}, {},
                note=f"document after the loop: {churn['document_bytes']} bytes")


LABEL_NODES = 100_000


def _churn_child(module_name, cycles, kind):
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

    if kind == "labels":
        # Each node's label replaced again and again, on a diff read from a document.
        ids = [i.to_bytes(16, "little") for i in range(LABEL_NODES)]
        d = cls()
        for i in ids:
            d.add_node(i, {"label": f"the first label of {i.hex()}"})
        d = cls.from_bytes(d.to_bytes())
        add_node = d.add_node
        before = resident()
        for cycle in range(cycles):
            add_node(ids[cycle % LABEL_NODES], {"label": f"label number {cycle:>12} of the churn"})
        after = resident()
    else:
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
    _churn_child(sys.argv[1], int(sys.argv[2]), sys.argv[3])
