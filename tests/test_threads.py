"""Other threads and processes: daemon threads inside a call when the interpreter ends,
and buffers that another process writes while a bulk call reads them.
"""

import mmap
import multiprocessing
import os
import subprocess
import sys

import pytest

import support
from kovra_api import PyGraphDiff

# Two daemon threads loop over one call while the main thread ends with many dicts left
# for finalization to free, so that the threads come back from the call, or out of
# the caller's code that the call ran, while the interpreter finalizes.
EXIT_CHILD = r"""
import sys, threading, time
from kovra_api import PyGraphDiff, merge_documents

class SlowNumber:
    def _spin(self):
        total = 0
        for i in range(2000):
            total += i
    def __float__(self):
        self._spin()
        return 1.0
    def __index__(self):
        self._spin()
        return 1

doc = open(sys.argv[2], "rb").read()
a, b = bytes(16), bytes(range(16))
CALLS = {
    "from_bytes": lambda d: PyGraphDiff.from_bytes(doc),
    "merge_documents": lambda d: merge_documents([doc]),
    "a weight's __float__": lambda d: d.add_edge(a, b, SlowNumber()),
    "a colour's __index__": lambda d: d.add_node(a, {"red": SlowNumber()}),
}
call = CALLS[sys.argv[1]]

def loop():
    d = PyGraphDiff()
    while True:
        call(d)

for _ in range(2):
    threading.Thread(target=loop, daemon=True).start()
time.sleep(0.1)
left_for_finalization = [{"i": i} for i in range(300_000)]
"""


@pytest.fixture(scope="module")
def large_document(tmp_path_factory):
    diff = PyGraphDiff()
    n = 50_000  # over the size that from_bytes decodes without the interpreter
    diff.add_edges(os.urandom(16 * n), os.urandom(16 * n), [0.5] * n)
    path = tmp_path_factory.mktemp("exit") / "edges.bin"
    path.write_bytes(diff.to_bytes())
    return path


# The forced unwind out of a caller's code passes frames of the call that have
# destructors to run, where AddressSanitizer's own bookkeeping (sigaltstack on a stack
# that the unwind left poisoned) reports an overflow of its own making.
THROUGH_DESTRUCTORS = pytest.mark.skipif(
    support.under_address_sanitizer(), reason="a false report of the sanitizer's runtime")


@pytest.mark.parametrize("call, runs", [
    ("from_bytes", 20),
    ("merge_documents", 20),
    pytest.param("a weight's __float__", 6, marks=THROUGH_DESTRUCTORS),
    pytest.param("a colour's __index__", 6, marks=THROUGH_DESTRUCTORS),
])
def test_daemon_threads_inside_calls_at_exit_do_not_end_the_process(large_document, call, runs):
    env = dict(os.environ)
    if support.under_address_sanitizer():
        # A parked thread keeps what it holds, which LeakSanitizer would report at exit;
        # every other report still counts. The runs are slow there: two are enough.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
        runs = 2
    # A few children at a time: each run is a race with finalization, so each must be
    # its own process.
    failures = []
    for first in range(0, runs, 4):
        children = [
            subprocess.Popen([sys.executable, "-c", EXIT_CHILD, call, str(large_document)],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
            for _ in range(first, min(runs, first + 4))
        ]
        for child in children:
            _, err = child.communicate(timeout=300)
            if child.returncode != 0:
                failures.append((child.returncode, err.decode(errors="replace")[-2000:]))
    assert failures == []


ID_COUNT = 4096
# Two sets of ids that share none; the writer flips the shared buffer between them.
OLD_IDS = b"".join(bytes([1]) + i.to_bytes(15, "little") for i in range(ID_COUNT))
NEW_IDS = b"".join(bytes([2]) + i.to_bytes(15, "little") for i in range(ID_COUNT))


def flip_forever(shared, stop):
    while not stop.is_set():
        shared[:] = OLD_IDS
        shared[:] = NEW_IDS


def assert_sound(diff):
    """The checks a diff that broke its own rules fails: each id once in every view, and
    the document reads back to the same bytes."""
    deleted = diff.deleted_nodes()
    assert len(deleted) == len(set(deleted))
    for from_ids, to_ids, *_ in (diff.edges_columns(), diff.deleted_edges_columns()):
        rows = [(from_ids[i:i + 16], to_ids[i:i + 16]) for i in range(0, len(from_ids), 16)]
        assert len(rows) == len(set(rows))
    data = diff.to_bytes()
    assert PyGraphDiff.from_bytes(data).to_bytes() == data


# Each id of the buffer is read once, so a batch holds some mixture of old and new ids;
# the stable calls after it then find every id that the batch stored.
BULK = {
    "delete_nodes": (lambda d, ids: d.delete_nodes(ids),
                     lambda d: (d.delete_nodes(OLD_IDS), d.delete_nodes(NEW_IDS))),
    "add_edges": (lambda d, ids: d.add_edges(ids, ids, [1.0] * ID_COUNT),
                  lambda d: (d.add_edges(OLD_IDS, OLD_IDS, [2.0] * ID_COUNT),
                             d.add_edges(NEW_IDS, NEW_IDS, [2.0] * ID_COUNT))),
    "delete_edges": (lambda d, ids: d.delete_edges(ids, OLD_IDS),
                     lambda d: (d.delete_edges(OLD_IDS, OLD_IDS), d.delete_edges(NEW_IDS, OLD_IDS))),
}


@pytest.mark.parametrize("call", BULK)
def test_bulk_calls_on_a_buffer_another_process_writes_keep_the_diff_sound(call):
    changing, stable = BULK[call]
    shared = mmap.mmap(-1, len(OLD_IDS))
    shared[:] = OLD_IDS
    context = multiprocessing.get_context("fork")
    stop = context.Event()
    writer = context.Process(target=flip_forever, args=(shared, stop), daemon=True)
    writer.start()
    try:
        for _ in range(60):
            diff = PyGraphDiff()
            changing(diff, memoryview(shared))
            stable(diff)
            assert_sound(diff)
    finally:
        stop.set()
        writer.join()
