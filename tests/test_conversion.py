"""Python objects in and out: node ids, node update dicts and numbers."""

import collections
import math
import sys
import types
import uuid

import pytest

from support import A, B, snapshot, text

# ---- node ids -------------------------------------------------------------------


class BytesSubclass(bytes):
    def __len__(self):
        return 3  # the stored size counts, not __len__


@pytest.mark.parametrize(
    "node, expected",
    [
        (bytes(16), "00000000-0000-0000-0000-000000000000"),
        (bytes(range(16)), "00010203-0405-0607-0809-0a0b0c0d0e0f"),
        (b"\xff" * 16, "ffffffff-ffff-ffff-ffff-ffffffffffff"),
        (BytesSubclass(range(16)), "00010203-0405-0607-0809-0a0b0c0d0e0f"),
    ],
    ids=["zeros", "counting", "all-ff-lowercase", "bytes-subclass"],
)
def test_id_text(diff, node, expected):
    diff.delete_node(node)
    diff.add_node(node, {})
    assert diff.new_or_updated_nodes() == {expected: {}}
    assert expected == str(uuid.UUID(bytes=bytes(node)))


def test_ids_differing_in_one_byte_are_distinct(diff):
    other = A[:15] + bytes([A[15] ^ 1])
    diff.delete_node(A)
    diff.delete_node(other)
    assert sorted(diff.deleted_nodes()) == sorted([text(A), text(other)])


def test_returned_text_addresses_the_same_node(diff):
    diff.add_node(A, {"label": "a"})
    (key,) = diff.new_or_updated_nodes()
    diff.delete_node(uuid.UUID(key).bytes)
    assert diff.new_or_updated_nodes() == {} and diff.deleted_nodes() == [key]


UUID_OBJECT_NOTE = "pass the id's 16 bytes, uuid.UUID(...).bytes, not the UUID"
UUID_TEXT_NOTE = "pass the id's 16 bytes, uuid.UUID(text).bytes, not its text"


# The last column: the note a common slip gets beside the message, or None.
@pytest.mark.parametrize(
    "value, cause_type, cause_message, note",
    [
        (b"", Exception, "Expected 16 bytes.", None),
        (bytes(15), Exception, "Expected 16 bytes.", None),
        (bytes(17), Exception, "Expected 16 bytes.", None),
        (bytearray(16), TypeError, "'bytearray' object cannot be converted to 'PyBytes'",
         "ids are bytes objects: pass bytes(...) of it"),
        (memoryview(bytes(16)), TypeError, "'memoryview' object cannot be converted to 'PyBytes'",
         "ids are bytes objects: pass bytes(...) of it"),
        (uuid.UUID(int=1), TypeError, "'UUID' object cannot be converted to 'PyBytes'", UUID_OBJECT_NOTE),
        (type("Mine", (uuid.UUID,), {})(int=1), TypeError, "'Mine' object cannot be converted to 'PyBytes'",
         UUID_OBJECT_NOTE),
        (text(A), TypeError, "'str' object cannot be converted to 'PyBytes'", UUID_TEXT_NOTE),
        ("{" + A.hex().upper() + "}", TypeError, "'str' object cannot be converted to 'PyBytes'", UUID_TEXT_NOTE),
        ("urn:uuid:" + text(A), TypeError, "'str' object cannot be converted to 'PyBytes'", UUID_TEXT_NOTE),
        (text(A)[:-1] + "g", TypeError, "'str' object cannot be converted to 'PyBytes'", None),
        (text(A) + "0", TypeError, "'str' object cannot be converted to 'PyBytes'", None),
        ("\ud800", TypeError, "'str' object cannot be converted to 'PyBytes'", None),
        (text(A).encode(), Exception, "Expected 16 bytes.",
         "these bytes spell a UUID: pass the id's 16 bytes, uuid.UUID(text).bytes"),
        (5, TypeError, "'int' object cannot be converted to 'PyBytes'", None),
        (None, TypeError, "'NoneType' object cannot be converted to 'PyBytes'", None),
    ],
    ids=["empty", "15", "17", "bytearray", "memoryview", "uuid", "uuid-subclass", "text", "hex-in-braces",
         "urn", "text-not-hex", "text-33-digits", "lone-surrogate", "text-as-bytes", "int", "None"],
)
def test_bad_id(diff, value, cause_type, cause_message, note):
    with pytest.raises(TypeError) as info:
        diff.delete_node(value)
    error = info.value
    assert type(error) is TypeError
    assert str(error) == "argument 'id': failed to extract field PyUuid.0"
    assert type(error.__cause__) is cause_type
    assert str(error.__cause__) == cause_message
    assert error.__suppress_context__ is True
    assert getattr(error, "__notes__", None) == (note and [note])
    assert diff.num_nodes() == 0


def test_bad_id_type_uses_qualified_name(diff):
    class Inner:
        class Deeper:
            pass

    with pytest.raises(TypeError) as info:
        diff.delete_node(Inner.Deeper())
    assert str(info.value.__cause__) == (
        "'test_bad_id_type_uses_qualified_name.<locals>.Inner.Deeper' object cannot be "
        "converted to 'PyBytes'"
    )


def test_unreadable_type_name(diff):
    odd = type("Odd", (), {})
    odd.__qualname__ = "\udc80"
    with pytest.raises(TypeError) as info:
        diff.delete_node(odd())
    assert str(info.value.__cause__) == (
        "'<failed to extract type name>' object cannot be converted to 'PyBytes'"
    )


@pytest.mark.parametrize(
    "call, parameter",
    [
        (lambda d: d.add_edge(A, "to", "weight"), "to"),
        (lambda d: d.add_edge(None, "to", "weight"), "from"),
        (lambda d: d.delete_edge(A, b"x"), "to"),
        (lambda d: d.add_node(b"x", 5), "id"),
    ],
    ids=["add_edge-to-before-weight", "add_edge-from-first", "delete_edge-to",
         "add_node-id-before-update"],
)
def test_first_bad_parameter_is_reported(diff, call, parameter):
    with pytest.raises(TypeError) as info:
        call(diff)
    assert str(info.value) == f"argument '{parameter}': failed to extract field PyUuid.0"


# ---- node update dicts: accepted values -------------------------------------------


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Float:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize(
    "update, view",
    [
        ({}, {}),
        ({"label": "", "red": 0, "size": 0.0, "show_label": False},
         {"label": "", "size": 0.0, "red": 0, "show_label": False}),
        ({"size": 3}, {"size": 3.0}),
        ({"size": True}, {"size": 1.0}),
        ({"size": 0.1}, {"size": 0.10000000149011612}),
        ({"size": 1e39}, {"size": math.inf}),
        ({"size": -1e39}, {"size": -math.inf}),
        ({"size": -1.0}, {"size": -1.0}),
        ({"size": Float()}, {"size": 2.5}),
        ({"size": Index(7)}, {"size": 7.0}),
        ({"size": 2**64}, {"size": 2.0**64}),
        ({"red": 255, "green": True, "blue": Index(9)}, {"red": 255, "green": 1, "blue": 9}),
        ({"label": "a\x00b", "url": "\u00e9/\U0001f600"}, {"label": "a\x00b", "url": "\u00e9/\U0001f600"}),
        ({"show_label": True}, {"show_label": True}),
        ({"extra": None, "showLabel": True, "Label": 1}, {}),
    ],
    ids=["empty", "zero-values-present", "int-size", "bool-size", "size-0.1", "size-overflow",
         "size-negative-overflow", "size-minus-one", "dunder-float", "dunder-index",
         "huge-int-size", "colours", "texts", "show-label", "unknown-keys-ignored"],
)
def test_update_values(diff, update, view):
    diff.add_node(A, update)
    stored = diff.new_or_updated_nodes()[text(A)]
    assert stored == view
    assert list(stored) == list(view)  # keys in the conversion's fixed order


def test_all_keys_come_back_in_fixed_order(diff):
    diff.add_node(A, {"show_label": True, "blue": 3, "green": 2, "red": 1, "size": 1.5,
                      "url": "u", "label": "l"})
    assert list(diff.new_or_updated_nodes()[text(A)]) == [
        "label", "url", "size", "red", "green", "blue", "show_label"]


def test_nan_size_and_negative_zero(diff):
    diff.add_node(A, {"size": math.nan})
    diff.add_node(B, {"size": -0.0})
    nodes = diff.new_or_updated_nodes()
    assert math.isnan(nodes[text(A)]["size"])
    assert math.copysign(1.0, nodes[text(B)]["size"]) == -1.0


FLT_MAX = 3.4028234663852886e38


@pytest.mark.parametrize(
    "value, expected",
    [
        (1 + 2**-24, 1.0),
        (1 + 3 * 2**-24, 1 + 2**-22),
        (FLT_MAX, FLT_MAX),
        (3.4028235677973362e38, FLT_MAX),
        (3.4028235677973366e38, math.inf),
        (2**-149, 2**-149),
        (2**-150, 0.0),
        (2**-150 * (1 + 2**-20), 2**-149),
        (-1e-50, -0.0),
        (16777217.0, 16777216.0),
        (math.pi, 3.1415927410125732),
    ],
    ids=["tie-to-even-down", "tie-to-even-up", "max", "just-below-overflow-tie",
         "overflow-tie-to-infinity", "min-subnormal", "half-min-subnormal-to-zero",
         "above-half-min-subnormal", "negative-underflow", "odd-integer", "pi"],
)
def test_size_and_weight_round_to_nearest_binary32(diff, value, expected):
    diff.add_node(A, {"size": value})
    diff.add_edge(A, B, value)
    size = diff.new_or_updated_nodes()[text(A)]["size"]
    weight = diff.new_or_updated_edges()[text(A)][text(B)]
    for got in (size, weight):
        assert got == expected
        assert math.copysign(1.0, got) == math.copysign(1.0, expected)


def test_update_dict_variants(diff):
    class WithMissing(dict):
        def __missing__(self, key):
            return "supplied"

        def __getitem__(self, key):
            raise AssertionError("never called")

    diff.add_node(A, collections.OrderedDict([("label", "o")]))
    diff.add_node(B, WithMissing(red=4))
    assert diff.new_or_updated_nodes() == {text(A): {"label": "o"}, text(B): {"red": 4}}


def test_keys_match_by_content(diff):
    built = {"".join(["la", "bel"]): "runtime", "labe\u00e9": 1, "red ": None}
    diff.add_node(A, built)
    extra = {f"extra{i}": None for i in range(100)}  # a large dict with the key last
    extra["url"] = "u"
    diff.add_node(B, extra)
    assert diff.new_or_updated_nodes() == {text(A): {"label": "runtime"}, text(B): {"url": "u"}}


def test_keys_after_a_converting_dunder_are_looked_up_afresh(diff):
    class Size:
        def __float__(self):
            update.pop("red")
            update["blue"] = 9
            update["label"] = "too late"
            return 1.0

    update = {"label": "first", "size": Size(), "red": 5}
    diff.add_node(A, update)
    assert diff.new_or_updated_nodes() == {text(A): {"label": "first", "size": 1.0, "blue": 9}}


def test_non_str_keys_are_allowed(diff):
    diff.add_node(A, {1: "one", None: 2, ("label",): 3, "red": 4})
    assert diff.new_or_updated_nodes() == {text(A): {"red": 4}}


def test_update_values_are_copied(diff):
    update = {"label": "before"}
    diff.add_node(A, update)
    update["label"] = "after"
    assert diff.new_or_updated_nodes()[text(A)] == {"label": "before"}


# ---- node update dicts: refused values ----------------------------------------------

# The interpreter's own wording for PyFloat_AsDouble / PyLong_AsLong failures; the
# field whose value failed, which a note names.
REFUSED = [
    (None, TypeError, "argument 'update': 'NoneType' object cannot be converted to 'PyDict'", None),
    ([], TypeError, "argument 'update': 'list' object cannot be converted to 'PyDict'", None),
    (types.MappingProxyType({}), TypeError,
     "argument 'update': 'mappingproxy' object cannot be converted to 'PyDict'", None),
    ({"label": 5}, TypeError, "argument 'update': 'int' object cannot be converted to 'PyString'", "label"),
    ({"url": None}, TypeError,
     "argument 'update': 'NoneType' object cannot be converted to 'PyString'", "url"),
    ({"label": b"x"}, TypeError,
     "argument 'update': 'bytes' object cannot be converted to 'PyString'", "label"),
    ({"size": "1"}, TypeError, "argument 'update': must be real number, not str", "size"),
    ({"size": None}, TypeError, "argument 'update': must be real number, not NoneType", "size"),
    ({"red": 256}, OverflowError, "out of range integral type conversion attempted", "red"),
    ({"green": -1}, OverflowError, "out of range integral type conversion attempted", "green"),
    ({"blue": Index(1000)}, OverflowError, "out of range integral type conversion attempted", "blue"),
    ({"red": 2**64}, OverflowError, "Python int too large to convert to C long", "red"),
    ({"red": 1.0}, TypeError,
     "argument 'update': 'float' object cannot be interpreted as an integer", "red"),
    ({"red": "1"}, TypeError, "argument 'update': 'str' object cannot be interpreted as an integer", "red"),
    ({"red": None}, TypeError,
     "argument 'update': 'NoneType' object cannot be interpreted as an integer", "red"),
    ({"show_label": 1}, TypeError, "argument 'update': 'int' object cannot be converted to 'PyBool'", "show_label"),
    ({"show_label": None}, TypeError,
     "argument 'update': 'NoneType' object cannot be converted to 'PyBool'", "show_label"),
    ({"show_label": "true"}, TypeError,
     "argument 'update': 'str' object cannot be converted to 'PyBool'", "show_label"),
    ({"label": 5, "red": 300}, TypeError,
     "argument 'update': 'int' object cannot be converted to 'PyString'", "label"),
    ({"red": 300, "label": 5}, TypeError,
     "argument 'update': 'int' object cannot be converted to 'PyString'", "label"),
    ({"url": "ok", "show_label": 0, "blue": -5}, OverflowError,
     "out of range integral type conversion attempted", "blue"),
]


@pytest.mark.parametrize(
    "update, error_type, message, field",
    REFUSED,
    ids=["None", "list", "mappingproxy", "label-int", "url-None", "label-bytes", "size-str",
         "size-None", "red-256", "green-minus-one", "blue-index-1000", "red-beyond-long",
         "red-float", "red-str", "red-None", "show-label-int", "show-label-None",
         "show-label-str", "label-before-red", "label-first-whatever-dict-order",
         "blue-before-show-label"],
)
def test_refused_updates(diff, update, error_type, message, field):
    diff.add_node(A, {"label": "kept"})
    before = snapshot(diff)
    with pytest.raises(error_type) as info:
        diff.add_node(A, update)
    assert type(info.value) is error_type
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) == (field and [f"argument 'update': field '{field}'"])
    assert info.value.__cause__ is None
    assert snapshot(diff) == before


def test_lone_surrogate_passes_through_unprefixed(diff):
    with pytest.raises(UnicodeEncodeError) as info:
        diff.add_node(A, {"label": "ok\udc80"})
    assert info.value.reason == "surrogates not allowed"
    assert diff.num_nodes() == 0


def test_typeerror_subclass_is_not_renamed(diff):
    class MyTypeError(TypeError):
        pass

    class Bad:
        def __float__(self):
            raise MyTypeError("mine")

    with pytest.raises(MyTypeError) as info:
        diff.add_edge(A, B, Bad())
    assert str(info.value) == "mine"


def test_renamed_typeerror_keeps_the_original_cause(diff):
    root = KeyError("root")

    class Bad:
        def __float__(self):
            raise TypeError("from float") from root

    with pytest.raises(TypeError) as info:
        diff.add_edge(A, B, Bad())
    assert str(info.value) == "argument 'weight': from float"
    assert info.value.__cause__ is root
    assert info.value.__suppress_context__ is True


def test_unprintable_typeerror(diff, monkeypatch):
    class Unprintable:
        def __str__(self):
            raise ValueError("no text")

    class Bad:
        def __float__(self):
            raise TypeError(Unprintable())

    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    with pytest.raises(TypeError) as info:
        diff.add_edge(A, B, Bad())
    assert str(info.value) == "argument 'weight': <unprintable TypeError object>"
    assert len(reported) == 1 and type(reported[0].exc_value) is ValueError


@pytest.mark.parametrize(
    "weight, error_type, message",
    [
        ("heavy", TypeError, "argument 'weight': must be real number, not str"),
        (None, TypeError, "argument 'weight': must be real number, not NoneType"),
        (2**1024, OverflowError, "int too large to convert to float"),
    ],
    ids=["str", "None", "int-beyond-double"],
)
def test_refused_weights(diff, weight, error_type, message):
    with pytest.raises(error_type) as info:
        diff.add_edge(A, B, weight)
    assert type(info.value) is error_type
    assert str(info.value) == message
    assert diff.num_edges() == 0


# ---- show_label from NumPy and look-alikes ----------------------------------------------


def test_numpy_bool():
    np = pytest.importorskip("numpy")
    from kovra_api import PyGraphDiff

    d = PyGraphDiff()
    d.add_node(A, {"show_label": np.True_})
    d.add_node(B, {"show_label": np.bool_(False)})
    assert d.new_or_updated_nodes() == {text(A): {"show_label": True},
                                        text(B): {"show_label": False}}
    with pytest.raises(TypeError) as info:
        d.add_node(A, {"show_label": np.int8(1)})
    assert str(info.value) == "argument 'update': 'int8' object cannot be converted to 'PyBool'"


def fake_numpy_bool(name, **namespace):
    return type(name, (), namespace)()


@pytest.mark.parametrize("name", ["numpy.bool_", "numpy.bool"], ids=["numpy1", "numpy2"])
def test_numpy_named_types_use_their_truth_slot(diff, name):
    diff.add_node(A, {"show_label": fake_numpy_bool(name, __bool__=lambda self: False)})
    assert diff.new_or_updated_nodes() == {text(A): {"show_label": False}}


def test_numpy_named_type_errors(diff):
    def raising(self):
        raise ValueError("ambiguous")

    with pytest.raises(ValueError) as info:
        diff.add_node(A, {"show_label": fake_numpy_bool("numpy.bool_", __bool__=raising)})
    assert str(info.value) == "ambiguous"

    without = fake_numpy_bool("numpy.bool_")
    with pytest.raises(TypeError) as info:
        diff.add_node(A, {"show_label": without})
    assert str(info.value) == (
        f"argument 'update': object of type '{type(without)}' does not define a '__bool__' "
        "conversion"
    )

    with pytest.raises(TypeError) as info:
        diff.add_node(A, {"show_label": fake_numpy_bool("numpy.bool8", __bool__=lambda s: True)})
    assert str(info.value) == (
        "argument 'update': 'numpy.bool8' object cannot be converted to 'PyBool'"
    )
    assert diff.num_nodes() == 0
