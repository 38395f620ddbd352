"""S1-S3: one stream split across processes (see benchmarks/README.md).

S1  merge_documents of the two shards' documents of the W5 stream, against a fresh
    copy of the merged document's size (the floor's to_bytes, as in W5).
S2  examples/sharded.py's pipeline on a W1-sized stream with 10% node operations:
    two worker processes against one, each worker reading its partition from a file.
S3  shard_of over 1M random version-4 UUIDs into 8 shards: the largest distance of a
    shard's count from n/8, in percent of n/8.
"""

import gc
import importlib
import os
import random
import sys
import tempfile
import time
import uuid
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "sharded.py"


def example():
    # Imported by name from its folder, so that forked workers find its functions.
    if str(EXAMPLE.parent) not in sys.path:
        sys.path.append(str(EXAMPLE.parent))
    return importlib.import_module("sharded")


def measurable(module_name):
    """The example's pipeline runs on kovra_api itself, which must have the functions."""
    try:
        module = importlib.import_module(module_name)
    except ImportError:
        return False
    return module_name == "kovra_api" and hasattr(module, "merge_documents")


def _once(clock, f, *args):
    start = clock()
    result = f(*args)
    elapsed = clock() - start
    del result
    return elapsed


def _timed_job(path):
    """The example's worker job, with the CPU time it took in its process."""
    start = time.process_time_ns()
    document = example().build_document_from(path)
    return document, time.process_time_ns() - start


def s1(bench, data, cls, kovra):
    """Needs the W5 data: its edges, then its nodes, as W5 builds its diff."""
    ex = example()
    bench.progress(f"S1 merge_documents of two shards: {len(data.w5_nodes)} nodes, "
                   f"{len(data.w5_edges)} edges")
    stream = [("add_edge", *edge) for edge in data.w5_edges]
    stream += [("add_node", *node) for node in data.w5_nodes]
    parts = ex.partition(stream, 2)
    halves = [ex.build_document(part) for part in parts]
    # The same second shard with its nodes added in the opposite order: a node section
    # with the same content in other bytes, which the merge compares entry by entry.
    nodes = [op for op in parts[1] if op[0] == "add_node"]
    edges = [op for op in parts[1] if op[0] != "add_node"]
    reordered = [halves[0], ex.build_document(edges + nodes[::-1])]
    del stream, parts, nodes, edges
    merged = kovra.merge_documents(halves)
    whole = cls.from_bytes(merged)
    bench.check((whole.num_nodes(), whole.num_edges())
                == (len(data.w5_nodes), len({edge[0] for edge in data.w5_edges})),
                "S1: the merged document's counts differ from the W5 diff's")
    bench.check(len(kovra.merge_documents(reordered)) == len(merged),
                "S1: the reordered shards merge to another length")
    del whole
    bench.extra["S1 merged bytes"] = len(merged)
    copy = bench.floor.FloorDiff()
    copy.set_document_size(len(merged))
    del merged
    # The merge runs on the calling thread, so --clock cpu applies.
    clock = time.thread_time_ns if bench.args.clock == "cpu" else time.perf_counter_ns
    for _ in range(max(3, bench.args.reps)):
        gc.collect()
        bench.samples.add("S1", "merge_documents", "floor", _once(clock, copy.to_bytes))
        bench.samples.add("S1", "merge_documents", "module",
                          _once(clock, kovra.merge_documents, halves))
        bench.samples.add("S1", "merge reordered", "module",
                          _once(clock, kovra.merge_documents, reordered))


def s2(bench, sizes, seed, kovra):
    ex = example()
    operations = sizes.edges
    bench.progress(f"S2 sharded pipeline: {operations} operations among {sizes.ids} ids, "
                   "1 and 2 worker processes")
    stream = ex.random_stream(operations, sizes.ids, node_share=0.1, seed=seed)
    with tempfile.TemporaryDirectory(prefix="kovra_shards_") as folder:
        sources = {workers: ex.write_partitions(stream, workers, folder) for workers in (1, 2)}
        del stream
        gc.collect()
        pools = {workers: ProcessPoolExecutor(workers) for workers in (1, 2)}
        try:
            for workers, pool in pools.items():
                list(pool.map(abs, range(workers)))  # the workers start before timing
            lengths = {}
            # Best of at least five: the row needs two free CPUs, which a shared
            # machine gives only now and then.
            for rep in range(max(5, bench.args.reps)):
                for workers in (1, 2) if rep % 2 == 0 else (2, 1):
                    name = "module" if workers == 2 else "ref"
                    start = time.perf_counter_ns()
                    done = list(pools[workers].map(_timed_job, sources[workers]))
                    merge_start = time.thread_time_ns()
                    merged = kovra.merge_documents(document for document, _ in done)
                    merge_cpu = time.thread_time_ns() - merge_start
                    bench.samples.add("S2", "two workers", name, time.perf_counter_ns() - start)
                    # What the wall time would be with a free CPU per worker: the
                    # slowest worker's CPU time, then the merge's.
                    bench.samples.add("S2", "critical path", name,
                                      max(cpu for _, cpu in done) + merge_cpu)
                    lengths[workers] = len(merged)
                    del merged, done
        finally:
            for pool in pools.values():
                pool.shutdown()
    # The same content in another order of groups: the same length.
    bench.check(lengths[1] == lengths[2], "S2: two shards merge to another length than one")


def s3(bench, kovra, seed):
    n, shards = 1_000_000, 8
    bench.progress(f"S3 shard_of balance: {n} random UUIDs into {shards} shards")
    rng = random.Random(seed)
    counts = [0] * shards
    shard_of = kovra.shard_of
    for _ in range(n):
        counts[shard_of(uuid.UUID(int=rng.getrandbits(128), version=4).bytes, shards)] += 1
    worst = max(abs(c - n / shards) for c in counts) / (n / shards) * 100
    bench.extra["S3 shard counts"] = counts
    bench.samples.add("S3", "shard_of balance", "module", worst)


def rows(bench, row):
    s = bench.samples
    if ("S1", "merge_documents") in s.data:
        mod, ref = s.best("S1", "merge_documents", "module"), s.best("S1", "merge_documents", "floor")
        other = s.best("S1", "merge reordered", "module")
        row("S1", "merge_documents", "merge_documents of 2 W5 shards vs fresh copy",
            mod / ref if ref else None, "floor", {"module": mod, "floor": ref},
            {"module": s.spread("S1", "merge_documents", "module"),
             "floor": s.spread("S1", "merge_documents", "floor")},
            note=f"with the nodes of one shard in another order: {other / ref:.2f}x the copy")
    if ("S2", "two workers") in s.data:
        mod, ref = s.best("S2", "two workers", "module"), s.best("S2", "two workers", "ref")
        cpu = s.best("S2", "critical path", "module") / s.best("S2", "critical path", "ref")
        row("S2", "two workers", "sharded pipeline, 2 workers vs 1", mod / ref if ref else None,
            "1 worker", {"module": mod, "ref": ref},
            {"module": s.spread("S2", "two workers", "module"),
             "ref": s.spread("S2", "two workers", "ref")},
            note=f"{os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.1f}; CPU time on "
                 f"the critical path (slowest worker, then the merge): {cpu:.2f}x")
    if ("S3", "shard_of balance") in s.data:
        worst = s.best("S3", "shard_of balance", "module")
        row("S3", "shard_of balance", "shard_of: worst shard off n/8 (%)", worst, "-",
            {"module": worst}, {},
            note="counts " + ", ".join(f"{c:,}" for c in bench.extra["S3 shard counts"]))
