"""Shared fixtures: media generated with the ffmpeg tool, keys, and a runner
that calls hls_encoder in a child process and captures its console log."""

from __future__ import annotations

import dataclasses
import json
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

import m3u8
import pytest
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

LOG_LINE = re.compile(
    rb"^\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\] \[(INFO|WARN|ERROR|SUCCESS)\] (.*)$"
)
# The media libraries write their own lines to the same streams in pieces,
# without our lock, so one of ours may follow a piece of theirs.
LOG_LINE_ANYWHERE = re.compile(
    rb"\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\] \[(INFO|WARN|ERROR|SUCCESS)\] (.*)$"
)


# A sanitizer run (scripts/sanitize.sh) preloads its runtime into this
# interpreter, and so into every child; the ffmpeg tools are not under test and
# run without it.
TOOL_ENV = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
# Where the sanitizer runtime of a sanitizer run writes its reports, one file
# per reporting process.
SANITIZER_LOG_DIR = os.environ.get("VANTREL_SANITIZER_LOG_DIR")


def ffmpeg(*args: str) -> None:
    subprocess.run(
        ["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", *args],
        check=True,
        env=TOOL_ENV,
    )


def video_source(size: str, rate: str) -> list[str]:
    return ["-f", "lavfi", "-i", f"testsrc2=size={size}:rate={rate}"]


def tone_source(rate: int = 48000, layout: str = "stereo", volume: float = 0.1) -> list[str]:
    # A tremolo makes the tone vary like speech, so loudness gating has something to measure.
    return [
        "-f",
        "lavfi",
        "-i",
        f"sine=frequency=330:sample_rate={rate},volume={volume},tremolo=f=3:d=0.6,"
        f"aformat=channel_layouts={layout}",
    ]


H264_AAC = ["-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac"]


class MediaFactory:
    """Makes each named input once per session, on first use."""

    RECIPES = {
        # name: (file name, ffmpeg arguments after the output-independent inputs)
        "tiny": ("tiny.mp4", [*video_source("160x90", "30"), *tone_source(), "-t", "1", *H264_AAC]),
        "clip": ("clip.mp4", [*video_source("320x180", "30"), *tone_source(), "-t", "3", *H264_AAC]),
        "portrait": (
            "portrait.mp4",
            [*video_source("90x160", "30"), *tone_source(), "-t", "1", *H264_AAC],
        ),
        "square": ("square.mp4", [*video_source("100x100", "30"), *tone_source(), "-t", "1", *H264_AAC]),
        "audio_only": ("audio_only.m4a", [*tone_source(), "-t", "1", "-c:a", "aac"]),
        "video_only": (
            "video_only.mp4",
            [*video_source("160x90", "30"), "-t", "1", "-c:v", "libx264", "-preset", "ultrafast",
             "-pix_fmt", "yuv420p"],
        ),
        "mono": ("mono.mp4", [*video_source("160x90", "30"), *tone_source(layout="mono"), "-t", "2", *H264_AAC]),
        "surround": (
            "surround.mp4",
            [*video_source("160x90", "30"), *tone_source(layout="5.1"), "-t", "2", *H264_AAC],
        ),
        "audio_44k": (
            "audio_44k.mp4",
            [*video_source("160x90", "30"), *tone_source(rate=44100), "-t", "2", *H264_AAC],
        ),
        "fps25": ("fps25.mp4", [*video_source("160x90", "25"), *tone_source(), "-t", "7", *H264_AAC]),
        "fps2997": (
            "fps2997.mp4",
            [*video_source("160x90", "30000/1001"), *tone_source(), "-t", "7", *H264_AAC],
        ),
        "fps60": ("fps60.mp4", [*video_source("160x90", "60"), *tone_source(), "-t", "7", *H264_AAC]),
        "loud": (
            "loud.mp4",
            [*video_source("160x90", "30"), *tone_source(volume=0.02), "-t", "10", *H264_AAC],
        ),
        "mpegts": (
            "offset.ts",
            [*video_source("160x90", "30"), *tone_source(), "-t", "3", *H264_AAC, "-output_ts_offset", "100"],
        ),
        # Long enough for two whole 6-second segments and a short last one.
        "long30": ("long30.mp4", [*video_source("320x180", "30"), *tone_source(), "-t", "14", *H264_AAC]),
        "long2997": (
            "long2997.mp4",
            [*video_source("320x180", "30000/1001"), *tone_source(), "-t", "14", *H264_AAC],
        ),
        "long25": ("long25.mp4", [*video_source("320x180", "25"), *tone_source(), "-t", "14", *H264_AAC]),
        "long_offset": (
            "long_offset.ts",
            [*video_source("320x180", "30"), *tone_source(), "-t", "14", *H264_AAC, "-output_ts_offset", "100"],
        ),
        "extra_tracks": (
            "extra_tracks.mkv",
            [
                *video_source("160x90", "30"),
                *tone_source(),
                "-f", "lavfi", "-i", "sine=frequency=880:sample_rate=22050",
                "-f", "srt", "-i", "{subtitles}",
                "-map", "0:v", "-map", "1:a", "-map", "2:a", "-map", "3:s",
                "-t", "2", *H264_AAC, "-c:s", "srt",
            ],
        ),
        # Every kind of track: three audio streams (English, the default;
        # French; English again, described for the visually impaired), text
        # subtitles in SubRip (English, a cue across the first segment
        # boundary) and ASS (French), and a bitmap (PGS) subtitle stream.
        "tracks": (
            "tracks.mkv",
            [
                *video_source("320x180", "30"),
                *(arg for hz in (440, 880, 660) for arg in ("-f", "lavfi", "-i", f"sine=frequency={hz}:sample_rate=48000")),
                "-i", "{subrip}", "-i", "{ass}", "-i", "{pgs}",
                "-map", "0:v", "-map", "1:a", "-map", "2:a", "-map", "3:a", "-map", "4", "-map", "5", "-map", "6",
                "-t", "14", *H264_AAC, "-c:s:0", "srt", "-c:s:1", "ass", "-c:s:2", "copy",
                "-metadata:s:a:0", "language=eng", "-metadata:s:a:1", "language=fre",
                "-metadata:s:a:2", "language=eng", "-disposition:a:0", "default", "-disposition:a:1", "0",
                "-disposition:a:2", "visual_impaired", "-metadata:s:s:0", "language=eng",
                "-metadata:s:s:1", "language=fre", "-disposition:s:0", "0",
            ],
        ),
        # One sound, and a mov_text subtitle stream in German, forced.
        "mov_text": (
            "mov_text.mp4",
            [
                *video_source("320x180", "30"), *tone_source(), "-i", "{subrip}",
                "-map", "0:v", "-map", "1:a", "-map", "2", "-t", "8", *H264_AAC, "-c:s", "mov_text",
                "-metadata:s:s:0", "language=ger", "-disposition:s:0", "forced",
            ],
        ),
        # The same tone on all six channels, long enough to measure its loudness.
        "surround_tone": (
            "surround_tone.mp4",
            [
                *video_source("160x90", "30"), "-f", "lavfi", "-i",
                "sine=frequency=330:sample_rate=48000,volume=0.02,tremolo=f=3:d=0.6,"
                "pan=5.1|c0=c0|c1=c0|c2=c0|c3=c0|c4=c0|c5=c0",
                "-t", "10", *H264_AAC,
            ],
        ),
    }
    # Cue texts and times (seconds) of the subtitle files the recipes use.
    SUBRIP_CUES = [("First cue", 1.0, 2.0), ("Across the boundary", 5.5, 6.5)]
    ASS_CUES = [("Bonjour", 3.0, 4.0)]
    SIDECAR_CUES = [("Hola", 2.0, 3.5)]

    def __init__(self, root: Path) -> None:
        self.root = root

    def __getitem__(self, name: str) -> Path:
        if name == "random_bytes":
            return self._random_bytes()
        if name == "truncated":
            return self._truncated()
        if name == "sidecar":
            return self._sidecar()
        file_name, args = self.RECIPES[name]
        path = self.root / file_name
        if not path.exists():
            files = {"{subtitles}": self._subtitles, "{subrip}": self._subrip, "{ass}": self._ass, "{pgs}": self._pgs}
            args = [str(files[a]()) if a in files else a for a in args]
            partial = path.with_name("partial-" + file_name)
            ffmpeg(*args, str(partial))
            partial.rename(path)
        return path

    def _subtitles(self) -> Path:
        path = self.root / "subtitles.srt"
        path.write_text("1\n00:00:00,000 --> 00:00:01,500\nHello\n\n")
        return path

    def _subrip(self) -> Path:
        path = self.root / "cues.srt"
        path.write_text("".join(
            f"{n}\n{_srt_time(start)} --> {_srt_time(end)}\n{text}\n\n"
            for n, (text, start, end) in enumerate(self.SUBRIP_CUES, 1)
        ))
        return path

    def _ass(self) -> Path:
        path = self.root / "cues.ass"
        events = "".join(
            f"Dialogue: 0,{_ass_time(start)},{_ass_time(end)},Default,,0,0,0,,{text}\n" for text, start, end in self.ASS_CUES
        )
        path.write_text(
            "[Script Info]\nScriptType: v4.00+\nPlayResX: 320\nPlayResY: 180\n\n[V4+ Styles]\n"
            "Format: Name, Fontname, Fontsize, PrimaryColour, Bold, Italic, Alignment, MarginL, MarginR, MarginV\n"
            "Style: Default,Arial,16,&H00FFFFFF,0,0,2,10,10,10\n\n[Events]\n"
            "Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n" + events
        )
        return path

    def _pgs(self) -> Path:
        """Two display sets of a PGS stream, each a composition and its end:
        enough for the container and the probe to know it for a bitmap codec."""
        def segment(pts: int, kind: int, payload: bytes = b"") -> bytes:
            return b"PG" + struct.pack(">II", pts, 0) + bytes([kind]) + struct.pack(">H", len(payload)) + payload

        composition = struct.pack(">HHBHBBBB", 320, 180, 0x10, 0, 0x80, 0, 0, 0)
        path = self.root / "bitmap.sup"
        path.write_bytes(b"".join(segment(pts, 0x16, composition) + segment(pts, 0x80) for pts in (90000, 270000)))
        return path

    def _sidecar(self) -> Path:
        """A WebVTT file whose name says its language, Spanish."""
        path = self.root / "talk.es.vtt"
        path.write_text("WEBVTT\n\n" + "".join(
            f"{_srt_time(start).replace(',', '.')} --> {_srt_time(end).replace(',', '.')}\n{text}\n\n"
            for text, start, end in self.SIDECAR_CUES
        ))
        return path

    def _random_bytes(self) -> Path:
        path = self.root / "random.mp4"
        if not path.exists():
            # The same bytes every run: about one buffer of fresh random bytes
            # in 150 happens to probe as some raw format (a 352x288 picture
            # stream), and the tests of unreadable input would then fail.
            path.write_bytes(random.Random(1).randbytes(64 * 1024))
        return path

    def _truncated(self) -> Path:
        path = self.root / "truncated.mp4"
        if not path.exists():
            whole = self["clip"].read_bytes()
            path.write_bytes(whole[: len(whole) // 2])
        return path


def _srt_time(seconds: float) -> str:
    millis = round(seconds * 1000)
    return f"{millis // 3600000:02}:{millis // 60000 % 60:02}:{millis // 1000 % 60:02},{millis % 1000:03}"


def _ass_time(seconds: float) -> str:
    centis = round(seconds * 100)
    return f"{centis // 360000}:{centis // 6000 % 60:02}:{centis // 100 % 60:02}.{centis % 100:02}"


PLAYER_DIR = Path(__file__).parent / "player"
CHROMIUM = os.environ.get("VANTREL_CHROMIUM", "/usr/bin/chromium")


@pytest.fixture(scope="session")
def player() -> Path:
    """The headless driver, once its Node packages and Chromium are there."""
    missing = []
    if shutil.which("node") is None:
        missing.append("Node.js (apt-get install nodejs npm)")
    for package in ("hls.js", "playwright-core"):
        if not (PLAYER_DIR / "node_modules" / package / "package.json").is_file():
            missing.append(f"{package} (npm ci --prefix {PLAYER_DIR})")
    if not os.access(CHROMIUM, os.X_OK):
        missing.append(f"Chromium at {CHROMIUM} (apt-get install chromium)")
    if missing:
        pytest.fail("the browser player needs " + ", ".join(missing) + "; ./scripts/test.sh installs them")
    return PLAYER_DIR / "play.js"


@pytest.fixture(scope="session")
def media(tmp_path_factory: pytest.TempPathFactory) -> MediaFactory:
    if shutil.which("ffmpeg") is None:
        pytest.fail("the ffmpeg tool is needed to generate test inputs")
    return MediaFactory(tmp_path_factory.mktemp("media"))


@pytest.fixture(autouse=True)
def no_sanitizer_reports():
    """In a sanitizer run, fails the test whose processes reported anything."""
    if not SANITIZER_LOG_DIR:
        yield
        return
    log_dir = Path(SANITIZER_LOG_DIR)
    before = set(log_dir.iterdir())
    yield
    reports = sorted(set(log_dir.iterdir()) - before)
    if reports:
        text = "\n".join(f"--- {path.name}\n{path.read_text(errors='replace')}" for path in reports)
        pytest.fail(f"sanitizer reports:\n{text}", pytrace=False)


@dataclasses.dataclass
class KeyInfo:
    path: Path
    key: bytes
    iv: bytes | None
    uri: str


def write_key_info(directory: Path, iv: bytes | None = None, uri: str = "enc.key") -> KeyInfo:
    key = os.urandom(16)
    (directory / "enc.key").write_bytes(key)
    lines = [uri, str(directory / "enc.key")]
    if iv is not None:
        lines.append(iv.hex())
    path = directory / "enc.keyinfo"
    path.write_text("\n".join(lines) + "\n")
    return KeyInfo(path, key, iv, uri)


@pytest.fixture
def workdir(tmp_path: Path) -> Path:
    return tmp_path


def default_stop_signals() -> None:
    """For a child that the test stops with a signal: started in the
    background from a non-interactive shell, the test run inherits SIGINT
    ignored (and nohup adds SIGHUP), which every child would keep."""
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, signal.SIG_DFL)


def tree(root: Path) -> dict[str, bytes]:
    """Every file below `root`, hidden ones included, with its content."""
    return {str(path.relative_to(root)): path.read_bytes() for path in root.rglob("*") if path.is_file()}


@pytest.fixture
def keyinfo(workdir: Path) -> KeyInfo:
    return write_key_info(workdir)


@dataclasses.dataclass
class JobResult:
    returncode: int
    stdout: bytes
    stderr: bytes
    result: str

    @staticmethod
    def _lines(stream: bytes) -> list[tuple[str, bytes]]:
        found = []
        for raw in stream.split(b"\n"):
            match = LOG_LINE_ANYWHERE.search(raw)
            if match:
                found.append((match.group(2).decode(), match.group(3)))
        return found

    @property
    def log(self) -> list[tuple[str, str]]:
        """Our log lines, stdout's then stderr's, as (level, message)."""
        return [
            (level, message.decode("utf-8", "replace"))
            for level, message in self._lines(self.stdout) + self._lines(self.stderr)
        ]

    def messages(self, level: str) -> list[str]:
        return [message for lvl, message in self.log if lvl == level]


RUNNER = """
import json, sys
import vantrel
args, kwargs = json.loads(sys.stdin.buffer.read())
def decode(value):
    if isinstance(value, dict) and "bytes" in value:
        return bytes.fromhex(value["bytes"])
    if isinstance(value, dict) and "bytearray" in value:
        return bytearray.fromhex(value["bytearray"])
    if isinstance(value, list):
        return [decode(v) for v in value]
    return value
result = vantrel.hls_encoder(*[decode(a) for a in args], **{k: decode(v) for k, v in kwargs.items()})
# Not on stdout: the native log's buffered lines are still to come there.
with open(sys.argv[1], "w") as out:
    out.write(repr(result))
"""


def _encode(value):
    if isinstance(value, bytes):
        return {"bytes": value.hex()}
    if isinstance(value, bytearray):
        return {"bytearray": value.hex()}
    if isinstance(value, os.PathLike):
        return os.fspath(value)
    if isinstance(value, (list, tuple)):
        return [_encode(v) for v in value]
    return value


def run_job(cwd: Path, *args, timeout: float = 300, **kwargs) -> JobResult:
    """Calls vantrel.hls_encoder(*args, **kwargs) in a fresh interpreter in
    `cwd`. Paths may be given as Path objects; they are passed as str."""
    payload = json.dumps([[_encode(a) for a in args], {k: _encode(v) for k, v in kwargs.items()}])
    with tempfile.TemporaryDirectory() as scratch:
        result_path = Path(scratch) / "result"
        proc = subprocess.run(
            [sys.executable, "-c", RUNNER, str(result_path)],
            input=payload.encode(),
            cwd=cwd,
            capture_output=True,
            timeout=timeout,
        )
        result = result_path.read_text() if result_path.exists() else ""
    return JobResult(proc.returncode, proc.stdout, proc.stderr, result)


BATCH_RUNNER = """
import ctypes, json, os, sys, time
import vantrel
libc = ctypes.CDLL(None)
calls = json.loads(sys.stdin.buffer.read())
threads_at_start = len(os.listdir("/proc/self/task"))
with open(sys.argv[1], "w") as report:
    for number, (args, kwargs) in enumerate(calls):
        # The native log writes through C stdio; flushing it before each marker
        # keeps every call's lines between its own markers on both streams.
        libc.fflush(None)
        marker = f"\\n@@@ call {number}\\n".encode()
        os.write(1, marker)
        os.write(2, marker)
        started = time.monotonic()
        result = vantrel.hls_encoder(*args, **kwargs)
        libc.fflush(None)
        with open("/proc/self/statm") as statm:
            resident_pages = int(statm.read().split()[1])
        report.write(json.dumps({
            "result": repr(result),
            "seconds": time.monotonic() - started,
            "open_fds": len(os.listdir("/proc/self/fd")),
            "threads": len(os.listdir("/proc/self/task")),
            "threads_at_start": threads_at_start,
            "resident_bytes": resident_pages * os.sysconf("SC_PAGE_SIZE"),
        }) + "\\n")
        report.flush()
"""


@dataclasses.dataclass
class BatchCall(JobResult):
    seconds: float
    open_fds: int
    threads: int
    threads_at_start: int
    resident_bytes: int


@dataclasses.dataclass
class Batch:
    returncode: int
    calls: list[BatchCall]
    # The whole streams, for what the process printed after its last call.
    stdout: bytes
    stderr: bytes


def run_jobs(cwd: Path, calls: list[tuple[tuple, dict]], timeout: float) -> Batch:
    """Calls vantrel.hls_encoder once per (args, kwargs) pair, in order, in one
    fresh interpreter in `cwd`, as a long-lived service process would. Each
    call's result holds its own log lines, its duration and the process's open
    descriptors, threads and resident memory after it. A process that died or hung
    returns the calls it finished; the next one is the culprit."""
    payload = json.dumps(
        [[[_encode(a) for a in args], {k: _encode(v) for k, v in kwargs.items()}] for args, kwargs in calls]
    )
    with tempfile.TemporaryDirectory() as scratch:
        report_path = Path(scratch) / "report"
        try:
            proc = subprocess.run(
                [sys.executable, "-c", BATCH_RUNNER, str(report_path)],
                input=payload.encode(),
                cwd=cwd,
                capture_output=True,
                timeout=timeout,
            )
            returncode, stdout, stderr = proc.returncode, proc.stdout, proc.stderr
        except subprocess.TimeoutExpired as expired:
            returncode, stdout, stderr = None, expired.stdout or b"", expired.stderr or b""
        reports = [json.loads(line) for line in report_path.read_text().splitlines()] if report_path.exists() else []
    out_parts = re.split(rb"\n@@@ call \d+\n", stdout)[1:]
    err_parts = re.split(rb"\n@@@ call \d+\n", stderr)[1:]
    finished = [
        BatchCall(
            returncode, out, err, report["result"], report["seconds"], report["open_fds"], report["threads"],
            report["threads_at_start"], report["resident_bytes"],
        )
        for out, err, report in zip(out_parts, err_parts, reports)
    ]
    return Batch(returncode, finished, stdout, stderr)


def ffprobe_json(*args: str) -> dict:
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-allowed_extensions", "ALL", "-of", "json", *args],
        check=True,
        capture_output=True,
        env=TOOL_ENV,
    ).stdout
    return json.loads(out)


def integrated_loudness(playlist: Path) -> float:
    """The integrated loudness (LUFS) of a variant's or rendition's sound, as ebur128 measures it."""
    report = subprocess.run(
        ["ffmpeg", "-hide_banner", "-nostats", "-allowed_extensions", "ALL", "-i", str(playlist),
         "-map", "0:a", "-af", "ebur128", "-f", "null", "-"],
        capture_output=True, text=True, check=True, env=TOOL_ENV,
    ).stderr
    return float(re.findall(r"I:\s+(-?[\d.]+) LUFS", report)[-1])


def decrypt_segment(path: Path | bytes, key: bytes, key_tag: str, sequence_number: int) -> bytes:
    """The clear MPEG-TS of an AES-128 segment (its file, or its bytes);
    `key_tag` is the attribute text of its #EXT-X-KEY, whose IV, when absent,
    is the media sequence number."""
    match = re.search(r"IV=0x([0-9A-Fa-f]{32})", key_tag)
    iv = bytes.fromhex(match.group(1)) if match else sequence_number.to_bytes(16, "big")
    decryptor = Cipher(algorithms.AES(key), modes.CBC(iv)).decryptor()
    encrypted = path if isinstance(path, bytes) else path.read_bytes()
    padded = decryptor.update(encrypted) + decryptor.finalize()
    pad = padded[-1]
    assert 1 <= pad <= 16 and padded[-pad:] == bytes([pad]) * pad, "bad PKCS#7 padding"
    return padded[:-pad]


@dataclasses.dataclass
class Package:
    """One finished job: master.m3u8, its variants, their segments and the key,
    all in `directory`, laid out as a web server would serve them."""

    directory: Path
    source: Path
    key: bytes
    stems: list[str]
    job: JobResult | None  # None for a package stitched from chunks or made by the package API
    result: dict | None = None  # the package API's result

    @property
    def master(self) -> Path:
        return self.directory / "master.m3u8"

    # How a player reads the package: here from its files; a ServedPackage
    # (served_packages.py) reads it through vantrel.delivery.
    key_uri = "enc.key"

    def playlist(self, name: str) -> m3u8.M3U8:
        return m3u8.load(str(self.directory / name))

    def fetch(self, absolute_uri: str) -> bytes:
        """What a URI of the playlists (as the parser resolved it) names."""
        return Path(absolute_uri).read_bytes()

    def named(self, uri: str) -> str:
        """How the playlists name the file a package lists as `uri`."""
        return uri


class PackageFactory:
    """Encodes each named package once per session, on first use. These are
    all the packages the suite makes from clips of 14 seconds or more, so every
    one of them goes through the strict playlist checks and the players."""

    RECIPES = {
        # name: (input, renditions)
        "ladder-30fps": ("long30", ["720p", "480p", "360p"]),
        "source-29.97fps": ("long2997", ["480p", "360p"]),
        "source-25fps": ("long25", ["480p", "360p"]),
        "source-clock-at-100s": ("long_offset", ["480p", "360p"]),
        # Encoded in 6 s chunks (the sound apart) and stitched, as the job
        # queue's split jobs are.
        "stitched-from-chunks": ("long30", ["720p", "480p", "360p"], 6),
    }

    def __init__(self, root: Path, media: MediaFactory) -> None:
        self.root = root
        self.media = media
        self.made: dict[str, Package] = {}
        self.failed: dict[str, str] = {}

    def __getitem__(self, name: str) -> Package:
        if name not in self.made and name not in self.failed:
            source_name, renditions, *chunk_seconds = self.RECIPES[name]
            directory = self.root / name
            source = self.media[source_name]
            if chunk_seconds:
                self._stitch(name, source, renditions, chunk_seconds[0])
            else:
                directory.mkdir()
                # The key URI is relative, so players fetch the key from
                # beside the variant playlists.
                info = write_key_info(directory)
                job = run_job(directory, source, "master.m3u8", renditions, [], info.path)
                if "All secure transcoding finished flawlessly." in job.messages("SUCCESS"):
                    self.made[name] = Package(directory, source, info.key, renditions, job)
                else:
                    self.failed[name] = f"package {name} was not made:\n{job.stderr.decode(errors='replace')}"
        if name in self.failed:
            pytest.fail(self.failed[name])
        return self.made[name]


    def _stitch(self, name: str, source: Path, renditions: list[str], chunk_seconds: float) -> None:
        directory, keys = self.root / name, self.root / f"{name}-key"
        keys.mkdir()
        info = write_key_info(keys)
        result = split_in_process(source, directory, renditions, chunk_seconds, info.path)
        if result["outcome"] != "encoded":
            self.failed[name] = f"package {name} was not made: {result}"
            return
        shutil.copy(keys / "enc.key", directory / "enc.key")
        self.made[name] = Package(directory, source, info.key, renditions, None)


def split_in_process(source: Path, directory: Path, renditions: list[str], chunk_seconds: float,
                     key_info: Path, bitrates: list[int] | None = None, upscale: bool = True,
                     subtitles: list[Path] = ()) -> dict:
    """A split job's parts as the queue's tasks run them, one after the other
    in this process: the sound, each chunk, the stitch."""
    from vantrel import _split
    from vantrel._encode import subtitles_argument

    sidecars = [str(path) for path in subtitles]
    plan = _split.plan_split(str(source), chunk_seconds, subtitles_argument(sidecars))
    assert plan.unsplittable is None and len(plan.windows) > 1, plan
    work = _split.work_directory(str(directory), "tests")
    os.makedirs(work)
    try:
        parts = [_split.encode_sound(str(source), work, plan.title)]
        parts += [_split.encode_chunk(str(source), work, w, renditions, bitrates, upscale, "tests", plan.title)
                  for w in plan.windows]
        return _split.stitch(str(source), str(directory), work, parts, plan.title, renditions=renditions,
                             bitrates=bitrates, key_info=str(key_info), upscale=upscale, subtitles=sidecars)
    finally:
        _split.discard_work(work)


class TrackPackageFactory:
    """Packages of the package API (every track of the input, subtitle
    files), each made once per session on first use, whole or split as the
    queue's jobs are; their key is beside their playlists, as players fetch it."""

    RECIPES = {
        # name: (input, subtitle files, chunk seconds for a split job or None)
        "every-track": ("tracks", [], None),
        "every-track-split": ("tracks", [], 6),
        "mov-text-and-sidecar": ("mov_text", ["sidecar"], None),
    }
    RENDITIONS = ["360p"]  # made at the sources' 320x180

    def __init__(self, root: Path, media: MediaFactory) -> None:
        self.root = root
        self.media = media
        self.made: dict[str, Package] = {}

    def __getitem__(self, name: str) -> Package:
        if name not in self.made:
            from vantrel._package import make_package

            source_name, sidecar_names, chunk_seconds = self.RECIPES[name]
            source, sidecars = self.media[source_name], [self.media[s] for s in sidecar_names]
            directory, keys = self.root / name, self.root / f"{name}-key"
            keys.mkdir()
            info = write_key_info(keys)
            if chunk_seconds is None:
                result = make_package(source, directory, renditions=self.RENDITIONS, key_info=info.path,
                                      subtitles=sidecars)
            else:
                result = split_in_process(source, directory, self.RENDITIONS, chunk_seconds, info.path,
                                          upscale=False, subtitles=sidecars)
            assert result["outcome"] == "encoded", result
            shutil.copy(keys / "enc.key", directory / "enc.key")
            self.made[name] = Package(directory, source, info.key, self.RENDITIONS, None, result)
        return self.made[name]


@pytest.fixture(scope="session")
def track_packages(tmp_path_factory: pytest.TempPathFactory, media: MediaFactory) -> TrackPackageFactory:
    return TrackPackageFactory(tmp_path_factory.mktemp("track-packages"), media)


@pytest.fixture(scope="session")
def packages(tmp_path_factory: pytest.TempPathFactory, media: MediaFactory) -> PackageFactory:
    return PackageFactory(tmp_path_factory.mktemp("packages"), media)


# The job queue's fixtures, defined once here for every module that uses them.
from queue_processes import broker, outputs, rabbitmq_server, redis_server, worker  # noqa: E402,F401
# Packages served by vantrel.delivery, for the playlist checks and the delivery tests.
from served_packages import served  # noqa: E402,F401
