"""The `kovra` command as installed beside this interpreter (from the wheel, under
tools/test_wheel.sh): each subcommand's output, its one-line errors, and the viewer it
serves, read in headless Chromium. Checks over every vector call the same code in this
process, which spawning a command per vector would only slow down."""

import fcntl
import io
import json
import os
import pty
import re
import shutil
import struct
import subprocess
import sys
import time
import urllib.error
import urllib.request
from pathlib import Path

import pytest

from kovra_api import PyGraphDiff, merge_documents, shard_of
from kovra_tools import cli
from kovra_tools import document as plain
from support import A, B, C, D, E, X, text

KOVRA = Path(sys.executable).parent / "kovra"
VECTORS = Path(__file__).resolve().parent / "vectors"
VECTOR_LIST = json.loads((VECTORS / "vectors.json").read_text())
VALID = [v["name"] for v in VECTOR_LIST if v["valid"]]
INVALID = [v["name"] for v in VECTOR_LIST if not v["valid"]]
# Documents whose content no sequence of method calls builds: empty groups (the views
# leave them out), and content that breaks the methods' rules. Their JSON Lines read
# back to what the methods make of them.
NOT_BUILDABLE = {"empty-groups", "repeated-group", "repeated-row", "updated-and-deleted"}


def kovra(*args, stdin=None, check_status=0):
    assert KOVRA.is_file(), f"the kovra command is not installed beside {sys.executable}"
    run = subprocess.run([str(KOVRA), *map(str, args)], input=stdin, capture_output=True, timeout=120)
    assert run.returncode == check_status, run.stderr.decode()
    return run


def sample() -> PyGraphDiff:
    diff = PyGraphDiff()
    diff.add_node(A, {"label": "hub", "size": 2.5, "show_label": True})
    diff.add_node(B, {"red": 1, "url": "u"})
    diff.delete_node(C)
    for target, w in [(B, 0.5), (D, 1e-3), (E, 3.0)]:
        diff.add_edge(A, target, w)
    diff.add_edge(B, A, 1.0)
    diff.delete_edge(D, E)
    return diff


@pytest.fixture
def sample_file(tmp_path):
    path = tmp_path / "sample.bin"
    path.write_bytes(sample().to_bytes())
    return path


@pytest.mark.parametrize("args", [[], ["inspect"], ["dump"], ["json"], ["from-json"], ["merge"], ["view"]],
                         ids=lambda args: " ".join(args) or "kovra")
def test_help_everywhere(args):
    run = kovra(*args, "--help")
    assert run.stdout.decode().startswith(f"usage: kovra {' '.join(args)}".rstrip())
    assert run.stderr == b""


@pytest.mark.parametrize(
    "args, message",
    [
        (["inspect", "{missing}"], "kovra inspect: {missing}: No such file or directory"),
        (["dump", "{missing}"], "kovra dump: {missing}: No such file or directory"),
        (["json", "{missing}"], "kovra json: {missing}: No such file or directory"),
        (["from-json", "{missing}", "{out}"], "kovra from-json: {missing}: No such file or directory"),
        (["merge", "{out}", "{sample}", "{missing}"], "kovra merge: {missing}: No such file or directory"),
        (["view", "{missing}"], "kovra view: {missing}: not a file"),
        (["inspect", "{short}"],
         "kovra inspect: {short}: not a graph diff document: count at offset 0x18 needs 8 bytes, only 7 remain"),
        (["json", "{short}"],
         "kovra json: {short}: not a graph diff document: count at offset 0x18 needs 8 bytes, only 7 remain"),
        (["dump", "{short}"],
         "kovra dump: {short}: not a graph diff document: count at offset 0x18 needs 8 bytes, only 7 remain"),
        (["merge", "{out}", "{sample}", "{short}"],
         "kovra merge: {short}: not a graph diff document: count at offset 0x18 needs 8 bytes, only 7 remain"),
        (["inspect", "{colour}"],
         "kovra inspect: {colour}: not a graph diff document: the record at offset 0x28 breaks the record "
         'rules of docs/format.md: {{"red":256}}'),
        (["merge", "{out}", "{sample}", "{sample}"],
         "kovra merge: Edges from a0a1a2a3-a4a5-a6a7-a8a9-aaabacadaeaf are in documents 0 and 1. "
         "(document 0 is {sample} and 1 is {sample})"),
    ],
    ids=["inspect-missing", "dump-missing", "json-missing", "from-json-missing", "merge-missing",
         "view-missing", "inspect-short", "json-short", "dump-short", "merge-short", "inspect-bad-record",
         "merge-conflict"],
)
def test_a_bad_file_is_one_line_and_status_1(tmp_path, sample_file, args, message):
    names = {"missing": tmp_path / "missing.bin", "out": tmp_path / "out.bin", "sample": sample_file,
             "short": VECTORS / "short.bin", "colour": VECTORS / "colour-256.bin"}
    run = kovra(*[a.format(**names) for a in args], check_status=1)
    assert run.stderr.decode() == message.format(**names) + "\n"
    assert not (tmp_path / "out.bin").exists()


@pytest.mark.parametrize("name", INVALID)
def test_every_refused_vector_is_said_where(name, capsys):
    data = (VECTORS / f"{name}.bin").read_bytes()
    with pytest.raises(cli.Failure) as failure:
        cli.summarise(name, data)
    reason = str(failure.value).removeprefix(f"{name}: not a graph diff document: ")
    assert reason != str(failure.value) and reason != "refused by from_bytes"
    assert "\n" not in reason


@pytest.mark.parametrize("name", VALID)
def test_scan_of_an_accepted_document_agrees_with_the_checked_scan(name, monkeypatch):
    # The fast path trusts from_bytes for the ids inside groups, so it skips each group in
    # one step; its twin checks them. The same layout, and the fast path checked no group.
    data = (VECTORS / f"{name}.bin").read_bytes()
    content = plain.read(data)
    skips = []
    skip_entries = plain._skip_entries
    monkeypatch.setattr(plain, "_skip_entries", lambda *args: skips.append(args) or skip_entries(*args))
    checked = plain.scan(data)
    assert (checked.length, checked.trailing) == (content.length, content.trailing)
    assert len(skips) == 1 + len(checked.groups) + len(checked.deleted_groups)
    skips.clear()
    assert plain.scan(data, accepted=True) == checked
    assert len(skips) == 1  # the deleted nodes, all at once
    # The dump line by line, and with nothing left out, is the annotated dump.
    assert "\n".join(plain.dump_lines(data)) == plain.annotate(data)


def test_inspect_reports_sections_counts_and_largest_groups(tmp_path):
    diff = PyGraphDiff()
    ids = [struct.pack(">QQ", 1, i) for i in range(8)]
    for size in range(1, 8):  # group i has i edges
        for k in range(size):
            diff.add_edge(ids[size], ids[k], 0.5)
    diff.add_node(X, {"label": "x"})
    diff.delete_edge(X, A)
    data = diff.to_bytes() + b"tail"
    (tmp_path / "d.bin").write_bytes(data)
    summary = json.loads(kovra("inspect", tmp_path / "d.bin", "--json").stdout)
    layout = plain.read(data)
    assert summary["valid"] and summary["bytes"] == len(data) and summary["trailing_bytes"] == 4
    assert [s["entries"] for s in summary["sections"]] == [1, 0, 28, 1]
    assert [s["count"] for s in summary["sections"]] == [1, 0, 7, 1]
    assert sum(s["bytes"] for s in summary["sections"]) == layout.length == len(data) - 4
    assert [s["offset"] for s in summary["sections"]][1:] == [
        s["offset"] + s["bytes"] for s in summary["sections"][:-1]]
    assert (summary["num_nodes"], summary["num_edges"]) == (diff.num_nodes(), diff.num_edges())
    largest = summary["largest_edge_groups"]
    assert [(g["from"], g["edges"]) for g in largest] == [(text(ids[n]), n) for n in (7, 6, 5, 4, 3)]
    assert [(g["from"], g["deleted_edges"]) for g in summary["largest_deleted_edge_groups"]] == [(text(X), 1)]

    shown = kovra("inspect", tmp_path / "d.bin").stdout.decode()
    assert "28 edges in 7 groups" in shown and "trailing" in shown
    assert f"num_edges() {diff.num_edges()}: `from` entries (groups) of the edges and the deleted edges" in shown
    assert f"7 edges from {text(ids[7])}" in shown


@pytest.mark.parametrize(
    "args, shown, hidden",
    [
        ([], ["section 1: nodes", "section 4: deleted edges", "weight 0.001", "-- end: "], ["not shown"]),
        (["--limit", "1"], ["1 more node not shown (", "3 more edges not shown (", "-- end: "], []),
        (["--section", "edges"], ["section 3: edges", "weight 3.0", "-- end: "], ["section 1", "section 4"]),
        (["--section", "deleted-nodes", "--limit", "0"],
         ["section 2: deleted nodes", "1 more deleted node not shown (24 bytes)"], ["section 3", " id "]),
    ],
    ids=["whole", "limit", "section", "section-limit-0"],
)
def test_dump_limits_and_sections(sample_file, args, shown, hidden):
    out = kovra("dump", sample_file, *args).stdout.decode()
    for line in shown:
        assert line in out
    for line in hidden:
        assert line not in out
    if not args:
        assert out == plain.annotate(sample_file.read_bytes()) + "\n"


def test_json_lines_name_every_node_edge_and_deletion(sample_file):
    lines = [json.loads(line) for line in kovra("json", sample_file).stdout.decode().splitlines()]
    assert lines == [
        {"type": "node", "id": text(A), "update": {"label": "hub", "size": 2.5, "show_label": True}},
        {"type": "node", "id": text(B), "update": {"url": "u", "red": 1}},
        {"type": "deleted_node", "id": text(C)},
        {"type": "edge", "from": text(A), "to": text(B), "weight": 0.5},
        {"type": "edge", "from": text(A), "to": text(D), "weight": struct.unpack("<f", struct.pack("<f", 1e-3))[0]},
        {"type": "edge", "from": text(A), "to": text(E), "weight": 3.0},
        {"type": "edge", "from": text(B), "to": text(A), "weight": 1.0},
        {"type": "deleted_edge", "from": text(D), "to": text(E)},
    ]


@pytest.mark.parametrize("name", VALID)
def test_json_reads_back_through_from_json(name):
    # Weights keep every bit (NaN payloads included), sizes their binary32.
    diff = PyGraphDiff.from_bytes((VECTORS / f"{name}.bin").read_bytes())
    unbuildable = {}
    lines = list(cli.json_lines(diff, cli.Progress(io.StringIO()), unbuildable))
    back = cli.build_from_lines(lines, name, cli.Progress(io.StringIO()))
    assert bool(unbuildable) == (name in NOT_BUILDABLE)
    assert (back.to_bytes() == diff.to_bytes()) == (name not in NOT_BUILDABLE)


@pytest.mark.parametrize(
    "name, what",
    [("empty-groups", "1 empty group"),
     ("repeated-row", "2 edges both gained and deleted"),
     ("updated-and-deleted",
      "1 node both updated and deleted, 1 edge at a deleted node, 1 edge both gained and deleted")],
)
def test_json_says_what_from_json_cannot_give_back(name, what):
    run = kovra("json", VECTORS / f"{name}.bin")
    assert run.stderr.decode() == (
        f"kovra json: note: {VECTORS / name}.bin holds what no method calls build ({what}); "
        "from-json of these lines gives a document without it\n")


def test_from_json_of_json_gives_back_the_document(tmp_path):
    # Enough of each kind that an order lost on the way would show.
    diff = sample()
    ids = [struct.pack(">QQ", 7, i) for i in range(64)]
    diff.add_nodes(ids[:20], [{"size": i / 3} for i in range(20)])
    diff.delete_nodes(ids[20:40])
    diff.add_edges(ids[:20], ids[19::-1], [i * 1.1 for i in range(20)])
    diff.delete_edges(ids[40:], ids[:24])
    (tmp_path / "d.bin").write_bytes(diff.to_bytes())
    lines = kovra("json", tmp_path / "d.bin").stdout
    kovra("from-json", "-", tmp_path / "back.bin", stdin=lines)
    assert (tmp_path / "back.bin").read_bytes() == diff.to_bytes()


@pytest.mark.parametrize(
    "lines, message",
    [
        (['{"type": "node", "id": "x"'], "line 1: not JSON: "),
        (['{"type": "vertex", "id": "a"}'],
         'line 1: a line is an object whose "type" is one of node, deleted_node, edge, deleted_edge'),
        (["", '{"type": "deleted_node", "id": "a0a1"}'], "line 2: \"id\" is not a UUID: 'a0a1'"),
        (['{"type": "deleted_node", "id": 5}'], 'line 1: "id" must be an id as text'),
        ([f'{{"type": "edge", "from": "{text(A)}", "to": "{text(B)}"}}'],
         "line 1: a edge line has the keys \"type\", \"from\", \"to\", \"weight\"; this one has ['from', 'to']"),
        ([f'{{"type": "edge", "from": "{text(A)}", "to": "{text(B)}", "weight": "heavy"}}'],
         'line 1: "weight" is a number, or one of "inf", "-inf", "nan", "nan:0x7fc00001"; not \'heavy\''),
        ([f'{{"type": "node", "id": "{text(A)}", "update": {{"red": 300}}}}'],
         "line 1: out of range integral type conversion attempted (argument 'update': field 'red')"),
        ([f'{{"type": "node", "id": "{text(A)}", "update": {{}}}}',
          f'{{"type": "node", "id": "{text(B)}", "update": {{"label": 5}}}}'],
         "line 2: argument 'update': 'int' object cannot be converted to 'PyString' "
         "(argument 'update': field 'label')"),
    ],
    ids=["not-json", "unknown-type", "bad-uuid", "id-not-text", "missing-key", "bad-weight",
         "module-refuses-update", "second-of-a-batch"],
)
def test_from_json_names_the_line_it_refuses(tmp_path, lines, message):
    source = tmp_path / "in.jsonl"
    source.write_text("\n".join(lines) + "\n")
    run = kovra("from-json", source, tmp_path / "out.bin", check_status=1)
    error = run.stderr.decode()
    assert error.startswith(f"kovra from-json: {source}, {message}"), error
    assert error.count("\n") == 1 and not (tmp_path / "out.bin").exists()


def test_merge_writes_merge_documents_of_the_files(tmp_path):
    shards = [PyGraphDiff() for _ in range(3)]
    for shard in shards:
        shard.add_node(A, {"label": "a"})
    for source in (A, B, C, D, E, X):
        shards[shard_of(source, 3)].add_edge(source, A if source != A else B, 2.0)
    names = []
    for i, shard in enumerate(shards):
        names.append(tmp_path / f"shard{i}.bin")
        names[-1].write_bytes(shard.to_bytes())
    kovra("merge", tmp_path / "all.bin", *names)
    assert (tmp_path / "all.bin").read_bytes() == merge_documents([s.to_bytes() for s in shards])


def test_progress_only_on_a_terminal(sample_file):
    # stderr a pipe: nothing; a terminal: the progress line, cleared at the end.
    assert kovra("json", sample_file).stderr == b""
    controller, terminal = pty.openpty()
    try:
        run = subprocess.run([str(KOVRA), "json", str(sample_file)], stdout=subprocess.PIPE,
                             stderr=terminal, timeout=60)
        os.close(terminal)
        terminal = -1
        shown = b""
        while True:
            try:
                chunk = os.read(controller, 4096)
            except OSError:  # the terminal's other end is closed
                break
            if not chunk:
                break
            shown += chunk
    finally:
        if terminal >= 0:
            os.close(terminal)
        os.close(controller)
    assert run.returncode == 0
    assert b"kovra json: 0 of 4 edges" in shown and shown.endswith(b"\r\x1b[K")


# ---- view --------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    # One server for the module's tests: (origin, the printed page path, the document).
    sample_file = tmp_path_factory.mktemp("view") / "sample.bin"
    sample_file.write_bytes(sample().to_bytes())
    child = subprocess.Popen([str(KOVRA), "view", str(sample_file), "--port", "0"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        first = child.stdout.readline()
        match = re.match(r"The viewer is at (http://127\.0\.0\.1:\d+)(/\S+)$", first)
        assert match, first + child.stderr.read()
        yield match.group(1), match.group(2), sample_file
    finally:
        child.terminate()
        child.wait(timeout=30)


def status_of(url):
    try:
        with urllib.request.urlopen(url, timeout=30) as answer:
            return answer.status, answer.read()
    except urllib.error.HTTPError as error:
        return error.code, b""


@pytest.mark.parametrize(
    "path, status",
    [
        ("/viewer/index.html", 200),
        ("/viewer/worker.js", 200),
        ("/js/kovra_document.js", 200),
        ("/js/lib/reader.js", 200),
        ("/document/sample.bin", 200),
        ("/", 404),
        ("/js/package.json", 404),
        ("/js/test/viewer.test.js", 404),
        ("/viewer/../cli.py", 404),
        ("/viewer/%2e%2e/cli.py", 404),
        ("/document/other.bin", 404),
        ("/tests/vectors/mixed.bin", 404),
    ],
    ids=lambda value: str(value),
)
def test_view_serves_the_viewer_and_the_document_alone(served, path, status):
    origin, _, sample_file = served
    got, body = status_of(origin + path)
    assert got == status
    if path.startswith("/document/") and status == 200:
        assert body == sample_file.read_bytes()


class Chromium:
    """Headless Chromium driven over its debugging pipe (fds 3 and 4, one JSON message per
    NUL-terminated chunk): one page, and `evaluate` for what it shows."""

    def __init__(self, name: str, profile: Path) -> None:
        to_browser, self.commands = os.pipe()
        self.replies, from_browser = os.pipe()
        # Above 4 first, so that placing one end at 3 or 4 cannot close the other.
        ends = [fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10) for fd in (to_browser, from_browser)]
        for fd in (to_browser, from_browser):
            os.close(fd)

        def pipes_at_3_and_4():
            os.dup2(ends[0], 3)
            os.dup2(ends[1], 4)

        self.child = subprocess.Popen(
            [name, "--headless", "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe",
             "--no-first-run", f"--user-data-dir={profile}", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=pipes_at_3_and_4, pass_fds=(3, 4), env=UNINSTRUMENTED)
        for fd in ends:
            os.close(fd)
        self.pending = b""
        self.next = 0
        self.session = None

    def send(self, method: str, **params):
        self.next += 1
        message = {"id": self.next, "method": method, "params": params}
        if self.session is not None:
            message["sessionId"] = self.session
        os.write(self.commands, json.dumps(message).encode() + b"\0")
        while True:
            while b"\0" not in self.pending:
                chunk = os.read(self.replies, 65536)
                assert chunk, "chromium closed its pipe"
                self.pending += chunk
            part, self.pending = self.pending.split(b"\0", 1)
            reply = json.loads(part)
            if reply.get("id") == self.next:
                assert "error" not in reply, reply
                return reply["result"]

    def open(self, url: str) -> None:
        target = self.send("Target.createTarget", url=url)["targetId"]
        self.session = self.send("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]

    def evaluate(self, expression: str):
        return self.send("Runtime.evaluate", expression=expression, returnByValue=True)["result"].get("value")

    def until(self, expression: str, seconds: float = 60):
        # A bound on a wait for the page, not on how fast anything is.
        end = time.monotonic() + seconds
        while not (value := self.evaluate(expression)):
            assert time.monotonic() < end, f"timed out waiting for {expression}"
            time.sleep(0.05)
        return value

    def close(self) -> None:
        self.child.kill()
        self.child.wait(timeout=30)
        os.close(self.commands)
        os.close(self.replies)


# The browser is not ours to check: the sanitizers' run preloads their runtimes into
# every child, and the suite's children are Python processes.
UNINSTRUMENTED = {k: v for k, v in os.environ.items()
                  if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")}
CHROMIUM = next((name for name in ("chromium", "chromium-browser") if shutil.which(name)), None)


@pytest.mark.skipif(CHROMIUM is None, reason="no chromium")
def test_view_shows_the_document_in_chromium(served, tmp_path):
    origin, page, _ = served
    browser = Chromium(CHROMIUM, tmp_path / "profile")
    try:
        browser.open(origin + page)
        state = browser.until("['loaded', 'error'].includes(document.body.dataset.state) && document.body.dataset.state")
        assert state == "loaded", browser.evaluate("document.getElementById('error').textContent")
        assert browser.evaluate("document.getElementById('name').textContent") == "sample.bin"
        summary = browser.evaluate("document.getElementById('summary').textContent")
        assert summary.startswith("2 new or updated nodes, 1 deleted node, 4 edges in 2 groups")
    finally:
        browser.close()
