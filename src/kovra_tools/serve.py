"""`kovra view`: the document viewer and one document, served to this machine only.

The page needs HTTP: browsers run neither its module nor its worker from file: URLs.
Only the files of a fixed map are served: the viewer's own (`viewer/`), the JavaScript
reader it imports (`js/`, the repository's js/ in a checkout, its copy in a wheel), and
the document at /document/<its name>, read afresh on every request so that a reload
shows the file as it is now. Any other path is a 404. Standard library only.
"""

from __future__ import annotations

import http.server
import sys
import urllib.parse
from pathlib import Path
from typing import ClassVar

HERE = Path(__file__).resolve().parent
PAGE = "/viewer/index.html"
TYPES = {".html": "text/html; charset=utf-8", ".js": "text/javascript; charset=utf-8",
         ".css": "text/css; charset=utf-8"}


def served_files() -> dict[str, Path]:
    """URL path -> file, for every file the viewer needs besides the document."""
    files = {f"/viewer/{p.name}": p for p in sorted((HERE / "viewer").iterdir()) if p.suffix in TYPES}
    reader = HERE / "js"
    files["/js/kovra_document.js"] = reader / "kovra_document.js"
    files.update({f"/js/lib/{p.name}": p for p in sorted((reader / "lib").glob("*.js"))})
    missing = [str(p) for p in files.values() if not p.is_file()]
    if missing:
        raise FileNotFoundError(f"the viewer's files are incomplete: {', '.join(missing)}")
    return files


class Handler(http.server.BaseHTTPRequestHandler):
    files: ClassVar[dict[str, Path]] = {}
    document: ClassVar[Path | None] = None

    def do_GET(self) -> None:
        path = urllib.parse.urlsplit(self.path).path
        if self.document is not None and path == document_path(self.document):
            self.send_file(self.document, "application/octet-stream")
        elif path in self.files:
            self.send_file(self.files[path], TYPES[self.files[path].suffix])
        else:
            self.send_error(404)

    def send_file(self, file: Path, content_type: str) -> None:
        try:
            body = file.read_bytes()
        except OSError as error:
            self.send_error(404, f"cannot read {file.name}: {error.strerror}")
            return
        self.send_response(200)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        # Edited documents and page files must not come from the browser's cache.
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format: str, *args: object) -> None:
        # Errors only: a page load is a dozen requests.
        if len(args) > 1 and str(args[1])[:1] in "45":
            super().log_message(format, *args)


def document_path(document: Path) -> str:
    return "/document/" + urllib.parse.quote(document.name)


def serve(document: Path | None, port: int) -> int:
    """Serves until interrupted; prints the page's address first."""
    Handler.files = served_files()
    Handler.document = document.resolve() if document is not None else None
    try:
        server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
    except OSError as error:
        print(f"kovra view: cannot listen on port {port}: {error.strerror}; try --port 0", file=sys.stderr)
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
