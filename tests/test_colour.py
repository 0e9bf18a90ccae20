"""Colours of the package functions' variants: whatever the source's colours
(HLG and PQ HDR, BT.601, full range, 10-bit), every variant shows the picture
an SDR BT.709 source of the same scene would, and says that it is BT.709.

The sources are made with the ffmpeg tool's zscale from one SDR picture, with
reference white at 203 cd/m²; each variant's first picture, decoded by the
ffmpeg tool, is compared with that picture."""

from __future__ import annotations

import subprocess
from pathlib import Path

import pytest

from conftest import TOOL_ENV, ffmpeg, ffprobe_json, split_in_process, write_key_info
from test_package_defaults import encode_package

SIZE = (854, 480)
RENDITIONS = ["480p", "360p"]
FROM_SDR = "transferin=bt709:primariesin=bt709:matrixin=gbr:rangein=full"
HDR = ["-c:v", "libx265", "-preset", "ultrafast", "-x265-params", "log-level=error", "-colorspace", "bt2020nc",
       "-color_primaries", "bt2020", "-color_range", "tv"]
SDR = ["-c:v", "libx264", "-preset", "ultrafast", "-color_primaries", "bt709", "-color_trc", "bt709"]
SOURCES = {
    # name: (zscale's output, pixel format, encoder arguments)
    "hlg": ("t=arib-std-b67:p=bt2020:m=bt2020nc:r=tv:npl=203", "yuv420p10le", [*HDR, "-color_trc", "arib-std-b67"]),
    "pq": ("t=smpte2084:p=bt2020:m=bt2020nc:r=tv:npl=203", "yuv420p10le", [*HDR, "-color_trc", "smpte2084"]),
    "bt601-full-range": ("t=bt709:p=bt709:m=170m:r=full", "yuvj420p",
                         [*SDR, "-colorspace", "smpte170m", "-color_range", "pc"]),
    "bt709-10-bit": ("t=bt709:p=bt709:m=bt709:r=tv", "yuv420p10le", [*SDR, "-colorspace", "bt709"]),
    "bt709": ("t=bt709:p=bt709:m=bt709:r=tv", "yuv420p", [*SDR, "-colorspace", "bt709"]),
}


@pytest.fixture(scope="module")
def picture(tmp_path_factory) -> Path:
    """The SDR picture every source is made from: colour bars, gradients and
    text in BT.709."""
    path = tmp_path_factory.mktemp("colour") / "picture.png"
    ffmpeg("-f", "lavfi", "-i", f"testsrc2=size={SIZE[0]}x{SIZE[1]}", "-frames:v", "1", str(path))
    return path


def make_source(picture: Path, name: str, seconds: float = 1, size: str | None = None) -> Path:
    output, pix_fmt, encoder = SOURCES[name]
    path = picture.with_name(f"{name}-{seconds:g}s.mp4")
    if not path.exists():
        scale = f"scale={size}," if size else ""
        # A moving picture for a long source, so that its chunks differ.
        frames = ["-f", "lavfi", "-i", f"testsrc2=size={size}:rate=30"] if seconds > 1 else \
                 ["-loop", "1", "-i", str(picture)]
        ffmpeg(*frames, "-t", str(seconds), "-r", "30",
               "-vf", f"{scale}format=gbrp,zscale={FROM_SDR}:{output},format={pix_fmt}", *encoder, str(path))
    return path


def rgb_pictures(path: Path, size: tuple[int, int], frames: int = 1) -> list[bytes]:
    width, height = size
    data = subprocess.run(
        ["ffmpeg", "-v", "error", *(["-allowed_extensions", "ALL"] if path.suffix == ".m3u8" else []),
         "-i", str(path), "-frames:v", str(frames), "-vf", f"scale={width}:{height}", "-pix_fmt", "rgb24",
         "-f", "rawvideo", "-"],
        check=True, capture_output=True, env=TOOL_ENV,
    ).stdout
    step = width * height * 3
    return [data[k:k + step] for k in range(0, len(data), step)]


# Tables of a byte pair's difference, larger and smaller, and of (high - low) /
# high: the helpers below look every pixel up in them, so that no Python object
# is made per byte (the address sanitizer job's interpreter makes each one slowly).
DIFFERENCE = [bytes(abs(x - y) for y in range(256)) for x in range(256)]
HIGHER = [bytes(max(x, y) for y in range(256)) for x in range(256)]
LOWER = [bytes(min(x, y) for y in range(256)) for x in range(256)]
SHARE = [[(high - low) / high if high else 0.0 for low in range(256)] for high in range(256)]


def pairwise(table: list, a: bytes, b: bytes):
    return map(type(table[0]).__getitem__, map(table.__getitem__, a), b)


def mean_difference(a: bytes, b: bytes) -> float:
    return sum(pairwise(DIFFERENCE, a, b)) / len(a)


def saturation(rgb: bytes) -> float:
    """The mean of (max - min) / max over the pixels, as HSV's saturation."""
    red, green, blue = rgb[0::3], rgb[1::3], rgb[2::3]
    high = bytes(pairwise(HIGHER, bytes(pairwise(HIGHER, red, green)), blue))
    low = bytes(pairwise(LOWER, bytes(pairwise(LOWER, red, green)), blue))
    return sum(pairwise(SHARE, high, low)) / len(high)


@pytest.mark.parametrize(
    "name, bound, source_colour, conversion",
    [
        ("hlg", 30, "HLG BT.2020 10-bit", "tone-mapped to SDR BT.709"),
        ("pq", 30, "PQ BT.2020 10-bit", "tone-mapped to SDR BT.709"),
        ("bt601-full-range", 8, "SDR BT.709 8-bit full range, BT.601 matrix", "converted to SDR BT.709"),
        ("bt709-10-bit", 8, "SDR BT.709 10-bit", "converted to SDR BT.709"),
        ("bt709", 8, "SDR BT.709 8-bit", "none"),
    ],
)
def test_every_variant_shows_the_sdr_picture_and_says_bt709(picture, tmp_path, name, bound, source_colour,
                                                            conversion):
    result = encode_package(make_source(picture, name), tmp_path / "out", RENDITIONS)
    assert result.ok, result
    assert (result.source_colour, result.colour_conversion) == (source_colour, conversion)
    for rendition in result.renditions:
        size = (rendition.width, rendition.height)
        expected = rgb_pictures(picture, size)[0]
        shown = rgb_pictures(Path(rendition.playlist), size)[0]
        assert mean_difference(shown, expected) <= bound, rendition.name
        assert 0.8 <= saturation(shown) / saturation(expected) <= 1.25, rendition.name
        stream = ffprobe_json("-show_streams", "-select_streams", "v", rendition.playlist)["streams"][0]
        assert {key: stream.get(key) for key in ("color_primaries", "color_transfer", "color_space", "color_range")} \
            == {"color_primaries": "bt709", "color_transfer": "bt709", "color_space": "bt709", "color_range": "tv"}


def test_pq_highlights_above_reference_white_stay_a_ramp(tmp_path):
    """A grey ramp from 203 to 1000 cd/m² in PQ: compressed into SDR's
    highlights, but still rising from left to right, not clipped flat."""
    source = tmp_path / "ramp.mp4"
    # PQ's code values for 203 and 1000 cd/m² in 10 bits with limited range.
    low, high = 64 + 876 * 0.5806, 64 + 876 * 0.7518
    ffmpeg("-f", "lavfi", "-i", "color=c=black:s=512x64:r=30:d=1,format=yuv420p10le",
           "-vf", f"geq=lum='{low}+({high}-{low})*X/W':cb=512:cr=512", *HDR, "-color_trc", "smpte2084",
           "-x265-params", "log-level=error:lossless=1", str(source))
    result = encode_package(source, tmp_path / "out", ["360p"], upscale=True)
    assert result.ok and result.colour_conversion == "tone-mapped to SDR BT.709", result
    width, height = 512, 64
    luma = subprocess.run(
        ["ffmpeg", "-v", "error", "-allowed_extensions", "ALL", "-i", result.renditions[0].playlist,
         "-frames:v", "1", "-vf", f"scale={width}:{height},format=gray", "-f", "rawvideo", "-"],
        check=True, capture_output=True, env=TOOL_ENV,
    ).stdout
    # Columns averaged over the rows and over 32 columns, to see through the dither.
    columns = [sum(luma[y * width + x] for y in range(height)) / height for x in range(width)]
    steps = [sum(columns[k:k + 32]) / 32 for k in range(16, width - 48, 32)]
    assert all(later >= earlier - 0.5 for earlier, later in zip(steps, steps[1:])), steps
    assert steps[-1] - steps[0] >= 6, steps


@pytest.mark.slow
def test_split_hlg_title_has_the_whole_titles_pictures(picture, tmp_path):
    """A split job converts every chunk as the whole-title job converts the
    title: each chunk's first picture as the whole encode shows it."""
    source = make_source(picture, "hlg", seconds=14, size="320x180")
    # A bit rate that leaves the encoder's own losses (which differ from run
    # to run by up to a level) well below what a different conversion makes.
    bitrates = [8_000_000]
    whole = encode_package(source, tmp_path / "whole", ["360p"], upscale=True, bitrates=bitrates)
    assert whole.ok, whole
    keys = tmp_path / "keys"
    keys.mkdir()
    split = split_in_process(source, tmp_path / "split", ["360p"], 6, write_key_info(keys).path, bitrates)
    assert split["outcome"] == "encoded" and split["colour_conversion"] == "tone-mapped to SDR BT.709", split
    (tmp_path / "split" / "enc.key").write_bytes((keys / "enc.key").read_bytes())
    size = (whole.renditions[0].width, whole.renditions[0].height)
    whole_pictures = rgb_pictures(tmp_path / "whole" / "360p.m3u8", size, frames=400)
    split_pictures = rgb_pictures(tmp_path / "split" / "360p.m3u8", size, frames=400)
    for first in (180, 360):  # each chunk's first picture
        assert mean_difference(split_pictures[first], whole_pictures[first]) <= 1, first


def with_dolby_vision(source: Path, path: Path, profile: int, compatibility: int) -> Path:
    """`source` (an ffmpeg-made MP4, its movie box last) with a Dolby Vision
    configuration box in its sample entry, as phones write it."""
    data = bytearray(source.read_bytes())
    fields = (profile << 9) | (6 << 3) | 0b101  # level 6, an RPU and a base layer, no enhancement layer
    box = (32).to_bytes(4, "big") + b"dvcC" + bytes([1, 0]) + fields.to_bytes(2, "big") + \
        bytes([compatibility << 4]) + bytes(19)

    def child(start: int, end: int, name: bytes) -> int:
        while start < end:
            if data[start + 4:start + 8] == name:
                return start
            start += int.from_bytes(data[start:start + 4], "big")
        raise AssertionError(f"no {name!r} box")

    # moov > trak > mdia > minf > stbl > stsd (8 bytes of its own) > the
    # sample entry: each grows by the new box, which ends the sample entry.
    at, end = 0, len(data)
    path_of_boxes = []
    for name in (b"moov", b"trak", b"mdia", b"minf", b"stbl", b"stsd"):
        at = child(at + (8 if path_of_boxes else 0), end, name)
        end = at + int.from_bytes(data[at:at + 4], "big")
        path_of_boxes.append(at)
    entry = at + 16
    path_of_boxes.append(entry)
    insert_at = entry + int.from_bytes(data[entry:entry + 4], "big")
    for at in path_of_boxes:
        data[at:at + 4] = (int.from_bytes(data[at:at + 4], "big") + len(box)).to_bytes(4, "big")
    data[insert_at:insert_at] = box
    path.write_bytes(bytes(data))
    return path


@pytest.mark.parametrize(
    "name, profile, compatibility, source_colour, warned",
    [
        # An iPhone's: its base layer is HLG, whatever its own tags say.
        ("hlg", 8, 4, "HLG BT.2020 10-bit (Dolby Vision profile 8.4)", False),
        # No base layer other players can show.
        ("pq", 5, 0, "PQ BT.2020 10-bit (Dolby Vision profile 5.0)", True),
    ],
)
def test_dolby_vision(picture, tmp_path, caplog, name, profile, compatibility, source_colour, warned):
    untagged = tmp_path / "untagged.mp4"
    # Its base layer's transfer left unsaid, so that only the box can tell.
    ffmpeg("-i", str(make_source(picture, name)), "-c", "copy", "-bsf:v", "hevc_metadata=transfer_characteristics=2",
           str(untagged))
    source = with_dolby_vision(untagged, tmp_path / "dolby-vision.mp4", profile, compatibility)
    result = encode_package(source, tmp_path / "out", ["360p"])
    assert result.ok, result
    assert (result.source_colour, result.colour_conversion) == (source_colour, "tone-mapped to SDR BT.709")
    warnings = [r.getMessage() for r in caplog.records if r.name == "vantrel" and r.levelname == "WARNING"]
    assert bool([w for w in warnings if "Dolby Vision profile 5" in w]) == warned, warnings
