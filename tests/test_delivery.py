"""Protected playback as viewers and intruders meet it: tokens, what `vantrel
serve` hands out and refuses (path tricks included, sent verbatim over a
socket), playlists rewritten for each viewer, CORS, the key log, the token
command's secret, and hls.js in Chromium playing through a token."""

from __future__ import annotations

import dataclasses
import hmac
import http.client
import json
import os
import re
import subprocess
import sys
import time
from pathlib import Path
from urllib.parse import urljoin, urlsplit

import pytest

from conftest import TOOL_ENV, default_stop_signals
from queue_processes import free_port
from served_packages import ServedRoot, asgi_request
from test_playback import is_player_fault, master_sizes, played_correctly
from vantrel import _tokens
from vantrel.delivery import REFUSAL, create_app, sign, verify

pytestmark = pytest.mark.python_side

PACKAGE = "ladder-30fps"
SECRET = b"s" * 32
URI_ATTRIBUTE = re.compile(r'URI="([^"]*)"')


def test_tokens(monkeypatch):
    token = sign("talk", secret=SECRET, ttl=60, viewer="alice")
    assert verify(token, "talk", secret=SECRET) == _tokens.Verdict(True, True, "valid", "alice")
    refused = {
        "expired": verify(token, "talk", secret=SECRET, now=time.time() + 61),
        "another package's": verify(token, "talk2", secret=SECRET),
        "another secret's": verify(token, "talk", secret=SECRET[:-1] + b"t"),
        "empty": verify("", "talk", secret=SECRET),
    }
    assert refused["expired"] == _tokens.Verdict(True, False, "expired", "alice")
    assert not any(verdict.allowed for verdict in refused.values()), refused
    # Every character changed to every other of the alphabet, and every cut.
    alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_."
    for at, original in enumerate(token):
        for other in alphabet.replace(original, ""):
            altered = token[:at] + other + token[at + 1:]
            assert not verify(altered, "talk", secret=SECRET).authentic, (at, altered)
        assert not verify(token[:at], "talk", secret=SECRET).authentic, at
    compared, compare_digest = [], hmac.compare_digest
    monkeypatch.setattr(_tokens.hmac, "compare_digest", lambda a, b: compared.append((a, b)) or compare_digest(a, b))
    assert verify(token, "talk2", secret=SECRET).reason == "invalid signature"
    assert len(compared) == 1 and len(compared[0][0]) == 32


@dataclasses.dataclass
class Server:
    """`vantrel serve` on the session's served root, and the page's origin it allows."""

    address: str
    page_port: int
    log: Path
    served: ServedRoot

    def request(self, path: str, method: str = "GET", headers: dict[str, str] | None = None):
        """The path sent as it is, no client normalising it first."""
        parts = urlsplit(self.address)
        connection = http.client.HTTPConnection(parts.hostname, parts.port, timeout=30)
        try:
            connection.request(method, path, headers=headers or {})
            response = connection.getresponse()
            return response.status, response.headers, response.read()
        finally:
            connection.close()


@pytest.fixture(scope="module")
def server(served, tmp_path_factory) -> Server:
    package = served[PACKAGE].directory
    outside = tmp_path_factory.mktemp("outside")
    (outside / "master.m3u8").write_text("#EXTM3U\n")
    (outside / "leak.ts").write_bytes(b"outside the root")
    # What may lie in or beside a package without being servable.
    (package / "enc.keyinfo").write_text(f"enc.key\n{served.keys / f'{PACKAGE}.key'}\n")
    (package / "source.mp4").write_bytes(b"the source")
    (package / ".hidden.ts").write_bytes(b"hidden")
    (package / "escape.ts").symlink_to(outside / "leak.ts")
    (served.root / "linked").symlink_to(outside)
    log = tmp_path_factory.mktemp("serve-log") / "stderr"
    page_port = free_port()
    with open(log, "wb") as stderr:
        process = subprocess.Popen(
            [sys.executable, "-m", "vantrel", "serve", str(served.root), "--keys", str(served.keys),
             "--secret-file", str(served.secret_file), "--port", "0",
             "--allow-origin", f"http://127.0.0.1:{page_port}"],
            stdout=subprocess.PIPE, stderr=stderr, text=True, preexec_fn=default_stop_signals)
    try:
        line = process.stdout.readline()
        found = re.search(r" at (http://\S+/) ", line)
        assert found, (line, log.read_text())
        yield Server(found.group(1), page_port, log, served)
    finally:
        process.terminate()
        process.wait(timeout=30)


def token_for(served: ServedRoot, kind: str | None) -> str | None:
    if kind is None:
        return None
    if kind == "altered":
        token = served.token(PACKAGE)
        return token[:5] + ("A" if token[5] != "A" else "B") + token[6:]
    package, _, state = kind.partition(":")
    return served.token(package or PACKAGE, expired=state == "expired")


# name: (path, token: None, "altered", or "[PACKAGE][:expired]" for P's own, status)
REFUSALS = {
    "playlist-without-token": (f"/{PACKAGE}/master.m3u8", None, 403),
    "playlist-with-altered-token": (f"/{PACKAGE}/master.m3u8", "altered", 403),
    "playlist-with-another-packages-token": (f"/{PACKAGE}/master.m3u8", "other", 403),
    "segment-without-token": (f"/{PACKAGE}/360p_000.ts", None, 403),
    "segment-with-expired-token": (f"/{PACKAGE}/360p_000.ts", ":expired", 403),
    "key-without-token": (f"/keys/{PACKAGE}/{PACKAGE}.key", None, 403),
    "key-with-expired-token": (f"/keys/{PACKAGE}/{PACKAGE}.key", ":expired", 403),
    "key-with-another-packages-token": (f"/keys/{PACKAGE}/{PACKAGE}.key", "other", 403),
    "missing-package": ("/missing/master.m3u8", "missing", 404),
    "missing-segment": (f"/{PACKAGE}/360p_999.ts", "", 404),
    "key-by-another-name": (f"/keys/{PACKAGE}/enc.key", "", 404),
    "dot-dot": (f"/{PACKAGE}/../../keys/{PACKAGE}.key", "", 404),
    "encoded-dot-dot": (f"/{PACKAGE}/%2e%2e/%2e%2e/keys/{PACKAGE}.key", "", 404),
    "encoded-slash": (f"/{PACKAGE}%2Fmaster.m3u8", "", 404),
    "absolute-path": ("//etc/hostname", "", 404),
    "symlink-out-of-root": (f"/{PACKAGE}/escape.ts", "", 404),
    "package-linked-out-of-root": ("/linked/master.m3u8", "linked", 404),
    "key-info-file": (f"/{PACKAGE}/enc.keyinfo", "", 404),
    "source-file": (f"/{PACKAGE}/source.mp4", "", 404),
    "hidden-file": (f"/{PACKAGE}/.hidden.ts", "", 404),
}


@pytest.mark.parametrize("case", list(REFUSALS))
def test_refusals_look_alike(server, case):
    path, kind, status = REFUSALS[case]
    token = token_for(server.served, kind)
    got, headers, body = server.request(path + (f"?token={token}" if token else ""))
    assert (got, body, headers["Cache-Control"]) == (status, REFUSAL, "no-store")


def segment_bytes(served: ServedRoot) -> bytes:
    return (served[PACKAGE].directory / "360p_000.ts").read_bytes()


# name: (method, path, token kind, request headers, status, body (of the served root), Cache-Control)
SERVED = {
    "master": ("GET", "master.m3u8", "", {}, 200, None, "no-store"),
    "master-with-expired-token": ("GET", "master.m3u8", ":expired", {}, 200, None, "no-store"),
    "key": ("GET", f"/keys/{PACKAGE}/{PACKAGE}.key", "", {}, 200, lambda s: s[PACKAGE].key, "no-store"),
    "segment": ("GET", "360p_000.ts", "", {}, 200, segment_bytes, "private, max-age=86400"),
    "segment-head": ("HEAD", "360p_000.ts", "", {}, 200, lambda s: b"", "private, max-age=86400"),
    "segment-range": ("GET", "360p_000.ts", "", {"Range": "bytes=100-1123"}, 206,
                      lambda s: segment_bytes(s)[100:1124], "private, max-age=86400"),
}


@pytest.mark.parametrize("case", list(SERVED))
def test_what_is_served(server, case):
    method, path, kind, headers, status, body, cache = SERVED[case]
    path = path if path.startswith("/") else f"/{PACKAGE}/{path}"
    got, response_headers, content = server.request(f"{path}?token={token_for(server.served, kind)}", method, headers)
    assert (got, response_headers["Cache-Control"]) == (status, cache)
    if body is not None:
        assert content == body(server.served)
    if method == "HEAD":
        assert int(response_headers["Content-Length"]) == len(segment_bytes(server.served))
    if status == 206:
        assert response_headers["Content-Range"] == f"bytes 100-1123/{len(segment_bytes(server.served))}"


def crawl(app, url: str, seen: dict[str, bytes]) -> None:
    """Fetches every URI the playlist at `url` names, as a player would, into `seen`."""
    response = asgi_request(app, url)
    assert response.status_code == 200, (url, response.status_code)
    seen[url] = response.content
    if not urlsplit(url).path.endswith(".m3u8"):
        return
    text = response.text
    uris = URI_ATTRIBUTE.findall(text) + [line for line in text.splitlines() if line and not line.startswith("#")]
    for uri in uris:
        if urlsplit(uri).scheme:
            seen[uri] = b""  # elsewhere: left alone, never fetched
        elif urljoin(url, uri) not in seen:
            crawl(app, urljoin(url, uri), seen)


@pytest.fixture
def captioned(tmp_path) -> Path:
    """A package with subtitles, an I-frame playlist and a segment on another
    host, its key in the vantrel command's layout (talk.key and talk.keyinfo
    beside it)."""
    package = tmp_path / "talk"
    package.mkdir()
    (tmp_path / "talk.key").write_bytes(b"k" * 16)
    (tmp_path / "talk.keyinfo").write_text(f"talk.key\n{tmp_path / 'talk.key'}\n")
    files = {
        "master.m3u8": '#EXTM3U\n#EXT-X-MEDIA:TYPE=SUBTITLES,GROUP-ID="s",NAME="en",URI="subs.m3u8"\n'
        '#EXT-X-I-FRAME-STREAM-INF:BANDWIDTH=9000,URI="iframes.m3u8"\n'
        '#EXT-X-STREAM-INF:BANDWIDTH=100000,SUBTITLES="s"\n360p.m3u8\n',
        "360p.m3u8": '#EXTM3U\n#EXT-X-TARGETDURATION:6\n#EXT-X-KEY:METHOD=AES-128,URI="talk.key",IV=0x01\n'
        "#EXTINF:6,\n360p_000.ts\n#EXTINF:6,\nhttps://elsewhere.example/360p_001.ts\n#EXT-X-ENDLIST\n",
        "iframes.m3u8": "#EXTM3U\n#EXT-X-I-FRAMES-ONLY\n#EXTINF:6,\n360p_000.ts\n#EXT-X-ENDLIST\n",
        "subs.m3u8": "#EXTM3U\n#EXT-X-TARGETDURATION:6\n#EXTINF:6,\nsubs_000.vtt\n#EXT-X-ENDLIST\n",
        "360p_000.ts": "segment", "subs_000.vtt": "WEBVTT\n",
    }
    for name, text in files.items():
        (package / name).write_text(text)
    return package


def key_inside(package: Path) -> str:
    """The key moved into the package, as the demo keeps it, found through the
    package's own key info file."""
    (package.parent / "talk.keyinfo").unlink()
    (package.parent / "talk.key").rename(package / "enc.key")
    (package / "enc.keyinfo").write_text("enc.key\nenc.key\n")
    return "enc.key"


@pytest.mark.parametrize(("public_segments", "lay_key"), [(False, lambda package: "talk.key"), (True, key_inside)],
                         ids=["tokened-segments-key-beside", "public-segments-key-inside"])
def test_every_uri_a_player_follows_carries_the_token(captioned, public_segments, lay_key):
    key = f"/keys/talk/{lay_key(captioned)}"
    app = create_app(captioned.parent, secret=SECRET, public_segments=public_segments)
    token = sign("talk", secret=SECRET, ttl=60)
    seen: dict[str, bytes] = {}
    crawl(app, f"/talk/master.m3u8?token={token}", seen)
    assert seen.pop("https://elsewhere.example/360p_001.ts") == b""
    tokened = {urlsplit(url).path for url in seen if url.endswith(f"?token={token}")}
    segments = {"/talk/360p_000.ts", "/talk/subs_000.vtt"}
    playlists = {f"/talk/{name}.m3u8" for name in ("master", "360p", "iframes", "subs")}
    assert {urlsplit(url).path for url in seen} == playlists | segments | {key}
    assert tokened == playlists | {key} | (set() if public_segments else segments)
    assert seen[f"{key}?token={token}"] == b"k" * 16
    assert asgi_request(app, "/talk/360p_000.ts").status_code == (200 if public_segments else 403)


@pytest.mark.parametrize(
    ("allowed", "origin", "expected"),
    [
        (["https://player.example"], "https://player.example", "https://player.example"),
        (["https://player.example"], "https://elsewhere.example", None),
        ([], "https://player.example", None),
    ],
    ids=["configured-origin", "other-origin", "none-configured"],
)
def test_cors_for_configured_origins_only(captioned, allowed, origin, expected):
    app = create_app(captioned.parent, secret=SECRET, allow_origins=allowed)
    token = sign("talk", secret=SECRET, ttl=60)
    response = asgi_request(app, f"/talk/360p_000.ts?token={token}", headers={"Origin": origin})
    assert response.status_code == 200
    assert response.headers.get("Access-Control-Allow-Origin") == expected


def test_one_log_line_per_key_request_without_tokens_or_keys(server):
    served = server.served
    before = server.log.stat().st_size
    requests = {
        "alice": (served.token(PACKAGE, viewer="alice"), "by viewer 'alice': allowed"),
        "bob": (served.token(PACKAGE, viewer="bob", expired=True), "by viewer 'bob': refused (expired)"),
        "altered": (token_for(served, "altered"), "by no viewer: refused (invalid signature)"),
    }
    for token, _ in requests.values():
        server.request(f"/keys/{PACKAGE}/{PACKAGE}.key?token={token}")
    lines = server.log.read_bytes()[before:].decode().splitlines()
    assert [line.split(": ", 1)[1] for line in lines] == [
        f"{level}: key request for package '{PACKAGE}' {outcome}"
        for level, (_, outcome) in zip(["INFO", "WARNING", "WARNING"], requests.values())
    ]
    whole = server.log.read_bytes()
    key = served[PACKAGE].key
    for secret in [token.encode() for token, _ in requests.values()] + [key, key.hex().encode()]:
        assert secret not in whole


# name: (how the secret is given: file mode, content, or environment, exit status, what the command says)
SECRETS = {
    "owner-only-file": ({"mode": 0o600}, 0, r"^/out/master\.m3u8\?token=[\w.-]+$"),
    "group-readable-file": ({"mode": 0o640}, 2, "chmod 600"),
    "short-file": ({"mode": 0o600, "content": b"short\n"}, 2, "fewer than 16 bytes"),
    "environment": ({"environment": "e" * 32}, 0, r"^/out/master\.m3u8\?token=[\w.-]+$"),
    "none": ({}, 2, "no secret"),
}


@pytest.mark.parametrize("case", list(SECRETS))
def test_token_command_takes_the_secret_from_a_private_file_or_the_environment(tmp_path, case):
    given, status, says = SECRETS[case]
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "master.m3u8").write_text("#EXTM3U\n")
    secret = given.get("content", b"f" * 32)
    arguments = ["--viewer", "carol"]
    if "mode" in given:
        (tmp_path / "secret").write_bytes(secret)
        os.chmod(tmp_path / "secret", given["mode"])
        arguments += ["--secret-file", "secret"]
    environment = {key: value for key, value in os.environ.items() if key != _tokens.SECRET_ENV}
    if "environment" in given:
        environment[_tokens.SECRET_ENV] = secret = given["environment"]
    proc = subprocess.run([sys.executable, "-m", "vantrel", "token", "out", *arguments], cwd=tmp_path,
                          capture_output=True, text=True, env=environment, timeout=60)
    assert proc.returncode == status, proc.stderr
    assert re.search(says, proc.stdout.strip() if status == 0 else proc.stderr), (proc.stdout, proc.stderr)
    if status == 0:
        token = proc.stdout.strip().split("token=")[1]
        assert verify(token, "out", secret=secret) == _tokens.Verdict(True, True, "valid", "carol")


def play_through(server: Server, player: Path, query: str, *options: str) -> list[dict]:
    proc = subprocess.run(
        ["node", str(player), "--src", f"{server.address}{PACKAGE}/master.m3u8{query}",
         "--port", str(server.page_port), "--timeout", "45", *options],
        capture_output=True, text=True, timeout=600, env=TOOL_ENV,
    )
    assert proc.returncode == 0, proc.stderr
    return [json.loads(line) for line in proc.stdout.splitlines()]


@pytest.mark.parametrize("token", ["valid", "expired", "none"])
def test_chromium_plays_through_a_token_only(server, player, token):
    served = server.served
    query = "" if token == "none" else f"?token={served.token(PACKAGE, expired=token == 'expired')}"
    # Refused, one variant tells as much as all of them.
    records = play_through(server, player, query, *([] if token == "valid" else ["--level", "0"]))
    if token == "valid":
        sizes = master_sizes(served.packages[PACKAGE])
        assert len(records) == len(sizes)
        for level, record in enumerate(records):
            size = "{width}x{height}".format(**record["levels"][level])
            assert played_correctly(record, level, size), record
            assert [e for e in record["errors"] if is_player_fault(e)] == [], record
        return
    (record,) = records
    assert record["outcome"] == "failed" and record["keysLoaded"] == 0 and not record["fragments"], record
    fatal = [error["details"] for error in record["errors"] if error["fatal"]]
    assert fatal == ["keyLoadError" if token == "expired" else "manifestLoadError"], record
