"""Every package made from a clip of 14 seconds or more, read the way strict
players and validators read it: a real HLS parser, decrypted segments, and
the rules that let a player switch between variants at any segment. One of
them is read through vantrel.delivery too, as a viewer with a token gets it."""

from __future__ import annotations

import dataclasses
import math
import subprocess
from pathlib import Path

import m3u8
import pytest

from conftest import TOOL_ENV, Package, PackageFactory, TrackPackageFactory, decrypt_segment, ffprobe_json
from served_packages import ServedRoot

# One picture at the output's 30 frames per second, plus the rounding of the
# six decimals the muxer writes into #EXTINF.
ONE_FRAME = 1 / 30 + 1e-6
MPEG_TS_CLOCK = 90000
H264_IDR = 5
H264_NON_IDR = 1


@dataclasses.dataclass
class Segment:
    uri: str
    extinf: float
    key_method: str | None
    key_uri: str | None
    # The video of the decrypted segment on the package's clock, in seconds.
    start: float
    end: float
    # NAL unit types of the first video access unit in decoding order.
    first_nal_types: list[int]


def nal_unit_types(annex_b: bytes) -> list[int]:
    types = []
    at = annex_b.find(b"\x00\x00\x01")
    while at != -1 and at + 3 < len(annex_b):
        types.append(annex_b[at + 3] & 0x1F)
        at = annex_b.find(b"\x00\x00\x01", at + 3)
    return types


def first_access_unit(clear_ts: Path) -> bytes:
    # -copyinkf: stream copy would otherwise drop whatever precedes the first
    # key picture, which is exactly what is being looked for.
    return subprocess.run(
        ["ffmpeg", "-v", "error", "-i", str(clear_ts), "-map", "0:v:0", "-c", "copy", "-copyinkf",
         "-frames:v", "1", "-f", "h264", "-"],
        check=True, capture_output=True, env=TOOL_ENV,
    ).stdout


def video_span(clear_ts: Path) -> tuple[float, float]:
    packets = ffprobe_json(
        "-select_streams", "v", "-show_entries", "packet=pts,duration", str(clear_ts)
    )["packets"]
    start = min(int(p["pts"]) for p in packets)
    end = max(int(p["pts"]) + int(p["duration"]) for p in packets)
    return start / MPEG_TS_CLOCK, end / MPEG_TS_CLOCK


class Inspector:
    """Parses and measures each variant once per session."""

    def __init__(self, scratch: Path) -> None:
        self.scratch = scratch
        self.measured: dict[tuple[Path, str], list[Segment]] = {}

    def variant(self, package: Package, stem: str) -> m3u8.M3U8:
        return package.playlist(f"{stem}.m3u8")

    def segments(self, package: Package, stem: str) -> list[Segment]:
        cache_key = (package.directory, stem)
        if cache_key not in self.measured:
            self.measured[cache_key] = self._measure(package, stem)
        return self.measured[cache_key]

    def _measure(self, package: Package, stem: str) -> list[Segment]:
        playlist = self.variant(package, stem)
        found = []
        for number, segment in enumerate(playlist.segments):
            key = segment.key
            clear_ts = self.scratch / f"{package.directory.name}-{stem}-{number}.ts"
            key_tag = f"IV={key.iv}" if key and key.iv else ""
            clear_ts.write_bytes(
                decrypt_segment(package.fetch(segment.absolute_uri), package.key, key_tag,
                                playlist.media_sequence + number)
            )
            start, end = video_span(clear_ts)
            found.append(Segment(
                uri=segment.uri,
                extinf=segment.duration,
                key_method=key.method if key else None,
                key_uri=key.uri if key else None,
                start=start,
                end=end,
                first_nal_types=nal_unit_types(first_access_unit(clear_ts)),
            ))
        return found


@pytest.fixture(scope="module")
def inspector(tmp_path_factory: pytest.TempPathFactory) -> Inspector:
    return Inspector(tmp_path_factory.mktemp("clear-segments"))


SERVED = "ladder-30fps"


# The package API's packages with audio and subtitle renditions.
WITH_TRACKS = ["every-track", "every-track-split"]


@pytest.fixture(params=[*PackageFactory.RECIPES, f"{SERVED}-served", *WITH_TRACKS])
def package(request: pytest.FixtureRequest, packages: PackageFactory, served: ServedRoot,
            track_packages: TrackPackageFactory) -> Package:
    if request.param in WITH_TRACKS:
        return track_packages[request.param]
    return served[SERVED] if request.param == f"{SERVED}-served" else packages[request.param]


def source_duration(source: Path) -> float:
    probe = ffprobe_json("-select_streams", "v", "-show_entries", "stream=duration:format=duration",
                         str(source))
    stream = probe["streams"][0].get("duration")
    return float(stream if stream not in (None, "N/A") else probe["format"]["duration"])


def test_master_playlist_lists_every_variant(package):
    master = package.playlist("master.m3u8")
    assert master.is_variant
    assert [p.uri for p in master.playlists] == [package.named(f"{stem}.m3u8") for stem in package.stems]
    for entry in master.playlists:
        assert entry.stream_info.bandwidth > 0
        assert package.fetch(entry.absolute_uri)


def test_one_target_duration_covers_every_segment(package, inspector):
    targets = {}
    for stem in package.stems:
        playlist = inspector.variant(package, stem)
        targets[stem] = playlist.target_duration
        # A segment's duration, rounded to the nearest second (halves up,
        # unlike Python's round), must not exceed the target duration.
        for segment in playlist.segments:
            assert math.floor(segment.duration + 0.5) <= playlist.target_duration, (stem, segment.uri)
    assert len(set(targets.values())) == 1, targets


def test_every_segment_is_encrypted_and_the_playlist_is_closed(package, inspector):
    for stem in package.stems:
        playlist = inspector.variant(package, stem)
        assert playlist.is_endlist, stem
        assert playlist.segments, stem
        for segment in playlist.segments:
            assert segment.key is not None, (stem, segment.uri)
            assert (segment.key.method, segment.key.uri) == ("AES-128", package.key_uri), (stem, segment.uri)
        assert package.fetch(playlist.segments[0].key.absolute_uri) == package.key, stem


def test_extinf_values_add_up_to_the_media(package, inspector):
    expected = source_duration(package.source)
    for stem in package.stems:
        segments = inspector.segments(package, stem)
        listed = sum(s.extinf for s in segments)
        measured = segments[-1].end - segments[0].start
        assert abs(listed - measured) <= ONE_FRAME, (stem, listed, measured)
        assert abs(listed - expected) <= ONE_FRAME, (stem, listed, expected)


def test_each_extinf_is_its_segments_duration(package, inspector):
    for stem in package.stems:
        for segment in inspector.segments(package, stem):
            assert abs(segment.extinf - (segment.end - segment.start)) <= ONE_FRAME, (stem, segment)


def test_every_segment_starts_with_an_idr_picture(package, inspector):
    for stem in package.stems:
        for segment in inspector.segments(package, stem):
            pictures = [t for t in segment.first_nal_types if t in (H264_NON_IDR, H264_IDR)]
            assert pictures and pictures[0] == H264_IDR, (stem, segment.uri, segment.first_nal_types)


def test_segment_boundaries_are_the_same_in_every_variant(package, inspector):
    def boundaries(stem: str) -> list[tuple[float, float]]:
        return [(round(s.start, 4), round(s.extinf, 4)) for s in inspector.segments(package, stem)]

    first, *others = package.stems
    for stem in others:
        assert boundaries(stem) == boundaries(first), (first, stem)


@pytest.mark.parametrize("name", WITH_TRACKS)
def test_audio_and_subtitle_renditions_are_cut_where_the_video_is(track_packages, name):
    package = track_packages[name]
    video = package.playlist(f"{package.stems[0]}.m3u8")

    def ends(playlist: m3u8.M3U8) -> list[float]:
        return [sum(s.duration for s in playlist.segments[: k + 1]) for k in range(len(playlist.segments))]

    for media in package.playlist("master.m3u8").media:
        playlist = package.playlist(media.uri)
        assert playlist.is_endlist and playlist.target_duration == video.target_duration, media.uri
        # Encrypted as the variants are, subtitles too.
        assert {(s.key.method, s.key.uri) if s.key else None for s in playlist.segments} == {
            ("AES-128", package.key_uri)}, media.uri
        assert len(playlist.segments) == len(video.segments), media.uri
        if media.type == "AUDIO":
            # Cut as the video is, every segment's length from the rendition's
            # own start, on the first whole AAC frame past it; the sound's
            # last segment runs to its end, its priming and last frame whole.
            frame = 1024 / 44100
            pairs = list(zip(ends(playlist), ends(video)))
            assert all(abs(a - b) <= frame for a, b in pairs[:-1]), (media.uri, ends(playlist))
            assert 0 <= pairs[-1][0] - pairs[-1][1] <= 4 * frame, (media.uri, ends(playlist))
        else:
            assert ends(playlist) == ends(video), media.uri
