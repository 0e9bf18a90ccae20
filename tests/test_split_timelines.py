"""A title split into chunks plays as the whole title does: the same offset
between sound and picture at every flash, the same pictures, whatever the
source's timeline. The parts run one after the other in this process, as the
job queue's workers would run them."""

from __future__ import annotations

from pathlib import Path

import pytest

from conftest import ffmpeg, split_in_process, write_key_info
from test_package_defaults import encode_package
from timeline_media import Source, clear_variant, measure, sync_clip

pytestmark = pytest.mark.slow

SECONDS = 20.0
# Off the 2 s key pictures and the 6 s chunk boundaries, one in each chunk.
FLASHES = (1.3, 8.7, 14.3, 19.1)
LATE_FLASHES = (13.3, 19.1)


def gap_of_pictures(root: Path) -> Source:
    """Pictures 9.5 s to 10.5 s missing: a variable-rate source's pause."""
    whole = sync_clip(root / "whole.mkv", SECONDS, FLASHES)
    path = root / "gap.mkv"
    ffmpeg("-i", str(whole.path), "-vf", "select='not(between(t,9.5,10.5))'", "-fps_mode", "passthrough",
           "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "copy", str(path))
    return Source(path, SECONDS, FLASHES)


def rotated(root: Path) -> Source:
    plain = sync_clip(root / "plain.mp4", SECONDS, FLASHES)
    path = root / "rotated.mp4"
    ffmpeg("-i", str(plain.path), "-c", "copy", "-metadata:s:v:0", "rotate=90", str(path))
    return Source(path, SECONDS, FLASHES)


def at_rate(rate: str):
    return lambda root: sync_clip(root / f"{rate.replace('/', '-')}.mkv", SECONDS, FLASHES, extra=("-r", rate))


CASES = {
    "sound-0.5s-before-picture": lambda root: sync_clip(root / "early.mkv", SECONDS, FLASHES, video_start=0.5),
    "sound-1s-after-picture": lambda root: sync_clip(root / "late.mkv", SECONDS, FLASHES, audio_start=1.0),
    "sound-12s-after-picture": lambda root: sync_clip(root / "later.mkv", SECONDS, LATE_FLASHES, audio_start=12.0),
    "picture-gap": gap_of_pictures,
    "25fps": at_rate("25"),
    "29.97fps": at_rate("30000/1001"),
    "rotated": rotated,
    "mpegts": lambda root: sync_clip(root / "clip.ts", SECONDS, FLASHES),
    "video-only": lambda root: Source(
        sync_clip(root / "video-only.mkv", SECONDS, FLASHES, extra=("-an",)).path, SECONDS, FLASHES),
}


@pytest.mark.parametrize("case", list(CASES))
def test_split_title_plays_as_the_whole_title(tmp_path, case):
    source = CASES[case](tmp_path)
    keys = tmp_path / "keys"
    keys.mkdir()
    info = write_key_info(keys)
    whole = encode_package(source.path, tmp_path / "whole", ["360p"])
    assert whole.ok, whole
    split = split_in_process(source.path, tmp_path / "split", ["360p"], 6, info.path)
    assert split["outcome"] == "encoded", split
    key_of = {"whole": (tmp_path / "whole" / "enc.key").read_bytes(), "split": info.key}
    timelines = {name: measure(clear_variant(tmp_path / name / "360p.m3u8", key_of[name]),
                               video_only=case == "video-only")
                 for name in ("whole", "split")}
    whole_line, split_line = timelines["whole"], timelines["split"]
    assert len(split_line.flashes) == len(whole_line.flashes) == len(source.events), (whole_line, split_line)
    assert abs(split_line.pictures - whole_line.pictures) <= 2, (whole_line, split_line)
    for index in range(len(source.events)):
        assert abs(split_line.flashes[index] - whole_line.flashes[index]) < 0.001, (index, whole_line, split_line)
        if case != "video-only":
            assert abs(split_line.offset(index) - whole_line.offset(index)) <= 0.005, (index, whole_line, split_line)
