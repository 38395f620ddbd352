#!/usr/bin/env python3
"""kovra_api benchmarks: the module against its call floor, plain Python and memcpy.

    python benchmarks/run.py [--quick] [--json [out.json]]

Builds the call-floor extension (benchmarks/floor/kovra_floor.c) into a temporary
directory, runs workloads W1..W6 and prints a table of ratios with their targets and
a legend; with --json, also the result as one JSON line (on stdout, or into a file).
Every comparison is made within this one run: the machine is small and shared, so
absolute numbers mean little. See benchmarks/README.md.
"""

import argparse
import array
import ctypes
import gc
import importlib
import importlib.util
import json
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import threading
import time
from dataclasses import asdict, dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import hostile  # noqa: E402
import shards  # noqa: E402
import stream  # noqa: E402

import baseline_py  # noqa: E402

FIELDS = baseline_py.FIELDS
IMPLS = ("module", "floor", "python")
perf_ns = time.perf_counter_ns


@dataclass
class Sizes:
    ids: int = 100_000  # W1: endpoints drawn from this many ids
    edges: int = 1_000_000  # W1: add_edge calls
    nodes: int = 200_000  # W2: add_node calls, then again on half of them
    deletes: int = 10_000  # W3: delete_node calls on the W1 diff
    w5_nodes: int = 200_000  # W5: nodes with all seven fields ...
    w5_edges: int = 1_000_000  # ... plus this many W1-style edges

    def scaled(self, divisor):
        return Sizes(**{k: max(1, v // divisor) for k, v in asdict(self).items()})


# (workload, operation) -> (target, stretch, "le" for at most, "ge" for at least)
TARGETS = {
    ("W1", "add_edge"): (2.0, 1.6, "le"),
    ("W1", "add_edge vs dicts"): (0.45, 0.35, "le"),
    ("W1", "add_edge small"): (2.5, 2.0, "le"),
    ("W2", "add_node new"): (1.6, 1.3, "le"),
    ("W2", "add_node merge"): (1.6, 1.3, "le"),
    ("W3", "delete_node"): (10.0, 5.0, "le"),
    ("W3", "delete_node scaling"): (2.0, 1.5, "le"),
    ("W4", "new_or_updated_edges"): (1.25, 1.1, "le"),
    ("W4", "new_or_updated_nodes"): (1.25, 1.1, "le"),
    ("W4", "deleted_nodes"): (1.25, 1.1, "le"),
    ("W4", "deleted_edges"): (1.25, 1.1, "le"),
    ("W5", "to_bytes"): (2.0, 1.5, "le"),
    ("W5", "to_bytes vs pickle"): (10.0, 10.0, "ge"),
    ("W5", "from_bytes"): (4.0, 3.0, "le"),
    ("W5", "from_bytes vs pickle"): (8.0, 10.0, "ge"),
    ("W5", "two threads"): (0.65, 0.55, "le"),  # two decodes at once over one after the other
    # js/ in node on the W5 document, against the module in the same run.
    ("W5", "js decodeColumns"): (2.0, 2.0, "le"),  # / from_bytes
    ("W5", "js decode"): (1.0, 1.0, "le"),  # / from_bytes and the four views
    ("W5", "js encode"): (4.0, 4.0, "le"),  # / to_bytes
    ("W6", "bytes/edge"): (40.0, 32.0, "le"),
    ("W6", "bytes/node"): (128.0, 96.0, "le"),
    ("W7", "crafted ids"): (1.3, 1.3, "le"),  # crafted over random ids, same count
    ("W7", "crafted ids first in W5"): (1.1, 1.1, "le"),
    ("W7", "slowest call"): (10.0, 10.0, "le"),  # over the median call
    ("W8", "churn growth"): (16.0, 16.0, "le"),  # MB
    # Whole columns, per row: the batches against the call floor's add_edge (one
    # bare call binding the same three arguments), the export against the
    # module's own per-call view.
    ("B1", "add_edges lists"): (1.5, 1.2, "le"),
    ("B2", "add_edges buffers"): (1.1, 0.9, "le"),
    ("B3", "edges_columns"): (0.15, 0.15, "le"),
    # One stream split across processes (shards.py).
    ("S1", "merge_documents"): (1.5, 1.5, "le"),  # vs a fresh copy of the merged size
    ("S2", "two workers"): (0.65, 0.65, "le"),  # the example's pipeline, 2 workers / 1
    ("S3", "shard_of balance"): (1.0, 1.0, "le"),  # worst shard's distance from n/8, %
    # A producer's edge calls (stream.py): delete_edge against the floor's; a read
    # after every write, and a mixed stream, against the build given by --ref.
    ("W1d", "delete_edge"): (3.0, 3.0, "le"),
    ("W9r", "add_edge + num_edges"): (1.25, 1.0, "le"),
    ("W9", "mixed stream"): (0.6, 0.5, "le"),
    # Instructions per call of the core alone (benchmarks/native), under --callgrind.
    ("native", "add_edge"): (280, 220, "le"),
    ("native", "add_edges per row"): (280, 220, "le"),
}


# ---------------------------------------------------------------- floor build


def build_floor(workdir):
    """Compiles kovra_floor.c with the flags of a Release build and imports it."""
    source = HERE / "floor" / "kovra_floor.c"
    suffix = sysconfig.get_config_var("EXT_SUFFIX") or ".so"
    target = Path(workdir) / f"kovra_floor{suffix}"
    compiler = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        raise SystemExit("no C compiler found (set CC)")
    include = sysconfig.get_paths()["include"]
    command = [compiler, "-O3", "-DNDEBUG", "-fPIC", "-shared", "-Wall", "-Wextra",
               f"-I{include}", str(source), "-o", str(target)]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"building the floor failed:\n{' '.join(command)}\n{done.stderr}")
    spec = importlib.util.spec_from_file_location("kovra_floor", target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def load_module(name):
    try:
        return importlib.import_module(name).PyGraphDiff
    except ImportError as exc:
        print(f"note: {name} not importable ({exc}); its column stays empty", file=sys.stderr)
        return None


# ---------------------------------------------------------------- data


def make_ids(rng, count):
    raw = rng.randbytes(16 * count)
    return [raw[i:i + 16] for i in range(0, 16 * count, 16)]


def make_weights(rng, count):
    return [x / 4294967296.0 for x in array.array("I", rng.randbytes(4 * count))]


def make_edges(rng, ids, count):
    """(from, to, weight) tuples; endpoints uniform over `ids`, distinct float objects."""
    n = len(ids)
    ends = array.array("I", rng.randbytes(8 * count))
    weights = make_weights(rng, count)
    return [(ids[ends[2 * i] % n], ids[ends[2 * i + 1] % n], weights[i]) for i in range(count)]


def make_updates(rng, count, tag, full):
    """Node update dicts: label of 11 characters, size, three colours; `full` adds url
    and show_label. Sizes are quarters, so their binary32 text is Python's repr."""
    colours = rng.randbytes(3 * count)
    sizes = array.array("H", rng.randbytes(2 * count))
    updates = []
    for i in range(count):
        update = {"label": f"{tag}-{i:06d}", "size": (sizes[i] % 400 + 1) / 4,
                  "red": colours[3 * i], "green": colours[3 * i + 1], "blue": colours[3 * i + 2]}
        if full:
            update["url"] = f"https://example.org/n/{i:06d}"
            update["show_label"] = bool(i & 1)
        updates.append(update)
    return updates


class Data:
    def __init__(self, sizes, seed, need):
        rng = random.Random(seed)
        self.ids = make_ids(rng, sizes.ids)
        self.w1 = make_edges(rng, self.ids, sizes.edges) if need & {"W1", "W3", "W4", "W5"} else []
        if need & {"W2", "W4", "W5"}:
            self.node_ids = make_ids(rng, max(sizes.nodes, sizes.w5_nodes))
        if need & {"W2", "W4"}:
            ids = self.node_ids[:sizes.nodes]
            self.w2_new = list(zip(ids, make_updates(rng, sizes.nodes, "node", False)))
            merge = make_updates(rng, (sizes.nodes + 1) // 2, "item", False)
            self.w2_merge = list(zip(ids[::2], merge))
        if need & {"W3", "W4"}:
            self.deletes = rng.sample(self.ids, min(sizes.deletes, len(self.ids)))
            small = max(1, sizes.ids // 10)
            self.small_ids = self.ids[:small]
            self.w3_small = make_edges(rng, self.small_ids, max(1, sizes.edges // 10))
            self.small_deletes = rng.sample(self.small_ids, max(1, min(sizes.deletes // 10, small)))
        if "W5" in need:
            if sizes.w5_edges <= len(self.w1):
                self.w5_edges = self.w1[:sizes.w5_edges]
            else:
                self.w5_edges = make_edges(rng, self.ids, sizes.w5_edges)
            updates = make_updates(rng, sizes.w5_nodes, "node", True)
            self.w5_nodes = list(zip(self.node_ids[:sizes.w5_nodes], updates))
        if "W1" in need:
            # W1 at a tenth of its size, drawn last so that the other data stay as they were.
            self.w1_small = make_edges(rng, self.ids[:max(1, sizes.ids // 10)],
                                       max(1, sizes.edges // 10))


def bulk_columns(edges):
    """The W1 edges as add_edges arguments: lists of the same objects, and NumPy
    buffers (ids S16, weights float64) when NumPy is installed."""
    froms, tos, weights = (list(column) for column in zip(*edges))
    columns = {("B1", "add_edges lists"): (froms, tos, weights)}
    try:
        import numpy as np
    except ImportError:
        print("note: numpy not importable; B2 stays empty", file=sys.stderr)
        return columns
    columns[("B2", "add_edges buffers")] = (
        np.frombuffer(b"".join(froms), "S16"), np.frombuffer(b"".join(tos), "S16"),
        np.array(weights, np.float64))
    return columns


def state_after_deletes(edge_args, deletes):
    """The four collections after add_edge of every tuple, then delete_node of each id
    in order, computed without replaying the deletions one by one."""
    edges = {}
    for source, target, weight in edge_args:
        edges.setdefault(source, {})[target] = weight
    order = {node: i for i, node in enumerate(deletes)}
    deleted_edges = {}
    for source, targets in edges.items():
        at = order.get(source)
        for target in targets:
            when = order.get(target)
            # Recorded only if the source's group still stood when the target went.
            if when is not None and (at is None or at > when):
                deleted_edges.setdefault(source, set()).add(target)
    kept = {s: {t: w for t, w in ts.items() if t not in order}
            for s, ts in edges.items() if s not in order}
    return {}, set(deletes), kept, deleted_edges


def record_text(update):
    parts = []
    if "label" in update:
        parts.append('"label":' + json.dumps(update["label"], ensure_ascii=False))
    if "size" in update:
        parts.append(f'"size":{float(update["size"])!r}')
    if "url" in update:
        parts.append('"url":' + json.dumps(update["url"], ensure_ascii=False))
    for colour in ("red", "green", "blue"):
        if colour in update:
            parts.append(f'"{colour}":{update[colour]}')
    if "show_label" in update:
        parts.append('"showLabel":' + ("true" if update["show_label"] else "false"))
    return "{" + ",".join(parts) + "}"


def document_size(state):
    nodes, deleted_nodes, edges, deleted_edges = state
    size = 8 + sum(32 + len(record_text(u).encode()) for u in nodes.values())
    size += 8 + 24 * len(deleted_nodes)
    size += 8 + sum(32 + 28 * len(t) for t in edges.values())
    size += 8 + sum(32 + 24 * len(t) for t in deleted_edges.values())
    return size


def floor_shaped_like(floor_cls, state):
    """A FloorDiff whose views build the same objects as a diff holding `state`."""
    nodes, deleted_nodes, edges, deleted_edges = state
    fd = floor_cls()
    fd.set_nodes(b"".join(nodes), [tuple(u.get(k) for k in FIELDS) for u in nodes.values()])
    fd.set_deleted_nodes(b"".join(deleted_nodes))
    froms = list(edges)
    fd.set_edges(b"".join(froms), [len(edges[f]) for f in froms],
                 b"".join(t for f in froms for t in edges[f]),
                 [w for f in froms for w in edges[f].values()])
    froms = list(deleted_edges)
    fd.set_deleted_edges(b"".join(froms), [len(deleted_edges[f]) for f in froms],
                         b"".join(t for f in froms for t in deleted_edges[f]))
    fd.set_counts(len(nodes) + len(deleted_nodes), len(edges) + len(deleted_edges))
    return fd


# ---------------------------------------------------------------- timing
# One loop shape per arity, shared by every implementation: a bound method in a
# local, a plain for loop over pre-built argument tuples.


def loop1(f, args):
    start = perf_ns()
    for a in args:
        f(a)
    return perf_ns() - start


def loop2(f, args):
    start = perf_ns()
    for a, b in args:
        f(a, b)
    return perf_ns() - start


def loop3(f, args):
    start = perf_ns()
    for a, b, c in args:
        f(a, b, c)
    return perf_ns() - start


def loop0(f, count):
    it = range(count)
    start = perf_ns()
    for _ in it:
        f()
    return perf_ns() - start


def once(f, *args):
    """Time of one call; the result is dropped after the clock stops."""
    start = perf_ns()
    result = f(*args)
    elapsed = perf_ns() - start
    del result
    return elapsed


def twice(f, payload):
    """Wall-clock time of f(payload) twice over: the reference of two_threads, which a
    thread's CPU clock (--clock cpu) cannot time."""
    start = time.perf_counter_ns()
    f(payload)
    f(payload)
    return time.perf_counter_ns() - start


def two_threads(f, payload):
    """Wall-clock time for two threads that each call f(payload) once, started together."""
    ready = threading.Barrier(3)

    def work():
        ready.wait()
        f(payload)

    threads = [threading.Thread(target=work) for _ in range(2)]
    for t in threads:
        t.start()
    # Timed from before the barrier: a thread that keeps the interpreter once it is
    # through would otherwise finish before the clock starts.
    start = time.perf_counter_ns()
    ready.wait()
    for t in threads:
        t.join()
    return time.perf_counter_ns() - start


def rotated(names, rep):
    k = rep % len(names)
    return names[k:] + names[:k]


class Samples:
    """Per-call nanoseconds per (workload, operation, implementation), one per repetition."""

    def __init__(self):
        self.data = {}

    def add(self, workload, op, impl, ns):
        self.data.setdefault((workload, op), {}).setdefault(impl, []).append(ns)

    def best(self, workload, op, impl):
        values = self.data.get((workload, op), {}).get(impl)
        return min(values) if values else None

    def spread(self, workload, op, impl):
        values = self.data.get((workload, op), {}).get(impl)
        if not values:
            return None
        return statistics.median(values) / min(values) - 1.0


# ---------------------------------------------------------------- workloads


class Bench:
    def __init__(self, args, sizes, impls, floor_mod):
        self.args = args
        self.sizes = sizes
        self.impls = impls  # name -> class, only those available
        self.floor = floor_mod
        self.samples = Samples()
        self.extra = {}  # measured values that are not per-call times
        self.checks = []
        self.keep = {}  # diffs kept for later workloads
        self.took = {}  # (workload, implementation) -> longest repetition, seconds

    def names(self, *wanted):
        return [n for n in wanted if n in self.impls]

    def check(self, ok, text):
        if not ok:
            self.checks.append(text)
            print(f"check failed: {text}", file=sys.stderr)

    def progress(self, text):
        if not self.args.quiet:
            print(f"[{time.strftime('%H:%M:%S')}] {text}", file=sys.stderr, flush=True)

    def want(self, workload, name, rep):
        """Past two repetitions, an implementation whose repetition took longer than
        --slow seconds is not repeated: it would dominate the run's length."""
        return rep < 2 or self.took.get((workload, name), 0.0) < self.args.slow

    def ran(self, workload, name, started):
        took = time.monotonic() - started
        self.took[(workload, name)] = max(self.took.get((workload, name), 0.0), took)

    def w1(self, data):
        self.progress(f"W1 add_edge x{len(data.w1)}")
        for rep in range(self.args.reps):
            for name in rotated(self.names(*IMPLS), rep):
                if not self.want("W1", name, rep):
                    continue
                started = time.monotonic()
                self.keep.pop(("W1", name), None)
                gc.collect()
                diff = self.impls[name]()
                ns = loop3(diff.add_edge, data.w1)
                self.samples.add("W1", "add_edge", name, ns / len(data.w1))
                if name != "floor":
                    self.keep[("W1", name)] = diff
                del diff
                self.ran("W1", name, started)
        if ("W1", "module") in self.keep and ("W1", "python") in self.keep:
            self.check(self.keep[("W1", "module")].num_edges() == self.keep[("W1", "python")].num_edges(),
                       "W1: num_edges differs from the plain-Python diff")
        self.progress(f"W1 add_edge at a tenth x{len(data.w1_small)}")
        for rep in range(self.args.reps):
            for name in rotated(self.names(*IMPLS), rep):
                gc.collect()
                diff = self.impls[name]()
                ns = loop3(diff.add_edge, data.w1_small)
                self.samples.add("W1", "add_edge small", name, ns / len(data.w1_small))
                del diff

    def bulk(self, data):
        """B1-B3: add_edges over the W1 edges as lists and as NumPy buffers, and
        edges_columns() against new_or_updated_edges() on the diff that builds."""
        if "module" not in self.impls:
            return
        cls = self.impls["module"]
        columns = bulk_columns(data.w1)
        self.progress(f"B add_edges x{len(data.w1)}, edges_columns")
        n = len(data.w1)
        for rep in range(self.args.reps):
            for op, args in columns.items():
                gc.collect()
                diff = cls()
                start = perf_ns()
                diff.add_edges(*args)
                self.samples.add(*op, "module", (perf_ns() - start) / n)
                if op[0] == "B1" and rep == 0 and ("W1", "module") in self.keep:
                    loop = self.keep[("W1", "module")]
                    self.check((diff.num_edges(), len(diff.edges_columns()[2]))
                               == (loop.num_edges(), len(loop.edges_columns()[2])),
                               "B1: add_edges gives another diff than the W1 loop")
            self.samples.add("B3", "edges_columns", "module", once(diff.edges_columns))
            self.samples.add("B3", "new_or_updated_edges", "module", once(diff.new_or_updated_edges))
            del diff

    def w2(self, data):
        self.progress(f"W2 add_node x{len(data.w2_new)} + merge x{len(data.w2_merge)}")
        for rep in range(self.args.reps):
            for name in rotated(self.names(*IMPLS), rep):
                if not self.want("W2", name, rep):
                    continue
                started = time.monotonic()
                self.keep.pop(("W2", name), None)
                gc.collect()
                diff = self.impls[name]()
                ns = loop2(diff.add_node, data.w2_new)
                self.samples.add("W2", "add_node new", name, ns / len(data.w2_new))
                ns = loop2(diff.add_node, data.w2_merge)
                self.samples.add("W2", "add_node merge", name, ns / len(data.w2_merge))
                if name != "floor":
                    self.keep[("W2", name)] = diff
                del diff
                self.ran("W2", name, started)
        if ("W2", "module") in self.keep and ("W2", "python") in self.keep:
            self.check(self.keep[("W2", "module")].num_nodes() == self.keep[("W2", "python")].num_nodes(),
                       "W2: num_nodes differs from the plain-Python diff")

    def w1_diff(self, name, data):
        """The W1 diff kept from W1 (handed over, not shared), or a new one."""
        diff = self.keep.pop(("W1", name), None)
        if diff is None:
            diff = self.impls[name]()
            loop3(diff.add_edge, data.w1)
        return diff

    def _deletes(self, diff, deletes, budget_ns):
        """Per-call ns of delete_node, stopping at the budget; returns the calls made."""
        gc.collect()
        f = diff.delete_node
        chunk = 50
        total = done = 0
        while done < len(deletes) and total < budget_ns:
            part = deletes[done:done + chunk]
            total += loop1(f, part)
            done += len(part)
        return total / done, done

    def w3(self, data):
        self.progress(f"W3 delete_node x{len(data.deletes)} on the W1 diff")
        budget = int(self.args.w3_budget * 1e9)
        reps = max(2, min(self.args.reps, 3))
        counts = {}
        for rep in range(reps):
            for name in rotated(self.names(*IMPLS), rep):
                if not self.want("W3", name, rep):
                    continue
                started = time.monotonic()
                diff = self.w1_diff(name, data)
                ns, done = self._deletes(diff, data.deletes, budget)
                self.samples.add("W3", "delete_node", name, ns)
                counts[name] = done
                if name == "module" and ("W3", name) not in self.keep:
                    loop1(diff.delete_node, data.deletes[done:])  # W4 shows the whole result
                    self.keep[("W3", name)] = diff
                del diff
                small = self.impls[name]()
                loop3(small.add_edge, data.w3_small)
                ns, done = self._deletes(small, data.small_deletes, budget)
                self.samples.add("W3", "delete_node small", name, ns)
                del small
                self.ran("W3", name, started)
        self.extra["W3 deletes timed"] = counts

    def _views(self, state_name, diffs, state, views):
        fd = floor_shaped_like(self.floor.FloorDiff, state)
        subjects = dict(diffs, floor=fd)
        for view in views:
            expected = len(getattr(fd, view)())
            for name, diff in diffs.items():
                got = len(getattr(diff, view)())
                self.check(got == expected, f"W4 {view} on {state_name}: {name} gives "
                           f"{got} entries, the expected shape {expected}")
            for rep in range(self.args.reps):
                for name in rotated([n for n in IMPLS if n in subjects], rep):
                    gc.collect()
                    self.samples.add("W4", view, name, once(getattr(subjects[name], view)))
        return fd

    def w4_additions(self, data):
        """Views of what W1 and W2 added; their diffs go on to W3."""
        self.progress("W4 views of the W1 and W2 diffs")
        diffs = {}
        for name in self.names("module", "python"):
            diffs[name] = self.keep[("W1", name)] = self.w1_diff(name, data)
        state = diffs["python"]._state() if "python" in diffs else state_after_deletes(data.w1, [])
        fd = self._views("W1 diff", diffs, state, ["new_or_updated_edges"])
        calls = 20_000 if self.args.quick else 100_000
        subjects = dict(diffs, floor=fd)
        for view in ("num_nodes", "num_edges"):
            for rep in range(self.args.reps):
                for name in rotated([n for n in IMPLS if n in subjects], rep):
                    ns = loop0(getattr(subjects[name], view), calls)
                    self.samples.add("W4", view, name, ns / calls)
        del diffs, subjects, fd, state
        diffs = {name: self.keep.pop(("W2", name)) for name in self.names("module", "python")
                 if ("W2", name) in self.keep}
        if "python" in diffs:
            self._views("W2 diff", diffs, diffs["python"]._state(), ["new_or_updated_nodes"])

    def w4_deletions(self, data):
        """deleted_nodes() and deleted_edges() on the W1 diff after W3's deletions.
        Replaying them in plain Python would take minutes, so its diff is given the
        state computed from the edge list; the module's counts are checked against it."""
        self.progress("W4 views of the W3 diff")
        state = state_after_deletes(data.w1, data.deletes)
        diffs = {}
        if "module" in self.impls:
            diff = self.keep.pop(("W3", "module"), None)
            if diff is None:
                diff = self.w1_diff("module", data)
                loop1(diff.delete_node, data.deletes)
            expected = len(state[0]) + len(state[1]), len(state[2]) + len(state[3])
            self.check((diff.num_nodes(), diff.num_edges()) == expected,
                       f"W3 diff: module counts {(diff.num_nodes(), diff.num_edges())}, "
                       f"expected {expected}")
            diffs["module"] = diff
        if "python" in self.impls:
            diffs["python"] = baseline_py.PyGraphDiff._from_state(*state)
        self._views("W3 diff", diffs, state, ["deleted_nodes", "deleted_edges"])

    def w5(self, data):
        self.progress(f"W5 to_bytes/from_bytes: {len(data.w5_nodes)} nodes, {len(data.w5_edges)} edges")
        diffs = {}
        for name in self.names("module", "python"):
            diff = self.impls[name]()
            loop3(diff.add_edge, data.w5_edges)
            loop2(diff.add_node, data.w5_nodes)
            diffs[name] = diff
        gc.collect()
        if "python" in diffs:
            state = diffs["python"]._state()
        else:
            state = baseline_py.PyGraphDiff()
            loop3(state.add_edge, data.w5_edges)
            loop2(state.add_node, data.w5_nodes)
            state = state._state()
        size = document_size(state)
        if "module" in diffs:
            document = diffs["module"].to_bytes()
            self.check(len(document) == size, f"W5: to_bytes gave {len(document)} bytes, "
                       f"the document layout gives {size}")
            size = len(document)
            again = self.impls["module"].from_bytes(document)
            self.check((again.num_nodes(), again.num_edges()) ==
                       (diffs["module"].num_nodes(), diffs["module"].num_edges()),
                       "W5: from_bytes(to_bytes()) changed the counts")
            del again
        fd = self.floor.FloorDiff()
        fd.set_document_size(size)
        pickled = diffs["python"].to_bytes() if "python" in diffs else None
        self.extra["W5 document bytes"] = size
        self.w5_document = document if "module" in diffs else None
        if pickled is not None:
            self.extra["W5 pickle bytes"] = len(pickled)
        writers = {"floor": fd}
        writers.update(diffs)
        readers = {}
        if "module" in diffs:
            readers["module"] = (self.impls["module"].from_bytes, document)
        if pickled is not None:
            readers["python"] = (baseline_py.PyGraphDiff.from_bytes, pickled)
        reps = max(3, self.args.reps)
        for rep in range(reps):
            for name in rotated(list(writers), rep):
                gc.collect()
                self.samples.add("W5", "to_bytes", name, once(writers[name].to_bytes))
            for name in rotated(list(readers), rep):
                gc.collect()
                f, payload = readers[name]
                self.samples.add("W5", "from_bytes", name, once(f, payload))
            if "module" in readers:
                read, data = readers["module"]
                gc.collect()
                self.samples.add("W5", "one after the other", "module", twice(read, data))
                gc.collect()
                self.samples.add("W5", "two threads", "module", two_threads(read, data))
        if "module" in diffs:
            self.w5_javascript(document, reps)

    def w5_javascript(self, document, reps):
        """js/ on the W5 document in node, when node is installed, against from_bytes
        with the four views a JavaScript reader's Maps stand for."""
        node = shutil.which("node")
        if node is None:
            print("note: node not found; the js rows of W5 stay empty", file=sys.stderr)
            return
        self.progress("W5 js/: decodeColumns, decode, encode in node")

        def read_all(data):
            diff = self.impls["module"].from_bytes(data)
            return (diff.new_or_updated_nodes(), diff.deleted_nodes(),
                    diff.new_or_updated_edges(), diff.deleted_edges())

        for _ in range(reps):
            gc.collect()
            self.samples.add("W5", "from_bytes and views", "module", once(read_all, document))
        with tempfile.TemporaryDirectory() as folder:
            path = Path(folder) / "w5.bin"
            path.write_bytes(document)
            script = Path(__file__).resolve().parent / "js_document.js"
            out = subprocess.run([node, "--expose-gc", str(script), str(path), str(reps), self.args.clock],
                                 check=True, capture_output=True, text=True).stdout
        result = json.loads(out)
        self.check(result["same"], "W5: js/ encode(decode()) did not give the document back")
        for op in ("decodeColumns", "decode", "encode", "maps"):
            self.samples.add("W5", f"js {op}", "module", result[op])

    def w6(self):
        self.progress("W6 resident memory (fresh processes)")
        for name in self.names("module", "python"):
            for kind in ("edges", "nodes"):
                command = [sys.executable, str(Path(__file__).resolve()), "--w6-child", name, kind,
                           "--module", self.args.module, "--seed", str(self.args.seed)]
                for key, value in asdict(self.sizes).items():
                    command += [f"--{key.replace('_', '-')}", str(value)]
                done = subprocess.run(command, capture_output=True, text=True)
                if done.returncode != 0:
                    self.check(False, f"W6 {name} {kind} child failed: {done.stderr.strip()[-500:]}")
                    continue
                result = json.loads(done.stdout.strip().splitlines()[-1])
                self.extra[f"W6 {name} {kind}"] = result


def w6_child(impl, kind, sizes, seed, module_name):
    """Runs in a fresh interpreter: resident bytes per edge (W1) or per node (W2)."""
    if impl == "module":
        cls = importlib.import_module(module_name).PyGraphDiff
    else:
        cls = baseline_py.PyGraphDiff
    try:
        trim = ctypes.CDLL("libc.so.6").malloc_trim
    except (OSError, AttributeError):
        trim = None
    page = os.sysconf("SC_PAGE_SIZE")

    def resident():
        gc.collect()
        if trim is not None:
            trim(0)
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * page

    rng = random.Random(seed)
    rnd = rng.random
    if kind == "edges":
        ids = make_ids(rng, sizes.ids)
        n = len(ids)
        ends = array.array("I", rng.randbytes(8 * sizes.edges))
        sources = array.array("I", (ends[i] % n for i in range(0, len(ends), 2)))
        targets = array.array("I", (ends[i] % n for i in range(1, len(ends), 2)))
        del ends
        diff = cls()
        f = diff.add_edge
        before = resident()
        for a, b in zip(sources, targets):
            f(ids[a], ids[b], rnd())
        after = resident()
        count = len(set(zip(sources, targets)))
    else:
        ids = make_ids(rng, sizes.nodes)
        diff = cls()
        f = diff.add_node
        before = resident()
        for i, node in enumerate(ids):
            f(node, {"label": f"node-{i:06d}", "size": rnd() * 10,
                     "red": i & 255, "green": (i >> 8) & 255, "blue": (i * 7) & 255})
        for i in range(0, len(ids), 2):
            f(ids[i], {"label": f"item-{i:06d}", "size": rnd() * 10,
                       "red": (i + 1) & 255, "green": (i >> 4) & 255, "blue": (i * 3) & 255})
        after = resident()
        count = len(ids)
    print(json.dumps({"impl": impl, "kind": kind, "count": count, "rss_before": before,
                      "rss_after": after, "bytes_per_item": (after - before) / count}))


# ---------------------------------------------------------------- report


def fmt_ns(ns):
    if ns is None:
        return "-"
    if ns < 10_000:
        return f"{ns:.0f} ns" if ns >= 100 else f"{ns:.1f} ns"
    if ns < 10_000_000:
        return f"{ns / 1000:.1f} us"
    if ns < 10_000_000_000:
        return f"{ns / 1e6:.1f} ms"
    return f"{ns / 1e9:.2f} s"


def judge(value, target, stretch, sense):
    if value is None:
        return "n/a"
    if sense == "le":
        return "PASS+" if value <= stretch else "PASS" if value <= target else "MISS"
    return "PASS+" if value >= stretch else "PASS" if value >= target else "MISS"


def build_rows(bench):
    s = bench.samples
    rows = []

    def row(workload, op, label, ratio, ref_name, values, spreads, note=""):
        target, stretch, sense = TARGETS[(workload, op)]
        rows.append({
            "workload": workload, "op": op, "label": label, "ratio": ratio, "ref": ref_name,
            "target": target, "stretch": stretch, "sense": sense,
            "verdict": judge(ratio, target, stretch, sense), "values": values,
            "spread": spreads, "note": note,
        })

    def ratio(a, b):
        return a / b if a is not None and b else None

    def per_call(workload, op, label):
        values = {n: s.best(workload, op, n) for n in ("module", "floor", "python")}
        spreads = {n: s.spread(workload, op, n) for n in ("module", "floor", "python")}
        row(workload, op, label, ratio(values["module"], values["floor"]), "floor",
            values, spreads)

    def info(workload, op, label, values=None, spreads=None, ref_name="floor"):
        if values is None:
            values = {n: s.best(workload, op, n) for n in ("module", "floor", "python")}
            spreads = {n: s.spread(workload, op, n) for n in ("module", "floor", "python")}
        reference = values["floor"] if ref_name == "floor" else values["ref"]
        rows.append({"workload": workload, "op": op, "label": label,
                     "ratio": ratio(values["module"], reference), "ref": ref_name,
                     "target": None, "stretch": None, "sense": None, "verdict": "info",
                     "values": values, "spread": spreads, "note": ""})

    def vs_dicts(workload, op, label, judged):
        """The module against the plain-Python dicts it replaces: module time / dicts time."""
        values = {n: s.best(workload, op, n) for n in ("module", "python")}
        spreads = {n: s.spread(workload, op, n) for n in ("module", "python")}
        if judged:
            row(workload, f"{op} vs dicts", label, ratio(values["module"], values["python"]),
                "dicts", values, spreads)
            return
        rows.append({"workload": workload, "op": f"{op} vs dicts", "label": label,
                     "ratio": ratio(values["module"], values["python"]), "ref": "dicts",
                     "target": None, "stretch": None, "sense": None, "verdict": "info",
                     "values": values, "spread": spreads, "note": ""})

    sz = bench.sizes
    if ("W1", "add_edge") in s.data:
        per_call("W1", "add_edge", f"add_edge ({sz.edges:,} edges)")
        vs_dicts("W1", "add_edge", "add_edge vs plain dicts", True)
    if ("W1", "add_edge small") in s.data:
        per_call("W1", "add_edge small",
                 f"add_edge at 1/10 ({max(1, sz.edges // 10):,}, tables in cache)")
    if ("W2", "add_node new") in s.data:
        per_call("W2", "add_node new", f"add_node new ({sz.nodes:,})")
        per_call("W2", "add_node merge", f"add_node merge ({(sz.nodes + 1) // 2:,})")
        vs_dicts("W2", "add_node new", "add_node new vs plain dicts", False)
        vs_dicts("W2", "add_node merge", "add_node merge vs plain dicts", False)
    if ("W3", "delete_node") in s.data:
        values = {n: s.best("W3", "delete_node", n) for n in IMPLS}
        spreads = {n: s.spread("W3", "delete_node", n) for n in IMPLS}
        add_edge = s.best("W1", "add_edge", "module")
        values["ref"] = add_edge
        counts = bench.extra.get("W3 deletes timed", {})
        # The target is relative to the module's own add_edge; against the floor's too,
        # so that a slow add_edge cannot make delete_node look good.
        vs_floor = ratio(values["module"], s.best("W1", "add_edge", "floor"))
        row("W3", "delete_node", f"delete_node ({sz.deletes:,})", ratio(values["module"], add_edge),
            "W1 add_edge", values, spreads,
            note="timed calls: " + ", ".join(f"{k} {v:,}" for k, v in counts.items())
            + ("" if vs_floor is None else f"; {vs_floor:.1f}x the floor's add_edge"))
        small = {n: s.best("W3", "delete_node small", n) for n in IMPLS}
        growth = {n: ratio(values[n], small[n]) for n in IMPLS}
        rows[-1]["growth"] = growth
        row("W3", "delete_node scaling", "delete_node at 10x the groups", growth["module"],
            "same at 1/10", {"module": values["module"], "ref": small["module"]},
            {"module": s.spread("W3", "delete_node small", "module")},
            note="python grows " + (f"{growth['python']:.1f}x" if growth["python"] else "-"))
    for view in ("new_or_updated_edges", "new_or_updated_nodes", "deleted_nodes", "deleted_edges"):
        if ("W4", view) in s.data:
            per_call("W4", view, f"{view}()")
    for view in ("num_nodes", "num_edges"):
        if ("W4", view) in s.data:
            info("W4", view, f"{view}()")
    if ("W5", "to_bytes") in s.data:
        per_call("W5", "to_bytes", "to_bytes vs fresh copy")
        mod = s.best("W5", "to_bytes", "module")
        py = s.best("W5", "to_bytes", "python")
        row("W5", "to_bytes vs pickle", "to_bytes vs pickle.dumps", ratio(py, mod), "pickle",
            {"module": mod, "python": py}, {"python": s.spread("W5", "to_bytes", "python")})
        values = {"module": s.best("W5", "from_bytes", "module"),
                  "floor": s.best("W5", "to_bytes", "floor"),
                  "python": s.best("W5", "from_bytes", "python")}
        spreads = {"module": s.spread("W5", "from_bytes", "module"),
                   "floor": s.spread("W5", "to_bytes", "floor"),
                   "python": s.spread("W5", "from_bytes", "python")}
        row("W5", "from_bytes", "from_bytes vs fresh copy",
            ratio(values["module"], values["floor"]), "floor", values, spreads)
        row("W5", "from_bytes vs pickle", "from_bytes vs pickle.loads",
            ratio(values["python"], values["module"]), "pickle",
            {"module": values["module"], "python": values["python"]},
            {"python": spreads["python"]})
        both = s.best("W5", "two threads", "module")
        serial = s.best("W5", "one after the other", "module")
        if both is not None:
            row("W5", "two threads", "from_bytes in two threads vs one after the other",
                ratio(both, serial), "serial", {"module": both, "ref": serial},
                {"module": s.spread("W5", "two threads", "module"),
                 "ref": s.spread("W5", "one after the other", "module")})
    for op, label, ref_op, ref_label in (
            ("js decodeColumns", "js/ decodeColumns vs from_bytes", "from_bytes", "from_bytes"),
            ("js decode", "js/ decode vs from_bytes + views", "from_bytes and views", "+ views"),
            ("js encode", "js/ encode vs to_bytes", "to_bytes", "to_bytes")):
        mod = s.best("W5", op, "module")
        if mod is None:
            continue
        ref = s.best("W5", ref_op, "module")
        row("W5", op, label, ratio(mod, ref), ref_label, {"module": mod, "ref": ref},
            {"module": None, "ref": s.spread("W5", ref_op, "module")})
    maps = s.best("W5", "js maps", "module")
    if maps is not None:
        # What any reader into the same Maps pays in this engine, with nothing parsed.
        info("W5", "js maps", "js/ decode's Maps alone vs from_bytes + views",
             {"module": maps, "ref": s.best("W5", "from_bytes and views", "module")},
             {"module": None, "ref": s.spread("W5", "from_bytes and views", "module")}, "+ views")
    w1_floor = s.best("W1", "add_edge", "floor")
    for workload, op, label, ref_op, ref_name in (
            ("B1", "add_edges lists", "add_edges from lists", None, "floor add_edge"),
            ("B2", "add_edges buffers", "add_edges from NumPy", None, "floor add_edge"),
            ("B3", "edges_columns", "edges_columns()", "new_or_updated_edges", "W1 view")):
        mod = s.best(workload, op, "module")
        if mod is None:
            continue
        ref = w1_floor if ref_op is None else s.best(workload, ref_op, "module")
        spread_ref = (s.spread("W1", "add_edge", "floor") if ref_op is None
                      else s.spread(workload, ref_op, "module"))
        row(workload, op, label, ratio(mod, ref), ref_name, {"module": mod, "ref": ref},
            {"module": s.spread(workload, op, "module"), "ref": spread_ref})
    for kind, op in (("edges", "bytes/edge"), ("nodes", "bytes/node")):
        mod = bench.extra.get(f"W6 module {kind}")
        py = bench.extra.get(f"W6 python {kind}")
        if mod or py:
            row("W6", op, f"resident {op}", mod["bytes_per_item"] if mod else None, "-",
                {"module": mod["bytes_per_item"] if mod else None,
                 "python": py["bytes_per_item"] if py else None}, {})
    hostile.rows(bench, row)
    shards.rows(bench, row)
    stream.rows(bench, row, info)
    return rows


def print_table(rows, bench):
    header = ("", "operation", "kovra_api", "floor/ref", "plain Py", "ratio", "target",
              "stretch", "verdict", "spread m/r")
    lines = [header]
    for r in rows:
        v = r["values"]
        w6 = r["workload"] in ("W6", "W8", "S3")
        ref = v.get("ref", v.get("floor"))

        unit_text = {"W8": "MB", "S3": "%"}.get(r["workload"], "B")

        def cell(x, w6=w6, unit_text=unit_text):
            if x is None:
                return "-"
            return f"{x:.1f} {unit_text}" if w6 else fmt_ns(x)

        sense = {"le": "<=", "ge": ">=", None: ""}[r["sense"]]
        unit = "" if w6 else "x"
        spread_m = r["spread"].get("module")
        spread_r = r["spread"].get("floor") if r["ref"] == "floor" else r["spread"].get("python") \
            if r["ref"] in ("pickle", "dicts") else r["spread"].get("ref")
        spread = "/".join("-" if x is None else f"{100 * x:.0f}%" for x in (spread_m, spread_r))
        lines.append((
            r["workload"], r["label"], cell(v.get("module")),
            "-" if w6 or r["ref"] in ("pickle", "dicts") else cell(ref),
            cell(v.get("python")),
            "-" if r["ratio"] is None else f"{r['ratio']:.2f}{unit}",
            "" if r["target"] is None else f"{sense}{r['target']:g}{unit}",
            "" if r["stretch"] is None else f"{sense}{r['stretch']:g}{unit}",
            r["verdict"], spread))
    widths = [max(len(str(line[i])) for line in lines) for i in range(len(header))]
    for n, line in enumerate(lines):
        print("  ".join(str(c).ljust(w) if i < 2 else str(c).rjust(w)
                        for i, (c, w) in enumerate(zip(line, widths))).rstrip())
        if n == 0:
            print("  ".join("-" * w for w in widths))
    notes = [f"{r['workload']} {r['op']}: {r['note']}" for r in rows if r.get("note")]
    for key, value in bench.extra.items():
        if key.startswith("W5"):
            notes.append(f"{key}: {value:,}")
    for note in notes:
        print(f"  {note}")
    for text in bench.checks:
        print(f"  CHECK FAILED: {text}")


# ---------------------------------------------------------------- instruction counts


def callgrind_per_call(module_name):
    """Instructions per call of W1 and W2 for the module and the floor, counted by
    callgrind through profile.sh at its small sizes (a minute or two). Instruction
    counts do not depend on the machine's load, unlike the times above."""
    if shutil.which("valgrind") is None:
        print("note: valgrind not found; no instruction counts", file=sys.stderr)
        return {}
    counts = {}
    for workload in ("W1", "W2"):
        for impl in (module_name, "floor"):
            with tempfile.TemporaryDirectory(prefix="kovra_callgrind_") as tmp:
                env = dict(os.environ, TOP="0", PYTHON=sys.executable,
                           OUT=str(Path(tmp) / "callgrind.out"))
                done = subprocess.run(["sh", str(HERE / "profile.sh"), workload, "--module", impl],
                                      env=env, capture_output=True, text=True)
            found = re.search(r"(\d+) per call", done.stdout)
            counts[f"{workload} {'floor' if impl == 'floor' else 'module'}"] = (
                int(found.group(1)) if found else None)
    # One document of W5's own size, read back: per document, not per call.
    with tempfile.TemporaryDirectory(prefix="kovra_callgrind_") as tmp:
        env = dict(os.environ, TOP="0", PYTHON=sys.executable, OUT=str(Path(tmp) / "callgrind.out"))
        sizes = Sizes()
        done = subprocess.run(["sh", str(HERE / "profile.sh"), "W5r", "--module", module_name,
                               "--ids", str(sizes.ids), "--edges", str(sizes.edges),
                               "--w5-nodes", str(sizes.w5_nodes), "--w5-edges", str(sizes.w5_edges)],
                              env=env, capture_output=True, text=True)
        found = re.search(r"(\d+) per call", done.stdout)
        counts["W5r module"] = int(found.group(1)) if found else None
    # The core without the interpreter, tables in cache: add_edge and add_edges.
    for workload in ("W1s", "Bs"):
        done = subprocess.run(["sh", str(HERE / "native" / "run.sh"), workload, "callgrind"],
                              capture_output=True, text=True)
        found = re.search(r"(\d+) instructions per call", done.stdout)
        counts[f"{workload} native"] = int(found.group(1)) if found else None
    return counts


W5R_INSTRUCTIONS_TARGET = 400_000_000


def print_callgrind(counts):
    if counts.get("W5r module") is not None:
        print(f"W5  from_bytes: {counts['W5r module']:,} instructions per document "
              f"(target {W5R_INSTRUCTIONS_TARGET:,})")
    for workload, op in (("W1", "add_edge"), ("W2", "add_node")):
        mod, floor = counts.get(f"{workload} module"), counts.get(f"{workload} floor")
        if mod is None or floor is None:
            continue
        print(f"{workload}  {op}: {mod:,} instructions per call, floor {floor:,} "
              f"({mod / floor:.2f}x), including the Python loop that calls it")
    for workload, op in (("W1s", "add_edge"), ("Bs", "add_edges per row")):
        count = counts.get(f"{workload} native")
        if count is None:
            continue
        target, stretch, _ = TARGETS[("native", op)]
        print(f"native {workload}  {op}: {count:,} instructions (target <= {target}, "
              f"stretch <= {stretch}){'' if count <= target else '  MISSED'}")


# ---------------------------------------------------------------- profiling driver


def profile_run(workload, sizes, seed, module_name):
    """Runs one workload once for callgrind. Everything before gc.get_count() is set-up:
    profile.sh zeroes the counters there (--zero-before=gc_get_count), and the process
    ends with os._exit, results still alive, so tear-down is not counted either."""
    need = {"W1": {"W1"}, "W2": {"W2"}, "W3": {"W3"}, "W4": {"W1"}, "W4n": {"W2"},
            "W4d": {"W3"}, "W5": {"W5"}, "W5r": {"W5"}, "B1": {"W1"}, "B2": {"W1"},
            "B3": {"W1"}}[workload]
    data = Data(sizes, seed, need)
    gc.disable()
    if module_name == "floor":
        if workload in ("W5", "W5r"):
            raise SystemExit("W5: the floor's to_bytes is a plain copy; nothing to profile")
        workdir = tempfile.mkdtemp(prefix="kovra_floor_")
        try:
            cls = build_floor(workdir).FloorDiff
        finally:
            shutil.rmtree(workdir, ignore_errors=True)
        diff = cls()
        if workload in ("W4", "W4n"):
            plain = baseline_py.PyGraphDiff()
            if workload == "W4":
                loop3(plain.add_edge, data.w1)
            else:
                loop2(plain.add_node, data.w2_new)
                loop2(plain.add_node, data.w2_merge)
            diff = floor_shaped_like(cls, plain._state())
            del plain
        elif workload == "W4d":
            diff = floor_shaped_like(cls, state_after_deletes(data.w1, data.deletes))
    else:
        cls = importlib.import_module(module_name).PyGraphDiff
        diff = cls()
        if workload in ("W3", "W4", "W4d"):
            loop3(diff.add_edge, data.w1)
        if workload == "W4d":
            loop1(diff.delete_node, data.deletes)
        if workload == "W4n":
            loop2(diff.add_node, data.w2_new)
            loop2(diff.add_node, data.w2_merge)
        if workload in ("B1", "B2", "B3"):
            columns = bulk_columns(data.w1)
            batch = columns[("B2", "add_edges buffers")] if workload == "B2" else columns[("B1", "add_edges lists")]
            if workload == "B3":
                diff.add_edges(*batch)
        if workload in ("W5", "W5r"):
            loop3(diff.add_edge, data.w5_edges)
            loop2(diff.add_node, data.w5_nodes)
            document = diff.to_bytes()
    calls = {"W1": len(data.w1), "B1": len(data.w1), "B2": len(data.w1), "W3": len(getattr(data, "deletes", ())),
             "W2": len(getattr(data, "w2_new", ())) + len(getattr(data, "w2_merge", ()))}
    print(f"calls {calls.get(workload, 1)}", flush=True)
    gc.collect()
    gc.get_count()  # the zero point of profile.sh: nothing else calls it
    result = None
    if workload == "W1":
        loop3(diff.add_edge, data.w1)
    elif workload == "W2":
        loop2(diff.add_node, data.w2_new)
        loop2(diff.add_node, data.w2_merge)
    elif workload == "W3":
        loop1(diff.delete_node, data.deletes)
    elif workload == "W4":
        result = diff.new_or_updated_edges()
    elif workload == "W4n":
        result = diff.new_or_updated_nodes()
    elif workload == "W4d":
        result = diff.deleted_edges()
    elif workload == "W5":
        result = diff.to_bytes()
    elif workload == "W5r":
        result = cls.from_bytes(document)
    elif workload in ("B1", "B2"):
        diff.add_edges(*batch)
    elif workload == "B3":
        result = diff.edges_columns()
    sys.stdout.flush()
    os._exit(0 if result is not None or workload in ("W1", "W2", "W3", "B1", "B2") else 1)


# ---------------------------------------------------------------- main

LEGEND = """
Legend (benchmarks/README.md has the details):
  W1 add_edge of random edges; W2 add_node, new and merging; W3 delete_node on the W1
  diff; W4 the views and counts; W5 to_bytes and from_bytes; W6 resident memory;
  S1-S3 one stream in shards: merge_documents, the example's pipeline, shard_of's balance.
  kovra_api  this module's best time per call (or per view, per document, bytes per entry)
  floor/ref  the reference the ratio divides by: the call floor (a C module with the same
             calls doing only the Python-side work), or the row's own (W3: one W1
             add_edge of the module; W5: a fresh copy of the document's size)
  plain Py   the same rules in plain Python dicts, pickle for bytes
  ratio      kovra_api / floor/ref (for "vs pickle" rows: pickle / kovra_api; for
             "vs plain dicts" rows: kovra_api / plain Py)
  target, stretch  the goal for the ratio, and the harder one
  verdict    PASS+ meets the stretch, PASS the target, MISS neither; info has no target
  spread     how far the median lies above the best, for the module / the reference"""


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--quick", action="store_true", help="10x smaller sizes (about 30 s)")
    p.add_argument("--json", metavar="PATH", nargs="?", const="-",
                   help="also give the result as one JSON line: on stdout, or into PATH")
    p.add_argument("--reps", type=int, default=None, help="repetitions (default 5, --quick 7)")
    p.add_argument("--clock", choices=["wall", "cpu"], default="wall",
                   help="wall: time.perf_counter_ns (default); cpu: time.thread_time_ns, "
                        "which leaves out time the process spends descheduled on a busy machine")
    p.add_argument("--only", default="W1,W2,W3,W4,W5,W6,W7,W8,B,S",
                   help="comma-separated workloads (W3/W4/B bring in W1, W4 also W2, S the W5 data)")
    p.add_argument("--module", default="kovra_api", help="module to measure (default kovra_api)")
    p.add_argument("--ref", metavar="PATH", default=None,
                   help="W9r/W9: another build's kovra_api*.so (or a directory holding it) to compare with")
    p.add_argument("--seed", type=int, default=20240607)
    p.add_argument("--w3-budget", type=float, default=None,
                   help="seconds of delete_node per implementation and repetition (default 1.0)")
    p.add_argument("--slow", type=float, default=10.0,
                   help="an implementation whose repetition takes longer than this many "
                        "seconds is repeated only twice (default 10)")
    p.add_argument("--quiet", action="store_true", help="no progress lines on stderr")
    p.add_argument("--callgrind", action="store_true",
                   help="also count instructions per call of W1 and W2 under callgrind, "
                        "and of the native core's add_edge and add_edges (benchmarks/native) "
                        "(needs valgrind and a C++ compiler; adds a few minutes)")
    for key, value in asdict(Sizes()).items():
        p.add_argument(f"--{key.replace('_', '-')}", type=int, default=None,
                       help=f"size (default {value:,}, --quick {max(1, value // 10):,})")
    p.add_argument("--w6-child", nargs=2, metavar=("IMPL", "KIND"), help=argparse.SUPPRESS)
    p.add_argument("--profile-run", choices=["W1", "W2", "W3", "W4", "W4n", "W4d", "W5", "W5r", "B1", "B2", "B3"],
                   help="run one workload once on --module (or 'floor'), for profile.sh")
    args = p.parse_args(argv)
    sizes = Sizes().scaled(10) if args.quick else Sizes()
    for key in asdict(sizes):
        value = getattr(args, key)
        if value is not None:
            setattr(sizes, key, value)
    if args.reps is None:
        args.reps = 7 if args.quick else 5
    if args.w3_budget is None:
        args.w3_budget = 0.25 if args.quick else 1.0
    return args, sizes


def main(argv=None):
    args, sizes = parse_args(argv)
    if args.w6_child:
        w6_child(*args.w6_child, sizes, args.seed, args.module)
        return 0
    if args.profile_run:
        profile_run(args.profile_run, sizes, args.seed, args.module)
        return 0
    global perf_ns
    perf_ns = time.thread_time_ns if args.clock == "cpu" else time.perf_counter_ns
    started = time.monotonic()
    only = {w.strip().upper() for w in args.only.split(",") if w.strip()}
    if only & {"W3", "W4", "B"}:
        only.add("W1")
    if "W4" in only:
        only.add("W2")
    workdir = tempfile.mkdtemp(prefix="kovra_floor_")
    try:
        floor_mod = build_floor(workdir)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)  # the loaded library stays mapped
    impls = {"floor": floor_mod.FloorDiff, "python": baseline_py.PyGraphDiff}
    module_cls = load_module(args.module)
    if module_cls is not None:
        impls["module"] = module_cls
    bench = Bench(args, sizes, impls, floor_mod)
    bench.progress(f"generating arguments ({'quick' if args.quick else 'default'} sizes)")
    data = Data(sizes, args.seed, only | ({"W5"} if "S" in only else set())
                | ({"W1"} if only & {"W1D", "W9"} else set()))
    gc.collect()
    gc.disable()
    try:
        for name, step in (("W1", bench.w1), ("B", bench.bulk), ("W2", bench.w2), ("W4", bench.w4_additions),
                           ("W3", bench.w3), ("W4", bench.w4_deletions)):
            if name in only:
                step(data)
        bench.keep.clear()
        if "W1D" in only:
            stream.w1d(bench, data, perf_ns)
        if "W9" in only and args.ref:
            stream.w9(bench, data, stream.load_ref(args.ref), perf_ns)
        if "W5" in only:
            for name in ("w2_new", "w2_merge"):
                data.__dict__.pop(name, None)
            bench.w5(data)
        if "S" in only and shards.measurable(args.module):
            shards.s1(bench, data, module_cls, importlib.import_module(args.module))
        del data
        gc.collect()
    finally:
        gc.enable()
    if "W6" in only:
        bench.w6()
    if "W7" in only and module_cls is not None:
        hostile.w7(bench, module_cls, getattr(bench, "w5_document", None))
    if "W8" in only and module_cls is not None:
        hostile.w8(bench)
    if "S" in only and shards.measurable(args.module):
        kovra = importlib.import_module(args.module)
        shards.s2(bench, sizes, args.seed, kovra)
        shards.s3(bench, kovra, args.seed)
    rows = build_rows(bench)
    print()
    print(f"kovra_api benchmarks ({'--quick' if args.quick else 'default sizes'}, best of "
          f"{args.reps}, {args.clock} clock; module {args.module}"
          f"{'' if module_cls else ' MISSING'}; {time.monotonic() - started:.0f} s; "
          f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} CPUs)")
    print_table(rows, bench)
    if args.callgrind:
        bench.progress("instruction counts under callgrind (W1, W2, the native core)")
        bench.extra["callgrind per call"] = callgrind_per_call(args.module)
        print_callgrind(bench.extra["callgrind per call"])
    print(LEGEND)
    if not args.json:
        return 0
    result = {
        "kovra_bench": 1, "quick": args.quick, "clock": args.clock, "module": args.module,
        "load_average": os.getloadavg()[0],
        "module_available": module_cls is not None, "sizes": asdict(sizes), "reps": args.reps,
        "rows": rows, "extra": bench.extra, "checks": bench.checks,
        "samples": {f"{w}|{op}": v for (w, op), v in bench.samples.data.items()},
        "seconds": round(time.monotonic() - started, 1),
    }
    line = json.dumps(result, separators=(",", ":"))
    if args.json == "-":
        print(line)
    else:
        Path(args.json).write_text(line + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
