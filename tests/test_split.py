"""Split jobs on the real queue: one title in chunks on the workers of
test_queue's fixtures, stitched into one package that must keep every promise
of a whole-title one, and survive the loss of a chunk's process or of a whole
worker instance."""

from __future__ import annotations

import os
import re
import signal
import time
import uuid
from pathlib import Path

import pytest

from test_playlists import first_access_unit, nal_unit_types
from queue_processes import BROKERS, JOB_SECONDS, NODE, Worker, descendants, stop_process, wait_for
from test_queue import assert_plays, job_here, leftovers
from test_timelines import timeline_faults
from timeline_media import FPS, clear_variant, joined_mpegts, measure, media_playlist, sync_clip
from conftest import decrypt_segment
from vantrel import _split, queue

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
    job = dict(renditions=RENDITIONS, key_uri=key, key_path=key, upscale=True)
    return queue.submit(str(source), str(out), **{**job, **options})


def work_directories(out: Path) -> list[str]:
    return [name for name in leftovers(out) if ".work-" in name]


def chunk_process(out: Path) -> tuple[int, int] | None:
    """(process, first picture) of a chunk whose intermediate is being written right now."""
    for fd in Path("/proc").glob("[0-9]*/fd/*"):
        try:
            target = os.readlink(fd)
        except OSError:
            continue
        if f"/.{out.name}.work-" in target and target.endswith(".nut.partial") and "/sound" not in target:
            return int(fd.parts[2]), int(target.split(".")[-3])
    return None


# Before any test that starts the module's `worker`: no worker with the default
# timeout may be listening while a lost instance's chunk waits for it.
VISIBILITY_SECONDS = 20


@pytest.fixture
def two_instances(broker, tmp_path_factory):
    # Redis's visibility timeout, lowered so that the test need not wait 18
    # minutes; RabbitMQ has none and notices the lost instance at once.
    settings = {"VANTREL_VISIBILITY_TIMEOUT": str(VISIBILITY_SECONDS)}
    instances = []
    try:
        for name in ("first", "second"):
            instances.append(Worker(tmp_path_factory.mktemp(name), broker, f"{name}@vantrel", 1, **settings))
        yield instances
    finally:
        for instance in instances:
            stop_process(instance.process)


@pytest.mark.parametrize("broker", BROKERS, indirect=True)
def test_chunk_of_a_lost_worker_instance_is_done_by_the_other(two_instances, long_clip, outputs):
    out = outputs / "lost"
    job = submit(long_clip.path, out, chunk_seconds=CHUNK_SECONDS)
    pid, first_picture = wait_for(lambda: chunk_process(out), JOB_SECONDS, "a chunk to be encoded")
    lost = next(w for w in two_instances if pid in {child for child, _ in descendants(w.process.pid)})
    survivor = next(w for w in two_instances if w is not lost)
    # The machine is gone: its main process and every process below it at once.
    for child, _ in descendants(lost.process.pid):
        os.kill(child, signal.SIGKILL)
    lost.process.kill()
    lost.process.wait()
    killed_at = time.monotonic()
    result = job.get(timeout=JOB_SECONDS)
    delay = time.monotonic() - killed_at
    assert result["outcome"] == "encoded", result
    # The chunk came back once its timeout passed, at the next sweep, and was
    # encoded again; the whole title takes about 15 s on one process.
    assert delay < VISIBILITY_SECONDS + 10 + 60, delay
    killed_chunk = next(c for c in result["chunks"] if c["start"] == first_picture / FPS)
    assert killed_chunk["worker"].startswith(f"{survivor.node} pid "), killed_chunk
    assert_plays(out, RENDITIONS, long_clip.path)
    assert work_directories(out) == []


def test_split_title_keeps_sync_segments_and_every_picture(worker, long_clip, outputs):
    out = outputs / "split"
    submitted = time.time()
    result = submit(long_clip.path, out, chunk_seconds=CHUNK_SECONDS).get(timeout=JOB_SECONDS)
    wall = time.time() - submitted
    assert result["outcome"] == "encoded" and result["split"] == "chunks", result
    assert [(c["start"], c["end"]) for c in result["chunks"]] == [(0, 12), (12, 24), (24, None)]
    # Each chunk names the process that encoded it, one of the worker's.
    for chunk in result["chunks"]:
        assert int(re.fullmatch(rf"{re.escape(NODE)} pid (\d+)", chunk["worker"]).group(1)) in worker.pool_processes()
    # The job's time, from its plan on, not its stitch's.
    assert submitted <= result["started_at"] and 0.5 * wall < result["elapsed"] <= wall, (wall, result)
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
    "mpegts-whose-clock-jumps": ("ts", CHUNK_SECONDS, "encoded whole: its container's clock (mpegts) jumps 4.0 s into"),
    "splitting-switched-off": ("mp4", 0, "encoded whole: splitting is switched off"),
    "shorter-than-three-chunks": ("mp4", None, "encoded whole: the title lasts 40.0 s"),
}


# name: (what OUTPUT_DIR holds or the job is given, the exception)
REFUSED = {
    "renditions-as-a-str": (dict(renditions="360p"), TypeError),
    "bitrate-as-a-float": (dict(bitrates=[1.5e6, 4e5]), TypeError),
    "key-inside-the-output": (dict(key_path="{out}/k.key"), ValueError),
    "files-in-the-output": ("notes.txt", FileExistsError),
    "another-input's-package": ("tiny", FileExistsError),
}


@pytest.mark.parametrize("case", list(REFUSED))
def test_split_job_is_refused_before_any_chunk(worker, media, long_clip, outputs, case):
    held, refusal = REFUSED[case]
    out = outputs / "refused"
    options = {}
    if held == "notes.txt":
        out.mkdir()
        (out / "notes.txt").write_text("mine")
    elif isinstance(held, str):
        job_here(media, out, RENDITIONS[-1:], held)
    else:
        options = {name: value.format(out=out) if isinstance(value, str) else value for name, value in held.items()}
    before = sorted(outputs.rglob("*"))
    with pytest.raises(refusal):
        submit(long_clip.path, out, chunk_seconds=CHUNK_SECONDS, **options).get(timeout=JOB_SECONDS)
    assert sorted(outputs.rglob("*")) == before and work_directories(out) == []


@pytest.mark.parametrize("case", list(WHOLE))
def test_title_that_is_not_split_is_encoded_whole_and_says_why(worker, long_clip, outputs, case):
    container, chunk_seconds, reason = WHOLE[case]
    source = long_clip.path
    if container == "ts":
        # Two pieces joined, the second's clock starting again from zero.
        source = joined_mpegts(outputs.parent, "joined", None, {}, {}).path
    result = submit(source, outputs / case, chunk_seconds=chunk_seconds).get(timeout=JOB_SECONDS)
    assert result["outcome"] == "encoded" and result["chunks"] == [], result
    assert result["split"].startswith(reason), result["split"]


@pytest.mark.parametrize("broker", BROKERS, indirect=True)
def test_chunk_of_a_killed_process_is_redone_and_the_rest_kept(worker, long_clip, outputs):
    out = outputs / "killed"
    job = submit(long_clip.path, out, chunk_seconds=CHUNK_SECONDS)
    pid, _ = wait_for(lambda: chunk_process(out), JOB_SECONDS, "a chunk to be encoded")
    os.kill(pid, signal.SIGKILL)
    result = job.get(timeout=JOB_SECONDS)
    assert result["outcome"] == "encoded", result
    assert pid not in worker.pool_processes()
    assert_plays(out, RENDITIONS, long_clip.path)
    assert work_directories(out) == []


def test_chunk_that_fails_fails_the_job_with_its_reason(worker, long_clip, outputs):
    out = outputs / "failing"
    key = str(outputs / "keys" / "failing.key")
    job_id = uuid.uuid4().hex
    # The second chunk's first intermediate cannot be written: a directory
    # stands where its file goes.
    blocked = Path(_split.work_directory(str(out), job_id)) / f"{RENDITIONS[0]}.{CHUNK_SECONDS * FPS}.nut.partial"
    blocked.mkdir(parents=True)
    job = queue.plan_package.apply_async(
        kwargs=dict(input=str(long_clip.path), output_dir=str(out), renditions=RENDITIONS, key_uri=key, key_path=key,
                    upscale=True, chunk_seconds=CHUNK_SECONDS),
        task_id=job_id,
    )
    result = job.get(timeout=JOB_SECONDS)
    assert result["outcome"] == "failed", result
    assert result["error"].startswith(f"the chunk from {CHUNK_SECONDS * FPS} to {2 * CHUNK_SECONDS * FPS}: "), result
    assert not out.exists() and work_directories(out) == []


@pytest.mark.parametrize("broker", BROKERS, indirect=True)
def test_same_split_job_twice_makes_one_package(worker, long_clip, outputs):
    out = outputs / "twice"
    jobs = [submit(long_clip.path, out, chunk_seconds=CHUNK_SECONDS) for _ in range(2)]
    results = [job.get(timeout=JOB_SECONDS) for job in jobs]
    assert sorted(r["outcome"] for r in results) == ["already complete", "encoded"], results
    assert_plays(out, RENDITIONS, long_clip.path)
    assert leftovers(out) == []
    # The stitch delivered again once its package was placed, its work
    # directory gone: it returns the package in place.
    key = str(outputs / "keys" / "twice.key")
    gone = _split.work_directory(str(out), "placed")
    parts = [{"manifest": f"{gone}/sound.json", "sound_tracks": 1},
             *({"manifest": f"{gone}/chunk-{c}.json", "start": c, "end": -1, "worker": NODE, "files": {}}
               for c in (0, CHUNK_SECONDS * FPS))]
    again = queue.stitch_package(parts, str(long_clip.path), str(out), gone, FPS, {}, renditions=RENDITIONS,
                                 key_uri=key, key_path=key, upscale=True)
    assert again["outcome"] == "already complete" and again["ok"], again
    assert_plays(out, RENDITIONS, long_clip.path)


def test_revoked_job_stops_its_chunks_and_leaves_nothing(worker, long_clip, outputs):
    out = outputs / "revoked"
    job = submit(long_clip.path, out, chunk_seconds=CHUNK_SECONDS)
    wait_for(lambda: chunk_process(out), JOB_SECONDS, "a chunk to be encoded")
    queue.revoke(job.id)
    result = job.get(timeout=JOB_SECONDS)
    assert result["outcome"] == "stopped" and "revoke" in result["error"], result
    assert not out.exists() and chunk_process(out) is None and work_directories(out) == []
