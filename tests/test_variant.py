"""Each variant as players see it: encrypted segments, H.264/AAC with the
fixed settings, clean timestamps, and honest failures for unusable inputs."""

from __future__ import annotations

import json
from fractions import Fraction
from pathlib import Path

import pytest

from conftest import decrypt_segment, ffprobe_json, integrated_loudness, run_job, write_key_info

# Lines the libraries print when timestamps or durations are wrong.
LIBRARY_TROUBLE = [
    b"non monotonically increasing dts",
    b"has duration 0",
    b"Could not update timestamps",
    b"Application provided invalid",
    b"Queue input is backward in time",
]


def media_playlist(path: Path) -> dict:
    """Tags and segments of a variant playlist, read without a parser."""
    lines = path.read_text().splitlines()
    segments, durations, keys = [], [], []
    for i, line in enumerate(lines):
        if line.startswith("#EXTINF:"):
            durations.append(float(line[len("#EXTINF:"):].split(",")[0]))
            segments.append(lines[i + 1])
        elif line.startswith("#EXT-X-KEY:"):
            keys.append(line[len("#EXT-X-KEY:"):])
    sequence = next((int(l.split(":")[1]) for l in lines if l.startswith("#EXT-X-MEDIA-SEQUENCE:")), 0)
    return {"lines": lines, "segments": segments, "durations": durations, "keys": keys, "sequence": sequence}


def crc32_mpeg2(data: bytes) -> int:
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7 if crc & 0x80000000 else crc << 1) & 0xFFFFFFFF
    return crc


def first_table_intact(clear: bytes) -> bool:
    """Every segment starts with a table packet (SDT or PAT) whose section
    carries a CRC. A wrong IV garbles exactly the first 16 bytes, which the
    0x47 sync bytes alone would not show."""
    packet = clear[:188]
    if len(packet) < 188 or packet[0] != 0x47 or not packet[1] & 0x40:
        return False
    offset = 4
    if packet[3] & 0x20:  # adaptation field
        offset += 1 + packet[4]
    section = packet[offset + 1 + packet[offset]:]
    length = ((section[1] & 0x0F) << 8) | section[2]
    return 3 + length <= len(section) and crc32_mpeg2(section[: 3 + length]) == 0


def is_mpeg_ts(data: bytes) -> bool:
    return len(data) >= 188 and len(data) % 188 == 0 and all(data[i] == 0x47 for i in range(0, len(data), 188))


def probe_packets(playlist: Path, stream: str) -> list[dict]:
    return ffprobe_json(
        "-select_streams", stream, "-show_entries", "packet=pts,dts,duration,flags", str(playlist)
    )["packets"]


@pytest.fixture
def encode(media, workdir, keyinfo):
    """Runs one job on a named input and returns (job, workdir)."""

    def run(source: str, resolution=("360p",), bitrate=()):
        job = run_job(workdir, media[source], "master.m3u8", list(resolution), list(bitrate), keyinfo.path)
        return job

    return run


@pytest.mark.threads
def test_package_shape_and_real_encryption(encode, workdir, keyinfo):
    job = encode("fps2997", ["480p", "360p"])
    assert job.messages("ERROR") == [], job.stderr
    for stem in ("480p", "360p"):
        playlist = media_playlist(workdir / f"{stem}.m3u8")
        assert playlist["lines"][-1] == "#EXT-X-ENDLIST"
        assert playlist["keys"] and all(
            k.startswith("METHOD=AES-128,") and f'URI="{keyinfo.uri}"' in k for k in playlist["keys"]
        )
        assert playlist["segments"] == [f"{stem}_{i:03d}.ts" for i in range(len(playlist["segments"]))]
        assert len(playlist["segments"]) == 2
        for number, name in enumerate(playlist["segments"]):
            raw = (workdir / name).read_bytes()
            assert not is_mpeg_ts(raw)
            clear = decrypt_segment(workdir / name, keyinfo.key, playlist["keys"][0], playlist["sequence"] + number)
            assert is_mpeg_ts(clear) and first_table_intact(clear)
            # The same key with another IV must not pass for the right one.
            wrong_iv = decrypt_segment(workdir / name, keyinfo.key, "", 0x5EED + number)
            assert not first_table_intact(wrong_iv)


def test_declared_iv_is_used(media, workdir):
    info = write_key_info(workdir, iv=bytes(range(16)))
    run_job(workdir, media["tiny"], "master.m3u8", ["360p"], key=info.path)
    playlist = media_playlist(workdir / "360p.m3u8")
    assert "iv=0x000102030405060708090a0b0c0d0e0f" in playlist["keys"][0].lower()
    clear = decrypt_segment(workdir / "360p_000.ts", info.key, playlist["keys"][0], 0)
    assert is_mpeg_ts(clear) and first_table_intact(clear)


def test_settings_of_every_variant(encode, workdir):
    job = encode("clip", ["480p", "360p"])
    assert job.messages("ERROR") == []
    for stem, size in (("480p", (854, 480)), ("360p", (640, 360))):
        streams = ffprobe_json("-show_streams", str(workdir / f"{stem}.m3u8"))["streams"]
        video = next(s for s in streams if s["codec_type"] == "video")
        audio = next(s for s in streams if s["codec_type"] == "audio")
        assert video["codec_name"] == "h264"
        assert (video["width"], video["height"]) == size
        assert video["r_frame_rate"] == "30/1"
        assert video["pix_fmt"] == "yuv420p"
        assert audio["codec_name"] == "aac"
        assert audio["sample_rate"] == "44100"
        assert audio["channels"] == 2


def test_key_pictures_every_60_and_at_every_segment_start(media, workdir, keyinfo):
    job = run_job(workdir, media["fps2997"], "master.m3u8", ["360p"], key=keyinfo.path)
    assert job.messages("ERROR") == []
    packets = probe_packets(workdir / "360p.m3u8", "v")
    order = sorted(range(len(packets)), key=lambda i: int(packets[i]["pts"]))
    keys = [rank for rank, i in enumerate(order) if "K" in packets[i]["flags"]]
    assert keys == list(range(0, len(packets), 60))
    playlist = media_playlist(workdir / "360p.m3u8")
    for number, name in enumerate(playlist["segments"]):
        clear = decrypt_segment(workdir / name, keyinfo.key, playlist["keys"][0], number)
        (workdir / "clear.ts").write_bytes(clear)
        first = ffprobe_json("-select_streams", "v", "-show_frames", "-read_intervals", "%+#1", str(workdir / "clear.ts"))
        assert first["frames"][0]["pict_type"] == "I" and first["frames"][0]["key_frame"] == 1, name


@pytest.mark.parametrize(
    "source, seconds, pictures",
    [
        ("fps25", 7, 175),  # every picture kept
        ("fps2997", 7, 210),  # every picture kept, ticks step by 2 now and then
        ("fps60", 7, 211),  # every other picture dropped
    ],
)
def test_timestamps_increase_and_durations_add_up(encode, workdir, source, seconds, pictures):
    job = encode(source)
    assert job.messages("ERROR") == []
    for trouble in LIBRARY_TROUBLE:
        assert trouble not in job.stderr, trouble
    packets = probe_packets(workdir / "360p.m3u8", "v")
    assert len(packets) == pictures
    dts = [int(p["dts"]) for p in packets]
    assert all(a < b for a, b in zip(dts, dts[1:]))
    assert all(int(p["duration"]) > 0 for p in packets)
    total = sum(media_playlist(workdir / "360p.m3u8")["durations"])
    assert abs(total - seconds) <= 1 / 30 + 1e-6, total


@pytest.mark.parametrize("source", ["mono", "surround", "audio_44k"])
def test_any_audio_becomes_44100_stereo_aac(encode, workdir, source):
    job = encode(source)
    assert job.messages("SUCCESS")[0] == "Encrypted variant created: 360p.m3u8", job.stderr
    audio = ffprobe_json("-select_streams", "a", "-show_streams", str(workdir / "360p.m3u8"))["streams"][0]
    assert (audio["codec_name"], audio["sample_rate"], audio["channels"]) == ("aac", "44100", 2)
    packets = probe_packets(workdir / "360p.m3u8", "a")
    # Two seconds of audio, in whole 1024-sample frames but the last.
    assert abs(len(packets) - 2 * 44100 / 1024) <= 3


def test_loudness_is_normalised(encode, workdir):
    job = encode("loud")
    assert job.messages("ERROR") == []
    integrated = integrated_loudness(workdir / "360p.m3u8")
    assert -16.0 <= integrated <= -12.0, integrated


def test_extra_streams_are_ignored(encode, workdir):
    job = encode("extra_tracks")
    assert job.messages("SUCCESS")[0] == "Encrypted variant created: 360p.m3u8", job.stderr
    streams = ffprobe_json("-show_streams", str(workdir / "360p.m3u8"))["streams"]
    assert sorted(s["codec_type"] for s in streams) == ["audio", "video"]


def test_input_with_late_start_keeps_audio_and_video_together(encode, workdir):
    # An MPEG-TS input whose clock starts at 100 s.
    job = encode("mpegts")
    assert job.messages("ERROR") == []
    first = {}
    for kind in ("v", "a"):
        packets = probe_packets(workdir / "360p.m3u8", kind)
        first[kind] = min(int(p["pts"]) for p in packets) / 90000
    assert abs(first["v"] - first["a"]) < 0.2, first


def test_video_only_input_fails_every_variant_honestly(encode, workdir):
    job = encode("video_only", ["480p", "360p"])
    assert job.returncode == 0 and job.result == "None"
    errors = job.messages("ERROR")
    assert sorted(errors[:2]) == [
        "Variant 360p.m3u8 failed: could not find an audio stream: Stream not found",
        "Variant 480p.m3u8 failed: could not find an audio stream: Stream not found",
    ]
    assert errors[2] == "Transcoding finished with 2 of 2 variants failed."
    assert job.messages("SUCCESS") == []
    assert not (workdir / "master.m3u8").exists()
    assert not list(workdir.glob("*.ts"))


@pytest.mark.parametrize("source", ["truncated", "random_bytes"])
def test_broken_inputs_return_cleanly(encode, workdir, source):
    job = encode(source)
    assert job.returncode == 0 and job.result == "None"
    assert job.messages("ERROR"), job.stderr
    assert "All secure transcoding finished flawlessly." not in job.messages("SUCCESS")
