"""What the package defaults cost, and what they declare.

Runs, interleaved round by round, each in a fresh interpreter, with the
default four-rung ladder:

  hls_encoder      - the specified output (30 fps, nominal BANDWIDTH)
  encode           - the package defaults (upright, fitted, the source's rate,
                     capped bit rate, measured master playlist)
  encode-rotated   - the same clip stored sideways with a display matrix, so
                     that every picture is turned upright before scaling

on run_bench.py's 1080p30 clip (--clip bench, the default) or on a 1080p clip
whose second half is hard to encode (--clip hard), and prints each one's median
CPU time and wall time with the ratios, and for one package of each of the
first two, every variant's declared BANDWIDTH against the peak and average
segment bit rate measured from its files.

    python bench/defaults_bench.py [--clip bench|hard] [--rounds N] [--seconds S] [--work DIR]
"""

from __future__ import annotations

import argparse
import json
import math
import os
import re
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

RUNNER = """
import sys, vantrel
how, source, out, key_info = sys.argv[1:]
if how == "hls_encoder":
    vantrel.hls_encoder(source, out + "/master.m3u8", key=key_info)
else:
    assert vantrel.encode(source, out + "/master.m3u8", key_info=key_info).ok
"""


def ffmpeg(*args: str) -> None:
    subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", *args], check=True)


def make_inputs(work: Path, seconds: int, kind: str) -> dict[str, Path]:
    clip, rotated = work / f"{kind}-{seconds}s.mp4", work / f"{kind}-{seconds}s-rotated.mp4"
    if kind == "bench":
        sys.path.insert(0, str(Path(__file__).parent))
        from run_bench import make_input

        make_input(clip, seconds, 30)
    elif not clip.exists():
        half = seconds / 2
        ffmpeg("-f", "lavfi", "-i", f"testsrc2=size=1920x1080:rate=30,noise=alls=40:allf=t+u:enable='gte(t,{half})'",
               "-f", "lavfi", "-i", "sine=frequency=180:sample_rate=48000,tremolo=f=4:d=0.8,aformat=channel_layouts=stereo",
               "-t", str(seconds), "-c:v", "libx264", "-preset", "veryfast", "-b:v", "12M", "-pix_fmt", "yuv420p",
               "-c:a", "aac", str(clip))
    if not rotated.exists():
        # Stored sideways: the same pictures turned, and a matrix that turns them back.
        turned = work / "turned.mp4"
        ffmpeg("-i", str(clip), "-vf", "transpose=clock", "-c:v", "libx264", "-preset", "veryfast", "-b:v", "12M",
               "-c:a", "copy", str(turned))
        ffmpeg("-i", str(turned), "-c", "copy", "-metadata:s:v:0", "rotate=90", str(rotated))
        turned.unlink()
    return {"hls_encoder": clip, "encode": clip, "encode-rotated": rotated}


def key_info(work: Path) -> Path:
    key, info = work / "enc.key", work / "enc.keyinfo"
    key.write_bytes(os.urandom(16))
    info.write_text(f"enc.key\n{key}\n")
    return info


def run_once(how: str, source: Path, out: Path, info: Path) -> tuple[float, float]:
    """(wall seconds, CPU seconds) of one job in a fresh interpreter."""
    subprocess.run(["rm", "-rf", str(out)], check=True)
    out.mkdir(parents=True)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.monotonic()
    subprocess.run([sys.executable, "-c", RUNNER, how, str(source), str(out), str(info)], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wall = time.monotonic() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def bandwidths(out: Path) -> list[tuple[str, int, int, int]]:
    """(variant, declared BANDWIDTH, measured peak, measured average) per variant."""
    rows = []
    master = (out / "master.m3u8").read_text().splitlines()
    for line, uri in zip(master, master[1:]):
        if not line.startswith("#EXT-X-STREAM-INF:"):
            continue
        declared = int(re.search(r"BANDWIDTH=(\d+)", line).group(1))
        text = (out / uri).read_text()
        seconds = [float(s) for s in re.findall(r"#EXTINF:([\d.]+),", text)]
        sizes = [(out / name).stat().st_size for name in re.findall(r"^(?!#)(\S+)$", text, re.M)]
        whole = [(b, s) for b, s in zip(sizes, seconds) if s >= 1 or len(seconds) == 1]
        peak = max(math.ceil(b * 8 / s) for b, s in whole)
        rows.append((uri.removesuffix(".m3u8"), declared, peak, math.ceil(sum(sizes) * 8 / sum(seconds))))
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--clip", choices=["bench", "hard"], default="bench")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=int, default=20)
    parser.add_argument("--work", type=Path, default=Path(__file__).parent / "work" / "defaults")
    options = parser.parse_args()
    options.work.mkdir(parents=True, exist_ok=True)
    inputs = make_inputs(options.work, options.seconds, options.clip)
    info = key_info(options.work)
    samples: dict[str, list[tuple[float, float]]] = {how: [] for how in inputs}
    for round_number in range(options.rounds):
        for how, source in inputs.items():
            samples[how].append(run_once(how, source, options.work / how, info))
            print(f"round {round_number + 1} {how}: wall {samples[how][-1][0]:.2f} s, "
                  f"CPU {samples[how][-1][1]:.2f} s", file=sys.stderr)
    medians = {how: (statistics.median(w for w, _ in s), statistics.median(c for _, c in s))
               for how, s in samples.items()}
    print(f"{options.seconds} s 1080p clip ({options.clip}), default ladder, median of {options.rounds} "
          "interleaved rounds")
    print("| run | wall s | CPU s | CPU / hls_encoder | CPU / encode |")
    print("|---|---:|---:|---:|---:|")
    for how, (wall, cpu) in medians.items():
        print(f"| {how} | {wall:.2f} | {cpu:.2f} | {cpu / medians['hls_encoder'][1]:.3f} | "
              f"{cpu / medians['encode'][1]:.3f} |")
    print()
    print("| package | variant | declared BANDWIDTH | measured peak | peak / declared | measured average |")
    print("|---|---|---:|---:|---:|---:|")
    for how in ("hls_encoder", "encode"):
        for name, declared, peak, average in bandwidths(options.work / how):
            print(f"| {how} | {name} | {declared} | {peak} | {peak / declared:.2f} | {average} |")
    print(json.dumps({"medians": medians}), file=sys.stderr)


if __name__ == "__main__":
    main()
