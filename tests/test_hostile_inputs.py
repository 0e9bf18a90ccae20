"""Inputs that a video platform's users can upload: broken, hostile, or not
media at all. Every one must end in a normal return, with log lines that say
what happened, and list nothing in the master playlist that was not created.
All of them are made here from clips the ffmpeg tool generates."""

from __future__ import annotations

import os
import random
import re
import socket
import threading
from pathlib import Path

import pytest

from conftest import H264_AAC, ffmpeg, ffprobe_json, run_job, run_jobs, tone_source, video_source, write_key_info
from test_variant import decrypt_segment, is_mpeg_ts, media_playlist

# Bit-flipped mutants per run; the sanitizer job raises it.
MUTANTS = int(os.environ.get("VANTREL_MUTANTS", "48"))
MUTANTS_PER_PROCESS = 16
# Generous: only a hang should ever reach it.
SECONDS_PER_JOB = 120

FINAL_LINES = re.compile(
    r"Could not open .*\. Make sure the file exists\."
    r"|No video stream found in the file\."
    r"|Transcoding finished with \d+ of \d+ variants failed\."
    r"|All secure transcoding finished flawlessly\."
)


def assert_honest(job, out_dir: Path, key: bytes) -> None:
    """A normal return that says how it ended, and a master playlist (if any)
    that lists exactly the variants reported created, each complete and
    decryptable."""
    assert job.returncode == 0 and job.result == "None", job.stderr[-3000:]
    messages = [message for _, message in job.log]
    assert messages and messages[0].startswith("Analyzing video file: "), job.log
    assert any(FINAL_LINES.fullmatch(m) for m in messages), job.log
    created = {m.rsplit("/", 1)[-1] for m in job.messages("SUCCESS") if m.startswith("Encrypted variant created: ")}
    failed = {
        m.split()[1].rsplit("/", 1)[-1] for m in job.messages("ERROR") if re.match(r"Variant \S+ failed: \S", m)
    }
    assert not created & failed
    master = out_dir / "master.m3u8"
    lines = master.read_text().splitlines() if master.exists() else []
    listed = {line for line in lines if line and not line.startswith("#")}
    assert listed == created, (listed, created, job.log)
    for name in listed:
        playlist = media_playlist(out_dir / name)
        assert playlist["lines"][-1] == "#EXT-X-ENDLIST"
        assert playlist["segments"]
        for number, segment in enumerate(playlist["segments"]):
            clear = decrypt_segment(out_dir / segment, key, playlist["keys"][0], playlist["sequence"] + number)
            assert is_mpeg_ts(clear), segment


def video_frames(playlist: Path) -> int:
    stream = ffprobe_json("-count_frames", "-select_streams", "v", "-show_streams", str(playlist))["streams"][0]
    return int(stream["nb_read_frames"])


# --- making the inputs -----------------------------------------------------------


def clip(root: Path, name: str, *args: str) -> Path:
    path = root / name
    if not path.exists():
        ffmpeg(*args, str(path))
    return path


def faststart_mp4(root: Path) -> Path:
    # The header comes first, so that cutting the file leaves a readable start.
    return clip(root, "base.mp4", *video_source("160x90", "30"), *tone_source(), "-t", "1", *H264_AAC,
                "-movflags", "+faststart")


def mpegts(root: Path, size: str = "160x90", name: str = "base.ts") -> Path:
    return clip(root, name, *video_source(size, "30"), *tone_source(), "-t", "1", *H264_AAC)


def matroska(root: Path) -> Path:
    return clip(root, "base.mkv", *video_source("160x90", "30"), *tone_source(), "-t", "1", *H264_AAC)


def mjpeg_avi(root: Path) -> Path:
    return clip(root, "base.avi", *video_source("160x90", "30"), *tone_source(), "-t", "1",
                "-c:v", "mjpeg", "-pix_fmt", "yuvj420p", "-c:a", "pcm_s16le")


def write(path: Path, data: bytes) -> Path:
    path.write_bytes(data)
    return path


def truncated(source: Path, path: Path, fraction: float | None = None, size: int | None = None) -> Path:
    data = source.read_bytes()
    return write(path, data[: size if size is not None else int(len(data) * fraction)])


def mp4_header_end(data: bytes) -> int:
    """End of the 'moov' box of a file whose header comes first."""
    at = data.index(b"moov") - 4
    return at + int.from_bytes(data[at:at + 4], "big")


def huge_mjpeg(source: Path, path: Path, sof_only: bool) -> Path:
    """Every JPEG picture (and, unless `sof_only`, the AVI header) declares
    16000x16000 pixels: within what the libraries accept, far beyond sense."""
    data = bytearray(source.read_bytes())
    at = 0
    while (at := data.find(b"\xff\xc0", at)) >= 0:  # SOF0: length, precision, height, width
        data[at + 5:at + 9] = (16000).to_bytes(2, "big") * 2
        at += 2
    if not sof_only:
        strf = data.index(b"strf")  # BITMAPINFOHEADER: size, width, height
        data[strf + 12:strf + 20] = (16000).to_bytes(4, "little") * 2
    return write(path, bytes(data))


def without_timestamps(source: Path, path: Path) -> Path:
    """The MPEG-TS file with every PES header's PTS/DTS flags cleared: the
    stream still parses, but carries no timestamp at all."""
    data = bytearray(source.read_bytes())
    for at in range(0, len(data) - 187, 188):
        packet = data[at:at + 188]
        if packet[0] != 0x47 or not packet[1] & 0x40:  # sync byte, payload unit start
            continue
        payload = 4 + (1 + packet[4] if packet[3] & 0x20 else 0)
        if packet[3] & 0x10 and payload + 9 <= 188 and packet[payload:payload + 3] == b"\0\0\1" \
                and packet[payload + 3] >= 0xC0:
            data[at + payload + 7] &= 0x3F
    return write(path, bytes(data))


def size_change(root: Path, path: Path) -> Path:
    """160x90 for one second, then 320x240, in one H.264 stream."""
    small, large = mpegts(root), mpegts(root, "320x240", "large.ts")
    listing = write(root / "sizes.ffconcat", f"ffconcat version 1.0\nfile '{small}'\nfile '{large}'\n".encode())
    ffmpeg("-safe", "0", "-f", "concat", "-i", str(listing), "-c", "copy", str(path))
    return path


def hls_package(root: Path) -> Path:
    folder = root / "package"
    folder.mkdir(exist_ok=True)
    ffmpeg("-i", str(mpegts(root)), "-c", "copy", "-f", "hls", "-hls_time", "1", "-hls_list_size", "0",
           str(folder / "upload.m3u8"))
    return folder / "upload.m3u8"


def encode_into_fresh_folder(tmp_path: Path, source: Path):
    """One 360p job into an empty out/ with its own key; (job, out, key info)."""
    out = tmp_path / "out"
    out.mkdir()
    info = write_key_info(out)
    return run_job(tmp_path, source, out / "master.m3u8", ["360p"], key=info.path), out, info


def playlist_naming(path: Path, uri: str) -> Path:
    return write(path, f"#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:1,\n{uri}\n#EXT-X-ENDLIST\n".encode())


class Listener:
    """A local TCP port that records whether anything connected to it."""

    def __init__(self) -> None:
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen()
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.connections = 0
        self.stopping = False
        self.thread = threading.Thread(target=self._accept)
        self.thread.start()

    def _accept(self) -> None:
        while not self.stopping:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                continue
            self.connections += 1
            conn.close()

    def close(self) -> None:
        self.stopping = True
        self.thread.join()
        self.sock.close()


@pytest.fixture
def listener():
    port = Listener()
    yield port
    port.close()


# --- one hostile input per job ---------------------------------------------------

# name: (maker of the input, what must come of it)
#   "refused": nothing created, ERROR lines say why
#   "created": a real input, however odd, that must still make its variant
#   "either": broken media; what survives decides, honesty is all that is asked
HOSTILE = {
    "empty-file": (lambda root: write(root / "empty.mp4", b""), "refused"),
    "random-1-byte": (lambda root: write(root / "one.mp4", b"\x47"), "refused"),
    "random-4-KiB": (lambda root: write(root / "small.mp4", random.Random(4).randbytes(4096)), "refused"),
    "random-256-KiB": (lambda root: write(root / "large.mov", random.Random(256).randbytes(262144)), "refused"),
    "text": (lambda root: write(root / "notes.mp4", b"Meeting notes\n- bring snacks\n" * 50), "refused"),
    # Picked by its name: the tty demuxer turns text into pictures, with no audio.
    "text-named-txt": (lambda root: write(root / "notes.txt", b"Meeting notes\n- bring snacks\n" * 50), "refused"),
    "directory": (lambda root: (root / "folder.mp4").mkdir() or root / "folder.mp4", "refused"),
    "mp4-cut-in-header": (lambda root: truncated(faststart_mp4(root), root / "cut.mp4", size=200), "refused"),
    "mp4-cut-after-header": (
        lambda root: truncated(faststart_mp4(root), root / "cut.mp4",
                               size=mp4_header_end(faststart_mp4(root).read_bytes()) + 64),
        "refused",
    ),
    "mp4-cut-in-first-pictures": (
        lambda root: truncated(faststart_mp4(root), root / "cut.mp4",
                               size=mp4_header_end(faststart_mp4(root).read_bytes()) + 6000),
        "either",
    ),
    "mp4-cut-mid-stream": (lambda root: truncated(faststart_mp4(root), root / "cut.mp4", 0.6), "created"),
    "ts-cut-in-header": (lambda root: truncated(mpegts(root), root / "cut.ts", size=188 * 3), "refused"),
    "ts-cut-in-first-pictures": (lambda root: truncated(mpegts(root), root / "cut.ts", 0.08), "either"),
    "ts-cut-mid-stream": (lambda root: truncated(mpegts(root), root / "cut.ts", 0.5), "created"),
    "mkv-cut-mid-stream": (lambda root: truncated(matroska(root), root / "cut.mkv", 0.5), "created"),
    "huge-picture-declared": (lambda root: huge_mjpeg(mjpeg_avi(root), root / "huge.avi", sof_only=False), "refused"),
    "huge-picture-in-stream": (lambda root: huge_mjpeg(mjpeg_avi(root), root / "huge.avi", sof_only=True), "refused"),
    "picture-size-changes": (lambda root: size_change(root, root / "sizes.ts"), "created"),
    "timestamps-restart": (
        lambda root: write(root / "twice.ts", mpegts(root).read_bytes() + mpegts(root).read_bytes()),
        "created",
    ),
    "no-timestamps": (lambda root: without_timestamps(mpegts(root), root / "untimed.ts"), "created"),
}


@pytest.mark.parametrize("case", list(HOSTILE))
def test_hostile_input_ends_honestly(tmp_path, case):
    make, outcome = HOSTILE[case]
    source = make(tmp_path)
    out = tmp_path / "out"
    out.mkdir()
    info = write_key_info(out)
    job = run_job(tmp_path, source, out / "master.m3u8", ["480p", "360p"], key=info.path, timeout=SECONDS_PER_JOB)
    assert_honest(job, out, info.key)
    created = [m for m in job.messages("SUCCESS") if m.startswith("Encrypted variant created: ")]
    if outcome == "refused":
        assert created == [] and job.messages("ERROR"), job.log
    elif outcome == "created":
        assert len(created) == 2, job.log
        assert video_frames(out / "360p.m3u8") > 0


def test_picture_size_change_keeps_every_picture(tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    info = write_key_info(out)
    run_job(tmp_path, size_change(tmp_path, tmp_path / "sizes.ts"), out / "master.m3u8", ["360p"], key=info.path)
    assert video_frames(out / "360p.m3u8") == 60
    stream = ffprobe_json("-select_streams", "v", "-show_streams", str(out / "360p.m3u8"))["streams"][0]
    assert (stream["width"], stream["height"]) == (640, 360)


# --- inputs that name other files --------------------------------------------------


def test_hls_package_as_input_opens_nothing_it_names(tmp_path):
    source = hls_package(tmp_path)
    job, out, info = encode_into_fresh_folder(tmp_path, source)
    assert_honest(job, out, info.key)
    assert job.messages("WARN") == [
        f"Not opening {source.parent}/upload0.ts, named inside {source}: only the input itself is read."
    ]
    assert job.messages("ERROR") == [f"Could not open {source}. Make sure the file exists."]


@pytest.mark.parametrize("where", ["absolute-path", "sibling", "file-url"])
def test_playlist_cannot_read_other_local_files(tmp_path, where):
    # Somebody else's upload, which a playlist must not pull into this package.
    secret = mpegts(tmp_path, name="someone-elses.ts")
    uri = {"absolute-path": str(secret), "sibling": secret.name, "file-url": f"file:{secret}"}[where]
    source = playlist_naming(tmp_path / "upload.m3u8", uri)
    job, out, info = encode_into_fresh_folder(tmp_path, source)
    assert_honest(job, out, info.key)
    assert [m for m in job.messages("WARN") if m.startswith("Not opening ")], job.log
    assert not list(out.glob("*.ts"))


def test_playlist_cannot_reach_the_network(tmp_path, listener):
    source = playlist_naming(tmp_path / "upload.m3u8", f"http://127.0.0.1:{listener.port}/internal/segment.ts")
    job, out, info = encode_into_fresh_folder(tmp_path, source)
    assert_honest(job, out, info.key)
    assert listener.connections == 0
    assert job.messages("WARN") == [
        f"Not opening http://127.0.0.1:{listener.port}/internal/segment.ts, named inside {source}: "
        "only the input itself is read."
    ]


def test_concatenation_script_cannot_read_its_siblings(tmp_path):
    mpegts(tmp_path, name="someone-elses.ts")
    source = write(tmp_path / "upload.mp4", b"ffconcat version 1.0\nfile 'someone-elses.ts'\n")
    job, out, info = encode_into_fresh_folder(tmp_path, source)
    assert_honest(job, out, info.key)
    assert job.messages("ERROR") == [f"Could not open {source}. Make sure the file exists."]


def test_control_characters_in_a_named_url_do_not_reach_the_log(tmp_path):
    source = playlist_naming(tmp_path / "upload.m3u8", "http://x/\x1b[2J\x1b[31mred\x07.ts")
    job = run_job(tmp_path, source, "master.m3u8", ["360p"], key="enc.keyinfo")
    assert job.messages("WARN") == [
        f"Not opening http://x/?[2J?[31mred?.ts, named inside {source}: only the input itself is read."
    ]


# --- seeded bit flips --------------------------------------------------------------


def mutate(data: bytes, rng: random.Random) -> bytes:
    """Flips a few bits anywhere, flips bits in the header, or overwrites a
    short run of bytes: the ways storage and transfers damage files, and the
    ways a fuzzer reaches parsers."""
    out = bytearray(data)
    mode = rng.choice(["bits", "header-bits", "bytes"])
    if mode == "bytes":
        at = rng.randrange(len(out))
        run = rng.randint(1, 16)
        out[at:at + run] = rng.randbytes(len(out[at:at + run]))
    else:
        span = min(len(out), 4096) if mode == "header-bits" else len(out)
        for _ in range(rng.randint(1, 8)):
            out[rng.randrange(span)] ^= 1 << rng.randrange(8)
    return bytes(out)


@pytest.mark.parametrize(
    "first",
    range(0, MUTANTS, MUTANTS_PER_PROCESS),
    ids=lambda first: f"mutants-{first:03d}-{min(first + MUTANTS_PER_PROCESS, MUTANTS) - 1:03d}",
)
def test_bit_flipped_inputs_end_honestly(tmp_path, first):
    bases = [faststart_mp4(tmp_path), mpegts(tmp_path), matroska(tmp_path)]
    info = write_key_info(tmp_path)
    calls = []
    for number in range(first, min(first + MUTANTS_PER_PROCESS, MUTANTS)):
        rng = random.Random(number)
        base = bases[number % len(bases)]
        source = write(tmp_path / f"mutant-{number:03d}{base.suffix}", mutate(base.read_bytes(), rng))
        (tmp_path / f"out-{number:03d}").mkdir()
        calls.append(((source, tmp_path / f"out-{number:03d}" / "master.m3u8", ["360p"], [], info.path), {}))
    batch = run_jobs(tmp_path, calls, timeout=SECONDS_PER_JOB * len(calls))
    assert len(batch.calls) == len(calls) and batch.returncode == 0, (
        f"ended after {len(batch.calls)} of {len(calls)} mutants (return code {batch.returncode}):\n"
        + batch.stderr.decode(errors="replace")[-3000:]
    )
    for (args, _), job in zip(calls, batch.calls):
        assert_honest(job, args[1].parent, info.key)
