"""Argument binding: positional and keyword arguments and the exact refusals."""

import pytest

from kovra_api import PyGraphDiff
from support import A, B, text

CASES = [
    ("add_edge", (), {},
     "PyGraphDiff.add_edge() missing 3 required positional arguments: 'from', 'to', and 'weight'"),
    ("add_edge", (), {"weight": 1.0},
     "PyGraphDiff.add_edge() missing 2 required positional arguments: 'from' and 'to'"),
    ("add_edge", (A,), {"weight": 1.0},
     "PyGraphDiff.add_edge() missing 1 required positional argument: 'to'"),
    ("add_node", (A,), {},
     "PyGraphDiff.add_node() missing 1 required positional argument: 'update'"),
    ("add_node", (), {"update": {}},
     "PyGraphDiff.add_node() missing 1 required positional argument: 'id'"),
    ("add_node", (A, {}, 3), {},
     "PyGraphDiff.add_node() takes 2 positional arguments but 3 were given"),
    ("delete_node", (A, B), {},
     "PyGraphDiff.delete_node() takes 1 positional arguments but 2 were given"),
    ("delete_node", (A,), {"id": A},
     "PyGraphDiff.delete_node() got multiple values for argument 'id'"),
    ("add_edge", (A, B, 1.0), {"to": B},
     "PyGraphDiff.add_edge() got multiple values for argument 'to'"),
    ("add_node", (A, {}), {"colour": 1},
     "PyGraphDiff.add_node() got an unexpected keyword argument 'colour'"),
    ("add_node", (A, {}, 3), {"colour": 1},
     "PyGraphDiff.add_node() takes 2 positional arguments but 3 were given"),
    ("delete_edge", (A,), {"From": B},
     "PyGraphDiff.delete_edge() got an unexpected keyword argument 'From'"),
    ("delete_edge", (A,), {"\udc80": B},
     "PyGraphDiff.delete_edge() got an unexpected keyword argument '\udc80'"),
    ("from_bytes", (), {},
     "PyGraphDiff.from_bytes() missing 1 required positional argument: 'bytes'"),
    ("from_bytes", (b"", b""), {},
     "PyGraphDiff.from_bytes() takes 1 positional arguments but 2 were given"),
    ("from_bytes", (), {"data": b""},
     "PyGraphDiff.from_bytes() got an unexpected keyword argument 'data'"),
    ("add_edges", ([A],), {"weight": [1.0]},
     "PyGraphDiff.add_edges() missing 1 required positional argument: 'to'"),
    ("add_nodes", ([A], [{}], 3), {},
     "PyGraphDiff.add_nodes() takes 2 positional arguments but 3 were given"),
    ("delete_nodes", ([A],), {"ids": [A]},
     "PyGraphDiff.delete_nodes() got multiple values for argument 'ids'"),
    ("delete_edges", ([A],), {"From": [B]},
     "PyGraphDiff.delete_edges() got an unexpected keyword argument 'From'"),
]


@pytest.mark.parametrize(
    "method, args, kwargs, message",
    CASES,
    ids=[
        "add_edge-nothing", "add_edge-only-weight", "add_edge-missing-to",
        "add_node-missing-update", "add_node-missing-id", "add_node-too-many",
        "delete_node-too-many-plural-kept", "delete_node-id-twice", "add_edge-to-twice",
        "add_node-unknown-keyword", "too-many-wins-over-unknown-keyword",
        "keywords-are-case-sensitive", "unreadable-keyword-name",
        "from_bytes-missing", "from_bytes-too-many", "from_bytes-unknown-keyword",
        "add_edges-missing-to", "add_nodes-too-many", "delete_nodes-ids-twice",
        "delete_edges-unknown-keyword",
    ],
)
def test_binding_refusals(diff, method, args, kwargs, message):
    before = diff.num_nodes()
    with pytest.raises(TypeError) as info:
        getattr(diff, method)(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert info.value.__cause__ is None
    assert diff.num_nodes() == before


def test_noargs_methods_are_refused_by_the_interpreter(diff):
    with pytest.raises(TypeError) as info:
        diff.num_nodes(1)
    assert str(info.value) == "PyGraphDiff.num_nodes() takes no arguments (1 given)"


def test_keywords_bind_like_positions(diff):
    diff.add_node(id=A, update={"label": "a"})
    diff.add_node(update={"red": 1}, id=B)
    # `from` is a Python keyword: only an unpacked dict can name it.
    diff.add_edge(**{"from": A, "to": B, "weight": 2.0})
    diff.add_edge(A, weight=3.0, to=A)
    assert diff.new_or_updated_nodes() == {text(A): {"label": "a"}, text(B): {"red": 1}}
    assert diff.new_or_updated_edges() == {text(A): {text(B): 2.0, text(A): 3.0}}
    diff.delete_edge(**{"to": B, "from": A})
    assert diff.deleted_edges() == {text(A): [text(B)]}


def test_keyword_names_built_at_run_time_match(diff):
    name = "".join(["i", "d"])  # equal to "id" but a different, non-interned object
    diff.delete_node(**{name: A})
    assert diff.deleted_nodes() == [text(A)]


def test_keyword_from_a_str_subclass_matches(diff):
    class Name(str):
        pass

    diff.delete_node(**{Name("id"): A})
    assert diff.deleted_nodes() == [text(A)]


def test_from_bytes_by_keyword_reaches_the_reader():
    with pytest.raises(Exception) as info:
        PyGraphDiff.from_bytes(bytes=b"")
    assert type(info.value) is Exception
    assert str(info.value) == "Failed to deserialize graph diff."
    assert PyGraphDiff.from_bytes(bytes=bytes(32)).num_nodes() == 0


DOCUMENT_COPY_NOTE = "documents are bytes objects: pass bytes(...) of it"


@pytest.mark.parametrize(
    "value, type_name, note",
    [("00" * 16, "str",
      "pass the document's bytes (from a file: pathlib.Path(name).read_bytes()), not a name"),
     (bytearray(32), "bytearray", DOCUMENT_COPY_NOTE),
     (memoryview(bytes(32)), "memoryview", DOCUMENT_COPY_NOTE),
     (None, "NoneType", None)],
    ids=["str", "bytearray", "memoryview", "None"],
)
def test_from_bytes_refuses_non_bytes(value, type_name, note):
    with pytest.raises(TypeError) as info:
        PyGraphDiff.from_bytes(value)
    assert type(info.value) is TypeError
    assert str(info.value) == (
        f"argument 'bytes': '{type_name}' object cannot be converted to 'PyBytes'"
    )
    assert info.value.__cause__ is None
    assert info.value.__suppress_context__ is True
    assert getattr(info.value, "__notes__", None) == (note and [note])


def test_from_bytes_accepts_a_bytes_subclass():
    class Data(bytes):
        pass

    assert PyGraphDiff.from_bytes(Data(32)).num_edges() == 0
