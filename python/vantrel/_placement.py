"""Whole or not at all: the one mechanism by which the job queue's
make_package() and the vantrel command put a package in place.

A job may be delivered twice, run twice at once, be stopped, or be killed
half-way (its worker process lost, its machine gone). So a job holds a lock
named after its output directory while it works, encodes into a directory of
its own beside the output directory, and renames that into place only once
the package is complete, with the key made for it: the output directory holds
a whole package or nothing of this job's. A job that places nothing removes
what it made, its key included.

Replacing what the output directory held is a handful of renames with the
job's signals held, written down first in a journal beside the output
directory and beside each key: the earlier directory aside (and back, with
nothing else done, when it gained or changed files during the job), the
earlier key files aside, the new key files in, the new directory in. The last
rename is the moment the job's package and keys count as placed. Should the
job die anywhere in between, the next job for that output directory or key
reads the journal and puts back the earlier package with its keys, or
finishes placing the new one with its keys: never one package beside the
other's key."""

from __future__ import annotations

import contextlib
import fcntl
import json
import os
import secrets
import shutil
import signal
import tempfile
from collections.abc import Iterator
from typing import Any

from vantrel._encode import StrPath
from vantrel._keys import key_info_text, write_private_beside

# Beside OUTPUT_DIR: ".OUTPUT_DIR.partial-<random>" while a job writes,
# ".OUTPUT_DIR.lock" while a job holds the output directory,
# ".OUTPUT_DIR.replaced-<random>" for the moment an earlier package is swapped
# out and ".OUTPUT_DIR.placing" (the journal) while that lasts; beside a key
# made for the job, ".KEY.partial-<random>" until it is placed, and
# ".KEY.replaced-<random>" and ".KEY.placing" while it is.
PARTIAL_INFIX = ".partial-"
REPLACED_INFIX = ".replaced-"
LOCK_SUFFIX = ".lock"
JOURNAL_SUFFIX = ".placing"
# The signals that stop a job (Ctrl-C, a stop, a hang-up, a time limit), held
# while a package is put in place so that no stop lands between its renames.
_HELD_SIGNALS = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGUSR1, signal.SIGALRM}
# A file or directory as found at one moment: a name whose fingerprint
# differs later was written or replaced in between.
Snapshot = dict[str, tuple[Any, ...]]


class OutputChanged(RuntimeError):
    """OUTPUT_DIR gained or changed files while the job ran: it placed nothing."""


class Placement:
    """A package on its way to `final`: the partial directory the job encodes
    into, files staged to appear beside it (a fresh key) at the same time, and
    what `final` held when the job began, which is all it may replace."""

    def __init__(self, final: str, partial: str, earlier: Snapshot) -> None:
        self.final = final
        self.partial = partial
        self.earlier = earlier
        self.placed = False
        self._staged: list[tuple[str, str]] = []  # (temporary, final path)

    def stage_private(self, path: str, data: bytes) -> str:
        """Writes `data` (mode 0600, on disk) under a temporary name beside
        `path`, which it takes when the package is placed; returns the
        temporary name. Until then whatever is at `path` stays as it is."""
        temporary = write_private_beside(path, data, f".{os.path.basename(path)}{PARTIAL_INFIX}")
        self._staged.append((temporary, path))
        return temporary

    def place(self) -> None:
        """Puts the package at `final`, replacing what was there when the job
        began, and the staged files at their paths. Raises OutputChanged, with
        everything as it was, when `final` gained or changed files since."""
        parent, name = os.path.split(self.final)
        token = secrets.token_hex(8)
        journal = {
            "final": self.final,
            "package": _identity(self.partial),
            "replaced": os.path.join(parent, f".{name}{REPLACED_INFIX}{token}"),
            "keys": [
                {"path": path, "staged": _identity(temporary), "aside": _beside(path, REPLACED_INFIX + token)}
                for temporary, path in self._staged
            ],
        }
        copies = [_beside(self.final, JOURNAL_SUFFIX), *(_beside(path, JOURNAL_SUFFIX) for _, path in self._staged)]
        _sync_tree(self.partial)
        with _signals_held():
            try:
                for copy in copies:
                    _write_journal(copy, journal, copies)
                if os.path.lexists(self.final):
                    os.rename(self.final, journal["replaced"])
                    gained = gained_since(self.earlier, snapshot(journal["replaced"]))
                    if gained:
                        raise OutputChanged(
                            f"{self.final} gained or changed {_names(gained)} while the job ran; the package "
                            "was not placed and it was left as it is"
                        )
                for key, (temporary, path) in zip(journal["keys"], self._staged):
                    if os.path.lexists(path):
                        os.rename(path, key["aside"])
                    os.replace(temporary, path)
                # Atomic, and the moment the new package and its keys count
                # as placed.
                os.rename(self.partial, self.final)
                self.placed = True
            except BaseException:
                # Undone before any stop is let through: the earlier package
                # and keys are back when the exception goes on.
                _settle(copies[0])
                raise
        for directory in {parent, *(os.path.dirname(path) for _, path in self._staged)}:
            _sync_directory(directory)
        # What was set aside goes; a stop meanwhile leaves that to the next job.
        _settle(copies[0])

    def discard(self) -> None:
        shutil.rmtree(self.partial, ignore_errors=True)
        for temporary, _ in self._staged:
            _remove(temporary)


@contextlib.contextmanager
def placement(output_dir: StrPath) -> Iterator[Placement]:
    """Holds `output_dir` for one job and yields its Placement, whose partial
    directory is fresh and empty. Whatever was not placed when the block ends,
    however it ends, is removed."""
    final = final_path(output_dir)
    parent, name = os.path.split(final)
    os.makedirs(parent, exist_ok=True)
    check_output_dir(final)
    with exclusive_lock(_beside(final, LOCK_SUFFIX)):
        # Under the lock no other job for this output directory is running,
        # so what is found now is a dead job's.
        _settle(_beside(final, JOURNAL_SUFFIX))
        _clear_leftovers(parent, name)
        partial = os.path.join(parent, f".{name}{PARTIAL_INFIX}{secrets.token_hex(8)}")
        # Made with the process's umask, as the output directory would be.
        os.mkdir(partial)
        job = Placement(final, partial, snapshot(final))
        try:
            yield job
        finally:
            if not job.placed:
                job.discard()


@contextlib.contextmanager
def held_key(key_path: str, key_info_path: str) -> Iterator[None]:
    """Holds the key file `key_path` (and the key info file kept beside it)
    for one job: no other job decides to make it, reuses it or replaces it
    meanwhile. Leftovers of a dead job that named it are dealt with first: a
    placement it left half-done is finished or undone, files it staged are
    removed."""
    with exclusive_lock(_beside(key_path, LOCK_SUFFIX)):
        for path in (key_path, key_info_path):
            _settle(_beside(path, JOURNAL_SUFFIX))
            prefix = f".{os.path.basename(path)}{PARTIAL_INFIX}"
            for entry in os.scandir(os.path.dirname(path)):
                if entry.name.startswith(prefix):
                    _remove(entry.path)
        yield


def stage_fresh_key(job: Placement, key: bytes, iv: str, key_uri: str, key_path: str,
                    key_info_path: str) -> str:
    """Stages `key` for `key_path` and a key info file naming it there for
    `key_info_path`; returns the key info file to encode with, a temporary
    file naming the key under its staged name, which the caller removes."""
    staged_key = job.stage_private(key_path, key)
    job.stage_private(key_info_path, key_info_text(key_uri, key_path, iv).encode())
    return temporary_key_info(key_uri, staged_key, iv)


def temporary_key_info(key_uri: str, key_path: str, iv: str) -> str:
    """A key info file for one job, off shared storage: it only names the key
    and the IV, which the playlists state anyway."""
    descriptor, info_path = tempfile.mkstemp(prefix="vantrel-", suffix=".keyinfo")
    with os.fdopen(descriptor, "w", encoding="utf-8", errors="surrogateescape") as file:
        file.write(key_info_text(key_uri, key_path, iv))
    return info_path


def final_path(output_dir: StrPath) -> str:
    final = os.path.abspath(os.fspath(output_dir))
    if not os.path.split(final)[1]:
        raise ValueError(f"the output directory must name a directory below another: {final!r}")
    return final


def check_output_dir(final: str) -> None:
    """Refuses an output directory that its package could never be renamed
    onto: one on another file system than its parent (a mounted volume)."""
    parent = os.path.dirname(final)
    with contextlib.suppress(FileNotFoundError):
        if os.lstat(final).st_dev != os.stat(parent).st_dev:
            raise ValueError(
                f"{final} is on another file system than {parent} (a mount point): the package is made "
                "beside it and renamed into place, which cannot cross file systems; name a directory inside it"
            )


def snapshot(path: str) -> Snapshot:
    """Every name at and below `path` (not following links), with what tells a
    later write or replacement; empty when `path` is missing."""
    found: Snapshot = {}

    def visit(current: str, relative: str) -> None:
        info = os.lstat(current)
        if os.path.isdir(current) and not os.path.islink(current):
            found[relative] = ("directory",)
            for entry in os.scandir(current):
                visit(entry.path, os.path.join(relative, entry.name))
        else:
            found[relative] = (info.st_mode, info.st_ino, info.st_size, info.st_mtime_ns)

    with contextlib.suppress(FileNotFoundError):
        visit(path, ".")
    return found


def gained_since(before: Snapshot, now: Snapshot) -> list[str]:
    """The names in `now` that were not in `before`, or not as they were; an
    empty directory where there was none counts as nothing gained."""
    return sorted(
        name for name, fingerprint in now.items()
        if before.get(name) != fingerprint and not (name == "." and fingerprint == ("directory",))
    )


@contextlib.contextmanager
def exclusive_lock(path: str) -> Iterator[None]:
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


def _settle(journal_path: str) -> None:
    """Finishes the placement that `journal_path` describes: forward when its
    new directory is at the output path (the earlier directory and keys set
    aside go), back otherwise (the earlier keys and directory return, a new
    key that had no earlier one goes). Each step can be taken again, so a
    job killed while settling leaves the next one the same work."""
    directory, name = os.path.split(journal_path)
    for entry in os.scandir(directory):
        # A journal being written when its job died: nothing was renamed yet.
        if entry.name.startswith(f"{name}{PARTIAL_INFIX}"):
            _remove(entry.path)
    try:
        with open(journal_path, encoding="utf-8", errors="surrogateescape") as file:
            journal = json.load(file)
    except FileNotFoundError:
        return
    final = journal["final"]
    placed = _identity(final) == journal["package"]
    for key in journal["keys"]:
        if placed:
            _remove(key["aside"])
        elif os.path.lexists(key["aside"]):
            os.replace(key["aside"], key["path"])
        elif _identity(key["path"]) == key["staged"]:
            # The new key went in where there was none: it goes with its package.
            _remove(key["path"])
    if placed:
        _remove_tree(journal["replaced"])
    elif os.path.lexists(journal["replaced"]) and not os.path.lexists(final):
        os.rename(journal["replaced"], final)
    for copy in journal["copies"]:
        _remove(copy)
    _remove(journal_path)


def _write_journal(path: str, journal: dict[str, Any], copies: list[str]) -> None:
    text = json.dumps({**journal, "copies": copies}).encode("utf-8", "surrogateescape")
    temporary = write_private_beside(path, text, f"{os.path.basename(path)}{PARTIAL_INFIX}")
    os.replace(temporary, path)
    _sync_directory(os.path.dirname(path))


def _identity(path: str) -> list[int] | None:
    """Which file is at `path`: it stays the same through a rename."""
    try:
        info = os.lstat(path)
    except FileNotFoundError:
        return None
    return [info.st_dev, info.st_ino]


def _beside(path: str, suffix: str) -> str:
    """A hidden name beside `path`, made of its own name and `suffix`."""
    parent, name = os.path.split(path)
    return os.path.join(parent, f".{name}{suffix}")


def _names(paths: list[str]) -> str:
    shown = [path.removeprefix("./") for path in paths[:5]]
    more = f" and {len(paths) - 5} more" if len(paths) > 5 else ""
    return ", ".join(shown) + more


def _clear_leftovers(parent: str, name: str) -> None:
    """Removes the partial directories of dead jobs."""
    for entry in os.scandir(parent):
        if entry.name.startswith(f".{name}{PARTIAL_INFIX}"):
            _remove_tree(entry.path)


@contextlib.contextmanager
def _signals_held() -> Iterator[None]:
    """This thread's stop signals wait until the block ends; they are then
    delivered as usual."""
    held = signal.pthread_sigmask(signal.SIG_BLOCK, _HELD_SIGNALS)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, held)


def is_empty_directory(path: str) -> bool:
    if os.path.islink(path):
        return False
    try:
        return not os.listdir(path)
    except NotADirectoryError:
        return False


def _remove_tree(path: str) -> None:
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path, ignore_errors=True)
    else:
        _remove(path)


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
