"""Where the key of a served package is, found the same way for every request:
never from the request's path, and inside the served root only where the
package's own key info file says it is.

For the package in ROOT/NAME, with KEYS the key directory (ROOT unless one is
given), the first of:
  1. KEYS/NAME.keyinfo, the key info file the vantrel command keeps beside a
     package: the key it names on its second line;
  2. KEYS/NAME.key, the command's key itself, or a key kept under the
     package's name in a directory of keys;
  3. the one key info file inside ROOT/NAME, as hls_encoder's callers often
     keep it: the key it names."""

from __future__ import annotations

import dataclasses
import os
from pathlib import Path

from vantrel._keys import KEY_BYTES


@dataclasses.dataclass(frozen=True)
class PackageKey:
    """A package's key file and the name it is served under (its file name)."""

    path: Path

    @property
    def name(self) -> str:
        return self.path.name


def find_key(root: Path, keys: Path, package: str) -> PackageKey | None:
    """The key of the package in root/package, by the rules above; None when
    none of them names one. The key file itself is not read here."""
    info = keys / f"{package}.keyinfo"
    if info.is_file():
        return _named_by(info)
    if (keys / f"{package}.key").is_file():
        return PackageKey(keys / f"{package}.key")
    try:
        own = [entry for entry in os.scandir(root / package) if entry.name.endswith(".keyinfo") and entry.is_file()]
    except OSError:
        return None
    return _named_by(Path(own[0].path)) if len(own) == 1 else None


def read_key(key: PackageKey) -> bytes | None:
    """The key's 16 bytes; None for a file that is not a key (of another size,
    missing, unreadable), so that whatever a key info file names, nothing but
    a key is ever sent."""
    try:
        with open(key.path, "rb") as file:
            data = file.read(KEY_BYTES + 1)
    except OSError:
        return None
    return data if len(data) == KEY_BYTES else None


def _named_by(info: Path) -> PackageKey | None:
    try:
        lines = info.read_text(encoding="utf-8", errors="surrogateescape").splitlines()
    except OSError:
        return None
    if len(lines) < 2 or not lines[1].strip():
        return None
    # A relative key path was relative to the encoder's working directory,
    # which is, for a key info file kept with its key, the file's own.
    return PackageKey(info.parent / lines[1].strip())
