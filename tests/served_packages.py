"""The session's packages served by vantrel.delivery as a deployment lays them
out: ROOT/NAME holding the playlists and segments alone, the keys in a
directory of their own as NAME.key, one secret in a file only its owner
reads. A ServedPackage reads its package the way a player does, through the
ASGI application in this process, so the playlist checks run on what viewers
get."""

from __future__ import annotations

import dataclasses
import os
import shutil
import time
from pathlib import Path
from typing import Any
from unittest import mock

import anyio
import httpx
import m3u8
import pytest

from conftest import Package, PackageFactory
from vantrel.delivery import create_app, sign

BASE = "http://testserver"
DAY = 86400


def asgi_request(app: Any, url: str, method: str = "GET", headers: dict[str, str] | None = None) -> httpx.Response:
    """One request to the application, without a server."""

    async def send() -> httpx.Response:
        async with httpx.AsyncClient(transport=httpx.ASGITransport(app=app), base_url=BASE) as client:
            return await client.request(method, url, headers=headers)

    return anyio.run(send)


@dataclasses.dataclass
class ServedPackage(Package):
    app: Any = None
    token: str = ""

    @property
    def key_uri(self) -> str:  # type: ignore[override]
        name = self.directory.name
        return f"../keys/{name}/{name}.key?token={self.token}"

    def url(self, name: str) -> str:
        return f"{BASE}/{self.directory.name}/{name}?token={self.token}"

    def playlist(self, name: str) -> m3u8.M3U8:
        return m3u8.loads(self.fetch(self.url(name)).decode(), uri=self.url(name))

    def fetch(self, absolute_uri: str) -> bytes:
        response = asgi_request(self.app, absolute_uri)
        assert response.status_code == 200, (absolute_uri, response.status_code)
        return response.content

    def named(self, uri: str) -> str:
        return f"{uri}?token={self.token}"


class ServedRoot:
    def __init__(self, base: Path, packages: PackageFactory) -> None:
        self.root, self.keys, self.secret_file = base / "root", base / "keys", base / "secret"
        self.root.mkdir()
        self.keys.mkdir()
        self.secret = os.urandom(32)
        descriptor = os.open(self.secret_file, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(descriptor, "wb") as file:
            file.write(self.secret)
        self.app = create_app(self.root, secret=self.secret, keys=self.keys)
        self.packages = packages
        self.laid: dict[str, ServedPackage] = {}

    def __getitem__(self, name: str) -> ServedPackage:
        """The session's package `name`, laid out under the root once."""
        if name not in self.laid:
            package = self.packages[name]
            directory = self.root / name
            directory.mkdir()
            for path in package.directory.iterdir():
                if path.suffix in (".m3u8", ".ts"):
                    shutil.copy(path, directory)
            (self.keys / f"{name}.key").write_bytes(package.key)
            self.laid[name] = ServedPackage(directory, package.source, package.key, package.stems, package.job,
                                            app=self.app, token=self.token(name))
        return self.laid[name]

    def token(self, package: str, *, viewer: str | None = None, expired: bool = False) -> str:
        """A token for `package`; an expired one was made an hour ago for a minute."""
        if not expired:
            return sign(package, secret=self.secret, ttl=DAY, viewer=viewer)
        with mock.patch("time.time", return_value=time.time() - 3600):
            return sign(package, secret=self.secret, ttl=60, viewer=viewer)


@pytest.fixture(scope="session")
def served(tmp_path_factory: pytest.TempPathFactory, packages: PackageFactory) -> ServedRoot:
    return ServedRoot(tmp_path_factory.mktemp("served"), packages)
