"""Documents built to break the reader: each either decodes or fails with the one message.

Inputs that could exhaust memory or the call stack are decoded in a child interpreter
with a limited address space, so a runaway allocation shows as a wrong outcome and a
crash as a dead child rather than a dead test run.
"""

import math
import struct

import pytest

import support
from kovra_api import PyGraphDiff

FAILED = "Failed to deserialize graph diff."
MB = 1024 * 1024

A, B, C, D = (bytes([k]) * 16 for k in (0xA0, 0xB0, 0xC0, 0xD0))


def assert_rejected(data: bytes) -> None:
    with pytest.raises(Exception) as caught:
        PyGraphDiff.from_bytes(data)
    assert type(caught.value) is Exception
    assert caught.value.args == (FAILED,)
    assert caught.value.__cause__ is None


def small_document() -> bytes:
    """Every kind of entry once: a full record, an empty one, a deleted node, an edge,
    an emptied edge group and a deleted edge."""
    d = PyGraphDiff()
    d.add_node(A, {"label": 'a"\\\t\x01é', "size": 0.1, "url": "/u", "red": 255, "green": 0,
                   "blue": 7, "show_label": True})
    d.add_node(B, {})
    d.add_edge(A, B, 0.5)
    d.add_edge(C, D, float("nan"))
    d.add_edge(B, D, -0.0)
    d.delete_node(D)  # empties the groups of B and C, records B->D and C->D as deleted
    d.delete_edge(B, A)
    return d.to_bytes()


def views(diff) -> tuple:
    """Everything a diff shows, order-free, weights by their bits."""
    nodes = diff.new_or_updated_nodes()
    edges = diff.new_or_updated_edges()
    return (
        diff.num_nodes(),
        diff.num_edges(),
        {k: {f: struct.pack("<d", v) if f == "size" else v for f, v in u.items()} for k, u in nodes.items()},
        frozenset(diff.deleted_nodes()),
        {s: {t: struct.pack("<d", w) for t, w in g.items()} for s, g in edges.items()},
        {s: frozenset(g) for s, g in diff.deleted_edges().items()},
    )


def finite_sizes_only(shown: tuple) -> tuple:
    nodes = {
        k: {f: v for f, v in u.items()
            if f != "size" or math.isfinite(struct.unpack("<d", v)[0])}
        for k, u in shown[2].items()
    }
    return (*shown[:2], nodes, *shown[3:])


def check_decoded(data: bytes) -> None:
    """`data` decodes or fails with the one message; a decoded diff agrees with the
    independent reader of the outer layer and survives its own round trip."""
    try:
        outer = support.parse_outer(data)
    except support.DocumentError:
        outer = None
    try:
        diff = PyGraphDiff.from_bytes(data)
    except Exception as exc:
        assert type(exc) is Exception and exc.args == (FAILED,), repr(exc)
        return
    assert outer is not None, "decoded a document whose outer layer is broken"
    shown = views(diff)
    assert shown[0] == len(outer["nodes"]) + len(outer["deleted_nodes"])
    assert shown[1] == len(outer["edges"]) + len(outer["deleted_edges"])
    assert shown[2].keys() == {support.text(k) for k in outer["nodes"]}
    assert shown[3] == {support.text(k) for k in outer["deleted_nodes"]}
    assert shown[4] == {
        support.text(s): {support.text(t): struct.pack("<d", struct.unpack("<f", w)[0]) for t, w in g.items()}
        for s, g in outer["edges"].items() if g
    }
    assert shown[5] == {support.text(s): frozenset(map(support.text, g)) for s, g in outer["deleted_edges"].items() if g}
    again = PyGraphDiff.from_bytes(diff.to_bytes())
    assert views(again) == finite_sizes_only(shown)


def test_small_document_is_what_the_model_reads():
    data = small_document()
    check_decoded(data)
    written = support.model_from_document(data)
    assert written.edges == {A: {B: 0.5}, C: {}}  # delete_edge(B, A) dropped B's empty group
    assert written.deleted_edges == {B: {D, A}, C: {D}}


def test_every_truncation_fails():
    data = small_document()
    for end in range(len(data)):
        assert_rejected(data[:end])


@pytest.mark.parametrize("tail", [b"", b"\0", b"\xff" * 9, bytes(32), small_document()],
                         ids=["none", "zero", "ff run", "empty document", "whole document"])
def test_bytes_after_the_last_section_are_ignored(tail):
    data = small_document()
    assert views(PyGraphDiff.from_bytes(data + tail)) == views(PyGraphDiff.from_bytes(data))


def test_every_single_byte_change():
    data = small_document()
    values = range(256)
    for pos in range(len(data)):
        for value in values:
            if value != data[pos]:
                check_decoded(data[:pos] + bytes([value]) + data[pos + 1:])


def test_every_single_bit_flip_of_a_larger_document():
    d = PyGraphDiff()
    for i in range(6):
        node = bytes([i]) * 16
        d.add_node(node, {"label": "x" * i, "size": i * 1.5, "blue": i})
        d.add_edge(node, bytes([i + 1]) * 16, float(i))
        d.delete_edge(bytes([i + 2]) * 16, node)
    data = d.to_bytes()
    bits = range(8)
    for pos in range(len(data)):
        for bit in bits:
            check_decoded(data[:pos] + bytes([data[pos] ^ (1 << bit)]) + data[pos + 1:])


# Offsets of the count and length fields of this document, laid out by hand.
COUNTED = support.document(
    nodes=[(A, b"{}")],
    deleted_nodes=[B],
    edges=[(A, [(B, 1.0)])],
    deleted_edges=[(C, [D])],
)
FIELDS = {
    "node count": 0,
    "node id length": 8,
    "node text length": 32,
    "deleted node count": 42,
    "deleted node id length": 50,
    "edge group count": 74,
    "edge group id length": 82,
    "edge count": 106,
    "edge target id length": 114,
    "deleted group count": 142,
    "deleted group id length": 150,
    "deleted edge count": 174,
    "deleted edge id length": 182,
}
NEAR_LIMIT = {"2**64-1": 2**64 - 1, "2**64-8": 2**64 - 8, "2**63": 2**63, "2**63-1": 2**63 - 1,
              "2**32": 2**32, "2**32+1": 2**32 + 1, "2**40": 2**40}


def test_counted_document_layout():
    # The offsets above are right: each field holds what the name says.
    for name, offset in FIELDS.items():
        value = struct.unpack_from("<Q", COUNTED, offset)[0]
        assert value == (16 if "length" in name and "text" not in name else 2 if "text" in name else 1), name
    assert len(COUNTED) == 206
    check_decoded(COUNTED)


def hostile_documents() -> dict:
    """Name -> document, for the child run with limited memory."""
    docs = {}
    for field, offset in FIELDS.items():
        for label, value in NEAR_LIMIT.items():
            docs[f"{field} {label}"] = COUNTED[:offset] + support.count(value) + COUNTED[offset + 8:]
    head = support.count(1) + support.node_id(A)
    docs["text length 100 MB, nothing behind"] = head + support.count(100 * MB)
    docs["text length 100 MB, some bytes behind"] = head + support.count(100 * MB) + b"{}" * 1000
    docs["count 2**63, nothing behind"] = support.count(2**63)
    docs["count 2**64-1 of each section"] = support.count(0) * 3 + support.count(2**64 - 1)
    deep = 1_000_000
    docs["unbalanced nesting"] = support.document(nodes=[(A, b'{"x":' + b"[" * deep + b"}")])
    docs["nesting inside label"] = support.document(nodes=[(A, b'{"label":' + b"[" * deep + b"]" * deep + b"}")])
    docs["nesting as the record"] = support.document(nodes=[(A, b"[" * deep + b"]" * deep)])
    docs["nesting under showLabel"] = support.document(nodes=[(A, b'{"showLabel":' + b'{"a":' * deep + b"1" + b"}" * deep + b"}")])
    return docs


def accepted_documents() -> dict:
    """Name -> (document, number of nodes expected)."""
    deep = 1_000_000
    return {
        "arrays a million deep under an unknown key": support.document(
            nodes=[(A, b'{"x":' + b"[" * deep + b"]" * deep + b',"label":"kept"}')]),
        "objects a million deep under an unknown key": support.document(
            nodes=[(A, b'{"deep":' + b'{"a":' * deep + b"[]" + b"}" * deep + b',"label":"kept"}')]),
        "mixed nesting a million deep under show_label": support.document(
            nodes=[(A, b'{"show_label":' + b'[{"a":' * (deep // 2) + b"null" + b"}]" * (deep // 2)
                    + b',"label":"kept"}')]),
    }


def test_hostile_documents_fail_within_bounded_memory():
    docs = hostile_documents()
    # 64 MB above the child's start-up size: a reader that believed a count or a length
    # would run out long before it noticed the input is short.
    outcomes = support.run_child(
        """
        result = {name: outcome(lambda: PyGraphDiff.from_bytes(doc)) for name, doc in payload.items()}
        """,
        payload=docs,
        extra_mb=64,
    )
    assert outcomes == dict.fromkeys(docs, ("Exception", FAILED))


def test_deep_values_under_unknown_keys_are_skipped():
    docs = accepted_documents()
    outcomes = support.run_child(
        """
        result = {}
        for name, doc in payload.items():
            diff = PyGraphDiff.from_bytes(doc)
            result[name] = diff.new_or_updated_nodes()
        """,
        payload=docs,
        extra_mb=256,
    )
    assert outcomes == {name: {support.text(A): {"label": "kept"}} for name in docs}


def one_byte_apart(count: int) -> list:
    """Ids that each differ from one base id in one byte, then ids whose two halves are
    equal or mirrored, which fold to a handful of values under a careless hash."""
    base = bytes.fromhex("00112233445566778899aabbccddeeff")
    ids = []
    for pos in range(16):
        for value in range(256):
            if value != base[pos]:
                ids.append(base[:pos] + bytes([value]) + base[pos + 1:])
    half = 1  # 0 would give the same id three times
    while len(ids) < count:
        h = half.to_bytes(8, "little")
        ids.append(h + h)
        ids.append(h + h[::-1])
        ids.append(h + bytes(b ^ 0xFF for b in h))
        half += 1
    return [base, *ids[: count - 1]]


def test_colliding_looking_ids_in_a_document():
    count = 200_000
    ids = one_byte_apart(count)
    assert len(set(ids)) == count
    half = count // 2
    data = support.document(
        nodes=[(node, b"{}") for node in ids[:half]],
        deleted_nodes=ids[half:],
        edges=[(ids[0], [(node, 1.0) for node in ids])],
        deleted_edges=[(ids[1], ids)],
    )
    result = support.run_child(
        """
        diff = PyGraphDiff.from_bytes(payload)
        result = (diff.num_nodes(), diff.num_edges(), len(diff.new_or_updated_nodes()),
                  len(diff.deleted_nodes()), sum(map(len, diff.new_or_updated_edges().values())),
                  sum(map(len, diff.deleted_edges().values())), PyGraphDiff.from_bytes(diff.to_bytes()).num_nodes())
        """,
        payload=data,
    )
    assert result == (count, 2, half, count - half, count, count, count)


def test_colliding_looking_ids_through_the_methods():
    count = 100_000
    result = support.run_child(
        """
        ids, hub = payload
        diff = PyGraphDiff()
        for node in ids:
            diff.add_node(node, {"red": 1})
            diff.add_edge(hub, node, 2.0)
            diff.add_edge(node, hub, 3.0)
        for node in ids[::2]:
            diff.delete_node(node)
        for node in ids[1::4]:
            diff.delete_edge(node, hub)
        edges = diff.new_or_updated_edges()
        result = (diff.num_nodes(), len(diff.new_or_updated_nodes()), len(edges[support.text(hub)]),
                  len(edges), len(diff.deleted_edges()), len(diff.deleted_edges()[support.text(hub)]))
        """,
        payload=(one_byte_apart(count), b"\x5a" * 16),
    )
    kept = count // 2
    # hub -> even ids became deleted edges; the odd ids keep theirs, and a quarter of them
    # lost their edge back to the hub.
    assert result == (count, kept, kept, 1 + kept - count // 4, 1 + count // 4, count // 2)


def test_replaced_groups_leave_no_trace():
    # A later group for the same `from` replaces the earlier one whole: edges of the
    # replaced groups must not come back as deleted edges when their target is deleted.
    targets = [bytes([1, k]) * 8 for k in range(200)]
    data = support.document(
        edges=[(A, [(t, float(i))]) for i, t in enumerate(targets)] + [(A, [(B, 1.0), (B, 2.0)])],
        deleted_edges=[(C, [t]) for t in targets] + [(C, [D, D])],
    )
    diff = PyGraphDiff.from_bytes(data)
    assert diff.num_edges() == 2
    assert diff.new_or_updated_edges() == {support.text(A): {support.text(B): 2.0}}
    assert diff.deleted_edges() == {support.text(C): [support.text(D)]}
    for t in targets:
        diff.delete_node(t)
    diff.delete_node(B)
    assert diff.deleted_edges() == {support.text(C): [support.text(D)], support.text(A): [support.text(B)]}
    assert diff.new_or_updated_edges() == {}
    assert diff.num_edges() == 3  # A's emptied group still counts
    for t in targets:
        diff.add_edge(C, t, 1.0)  # refused: t is deleted
    assert diff.num_nodes() == len(targets) + 1
    assert diff.deleted_edges()[support.text(C)] == [support.text(D)]
