"""The vantrel command: one input video to OUTPUT_DIR/master.m3u8, with its key.

    vantrel INPUT OUTPUT_DIR [--renditions 1080p,720p] [--bitrates 5M,2500k] [--upscale]
            [--key-info FILE | --key-uri URI --key-file PATH] [--force] [--json] [--quiet]
    vantrel serve ROOT ... | vantrel token PACKAGE_DIR ...   (vantrel.delivery_cli)

The package, and the key made for it, appear whole or not at all (the job
queue's mechanism, vantrel._package). Exit status: 0 when every rendition was
created and the package placed, 1 when some failed (nothing placed), 2 for
usage errors, a missing input, an unreadable key or an OUTPUT_DIR holding
something else, 128 + the signal's number when stopped by SIGINT (130),
SIGTERM (143) or SIGHUP (129), leaving nothing of the job."""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import json
import logging
import os
import signal
import sys
import tempfile
from collections.abc import Iterator
from types import FrameType
from typing import Any, TextIO

from vantrel import _engine
from vantrel._encode import LOGGER, EncodeResult, Progress
from vantrel._keys import KEY_BYTES, key_info_text, new_iv
from vantrel._package import encode_into, holds_only_a_package, relocated
from vantrel._placement import Placement, final_path, fresh_key, is_empty_directory, placement

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 128 + signal.SIGINT
# Each stops the job as Ctrl-C does; the command then exits with 128 + its number.
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
# FFmpeg's AV_LOG_WARNING: the libraries' own lines below it (some 60 per job
# from the encoders) stay out of the terminal.
AV_LOG_WARNING = 24
MASTER_PLAYLIST = "master.m3u8"

LADDER = {name: bitrate for name, _, _, bitrate in _engine.ladder()}
BITRATE_UNITS = {"": 1, "k": 1000, "m": 1000_000}


class UsageError(Exception):
    """Ends the command with status 2 and this message."""


def parse_arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="vantrel",
        description="Transcode INPUT into an AES-128 encrypted HLS package with an adaptive-bitrate "
        f"ladder: OUTPUT_DIR/{MASTER_PLAYLIST}, its variant playlists and segments.",
        epilog="The package appears whole or not at all: an earlier package in OUTPUT_DIR is replaced only "
        "once the new one is complete, and a failed or stopped job leaves nothing. Without key options a "
        "fresh key and IV are made for the package and kept beside OUTPUT_DIR, not in it: OUTPUT_DIR.key and "
        "OUTPUT_DIR.keyinfo, the playlists naming the key by its file name. Exit status: 0 package made, "
        "1 some rendition failed (nothing placed), 2 usage error, missing input, unreadable key or OUTPUT_DIR "
        "holding something else, 130/143/129 stopped by SIGINT/SIGTERM/SIGHUP (nothing left).",
    )
    add_job_arguments(
        parser,
        key_info_help="an HLS key info file to use as it is",
        key_file_help="the 16-byte key to use; made fresh when PATH does not exist (default: OUTPUT_DIR.key)",
    )
    parser.add_argument(
        "--force", action="store_true", help="replace OUTPUT_DIR even when it holds something other than a package"
    )
    parser.add_argument("--json", action="store_true", help="print the result as JSON instead of a summary")
    parser.add_argument("--quiet", action="store_true", help="no progress bar, no summary; errors only")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_engine.__version__}")
    return parse_job_arguments(parser, argv)


def add_job_arguments(parser: argparse.ArgumentParser, *, key_info_help: str, key_file_help: str) -> None:
    """INPUT, OUTPUT_DIR, the ladder and the key, as the vantrel and vantrel-submit commands take them."""
    parser.add_argument("input", metavar="INPUT", help="the video file to transcode")
    parser.add_argument("output_dir", metavar="OUTPUT_DIR", help="where the package goes (made if missing)")
    parser.add_argument(
        "--renditions",
        type=rendition_list,
        default=list(LADDER),
        metavar="NAMES",
        help=f"comma-separated, in the order the master playlist lists them (default: {','.join(LADDER)})",
    )
    parser.add_argument(
        "--bitrates",
        type=bitrate_list,
        default=None,
        metavar="RATES",
        help="video bitrates paired with the renditions by position, in bits per second with an optional "
        "k or M (default: " + ",".join(f"{name} {rate}" for name, rate in LADDER.items()) + ")",
    )
    parser.add_argument(
        "--upscale",
        action="store_true",
        help="make every requested rendition, even one whose frame is larger than the source's picture "
        "(default: such renditions are skipped, and the smallest requested one is made at most at the "
        "source's size)",
    )
    keys = parser.add_argument_group("key (without these, a fresh key is made beside OUTPUT_DIR)")
    keys.add_argument("--key-info", metavar="FILE", help=key_info_help)
    keys.add_argument(
        "--key-uri", metavar="URI", help="the key's URI in the playlists (default: the key file's name)"
    )
    keys.add_argument("--key-file", metavar="PATH", help=key_file_help)


def parse_job_arguments(parser: argparse.ArgumentParser, argv: list[str] | None) -> argparse.Namespace:
    options = parser.parse_args(argv)
    if options.key_info and (options.key_uri or options.key_file):
        parser.error("--key-info cannot be combined with --key-uri or --key-file")
    if options.bitrates and len(options.bitrates) > len(options.renditions):
        parser.error(f"{len(options.bitrates)} bitrates for {len(options.renditions)} renditions")
    return options


def rendition_list(text: str) -> list[str]:
    names = [name.strip() for name in text.split(",")]
    for name in names:
        if name not in LADDER:
            raise argparse.ArgumentTypeError(f"unknown rendition {name!r} (known: {', '.join(LADDER)})")
    if len(set(names)) != len(names):
        raise argparse.ArgumentTypeError(f"a rendition is named twice in {text!r}")
    return names


def bitrate_list(text: str) -> list[int]:
    rates = []
    for item in text.split(","):
        item = item.strip()
        number, unit = (item[:-1], item[-1].lower()) if item[-1:].isalpha() else (item, "")
        try:
            rate = round(float(number) * BITRATE_UNITS[unit])
        except (KeyError, ValueError):
            raise argparse.ArgumentTypeError(f"not a bitrate: {item!r} (for example 2500000, 2500k or 2.5M)")
        if not 0 < rate < 2**31:
            raise argparse.ArgumentTypeError(f"bitrate out of range: {item!r}")
        rates.append(rate)
    return rates


@dataclasses.dataclass(frozen=True)
class Key:
    """The job's key as players and the summary see it, and whether the
    command makes it (then it exists only once the package is placed)."""

    uri: str
    path: str
    made: bool
    key_info: str | None = None  # the key info file kept beside a fresh key, if any


def read_key_info(path: str) -> tuple[str, str]:
    """(key URI, key path) of a key info file whose key is readable."""
    try:
        with open(path, encoding="utf-8", errors="surrogateescape") as file:
            lines = file.read().splitlines()
    except OSError as error:
        raise UsageError(f"cannot read the key info file {path}: {error.strerror}") from None
    if len(lines) < 2 or not lines[0].strip() or not lines[1].strip():
        raise UsageError(f"the key info file {path} must name a key URI and a key file on its first two lines")
    uri, key_path = lines[0].strip(), lines[1].strip()
    check_key(key_path)
    return uri, key_path


def check_key(path: str) -> None:
    try:
        with open(path, "rb") as file:
            size = len(file.read(KEY_BYTES))
    except OSError as error:
        raise UsageError(f"cannot read the key file {path}: {error.strerror}") from None
    if size < KEY_BYTES:
        raise UsageError(f"the key file {path} holds fewer than {KEY_BYTES} bytes")


def plan_key(options: argparse.Namespace, final: str) -> Key:
    """Checks the key options before anything is written."""
    if options.key_info:
        uri, path = read_key_info(options.key_info)
        key = Key(uri, os.path.abspath(path), made=False)
    elif options.key_file is None:
        path = final + ".key"
        key = Key(options.key_uri or os.path.basename(path), path, made=True, key_info=final + ".keyinfo")
    else:
        path = os.path.abspath(options.key_file)
        key = Key(options.key_uri or os.path.basename(path), path, made=not os.path.lexists(path))
        if key.made and not os.path.isdir(os.path.dirname(path)):
            raise UsageError(f"the folder of the key file does not exist: {os.path.dirname(path)}")
        if not key.made:
            check_key(path)
    # OUTPUT_DIR is replaced as a whole, and served as a whole.
    if os.path.commonpath([key.path, final]) == final:
        raise UsageError(f"the key must be kept outside OUTPUT_DIR {final}: {key.path}")
    try:
        key_info_text(key.uri, key.path, new_iv())
    except ValueError as error:
        raise UsageError(f"no key info file can name this key: {error}") from None
    return key


@contextlib.contextmanager
def job_key_info(options: argparse.Namespace, key: Key, job: Placement) -> Iterator[str]:
    """The key info file the job encodes with."""
    if options.key_info:
        yield options.key_info
    elif key.made:
        with fresh_key(job, key.uri, key.path, key.key_info) as info_path:
            yield info_path
    else:
        # The given key with a fresh IV, which the playlists state anyway:
        # the file lives as long as the job.
        with tempfile.NamedTemporaryFile("w", prefix="vantrel-", suffix=".keyinfo", encoding="utf-8",
                                         errors="surrogateescape") as file:
            file.write(key_info_text(key.uri, key.path, new_iv()))
            file.flush()
            yield file.name


class ProgressBars:
    """One bar per rendition being made and one for the whole job with the
    time left, which tqdm estimates from the pace so far. The bars appear
    once the job has planned its renditions: a skipped one gets none."""

    STEPS = 1000

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        self.bars: dict[str, Any] = {}
        self.total: Any = None

    def _create(self, names: list[str]) -> None:
        from tqdm import tqdm  # type: ignore[import-untyped]

        stream = self.stream
        # Bars are redrawn at every call: no monitor thread is needed, and
        # none is left running when the command ends.
        tqdm.monitor_interval = 0
        width = max(len(name) for name in [*names, "total"])

        def bar(position: int, desc: str, bar_format: str) -> tqdm:
            # Drawn at every call (twice a second), the last one included.
            return tqdm(
                total=self.STEPS, position=position, desc=desc.rjust(width), bar_format=bar_format,
                file=stream, leave=False, mininterval=0, miniters=1,
            )

        self.bars = {
            name: bar(k, name, "{desc} {percentage:3.0f}%|{bar}|") for k, name in enumerate(names)
        }
        self.total = bar(len(names), "total", "{desc} {percentage:3.0f}%|{bar}| {remaining} left")

    def __call__(self, progress: Progress) -> None:
        if self.total is None:
            if not progress.renditions:
                return
            self._create(list(progress.renditions))
        for name, fraction in progress.renditions.items():
            self._advance(self.bars[name], fraction)
        if progress.overall is not None:
            self._advance(self.total, progress.overall)

    def _advance(self, bar: Any, fraction: float) -> None:
        bar.update(round(fraction * self.STEPS) - bar.n)

    def close(self) -> None:
        for bar in [*self.bars.values(), self.total]:
            if bar is not None:
                bar.close()


@contextlib.contextmanager
def engine_log(quiet: bool) -> Iterator[None]:
    """The engine's warnings and errors on standard error while the command runs."""
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("vantrel: %(levelname)s: %(message)s"))
    level = logging.ERROR if quiet else logging.WARNING
    saved = LOGGER.level, LOGGER.propagate
    LOGGER.addHandler(handler)
    LOGGER.setLevel(level)
    LOGGER.propagate = False
    try:
        yield
    finally:
        LOGGER.removeHandler(handler)
        LOGGER.setLevel(saved[0])
        LOGGER.propagate = saved[1]


def on_terminal() -> bool:
    return sys.stdout.isatty() and sys.stderr.isatty()


class Stopped(BaseException):
    """A stop signal other than SIGINT arrived; like KeyboardInterrupt, it
    stops the job on its way out."""

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


@contextlib.contextmanager
def stop_signals() -> Iterator[None]:
    """SIGTERM and SIGHUP stop the job as Ctrl-C does. A signal the command
    was started with ignored (nohup's SIGHUP, SIGINT in a background job)
    stays ignored. Once one arrived, the others are ignored while the job's
    files are removed."""
    installed: dict[int, Any] = {}  # the signals handled here, with their handlers before

    def stop(signum: int, frame: FrameType | None) -> None:
        for other in installed:
            signal.signal(other, signal.SIG_IGN)
        raise KeyboardInterrupt if signum == signal.SIGINT else Stopped(signum)

    for signum in STOP_SIGNALS:
        if signal.getsignal(signum) is not signal.SIG_IGN:
            installed[signum] = signal.signal(signum, stop)
    try:
        yield
    finally:
        for handled, handler in installed.items():
            signal.signal(handled, handler)


def not_media(result: EncodeResult, input: str) -> bool:
    """The engine could not open an input that exists: FFmpeg read it as no media."""
    return not result.renditions and result.error is not None and result.error.startswith(f"Could not open {input}")


def run(options: argparse.Namespace) -> int:
    if not os.path.isfile(options.input):
        raise UsageError(f"no such input file: {options.input}")
    try:
        final = final_path(options.output_dir)
    except ValueError as error:
        raise UsageError(str(error)) from None
    key = plan_key(options, final)
    _engine.set_library_log_level(AV_LOG_WARNING)

    bars = ProgressBars(sys.stderr) if not options.quiet and on_terminal() else None
    job: Placement | None = None
    try:
        with stop_signals(), engine_log(options.quiet), redirect_log_around(bars), placement(final) as job:
            held = os.path.lexists(final) and not is_empty_directory(final)
            if held and not (holds_only_a_package(final) or options.force):
                raise UsageError(
                    f"{options.output_dir} holds files other than a vantrel package; it was left as it is "
                    "(--force replaces it)"
                )
            with job_key_info(options, key, job) as key_info:
                result = encode_into(
                    job,
                    options.input,
                    renditions=options.renditions,
                    bitrates=options.bitrates,
                    key_info=key_info,
                    progress=bars,
                    upscale=options.upscale,
                )
            placed = job.placed
    except (KeyboardInterrupt, Stopped) as stop:
        how = f"stopped by {stop}" if isinstance(stop, Stopped) else "interrupted"
        # A stop that came once the package was placed (while the one it
        # replaced was being removed) finds the job done.
        if job is not None and job.placed:
            left = f"the new package was already in place in {options.output_dir}"
        else:
            left = f"nothing of this job was left, {options.output_dir} is as it was"
        print(f"vantrel: {how}; {left}", file=sys.stderr)
        return 128 + stop.signum if isinstance(stop, Stopped) else EXIT_INTERRUPTED
    except OSError as error:
        # Beside OUTPUT_DIR: its parent, the lock, the partial directory, the key.
        raise UsageError(f"cannot write {error.filename or options.output_dir}: {error.strerror}") from None
    finally:
        if bars:
            bars.close()
    report(options, key, relocated(result, options.output_dir, placed), placed)
    return EXIT_OK if placed else EXIT_FAILED


def report(options: argparse.Namespace, key: Key, result: EncodeResult, placed: bool) -> None:
    if not_media(result, options.input):
        print(f"vantrel: error: {options.input} is not a video FFmpeg can read (no media format recognised)",
              file=sys.stderr)
    if options.json:
        # A key made for a job that placed nothing is gone with it.
        keeps_key = placed or not key.made
        print(json.dumps({**result.to_dict(), "key": {"uri": key.uri, "path": key.path} if keeps_key else None},
                         indent=2))
    if not options.quiet:
        if not options.json:
            print_summary(result, options.output_dir)
        if placed and key.made:
            tell_key(key, sys.stderr if options.json else sys.stdout)


def redirect_log_around(bars: ProgressBars | None) -> contextlib.AbstractContextManager[None]:
    """Log lines written between the bars' redraws, not through them."""
    if bars is None:
        return contextlib.nullcontext()
    from tqdm.contrib.logging import logging_redirect_tqdm  # type: ignore[import-untyped]

    redirect: contextlib.AbstractContextManager[None] = logging_redirect_tqdm(loggers=[LOGGER])
    return redirect


def tell_key(key: Key, stream: TextIO) -> None:
    info = f"; its key info file {key.key_info}" if key.key_info else ""
    print(
        f"Key: {key.path} (made for this package, readable by you only{info}). The playlists "
        f"name it {key.uri!r}: serve it there to players you trust, and keep it out of anything public.",
        file=stream,
    )


def print_summary(result: EncodeResult, output_dir: str) -> None:
    created = sum(rendition.created for rendition in result.renditions)
    skipped = sum(bool(rendition.skipped) for rendition in result.renditions)
    planned = len(result.renditions) - skipped
    where = result.master_playlist or f"nothing written to {output_dir}"
    also = f" ({skipped} skipped)" if skipped else ""
    print(f"{where}: {created} of {planned} renditions created{also} in {result.elapsed:.1f} s")
    if result.error:
        print(f"  {result.error}")
    width = max([len(r.name) for r in result.renditions], default=0)
    for rendition in result.renditions:
        if rendition.created:
            detail = (
                f"{rendition.width}x{rendition.height} at {rendition.frame_rate:g} fps, {rendition.pictures} "
                f"pictures, {rendition.duration:.1f} s, peak {rendition.peak_bitrate / 1e6:.2f} Mbit/s, "
                f"average {rendition.average_bitrate / 1e6:.2f} Mbit/s"
            )
        elif rendition.skipped:
            detail = f"skipped: {rendition.skipped}"
        else:
            assert rendition.error is not None
            detail = f"failed: {rendition.error.step}: {rendition.error.message}"
        print(f"  {rendition.name.ljust(width)}  {detail}")


def main(argv: list[str] | None = None) -> int:
    arguments = sys.argv[1:] if argv is None else argv
    if arguments[:1] in (["serve"], ["token"]):
        from vantrel import delivery_cli

        return delivery_cli.main(arguments)
    options = parse_arguments(argv)
    try:
        return run(options)
    except UsageError as error:
        print(f"vantrel: error: {error}", file=sys.stderr)
        return EXIT_USAGE
