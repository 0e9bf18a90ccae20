"""make_package(): one package made whole or not at all, the job queue's unit
of work.

A job may be delivered twice, run twice at once, or be killed half-way (its
worker process lost, its machine gone). So a job holds a lock named after its
output directory while it works, encodes into a directory of its own beside
the output directory, and renames that into place only once the package is
complete: the output directory holds a whole package or nothing of this job's.
A job that finds its complete package already in place returns at once."""

from __future__ import annotations

import contextlib
import fcntl
import os
import secrets
import shutil
import tempfile
from collections.abc import Iterable, Iterator
from typing import Any

from vantrel import _engine
from vantrel._encode import DEFAULT_RENDITIONS, StrPath, _renditions_argument, encode
from vantrel._keys import generate_key

MASTER_PLAYLIST = "master.m3u8"
# Beside OUTPUT_DIR: ".OUTPUT_DIR.partial-<random>" while a job writes,
# ".OUTPUT_DIR.lock" while a job holds the output directory.
PARTIAL_INFIX = ".partial-"
LOCK_SUFFIX = ".lock"

# What became of a job, in the "outcome" of its result.
ENCODED = "encoded"
ALREADY_COMPLETE = "already complete"
FAILED = "failed"
STOPPED = "stopped"


def make_package(
    input: StrPath,
    output_dir: StrPath,
    *,
    renditions: Iterable[str] = DEFAULT_RENDITIONS,
    bitrates: Iterable[int] | None = None,
    key_info: StrPath | None = None,
    key_uri: str | None = None,
    key_path: StrPath | None = None,
    upscale: bool = False,
) -> dict[str, Any]:
    """Encodes `input` into the package OUTPUT_DIR/master.m3u8 and returns
    EncodeResult.to_dict() with the job's "outcome" and "output_dir" added.

    The key: `key_info`, a key info file used as it is, or `key_uri` and
    `key_path`, a fresh key made at `key_path` (outside OUTPUT_DIR) for this
    package, removed again when no package is placed.

    Outcomes: "encoded" (the package was made and put in place), "already
    complete" (OUTPUT_DIR held this job's complete package; nothing was
    done), "failed" (some rendition or the job failed, as the result says;
    nothing was placed). Any exception, a time limit's included, stops the
    encode and leaves nothing behind but the exception."""
    final = os.path.abspath(os.fspath(output_dir))
    parent, name = os.path.split(final)
    if not name:
        raise ValueError(f"output_dir must name a directory below another: {final!r}")
    # Refused before anything is written: a bare str, a name that is not one.
    renditions = _renditions_argument(renditions)
    planned = _planned(renditions)
    _check_key_arguments(final, key_info, key_uri, key_path)
    os.makedirs(parent, exist_ok=True)
    with _output_lock(os.path.join(parent, f".{name}{LOCK_SUFFIX}")):
        # Under the lock no other job for this output directory is running,
        # so a partial directory found now is a dead job's.
        _remove_partials(parent, name)
        found = complete_variants(final, planned)
        if found is not None:
            return _already_complete(final, found)
        if os.path.lexists(final) and not _is_empty_directory(final):
            raise FileExistsError(f"{final} holds something other than this job's package; it is left as it is")
        partial = os.path.join(parent, f".{name}{PARTIAL_INFIX}{secrets.token_hex(8)}")
        # Made with the process's umask, as the output directory would be.
        os.mkdir(partial)
        placed = False
        try:
            with _job_key(key_info, key_uri, key_path) as (job_key_info, made_key):
                try:
                    result = encode(
                        input,
                        os.path.join(partial, MASTER_PLAYLIST),
                        renditions=renditions,
                        bitrates=bitrates,
                        key_info=job_key_info,
                        upscale=upscale,
                    )
                    if result.ok:
                        _sync_tree(partial)
                        # Atomic, and it replaces an empty directory too.
                        os.rename(partial, final)
                        _sync_directory(parent)
                        placed = True
                finally:
                    if made_key and not placed:
                        _remove(made_key)
        finally:
            if not placed:
                shutil.rmtree(partial, ignore_errors=True)
    report = result.to_dict()
    # The paths as they are after the rename; nothing stays of a failed job.
    report["master_playlist"] = os.path.join(final, MASTER_PLAYLIST) if placed else None
    for rendition in report["renditions"]:
        rendition["playlist"] = os.path.join(final, os.path.basename(rendition["playlist"]))
    return {"outcome": ENCODED if placed else FAILED, "output_dir": final, **report}


def stopped_result(output_dir: StrPath, elapsed: float, reason: str) -> dict[str, Any]:
    """The result of a job stopped before it ended, shaped like make_package's."""
    return {
        "outcome": STOPPED,
        "output_dir": os.path.abspath(os.fspath(output_dir)),
        "ok": False,
        "renditions": [],
        "master_playlist": None,
        "elapsed": elapsed,
        "error": reason,
    }


def complete_variants(directory: str, planned: list[str]) -> list[tuple[str, float]] | None:
    """(name, seconds) of each variant when `directory` holds the complete
    package of the `planned` renditions: a master playlist listing them in
    order (less those skipped as larger than the source, the smallest always
    made), each variant playlist closed and every segment it names present.
    None otherwise."""
    lines = _playlist_lines(os.path.join(directory, MASTER_PLAYLIST))
    if not planned or lines is None:
        return None
    listed = _uris(lines)
    names = [uri[: -len(".m3u8")] for uri in listed if uri.endswith(".m3u8")]
    if len(names) != len(listed) or not _made_of(names, planned):
        return None
    variants = []
    for name in names:
        lines = _playlist_lines(os.path.join(directory, f"{name}.m3u8"))
        if lines is None or "#EXT-X-ENDLIST" not in lines:
            return None
        segments = _uris(lines)
        if not segments or not all(os.path.isfile(os.path.join(directory, uri)) for uri in segments):
            return None
        try:
            seconds = sum(float(line[len("#EXTINF:"):].split(",")[0]) for line in lines if line.startswith("#EXTINF:"))
        except ValueError:  # not a playlist of ours
            return None
        variants.append((name, seconds))
    return variants


def _made_of(names: list[str], planned: list[str]) -> bool:
    """Whether `names` are what a job of `planned` may have made: some of
    them, in their order, the smallest among them included."""
    if not names or len(set(names)) != len(names) or not set(names) <= set(planned):
        return False
    order = [name for name in planned if name in names]
    long_sides = {name: long_side for name, long_side, *_ in _engine.ladder()}
    return order == names and min(planned, key=long_sides.__getitem__) in names


def _planned(renditions: list[str]) -> list[str]:
    """The renditions the engine will plan: known names, each once, in order."""
    known = {name for name, *_ in _engine.ladder()}
    return list(dict.fromkeys(name for name in renditions if name in known))


def _check_key_arguments(
    final: str, key_info: StrPath | None, key_uri: str | None, key_path: StrPath | None
) -> None:
    if key_info is not None:
        if key_uri is not None or key_path is not None:
            raise ValueError("give key_info, or key_uri and key_path, not both")
        return
    if key_uri is None or key_path is None:
        raise ValueError("give key_info, or key_uri and key_path for a fresh key")
    key_file = os.path.abspath(os.fspath(key_path))
    # The output directory is what gets published; its key must not be.
    if os.path.commonpath([key_file, final]) == final:
        raise ValueError(f"key_path must be outside the output directory {final}: {key_file}")


@contextlib.contextmanager
def _job_key(
    key_info: StrPath | None, key_uri: str | None, key_path: StrPath | None
) -> Iterator[tuple[str, str | None]]:
    """(the key info file to encode with, the key made for this job or None)."""
    if key_info is not None:
        yield os.fspath(key_info), None
        return
    assert key_uri is not None and key_path is not None
    # The key info file only names the key and a fresh IV, which the
    # playlists state anyway: it lives as long as the job, off shared storage.
    descriptor, info_path = tempfile.mkstemp(prefix="vantrel-", suffix=".keyinfo")
    os.close(descriptor)
    try:
        made = generate_key(key_uri, key_path, info_path)
        yield info_path, made.key_path
    finally:
        _remove(info_path)


@contextlib.contextmanager
def _output_lock(path: str) -> Iterator[None]:
    """An exclusive lock on `path`, a file made for the purpose and removed
    again by its holder. The kernel releases the lock of a process that
    dies, so a killed job never leaves its output directory locked."""
    while True:
        descriptor = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        try:
            # Waits for the job that holds it; a signal's exception (a soft
            # time limit) ends the wait.
            fcntl.flock(descriptor, fcntl.LOCK_EX)
            # The holder before us may have removed the file while we waited,
            # and a third job made a new one: then ours locks nothing.
            try:
                current = os.stat(path)
            except FileNotFoundError:
                current = None
            if current is not None and os.path.samestat(os.fstat(descriptor), current):
                break
        except BaseException:
            os.close(descriptor)
            raise
        os.close(descriptor)
    try:
        yield
    finally:
        _remove(path)
        os.close(descriptor)


def _remove_partials(parent: str, name: str) -> None:
    prefix = f".{name}{PARTIAL_INFIX}"
    for entry in os.scandir(parent):
        if entry.name.startswith(prefix) and entry.is_dir(follow_symlinks=False):
            shutil.rmtree(entry.path, ignore_errors=True)


def _already_complete(final: str, variants: list[tuple[str, float]]) -> dict[str, Any]:
    return {
        "outcome": ALREADY_COMPLETE,
        "output_dir": final,
        "ok": True,
        # What the playlists tell; the pictures are not counted again.
        "renditions": [
            {
                "name": name,
                "playlist": os.path.join(final, f"{name}.m3u8"),
                "created": True,
                "error": None,
                "pictures": None,
                "duration": seconds,
            }
            for name, seconds in variants
        ],
        "master_playlist": os.path.join(final, MASTER_PLAYLIST),
        "elapsed": 0.0,
        "error": None,
    }


def _playlist_lines(path: str) -> list[str] | None:
    try:
        with open(path, encoding="utf-8", errors="replace") as file:
            return [line.strip() for line in file]
    except (FileNotFoundError, NotADirectoryError, IsADirectoryError):
        return None


def _uris(lines: list[str]) -> list[str]:
    return [line for line in lines if line and not line.startswith("#")]


def _is_empty_directory(path: str) -> bool:
    try:
        return not os.listdir(path)
    except NotADirectoryError:
        return False


def _sync_tree(directory: str) -> None:
    """The package's files and directory on disk before the rename publishes
    them, so that a machine that fails right after never shows a renamed
    package with files still missing."""
    for entry in os.scandir(directory):
        with open(entry.path, "rb") as file:
            os.fsync(file.fileno())
    _sync_directory(directory)


def _sync_directory(path: str) -> None:
    descriptor = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def _remove(path: str) -> None:
    with contextlib.suppress(FileNotFoundError):
        os.unlink(path)
