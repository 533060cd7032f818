"""A real HTTP server on 127.0.0.1 that serves a reference data package."""

from __future__ import annotations

import hashlib
import io
import json
import tarfile
import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

from morvane._http import HttpClient
from morvane.backtest._pkg import PACKAGE_INDEX_PATH


@dataclass
class Route:
    body: bytes
    status: int = 200
    announce: int | None = None  # Content-Length to claim; None: the true length
    failures: int = 0  # answer 500 this many times first
    cut: int = 0  # then cut the body short this many times
    cut_at: int | None = None  # bytes sent by a cut answer; None: half the body
    cut_body: bytes | None = None  # what a cut answer sends the start of; None: the body
    token: str | None = None  # answer 401 unless "Authorization: Bearer <token>" comes along
    hits: int = 0
    authorizations: list[str | None] = field(default_factory=list)  # the header of every request


@dataclass
class PackageServer:
    routes: dict[str, Route] = field(default_factory=dict)
    base_url: str = ""

    def serve_package(
        self,
        archive: bytes,
        *,
        sha256: str | None = "auto",
        size: int | None = -1,
        url: str | None = None,
        unpacked_size: int | None = None,
        **route: object,
    ) -> None:
        self.routes["/files/package.tar"] = Route(archive, **route)
        description: dict[str, object] = {"url": url or f"{self.base_url}files/package.tar"}
        if sha256 is not None:
            description["sha256"] = (
                hashlib.sha256(archive).hexdigest() if sha256 == "auto" else sha256
            )
        if size is not None:
            description["size"] = len(archive) if size == -1 else size
        if unpacked_size is not None:
            description["unpacked_size"] = unpacked_size
        self.routes["/" + PACKAGE_INDEX_PATH] = Route(json.dumps(description).encode())

    def client(self, token: str | None = None) -> HttpClient:
        return HttpClient(self.base_url, token, retries=2, backoff=0.0, timeout=10.0)


def _handler(state: PackageServer) -> type[BaseHTTPRequestHandler]:
    class Handler(BaseHTTPRequestHandler):
        def log_message(self, format: str, *args: object) -> None:
            pass

        def do_GET(self) -> None:
            route = state.routes.get(self.path.split("?")[0])
            if route is None:
                self.send_error(404)
                return
            route.hits += 1
            route.authorizations.append(self.headers.get("Authorization"))
            if (
                route.token is not None
                and self.headers.get("Authorization") != f"Bearer {route.token}"
            ):
                self.send_error(401)
                return
            if route.hits <= route.failures:
                self.send_error(500)
                return
            self.send_response(route.status)
            self.send_header(
                "Content-Length",
                str(route.announce if route.announce is not None else len(route.body)),
            )
            self.end_headers()
            cut = route.hits <= route.failures + route.cut
            if cut:
                sent = route.cut_body if route.cut_body is not None else route.body
                self.wfile.write(
                    sent[: route.cut_at if route.cut_at is not None else len(route.body) // 2]
                )
            else:
                self.wfile.write(route.body)
            self.close_connection = True

    return Handler


@contextmanager
def package_server() -> Iterator[PackageServer]:
    state = PackageServer()
    server = ThreadingHTTPServer(("127.0.0.1", 0), _handler(state))
    state.base_url = f"http://127.0.0.1:{server.server_address[1]}/"
    thread = threading.Thread(
        target=server.serve_forever, kwargs={"poll_interval": 0.02}, daemon=True
    )
    thread.start()
    try:
        yield state
    finally:
        server.shutdown()
        server.server_close()
        thread.join()


def tar_of(
    folder: Path,
    *,
    top: str | None = "package",
    extra: Callable[[tarfile.TarFile], None] | None = None,
    compression: str = "gz",
) -> bytes:
    """A tar of a folder's files (gzip by default; "" for none), inside one top-level folder when `top` is given."""
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode=f"w:{compression}") as tar:
        for path in sorted(folder.rglob("*")):
            relative = path.relative_to(folder).as_posix()
            tar.add(path, arcname=f"{top}/{relative}" if top else relative, recursive=False)
        if extra is not None:
            extra(tar)
    return buffer.getvalue()


def add_member(
    tar: tarfile.TarFile,
    name: str,
    *,
    data: bytes = b"x",
    kind: bytes = tarfile.REGTYPE,
    linkname: str = "",
) -> None:
    info = tarfile.TarInfo(name)
    info.type = kind
    info.linkname = linkname
    info.size = len(data) if kind == tarfile.REGTYPE else 0
    tar.addfile(info, io.BytesIO(data) if kind == tarfile.REGTYPE else None)
