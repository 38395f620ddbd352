"""One stream built on a Dask cluster of worker processes: the README's recipe as
printed, and examples/sharded_dask.py, each against the single-process diff."""

import os
import pathlib
import pickle
import re
import subprocess
import sys
import textwrap

import pytest

from kovra_api import PyGraphDiff
from support import snapshot

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
EXAMPLES = ROOT / "examples"

# Worker processes under the sanitizers' preloaded runtimes take minutes to start,
# and the sharded pipeline itself is covered by test_shards.py there.
pytestmark = [
    pytest.mark.skipif(os.environ.get("KOVRA_SANITIZE_RUN") == "1",
                       reason="worker processes are too slow under the sanitizers"),
    pytest.mark.skipif(not (README.is_file() and EXAMPLES.is_dir()),
                       reason="README.md and examples/ are not beside the tests"),
]

# A stream with every kind of operation, bulk edge columns included, whose
# ids collide enough for deletions and refusals to matter.
STREAM = """
import random
rng = random.Random(11)
ids = [rng.randbytes(16) for _ in range(60)]
stream = []
for i in range(3000):
    roll = rng.random()
    if roll < 0.06:
        stream.append(("add_node", rng.choice(ids), {"label": f"n{i}", "size": rng.random()}))
    elif roll < 0.09:
        stream.append(("delete_node", rng.choice(ids)))
    elif roll < 0.11:
        rows = rng.randrange(1, 20)
        stream.append(("add_edges", [rng.choice(ids) for _ in range(rows)],
                       [rng.choice(ids) for _ in range(rows)],
                       [rng.random() for _ in range(rows)]))
    elif roll < 0.12:
        stream.append(("delete_edges", [rng.choice(ids) for _ in range(5)],
                       [rng.choice(ids) for _ in range(5)]))
    elif roll < 0.95:
        stream.append(("add_edge", rng.choice(ids), rng.choice(ids), rng.random()))
    else:
        stream.append(("delete_edge", rng.choice(ids), rng.choice(ids)))
"""


def whole_diff(stream_source):
    namespace = {}
    exec(stream_source, namespace)
    diff = PyGraphDiff()
    for name, *args in namespace["stream"]:
        getattr(diff, name)(*args)
    return diff


def readme_blocks(section):
    """The Python blocks of one README section, as printed."""
    text = README.read_text()
    body = text[text.index(f"## {section}\n"):]
    body = body[:body.index("\n## ", 1)]
    return re.findall(r"```python\n(.*?)```", body, re.S)


def run_script(folder, source):
    """Runs `source` as a user's script (its functions in __main__, which the cluster
    receives by value) in a process of its own: a cluster's threads outlive it, and
    later tests fork. Returns what the script pickled to its stdout."""
    script = folder / "script.py"
    script.write_text(source)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(EXAMPLES), os.environ.get("PYTHONPATH", "")]))
    done = subprocess.run([sys.executable, str(script)], capture_output=True, cwd=folder, env=env,
                          timeout=600)
    assert done.returncode == 0, done.stderr.decode(errors="replace")[-4000:]
    return pickle.loads(done.stdout)


def test_readme_recipe_as_printed(tmp_path):
    *_, pool_block, dask_block = readme_blocks("More than one process")  # after the sample stream
    by_pool, by_dask = run_script(tmp_path, STREAM + pool_block + dask_block + textwrap.dedent("""
        if __name__ == "__main__":
            import pickle, sys
            pickle.dump((whole.to_bytes(), document), sys.stdout.buffer)
        """))
    expected = snapshot(PyGraphDiff.from_bytes(whole_diff(STREAM).to_bytes()))
    assert snapshot(PyGraphDiff.from_bytes(by_pool)) == expected
    assert snapshot(PyGraphDiff.from_bytes(by_dask)) == expected


def test_example_on_a_local_cluster(tmp_path):
    document, returned = run_script(tmp_path, STREAM + textwrap.dedent("""
        if __name__ == "__main__":
            import contextlib, pickle, sys
            import sharded, sharded_dask
            with contextlib.ExitStack() as stack:
                client = sharded_dask.connect(stack, workers=2)
                document = sharded_dask.merged_document(client, stream, 8)
                # A diff itself travels to a worker and back, pickled as its document.
                whole = sharded.PyGraphDiff()
                sharded.apply(whole, stream)
                returned = client.submit(lambda diff: diff, whole, pure=False).result()
            pickle.dump((document, returned), sys.stdout.buffer)
        """))
    expected = whole_diff(STREAM)
    assert snapshot(PyGraphDiff.from_bytes(document)) == snapshot(
        PyGraphDiff.from_bytes(expected.to_bytes()))
    assert type(returned) is PyGraphDiff
    assert snapshot(returned) == snapshot(expected)
