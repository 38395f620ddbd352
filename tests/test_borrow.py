"""Re-entry into an instance from Python code that a conversion runs."""

import pytest

from kovra_api import PyGraphDiff
from support import A, B, C, snapshot, text


class CallsBack:
    """A number whose __float__ and __index__ call `method` on `target` first."""

    def __init__(self, target, method, *args):
        self.target, self.method, self.args = target, method, args
        self.error = None

    def _call_back(self):
        try:
            getattr(self.target, self.method)(*self.args)
        except RuntimeError as error:
            self.error = error

    def __float__(self):
        self._call_back()
        return 1.0

    def __index__(self):
        self._call_back()
        return 1


REENTRY = [
    ("num_nodes", (), "Already mutably borrowed"),
    ("new_or_updated_edges", (), "Already mutably borrowed"),
    ("to_bytes", (), "Already mutably borrowed"),
    ("clear", (), "Already borrowed"),
    ("delete_node", (C,), "Already borrowed"),
    ("add_node", (C, {}), "Already borrowed"),
]
REENTRY_IDS = [row[0] for row in REENTRY]


@pytest.mark.parametrize("method, args, message", REENTRY, ids=REENTRY_IDS)
def test_reentry_from_weight_float(diff, method, args, message):
    weight = CallsBack(diff, method, *args)
    diff.add_edge(A, B, weight)
    assert type(weight.error) is RuntimeError
    assert str(weight.error) == message
    # The outer call completed and the flag was given back.
    assert diff.new_or_updated_edges() == {text(A): {text(B): 1.0}}
    diff.clear()


@pytest.mark.parametrize("method, args, message", REENTRY, ids=REENTRY_IDS)
def test_reentry_from_colour_index(diff, method, args, message):
    red = CallsBack(diff, method, *args)
    diff.add_node(A, {"red": red})
    assert str(red.error) == message
    assert diff.new_or_updated_nodes() == {text(A): {"red": 1}}


def test_reentry_from_size_index(diff):
    class IndexOnly:
        def __index__(self):
            seen.append(diff.num_edges())
            return 2

    seen = []
    with pytest.raises(RuntimeError) as info:
        diff.add_node(A, {"size": IndexOnly()})
    assert str(info.value) == "Already mutably borrowed"
    assert seen == [] and diff.num_nodes() == 0


def test_error_from_reentry_propagates_unchanged(diff):
    class Raising:
        def __float__(self):
            diff.num_nodes()  # refused, and the refusal is not caught here
            return 1.0

    with pytest.raises(RuntimeError) as info:
        diff.add_edge(A, B, Raising())
    assert type(info.value) is RuntimeError
    assert str(info.value) == "Already mutably borrowed"
    assert info.value.__cause__ is None
    assert diff.num_edges() == 0
    diff.add_edge(A, B, 1.0)  # exclusive borrow available again
    assert diff.num_edges() == 1


def test_other_instances_are_not_blocked(diff):
    other = PyGraphDiff()

    class UsesOther:
        def __float__(self):
            other.add_node(A, {})
            return float(other.num_nodes())

    diff.add_edge(A, B, UsesOther())
    assert diff.new_or_updated_edges() == {text(A): {text(B): 1.0}}
    assert other.num_nodes() == 1


def test_reentry_from_key_eq_that_mutates(diff):
    class Key(str):
        """Hashes like "label", so the dict lookup calls its __eq__."""

        def __hash__(self):
            return hash("label")

        def __eq__(self, other):
            try:
                diff.clear()
            except RuntimeError as error:
                seen.append(str(error))
            update.pop("url", None)  # the dict changes under the lookup
            return False

    seen = []
    update = {Key("other"): 1, "url": "u"}
    diff.add_node(A, update)
    assert seen and set(seen) == {"Already borrowed"}
    assert diff.new_or_updated_nodes() == {text(A): {}}


def test_reentry_from_numpy_named_bool(diff):
    seen = []

    def truth(self):
        try:
            diff.deleted_nodes()
        except RuntimeError as error:
            seen.append(str(error))
        return True

    fake_bool = type("numpy.bool_", (), {"__bool__": truth})
    diff.add_node(A, {"show_label": fake_bool()})
    assert seen == ["Already mutably borrowed"]
    assert diff.new_or_updated_nodes() == {text(A): {"show_label": True}}


class RaisesFromFloat:
    def __float__(self):
        raise ValueError("no number")


@pytest.mark.parametrize(
    "call",
    [
        lambda d: d.add_node(b"short", {}),
        lambda d: d.add_node(A, {"label": "new", "red": 300}),
        lambda d: d.add_edge(A, B, "heavy"),
        lambda d: d.add_edge(A, B, RaisesFromFloat()),
        lambda d: d.delete_edge(A, None),
        lambda d: d.add_node(A, {}, 1),
        lambda d: d.add_edge(A, B, CallsBack(d, "clear", "unexpected")),
    ],
    ids=["bad-id", "overflow", "bad-weight", "raising-float", "bad-to", "binding",
         "failing-call-inside"],
)
def test_failure_restores_flag_and_changes_nothing(diff, call):
    diff.add_node(B, {"label": "kept"})
    diff.add_edge(B, C, 0.5)
    before = snapshot(diff)
    with pytest.raises((TypeError, OverflowError, ValueError)):
        call(diff)
    assert snapshot(diff) == before  # the shared borrow is free
    diff.clear()  # and so is the exclusive one
    assert diff.num_nodes() == 0
