"""W1d, W9r and W9: edge calls as a producer makes them, against the call floor
and against an earlier build of the module (--ref).

W1d times a `delete_edge` loop over W1's pairs on the W1 diff (loaded in one
`add_edges`, untimed), against the floor's `delete_edge`. W9r times `add_edge`
followed by `num_edges()`, pair after pair: what a producer pays that reads after
every write. W9 is a producer's mixed stream: mostly `add_edge`, some
`delete_edge`, `add_node`, `delete_node`, short `add_edges` batches and counts,
with `to_bytes()` and `clear()` at intervals; timed per operation. W9r and W9
run the module and the reference alternately in one process: the reference is
another build's shared object, loaded from its own path (--ref PATH, the file
or a directory holding it), so two builds share the run's conditions.
"""

import gc
import importlib.machinery
import importlib.util
from pathlib import Path


def load_ref(path):
    """The PyGraphDiff class of the build at `path`, beside the one under test."""
    path = Path(path)
    if path.is_dir():
        found = sorted(path.rglob("kovra_api*.so"))
        if not found:
            raise SystemExit(f"--ref: no kovra_api*.so under {path}")
        path = found[0]
    loader = importlib.machinery.ExtensionFileLoader("kovra_api", str(path))
    spec = importlib.util.spec_from_file_location("kovra_api", str(path), loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module.PyGraphDiff


def mixed_stream(data, count):
    """W9's operations as (kind, args) tuples, the same for every implementation."""
    edges = data.w1
    ids = data.ids
    ops = []
    batch = 16
    for i in range(count):
        a, b, w = edges[i % len(edges)]
        if i % 100_000 == 99_999:
            ops.append(("to_bytes", ()))
            ops.append(("clear", ()))
        elif i % 1000 == 500:
            ops.append(("delete_node", (ids[(i * 7919) % len(ids)],)))
        elif i % 200 == 100:
            rows = [edges[(i + k * 997) % len(edges)] for k in range(batch)]
            ops.append(("add_edges", ([r[0] for r in rows], [r[1] for r in rows], [r[2] for r in rows])))
        elif i % 100 == 50:
            ops.append(("num_edges", ()))
        elif i % 100 == 75:
            ops.append(("num_nodes", ()))
        elif i % 32 == 7:
            ops.append(("add_node", (a, {"label": "n", "size": w})))
        elif i % 16 == 3:
            c, d, _ = edges[(i * 31) % len(edges)]
            ops.append(("delete_edge", (c, d)))
        else:
            ops.append(("add_edge", (a, b, w)))
    return ops


def run_stream(cls, ops, perf_ns):
    diff = cls()

    def add_edges(sources, targets, weights):  # for a diff without the bulk call
        for row in zip(sources, targets, weights):
            diff.add_edge(*row)

    calls = [(add_edges if kind == "add_edges" and not hasattr(diff, kind) else getattr(diff, kind), args)
             for kind, args in ops]
    gc.collect()
    start = perf_ns()
    for f, args in calls:
        f(*args)
    ns = perf_ns() - start
    diff.to_bytes()  # whatever is left pending is paid for, as the producer would
    return perf_ns() - start, ns


def w1d(bench, data, perf_ns):
    bench.progress(f"W1d delete_edge x{len(data.w1)} on the W1 diff")
    pairs = [(a, b) for a, b, _ in data.w1]
    for _rep in range(bench.args.reps):
        for name in ("module", "floor"):
            if name not in bench.impls:
                continue
            diff = bench.impls[name]()
            if name == "module":
                diff.add_edges([e[0] for e in data.w1], [e[1] for e in data.w1], [e[2] for e in data.w1])
                diff.num_edges()
            else:
                for a, b, w in data.w1:
                    diff.add_edge(a, b, w)
            gc.collect()
            f = diff.delete_edge
            start = perf_ns()
            for a, b in pairs:
                f(a, b)
            ns = perf_ns() - start
            if name == "module":
                diff.num_edges()  # the rows still pending are part of the work
                ns = perf_ns() - start
            bench.samples.add("W1d", "delete_edge", name, ns / len(pairs))
            del diff


def w9(bench, data, ref_cls, perf_ns):
    impls = {"module": bench.impls.get("module"), "ref": ref_cls, "python": bench.impls.get("python")}
    impls = {k: v for k, v in impls.items() if v is not None}
    n = len(data.w1)
    bench.progress(f"W9r add_edge + num_edges x{n}, module and reference alternately")
    for rep in range(bench.args.reps):
        for name in (("module", "ref") if rep % 2 == 0 else ("ref", "module")):
            if name not in impls:
                continue
            diff = impls[name]()
            add, count = diff.add_edge, diff.num_edges
            gc.collect()
            start = perf_ns()
            for a, b, w in data.w1:
                add(a, b, w)
                count()
            bench.samples.add("W9r", "add_edge + num_edges", name, (perf_ns() - start) / n)
            del diff, add, count
    # W1 and W1d themselves, alternately with the reference: before and after in
    # one run (info rows; their targets are against the floor, above).
    pairs = [(a, b) for a, b, _ in data.w1]
    for rep in range(bench.args.reps):
        for name in (("module", "ref") if rep % 2 == 0 else ("ref", "module")):
            diff = impls[name]()
            add = diff.add_edge
            gc.collect()
            start = perf_ns()
            for a, b, w in data.w1:
                add(a, b, w)
            diff.num_edges()
            bench.samples.add("W9", "W1 add_edge", name, (perf_ns() - start) / n)
            remove = diff.delete_edge
            gc.collect()
            start = perf_ns()
            for a, b in pairs:
                remove(a, b)
            diff.num_edges()
            bench.samples.add("W9", "W1d delete_edge", name, (perf_ns() - start) / n)
            del diff, add, remove
    ops = mixed_stream(data, n)
    bench.progress(f"W9 mixed stream x{len(ops)}")
    for rep in range(bench.args.reps):
        order = ("module", "ref", "python") if rep % 2 == 0 else ("ref", "module", "python")
        for name in order:
            if name not in impls or (name == "python" and rep >= 2):
                continue
            total, _ = run_stream(impls[name], ops, perf_ns)
            bench.samples.add("W9", "mixed stream", name, total / len(ops))


def rows(bench, row, info):
    s = bench.samples
    for op, label in (("W1 add_edge", "W1 add_edge vs b5d20a6"),
                      ("W1d delete_edge", "W1d delete_edge vs b5d20a6")):
        mod, ref = s.best("W9", op, "module"), s.best("W9", op, "ref")
        if mod is not None and ref is not None:
            info("W9", op, label, {"module": mod, "ref": ref},
                 {"module": s.spread("W9", op, "module"), "ref": s.spread("W9", op, "ref")}, "ref")
    mod, floor = s.best("W1d", "delete_edge", "module"), s.best("W1d", "delete_edge", "floor")
    if mod is not None and floor is not None:
        row("W1d", "delete_edge", "delete_edge (W1's pairs, W1 diff)", mod / floor, "floor",
            {"module": mod, "floor": floor},
            {"module": s.spread("W1d", "delete_edge", "module"),
             "floor": s.spread("W1d", "delete_edge", "floor")})
    for workload, op, label in (("W9r", "add_edge + num_edges", "add_edge then num_edges() vs b5d20a6"),
                                ("W9", "mixed stream", "mixed stream per op vs b5d20a6")):
        mod, ref = s.best(workload, op, "module"), s.best(workload, op, "ref")
        if mod is None or ref is None:
            continue
        py = s.best(workload, op, "python")
        row(workload, op, label, mod / ref, "ref", {"module": mod, "ref": ref, "python": py},
            {"module": s.spread(workload, op, "module"), "ref": s.spread(workload, op, "ref")},
            note="" if py is None else f"{mod / py:.2f}x plain Python, reference {ref / py:.2f}x")
