"""Sources that flash and beep together at known instants, made with the ffmpeg
tool, and the measurement that finds those instants again in a decoded package:
how far sound and picture land apart, how many pictures there are and how long
the whole plays. Both streams of a package share the MPEG-TS clock, so every
instant is read from the timestamps, never from a position in a decoded stream."""

from __future__ import annotations

import dataclasses
import re
import subprocess
import sys
from array import array
from pathlib import Path
from typing import Callable

from conftest import H264_AAC, TOOL_ENV, decrypt_segment, ffmpeg, ffprobe_json
from test_variant import media_playlist

FPS = 30
FRAME_SECONDS = 1 / FPS
FLASH_PICTURES = 3
BEEP_SECONDS = FLASH_PICTURES / FPS
BEEP_HZ = 1000
MEASURE_TIME_BASE = 90000
# Luma of a picture scaled to full-range grey: black is near 0, white near 255.
FLASH_LUMA = 128
# A beep starts at the first sample that reaches this share of its own peak:
# the loudness filter sets each beep's level on its own, and AAC smears a little
# sound ahead of a sharp onset, far below half the beep.
ONSET_SHARE = 0.5
# Any output sample above this share of the loudest is part of a beep.
BEEP_SHARE = 0.05
# Quiet longer than this separates two beeps.
BEEP_GAP_SECONDS = 0.05
# The magnitude of a 16-bit sample's high byte, read as signed.
HIGH_BYTE_MAGNITUDE = bytes(abs(byte - 256 if byte >= 128 else byte) for byte in range(256))


@dataclasses.dataclass(frozen=True)
class Source:
    path: Path
    # The presentation span a player of the source shows: from the earliest
    # start of its audio or video stream (cover art has no span) to the end of
    # the longest, across every joined piece. Each source here is made so that
    # its streams end together, so this is the span of the stream that starts
    # first, and a correct output holds pictures and sound for all of it.
    seconds: float
    # Where the source flashes and beeps together, in seconds of that span.
    events: tuple[float, ...]


# --- making the sources ------------------------------------------------------------


def flashing_video(seconds: float, events: tuple[float, ...], start: float = 0.0) -> list[str]:
    """Black 320x240 pictures at 30 fps from `start` to `seconds`, white for
    three pictures at each event; `start` delays the stream by that much."""
    first_pictures = [round((event - start) * FPS) for event in events]
    flashes = "+".join(f"between(n,{n},{n + FLASH_PICTURES - 1})" for n in first_pictures)
    graph = (
        f"color=c=black:s=320x240:r={FPS}:d={seconds - start},"
        f"drawbox=c=white:t=fill:enable='{flashes}'"
    )
    return [*(["-itsoffset", str(start)] if start else []), "-f", "lavfi", "-i", graph]


def beeping_audio(
    seconds: float, events: tuple[float, ...], start: float = 0.0, rate: int = 48000, layout: str = "stereo"
) -> list[str]:
    """Silence from `start` to `seconds`, a 1 kHz beep at each event, on the
    stream's own clock shifted by `start`."""
    beeps = "+".join(f"between(t,{event - start},{event - start + BEEP_SECONDS})" for event in events)
    graph = (
        f"aevalsrc='0.5*sin(2*PI*{BEEP_HZ}*t)*({beeps})':s={rate}:d={seconds - start},"
        f"aformat=channel_layouts={layout}"
    )
    return [*(["-itsoffset", str(start)] if start else []), "-f", "lavfi", "-i", graph]


def sync_clip(
    path: Path, seconds: float, events: tuple[float, ...], *, video_start: float = 0.0, audio_start: float = 0.0,
    rate: int = 48000, layout: str = "stereo", extra: tuple[str, ...] = (),
) -> Source:
    if not path.exists():
        ffmpeg(
            *flashing_video(seconds, events, video_start),
            *beeping_audio(seconds, events, audio_start, rate, layout),
            *H264_AAC, *extra, str(path),
        )
    return Source(path, seconds, events)


# Instants off the 2 s key picture grid and the 6 s segment cuts, so that no
# event lands on a boundary.
EVENTS = (1.3, 6.7)
SECONDS = 8.0
PIECE_SECONDS = 4.0
PIECE_EVENTS = ((1.3,), (2.7,))


def joined_mpegts(root: Path, name: str, second_clock: float | None, *pieces: dict) -> Source:
    """MPEG-TS pieces of PIECE_SECONDS each joined byte for byte, one event
    apiece. Every piece's clock starts where the muxer starts it, unless
    `second_clock` shifts the second piece's on by that many seconds."""
    paths = []
    for number, (events, options) in enumerate(zip(PIECE_EVENTS, pieces)):
        offset = ("-output_ts_offset", str(second_clock)) if number and second_clock is not None else ()
        # Unshifted by the AAC encoder's priming, every piece's pictures start
        # right on its clock, so that pieces on one clock neither overlap nor
        # leave a gap.
        extra = ("-avoid_negative_ts", "disabled", *offset)
        paths.append(sync_clip(root / f"{name}-{number}.ts", PIECE_SECONDS, events, extra=extra, **options).path)
    joined = root / f"{name}.ts"
    joined.write_bytes(b"".join(path.read_bytes() for path in paths))
    events = tuple(event + number * PIECE_SECONDS for number, piece in enumerate(PIECE_EVENTS) for event in piece)
    return Source(joined, len(paths) * PIECE_SECONDS, events)


def pes_start(packet: bytes) -> tuple[int, int, int | None] | None:
    """(PID, PES stream id, PTS or None) of a TS packet that starts a PES packet."""
    if packet[0] != 0x47 or not packet[1] & 0x40 or not packet[3] & 0x10:
        return None
    payload = 4 + (1 + packet[4] if packet[3] & 0x20 else 0)
    pes = packet[payload:payload + 14]
    if len(pes) < 9 or pes[:3] != b"\0\0\1":
        return None
    pid = ((packet[1] & 0x1F) << 8) | packet[2]
    if not pes[7] & 0x80 or len(pes) < 14:
        return pid, pes[3], None
    pts = ((pes[9] >> 1) & 0x07) << 30 | pes[10] << 22 | (pes[11] >> 1) << 15 | pes[12] << 7 | pes[13] >> 1
    return pid, pes[3], pts


def without_audio_between(source: Source, path: Path, start: float, end: float) -> Source:
    """The MPEG-TS source with every TS packet of the audio PES packets that
    start between `start` and `end` seconds into the audio cut out, as a lossy
    transfer or a damaged disk leaves it."""
    data = source.path.read_bytes()
    kept = bytearray()
    audio_pid, first_pts, cutting = None, None, False
    for at in range(0, len(data) - 187, 188):
        packet = data[at:at + 188]
        pid = ((packet[1] & 0x1F) << 8) | packet[2]
        header = pes_start(packet)
        if header and 0xC0 <= header[1] <= 0xDF and header[2] is not None:
            audio_pid = header[0]
            first_pts = header[2] if first_pts is None else first_pts
            cutting = start <= (header[2] - first_pts) / MEASURE_TIME_BASE < end
        if not (cutting and pid == audio_pid):
            kept += packet
    assert len(kept) < len(data), "no audio was cut out"
    path.write_bytes(bytes(kept))
    return Source(path, source.seconds, source.events)


def empty_edits(path: Path) -> list[float]:
    """The length in seconds of every empty edit (a track's delayed start)
    in the mp4 file's edit lists."""
    data = path.read_bytes()
    mvhd = data.index(b"mvhd")
    timescale = int.from_bytes(data[mvhd + 16:mvhd + 20] if data[mvhd + 4] == 0 else data[mvhd + 24:mvhd + 28], "big")
    found = []
    at = 0
    while (at := data.find(b"elst", at)) >= 0:
        version, count = data[at + 4], int.from_bytes(data[at + 8:at + 12], "big")
        width = 8 if version == 1 else 4
        entry = at + 12
        for _ in range(count):
            duration = int.from_bytes(data[entry:entry + width], "big")
            media_time = int.from_bytes(data[entry + width:entry + 2 * width], "big", signed=True)
            if media_time == -1:
                found.append(duration / timescale)
            entry += 2 * width + 4
        at += 4
    return found


def mp4_with_late_audio_edit(root: Path) -> Source:
    """An mp4 whose audio track starts 0.5 s late through an empty edit."""
    source = sync_clip(root / "edit.mp4", SECONDS, EVENTS, audio_start=0.5)
    assert any(abs(edit - 0.5) < 0.03 for edit in empty_edits(source.path)), empty_edits(source.path)
    return source


def with_cover_art(root: Path) -> Source:
    """A music file's cover art (an attached picture) beside a real video."""
    clip = sync_clip(root / "plain.mkv", SECONDS, EVENTS)
    cover = root / "cover.png"
    ffmpeg("-f", "lavfi", "-i", "color=c=orange:s=300x300", "-frames:v", "1", str(cover))
    path = root / "cover.mp4"
    ffmpeg("-i", str(cover), "-i", str(clip.path), "-map", "0", "-map", "1:v", "-map", "1:a",
           "-c:v:0", "png", "-disposition:v:0", "attached_pic", "-c:v:1", "copy", "-c:a", "copy", str(path))
    streams = ffprobe_json("-show_streams", str(path))["streams"]
    assert sum(s["disposition"]["attached_pic"] for s in streams if s["codec_type"] == "video") == 1, streams
    return Source(path, clip.seconds, clip.events)


CASES: dict[str, Callable[[Path], Source]] = {
    "audio-late-0.5s": lambda root: sync_clip(root / "late.mkv", SECONDS, EVENTS, audio_start=0.5),
    "audio-late-1s": lambda root: sync_clip(root / "late.mkv", SECONDS, EVENTS, audio_start=1.0),
    "video-late-0.5s": lambda root: sync_clip(root / "late.mkv", SECONDS, EVENTS, video_start=0.5),
    "joined-mpegts-clock-restarts": lambda root: joined_mpegts(root, "joined", None, {}, {}),
    "audio-cut-out-for-1s": lambda root: without_audio_between(
        sync_clip(root / "whole.ts", SECONDS, EVENTS), root / "cut.ts", 3.0, 4.0
    ),
    "sample-rate-48k-to-44.1k": lambda root: joined_mpegts(
        root, "rates", PIECE_SECONDS, {"rate": 48000}, {"rate": 44100}
    ),
    "mono-to-stereo": lambda root: joined_mpegts(
        root, "layouts", PIECE_SECONDS, {"layout": "mono"}, {"layout": "stereo"}
    ),
    "mp4-edit-list-delays-audio": mp4_with_late_audio_edit,
    "cover-art-beside-video": with_cover_art,
}


# --- measuring a package -----------------------------------------------------------


@dataclasses.dataclass
class Timeline:
    """What a decoded output shows, in seconds of its own clock."""

    flashes: list[float]
    beeps: list[float]
    pictures: int
    video: tuple[float, float]  # from the first picture to the end of the last
    audio: tuple[float, float]  # from the first sample to the end of the last

    @property
    def duration(self) -> float:
        """The span of the pictures. The sound's span is no measure of the
        output: MPEG-TS cannot mark the AAC encoder's priming and padding frames
        (up to 23 ms at either end) for trimming, so players play them; where
        the sound sits is what the beeps tell."""
        return self.video[1] - self.video[0]

    def offset(self, index: int) -> float | None:
        """How late the beep comes after its flash (negative: early), pairing
        them by order; None when either is missing."""
        if not self.flashes or not self.beeps:
            return None
        return self.beeps[index] - self.flashes[index]

    def __str__(self) -> str:
        def ms(value: float | None) -> str:
            return "none" if value is None else f"{value * 1000:+.0f} ms"

        return (
            f"offset at start {ms(self.offset(0))}, at end {ms(self.offset(-1))}, "
            f"{self.pictures} pictures, {self.duration:.3f} s; video {self.video[0]:.3f}-{self.video[1]:.3f} s, "
            f"audio {self.audio[0]:.3f}-{self.audio[1]:.3f} s, "
            f"flashes at {[round(t, 3) for t in self.flashes]}, beeps at {[round(t, 3) for t in self.beeps]}"
        )


SHOWINFO = re.compile(rb"\[Parsed_showinfo_\d+ @ [^]]+\] n:\s*\d+ pts:\s*(-?\d+) .* mean:\[(\d+)")
ASHOWINFO = re.compile(rb"\[Parsed_ashowinfo_\d+ @ [^]]+\] n:\s*\d+ pts:\s*(-?\d+) .* rate:(\d+) nb_samples:(\d+)")


def flash_onsets(pictures: list[tuple[float, int]]) -> list[float]:
    onsets, lit = [], False
    for seconds, luma in pictures:
        if luma >= FLASH_LUMA and not lit:
            onsets.append(seconds)
        lit = luma >= FLASH_LUMA
    return onsets


@dataclasses.dataclass
class AudioFrame:
    seconds: float  # of its first sample
    first: int  # index of its first sample in the decoded sound
    samples: int
    rate: int


def beep_onsets(samples: array, frames: list[AudioFrame]) -> list[float]:
    """Each sample's instant is read from the timestamp of its frame: the
    decoded sound runs on where the timestamps jump, go back or change rate."""
    # A sample's high byte bounds its magnitude to within 255 either side:
    # those bytes are scanned without making a Python object per sample (which
    # the address sanitizer job's interpreter does slowly), so that only the
    # frames that may hold a loud sample are read sample by sample.
    high_bytes = samples.tobytes()[1 if sys.byteorder == "little" else 0::2].translate(HIGH_BYTE_MAGNITUDE)
    bounds = [256 * max(high_bytes[frame.first:frame.first + frame.samples], default=0) + 255 for frame in frames]
    top = max(bounds, default=0)
    loudest = max((abs(samples[index]) for frame, bound in zip(frames, bounds) if bound >= top - 510
                   for index in range(frame.first, frame.first + frame.samples)), default=0)
    if loudest == 0:
        return []
    # Runs of (instant, magnitude) above the floor, split wherever it is quiet
    # for long or the clock jumps back (frames of a source may overlap a little).
    runs: list[list[tuple[float, int]]] = []
    for frame, bound in zip(frames, bounds):
        if bound < BEEP_SHARE * loudest:
            continue
        for offset in range(frame.samples):
            magnitude = abs(samples[frame.first + offset])
            if magnitude < BEEP_SHARE * loudest:
                continue
            instant = frame.seconds + offset / frame.rate
            if runs and abs(instant - runs[-1][-1][0]) <= BEEP_GAP_SECONDS:
                runs[-1].append((instant, magnitude))
            else:
                runs.append([(instant, magnitude)])
    onsets = []
    for run in runs:
        peak = max(magnitude for _, magnitude in run)
        onsets.append(next(instant for instant, magnitude in run if magnitude >= ONSET_SHARE * peak))
    return onsets


def clear_variant(playlist: Path, key: bytes) -> bytes:
    """The variant's segments decrypted and joined: one MPEG-TS stream, as
    its muxer wrote it. FFmpeg 5.1's HLS demuxer is not used to read it: on
    some packages it gives the first two audio frames the same timestamp, which
    moves the rest of the first PES packet's sound a frame early."""
    listing = media_playlist(playlist)
    return b"".join(
        decrypt_segment(playlist.parent / segment, key, listing["keys"][0], listing["sequence"] + number)
        for number, segment in enumerate(listing["segments"])
    )


def measure(media: Path | bytes, video_only: bool = False) -> Timeline:
    """Decodes the first video and audio stream of `media` (a file, or the
    bytes of an MPEG-TS stream) into tiny grey pictures and mono sound,
    keeping the input's clock, and finds the flashes and beeps."""
    # Fixed time bases make every timestamp an integer count of 1/90000 s. The
    # sound keeps its rate: a resampler's delay would blur the instants.
    sound = [] if video_only else [
        "-map", "0:a:0", "-af",
        f"aformat=sample_fmts=s16:channel_layouts=mono,asettb=1/{MEASURE_TIME_BASE},ashowinfo",
        "-f", "s16le", "pipe:1"]
    proc = subprocess.run(
        ["ffmpeg", "-hide_banner", "-nostats", "-loglevel", "info", "-copyts",
         "-i", "pipe:0" if isinstance(media, bytes) else str(media),
         "-map", "0:v:0", "-vf", f"settb=1/{MEASURE_TIME_BASE},scale=16:12,format=gray,showinfo",
         "-fps_mode", "passthrough", "-f", "null", "-", *sound],
        input=media if isinstance(media, bytes) else b"", capture_output=True, timeout=300, env=TOOL_ENV,
    )
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")[-3000:]
    pictures = [(int(pts) / MEASURE_TIME_BASE, int(luma)) for pts, luma in SHOWINFO.findall(proc.stderr)]
    frames, first = [], 0
    for pts, rate, count in ASHOWINFO.findall(proc.stderr):
        frames.append(AudioFrame(int(pts) / MEASURE_TIME_BASE, first, int(count), int(rate)))
        first += int(count)
    assert pictures and (frames or video_only), proc.stderr.decode(errors="replace")[-3000:]
    samples = array("h")
    samples.frombytes(proc.stdout)
    if sys.byteorder == "big":
        samples.byteswap()
    assert len(samples) == first, (len(samples), first)
    picture_times = [seconds for seconds, _ in pictures]
    # The last picture lasts one tick of the output's 30 fps.
    return Timeline(
        flashes=flash_onsets(pictures),
        beeps=beep_onsets(samples, frames),
        pictures=len(pictures),
        video=(min(picture_times), max(picture_times) + FRAME_SECONDS),
        audio=(min((f.seconds for f in frames), default=0.0),
               max((f.seconds + f.samples / f.rate for f in frames), default=0.0)),
    )
