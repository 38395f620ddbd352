"""The JavaScript reader and writer (js/) against the module on random documents.

Each run draws new documents: the module's, which js/ must decode to the same views
and encode to the bytes to_bytes writes for what from_bytes read; the same with a
byte changed in a record, which js/ must refuse exactly when from_bytes does; and js/'s own, which from_bytes must read to the views
js/ meant and to_bytes must write back unchanged. The seed is in the failure message;
KOVRA_AGREEMENT_SEED=N repeats a run.
"""

import base64
import json
import math
import os
import random
import shutil
import struct
import subprocess
import sys
import uuid
from pathlib import Path

import pytest

from kovra_api import PyGraphDiff

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))
from make_vectors import views

ROOT = Path(__file__).resolve().parent.parent
NODE = shutil.which("node")
DOCUMENTS = 1000  # each way

CHARS = ['"', "\\", "/", "\t", "\n", "\x01", "\x1f", "\x7f", "a", "Z", "0", " ", "é", "\u2028", "\ufeff", "😀", "中"]
SPECIAL = [0.0, -0.0, 1.0, 0.1, 2.5, 1e-45, 3.4e38, 1e39, math.inf, -math.inf, math.nan, 16777217.0]


def random_float(rng):
    if rng.random() < 0.3:
        return rng.choice(SPECIAL)
    value = struct.unpack("<f", struct.pack("<I", rng.getrandbits(32)))[0]
    return math.nan if math.isnan(value) else value  # a JavaScript number keeps no payload


def mutated(rng, document):
    """`document` with one byte of a node record (or anywhere, when it has none) changed."""
    records = [i for i in range(len(document) - 1) if document[i:i + 2] in (b'{"', b'{}')]
    at = rng.choice(records) + rng.randrange(40) if records else rng.randrange(max(1, len(document)))
    if at >= len(document):
        return document
    byte = rng.choice(b'{}[]",:\\-.0123456789eEnultrfase \x00\x80\xc3\xed\xff')
    return document[:at] + bytes([byte]) + document[at + 1:]


def random_document(rng):
    pool = [rng.randbytes(16) for _ in range(rng.randint(1, 12))]
    diff = PyGraphDiff()
    for _ in range(rng.randint(0, 40)):
        a, b = rng.choice(pool), rng.choice(pool)
        kind = rng.random()
        if kind < 0.3:
            update = {}
            for key in ("label", "url"):
                if rng.random() < 0.4:
                    update[key] = "".join(rng.choice(CHARS) for _ in range(rng.randint(0, 6)))
            if rng.random() < 0.5:
                update["size"] = random_float(rng)
            for key in ("red", "green", "blue"):
                if rng.random() < 0.3:
                    update[key] = rng.randint(0, 255)
            if rng.random() < 0.3:
                update["show_label"] = rng.random() < 0.5
            diff.add_node(a, update)
        elif kind < 0.7:
            diff.add_edge(a, b, random_float(rng))
        elif kind < 0.85:
            diff.delete_edge(a, b)
        else:
            diff.delete_node(a)
    return diff.to_bytes()


@pytest.mark.skipif(NODE is None, reason="node is not installed")
def test_module_and_javascript_agree(tmp_path):
    seed = int(os.environ.get("KOVRA_AGREEMENT_SEED", random.randrange(2**32)))
    rng = random.Random(seed)
    documents = [random_document(rng) for _ in range(DOCUMENTS)]
    changed = [mutated(rng, d) for d in documents]
    (tmp_path / "in").write_bytes(b"".join(struct.pack("<Q", len(d)) + d for d in documents + changed))
    subprocess.run([NODE, str(ROOT / "js" / "tools" / "agree.js"), str(tmp_path / "in"),
                    str(tmp_path / "out"), str(seed), str(DOCUMENTS)], check=True,
                   # Under the sanitizer job the runtimes preloaded for the module are
                   # no business of node's.
                   env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"})
    # JavaScript writes a large float without its point: 7.04e19 as 70400000000000000000.
    result = json.loads((tmp_path / "out").read_text(), parse_int=lambda t: int(t) if len(t) < 16 else float(t))
    for i, (document, decoded) in enumerate(zip(changed, result["decoded"][DOCUMENTS:], strict=True)):
        where = f"seed {seed}, changed module document {i}: {document.hex()}"
        try:
            diff = PyGraphDiff.from_bytes(document)
        except Exception as error:
            assert str(error) == "Failed to deserialize graph diff."
            assert "error" in decoded, f"{where}: js/ accepted it"
            continue
        assert "error" not in decoded, f"{where}: {decoded.get('error')}"
        assert decoded["views"] == views(diff), where
    for i, (document, decoded) in enumerate(zip(documents, result["decoded"][:DOCUMENTS], strict=True)):
        where = f"seed {seed}, module document {i}: {document.hex()}"
        assert "error" not in decoded, f"{where}: {decoded.get('error')}"
        diff = PyGraphDiff.from_bytes(document)
        assert decoded["views"] == views(diff), where
        # A size that is not finite was written as null and reads back absent.
        assert base64.b64decode(decoded["encoded"]) == diff.to_bytes(), where
    for i, written in enumerate(result["written"]):
        document = base64.b64decode(written["bytes"])
        where = f"seed {seed}, JavaScript document {i}: {document.hex()}"
        diff = PyGraphDiff.from_bytes(document)
        assert views(diff) == written["views"], where
        for text, size in written["notFiniteSizes"].items():  # written as null, read as absent
            diff.add_node(uuid.UUID(text).bytes, {"size": float(size)})
        assert diff.to_bytes() == document, where
