"""Protected playback under load: `vantrel serve` against the same package's
files served by Starlette's StaticFiles, on loopback.

A 2-minute package (one 360p variant, 6 s segments) is made once with the
vantrel command. For each load and each server, one after the other, the
server is started alone under uvicorn with the same settings (one process, no
access log) and pinned to core 0, and N simulated viewers in this process,
pinned to core 1, each fetch the master playlist, its first media playlist,
the key and every segment in order, each on a connection of its own
(aiohttp). Two loads:

- at once (100 and 1000 viewers by default): all start together and fetch as
  fast as the server answers, which saturates it; the servers' capacity;
- paced (100 viewers): starts spread over --ramp seconds, each viewer
  fetching segments as a player does, up to 30 s of media ahead of its
  playback, which runs at --speed times real time; what a viewer waits for
  on a busy server that keeps up.

Each viewer of `vantrel serve` has a token of its own; the static server
holds a copy of the key beside the playlists, as an unprotected server
would. Reports requests per second, segment throughput and latency
percentiles per kind of request, CPU, and the ratio of the two servers'
segment throughput. Every run is bounded by --time-limit and by its count of
requests; only 127.0.0.1 is ever contacted. Writes a Markdown report to
bench/work/delivery/report.md and prints it."""

from __future__ import annotations

import argparse
import asyncio
import dataclasses
import importlib.util
import os
import platform
import re
import resource
import shutil
import signal
import statistics
import subprocess
import sys
import time
from pathlib import Path
from urllib.parse import urljoin

HERE = Path(__file__).resolve().parent
PACKAGE = "talk"
SERVER_CORE, CLIENT_CORE = 0, 1
# How far ahead of playback a player fetches (hls.js's default maxBufferLength).
BUFFER_SECONDS = 30


@dataclasses.dataclass(frozen=True)
class Load:
    viewers: int
    speed: float | None = None  # playback speed of paced viewers; None: as fast as the server answers
    ramp: float = 0.0  # seconds over which the viewers' starts are spread

    def __str__(self) -> str:
        return "at once" if self.speed is None else f"paced, {self.speed:g}x, {self.ramp:g} s ramp"


def parse_arguments() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--viewers", default="100,1000", help="viewer counts all at once (default 100,1000)")
    parser.add_argument("--paced-viewers", default="100", help="viewer counts paced (default 100; '' for none)")
    parser.add_argument("--speed", type=float, default=4, help="paced viewers' playback speed (default 4)")
    parser.add_argument("--ramp", type=float, default=10, help="seconds over which paced viewers start (default 10)")
    parser.add_argument("--seconds", type=int, default=120, help="length of the package (default 120)")
    parser.add_argument("--rounds", type=int, default=3, help="rounds, interleaved; medians reported (default 3)")
    parser.add_argument("--time-limit", type=float, default=300, help="seconds one run may take (default 300)")
    parser.add_argument("--work", type=Path, default=HERE / "work" / "delivery", help="package, servers' logs, report")
    parser.add_argument("--static-server", metavar="ROOT", help=argparse.SUPPRESS)
    return parser.parse_args()


def make_package(work: Path, seconds: int) -> Path:
    """work/root/talk with talk.key and talk.keyinfo beside it, as the command lays them out."""
    root = work / "root"
    if (root / PACKAGE / "master.m3u8").is_file():
        return root
    clip = work / "clip.mp4"
    subprocess.run(
        ["ffmpeg", "-hide_banner", "-loglevel", "error", "-y",
         "-f", "lavfi", "-i", "testsrc2=size=640x360:rate=30",
         "-f", "lavfi", "-i", "sine=frequency=220:sample_rate=48000,volume=0.3,tremolo=f=4:d=0.7",
         "-t", str(seconds), "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p",
         "-c:a", "aac", "-ac", "2", str(clip)],
        check=True,
    )
    root.mkdir(exist_ok=True)
    subprocess.run([vantrel_command(), str(clip), str(root / PACKAGE), "--renditions", "360p", "--quiet"], check=True)
    return root


def static_copy(work: Path, root: Path) -> Path:
    """The same files for the static server, the key among them."""
    static = work / "static"
    if not (static / PACKAGE / "master.m3u8").is_file():
        shutil.rmtree(static, ignore_errors=True)
        shutil.copytree(root / PACKAGE, static / PACKAGE)
        shutil.copy(root / f"{PACKAGE}.key", static / PACKAGE)
    return static


def vantrel_command() -> str:
    return str(Path(sys.executable).with_name("vantrel"))


def serve_static(root: str) -> None:
    """The static server, run as `vantrel serve` runs its application."""
    import socket

    import uvicorn
    from starlette.applications import Starlette
    from starlette.routing import Mount
    from starlette.staticfiles import StaticFiles

    # TCP by name, as vantrel serve makes it, so that asyncio sets TCP_NODELAY.
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    listener.bind(("127.0.0.1", 0))
    listener.listen(2048)
    print(f"Serving {root} at http://127.0.0.1:{listener.getsockname()[1]}/ ", flush=True)
    app = Starlette(routes=[Mount("/", StaticFiles(directory=root))])
    uvicorn.Server(uvicorn.Config(app, access_log=False, lifespan="off", log_level="warning")).run(sockets=[listener])


def start_server(command: list[str], log: Path) -> tuple[subprocess.Popen, str]:
    with open(log, "ab") as stderr:
        server = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=stderr, text=True,
                                  preexec_fn=lambda: os.sched_setaffinity(0, {SERVER_CORE}))
    line = server.stdout.readline()
    found = re.search(r" at (http://127\.0\.0\.1:\d+/) ", line)
    if not found:
        server.kill()
        raise SystemExit(f"the server did not start: {line!r}; see {log}")
    return server, found.group(1)


def cpu_seconds(pid: int) -> float:
    """User and system time of a running process."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def stop(server: subprocess.Popen) -> None:
    server.send_signal(signal.SIGTERM)
    try:
        server.wait(30)
    except subprocess.TimeoutExpired:
        server.kill()
        server.wait()


async def viewer(session, master: str, load: Load, number: int, timings: list[tuple[str, float, int]]) -> None:
    if load.speed is not None:
        await asyncio.sleep(load.ramp * number / load.viewers)

    async def fetch(url: str, kind: str) -> bytes:
        started = time.perf_counter()
        async with session.get(url) as response:
            body = await response.read()
            if response.status != 200:
                raise RuntimeError(f"{url}: {response.status}")
        timings.append((kind, time.perf_counter() - started, len(body)))
        return body

    master_text = (await fetch(master, "playlist")).decode()
    variant = urljoin(master, next(line for line in master_text.splitlines() if line and not line.startswith("#")))
    media = (await fetch(variant, "playlist")).decode()
    key = re.search(r'#EXT-X-KEY:.*URI="([^"]+)"', media)
    if key:
        await fetch(urljoin(variant, key.group(1)), "key")
    playing, media_time = time.perf_counter(), 0.0
    for line in media.splitlines():
        if line.startswith("#EXTINF:"):
            duration = float(line[len("#EXTINF:"):].split(",")[0])
        elif line and not line.startswith("#"):
            if load.speed is not None:
                # Playback started with the first segment's request.
                ahead = media_time - (time.perf_counter() - playing) * load.speed - BUFFER_SECONDS
                await asyncio.sleep(max(0.0, ahead / load.speed))
            await fetch(urljoin(variant, line), "segment")
            media_time += duration


async def run_viewers(masters: list[str], load: Load, time_limit: float) -> dict:
    import aiohttp

    timings: list[tuple[str, float, int]] = []
    connector = aiohttp.TCPConnector(limit=0)
    timeout = aiohttp.ClientTimeout(total=time_limit)
    async with aiohttp.ClientSession(connector=connector, timeout=timeout) as session:
        started = time.perf_counter()
        results = await asyncio.wait_for(
            asyncio.gather(*(viewer(session, master, load, number, timings) for number, master in enumerate(masters)),
                           return_exceptions=True),
            time_limit,
        )
        wall = time.perf_counter() - started
    failures = [result for result in results if isinstance(result, BaseException)]
    return {"wall": wall, "timings": timings, "failures": failures}


def percentile(values: list[float], fraction: float) -> float:
    return statistics.quantiles(values, n=1000, method="inclusive")[round(fraction * 1000) - 1] if len(values) > 1 \
        else (values[0] if values else float("nan"))


def summarise(run: dict) -> dict:
    by_kind: dict[str, list[float]] = {}
    segment_bytes = 0
    for kind, seconds, size in run["timings"]:
        by_kind.setdefault(kind, []).append(seconds)
        segment_bytes += size if kind == "segment" else 0
    everything = [seconds for _, seconds, _ in run["timings"]]
    return {
        "requests": len(everything),
        "failures": len(run["failures"]),
        "wall": run["wall"],
        "rps": len(everything) / run["wall"],
        "segments_per_s": len(by_kind.get("segment", [])) / run["wall"],
        "mbytes_per_s": segment_bytes / run["wall"] / 1e6,
        "p50": percentile(everything, 0.5),
        "p99": percentile(everything, 0.99),
        "segment_p99": percentile(by_kind.get("segment", []), 0.99),
        "key_p50": percentile(by_kind.get("key", []), 0.5),
        "key_p99": percentile(by_kind.get("key", []), 0.99),
    }


def run_one(kind: str, load: Load, root: Path, static: Path, work: Path, time_limit: float) -> dict:
    log = work / f"{kind}.log"
    if kind == "vantrel serve":
        secret = work / "secret"
        command = [vantrel_command(), "serve", str(root), "--secret-file", str(secret), "--port", "0"]
    else:
        command = [sys.executable, __file__, "--static-server", str(static)]
    server, address = start_server(command, log)
    try:
        if kind == "vantrel serve":
            from vantrel.delivery import load_secret, sign

            key = load_secret(work / "secret")
            masters = [f"{address}{PACKAGE}/master.m3u8?token={sign(PACKAGE, secret=key, ttl=3600, viewer=f'v{n}')}"
                       for n in range(load.viewers)]
        else:
            masters = [f"{address}{PACKAGE}/master.m3u8"] * load.viewers
        server_cpu, client_cpu = cpu_seconds(server.pid), time.process_time()
        summary = summarise(asyncio.run(run_viewers(masters, load, time_limit)))
        summary["server_cpu"] = (cpu_seconds(server.pid) - server_cpu) / summary["wall"]
        summary["client_cpu"] = (time.process_time() - client_cpu) / summary["wall"]
        return summary
    finally:
        stop(server)


def medians(rounds: list[dict]) -> dict:
    return {name: statistics.median(run[name] for run in rounds) for name in rounds[0]}


def report(results: dict[tuple[Load, str], dict], options: argparse.Namespace, started: str,
           load_average: float) -> str:
    import uvicorn

    loop = "uvloop" if importlib.util.find_spec("uvloop") else "asyncio"
    parser = "httptools" if importlib.util.find_spec("httptools") else "h11"
    lines = [
        f"Load run of {started}, {platform.processor() or platform.machine()}, "
        f"{os.cpu_count()} cores (load average {load_average:.1f} at the start), Python "
        f"{platform.python_version()}, uvicorn {uvicorn.__version__} ({loop}, {parser}); a {options.seconds} s "
        f"package, one 360p variant; server on core {SERVER_CORE}, viewers on core {CLIENT_CORE}; median of "
        f"{options.rounds} rounds.",
        "",
        "| viewers | load | server | requests | failed viewers | wall (s) | requests/s | p50 (ms) | p99 (ms) "
        "| segments/s | MB/s | segment p99 (ms) | key p50 (ms) | key p99 (ms) | server CPU | viewers' CPU |",
        "|---:|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for (load, kind), r in results.items():
        lines.append(
            f"| {load.viewers} | {load} | {kind} | {r['requests']:.0f} | {r['failures']:.0f} | {r['wall']:.1f} | {r['rps']:.0f} "
            f"| {r['p50'] * 1e3:.1f} | {r['p99'] * 1e3:.1f} | {r['segments_per_s']:.0f} | {r['mbytes_per_s']:.0f} "
            f"| {r['segment_p99'] * 1e3:.1f} | {r['key_p50'] * 1e3:.1f} | {r['key_p99'] * 1e3:.1f} "
            f"| {r['server_cpu']:.0%} | {r['client_cpu']:.0%} |"
        )
    lines.append("")
    for load in dict.fromkeys(load for load, _ in results):
        ours, static = results.get((load, "vantrel serve")), results.get((load, "StaticFiles"))
        if ours and static:
            lines.append(f"{load.viewers} viewers {load}: segment throughput of vantrel serve / StaticFiles = "
                         f"{ours['segments_per_s'] / static['segments_per_s']:.2f}; requests/s ratio "
                         f"{ours['rps'] / static['rps']:.2f}; key p99 {ours['key_p99'] * 1e3:.1f} ms")
    return "\n".join(lines) + "\n"


def main() -> None:
    options = parse_arguments()
    if options.static_server:
        serve_static(options.static_server)
        return
    # Two sockets per viewer here and one in the server, plus the files it reads.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    options.work.mkdir(parents=True, exist_ok=True)
    root = make_package(options.work, options.seconds)
    static = static_copy(options.work, root)
    secret = options.work / "secret"
    if not secret.exists():
        descriptor = os.open(secret, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        os.write(descriptor, os.urandom(32))
        os.close(descriptor)
    os.sched_setaffinity(0, {CLIENT_CORE})
    started, load_average = time.strftime("%Y-%m-%d %H:%M"), os.getloadavg()[0]
    loads = [Load(int(count)) for count in options.viewers.split(",") if count]
    loads += [Load(int(count), options.speed, options.ramp) for count in options.paced_viewers.split(",") if count]
    rounds: dict[tuple[Load, str], list[dict]] = {}
    for number in range(options.rounds):
        for load in loads:
            for kind in ("StaticFiles", "vantrel serve"):
                print(f"round {number + 1}: {load.viewers} viewers {load}, {kind} ...", file=sys.stderr, flush=True)
                run = run_one(kind, load, root, static, options.work, options.time_limit)
                rounds.setdefault((load, kind), []).append(run)
    text = report({case: medians(runs) for case, runs in rounds.items()}, options, started, load_average)
    (options.work / "report.md").write_text(text)
    print(text)


if __name__ == "__main__":
    main()
