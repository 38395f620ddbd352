"""Prints the figures of tools/coverage.sh from gcovr's JSON files.

    coverage_report.py SUMMARY.json TRACE.json FOCUS_GLOB

Each file's line and branch coverage comes from gcovr's summary, so it agrees with
the annotated report; the total of the files FOCUS_GLOB matches adds up their counts.
Their unreached lines come from the trace, grouped by the function they belong to.
"""

import fnmatch
import json
import sys
from collections import defaultdict


def ratio(covered: int, total: int) -> str:
    share = f"{100 * covered / total:5.1f}%" if total else "    -"
    return f"{covered:>6}/{total:<6} {share}"


def short_name(name: str) -> str:
    """The function's qualified name without its parameters, which for the
    containers of the core run to several lines once demangled."""
    name = name.replace("(anonymous namespace)", "{anonymous}").replace("kovra::", "")
    kept, depth = [], 0
    for char in name:
        depth -= char == ")"
        if depth == 0:
            kept.append(char)
        depth += char == "("
    head, paren, tail = "".join(kept).partition("(")
    # A template's name comes after its return type: past the last space outside <>.
    start, angle = 0, 0
    for i, char in enumerate(head):
        angle += (char == "<") - (char == ">")
        if char == " " and angle == 0:
            start = i + 1
    return (head[start:] + paren + tail).removesuffix(" const").removesuffix("::operator()()")


def spans(lines: list[int]) -> str:
    runs: list[list[int]] = []
    for line in sorted(lines):
        if runs and line == runs[-1][1] + 1:
            runs[-1][1] = line
        else:
            runs.append([line, line])
    return ", ".join(str(a) if a == b else f"{a}-{b}" for a, b in runs)


def main(summary_path: str, trace_path: str, focus: str) -> None:
    with open(summary_path) as f:
        files = json.load(f)["files"]
    width = max(len(focus), *(len(entry["filename"]) for entry in files)) + 2
    print(f"{'':<{width}}{'lines':<20}branches")
    sums = {"all": [0, 0, 0, 0], focus: [0, 0, 0, 0]}
    for entry in sorted(files, key=lambda entry: entry["filename"]):
        counts = [entry[key] for key in
                  ("line_covered", "line_total", "branch_covered", "branch_total")]
        print(f"{entry['filename']:<{width}}{ratio(*counts[:2])}  {ratio(*counts[2:])}")
        for group in ("all", focus) if fnmatch.fnmatch(entry["filename"], focus) else ("all",):
            sums[group] = [a + b for a, b in zip(sums[group], counts)]
    for group, counts in sums.items():
        label = "total" if group == "all" else group
        print(f"{label:<{width}}{ratio(*counts[:2])}  {ratio(*counts[2:])}")

    with open(trace_path) as f:
        trace = json.load(f)["files"]
    print(f"\nunreached lines of {focus}, by function:")
    for entry in sorted(trace, key=lambda entry: entry["file"]):
        if not fnmatch.fnmatch(entry["file"], focus):
            continue
        # A line of a template or an inline function appears once per instance;
        # it is reached when any instance reached it.
        reached: dict[int, bool] = {}
        owner: dict[int, str] = {}
        for line in entry["lines"]:
            if line.get("gcovr/excluded"):
                continue
            number = line["line_number"]
            reached[number] = reached.get(number, False) or line["count"] > 0
            owner.setdefault(number, short_name(line.get("function_name") or "(outside functions)"))
        by_function: dict[str, list[int]] = defaultdict(list)
        for number, hit in reached.items():
            if not hit:
                by_function[owner[number]].append(number)
        print(f"  {entry['file']}:{'' if by_function else ' none'}")
        for name, lines in sorted(by_function.items(), key=lambda item: min(item[1])):
            print(f"    {name}: {spans(lines)}")


if __name__ == "__main__":
    main(*sys.argv[1:])
