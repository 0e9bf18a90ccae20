"""A long title split on the job queue against the same title as one task,
with two machines simulated on this one: every worker instance pinned to one
core of its own (taskset), one pool process each.

- whole: one instance on core 0 encodes the title as one task (chunk_seconds=0);
- split: two instances, on cores 0 and 1, encode it in --chunk-seconds chunks.

For each: the wall time from submit to result, and the CPU time the worker
instances spent meanwhile (their processes and every child they reaped). The
split run's parts are timed from the workers' logs (plan, sound, each chunk,
stitch), and each chunk's lead-in (the pictures decoded before its start, from
the key picture before it) is priced at the source's decode cost on one core.
Writes a Markdown report to bench/work/split/report.md and prints it."""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

from queue_bench import REDIS_CONF, free_port, make_clip, stop, wait_for

HERE = Path(__file__).resolve().parent
LADDER = ["720p", "480p", "360p"]
TICKS = os.sysconf("SC_CLK_TCK")
PART_LINE = re.compile(r"Task vantrel\.(\w+)\[([^\]]+)\] succeeded in ([0-9.]+)s")


def parse_arguments() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=int, default=60, help="length of the 1920x1080 30 fps title (default 60)")
    parser.add_argument("--chunk-seconds", type=int, default=12, help="chunk length (default 12)")
    parser.add_argument("--work", type=Path, default=HERE / "work" / "split", help="inputs, outputs, report")
    return parser.parse_args()


def tree_cpu(pid: int) -> float:
    """CPU seconds of `pid` and everything below it, the reaped included."""
    stats: dict[int, list[str]] = {}
    for path in Path("/proc").glob("[0-9]*/stat"):
        try:
            stats[int(path.parent.name)] = path.read_text().rsplit(")", 1)[1].split()
        except (OSError, ValueError):
            continue
    total, todo = 0.0, [pid]
    while todo:
        current = todo.pop()
        fields = stats.get(current)
        if fields is None:
            continue
        # utime, stime, cutime, cstime
        total += sum(int(value) for value in fields[11:15]) / TICKS
        todo += [child for child, child_fields in stats.items() if int(child_fields[1]) == current]
    return total


class Instance:
    """One celery worker instance pinned to one core, with one pool process."""

    def __init__(self, work: Path, name: str, core: int, url: str) -> None:
        self.name, self.log = name, work / f"{name}.log"
        env = dict(os.environ, VANTREL_BROKER_URL=url, VANTREL_RESULT_BACKEND=url)
        with open(self.log, "wb") as log:
            self.process = subprocess.Popen(
                ["taskset", "-c", str(core), sys.executable, "-m", "celery", "-A", "vantrel.queue", "worker",
                 "--concurrency", "1", "--hostname", f"{name}@bench", "--loglevel", "INFO",
                 "--without-gossip", "--without-mingle", "--without-heartbeat"],
                stdout=log, stderr=subprocess.STDOUT, env=env, cwd=work,
            )

    def ready(self) -> bool:
        return f"{self.name}@bench ready." in self.log.read_text(errors="replace")

    def parts(self) -> list[tuple[str, float]]:
        return [(m[1], float(m[3])) for m in PART_LINE.finditer(self.log.read_text(errors="replace"))]


def run(queue, clip: Path, work: Path, url: str, cores: list[int], chunk_seconds: int) -> dict:
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    instances = [Instance(work, f"w{core}", core, url) for core in cores]
    try:
        wait_for(lambda: all(i.ready() for i in instances), 120, "the worker instances")
        # Each pool process loads the engine once before its first job.
        time.sleep(2)
        cpu_before = sum(tree_cpu(i.process.pid) for i in instances)
        key = str(work / "package.key")
        started = time.monotonic()
        result = queue.submit(str(clip), str(work / "package"), renditions=LADDER, key_uri=key, key_path=key,
                              chunk_seconds=chunk_seconds).get(timeout=7200)
        wall = time.monotonic() - started
        cpu = sum(tree_cpu(i.process.pid) for i in instances) - cpu_before
        if not result.get("ok"):
            raise SystemExit(f"the job failed: {result}")
        parts = [part for i in instances for part in i.parts()]
    finally:
        for instance in instances:
            stop(instance.process)
    return {"wall": wall, "cpu": cpu, "result": result, "parts": parts}


def key_pictures(clip: Path) -> list[float]:
    probe = subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "v:0", "-skip_frame", "nokey", "-show_entries",
         "frame=pts_time", "-of", "csv=p=0", str(clip)],
        capture_output=True, text=True, check=True,
    )
    return sorted(float(line.split(",")[0]) for line in probe.stdout.split() if line.split(",")[0])


def decode_seconds_per_second(clip: Path, seconds: int) -> float:
    """Decode time of one second of the title on one core."""
    started = time.monotonic()
    subprocess.run(["taskset", "-c", "0", "ffmpeg", "-v", "error", "-threads", "1", "-i", str(clip), "-map", "0:v",
                    "-f", "null", "-"], check=True)
    return (time.monotonic() - started) / seconds


def lead_in(chunk_start: float, keys: list[float]) -> float:
    # A chunk's decode starts at the key picture at least a second before it
    # (the first chunk starts at the title's start); its last half second
    # also goes through the encoders.
    if chunk_start <= 0:
        return 0.0
    return chunk_start - max((k for k in keys if k <= chunk_start - 1), default=0.0)


def report(args, whole: dict, split: dict, keys: list[float], decode_cost: float) -> str:
    durations: dict[str, list[float]] = {}
    for name, seconds in split["parts"]:
        durations.setdefault(name, []).append(seconds)
    chunks = split["result"]["chunks"]
    lead_ins = [lead_in(chunk["start"], keys) for chunk in chunks]
    chunk_mean = sum(durations["encode_chunk"]) / len(durations["encode_chunk"])
    whole_task = sum(seconds for _, seconds in whole["parts"])
    lines = [
        f"{args.seconds} s 1920x1080 30 fps title (key pictures every {median_gap(keys):.1f} s), ladder "
        f"{', '.join(LADDER)}, chunks of {args.chunk_seconds} s; each worker instance pinned to a core of its own "
        f"with one pool process. {os.cpu_count()} cores.",
        "",
        "| | wall (s) | CPU (s) |",
        "|---|---:|---:|",
        f"| whole, one instance | {whole['wall']:.1f} | {whole['cpu']:.1f} |",
        f"| split, two instances | {split['wall']:.1f} | {split['cpu']:.1f} |",
        f"| split / whole | {split['wall'] / whole['wall']:.3f} | {split['cpu'] / whole['cpu']:.3f} |",
        "",
        f"Parts of the split run ({len(chunks)} chunks):",
        "",
        "| part | count | mean (s) | total (s) |",
        "|---|---:|---:|---:|",
    ]
    for name in ("plan_package", "encode_sound", "encode_chunk", "stitch_package"):
        values = durations.get(name, [])
        if values:
            lines.append(f"| {name} | {len(values)} | {sum(values) / len(values):.2f} | {sum(values):.2f} |")
    per_second = whole_task / args.seconds
    lead_cost = sum(lead_ins) / max(len(lead_ins), 1) * decode_cost
    lines += [
        "",
        f"- The whole-title task: {per_second:.3f} s of work per second of title on one core.",
        f"- A chunk's encode at that rate: {args.chunk_seconds * per_second:.2f} s; measured "
        f"{chunk_mean:.2f} s, so {chunk_mean - args.chunk_seconds * per_second:+.2f} s per chunk over it.",
        f"- Lead-in: {sum(lead_ins) / max(len(lead_ins), 1):.2f} s of pictures decoded before a chunk's start on "
        f"average, at {decode_cost:.3f} s per second of title: {lead_cost:.2f} s per chunk.",
        f"- Sound: {sum(durations.get('encode_sound', [0])):.2f} s ({sum(durations.get('encode_sound', [0])) / args.seconds:.4f} s "
        f"per second of title); stitch: {sum(durations.get('stitch_package', [0])):.2f} s "
        f"({sum(durations.get('stitch_package', [0])) / args.seconds:.4f} s per second of title); plan: "
        f"{sum(durations.get('plan_package', [0])):.2f} s.",
    ]
    return "\n".join(lines) + "\n"


def median_gap(keys: list[float]) -> float:
    gaps = sorted(b - a for a, b in zip(keys, keys[1:]))
    return gaps[len(gaps) // 2] if gaps else 0.0


def main() -> None:
    args = parse_arguments()
    if shutil.which("taskset") is None or (os.cpu_count() or 1) < 2:
        raise SystemExit("needs taskset and two cores")
    args.work.mkdir(parents=True, exist_ok=True)
    clip = make_clip(args.work / f"title{args.seconds}s.mp4", args.seconds)
    port = free_port()
    url = f"redis://127.0.0.1:{port}/0"
    # The client reads its broker from the environment when vantrel.queue is imported.
    os.environ["VANTREL_BROKER_URL"] = os.environ["VANTREL_RESULT_BACKEND"] = url
    from vantrel import queue

    data = args.work / "redis"
    shutil.rmtree(data, ignore_errors=True)
    data.mkdir()
    broker = subprocess.Popen(["redis-server", str(REDIS_CONF), "--port", str(port), "--dir", str(data)],
                              stdout=subprocess.DEVNULL)
    try:
        wait_for(lambda: subprocess.run(["redis-cli", "-p", str(port), "ping"], capture_output=True).returncode == 0,
                 30, "redis-server")
        whole = run(queue, clip, args.work / "whole", url, [0], 0)
        split = run(queue, clip, args.work / "chunks", url, [0, 1], args.chunk_seconds)
    finally:
        stop(broker)
    (args.work / "runs.json").write_text(json.dumps({"whole": whole, "split": split}, indent=1))
    if split["result"]["split"] != "chunks":
        raise SystemExit(f"the title was not split: {split['result']['split']}")
    text = report(args, whole, split, key_pictures(clip), decode_seconds_per_second(clip, args.seconds))
    (args.work / "report.md").write_text(text)
    print(text)


if __name__ == "__main__":
    main()
