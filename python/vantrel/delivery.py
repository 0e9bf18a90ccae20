"""Protected playback: the packages under one directory served to standard
HLS players, each package's key only against a signed, expiring token.

    GET /PACKAGE/NAME.m3u8?token=T   a playlist, its URIs carrying the token
    GET /PACKAGE/NAME.ts?token=T     a segment (.vtt too); no token needed
                                     with public_segments
    GET /keys/PACKAGE/NAME?token=T   the package's key, found as
                                     vantrel._package_keys says

Nothing else is ever served. A refusal is 403 (no valid token) or 404
(nothing servable there) with the same body, and a token is checked before
anything on disk is looked at, so that no one without a token learns which
packages exist. Playlists take any token signed for their package, expired or
not: they hold nothing secret, and a player that reloads one late then fails
where the expiry means something, at the key. Needs the serve extra
(pip install 'vantrel[serve]')."""

from __future__ import annotations

import logging
import os
import stat
from collections.abc import Iterable
from pathlib import Path
from urllib.parse import quote

from vantrel._package_keys import find_key, read_key
from vantrel._playlist_rewrite import rewrite
from vantrel._tokens import Secret, Verdict, is_plain_name, load_secret, secret_bytes, sign, verify

try:
    from starlette.applications import Starlette
    from starlette.middleware import Middleware
    from starlette.middleware.cors import CORSMiddleware
    from starlette.requests import Request
    from starlette.responses import FileResponse, Response
    from starlette.routing import Route
except ImportError as error:  # pragma: no cover - depends on the installation
    raise ImportError("vantrel.delivery needs the serve extra: pip install 'vantrel[serve]'") from error

__all__ = ["Verdict", "create_app", "load_secret", "sign", "verify"]

LOGGER = logging.getLogger("vantrel.delivery")

PLAYLIST_TYPE = "application/vnd.apple.mpegurl"
SEGMENT_TYPES = {".ts": "video/mp2t", ".vtt": "text/vtt"}
# One body for 403 and 404: the status says whether to get a new token, the
# body nothing more.
REFUSAL = b"Not available.\n"
NO_STORE = {"Cache-Control": "no-store"}
# Path components a decoder would turn into separators or a string's end.
ENCODED_SEPARATORS = (b"%2f", b"%5c", b"%00")
DAY = 86400


def create_app(
    root: str | os.PathLike[str],
    *,
    secret: Secret,
    keys: str | os.PathLike[str] | None = None,
    public_segments: bool = False,
    allow_origins: Iterable[str] = (),
    segment_max_age: int = DAY,
) -> Starlette:
    """An ASGI application serving the packages in `root` (each a directory
    right under it). `keys`: where the keys are kept, `root` by default (the
    vantrel command's layout, OUTPUT_DIR.key beside OUTPUT_DIR).
    `allow_origins`: the web pages' origins (https://example.com) that may
    fetch from it; no CORS headers without them. Segments may be cached for
    `segment_max_age` seconds, privately unless `public_segments`."""
    delivery = _Delivery(Path(root), Path(keys if keys is not None else root), secret, public_segments,
                         segment_max_age)
    origins = list(allow_origins)
    middleware = [
        Middleware(CORSMiddleware, allow_origins=origins, allow_methods=["GET", "HEAD"], allow_headers=["Range"],
                   expose_headers=["Content-Length", "Content-Range", "Accept-Ranges"], max_age=DAY)
    ] if origins else []
    return Starlette(routes=[Route("/{path:path}", delivery.respond, methods=["GET", "HEAD"])],
                     middleware=middleware)


class SegmentResponse(FileResponse):
    """A segment in reads of 256 KiB, not Starlette's 64: each read is a turn
    through the thread pool and the event loop, and a 6-second segment then
    takes two or three instead of eight, which leaves the loop free sooner for
    the key and playlist requests waiting behind them. Memory stays bounded:
    one read's buffer per segment being sent."""

    chunk_size = 256 * 1024


def refusal(status: int) -> Response:
    return Response(REFUSAL, status_code=status, media_type="text/plain", headers=NO_STORE)


class _Delivery:
    """Everything but a segment's bytes is done in the event loop: a few stat
    calls, or a playlist or key of a few kilobytes from the page cache, take
    less time than a turn through the thread pool, where they would queue
    behind the segments being sent."""

    def __init__(self, root: Path, keys: Path, secret: Secret, public_segments: bool, segment_max_age: int) -> None:
        self.root = root
        self.real_root = os.path.realpath(root)
        self.keys = keys
        # Fails now, not at the first request, on a secret too short to sign with.
        self.secret = secret_bytes(secret)
        self.public_segments = public_segments
        scope = "public" if public_segments else "private"
        self.segment_cache = f"{scope}, max-age={int(segment_max_age)}"

    async def respond(self, request: Request) -> Response:
        raw_path = request.scope.get("raw_path") or b""
        parts = request.path_params["path"].split("/")
        if any(encoded in raw_path.lower() for encoded in ENCODED_SEPARATORS) or not all(map(is_plain_name, parts)):
            return refusal(404)
        token = request.query_params.get("token")
        if len(parts) == 3 and parts[0] == "keys":
            return self.key(parts[1], parts[2], token)
        if len(parts) == 2:
            return self.package_file(parts[0], parts[1], token)
        return refusal(404)

    def package_file(self, package: str, name: str, token: str | None) -> Response:
        suffix = os.path.splitext(name)[1]
        if suffix == ".m3u8":
            allowed = verify(token, package, secret=self.secret).authentic
        elif suffix in SEGMENT_TYPES:
            allowed = self.public_segments or verify(token, package, secret=self.secret).allowed
        else:
            return refusal(404)
        if not allowed:
            return refusal(403)
        found = self.servable(self.root / package / name)
        if found is None:
            return refusal(404)
        path, stat_result = found
        if suffix != ".m3u8":
            return SegmentResponse(path, stat_result=stat_result, media_type=SEGMENT_TYPES[suffix],
                                   headers={"Cache-Control": self.segment_cache})
        assert token is not None
        return Response(self.rewritten(path, package, token), media_type=PLAYLIST_TYPE, headers=NO_STORE)

    def key(self, package: str, name: str, token: str | None) -> Response:
        verdict = verify(token, package, secret=self.secret)
        viewer = f"viewer {verdict.viewer!r}" if verdict.viewer else "no viewer"
        if not verdict.allowed:
            LOGGER.warning("key request for package %r by %s: refused (%s)", package, viewer, verdict.reason)
            return refusal(403)
        key = self.package_key(package, name)
        if key is None:
            LOGGER.warning("key request for package %r by %s: refused (no such key)", package, viewer)
            return refusal(404)
        LOGGER.info("key request for package %r by %s: allowed", package, viewer)
        return Response(key, media_type="application/octet-stream", headers=NO_STORE)

    def inside_root(self, path: Path) -> str | None:
        """`path` once every link is followed, when that is still inside the root."""
        real = os.path.realpath(path)
        return real if real.startswith(self.real_root + os.sep) else None

    def servable(self, path: Path) -> tuple[str, os.stat_result] | None:
        real = self.inside_root(path)
        if real is None:
            return None
        try:
            stat_result = os.stat(real)
        except OSError:
            return None
        return (real, stat_result) if stat.S_ISREG(stat_result.st_mode) else None

    def package_key(self, package: str, name: str) -> bytes | None:
        package_dir = self.inside_root(self.root / package)
        if package_dir is None or not os.path.isdir(package_dir):
            return None
        key = find_key(self.root, self.keys, package)
        return read_key(key) if key is not None and key.name == name else None

    def rewritten(self, path: str, package: str, token: str) -> bytes:
        with open(path, encoding="utf-8", errors="surrogateescape") as file:
            text = file.read()
        key = find_key(self.root, self.keys, package)
        # From a playlist at /PACKAGE/, whatever prefix the application is mounted at.
        key_uri = f"../keys/{quote(package)}/{quote(key.name if key else 'key')}"
        return rewrite(text, token=token, key_uri=key_uri, public_segments=self.public_segments).encode(
            "utf-8", "surrogateescape")
