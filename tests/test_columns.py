"""Bulk mutations and packed columns: a bulk call is the loop of single calls, or nothing."""

import array
import struct
import uuid

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import support
from kovra_api import PyGraphDiff
from support import A, B, C, D, snapshot, text

POOL = [bytes([i]) * 16 for i in range(8)]  # few ids, so that calls interact

# ---- the same column in every accepted form ------------------------------------------


def id_forms(ids):
    joined = b"".join(ids)
    raw = np.frombuffer(joined, dtype=np.uint8)
    return {
        "list": list(ids),
        "tuple": tuple(ids),
        "bytes": joined,
        "bytearray": bytearray(joined),
        "S16": np.frombuffer(joined, dtype="S16") if ids else np.zeros(0, "S16"),
        "V16": np.frombuffer(joined, dtype="V16") if ids else np.zeros(0, "V16"),
        "uint8 (n, 16)": raw.reshape(len(ids), 16),
        "uint8 (16n,)": raw.copy(),
    }


def weight_forms(weights):
    with np.errstate(over="ignore"):  # beyond binary32: an infinity, as the module narrows
        narrowed = np.array(weights, dtype=np.float32)
    return {
        "list": list(weights),
        "tuple": tuple(weights),
        "float32": narrowed,
        "float32 unaligned": np.frombuffer(b"\0" + narrowed.tobytes(), np.float32, offset=1),
        "float64": np.array(weights, dtype=np.float64),
        "<f4": narrowed.astype("<f4"),
        "array f": array.array("f", weights),
        "array d": array.array("d", weights),
    }


ID_FORMS = list(id_forms([]))
WEIGHT_FORMS = list(weight_forms([]))

updates = st.fixed_dictionaries(
    {},
    optional={
        "label": st.text(max_size=20),
        "size": st.floats(allow_nan=False, width=32),
        "red": st.integers(0, 255),
        "show_label": st.booleans(),
    },
)
weights = st.floats(allow_nan=False, width=64)


@st.composite
def bulk_calls(draw):
    """(method, single-call rows, column forms) with rows of one batch."""
    method = draw(st.sampled_from(["add_edges", "delete_edges", "delete_nodes", "add_nodes"]))
    n = draw(st.integers(0, 12))
    node = st.sampled_from(POOL)
    if method == "add_edges":
        rows = draw(st.lists(st.tuples(node, node, weights), min_size=n, max_size=n))
    elif method == "delete_edges":
        rows = draw(st.lists(st.tuples(node, node), min_size=n, max_size=n))
    elif method == "delete_nodes":
        rows = draw(st.lists(st.tuples(node), min_size=n, max_size=n))
    else:
        rows = draw(st.lists(st.tuples(node, updates), min_size=n, max_size=n))
    forms = draw(st.tuples(st.sampled_from(ID_FORMS), st.sampled_from(ID_FORMS),
                           st.sampled_from(WEIGHT_FORMS)))
    return method, rows, forms


def columns(method, rows, forms):
    """The bulk call's arguments for `rows`, each column in its drawn form."""
    cols = list(zip(*rows)) or [()] * len(NAMES[method])
    out = []
    for k, col in enumerate(cols):
        if method == "add_nodes" and k == 1:
            out.append(list(col))
        elif method == "add_edges" and k == 2:
            out.append(weight_forms(list(col))[forms[2]])
        else:
            out.append(id_forms(list(col))[forms[k]])
    return out


NAMES = {"add_edges": ["from", "to", "weight"], "delete_edges": ["from", "to"],
         "delete_nodes": ["ids"], "add_nodes": ["ids", "updates"]}
SINGLE = {"add_edges": "add_edge", "delete_edges": "delete_edge", "delete_nodes": "delete_node",
          "add_nodes": "add_node"}


def apply_single(diff, method, rows):
    for row in rows:
        getattr(diff, SINGLE[method])(*row)


def assert_same(bulk, single):
    # The bytes, not only the content: a document depends on the operations alone,
    # whichever calls carried them.
    assert snapshot(bulk) == snapshot(single)
    assert bulk.to_bytes() == single.to_bytes()


def column_pairs(from_ids, to_ids):
    return [(text(from_ids[i:i + 16]), text(to_ids[i:i + 16])) for i in range(0, len(from_ids), 16)]


def assert_columns_follow_views(diff):
    from_ids, to_ids, packed = diff.edges_columns()
    weights_out = struct.unpack(f"<{len(packed) // 4}f", packed)
    view = diff.new_or_updated_edges()
    assert [(s, t, w) for (s, t), w in zip(column_pairs(from_ids, to_ids), weights_out)] == [
        (s, t, w) for s, targets in view.items() for t, w in targets.items()]
    assert column_pairs(*diff.deleted_edges_columns()) == [
        (s, t) for s, targets in diff.deleted_edges().items() for t in targets]
    gone = diff.deleted_nodes_ids()
    assert [text(gone[i:i + 16]) for i in range(0, len(gone), 16)] == diff.deleted_nodes()


@settings(max_examples=150, deadline=None)
@given(st.lists(bulk_calls(), max_size=6))
def test_bulk_calls_equal_the_loop_of_single_calls(calls):
    bulk, single = PyGraphDiff(), PyGraphDiff()
    for method, rows, forms in calls:
        getattr(bulk, method)(*columns(method, rows, forms))
        apply_single(single, method, rows)
        assert_same(bulk, single)
    assert_columns_follow_views(bulk)


# ---- a bad element anywhere: nothing applied -----------------------------------------


# Per column kind: (bad element, exception type, message after "argument 'P': element i: "
# or None for an error that passes through, the cause's text or None, the update field
# whose value failed or None). A passing error, and a field's, gets a note.
BAD_IDS = [(5, TypeError, "failed to extract field PyUuid.0", "'int' object cannot be converted to 'PyBytes'", None),
           (bytes(15), TypeError, "failed to extract field PyUuid.0", "Expected 16 bytes.", None),
           (None, TypeError, "failed to extract field PyUuid.0", "'NoneType' object cannot be converted to 'PyBytes'", None)]
BAD_WEIGHTS = [("x", TypeError, "must be real number, not str", None, None),
               (10**400, OverflowError, None, None, None)]
BAD_UPDATES = [(None, TypeError, "'NoneType' object cannot be converted to 'PyDict'", None, None),
               ({"label": 5}, TypeError, "'int' object cannot be converted to 'PyString'", None, "label"),
               ({"red": 300}, OverflowError, None, None, "red")]


@settings(max_examples=80, deadline=None)
@given(st.data())
def test_a_bad_element_anywhere_applies_nothing(data):
    diff = PyGraphDiff()
    diff.add_edges(POOL[:4], POOL[1:5], [1.0, 2.0, 3.0, 4.0])
    diff.delete_nodes([POOL[6]])
    before, document = snapshot(diff), diff.to_bytes()
    method, rows, _ = data.draw(bulk_calls().filter(lambda call: call[1]))
    cols = [list(col) for col in zip(*rows)]
    k = data.draw(st.integers(0, len(cols) - 1))
    i = data.draw(st.integers(0, len(rows) - 1))
    kinds = (BAD_WEIGHTS if method == "add_edges" and k == 2 else
             BAD_UPDATES if method == "add_nodes" and k == 1 else BAD_IDS)
    bad, kind, message, cause, field = data.draw(st.sampled_from(kinds))
    cols[k][i] = bad
    name = NAMES[method][k]
    with pytest.raises(kind) as info:
        getattr(diff, method)(*cols)
    error = info.value
    assert type(error) is kind
    if field is not None:
        assert error.__notes__ == [f"argument '{name}': element {i}: field '{field}'"]
    elif message is None:
        assert error.__notes__ == [f"argument '{name}': element {i}"]
    if message is not None:
        assert str(error) == f"argument '{name}': element {i}: {message}"
        assert (None if error.__cause__ is None else str(error.__cause__)) == cause
    assert snapshot(diff) == before and diff.to_bytes() == document


# ---- column forms and their refusals -------------------------------------------------


def noncontiguous(dtype, shape):
    return np.zeros(shape, dtype)[::2]


STRUCT16 = np.zeros(2, np.dtype([("a", "<u8"), ("b", "<u8")]))

# (id, method, arguments, exception type, exact message)
REFUSALS = [
    ("ids int", "add_edges", (5, [A], [1.0]), TypeError,
     "argument 'from': 'int' object is not a list, a tuple or a buffer"),
    ("ids dict", "delete_nodes", ({A: 1},), TypeError,
     "argument 'ids': 'dict' object is not a list, a tuple or a buffer"),
    ("ids float64", "delete_nodes", (np.zeros(2),), TypeError,
     "argument 'ids': buffer of format 'd' cannot hold ids: expected '16s', '16x' or 'B'"),
    ("ids int8 (n, 16)", "delete_nodes", (np.zeros((2, 16), np.int8),), TypeError,
     "argument 'ids': buffer of format 'b' cannot hold ids: expected '16s', '16x' or 'B'"),
    ("ids structured", "delete_nodes", (STRUCT16,), TypeError,
     f"argument 'ids': buffer of format '{memoryview(STRUCT16).format}' cannot hold ids: "
     "expected '16s', '16x' or 'B'"),
    ("ids S8", "delete_nodes", (np.zeros(2, "S8"),), TypeError,
     "argument 'ids': buffer of format '8s' cannot hold ids: expected '16s', '16x' or 'B'"),
    ("ids uint8 (2, 8)", "delete_nodes", (np.zeros((2, 8), np.uint8),), ValueError,
     "argument 'ids': buffer of shape (2, 8) cannot hold ids: expected (n,) of 16-byte items, "
     "(n, 16) of 'B' or (16*n,) of 'B'"),
    ("ids 40 bytes", "delete_edges", ([A], bytes(40)), ValueError,
     "argument 'to': buffer of shape (40,) cannot hold ids: expected (n,) of 16-byte items, "
     "(n, 16) of 'B' or (16*n,) of 'B'"),
    ("ids S16 (1, 2)", "delete_nodes", (np.zeros((1, 2), "S16"),), ValueError,
     "argument 'ids': buffer of shape (1, 2) cannot hold ids: expected (n,) of 16-byte items, "
     "(n, 16) of 'B' or (16*n,) of 'B'"),
    ("ids not contiguous", "delete_nodes", (noncontiguous(np.uint8, (4, 16)),), ValueError,
     "argument 'ids': buffer is not C-contiguous"),
    ("ids texts", "delete_nodes", (np.array([text(A)]),), TypeError,
     "argument 'ids': buffer of format '36w' cannot hold ids: expected '16s', '16x' or 'B'"),
    ("ids UUIDs", "delete_edges", ([A], [uuid.UUID(bytes=B)]), TypeError,
     "argument 'to': element 0: failed to extract field PyUuid.0"),
    ("weights bytes", "add_edges", ([A], [B], b"\0\0\0\0"), TypeError,
     "argument 'weight': buffer of format 'B' cannot hold weights: expected 'f' (float32) or 'd' (float64)"),
    ("weights float16", "add_edges", ([A], [B], np.zeros(1, np.float16)), TypeError,
     "argument 'weight': buffer of format 'e' cannot hold weights: expected 'f' (float32) or 'd' (float64)"),
    ("weights big-endian", "add_edges", ([A], [B], np.zeros(1, ">f4")), TypeError,
     "argument 'weight': buffer of format '>f' cannot hold weights: expected 'f' (float32) or 'd' (float64)"),
    ("weights int32", "add_edges", ([A], [B], np.zeros(1, np.int32)), TypeError,
     "argument 'weight': buffer of format 'i' cannot hold weights: expected 'f' (float32) or 'd' (float64)"),
    ("weights int64", "add_edges", ([A], [B], np.arange(1)), TypeError,
     f"argument 'weight': buffer of format '{memoryview(np.arange(1)).format}' cannot hold weights: "
     "expected 'f' (float32) or 'd' (float64)"),
    ("weights structured", "add_edges", ([A], [B], STRUCT16[:1]), TypeError,
     f"argument 'weight': buffer of format '{memoryview(STRUCT16).format}' cannot hold weights: "
     "expected 'f' (float32) or 'd' (float64)"),
    ("weights (1, 1)", "add_edges", ([A], [B], np.zeros((1, 1), np.float32)), ValueError,
     "argument 'weight': buffer of shape (1, 1) cannot hold weights: expected (n,)"),
    ("weights not contiguous", "add_edges", ([A, B], [B, A], noncontiguous(np.float64, 4)), ValueError,
     "argument 'weight': buffer is not C-contiguous"),
    ("weights float", "add_edges", ([A], [B], 1.0), TypeError,
     "argument 'weight': 'float' object is not a list, a tuple or a buffer"),
    ("updates dict", "add_nodes", ([A], {"label": "x"}), TypeError,
     "argument 'updates': 'dict' object is not a list or a tuple"),
    ("updates buffer", "add_nodes", ([A], b"x"), TypeError,
     "argument 'updates': 'bytes' object is not a list or a tuple"),
    ("lengths of three", "add_edges", ([A, B], [C], np.zeros(2)), ValueError,
     "PyGraphDiff.add_edges() got columns of unequal lengths: 'from' has 2, 'to' has 1, 'weight' has 2"),
    ("lengths of two", "add_nodes", (A + B + C, [{}]), ValueError,
     "PyGraphDiff.add_nodes() got columns of unequal lengths: 'ids' has 3, 'updates' has 1"),
    ("format before length", "delete_edges", ([A, B], np.zeros(1)), TypeError,
     "argument 'to': buffer of format 'd' cannot hold ids: expected '16s', '16x' or 'B'"),
    ("length before elements", "delete_edges", ([A, 5], [B]), ValueError,
     "PyGraphDiff.delete_edges() got columns of unequal lengths: 'from' has 2, 'to' has 1"),
]


# The note a common slip gets beside the message, by the id of its row above.
WEIGHT_NUMBERS_NOTE = "convert the column first: numpy.asarray(weight, dtype=numpy.float32)"
HINTS = {
    "ids not contiguous": "pass numpy.ascontiguousarray(...) of it",
    "weights not contiguous": "pass numpy.ascontiguousarray(...) of it",
    "ids texts": "ids are 16 bytes each: convert the texts with uuid.UUID(text).bytes",
    "ids UUIDs": "pass the id's 16 bytes, uuid.UUID(...).bytes, not the UUID",
    "weights bytes": "for raw float32 bytes: pass memoryview(weight).cast('f')",
    "weights float16": WEIGHT_NUMBERS_NOTE,
    "weights big-endian": WEIGHT_NUMBERS_NOTE,
    "weights int32": WEIGHT_NUMBERS_NOTE,
    "weights int64": WEIGHT_NUMBERS_NOTE,
}


@pytest.mark.parametrize("row, method, args, kind, message", REFUSALS, ids=[r[0] for r in REFUSALS])
def test_refused_columns(diff, row, method, args, kind, message):
    diff.add_edge(C, D, 1.0)
    before = snapshot(diff)
    with pytest.raises(kind) as info:
        getattr(diff, method)(*args)
    assert type(info.value) is kind
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) == (HINTS.get(row) and [HINTS[row]])
    assert snapshot(diff) == before


def test_keywords_bind_like_positions(diff):
    diff.add_edges(**{"from": [A], "to": np.frombuffer(B, "S16"), "weight": np.ones(1)})
    diff.add_nodes(updates=[{"red": 1}], ids=C)
    diff.delete_edges(**{"to": [D], "from": [A]})
    diff.delete_nodes(ids=[])
    assert diff.new_or_updated_edges() == {text(A): {text(B): 1.0}}
    assert diff.new_or_updated_nodes() == {text(C): {"red": 1}}
    assert diff.deleted_edges() == {text(A): [text(D)]}


class Shrinks:
    """A number whose __float__ empties the list it stands in."""

    def __init__(self, column):
        self.column = column

    def __float__(self):
        self.column.clear()
        return 1.0


class ShrinksOnExport:
    """A buffer exporter that empties a list passed to the same call."""

    def __init__(self, column):
        self.column = column

    def __buffer__(self, flags):
        self.column.clear()
        return memoryview(A)


def test_python_code_in_a_conversion(diff):
    diff.add_edge(C, D, 1.0)
    before = snapshot(diff)
    for call, message in [(diff.clear, "Already borrowed"),
                          (diff.new_or_updated_edges, "Already mutably borrowed"),
                          (lambda: diff.add_edges([A], [B], [1.0]), "Already borrowed")]:
        with pytest.raises(RuntimeError) as info:
            diff.add_edges([A, B], [B, A], [2.0, support.CallsBack(call)])
        assert str(info.value) == message
        assert info.value.__notes__ == ["argument 'weight': element 1"]
        assert snapshot(diff) == before  # and the flag was given back
    shrinking = [1.0, 2.0, 3.0]
    shrinking[1] = Shrinks(shrinking)
    with pytest.raises(RuntimeError) as info:
        diff.add_edges([A] * 3, [B, C, D], shrinking)
    assert str(info.value) == "argument 'weight': list changed size during conversion"
    ends = [A]
    with pytest.raises(RuntimeError) as info:
        diff.delete_edges(ends, ShrinksOnExport(ends))
    assert str(info.value) == "argument 'from': list changed size during conversion"
    assert snapshot(diff) == before
    ids = bytearray(A)  # taken before the weight's conversion rewrites it
    diff.add_edges(ids, [B], [support.CallsBack(lambda: ids.__setitem__(slice(0, 16), D))])
    assert diff.new_or_updated_edges()[text(A)] == {text(B): 1.0}


def test_columns_read_back_through_numpy(diff):
    assert (diff.edges_columns(), diff.deleted_edges_columns(), diff.deleted_nodes_ids()) == (
        (b"", b"", b""), (b"", b""), b"")
    diff.add_edges(A + B, C + C, np.array([0.1, 2.0], np.float32))
    diff.delete_edges([D], [A])
    diff.delete_nodes(np.frombuffer(D, "S16"))
    from_ids, to_ids, packed = diff.edges_columns()
    edges = {(f.tobytes(), t.tobytes()): float(w) for f, t, w in zip(
        np.frombuffer(from_ids, "V16"), np.frombuffer(to_ids, "V16"), np.frombuffer(packed, "<f4"))}
    assert edges == {(A, C): support.f32(0.1), (B, C): 2.0}
    assert diff.deleted_edges_columns() == (D, A)
    assert diff.deleted_nodes_ids() == D
