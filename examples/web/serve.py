"""Serve the document viewer on this machine and print its address.

    python3 examples/web/serve.py [DOCUMENT] [--port N]

The page needs HTTP: browsers run neither its module nor its worker from file:
URLs. This serves the repository's root (the page loads ../../js/) to localhost
only, and DOCUMENT, wherever it is, at /document/<its name>, read afresh on every
request so that a reload shows the file as it is now. Standard library only.
"""

from __future__ import annotations

import argparse
import functools
import http.server
import sys
import urllib.parse
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
PAGE = "/examples/web/index.html"


class Handler(http.server.SimpleHTTPRequestHandler):
    document: Path | None = None

    def end_headers(self) -> None:
        # Edited documents and page files must not come from the browser's cache.
        self.send_header("Cache-Control", "no-store")
        super().end_headers()

    def do_GET(self) -> None:
        path = urllib.parse.urlsplit(self.path).path
        if self.document is not None and path == document_path(self.document):
            self.send_document()
        else:
            super().do_GET()

    def send_document(self) -> None:
        assert self.document is not None
        try:
            body = self.document.read_bytes()
        except OSError as error:
            self.send_error(404, f"cannot read {self.document}: {error.strerror}")
            return
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format: str, *args: object) -> None:
        # Errors only: a page load is a dozen requests.
        if len(args) > 1 and str(args[1])[:1] in "45":
            super().log_message(format, *args)


def document_path(document: Path) -> str:
    return "/document/" + urllib.parse.quote(document.name)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Serve the graph diff document viewer on localhost.")
    parser.add_argument("document", nargs="?", type=Path, help="a document written by PyGraphDiff.to_bytes()")
    parser.add_argument("--port", type=int, default=8000, help="0 for any free port (default 8000)")
    args = parser.parse_args(argv)
    if args.document is not None and not args.document.is_file():
        parser.error(f"{args.document} is not a file")
    handler = functools.partial(Handler, directory=str(ROOT))
    Handler.document = args.document.resolve() if args.document is not None else None
    try:
        server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), handler)
    except OSError as error:
        print(f"serve.py: cannot listen on port {args.port}: {error.strerror}; try --port 0", file=sys.stderr)
        return 1
    address = f"http://127.0.0.1:{server.server_address[1]}{PAGE}"
    if Handler.document is not None:
        address += "?document=" + urllib.parse.quote(document_path(Handler.document))
    print(f"The viewer is at {address}\n(Ctrl-C stops the server.)", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
