"""Playback tokens: an HMAC-SHA256 over one package's name, an expiry time and
an optional viewer id, made with the server's secret; and the secret itself,
read from a file only its owner can read or from the environment.

A token is two base64url fields joined by a dot, the signed payload (expiry
as 8 bytes big-endian, then the viewer id in UTF-8) and its MAC, so it goes
into a query string as it is. The package's name is signed but not carried:
a token checked against another package's name fails like an altered one."""

from __future__ import annotations

import base64
import binascii
import dataclasses
import hashlib
import hmac
import math
import os
import re
import stat
import time
from typing import Mapping, Union

SECRET_ENV = "VANTREL_SECRET"
# Shorter secrets make tokens that can be forged by search.
SECRET_MIN_BYTES = 16
VIEWER_MAX_CHARS = 256
_EXPIRY_BYTES = 8
# Sets tokens apart from any other MAC made with the same secret.
_DOMAIN = b"vantrel playback token 1\0"
_BASE64URL = re.compile(r"[A-Za-z0-9_-]*")

Secret = Union[bytes, str]


@dataclasses.dataclass(frozen=True)
class Verdict:
    """What a token is worth for one package. `authentic`: this server signed
    it for this package; `allowed`: authentic and not expired. `viewer` is set
    only for an authentic token (anything else in a refused token is the
    sender's text). `reason` says why a token is refused, or "valid"."""

    authentic: bool
    allowed: bool
    reason: str
    viewer: str | None = None


def sign(package: str, *, secret: Secret, ttl: float, viewer: str | None = None) -> str:
    """A token for the package named `package` (its directory's name under the
    served root), valid for `ttl` seconds from now, optionally bound to a
    viewer id that the server's key log names."""
    check_package_name(package)
    if isinstance(ttl, bool) or not isinstance(ttl, (int, float)) or not ttl > 0 or not math.isfinite(ttl):
        raise ValueError(f"ttl must be a positive number of seconds, not {ttl!r}")
    if viewer is not None:
        if not isinstance(viewer, str) or not viewer or len(viewer) > VIEWER_MAX_CHARS:
            raise ValueError(f"viewer must be a non-empty str of at most {VIEWER_MAX_CHARS} characters")
        if not viewer.isprintable():
            raise ValueError(f"viewer must hold printable characters only: {viewer!r}")
    expires = math.ceil(time.time() + ttl)
    payload = expires.to_bytes(_EXPIRY_BYTES, "big") + (viewer or "").encode()
    return _encode(payload) + "." + _encode(_mac(secret_bytes(secret), package, payload))


def verify(token: str | None, package: str, *, secret: Secret, now: float | None = None) -> Verdict:
    """Checks `token` for `package`; the MACs are compared in constant time."""
    if not token:
        return Verdict(False, False, "no token")
    fields = token.split(".")
    decoded = [_decode(field) for field in fields] if len(fields) == 2 else [None]
    if any(field is None for field in decoded) or len(decoded[0] or b"") < _EXPIRY_BYTES:
        return Verdict(False, False, "malformed token")
    payload, mac = decoded[0] or b"", decoded[1] or b""
    try:
        expected = _mac(secret_bytes(secret), package, payload)
    except UnicodeEncodeError:
        return Verdict(False, False, "invalid signature")
    if not hmac.compare_digest(mac, expected):
        return Verdict(False, False, "invalid signature")
    viewer = payload[_EXPIRY_BYTES:].decode() or None
    expires = int.from_bytes(payload[:_EXPIRY_BYTES], "big")
    if expires <= (time.time() if now is None else now):
        return Verdict(True, False, "expired", viewer)
    return Verdict(True, True, "valid", viewer)


def check_package_name(package: str) -> None:
    """A package is one directory right under the served root: a plain name."""
    if not isinstance(package, str) or not is_plain_name(package):
        raise ValueError(f"a package is named by its directory's plain name, not {package!r}")


def is_plain_name(name: str) -> bool:
    """One path component that names no hidden file and cannot climb out."""
    return bool(name) and not name.startswith(".") and "/" not in name and "\\" not in name and name.isprintable()


def load_secret(path: str | os.PathLike[str] | None = None, environ: Mapping[str, str] = os.environ) -> bytes:
    """The server's secret: the content of the file at `path` (trailing white
    space aside), which must be readable by its owner only, or else the
    environment's VANTREL_SECRET. Raises ValueError saying what is wrong."""
    if path is not None:
        with open(path, "rb") as file:
            mode = os.fstat(file.fileno()).st_mode
            if mode & (stat.S_IRWXG | stat.S_IRWXO):
                raise ValueError(
                    f"the secret file {os.fspath(path)} may be read or written by others "
                    f"(mode {stat.filemode(mode)}); make it its owner's only: chmod 600"
                )
            secret = file.read().rstrip()
        where = f"the secret file {os.fspath(path)}"
    elif environ.get(SECRET_ENV):
        secret, where = environ[SECRET_ENV].encode(), SECRET_ENV
    else:
        raise ValueError(f"no secret: give a secret file, or set {SECRET_ENV}")
    if len(secret) < SECRET_MIN_BYTES:
        raise ValueError(f"{where} holds fewer than {SECRET_MIN_BYTES} bytes")
    return secret


def secret_bytes(secret: Secret) -> bytes:
    raw = secret.encode() if isinstance(secret, str) else bytes(secret)
    if len(raw) < SECRET_MIN_BYTES:
        raise ValueError(f"the secret must hold at least {SECRET_MIN_BYTES} bytes")
    return raw


def _mac(secret: bytes, package: str, payload: bytes) -> bytes:
    # NUL cannot occur in a file name, so the package's end is unambiguous.
    message = _DOMAIN + package.encode() + b"\0" + payload
    return hmac.new(secret, message, hashlib.sha256).digest()


def _encode(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def _decode(text: str) -> bytes | None:
    """Only the one spelling _encode makes: base64's last character may carry
    unused bits, and a decoder that ignores them takes altered tokens."""
    if not _BASE64URL.fullmatch(text) or len(text) % 4 == 1:
        return None
    try:
        data = base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))
    except (binascii.Error, ValueError):
        return None
    return data if _encode(data) == text else None
