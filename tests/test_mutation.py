"""How later changes combine with earlier ones, state by state."""

import math

import pytest

from kovra_api import PyGraphDiff
from support import A, B, C, X, document, snapshot, text

# ---- one node: unrecorded / updated / deleted ----------------------------------------

OLD = {"label": "old", "size": 2.0}


def node_state(d, node):
    nodes, deleted = d.new_or_updated_nodes(), d.deleted_nodes()
    assert not (text(node) in nodes and text(node) in deleted)
    if text(node) in nodes:
        return ("updated", nodes[text(node)])
    return ("deleted",) if text(node) in deleted else ("unrecorded",)


NODE_SETUP = {
    "unrecorded": lambda d: None,
    "updated": lambda d: d.add_node(X, OLD),
    # An update before the deletion must not resurface.
    "deleted": lambda d: (d.add_node(X, OLD), d.delete_node(X)),
}

NODE_TRANSITIONS = [
    ("unrecorded", "add_node", ("updated", {"label": "new", "red": 5})),
    ("unrecorded", "delete_node", ("deleted",)),
    ("unrecorded", "clear", ("unrecorded",)),
    ("updated", "add_node", ("updated", {"label": "new", "size": 2.0, "red": 5})),
    ("updated", "delete_node", ("deleted",)),
    ("updated", "clear", ("unrecorded",)),
    ("deleted", "add_node", ("updated", {"label": "new", "red": 5})),
    ("deleted", "delete_node", ("deleted",)),
    ("deleted", "clear", ("unrecorded",)),
]

NODE_OPS = {
    "add_node": lambda d: d.add_node(X, {"label": "new", "red": 5}),
    "delete_node": lambda d: d.delete_node(X),
    "clear": lambda d: d.clear(),
}


@pytest.mark.parametrize(
    "before, op, after", NODE_TRANSITIONS, ids=[f"{b}-{o}" for b, o, _ in NODE_TRANSITIONS]
)
def test_node_transitions(diff, before, op, after):
    NODE_SETUP[before](diff)
    NODE_OPS[op](diff)
    assert node_state(diff, X) == after
    assert diff.num_nodes() == (0 if after == ("unrecorded",) else 1)


def test_empty_update_keeps_stored_fields(diff):
    diff.add_node(X, {})
    assert node_state(diff, X) == ("updated", {})
    diff.add_node(X, OLD)
    diff.add_node(X, {})
    assert node_state(diff, X) == ("updated", OLD)


def test_merge_replaces_present_fields_only(diff):
    diff.add_node(X, {"label": "a", "url": "u", "size": 1.0, "red": 1, "green": 2, "blue": 3,
                      "show_label": True})
    diff.add_node(X, {"url": "", "green": 0, "show_label": False})
    assert node_state(diff, X) == ("updated", {
        "label": "a", "url": "", "size": 1.0, "red": 1, "green": 0, "blue": 3,
        "show_label": False})


def test_add_node_leaves_deleted_edges_alone(diff):
    diff.delete_edge(X, A)
    diff.delete_node(X)
    diff.add_node(X, {})
    assert diff.deleted_edges() == {text(X): [text(A)]}


# ---- one edge A->B: unrecorded / added / deleted ----------------------------------------


def edge_state(d):
    added = d.new_or_updated_edges().get(text(A), {})
    deleted = d.deleted_edges().get(text(A), [])
    assert not (text(B) in added and text(B) in deleted)
    if text(B) in added:
        return ("added", added[text(B)])
    return ("deleted",) if text(B) in deleted else ("unrecorded",)


EDGE_SETUP = {
    "unrecorded": lambda d: None,
    "added": lambda d: d.add_edge(A, B, 1.0),
    "deleted": lambda d: d.delete_edge(A, B),
}

EDGE_OPS = {
    "add_edge": lambda d: d.add_edge(A, B, 2.0),
    "delete_edge": lambda d: d.delete_edge(A, B),
    "delete_node_to": lambda d: d.delete_node(B),
    "delete_node_from": lambda d: d.delete_node(A),
    "clear": lambda d: d.clear(),
}

EDGE_TRANSITIONS = [
    ("unrecorded", "add_edge", ("added", 2.0)),
    ("unrecorded", "delete_edge", ("deleted",)),
    ("unrecorded", "delete_node_to", ("unrecorded",)),
    ("unrecorded", "delete_node_from", ("unrecorded",)),
    ("unrecorded", "clear", ("unrecorded",)),
    ("added", "add_edge", ("added", 2.0)),
    ("added", "delete_edge", ("deleted",)),
    ("added", "delete_node_to", ("deleted",)),
    ("added", "delete_node_from", ("unrecorded",)),
    ("added", "clear", ("unrecorded",)),
    ("deleted", "add_edge", ("added", 2.0)),
    ("deleted", "delete_edge", ("deleted",)),
    ("deleted", "delete_node_to", ("deleted",)),
    ("deleted", "delete_node_from", ("deleted",)),
    ("deleted", "clear", ("unrecorded",)),
]


@pytest.mark.parametrize(
    "before, op, after", EDGE_TRANSITIONS, ids=[f"{b}-{o}" for b, o, _ in EDGE_TRANSITIONS]
)
def test_edge_transitions(diff, before, op, after):
    EDGE_SETUP[before](diff)
    EDGE_OPS[op](diff)
    assert edge_state(diff) == after


@pytest.mark.parametrize("deleted_end", [A, B], ids=["from-deleted", "to-deleted"])
@pytest.mark.parametrize("before", ["unrecorded", "deleted"])
def test_add_edge_with_a_deleted_end_changes_nothing(diff, before, deleted_end):
    EDGE_SETUP[before](diff)
    diff.delete_node(deleted_end)
    expected = snapshot(diff)
    assert diff.add_edge(A, B, 2.0) is None
    assert snapshot(diff) == expected
    assert edge_state(diff) == (before,)


def test_add_edge_with_a_deleted_end_keeps_a_loaded_edge():
    # Only a decoded diff can hold an added edge whose end is marked deleted.
    d = PyGraphDiff.from_bytes(document(deleted_nodes=[B], edges=[(A, [(B, 1.0)])]))
    d.add_edge(A, B, 2.0)
    assert edge_state(d) == ("added", 1.0)


def test_self_loop_follows_delete_node_from(diff):
    diff.add_edge(X, X, 1.0)
    diff.delete_node(X)
    assert diff.new_or_updated_edges() == {} and diff.deleted_edges() == {}
    other = PyGraphDiff()
    other.delete_edge(X, X)
    other.delete_node(X)
    assert other.deleted_edges() == {text(X): [text(X)]}


def test_delete_node_cancels_pending_edges(diff):
    diff.add_edge(A, X, 1.0)
    diff.add_edge(X, B, 1.0)
    diff.add_edge(X, X, 1.0)
    diff.add_edge(C, B, 1.0)
    diff.delete_node(X)
    assert diff.deleted_edges() == {text(A): [text(X)]}
    assert diff.new_or_updated_edges() == {text(C): {text(B): 1.0}}
    # A's emptied group still counts, next to its new deleted-edge group.
    assert diff.num_edges() == 3
    assert diff.deleted_nodes() == [text(X)]


def test_edge_weights_replace_and_narrow(diff):
    diff.add_edge(A, B, 1.0)
    diff.add_edge(A, B, 2)
    diff.add_edge(A, C, 1e300)
    assert diff.new_or_updated_edges() == {text(A): {text(B): 2.0, text(C): math.inf}}
    assert diff.num_edges() == 1


def test_delete_edge_then_add_removes_the_deleted_group(diff):
    diff.delete_edge(A, B)
    diff.add_edge(A, B, 0.5)
    assert diff.deleted_edges() == {}
    assert diff.num_edges() == 1


def test_add_edge_then_delete_removes_the_added_group(diff):
    diff.add_edge(A, B, 0.5)
    diff.delete_edge(A, B)
    assert diff.new_or_updated_edges() == {}
    assert diff.deleted_edges() == {text(A): [text(B)]}
    assert diff.num_edges() == 1


def test_clear_then_reuse(diff):
    diff.add_node(A, OLD)
    diff.delete_node(B)
    diff.add_edge(A, C, 1.0)
    diff.delete_edge(C, A)
    assert diff.clear() is None
    assert (diff.num_nodes(), diff.num_edges()) == (0, 0)
    assert snapshot(diff) == snapshot(PyGraphDiff())
    diff.add_edge(A, B, 1.0)
    diff.add_node(B, {})
    assert (diff.num_nodes(), diff.num_edges()) == (1, 1)


def test_mutations_return_none(diff):
    assert diff.add_node(A, {}) is None
    assert diff.delete_node(B) is None
    assert diff.add_edge(A, C, 1.0) is None
    assert diff.delete_edge(A, C) is None
