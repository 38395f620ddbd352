"""Random sequences of every mutating method, checked against the model after each step.

A pool of six ids (two of them one byte apart) makes re-adds, deletes of recorded nodes
and self-loops frequent. Failed calls (bad arguments, refused re-entrant borrows) are
mixed in and must leave the diff as the model says: unchanged.
"""

import json
import math
import os
import struct

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

import support
from kovra_api import PyGraphDiff

UNDER_SANITIZER = os.environ.get("KOVRA_SANITIZE_RUN") == "1"

POOL = [
    bytes(16),
    b"\xff" * 16,
    bytes(range(16)),
    bytes(range(15)) + b"\x10",  # differs from the one above in the last byte only
    bytes([0x80]) + bytes(range(1, 16)),  # and this one in the first byte only
    bytes.fromhex("6ba7b8109dad11d180b400c04fd430c8"),
]

ids = st.sampled_from(POOL)

texts = st.text(max_size=12) | st.sampled_from(["", '"\\/', "\x00\x01\x1f\x7f", "é€😀", "a" * 200])
sizes = (
    st.floats(width=64)
    | st.floats(width=32)
    | st.integers(-(2**70), 2**70)
    | st.booleans()
    | st.sampled_from([0.1, -0.0, 1e12, 1e13, 1e-7, 1.5e-7, 3.4028235e38, 1e39, 1e-46])
)
colours = st.integers(0, 255) | st.booleans()
updates = st.fixed_dictionaries(
    {},
    optional={
        "label": texts,
        "url": texts,
        "size": sizes,
        "red": colours,
        "green": colours,
        "blue": colours,
        "show_label": st.booleans(),
        # Keys outside the seven are ignored, the serialised key of show_label included.
        "showLabel": st.just(True),
        "colour": st.none(),
    },
)
weights = st.floats(width=64) | st.floats(width=32) | st.integers(-(2**70), 2**70) | st.booleans()


# Starting points decoded from documents, which may hold what no sequence of calls
# builds: a node both updated and deleted, an edge both added and deleted or reaching a
# deleted node, empty groups in either edge section. The rules apply to them all the same.
stored_updates = st.fixed_dictionaries(
    {},
    optional={
        "label": texts,
        "url": texts,
        "size": st.floats(width=32, allow_nan=False, allow_infinity=False),
        "red": st.integers(0, 255),
        "green": st.integers(0, 255),
        "blue": st.integers(0, 255),
        "show_label": st.booleans(),
    },
)
raw_weights = st.integers(0, 2**32 - 1).map(lambda bits: struct.pack("<I", bits))
contents = st.fixed_dictionaries(
    {
        "nodes": st.dictionaries(ids, st.tuples(stored_updates, st.booleans()), max_size=4),
        "deleted_nodes": st.sets(ids, max_size=4),
        "edges": st.dictionaries(ids, st.dictionaries(ids, raw_weights, max_size=4), max_size=4),
        "deleted_edges": st.dictionaries(ids, st.sets(ids, max_size=4), max_size=4),
    }
)
ORDER = ("label", "size", "url", "red", "green", "blue", "show_label")


def record_text(update: dict, as_array: bool) -> bytes:
    if as_array:
        return json.dumps([update.get(field) for field in ORDER]).encode()
    renamed = {"showLabel" if k == "show_label" else k: v for k, v in update.items()}
    return json.dumps(renamed, separators=(",", ":")).encode()


class FailedCall:
    """A call on (diff, a, b) that must raise `kind` with `message` (None where the
    message is the interpreter's own)."""

    def __init__(self, label, action, kind, message):
        self.label, self.action, self.kind, self.message = label, action, kind, message

    def __repr__(self):
        return f"<{self.label}>"


FAILED_CALLS = [FailedCall(*row) for row in [
    ("short id", lambda d, a, b: d.add_node(a[:15], {}), TypeError,
     "argument 'id': failed to extract field PyUuid.0"),
    ("str id", lambda d, a, b: d.delete_node(str(a)), TypeError,
     "argument 'id': failed to extract field PyUuid.0"),
    ("bytearray to", lambda d, a, b: d.add_edge(a, bytearray(b), 1.0), TypeError,
     "argument 'to': failed to extract field PyUuid.0"),
    ("long from", lambda d, a, b: d.delete_edge(a + b"\0", b), TypeError,
     "argument 'from': failed to extract field PyUuid.0"),
    ("update None", lambda d, a, b: d.add_node(a, None), TypeError,
     "argument 'update': 'NoneType' object cannot be converted to 'PyDict'"),
    ("red after label", lambda d, a, b: d.add_node(a, {"label": "x", "red": 300}), OverflowError,
     "out of range integral type conversion attempted"),
    ("show_label int", lambda d, a, b: d.add_node(a, {"size": 2.0, "show_label": 1}), TypeError,
     "argument 'update': 'int' object cannot be converted to 'PyBool'"),
    ("label int", lambda d, a, b: d.add_node(a, {"url": "u", "label": 5}), TypeError,
     "argument 'update': 'int' object cannot be converted to 'PyString'"),
    ("lone surrogate", lambda d, a, b: d.add_node(a, {"url": "\ud800"}), UnicodeEncodeError, None),
    ("text weight", lambda d, a, b: d.add_edge(a, b, "1"), TypeError, None),
    ("huge int weight", lambda d, a, b: d.add_edge(a, b, 10**400), OverflowError, None),
    ("weight reads diff", lambda d, a, b: d.add_edge(a, b, support.CallsBack(d.num_nodes)), RuntimeError,
     "Already mutably borrowed"),
    ("weight clears diff", lambda d, a, b: d.add_edge(a, b, support.CallsBack(d.clear)), RuntimeError,
     "Already borrowed"),
    ("colour writes diff", lambda d, a, b: d.add_node(a, {"blue": support.CallsBack(lambda: d.delete_node(b))}),
     RuntimeError, "Already borrowed"),
    ("size serialises diff", lambda d, a, b: d.add_node(a, {"size": support.CallsBack(d.to_bytes)}),
     RuntimeError, "Already mutably borrowed"),
]]


class GraphDiffMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.diff = PyGraphDiff()
        # The same operations, never read but by compare_bytes, as single calls where
        # the diff gets batches: its rows are applied at other times, in other runs.
        self.shadow = PyGraphDiff()
        self.model = support.GraphDiffModel()
        self.decoded_start = False

    @initialize(start=st.none() | contents)
    def start(self, start):
        if start is None:
            return
        data = support.document(
            nodes=[(k, record_text(u, as_array)) for k, (u, as_array) in start["nodes"].items()],
            deleted_nodes=list(start["deleted_nodes"]),
            edges=[(k, list(g.items())) for k, g in start["edges"].items()],
            deleted_edges=[(k, list(g)) for k, g in start["deleted_edges"].items()],
        )
        self.diff = PyGraphDiff.from_bytes(data)
        self.shadow = PyGraphDiff.from_bytes(data)
        self.model.nodes = {k: {f: support.f32(v) if f == "size" else v for f, v in u.items()}
                            for k, (u, _) in start["nodes"].items()}
        self.model.deleted_nodes = set(start["deleted_nodes"])
        self.model.edges = {k: {t: struct.unpack("<f", w)[0] for t, w in g.items()}
                            for k, g in start["edges"].items()}
        self.model.deleted_edges = {k: set(g) for k, g in start["deleted_edges"].items()}
        self.decoded_start = True

    @rule(node=ids, update=updates)
    def add_node(self, node, update):
        assert self.diff.add_node(node, update) is None
        self.shadow.add_node(node, update)
        self.model.add_node(node, update)

    @rule(node=ids)
    def delete_node(self, node):
        assert self.diff.delete_node(node) is None
        self.shadow.delete_node(node)
        self.model.delete_node(node)

    # Not `target`: rule() keeps that name for itself.
    @rule(tail=ids, head=ids, weight=weights)
    def add_edge(self, tail, head, weight):
        # A refusal (an end marked deleted) is silent: the result is None either way.
        assert self.diff.add_edge(tail, head, weight) is None
        self.shadow.add_edge(tail, head, weight)
        self.model.add_edge(tail, head, weight)

    @rule(tail=ids, head=ids)
    def delete_edge(self, tail, head):
        assert self.diff.delete_edge(tail, head) is None
        self.shadow.delete_edge(tail, head)
        self.model.delete_edge(tail, head)

    @rule()
    def add_edge_by_keyword(self):
        # `from` is a keyword of the language, reachable only through unpacking.
        source, target = POOL[2], POOL[3]
        self.diff.add_edge(**{"from": source, "to": target, "weight": 0.5})
        self.shadow.add_edge(source, target, 0.5)
        self.model.add_edge(source, target, 0.5)

    @rule(rows=st.lists(st.tuples(ids, ids, st.floats(width=32), st.booleans()), max_size=12))
    def edge_batches(self, rows):
        # Runs of added and deleted edges as batches here, as single calls in the shadow.
        start = 0
        while start < len(rows):
            end = start
            while end < len(rows) and rows[end][3] == rows[start][3]:
                end += 1
            run = rows[start:end]
            if run[0][3]:
                self.diff.delete_edges([r[0] for r in run], [r[1] for r in run])
            else:
                self.diff.add_edges([r[0] for r in run], [r[1] for r in run], [r[2] for r in run])
            start = end
        for tail, head, weight, deleting in rows:
            if deleting:
                self.shadow.delete_edge(tail, head)
                self.model.delete_edge(tail, head)
            else:
                self.shadow.add_edge(tail, head, weight)
                self.model.add_edge(tail, head, weight)

    @rule()
    def compare_bytes(self):
        # The document depends on the operations alone: not on batches, nor on when
        # the diff was read.
        assert self.shadow.to_bytes() == self.diff.to_bytes()

    @rule(roll=st.integers(0, 4))
    def clear(self, roll):
        # Clearing on every fifth draw only, so the diff has time to fill.
        if roll == 0:
            assert self.diff.clear() is None
            self.shadow.clear()
            self.model.clear()
            self.decoded_start = False

    @rule()
    def round_trip(self):
        data = self.diff.to_bytes()
        assert self.diff.to_bytes() == data
        self.diff = PyGraphDiff.from_bytes(data)
        # A round trip drops sizes that are not finite, so the shadow takes one too.
        self.shadow = PyGraphDiff.from_bytes(self.shadow.to_bytes())
        self.model.after_round_trip()

    @rule(call=st.sampled_from(FAILED_CALLS), a=ids, b=ids)
    def failed_call(self, call, a, b):
        with pytest.raises(call.kind) as caught:
            call.action(self.diff, a, b)
        assert type(caught.value) is call.kind
        if call.message is not None:
            assert str(caught.value) == call.message

    @invariant()
    def matches_model(self):
        if not self.decoded_start:
            self.model.check_invariants()
        support.assert_matches(self.diff, self.model)

    @invariant()
    def document_matches_model(self):
        # Read back by an independent reader, empty edge groups included.
        written = support.model_from_document(self.diff.to_bytes())
        expected = self.model.copy()
        expected.after_round_trip()
        assert written.nodes.keys() == expected.nodes.keys()
        for node, update in expected.nodes.items():
            support.assert_update_equal(written.nodes[node], update, f"document node {node.hex()}")
        assert written.deleted_nodes == expected.deleted_nodes
        assert written.edges.keys() == expected.edges.keys()
        for source, targets in expected.edges.items():
            assert written.edges[source].keys() == targets.keys()
            for target, weight in targets.items():
                support.assert_floats_equal(written.edges[source][target], weight, "document weight")
        assert written.deleted_edges == expected.deleted_edges


GraphDiffMachine.TestCase.settings = settings(
    max_examples=300 if UNDER_SANITIZER else 1000,
    stateful_step_count=50,
    derandomize=True,
    database=None,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)
TestGraphDiffMachine = GraphDiffMachine.TestCase


def test_model_reproduces_a_hand_checked_history():
    # The model is the oracle above, so it is checked once against a history whose
    # outcome is written out here by hand.
    a, b, x = POOL[0], POOL[1], POOL[2]
    m = support.GraphDiffModel()
    m.add_edge(a, x, 1.0)
    m.add_edge(x, b, 2.0)
    m.add_edge(x, x, 3.0)
    m.delete_node(x)
    assert m.edges == {a: {}}
    assert m.deleted_edges == {a: {x}}
    assert m.num_edges() == 2 and m.new_or_updated_edges() == {}
    assert m.add_edge(a, x, 1.0) is False
    m.add_node(x, {"label": "l", "size": 0.1})
    assert m.nodes == {x: {"label": "l", "size": 0.10000000149011612}}
    assert not math.isnan(m.nodes[x]["size"])
