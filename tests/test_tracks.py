"""Every track of an input through the package API: alternate audio
renditions, WebVTT subtitle renditions from the input's text streams and from
subtitle files, what the master playlist declares about them, and a split job
that makes the same package as the whole-title job."""

from __future__ import annotations

import re
import subprocess
from pathlib import Path

import m3u8
import pytest

import vantrel
from conftest import (
    TOOL_ENV,
    MediaFactory,
    Package,
    decrypt_segment,
    ffprobe_json,
    integrated_loudness,
    write_key_info,
)

ONE_PICTURE = 1 / 30
AAC_FRAME = 1024 / 44100
MPEG_TS_CLOCK = 90000

# What each package's master playlist declares, in order:
# (type, language, name, default, forced, characteristics, uri).
DECLARED = {
    "every-track": [
        ("AUDIO", "en", "English", "YES", None, None, "audio_1.m3u8"),
        ("AUDIO", "fr", "French", "NO", None, None, "audio_2.m3u8"),
        ("AUDIO", "en", "English (2)", "NO", None, "public.accessibility.describes-video", "audio_3.m3u8"),
        ("SUBTITLES", "en", "English", "NO", "NO", None, "subtitles_1.m3u8"),
        ("SUBTITLES", "fr", "French", "NO", "NO", None, "subtitles_2.m3u8"),
    ],
    # One sound: muxed into the variant, as with any single-track input.
    "mov-text-and-sidecar": [
        ("SUBTITLES", "de", "German", "YES", "YES", None, "subtitles_1.m3u8"),
        ("SUBTITLES", "es", "Spanish", "NO", "NO", None, "subtitles_2.m3u8"),
    ],
}
TONES = {"audio_1.m3u8": 440, "audio_2.m3u8": 880, "audio_3.m3u8": 660}


def peak_bitrate(package: Package, uri: str) -> int:
    playlist = package.playlist(uri)
    return max(int((package.directory / s.uri).stat().st_size * 8 / s.duration) for s in playlist.segments)


@pytest.mark.parametrize("name", list(DECLARED))
def test_master_declares_and_the_result_reports_every_track(track_packages, name):
    package = track_packages[name]
    master = m3u8.load(str(package.master))
    declared = [(m.type, m.language, m.name, m.default, m.forced, m.characteristics, m.uri) for m in master.media]
    assert declared == DECLARED[name]
    audio = [m for m in master.media if m.type == "AUDIO"]
    for media in master.media:
        assert media.autoselect == "YES" and media.group_id == media.type.lower()
        assert media.channels == ("2" if media.type == "AUDIO" else None)
    (variant,) = master.playlists
    info = variant.stream_info
    assert (info.audio, info.subtitles) == ("audio" if audio else None, "subtitles")
    assert info.codecs.endswith(",mp4a.40.2")
    # A player takes one audio rendition along with the variant: at worst the
    # most demanding.
    largest_audio = max((peak_bitrate(package, m.uri) for m in audio), default=0)
    assert abs(info.bandwidth - peak_bitrate(package, variant.uri) - largest_audio) <= 2

    result = package.result
    reported = [(t["kind"], t["language"], t["name"], t["default"], t["forced"], t["playlist"] and Path(t["playlist"]).name)
                for t in result["audio"] + result["subtitles"] if t["playlist"]]
    assert reported == [(t.lower(), lang, n, d == "YES", f == "YES", uri) for t, lang, n, d, f, _, uri in DECLARED[name]]
    assert all(t["created"] for t in result["audio"] + result["subtitles"])
    bitmap = [{"stream": 6, "kind": "subtitles",
               "reason": "its subtitles are pictures (hdmv_pgs_subtitle), and only text becomes WebVTT"}]
    assert result["left_out"] == (bitmap if name == "every-track" else [])


def dominant_frequency(package: Package, uri: str) -> tuple[float, float]:
    """The tone of a rendition, by the zero crossings of its decoded sound,
    and how many seconds it lasts."""
    pcm = subprocess.run(
        ["ffmpeg", "-v", "error", "-allowed_extensions", "ALL", "-i", str(package.directory / uri),
         "-ac", "1", "-ar", "44100", "-f", "u8", "-"],
        check=True, capture_output=True, env=TOOL_ENV,
    ).stdout
    # Unsigned 8-bit samples, silence at 128: plenty for counting swings, and
    # read as bytes no Python object is made per sample.
    # The middle of it, counting a swing only past a tenth of the peak:
    # the edges and the coder's noise around zero add crossings of their own.
    middle = pcm[44100: -44100]
    threshold = max(middle.translate(bytes(abs(value - 128) for value in range(256)))) / 10
    above, below = 128 + threshold, 128 - threshold
    swings, high = 0, middle[0] > 128
    for sample in middle:
        if (sample > above and not high) or (sample < below and high):
            swings, high = swings + 1, not high
    return swings / 2 / (len(middle) / 44100), len(pcm) / 44100


def test_each_audio_rendition_is_its_own_encrypted_tone(track_packages):
    package = track_packages["every-track"]
    for uri, tone in TONES.items():
        playlist = package.playlist(uri)
        assert {(s.key.method, s.key.uri) for s in playlist.segments} == {("AES-128", "enc.key")}, uri
        frequency, seconds = dominant_frequency(package, uri)
        assert abs(frequency - tone) <= tone * 0.01, (uri, frequency)
        # The encoder's priming and its last frame, whole.
        assert 0 <= seconds - 14 <= 4 * AAC_FRAME, (uri, seconds)


def vtt_segments(package: Package, uri: str) -> list[str]:
    """The decrypted text of each segment of a subtitle rendition, encrypted as the variants are."""
    playlist = package.playlist(uri)
    texts = []
    for number, segment in enumerate(playlist.segments):
        assert (segment.key.method, segment.key.uri) == ("AES-128", "enc.key"), uri
        clear = decrypt_segment(package.directory / segment.uri, package.key, f"IV={segment.key.iv}", number)
        texts.append(clear.decode())
    return texts


def vtt_cues(package: Package, uri: str) -> list[tuple[str, float, int]]:
    """Each segment's cues: (text, start on the MPEG-TS clock in seconds,
    segment number)."""
    cues = []
    for number, text in enumerate(vtt_segments(package, uri)):
        mapped = re.search(r"X-TIMESTAMP-MAP=MPEGTS:(\d+),LOCAL:(\d+):(\d\d):(\d\d\.\d{3})", text)
        assert text.startswith("WEBVTT\n") and mapped, (uri, number)
        mpegts, hours, minutes, seconds = mapped.groups()
        local = int(hours) * 3600 + int(minutes) * 60 + float(seconds)
        for h, m, s, body in re.findall(r"(\d+):(\d\d):(\d\d\.\d{3}) --> \S+\n(.+)", text):
            start = int(h) * 3600 + int(m) * 60 + float(s)
            cues.append((body, int(mpegts) / MPEG_TS_CLOCK + start - local, number))
    return cues


def source_cue_times(source: Path, stream: int) -> list[float]:
    packets = ffprobe_json("-select_streams", str(stream), "-show_entries", "packet=pts_time,size",
                           str(source))["packets"]
    # mov_text fills the time between cues with empty samples (a bare length).
    return [float(p["pts_time"]) for p in packets if int(p["size"]) > 2]


def video_start(path: Path) -> float:
    """The first picture's presentation time, in seconds."""
    packets = ffprobe_json("-select_streams", "v", "-read_intervals", "%+#30", "-show_entries", "packet=pts_time",
                           str(path))["packets"]
    return min(float(p["pts_time"]) for p in packets)


CUES = [
    # (package, subtitle playlist, cues and where their times come from: a
    # stream of the input, or the subtitle file, whose zero is the title's start)
    ("every-track", "subtitles_1.m3u8", MediaFactory.SUBRIP_CUES, 4),
    ("every-track", "subtitles_2.m3u8", MediaFactory.ASS_CUES, 5),
    ("mov-text-and-sidecar", "subtitles_1.m3u8", MediaFactory.SUBRIP_CUES, 2),
    ("mov-text-and-sidecar", "subtitles_2.m3u8", MediaFactory.SIDECAR_CUES, None),
]


@pytest.mark.parametrize("name, uri, expected, stream", CUES)
def test_cues_land_on_their_pictures(track_packages, name, uri, expected, stream):
    package = track_packages[name]
    cues = vtt_cues(package, uri)
    video = package.directory / "360p.m3u8"
    segments = package.playlist("360p.m3u8").segments
    boundaries = [sum(s.duration for s in segments[:k]) for k in range(len(segments) + 1)]
    # The sources' pictures start where their sound does, or a picture later.
    source_start = video_start(package.source) if stream is not None else 0.0
    times = source_cue_times(package.source, stream) if stream is not None else [start for _, start, _ in expected]
    first_picture = video_start(video)
    for (text, start, end), source_time in zip(expected, times):
        found = [(t, number) for body, t, number in cues if body == text]
        assert found, (text, cues)
        # Every segment the cue overlaps carries it, each at the same time.
        offset = source_time - source_start  # from the first picture
        overlapped = {k for k in range(len(segments)) if boundaries[k] < offset + end - start and offset < boundaries[k + 1]}
        assert {number for _, number in found} == overlapped, (text, found, boundaries)
        for t, _ in found:
            assert abs((t - first_picture) - offset) <= ONE_PICTURE, (text, t, first_picture, offset)


def test_split_job_makes_the_whole_jobs_package(track_packages):
    whole, split = track_packages["every-track"], track_packages["every-track-split"]

    def master_without_figures(package: Package) -> str:
        return re.sub(r"(AVERAGE-)?BANDWIDTH=\d+,", "", package.master.read_text())

    assert master_without_figures(split) == master_without_figures(whole)
    for uri in ["360p.m3u8", *TONES, "subtitles_1.m3u8", "subtitles_2.m3u8"]:
        durations = [[s.duration for s in p.playlist(uri).segments] for p in (whole, split)]
        assert len(durations[0]) == len(durations[1]), uri
        # The whole title's last sound packet is cut short to the sound's
        # end; the split job's intermediates keep no durations.
        tolerance = AAC_FRAME if uri in TONES else 1e-6
        assert all(abs(a - b) <= tolerance for a, b in zip(*durations)), (uri, durations)
    for uri in ("subtitles_1.m3u8", "subtitles_2.m3u8"):
        assert vtt_segments(split, uri) == vtt_segments(whole, uri), uri


def test_surround_loudness_is_measured_after_the_downmix(media, workdir):
    info = write_key_info(workdir)
    result = vantrel.encode(media["surround_tone"], workdir / "master.m3u8", renditions=["360p"], key_info=info.path)
    assert result.ok, result
    integrated = integrated_loudness(workdir / "360p.m3u8")
    assert -15.0 <= integrated <= -13.0, integrated
