"""One stream of changes built by several processes, then merged into one document.

A diff lives in one process. When one process cannot keep up with a stream, split the
stream: every node operation (add_node, delete_node, clear and their bulk forms) goes
to every shard, in the stream's order, and every edge operation goes only to the
shard of its `from` id, `kovra_api.shard_of(from, shards)`. Each shard builds its own
diff and sends back its document; `kovra_api.merge_documents` joins the documents
into the document of the whole stream, exactly as if one process had seen it all.

The workers here are a `concurrent.futures.ProcessPoolExecutor`. Each worker reads
its own partition of the stream (here: a file the producer wrote, as a message
queue's consumer reads its partition), so the stream never passes through the
parent. examples/sharded_dask.py runs the same on a Dask cluster.

Run with:  python examples/sharded.py [--workers 2] [--ops 300000]
"""

import argparse
import os
import pickle
import random
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor

from kovra_api import PyGraphDiff, merge_documents, shard_of

# An operation is (method name, arguments...): the call diff.<name>(*arguments).
NODE_OPERATIONS = {"add_node", "delete_node", "clear", "add_nodes", "delete_nodes"}
EDGE_OPERATIONS = {"add_edge", "delete_edge"}
EDGE_COLUMNS = {"add_edges", "delete_edges"}  # columns (from, to[, weight]) of lists


def partition(operations, shards):
    """The operations each of `shards` shards receives, in the stream's order."""
    parts = [[] for _ in range(shards)]
    for operation in operations:
        name = operation[0]
        if name in NODE_OPERATIONS:
            for part in parts:
                part.append(operation)
        elif name in EDGE_OPERATIONS:
            parts[shard_of(operation[1], shards)].append(operation)
        elif name in EDGE_COLUMNS:
            # One bulk call per shard, with that shard's rows in their order.
            rows = [[] for _ in range(shards)]
            for row in zip(*operation[1:]):
                rows[shard_of(row[0], shards)].append(row)
            for part, own in zip(parts, rows):
                if own:
                    part.append((name, *map(list, zip(*own))))
        else:
            raise ValueError(f"not an operation of the stream: {name!r}")
    return parts


def apply(diff, operations):
    for name, *arguments in operations:
        getattr(diff, name)(*arguments)


def build_document(operations):
    """A worker's job: the document of its shard."""
    diff = PyGraphDiff()
    apply(diff, operations)
    return diff.to_bytes()


def build_document_from(path):
    """A worker's job when it reads its partition itself."""
    with open(path, "rb") as source:
        return build_document(pickle.load(source))


def merged_document(pool, sources, job=build_document_from):
    """The stream's document: each source's shard built in the pool, merged here."""
    return merge_documents(pool.map(job, sources))


def random_stream(n, nodes, node_share=0.1, seed=1):
    """n operations among `nodes` random ids: edges added and deleted, and
    `node_share` node operations (updates and deletions)."""
    rng = random.Random(seed)
    ids = [rng.randbytes(16) for _ in range(nodes)]
    stream = []
    for _ in range(n):
        roll = rng.random()
        if roll < node_share * 0.7:
            stream.append(("add_node", rng.choice(ids), {"label": "n", "size": rng.random()}))
        elif roll < node_share:
            stream.append(("delete_node", rng.choice(ids)))
        elif roll < 0.97:
            stream.append(("add_edge", rng.choice(ids), rng.choice(ids), rng.random()))
        else:
            stream.append(("delete_edge", rng.choice(ids), rng.choice(ids)))
    return stream


def same_content(a, b):
    """Whether two diffs show the same views; their documents may list entries in
    another order."""
    return (a.new_or_updated_nodes() == b.new_or_updated_nodes()
            and set(a.deleted_nodes()) == set(b.deleted_nodes())
            and a.new_or_updated_edges() == b.new_or_updated_edges()
            and {k: set(v) for k, v in a.deleted_edges().items()}
            == {k: set(v) for k, v in b.deleted_edges().items()}
            and (a.num_nodes(), a.num_edges()) == (b.num_nodes(), b.num_edges()))


def write_partitions(operations, shards, folder):
    """The producer's side: each shard's operations into a file of its own."""
    paths = []
    for i, part in enumerate(partition(operations, shards)):
        path = os.path.join(folder, f"shard-{i}-of-{shards}.pickle")
        with open(path, "wb") as sink:
            pickle.dump(part, sink, protocol=pickle.HIGHEST_PROTOCOL)
        paths.append(path)
    return paths


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--ops", type=int, default=300_000)
    args = parser.parse_args()

    stream = random_stream(args.ops, nodes=max(1, args.ops // 10))
    with tempfile.TemporaryDirectory() as folder:
        whole = write_partitions(stream, 1, folder)
        split = write_partitions(stream, args.workers, folder)
        with ProcessPoolExecutor(args.workers) as pool:
            list(pool.map(abs, range(args.workers)))  # start the workers before timing
            started = time.perf_counter()
            merged = merged_document(pool, split)
            sharded_seconds = time.perf_counter() - started
            started = time.perf_counter()
            alone = merged_document(pool, whole)
            alone_seconds = time.perf_counter() - started

    a, b = PyGraphDiff.from_bytes(merged), PyGraphDiff.from_bytes(alone)
    same = same_content(a, b)
    print(f"{args.ops} operations, {args.workers} shards: {len(merged)} bytes, "
          f"{a.num_nodes()} nodes, {a.num_edges()} edge groups")
    print(f"  {args.workers} workers: {sharded_seconds:.3f} s   one worker: {alone_seconds:.3f} s")
    print("  merged document equals the single-process one:", same)
    if not same:
        raise SystemExit(1)


if __name__ == "__main__":
    main()
