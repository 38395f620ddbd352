"""from_bytes: what it refuses, always with one message, and the oddities it accepts."""

import math

import pytest

from kovra_api import PyGraphDiff
from support import A, B, C, count, document, node_id, record, text, weight

MESSAGE = "Failed to deserialize graph diff."
TAIL = count(0) * 3  # empty deleted-node, edge and deleted-edge sections


def nodes_section(*entries: bytes) -> bytes:
    return count(len(entries)) + b"".join(entries)


LAYOUT_REJECTS = [
    (b"", "empty"),
    (bytes(31), "one-byte-short"),
    (count(1), "node-count-without-nodes"),
    (count(2**63), "huge-count"),
    (count(1) + count(15) + bytes(15) + record("{}") + TAIL, "id-length-15"),
    (count(1) + count(17) + bytes(17) + record("{}") + TAIL, "id-length-17"),
    (count(1) + count(2**63) + bytes(16), "id-length-beyond-input"),
    (nodes_section(node_id(A) + count(100) + b"{}") + TAIL, "text-length-beyond-input"),
    (nodes_section(node_id(A) + record(b'{"label":"\xff"}')) + TAIL, "invalid-utf8"),
    (nodes_section(node_id(A) + record(b'{"label":"\xed\xa0\x80"}')) + TAIL,
     "utf8-encoded-surrogate"),
    (document(edges=[(A, [(B, 1.0)])])[:-10], "cut-inside-weight"),
    (count(0) * 3 + count(1) + node_id(A) + count(1) + count(15) + bytes(15), "deleted-to-15"),
    (count(0) + count(2**62) + node_id(A), "deleted-count-beyond-input"),
]


@pytest.mark.parametrize(
    "data", [d for d, _ in LAYOUT_REJECTS], ids=[i for _, i in LAYOUT_REJECTS]
)
def test_layout_rejects(data):
    with pytest.raises(Exception) as info:
        PyGraphDiff.from_bytes(data)
    assert type(info.value) is Exception
    assert info.value.args == (MESSAGE,)
    assert info.value.__cause__ is None


RECORD_REJECTS = [
    ("", "empty-text"),
    ("null", "null-record"),
    ("7", "number-record"),
    ('"x"', "string-record"),
    ("\ufeff{}", "byte-order-mark"),
    ("{} x", "trailing-garbage"),
    ('{"label":"a","label":"b"}', "duplicate-key"),
    ('{"label":null,"label":"b"}', "duplicate-after-null"),
    ('{"red":1,}', "trailing-comma"),
    ('{"red" 1}', "missing-colon"),
    ('{"red":1 "green":2}', "missing-comma"),
    ("{1:2}", "non-string-key"),
    ('{"label":1}', "label-number"),
    ('{"label":"\\ud800"}', "unpaired-surrogate-escape"),
    ('{"label":"\\x"}', "unknown-escape"),
    ('{"label":"a\x01"}', "raw-control-character"),
    ('{"red":256}', "red-256"),
    ('{"red":-1}', "red-negative"),
    ('{"red":-0}', "red-negative-zero"),
    ('{"red":1.0}', "red-fraction"),
    ('{"red":1e2}', "red-exponent"),
    ('{"red":"1"}', "red-string"),
    ('{"size":1e400}', "size-overflow"),
    ('{"size":01}', "size-leading-zero"),
    ('{"size":"1"}', "size-string"),
    ('{"showLabel":1}', "show-label-number"),
    ("[null]", "short-array"),
    ("[null,null,null,null,null,null,null,null]", "long-array"),
    ('{"x":[1,}', "bad-skipped-value"),
]


@pytest.mark.parametrize(
    "json_text", [t for t, _ in RECORD_REJECTS], ids=[i for _, i in RECORD_REJECTS]
)
def test_record_rejects(json_text):
    with pytest.raises(Exception) as info:
        PyGraphDiff.from_bytes(document(nodes=[(A, json_text)]))
    assert type(info.value) is Exception
    assert str(info.value) == MESSAGE
    assert info.value.__cause__ is None


RECORD_ACCEPTS = [
    ("{}", {}),
    ('{"label":null}', {}),
    (' \t\n\r{ "label" : "x" , "other" : [1, {"a": [true, null]}] , "show_label" : 5 }\n',
     {"label": "x"}),
    ('["x",null,null,null,null,null,null]', {"label": "x"}),
    ('[null,5,"u",0,255,7,false]',
     {"url": "u", "size": 5.0, "red": 0, "green": 255, "blue": 7, "show_label": False}),
    ('{"size":1e39}', {"size": math.inf}),
    ('{"size":5}', {"size": 5.0}),
    ('{"size":-0}', {"size": -0.0}),
    ('{"showLabel":true,"blue":0,"label":"\\u00e9\\ud83d\\ude00\\/"}',
     {"label": "\u00e9\U0001f600/", "blue": 0, "show_label": True}),
]


@pytest.mark.parametrize(
    "json_text, view", RECORD_ACCEPTS,
    ids=["empty", "null-label", "unknown-keys-and-whitespace", "array-label", "array-all",
         "size-overflow-to-infinity", "size-integer", "size-negative-zero", "escapes"],
)
def test_record_accepts(json_text, view):
    d = PyGraphDiff.from_bytes(document(nodes=[(A, json_text)]))
    assert d.new_or_updated_nodes() == {text(A): view}


def test_deeply_nested_unknown_value_is_skipped():
    depth = 200_000
    d = PyGraphDiff.from_bytes(
        document(nodes=[(A, '{"x":' + "[" * depth + "]" * depth + ',"red":1}')]))
    assert d.new_or_updated_nodes() == {text(A): {"red": 1}}


def test_trailing_bytes_are_ignored():
    assert PyGraphDiff.from_bytes(bytes(32) + b"anything at all").num_nodes() == 0


def test_later_node_entry_replaces_an_invalid_earlier_one():
    data = nodes_section(node_id(A) + record("not json"), node_id(A) + record('{"red":2}')) + TAIL
    assert PyGraphDiff.from_bytes(data).new_or_updated_nodes() == {text(A): {"red": 2}}


@pytest.mark.parametrize(
    "first, order",
    [('{"label":"first"}', [A, B]), ("not json", [B, A])],
    ids=["keeps-its-place", "broken-record-does-not-count"],
)
def test_repeated_node_stands_where_its_first_valid_record_stood(first, order):
    # The example of docs/format.md: the later record whole, at the first valid one's place.
    d = PyGraphDiff.from_bytes(
        document(nodes=[(A, first), (B, '{"red":1}'), (A, '{"size":2.5}')]))
    assert list(d.new_or_updated_nodes().items()) == [
        (text(node), {"size": 2.5} if node == A else {"red": 1}) for node in order]


def test_later_groups_replace_earlier_ones():
    d = PyGraphDiff.from_bytes(document(
        edges=[(A, [(B, 1.0)]), (A, [(C, 2.0)])],
        deleted_edges=[(B, [A, C]), (B, [A])],
    ))
    assert d.new_or_updated_edges() == {text(A): {text(C): 2.0}}
    assert d.deleted_edges() == {text(B): [text(A)]}


def test_repeats_inside_a_section_collapse():
    d = PyGraphDiff.from_bytes(document(
        deleted_nodes=[A, A], edges=[(A, [(B, 1.0), (B, 3.0)])], deleted_edges=[(C, [A, A])]))
    assert d.deleted_nodes() == [text(A)]
    assert d.new_or_updated_edges() == {text(A): {text(B): 3.0}}
    assert d.deleted_edges() == {text(C): [text(A)]}


def test_contradictory_document_is_loaded_unchanged():
    d = PyGraphDiff.from_bytes(document(
        nodes=[(A, "{}")], deleted_nodes=[A], edges=[(A, [(B, 1.0)])], deleted_edges=[(A, [B])]))
    assert d.new_or_updated_nodes() == {text(A): {}}
    assert d.deleted_nodes() == [text(A)]
    assert d.new_or_updated_edges() == {text(A): {text(B): 1.0}}
    assert d.deleted_edges() == {text(A): [text(B)]}


def test_forged_counts_in_groups_fail_promptly():
    data = count(0) * 2 + count(1) + node_id(A) + count(2**64 - 1) + node_id(B) + weight(1.0)
    with pytest.raises(Exception) as info:
        PyGraphDiff.from_bytes(data)
    assert type(info.value) is Exception and str(info.value) == MESSAGE
