"""Import, module attributes, the class and its method table."""

import ast
import copy
import importlib
import importlib.metadata
import pathlib
import pickle
import subprocess
import sys
import textwrap
import weakref
from concurrent.futures import ProcessPoolExecutor

import pytest

import kovra_api
from kovra_api import PyGraphDiff
from support import A, B, C, D, run_child, snapshot, under_address_sanitizer

# The stubs installed beside the module, else those of the source tree.
STUB = next(
    (
        path
        for path in (
            pathlib.Path(kovra_api.__file__).parent / "kovra_api-stubs" / "__init__.pyi",
            pathlib.Path(__file__).resolve().parent.parent
            / "src"
            / "kovra_api-stubs"
            / "__init__.pyi",
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
    assert kovra_api.__version__ == importlib.metadata.version("kovra_api")


def test_class_names_and_signature():
    # Where pickle, copy and documentation tools look the class up.
    assert PyGraphDiff.__module__ == "kovra_api"
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
    assert repr(a).startswith("<kovra_api.PyGraphDiff object at 0x")


def test_no_instance_without_new():
    # An instance made without __new__ would hold no diff at all.
    with pytest.raises(TypeError):
        object.__new__(PyGraphDiff)


def full_diff():
    d = PyGraphDiff()
    d.add_node(A, {"label": "a label longer than sixteen bytes", "size": 2.5, "red": 7})
    d.add_node(B, {"show_label": True, "url": "u"})
    d.delete_node(C)
    d.add_edge(A, B, 0.5)
    d.add_edge(B, A, float("inf"))
    d.delete_edge(A, D)
    return d


@pytest.mark.parametrize(
    "make",
    [copy.copy, copy.deepcopy]
    + [lambda d, p=p: pickle.loads(pickle.dumps(d, protocol=p)) for p in range(2, 6)],
    ids=["copy", "deepcopy", "pickle-2", "pickle-3", "pickle-4", "pickle-5"],
)
def test_copies_equal_the_original(make):
    original = full_diff()
    twin = make(original)
    assert type(twin) is PyGraphDiff and twin is not original
    assert snapshot(twin) == snapshot(original)
    assert twin.to_bytes() == original.to_bytes()
    twin.add_edge(C, D, 1.0)  # independent of the original
    assert original.num_edges() == 3


def test_reduce_is_from_bytes_of_the_document():
    # The document is the stable format: a pickle of one release loads in the next.
    d = full_diff()
    assert d.__reduce__() == (PyGraphDiff.from_bytes, (d.to_bytes(),))


def test_a_diff_returned_from_a_worker_process():
    with ProcessPoolExecutor(1) as pool:
        returned = pool.submit(full_diff).result()
    assert returned.to_bytes() == full_diff().to_bytes()


def test_sizeof_follows_the_content():
    d = PyGraphDiff()
    empty = sys.getsizeof(d)
    d.add_edge(A, B, 1.0)
    one = sys.getsizeof(d)
    assert empty < one
    d.clear()
    assert empty <= sys.getsizeof(d) < one
    assert sys.getsizeof(PyGraphDiff()) == empty


# W1's columns for a child: 1M random edges among 100k ids, as the memory benchmarks add them.
W1_COLUMNS = textwrap.dedent(
    """
    import array, random
    rng = random.Random(5)
    ids = [rng.randbytes(16) for _ in range(100_000)]
    n = 1_000_000
    sources = b"".join(ids[rng.randrange(len(ids))] for _ in range(n))
    targets = b"".join(ids[rng.randrange(len(ids))] for _ in range(n))
    weights = array.array("f", (rng.random() for _ in range(n)))
    """
)


@pytest.mark.skipif(under_address_sanitizer(), reason="the sanitizers' allocator changes residency")
@pytest.mark.parametrize("calls", ["add_edge", "add_edges"])
def test_sizeof_agrees_with_resident_growth(calls):
    # 1M random edges among 100k ids, as the resident-memory benchmark adds them.
    result = run_child(
        W1_COLUMNS
        + textwrap.dedent(
            """
        import ctypes, gc, os, sys
        from kovra_api import PyGraphDiff

        trim = ctypes.CDLL("libc.so.6").malloc_trim

        def resident():
            gc.collect()
            trim(0)
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

        d = PyGraphDiff()
        empty = sys.getsizeof(d)
        before = resident()
        if payload == "add_edges":
            d.add_edges(sources, targets, weights)
        else:
            add = d.add_edge
            for i in range(0, 16 * n, 16):
                add(sources[i:i + 16], targets[i:i + 16], weights[i >> 4])
        result = (resident() - before, sys.getsizeof(d) - empty)
        """
        ),
        payload=calls,
    )
    grown, reported = result
    assert abs(reported - grown) <= 0.10 * grown, (reported, grown)


@pytest.mark.skipif(
    under_address_sanitizer(), reason="the sanitizers' allocator keeps its own count"
)
def test_sizeof_agrees_with_the_allocators_count_at_every_stage():
    # W1's edges through add_edge: logged, then applied by a read, then cleared. The
    # log's room between fills, and what a cleared diff keeps, are in use as much as rows.
    result = run_child(
        W1_COLUMNS
        + textwrap.dedent(
            """
        import ctypes, gc, sys
        from kovra_api import PyGraphDiff

        class MallInfo2(ctypes.Structure):
            _fields_ = [(name, ctypes.c_size_t) for name in (
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost"
            ).split()]

        libc = ctypes.CDLL("libc.so.6")
        libc.mallinfo2.restype = MallInfo2

        def in_use():
            gc.collect()
            info = libc.mallinfo2()
            return info.uordblks + info.hblkhd  # small blocks and mapped ones

        d = PyGraphDiff()
        empty = sys.getsizeof(d)
        before = in_use()
        add = d.add_edge
        for i in range(0, 16 * n, 16):
            add(sources[i:i + 16], targets[i:i + 16], weights[i >> 4])
        result = {}
        result["logged"] = (in_use() - before, sys.getsizeof(d) - empty)
        d.num_edges()
        result["applied"] = (in_use() - before, sys.getsizeof(d) - empty)
        d.clear()
        result["cleared"] = (in_use() - before, sys.getsizeof(d) - empty)
        """
        )
    )
    for stage, (grown, reported) in result.items():
        assert abs(reported - grown) <= 0.10 * grown, (stage, reported, grown)


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
