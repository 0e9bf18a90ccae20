"""make_package(), the job queue's unit of work, and what a package is: a
master playlist whose variants are all closed with every segment present.
Both it and the vantrel command put their packages in place with
vantrel._placement."""

from __future__ import annotations

import contextlib
import dataclasses
import os
import re
from collections.abc import Iterable, Iterator
from typing import Any

from vantrel import _engine
from vantrel._encode import DEFAULT_RENDITIONS, EncodeResult, Stitch, StrPath, _renditions_argument, encode
from vantrel._placement import Placement, final_path, fresh_key, is_empty_directory, placement

MASTER_PLAYLIST = "master.m3u8"
# What the engine names its files: the master playlist, and the playlists and
# segments of the ladder's renditions.
_PACKAGE_FILE = re.compile(
    r"master\.m3u8|(%s)(\.m3u8|_\d{3,}\.ts)" % "|".join(re.escape(name) for name, *_ in _engine.ladder())
)

# What became of a job, in the "outcome" of its result.
ENCODED = "encoded"
ALREADY_COMPLETE = "already complete"
FAILED = "failed"
STOPPED = "stopped"


def encode_into(job: Placement, input: StrPath, **options: Any) -> EncodeResult:
    """Encodes into the job's partial directory and places the package when
    every rendition was created."""
    result = encode(input, os.path.join(job.partial, MASTER_PLAYLIST), **options)
    if result.ok:
        job.place()
    return result


def relocated(result: EncodeResult, directory: str, placed: bool) -> EncodeResult:
    """The result with its paths in `directory`, where the package is (or
    would have been) after the rename."""
    return dataclasses.replace(
        result,
        renditions=tuple(
            dataclasses.replace(r, playlist=os.path.join(directory, os.path.basename(r.playlist)))
            for r in result.renditions
        ),
        master_playlist=os.path.join(directory, MASTER_PLAYLIST) if placed else None,
    )


def holds_only_a_package(directory: str) -> bool:
    """Whether `directory` holds a complete package and, besides it, only files
    named as the engine names its own (an earlier job's leftovers)."""
    lines = _playlist_lines(os.path.join(directory, MASTER_PLAYLIST))
    if lines is None or complete_variants(directory, [os.path.splitext(uri)[0] for uri in _uris(lines)]) is None:
        return False
    return all(entry.is_file(follow_symlinks=False) and _PACKAGE_FILE.fullmatch(entry.name)
               for entry in os.scandir(directory))


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
    stitch: Stitch | None = None,
) -> dict[str, Any]:
    """Encodes `input` into the package OUTPUT_DIR/master.m3u8 and returns
    EncodeResult.to_dict() with the job's "outcome" and "output_dir" added.

    The key: `key_info`, a key info file used as it is, or `key_uri` and
    `key_path`, a fresh key made at `key_path` (outside OUTPUT_DIR) for this
    package, put there with the package and never when none is placed.

    Outcomes: "encoded" (the package was made and put in place), "already
    complete" (OUTPUT_DIR held this job's complete package; nothing was
    done), "failed" (some rendition or the job failed, as the result says;
    nothing was placed). Any exception, a time limit's included, stops the
    encode and leaves nothing behind but the exception.

    `stitch`, a split job's stitch part, makes the package from the
    intermediates its other parts wrote instead of encoding the title."""
    final = final_path(output_dir)
    # Refused before anything is written: a bare str, a name that is not one.
    renditions = _renditions_argument(renditions)
    planned = _planned(renditions)
    _check_key_arguments(final, key_info, key_uri, key_path)
    with placement(final) as job:
        found = complete_variants(final, planned)
        if found is not None:
            return _already_complete(final, planned, found)
        if os.path.lexists(final) and not is_empty_directory(final):
            raise FileExistsError(f"{final} holds something other than this job's package; it is left as it is")
        with _job_key(job, key_info, key_uri, key_path) as job_key_info:
            result = encode_into(
                job,
                input,
                renditions=renditions,
                bitrates=bitrates,
                key_info=job_key_info,
                upscale=upscale,
                _stitch=stitch,
            )
        placed = job.placed
    report = relocated(result, final, placed).to_dict()
    return {"outcome": ENCODED if placed else FAILED, "output_dir": final, **report}


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
    }


def complete_variants(directory: str, planned: list[str]) -> list[tuple[str, float]] | None:
    """(name, seconds) of each variant when `directory` holds the complete
    package of the `planned` renditions: a master playlist listing them in
    order (less those skipped as larger than the source, the smallest always
    made), each variant playlist closed and every segment it names present.
    None otherwise."""
    lines = _playlist_lines(os.path.join(directory, MASTER_PLAYLIST))
    if not planned or lines is None:
        return None
    listed = _uris(lines)
    names = [uri[: -len(".m3u8")] for uri in listed if uri.endswith(".m3u8")]
    if len(names) != len(listed) or not _made_of(names, planned):
        return None
    variants = []
    for name in names:
        lines = _playlist_lines(os.path.join(directory, f"{name}.m3u8"))
        if lines is None or "#EXT-X-ENDLIST" not in lines:
            return None
        segments = _uris(lines)
        if not segments or not all(os.path.isfile(os.path.join(directory, uri)) for uri in segments):
            return None
        try:
            seconds = sum(float(line[len("#EXTINF:"):].split(",")[0]) for line in lines if line.startswith("#EXTINF:"))
        except ValueError:  # not a playlist of ours
            return None
        variants.append((name, seconds))
    return variants


def _made_of(names: list[str], planned: list[str]) -> bool:
    """Whether `names` are what a job of `planned` may have made: some of
    them, in their order, the smallest among them included."""
    if not names or len(set(names)) != len(names) or not set(names) <= set(planned):
        return False
    order = [name for name in planned if name in names]
    long_sides = {name: long_side for name, long_side, *_ in _engine.ladder()}
    return order == names and min(planned, key=long_sides.__getitem__) in names


def _planned(renditions: list[str]) -> list[str]:
    """The renditions the engine will plan: known names, each once, in order."""
    known = {name for name, *_ in _engine.ladder()}
    return list(dict.fromkeys(name for name in renditions if name in known))


def _check_key_arguments(
    final: str, key_info: StrPath | None, key_uri: str | None, key_path: StrPath | None
) -> None:
    if key_info is not None:
        if key_uri is not None or key_path is not None:
            raise ValueError("give key_info, or key_uri and key_path, not both")
        return
    if key_uri is None or key_path is None:
        raise ValueError("give key_info, or key_uri and key_path for a fresh key")
    key_file = os.path.abspath(os.fspath(key_path))
    # The output directory is what gets published; its key must not be.
    if os.path.commonpath([key_file, final]) == final:
        raise ValueError(f"key_path must be outside the output directory {final}: {key_file}")


@contextlib.contextmanager
def _job_key(
    job: Placement, key_info: StrPath | None, key_uri: str | None, key_path: StrPath | None
) -> Iterator[str]:
    """The key info file to encode with."""
    if key_info is not None:
        yield os.fspath(key_info)
        return
    assert key_uri is not None and key_path is not None
    with fresh_key(job, key_uri, os.path.abspath(os.fspath(key_path))) as info_path:
        yield info_path


def _already_complete(final: str, planned: list[str], variants: list[tuple[str, float]]) -> dict[str, Any]:
    """What the playlists tell; the pictures are not counted again."""
    listed = dict(variants)
    declared = _stream_attributes(_playlist_lines(os.path.join(final, MASTER_PLAYLIST)) or [])
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
    }


def _stream_attributes(lines: list[str]) -> dict[str, dict[str, str]]:
    """The attributes of each variant's #EXT-X-STREAM-INF, by its URI."""
    found: dict[str, dict[str, str]] = {}
    for line, uri in zip(lines, lines[1:]):
        if line.startswith("#EXT-X-STREAM-INF:"):
            text = line[len("#EXT-X-STREAM-INF:"):]
            found[uri] = dict(re.findall(r'([A-Z0-9-]+)=("[^"]*"|[^,]*)', text))
    return found


def _playlist_lines(path: str) -> list[str] | None:
    try:
        with open(path, encoding="utf-8", errors="replace") as file:
            return [line.strip() for line in file]
    except (FileNotFoundError, NotADirectoryError, IsADirectoryError):
        return None


def _uris(lines: list[str]) -> list[str]:
    return [line for line in lines if line and not line.startswith("#")]
