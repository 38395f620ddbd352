"""No leaks: reference counts and memory stay flat across many calls."""

import gc
import os
import sys

import pytest

from kovra_api import PyGraphDiff
from support import A, B, C


def rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


# Generous: a leak of one small object per iteration over a million iterations
# would show as tens of megabytes.
RSS_SLACK = 16 * 1024 * 1024
N = 1_000_000


@pytest.fixture
def steady_memory():
    gc.collect()
    start = rss_bytes()
    yield
    gc.collect()
    # AddressSanitizer quarantines freed memory, so resident size only grows there.
    if os.environ.get("KOVRA_SANITIZE_RUN") != "1":
        assert rss_bytes() - start < RSS_SLACK


def test_creating_and_dropping_instances(steady_memory):
    before = sys.getrefcount(PyGraphDiff)
    for _ in range(N):
        PyGraphDiff()
    for _ in range(N // 10):
        d = PyGraphDiff()
        d.add_node(A, {"label": "some label long enough to allocate", "url": "u"})
        d.add_edge(A, B, 1.0)
        d.delete_edge(B, C)
        del d
    assert sys.getrefcount(PyGraphDiff) == before


def test_failing_calls(steady_memory, diff):
    update = {"label": "x", "red": 300}
    short = b"short"
    refs = [sys.getrefcount(o) for o in (PyGraphDiff, update, short, diff)]
    for _ in range(N // 4):
        try:
            diff.delete_node(short)
        except TypeError:
            pass
        try:
            diff.add_node(A, update)
        except OverflowError:
            pass
        try:
            diff.add_edge(A, B, "heavy")
        except TypeError:
            pass
        try:
            diff.delete_edge(A, B, C)
        except TypeError:
            pass
    assert [sys.getrefcount(o) for o in (PyGraphDiff, update, short, diff)] == refs
    assert diff.num_nodes() == 0


def test_arguments_and_results_are_not_leaked(diff):
    node = bytes(range(16))
    label = "label text"
    weight = 0.25
    update = {"label": label, "size": 1.5}
    tracked = (node, label, weight, update)
    refs = [sys.getrefcount(o) for o in tracked]
    for _ in range(10_000):
        diff.add_node(node, update)
        diff.add_edge(node, B, weight)
        diff.delete_edge(B, node)
        diff.delete_node(C)
        nodes = diff.new_or_updated_nodes()
        diff.new_or_updated_edges()
        diff.deleted_edges()
        diff.deleted_nodes()
        diff.to_bytes()
        PyGraphDiff.from_bytes(diff.to_bytes())
    assert [sys.getrefcount(o) for o in tracked] == refs
    # A fresh view is owned by the caller alone, all the way down.
    assert sys.getrefcount(nodes) == 2
    inner = next(iter(nodes.values()))
    assert sys.getrefcount(inner) == 3  # `inner`, the view, the call's argument
    for method in ("deleted_nodes", "new_or_updated_edges", "deleted_edges", "to_bytes"):
        view = getattr(diff, method)()
        assert sys.getrefcount(view) == 2, method
