"""The vantrel command as a person or a script runs it: exit statuses, --json,
the key it makes and where it keeps it, its progress bars on a real terminal,
Ctrl-C, and the watch command serving what it made."""

from __future__ import annotations

import fcntl
import json
import os
import pty
import re
import select
import signal
import stat
import struct
import subprocess
import sys
import termios
import time
import urllib.error
import urllib.request
from pathlib import Path

import pytest

from conftest import TOOL_ENV, decrypt_segment

# The console script pip installs, and the module form.
SCRIPT = [str(Path(sys.executable).with_name("vantrel"))]
MODULE = [sys.executable, "-m", "vantrel"]
PLAYER_DIR = Path(__file__).parent / "player"


def run_cli(cwd: Path, *args: str, command: list[str] = MODULE) -> subprocess.CompletedProcess:
    return subprocess.run([*command, *args], cwd=cwd, capture_output=True, text=True, timeout=300)


def short_key(workdir: Path) -> list[str]:
    (workdir / "short.key").write_bytes(b"0123456789")
    return ["--key-file", "short.key"]


def key_info_of_missing_key(workdir: Path) -> list[str]:
    (workdir / "k.keyinfo").write_text(f"k.key\n{workdir / 'gone.key'}\n")
    return ["--key-info", "k.keyinfo"]


EXIT_STATUSES = {
    # name: (input, arguments after OUTPUT_DIR or a function of the working directory making them, status)
    "all-created": ("tiny", ["--renditions", "360p"], 0),
    "some-failed": ("tiny", ["--renditions", "480p,360p", "--bitrates", "1,400k", "--upscale"], 1),
    "unknown-rendition": ("tiny", ["--renditions", "360p,4k"], 2),
    "bad-bitrate": ("tiny", ["--bitrates", "fast"], 2),
    "key-info-and-key-file": ("tiny", ["--key-info", "a", "--key-file", "b"], 2),
    "input-missing": ("missing", [], 2),
    "key-info-missing": ("tiny", ["--key-info", "nowhere.keyinfo"], 2),
    "key-of-key-info-missing": ("tiny", key_info_of_missing_key, 2),
    "key-file-short": ("tiny", short_key, 2),
}


@pytest.mark.parametrize("case", list(EXIT_STATUSES))
def test_exit_status(media, workdir, case):
    source, arguments, status = EXIT_STATUSES[case]
    if callable(arguments):
        arguments = arguments(workdir)
    before = sorted(os.listdir(workdir))
    source_path = str(workdir / "missing.mp4") if source == "missing" else str(media[source])
    proc = run_cli(workdir, source_path, "out", *arguments)
    assert proc.returncode == status, proc.stderr
    # Not a terminal: no progress bar.
    assert "%|" not in proc.stderr and "\r" not in proc.stderr
    if status == 2:
        assert proc.stdout == "" and re.match(r"(usage: |vantrel: error: )", proc.stderr), proc.stderr
        assert sorted(os.listdir(workdir)) == before, "nothing written"
    else:
        assert proc.stdout.startswith("out/master.m3u8: "), proc.stdout


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
    }
    key, key_info = workdir / "out.key", workdir / "out.keyinfo"
    assert sorted(os.listdir(workdir / "out")) == ["360p.m3u8", "360p_000.ts", "master.m3u8"]
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


@pytest.mark.threads
def test_ctrl_c_exits_130_and_leaves_nothing(media, workdir):
    proc = subprocess.Popen([*MODULE, str(media["long30"]), "out", "--renditions", "1080p,360p", "--upscale"], cwd=workdir,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    # Until the job writes its first segments.
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and not list((workdir / "out").glob("*.ts")):
        time.sleep(0.1)
    proc.send_signal(signal.SIGINT)
    _, stderr = proc.communicate(timeout=30)
    assert proc.returncode == 130, stderr
    assert "interrupted" in stderr
    # The package's files, and the key made for it, are gone.
    assert sorted(os.listdir(workdir)) == ["out"] and os.listdir(workdir / "out") == []


def test_watch_serves_the_package_and_its_key_and_nothing_else(media, workdir):
    if not (PLAYER_DIR / "node_modules" / "hls.js" / "package.json").is_file():
        pytest.fail(f"the watch command needs hls.js (npm ci --prefix {PLAYER_DIR}); ./scripts/test.sh installs it")
    assert run_cli(workdir, str(media["tiny"]), "out", "--renditions", "360p").returncode == 0
    # What a package directory may hold besides the package.
    (workdir / "out" / "clip.mp4").write_bytes(media["tiny"].read_bytes())
    (workdir / "out" / "enc.keyinfo").write_text((workdir / "out.keyinfo").read_text())
    server = subprocess.Popen(["node", str(PLAYER_DIR / "watch.js"), "out", "--port", "0"], cwd=workdir,
                              stdout=subprocess.PIPE, text=True, env=TOOL_ENV)
    try:
        address = re.search(r"Watch it at (\S+)", server.stdout.readline() + server.stdout.readline()).group(1)

        def status(path: str) -> tuple[int, bytes]:
            try:
                with urllib.request.urlopen(address + path, timeout=10) as response:
                    return response.status, response.read()
            except urllib.error.HTTPError as error:
                return error.code, b""

        assert status("")[0] == 200
        for path in ("master.m3u8", "360p.m3u8", "360p_000.ts"):
            assert status(f"package/{path}") == (200, (workdir / "out" / path).read_bytes()), path
        assert status("package/out.key") == (200, (workdir / "out.key").read_bytes())
        for path in ("clip.mp4", "enc.keyinfo", "../out.keyinfo", "%2e%2e/out.keyinfo", "../out.key"):
            assert status(f"package/{path}")[0] == 404, path
    finally:
        server.terminate()
        server.wait(timeout=10)
