"""Faults on the output side: where the files go, the key, the disk. Each is
an ERROR line per failed variant, a normal return, and no failed variant in a
master playlist."""

from __future__ import annotations

import os
import subprocess
from pathlib import Path

import pytest

from conftest import TOOL_ENV, run_job

RUNGS = ["480p", "360p"]

KEY_INFO_UNREADABLE = "could not read the key info file"
KEY_UNREADABLE = "could not read the key file"
KEY_SHORT = "the key file holds fewer than 16 bytes: Invalid argument"
CANNOT_WRITE = "could not write the variant files"
KEY_FAULTS = {
    # name: (key info lines or None for no file, key bytes or None for no key file, ERROR line's cause)
    "key-info-missing": (None, os.urandom(16), f"{KEY_INFO_UNREADABLE}: No such file or directory"),
    "key-info-empty": ([], os.urandom(16), "the key info file names no key URI: Invalid argument"),
    "key-info-without-key-file": (
        ["enc.key"], os.urandom(16), "the key info file names no key file: Invalid argument"
    ),
    "key-file-missing": (["enc.key", "{folder}/enc.key"], None, f"{KEY_UNREADABLE}: No such file or directory"),
    "key-file-short": (["enc.key", "{folder}/enc.key"], b"0123456789", KEY_SHORT),
    "key-file-empty": (["enc.key", "{folder}/enc.key"], b"", KEY_SHORT),
    "key-file-is-a-directory": (["enc.key", "{folder}"], None, f"{KEY_UNREADABLE}: Is a directory"),
    # The muxer takes the IV only when it opens the first segment.
    "iv-not-hexadecimal": (
        ["enc.key", "{folder}/enc.key", "not-hex"], os.urandom(16), f"{CANNOT_WRITE}: Invalid argument"
    ),
}


def assert_every_variant_failed(job, out: Path, output_dir: str, cause: str) -> None:
    """Both variants failed for `cause` ("step: reason"); `output_dir` is the
    directory part of the output path as given, which the ERROR lines repeat."""
    assert job.returncode == 0 and job.result == "None", job.stderr
    errors = job.messages("ERROR")
    assert sorted(errors[:-1]) == [
        f"Variant {output_dir}/360p.m3u8 failed: {cause}",
        f"Variant {output_dir}/480p.m3u8 failed: {cause}",
    ], errors
    assert errors[-1] == "Transcoding finished with 2 of 2 variants failed."
    assert job.messages("SUCCESS") == []
    assert not (out / "master.m3u8").exists()


@pytest.mark.parametrize("fault", list(KEY_FAULTS))
def test_key_faults_fail_every_variant(media, tmp_path, fault):
    lines, key, cause = KEY_FAULTS[fault]
    secrets = tmp_path / "secrets"
    secrets.mkdir()
    if key is not None:
        (secrets / "enc.key").write_bytes(key)
    info = secrets / "enc.keyinfo"
    if lines is not None:
        info.write_text("".join(line.format(folder=secrets) + "\n" for line in lines))
    out = tmp_path / "out"
    out.mkdir()
    job = run_job(tmp_path, media["tiny"], "out/master.m3u8", RUNGS, key=info)
    assert_every_variant_failed(job, out, "out", cause)


def test_missing_output_directory_fails_every_variant(media, tmp_path, keyinfo):
    job = run_job(tmp_path, media["tiny"], "out/master.m3u8", RUNGS, key=keyinfo.path)
    assert_every_variant_failed(job, tmp_path / "out", "out", f"{CANNOT_WRITE}: No such file or directory")
    assert not (tmp_path / "out").exists()


@pytest.fixture
def small_disk(tmp_path):
    """A 300 KiB tmpfs: room for the start of a few seconds of video, no more."""
    disk = tmp_path / "small-disk"
    disk.mkdir()
    mounted = subprocess.run(
        ["mount", "-t", "tmpfs", "-o", "size=300k", "tmpfs", str(disk)], capture_output=True, env=TOOL_ENV
    )
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a small tmpfs here: {mounted.stderr.decode().strip()}")
    yield disk
    subprocess.run(["umount", str(disk)], check=True, env=TOOL_ENV)


@pytest.mark.threads
def test_disk_filling_up_mid_job_fails_the_variants_it_hits(media, tmp_path, keyinfo, small_disk):
    job = run_job(tmp_path, media["fps25"], small_disk / "master.m3u8", RUNGS, key=keyinfo.path)
    assert_every_variant_failed(job, small_disk, str(small_disk), f"{CANNOT_WRITE}: No space left on device")
    # The segments it could start are there, cut short, and listed nowhere.
    assert (small_disk / "360p_000.ts").exists()
