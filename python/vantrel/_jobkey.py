"""The key a job encodes with, the same in the command, the job queue and a
split job's stitch: a key info file used as it is; a key file named by the
caller, reused when it exists and made when it does not; or, named by nobody,
the package's own key beside OUTPUT_DIR, made anew for every package.

A key made for a job is staged beside its path and placed with the package
(vantrel._placement), with a key info file beside it that names it and its
IV, so that a later job reusing the key encrypts with the same IV. A job that
names a key file holds it from its decision (reuse or make) until its package
is placed or given up, so two jobs naming one key never race."""

from __future__ import annotations

import contextlib
import dataclasses
import os
import re
from collections.abc import Iterator

from vantrel._encode import StrPath
from vantrel._keys import KEY_BYTES, key_info_text, new_iv, new_key
from vantrel._placement import Placement, held_key, stage_fresh_key, temporary_key_info

KEY_INFO_SUFFIX = ".keyinfo"
_IV = re.compile(r"[0-9a-fA-F]{32}")


@dataclasses.dataclass(frozen=True)
class KeyPlan:
    """The key as the job was asked for it, checked before any work."""

    uri: str
    path: str  # the key file, absolute
    key_info: str | None = None  # a key info file given to be used as it is
    fresh: bool = False  # the package's own key, made anew for every package

    @property
    def info_path(self) -> str:
        """Where the key info file of a key made here is kept: beside the key,
        `film.key` giving `film.keyinfo`."""
        root, extension = os.path.splitext(self.path)
        return (root if extension == ".key" else self.path) + KEY_INFO_SUFFIX


@dataclasses.dataclass(frozen=True)
class JobKey:
    """The key info file the job encodes with, and whether the key is made for
    this package (it then exists only once the package is placed)."""

    key_info: str
    made: bool


def plan_key(final: str, key_info: StrPath | None = None, key_uri: str | None = None,
             key_path: StrPath | None = None) -> KeyPlan:
    """Checks the key arguments for the output directory `final`; raises
    ValueError (or TypeError for a URI that is not a str) saying what is
    wrong."""
    if key_info is not None:
        if key_uri is not None or key_path is not None:
            raise ValueError("give a key info file, or a key URI and key file, not both")
        uri, path = read_key_info(os.fspath(key_info))
        plan = KeyPlan(uri, os.path.abspath(path), key_info=os.fspath(key_info))
    elif key_path is None:
        path = final + ".key"
        plan = KeyPlan(key_uri or os.path.basename(path), path, fresh=True)
    else:
        path = os.path.abspath(os.fspath(key_path))
        plan = KeyPlan(key_uri or os.path.basename(path), path)
        if os.path.lexists(path):
            check_key(path)
        elif not os.path.isdir(os.path.dirname(path)):
            raise ValueError(f"the folder of the key file does not exist: {os.path.dirname(path)}")
    # OUTPUT_DIR is replaced as a whole, and served as a whole.
    if os.path.commonpath([plan.path, final]) == final:
        raise ValueError(f"the key must be kept outside OUTPUT_DIR {final}: {plan.path}")
    try:
        key_info_text(plan.uri, plan.path, new_iv())
    except ValueError as error:
        raise ValueError(f"no key info file can name this key: {error}") from None
    return plan


@contextlib.contextmanager
def job_key(job: Placement, plan: KeyPlan) -> Iterator[JobKey]:
    """The job's key, held (when it is a key file of ours to reuse or make)
    until the block ends: the package is placed inside it."""
    if plan.key_info is not None:
        yield JobKey(plan.key_info, made=False)
        return
    with held_key(plan.path, plan.info_path):
        made = plan.fresh or not os.path.lexists(plan.path)
        if made:
            info = stage_fresh_key(job, new_key(), new_iv(), plan.uri, plan.path, plan.info_path)
        else:
            # Checked again: it may have been made or changed since the plan.
            check_key(plan.path)
            info = temporary_key_info(plan.uri, plan.path, _kept_iv(plan) or new_iv())
        try:
            yield JobKey(info, made)
        finally:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(info)


def read_key_info(path: str) -> tuple[str, str]:
    """(key URI, key path) of a key info file whose key is readable."""
    try:
        with open(path, encoding="utf-8", errors="surrogateescape") as file:
            lines = file.read().splitlines()
    except OSError as error:
        raise ValueError(f"cannot read the key info file {path}: {error.strerror}") from None
    if len(lines) < 2 or not lines[0].strip() or not lines[1].strip():
        raise ValueError(f"the key info file {path} must name a key URI and a key file on its first two lines")
    uri, key_path = lines[0].strip(), lines[1].strip()
    check_key(key_path)
    return uri, key_path


def check_key(path: str) -> None:
    try:
        with open(path, "rb") as file:
            size = len(file.read(KEY_BYTES))
    except OSError as error:
        raise ValueError(f"cannot read the key file {path}: {error.strerror}") from None
    if size < KEY_BYTES:
        raise ValueError(f"the key file {path} holds fewer than {KEY_BYTES} bytes")


def _kept_iv(plan: KeyPlan) -> str | None:
    """The IV of the key info file kept beside the key, when it names this key."""
    try:
        with open(plan.info_path, encoding="utf-8", errors="surrogateescape") as file:
            lines = [line.strip() for line in file.read().splitlines()]
    except OSError:
        return None
    if len(lines) >= 3 and lines[1] == plan.path and _IV.fullmatch(lines[2]):
        return lines[2].lower()
    return None
