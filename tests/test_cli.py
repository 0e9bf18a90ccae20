"""The vantrel command as a person or a script runs it: exit statuses, --json,
the key it makes and where it keeps it, its progress bars on a real terminal,
a package placed whole or not at all however the job ends, and the watch
command serving what it made."""

from __future__ import annotations

import fcntl
import json
import os
import pty
import re
import select
import shutil
import signal
import stat
import struct
import subprocess
import sys
import termios
import time
import urllib.error
import urllib.parse
import urllib.request
from pathlib import Path

import pytest

import vantrel

from conftest import TOOL_ENV, decrypt_segment, default_stop_signals, tree
from test_playback import decode_package

# The console script pip installs, and the module form.
SCRIPT = [str(Path(sys.executable).with_name("vantrel"))]
MODULE = [sys.executable, "-m", "vantrel"]
SUBMIT = [str(Path(sys.executable).with_name("vantrel-submit"))]
PLAYER_DIR = Path(__file__).parent / "player"


def run_cli(cwd: Path, *args: str, command: list[str] = MODULE) -> subprocess.CompletedProcess:
    return subprocess.run([*command, *args], cwd=cwd, capture_output=True, text=True, timeout=300)


def short_key(workdir: Path) -> list[str]:
    (workdir / "short.key").write_bytes(b"0123456789")
    return ["--key-file", "short.key"]


def key_info_of_missing_key(workdir: Path) -> list[str]:
    (workdir / "k.keyinfo").write_text(f"k.key\n{workdir / 'gone.key'}\n")
    return ["--key-info", "k.keyinfo"]


def other_files(workdir: Path) -> list[str]:
    (workdir / "out").mkdir()
    (workdir / "out" / "notes.txt").write_text("mine")
    return []


def text_file(workdir: Path) -> Path:
    (workdir / "notmedia.mp4").write_text("not a video\n")
    return workdir / "notmedia.mp4"


def input_inside_output(workdir: Path) -> Path:
    (workdir / "out").mkdir()
    (workdir / "out" / "clip.mp4").write_text("the only copy\n")
    return workdir / "out" / "clip.mp4"


def unknown_master_playlist(workdir: Path) -> list[str]:
    (workdir / "out").mkdir()
    (workdir / "out" / "master.m3u8").write_text("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\n4k.m3u8\n")
    (workdir / "out" / "4k.m3u8").write_text("#EXTM3U\n#EXTINF:1.0,\n4k_000.ts\n#EXT-X-ENDLIST\n")
    (workdir / "out" / "4k_000.ts").write_bytes(b"G")
    return []


def mounted_output(workdir: Path) -> list[str]:
    (workdir / "out").mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(workdir / "out")],
                             capture_output=True, env=TOOL_ENV)
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {mounted.stderr.decode().strip()}")
    return []


EXIT_STATUSES = {
    # name: (input: a media name or a function of the working directory making it,
    #        arguments after OUTPUT_DIR or a function of the working directory making them,
    #        status, what standard error says)
    "all-created": ("tiny", ["--renditions", "360p"], 0, ""),
    "some-failed": ("tiny", ["--renditions", "480p,360p", "--bitrates", "1,400k", "--upscale"], 1,
                    "480p.m3u8 failed"),
    "not-media": (text_file, [], 1, "vantrel: error: notmedia.mp4 is not a video FFmpeg can read"),
    "no-video": ("audio_only", [], 1, "No video stream found"),
    "unknown-rendition": ("tiny", ["--renditions", "360p,4k"], 2, "unknown rendition '4k'"),
    "some-skipped": ("tiny", ["--renditions", "480p,360p"], 0, "1 of 2 renditions created (1 skipped)"),
    "bad-bitrate": ("tiny", ["--bitrates", "fast"], 2, "not a bitrate"),
    "infinite-bitrate": ("tiny", ["--bitrates", "1e999"], 2, "not a bitrate: '1e999'"),
    "more-bitrates-than-renditions": ("tiny", ["--renditions", "360p", "--bitrates", "1M,400k"], 2,
                                      "2 bitrates for 1 renditions"),
    "key-info-and-key-file": ("tiny", ["--key-info", "a", "--key-file", "b"], 2, "cannot be combined"),
    "input-missing": ("missing", [], 2, "no such input file"),
    "key-info-missing": ("tiny", ["--key-info", "nowhere.keyinfo"], 2, "nowhere.keyinfo"),
    "key-of-key-info-missing": ("tiny", key_info_of_missing_key, 2, "gone.key"),
    "key-file-short": ("tiny", short_key, 2, "fewer than 16 bytes"),
    "key-file-folder-missing": ("tiny", ["--key-file", "nowhere/k.key"], 2,
                                "the folder of the key file does not exist: {workdir}/nowhere"),
    "key-file-inside-output": ("tiny", lambda workdir: (workdir / "out").mkdir() or ["--key-file", "out/new.key"], 2,
                               "outside OUTPUT_DIR"),
    "output-holds-other-files": ("tiny", other_files, 2, "(notes.txt); it was left as it is (--force replaces it)"),
    "output-holds-an-unknown-package": ("tiny", unknown_master_playlist, 2, "holds files other than a vantrel package"),
    "force-with-the-input-inside": (input_inside_output, ["--force"], 2, "the input (out/clip.mp4) is inside out"),
    # OUTPUT_DIR is the current directory, by a link.
    "force-from-inside": ("tiny", lambda workdir: (workdir / "out").symlink_to(workdir) or ["--force"], 2,
                          "the current directory ({workdir}) is inside out"),
    "output-is-a-mount-point": ("tiny", mounted_output, 2, "is on another file system than {workdir} (a mount point)"),
    "subtitle-file-missing": ("tiny", ["--subtitles", "nowhere.es.srt:es"], 2,
                              "cannot read the subtitle file nowhere.es.srt: No such file or directory"),
    "submit-chunk-seconds-nan": ("tiny", ["--chunk-seconds", "nan"], 2, "not a number of seconds", SUBMIT),
    "submit-chunk-seconds-inf": ("tiny", ["--chunk-seconds", "inf"], 2, "not a number of seconds", SUBMIT),
}


@pytest.mark.parametrize("case", list(EXIT_STATUSES))
def test_exit_status(media, workdir, case):
    source, arguments, status, says, *command = EXIT_STATUSES[case]
    try:
        if callable(arguments):
            arguments = arguments(workdir)
        if callable(source):
            source_path = str(source(workdir).relative_to(workdir))
        else:
            source_path = str(workdir / "missing.mp4") if source == "missing" else str(media[source])
        before = tree(workdir)
        proc = run_cli(workdir, source_path, "out", *arguments, command=command[0] if command else MODULE)
        after = tree(workdir)
    finally:
        if os.path.ismount(workdir / "out"):
            subprocess.run(["umount", str(workdir / "out")], check=True, env=TOOL_ENV)
    assert proc.returncode == status, proc.stderr
    assert says.format(workdir=workdir) in proc.stdout + proc.stderr
    # Not a terminal: no progress bar.
    assert "%|" not in proc.stderr and "\r" not in proc.stderr
    if status == 0:
        assert proc.stdout.startswith("out/master.m3u8: "), proc.stdout
        return
    # Nothing written, nothing removed: no package, no key, no temporary file.
    assert after == before
    if status == 2:
        assert proc.stdout == "" and re.match(r"(usage: |vantrel: error: )", proc.stderr), proc.stderr
    else:
        assert proc.stdout.startswith("nothing written to out: "), proc.stdout
        # The engine's guess about a missing file stays in its log line only.
        assert "Make sure the file exists" not in proc.stdout
        assert "Key:" not in proc.stdout + proc.stderr


def test_summary_names_every_track_and_what_was_left_out(media, workdir):
    sidecar = media["sidecar"]
    proc = run_cli(workdir, str(media["tracks"]), "out", "--renditions", "360p", "--subtitles", f"{sidecar}:pt-BR")
    assert proc.returncode == 0, proc.stderr
    assert (
        "  audio: English (en, default); French (fr); English (2) (en, describes the video)\n"
        "  subtitles: English (en); French (fr); Portuguese (pt-BR)\n"
        "  left out: stream 6 (subtitles): its subtitles are pictures (hdmv_pgs_subtitle), and only text becomes "
        "WebVTT\n"
    ) in proc.stdout
    assert proc.stderr.count("vantrel: WARNING: Leaving out stream 6 (subtitles)") == 1, proc.stderr


def test_version(workdir):
    proc = run_cli(workdir, "--version")
    assert (proc.returncode, proc.stdout) == (0, f"vantrel {vantrel.__version__}\n"), proc.stderr


def test_json_and_the_key_kept_beside_the_package(media, workdir):
    proc = run_cli(workdir, str(media["tiny"]), "out", "--renditions", "360p", "--json", command=SCRIPT)
    assert proc.returncode == 0, proc.stderr
    result = json.loads(proc.stdout)
    rendition = result["renditions"][0]
    assert rendition["peak_bitrate"] >= rendition["average_bitrate"] > 0
    assert re.fullmatch(r"avc1\.64[0-9a-f]{4},mp4a\.40\.2", rendition["codecs"]), rendition
    assert result == {
        "ok": True,
        "renditions": [{"name": "360p", "playlist": "out/360p.m3u8", "created": True, "error": None,
                        "pictures": 30, "duration": 1.0, "skipped": None, "width": 160, "height": 90,
                        "frame_rate": 30.0, "peak_bitrate": rendition["peak_bitrate"],
                        "average_bitrate": rendition["average_bitrate"], "codecs": rendition["codecs"]}],
        "master_playlist": "out/master.m3u8",
        "elapsed": result["elapsed"],
        "error": None,
        "source_colour": "SDR BT.601 8-bit (untagged: guessed from its size)",
        "colour_conversion": "converted to SDR BT.709",
        # The one sound, muxed into the variant: no playlist of its own.
        "audio": [{"kind": "audio", "language": None, "name": "Audio 1", "default": True, "forced": False,
                   "playlist": None, "created": True, "error": None, "describes_video": False,
                   "source": "stream 1"}],
        "subtitles": [],
        "left_out": [],
        "key": {"uri": "out.key", "path": str(workdir / "out.key")},
    }
    key, key_info = workdir / "out.key", workdir / "out.keyinfo"
    assert sorted(os.listdir(workdir / "out")) == [".vantrel.json", "360p.m3u8", "360p_000.ts", "master.m3u8"]
    for path in (key, key_info):
        assert stat.S_IMODE(path.stat().st_mode) == 0o600, path
    # Said where it is (on standard error: standard output is the JSON).
    assert str(key) in proc.stderr
    playlist = (workdir / "out" / "360p.m3u8").read_text()
    tag = re.search(r"#EXT-X-KEY:(.*)", playlist).group(1)
    assert 'URI="out.key"' in tag
    # The segments are encrypted with that very key.
    clear = decrypt_segment(workdir / "out" / "360p_000.ts", key.read_bytes(), tag, 0)
    assert clear[0] == 0x47


def read_terminal(command: list[str], cwd: Path) -> tuple[int, str]:
    """Runs `command` on a pseudo-terminal of 100x30 and returns its status and all it showed."""
    primary, secondary = pty.openpty()
    # A terminal without a size gets bars of no width.
    fcntl.ioctl(secondary, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 100, 0, 0))
    proc = subprocess.Popen(command, cwd=cwd, stdin=secondary, stdout=secondary, stderr=secondary)
    os.close(secondary)
    shown = b""
    deadline = time.monotonic() + 300
    while time.monotonic() < deadline:
        ready, _, _ = select.select([primary], [], [], 5)
        try:
            chunk = os.read(primary, 65536) if ready else b""
        except OSError:  # the other side closed
            break
        if ready and not chunk:
            break
        shown += chunk
    os.close(primary)
    return proc.wait(timeout=30), shown.decode(errors="replace")


@pytest.mark.threads
@pytest.mark.parametrize("quiet", [False, True], ids=["bars", "quiet"])
def test_progress_bars_on_a_terminal(media, workdir, quiet):
    status, shown = read_terminal(
        [*MODULE, str(media["clip"]), "out", "--renditions", "720p,360p", "--upscale", *(["--quiet"] if quiet else [])],
        workdir,
    )
    assert status == 0, shown
    bars = {name: re.findall(rf"{name} +(\d+)%\|", shown) for name in ("720p", "360p", "total")}
    if quiet:
        assert bars == {"720p": [], "360p": [], "total": []} and shown == ""
        return
    for name, percentages in bars.items():
        assert percentages and int(percentages[-1]) == 100, (name, shown)
        assert [int(p) for p in percentages] == sorted(int(p) for p in percentages), (name, percentages)
    assert re.search(r"total +\d+%\|[^|]*\| (\d\d:\d\d|\?) left", shown), shown
    # The summary follows the bars.
    assert "out/master.m3u8: 2 of 2 renditions created" in shown


def assert_decodes(workdir: Path, out: str) -> None:
    """The package decodes with its key, copied beside the playlists as a
    player without the watch command needs it."""
    check = workdir / "check"
    shutil.copytree(workdir / out, check)
    shutil.copy(workdir / f"{out}.key", check)
    proc, _ = decode_package(check / "master.m3u8")
    shutil.rmtree(check)
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr


@pytest.mark.threads
@pytest.mark.parametrize("interruption", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP, "a-file-saved-into-out"],
                         ids=lambda s: getattr(s, "name", s))
def test_an_interrupted_rerun_leaves_the_earlier_package_and_its_key(media, workdir, interruption):
    assert run_cli(workdir, str(media["tiny"]), "out", "--renditions", "360p").returncode == 0
    earlier = tree(workdir)
    # A signal stops the job mid-way; a saved file lets it run to its end.
    renditions = "1080p,360p" if isinstance(interruption, signal.Signals) else "360p"
    proc = subprocess.Popen([*MODULE, str(media["long30"]), "out", "--renditions", renditions, "--upscale"],
                            cwd=workdir,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            preexec_fn=default_stop_signals)
    # Until the new job wrote its first segments.
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and not list(workdir.glob(".out.partial-*/*.ts")):
        time.sleep(0.1)
    if isinstance(interruption, signal.Signals):
        proc.send_signal(interruption)
        _, stderr = proc.communicate(timeout=30)
        assert proc.returncode == 128 + interruption, stderr
        assert len(re.findall(r"^vantrel: (interrupted|stopped by SIG\w+); nothing of this job was left", stderr,
                              re.MULTILINE)) == 1, stderr
    else:
        # A user's file, saved while the job runs, is never replaced with it.
        (workdir / "out" / "notes.txt").write_text("mine")
        earlier["out/notes.txt"] = b"mine"
        stdout, stderr = proc.communicate(timeout=300)
        assert proc.returncode == 1, stderr
        assert "out gained or changed notes.txt while the job ran; the package was not placed" in stdout, stdout
    assert tree(workdir) == earlier
    assert_decodes(workdir, "out")


# Runs the command, its process dying at the Nth step of placing the package
# (a rename, a replacement or a removal, before it is made) as a killed one
# would: nothing of it runs after.
DIE_WHILE_PLACING = """
import os, sys
from vantrel import _placement, cli

die_at, steps = int(sys.argv[1]), 0

def counted(call):
    def step(*args, **kwargs):
        global steps
        steps += 1
        if steps == die_at:
            os._exit(9)
        return call(*args, **kwargs)
    return step

place = _placement.Placement.place

def place_counted(self):
    for name in ("rename", "replace", "unlink", "rmdir"):
        setattr(os, name, counted(getattr(os, name)))
    place(self)

_placement.Placement.place = place_counted
sys.exit(cli.main(sys.argv[2:]))
"""


@pytest.mark.python_side
def test_a_job_killed_at_any_step_of_placing_leaves_one_package_with_its_own_key(media, workdir):
    assert run_cli(workdir, str(media["tiny"]), "out", "--renditions", "480p").returncode == 0
    earlier = tree(workdir)
    text_file(workdir)
    for step in range(1, 100):
        killed = subprocess.run([sys.executable, "-c", DIE_WHILE_PLACING, str(step), str(media["tiny"]), "out",
                                 "--renditions", "360p"], cwd=workdir, capture_output=True, text=True, timeout=300)
        assert killed.returncode in (9, 0), killed.stderr
        # The next job for out mends what the killed one left, then fails
        # itself (its input is no video) and places nothing.
        assert run_cli(workdir, "notmedia.mp4", "out").returncode == 1
        now = tree(workdir)
        del now["notmedia.mp4"]
        if now != earlier:
            # Not the earlier package and keys as they were: then the new ones, whole.
            names = sorted(os.listdir(workdir / "out"))
            assert names == [".vantrel.json", "360p.m3u8", "360p_000.ts", "master.m3u8"], (step, names)
            assert sorted(os.listdir(workdir)) == ["notmedia.mp4", "out", "out.key", "out.keyinfo"], step
            # Its own key and key info file: the key decrypts it, the IV is its playlist's.
            playlist = (workdir / "out" / "360p.m3u8").read_text()
            tag = re.search(r"#EXT-X-KEY:(.*)", playlist).group(1)
            iv = (workdir / "out.keyinfo").read_text().split()[2]
            assert f"IV=0x{iv}" in tag, (step, tag)
            clear = decrypt_segment(workdir / "out" / "360p_000.ts", (workdir / "out.key").read_bytes(), tag, 0)
            assert clear[0] == 0x47, step
            earlier = now
        if killed.returncode == 0:
            break
    assert killed.returncode == 0 and step > 10, step


# What OUTPUT_DIR held, made by the function of it; the options that replace it.
REPLACED = {
    "an-earlier-package-and-a-stale-segment": (
        lambda out: (out / "360p_007.ts").write_bytes(b"earlier"), []),
    "other-files-with-force": (lambda out: shutil.rmtree(out) or out.mkdir() or (out / "a.txt").write_text("a"),
                               ["--force"]),
}


@pytest.mark.parametrize("case", list(REPLACED))
def test_output_dir_is_replaced_whole(media, workdir, case):
    alter, options = REPLACED[case]
    assert run_cli(workdir, str(media["tiny"]), "out", "--renditions", "480p").returncode == 0
    alter(workdir / "out")
    old_key = (workdir / "out.key").read_bytes()
    proc = run_cli(workdir, str(media["tiny"]), "out", "--renditions", "360p", *options)
    assert proc.returncode == 0, proc.stderr
    # The new package alone, with a new key; nothing of either job beside it.
    assert sorted(os.listdir(workdir / "out")) == [".vantrel.json", "360p.m3u8", "360p_000.ts", "master.m3u8"]
    assert sorted(os.listdir(workdir)) == ["out", "out.key", "out.keyinfo"]
    assert (workdir / "out.key").read_bytes() != old_key
    assert_decodes(workdir, "out")


@pytest.mark.python_side
def test_watch_serves_the_package_through_vantrel_serve_with_a_token(media, workdir):
    if not (PLAYER_DIR / "node_modules" / "hls.js" / "package.json").is_file():
        pytest.fail(f"the watch command needs hls.js (npm ci --prefix {PLAYER_DIR}); ./scripts/test.sh installs it")
    assert run_cli(workdir, str(media["tiny"]), "out", "--renditions", "360p").returncode == 0
    # What a package directory may hold besides the package.
    (workdir / "out" / "clip.mp4").write_bytes(media["tiny"].read_bytes())
    (workdir / "out" / "enc.keyinfo").write_text((workdir / "out.keyinfo").read_text())
    watch = subprocess.Popen(["node", str(PLAYER_DIR / "watch.js"), "out", "--port", "0", "--vantrel", SCRIPT[0]],
                             cwd=workdir, stdout=subprocess.PIPE, text=True, env=TOOL_ENV)
    try:
        printed = watch.stdout.readline() + watch.stdout.readline()
        page, master = re.search(r"Watch it at (\S+)\?src=(\S+)", printed).groups()
        master = urllib.parse.unquote(master)
        served, token = master.split("out/master.m3u8?token=")

        def status(url: str) -> tuple[int, bytes]:
            try:
                with urllib.request.urlopen(url, timeout=10) as response:
                    return response.status, response.read()
            except urllib.error.HTTPError as error:
                return error.code, b""

        assert status(page)[0] == 200
        assert status(master)[0] == 200
        assert status(f"{served}keys/out/out.key?token={token}") == (200, (workdir / "out.key").read_bytes())
        assert status(f"{served}out/360p_000.ts?token={token}") == (200, (workdir / "out" / "360p_000.ts").read_bytes())
        for url in (f"{served}out/master.m3u8", f"{served}out/clip.mp4?token={token}",
                    f"{served}out/enc.keyinfo?token={token}", f"{served}out.keyinfo?token={token}",
                    f"{page}package/master.m3u8"):
            assert status(url)[0] in (403, 404), url
    finally:
        watch.terminate()
        watch.wait(timeout=10)
    # vantrel serve went with it.
    with pytest.raises(urllib.error.URLError):
        urllib.request.urlopen(master, timeout=10)
