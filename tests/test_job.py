"""The encode job as a caller sees it: probing, planning from the ladder, the
master playlist, and honest reports of what failed."""

from __future__ import annotations

import datetime
import re
import socket
import struct
import threading
import time
from pathlib import Path

import pytest

from conftest import LOG_LINE, ffprobe_json, run_job

DEFAULT_MASTER = (
    "#EXTM3U\n"
    "#EXT-X-VERSION:3\n"
    "#EXT-X-STREAM-INF:BANDWIDTH=5000000,RESOLUTION=1920x1080\n"
    "1080p.m3u8\n"
    "#EXT-X-STREAM-INF:BANDWIDTH=2500000,RESOLUTION=1280x720\n"
    "720p.m3u8\n"
    "#EXT-X-STREAM-INF:BANDWIDTH=1000000,RESOLUTION=854x480\n"
    "480p.m3u8\n"
    "#EXT-X-STREAM-INF:BANDWIDTH=400000,RESOLUTION=640x360\n"
    "360p.m3u8\n"
)


def master_entries(path: Path) -> list[tuple[str, str]]:
    """(STREAM-INF attributes, URI) pairs of a master playlist."""
    lines = path.read_text().splitlines()
    assert lines[:2] == ["#EXTM3U", "#EXT-X-VERSION:3"]
    body = lines[2:]
    assert len(body) % 2 == 0
    pairs = []
    for inf, uri in zip(body[::2], body[1::2]):
        assert inf.startswith("#EXT-X-STREAM-INF:")
        pairs.append((inf[len("#EXT-X-STREAM-INF:"):], uri))
    return pairs


@pytest.mark.threads
def test_default_ladder_writes_the_whole_package(media, workdir, keyinfo):
    # Only input and output: the defaults pick the four rungs, their bitrates
    # and "enc.keyinfo" in the current directory.
    job = run_job(workdir, media["tiny"], "master.m3u8")
    assert job.returncode == 0, job.stderr
    assert job.result == "None"
    assert (workdir / "master.m3u8").read_bytes() == DEFAULT_MASTER.encode()
    for name in ("1080p", "720p", "480p", "360p"):
        assert (workdir / f"{name}.m3u8").is_file()
        assert (workdir / f"{name}_000.ts").is_file()

    assert job.log[:2] == [
        ("INFO", f"Analyzing video file: {media['tiny']}..."),
        ("INFO", "Detected video size: 160x90"),
    ]
    created = sorted(job.messages("SUCCESS")[:4])
    assert created == sorted(f"Encrypted variant created: {n}.m3u8" for n in ("1080p", "720p", "480p", "360p"))
    assert job.messages("SUCCESS")[4:] == [
        "Encrypted Master playlist generated: master.m3u8",
        "All secure transcoding finished flawlessly.",
    ]
    assert job.messages("ERROR") == [] and job.messages("WARN") == []


def test_log_lines_carry_local_time_and_go_to_the_right_stream(media, workdir):
    before = datetime.datetime.now().replace(microsecond=0)
    job = run_job(workdir, media["audio_only"], "master.m3u8")
    after = datetime.datetime.now()
    out_lines = job.stdout.splitlines()
    err_lines = job.stderr.splitlines()
    assert [LOG_LINE.match(line).group(2) for line in out_lines] == [b"INFO"]
    assert [LOG_LINE.match(line).group(2) for line in err_lines if LOG_LINE.match(line)] == [b"ERROR"]
    for line in out_lines + [line for line in err_lines if LOG_LINE.match(line)]:
        stamp = datetime.datetime.strptime(LOG_LINE.match(line).group(1).decode(), "%Y-%m-%d %H:%M:%S")
        assert before <= stamp <= after


@pytest.mark.parametrize(
    "source, expected",
    [
        # The default bitrates pair by position, not by name.
        ("portrait", ["BANDWIDTH=5000000,RESOLUTION=720x1280", "BANDWIDTH=2500000,RESOLUTION=360x640"]),
        ("square", ["BANDWIDTH=5000000,RESOLUTION=1280x720", "BANDWIDTH=2500000,RESOLUTION=640x360"]),
        ("tiny", ["BANDWIDTH=5000000,RESOLUTION=1280x720", "BANDWIDTH=2500000,RESOLUTION=640x360"]),
    ],
)
def test_orientation_follows_the_source(media, workdir, keyinfo, source, expected):
    job = run_job(workdir, media[source], "master.m3u8", ["720p", "360p"], key=keyinfo.path)
    assert [attrs for attrs, _ in master_entries(workdir / "master.m3u8")] == expected, job.stderr
    # The picture really has the planned size.
    streams = ffprobe_json("-show_streams", "-select_streams", "v", str(workdir / "720p.m3u8"))["streams"]
    size = expected[0].split("RESOLUTION=")[1]
    assert f"{streams[0]['width']}x{streams[0]['height']}" == size


@pytest.mark.parametrize(
    "resolution, bitrate, expected",
    [
        (["360p"], [], ["BANDWIDTH=400000"]),
        (["360p"], [123456, 999], ["BANDWIDTH=123456"]),
        (["480p", "360p"], [0], ["BANDWIDTH=0", "BANDWIDTH=400000"]),
        # The caller's one entry belongs to the unknown name at position 0.
        (["4k", "360p"], [777777], ["BANDWIDTH=400000"]),
    ],
    ids=["empty-list", "extra-ignored", "zero-then-default", "unknown-takes-its-entry"],
)
def test_bitrates_pair_by_position(media, workdir, keyinfo, resolution, bitrate, expected):
    job = run_job(workdir, media["tiny"], "master.m3u8", resolution, bitrate, keyinfo.path)
    attrs = [a.split(",")[0] for a, _ in master_entries(workdir / "master.m3u8")]
    assert attrs == expected, job.stderr


def test_order_follows_the_request(media, workdir, keyinfo):
    run_job(workdir, media["tiny"], "master.m3u8", ["360p", "480p"], key=keyinfo.path)
    assert [uri for _, uri in master_entries(workdir / "master.m3u8")] == ["360p.m3u8", "480p.m3u8"]


def test_unknown_and_repeated_names_are_skipped(media, workdir, keyinfo):
    names = ["4k", "720P", " 360p", "360p ", "", "360", "360p", "360p"]
    job = run_job(workdir, media["tiny"], "master.m3u8", names, key=keyinfo.path)
    assert job.messages("WARN") == [
        "Unknown resolution requested: 4k. Skipping.",
        "Unknown resolution requested: 720P. Skipping.",
        "Unknown resolution requested:  360p. Skipping.",
        "Unknown resolution requested: 360p . Skipping.",
        "Unknown resolution requested: . Skipping.",
        "Unknown resolution requested: 360. Skipping.",
        "Duplicate resolution requested: 360p. Skipping.",
    ]
    assert job.messages("SUCCESS") == [
        "Encrypted variant created: 360p.m3u8",
        "Encrypted Master playlist generated: master.m3u8",
        "All secure transcoding finished flawlessly.",
    ]
    assert master_entries(workdir / "master.m3u8") == [("BANDWIDTH=400000,RESOLUTION=640x360", "360p.m3u8")]


@pytest.mark.parametrize("resolution", [[], ["4k", "720P"]], ids=["empty", "all-unknown"])
def test_nothing_planned_writes_the_header_only(media, workdir, resolution):
    (workdir / "master.m3u8").write_text("an older, longer playlist that must go\n" * 10)
    job = run_job(workdir, media["tiny"], "master.m3u8", resolution)
    assert (workdir / "master.m3u8").read_bytes() == b"#EXTM3U\n#EXT-X-VERSION:3\n"
    assert len((workdir / "master.m3u8").read_bytes()) == 25
    assert len(job.messages("WARN")) == len(resolution)
    assert job.messages("SUCCESS") == [
        "Encrypted Master playlist generated: master.m3u8",
        "All secure transcoding finished flawlessly.",
    ]


def test_existing_master_playlist_is_replaced(media, workdir, keyinfo):
    (workdir / "master.m3u8").write_text("#EXTM3U\n" + "#stale\n" * 100)
    run_job(workdir, media["tiny"], "master.m3u8", ["360p"], key=keyinfo.path)
    assert (workdir / "master.m3u8").read_text() == (
        "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-STREAM-INF:BANDWIDTH=5000000,RESOLUTION=640x360\n360p.m3u8\n"
    )


def test_variants_land_beside_a_master_playlist_in_a_subdirectory(media, workdir, keyinfo):
    (workdir / "out.d").mkdir()
    job = run_job(workdir, media["tiny"], "out.d/master.m3u8", ["360p"], key=keyinfo.path)
    assert sorted(p.name for p in (workdir / "out.d").iterdir()) == [
        "360p.m3u8",
        "360p_000.ts",
        "master.m3u8",
    ]
    assert not list(workdir.glob("360p*"))
    assert job.messages("SUCCESS")[0] == "Encrypted variant created: out.d/360p.m3u8"
    assert master_entries(workdir / "out.d" / "master.m3u8")[0][1] == "360p.m3u8"


@pytest.mark.parametrize(
    "source, error",
    [
        ("missing", "Could not open {input}. Make sure the file exists."),
        ("audio_only", "No video stream found in the file."),
        ("random_bytes", "Could not open {input}. Make sure the file exists."),
    ],
)
def test_probing_errors_end_the_job(media, workdir, source, error):
    path = workdir / "missing.mp4" if source == "missing" else media[source]
    (workdir / "master.m3u8").write_text("untouched")
    job = run_job(workdir, path, "master.m3u8")
    assert job.returncode == 0 and job.result == "None"
    assert job.log == [
        ("INFO", f"Analyzing video file: {path}..."),
        ("ERROR", error.format(input=path)),
    ]
    assert (workdir / "master.m3u8").read_text() == "untouched"


class ResettingServer:
    """Serves the start of a file over TCP, pauses so that the reader can
    learn its streams, sends a little more, then resets the connection: a
    read error in the middle of the input, as a network share gives one."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen()
        self.url = f"tcp://127.0.0.1:{self.sock.getsockname()[1]}"
        self.thread = threading.Thread(target=self._serve)
        self.thread.start()

    def _serve(self) -> None:
        conn, _ = self.sock.accept()
        third = len(self.data) // 3
        conn.sendall(self.data[:third])
        time.sleep(1)
        conn.sendall(self.data[third:2 * third])
        time.sleep(0.5)
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        conn.close()

    def close(self) -> None:
        self.thread.join(timeout=30)
        self.sock.close()


def in_the_way_of(segment: str):
    def prepare(workdir: Path, media) -> str:
        (workdir / segment).mkdir()
        return str(media["fps2997"])

    return prepare


# name: (prepares the job and gives its input, bitrates, {failed variant: cause})
ISOLATION = {
    "first-segment-taken": (in_the_way_of("360p_000.ts"), [], {"360p": "could not write the variant files: Is a directory"}),
    "later-segment-taken": (in_the_way_of("720p_001.ts"), [], {"720p": "could not write the variant files: Is a directory"}),
    "encoder-refuses-its-bitrate": (
        lambda workdir, media: str(media["fps2997"]), [5000000, 1], {"720p": "could not open the video encoder: .+"}
    ),
    "input-read-error": (
        None, [], {name: "could not read input: Connection reset by peer" for name in ("1080p", "720p", "480p", "360p")}
    ),
}


@pytest.mark.threads
@pytest.mark.parametrize("case", list(ISOLATION))
def test_a_failure_ends_only_what_it_hits(media, workdir, keyinfo, case):
    prepare, bitrate, failed = ISOLATION[case]
    server = ResettingServer(media["long_offset"].read_bytes()) if prepare is None else None
    try:
        source = server.url if server else prepare(workdir, media)
        job = run_job(workdir, source, "master.m3u8", bitrate=bitrate, key=keyinfo.path, timeout=300)
    finally:
        if server:
            server.close()
    assert job.returncode == 0 and job.result == "None", job.stderr[-3000:]
    errors = job.messages("ERROR")
    # One line per failed variant, whatever failed, then the count.
    assert len(errors) == len(failed) + 1, errors
    for name, cause in failed.items():
        assert any(re.fullmatch(rf"Variant {name}\.m3u8 failed: {cause}", e) for e in errors[:-1]), (name, errors)
    assert errors[-1] == f"Transcoding finished with {len(failed)} of 4 variants failed."
    assert job.stderr.rstrip().endswith(errors[-1].encode())
    created = [n for n in ("1080p", "720p", "480p", "360p") if n not in failed]
    assert sorted(job.messages("SUCCESS")[: len(created)]) == sorted(f"Encrypted variant created: {n}.m3u8" for n in created)
    if created:
        assert [uri for _, uri in master_entries(workdir / "master.m3u8")] == [f"{n}.m3u8" for n in created]
    else:
        assert not (workdir / "master.m3u8").exists()
    assert "All secure transcoding finished flawlessly." not in job.messages("SUCCESS")


@pytest.mark.threads
def test_no_variant_created_leaves_the_old_master_playlist(media, workdir):
    (workdir / "master.m3u8").write_text("previous job's playlist\n")
    job = run_job(workdir, media["tiny"], "master.m3u8", ["480p", "360p"], key="missing.keyinfo")
    assert (workdir / "master.m3u8").read_text() == "previous job's playlist\n"
    assert job.messages("SUCCESS") == []
    errors = job.messages("ERROR")
    assert sorted(errors[:2]) == [
        "Variant 360p.m3u8 failed: could not read the key info file: No such file or directory",
        "Variant 480p.m3u8 failed: could not read the key info file: No such file or directory",
    ]
    assert errors[2:] == ["Transcoding finished with 2 of 2 variants failed."]


def test_unwritable_master_playlist_is_an_error(media, workdir, keyinfo):
    (workdir / "master.m3u8").mkdir()
    job = run_job(workdir, media["tiny"], "master.m3u8", ["360p"], key=keyinfo.path)
    assert job.messages("SUCCESS") == ["Encrypted variant created: 360p.m3u8"]
    assert job.messages("ERROR") == ["Could not write master playlist: master.m3u8"]


@pytest.mark.threads
def test_concurrent_logging_keeps_lines_whole(media, workdir):
    # Workers failing together (no key info file) while the driver still logs
    # warnings for the names between them.
    names = []
    for rung in ("1080p", "720p", "480p", "360p"):
        names += [rung] + [f"unknown-{rung}-{i}-" + "x" * 200 for i in range(300)]
    job = run_job(workdir, media["tiny"], "master.m3u8", names, key="missing.keyinfo")
    expected = {
        "WARN": re.compile(r"Unknown resolution requested: unknown-\d+p-\d+-x{200}\. Skipping\."),
        "ERROR": re.compile(
            r"Variant \d+p\.m3u8 failed: could not read the key info file: No such file or directory"
            r"|Transcoding finished with 4 of 4 variants failed\."
        ),
        "INFO": re.compile(r"Analyzing video file: .*\.\.\.|Detected video size: 160x90"),
    }
    for level, message in job.log:
        assert expected[level].fullmatch(message), (level, message[:120])
    assert len(job.messages("WARN")) == 1200
    assert len(job.messages("ERROR")) == 5
    assert len(job.messages("INFO")) == 2
    # Nothing of ours was torn: every prefix we wrote is counted above.
    written = job.stdout.count(b"] [WARN] ") + job.stdout.count(b"] [INFO] ") + job.stderr.count(b"] [ERROR] ")
    assert written == 1207
