"""The job queue's throughput and overhead on this machine.

For 1 and then 2 worker processes (one celery worker started with that
--concurrency, against a redis-server with scripts/redis.conf on a free
port), after one warm-up job:

- overhead: --sequential jobs one after the other, each submitted once the one
  before has its result: the time from submit to start and from finish to
  result (the worker's timestamps in the result; one clock, as everything runs
  here), against the encode time;
- throughput: --jobs jobs submitted at once, jobs per hour from the first
  submit to the last result.

Every job encodes the same short generated clip with the default ladder, each
into an output directory and with a fresh key of its own. Writes a Markdown
report to bench/work/queue/report.md and prints it."""

from __future__ import annotations

import argparse
import os
import platform
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REDIS_CONF = HERE.parent / "scripts" / "redis.conf"


def parse_arguments() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=int, default=10, help="length of the 1920x1080 30 fps clip (default 10)")
    parser.add_argument("--jobs", type=int, default=6, help="jobs submitted at once per configuration (default 6)")
    parser.add_argument("--sequential", type=int, default=3, help="jobs one after the other (default 3)")
    parser.add_argument("--processes", default="1,2", help="worker processes to try (default 1,2)")
    parser.add_argument("--work", type=Path, default=HERE / "work" / "queue", help="inputs, outputs, report")
    return parser.parse_args()


def make_clip(path: Path, seconds: int) -> Path:
    if not path.exists():
        subprocess.run(
            ["ffmpeg", "-hide_banner", "-loglevel", "error", "-y",
             "-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=30",
             "-f", "lavfi", "-i", "sine=frequency=220:sample_rate=48000,volume=0.3,tremolo=f=4:d=0.7",
             "-t", str(seconds), "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p",
             "-c:a", "aac", "-ac", "2", str(path)],
            check=True,
        )
    return path


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def wait_for(condition, seconds: float, what: str) -> None:
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise SystemExit(f"gave up waiting for {what}")
        time.sleep(0.1)


def stop(process: subprocess.Popen) -> None:
    """SIGTERM and wait; the worker's warm shutdown stops its pool processes."""
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(60)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


class Run:
    """Submits jobs to the queue and keeps what each took."""

    def __init__(self, queue, clip: Path, outputs: Path) -> None:
        self.queue, self.clip, self.outputs, self.count = queue, clip, outputs, 0

    def submit(self):
        self.count += 1
        out = self.outputs / f"job{self.count}"
        key = str(self.outputs / f"job{self.count}.key")
        return time.time(), self.queue.encode_package.apply_async(
            kwargs=dict(input=str(self.clip), output_dir=str(out), key_uri=key, key_path=key)
        )

    def one(self) -> dict[str, float]:
        submitted, job = self.submit()
        result = job.get(timeout=3600)
        arrived = time.time()
        return timings(result, submitted, arrived)

    def batch(self, jobs: int) -> tuple[float, list[dict[str, float]]]:
        from celery.result import ResultSet

        submitted = [self.submit() for _ in range(jobs)]
        when = {job.id: at for at, job in submitted}
        found: list[dict[str, float]] = []
        ResultSet([job for _, job in submitted]).join_native(
            timeout=3600, callback=lambda job_id, result: found.append(timings(result, when[job_id], time.time()))
        )
        return max(t["arrived"] for t in found) - min(when.values()), found


def timings(result: dict, submitted: float, arrived: float) -> dict[str, float]:
    if result["outcome"] != "encoded":
        raise SystemExit(f"a job did not make its package: {result}")
    return {
        "to_start": result["started_at"] - submitted,
        "encode": result["finished_at"] - result["started_at"],
        "to_result": arrived - result["finished_at"],
        "arrived": arrived,
    }


def measure(processes: int, args: argparse.Namespace, clip: Path, port: int) -> dict[str, object]:
    from vantrel import queue

    work = args.work / f"p{processes}"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    url = f"redis://127.0.0.1:{port}/0"
    env = dict(os.environ, VANTREL_BROKER_URL=url, VANTREL_RESULT_BACKEND=url)
    with open(work / "worker.log", "wb") as log:
        worker = subprocess.Popen(
            [sys.executable, "-m", "celery", "-A", "vantrel.queue", "worker", "--concurrency", str(processes),
             "--hostname", f"bench{processes}@%h", "--loglevel", "INFO"],
            stdout=log, stderr=subprocess.STDOUT, env=env, cwd=work,
        )
    try:
        wait_for(lambda: queue.app.control.ping(timeout=1), 60, "the worker")
        run = Run(queue, clip, work)
        run.one()  # warm-up: the pool processes' first encode
        sequential = [run.one() for _ in range(args.sequential)]
        wall, batch = run.batch(args.jobs)
    finally:
        stop(worker)
    return {"processes": processes, "sequential": sequential, "wall": wall, "batch": batch}


def median(values) -> float:
    return statistics.median(values)


def report(args: argparse.Namespace, results: list[dict], load: tuple[float, float, float]) -> str:
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")), "?")
    lines = [
        f"{args.seconds} s 1920x1080 30 fps clip, default ladder (1080p, 720p, 480p, 360p), a fresh key per job. "
        f"{os.cpu_count()} cores ({cpu}), Python {platform.python_version()}, load average before the run "
        f"{load[0]:.1f} / {load[1]:.1f} / {load[2]:.1f} (1 / 5 / 15 min).",
        "",
        f"Throughput, {args.jobs} jobs submitted at once:",
        "",
        "| worker processes | wall (s) | jobs per hour | median job in the worker (s) |",
        "|---:|---:|---:|---:|",
    ]
    for result in results:
        lines.append(
            f"| {result['processes']} | {result['wall']:.1f} | {args.jobs / result['wall'] * 3600:.0f} "
            f"| {median(t['encode'] for t in result['batch']):.1f} |"
        )
    lines += [
        "",
        f"Overhead, {args.sequential} jobs one after the other (median):",
        "",
        "| worker processes | submit to start (ms) | finish to result (ms) | job in the worker (s) | overhead / job |",
        "|---:|---:|---:|---:|---:|",
    ]
    for result in results:
        runs = result["sequential"]
        to_start, to_result = median(t["to_start"] for t in runs), median(t["to_result"] for t in runs)
        encode = median(t["encode"] for t in runs)
        lines.append(
            f"| {result['processes']} | {to_start * 1000:.0f} | {to_result * 1000:.0f} | {encode:.2f} "
            f"| {(to_start + to_result) / encode:.2%} |"
        )
    return "\n".join(lines) + "\n"


def main() -> None:
    args = parse_arguments()
    args.work.mkdir(parents=True, exist_ok=True)
    clip = make_clip(args.work / f"clip{args.seconds}s.mp4", args.seconds)
    port = free_port()
    data = args.work / "redis"
    shutil.rmtree(data, ignore_errors=True)
    data.mkdir()
    # The client reads its broker from the environment when vantrel.queue is imported.
    os.environ["VANTREL_BROKER_URL"] = os.environ["VANTREL_RESULT_BACKEND"] = f"redis://127.0.0.1:{port}/0"
    load = os.getloadavg()
    broker = subprocess.Popen(
        ["redis-server", str(REDIS_CONF), "--port", str(port), "--dir", str(data)],
        stdout=subprocess.DEVNULL,
    )
    try:
        wait_for(lambda: subprocess.run(["redis-cli", "-p", str(port), "ping"], capture_output=True).returncode == 0,
                 30, "redis-server")
        results = [measure(int(n), args, clip, port) for n in args.processes.split(",")]
    finally:
        stop(broker)
    text = report(args, results, load)
    (args.work / "report.md").write_text(text)
    print(text)


if __name__ == "__main__":
    main()
