"""One worker process of a video platform calls hls_encoder again and again,
on good uploads and every kind of bad one: nothing may pile up in it.
scripts/memory_curve.py runs the same mixture and reports resident memory."""

from __future__ import annotations

import os
from pathlib import Path

import pytest

from conftest import MediaFactory, run_jobs, write_key_info

CALLS = 50
# Calls after which the process has loaded every library and made its
# per-process caches; from here on nothing may grow.
WARM_UP = 5


def mixed_calls(root: Path, media: MediaFactory, count: int) -> list[tuple[str, tuple, dict]]:
    """`count` calls, cycling through a success and every kind of failure, each
    writing into a directory of its own under `root`: (kind, args, kwargs)."""
    info = write_key_info(root)
    cut = root / "header-only.mp4"
    whole = media["tiny"].read_bytes()
    cut.write_bytes(whole[: whole.index(b"mdat")])
    playlist = root / "upload.m3u8"
    playlist.write_text(f"#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:1,\n{media['tiny']}\n#EXT-X-ENDLIST\n")
    kinds = {
        "created": (media["tiny"], ["360p"], [], info.path),
        "input-missing": (root / "missing.mp4", ["360p"], [], info.path),
        "input-random-bytes": (media["random_bytes"], ["360p"], [], info.path),
        "input-playlist": (playlist, ["360p"], [], info.path),
        "no-video-stream": (media["audio_only"], ["360p"], [], info.path),
        "no-audio-stream": (media["video_only"], ["480p", "360p"], [], info.path),
        "no-picture-decodable": (cut, ["360p"], [], info.path),
        "key-info-missing": (media["tiny"], ["480p", "360p"], [], root / "missing.keyinfo"),
        "bitrate-refused": (media["tiny"], ["360p"], [1], info.path),
        "output-directory-missing": (media["tiny"], ["360p"], [], info.path),
        "nothing-planned": (media["tiny"], ["4k"], [], info.path),
    }
    calls = []
    for number in range(count):
        kind = list(kinds)[number % len(kinds)]
        source, resolution, bitrate, key = kinds[kind]
        out = root / f"call-{number:03d}"
        if kind != "output-directory-missing":
            out.mkdir()
        calls.append((kind, (source, out / "master.m3u8", resolution, bitrate, key), {}))
    return calls


@pytest.mark.threads
def test_descriptors_stay_flat_over_many_calls(media, tmp_path):
    calls = mixed_calls(tmp_path, media, CALLS)
    batch = run_jobs(tmp_path, [(args, kwargs) for _, args, kwargs in calls], timeout=600)
    assert batch.returncode == 0 and len(batch.calls) == CALLS, batch.stderr.decode(errors="replace")[-3000:]
    kinds = [kind for kind, _, _ in calls]
    flawless = "All secure transcoding finished flawlessly."
    created = [kind for kind, job in zip(kinds, batch.calls) if flawless in job.messages("SUCCESS")]
    assert set(created) == {"created", "nothing-planned"}
    open_fds = [job.open_fds for job in batch.calls]
    assert open_fds[WARM_UP:] == [open_fds[WARM_UP]] * (CALLS - WARM_UP), list(zip(kinds, open_fds))


@pytest.mark.threads
def test_workers_leave_no_thread_behind(media, tmp_path):
    # Every worker is joined before the call returns, whatever its outcome.
    calls = mixed_calls(tmp_path, media, 11)
    batch = run_jobs(tmp_path, [(args, kwargs) for _, args, kwargs in calls], timeout=300)
    assert batch.returncode == 0 and len(batch.calls) == 11
    threads = [(kind, job.threads) for (kind, _, _), job in zip(calls, batch.calls)]
    # The thread sanitizer starts a thread of its own with the first thread
    # the process makes.
    expected = batch.calls[0].threads_at_start + (os.environ.get("VANTREL_SANITIZER") == "thread")
    assert all(count == expected for _, count in threads), threads
