"""What encode() makes by default, for real uploads and real players: pictures
turned upright, fitted inside each row's frame without stretching or
upscaling, at the source's own frame rate with 2 s keyframes and segments of
three of them, a master playlist that declares what its files measure, and
video-only inputs. Each package is checked against its decoded files."""

from __future__ import annotations

import math
import re
import subprocess
from pathlib import Path

import m3u8
import pytest

import vantrel
from conftest import TOOL_ENV, ffmpeg, ffprobe_json, write_key_info
from test_playback import is_player_fault, play_in_chromium
from test_variant import media_playlist
from timeline_media import beeping_audio, clear_variant, measure

LADDER = ["1080p", "720p", "480p", "360p"]


def encode_package(source: Path, directory: Path, renditions: list[str], **options) -> vantrel.EncodeResult:
    directory.mkdir(parents=True, exist_ok=True)
    info = write_key_info(directory)
    return vantrel.encode(source, directory / "master.m3u8", renditions=renditions, key_info=info.path, **options)


def made(result: vantrel.EncodeResult) -> dict[str, str]:
    """What became of each rendition: its frame size, or "skipped"."""
    return {r.name: f"{r.width}x{r.height}" if r.created else "skipped" if r.skipped else "failed"
            for r in result.renditions}


def first_picture(playlist: Path, size: int = 64) -> bytes:
    """The variant's first picture, squeezed to size x size grey pixels."""
    return subprocess.run(
        ["ffmpeg", "-v", "error", "-allowed_extensions", "ALL", "-i", str(playlist), "-frames:v", "1",
         "-vf", f"scale={size}:{size},format=gray", "-f", "rawvideo", "-"],
        check=True, capture_output=True, env=TOOL_ENV,
    ).stdout


# --- Upright ----------------------------------------------------------------------

# A white marker off every axis and diagonal of the picture, at (0.2, 0.1) of
# its width and height: each of the eight turns and mirrors puts it elsewhere.
MARKER = "color=c=black:s=320x180:r=30:d=1,drawbox=x=48:y=9:w=32:h=18:c=white:t=fill"
IDENTITY = [0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000]


def rotated_clip(root: Path, how: str) -> Path:
    """The marker clip with a display matrix: a rotation as the ffmpeg tool
    writes it, or a mirror written into the track header by hand."""
    plain, path = root / "marker.mp4", root / f"marker-{how}.mp4"
    if not plain.exists():
        ffmpeg("-f", "lavfi", "-i", MARKER, "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
               str(plain))
    if how.startswith("rotate-"):
        ffmpeg("-i", str(plain), "-c", "copy", "-metadata:s:v:0", f"rotate={how[len('rotate-'):]}", str(path))
        return path
    data = bytearray(plain.read_bytes())
    identity = b"".join(value.to_bytes(4, "big") for value in IDENTITY)
    at = data.index(identity, data.index(b"tkhd"))
    data[at:at + 4] = (-0x10000).to_bytes(4, "big", signed=True)  # x' = -x: a mirror image
    path.write_bytes(bytes(data))
    return path


@pytest.mark.threads
@pytest.mark.parametrize(
    "how, size, marker",
    [
        # Where the ffmpeg tool shows the marker when it plays each clip.
        ("rotate-90", "180x320", (0.1, 0.8)),
        ("rotate-180", "320x180", (0.8, 0.9)),
        ("rotate-270", "180x320", (0.9, 0.2)),
        ("mirror", "320x180", (0.8, 0.1)),
    ],
)
def test_pictures_are_turned_upright(tmp_path, how, size, marker):
    result = encode_package(rotated_clip(tmp_path, how), tmp_path / "out", ["360p"])
    assert made(result) == {"360p": size}, result
    picture = first_picture(tmp_path / "out" / "360p.m3u8")
    lit = [(k % 64 + 0.5, k // 64 + 0.5) for k, luma in enumerate(picture) if luma > 128]
    assert lit, "no marker"
    centre = (sum(x for x, _ in lit) / len(lit) / 64, sum(y for _, y in lit) / len(lit) / 64)
    assert math.dist(centre, marker) < 0.05, centre
    # The output carries no turn of its own.
    stream = ffprobe_json("-show_streams", "-select_streams", "v", str(tmp_path / "out" / "360p.m3u8"))["streams"][0]
    assert "side_data_list" not in stream, stream


# --- Fitted, never upscaled ---------------------------------------------------------


@pytest.mark.parametrize(
    "size, sar, upscale, expected",
    [
        ("640x480", "1", False, {"1080p": "skipped", "720p": "skipped", "480p": "640x480", "360p": "480x360"}),
        ("640x480", "1", True, {"1080p": "1440x1080", "720p": "960x720", "480p": "640x480", "360p": "480x360"}),
        ("1120x480", "1", False, {"1080p": "skipped", "720p": "skipped", "480p": "854x366", "360p": "640x274"}),
        ("320x240", "1", False, {"1080p": "skipped", "720p": "skipped", "480p": "skipped", "360p": "320x240"}),
        ("360x640", "1", False, {"1080p": "skipped", "720p": "skipped", "480p": "skipped", "360p": "360x640"}),
        # Stored 480x360 with pixels a third wider than tall: shown 640x360.
        ("480x360", "4/3", False, {"1080p": "skipped", "720p": "skipped", "480p": "skipped", "360p": "640x360"}),
    ],
    ids=["4:3", "4:3-upscale", "21:9", "small-320x240", "9:16-portrait", "non-square-pixels"],
)
def test_renditions_keep_the_aspect_ratio_and_are_never_upscaled(tmp_path, size, sar, upscale, expected):
    source = tmp_path / "source.mp4"
    ffmpeg("-f", "lavfi", "-i", f"testsrc2=size={size}:rate=30", "-t", "0.5", "-vf", f"setsar={sar}",
           "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", str(source))
    result = encode_package(source, tmp_path / "out", LADDER, upscale=upscale)
    assert result.ok, result
    assert made(result) == expected
    listed = m3u8.load(str(tmp_path / "out" / "master.m3u8")).playlists
    assert [(p.uri, "{}x{}".format(*p.stream_info.resolution)) for p in listed] == [
        (f"{name}.m3u8", frame) for name, frame in expected.items() if frame != "skipped"
    ]
    for name, frame in expected.items():
        if frame == "skipped":
            assert not (tmp_path / "out" / f"{name}.m3u8").exists()
            continue
        stream = ffprobe_json("-show_streams", "-select_streams", "v",
                              str(tmp_path / "out" / f"{name}.m3u8"))["streams"][0]
        assert (f"{stream['width']}x{stream['height']}", stream.get("sample_aspect_ratio")) == (frame, "1:1")


# --- The source's frame rate --------------------------------------------------------

EVENTS = (1.3, 12.7)
SECONDS = 14.0


def flashing_clip(path: Path, rate: str, extra: tuple[str, ...] = ()) -> Path:
    """Black pictures at `rate` that flash white, and beeps, together at EVENTS."""
    flashes = "+".join(f"between(t,{event},{event + 0.099})" for event in EVENTS)
    ffmpeg("-f", "lavfi", "-i", f"color=c=black:s=320x240:r={rate}:d={SECONDS},"
           f"drawbox=c=white:t=fill:enable='{flashes}'",
           *beeping_audio(SECONDS, EVENTS), *extra,
           "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac", str(path))
    return path


RATES = {
    # name: (source rate, extra ffmpeg arguments, output rate, pictures per keyframe, segment seconds)
    "23.976": ("24000/1001", (), 23.976, 48, 6.006),
    "25": ("25", (), 25.0, 50, 6.0),
    "29.97": ("30000/1001", (), 29.97, 60, 6.006),
    "50": ("50", (), 25.0, 50, 6.0),
    "59.94": ("60000/1001", (), 29.97, 60, 6.006),
    # Every fifth picture of 30 fps left out: 24 a second on average.
    "variable": ("30", ("-vf", "select='not(eq(mod(n,5),4))'", "-fps_mode", "vfr"), 24.0, 48, 6.0),
}


@pytest.fixture(scope="module")
def rate_packages(tmp_path_factory) -> dict[str, tuple[Path, vantrel.EncodeResult]]:
    root = tmp_path_factory.mktemp("rates")
    packages = {}
    for name, (rate, extra, *_) in RATES.items():
        source = flashing_clip(root / f"{name}.mp4", rate, extra)
        packages[name] = (root / name, encode_package(source, root / name, ["360p"]))
    return packages


@pytest.mark.parametrize("name", list(RATES))
def test_output_keeps_the_source_frame_rate_with_2s_keyframes_and_6s_segments(rate_packages, name):
    _, _, rate, keyframe_interval, segment_seconds = RATES[name]
    directory, result = rate_packages[name]
    assert result.ok and result.renditions[0].frame_rate == rate, result
    playlist = directory / "360p.m3u8"
    durations = [float(d) for d in re.findall(r"#EXTINF:([\d.]+),", playlist.read_text())]
    assert len(durations) == 3 and durations[:-1] == [pytest.approx(segment_seconds, abs=1e-3)] * 2, durations
    clear = clear_variant(playlist, (directory / "enc.key").read_bytes())
    packets = subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries", "packet=pts_time,flags",
         "-of", "csv=p=0", "-"],
        input=clear, check=True, capture_output=True, env=TOOL_ENV,
    ).stdout.decode().split()
    times = sorted(float(line.split(",")[0]) for line in packets)
    keys = sorted(float(line.split(",")[0]) for line in packets if "K" in line.split(",")[1])
    start = times[0]
    # A constant rate: one picture a tick, the whole span filled, nothing doubled.
    assert len(times) == pytest.approx(SECONDS * rate, abs=1)
    assert all(b - a == pytest.approx(1 / rate, abs=1e-3) for a, b in zip(times, times[1:]))
    assert [round((key - start) * rate) for key in keys] == list(range(0, len(times), keyframe_interval))
    timeline = measure(clear)
    for index in (0, -1):
        offset = timeline.offset(index)
        assert offset is not None and abs(offset) <= 1 / rate, str(timeline)


# --- The master playlist -------------------------------------------------------------

PROFILES = {"High": 100, "Main": 77, "Constrained Baseline": 66, "Baseline": 66}


@pytest.fixture(scope="module")
def ladder_package(tmp_path_factory) -> tuple[Path, vantrel.EncodeResult]:
    root = tmp_path_factory.mktemp("ladder")
    source = root / "source.mp4"
    # Easy pictures, then noise that is hard to encode; the last segment is
    # half a second long.
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=854x480:rate=30,noise=alls=60:allf=t+u:enable='gte(t,6)'",
           *beeping_audio(12.5, (1.3,)), "-t", "12.5",
           "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac", str(source))
    return root / "out", encode_package(source, root / "out", ["480p", "360p"])


def test_master_playlist_declares_what_the_files_measure(ladder_package):
    directory, result = ladder_package
    assert result.ok, result
    master = m3u8.load(str(directory / "master.m3u8"))
    assert master.is_independent_segments and master.version == 3
    assert [p.uri for p in master.playlists] == ["480p.m3u8", "360p.m3u8"]
    for entry, rendition in zip(master.playlists, result.renditions):
        listing = media_playlist(directory / entry.uri)
        segments = [(directory / uri).stat().st_size for uri in listing["segments"]]
        seconds = [float(d) for d in re.findall(r"#EXTINF:([\d.]+),", (directory / entry.uri).read_text())]
        assert seconds[-1] < 1, "the case of a short last segment"
        peak = max(math.ceil(size * 8 / s) for size, s in zip(segments[:-1], seconds[:-1]))
        average = math.ceil(sum(segments) * 8 / sum(seconds))
        stream = ffprobe_json("-show_streams", "-select_streams", "v", str(directory / entry.uri))["streams"][0]
        codecs = f"avc1.{PROFILES[stream['profile']]:02x}00{stream['level']:02x},mp4a.40.2"
        info = entry.stream_info
        assert (info.bandwidth, info.average_bandwidth, info.codecs) == (peak, average, codecs)
        assert (info.resolution, info.frame_rate) == ((stream["width"], stream["height"]), 30.0)
        assert (rendition.peak_bitrate, rendition.average_bitrate, rendition.codecs) == (peak, average, codecs)


# --- Video without sound, and two players ---------------------------------------------


def test_video_without_sound_makes_video_only_variants(tmp_path, media):
    result = encode_package(media["video_only"], tmp_path / "out", ["360p"])
    assert result.ok and result.renditions[0].codecs.startswith("avc1.") and "mp4a" not in result.renditions[0].codecs
    master = m3u8.load(str(tmp_path / "out" / "master.m3u8"))
    assert master.playlists[0].stream_info.codecs == result.renditions[0].codecs
    streams = ffprobe_json("-show_streams", str(tmp_path / "out" / "360p.m3u8"))["streams"]
    assert [s["codec_type"] for s in streams] == ["video"]


def test_audio_without_video_still_fails(tmp_path, media):
    result = encode_package(media["audio_only"], tmp_path / "out", ["360p"])
    assert not result.ok and result.error == "No video stream found in the file."


@pytest.mark.python_side
@pytest.mark.parametrize("player_name, package", [("hls.js", "video-only"), ("shaka", "ladder")])
def test_players_in_chromium_play_default_packages(player, ladder_package, tmp_path, media, player_name, package):
    if package == "ladder":
        directory = ladder_package[0]
    else:
        # A clip long enough to play past the goal, without its sound.
        silent = tmp_path / "silent.mp4"
        ffmpeg("-i", str(media["long30"]), "-an", "-c", "copy", str(silent))
        directory = tmp_path / "silent"
        assert encode_package(silent, directory, ["360p"]).ok
    records = play_in_chromium(player, directory, "--player", player_name)
    sizes = ["{}x{}".format(*p.stream_info.resolution) for p in m3u8.load(str(directory / "master.m3u8")).playlists]
    assert len(records) == len(sizes)
    for record in records:
        assert record["outcome"] == "played" and record["keysLoaded"] >= 1, record
        assert f"{record['videoWidth']}x{record['videoHeight']}" in sizes, record
        assert [e for e in record["errors"] if is_player_fault(e)] == [], record
