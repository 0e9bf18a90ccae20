"""Encodes the same inputs with two builds of vantrel, the same key and the
same IV, and checks that every file of every package is byte-identical.

A change to how the engine works inside (how it decodes, threads or queues)
should change its cost and nothing else; with AES-128 under a fixed key and
IV, any change to a picture, a sample, a timestamp or a playlist line shows
up as a differing file. bench/compare.sh builds the two sides and runs this.

Exit status: 0 when every case is identical, 1 when any case differs or a
build made no package for it.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

from run_bench import ffmpeg, make_input

BENCH_DIR = Path(__file__).resolve().parent
# Any fixed values do: what matters is that both builds encrypt with the same.
KEY = bytes.fromhex("5f3a9c0e7b21d4468e0f6a1c3b5d7e92")
IV = "c4e1a7305b9f2d6e8a0c1f3b5d7e9a24"
# Long enough for a whole 6-second segment and a short last one.
SMALL_SECONDS = 8
SMALL_LADDER = ["480p", "360p"]

RUNNER = """
import json, sys
import vantrel
# Says which build this log belongs to.
print("vantrel from", vantrel.__file__, flush=True)
args, kwargs = json.loads(sys.argv[1])
vantrel.hls_encoder(*args, **kwargs)
"""


def make_small_input(path: Path, size: str, rate: str, *output_options: str) -> None:
    """A short testsrc2 picture with a tremolo tone, as the test suite makes its
    inputs: H.264 and AAC."""
    if path.exists():
        return
    partial = path.with_name("partial-" + path.name)
    subprocess.run(ffmpeg(
        "-f", "lavfi", "-i", f"testsrc2=size={size}:rate={rate}",
        "-f", "lavfi", "-i", "sine=frequency=330:sample_rate=48000,volume=0.1,tremolo=f=3:d=0.6,"
                             "aformat=channel_layouts=stereo",
        "-t", str(SMALL_SECONDS), "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
        "-c:a", "aac", *output_options, str(partial)), check=True)
    partial.rename(path)


@dataclass(frozen=True)
class Case:
    name: str
    input_name: str
    make: Callable[[Path], None]
    # None calls hls_encoder without the argument, so both builds use their default ladder.
    resolution: list[str] | None


CASES = [
    Case("clip-1080p30", "clip-20s-30fps.mp4", lambda path: make_input(path, 20, 30), None),
    Case("fps25", "small-25fps.mp4", lambda path: make_small_input(path, "320x180", "25"), SMALL_LADDER),
    Case("fps29.97", "small-29.97fps.mp4", lambda path: make_small_input(path, "320x180", "30000/1001"),
         SMALL_LADDER),
    Case("fps60", "small-60fps.mp4", lambda path: make_small_input(path, "320x180", "60"), SMALL_LADDER),
    Case("portrait", "small-portrait.mp4", lambda path: make_small_input(path, "180x320", "30"), SMALL_LADDER),
    Case("clock-100s", "small-clock-100s.ts",
         lambda path: make_small_input(path, "320x180", "30", "-output_ts_offset", "100"), SMALL_LADDER),
    Case("odd-names", "small-30fps.mp4", lambda path: make_small_input(path, "320x180", "30"),
         ["720p", "4k", "360p", "720p", "480P"]),
]
CASES_BY_NAME = {case.name: case for case in CASES}


@dataclass
class Run:
    """One build's package for one case."""
    side: str
    directory: Path
    log: Path
    returncode: int
    seconds: float
    digests: dict[str, str]

    def problem(self) -> str | None:
        """Why this run cannot stand for its build, if it cannot: two packages that
        are both missing would compare equal and prove nothing."""
        if self.returncode != 0:
            return f"the {self.side} build's process exited with {self.returncode} (see {self.log})"
        master = self.directory / "master.m3u8"
        if not master.exists() or "#EXT-X-STREAM-INF" not in master.read_text(errors="replace"):
            return f"the {self.side} build listed no variant (see {self.log})"
        return None


def write_key_info(work: Path) -> Path:
    key = work / "enc.key"
    key.write_bytes(KEY)
    info = work / "enc.keyinfo"
    info.write_text(f"enc.key\n{key}\n{IV}\n")
    return info


def digest_directory(directory: Path) -> dict[str, str]:
    return {str(path.relative_to(directory)): hashlib.sha256(path.read_bytes()).hexdigest()
            for path in sorted(directory.rglob("*")) if path.is_file()}


def child_environment() -> dict[str, str]:
    # Each side must import the vantrel of its own environment and nothing else.
    return {name: value for name, value in os.environ.items() if name not in ("PYTHONPATH", "PYTHONHOME")}


def encode(python: str, side: str, case: Case, source: Path, key_info: Path, case_dir: Path) -> Run:
    """Runs one hls_encoder call in a fresh output directory. The call is made
    with the same relative output name from inside that directory, so nothing
    in it differs between the two sides."""
    directory = case_dir / side
    shutil.rmtree(directory, ignore_errors=True)
    directory.mkdir(parents=True)
    kwargs = {"key": str(key_info)}
    if case.resolution is not None:
        kwargs["resolution"] = case.resolution
    call = json.dumps([[str(source), "master.m3u8"], kwargs])
    log = case_dir / f"{side}.log"
    started = time.monotonic()
    with log.open("wb") as log_file:
        proc = subprocess.run([python, "-c", RUNNER, call], cwd=directory, stdout=log_file,
                              stderr=subprocess.STDOUT, env=child_environment())
    seconds = time.monotonic() - started
    return Run(side, directory, log, proc.returncode, seconds, digest_directory(directory))


def named(names: list[str], limit: int = 6) -> str:
    shown = ", ".join(names[:limit])
    return shown + (f" and {len(names) - limit} more" if len(names) > limit else "")


def verdict(base: Run, tree: Run) -> tuple[str, str]:
    problems = [p for p in (base.problem(), tree.problem()) if p]
    if problems:
        return "FAILED", "; ".join(problems)
    only_base = sorted(base.digests.keys() - tree.digests.keys())
    only_tree = sorted(tree.digests.keys() - base.digests.keys())
    common = sorted(base.digests.keys() & tree.digests.keys())
    differing = [name for name in common if base.digests[name] != tree.digests[name]]
    if not (only_base or only_tree or differing):
        return "identical", f"all {len(common)} files"
    parts = []
    if differing:
        parts.append(f"{len(differing)} of {len(common)} files differ: {named(differing)}")
    if only_base:
        parts.append(f"only from base: {named(only_base)}")
    if only_tree:
        parts.append(f"only from tree: {named(only_tree)}")
    return "DIFFERENT", "; ".join(parts)


def parse_cases(text: str) -> list[Case]:
    names = [name.strip() for name in text.split(",") if name.strip()]
    unknown = [name for name in names if name not in CASES_BY_NAME]
    if unknown or not names:
        raise argparse.ArgumentTypeError(
            f"unknown case(s) {', '.join(unknown) or '(none given)'}; choose from {', '.join(CASES_BY_NAME)}")
    return [CASES_BY_NAME[name] for name in dict.fromkeys(names)]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--base-python", required=True, help="python of the environment with the base build")
    parser.add_argument("--base-name", default="base", help="how to name the base build in the report")
    parser.add_argument("--tree-python", default=sys.executable,
                        help="python of the environment with the working tree's build (default: this one)")
    parser.add_argument("--cases", type=parse_cases, default=CASES,
                        help=f"comma-separated cases to run (default: all of {', '.join(CASES_BY_NAME)})")
    parser.add_argument("--keep", action="store_true", help="keep both packages of every case")
    parser.add_argument("--work", type=Path, default=BENCH_DIR / "work" / "compare")
    args = parser.parse_args()

    work = args.work.resolve()
    work.mkdir(parents=True, exist_ok=True)
    key_info = write_key_info(work)
    print(f"Comparing base {args.base_name} ({args.base_python}) with the working tree ({args.tree_python})",
          flush=True)
    started = time.monotonic()
    not_identical = []
    for case in args.cases:
        source = work / case.input_name
        case.make(source)
        case_dir = work / "runs" / case.name
        # One after the other, never at once: x264 output depends on the threads
        # it gets, so both sides must have the machine to the same extent.
        base = encode(args.base_python, "base", case, source, key_info, case_dir)
        tree = encode(args.tree_python, "tree", case, source, key_info, case_dir)
        status, detail = verdict(base, tree)
        if status != "identical":
            not_identical.append(case.name)
        print(f"{status:9s}  {case.name:12s}  {detail}  (base {base.seconds:.1f} s, tree {tree.seconds:.1f} s)",
              flush=True)
        if not args.keep:
            shutil.rmtree(base.directory)
            shutil.rmtree(tree.directory)
    elapsed = time.monotonic() - started
    total = len(args.cases)
    outcome = f", not identical: {', '.join(not_identical)}" if not_identical else ""
    print(f"SUMMARY: {total - len(not_identical)} of {total} cases identical between {args.base_name} and the "
          f"working tree{outcome} ({elapsed:.0f} s; logs{' and packages' if args.keep else ''} in "
          f"{work / 'runs'})")
    return 1 if not_identical else 0


if __name__ == "__main__":
    sys.exit(main())
