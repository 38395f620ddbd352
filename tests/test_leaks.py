"""No leaks: every method, success and error paths alike, run in loops that must not grow
memory, and reference counts that stay flat across many calls.

Each case is warmed up, then run many times while `tracemalloc` (Python objects) and the
resident set size (native memory) are measured and the reference counts of the class,
the instance and the argument objects are compared. A leak of a few dozen bytes or of
one reference per call would show well beyond the bounds below.
"""

import array
import collections
import gc
import os
import sys
import tracemalloc
import types
import uuid

import pytest

import kovra_api
import support
from kovra_api import PyGraphDiff

UNDER_SANITIZER = os.environ.get("KOVRA_SANITIZE_RUN") == "1"
# Under the sanitizer the runtime keeps freed blocks in quarantine, so resident memory
# says nothing; LeakSanitizer checks native memory there instead.
CHECK_RSS = not UNDER_SANITIZER and os.path.exists("/proc/self/statm")
CALLS = 10_000 if UNDER_SANITIZER else 60_000
# Calls that build or read a few hundred entries each run a fifth as often: a leak per
# entry still shows, and LeakSanitizer catches a small leak per call in its own job.
HEAVY = ("new_or_updated_nodes", "deleted_nodes", "new_or_updated_edges", "deleted_edges",
         "from_bytes", "from_bytes many edges", "from_bytes deep unknown key", "from_bytes bad text last")
TRACED_BOUND = 64 * 1024
RSS_BOUND = 2 * 1024 * 1024
PAGE = os.sysconf("SC_PAGE_SIZE")

DESERIALIZE_FAILED = "Failed to deserialize graph diff."


def fresh_bytes(data: bytes) -> bytes:
    # A new object each time, so its reference count is ours alone to watch.
    return bytes(bytearray(data))


def fresh_text(value: str) -> str:
    return "".join([value[:1], value[1:]])


A = fresh_bytes(bytes(range(16)))
B = fresh_bytes(bytes(range(16, 32)))
C = fresh_bytes(bytes(range(32, 48)))
LABEL = fresh_text("a label long enough to live on the heap " * 3)
WEIGHT = float(fresh_text("2.5"))
# Columns for the bulk calls, as lists and as buffers.
ID_LIST = [A, B, C]
ID_LIST_2 = [B, C, A]
WEIGHT_LIST = [WEIGHT, WEIGHT, 1.0]
UPDATE_LIST = [{"label": LABEL}, {}, {"red": 3, "size": WEIGHT}]
ID_BUFFER = fresh_bytes(A + B + C)
WEIGHT_BUFFER = array.array("d", WEIGHT_LIST)


def resident() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


class Raises:
    """A number whose conversions fail with an error of their own."""

    def __float__(self):
        raise ValueError("no float")

    def __index__(self):
        raise ValueError("no index")


def filled_diff(n: int = 40) -> PyGraphDiff:
    d = PyGraphDiff()
    for i in range(n):
        node = i.to_bytes(16, "little")
        d.add_node(node, {"label": f"n{i}", "url": "url" + "x" * i, "size": i / 3, "red": i % 256,
                          "show_label": bool(i & 1)})
        d.add_edge(node, ((i + 1) % n).to_bytes(16, "little"), i / 7)
        d.delete_edge(node, ((i + 2) % n).to_bytes(16, "little"))
        d.delete_node((1000 + i).to_bytes(16, "little"))
    d.add_edge(A, C, 1.0)
    d.delete_node(C)  # leaves an emptied group behind
    return d


def nodes_only(document: bytes) -> bytes:
    sections = support.parse_outer(document)
    return support.document(nodes=list(sections["nodes"].items()),
                            deleted_nodes=list(sections["deleted_nodes"]))


def documents():
    valid = filled_diff(200).to_bytes()
    many_edges = support.document(
        nodes=[(i.to_bytes(16, "big"), b"{}") for i in range(300)],
        edges=[(A, [(i.to_bytes(16, "big"), float(i)) for i in range(300)])],
        deleted_edges=[(B, [i.to_bytes(16, "big") for i in range(300)])],
    )
    return {
        "valid": valid,
        "truncated": valid[: len(valid) // 2],
        "empty": b"",
        "id length 17": support.count(1) + support.count(17) + bytes(17) + support.record(b"{}") + bytes(24),
        "invalid utf-8": support.document(nodes=[(A, b'{"label":"\xff"}')]),
        # Everything before the last node text is well formed, so the reader has built
        # most of the diff when it fails.
        "bad text last": support.document(
            nodes=[(i.to_bytes(16, "big"), b'{"label":"x"}') for i in range(300)] + [(A, b'{"red":256}')],
            edges=[(A, [(i.to_bytes(16, "big"), float(i)) for i in range(300)])],
            deleted_edges=[(B, [i.to_bytes(16, "big") for i in range(300)])],
        ),
        "duplicate key": support.document(nodes=[(A, b'{"label":"a","label":"b"}')]),
        "count 2**63": support.count(2**63),
        "deep unknown key": support.document(nodes=[(A, b'{"x":' + b"[" * 5000 + b"]" * 5000 + b"}")]),
        "many edges": many_edges,
        # Views that name a few of many interned ids make their texts one by one.
        "few edges": support.document(
            edges=[(A, [(B, 1.0)])], deleted_edges=[(B, [i.to_bytes(16, "big") for i in range(300)])]),
        "few deleted edges": support.document(
            edges=[(A, [(i.to_bytes(16, "big"), float(i)) for i in range(300)])], deleted_edges=[(B, [A])]),
        # Shards to merge with "valid" and with "few edges".
        "empty shard": nodes_only(valid),
        "other groups": support.document(edges=[(C, [(A, 1.0)])]),
    }


DOCS = documents()

UPDATE = {"label": LABEL, "size": WEIGHT, "red": 7, "show_label": True}
UPDATES = {
    "none": None,
    "list": [("label", "x")],
    "mapping proxy": types.MappingProxyType({"label": "x"}),
    "red 256": {"red": 256},
    "red -1": {"red": -1},
    "red beyond long": {"red": 2**80},
    "red float": {"red": 1.0},
    "red text": {"red": "1"},
    "red raises": {"label": LABEL, "red": Raises()},
    "label int": {"label": 5},
    "label none": {"label": None},
    "url lone surrogate": {"label": LABEL, "url": "\ud800"},
    "show_label int": {"show_label": 1},
    "size text": {"size": "x"},
    "size raises": {"size": Raises()},
}
UPDATE_ERRORS = {
    "none": (TypeError, "argument 'update': 'NoneType' object cannot be converted to 'PyDict'"),
    "list": (TypeError, "argument 'update': 'list' object cannot be converted to 'PyDict'"),
    "mapping proxy": (TypeError, "argument 'update': 'mappingproxy' object cannot be converted to 'PyDict'"),
    "red 256": (OverflowError, "out of range integral type conversion attempted"),
    "red -1": (OverflowError, "out of range integral type conversion attempted"),
    "red beyond long": (OverflowError, None),
    "red float": (TypeError, None),
    "red text": (TypeError, None),
    "red raises": (ValueError, "no index"),
    "label int": (TypeError, "argument 'update': 'int' object cannot be converted to 'PyString'"),
    "label none": (TypeError, "argument 'update': 'NoneType' object cannot be converted to 'PyString'"),
    "url lone surrogate": (UnicodeEncodeError, None),
    "show_label int": (TypeError, "argument 'update': 'int' object cannot be converted to 'PyBool'"),
    "size text": (TypeError, None),
    "size raises": (ValueError, "no float"),
}
BAD_IDS = {
    "empty": b"",
    "15 bytes": bytes(15),
    "17 bytes": bytes(17),
    "str": str(uuid.UUID(bytes=bytes(16))),
    "bytearray": bytearray(16),
    "memoryview": memoryview(bytes(16)),
    "uuid": uuid.UUID(bytes=bytes(16)),
    "none": None,
}


def id_error(name):
    return (TypeError, f"argument '{name}': failed to extract field PyUuid.0")


# Cases: (id, action(diff), expected exception type or None, exact message or None).
# Each action only uses objects created once at import, so their counts can be watched.
CASES = [
    ("new instance", lambda d: PyGraphDiff(), None, None),
    ("add_node merge", lambda d: d.add_node(A, UPDATE), None, None),
    ("add_node then delete_node", lambda d: (d.add_node(B, UPDATE), d.delete_node(B)), None, None),
    ("add_edge reweight", lambda d: d.add_edge(A, B, WEIGHT), None, None),
    ("add_edge then delete_edge", lambda d: (d.add_edge(B, A, WEIGHT), d.delete_edge(B, A)), None, None),
    ("edges then delete_node then add_node",
     lambda d: (d.add_edge(A, B, WEIGHT), d.add_edge(B, B, WEIGHT), d.add_edge(B, C, WEIGHT),
                d.delete_node(B), d.add_node(B, UPDATE)), None, None),
    ("add_edge refused", lambda d: (d.delete_node(C), d.add_edge(A, C, WEIGHT)), None, None),
    ("fill then clear",
     lambda d: (d.add_node(A, UPDATE), d.add_edge(A, B, WEIGHT), d.delete_edge(B, C),
                d.delete_node(C), d.clear()), None, None),
    ("add_edge by keyword", lambda d: d.add_edge(**{"from": A, "to": B, "weight": WEIGHT}), None, None),
    ("num_nodes", lambda d: d.num_nodes(), None, None),
    ("num_edges", lambda d: d.num_edges(), None, None),
    ("new_or_updated_nodes", lambda d: d.new_or_updated_nodes(), None, None),
    ("deleted_nodes", lambda d: d.deleted_nodes(), None, None),
    ("new_or_updated_edges", lambda d: d.new_or_updated_edges(), None, None),
    ("deleted_edges", lambda d: d.deleted_edges(), None, None),
    ("to_bytes", lambda d: d.to_bytes(), None, None),
    ("from_bytes", lambda d: PyGraphDiff.from_bytes(DOCS["valid"]), None, None),
    ("from_bytes many edges", lambda d: PyGraphDiff.from_bytes(bytes=DOCS["many edges"]), None, None),
    ("from_bytes deep unknown key", lambda d: PyGraphDiff.from_bytes(DOCS["deep unknown key"]), None, None),
    ("edge views naming few of many ids",
     lambda d: (PyGraphDiff.from_bytes(DOCS["few edges"]).new_or_updated_edges(),
                PyGraphDiff.from_bytes(DOCS["few deleted edges"]).deleted_edges()), None, None),
]
CASES += [
    (f"from_bytes {name}", (lambda doc: lambda d: PyGraphDiff.from_bytes(DOCS[doc]))(name),
     Exception, DESERIALIZE_FAILED)
    for name in ["truncated", "empty", "id length 17", "invalid utf-8", "bad text last",
                 "duplicate key", "count 2**63"]
]
CASES += [
    ("from_bytes str", lambda d: PyGraphDiff.from_bytes("x"), TypeError,
     "argument 'bytes': 'str' object cannot be converted to 'PyBytes'"),
    ("from_bytes memoryview", lambda d: PyGraphDiff.from_bytes(BAD_IDS["memoryview"]), TypeError,
     "argument 'bytes': 'memoryview' object cannot be converted to 'PyBytes'"),
]
CASES += [
    (f"add_node update {name}", (lambda u: lambda d: d.add_node(A, u))(update), *UPDATE_ERRORS[name])
    for name, update in UPDATES.items()
]
for name, bad in BAD_IDS.items():
    CASES += [
        (f"add_node id {name}", (lambda x: lambda d: d.add_node(x, UPDATE))(bad), *id_error("id")),
        (f"delete_node id {name}", (lambda x: lambda d: d.delete_node(x))(bad), *id_error("id")),
        (f"add_edge to {name}", (lambda x: lambda d: d.add_edge(A, x, WEIGHT))(bad), *id_error("to")),
        (f"delete_edge from {name}", (lambda x: lambda d: d.delete_edge(x, B))(bad), *id_error("from")),
    ]
CASES += [
    ("add_edge weight text", lambda d: d.add_edge(A, B, LABEL), TypeError, None),
    ("add_edge weight none", lambda d: d.add_edge(A, B, None), TypeError, None),
    ("add_edge weight huge int", lambda d: d.add_edge(A, B, 10**400), OverflowError, None),
    ("add_edge weight raises", lambda d: d.add_edge(A, B, Raises()), ValueError, "no float"),
    ("add_edge missing", lambda d: d.add_edge(A), TypeError,
     "PyGraphDiff.add_edge() missing 2 required positional arguments: 'to' and 'weight'"),
    ("add_node too many", lambda d: d.add_node(A, UPDATE, 1), TypeError,
     "PyGraphDiff.add_node() takes 2 positional arguments but 3 were given"),
    ("add_node unexpected keyword", lambda d: d.add_node(A, UPDATE, colour=1), TypeError,
     "PyGraphDiff.add_node() got an unexpected keyword argument 'colour'"),
    ("delete_node given twice", lambda d: d.delete_node(A, id=A), TypeError,
     "PyGraphDiff.delete_node() got multiple values for argument 'id'"),
    ("new instance with argument", lambda d: PyGraphDiff(None), TypeError,
     "PyGraphDiff.__new__() takes 0 positional arguments but 1 was given"),
    ("new instance with keyword", lambda d: PyGraphDiff(x=1), TypeError,
     "PyGraphDiff.__new__() got an unexpected keyword argument 'x'"),
    ("view with argument", lambda d: d.num_nodes(1), TypeError, None),
    ("add_edges lists", lambda d: d.add_edges(ID_LIST, ID_LIST_2, WEIGHT_LIST), None, None),
    ("add_edges buffers", lambda d: d.add_edges(ID_BUFFER, ID_LIST_2, WEIGHT_BUFFER), None, None),
    ("delete_edges then add_edges",
     lambda d: (d.delete_edges(ID_LIST_2, ID_BUFFER), d.add_edges(ID_LIST_2, ID_BUFFER, WEIGHT_BUFFER)),
     None, None),
    ("delete_nodes then add_nodes",
     lambda d: (d.delete_nodes(ID_BUFFER), d.add_nodes(ID_LIST, UPDATE_LIST)), None, None),
    ("edges_columns", lambda d: d.edges_columns(), None, None),
    ("deleted_edges_columns", lambda d: d.deleted_edges_columns(), None, None),
    ("deleted_nodes_ids", lambda d: d.deleted_nodes_ids(), None, None),
    ("add_edges bad id", lambda d: d.add_edges(ID_LIST, [B, C, BAD_IDS["15 bytes"]], WEIGHT_LIST),
     TypeError, "argument 'to': element 2: failed to extract field PyUuid.0"),
    ("add_edges weight raises", lambda d: d.add_edges(ID_LIST, ID_LIST, [WEIGHT, WEIGHT, Raises()]),
     ValueError, "no float"),
    ("add_nodes bad update", lambda d: d.add_nodes(ID_LIST, [{}, {}, UPDATES["red 256"]]), OverflowError,
     "out of range integral type conversion attempted"),
    ("add_nodes update text", lambda d: d.add_nodes(ID_LIST, [{}, UPDATES["label int"], {}]), TypeError,
     "argument 'updates': element 1: 'int' object cannot be converted to 'PyString'"),
    ("add_edges unequal", lambda d: d.add_edges(ID_LIST, ID_BUFFER, WEIGHT_LIST[:2]), ValueError,
     "PyGraphDiff.add_edges() got columns of unequal lengths: 'from' has 3, 'to' has 3, 'weight' has 2"),
    ("add_edges weights as bytes", lambda d: d.add_edges(ID_LIST, ID_LIST, ID_BUFFER), TypeError, None),
    ("delete_nodes not contiguous", lambda d: d.delete_nodes(BAD_IDS["memoryview"][::2]), ValueError,
     "argument 'ids': buffer is not C-contiguous"),
    ("bulk weight clears same diff", lambda d: d.add_edges([A], [B], [support.CallsBack(d.clear)]),
     RuntimeError, "Already borrowed"),
    ("weight reads same diff", lambda d: d.add_edge(A, B, support.CallsBack(d.new_or_updated_edges)),
     RuntimeError, "Already mutably borrowed"),
    ("weight clears same diff", lambda d: d.add_edge(A, B, support.CallsBack(d.clear)), RuntimeError,
     "Already borrowed"),
    ("colour writes same diff", lambda d: d.add_node(A, {"green": support.CallsBack(lambda: d.add_node(B, {}))}),
     RuntimeError, "Already borrowed"),
    ("size serialises same diff", lambda d: d.add_node(A, {"size": support.CallsBack(d.to_bytes)}),
     RuntimeError, "Already mutably borrowed"),
]
# The module functions for sharded streams, on every way out.
CASES += [
    ("shard_of", lambda d: kovra_api.shard_of(A, 7), None, None),
    ("shard_of zero shards", lambda d: kovra_api.shard_of(A, 0), ValueError,
     "argument 'shards': must be at least 1, not 0"),
    ("shard_of bad id", lambda d: kovra_api.shard_of(BAD_IDS["15 bytes"], 2), *id_error("id")),
    ("merge_documents", lambda d: kovra_api.merge_documents([DOCS["valid"], DOCS["empty shard"]]),
     None, None),
    ("merge_documents out of shard order",
     lambda d: kovra_api.merge_documents(iter([DOCS["few edges"], DOCS["other groups"]])), None, None),
    ("merge_documents shared groups", lambda d: kovra_api.merge_documents([DOCS["valid"]] * 2),
     ValueError, None),
    ("merge_documents nodes differ", lambda d: kovra_api.merge_documents(
        [DOCS["valid"], DOCS["many edges"]]), ValueError, None),
    ("merge_documents malformed", lambda d: kovra_api.merge_documents(
        [DOCS["valid"], DOCS["truncated"]]), Exception, DESERIALIZE_FAILED),
    ("merge_documents memoryview", lambda d: kovra_api.merge_documents([BAD_IDS["memoryview"]]),
     TypeError, "argument 'documents': element 0: 'memoryview' object cannot be converted to 'PyBytes'"),
]


def run_once(action, diff, kind, message):
    if kind is None:
        return action(diff)
    with pytest.raises(kind) as caught:
        action(diff)
    assert type(caught.value) is kind
    if message is not None:
        assert str(caught.value) == message
    return None


def loop(action, diff, kind, calls):
    if kind is None:
        for _ in range(calls):
            action(diff)
    else:
        for _ in range(calls):
            try:
                action(diff)
            except kind:
                pass


WATCHED = [PyGraphDiff, A, B, C, LABEL, WEIGHT, UPDATE, *UPDATES.values(), *BAD_IDS.values(), *DOCS.values(),
           ID_LIST, ID_LIST_2, WEIGHT_LIST, UPDATE_LIST, ID_BUFFER, WEIGHT_BUFFER]


@pytest.mark.parametrize(("action", "kind", "message"), [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_loop_does_not_grow(request, action, kind, message):
    calls = CALLS // 5 if request.node.callspec.id in HEAVY else CALLS
    diff = filled_diff()
    expected_state = (diff.num_nodes(), diff.num_edges())
    run_once(action, diff, kind, message)
    if kind is not None:
        assert (diff.num_nodes(), diff.num_edges()) == expected_state
    loop(action, diff, kind, 2_000 if not UNDER_SANITIZER else 200)  # caches and free lists settle
    gc.collect()

    watched = [diff, *WATCHED]
    counts = [sys.getrefcount(obj) for obj in watched]
    rss_before = resident() if CHECK_RSS else 0
    tracemalloc.start()
    try:
        loop(action, diff, kind, calls)
        gc.collect()
        traced = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    rss_growth = resident() - rss_before if CHECK_RSS else 0

    assert [sys.getrefcount(obj) for obj in watched] == counts
    assert traced < TRACED_BOUND, f"{traced} bytes of Python objects kept after {calls} calls"
    assert rss_growth < RSS_BOUND, f"resident memory grew by {rss_growth} bytes over {calls} calls"


def counts_of(container) -> list:
    """Reference counts of the elements (or keys) of `container`, read by index so that
    only the container, the key list and the call's argument hold them."""
    items = list(container)
    return [sys.getrefcount(items[i]) for i in range(len(items))]


def shared_texts(view) -> collections.Counter:
    """How many places of an edge view hold each text object (outer keys and inner
    keys or elements), by the object's id, so that the count holds none of them."""
    held = collections.Counter(id(k) for k in view)
    for k in view:
        held.update(id(t) for t in view[k])
    return held


def test_returned_objects_belong_to_the_caller_alone():
    # Counts are taken into lists before asserting: the assertion rewriter would hold
    # references of its own.
    d = filled_diff()
    fresh = [sys.getrefcount(view()) for view in (d.new_or_updated_nodes, d.deleted_nodes,
                                                  d.new_or_updated_edges, d.deleted_edges, d.to_bytes)]
    assert fresh == [1] * 5  # the argument alone
    nodes = d.new_or_updated_nodes()
    values = [sys.getrefcount(nodes[k]) for k in list(nodes)]
    fields = [sys.getrefcount(nodes[k][f]) for k in list(nodes) for f in ("label", "url", "size")]
    assert (counts_of(nodes), values, fields) == ([3] * len(nodes), [2] * len(nodes), [2] * len(fields))
    # The edge views make one text per id and share it wherever the view names
    # that id, so each text is held once per place it appears in the view.
    edges = d.new_or_updated_edges()
    held = shared_texts(edges)
    outer_keys = counts_of(edges)
    # Walked by value: a list of the outer keys would hold texts that are inner keys too.
    inner_keys = [c for inner in list(edges.values()) for c in counts_of(inner)]
    weights = [sys.getrefcount(edges[k][t]) for k in list(edges) for t in list(edges[k])]
    expected = ([2 + held[id(k)] for k in edges], [2 + held[id(t)] for k in edges for t in edges[k]])
    assert (outer_keys, inner_keys) == expected
    assert weights == [2] * len(weights)
    gone = d.deleted_edges()
    held = shared_texts(gone)
    outer_keys = counts_of(gone)
    members = [sys.getrefcount(ids[i]) for ids in list(gone.values()) for i in range(len(ids))]
    expected = ([2 + held[id(k)] for k in gone], [1 + held[id(t)] for k in gone for t in gone[k]])
    assert (outer_keys, members) == expected
    deleted = d.deleted_nodes()
    assert [sys.getrefcount(deleted[i]) for i in range(len(deleted))] == [2] * len(deleted)
    decoded = sys.getrefcount(PyGraphDiff.from_bytes(d.to_bytes()))
    assert decoded == 1


def test_exceptions_do_not_keep_arguments():
    d = filled_diff()
    bad = fresh_bytes(bytes(15))
    before = sys.getrefcount(bad)
    with pytest.raises(TypeError) as caught:
        d.delete_node(bad)
    cause = caught.value.__cause__
    assert type(cause) is Exception and str(cause) == "Expected 16 bytes."
    del caught, cause
    gc.collect()
    assert sys.getrefcount(bad) == before


def test_many_instances_leave_the_class_count_unchanged():
    gc.collect()
    before = sys.getrefcount(PyGraphDiff)
    kept = [PyGraphDiff.from_bytes(DOCS["valid"]) for _ in range(500)]
    kept += [PyGraphDiff() for _ in range(500)]
    assert sys.getrefcount(PyGraphDiff) == before + len(kept)
    del kept
    gc.collect()
    assert sys.getrefcount(PyGraphDiff) == before


# ---- long loops over creation, failures and returned objects ------------------------

# Long loops with a generous bound: a leak of one small object per iteration over a million iterations
# would show as tens of megabytes.
RSS_SLACK = 16 * 1024 * 1024
N = 1_000_000


@pytest.fixture
def steady_memory():
    gc.collect()
    start = resident()
    yield
    gc.collect()
    # AddressSanitizer quarantines freed memory, so resident size only grows there.
    if os.environ.get("KOVRA_SANITIZE_RUN") != "1":
        assert resident() - start < RSS_SLACK


def test_creating_and_dropping_instances(steady_memory):
    before = sys.getrefcount(PyGraphDiff)
    for _ in range(N):
        PyGraphDiff()
    for _ in range(N // 10):
        d = PyGraphDiff()
        d.add_node(A, {"label": "some label long enough to allocate", "url": "u"})
        d.add_edge(A, B, 1.0)
        d.delete_edge(B, C)
        del d
    assert sys.getrefcount(PyGraphDiff) == before


def test_failing_calls(steady_memory, diff):
    update = {"label": "x", "red": 300}
    short = b"short"
    refs = [sys.getrefcount(o) for o in (PyGraphDiff, update, short, diff)]
    for _ in range(N // 4):
        try:
            diff.delete_node(short)
        except TypeError:
            pass
        try:
            diff.add_node(A, update)
        except OverflowError:
            pass
        try:
            diff.add_edge(A, B, "heavy")
        except TypeError:
            pass
        try:
            diff.delete_edge(A, B, C)
        except TypeError:
            pass
    assert [sys.getrefcount(o) for o in (PyGraphDiff, update, short, diff)] == refs
    assert diff.num_nodes() == 0


def test_arguments_and_results_are_not_leaked(diff):
    node = bytes(range(16))
    label = "label text"
    weight = 0.25
    update = {"label": label, "size": 1.5}
    tracked = (node, label, weight, update)
    refs = [sys.getrefcount(o) for o in tracked]
    for _ in range(10_000):
        diff.add_node(node, update)
        diff.add_edge(node, B, weight)
        diff.delete_edge(B, node)
        diff.delete_node(C)
        nodes = diff.new_or_updated_nodes()
        diff.new_or_updated_edges()
        diff.deleted_edges()
        diff.deleted_nodes()
        diff.to_bytes()
        PyGraphDiff.from_bytes(diff.to_bytes())
    assert [sys.getrefcount(o) for o in tracked] == refs
    # A fresh view is owned by the caller alone, all the way down.
    assert sys.getrefcount(nodes) == 2
    inner = next(iter(nodes.values()))
    assert sys.getrefcount(inner) == 3  # `inner`, the view, the call's argument
    for method in ("deleted_nodes", "new_or_updated_edges", "deleted_edges", "to_bytes"):
        view = getattr(diff, method)()
        assert sys.getrefcount(view) == 2, method
