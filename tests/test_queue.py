"""The job queue on real processes: a redis-server (and, for the tests of
faults, a rabbitmq-server too) on a free loopback port with the project's
configuration, and a celery worker with two processes, all started here and
stopped by their process ids. Jobs go through vantrel.queue as any client's
would, and every package that comes out is decoded with its key through its
master playlist."""

from __future__ import annotations

import fcntl
import json
import os
import re
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import m3u8
import pytest

from conftest import TOOL_ENV, write_key_info
from queue_processes import BROKERS, JOB_SECONDS, VISIBILITY_SECONDS_IGNORED, wait_for
from test_hostile_inputs import huge_mjpeg, mjpeg_avi
from test_playback import decode_package, decode_with_ffmpeg
from vantrel import queue

pytestmark = pytest.mark.queue

# A queue no worker listens to until told to.
HELD_QUEUE = "held"


def submit(source: Path, out: Path, renditions=("360p",), key_info: Path | None = None, upscale: bool = False,
           key_name: str | None = None, **options):
    """A job with the key keys/KEY_NAME.key beside out (by default named
    after out; made by the job when missing), named by its absolute path so
    that ffmpeg finds it; or with the key info file given."""
    key = out.parent / "keys" / f"{key_name or out.name}.key"
    keys = {"key_info": str(key_info)} if key_info else {"key_uri": str(key), "key_path": str(key)}
    job = dict(input=str(source), output_dir=str(out), renditions=list(renditions), upscale=upscale, **keys)
    return queue.encode_package.apply_async(kwargs=job, **options)


def started_pid(job) -> int | None:
    """The id of the process running `job`, once it runs."""
    meta = job.backend.get_task_meta(job.id)
    return meta["result"]["pid"] if meta["status"] == "STARTED" else None


def package_state(out: Path, renditions) -> str:
    """"absent", "complete" or "incomplete", as a player's parser sees it."""
    if not out.exists():
        return "absent"
    try:
        master = m3u8.load(str(out / "master.m3u8"))
        if [entry.uri for entry in master.playlists] != [f"{name}.m3u8" for name in renditions]:
            return "incomplete"
        for name in renditions:
            variant = m3u8.load(str(out / f"{name}.m3u8"))
            if not variant.is_endlist or not variant.segments:
                return "incomplete"
            if not all((out / segment.uri).is_file() for segment in variant.segments):
                return "incomplete"
    except (OSError, ValueError):
        return "incomplete"
    return "complete"


def assert_plays(out: Path, renditions, source: Path) -> None:
    """Complete, and every variant decrypts and decodes to the source's pictures."""
    assert package_state(out, renditions) == "complete"
    proc, streams = decode_package(out / "master.m3u8")
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr
    _, source_streams = decode_with_ffmpeg(source)
    pictures = next(s.frames for s in source_streams.values() if s.media_type == "video")
    videos = [s.frames for s in streams.values() if s.media_type == "video"]
    assert videos == [pictures] * len(renditions)


def has_written(directory: Path) -> bool:
    """Some segment below `directory` holds data (files come and go meanwhile)."""
    try:
        return any(path.stat().st_size for path in directory.rglob("*.ts"))
    except FileNotFoundError:
        return False


def leftovers(out: Path) -> list[str]:
    """What a job left beside its output directory: partial directories, locks."""
    return sorted(p.name for p in out.parent.iterdir() if p.name.startswith(f".{out.name}."))


def test_six_jobs_on_two_processes_all_complete(worker, media, outputs):
    shared_key = write_key_info(outputs / "keys", uri=str(outputs / "keys" / "enc.key"))
    jobs = {
        f"job{number}": (media[source], renditions, key_info, key_name)
        for number, (source, renditions, key_info, key_name) in enumerate([
            ("tiny", ["360p"], None, None),
            # Two jobs at once naming one key file that is not there yet: one
            # makes it, the other uses it, both packages play with it.
            ("portrait", ["360p"], None, "shared"),
            ("tiny", ["480p", "360p"], None, "shared"),
            ("square", ["360p"], None, None),
            ("tiny", ["360p"], shared_key.path, None),
            ("portrait", ["480p"], shared_key.path, None),
        ])
    }
    submitted = {name: submit(source, outputs / name, renditions, key_info, key_name=key_name)
                 for name, (source, renditions, key_info, key_name) in jobs.items()}
    for name, job in submitted.items():
        result = job.get(timeout=JOB_SECONDS)
        assert result["outcome"] == "encoded" and result["ok"], result
        source, renditions, *_ = jobs[name]
        # A rendition larger than the small source is skipped, the smallest made.
        made = [r["name"] for r in result["renditions"] if r["created"]]
        assert made == renditions[-1:], result
        assert_plays(outputs / name, made, source)
        assert leftovers(outputs / name) == []


@pytest.mark.parametrize("broker", BROKERS, indirect=True)
def test_job_of_a_killed_worker_process_is_delivered_again(worker, media, outputs):
    out, renditions = outputs / "killed", ["360p"]
    seen = set()
    watching = threading.Event()

    def watch() -> None:
        # One look more once told to stop: by then the job has returned.
        while True:
            stopping = watching.is_set()
            seen.add(package_state(out, renditions))
            if stopping:
                return
            time.sleep(0.005)

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        job = submit(media["long30"], out, renditions, upscale=True)
        pid = wait_for(lambda: started_pid(job), JOB_SECONDS, "the job to start")
        # Half-way: the job has written segment data, wherever it writes.
        wait_for(lambda: has_written(outputs), JOB_SECONDS, "the job to write")
        os.kill(pid, signal.SIGKILL)
        result = job.get(timeout=JOB_SECONDS)
    finally:
        watching.set()
        watcher.join()
    assert result["outcome"] == "encoded", result
    assert pid not in worker.pool_processes()
    assert seen <= {"absent", "complete"} and "complete" in seen, seen
    assert_plays(out, renditions, media["long30"])
    assert leftovers(out) == []


# name: (input, the job's options, what its result says)
NO_PACKAGE = {
    # Upscaled, so that the job outlasts its limit.
    "over-its-soft-time-limit": ("long30", {"soft_time_limit": 1, "time_limit": 60, "upscale": True}, "stopped"),
    "hostile-input": ("huge-picture", {}, "failed"),
}


@pytest.mark.parametrize("case", list(NO_PACKAGE))
def test_job_that_makes_no_package_says_why_and_the_worker_goes_on(worker, media, outputs, case):
    source_name, options, outcome = NO_PACKAGE[case]
    source = (huge_mjpeg(mjpeg_avi(outputs.parent), outputs.parent / "huge.avi", sof_only=True)
              if source_name == "huge-picture" else media[source_name])
    processes = worker.pool_processes()
    out = outputs / case
    job = submit(source, out, ["480p", "360p"], **options)
    result = job.get(timeout=JOB_SECONDS)
    assert result["outcome"] == outcome and not result["ok"] and result["master_playlist"] is None, result
    # Not only Celery's "succeeded": the worker's log says what became of it.
    assert re.search(rf"WARNING.* job {job.id} {outcome}: \S", worker.log.read_text()), worker.log.read_text()
    if outcome == "stopped":
        assert "time limit" in result["error"], result
    else:
        assert [r["name"] for r in result["renditions"]] == ["480p", "360p"]
        # The container says 160x90, so 480p is skipped as larger; what is made fails.
        for rendition in result["renditions"]:
            assert not rendition["created"]
            assert rendition["skipped"] or (rendition["error"]["step"] and rendition["error"]["message"]), rendition
    # Nothing of the job is left: no package, no partial directory, no key.
    assert not out.exists() and leftovers(out) == [] and list((outputs / "keys").iterdir()) == []
    assert worker.pool_processes() == processes
    after = submit(media["tiny"], outputs / "after", ["360p"]).get(timeout=JOB_SECONDS)
    assert after["outcome"] == "encoded", after


@pytest.mark.parametrize("broker", BROKERS, indirect=True)
def test_queued_jobs_survive_a_broker_restart(broker, worker, media, outputs):
    names = ["held0", "held1", "held2"]
    jobs = [submit(media["tiny"], outputs / name, queue=HELD_QUEUE) for name in names]
    assert broker.queued(HELD_QUEUE) == len(names)
    broker.restart()
    assert broker.queued(HELD_QUEUE) == len(names)
    worker.consume(HELD_QUEUE)
    for name, job in zip(names, jobs):
        assert job.get(timeout=JOB_SECONDS)["outcome"] == "encoded"
        assert_plays(outputs / name, ["360p"], media["tiny"])


@pytest.mark.parametrize("broker", BROKERS, indirect=True)
def test_same_job_twice_makes_one_package(broker, worker, media, outputs):
    out = outputs / "twice"
    key = str(outputs / "keys" / "twice.key")
    # Once through the submit command, which waits and prints the result, and
    # at the same time once from Python.
    command = subprocess.Popen(
        [str(Path(sys.executable).with_name("vantrel-submit")), str(media["clip"]), str(out),
         "--renditions", "360p", "--key-uri", key, "--key-file", key],
        stdout=subprocess.PIPE,
        env=dict(TOOL_ENV, VANTREL_BROKER_URL=broker.url, VANTREL_RESULT_BACKEND=queue.app.conf.result_backend),
    )
    results = [submit(media["clip"], out).get(timeout=JOB_SECONDS)]
    stdout, _ = command.communicate(timeout=JOB_SECONDS)
    assert command.returncode == 0
    results.append(json.loads(stdout))
    assert sorted(r["outcome"] for r in results) == ["already complete", "encoded"], results
    # The second job neither replaced the package nor made it a new key.
    assert_plays(out, ["360p"], media["clip"])
    assert leftovers(out) == []


@pytest.mark.parametrize("broker", ["rabbitmq"], indirect=True)
def test_task_running_past_redis_visibility_timeout_is_delivered_once(worker, media, outputs):
    out = outputs / "long"
    # The job waits for the output directory's lock, held here, for longer
    # than Redis would wait before handing it to the worker's other process.
    with open(outputs / ".long.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        job = submit(media["tiny"], out)
        wait_for(lambda: started_pid(job), JOB_SECONDS, "the job to start")
        time.sleep(3 * VISIBILITY_SECONDS_IGNORED)
    assert job.get(timeout=JOB_SECONDS)["outcome"] == "encoded"
    assert worker.log.read_text().count(f"Task vantrel.encode_package[{job.id}] received") == 1


def job_here(media, out: Path, renditions, source: str = "tiny") -> dict:
    """The task run in this process, as a worker would run it."""
    key = out.parent / "keys" / f"{out.name}.key"
    return queue.encode_package(str(media[source]), str(out), list(renditions), key_uri=str(key), key_path=str(key))


def unclose_variant(out: Path) -> None:
    playlist = out / "360p.m3u8"
    playlist.write_text(playlist.read_text().replace("#EXT-X-ENDLIST\n", ""))


# What OUTPUT_DIR holds when the job comes: made by an earlier job of this
# ladder (or another, or from another input) and then altered, or not; and
# what the job must do.
PRIOR = {
    "nothing": (None, None, "encoded"),
    "an empty directory": (None, lambda out: out.mkdir(), "encoded"),
    "this job's package": (["360p"], None, "already complete"),
    "another ladder's package": (["480p"], None, "refused"),
    "another input's package": (["360p"], None, "refused", "square"),
    "a variant left open": (["360p"], unclose_variant, "refused"),
    "a segment missing": (["360p"], lambda out: (out / "360p_000.ts").unlink(), "refused"),
}


@pytest.mark.parametrize("prior", list(PRIOR))
def test_what_the_output_directory_holds_decides_the_job(media, outputs, prior):
    earlier, alter, expected, *source = PRIOR[prior]
    out = outputs / "package"
    if earlier:
        job_here(media, out, earlier, *source)
    if alter:
        alter(out)
    before = {path.name: path.read_bytes() for path in outputs.rglob("*") if path.is_file()}
    if expected == "refused":
        with pytest.raises(FileExistsError):
            job_here(media, out, ["360p"])
    else:
        assert job_here(media, out, ["360p"])["outcome"] == expected
    after = {path.name: path.read_bytes() for path in outputs.rglob("*") if path.is_file()}
    if expected == "encoded":
        assert_plays(out, ["360p"], media["tiny"])
    else:
        # Untouched, its key included.
        assert after == before
    assert leftovers(out) == []
