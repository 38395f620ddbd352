"""The sharded pipeline of examples/sharded.py on a Dask cluster.

The same split as there: node operations to every shard, edge operations (and each
row of the bulk edge calls) to the shard of their `from` id. A task on the cluster
builds each shard's diff and sends back its document, plain `bytes`; the documents
are merged here. The shards need nothing from one another, so the same code spans
machines unchanged: give --scheduler the address of a running cluster, or leave it
out for a local cluster of worker processes.

Run with:  python examples/sharded_dask.py [--scheduler HOST:8786] [--workers 2] [--ops 300000]
"""

import argparse
import contextlib
import time

import sharded
from dask.distributed import Client, LocalCluster
from sharded import build_document, partition, random_stream, same_content

from kovra_api import PyGraphDiff, merge_documents


def merged_document(client, operations, shards):
    """The stream's document: one task per shard on the cluster, merged here."""
    futures = [client.submit(build_document, part, pure=False)
               for part in partition(operations, shards)]
    # gather keeps the shards' order, in which the merge checks ids the fast way.
    return merge_documents(client.gather(futures))


def connect(stack, scheduler=None, workers=2):
    """A client of the cluster at `scheduler`, else of a new local one."""
    if scheduler is None:
        cluster = stack.enter_context(LocalCluster(
            n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None))
        return stack.enter_context(Client(cluster))
    client = stack.enter_context(Client(scheduler))
    # Remote workers import the tasks' functions by name, so they get the module.
    client.upload_file(sharded.__file__)
    return client


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scheduler", help="address of a running cluster (default: a local one)")
    parser.add_argument("--workers", type=int, default=2, help="local worker processes")
    parser.add_argument("--shards", type=int, default=16)
    parser.add_argument("--ops", type=int, default=300_000)
    args = parser.parse_args()

    stream = random_stream(args.ops, nodes=max(1, args.ops // 10))
    with contextlib.ExitStack() as stack:
        client = connect(stack, args.scheduler, args.workers)
        started = time.perf_counter()
        merged = PyGraphDiff.from_bytes(merged_document(client, stream, args.shards))
        seconds = time.perf_counter() - started

    whole = PyGraphDiff()
    sharded.apply(whole, stream)
    same = same_content(merged, whole)
    print(f"{args.ops} operations in {args.shards} shards: {merged.num_nodes()} nodes, "
          f"{merged.num_edges()} edge groups, {seconds:.3f} s on the cluster")
    print("  merged diff equals the single-process one:", same)
    if not same:
        raise SystemExit(1)


if __name__ == "__main__":
    main()
