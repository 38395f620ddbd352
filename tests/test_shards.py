"""One stream split across shards: shard_of's fixed partition, merge_documents' checks,
and the merged document against the diff of the whole stream."""

import importlib
import os
import pathlib
import struct
import sys
from concurrent.futures import ProcessPoolExecutor

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from kovra_api import PyGraphDiff, merge_documents, shard_of
from support import A, B, C, D, X, count, document, node_id, snapshot, text, weight

UNDER_SANITIZER = os.environ.get("KOVRA_SANITIZE_RUN") == "1"
ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "sharded.py"
needs_example = pytest.mark.skipif(not EXAMPLE.is_file(), reason="examples/ is not beside the tests")


def load_example():
    # Imported by name from its folder, so that forked workers find its functions.
    if str(EXAMPLE.parent) not in sys.path:
        sys.path.append(str(EXAMPLE.parent))
    return importlib.import_module("sharded")


def reference_shard_of(node: bytes, shards: int) -> int:
    """The partition as docs/format.md gives it to other languages."""
    mask = 2**64 - 1

    def mix(x):
        x = ((x ^ (x >> 30)) * 0xBF58476D1CE4E5B9) & mask
        x = ((x ^ (x >> 27)) * 0x94D049BB133111EB) & mask
        return x ^ (x >> 31)

    low, high = struct.unpack("<QQ", node)
    return (mix(low ^ mix(high)) * shards) >> 64


# The partition is part of the document format: these values never change.
PINNED = [
    (bytes(16), 1, 0),
    (bytes(16), 2**64 - 1, 0),
    (bytes(range(16)), 2**64 - 1, 12745416310830043149),
    (A, 8, 1),
    (B, 8, 7),
    (X, 3, 2),
    (bytes([0xFF] * 16), 1000, 838),
]


@pytest.mark.parametrize("node, shards, expected", PINNED, ids=lambda v: repr(v)[:12])
def test_shard_of_is_the_documented_function(node, shards, expected):
    assert shard_of(node, shards) == reference_shard_of(node, shards) == expected


@settings(max_examples=300, deadline=None)
@given(st.binary(min_size=16, max_size=16), st.integers(1, 2**64 - 1))
def test_shard_of_matches_the_reference_everywhere(node, shards):
    assert shard_of(node, shards) == reference_shard_of(node, shards)


def test_shard_of_takes_keywords_and_index():
    class Four:
        def __index__(self):
            return 4

    assert shard_of(id=A, shards=Four()) == shard_of(A, 4) == reference_shard_of(A, 4)
    assert shard_of(A, True) == 0


GOOD = document(nodes=[(A, '{"label":"a"}')], deleted_nodes=[B])
ERRORS = [
    (shard_of, (A,), {}, TypeError, "shard_of() missing 1 required positional argument: 'shards'"),
    (shard_of, (A, 2, 3), {}, TypeError, "shard_of() takes 2 positional arguments but 3 were given"),
    (shard_of, (A,), {"shard": 2}, TypeError, "shard_of() got an unexpected keyword argument 'shard'"),
    (shard_of, (text(A), 2), {}, TypeError, "argument 'id': failed to extract field PyUuid.0"),
    (shard_of, (A[:15], 2), {}, TypeError, "argument 'id': failed to extract field PyUuid.0"),
    (shard_of, (A, 0), {}, ValueError, "argument 'shards': must be at least 1, not 0"),
    (shard_of, (A, -(2**70)), {}, ValueError,
     "argument 'shards': must be at least 1, not -1180591620717411303424"),
    (shard_of, (A, 2.0), {}, TypeError,
     "argument 'shards': 'float' object cannot be interpreted as an integer"),
    (shard_of, (A, 2**64), {}, OverflowError,
     "argument 'shards': must be at most 2**64 - 1, not 18446744073709551616"),
    (merge_documents, (), {}, TypeError,
     "merge_documents() missing 1 required positional argument: 'documents'"),
    (merge_documents, (5,), {}, TypeError, "argument 'documents': 'int' object is not iterable"),
    (merge_documents, (GOOD,), {}, TypeError,
     "argument 'documents': expected an iterable of documents, not one 'bytes' object"),
    (merge_documents, ([GOOD, bytearray(GOOD)],), {}, TypeError,
     "argument 'documents': element 1: 'bytearray' object cannot be converted to 'PyBytes'"),
    (merge_documents, ([GOOD, GOOD[:-1]],), {}, Exception, "Failed to deserialize graph diff."),
    (merge_documents, ([b"", GOOD],), {}, Exception, "Failed to deserialize graph diff."),
    # A record that only a later entry of the same id replaces does not count, in
    # any input; one that stays does.
    (merge_documents, ([GOOD, document(nodes=[(A, '{"label":"a"}'), (C, "{")])],), {}, Exception,
     "Failed to deserialize graph diff."),
    # Entries of groups are checked as the reader checks them, though nothing of them is kept.
    (merge_documents, ([GOOD, count(0) * 2 + count(1) + node_id(A) + count(1) + count(15)
                        + bytes(15) + weight(1.0) + count(0)],), {}, Exception,
     "Failed to deserialize graph diff."),
    (merge_documents, ([count(0) * 3 + count(1) + node_id(A) + count(2) + node_id(B)],), {},
     Exception, "Failed to deserialize graph diff."),
    # Every input is checked before a conflict is reported.
    (merge_documents, ([GOOD, document(), b"\x01"],), {}, Exception,
     "Failed to deserialize graph diff."),
    (merge_documents, ([GOOD, document(nodes=[(A, '{"label":"b"}')], deleted_nodes=[B])],), {},
     ValueError, f"Node {text(A)} differs between documents 0 and 1."),
    (merge_documents, ([GOOD, GOOD, document(deleted_nodes=[B])],), {},
     ValueError, f"Node {text(A)} differs between documents 0 and 2."),
    # The first id by its place in the later input, whatever the tables' order.
    (merge_documents,
     ([GOOD, document(nodes=[(C, "{}"), (D, "{}"), (A, '{"label":"a"}')], deleted_nodes=[B])],), {},
     ValueError, f"Node {text(C)} differs between documents 0 and 1."),
    (merge_documents, ([GOOD, document(nodes=[(A, '{"label":"a"}')], deleted_nodes=[C])],), {},
     ValueError, f"Deleted node {text(C)} differs between documents 0 and 1."),
    (merge_documents, ([GOOD, document(nodes=[(A, '{"label":"a"}')])],), {},
     ValueError, f"Deleted node {text(B)} differs between documents 0 and 1."),
    (merge_documents,
     ([document(edges=[(A, [(B, 1.0)])]), document(), document(edges=[(A, [(C, 1.0)])])],), {},
     ValueError, f"Edges from {text(A)} are in documents 0 and 2."),
    (merge_documents, ([document(edges=[(A, [])]), document(deleted_edges=[(A, [B])])],), {},
     ValueError, f"Edges from {text(A)} are in documents 0 and 1."),
]


@pytest.mark.parametrize(
    "function, args, kwargs, kind, message",
    ERRORS,
    ids=[
        "shard_of-missing", "shard_of-too-many", "shard_of-unknown-keyword", "shard_of-text-id",
        "shard_of-15-bytes", "shards-0", "shards-negative-huge", "shards-float", "shards-2**64",
        "merge-missing", "merge-not-iterable", "merge-one-document", "merge-bytearray", "merge-short-input",
        "merge-empty-input", "merge-broken-record", "merge-edge-to-15-bytes",
        "merge-deleted-edges-beyond-input", "merge-malformed-wins-over-conflict",
        "merge-node-record-differs", "merge-node-missing", "merge-first-id-by-place",
        "merge-extra-deleted-node", "merge-missing-deleted-node", "merge-edges-in-two",
        "merge-edges-and-deleted-edges-in-two",
    ],
)
def test_refusals(function, args, kwargs, kind, message):
    with pytest.raises(BaseException) as caught:
        function(*args, **kwargs)
    assert type(caught.value) is kind
    assert str(caught.value) == message


MERGES = [
    ([], document()),
    ([GOOD + b"trailing bytes"], GOOD),
    # One update spelled two ways is one content.
    ([GOOD, document(nodes=[(A, '[ "a", null, null, null, null, null, null ]')], deleted_nodes=[B])],
     GOOD),
    # Repeats within one input keep their meaning: the later group replaces the earlier.
    ([document(edges=[(A, [(B, 1.0)]), (A, [(C, 2.0)])]), document(edges=[(B, [(A, 3.0)])])],
     document(edges=[(A, [(C, 2.0)]), (B, [(A, 3.0)])])),
    ([document(deleted_nodes=[C, B, C], edges=[(A, [])]),
      document(deleted_nodes=[B, C], deleted_edges=[(B, [C, C])])],
     document(deleted_nodes=[B, C], edges=[(A, [])], deleted_edges=[(B, [C])])),
]


@pytest.mark.parametrize(
    "documents, expected", MERGES,
    ids=["none", "trailing-bytes-dropped", "same-update-spelled-twice", "repeated-group",
         "repeats-and-empty-groups"],
)
def test_merges(documents, expected):
    merged = merge_documents(iter(documents))
    assert snapshot(PyGraphDiff.from_bytes(merged)) == snapshot(PyGraphDiff.from_bytes(expected))


# A small pool with two hubs, so that groups, deletions of hubs and re-adds recur.
POOL = [bytes([i]) * 16 for i in range(1, 9)] + [bytes.fromhex("9b2e6a0c3f1d4e7a8c5b2f1e0d9c8b7a")]
HUBS = POOL[:2]
ids = st.sampled_from(HUBS) | st.sampled_from(POOL)
updates = st.fixed_dictionaries({}, optional={"label": st.text(max_size=4), "size": st.floats(
    width=32, allow_nan=False), "red": st.integers(0, 255), "show_label": st.booleans()})
weights = st.floats(width=32, allow_nan=False)
operations = st.one_of(
    st.tuples(st.just("add_node"), ids, updates),
    st.tuples(st.just("delete_node"), ids),
    st.tuples(st.just("add_edge"), ids, ids, weights),
    st.tuples(st.just("add_edge"), ids, ids, weights),
    st.tuples(st.just("delete_edge"), ids, ids),
    st.just(("clear",)),
    st.lists(st.tuples(ids, ids, weights), max_size=6).map(
        lambda rows: ("add_edges", *map(list, zip(*rows))) if rows else ("add_edges", [], [], [])),
    st.lists(st.tuples(ids, ids), min_size=1, max_size=6).map(
        lambda rows: ("delete_edges", *map(list, zip(*rows)))),
    st.tuples(st.just("delete_nodes"), st.lists(ids, max_size=4)),
    st.lists(st.tuples(ids, updates), min_size=1, max_size=4).map(
        lambda rows: ("add_nodes", *map(list, zip(*rows)))),
)


@needs_example
@settings(max_examples=100 if UNDER_SANITIZER else 400, deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(operations, max_size=40), st.integers(1, 8))
def test_merged_shards_are_the_whole_stream(stream, shards):
    example = load_example()
    whole = PyGraphDiff()
    example.apply(whole, stream)
    documents = [example.build_document(part) for part in example.partition(stream, shards)]
    merged = PyGraphDiff.from_bytes(merge_documents(documents))
    # Against the whole stream's document: an infinite size is written as null.
    assert snapshot(merged) == snapshot(PyGraphDiff.from_bytes(whole.to_bytes()))
    # Out of shard order, the groups are checked one by one instead.
    assert snapshot(PyGraphDiff.from_bytes(merge_documents(documents[::-1]))) == snapshot(merged)


@needs_example
def test_worker_processes_give_the_single_process_document(tmp_path):
    example = load_example()
    stream = example.random_stream(20_000, nodes=500, node_share=0.1, seed=7)
    whole = PyGraphDiff()
    example.apply(whole, stream)
    with ProcessPoolExecutor(2) as pool:
        merged = example.merged_document(pool, example.write_partitions(stream, 2, tmp_path))
    assert snapshot(PyGraphDiff.from_bytes(merged)) == snapshot(
        PyGraphDiff.from_bytes(whole.to_bytes()))
