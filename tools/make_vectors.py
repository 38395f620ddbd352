"""Writes tests/vectors/: documents that readers in other languages check themselves
against, with what PyGraphDiff makes of them.

    python tools/make_vectors.py [FOLDER]      (default tests/vectors)

Each document is NAME.bin; vectors.json lists them in order with `why` (what the
document shows), and for an accepted one its views as the module returns them
(`views`) and, when to_bytes writes other bytes for it, the file of those
(`rewritten`). Floats that JSON cannot hold are written as the strings "nan",
"inf" and "-inf". The folder is checked in; the tests regenerate it and compare.
"""

import json
import math
import struct
import sys
from pathlib import Path

from kovra_api import PyGraphDiff

FAILED = "Failed to deserialize graph diff."
A, B, C, D = (bytes(range(base, base + 16)) for base in (0xA0, 0xB0, 0xC0, 0xD0))


def u64(n):
    return struct.pack("<Q", n)


def node_id(raw):
    return u64(len(raw)) + raw


def record(text):
    raw = text.encode() if isinstance(text, str) else text
    return u64(len(raw)) + raw


def weight(value):
    return struct.pack("<f", value) if isinstance(value, float) else struct.pack("<I", value)


def document(nodes=(), deleted=(), edges=(), deleted_edges=()):
    """A document from its sections as given: repeats, odd lengths and all."""
    out = u64(len(nodes)) + b"".join(node_id(i) + record(t) for i, t in nodes)
    out += u64(len(deleted)) + b"".join(node_id(i) for i in deleted)
    out += u64(len(edges)) + b"".join(
        node_id(f) + u64(len(rows)) + b"".join(node_id(t) + weight(w) for t, w in rows)
        for f, rows in edges)
    out += u64(len(deleted_edges)) + b"".join(
        node_id(f) + u64(len(rows)) + b"".join(node_id(t) for t in rows)
        for f, rows in deleted_edges)
    return out


def node(text):
    return document(nodes=[(A, text)])


def built(*steps):
    diff = PyGraphDiff()
    for method, *args in steps:
        getattr(diff, method)(*args)
    return diff.to_bytes()


SIZES = [0.0, -0.0, 100.0, 1e12, 1e13, 2.5, -1234.5, 0.1, 0.000001, 1e-7, 1.5e-7,
         3.4028234663852886e38, 2097152.25, 1.401298464324817e-45, 1.1754942106924411e-38,
         16777217.0, 123456.789, math.nan, math.inf, -math.inf]

# (name, why, document): accepted documents.
VALID = [
    ("empty", "32 zero bytes: an empty diff", bytes(32)),
    ("empty-then-trailing", "bytes after the fourth section are ignored", bytes(32) + b"\xff{not json"),
    ("sample", "node A labelled Hub of size 2.5, node C deleted, edge A to B of weight 0.5",
     built(("add_node", A, {"label": "Hub", "size": 2.5}), ("delete_node", C), ("add_edge", A, B, 0.5))),
    ("all-fields", "every field, with every escape the writer uses",
     built(("add_node", A, {"label": "\"\\\t\x01\x1f\b\f\n\ré/\x7f\u2028😀", "size": 0.1, "url": "/img/a.png",
                            "red": 255, "green": 0, "blue": 7, "show_label": True}),
           ("add_node", B, {"show_label": False}), ("add_node", C, {}))),
    ("sizes", "the shortest binary32 texts of the writer, and null for NaN and infinities",
     built(*(("add_node", bytes([i]) * 16, {"size": s}) for i, s in enumerate(SIZES)))),
    ("weights", "weights carried bit for bit: zeroes, infinities, NaN, the smallest subnormal",
     built(*(("add_edge", A, bytes([i]) * 16, w)
             for i, w in enumerate([0.0, -0.0, math.inf, -math.inf, math.nan, 1e-45, 0.1, 3e38])))),
    ("nan-payloads", "NaN weights with payloads, loaded unchanged",
     document(edges=[(A, [(B, 0x7FC00001), (C, 0xFF800001), (D, 0x7FFFFFFF)])])),
    ("empty-groups", "groups with no rows are counted and written, and left out of the views",
     built(("add_edge", A, B, 1.0), ("delete_edge", A, B), ("add_edge", C, D, 2.0), ("delete_node", D))),
    ("mixed", "updates merged, edges to deleted nodes refused, deletions cancelling edges",
     built(("add_node", A, {"label": "a", "red": 1}), ("add_node", A, {"size": 3.0, "red": 2}),
           ("add_edge", A, B, 1.0), ("add_edge", B, C, 2.0), ("add_edge", C, A, 3.0), ("add_edge", A, C, 4.0),
           ("delete_node", B), ("add_edge", A, B, 5.0), ("delete_edge", C, D), ("add_node", D, {"url": "u"}))),
    ("repeated-node", "a node listed twice keeps the later record; the earlier is not parsed",
     document(nodes=[(A, "{not json"), (B, "{}"), (A, '{"label":"later"}')])),
    ("repeated-deleted-node", "a deleted node listed twice is kept once", document(deleted=[A, B, A])),
    ("repeated-group", "a later group of the same from node replaces the earlier one whole",
     document(edges=[(A, [(B, 1.0)]), (B, [(C, 2.0)]), (A, [(C, 3.0)])],
              deleted_edges=[(A, [B]), (B, [A]), (A, [C, D])])),
    ("repeated-row", "a repeated to node keeps the later weight, or is kept once",
     document(edges=[(A, [(B, 1.0), (C, 2.0), (B, 3.0)])], deleted_edges=[(A, [B, C, B])])),
    ("updated-and-deleted", "the rules of the methods are not enforced on load",
     document(nodes=[(A, '{"label":"a"}')], deleted=[A], edges=[(B, [(A, 1.0)])], deleted_edges=[(B, [A])])),
    ("empty-record", "{} and a null label are updates with no field",
     document(nodes=[(A, "{}"), (B, '{"label":null}'), (C, " \t\r\n{ } \n")])),
    ("unknown-keys", "keys outside the seven are skipped, show_label among them, whatever their values",
     node('{"x":[1,{"a":[true,false,null]},"s\\u00e9"],"show_label":1,"label":"L","Label":2,'
          '"x":1e400,"y":{"y":{}},"z":-0.5E-3}')),
    ("deep-unknown", "an unknown value nested ten thousand levels",
     node('{"deep":' + "[" * 10000 + "]" * 10000 + ',"red":3}')),
    ("array-form", "seven elements in field order, null for an absent field",
     document(nodes=[(A, '["L",1.5,null,0,255,null,true]'), (B, "[null,null,null,null,null,null,null]")])),
    ("escaped-keys", "keys are compared after their escapes are decoded",
     node('{"\\u006cabel":"\\ud83d\\ude00 \\/ \\u00E9","showLabel":false}')),
    ("bom-in-texts", "a U+FEFF that opens a text or follows an escape is a character like any other",
     built(("add_node", A, {"label": "\ufeffa", "url": "\t\ufeff"}))),
    ("whitespace", "whitespace around the record and between its tokens",
     node(' \n{ "label" : "a" ,\t"size"\r: 2 , "red":0 } \n')),
] + [
    (f"size-{name}", why, node('{"size":' + text + "}"))
    for name, text, why in [
        ("1e39", "1e39", "beyond binary32, within binary64: infinity"),
        ("minus-1e39", "-1e39", "negative infinity"),
        ("5", "5", "an integer gives 5.0"),
        ("minus-0", "-0", "the text -0 gives negative zero"),
        ("1e-400", "1e-400", "below binary64: zero"),
        ("exponent-overflow-zero", "0e99999999999", "exponent overflow with a zero significand: zero"),
        ("exponent-overflow-negative", "1e-99999999999", "a negative exponent beyond 32 bits: zero"),
        ("integer-past-2-53", "9007199791611905",
         "an integer rounds straight to binary32; through binary64 it would round twice"),
        ("integer-max-u64", "18446744073709551615", "the largest integer the accumulator holds"),
        ("integer-min-i64", "-9223372036854775808", "the most negative 64-bit integer"),
        ("integer-beyond-i64", "-9223372036854775809", "a larger negative integer takes the general path"),
        ("dropped-digits", "123456789012345678901234567890.123",
         "digits past the accumulator are dropped and counted as powers of ten"),
        ("long-fraction", "0.1000000000000000055511151231257827", "a fraction past nineteen digits"),
        ("exponent-forms", "1.5E+2", "upper-case exponent with a plus sign"),
        ("tiny", "1.4e-45", "the smallest subnormal"),
        ("midpoint", "1.00000005960464477539062500001", "just above a binary32 midpoint"),
    ]
]

# (name, why, document): documents from_bytes refuses.
INVALID = [
    ("empty-input", "no bytes at all", b""),
    ("short", "31 bytes: the last count is cut", bytes(31)),
    ("id-length-15", "an id length of 15, with bytes enough behind it",
     u64(0) + u64(1) + u64(15) + bytes(16) + bytes(16)),
    ("id-length-17", "an id length of 17", u64(0) + u64(1) + u64(17) + bytes(17) + bytes(16)),
    ("huge-count", "a count of 2^63 followed by nothing", u64(1 << 63)),
    ("record-beyond-input", "a record length past the end",
     u64(1) + node_id(A) + u64(1000) + b"{}" + bytes(24)),
    ("missing-weight", "an edge cut before its weight", document(edges=[(A, [(B, 1.0)])])[:-4 - 8]),
    ("utf8-overlong", "an overlong UTF-8 form", node(b'{"label":"\xc0\xaf"}')),
    ("utf8-surrogate", "an encoded surrogate", node(b'{"label":"\xed\xa0\x80"}')),
    ("utf8-beyond", "a code point above U+10FFFF", node(b'{"label":"\xf4\x90\x80\x80"}')),
    ("utf8-cut", "a sequence cut at the record's end", node(b'{"x":1}\xe2\x82')),
    ("utf8-in-earlier-record", "an earlier record of a repeated node is not parsed but must be UTF-8",
     document(nodes=[(A, b"\xff"), (A, "{}")])),
    ("bom", "a byte-order mark before the record", node("\ufeff{}")),
    ("trailing-text", "text after the record", node("{} x")),
    ("empty-text", "an empty record", node("")),
    ("not-a-container", "a record that is a string", node('"label"')),
    ("repeated-key", "a known key twice", node('{"label":"a","label":"b"}')),
    ("repeated-key-after-null", "a known key twice, the first time null", node('{"size":null,"size":1}')),
    ("trailing-comma", "a trailing comma", node('{"label":"a",}')),
    ("missing-colon", "a missing colon", node('{"label" "a"}')),
    ("missing-comma", "a missing comma", node('{"label":"a" "red":1}')),
    ("non-string-key", "a key that is not a string", node('{1:2}')),
    ("array-6", "an array of six elements", node("[null,null,null,null,null,null]")),
    ("array-8", "an array of eight elements", node("[null,null,null,null,null,null,null,null]")),
    ("array-1", "an array of one element", node('["a"]')),
    ("bad-escape", "an escape outside the set", node('{"label":"\\x"}')),
    ("escape-control-digits", "\\u followed by raw bytes 0x10-0x19 where its hex digits belong",
     node(b'{"label":"\\u\x10\x11\x18\x19"}')),
    ("escape-control-digits-in-unknown-value", "and in skipped values", node(b'{"x":"\\u\x10\x10\x10\x10"}')),
    ("lone-high-surrogate", "a high surrogate escape alone", node('{"label":"\\ud800"}')),
    ("lone-low-surrogate", "a low surrogate escape alone", node('{"url":"\\udc00x"}')),
    ("surrogate-in-unknown-value", "lone surrogates fail in skipped values too", node('{"x":"\\ud800"}')),
    ("surrogate-in-unknown-key", "and in unknown keys", node('{"\\udfff":1}')),
    ("raw-control", "a raw byte below 0x20 inside a string", node('{"label":"a\tb"}')),
    ("label-number", "a label that is not a string", node('{"label":5}')),
    ("colour-256", "a colour above 255", node('{"red":256}')),
    ("colour-minus-1", "a negative colour", node('{"green":-1}')),
    ("colour-minus-0", "a colour with a minus sign", node('{"blue":-0}')),
    ("colour-fraction", "a colour with a fraction", node('{"red":1.0}')),
    ("colour-exponent", "a colour with an exponent", node('{"red":1e2}')),
    ("colour-string", "a colour as a string", node('{"red":"1"}')),
    ("colour-leading-zero", "a colour with a leading zero", node('{"red":01}')),
    ("size-string", "a size as a string", node('{"size":"1"}')),
    ("size-bool", "a size as a boolean", node('{"size":true}')),
    ("size-1e400", "a size beyond binary64", node('{"size":1e400}')),
    ("size-exponent-overflow", "a nonzero size with an exponent beyond 32 bits", node('{"size":1e99999999999}')),
    ("size-leading-zero", "a number with a leading zero", node('{"size":01}')),
    ("size-bare-point", "a fraction without digits", node('{"size":1.}')),
    ("size-no-integer", "a number without an integer part", node('{"size":.5}')),
    ("size-plus", "a number with a plus sign", node('{"size":+1}')),
    ("size-bare-exponent", "an exponent without digits", node('{"size":1e}')),
    ("show-label-number", "showLabel as a number", node('{"showLabel":1}')),
    ("show-label-string", "showLabel as a string", node('{"showLabel":"true"}')),
    ("unknown-bad-literal", "a malformed literal in a skipped value", node('{"x":tru}')),
    ("unknown-trailing-comma", "a trailing comma in a skipped array", node('{"x":[1,]}')),
    ("unknown-bad-number", "a malformed number in a skipped value", node('{"x":-}')),
    ("unknown-unclosed", "a skipped value left open", node('{"x":' + "[" * 100 + "]" * 99 + "}")),
    ("unknown-member-without-value", "a skipped object member without a value", node('{"x":{"a"}}')),
]


def plain(value):
    """`value` with the floats JSON cannot hold as text."""
    if isinstance(value, float) and not math.isfinite(value):
        return "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    if isinstance(value, list):
        return [plain(v) for v in value]
    return value


def views(diff):
    return plain({
        "new_or_updated_nodes": diff.new_or_updated_nodes(),
        "deleted_nodes": diff.deleted_nodes(),
        "new_or_updated_edges": diff.new_or_updated_edges(),
        "deleted_edges": diff.deleted_edges(),
        "num_nodes": diff.num_nodes(),
        "num_edges": diff.num_edges(),
    })


def generate(folder):
    """Writes the vectors into `folder`; returns {file name: bytes} of what it wrote."""
    files = {}
    manifest = []
    for name, why, data in VALID + INVALID:
        entry = {"name": name, "why": why}
        files[f"{name}.bin"] = data
        try:
            diff = PyGraphDiff.from_bytes(data)
        except Exception as error:
            if str(error) != FAILED:
                raise
            entry["valid"] = False
        else:
            entry["valid"] = True
            entry["views"] = views(diff)
            rewritten = diff.to_bytes()
            if rewritten != data:
                entry["rewritten"] = f"{name}.rewritten.bin"
                files[entry["rewritten"]] = rewritten
        expected_valid = (name, why, data) in VALID
        if entry["valid"] != expected_valid:
            sys.exit(f"make_vectors.py: {name} is {'accepted' if entry['valid'] else 'refused'}")
        manifest.append(entry)
    files["vectors.json"] = (json.dumps(manifest, indent=1, ensure_ascii=False) + "\n").encode()
    folder.mkdir(parents=True, exist_ok=True)
    for old in folder.iterdir():
        if old.name not in files:
            old.unlink()
    for file_name, data in files.items():
        (folder / file_name).write_bytes(data)
    return files


if __name__ == "__main__":
    root = Path(__file__).resolve().parent.parent
    generate(Path(sys.argv[1]) if len(sys.argv) > 1 else root / "tests" / "vectors")
