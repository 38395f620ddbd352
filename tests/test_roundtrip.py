"""to_bytes and from_bytes: exact documents and lossless round trips."""

import math
import pathlib
import struct
import subprocess
import sys
import threading
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kovra_api import PyGraphDiff
from support import A, B, C, count, document, node_id, snapshot, text

# The sample document of docs/format.md: one node update, one deleted node, one edge.
SAMPLE_DOCUMENT = bytes.fromhex(
    "0100000000000000"
    "1000000000000000" "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf"
    "1a00000000000000" + b'{"label":"Hub","size":2.5}'.hex() +
    "0100000000000000"
    "1000000000000000" "c0c1c2c3c4c5c6c7c8c9cacbcccdcecf"
    "0100000000000000"
    "1000000000000000" "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf"
    "0100000000000000"
    "1000000000000000" "b0b1b2b3b4b5b6b7b8b9babbbcbdbebf"
    "0000003f"
    "0000000000000000"
)


def test_sample_document(diff):
    diff.add_node(A, {"label": "Hub", "size": 2.5})
    diff.delete_node(C)
    diff.add_edge(A, B, 0.5)
    data = diff.to_bytes()
    assert type(data) is bytes and len(data) == 174
    assert data == SAMPLE_DOCUMENT
    copy = PyGraphDiff.from_bytes(data)
    assert copy.new_or_updated_nodes() == {text(A): {"label": "Hub", "size": 2.5}}
    assert copy.deleted_nodes() == [text(C)]
    assert copy.new_or_updated_edges() == {text(A): {text(B): 0.5}}
    assert copy.deleted_edges() == {}
    assert copy.to_bytes() == data


ROOT = pathlib.Path(__file__).resolve().parent.parent
QUICKSTART = ROOT / "examples" / "quickstart.py"


@pytest.mark.skipif(not QUICKSTART.is_file(), reason="examples/ is not beside the tests")
def test_plain_reader_and_format_doc_read_the_document_as_the_module_writes_it(diff):
    # The plain-Python reader of the `kovra` command, the annotated dump in docs/format.md
    # and the quickstart's output must not drift from the module's documents.
    from kovra_tools import document as reader

    dump = reader.annotate(SAMPLE_DOCUMENT)
    assert dump in (ROOT / "docs" / "format.md").read_text()
    quickstart = subprocess.run([sys.executable, str(QUICKSTART)],
                                capture_output=True, text=True, timeout=60)
    assert quickstart.returncode == 0, quickstart.stderr
    assert dump in quickstart.stdout

    diff.add_node(A, {"label": 'q"\\\t\x01é/', "size": -1.5e-7, "url": "u", "show_label": True})
    diff.add_node(B, {"size": 1e13, "red": 0, "green": 255, "blue": 7})
    diff.add_edge(A, B, 0.1)
    diff.delete_edge(B, C)
    diff.delete_node(C)
    read = reader.read(diff.to_bytes())
    keys = {"showLabel": "show_label"}
    assert {n: {keys.get(k, k): v for k, v in r.items()} for n, r in read.nodes.items()} == (
        diff.new_or_updated_nodes()
    )
    assert read.deleted_nodes == diff.deleted_nodes()
    assert read.edges == diff.new_or_updated_edges()
    assert read.deleted_edges == diff.deleted_edges()


def test_empty_diff_is_32_zero_bytes(diff):
    assert diff.to_bytes() == bytes(32)
    assert snapshot(PyGraphDiff.from_bytes(bytes(32))) == snapshot(diff)


@pytest.mark.parametrize(
    "update, json_text",
    [
        ({}, "{}"),
        ({"show_label": True, "blue": 7, "green": 0, "red": 255, "url": "/img/a.png",
          "size": 0.1, "label": 'a"b'},
         '{"label":"a\\"b","size":0.1,"url":"/img/a.png","red":255,"green":0,"blue":7,'
         '"showLabel":true}'),
        ({"size": math.nan, "red": 1}, '{"size":null,"red":1}'),
        ({"label": '"\\\t\x01\u00e9/'}, '{"label":"\\"\\\\\\t\\u0001\u00e9/"}'),
    ],
    ids=["empty", "all-fields", "nan-size", "escapes"],
)
def test_node_record_text(diff, update, json_text):
    diff.add_node(A, update)
    assert diff.to_bytes() == document(nodes=[(A, json_text)])


def test_nan_or_infinite_size_comes_back_absent(diff):
    diff.add_node(A, {"size": math.inf, "label": "x"})
    diff.add_node(B, {"size": -math.inf})
    copy = PyGraphDiff.from_bytes(diff.to_bytes())
    assert copy.new_or_updated_nodes() == {text(A): {"label": "x"}, text(B): {}}


@pytest.mark.parametrize(
    "bits",
    [0x7FC00001, 0xFFC12345, 0x7F800001, 0x7F800000, 0xFF800000, 0x80000000, 0x00000001],
    ids=["quiet-nan-payload", "negative-nan", "signalling-nan", "infinity", "minus-infinity",
         "minus-zero", "min-subnormal"],
)
def test_weight_bits_survive_a_round_trip(bits):
    data = (count(0) + count(0) + count(1) + node_id(A) + count(1) + node_id(B)
            + struct.pack("<I", bits) + count(0))
    assert PyGraphDiff.from_bytes(data).to_bytes() == data


def test_to_bytes_is_repeatable(diff):
    for i in range(50):
        diff.add_node(bytes([i]) * 16, {"label": str(i)})
        diff.add_edge(bytes([i]) * 16, A, i / 3)
    assert diff.to_bytes() == diff.to_bytes()


HISTORY = """
from kovra_api import PyGraphDiff
d = PyGraphDiff()
for i in range(3000):
    n = bytes([i % 256, i // 256]) * 8
    d.add_node(n, {"label": str(i), "size": i / 7})
    d.add_edge(n, bytes(16), i)
    d.delete_edge(bytes(16), n)
    if i % 3 == 0:
        d.delete_node(bytes([1, i % 256]) * 8)
print(d.to_bytes().hex())
# A set's own order is the interpreter's (string hashes are seeded per process).
print(list(d.new_or_updated_nodes()), d.deleted_nodes(), list(d.new_or_updated_edges().items()),
      [(k, sorted(v)) for k, v in d.deleted_edges().items()])
"""


# Every process hashes with keys of its own; views and documents follow the
# history alone.
def test_same_history_gives_same_bytes_in_every_process():
    outputs = {
        subprocess.run([sys.executable, "-c", HISTORY], capture_output=True, text=True,
                       check=True, timeout=60).stdout
        for _ in range(2)
    }
    assert len(outputs) == 1


def test_other_threads_run_while_a_large_document_decodes():
    # With no forced switches, another thread can take the interpreter during the
    # call only if the call lets it go; it counts whatever steps it gets. On a busy
    # machine the counting thread may not be scheduled within one short decode, so
    # the call is repeated: a call that kept the interpreter would never let it count.
    diff = PyGraphDiff()
    for i in range(20_000):
        diff.add_edge(i.to_bytes(16, "little"), (i * 7).to_bytes(16, "little"), 1.0)
    data = diff.to_bytes()
    go, stop = threading.Event(), threading.Event()
    steps = [0]

    def count():
        go.wait()
        while not stop.is_set():
            steps[0] += 1
            time.sleep(0)  # lets the interpreter go, so the main thread gets it back

    interval = sys.getswitchinterval()
    worker = threading.Thread(target=count)
    worker.start()
    sys.setswitchinterval(1000)
    during = 0
    try:
        go.set()
        for _ in range(200):
            before = steps[0]
            decoded = PyGraphDiff.from_bytes(data)
            during = steps[0] - before
            if during:
                break
    finally:
        sys.setswitchinterval(interval)
        stop.set()
        worker.join()
    assert during > 0
    assert decoded.num_edges() == diff.num_edges()


# ---- random diffs --------------------------------------------------------------------

ids = st.binary(min_size=16, max_size=16)
finite_f32 = st.floats(width=32, allow_nan=False, allow_infinity=False)
updates = st.fixed_dictionaries(
    {},
    optional={
        "label": st.text(),
        "url": st.text(),
        "size": finite_f32,
        "red": st.integers(0, 255),
        "green": st.integers(0, 255),
        "blue": st.integers(0, 255),
        "show_label": st.booleans(),
    },
)
operations = st.lists(
    st.one_of(
        st.tuples(st.just("add_node"), ids, updates),
        st.tuples(st.just("delete_node"), ids),
        st.tuples(st.just("add_edge"), ids, ids, st.floats(width=32, allow_nan=False)),
        st.tuples(st.just("delete_edge"), ids, ids),
    ),
    max_size=40,
)


def signed_zero_aware(view):
    """Views with every float replaced by its bits, so -0.0 and 0.0 differ."""
    if isinstance(view, dict):
        return {k: signed_zero_aware(v) for k, v in view.items()}
    if isinstance(view, float):
        return struct.pack("<d", view)
    return view


@settings(max_examples=300, deadline=None)
@given(operations)
def test_random_diffs_round_trip(ops):
    diff = PyGraphDiff()
    for name, *args in ops:
        getattr(diff, name)(*args)
    data = diff.to_bytes()
    copy = PyGraphDiff.from_bytes(data)
    assert signed_zero_aware(copy.new_or_updated_nodes()) == signed_zero_aware(
        diff.new_or_updated_nodes())
    assert signed_zero_aware(copy.new_or_updated_edges()) == signed_zero_aware(
        diff.new_or_updated_edges())
    assert sorted(copy.deleted_nodes()) == sorted(diff.deleted_nodes())
    assert {k: sorted(v) for k, v in copy.deleted_edges().items()} == {
        k: sorted(v) for k, v in diff.deleted_edges().items()}
    assert (copy.num_nodes(), copy.num_edges()) == (diff.num_nodes(), diff.num_edges())
    assert len(copy.to_bytes()) == len(data)
