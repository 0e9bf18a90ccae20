#!/usr/bin/env python3
"""Reports the resident memory and open descriptors of one process that calls
hls_encoder many times in a row, on the mixture of good and bad inputs that
tests/test_long_lived_process.py uses. Run it with an interpreter that has
vantrel installed, for example:

    .venv/py3.11/bin/python scripts/memory_curve.py --calls 200

Prints one line per call and a summary: the growth per call after the first
calls, when the libraries have made their one-time allocations."""

from __future__ import annotations

import argparse
import shutil
import sys
import tempfile
from pathlib import Path

TESTS = Path(__file__).resolve().parent.parent / "tests"
sys.path.insert(0, str(TESTS))

from conftest import MediaFactory, run_jobs  # noqa: E402
from test_long_lived_process import WARM_UP, mixed_calls  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=100, help="calls in the one process (default 100)")
    options = parser.parse_args()
    if options.calls <= WARM_UP:
        parser.error(f"--calls must be above {WARM_UP}")
    if shutil.which("ffmpeg") is None:
        parser.error("the ffmpeg tool is needed to generate the inputs")

    with tempfile.TemporaryDirectory(prefix="vantrel-memory-") as scratch:
        root = Path(scratch)
        (root / "media").mkdir()
        calls = mixed_calls(root, MediaFactory(root / "media"), options.calls)
        batch = run_jobs(root, [(args, kwargs) for _, args, kwargs in calls], timeout=60 * options.calls)
    if len(batch.calls) != len(calls):
        print(batch.stderr.decode(errors="replace")[-3000:], file=sys.stderr)
        print(f"the process ended after {len(batch.calls)} of {len(calls)} calls", file=sys.stderr)
        return 1

    print(f"{'call':>5}  {'kind':<26} {'seconds':>8} {'RSS MiB':>9} {'fds':>4}")
    for number, ((kind, _, _), job) in enumerate(zip(calls, batch.calls)):
        print(f"{number:>5}  {kind:<26} {job.seconds:>8.2f} {job.resident_bytes / 2**20:>9.1f} {job.open_fds:>4}")
    # glibc gives worker threads malloc arenas of their own, up to eight per
    # core, and keeps them: the first half shows them being made, the second
    # half what a call costs for good.
    half = len(batch.calls) // 2
    first, middle, last = batch.calls[WARM_UP], batch.calls[half], batch.calls[-1]
    per_call = (last.resident_bytes - middle.resident_bytes) / (len(batch.calls) - 1 - half)
    print()
    for number, job in ((WARM_UP, first), (half, middle), (len(batch.calls) - 1, last)):
        print(f"after call {number}: {job.resident_bytes / 2**20:.1f} MiB resident, {job.open_fds} fds")
    print(f"peak: {max(job.resident_bytes for job in batch.calls) / 2**20:.1f} MiB resident")
    print(f"second half: {per_call / 1024:+.1f} KiB resident per call")
    return 0


if __name__ == "__main__":
    sys.exit(main())
