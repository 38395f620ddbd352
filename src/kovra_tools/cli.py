"""The `kovra` command (docs/command.md): one subcommand per task on graph diff documents.

Every failure a user can cause (a missing file, bytes that are no document, a JSON line
the module refuses) ends in one line on stderr, "kovra SUBCOMMAND: ...", and exit status
1; usage errors exit with 2, as argparse does. kovra_api is imported only by the
subcommands that need it, so `view` and `dump` run from a checkout with any Python 3.
"""

from __future__ import annotations

import argparse
import heapq
import json
import math
import os
import re
import struct
import sys
import time
import uuid
from collections.abc import Iterable, Iterator
from pathlib import Path
from typing import Any, NoReturn, TextIO

from kovra_tools import document as doc

# Groups listed by `inspect`, largest first.
LARGEST_GROUPS = 5
# Lines from-json hands to one bulk call: its columns stay a few MB.
BATCH_LINES = 65536
# Progress is redrawn at most this often (seconds), and only on a terminal.
PROGRESS_EVERY = 0.25
# How `json` writes a non-finite binary32 (JSON has no NaN or infinity), and
# from-json reads it back; any other NaN is written "nan:0x" and its 8 hex digits.
NON_FINITE = {0x7F800000: "inf", 0xFF800000: "-inf", 0x7FC00000: "nan"}
KINDS = ("node", "deleted_node", "edge", "deleted_edge")
# What a document may hold that no sequence of method calls builds (`kovra json` says so).
UNBUILDABLE_PLURAL = {
    "node both updated and deleted": "nodes both updated and deleted",
    "edge at a deleted node": "edges at a deleted node",
    "edge both gained and deleted": "edges both gained and deleted",
    "empty group": "empty groups",
}


class Failure(Exception):
    """A user's error: its text is the whole line shown after "kovra SUBCOMMAND: "."""


class Progress:
    """A line on stderr, rewritten in place, while long work runs on a terminal."""

    def __init__(self, stream: TextIO = sys.stderr) -> None:
        self.stream = stream if stream.isatty() else None
        self.last = 0.0
        self.shown = False

    def __call__(self, text: str) -> None:
        if self.stream is None or time.monotonic() - self.last < PROGRESS_EVERY:
            return
        self.last = time.monotonic()
        self.stream.write(f"\r\x1b[K{text}")
        self.stream.flush()
        self.shown = True

    def done(self) -> None:
        if self.shown and self.stream is not None:
            self.stream.write("\r\x1b[K")
            self.stream.flush()


def read_input(name: str) -> bytes:
    if name == "-":
        return sys.stdin.buffer.read()
    try:
        return Path(name).read_bytes()
    except OSError as error:
        raise Failure(f"{name}: {error.strerror}") from None


def load(name: str, data: bytes) -> Any:
    """The diff `data` holds, or a Failure that says where the document breaks."""
    from kovra_api import PyGraphDiff

    try:
        return PyGraphDiff.from_bytes(data)
    except Exception:
        raise Failure(f"{name}: not a graph diff document: {why_refused(data)}") from None


def why_refused(data: bytes) -> str:
    """What from_bytes found wrong with `data`, found by the plain reader (its message
    says only that it failed)."""
    from kovra_api import PyGraphDiff

    try:
        layout = doc.scan(data)
    except doc.DocumentError as error:
        return str(error)
    # The outer layer holds, so a node record breaks the rules. The last record of each
    # id counts, and is tried alone; an earlier one of a repeated id need only be UTF-8.
    entries = list(doc.node_spans(data, layout))
    last = {data[start + 8:start + 24]: start for start, _ in entries}
    for start, end in entries:
        record = data[start + 32:end]
        if last[data[start + 8:start + 24]] != start:
            try:
                record.decode("utf-8")
            except UnicodeDecodeError:
                return f"the record at offset {start + 32:#x} is not UTF-8"
            continue
        try:  # the node alone, then three empty sections
            PyGraphDiff.from_bytes(struct.pack("<Q", 1) + data[start:end] + bytes(24))
        except Exception:
            return (f"the record at offset {start + 32:#x} breaks the record rules of "
                    "docs/format.md: " + record[:60].decode("utf-8", "replace"))
    return "refused by from_bytes"


def write_output(name: str, data: bytes) -> None:
    try:
        Path(name).write_bytes(data)
    except OSError as error:
        raise Failure(f"{name}: {error.strerror}") from None


# ---- inspect ---------------------------------------------------------------------------------


def summarise(name: str, data: bytes) -> dict[str, Any]:
    """What `inspect` reports, as plain data (the --json output)."""
    diff = load(name, data)
    layout = doc.scan(data, accepted=True)

    def largest(groups: list[tuple[int, int]], key: str) -> list[dict[str, Any]]:
        top = heapq.nlargest(LARGEST_GROUPS, groups, key=lambda group: group[0])
        return [{"from": layout.id_at(data, offset), key: n, "offset": offset} for n, offset in top]

    return {
        "file": name,
        "bytes": len(data),
        "valid": True,
        "sections": [
            {"name": s.name, "offset": s.offset, "bytes": s.length, "count": s.count, "entries": s.entries}
            for s in layout.sections
        ],
        "record_bytes": layout.record_bytes,
        "trailing_bytes": layout.trailing,
        "num_nodes": diff.num_nodes(),
        "num_edges": diff.num_edges(),
        "largest_edge_groups": largest(layout.groups, "edges"),
        "largest_deleted_edge_groups": largest(layout.deleted_groups, "deleted_edges"),
    }


def n(value: int) -> str:
    return f"{value:,}"


def plural(value: int, word: str) -> str:
    return f"{n(value)} {word}{'' if value == 1 else 's'}"


def inspect_text(s: dict[str, Any]) -> Iterator[str]:
    yield f"{s['file']}: a graph diff document of {plural(s['bytes'], 'byte')}"
    rows = [("section", "offset", "bytes", "holds")]
    words = [("node", None), ("deleted node", None), ("edge", "group"), ("deleted edge", "group")]
    for section, (entry, group) in zip(s["sections"], words):
        holds = plural(section["entries"], entry)
        if group:
            holds += f" in {plural(section['count'], group)}"
        elif entry == "node":
            holds += f" (records: {plural(s['record_bytes'], 'byte')})"
        rows.append((section["name"], n(section["offset"]), n(section["bytes"]), holds))
    if s["trailing_bytes"]:
        rows.append(("trailing", n(s["bytes"] - s["trailing_bytes"]), n(s["trailing_bytes"]),
                     "ignored by readers"))
    widths = [max(len(row[i]) for row in rows) for i in range(3)]
    for row in rows:
        yield f"  {row[0]:<{widths[0]}}  {row[1]:>{widths[1]}}  {row[2]:>{widths[2]}}  {row[3]}"
    yield (f"num_nodes() {n(s['num_nodes'])}: new or updated nodes plus deleted nodes")
    yield (f"num_edges() {n(s['num_edges'])}: `from` entries (groups) of the edges and the "
           "deleted edges, not edges")
    for key, title, word in [("largest_edge_groups", "Largest edge groups", "edge"),
                             ("largest_deleted_edge_groups", "Largest deleted-edge groups", "deleted edge")]:
        if s[key]:
            yield f"{title}:"
            count_key = "edges" if word == "edge" else "deleted_edges"
            width = max(len(plural(g[count_key], word)) for g in s[key])
            for g in s[key]:
                yield f"  {plural(g[count_key], word):>{width}} from {g['from']} (offset {g['offset']:#x})"


def run_inspect(args: argparse.Namespace) -> None:
    summary = summarise(args.file, read_input(args.file))
    if args.json:
        print(json.dumps(summary, indent=2))
    else:
        print("\n".join(inspect_text(summary)))


# ---- dump ------------------------------------------------------------------------------------


def run_dump(args: argparse.Namespace) -> None:
    data = read_input(args.file)
    section = args.section.replace("-", " ") if args.section else None
    try:
        for line in doc.dump_lines(data, limit=args.limit, section=section):
            print(line)
    except doc.DocumentError as error:
        if error.dump:
            print(error.dump, flush=True)
        raise Failure(f"{args.file}: not a graph diff document: {error}") from None


# ---- json and from-json ----------------------------------------------------------------------


def id_texts(column: bytes) -> Iterator[str]:
    """The text form of each 16-byte id of a packed column."""
    digits = column.hex()
    for at in range(0, len(digits), 32):
        x = digits[at:at + 32]
        yield f"{x[:8]}-{x[8:12]}-{x[12:16]}-{x[16:20]}-{x[20:]}"


def weight_json(bits: int, value: float) -> str:
    if math.isfinite(value):
        return repr(value)  # the binary32 widened, as the views give it: exact on the way back
    return json.dumps(NON_FINITE.get(bits, f"nan:{bits:#010x}"))


def number_json(value: float) -> float | str:
    # Sizes: a binary32 widened; an infinite one cannot be written as JSON.
    if math.isfinite(value):
        return value
    return "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")


def json_lines(diff: Any, progress: Progress, unbuildable: dict[str, int] | None = None) -> Iterator[str]:
    """The diff's content as JSON Lines. `unbuildable` counts what no sequence of method
    calls builds, so that from-json of these lines cannot give back the same document."""
    found = unbuildable if unbuildable is not None else {}
    deleted_list = diff.deleted_nodes()
    deleted = set(deleted_list)
    for node, update in diff.new_or_updated_nodes().items():
        if node in deleted:
            found["node both updated and deleted"] = found.get("node both updated and deleted", 0) + 1
        if "size" in update:
            update["size"] = number_json(update["size"])
        yield json.dumps({"type": "node", "id": node, "update": update}, ensure_ascii=False)
    for node in deleted_list:
        yield f'{{"type": "deleted_node", "id": "{node}"}}'
    groups = 0
    cut_sources, cut_targets = diff.deleted_edges_columns()
    cut = set(zip(id_texts(cut_sources), id_texts(cut_targets)))
    sources, targets, weights = diff.edges_columns()
    total = len(weights) // 4
    rows = zip(id_texts(sources), id_texts(targets), struct.iter_unpack("<I", weights),
               struct.iter_unpack("<f", weights))
    last = None
    for i, (source, target, (bits,), (value,)) in enumerate(rows):
        if i % 4096 == 0:
            progress(f"kovra json: {n(i)} of {plural(total, 'edge')}")
        if source != last:
            groups, last = groups + 1, source
        if deleted and (source in deleted or target in deleted):
            found["edge at a deleted node"] = found.get("edge at a deleted node", 0) + 1
        if cut and (source, target) in cut:
            found["edge both gained and deleted"] = found.get("edge both gained and deleted", 0) + 1
        yield f'{{"type": "edge", "from": "{source}", "to": "{target}", "weight": {weight_json(bits, value)}}}'
    last = None
    for source, target in zip(id_texts(cut_sources), id_texts(cut_targets)):
        if source != last:
            groups, last = groups + 1, source
        yield f'{{"type": "deleted_edge", "from": "{source}", "to": "{target}"}}'
    # num_edges() counts every group; the views, and so these lines, only those with rows.
    if diff.num_edges() > groups:
        found["empty group"] = diff.num_edges() - groups


def run_json(args: argparse.Namespace) -> None:
    data = read_input(args.file)
    diff = load(args.file, data)
    progress = Progress()
    out = sys.stdout
    unbuildable: dict[str, int] = {}
    for line in json_lines(diff, progress, unbuildable):
        out.write(line)
        out.write("\n")
    progress.done()
    if unbuildable:
        what = ", ".join(f"{n(count)} {kind if count == 1 else UNBUILDABLE_PLURAL[kind]}"
                         for kind, count in unbuildable.items())
        print(f"kovra json: note: {args.file} holds what no method calls build ({what}); "
              "from-json of these lines gives a document without it", file=sys.stderr)


def parse_id(value: Any, where: str, key: str) -> bytes:
    if not isinstance(value, str):
        raise Failure(f"{where}: \"{key}\" must be an id as text")
    try:
        return uuid.UUID(value).bytes
    except ValueError:
        raise Failure(f"{where}: \"{key}\" is not a UUID: {value!r}") from None


def parse_weight(value: Any, where: str) -> bytes:
    """The weight's binary32, little-endian."""
    if isinstance(value, str):
        bits = next((b for b, text in NON_FINITE.items() if text == value), None)
        if bits is None and value.startswith("nan:0x"):
            try:
                bits = int(value[4:], 16)
            except ValueError:
                bits = None
            if bits is not None and not (bits & 0x7F800000 == 0x7F800000 and bits & 0x7FFFFF):
                bits = None
        if bits is None:
            raise Failure(f"{where}: \"weight\" is a number, or one of \"inf\", \"-inf\", \"nan\", "
                          f"\"nan:0x7fc00001\"; not {value!r}")
        return struct.pack("<I", bits)
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise Failure(f"{where}: \"weight\" is a number, not {json.dumps(value)}")
    try:
        return struct.pack("<f", value)
    except OverflowError:  # beyond binary32, as add_edge takes it
        return struct.pack("<f", math.copysign(math.inf, value))


FIELDS = {"node": ("id", "update"), "deleted_node": ("id",), "edge": ("from", "to", "weight"),
          "deleted_edge": ("from", "to")}


def parse_line(text: str, where: str) -> tuple[str, tuple[Any, ...]]:
    try:
        record = json.loads(text)
    except ValueError as error:
        raise Failure(f"{where}: not JSON: {error}") from None
    if not isinstance(record, dict) or record.get("type") not in FIELDS:
        raise Failure(f"{where}: a line is an object whose \"type\" is one of {', '.join(KINDS)}")
    kind = record["type"]
    keys = set(record) - {"type"}
    if keys != set(FIELDS[kind]):
        raise Failure(f"{where}: a {kind} line has the keys \"type\", "
                      + ", ".join(f'"{k}"' for k in FIELDS[kind]) + f"; this one has {sorted(keys)}")
    if kind == "node":
        update = record["update"]
        if not isinstance(update, dict):
            raise Failure(f"{where}: \"update\" must be an object")
        if isinstance(update.get("size"), str) and update["size"] in ("inf", "-inf", "nan"):
            update["size"] = float(update["size"])
        return kind, (parse_id(record["id"], where, "id"), update)
    if kind == "deleted_node":
        return kind, (parse_id(record["id"], where, "id"),)
    ends = (parse_id(record["from"], where, "from"), parse_id(record["to"], where, "to"))
    if kind == "edge":
        return kind, (*ends, parse_weight(record["weight"], where))
    return kind, ends


def apply_batch(diff: Any, kind: str, rows: list[tuple[Any, ...]], first_line: int, name: str) -> None:
    """The rows of consecutive lines of one kind, as one bulk call (all or nothing); if it
    fails, the single calls in turn name the line that fails."""
    columns = list(zip(*rows))
    bulk = {
        "node": lambda: diff.add_nodes(b"".join(columns[0]), list(columns[1])),
        "deleted_node": lambda: diff.delete_nodes(b"".join(columns[0])),
        "edge": lambda: diff.add_edges(b"".join(columns[0]), b"".join(columns[1]),
                                       memoryview(b"".join(columns[2])).cast("f")),
        "deleted_edge": lambda: diff.delete_edges(b"".join(columns[0]), b"".join(columns[1])),
    }[kind]
    try:
        bulk()
        return
    except Exception:
        pass
    single = {
        "node": diff.add_node,
        "deleted_node": diff.delete_node,
        "edge": lambda a, b, w: diff.add_edges(a, b, memoryview(w).cast("f")),
        "deleted_edge": diff.delete_edge,
    }[kind]
    for i, row in enumerate(rows):
        try:
            single(*row)
        except Exception as error:
            notes = "".join(f" ({note})" for note in getattr(error, "__notes__", ()))
            raise Failure(f"{name}, line {first_line + i}: {error}{notes}") from None
    raise Failure(f"{name}: lines {first_line} to {first_line + len(rows) - 1} were refused together")


def build_from_lines(lines: Iterable[str], name: str, progress: Progress) -> Any:
    from kovra_api import PyGraphDiff

    diff = PyGraphDiff()
    kind, rows, first = None, [], 1
    for number, text in enumerate(lines, 1):
        if not text.strip():
            continue
        line_kind, row = parse_line(text, f"{name}, line {number}")
        if line_kind != kind or len(rows) == BATCH_LINES:
            if rows:
                apply_batch(diff, kind, rows, first, name)
                progress(f"kovra from-json: {n(number)} lines")
            kind, rows, first = line_kind, [], number
        rows.append(row)
    if rows:
        apply_batch(diff, kind, rows, first, name)
    return diff


def run_from_json(args: argparse.Namespace) -> None:
    progress = Progress()
    try:
        if args.file == "-":
            diff = build_from_lines(sys.stdin, "<stdin>", progress)
        else:
            try:
                with open(args.file, encoding="utf-8") as lines:
                    diff = build_from_lines(lines, args.file, progress)
            except OSError as error:
                raise Failure(f"{args.file}: {error.strerror}") from None
            except UnicodeDecodeError as error:
                raise Failure(f"{args.file}: not UTF-8 text: {error.reason}") from None
    finally:
        progress.done()
    write_output(args.out, diff.to_bytes())


# ---- merge -----------------------------------------------------------------------------------


def run_merge(args: argparse.Namespace) -> None:
    from kovra_api import merge_documents

    documents = [read_input(name) for name in args.files]
    try:
        merged = merge_documents(documents)
    except ValueError as error:
        # Its documents are numbered in the order given; name the files too.
        text = str(error)
        numbers = re.search(r"documents (\d+) and (\d+)", text)
        if numbers is None:
            raise Failure(text) from None
        named = " and ".join(f"{i} is {args.files[int(i)]}" for i in numbers.groups())
        raise Failure(f"{text} (document {named})") from None
    except Exception:
        for name, data in zip(args.files, documents):
            load(name, data)  # raises the Failure that names the file and where it breaks
        raise
    write_output(args.out, merged)


# ---- view ------------------------------------------------------------------------------------


def run_view(args: argparse.Namespace) -> None:
    from kovra_tools.serve import serve

    if args.file is not None and not Path(args.file).is_file():
        raise Failure(f"{args.file}: not a file")
    status = serve(Path(args.file) if args.file is not None else None, args.port)
    if status:
        sys.exit(status)


# ---- the command -----------------------------------------------------------------------------


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog="kovra", description="Graph diff documents (the bytes of PyGraphDiff.to_bytes) "
        "from the shell. docs/command.md is the full reference.")
    sub = top.add_subparsers(dest="command", required=True, metavar="SUBCOMMAND")

    def command(name: str, run: Any, help: str) -> argparse.ArgumentParser:
        p = sub.add_parser(name, help=help, description=help)
        p.set_defaults(run=run)
        return p

    p = command("inspect", run_inspect, "Summarise a document: validity, sections, counts, "
                "sizes and its largest groups.")
    p.add_argument("file", help="the document")
    p.add_argument("--json", action="store_true", help="the summary as one JSON object")

    p = command("dump", run_dump, "The document as annotated hex rows, its sections marked.")
    p.add_argument("file", help="the document, or - for stdin")
    p.add_argument("--limit", type=int, metavar="N",
                   help="show at most N entries of each section (node, deleted node, edge, deleted edge)")
    p.add_argument("--section", choices=[s.replace(" ", "-") for s in doc.SECTIONS],
                   help="show this section alone")

    p = command("json", run_json, "The document's content as JSON Lines: one object per node, "
                "deleted node, edge and deleted edge.")
    p.add_argument("file", help="the document, or - for stdin")

    p = command("from-json", run_from_json, "Build a document from JSON Lines as `kovra json` "
                "writes them, each line applied as the matching method call, in order.")
    p.add_argument("file", help="the JSON Lines, or - for stdin")
    p.add_argument("out", help="the document to write")

    p = command("merge", run_merge, "Merge the documents of the shards of one stream "
                "(kovra_api.merge_documents) into OUT.")
    p.add_argument("out", help="the document to write")
    p.add_argument("files", nargs="+", metavar="FILE", help="the shards' documents")

    p = command("view", run_view, "Serve the document viewer and FILE on localhost and "
                "print the page's address.")
    p.add_argument("file", nargs="?", help="the document (without it, the page offers a file chooser)")
    p.add_argument("--port", type=int, default=8000, help="0 for any free port (default 8000)")
    return top


def fail(command: str, text: str) -> NoReturn:
    print(f"kovra {command}: {text}", file=sys.stderr)
    sys.exit(1)


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        args.run(args)
        sys.stdout.flush()
    except Failure as failure:
        fail(args.command, str(failure))
    except BrokenPipeError:
        # A reader that stopped early (`kovra json big.bin | head`) is no error; the
        # output left in the buffer goes nowhere rather than failing again at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except KeyboardInterrupt:
        return 130
    except MemoryError:
        fail(args.command, "out of memory")
    return 0
