"""Prints a graph diff document (the bytes of PyGraphDiff.to_bytes) in readable form.

    python examples/dump_document.py FILE           annotated hex dump, sections marked
    python examples/dump_document.py --json FILE    the content as JSON
    python examples/dump_document.py -              read the document from stdin

Plain Python: it needs neither kovra_api nor a build. docs/format.md describes the layout.
"""

import argparse
import sys

from kovra_document import DocumentError, annotate, read, to_json


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file", help="the document, or - for stdin")
    parser.add_argument("--json", action="store_true", help="print the content as JSON")
    args = parser.parse_args()
    if args.file == "-":
        data = sys.stdin.buffer.read()
    else:
        with open(args.file, "rb") as f:
            data = f.read()
    try:
        print(to_json(read(data)) if args.json else annotate(data))
    except DocumentError as error:
        if error.dump:
            print(error.dump, flush=True)
        print(f"{args.file}: not a graph diff document: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
