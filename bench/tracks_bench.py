"""What every track costs.

Two comparisons, each interleaved round by round, every job in a fresh
interpreter with the default four-rung ladder (colour_bench.py's runner),
reporting median CPU time (user + sys) and the ratio:

  one sound  - a 1080p clip with one audio stream, encoded by this build and
               by the build of --base-python (the commit before audio
               renditions existed): the same package, at the same cost;
  tracks     - the same clip with three audio streams (three audio
               renditions) against one, by this build: the extra CPU of each
               audio stream beyond the first, as a share of the ladder's.

    python bench/tracks_bench.py [--base-python PY] [--rounds N] [--seconds S]
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from colour_bench import compare, ffmpeg, key_info


def make_clip(work: Path, seconds: int, sounds: int) -> Path:
    """testsrc2 at 1920x1080 in H.264, with `sounds` speech-like audio streams in as many languages."""
    path = work / f"1080p-{seconds}s-{sounds}-sounds.mkv"
    if path.exists():
        return path
    inputs, maps = ["-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=30"], ["-map", "0:v"]
    for k, language in enumerate(["eng", "fre", "ger"][:sounds]):
        inputs += ["-f", "lavfi", "-i", f"sine=frequency={180 + 60 * k}:sample_rate=48000,tremolo=f=4:d=0.8,"
                   "aformat=channel_layouts=stereo"]
        maps += ["-map", f"{k + 1}:a", f"-metadata:s:a:{k}", f"language={language}"]
    ffmpeg(*inputs, *maps, "-t", str(seconds), "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
           "-b:v", "20M", "-c:a", "aac", str(path))
    return path


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--base-python", help="an interpreter with an earlier build, for the one-sound comparison")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--work", type=Path, default=Path(__file__).parent / "work" / "tracks")
    options = parser.parse_args()
    options.work.mkdir(parents=True, exist_ok=True)
    info = key_info(options.work)
    one = make_clip(options.work, options.seconds, 1)
    if options.base_python:
        compare(f"1920x1080 {options.seconds} s, one audio stream: before audio renditions and now",
                {"before audio renditions": (options.base_python, one), "this build": (sys.executable, one)},
                options.rounds, options.work, info)
    compare(f"1920x1080 {options.seconds} s: three audio streams against one (this build)",
            {"one audio stream": (sys.executable, one),
             "three audio streams": (sys.executable, make_clip(options.work, options.seconds, 3))},
            options.rounds, options.work, info)
    print("\nThe extra CPU of each audio stream beyond the first is half the second ratio's excess over 1.")


if __name__ == "__main__":
    main()
