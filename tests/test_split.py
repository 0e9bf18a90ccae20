"""Split jobs on the real queue: one title in chunks on the workers of
test_queue's fixtures, stitched into one package that must keep every promise
of a whole-title one, and survive the loss of a chunk's process."""

from __future__ import annotations

import os
import signal
from pathlib import Path

import pytest

from test_playlists import first_access_unit, nal_unit_types
from test_queue import JOB_SECONDS, assert_plays, broker, leftovers, outputs, wait_for, worker  # noqa: F401
from test_timelines import timeline_faults
from timeline_media import clear_variant, measure, media_playlist, sync_clip
from conftest import decrypt_segment
from vantrel import queue

pytestmark = pytest.mark.queue

SECONDS = 40.0
# Near both ends, off the key picture and chunk grid.
EVENTS = (1.3, 38.7)
RENDITIONS = ["480p", "360p"]
CHUNK_SECONDS = 12


@pytest.fixture(scope="module")
def long_clip(tmp_path_factory: pytest.TempPathFactory):
    return sync_clip(tmp_path_factory.mktemp("split") / "long.mp4", SECONDS, EVENTS)


def submit(source: Path, out: Path, **options):
    key = str(out.parent / "keys" / f"{out.name}.key")
    return queue.submit(str(source), str(out), renditions=RENDITIONS, key_uri=key, key_path=key, upscale=True, **options)


def work_directories(out: Path) -> list[str]:
    return [name for name in leftovers(out) if ".work-" in name]


def test_split_title_keeps_sync_segments_and_every_picture(worker, long_clip, outputs):
    out = outputs / "split"
    result = submit(long_clip.path, out, chunk_seconds=CHUNK_SECONDS).get(timeout=JOB_SECONDS)
    assert result["outcome"] == "encoded" and result["split"] == "chunks", result
    assert [(c["start"], c["end"]) for c in result["chunks"]] == [(0, 12), (12, 24), (24, None)]
    assert all(chunk["worker"] for chunk in result["chunks"])
    assert_plays(out, RENDITIONS, long_clip.path)
    key = (out.parent / "keys" / "split.key").read_bytes()
    for name in RENDITIONS:
        timeline = measure(clear_variant(out / f"{name}.m3u8", key))
        assert timeline_faults(long_clip, timeline) == [], timeline
        # Every segment, the ones that start a chunk included, opens with an
        # IDR picture.
        listing = media_playlist(out / f"{name}.m3u8")
        assert len(listing["segments"]) == 7
        for number, segment in enumerate(listing["segments"]):
            clear = out.parent / "clear.ts"
            clear.write_bytes(decrypt_segment(out / segment, key, listing["keys"][0], listing["sequence"] + number))
            assert 5 in nal_unit_types(first_access_unit(clear)), segment
    assert work_directories(out) == []


# name: (source, chunk_seconds, the start of the reason)
WHOLE = {
    "mpegts": ("ts", CHUNK_SECONDS, "encoded whole: its container's clock may jump (mpegts)"),
    "splitting-switched-off": ("mp4", 0, "encoded whole: splitting is switched off"),
    "shorter-than-three-chunks": ("mp4", None, "encoded whole: the title lasts 40.0 s"),
}


@pytest.mark.parametrize("case", list(WHOLE))
def test_title_that_is_not_split_is_encoded_whole_and_says_why(worker, long_clip, outputs, case):
    container, chunk_seconds, reason = WHOLE[case]
    source = long_clip.path
    if container == "ts":
        source = sync_clip(outputs.parent / "long.ts", SECONDS, EVENTS).path
    result = submit(source, outputs / case, chunk_seconds=chunk_seconds).get(timeout=JOB_SECONDS)
    assert result["outcome"] == "encoded" and result["chunks"] == [], result
    assert result["split"].startswith(reason), result["split"]


def chunk_process(out: Path) -> int | None:
    """The worker process writing a chunk's intermediate right now."""
    for fd in Path("/proc").glob("[0-9]*/fd/*"):
        try:
            target = os.readlink(fd)
        except OSError:
            continue
        if f"/.{out.name}.work-" in target and target.endswith(".nut.partial") and "/sound" not in target:
            return int(fd.parts[2])
    return None


def test_chunk_of_a_killed_process_is_redone_and_the_rest_kept(worker, long_clip, outputs):
    out = outputs / "killed"
    job = submit(long_clip.path, out, chunk_seconds=CHUNK_SECONDS)
    pid = wait_for(lambda: chunk_process(out), JOB_SECONDS, "a chunk to be encoded")
    os.kill(pid, signal.SIGKILL)
    result = job.get(timeout=JOB_SECONDS)
    assert result["outcome"] == "encoded", result
    assert pid not in worker.pool_processes()
    assert_plays(out, RENDITIONS, long_clip.path)
    assert work_directories(out) == []


def test_same_split_job_twice_makes_one_package(worker, long_clip, outputs):
    out = outputs / "twice"
    jobs = [submit(long_clip.path, out, chunk_seconds=CHUNK_SECONDS) for _ in range(2)]
    results = [job.get(timeout=JOB_SECONDS) for job in jobs]
    assert sorted(r["outcome"] for r in results) == ["already complete", "encoded"], results
    assert_plays(out, RENDITIONS, long_clip.path)
    assert leftovers(out) == []
