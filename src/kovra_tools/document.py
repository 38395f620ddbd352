"""A reader of the graph diff document in plain Python, for the `kovra` command.

The layout is described in docs/format.md. This reader walks a document once and
reports every field it meets, so the same walk gives both an annotated dump
(`annotate`, `dump_lines`) and the content as plain data (`read`). It checks the outer
layer (lengths, id sizes, counts against the bytes left) and shows node records as
their JSON; it does not apply every rule that `PyGraphDiff.from_bytes` applies to
records, so use `from_bytes` to validate a document. `scan` reads the layout alone,
a loop per node and per group rather than per field, for summaries of large documents.
Its fast path (`accepted`, for a document from_bytes has read) skips the checks of the
ids inside groups; its twin is the checked scan, and tests/test_command.py compares the
two on every valid vector.
"""

import json
import math
import struct
import uuid
from collections.abc import Iterator
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
        except (ValueError, RecursionError):  # records may nest a million levels
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
        error.dump = "\n".join(_rows(walk.rows, width))
        raise
    lines = _rows(walk.rows, width)
    lines.append(_ending(doc.length, doc.trailing))
    return "\n".join(lines)


def _ending(length: int, trailing: int) -> str:
    ending = f"-- end: {length} bytes"
    if trailing:
        ending += f", then {trailing} trailing bytes that readers ignore"
    return (ending + " ").ljust(76, "-")


def _heading(text: str) -> str:
    return f"-- {text} ".ljust(76, "-")


def _rows(rows: list[tuple[int, bytes, str] | str], width: int) -> list[str]:
    lines = []
    for item in rows:
        if isinstance(item, str):
            lines.append(_heading(item))
            continue
        offset, chunk, meaning = item
        for start in range(0, len(chunk), width):
            hex_bytes = chunk[start:start + width].hex(" ")
            lines.append(f"{offset + start:04x}  {hex_bytes:<{3 * width - 1}}  "
                         f"{meaning if start == 0 else ''}".rstrip())
    return lines


# ---- the layout alone ----------------------------------------------------------------

_U64 = struct.Struct("<Q")
_ID_LENGTH = _U64.pack(16)
# Bytes of one entry after a group's count: a `to` id with its weight, or a `to` id alone.
_EDGE_BYTES = 24 + 4
_DELETED_EDGE_BYTES = 24


def _need(data: bytes, at: int, size: int, what: str) -> None:
    if len(data) - at < size:
        raise DocumentError(f"{what} at offset {at:#x} needs {size} bytes, only {len(data) - at} remain")


def _count_at(data: bytes, at: int) -> int:
    _need(data, at, 8, "count")
    return struct.unpack_from("<Q", data, at)[0]


def _check_id_lengths(data: bytes, at: int, n: int, stride: int) -> None:
    # One strided slice per byte of the length field: C loops, not one per id.
    if n == 0:
        return
    end = at + n * stride
    for k, byte in enumerate(_ID_LENGTH):
        if data[at + k:end:stride].count(byte) != n:
            for i in range(n):  # find the first one, to say where
                if data[at + i * stride:at + i * stride + 8] != _ID_LENGTH:
                    (length,) = struct.unpack_from("<Q", data, at + i * stride)
                    raise DocumentError(f"id length {length} at offset {at + i * stride:#x} (must be 16)")


def _skip_node(data: bytes, at: int) -> int:
    _need(data, at, 32, "node")
    _check_id_lengths(data, at, 1, 32)
    (length,) = struct.unpack_from("<Q", data, at + 24)
    _need(data, at + 32, length, "node record")
    return at + 32 + length


def _skip_entries(data: bytes, at: int, n: int, stride: int, what: str) -> int:
    _need(data, at, n * stride, what)
    _check_id_lengths(data, at, n, stride)
    return at + n * stride


def _skip_group(data: bytes, at: int) -> tuple[int, int]:
    """The offset after a group's `from` id and count, and that count."""
    _need(data, at, 24, "group")
    _check_id_lengths(data, at, 1, 24)
    return at + 32, _count_at(data, at + 24)


def _skip_nodes(data: bytes, at: int, count: int) -> int:
    """The offset after `count` nodes from `at`: one step per node, the checked step
    only where this one would fail."""
    size, u64 = len(data), _U64.unpack_from
    for _ in range(count):
        if at + 32 > size or not data.startswith(_ID_LENGTH, at):
            _skip_node(data, at)
        after = at + 32 + u64(data, at + 24)[0]
        if after > size:
            _skip_node(data, at)
        at = after
    return at


def _skip_groups(data: bytes, at: int, count: int, stride: int, what: str, accepted: bool,
                 found: list[tuple[int, int]]) -> int:
    """The offset after `count` groups from `at`, each added to `found` as (entries, its
    offset). `accepted`: from_bytes has read the document, so the ids inside the groups
    need no check."""
    size, u64 = len(data), _U64.unpack_from
    for _ in range(count):
        start = at
        if at + 32 > size or not data.startswith(_ID_LENGTH, at):
            _skip_group(data, at)
            _count_at(data, at + 24)
        n = u64(data, at + 24)[0]
        at += 32
        if accepted:
            at += n * stride
        else:
            at = _skip_entries(data, at, n, stride, what)
        found.append((n, start))
    return at


@dataclass
class Section:
    name: str
    offset: int
    length: int = 0
    count: int = 0  # the section's own count: nodes, deleted nodes, or groups
    entries: int = 0  # nodes, deleted nodes, edges or deleted edges


@dataclass
class Layout:
    """Where a document's sections lie, and its groups by size (`scan`)."""

    sections: list[Section]
    length: int  # bytes the four sections take
    trailing: int
    record_bytes: int  # the node records' texts, without their length fields
    groups: list[tuple[int, int]]  # (edges, offset of the `from` id's length) per edge group
    deleted_groups: list[tuple[int, int]]  # the same for the deleted-edge groups

    def id_at(self, data: bytes, offset: int) -> str:
        return str(uuid.UUID(bytes=data[offset + 8:offset + 24]))


def scan(data: bytes, accepted: bool = False) -> Layout:
    """The layout of `data`, checked as `read` checks it but without reading records or
    weights; raises DocumentError where it breaks. `accepted`: from_bytes has read
    `data`, so the ids inside groups need no check (their lengths are 16)."""
    sections = [Section(name, 0) for name in SECTIONS]
    at = 0
    record_bytes = 0
    groups: list[list[tuple[int, int]]] = [[], []]
    for i, section in enumerate(sections):
        section.offset = at
        section.count = _count_at(data, at)
        at += 8
        if i == 0:
            start = at
            at = _skip_nodes(data, at, section.count)
            record_bytes = at - start - 32 * section.count
            section.entries = section.count
        elif i == 1:
            at = _skip_entries(data, at, section.count, 24, "deleted node")
            section.entries = section.count
        else:
            stride = _EDGE_BYTES if i == 2 else _DELETED_EDGE_BYTES
            what = "edge" if i == 2 else "deleted edge"
            at = _skip_groups(data, at, section.count, stride, what, accepted, groups[i - 2])
            section.entries = sum(n for n, _ in groups[i - 2])
        section.length = at - section.offset
    return Layout(sections, at, len(data) - at, record_bytes, groups[0], groups[1])


def node_spans(data: bytes, layout: Layout) -> Iterator[tuple[int, int]]:
    """Where each node of a scanned document starts and ends (its id to its record's end)."""
    at = layout.sections[0].offset + 8
    for _ in range(layout.sections[0].count):
        end = _skip_node(data, at)
        yield at, end
        at = end


def dump_lines(data: bytes, limit: int | None = None, section: str | None = None,
               width: int = 16) -> Iterator[str]:
    """The annotated dump of `annotate`, line by line, showing at most `limit` entries
    of each section (a node, a deleted node, an edge or a deleted edge, with its group's
    heading) and only `section` when given; the rest is skipped by its layout."""
    walk = _Walk(data)

    def flush() -> list[str]:
        lines = _rows(walk.rows, width)
        walk.rows.clear()
        return lines

    def skipped(n: int, what: str, size: int) -> str:
        return f"{n:,} more {what}{'' if n == 1 else 's'} not shown ({size:,} bytes)"

    try:
        for i, name in enumerate(SECTIONS):
            shown = section is None or section == name
            room = (-1 if limit is None else limit) if shown else 0  # entries still to show
            walk.rows.append(f"section {i + 1}: {name}")
            count = walk.count(("node", "deleted node", "group", "group")[i])
            hidden = hidden_bytes = 0
            if i < 2:
                shown_here = count if room < 0 else min(room, count)
                for _ in range(shown_here):
                    walk.node_id("id")
                    if i == 0:
                        walk.record()
                    if shown:
                        yield from flush()
                start = walk.at
                if i == 0:
                    walk.at = _skip_nodes(data, walk.at, count - shown_here)
                else:
                    walk.at = _skip_entries(data, walk.at, count - shown_here, 24, "deleted node")
                hidden, hidden_bytes = count - shown_here, walk.at - start
                what = name[:-1]
            else:
                what, stride = ("edge", _EDGE_BYTES) if i == 2 else ("deleted edge", _DELETED_EDGE_BYTES)
                for k in range(count):
                    if room == 0:  # the remaining groups, skipped at once
                        start, rest = walk.at, []
                        walk.at = _skip_groups(data, walk.at, count - k, stride, what, False, rest)
                        hidden += sum(n for n, _ in rest)
                        hidden_bytes += walk.at - start
                        break
                    walk.node_id("from")
                    n = walk.count(what)
                    shown_here = n if room < 0 else min(room, n)
                    for _ in range(shown_here):
                        walk.node_id("to")
                        if i == 2:
                            walk.weight()
                    room -= shown_here
                    start = walk.at
                    walk.at = _skip_entries(data, walk.at, n - shown_here, stride, what)
                    hidden, hidden_bytes = hidden + n - shown_here, hidden_bytes + walk.at - start
                    if shown:
                        yield from flush()
            if shown and hidden:
                walk.rows.append(skipped(hidden, what, hidden_bytes))
            lines = flush()
            if shown:
                yield from lines
    except DocumentError as error:
        error.dump = "\n".join(flush()) if shown else ""
        raise
    yield _ending(walk.at, len(data) - walk.at)
