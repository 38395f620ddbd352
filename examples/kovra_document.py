"""A reader of the graph diff document in plain Python, for the examples and tools.

The layout is described in docs/format.md. This reader walks a document once and
reports every field it meets, so the same walk gives both an annotated dump
(`annotate`) and the content as plain data (`read`). It checks the outer layer
(lengths, id sizes, counts against the bytes left) and shows node records as their
JSON; it does not apply every rule that `PyGraphDiff.from_bytes` applies to records,
so use `from_bytes` to validate a document.
"""

import json
import math
import struct
import uuid
from dataclasses import dataclass, field
from typing import Any

SECTIONS = ("nodes", "deleted nodes", "edges", "deleted edges")


class DocumentError(ValueError):
    """The bytes are not a graph diff document; the message says where.

    From `annotate`, `dump` holds the annotated rows up to the point of failure.
    """

    dump = ""


def float32_text(value: float) -> str:
    """The text the writer uses for a binary32 `value` (docs/format.md, "The size")."""
    if math.isnan(value) or math.isinf(value):
        return "null"
    sign = "-" if math.copysign(1.0, value) < 0 else ""
    if value == 0:
        return sign + "0.0"
    # The shortest digit count whose correctly rounded text reads back as the same binary32.
    for count in range(1, 10):
        text = f"{abs(value):.{count - 1}e}"
        try:
            if struct.unpack("<f", struct.pack("<f", float(text)))[0] == abs(value):
                break
        except OverflowError:  # rounded past the largest finite binary32
            continue
    mantissa, exponent = text.split("e")
    digits = mantissa.replace(".", "").rstrip("0")
    n, point = len(digits), int(exponent) + 1  # point: p, where the decimal point falls
    if point >= n and point <= 13:
        body = digits + "0" * (point - n) + ".0"
    elif 0 < point <= 13:
        body = digits[:point] + "." + digits[point:]
    elif -5 <= point <= 0:
        body = "0." + "0" * -point + digits
    else:
        body = digits[0] + ("." + digits[1:] if n > 1 else "") + f"e{point - 1}"
    return sign + body


@dataclass
class Document:
    """What a document holds, with ids as UUID texts, as the views show them."""

    nodes: dict[str, Any] = field(default_factory=dict)  # id -> record (parsed JSON, or its text)
    deleted_nodes: list[str] = field(default_factory=list)
    edges: dict[str, dict[str, float]] = field(default_factory=dict)
    deleted_edges: dict[str, list[str]] = field(default_factory=dict)
    length: int = 0  # bytes the four sections take
    trailing: int = 0  # bytes after them, which readers ignore


class _Walk:
    """One pass over a document; `rows` collects (offset, bytes, meaning) and headings."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.at = 0
        self.rows: list[tuple[int, bytes, str] | str] = []

    def take(self, size: int, what: str) -> bytes:
        if len(self.data) - self.at < size:
            raise DocumentError(
                f"{what} at offset {self.at:#x} needs {size} bytes, only {len(self.data) - self.at} remain"
            )
        chunk = self.data[self.at:self.at + size]
        self.at += size
        return chunk

    def row(self, offset: int, meaning: str) -> None:
        self.rows.append((offset, self.data[offset:self.at], meaning))

    def u64(self, label: str) -> int:
        start = self.at
        (value,) = struct.unpack("<Q", self.take(8, label))
        self.row(start, f"{label}: {value}")
        return value

    def count(self, unit: str) -> int:
        # Any value is taken: a count the input cannot hold fails at the first missing byte.
        start = self.at
        value = struct.unpack("<Q", self.take(8, "count"))[0]
        self.row(start, f"count: {value} {unit}{'' if value == 1 else 's'}")
        return value

    def node_id(self, role: str) -> str:
        length = self.u64("id length")
        if length != 16:
            raise DocumentError(f"id length {length} at offset {self.at - 8:#x} (must be 16)")
        start = self.at
        text = str(uuid.UUID(bytes=self.take(16, "node id")))
        self.row(start, f"{role} {text}")
        return text

    def record(self) -> Any:
        length = self.u64("record length")
        start = self.at
        raw = self.take(length, "node record")
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError as error:
            raise DocumentError(f"record at offset {start:#x} is not UTF-8") from error
        self.row(start, f"record {text}")
        try:
            record = json.loads(text)
        except ValueError:
            return text
        # Sizes are binary32: the text's nearest one, as the view shows it.
        size = record.get("size") if isinstance(record, dict) else None
        if isinstance(size, (int, float)) and not isinstance(size, bool):
            try:
                record["size"] = struct.unpack("<f", struct.pack("<f", size))[0]
            except OverflowError:  # beyond binary32: an infinity, as the module reads it
                record["size"] = math.copysign(math.inf, size)
        return record

    def weight(self) -> float:
        start = self.at
        raw = self.take(4, "weight")
        (value,) = struct.unpack("<f", raw)
        self.row(start, f"weight {float32_text(value) if math.isfinite(value) else value}"
                        f" (binary32 {int.from_bytes(raw, 'little'):#010x})")
        return value


def _walk(data: bytes, walk: _Walk) -> Document:
    doc = Document()
    walk.rows.append(f"section 1: {SECTIONS[0]}")
    for _ in range(walk.count("node")):
        node = walk.node_id("id")
        doc.nodes[node] = walk.record()
    walk.rows.append(f"section 2: {SECTIONS[1]}")
    for _ in range(walk.count("deleted node")):
        node = walk.node_id("id")
        if node not in doc.deleted_nodes:
            doc.deleted_nodes.append(node)
    walk.rows.append(f"section 3: {SECTIONS[2]}")
    for _ in range(walk.count("group")):
        source = walk.node_id("from")
        targets = doc.edges[source] = {}  # a repeated `from` replaces the earlier group
        for _ in range(walk.count("edge")):
            target = walk.node_id("to")
            targets[target] = walk.weight()
    walk.rows.append(f"section 4: {SECTIONS[3]}")
    for _ in range(walk.count("group")):
        source = walk.node_id("from")
        gone = doc.deleted_edges[source] = []
        for _ in range(walk.count("deleted edge")):
            target = walk.node_id("to")
            if target not in gone:
                gone.append(target)
    doc.length, doc.trailing = walk.at, len(data) - walk.at
    return doc


def read(data: bytes) -> Document:
    """The document's content; raises DocumentError where the layout is broken."""
    return _walk(data, _Walk(data))


def annotate(data: bytes, width: int = 16) -> str:
    """The document as hex rows with each field's meaning, its sections marked."""
    walk = _Walk(data)
    try:
        doc = _walk(data, walk)
    except DocumentError as error:
        error.dump = "\n".join(_rows(walk, width))
        raise
    lines = _rows(walk, width)
    ending = f"-- end: {doc.length} bytes"
    if doc.trailing:
        ending += f", then {doc.trailing} trailing bytes that readers ignore"
    lines.append((ending + " ").ljust(76, "-"))
    return "\n".join(lines)


def _rows(walk: _Walk, width: int) -> list[str]:
    lines = []
    for item in walk.rows:
        if isinstance(item, str):
            lines.append(f"-- {item} ".ljust(76, "-"))
            continue
        offset, chunk, meaning = item
        for start in range(0, len(chunk), width):
            hex_bytes = chunk[start:start + width].hex(" ")
            lines.append(f"{offset + start:04x}  {hex_bytes:<{3 * width - 1}}  "
                         f"{meaning if start == 0 else ''}".rstrip())
    return lines


def to_json(doc: Document) -> str:
    """The content as JSON; weights that JSON cannot hold (NaN, infinities) become text."""

    def weight(value: float) -> float | str:
        return value if math.isfinite(value) else str(value)

    return json.dumps(
        {
            "new_or_updated_nodes": doc.nodes,
            "deleted_nodes": doc.deleted_nodes,
            "new_or_updated_edges": {
                source: {target: weight(w) for target, w in targets.items()}
                for source, targets in doc.edges.items()
            },
            "deleted_edges": doc.deleted_edges,
            "length": doc.length,
            "trailing_bytes": doc.trailing,
        },
        indent=2,
        ensure_ascii=False,
    )
