"""generate_key(): a fresh AES-128 key, a random IV and the HLS key info file
that names them."""

from __future__ import annotations

import dataclasses
import os
import secrets
import tempfile
from typing import Union

StrPath = Union[str, "os.PathLike[str]"]

KEY_BYTES = 16


@dataclasses.dataclass(frozen=True)
class KeyInfo:
    """A key made by generate_key: where it is, how players find it, and the IV."""

    key_uri: str
    key_path: str
    key_info_path: str
    iv: str


def generate_key(key_uri: str, key_path: StrPath, key_info_path: StrPath) -> KeyInfo:
    """Writes a fresh random 16-byte key to `key_path`, and to `key_info_path`
    the key info file that encode and hls_encoder take: `key_uri` (what the
    variant playlists tell players to fetch), the key's absolute path, and a
    fresh random IV in hexadecimal. Both files are readable by their owner
    only, and replace what was at their paths. Keep the key out of what is
    served publicly: players should get it from `key_uri`, behind whatever
    guards it."""
    key_file = os.path.abspath(os.fspath(key_path))
    info_file = os.path.abspath(os.fspath(key_info_path))
    iv = new_iv()
    text = key_info_text(key_uri, key_file, iv)
    write_private(key_file, new_key())
    write_private(info_file, text.encode())
    return KeyInfo(key_uri=key_uri, key_path=key_file, key_info_path=info_file, iv=iv)


def new_key() -> bytes:
    return secrets.token_bytes(KEY_BYTES)


def new_iv() -> str:
    return secrets.token_hex(KEY_BYTES)


def key_info_text(key_uri: str, key_path: str, iv: str) -> str:
    """The three lines of a key info file; raises TypeError or ValueError for
    a URI or path that cannot be one of its lines."""
    if not isinstance(key_uri, str):
        raise TypeError(f"key_uri must be a str, not {type(key_uri).__name__}")
    # The key info file is read line by line, so neither line may hold a break.
    for name, value in (("key_uri", key_uri), ("key_path", key_path)):
        if not value or any(c in value for c in "\r\n\0"):
            raise ValueError(f"{name} must be non-empty and hold no line break or NUL: {value!r}")
    return f"{key_uri}\n{key_path}\n{iv}\n"


def write_private(path: str, data: bytes) -> None:
    """Writes `data` to a new file of mode 0600 beside `path`, then moves it
    into place: no moment shows an old file's mode with the new content, or a
    half-written key."""
    temporary = write_private_beside(path, data, ".vantrel-")
    try:
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def write_private_beside(path: str, data: bytes, prefix: str) -> str:
    """Writes `data`, flushed to disk, to a new file of mode 0600 in the folder
    of `path`, named `prefix` and random characters; returns its path."""
    descriptor, temporary = tempfile.mkstemp(prefix=prefix, dir=os.path.dirname(path))
    try:
        with os.fdopen(descriptor, "wb") as file:
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
    except BaseException:
        os.unlink(temporary)
        raise
    return temporary
