"""One title in chunks: where they start and end, the parts that encode them
into intermediates in the job's work directory, and how a finished part is
known from what it wrote. The job queue (vantrel.queue) runs each part as a
task; nothing here knows of Celery.

A part's files are complete when its manifest, written last, names them
with sizes and SHA-256 digests that the files on disk still match: a file
that is merely there (a dead worker's partial write, a twin delivery's
half-written file) is never taken for a finished part."""

from __future__ import annotations

import contextlib
import dataclasses
import fcntl
import hashlib
import json
import os
import shutil
import socket
from collections.abc import Callable, Iterable, Iterator
from typing import Any

from vantrel import _engine
from vantrel._encode import DEFAULT_RENDITIONS, Progress, Stitch, run_job, subtitles_argument
from vantrel._package import JobStopped, make_package, placed_result, planned_renditions
from vantrel._placement import final_path

# Long enough that the lead-in each chunk decodes before its start and the
# task's own cost stay small beside its encode; a multiple of the 6 s segment.
DEFAULT_CHUNK_SECONDS = 30.0
# A title shorter than this many chunks is encoded whole when the caller left
# the choice to us: its chunks would save little and cost their overheads.
SPLIT_ABOVE_CHUNKS = 3
WORK_INFIX = ".work-"


# In the work directory once a part could not be made, or the job was
# stopped: why, for the other parts, which then skip or stop their work.
FAILURE_NOTE = "failed.txt"
STOP_NOTE = "stopped.txt"
# Tells a part whether its job was stopped from outside, and why.
StopReason = Callable[[], "str | None"]


class PartFailed(RuntimeError):
    """A part could not make its intermediates; the message says why."""


def _never_stopped() -> str | None:
    return None


@dataclasses.dataclass(frozen=True)
class SplitPlan:
    """The chunks of a title, or why it is encoded whole (`windows` empty),
    and what every part takes as the title's facts (its clock's origin and
    frame rate, its colours)."""

    unsplittable: str | None
    # [first_tick, end_tick) on the output grid, the last ending at -1 (the
    # end), and the byte a chunk's part starts reading at (a key picture a
    # second or more before the chunk), or -1 where the container's index
    # finds one.
    windows: list[tuple[int, int, int]]
    frame_rate: float = 0.0
    seconds: float = 0.0  # the title's stated duration
    title: dict[str, Any] = dataclasses.field(default_factory=dict)


def plan_split(input: str, chunk_seconds: float | None, sidecars: list[tuple[bytes, str]] | None = None) -> SplitPlan:
    """Chunk boundaries at multiples of the segment, so that every chunk
    starts with a keyframe that starts a segment of the whole-title package.
    `sidecars`, the job's subtitle files, go into the title the parts take."""
    if chunk_seconds is not None and chunk_seconds <= 0:
        return SplitPlan("splitting is switched off (chunk_seconds 0)", [])
    probe = _engine.probe_split(os.fsencode(input), sidecars or [])
    if probe["unsplittable"]:
        return SplitPlan(probe["unsplittable"], [])
    title, duration_us, segment_ticks = _plain_title(probe["title"]), probe["duration_us"], probe["segment_pictures"]
    num, den = title["frame_rate"]
    frame_rate = num / den
    segment_seconds = segment_ticks / frame_rate
    wanted = chunk_seconds or DEFAULT_CHUNK_SECONDS
    chunk_ticks = max(1, round(wanted / segment_seconds)) * segment_ticks
    total_ticks = duration_us * num // (den * 1_000_000)
    chunks = total_ticks / chunk_ticks
    if chunk_seconds is None and chunks <= SPLIT_ABOVE_CHUNKS:
        return SplitPlan(
            f"the title lasts {duration_us / 1e6:.1f} s, not more than {SPLIT_ABOVE_CHUNKS} chunks "
            f"of {chunk_ticks / frame_rate:g} s",
            [],
        )
    # The whole-title encode's segments start at its first picture (a
    # source's pictures may start a little after its sound), every chunk but
    # the first at one of them. A last chunk shorter than a segment joins the
    # one before: the stated duration may be a little longer than the pictures.
    first = probe["first_picture_tick"]
    starts = [0, *(start for start in range(first + chunk_ticks, total_ticks, chunk_ticks)
                   if total_ticks - start >= segment_ticks)]
    if len(starts) < 2:
        return SplitPlan("the title is one chunk long", [])
    seeks = [_read_from(probe["key_pictures"], start, round(frame_rate)) for start in starts]
    return SplitPlan(None, list(zip(starts, [*starts[1:], -1], seeks)), frame_rate, duration_us / 1e6, title)


def _plain_title(title: dict[str, Any]) -> dict[str, Any]:
    """The engine's title as JSON carries it to the parts: sidecar paths as
    str, as the file system's bytes decode."""
    subtitles = [{**track, "sidecar": os.fsdecode(track["sidecar"])} for track in title["subtitles"]]
    return {**title, "subtitles": subtitles}


def _engine_title(title: dict[str, Any]) -> dict[str, Any]:
    subtitles = [{**track, "sidecar": os.fsencode(track["sidecar"])} for track in title["subtitles"]]
    return {**title, "subtitles": subtitles}


def _read_from(key_pictures: list[tuple[int, int]], start: int, second: int) -> int:
    """The byte of the last key picture a second or more before `start`
    (the first one where none is), or -1 without a list of them."""
    if start == 0 or not key_pictures:
        return -1
    before = [position for tick, position in key_pictures if tick <= start - second]
    return before[-1] if before else key_pictures[0][1]


def work_directory(output_dir: str, job_id: str) -> str:
    """The job's own directory for intermediates, beside its output on the
    same storage."""
    parent, name = os.path.split(final_path(output_dir))
    return os.path.join(parent, f".{name}{WORK_INFIX}{job_id}")


def discard_work(work_dir: str) -> None:
    shutil.rmtree(work_dir, ignore_errors=True)


def encode_sound(
    input: str, work_dir: str, title: dict[str, Any], stop_reason: StopReason = _never_stopped
) -> dict[str, Any]:
    """The whole title's sound, placed and loudness-normalised by the source
    stage's own code on the plan's clock, as one AAC intermediate (none for a
    silent title)."""

    def make() -> dict[str, Any]:
        outcome, _ = run_job(
            lambda: _engine.start_sound_part(os.fsencode(input), os.fsencode(work_dir), _engine_title(title)),
            _watch(work_dir, stop_reason),
        )
        _, _, error, _, _, _, sound_tracks, *_ = outcome
        if error:
            raise PartFailed(f"the sound: {error.decode('utf-8', 'backslashreplace')}")
        files = [f"sound.{track}.nut" for track in range(sound_tracks)]
        return write_manifest(manifest, files, sound_tracks=sound_tracks)

    manifest = os.path.join(work_dir, "sound.json")
    return _made_once(manifest, make)


def encode_chunk(
    input: str,
    work_dir: str,
    window: tuple[int, int, int],
    renditions: Iterable[str],
    bitrates: Iterable[int] | None,
    upscale: bool,
    worker: str,
    title: dict[str, Any],
    stop_reason: StopReason = _never_stopped,
) -> dict[str, Any]:
    """Every rendition's pictures of one window, from one decode that starts
    at the keyframe before it, on the plan's clock, as one intermediate per
    rendition."""
    first, end, seek_position = window

    def make() -> dict[str, Any]:
        outcome, _ = run_job(
            lambda: _engine.start_pictures_part(
                os.fsencode(input), os.fsencode(work_dir), first, end, seek_position, list(renditions),
                list(bitrates or []), upscale, _engine_title(title)),
            _watch(work_dir, stop_reason),
        )
        renditions_made, _, error, *_ = outcome
        failures = [
            f"{name}: {step.decode('utf-8', 'backslashreplace')}: {reason.decode('utf-8', 'backslashreplace')}"
            for name, _, created, step, reason, _, _, skipped, *_ in renditions_made
            if not created and not skipped
        ]
        created = [(name, pictures) for name, _, made, _, _, pictures, *_ in renditions_made if made]
        if error or failures or not created:
            reason = "; ".join(filter(None, [error.decode("utf-8", "backslashreplace"), *failures]))
            raise PartFailed(f"the chunk from {first} to {end}: {reason or 'no rendition was made'}")
        files = [f"{name}.{first}.nut" for name, _ in created]
        return write_manifest(manifest, files, start=first, end=end, pictures=dict(created), worker=worker)

    manifest = os.path.join(work_dir, f"chunk-{first}.json")
    return _made_once(manifest, make)


def stitch(
    input: str,
    output_dir: str,
    work_dir: str,
    parts: list[dict[str, Any]],
    title: dict[str, Any],
    **package: Any,
) -> dict[str, Any]:
    """Muxes the parts' intermediates into the package, placed whole or not
    at all by make_package; checks first that every part is still whole. A
    stitch delivered again once its package was placed (its work directory
    gone with it) finds that package and returns it."""
    planned = planned_renditions(list(package.get("renditions", DEFAULT_RENDITIONS)))
    sidecars = subtitles_argument(package.get("subtitles", ()))
    placed = placed_result(final_path(output_dir), input, planned, sidecars)
    if placed is not None:
        return placed
    for part in parts:
        if complete_manifest(part["manifest"]) is None:
            raise PartFailed(f"the intermediates of {os.path.basename(part['manifest'])} changed after they were made")
    sound = next(part for part in parts if "sound_tracks" in part)
    chunks = sorted((part for part in parts if "start" in part), key=lambda part: part["start"])
    job = Stitch(work_dir, tuple(chunk["start"] for chunk in chunks), sound["sound_tracks"], _engine_title(title))
    return make_package(input, output_dir, stitch=job, **package)


def run_part(work_dir: str, make: Callable[[], dict[str, Any]]) -> dict[str, Any]:
    """A part's record from `make`, or {"failed": reason, "stopped": bool}
    when it cannot be made, or the job was stopped, or another part of the
    job already failed (then also "skipped"); the first failure or stop is
    noted in the work directory, so that the other parts skip or stop."""
    noted = noted_end(work_dir)
    if noted is not None:
        return {**noted, "skipped": True}
    try:
        return make()
    except PartFailed as error:
        return note_end(work_dir, str(error), stopped=False)
    except JobStopped as stop:
        return note_end(work_dir, str(stop), stopped=True)


def note_end(work_dir: str, reason: str, stopped: bool) -> dict[str, Any]:
    """Notes why the job ends without a package, unless a part already did;
    returns the part's record."""
    with contextlib.suppress(FileExistsError, FileNotFoundError), open(
        os.path.join(work_dir, STOP_NOTE if stopped else FAILURE_NOTE), "x", encoding="utf-8"
    ) as file:
        file.write(reason)
    return {"failed": reason, "stopped": stopped}


def noted_end(work_dir: str) -> dict[str, Any] | None:
    """Why the job ends without a package, as a part noted it; a stop first."""
    for name, stopped in ((STOP_NOTE, True), (FAILURE_NOTE, False)):
        with contextlib.suppress(OSError), open(os.path.join(work_dir, name), encoding="utf-8") as file:
            return {"failed": file.read(), "stopped": stopped}
    return None


def _watch(work_dir: str, stop_reason: StopReason) -> Callable[[Progress], None]:
    """encode()'s progress call for a part: stops the part's encode, within a
    second, once the job was stopped or another part ended it."""

    def watch(_: Progress) -> None:
        reason = stop_reason()
        if reason is not None:
            raise JobStopped(reason)
        noted = noted_end(work_dir)
        if noted is not None:
            raise (JobStopped if noted["stopped"] else PartFailed)(noted["failed"])

    return watch



def write_manifest(path: str, files: list[str], **facts: Any) -> dict[str, Any]:
    """Records the part's files as they are now, with the worker that made
    them (the machine's name unless `facts` name it); written last, under a temporary name and renamed, so that it only
    ever exists whole."""
    directory = os.path.dirname(path)
    record = {
        "manifest": path,
        "files": {name: _fingerprint(os.path.join(directory, name)) for name in files},
        "worker": socket.gethostname(),
        **facts,
    }
    temporary = f"{path}.partial"
    with open(temporary, "w", encoding="utf-8") as file:
        json.dump(record, file)
        file.flush()
        os.fsync(file.fileno())
    os.replace(temporary, path)
    return record


def complete_manifest(path: str) -> dict[str, Any] | None:
    """The part's record when its manifest exists and every file it names
    still has the recorded size and digest; None otherwise."""
    try:
        with open(path, encoding="utf-8") as file:
            record = json.load(file)
    except (OSError, ValueError):
        return None
    directory = os.path.dirname(path)
    for name, fingerprint in record.get("files", {}).items():
        try:
            if _fingerprint(os.path.join(directory, name)) != fingerprint:
                return None
        except OSError:
            return None
    return dict(record)


def _fingerprint(path: str) -> dict[str, Any]:
    digest = hashlib.sha256()
    with open(path, "rb") as file:
        for block in iter(lambda: file.read(1 << 20), b""):
            digest.update(block)
    return {"size": os.path.getsize(path), "sha256": digest.hexdigest()}


def _made_once(manifest: str, make: Callable[[], dict[str, Any]]) -> dict[str, Any]:
    """The part's record: what an earlier run left complete, or what `make`
    writes now; one run of a part at a time."""
    with _part_lock(manifest):
        done = complete_manifest(manifest)
        if done is not None:
            return {**done, "reused": True}
        return make()


@contextlib.contextmanager
def _part_lock(manifest: str) -> Iterator[None]:
    """One run of a part at a time: a twin delivery waits, then finds the
    first one's files complete. The kernel drops the lock of a dead worker."""
    descriptor = os.open(f"{manifest}.lock", os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX)
        yield
    finally:
        os.close(descriptor)
