"""HLS Video Transcoding C++ Engine Binding that gave the real power of c++ in python"""

from collections.abc import Iterable
from typing import Any, NewType

__version__: str

def hls_encoder(
    input: str | bytes,
    output: str | bytes,
    resolution: Iterable[str | bytes] = ["1080p", "720p", "480p", "360p"],
    bitrate: Iterable[int] = [5000000, 2500000, 1000000, 400000],
    key: str | bytes = "enc.keyinfo",
) -> None:
    """Transcode video to HLS with dynamic ABR"""

# An opaque handle of a running job (a capsule).
Job = NewType("Job", object)

def start_job(
    input: str | bytes,
    output: str | bytes,
    renditions: Iterable[str | bytes],
    bitrates: Iterable[int],
    key_info: str | bytes,
    upscale: bool,
    subtitles: Iterable[tuple[str | bytes, str]] = (),
) -> Job: ...
def start_sound_part(input: str | bytes, work_dir: str | bytes, title: dict[str, Any]) -> Job: ...
def start_pictures_part(
    input: str | bytes,
    work_dir: str | bytes,
    first_tick: int,
    end_tick: int,
    seek_position: int,
    renditions: Iterable[str | bytes],
    bitrates: Iterable[int],
    upscale: bool,
    title: dict[str, Any],
) -> Job: ...
def start_stitch(
    input: str | bytes,
    output: str | bytes,
    renditions: Iterable[str | bytes],
    bitrates: Iterable[int],
    key_info: str | bytes,
    upscale: bool,
    work_dir: str | bytes,
    window_starts: Iterable[int],
    sound_tracks: int,
    title: dict[str, Any],
) -> Job: ...
def wait_for_job(job: Job, seconds: float) -> bool: ...
def take_job_lines(job: Job) -> list[tuple[int, bytes, bool]]: ...
def job_progress(job: Job) -> tuple[int, list[tuple[str, int, int]]]: ...
# (name, language, default, describes video, playlist, created, step,
# reason, peak bps, average bps, input stream index)
AudioTrackOutcome = tuple[str, str, bool, bool, bytes, bool, bytes, bytes, int, int, int]
# (name, language, default, forced, playlist, created, step, reason, input
# stream index or -1, sidecar path)
SubtitleOutcome = tuple[str, str, bool, bool, bytes, bool, bytes, bytes, int, bytes]

def finish_job(
    job: Job,
) -> tuple[
    list[tuple[str, bytes, bool, bytes, bytes, int, int, str, int, int, float, int, int, str]],
    bool,
    bytes,
    int,
    str,
    str,
    int,
    list[AudioTrackOutcome],
    list[SubtitleOutcome],
    list[tuple[int, str, str]],
]: ...
def stop_job(job: Job) -> None: ...
def probe_split(input: str | bytes, subtitles: Iterable[tuple[str | bytes, str]] = ()) -> dict[str, Any]: ...
def ladder() -> list[tuple[str, int, int, int]]: ...
def set_library_log_level(level: int) -> None: ...
