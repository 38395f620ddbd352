"""Counts and views: shapes, freshness and the binary32 values they show."""

from kovra_api import PyGraphDiff
from support import A, B, C, D, E, X, document, text


def test_empty_views(diff):
    assert diff.num_nodes() == 0 and diff.num_edges() == 0
    for view, empty in [(diff.new_or_updated_nodes(), {}), (diff.deleted_nodes(), []),
                        (diff.new_or_updated_edges(), {}), (diff.deleted_edges(), {})]:
        assert view == empty and type(view) is type(empty)


def test_node_views(diff):
    diff.add_node(A, {"label": "a"})
    diff.delete_node(B)
    assert diff.num_nodes() == 2
    nodes = diff.new_or_updated_nodes()
    assert type(nodes) is dict and nodes == {text(A): {"label": "a"}}
    assert type(nodes[text(A)]) is dict
    deleted = diff.deleted_nodes()
    assert type(deleted) is list and deleted == [text(B)]


def test_edge_views_and_counts(diff):
    diff.add_edge(A, B, 1.5)
    diff.add_edge(A, C, 2.5)
    diff.delete_edge(D, E)
    assert diff.num_edges() == 2  # `from` entries, not edges
    edges = diff.new_or_updated_edges()
    assert edges == {text(A): {text(B): 1.5, text(C): 2.5}}
    assert all(type(w) is float for w in edges[text(A)].values())
    deleted = diff.deleted_edges()
    assert deleted == {text(D): [text(E)]} and type(deleted[text(D)]) is list


def test_emptied_group_counts_but_is_not_shown(diff):
    diff.add_edge(A, X, 1.0)
    diff.delete_node(X)
    assert diff.num_edges() == 2
    assert diff.new_or_updated_edges() == {}
    assert diff.deleted_edges() == {text(A): [text(X)]}


def test_decoded_empty_groups_are_hidden():
    d = PyGraphDiff.from_bytes(document(edges=[(A, [])], deleted_edges=[(B, [])]))
    assert d.num_edges() == 2
    assert d.new_or_updated_edges() == {} and d.deleted_edges() == {}


def test_updated_and_deleted_node_counts_twice():
    d = PyGraphDiff.from_bytes(document(nodes=[(A, "{}")], deleted_nodes=[A]))
    assert d.num_nodes() == 2
    assert d.new_or_updated_nodes() == {text(A): {}} and d.deleted_nodes() == [text(A)]


def test_weights_are_binary32_widened(diff):
    diff.add_edge(A, B, 0.1)
    diff.add_edge(A, C, 1.5)
    assert diff.new_or_updated_edges()[text(A)] == {text(B): 0.10000000149011612, text(C): 1.5}


def test_views_are_fresh_copies(diff):
    diff.add_node(A, {"label": "a"})
    diff.delete_node(B)
    diff.add_edge(A, C, 1.0)
    diff.delete_edge(C, A)
    views = [diff.new_or_updated_nodes(), diff.deleted_nodes(), diff.new_or_updated_edges(),
             diff.deleted_edges()]
    views[0][text(A)]["label"] = "changed"
    views[0]["extra"] = {}
    views[1].append("extra")
    views[2][text(A)][text(C)] = 9.0
    views[3].clear()
    assert diff.new_or_updated_nodes() == {text(A): {"label": "a"}}
    assert diff.deleted_nodes() == [text(B)]
    assert diff.new_or_updated_edges() == {text(A): {text(C): 1.0}}
    assert diff.deleted_edges() == {text(C): [text(A)]}
    # ...and a view taken earlier does not follow later operations.
    earlier = diff.deleted_nodes()
    diff.delete_node(D)
    assert earlier == [text(B)]


def test_repeated_views_keep_their_order(diff):
    for i in range(200):
        node = bytes([i]) * 16
        diff.add_node(node, {"red": i})
        diff.delete_node(bytes([i, 1]) * 8)
        diff.add_edge(node, A, float(i))
        diff.delete_edge(A, node)
    for view in ("new_or_updated_nodes", "deleted_nodes", "new_or_updated_edges",
                 "deleted_edges"):
        first, second = getattr(diff, view)(), getattr(diff, view)()
        assert list(first) == list(second), view
    assert diff.deleted_edges()[text(A)] == diff.deleted_edges()[text(A)]
