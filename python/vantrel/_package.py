"""make_package(), the job queue's unit of work, and what a package is: a
master playlist whose variants are all closed with every segment present,
and a small manifest of its own that says which input it was made from.
Both it and the vantrel command put their packages in place with
vantrel._placement, their keys planned by vantrel._jobkey."""

from __future__ import annotations

import dataclasses
import hashlib
import json
import os
import re
import stat
from collections.abc import Callable, Iterable
from typing import Any

from vantrel import _engine
from vantrel._encode import (
    DEFAULT_RENDITIONS,
    EncodeResult,
    Progress,
    Stitch,
    StrPath,
    _bitrates_argument,
    _flag_argument,
    _renditions_argument,
    encode,
    subtitles_argument,
)
from vantrel._jobkey import KeyPlan, job_key, plan_key
from vantrel._placement import OutputChanged, Placement, check_output_dir, final_path, is_empty_directory, placement

MASTER_PLAYLIST = "master.m3u8"
# In the package, beside its playlists: the input it was made from (size,
# modification time, a digest of its first MiB), so that a job finds its own
# package complete and never takes another title's for it. Hidden, and no
# player asks for it.
PACKAGE_MANIFEST = ".vantrel.json"
_HEAD_BYTES = 1 << 20
# What the engine names its files: the master playlist, the playlists and
# segments of the ladder's renditions, of the audio renditions and of the
# subtitle renditions; and the package's manifest.
_PACKAGE_FILE = re.compile(
    r"master\.m3u8|%s|(%s|audio_\d+)(\.m3u8|_\d{3,}\.ts)|subtitles_\d+(\.m3u8|_\d{3,}\.vtt)"
    % (re.escape(PACKAGE_MANIFEST), "|".join(re.escape(name) for name, *_ in _engine.ladder()))
)
# The playlists of the renditions the variants name by group.
_MEDIA_PLAYLIST = re.compile(r"(audio|subtitles)_\d+\.m3u8")

# What became of a job, in the "outcome" of its result.
ENCODED = "encoded"
ALREADY_COMPLETE = "already complete"
FAILED = "failed"
STOPPED = "stopped"


class JobStopped(Exception):
    """Raised from a job's progress calls to stop it from outside; the message says why."""


def encode_into(
    job: Placement, input: StrPath, sidecars: list[tuple[bytes, str]] | None = None, **options: Any
) -> EncodeResult:
    """Encodes into the job's partial directory and places the package when
    every rendition was created and OUTPUT_DIR gained nothing meanwhile (the
    result's error says what it gained otherwise). `sidecars` are the
    subtitle files, as subtitles_argument() checked them."""
    sidecars = sidecars or []
    subtitles = [(os.fsdecode(path), language) for path, language in sidecars]
    result = encode(input, os.path.join(job.partial, MASTER_PLAYLIST), subtitles=subtitles, **options)
    if result.ok:
        with open(os.path.join(job.partial, PACKAGE_MANIFEST), "w", encoding="utf-8") as file:
            json.dump(made_from(input, sidecars), file)
        try:
            job.place()
        except OutputChanged as refused:
            return dataclasses.replace(result, error=str(refused))
    return result


def made_from(input: StrPath, sidecars: list[tuple[bytes, str]]) -> dict[str, Any]:
    """What the package's manifest says it was made from: the input, and the
    subtitle files with their languages (a changed one makes another package)."""
    facts: dict[str, Any] = {"input": input_fingerprint(input)}
    if sidecars:
        facts["subtitles"] = [[input_fingerprint(path), language] for path, language in sidecars]
    return facts


def input_fingerprint(input: StrPath | bytes) -> dict[str, Any] | None:
    """What tells this input from another: its size, modification time and a
    digest of its first MiB; None for what is not a regular file."""
    try:
        info = os.stat(input)
        if not stat.S_ISREG(info.st_mode):
            return None
        with open(input, "rb") as file:
            head = hashlib.sha256(file.read(_HEAD_BYTES)).hexdigest()
    except (OSError, ValueError):
        return None
    return {"size": info.st_size, "mtime_ns": info.st_mtime_ns, "head_sha256": head}


def relocated(result: EncodeResult, directory: str, placed: bool) -> EncodeResult:
    """The result with its paths in `directory`, where the package is (or
    would have been) after the rename."""

    def moved(items: tuple[Any, ...]) -> tuple[Any, ...]:
        return tuple(
            dataclasses.replace(item, playlist=os.path.join(directory, os.path.basename(item.playlist)))
            if item.playlist else item
            for item in items
        )

    return dataclasses.replace(
        result,
        renditions=moved(result.renditions),
        audio=moved(result.audio),
        subtitles=moved(result.subtitles),
        master_playlist=os.path.join(directory, MASTER_PLAYLIST) if placed else None,
    )


def holds_only_a_package(directory: str) -> bool:
    """Whether `directory` holds a complete package and, besides it, only files
    named as the engine names its own (an earlier job's leftovers)."""
    lines = _playlist_lines(os.path.join(directory, MASTER_PLAYLIST))
    if lines is None:
        return False
    listed = [os.path.splitext(uri)[0] for uri in _uris(lines)]
    # A master playlist naming what no job of ours makes is not ours.
    if not set(listed) <= set(_LADDER) or complete_variants(directory, listed) is None:
        return False
    return not foreign_files(directory)


def foreign_files(directory: str) -> list[str]:
    """The names in `directory` that are not named as the engine names its files."""
    return sorted(entry.name for entry in os.scandir(directory)
                  if not (entry.is_file(follow_symlinks=False) and _PACKAGE_FILE.fullmatch(entry.name)))


def in_the_way(directory: str) -> str:
    """What a refusal of `directory` names: the files that are not a package's,
    or, when all are, that the package is incomplete."""
    names = foreign_files(directory)
    shown = ", ".join(names[:5]) + (f" and {len(names) - 5} more" if len(names) > 5 else "")
    return shown or "an incomplete or unknown package"


def placed_result(
    final: str, input: StrPath, planned: list[str], sidecars: list[tuple[bytes, str]] | None = None
) -> dict[str, Any] | None:
    """The "already complete" result when `final` holds the complete package
    of these renditions made from this very input (and these subtitle files);
    None when it holds nothing (or an empty directory). Raises FileExistsError
    for anything else."""
    if not os.path.lexists(final) or is_empty_directory(final):
        return None
    found = complete_variants(final, planned)
    if found is not None and _made_from(final, made_from(input, sidecars or [])):
        return _already_complete(final, planned, found)
    what = "another input's package" if found is not None else in_the_way(final)
    raise FileExistsError(f"{final} holds something other than this job's package ({what}); it is left as it is")


def make_package(
    input: StrPath,
    output_dir: StrPath,
    *,
    renditions: Iterable[str] = DEFAULT_RENDITIONS,
    bitrates: Iterable[int] | None = None,
    key_info: StrPath | None = None,
    key_uri: str | None = None,
    key_path: StrPath | None = None,
    upscale: bool = False,
    subtitles: Iterable[StrPath | tuple[StrPath, str]] = (),
    stitch: Stitch | None = None,
    progress: Callable[[Progress], object] | None = None,
) -> dict[str, Any]:
    """Encodes `input` into the package OUTPUT_DIR/master.m3u8 and returns
    EncodeResult.to_dict() with the job's "outcome" and "output_dir" added.

    The key (vantrel._jobkey): `key_info`, a key info file used as it is;
    `key_path` (named `key_uri` in the playlists, by default its file name),
    reused when it exists and otherwise made for this package, put there with
    the package and never when none is placed; or neither, a key made for
    every package beside OUTPUT_DIR, as the vantrel command makes it.

    Outcomes: "encoded" (the package was made and put in place), "already
    complete" (OUTPUT_DIR held this job's complete package, made from this
    input; nothing was done), "failed" (some rendition or the job failed, or
    OUTPUT_DIR gained files meanwhile, as the result says; nothing was
    placed). Any exception, a time limit's included, stops the encode and
    leaves nothing behind but the exception.

    `subtitles` are subtitle files, as encode() takes them. `stitch`, a
    split job's stitch part, makes the package from the intermediates its
    other parts wrote instead of encoding the title (the subtitle files are
    in its title); `progress` is called as encode() calls it, and may stop
    the job."""
    checked = check_job(output_dir, renditions, bitrates, upscale, key_info, key_uri, key_path, subtitles)
    final = checked.final
    with placement(final) as job:
        done = placed_result(final, input, checked.planned, checked.sidecars)
        if done is not None:
            return done
        with job_key(job, checked.key) as job_key_:
            result = encode_into(
                job,
                input,
                checked.sidecars,
                renditions=checked.renditions,
                bitrates=checked.bitrates,
                key_info=job_key_.key_info,
                upscale=upscale,
                progress=progress,
                _stitch=stitch,
            )
        placed = job.placed
    report = relocated(result, final, placed).to_dict()
    return {"outcome": ENCODED if placed else FAILED, "output_dir": final, **report}


@dataclasses.dataclass(frozen=True)
class CheckedJob:
    """A job's arguments as checked before any work."""

    final: str  # OUTPUT_DIR, absolute
    renditions: list[str]  # as asked
    bitrates: list[int] | None
    planned: list[str]  # as the engine will plan them: known names, each once
    key: KeyPlan
    sidecars: list[tuple[bytes, str]]  # subtitle files, with their languages


def check_job(
    output_dir: StrPath,
    renditions: Iterable[str],
    bitrates: Iterable[int] | None = None,
    upscale: bool = False,
    key_info: StrPath | None = None,
    key_uri: str | None = None,
    key_path: StrPath | None = None,
    subtitles: Iterable[StrPath | tuple[StrPath, str]] = (),
) -> CheckedJob:
    """What every job checks before any work. Raises TypeError or ValueError
    for wrong arguments, an output directory that cannot take a package or a
    key that cannot be used, OSError for a subtitle file that cannot be read."""
    final = final_path(output_dir)
    # Refused before anything is written: a bare str, a name that is not one.
    names = _renditions_argument(renditions)
    rates = None if bitrates is None else _bitrates_argument(bitrates)
    _flag_argument("upscale", upscale)
    sidecars = subtitles_argument(subtitles)
    check_output_dir(final)
    key = plan_key(final, key_info, key_uri, key_path)
    return CheckedJob(final, names, rates, planned_renditions(names), key, sidecars)


def stopped_result(output_dir: StrPath, elapsed: float, reason: str, outcome: str = STOPPED) -> dict[str, Any]:
    """The result of a job stopped (or failed) before it made anything, shaped like make_package's."""
    return {
        "outcome": outcome,
        "output_dir": os.path.abspath(os.fspath(output_dir)),
        "ok": False,
        "renditions": [],
        "master_playlist": None,
        "elapsed": elapsed,
        "error": reason,
        "source_colour": None,
        "colour_conversion": None,
        "audio": [],
        "subtitles": [],
        "left_out": [],
    }


def complete_variants(directory: str, planned: list[str]) -> list[tuple[str, float]] | None:
    """(name, seconds) of each variant when `directory` holds the complete
    package of the `planned` renditions: a master playlist listing them in
    order (less those skipped as larger than the source, the smallest always
    made), each variant playlist closed and every segment it names present,
    and so every audio and subtitle rendition it names. None otherwise."""
    lines = _playlist_lines(os.path.join(directory, MASTER_PLAYLIST))
    if not planned or lines is None:
        return None
    listed = _uris(lines)
    names = [uri[: -len(".m3u8")] for uri in listed if uri.endswith(".m3u8")]
    if len(names) != len(listed) or not _made_of(names, planned):
        return None
    media = [entry["URI"].strip('"') for entry in _media_attributes(lines)]
    if not all(_MEDIA_PLAYLIST.fullmatch(uri) and _playlist_seconds(directory, uri) is not None for uri in media):
        return None
    variants = []
    for name in names:
        seconds = _playlist_seconds(directory, f"{name}.m3u8")
        if seconds is None:
            return None
        variants.append((name, seconds))
    return variants


def _playlist_seconds(directory: str, uri: str) -> float | None:
    """The length of a closed media playlist in `directory` whose every
    segment is there; None for any other."""
    lines = _playlist_lines(os.path.join(directory, uri))
    if lines is None or "#EXT-X-ENDLIST" not in lines:
        return None
    segments = _uris(lines)
    if not segments or not all(os.path.isfile(os.path.join(directory, segment)) for segment in segments):
        return None
    try:
        return sum(float(line[len("#EXTINF:"):].split(",")[0]) for line in lines if line.startswith("#EXTINF:"))
    except ValueError:  # not a playlist of ours
        return None


def _made_of(names: list[str], planned: list[str]) -> bool:
    """Whether `names` are what a job of `planned` may have made: some of
    them, in their order, the smallest among them included."""
    if not names or len(set(names)) != len(names) or not set(names) <= set(planned):
        return False
    order = [name for name in planned if name in names]
    long_sides = {name: long_side for name, long_side, *_ in _engine.ladder()}
    return order == names and min(planned, key=long_sides.__getitem__) in names


def planned_renditions(renditions: list[str]) -> list[str]:
    """The renditions the engine will plan: known names, each once, in order."""
    return list(dict.fromkeys(name for name in renditions if name in _LADDER))


_LADDER = [name for name, *_ in _engine.ladder()]


def _made_from(directory: str, facts: dict[str, Any]) -> bool:
    """Whether the package in `directory` says it was made from what `facts`
    (made_from()'s) describe as it is now."""
    try:
        with open(os.path.join(directory, PACKAGE_MANIFEST), encoding="utf-8") as file:
            manifest = json.load(file)
    except (OSError, ValueError):
        return False
    # A package made before manifests named subtitle files was made without any.
    return isinstance(manifest, dict) and all(manifest.get(name) == facts.get(name) for name in ("input", "subtitles"))


def _already_complete(final: str, planned: list[str], variants: list[tuple[str, float]]) -> dict[str, Any]:
    """What the playlists tell; the pictures are not counted again."""
    listed = dict(variants)
    master = _playlist_lines(os.path.join(final, MASTER_PLAYLIST)) or []
    declared = _stream_attributes(master)
    renditions = []
    for name in planned:
        entry: dict[str, Any] = {
            "name": name,
            "playlist": os.path.join(final, f"{name}.m3u8"),
            "created": name in listed,
            "error": None,
            "pictures": None,
            "duration": listed.get(name, 0.0),
            "skipped": None if name in listed else "not in the complete package already in place",
        }
        attributes = declared.get(f"{name}.m3u8", {})
        width, _, height = attributes.get("RESOLUTION", "0x0").partition("x")
        entry.update(
            width=int(width or 0),
            height=int(height or 0),
            frame_rate=float(attributes.get("FRAME-RATE", 0) or 0),
            peak_bitrate=int(attributes.get("BANDWIDTH", 0) or 0),
            average_bitrate=int(attributes.get("AVERAGE-BANDWIDTH", 0) or 0),
            codecs=attributes.get("CODECS", "").strip('"') or None,
        )
        renditions.append(entry)
    return {
        "outcome": ALREADY_COMPLETE,
        "output_dir": final,
        "ok": True,
        "renditions": renditions,
        "master_playlist": os.path.join(final, MASTER_PLAYLIST),
        "elapsed": 0.0,
        "error": None,
        # Not encoded again, so not looked at again.
        "source_colour": None,
        "colour_conversion": None,
        **_placed_tracks(final, master),
        "left_out": [],
    }


def _placed_tracks(final: str, master: list[str]) -> dict[str, list[dict[str, Any]]]:
    """The audio and subtitle renditions the master playlist names, as far as
    it tells them (a single sound muxed into the variants is not named)."""
    tracks: dict[str, list[dict[str, Any]]] = {"audio": [], "subtitles": []}
    for entry in _media_attributes(master):
        kind = "audio" if entry.get("TYPE") == "AUDIO" else "subtitles"
        tracks[kind].append({
            "kind": kind,
            "language": entry.get("LANGUAGE", "").strip('"') or None,
            "name": entry.get("NAME", "").strip('"'),
            "default": entry.get("DEFAULT") == "YES",
            "forced": entry.get("FORCED") == "YES",
            "playlist": os.path.join(final, entry.get("URI", "").strip('"')),
            "created": True,
            "error": None,
            "describes_video": "describes-video" in entry.get("CHARACTERISTICS", ""),
            "source": "",
        })
    return tracks


def _attributes(text: str) -> dict[str, str]:
    return dict(re.findall(r'([A-Z0-9-]+)=("[^"]*"|[^,]*)', text))


def _media_attributes(lines: list[str]) -> list[dict[str, str]]:
    """The attributes of each #EXT-X-MEDIA line, in order."""
    return [_attributes(line[len("#EXT-X-MEDIA:"):]) for line in lines if line.startswith("#EXT-X-MEDIA:")]


def _stream_attributes(lines: list[str]) -> dict[str, dict[str, str]]:
    """The attributes of each variant's #EXT-X-STREAM-INF, by its URI."""
    found: dict[str, dict[str, str]] = {}
    for line, uri in zip(lines, lines[1:]):
        if line.startswith("#EXT-X-STREAM-INF:"):
            found[uri] = _attributes(line[len("#EXT-X-STREAM-INF:"):])
    return found


def _playlist_lines(path: str) -> list[str] | None:
    try:
        with open(path, encoding="utf-8", errors="replace") as file:
            return [line.strip() for line in file]
    except (FileNotFoundError, NotADirectoryError, IsADirectoryError):
        return None


def _uris(lines: list[str]) -> list[str]:
    return [line for line in lines if line and not line.startswith("#")]
