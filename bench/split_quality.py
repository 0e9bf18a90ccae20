"""What splitting costs in quality: one title encoded whole and in chunks (the
parts run one after the other in this process, as the queue's tasks would run
them), each rendition's average bit rate and PSNR against the source compared.

    .venv/py3.11/bin/python bench/split_quality.py [--seconds 60] [--chunk-seconds 12]

Prints one line per rendition; the work goes to bench/work/split/."""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import time
from pathlib import Path

from vantrel import _split
from vantrel._package import make_package

WORK = Path(__file__).resolve().parent / "work" / "split"
LADDER = ["720p", "480p", "360p"]


def source(seconds: float) -> Path:
    path = WORK / f"source-{seconds:g}s.mp4"
    if not path.exists():
        subprocess.run(
            ["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", f"testsrc2=size=1280x720:rate=30:duration={seconds}",
             "-f", "lavfi", "-i", f"sine=frequency=440:duration={seconds}", "-c:v", "libx264", "-crf", "12",
             "-preset", "veryfast", "-c:a", "aac", str(path)],
            check=True,
        )
    return path


def psnr(variant: Path, original: Path, width: int, height: int) -> float:
    """PSNR of the variant against the source scaled to its frame size, over every picture."""
    run = subprocess.run(
        ["ffmpeg", "-v", "info", "-allowed_extensions", "ALL", "-i", str(variant), "-i", str(original),
         "-lavfi", f"[1:v]scale={width}:{height}:flags=bicubic[ref];[0:v][ref]psnr", "-f", "null", "-"],
        capture_output=True, text=True, check=True,
    )
    return float(re.findall(r"average:([0-9.]+)", run.stderr)[-1])


def package(original: Path, out: Path, chunk_seconds: float | None) -> tuple[dict, float]:
    key = dict(key_uri=str(out) + ".key", key_path=str(out) + ".key")
    started = time.monotonic()
    if chunk_seconds is None:
        return make_package(original, out, renditions=LADDER, **key), time.monotonic() - started
    plan = _split.plan_split(str(original), chunk_seconds)
    assert plan.unsplittable is None, plan
    work = _split.work_directory(str(out), "bench")
    os.makedirs(work, exist_ok=True)
    parts = [_split.encode_sound(str(original), work, plan.title)]
    parts += [_split.encode_chunk(str(original), work, window, LADDER, None, False, "bench", plan.title)
              for window in plan.windows]
    result = _split.stitch(str(original), str(out), work, parts, plan.title, renditions=LADDER, **key)
    _split.discard_work(work)
    return result, time.monotonic() - started


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--chunk-seconds", type=float, default=12)
    options = parser.parse_args()
    WORK.mkdir(parents=True, exist_ok=True)
    original = source(options.seconds)
    results = {}
    for name, chunk in (("whole", None), ("split", options.chunk_seconds)):
        out = WORK / name
        shutil.rmtree(out, ignore_errors=True)
        results[name], elapsed = package(original, out, chunk)
        assert results[name]["ok"], results[name]
        print(f"{name}: {elapsed:.1f} s in one process")
    for whole, split in zip(results["whole"]["renditions"], results["split"]["renditions"]):
        scores = [
            psnr(WORK / kind / f"{r['name']}.m3u8", original, r["width"], r["height"])
            for kind, r in (("whole", whole), ("split", split))
        ]
        rate = split["average_bitrate"] / whole["average_bitrate"] - 1
        print(f"{whole['name']}: PSNR whole {scores[0]:.2f} dB, split {scores[1]:.2f} dB "
              f"({scores[1] - scores[0]:+.2f}); average bit rate {whole['average_bitrate']} vs "
              f"{split['average_bitrate']} ({rate:+.1%})")


if __name__ == "__main__":
    main()
