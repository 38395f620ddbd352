"""Shared helpers for the tests: node ids, a pure-Python model of a graph diff, documents
built by hand and read back, and a fresh interpreter with limited memory.

The model replays the combination rules on plain dicts and sets so that the module's
counts, views and documents can be checked against it after any sequence of calls.
Node ids are kept as 16-byte `bytes`; the views give them as 36-character texts.
"""

from __future__ import annotations

import json
import math
import os
import pickle
import struct
import subprocess
import sys
import textwrap
import uuid

# Sixteen consecutive byte values each: ids that are easy to spot in a hex dump.
A = bytes(range(0xA0, 0xB0))
B = bytes(range(0xB0, 0xC0))
C = bytes(range(0xC0, 0xD0))
D = bytes(range(0xD0, 0xE0))
E = bytes(range(0xE0, 0xF0))
X = bytes(range(0x10, 0x20))


FIELDS = ("label", "url", "size", "red", "green", "blue", "show_label")
DOCUMENT_KEYS = {
    "label": "label",
    "size": "size",
    "url": "url",
    "red": "red",
    "green": "green",
    "blue": "blue",
    "showLabel": "show_label",
}


def f32(value: float) -> float:
    """The binary32 value nearest to `value`, widened back to a Python float."""
    value = float(value)
    try:
        return struct.unpack("<f", struct.pack("<f", value))[0]
    except OverflowError:  # beyond the binary32 range: the cast gives an infinity
        return math.copysign(math.inf, value)


def same_float(a: float, b: float) -> bool:
    """Equality by bits, so that NaN equals itself and 0.0 differs from -0.0."""
    return struct.pack("<d", a) == struct.pack("<d", b)


def text(node: bytes) -> str:
    """The text form a view uses for `node`."""
    return str(uuid.UUID(bytes=node))


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


def normalize_update(update: dict) -> dict:
    """The stored form of an `update` argument the module accepted: its known keys only."""
    stored = {}
    for key in FIELDS:
        if key not in update:
            continue
        value = update[key]
        if key == "size":
            stored[key] = f32(value)
        elif key in ("red", "green", "blue"):
            stored[key] = int(value)
        elif key == "show_label":
            stored[key] = bool(value)
        else:
            stored[key] = str(value)
    return stored


class GraphDiffModel:
    """The four collections and the five mutating operations, on plain dicts and sets."""

    def __init__(self) -> None:
        self.nodes: dict[bytes, dict] = {}
        self.deleted_nodes: set[bytes] = set()
        self.edges: dict[bytes, dict[bytes, float]] = {}
        self.deleted_edges: dict[bytes, set[bytes]] = {}

    def copy(self) -> GraphDiffModel:
        other = GraphDiffModel()
        other.nodes = {k: dict(v) for k, v in self.nodes.items()}
        other.deleted_nodes = set(self.deleted_nodes)
        other.edges = {k: dict(v) for k, v in self.edges.items()}
        other.deleted_edges = {k: set(v) for k, v in self.deleted_edges.items()}
        return other

    # Mutations. `update` and `weight` are given as the module received them.

    def add_node(self, node: bytes, update: dict) -> None:
        self.nodes.setdefault(node, {}).update(normalize_update(update))
        self.deleted_nodes.discard(node)

    def delete_node(self, node: bytes) -> None:
        self.nodes.pop(node, None)
        self.edges.pop(node, None)
        for source, targets in self.edges.items():
            if node in targets:
                self.deleted_edges.setdefault(source, set()).add(node)
                del targets[node]  # an emptied group stays, counted but not shown
        self.deleted_nodes.add(node)

    def add_edge(self, source: bytes, target: bytes, weight: float) -> bool:
        if source in self.deleted_nodes or target in self.deleted_nodes:
            return False
        gone = self.deleted_edges.get(source)
        if gone is not None:
            gone.discard(target)
            if not gone:
                del self.deleted_edges[source]
        self.edges.setdefault(source, {})[target] = f32(weight)
        return True

    def delete_edge(self, source: bytes, target: bytes) -> None:
        self.deleted_edges.setdefault(source, set()).add(target)
        targets = self.edges.get(source)
        if targets is not None:
            targets.pop(target, None)
            if not targets:
                del self.edges[source]

    def clear(self) -> None:
        self.__init__()

    def after_round_trip(self) -> None:
        """A document carries no NaN or infinite size: those come back absent."""
        for update in self.nodes.values():
            size = update.get("size")
            if size is not None and not math.isfinite(size):
                del update["size"]

    # Queries, in the shapes the module returns (orders aside).

    def num_nodes(self) -> int:
        return len(self.nodes) + len(self.deleted_nodes)

    def num_edges(self) -> int:
        return len(self.edges) + len(self.deleted_edges)

    def new_or_updated_nodes(self) -> dict:
        return {text(k): dict(v) for k, v in self.nodes.items()}

    def deleted_nodes_view(self) -> set:
        return {text(k) for k in self.deleted_nodes}

    def new_or_updated_edges(self) -> dict:
        return {
            text(s): {text(t): w for t, w in targets.items()}
            for s, targets in self.edges.items()
            if targets
        }

    def deleted_edges_view(self) -> dict:
        return {text(s): {text(t) for t in targets} for s, targets in self.deleted_edges.items() if targets}

    def check_invariants(self) -> None:
        assert not (self.nodes.keys() & self.deleted_nodes)
        for source, targets in self.edges.items():
            assert not (targets.keys() & self.deleted_edges.get(source, set()))
            if targets:
                assert source not in self.deleted_nodes
            assert not (targets.keys() & self.deleted_nodes)
        assert all(self.deleted_edges.values())


def assert_floats_equal(actual: float, expected: float, where: str) -> None:
    assert type(actual) is float, where
    assert same_float(actual, expected), f"{where}: {actual!r} != {expected!r}"


def assert_update_equal(actual: dict, expected: dict, where: str) -> None:
    assert type(actual) is dict, where
    assert actual.keys() == expected.keys(), f"{where}: {actual!r} != {expected!r}"
    for key, value in expected.items():
        got = actual[key]
        if key == "size":
            assert_floats_equal(got, value, f"{where}[size]")
        else:
            assert type(got) is type(value) and got == value, f"{where}[{key}]: {got!r} != {value!r}"


def assert_matches(diff, model: GraphDiffModel) -> None:
    """Counts and all four views of `diff` equal the model; orders are ignored."""
    assert diff.num_nodes() == model.num_nodes()
    assert diff.num_edges() == model.num_edges()

    nodes = diff.new_or_updated_nodes()
    expected_nodes = model.new_or_updated_nodes()
    assert type(nodes) is dict
    assert nodes.keys() == expected_nodes.keys()
    for key, update in expected_nodes.items():
        assert_update_equal(nodes[key], update, f"node {key}")

    deleted = diff.deleted_nodes()
    assert type(deleted) is list
    assert len(deleted) == len(set(deleted))
    assert set(deleted) == model.deleted_nodes_view()

    edges = diff.new_or_updated_edges()
    expected_edges = model.new_or_updated_edges()
    assert type(edges) is dict
    assert edges.keys() == expected_edges.keys()
    for source, targets in expected_edges.items():
        assert type(edges[source]) is dict
        assert edges[source].keys() == targets.keys()
        for target, weight in targets.items():
            assert_floats_equal(edges[source][target], weight, f"edge {source}->{target}")

    gone = diff.deleted_edges()
    assert type(gone) is dict
    assert all(type(v) is list and len(v) == len(set(v)) for v in gone.values())
    assert {k: set(v) for k, v in gone.items()} == model.deleted_edges_view()


# The document's outer layer, read the way the reader reads it.


class DocumentError(ValueError):
    pass


class _Cursor:
    def __init__(self, data: bytes) -> None:
        self.data = memoryview(data)
        self.pos = 0

    def take(self, n: int) -> bytes:
        if n > len(self.data) - self.pos:
            raise DocumentError(f"short input at {self.pos}")
        chunk = bytes(self.data[self.pos : self.pos + n])
        self.pos += n
        return chunk

    def u64(self) -> int:
        return struct.unpack("<Q", self.take(8))[0]

    def node_id(self) -> bytes:
        length = self.u64()
        if length > len(self.data) - self.pos or length != 16:
            raise DocumentError(f"bad id length {length}")
        return self.take(16)


def parse_outer(data: bytes) -> dict:
    """Reads the four sections; node texts stay raw bytes.

    Returns {"nodes": {id: text}, "deleted_nodes": set, "edges": {from: {to: f32 bits}},
    "deleted_edges": {from: set}, "end": offset after the last section}. Later entries
    replace earlier ones as the reader does. Raises DocumentError where the reader must fail
    in the outer layer (a text's UTF-8 validity included).
    """
    cur = _Cursor(data)
    nodes = {}
    for _ in range(cur.u64()):
        node = cur.node_id()
        length = cur.u64()
        raw = cur.take(length)
        try:
            raw.decode("utf-8")
        except UnicodeDecodeError as exc:
            raise DocumentError("invalid UTF-8") from exc
        nodes[node] = raw
    deleted_nodes = {cur.node_id() for _ in range(cur.u64())}
    edges = {}
    for _ in range(cur.u64()):
        source = cur.node_id()
        group = {}
        for _ in range(cur.u64()):
            target = cur.node_id()
            group[target] = cur.take(4)
        edges[source] = group
    deleted_edges = {}
    for _ in range(cur.u64()):
        source = cur.node_id()
        deleted_edges[source] = {cur.node_id() for _ in range(cur.u64())}
    return {
        "nodes": nodes,
        "deleted_nodes": deleted_nodes,
        "edges": edges,
        "deleted_edges": deleted_edges,
        "end": cur.pos,
    }


def _strict_pairs(pairs):
    keys = [k for k, _ in pairs]
    if len(keys) != len(set(keys)):
        raise DocumentError("duplicate key")
    return dict(pairs)


def record_from_text(raw: bytes) -> dict:
    """Reads a node record text as the writer writes it (object form) into the stored form."""
    obj = json.loads(raw.decode("utf-8"), object_pairs_hook=_strict_pairs)
    stored = {}
    for key, value in obj.items():
        if key in DOCUMENT_KEYS and value is not None:
            field = DOCUMENT_KEYS[key]
            stored[field] = f32(value) if field == "size" else value
    return stored


def model_from_document(data: bytes) -> GraphDiffModel:
    """The model a well-formed document written by `to_bytes` stands for.

    Empty edge groups are kept, so `num_edges` can be checked against it.
    """
    outer = parse_outer(data)
    model = GraphDiffModel()
    model.nodes = {k: record_from_text(v) for k, v in outer["nodes"].items()}
    model.deleted_nodes = set(outer["deleted_nodes"])
    model.edges = {
        s: {t: struct.unpack("<f", w)[0] for t, w in g.items()} for s, g in outer["edges"].items()
    }
    model.deleted_edges = {s: set(g) for s, g in outer["deleted_edges"].items()}
    return model


# Building documents by hand.


def count(n: int) -> bytes:
    return struct.pack("<Q", n)


def node_id(node: bytes) -> bytes:
    return count(len(node)) + node


def record(json_text: str | bytes) -> bytes:
    data = json_text.encode() if isinstance(json_text, str) else json_text
    return count(len(data)) + data


def weight(value: float | bytes) -> bytes:
    """A weight as binary32, or 4 raw bytes as they are."""
    return value if isinstance(value, bytes) else struct.pack("<f", value)


def document(nodes=(), deleted_nodes=(), edges=(), deleted_edges=()) -> bytes:
    """nodes: [(id, record text as str or bytes)]; edges: [(from, [(to, weight float or 4 raw
    bytes)])]; deleted_edges: [(from, [to])]. Lists, so repeated ids can be written on purpose."""
    out = [count(len(nodes))]
    for node, json_text in nodes:
        out += [node_id(node), record(json_text)]
    out.append(count(len(deleted_nodes)))
    out += [node_id(node) for node in deleted_nodes]
    out.append(count(len(edges)))
    for source, targets in edges:
        out += [node_id(source), count(len(targets))]
        out += [node_id(target) + weight(value) for target, value in targets]
    out.append(count(len(deleted_edges)))
    for source, targets in deleted_edges:
        out += [node_id(source), count(len(targets))]
        out += [node_id(target) for target in targets]
    return b"".join(out)


# Running code in a fresh interpreter with its address space limited.

_CHILD = r"""
import os, pickle, resource, sys
payload = pickle.load(sys.stdin.buffer)
import kovra_api, support
from kovra_api import PyGraphDiff

def vm_size():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

def limit_memory(extra):
    # Lifted first: the last limit may have left too little room to read the size.
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
    resource.setrlimit(resource.RLIMIT_AS, (vm_size() + extra, hard))

def lift_limit():
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (hard, hard))

def outcome(call):
    try:
        call()
    except BaseException as exc:
        return (type(exc).__name__, str(exc))
    return ("ok", "")

# A fixed mmap threshold: glibc raises it after the first large free, and large blocks
# then come from free heap space that no address-space limit takes away, so whether a
# call runs out of memory would depend on what ran before it.
import ctypes
ctypes.CDLL(None).mallopt(-3, 128 * 1024)  # M_MMAP_THRESHOLD

EXTRA = int(os.environ["KOVRA_CHILD_EXTRA"])
if EXTRA and not os.environ.get("KOVRA_CHILD_UNLIMITED"):
    limit_memory(EXTRA)
exec(compile(os.environ["KOVRA_CHILD_SOURCE"], "child", "exec"))
pickle.dump(result, sys.stdout.buffer)
"""


def under_address_sanitizer() -> bool:
    """AddressSanitizer reserves terabytes of address space, so RLIMIT_AS cannot apply."""
    return "libasan" in os.environ.get("LD_PRELOAD", "") or os.environ.get("KOVRA_SANITIZE_RUN") == "1"


def run_child(source: str, payload=None, extra_mb: int = 0, hang_guard: float = 900.0):
    """Runs `source` in a new interpreter, with `payload` bound to a name of that name.

    With `extra_mb`, the child's address space is limited to its size after start-up plus
    that much (skipped under AddressSanitizer). The child's `result` is returned; a child
    that dies (a crash, a stack overflow) fails the calling test with its output.
    `hang_guard` only stops a child that never ends; it is no measure of speed.
    """
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(__file__), env.get("PYTHONPATH", "")])
    env["KOVRA_CHILD_SOURCE"] = textwrap.dedent(source)
    env["KOVRA_CHILD_EXTRA"] = str(extra_mb * 1024 * 1024)
    if under_address_sanitizer():
        env["KOVRA_CHILD_UNLIMITED"] = "1"
    proc = subprocess.run(
        [sys.executable, "-c", _CHILD],
        input=pickle.dumps(payload),
        capture_output=True,
        env=env,
        timeout=hang_guard,
    )
    assert proc.returncode == 0, (
        f"child ended with {proc.returncode}:\n{proc.stderr.decode(errors='replace')[-4000:]}"
    )
    return pickle.loads(proc.stdout)


class CallsBack:
    """A number whose conversion calls back into the diff it is being given to."""

    def __init__(self, call):
        self.call = call

    def __float__(self):
        self.call()
        return 1.0

    def __index__(self):
        self.call()
        return 1
