"""Shared node ids and helpers for the tests."""

import struct
import uuid

# Sixteen consecutive byte values each, as in the annotated example of docs/format.md.
A = bytes(range(0xA0, 0xB0))
B = bytes(range(0xB0, 0xC0))
C = bytes(range(0xC0, 0xD0))
D = bytes(range(0xD0, 0xE0))
E = bytes(range(0xE0, 0xF0))
X = bytes(range(0x10, 0x20))


def text(node: bytes) -> str:
    """The text form a view uses for `node`."""
    return str(uuid.UUID(bytes=node))


def f32(value: float) -> float:
    """`value` narrowed to binary32 and widened back, as the diff stores it."""
    return struct.unpack("<f", struct.pack("<f", value))[0]


def snapshot(diff) -> tuple:
    """Everything a diff shows, for before/after comparisons."""
    return (
        diff.new_or_updated_nodes(),
        sorted(diff.deleted_nodes()),
        diff.new_or_updated_edges(),
        {k: sorted(v) for k, v in diff.deleted_edges().items()},
        diff.num_nodes(),
        diff.num_edges(),
    )


# ---- graph diff documents, built piece by piece --------------------------------------


def count(n: int) -> bytes:
    return struct.pack("<Q", n)


def node_id(node: bytes) -> bytes:
    return count(len(node)) + node


def record(json_text: str | bytes) -> bytes:
    data = json_text.encode() if isinstance(json_text, str) else json_text
    return count(len(data)) + data


def weight(value: float) -> bytes:
    return struct.pack("<f", value)


def document(nodes=(), deleted=(), edges=(), deleted_edges=()) -> bytes:
    """nodes: (id, record text); edges: (from, [(to, weight)]); deleted_edges: (from, [to])."""
    out = count(len(nodes))
    out += b"".join(node_id(n) + record(t) for n, t in nodes)
    out += count(len(deleted)) + b"".join(node_id(n) for n in deleted)
    out += count(len(edges))
    for source, targets in edges:
        out += node_id(source) + count(len(targets))
        out += b"".join(node_id(t) + weight(w) for t, w in targets)
    out += count(len(deleted_edges))
    for source, targets in deleted_edges:
        out += node_id(source) + count(len(targets)) + b"".join(node_id(t) for t in targets)
    return out
