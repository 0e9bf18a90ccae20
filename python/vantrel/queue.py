"""Encode jobs on a Celery job queue, with Redis as broker and result store.

Workers, on any number of machines that share the storage of inputs and
outputs, all run

    celery -A vantrel.queue worker --concurrency N

and anything that can reach the broker submits jobs:

    from vantrel.queue import encode_package
    job = encode_package.delay("/shared/in/talk.mp4", "/shared/out/talk",
                               key_uri="talk.key", key_path="/shared/keys/talk.key")
    print(job.get()["outcome"])

Configured from the environment, read at import:

    VANTREL_BROKER_URL         the broker (default redis://127.0.0.1:6379/0)
    VANTREL_RESULT_BACKEND     where results are kept (default: the broker)
    VANTREL_SOFT_TIME_LIMIT    seconds a job may run before it is stopped (default 10800)
    VANTREL_TIME_LIMIT         seconds after which its process is killed (default: soft + 60)
    VANTREL_PART_SOFT_TIME_LIMIT  seconds a split job's task may run (default 900)
    VANTREL_VISIBILITY_TIMEOUT seconds before a task whose worker is gone is
                               delivered again (default: the part limit + 180)
    VANTREL_MAX_MEMORY_PER_CHILD  KiB of resident memory after which a worker
                               process is replaced once its job ended (default 2097152)

Needs the extra: pip install 'vantrel[celery]'."""

from __future__ import annotations

import json
import logging
import os
import socket
import time
from collections.abc import Iterable
from typing import Any

from celery import Celery, Task, chord, group, signals
from celery.exceptions import SoftTimeLimitExceeded
from celery.result import AsyncResult

from vantrel import _engine, _split
from vantrel._encode import DEFAULT_RENDITIONS
from vantrel._package import FAILED, STOPPED, make_package, stopped_result

LOGGER = logging.getLogger(__name__)

BROKER_URL = os.environ.get("VANTREL_BROKER_URL", "redis://127.0.0.1:6379/0")
# Results live under keys of their own beside the queue, so one Redis
# database and one variable serve both unless said otherwise.
RESULT_BACKEND = os.environ.get("VANTREL_RESULT_BACKEND", BROKER_URL)
# The 20-second 1080p ladder takes about 30 s on 2 cores, so three hours
# cover some six hours of such video on that machine; set it for your inputs.
SOFT_TIME_LIMIT = float(os.environ.get("VANTREL_SOFT_TIME_LIMIT", 3 * 3600))
# A stopped encode is gone within a second or two; the hard limit is only for
# a process that no longer answers at all.
TIME_LIMIT = float(os.environ.get("VANTREL_TIME_LIMIT", SOFT_TIME_LIMIT + 60))
MAX_MEMORY_PER_CHILD_KIB = int(os.environ.get("VANTREL_MAX_MEMORY_PER_CHILD", 2 * 1024 * 1024))
# A split job's tasks (the sound, a chunk, the stitch) are bounded by one
# chunk's encode, not by the title: a 30 s chunk of the 1080p ladder takes
# about a minute on 2 cores, so 15 minutes leave room for slow machines.
PART_SOFT_TIME_LIMIT = float(os.environ.get("VANTREL_PART_SOFT_TIME_LIMIT", 15 * 60))
PART_TIME_LIMIT = PART_SOFT_TIME_LIMIT + 60
# Redis hands an unacknowledged task to another worker once this has passed
# since it was delivered, whether or not its worker still runs it: a task
# whose worker machine is gone waits this long, plus one sweep for such tasks
# (RESTORE_SWEEP_SECONDS). Longer than any part of a split job may run, so a
# lost machine costs a split job minutes. A title encoded whole may run for
# longer: past this timeout it is delivered again to a second worker, whose
# copy waits for the output directory's lock and then finds the package
# complete (or makes it, should the first have failed), holding that worker
# process meanwhile. Raise it (VANTREL_VISIBILITY_TIMEOUT) where long titles
# that cannot be split are common.
VISIBILITY_TIMEOUT = float(os.environ.get("VANTREL_VISIBILITY_TIMEOUT", PART_TIME_LIMIT + 120))
RESTORE_SWEEP_SECONDS = max(1, min(10, int(VISIBILITY_TIMEOUT // 4)))
# How often a job whose worker process died is sent again before it is
# given up as failed: an input that kills its process every time must not
# take down every worker in turn, forever.
RETRIES_ON_WORKER_LOST = 3
QUEUE = "vantrel"

# FFmpeg's AV_LOG_WARNING: the encoders' information lines stay out of the
# worker's log; the engine's own lines come through the "vantrel" logger.
AV_LOG_WARNING = 24

app = Celery("vantrel")
app.conf.update(
    broker_url=BROKER_URL,
    result_backend=RESULT_BACKEND,
    # Jobs of other applications on the same broker go elsewhere.
    task_default_queue=QUEUE,
    # Plain data only: a pickled message could run code in every worker.
    task_serializer="json",
    result_serializer="json",
    accept_content=["json"],
    # A job is acknowledged when it ended, not when it was taken, so that a
    # job whose worker dies on the way is still in the broker.
    task_acks_late=True,
    # ... and when the worker process running it dies (killed, out of memory,
    # a crash), the job is sent again rather than acknowledged as failed:
    # retried, at most RETRIES_ON_WORKER_LOST times ...
    task_retry_on_worker_lost=True,
    # ... or, should sending the retry fail, put back into the queue as it is.
    task_reject_on_worker_lost=True,
    # One job per process, taken only when the process is free: an encode
    # keeps its process busy for minutes, and a job reserved behind it would
    # wait there while another worker sat idle.
    worker_prefetch_multiplier=1,
    worker_disable_prefetch=True,
    # The prefork pool runs each job in a process of its own, one at a time,
    # and delivers the soft time limit as a signal to that process's main
    # thread, where encode() waits for its job and stops it.
    worker_pool="prefork",
    # One job at a time per machine unless --concurrency says otherwise: each
    # job at once costs its own memory (about 0.9 GiB for the 1080p ladder). An
    # encode keeps every core busy for most of its time (a thread per
    # rendition, each encoder with threads of its own); a second process
    # fills in one job's serial parts with another's encoding (36% more jobs
    # per hour on 2 cores, as bench/queue.sh measured).
    worker_concurrency=1,
    # The soft limit raises in the job, which stops the encode and removes its
    # files; the job then reports that it was stopped.
    task_soft_time_limit=SOFT_TIME_LIMIT,
    # The hard limit kills the process, should it not answer the soft one.
    # Such a job is failed, not retried.
    task_time_limit=TIME_LIMIT,
    # Checked after each job: a process that kept more than this (the 1080p
    # ladder peaks at about 0.9 GiB) is replaced by a fresh one before its
    # next job, so that memory a job leaked or fragmented is not carried on.
    worker_max_memory_per_child=MAX_MEMORY_PER_CHILD_KIB,
    broker_transport_options={
        "visibility_timeout": VISIBILITY_TIMEOUT,
        # Every worker looks for tasks past their timeout this often.
        "unacked_restore_interval": RESTORE_SWEEP_SECONDS,
        "unacked_restore_throttle": 1,
    },
    # The STARTED state, with the worker's host name and process id: a client
    # sees which jobs run and where.
    task_track_started=True,
    # Workers started before the broker wait for it.
    broker_connection_retry_on_startup=True,
)


@signals.worker_process_init.connect
def _quiet_library_log(**_: object) -> None:
    _engine.set_library_log_level(AV_LOG_WARNING)


def submit(
    input: str,
    output_dir: str,
    *,
    renditions: Iterable[str] = DEFAULT_RENDITIONS,
    bitrates: Iterable[int] | None = None,
    key_info: str | None = None,
    key_uri: str | None = None,
    key_path: str | None = None,
    upscale: bool = False,
    chunk_seconds: float | None = None,
) -> AsyncResult:
    """Submits a job that may be split: its get() returns encode_package's
    result with "chunks" (each chunk's start and end in seconds and the worker
    that encoded it, empty when the title was encoded whole) and "split"
    ("chunks" or why the title was encoded whole). `chunk_seconds` None
    splits titles longer than about three chunks of the default length, 0
    never splits; chunks are whole segments long."""
    return plan_package.apply_async(
        kwargs={
            "input": input,
            "output_dir": output_dir,
            "renditions": list(renditions),
            "bitrates": None if bitrates is None else list(bitrates),
            "key_info": key_info,
            "key_uri": key_uri,
            "key_path": key_path,
            "upscale": upscale,
            "chunk_seconds": chunk_seconds,
        }
    )


_PARTS_KEY = "vantrel-parts-"


def revoke(job_id: str) -> None:
    """Stops a submitted job: the stitch (which carries the job's id) and every
    part not yet done, those running included. A running part is stopped as
    its time limit stops it: its encode ends and its files go; the chord's
    error callback then removes the job's work directory."""
    stored = app.backend.get(_PARTS_KEY + job_id)
    ids = [job_id, *(json.loads(stored) if stored else [])]
    app.control.revoke(ids, terminate=True, signal="SIGUSR1")


# The tasks of a split job, each bounded by one chunk's encode.
_PART_TASK: dict[str, Any] = dict(
    bind=True,
    max_retries=RETRIES_ON_WORKER_LOST,
    default_retry_delay=0,
    soft_time_limit=PART_SOFT_TIME_LIMIT,
    time_limit=PART_TIME_LIMIT,
)


@app.task(bind=True, name="vantrel.plan_package", max_retries=RETRIES_ON_WORKER_LOST, default_retry_delay=0)
def plan_package(self: Task, input: str, output_dir: str, chunk_seconds: float | None = None, **package: Any) -> Any:
    """Splits the title into a chord, the sound and one task per chunk, then
    the stitch, which takes this task's place (its result is the job's); a
    title that cannot or need not be split is encoded here, whole."""
    plan = _split.plan_split(input, chunk_seconds)
    if plan.unsplittable:
        result = _encode_whole(self, input, output_dir, **package)
        return {**result, "split": f"encoded whole: {plan.unsplittable}", "chunks": []}
    work_dir = _split.work_directory(output_dir, self.request.id)
    os.makedirs(work_dir, exist_ok=True)
    picture_options = {k: package.get(k) for k in ("renditions", "bitrates", "upscale")}
    # Named after the job, so that revoke() can reach them; kept for a day.
    ids = [f"{self.request.id}-sound", *(f"{self.request.id}-chunk-{first}" for first, *_ in plan.windows)]
    self.backend.set(_PARTS_KEY + self.request.id, json.dumps(ids))
    parts = group(
        encode_sound.si(input, work_dir, plan.title).set(task_id=ids[0]),
        *(
            encode_chunk.si(input, work_dir, window, plan.title, **picture_options).set(task_id=task_id)
            for window, task_id in zip(plan.windows, ids[1:])
        ),
    )
    body = stitch_package.s(input, output_dir, work_dir, plan.frame_rate, plan.title, **package)
    raise self.replace(chord(parts, body.on_error(discard_work.si(work_dir))))


@app.task(name="vantrel.encode_sound", **_PART_TASK)
def encode_sound(self: Task, input: str, work_dir: str, title: dict[str, Any]) -> dict[str, Any]:
    return _split.run_part(work_dir, lambda: _split.encode_sound(input, work_dir, title))


@app.task(name="vantrel.encode_chunk", **_PART_TASK)
def encode_chunk(
    self: Task,
    input: str,
    work_dir: str,
    window: list[int],
    title: dict[str, Any],
    renditions: Iterable[str] = DEFAULT_RENDITIONS,
    bitrates: Iterable[int] | None = None,
    upscale: bool = False,
) -> dict[str, Any]:
    worker = self.request.hostname or socket.gethostname()
    return _split.run_part(
        work_dir,
        lambda: _split.encode_chunk(input, work_dir, (window[0], window[1], window[2]), renditions, bitrates,
                                    upscale, worker, title),
    )


@app.task(name="vantrel.stitch_package", **_PART_TASK)
def stitch_package(
    self: Task, parts: list[dict[str, Any]], input: str, output_dir: str, work_dir: str, frame_rate: float,
    title: dict[str, Any], **package: Any,
) -> dict[str, Any]:
    """Muxes the parts into the package and places it; the work directory
    goes once the package is placed or cannot be made."""
    started_at = time.time()
    # The part that failed first says why; those that skipped repeat it.
    failures = sorted((p for p in parts if "failed" in p), key=lambda p: p.get("skipped", False))
    try:
        if failures:
            result = stopped_result(output_dir, 0.0, failures[0]["failed"], outcome=FAILED)
        else:
            result = _split.stitch(input, output_dir, work_dir, parts, title, **package)
    finally:
        _split.discard_work(work_dir)
    chunks = [
        {
            "start": part["start"] / frame_rate,
            "end": None if part["end"] < 0 else part["end"] / frame_rate,
            "worker": part["worker"],
        }
        for part in sorted((p for p in parts if "start" in p), key=lambda p: p["start"])
    ]
    if result["outcome"] in (FAILED, STOPPED):
        LOGGER.warning("job %s %s: %s", self.request.id, result["outcome"], _reason(result))
    return {**result, "split": "chunks", "chunks": chunks, "started_at": started_at, "finished_at": time.time()}


@app.task(name="vantrel.discard_work")
def discard_work(work_dir: str) -> None:
    """A part failed: the job is over and its intermediates go."""
    _split.discard_work(work_dir)


@app.task(
    bind=True,
    name="vantrel.encode_package",
    max_retries=RETRIES_ON_WORKER_LOST,
    # A job sent again after its worker died may start at once.
    default_retry_delay=0,
)
def encode_package(
    self: Task,
    input: str,
    output_dir: str,
    renditions: Iterable[str] = DEFAULT_RENDITIONS,
    bitrates: Iterable[int] | None = None,
    key_info: str | None = None,
    key_uri: str | None = None,
    key_path: str | None = None,
    upscale: bool = False,
) -> dict[str, Any]:
    """Encodes `input` into OUTPUT_DIR/master.m3u8, whole or not at all.

    Paths must mean the same on every worker (absolute, on shared storage).
    The key: `key_info`, a key info file, or `key_uri` and `key_path`, for a
    fresh key made at `key_path`, outside OUTPUT_DIR. `upscale` makes every
    requested rendition, as encode() takes it.

    Returns EncodeResult.to_dict() with "outcome" ("encoded", "already
    complete", "failed" or "stopped"), "output_dir", and "started_at" and
    "finished_at" (the worker's clock, seconds since the epoch) added."""
    return _encode_whole(
        self,
        input,
        output_dir,
        renditions=renditions,
        bitrates=bitrates,
        key_info=key_info,
        key_uri=key_uri,
        key_path=key_path,
        upscale=upscale,
    )


def _encode_whole(self: Task, input: str, output_dir: str, **package: Any) -> dict[str, Any]:
    started_at, started = time.time(), time.monotonic()
    try:
        result = make_package(input, output_dir, **package)
    except SoftTimeLimitExceeded:
        limit = (self.request.timelimit or (None, None))[1] or SOFT_TIME_LIMIT
        result = stopped_result(
            output_dir, time.monotonic() - started, f"stopped by its time limit of {limit:g} s; no files were left"
        )
    # Celery logs the task as succeeded whatever the outcome: the log must
    # still show the jobs that made no package, and why.
    if result["outcome"] in (FAILED, STOPPED):
        LOGGER.warning("job %s %s: %s", self.request.id, result["outcome"], _reason(result))
    return {**result, "started_at": started_at, "finished_at": time.time()}


def _reason(result: dict[str, Any]) -> str:
    failures = [
        f"{r['name']}: {r['error']['step']}: {r['error']['message']}" for r in result["renditions"] if r["error"]
    ]
    return "; ".join(filter(None, [result["error"], *failures])) or "no reason given"
