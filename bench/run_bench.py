"""Times vantrel.hls_encoder against the equivalent ffmpeg commands on the
same machine, in one run, and prints a table.

Contenders, run interleaved round by round on the same input:
  vantrel      - hls_encoder with the default four-rung ladder
  ffmpeg-1proc - one ffmpeg process that decodes once and splits
  ffmpeg-4proc - four ffmpeg processes at once, one per rendition, each
                 decoding the input itself (the work split vantrel uses)
  encode-only  - the four x264 encodes alone, at once, from pre-scaled raw
                 pictures: the floor for this ladder on this machine
"""

from __future__ import annotations

import argparse
import datetime
import os
import platform
import statistics
import subprocess
import sys
import threading
import time
from dataclasses import dataclass
from pathlib import Path

import psutil

LADDER = [("1080p", 1920, 1080, 5000000), ("720p", 1280, 720, 2500000),
          ("480p", 854, 480, 1000000), ("360p", 640, 360, 400000)]
X264 = ["-c:v", "libx264", "-preset", "fast", "-g", "60", "-keyint_min", "60",
        "-sc_threshold", "0", "-r", "30", "-threads", "0"]
AUDIO_FILTER = ("loudnorm=I=-14:LRA=11:TP=-1.5,"
                "aformat=sample_fmts=fltp:sample_rates=44100:channel_layouts=stereo")
AAC = ["-c:a", "aac", "-b:a", "128k", "-ar", "44100", "-ac", "2"]


@dataclass
class Sample:
    wall: float
    cpu: float
    peak_rss: int


def ffmpeg(*args: str) -> list[str]:
    return ["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", *args]


def make_input(path: Path, seconds: int, rate: int) -> None:
    if path.exists():
        return
    # Speech-like audio: a voiced tone with syllable-rate tremolo over quiet noise.
    audio = (f"sine=frequency=180:sample_rate=48000,volume=0.25,tremolo=f=4:d=0.8[s];"
             f"anoisesrc=sample_rate=48000:amplitude=0.02:color=pink[n];"
             f"[s][n]amix=inputs=2:duration=shortest,aformat=channel_layouts=stereo")
    tmp = path.with_suffix(".partial.mp4")
    subprocess.run(ffmpeg(
        "-f", "lavfi", "-i", f"testsrc2=size=1920x1080:rate={rate}",
        "-f", "lavfi", "-i", audio, "-t", str(seconds),
        "-c:v", "libx264", "-preset", "veryfast", "-b:v", "8M", "-pix_fmt", "yuv420p",
        "-c:a", "aac", "-b:a", "160k", str(tmp)), check=True)
    tmp.rename(path)


def make_raw_pictures(source: Path, work: Path) -> dict[str, Path]:
    """The input scaled to each rung and retimed to 30 fps, as raw YUV, so the
    encode-only contender does nothing but encode."""
    raws = {}
    for name, width, height, _ in LADDER:
        raw = work / f"{source.stem}-{name}.yuv"
        if not raw.exists():
            subprocess.run(ffmpeg("-i", str(source), "-an", "-vf", f"scale={width}:{height}:flags=bicubic",
                                  "-r", "30", "-pix_fmt", "yuv420p", "-f", "rawvideo", str(raw)), check=True)
        raws[name] = raw
    return raws


def write_key_info(work: Path) -> Path:
    key = work / "enc.key"
    if not key.exists():
        key.write_bytes(os.urandom(16))
    info = work / "enc.keyinfo"
    info.write_text(f"enc.key\n{key}\n")
    return info


def vantrel_command(source: Path, key_info: Path, renditions: int = 4) -> list[str]:
    names = [name for name, *_ in LADDER[:renditions]]
    bitrates = [rate for *_, rate in LADDER[:renditions]]
    script = (f"import vantrel; vantrel.hls_encoder({str(source)!r}, 'master.m3u8', "
              f"{names!r}, {bitrates!r}, {str(key_info)!r})")
    return [sys.executable, "-c", script]


def one_process_command(source: Path, key_info: Path) -> list[str]:
    video = ";".join(f"[v{i}]scale={w}:{h}:flags=bicubic[o{i}]" for i, (_, w, h, _) in enumerate(LADDER))
    graph = f"[0:v]split=4[v0][v1][v2][v3];{video};[0:a]{AUDIO_FILTER},asplit=4[a0][a1][a2][a3]"
    maps = []
    for i, (_, _, _, rate) in enumerate(LADDER):
        maps += ["-map", f"[o{i}]", "-map", f"[a{i}]", f"-b:v:{i}", str(rate)]
    return ffmpeg("-i", str(source), "-filter_complex", graph, *maps, *X264, *AAC,
                  "-f", "hls", "-hls_time", "6", "-hls_list_size", "0", "-hls_key_info_file", str(key_info),
                  "-hls_segment_filename", "v%v_%03d.ts",
                  "-var_stream_map", "v:0,a:0 v:1,a:1 v:2,a:2 v:3,a:3", "-master_pl_name", "master.m3u8",
                  "v%v.m3u8")


def per_rendition_commands(source: Path, key_info: Path) -> list[list[str]]:
    return [ffmpeg("-i", str(source), "-map", "0:v:0", "-map", "0:a:0",
                   "-vf", f"scale={w}:{h}:flags=bicubic", *X264, "-b:v", str(rate),
                   "-af", AUDIO_FILTER, *AAC,
                   "-f", "hls", "-hls_time", "6", "-hls_list_size", "0",
                   "-hls_key_info_file", str(key_info), "-hls_segment_filename", f"{name}_%03d.ts",
                   f"{name}.m3u8")
            for name, w, h, rate in LADDER]


def encode_only_commands(raws: dict[str, Path]) -> list[list[str]]:
    return [ffmpeg("-f", "rawvideo", "-pix_fmt", "yuv420p", "-s", f"{w}x{h}", "-r", "30", "-i", str(raws[name]),
                   *X264, "-b:v", str(rate), "-f", "null", "-")
            for name, w, h, rate in LADDER]


def tree_rss(root: psutil.Process) -> int:
    total = 0
    try:
        procs = [root, *root.children(recursive=True)]
    except psutil.NoSuchProcess:
        return 0
    for proc in procs:
        try:
            total += proc.memory_info().rss
        except psutil.NoSuchProcess:
            pass
    return total


def run_measured(commands: list[list[str]], cwd: Path) -> Sample:
    """Starts the commands at once and waits for all; CPU time is what the
    children used, peak memory the largest summed resident set seen."""
    cwd.mkdir(parents=True, exist_ok=True)
    for old in cwd.iterdir():
        old.unlink()
    before = os.times()
    start = time.perf_counter()
    procs = [subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE) for cmd in commands]
    handles = [psutil.Process(p.pid) for p in procs]
    peak = 0
    done = threading.Event()

    def sample() -> None:
        nonlocal peak
        while not done.is_set():
            peak = max(peak, sum(tree_rss(h) for h in handles))
            time.sleep(0.02)

    sampler = threading.Thread(target=sample)
    sampler.start()
    errors = [p.communicate()[1] for p in procs]
    wall = time.perf_counter() - start
    done.set()
    sampler.join()
    after = os.times()
    for proc, err in zip(procs, errors):
        if proc.returncode != 0:
            raise RuntimeError(f"{proc.args[:3]} failed: {err.decode(errors='replace')[-2000:]}")
    cpu = (after.children_user - before.children_user) + (after.children_system - before.children_system)
    return Sample(wall, cpu, peak)


def check_vantrel_output(cwd: Path, renditions: int) -> None:
    master = (cwd / "master.m3u8").read_text()
    listed = master.count("#EXT-X-STREAM-INF")
    if listed != renditions:
        raise RuntimeError(f"vantrel listed {listed} of {renditions} variants")


def compare(label: str, source: Path, key_info: Path, work: Path, rounds: int) -> dict[str, list[Sample]]:
    raws = make_raw_pictures(source, work)
    contenders = {
        "vantrel": [vantrel_command(source, key_info)],
        "ffmpeg-1proc": [one_process_command(source, key_info)],
        "ffmpeg-4proc": per_rendition_commands(source, key_info),
        "encode-only": encode_only_commands(raws),
    }
    samples: dict[str, list[Sample]] = {name: [] for name in contenders}
    for round_number in range(1, rounds + 1):
        for name, commands in contenders.items():
            out = work / "out" / name
            sample = run_measured(commands, out)
            if name == "vantrel":
                check_vantrel_output(out, 4)
            samples[name].append(sample)
            print(f"  [{label}] round {round_number} {name:13s} wall {sample.wall:6.2f} s  "
                  f"cpu {sample.cpu:6.2f} s  peak {sample.peak_rss / 2**30:5.2f} GiB", flush=True)
    return samples


def median(samples: list[Sample], field: str) -> float:
    return statistics.median(getattr(s, field) for s in samples)


def table(label: str, samples: dict[str, list[Sample]]) -> str:
    rows = [f"{label}", "",
            "| contender | wall (s) | CPU user+sys (s) | peak RSS (GiB) | vantrel wall / this |",
            "|---|---:|---:|---:|---:|"]
    ours = median(samples["vantrel"], "wall")
    for name, runs in samples.items():
        wall = median(runs, "wall")
        rows.append(f"| {name} | {wall:.2f} | {median(runs, 'cpu'):.2f} | "
                    f"{median(runs, 'peak_rss') / 2**30:.2f} | {ours / wall:.2f} |")
    return "\n".join(rows)


def scaling(source_for: dict[int, Path], key_info: Path, work: Path) -> str:
    rows = ["Scaling of vantrel (one run each, 1080p30 input)", "",
            "| clip length (s) | renditions | wall (s) | CPU (s) | peak RSS (GiB) |", "|---:|---:|---:|---:|---:|"]
    cases = [(seconds, 4) for seconds in sorted(source_for)] + [(20, n) for n in (1, 2, 3)]
    for seconds, renditions in cases:
        out = work / "out" / f"scale-{seconds}-{renditions}"
        sample = run_measured([vantrel_command(source_for[seconds], key_info, renditions)], out)
        check_vantrel_output(out, renditions)
        rows.append(f"| {seconds} | {renditions} | {sample.wall:.2f} | {sample.cpu:.2f} | "
                    f"{sample.peak_rss / 2**30:.2f} |")
        print(f"  [scaling] {seconds} s, {renditions} renditions: wall {sample.wall:.2f} s", flush=True)
    return "\n".join(rows)


def machine() -> str:
    cpu = next((line.split(":", 1)[1].strip() for line in Path("/proc/cpuinfo").read_text().splitlines()
                if line.startswith("model name")), platform.processor())
    memory = psutil.virtual_memory().total / 2**30
    ffmpeg_version = subprocess.run(["ffmpeg", "-version"], capture_output=True, text=True).stdout.split("\n")[0]
    return (f"{datetime.date.today().isoformat()}, {cpu}, {os.cpu_count()} cores, {memory:.0f} GiB RAM, "
            f"{platform.system()} {platform.release()}, Python {platform.python_version()}, "
            f"{ffmpeg_version.split(' Copyright')[0]}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=int, default=20, help="length of the main clip")
    parser.add_argument("--work", type=Path, default=Path(__file__).resolve().parent / "work")
    parser.add_argument("--no-scaling", action="store_true")
    parser.add_argument("--no-60fps", action="store_true")
    args = parser.parse_args()

    work = args.work
    work.mkdir(parents=True, exist_ok=True)
    key_info = write_key_info(work)
    clip = work / f"clip-{args.seconds}s-30fps.mp4"
    make_input(clip, args.seconds, 30)
    sections = [f"Machine: {machine()}", ""]
    print(f"Machine: {machine()}", flush=True)
    sections += [table(f"{args.seconds} s 1920x1080 30 fps input, default ladder, median of {args.rounds} rounds",
                       compare("30fps", clip, key_info, work, args.rounds)), ""]
    if not args.no_60fps:
        clip60 = work / f"clip-{args.seconds}s-60fps.mp4"
        make_input(clip60, args.seconds, 60)
        sections += [table(f"{args.seconds} s 1920x1080 60 fps input, default ladder, median of {args.rounds} rounds",
                           compare("60fps", clip60, key_info, work, args.rounds)), ""]
    if not args.no_scaling:
        sources = {args.seconds: clip}
        for seconds in (10, 40):
            sources[seconds] = work / f"clip-{seconds}s-30fps.mp4"
            make_input(sources[seconds], seconds, 30)
        sections += [scaling(sources, key_info, work), ""]
    report = "\n".join(sections)
    print("\n" + report)
    (work / "report.md").write_text(report)


if __name__ == "__main__":
    main()
