"""vantrel-submit: one encode job handed to the job queue's workers.

    vantrel-submit INPUT OUTPUT_DIR [--renditions 1080p,720p] [--bitrates 5M,2500k] [--upscale]
                   [--subtitles FILE[:LANG] ...] [--key-info FILE | --key-uri URI --key-file PATH]
                   [--chunk-seconds N] [--no-wait]

It waits for the job and prints its result as JSON. Exit status: 0 when the
package is in place, 1 when the job failed or was stopped, 2 for usage errors
or no broker, 130 after Ctrl-C (the job goes on)."""

from __future__ import annotations

import argparse
import json
import math
import os
import sys

from vantrel.cli import EXIT_FAILED, EXIT_INTERRUPTED, EXIT_OK, EXIT_USAGE, add_job_arguments, parse_job_arguments


def parse_arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="vantrel-submit",
        description="Submit a job to the vantrel workers (Celery, broker VANTREL_BROKER_URL): transcode INPUT "
        "into an AES-128 encrypted HLS package in OUTPUT_DIR, put in place only when complete. Paths must "
        "name the same files on every worker (shared storage); relative ones are made absolute here.",
        epilog="Without key options the worker makes a key for every package beside OUTPUT_DIR, not in it: "
        "OUTPUT_DIR.key, which the playlists name by its file name. Prints the job's result as JSON. Exit status: 0 package "
        "in place, 1 job failed or stopped, 2 usage error or no broker, 130 interrupted (the job goes on).",
    )
    add_job_arguments(
        parser,
        key_info_help="an HLS key info file the workers can read",
        key_file_help="the 16-byte key, as the workers see it: reused when PATH exists, made (with its key info "
        "file beside it) when it does not (default: a key made for every package, OUTPUT_DIR.key)",
    )
    parser.add_argument(
        "--chunk-seconds",
        type=chunk_seconds,
        default=None,
        metavar="N",
        help="encode chunks of about N seconds (whole segments) on many workers at once and stitch them; "
        "0 never splits; default: titles longer than about three chunks of 30 s are split",
    )
    parser.add_argument("--no-wait", action="store_true", help="print the job's id instead of waiting for it")
    return parse_job_arguments(parser, argv)


def chunk_seconds(text: str) -> float:
    try:
        seconds = float(text)
    except ValueError:
        seconds = math.nan
    if not (math.isfinite(seconds) and seconds >= 0):
        raise argparse.ArgumentTypeError(f"not a number of seconds, 0 or more: {text!r}")
    return seconds


def job_arguments(options: argparse.Namespace) -> dict[str, object]:
    output_dir = os.path.abspath(options.output_dir)
    job: dict[str, object] = {
        "input": os.path.abspath(options.input),
        "output_dir": output_dir,
        "renditions": options.renditions,
        "bitrates": options.bitrates,
        "upscale": options.upscale,
        "chunk_seconds": options.chunk_seconds,
    }
    if options.subtitles:
        job["subtitles"] = [
            (os.path.abspath(item[0]), item[1]) if isinstance(item, tuple) else os.path.abspath(item)
            for item in options.subtitles
        ]
    if options.key_info:
        job["key_info"] = os.path.abspath(options.key_info)
    if options.key_file:
        job["key_path"] = os.path.abspath(options.key_file)
    if options.key_uri:
        job["key_uri"] = options.key_uri
    return job


def main(argv: list[str] | None = None) -> int:
    options = parse_arguments(argv)
    try:
        from vantrel.queue import BROKER_URL, submit
    except ImportError as error:
        print(f"vantrel-submit: error: {error.msg}; install it with pip install 'vantrel[celery]'", file=sys.stderr)
        return EXIT_USAGE
    try:
        job = submit(**job_arguments(options))
    except Exception as error:  # the client's connection errors, of kombu, redis-py or Celery's retries
        print(f"vantrel-submit: error: cannot submit to {BROKER_URL}: {str(error).strip()}", file=sys.stderr)
        return EXIT_USAGE
    if options.no_wait:
        print(job.id)
        return EXIT_OK
    print(f"vantrel-submit: job {job.id} submitted; waiting for its result", file=sys.stderr)
    try:
        result = job.get(propagate=False)
    except KeyboardInterrupt:
        print(f"vantrel-submit: interrupted; job {job.id} goes on", file=sys.stderr)
        return EXIT_INTERRUPTED
    if job.failed():
        print(f"vantrel-submit: error: job {job.id} failed: {result!r}", file=sys.stderr)
        return EXIT_FAILED
    print(json.dumps(result, indent=2))
    return EXIT_OK if result["ok"] else EXIT_FAILED
