"""Whole or not at all: the one mechanism by which the job queue's
make_package() and the vantrel command put a package in place.

A job may be delivered twice, run twice at once, be stopped, or be killed
half-way (its worker process lost, its machine gone). So a job holds a lock
named after its output directory while it works, encodes into a directory of
its own beside the output directory, and renames that into place only once
the package is complete, with the key made for it: the output directory holds
a whole package or nothing of this job's. A job that places nothing removes
what it made, its key included.

Replacing what the output directory held takes three renames with the job's
signals held: the earlier directory aside, the new key files onto the earlier
ones, the new directory in. For those microseconds the output directory is
missing, never mixed or paired with the wrong key; the earlier one is removed
after."""

from __future__ import annotations

import contextlib
import fcntl
import os
import secrets
import shutil
import signal
import tempfile
from collections.abc import Iterator

from vantrel._encode import StrPath
from vantrel._keys import key_info_text, new_iv, new_key, write_private_beside

# Beside OUTPUT_DIR: ".OUTPUT_DIR.partial-<random>" while a job writes,
# ".OUTPUT_DIR.lock" while a job holds the output directory,
# ".OUTPUT_DIR.replaced-<random>" for the moment an earlier package is swapped out;
# beside a key made for the job, ".KEY.partial-<random>" until it is placed.
PARTIAL_INFIX = ".partial-"
REPLACED_INFIX = ".replaced-"
LOCK_SUFFIX = ".lock"
# The signals that stop a job (Ctrl-C, a stop, a hang-up, a time limit), held
# while a package is put in place so that no stop lands between its renames.
_HELD_SIGNALS = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGUSR1, signal.SIGALRM}


class Placement:
    """A package on its way to `final`: the partial directory the job encodes
    into, and files staged to appear beside it (a fresh key) at the same time."""

    def __init__(self, final: str, partial: str) -> None:
        self.final = final
        self.partial = partial
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
        """Puts the package at `final`, replacing whatever is there, and the
        staged files at their paths."""
        parent, name = os.path.split(self.final)
        _sync_tree(self.partial)
        with _signals_held():
            earlier = None
            if os.path.lexists(self.final) and not is_empty_directory(self.final):
                earlier = os.path.join(parent, f".{name}{REPLACED_INFIX}{secrets.token_hex(8)}")
                os.rename(self.final, earlier)
            try:
                for temporary, path in self._staged:
                    os.replace(temporary, path)
                # Atomic, and it replaces an empty directory too.
                os.rename(self.partial, self.final)
            except BaseException:
                if earlier is not None:
                    os.rename(earlier, self.final)
                raise
            self.placed = True
        for directory in {parent, *(os.path.dirname(path) for _, path in self._staged)}:
            _sync_directory(directory)
        if earlier is not None:
            _remove_tree(earlier)

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
    with _output_lock(os.path.join(parent, f".{name}{LOCK_SUFFIX}")):
        # Under the lock no other job for this output directory is running,
        # so what is found now is a dead job's.
        _clear_leftovers(parent, name)
        partial = os.path.join(parent, f".{name}{PARTIAL_INFIX}{secrets.token_hex(8)}")
        # Made with the process's umask, as the output directory would be.
        os.mkdir(partial)
        job = Placement(final, partial)
        try:
            yield job
        finally:
            if not job.placed:
                job.discard()


@contextlib.contextmanager
def fresh_key(job: Placement, key_uri: str, key_path: str, key_info_path: str | None = None) -> Iterator[str]:
    """A fresh key and IV for the job: the key staged for `key_path`, with,
    when `key_info_path` is given, a key info file naming it there. Yields the
    key info file to encode with, which names the key under its staged name
    and lives as long as the block."""
    iv = new_iv()
    final_text = key_info_text(key_uri, key_path, iv)
    staged_key = job.stage_private(key_path, new_key())
    if key_info_path is not None:
        job.stage_private(key_info_path, final_text.encode())
    # It only names the key and the IV, which the playlists state anyway: off
    # shared storage.
    descriptor, info_path = tempfile.mkstemp(prefix="vantrel-", suffix=".keyinfo")
    try:
        with os.fdopen(descriptor, "w", encoding="utf-8", errors="surrogateescape") as file:
            file.write(key_info_text(key_uri, staged_key, iv))
        yield info_path
    finally:
        _remove(info_path)


def final_path(output_dir: StrPath) -> str:
    final = os.path.abspath(os.fspath(output_dir))
    if not os.path.split(final)[1]:
        raise ValueError(f"the output directory must name a directory below another: {final!r}")
    return final


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


def _clear_leftovers(parent: str, name: str) -> None:
    """Removes the partial directories of dead jobs, and what a job killed in
    the middle of replacing a package swapped out: put back when nothing took
    its place."""
    final = os.path.join(parent, name)
    for entry in os.scandir(parent):
        if entry.name.startswith(f".{name}{PARTIAL_INFIX}"):
            _remove_tree(entry.path)
        elif entry.name.startswith(f".{name}{REPLACED_INFIX}"):
            if os.path.lexists(final):
                _remove_tree(entry.path)
            else:
                os.rename(entry.path, final)


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
