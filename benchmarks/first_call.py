#!/usr/bin/env python3
"""The first call of a fresh process against the later ones, for W5's two calls.

    python benchmarks/first_call.py to   [--reps 6] [--document PATH]
    python benchmarks/first_call.py from [--reps 6] [--document PATH]

PATH defaults to kovra_w5_document.bin in the temporary directory.

`to` builds W5's diff as run.py does (add_edge then add_node loops, then
num_edges() so that no edge rows wait), and times to_bytes() `--reps` times; it
also writes the document to PATH when PATH does not exist. `from` reads PATH and
times from_bytes() of it `--reps` times. Each call's thread CPU time, the kernel's
share of it and the page faults it took go out as one JSON line. Run it in a new
process for every sample, alternating the builds compared (see README.md, W5).
"""

import argparse
import gc
import json
import os
import resource
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))


def timed(f, *args):
    before = resource.getrusage(resource.RUSAGE_SELF)
    start = time.thread_time_ns()
    result = f(*args)
    cpu = time.thread_time_ns() - start
    after = resource.getrusage(resource.RUSAGE_SELF)
    del result
    return {"cpu_ms": cpu / 1e6, "kernel_ms": (after.ru_stime - before.ru_stime) * 1e3,
            "faults": after.ru_minflt - before.ru_minflt}


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("call", choices=("to", "from"))
    p.add_argument("--reps", type=int, default=6)
    p.add_argument("--document", default=str(Path(tempfile.gettempdir()) / "kovra_w5_document.bin"))
    p.add_argument("--seed", type=int, default=20240607)
    args = p.parse_args()
    import kovra_api

    if args.call == "to":
        import run

        data = run.Data(run.Sizes(), args.seed, {"W5"})
        diff = kovra_api.PyGraphDiff()
        run.loop3(diff.add_edge, data.w5_edges)
        run.loop2(diff.add_node, data.w5_nodes)
        diff.num_edges()
        del data
        gc.collect()
        gc.disable()
        calls = [timed(diff.to_bytes) for _ in range(args.reps)]
        if not os.path.exists(args.document):
            Path(args.document).write_bytes(diff.to_bytes())
    else:
        document = Path(args.document).read_bytes()
        gc.collect()
        gc.disable()
        calls = [timed(kovra_api.PyGraphDiff.from_bytes, document) for _ in range(args.reps)]
    print(json.dumps({"call": args.call, "module": kovra_api.__file__, "calls": calls}))


if __name__ == "__main__":
    main()
