"""What the colour conversion costs.

Two comparisons, each interleaved round by round, every job in a fresh
interpreter with the default four-rung ladder, reporting median CPU time
(user + sys) and the ratio:

  sdr     - an SDR BT.709 8-bit 1080p clip (the common case, which the
            conversion leaves alone), encoded by this build and by the
            build of --base-python (an earlier commit, before the colour
            stage existed);
  hdr     - an HLG BT.2020 10-bit clip against an SDR BT.709 8-bit clip of
            the same size, content and codec (HEVC), both by this build:
            at 3840x2160 (--sizes), and at 1920x1080 for comparison.

    python bench/colour_bench.py [--base-python PY] [--rounds N] [--seconds S] [--sizes 3840x2160,1920x1080]
"""

from __future__ import annotations

import argparse
import os
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

RUNNER = """
import sys, vantrel
source, out, key_info = sys.argv[1:]
result = vantrel.encode(source, out + "/master.m3u8", key_info=key_info)
assert result.ok, result
"""


def ffmpeg(*args: str) -> None:
    subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", *args], check=True)


def make_clip(work: Path, size: str, seconds: int, hdr: bool) -> Path:
    """testsrc2 with speech-like sound, as HLG BT.2020 10-bit (reference white
    at 203 cd/m²) or SDR BT.709 8-bit, in HEVC."""
    path = work / f"{'hlg' if hdr else 'sdr'}-{size}-{seconds}s.mp4"
    if path.exists():
        return path
    colour = (["-vf", "zscale=transferin=709:primariesin=709:matrixin=709:rangein=tv:t=arib-std-b67:p=bt2020:"
               "m=bt2020nc:r=tv:npl=203,format=yuv420p10le", "-color_trc", "arib-std-b67", "-color_primaries",
               "bt2020", "-colorspace", "bt2020nc"] if hdr else
              ["-pix_fmt", "yuv420p", "-color_trc", "bt709", "-color_primaries", "bt709", "-colorspace", "bt709"])
    ffmpeg("-f", "lavfi", "-i", f"testsrc2=size={size}:rate=30", "-f", "lavfi", "-i",
           "sine=frequency=180:sample_rate=48000,tremolo=f=4:d=0.8,aformat=channel_layouts=stereo",
           "-t", str(seconds), *colour, "-color_range", "tv", "-c:v", "libx265", "-preset", "ultrafast",
           "-x265-params", "log-level=error", "-b:v", "20M", "-c:a", "aac", str(path))
    return path


def key_info(work: Path) -> Path:
    key, info = work / "enc.key", work / "enc.keyinfo"
    key.write_bytes(os.urandom(16))
    info.write_text(f"enc.key\n{key}\n")
    return info


def cpu_seconds(python: str, source: Path, out: Path, info: Path) -> float:
    subprocess.run(["rm", "-rf", str(out)], check=True)
    out.mkdir(parents=True)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.monotonic()
    subprocess.run([python, "-c", RUNNER, str(source), str(out), str(info)], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    print(f"  {source.name} with {python}: CPU {cpu:.2f} s, wall {time.monotonic() - started:.2f} s",
          file=sys.stderr)
    return cpu


def compare(title: str, runs: dict[str, tuple[str, Path]], rounds: int, work: Path, info: Path) -> None:
    """Median CPU of each run, interleaved round by round; the first is the base."""
    samples: dict[str, list[float]] = {name: [] for name in runs}
    for _ in range(rounds):
        for name, (python, source) in runs.items():
            samples[name].append(cpu_seconds(python, source, work / "out", info))
    medians = {name: statistics.median(values) for name, values in samples.items()}
    base = next(iter(medians.values()))
    print(f"\n{title} (median of {rounds} interleaved rounds)\n")
    print("| run | CPU s | ratio |")
    print("|---|---:|---:|")
    for name, cpu in medians.items():
        print(f"| {name} | {cpu:.2f} | {cpu / base:.3f} |")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--base-python", help="an interpreter with an earlier build, for the SDR comparison")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=int, default=5)
    parser.add_argument("--sizes", default="3840x2160,1920x1080")
    parser.add_argument("--work", type=Path, default=Path(__file__).parent / "work" / "colour")
    options = parser.parse_args()
    options.work.mkdir(parents=True, exist_ok=True)
    info = key_info(options.work)
    sizes = options.sizes.split(",")
    if options.base_python:
        sdr = make_clip(options.work, "1920x1080", options.seconds * 2, hdr=False)
        compare(f"SDR BT.709 8-bit 1920x1080, {options.seconds * 2} s: the conversion left out",
                {"before the colour stage": (options.base_python, sdr), "this build": (sys.executable, sdr)},
                options.rounds, options.work, info)
    for size in sizes:
        compare(f"{size} {options.seconds} s, HEVC: HLG against SDR",
                {"SDR BT.709 8-bit": (sys.executable, make_clip(options.work, size, options.seconds, hdr=False)),
                 "HLG BT.2020 10-bit": (sys.executable, make_clip(options.work, size, options.seconds, hdr=True))},
                options.rounds, options.work, info)


if __name__ == "__main__":
    main()
