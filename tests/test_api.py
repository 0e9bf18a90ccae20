"""encode() as a service calls it: the interpreter lock released, a result
that says what happened, progress, the logger, stopping by each of the three
ways, wrong arguments, and the key helper."""

from __future__ import annotations

import json
import logging
import os
import re
import shutil
import stat
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import vantrel
from conftest import TOOL_ENV, default_stop_signals, write_key_info


def decodes_cleanly(master: Path) -> bool:
    proc = subprocess.run(
        ["ffmpeg", "-hide_banner", "-nostdin", "-v", "error", "-allowed_extensions", "ALL", "-i", str(master),
         "-map", "0", "-f", "null", "-"],
        capture_output=True, text=True, timeout=120, env=TOOL_ENV,
    )
    return proc.returncode == 0 and proc.stderr == ""


# --- The lock and parallel jobs -------------------------------------------


@pytest.mark.threads
def test_other_threads_run_while_a_job_runs(media, workdir, keyinfo):
    ticks: list[float] = []
    done = threading.Event()

    def tick() -> None:
        while not done.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.01)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        started = time.monotonic()
        result = vantrel.encode(media["clip"], workdir / "master.m3u8", renditions=["480p", "360p"],
                                key_info=keyinfo.path)
        ended = time.monotonic()
    finally:
        done.set()
        ticker.join()
    assert result.ok, result
    during = [started] + [t for t in ticks if started < t < ended] + [ended]
    # A call that kept the lock would leave one gap as long as the job.
    longest_gap = max(b - a for a, b in zip(during, during[1:]))
    assert longest_gap < 0.5 * (ended - started), (longest_gap, ended - started)


@pytest.mark.threads
def test_two_jobs_at_once_make_two_valid_packages(media, tmp_path, caplog):
    jobs = {"a": ("clip", "480p", 90), "b": ("tiny", "360p", 30)}
    results: dict[str, vantrel.EncodeResult] = {}
    callers: dict[str, int] = {}

    def run(name: str) -> None:
        source, rendition, _ = jobs[name]
        directory = tmp_path / name
        directory.mkdir()
        info = write_key_info(directory)
        callers[name] = threading.get_ident()
        results[name] = vantrel.encode(media[source], directory / "master.m3u8", renditions=[rendition],
                                       key_info=info.path)

    caplog.set_level(logging.INFO, logger="vantrel")
    threads = [threading.Thread(target=run, args=(name,)) for name in jobs]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for name, (_, rendition, pictures) in jobs.items():
        result = results[name]
        assert result.ok, result
        assert [(r.name, r.pictures) for r in result.renditions] == [(rendition, pictures)]
        assert decodes_cleanly(tmp_path / name / "master.m3u8")
        # Each job's lines come from the thread that called it.
        own = [r for r in caplog.records if f"{tmp_path / name}/" in r.getMessage()]
        assert own and {r.thread for r in own} == {callers[name]}


# --- Progress --------------------------------------------------------------


def test_progress_rises_to_one_and_no_further(media, workdir, keyinfo):
    seen: list[tuple[int, vantrel.Progress]] = []
    result = vantrel.encode(media["long30"], workdir / "master.m3u8", renditions=["360p"], key_info=keyinfo.path,
                            progress=lambda p: seen.append((threading.get_ident(), p)), upscale=True)
    assert result.ok, result
    assert {caller for caller, _ in seen} == {threading.get_ident()}
    progress = [p for _, p in seen]
    overall = [p.overall for p in progress]
    assert len(overall) >= 3 and any(0 < value < 1 for value in overall), overall
    assert overall == sorted(overall) and all(0 <= value <= 1 for value in overall), overall
    fractions = [p.renditions["360p"] for p in progress]
    assert fractions == sorted(fractions) and fractions[-1] == 1.0
    assert overall[-1] == 1.0 and progress[-1].remaining == 0.0
    assert all(p.remaining is None or p.remaining >= 0 for p in progress)


# --- Stopping --------------------------------------------------------------

STOP_CHILD = """
import json, os, signal, sys, threading, time
import vantrel

way, source, out, key_info, next_source = sys.argv[1:]

def census(threads=None):
    # A joined thread leaves the kernel's list a moment after join() returns:
    # wait for `threads`, or for the count to hold still.
    tasks = None
    for _ in range(40):
        previous, tasks = tasks, len(os.listdir("/proc/self/task"))
        if tasks == threads or (threads is None and tasks == previous):
            break
        time.sleep(0.05)
    return tasks, len(os.listdir("/proc/self/fd"))

# Any helper threads of the runtime (a sanitizer's) exist before counting.
warm_up = threading.Thread(target=lambda: None)
warm_up.start()
warm_up.join()
before = census()
stopped_at = []

def progress(p):
    # Once something was written: there are partial files to remove.
    if way == "progress" and p.overall:
        stopped_at.append(time.monotonic())
        raise LookupError("the caller had enough")

timer = None
if way == "ctrl-c":
    def interrupt():
        stopped_at.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)
    timer = threading.Timer(2.0, interrupt)
    timer.start()
started = time.monotonic()
try:
    vantrel.encode(source, os.path.join(out, "master.m3u8"), renditions=["1080p", "360p"], key_info=key_info,
                   progress=progress, timeout=2.0 if way == "timeout" else None, upscale=True)
    raised = None
except BaseException as error:
    raised = type(error).__name__
ended = time.monotonic()
if timer:
    timer.join()
if way == "timeout":
    stopped_at.append(started + 2.0)
after = census(before[0])
left = sorted(os.listdir(out))
next_ok = vantrel.encode(next_source, os.path.join(out, "master.m3u8"), renditions=["360p"], key_info=key_info).ok
print(json.dumps({"raised": raised, "latency": ended - stopped_at[0], "before": before, "after": after,
                  "left": left, "next_ok": next_ok}))
"""


@pytest.mark.threads
@pytest.mark.parametrize(
    "way, raised",
    [("ctrl-c", "KeyboardInterrupt"), ("progress", "LookupError"), ("timeout", "EncodeTimeout")],
)
def test_a_stopped_job_ends_quickly_and_leaves_nothing(media, workdir, keyinfo, way, raised):
    out = workdir / "out"
    out.mkdir()
    # A file of an earlier job: only what this job wrote is removed.
    (out / "360p_009.ts").write_bytes(b"earlier")
    # The 1080p rendition keeps x264 busy with large pictures when the stop comes.
    proc = subprocess.run(
        [sys.executable, "-c", STOP_CHILD, way, str(media["long30"]), str(out), str(keyinfo.path),
         str(media["tiny"])],
        capture_output=True, text=True, timeout=120, preexec_fn=default_stop_signals,
    )
    assert proc.returncode == 0, proc.stderr[-3000:]
    report = json.loads(proc.stdout)
    assert report["raised"] == raised
    assert report["latency"] < 2.0, report
    assert report["after"] == report["before"], "threads and descriptors before and after"
    assert report["left"] == ["360p_009.ts"]
    assert report["next_ok"]


# --- The result and the log ------------------------------------------------


def missing_key_info(workdir: Path) -> Path:
    return workdir / "missing.keyinfo"


RESULTS = {
    # name: (input, bitrates, key info or None for a good one, {rendition: (created, step, message)}, job error)
    "all-created": ("tiny", None, None, {"480p": (True, None, None), "360p": (True, None, None)}, None),
    "one-failed": (
        "tiny", [1], None,
        {"480p": (False, "could not open the video encoder", "Generic error in an external library"),
         "360p": (True, None, None)},
        None,
    ),
    "none-created": (
        "tiny", None, missing_key_info,
        {name: (False, "could not read the key info file", "No such file or directory") for name in ("480p", "360p")},
        None,
    ),
    "input-missing": ("missing", None, None, {}, "Could not open {input}. Make sure the file exists."),
}


@pytest.mark.threads
@pytest.mark.parametrize("case", list(RESULTS))
def test_result_says_what_happened(media, workdir, keyinfo, case):
    source, bitrates, key_info, expected, error = RESULTS[case]
    source_path = workdir / "missing.mp4" if source == "missing" else media[source]
    master = workdir / "master.m3u8"
    result = vantrel.encode(source_path, master, renditions=["480p", "360p"], bitrates=bitrates,
                            key_info=key_info(workdir) if key_info else keyinfo.path, upscale=True)
    got = {
        r.name: (r.created, r.error.step if r.error else None, r.error.message if r.error else None)
        for r in result.renditions
    }
    assert got == expected
    assert list(got) == list(expected), "in plan order"
    for rendition in result.renditions:
        assert rendition.playlist == f"{workdir}/{rendition.name}.m3u8"
        assert (rendition.pictures, rendition.duration) == ((30, 1.0) if rendition.created else (0, 0.0))
    made = any(created for created, _, _ in expected.values())
    assert result.master_playlist == (str(master) if made else None)
    assert master.exists() == made
    assert result.error == (error.format(input=source_path) if error else None)
    assert result.ok == (case == "all-created")
    assert result.elapsed > 0
    data = result.to_dict()
    assert json.loads(json.dumps(data)) == data
    assert data["ok"] == result.ok and len(data["renditions"]) == len(expected)


@pytest.mark.threads
def test_engine_and_ffmpeg_lines_go_to_loggers_and_nothing_to_the_console(media, workdir, keyinfo, caplog, capfd):
    caplog.set_level(logging.INFO, logger="vantrel")
    caplog.set_level(logging.DEBUG, logger="vantrel.ffmpeg")
    vantrel.encode(media["tiny"], workdir / "master.m3u8", renditions=["4k", "480p", "360p"], bitrates=[1, 1],
                   key_info=keyinfo.path, upscale=True)
    records = [(r.levelname, getattr(r, "vantrel_level", None), r.getMessage()) for r in caplog.records
               if r.name == "vantrel"]
    assert records[:5] == [
        ("INFO", "INFO", f"Analyzing video file: {media['tiny']}..."),
        ("INFO", "INFO", "Detected video size: 160x90"),
        ("INFO", "INFO", "Output pictures: 160x90 as displayed, 30.000 frames per second."),
        ("INFO", "INFO", "Source colours: SDR BT.601 8-bit (untagged: guessed from its size), converted to SDR "
                         "BT.709."),
        ("WARNING", "WARN", "Unknown resolution requested: 4k. Skipping."),
    ]
    # The variants end in either order; the job's last lines come after both.
    assert sorted(records[5:7]) == [
        ("ERROR", "ERROR", f"Variant {workdir}/480p.m3u8 failed: could not open the video encoder: "
                           "Generic error in an external library"),
        ("INFO", "SUCCESS", f"Encrypted variant created: {workdir}/360p.m3u8"),
    ]
    assert records[7:] == [
        ("INFO", "SUCCESS", f"Encrypted Master playlist generated: {workdir}/master.m3u8"),
        ("ERROR", "ERROR", "Transcoding finished with 1 of 2 variants failed."),
    ]
    # FFmpeg's lines: x264's refusal of the bitrate at its error level, its
    # information lines (one "using cpu capabilities" per encoder) at DEBUG.
    ffmpeg = [(r.levelname, r.getMessage()) for r in caplog.records if r.name == "vantrel.ffmpeg"]
    assert any(level == "ERROR" and message.startswith("[libx264 @ ") for level, message in ffmpeg), ffmpeg
    assert [m for level, m in ffmpeg if level == "DEBUG" and "using cpu capabilities" in m], ffmpeg
    assert {r.thread for r in caplog.records} == {threading.get_ident()}
    console = capfd.readouterr()
    assert console.out + console.err == ""


# --- Wrong arguments -------------------------------------------------------

REFUSED = [
    pytest.param({"input": 3}, TypeError, id="input-int"),
    pytest.param({"input": b"in.mp4"}, TypeError, id="input-bytes"),
    pytest.param({"output": "out\0.m3u8"}, ValueError, id="output-nul"),
    pytest.param({"renditions": "720p"}, TypeError, id="renditions-bare-str"),
    pytest.param({"renditions": [720]}, TypeError, id="rendition-int"),
    pytest.param({"bitrates": [2.5e6]}, TypeError, id="bitrate-float"),
    pytest.param({"bitrates": [True]}, TypeError, id="bitrate-bool"),
    pytest.param({"bitrates": [2**31]}, ValueError, id="bitrate-too-big"),
    pytest.param({"bitrates": [0]}, ValueError, id="bitrate-zero"),
    pytest.param({"key_info": None}, TypeError, id="key-info-none"),
    pytest.param({"progress": "print"}, TypeError, id="progress-not-callable"),
    pytest.param({"timeout": 0}, ValueError, id="timeout-zero"),
    pytest.param({"timeout": float("nan")}, ValueError, id="timeout-nan"),
    pytest.param({"subtitles": "talk.srt"}, TypeError, id="subtitles-bare-str"),
    pytest.param({"subtitles": [("talk.srt", 'de",URI="x')]}, ValueError, id="subtitle-language-not-a-tag"),
    pytest.param({"subtitles": ["nowhere.de.srt"]}, FileNotFoundError, id="subtitle-file-missing"),
]


@pytest.mark.parametrize("wrong, error", REFUSED)
def test_wrong_arguments_raise_before_any_work(media, workdir, caplog, wrong, error):
    caplog.set_level(logging.INFO, logger="vantrel")
    arguments = {"input": media["tiny"], "output": workdir / "master.m3u8", **wrong}
    with pytest.raises(error):
        vantrel.encode(arguments.pop("input"), arguments.pop("output"), **arguments)
    assert caplog.records == [] and list(workdir.iterdir()) == []


# --- Keys ------------------------------------------------------------------


def test_generated_key_is_private_fresh_and_what_the_muxer_takes(media, workdir):
    keys = workdir / "keys"
    keys.mkdir()
    # An older key readable by everyone is replaced, not reused.
    (keys / "k.key").write_bytes(b"0123456789abcdef")
    (keys / "k.key").chmod(0o644)
    made = [vantrel.generate_key("https://keys.test/k", keys / "k.key", keys / "k.keyinfo") for _ in range(2)]
    info = made[-1]
    assert made[0].iv != info.iv and re.fullmatch(r"[0-9a-f]{32}", info.iv)
    key = (keys / "k.key").read_bytes()
    assert len(key) == 16 and key != b"0123456789abcdef"
    for path in (keys / "k.key", keys / "k.keyinfo"):
        assert stat.S_IMODE(path.stat().st_mode) == 0o600, path
    assert (keys / "k.keyinfo").read_text().splitlines() == ["https://keys.test/k", str(keys / "k.key"), info.iv]
    assert (info.key_path, info.key_info_path) == (str(keys / "k.key"), str(keys / "k.keyinfo"))

    out = workdir / "out"
    out.mkdir()
    assert vantrel.encode(media["tiny"], out / "master.m3u8", renditions=["360p"], key_info=info.key_info_path).ok
    assert f'#EXT-X-KEY:METHOD=AES-128,URI="https://keys.test/k",IV=0x{info.iv}' in (out / "360p.m3u8").read_text()
    assert sorted(os.listdir(keys)) == ["k.key", "k.keyinfo"]


def test_the_readmes_first_example_runs_as_written(media, workdir):
    readme = (Path(__file__).parent.parent / "README.md").read_text()
    example = re.search(r"```python\n(.*?)```", readme, re.S).group(1)
    shutil.copy(media["tiny"], workdir / "talk.mp4")
    proc = subprocess.run([sys.executable, "-c", example], cwd=workdir, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout == "True talk/master.m3u8\n"
