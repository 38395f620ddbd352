"""README.md's code blocks as printed, so that none of them is a trap for whoever copies it.

The Python blocks run in order as one script, as the README says; the shell and
JavaScript blocks then run in the folder that script left (its documents), when the
program they call is installed. A block that cannot run here says so in a comment on
the line before it: `<!-- readme-test: not run (why) -->`.
"""

import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
TYPING = ROOT / "tests" / "typing"
MAX_LINES = 350

pytestmark = pytest.mark.skipif(not README.is_file(), reason="README.md is not beside the tests")

BLOCK = re.compile(r"(?:<!-- readme-test: (?P<mark>.*?) -->\n)?```(?P<lang>[^\n]*)\n(?P<body>.*?)^```$",
                   re.S | re.M)
NOT_RUN = re.compile(r"not run \((?P<why>[^)]+)\)")
LANGUAGES = ("python", "sh", "js")
# The command installed with the module, found beside the interpreter that runs the tests,
# so that a run of the suite against an installed wheel tries the wheel's own command.
KOVRA = pathlib.Path(sys.executable).with_name("kovra")
NODE = shutil.which("node")


def blocks():
    """(line, language, body, mark) of every fenced block, in order."""
    text = README.read_text() if README.is_file() else ""
    return [(text.count("\n", 0, m.start("body")), m["lang"], m["body"], m["mark"])
            for m in BLOCK.finditer(text)]


def runnable(language):
    return [(line, body) for line, lang, body, mark in blocks() if lang == language and mark is None]


def without_sanitizer_runtimes():
    # Node is not built against the sanitizers' runtimes that the Python run preloads.
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def test_readme_fits_its_length():
    assert README.read_text().count("\n") <= MAX_LINES


@pytest.mark.parametrize("line, language, body, mark", blocks(),
                         ids=[f"line-{b[0]}-{b[1]}" for b in blocks()])
def test_every_block_runs_or_says_why_not(line, language, body, mark):
    assert language in LANGUAGES, f"line {line}: a block needs one of {LANGUAGES} as its language"
    if mark is not None:
        reason = NOT_RUN.fullmatch(mark)
        assert reason, f"line {line}: unknown mark {mark!r}"
        for named in re.findall(r"tests/\w+\.py", reason["why"]):
            assert (ROOT / named).is_file(), f"line {line}: {named} runs it, but is not there"


@pytest.fixture(scope="module")
def session(tmp_path_factory):
    """The folder where the README's Python blocks ran as one script."""
    folder = tmp_path_factory.mktemp("readme")
    lines = []
    for line, body in runnable("python"):
        lines.append(f"# README.md, line {line}\n{body}")
    script = folder / "readme.py"
    script.write_text("\n".join(lines))
    done = subprocess.run([sys.executable, str(script)], cwd=folder, capture_output=True, text=True,
                          timeout=600)
    assert done.returncode == 0, done.stderr[-4000:]
    return folder


def test_python_blocks_as_one_script(session):
    assert (session / "diff.bin").is_file()


@pytest.mark.skipif(not KOVRA.exists(), reason="the kovra command is not installed beside this Python")
@pytest.mark.parametrize("line, body", runnable("sh"), ids=[f"line-{b[0]}" for b in runnable("sh")])
def test_shell_block(session, line, body):
    env = dict(os.environ, PATH=os.pathsep.join([str(KOVRA.parent), os.environ.get("PATH", "")]))
    done = subprocess.run(["bash", "-euo", "pipefail", "-c", body], cwd=session, env=env,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, f"README.md line {line}: {done.stderr[-4000:]}"


@pytest.mark.skipif(NODE is None, reason="node is not installed")
@pytest.mark.parametrize("line, body", runnable("js"), ids=[f"line-{b[0]}" for b in runnable("js")])
def test_javascript_block(session, line, body):
    # The block imports ./js/ as from the repository's root.
    if not (session / "js").exists():
        (session / "js").symlink_to(ROOT / "js", target_is_directory=True)
    script = session / f"readme_{line}.mjs"
    script.write_text(body)
    done = subprocess.run([NODE, str(script)], cwd=session, env=without_sanitizer_runtimes(),
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, f"README.md line {line}: {done.stderr[-4000:]}"


def test_typed_user_script_runs(tmp_path):
    """The script that `mypy --strict` checks also runs, so that what type-checks is no trap."""
    done = subprocess.run([sys.executable, str(TYPING / "user_script.py")], cwd=tmp_path,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-4000:]
