"""A playlist as one viewer gets it: every URI it names within the package
carries the viewer's token, and the key is named at the server's key path,
so that standard players need nothing but the master playlist's URL.

Only URIs relative to the playlist get a token: an absolute one leads
somewhere else, and a token is never handed to another place."""

from __future__ import annotations

import re
from urllib.parse import urlsplit

# An attribute list's URI (EXT-X-KEY, EXT-X-MEDIA, EXT-X-MAP, EXT-X-I-FRAME-STREAM-INF).
_URI_ATTRIBUTE = re.compile(r'(?<=[:,])URI="([^"]*)"')
_KEY_TAGS = ("#EXT-X-KEY:", "#EXT-X-SESSION-KEY:")
_NO_KEY = re.compile(r"(?<=[:,])METHOD=NONE(?=,|$)")


def rewrite(text: str, *, token: str, key_uri: str, public_segments: bool) -> str:
    """`text` with the token on every relative URI (on segments too unless
    `public_segments`), and `key_uri` (a URI relative to the playlist, without
    a token) in place of every key URI that does not name another host."""

    def with_token(uri: str) -> str:
        if not is_relative(uri):
            return uri
        if public_segments and not urlsplit(uri).path.endswith(".m3u8"):
            return uri
        return uri + ("&" if "?" in uri else "?") + "token=" + token

    def key_attribute(match: re.Match[str]) -> str:
        parts = urlsplit(match.group(1))
        return f'URI="{key_uri}?token={token}"' if not (parts.scheme or parts.netloc) else match.group(0)

    lines = []
    for line in text.splitlines():
        if line.startswith(_KEY_TAGS):
            if not _NO_KEY.search(line):
                line = _URI_ATTRIBUTE.sub(key_attribute, line)
        elif line.startswith("#"):
            line = _URI_ATTRIBUTE.sub(lambda match: f'URI="{with_token(match.group(1))}"', line)
        elif line.strip():
            line = with_token(line.strip())
        lines.append(line)
    return "\n".join(lines) + "\n"


def is_relative(uri: str) -> bool:
    parts = urlsplit(uri)
    return not (parts.scheme or parts.netloc or parts.path.startswith("/"))
