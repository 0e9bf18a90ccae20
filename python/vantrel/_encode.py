"""encode(): the engine behind a surface that returns what happened, reports
progress, logs through `logging` and can be stopped.

The job runs on a native thread of its own. The calling thread waits for it
in steps of at most half a second without the interpreter lock, and between
steps, with the lock, hands the job's log lines to the "vantrel" logger, calls
the progress callable and watches the time limit. Any exception raised there
(KeyboardInterrupt from Ctrl-C included) stops the job, whose threads are
joined and whose files are removed before the exception goes on."""

from __future__ import annotations

import dataclasses
import functools
import logging
import math
import operator
import os
import re
import time
from collections.abc import Callable, Iterable
from typing import Any, Union

from vantrel import _engine

LOGGER = logging.getLogger("vantrel")
# FFmpeg's own lines of the job, which a library must not print.
FFMPEG_LOGGER = logging.getLogger("vantrel.ffmpeg")

# The engine's levels as logging's. SUCCESS lines report a variant or a
# package made, which is information; the record keeps the engine's own name
# of the level in its `vantrel_level` attribute.
_LEVELS = {
    0: (logging.INFO, "INFO"),
    1: (logging.WARNING, "WARN"),
    2: (logging.ERROR, "ERROR"),
    3: (logging.INFO, "SUCCESS"),
}

# FFmpeg's av_log levels (AV_LOG_ERROR, AV_LOG_WARNING) as logging's: a fatal
# or panic line is an error; its information, verbose and debug lines, of
# which a default job makes about a hundred, are for debugging.
_AV_LOG_FATAL = 8
_AV_LOG_ERROR = 16
_AV_LOG_WARNING = 24


def _ffmpeg_level(av_level: int) -> int:
    if av_level <= _AV_LOG_FATAL:
        return logging.CRITICAL
    if av_level <= _AV_LOG_ERROR:
        return logging.ERROR
    if av_level <= _AV_LOG_WARNING:
        return logging.WARNING
    return logging.DEBUG


DEFAULT_RENDITIONS = ("1080p", "720p", "480p", "360p")
DEFAULT_KEY_INFO = "enc.keyinfo"
# How long the calling thread waits for the job between two looks at it.
POLL_SECONDS = 0.5
_BITRATE_MAX = 2**31 - 1

StrPath = Union[str, "os.PathLike[str]"]
# What the native job reports once it ended: each rendition's (name, playlist,
# created, step, reason, pictures, microseconds written, skip reason, width,
# height, frame rate, peak and average bits per second, codecs), whether the
# master playlist was written, the job's error and the input's duration (-1
# unknown), the input's colours and what was done to them, and whether a
# split job's sound part wrote its sound.
RenditionOutcome = tuple[str, bytes, bool, bytes, bytes, int, int, str, int, int, float, int, int, str]
JobOutcome = tuple[list[RenditionOutcome], bool, bytes, int, str, str, int, list[Any], list[Any], list[Any]]


@dataclasses.dataclass(frozen=True)
class Stitch:
    """A split job's stitch (vantrel._split), which a run makes instead of
    encoding the title: the windows starting at `window_starts` and the
    `sound_tracks` audio tracks, muxed from their intermediates in `work_dir`
    on the plan's `title`."""

    work_dir: str
    window_starts: tuple[int, ...]
    sound_tracks: int
    title: dict[str, Any]

    def engine_arguments(self) -> tuple[Any, ...]:
        return (os.fsencode(self.work_dir), list(self.window_starts), self.sound_tracks, self.title)


class EncodeTimeout(TimeoutError):
    """The job ran longer than its `timeout`; it was stopped and its files removed."""


@dataclasses.dataclass(frozen=True)
class RenditionError:
    """Why a rendition was not created: the step that failed and FFmpeg's text for the cause."""

    step: str
    message: str


@dataclasses.dataclass(frozen=True)
class RenditionResult:
    """One requested rendition: its variant playlist, whether it was created (or skipped, and
    why), how far it got, and what the created variant is: frame size, frame rate, peak and
    average bit rate in bits per second as measured from its segments, and its RFC 6381 codecs."""

    name: str
    playlist: str
    created: bool
    error: RenditionError | None
    pictures: int
    duration: float
    skipped: str | None = None
    width: int = 0
    height: int = 0
    frame_rate: float = 0.0
    peak_bitrate: int = 0
    average_bitrate: int = 0
    codecs: str | None = None


@dataclasses.dataclass(frozen=True)
class TrackResult:
    """An audio or subtitle track of the package: its language (an RFC 5646 tag, or None), the
    name players list, its dispositions, and its rendition's playlist; an audio track without
    a playlist is the one sound muxed into every variant."""

    kind: str  # "audio" or "subtitles"
    language: str | None
    name: str
    default: bool
    forced: bool
    playlist: str | None
    created: bool
    error: RenditionError | None
    describes_video: bool = False  # an audio description, for the visually impaired
    source: str = ""  # "stream 2", or the sidecar file's path


@dataclasses.dataclass(frozen=True)
class LeftOutStream:
    """A stream of the input the package does not carry, and why."""

    stream: int
    kind: str
    reason: str


@dataclasses.dataclass(frozen=True)
class EncodeResult:
    """What one encode job did."""

    renditions: tuple[RenditionResult, ...]
    master_playlist: str | None
    elapsed: float
    error: str | None
    # The input's colours ("HLG BT.2020 10-bit") and what the job did to them
    # ("tone-mapped to SDR BT.709", "converted to SDR BT.709" or "none");
    # None when the input could not be probed.
    source_colour: str | None = None
    colour_conversion: str | None = None
    audio: tuple[TrackResult, ...] = ()
    subtitles: tuple[TrackResult, ...] = ()
    left_out: tuple[LeftOutStream, ...] = ()

    @property
    def ok(self) -> bool:
        """Every requested rendition was created or skipped (its frame larger than the source),
        at least one was created, every audio and subtitle rendition was created, and the job
        had no error."""
        return (
            any(r.created for r in self.renditions)
            and self.error is None
            and all(r.created or r.skipped for r in self.renditions)
            and all(track.created for track in self.audio)
            and all(track.created for track in self.subtitles)
        )

    def to_dict(self) -> dict[str, Any]:
        """Plain JSON-able data: the fields, with `ok`, renditions and tracks as lists of dicts."""
        return {
            "ok": self.ok,
            "renditions": [dataclasses.asdict(rendition) for rendition in self.renditions],
            "master_playlist": self.master_playlist,
            "elapsed": self.elapsed,
            "error": self.error,
            "source_colour": self.source_colour,
            "colour_conversion": self.colour_conversion,
            "audio": [dataclasses.asdict(track) for track in self.audio],
            "subtitles": [dataclasses.asdict(track) for track in self.subtitles],
            "left_out": [dataclasses.asdict(stream) for stream in self.left_out],
        }


@dataclasses.dataclass(frozen=True)
class Progress:
    """How far a running job is: per rendition and overall, 0 to 1, and the seconds left."""

    renditions: dict[str, float]
    overall: float | None
    remaining: float | None


def encode(
    input: StrPath,
    output: StrPath,
    *,
    renditions: Iterable[str] = DEFAULT_RENDITIONS,
    bitrates: Iterable[int] | None = None,
    key_info: StrPath = DEFAULT_KEY_INFO,
    progress: Callable[[Progress], object] | None = None,
    timeout: float | None = None,
    upscale: bool = False,
    subtitles: Iterable[StrPath | tuple[StrPath, str]] = (),
    _stitch: Stitch | None = None,
) -> EncodeResult:
    """Transcodes `input` into an encrypted HLS package whose master playlist is `output`.

    The picture is turned upright as the video's rotation says, each rendition keeps the
    displayed aspect ratio inside its row's frame, and the output keeps the source's frame rate
    (halved above 30 fps). A rendition whose frame would be larger than the source is skipped
    (reported in `skipped`), except the smallest requested one, made at most at the source's
    size; `upscale=True` makes every requested rendition. The master playlist declares each
    variant's measured peak and average bit rate, its codecs and frame rate.

    Every picture becomes 8-bit SDR BT.709 (HDR tone-mapped). Every audio stream becomes a
    track: one is muxed into every variant, two or more are audio renditions of their own.
    Every text subtitle stream, and every file of `subtitles` (a path, or a path and its
    language; without one, the language in the file's name, as in talk.de.srt), becomes a
    WebVTT subtitle rendition.

    Releases the interpreter lock while the engine works. Media failures are
    reported in the result, never raised; wrong arguments raise TypeError or
    ValueError before any work. Ctrl-C, an exception from `progress` and
    `timeout` (EncodeTimeout) stop the job: its threads are joined, no master
    playlist is left and its variant files are removed before the exception
    goes on."""
    request = (
        _path_argument("input", input),
        _path_argument("output", output),
        _renditions_argument(renditions),
        _bitrates_argument(bitrates),
        _path_argument("key_info", key_info),
        _flag_argument("upscale", upscale),
    )
    sidecars = subtitles_argument(subtitles)
    if progress is not None and not callable(progress):
        raise TypeError(f"progress must be callable or None, not {type(progress).__name__}")
    limit = _timeout_argument(timeout)
    if _stitch is None:
        start = functools.partial(_engine.start_job, *request, sidecars)
    else:
        start = functools.partial(_engine.start_stitch, *request, *_stitch.engine_arguments())
    outcome, elapsed = run_job(start, progress, limit)
    return _result(outcome, os.fspath(output), elapsed)


def run_job(
    start: Callable[[], Any], progress: Callable[[Progress], object] | None = None, limit: float | None = None
) -> tuple[JobOutcome, float]:
    """Starts a job of the engine (a whole title or a part of a split one)
    and waits for it, handing its lines to the loggers and its progress to
    `progress`; any exception stops it first. Returns what it did and how
    long it took."""
    started = time.monotonic()
    deadline = None if limit is None else started + limit
    job = start()
    try:
        while not _engine.wait_for_job(job, _wait_seconds(deadline)):
            _log_lines(_engine.take_job_lines(job))
            if deadline is not None and time.monotonic() >= deadline:
                raise EncodeTimeout(f"the encode job took longer than {limit:g} s and was stopped")
            if progress is not None:
                progress(_running_progress(_engine.job_progress(job), time.monotonic() - started))
        outcome = _engine.finish_job(job)
        _log_lines(_engine.take_job_lines(job))
        elapsed = time.monotonic() - started
        if progress is not None:
            progress(_final_progress(outcome[0], outcome[3]))
    except BaseException:
        _engine.stop_job(job)
        _log_lines(_engine.take_job_lines(job))
        raise
    return outcome, elapsed


def _path_argument(name: str, value: object) -> bytes:
    try:
        path = os.fspath(value)  # type: ignore[call-overload]
    except TypeError:
        path = None
    if not isinstance(path, str):
        raise TypeError(f"{name} must be a str or an os.PathLike[str], not {type(value).__name__}")
    if "\0" in path:
        raise ValueError(f"{name} must not contain a NUL character")
    # The engine takes paths as bytes: names the file system gave in any
    # encoding come back unchanged.
    return os.fsencode(path)


def _items(name: str, value: object, what: str) -> list[Any]:
    """The items of an iterable argument; a bare str or bytes is refused."""
    try:
        if isinstance(value, (str, bytes)):
            raise TypeError
        items = iter(value)  # type: ignore[call-overload]
    except TypeError:
        raise TypeError(f"{name} must be an iterable of {what}, not {type(value).__name__}") from None
    return list(items)


def _renditions_argument(renditions: object) -> list[str]:
    names = _items("renditions", renditions, "names such as ('720p', '360p')")
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"rendition names must be str, not {type(name).__name__}")
    return names


def _bitrates_argument(bitrates: object) -> list[int]:
    if bitrates is None:
        return []
    rates = []
    for bitrate in _items("bitrates", bitrates, "ints (bits per second)"):
        if isinstance(bitrate, bool):
            raise TypeError("bitrates must be ints (bits per second), not bool")
        try:
            rate = operator.index(bitrate)
        except TypeError:
            raise TypeError(f"bitrates must be ints (bits per second), not {type(bitrate).__name__}") from None
        if not 0 < rate <= _BITRATE_MAX:
            raise ValueError(f"a bitrate must be between 1 and {_BITRATE_MAX} bits per second, not {rate}")
        rates.append(rate)
    return rates


# A language tag (RFC 5646's common forms: "de", "pt-BR", "zh-Hant"), and
# one at the end of a sidecar file's name: talk.de.srt, film.pt-BR.vtt.
LANGUAGE_TAG = re.compile(r"[A-Za-z]{2,3}(?:-[A-Za-z0-9]{2,8})*")
_LANGUAGE_IN_NAME = re.compile(r"\.(%s)$" % LANGUAGE_TAG.pattern)


def subtitles_argument(subtitles: object) -> list[tuple[bytes, str]]:
    """(path, language) of each sidecar subtitle file, each one readable, its
    language as given, else the one in its name, else ""; raises TypeError,
    ValueError or the OSError that names the file."""
    sidecars = []
    for item in _items("subtitles", subtitles, "paths or (path, language) pairs"):
        # A pair may come as a list: JSON carries the queue's jobs.
        if isinstance(item, (tuple, list)):
            if len(item) != 2 or not isinstance(item[1], str):
                raise TypeError(f"a subtitle file with its language is a (path, str) pair, not {item!r}")
            path, language = _path_argument("subtitles", item[0]), item[1]
            # "" says the language is not known.
            if language and not LANGUAGE_TAG.fullmatch(language):
                raise ValueError(f"not a language tag such as 'de' or 'pt-BR': {language!r}")
        else:
            path = _path_argument("subtitles", item)
            match = _LANGUAGE_IN_NAME.search(os.path.splitext(os.fsdecode(path))[0])
            language = match.group(1) if match else ""
        # Refused now, naming the file, rather than failing a rendition later.
        with open(os.fsdecode(path), "rb"):
            pass
        sidecars.append((path, language))
    return sidecars


def _flag_argument(name: str, value: object) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be a bool, not {type(value).__name__}")
    return value


def _timeout_argument(timeout: object) -> float | None:
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"timeout must be a number of seconds or None, not {type(timeout).__name__}")
    if math.isnan(timeout) or timeout <= 0:
        raise ValueError(f"timeout must be a positive number of seconds, not {timeout}")
    return float(timeout)


def _wait_seconds(deadline: float | None) -> float:
    if deadline is None:
        return POLL_SECONDS
    return max(0.0, min(POLL_SECONDS, deadline - time.monotonic()))


def _text(message: bytes) -> str:
    return message.decode("utf-8", "backslashreplace")


def _log_lines(lines: list[tuple[int, bytes, bool]]) -> None:
    for level, message, from_ffmpeg in lines:
        if from_ffmpeg:
            logging_level = _ffmpeg_level(level)
            if FFMPEG_LOGGER.isEnabledFor(logging_level):
                FFMPEG_LOGGER.log(logging_level, _text(message))
            continue
        logging_level, name = _LEVELS.get(level, _LEVELS[0])
        if LOGGER.isEnabledFor(logging_level):
            LOGGER.log(logging_level, _text(message), extra={"vantrel_level": name})


def _fraction(written_us: int, duration_us: int) -> float:
    if duration_us <= 0:
        return 0.0
    return min(written_us / duration_us, 1.0)


def _progress_of(fractions: dict[str, float], known: bool, remaining: float | None) -> Progress:
    overall = sum(fractions.values()) / len(fractions) if known and fractions else None
    return Progress(fractions, overall, remaining)


def _running_progress(snapshot: tuple[int, list[tuple[str, int, int]]], elapsed: float) -> Progress:
    duration_us, renditions = snapshot
    fractions = {name: _fraction(written_us, duration_us) for name, _, written_us in renditions}
    progress = _progress_of(fractions, duration_us > 0, None)
    if progress.overall:
        # The rate so far, carried on to the end.
        return dataclasses.replace(progress, remaining=elapsed * (1 - progress.overall) / progress.overall)
    return progress


def _final_progress(renditions: list[RenditionOutcome], duration_us: int) -> Progress:
    # Once the job ended, a created rendition is whole whatever the input
    # claimed to last; a failed one stays where it stopped.
    fractions = {
        name: 1.0 if created else _fraction(written_us, duration_us)
        for name, _, created, _, _, _, written_us, skipped, *_ in renditions
        if not skipped
    }
    return _progress_of(fractions, True, 0.0)


def _result(outcome: JobOutcome, output: str, elapsed: float) -> EncodeResult:
    renditions, master_written, error, _, source_colour, colour_conversion, _, audio, subtitles, left_out = outcome
    videos = tuple(_rendition_result(rendition) for rendition in renditions)
    # A single track has no rendition of its own: it is made with the variants.
    muxed = any(video.created for video in videos)
    return EncodeResult(
        renditions=videos,
        master_playlist=output if master_written else None,
        elapsed=elapsed,
        error=_text(error) or None,
        source_colour=source_colour or None,
        colour_conversion=colour_conversion or None,
        audio=tuple(_audio_result(track, muxed) for track in audio),
        subtitles=tuple(_subtitle_result(track) for track in subtitles),
        left_out=tuple(LeftOutStream(*stream) for stream in left_out),
    )


def _audio_result(track: tuple[Any, ...], muxed: bool) -> TrackResult:
    name, language, default, describes_video, playlist, created, step, reason, _, _, stream = track
    return TrackResult(
        kind="audio", language=language or None, name=name, default=default, forced=False,
        playlist=os.fsdecode(playlist) or None, created=created if playlist else muxed,
        error=RenditionError(_text(step), _text(reason)) if playlist and not created else None,
        describes_video=describes_video, source=f"stream {stream}",
    )


def _subtitle_result(track: tuple[Any, ...]) -> TrackResult:
    name, language, default, forced, playlist, created, step, reason, stream, sidecar = track
    return TrackResult(
        kind="subtitles", language=language or None, name=name, default=default, forced=forced,
        playlist=os.fsdecode(playlist), created=created,
        error=None if created else RenditionError(_text(step), _text(reason)),
        source=f"stream {stream}" if stream >= 0 else os.fsdecode(sidecar),
    )


def _rendition_result(outcome: RenditionOutcome) -> RenditionResult:
    name, playlist, created, step, reason, pictures, written_us, skipped, *figures = outcome
    width, height, frame_rate, peak, average, codecs = figures
    return RenditionResult(
        name=name,
        playlist=os.fsdecode(playlist),
        created=created,
        error=None if created or skipped else RenditionError(_text(step), _text(reason)),
        pictures=pictures,
        duration=written_us / 1e6,
        skipped=skipped or None,
        width=width,
        height=height,
        frame_rate=round(frame_rate, 3),
        peak_bitrate=peak if created else 0,
        average_bitrate=average if created else 0,
        codecs=codecs if created and codecs else None,
    )
