"""tests/vectors/ is what tools/make_vectors.py writes from this module, byte for byte."""

import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))
from make_vectors import generate  # noqa: E402


def test_regenerating_the_vectors_changes_nothing(tmp_path):
    written = generate(tmp_path)
    checked_in = {path.name: path.read_bytes() for path in (ROOT / "tests" / "vectors").iterdir()}
    assert sorted(checked_in) == sorted(written), "run tools/make_vectors.py"
    changed = [name for name, data in written.items() if checked_in[name] != data]
    assert not changed, f"run tools/make_vectors.py: {changed} differ"
