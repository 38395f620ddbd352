"""Import, module attributes, the class and its method table."""

import ast
import copy
import importlib
import pathlib
import pickle
import subprocess
import sys
import textwrap
import weakref

import pytest

import kovra_api
from kovra_api import PyGraphDiff

# The stubs installed beside the module, else those of the source tree.
STUB = next(
    (
        path
        for path in (
            pathlib.Path(kovra_api.__file__).parent / "kovra_api-stubs" / "__init__.pyi",
            pathlib.Path(__file__).resolve().parent.parent / "src" / "kovra_api-stubs" / "__init__.pyi",
        )
        if path.is_file()
    ),
    None,
)

TEXT_SIGNATURES = {
    "new_or_updated_nodes": "($self)",
    "deleted_nodes": "($self)",
    "new_or_updated_edges": "($self)",
    "deleted_edges": "($self)",
    "num_nodes": "($self)",
    "num_edges": "($self)",
    "add_node": "($self, id, update)",
    "delete_node": "($self, id)",
    "add_edge": "($self, from, to, weight)",
    "delete_edge": "($self, from, to)",
    "clear": "($self)",
    "to_bytes": "($self)",
    "from_bytes": "(bytes)",
    "add_edges": "($self, from, to, weight)",
    "delete_edges": "($self, from, to)",
    "delete_nodes": "($self, ids)",
    "add_nodes": "($self, ids, updates)",
    "edges_columns": "($self)",
    "deleted_edges_columns": "($self)",
    "deleted_nodes_ids": "($self)",
}


def test_module_attributes():
    assert kovra_api.__all__ == ["PyGraphDiff"]
    assert type(kovra_api.__all__) is list
    assert kovra_api.__doc__ == ""
    own = {k for k in vars(kovra_api) if not k.startswith("__") or k == "__all__"}
    # The functions for sharded streams are attributes, but __all__ names the class alone.
    assert own == {"__all__", "PyGraphDiff", "shard_of", "merge_documents"}
    assert kovra_api.shard_of.__text_signature__ == "(id, shards)"
    assert kovra_api.merge_documents.__text_signature__ == "(documents)"


def test_class_names_and_signature():
    assert PyGraphDiff.__module__ == "builtins"
    assert PyGraphDiff.__name__ == "PyGraphDiff"
    assert PyGraphDiff.__qualname__ == "PyGraphDiff"
    assert PyGraphDiff.__text_signature__ == "()"


def test_method_table_order_and_signatures():
    names = [k for k, v in vars(PyGraphDiff).items() if k in TEXT_SIGNATURES]
    assert names == list(TEXT_SIGNATURES)
    for name, signature in TEXT_SIGNATURES.items():
        method = getattr(PyGraphDiff, name)
        assert method.__text_signature__ == signature, name
        assert method.__doc__ is None, name


def test_from_bytes_is_static(diff):
    assert isinstance(vars(PyGraphDiff)["from_bytes"], staticmethod)
    empty = bytes(32)
    for made in (PyGraphDiff.from_bytes(empty), diff.from_bytes(empty)):
        assert type(made) is PyGraphDiff
        assert made.num_nodes() == 0 and made.num_edges() == 0


def test_reimport_gives_same_module_and_class():
    module, cls = kovra_api, PyGraphDiff
    del sys.modules["kovra_api"]
    try:
        again = importlib.import_module("kovra_api")
    finally:
        sys.modules["kovra_api"] = module
    assert again is module
    assert again.PyGraphDiff is cls
    assert again.__all__ == ["PyGraphDiff"]


def test_cannot_subclass():
    with pytest.raises(TypeError) as info:
        type("Sub", (PyGraphDiff,), {})
    assert "is not an acceptable base type" in str(info.value)


def test_instances_have_no_dict_and_no_weakrefs(diff):
    with pytest.raises(AttributeError):
        diff.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(diff)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((None,), {}, "PyGraphDiff.__new__() takes 0 positional arguments but 1 was given"),
        ((1, 2), {}, "PyGraphDiff.__new__() takes 0 positional arguments but 2 were given"),
        ((), {"x": 1}, "PyGraphDiff.__new__() got an unexpected keyword argument 'x'"),
        ((1,), {"x": 1}, "PyGraphDiff.__new__() takes 0 positional arguments but 1 was given"),
    ],
    ids=["one-positional", "two-positional", "keyword", "positional-before-keyword"],
)
def test_constructor_refuses_arguments(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        PyGraphDiff(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_new_instance_is_empty_and_uses_object_identity():
    a, b = PyGraphDiff(), PyGraphDiff()
    assert a.num_nodes() == 0 and a.num_edges() == 0
    assert a != b and a == a
    assert hash(a) != hash(b)
    assert repr(a).startswith("<builtins.PyGraphDiff object at 0x")


@pytest.mark.parametrize(
    "make", [copy.copy, copy.deepcopy, pickle.dumps, lambda d: object.__new__(PyGraphDiff)],
    ids=["copy", "deepcopy", "pickle", "object-new"],
)
def test_no_silently_empty_copies(diff, make):
    # An instance made without __new__ would hold no diff at all.
    diff.delete_node(bytes(16))
    with pytest.raises(TypeError):
        make(diff)


@pytest.mark.skipif(STUB is None, reason="no kovra_api-stubs installed and no source tree")
def test_stub_matches_the_runtime_signatures():
    tree = ast.parse(STUB.read_text(), filename=str(STUB))
    all_node = next(
        n for n in tree.body if isinstance(n, ast.Assign) and n.targets[0].id == "__all__"
    )
    assert ast.literal_eval(all_node.value) == kovra_api.__all__
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "PyGraphDiff")
    stubbed = {}
    for fn in cls.body:
        if isinstance(fn, ast.FunctionDef) and not fn.name.startswith("__"):
            params = [a.arg for a in fn.args.posonlyargs + fn.args.args]
            # `from` cannot be spelled in Python source; the stub says `from_`.
            stubbed[fn.name] = ["from" if p == "from_" else p for p in params]
    runtime = {
        name: [p.strip().lstrip("$") for p in sig.strip("()").split(",")]
        for name, sig in TEXT_SIGNATURES.items()
    }
    assert stubbed == runtime


def run_python(code: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60
    )


def test_second_interpreter_is_refused():
    done = run_python(
        """
        try:
            import _interpreters as interpreters  # its name from 3.13 on
        except ImportError:
            import _xxsubinterpreters as interpreters
        import kovra_api
        if hasattr(interpreters, "RunFailedError"):  # 3.12 raises the failure
            sub = interpreters.create(isolated=False)
            try:
                interpreters.run_string(sub, "import kovra_api")
            except interpreters.RunFailedError as error:
                print(error)
            else:
                print("imported")
        else:  # 3.13 returns a summary of it
            sub = interpreters.create("legacy")
            failed = interpreters.run_string(sub, "import kovra_api")
            print("imported" if failed is None else f"<class '{failed.type.__name__}'>: {failed.msg}")
        print(kovra_api.PyGraphDiff().num_nodes())
        """
    )
    assert done.returncode == 0, done.stderr
    first, second = done.stdout.splitlines()
    assert first.startswith("<class 'ImportError'>: ")
    assert "does not yet support subinterpreters" in first
    assert second == "0"


def test_failed_object_creation_raises_memory_error():
    # Make one interpreter allocation fail at a time inside view building: every
    # outcome must be a result or a MemoryError that `except Exception` catches,
    # with nothing printed, never a crash or a PanicException.
    done = run_python(
        """
        import _testcapi, kovra_api
        d = kovra_api.PyGraphDiff()
        for i in range(20):
            d.add_node(bytes([i]) * 16, {"label": "x" * 40, "size": 1.5})
            d.add_edge(bytes([i]) * 16, bytes(16), 0.5)
        before = d.to_bytes()
        seen = set()
        for name in ["new_or_updated_nodes", "new_or_updated_edges", "deleted_nodes", "to_bytes",
                     "deleted_edges_columns"]:
            method = getattr(d, name)
            for start in range(150):
                _testcapi.set_nomemory(start, start + 1)
                try:
                    method()
                    seen.add("ok")
                except MemoryError:
                    seen.add("MemoryError")
                except Exception as error:
                    seen.add("unexpected " + repr(error))
                except BaseException as error:
                    seen.add(f"{type(error).__name__}|{error}|{type(error).__mro__[1].__name__}")
                finally:
                    _testcapi.remove_mem_hooks()
        assert d.to_bytes() == before
        print(sorted(seen))
        """
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "['MemoryError', 'ok']"
    assert done.stderr == ""
