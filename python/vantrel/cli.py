"""The vantrel command: one input video to OUTPUT_DIR/master.m3u8, with its key.

    vantrel INPUT OUTPUT_DIR [--renditions 1080p,720p] [--bitrates 5M,2500k] [--upscale]
            [--subtitles FILE[:LANG] ...] [--key-info FILE | --key-uri URI --key-file PATH]
            [--force] [--json] [--quiet]
    vantrel serve ROOT ... | vantrel token PACKAGE_DIR ...   (vantrel.delivery_cli)

The package, and the key made for it, appear whole or not at all (the job
queue's mechanism, vantrel._package). Exit status: 0 when every rendition was
created and the package placed, 1 when some failed or OUTPUT_DIR gained files
while the job ran (nothing placed), 2 for usage errors, a missing input, an
unreadable key or an OUTPUT_DIR holding something else, 128 + the signal's
number when stopped by SIGINT (130), SIGTERM (143) or SIGHUP (129), leaving
nothing of the job."""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import json
import logging
import math
import os
import signal
import sys
from collections.abc import Iterator
from types import FrameType
from typing import Any, TextIO

from vantrel import _engine
from vantrel._encode import LANGUAGE_TAG, LOGGER, EncodeResult, Progress, TrackResult, subtitles_argument
from vantrel._jobkey import KeyPlan, job_key, plan_key
from vantrel._package import encode_into, holds_only_a_package, in_the_way, relocated
from vantrel._placement import Placement, check_output_dir, final_path, is_empty_directory, placement

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
        f"ladder: OUTPUT_DIR/{MASTER_PLAYLIST}, its variant playlists and segments. Also: 'vantrel serve ROOT' "
        "serves packages to players, the key only against a token, and 'vantrel token PACKAGE_DIR' makes "
        "one (each with --help).",
        epilog="The package appears whole or not at all: an earlier package in OUTPUT_DIR is replaced only "
        "once the new one is complete, and a failed or stopped job leaves nothing. Without key options a "
        "fresh key and IV are made for the package and kept beside OUTPUT_DIR, not in it: OUTPUT_DIR.key and "
        "OUTPUT_DIR.keyinfo, the playlists naming the key by its file name. Exit status: 0 package made, "
        "1 some rendition failed or OUTPUT_DIR gained files meanwhile (nothing placed), 2 usage error, missing input, unreadable key or OUTPUT_DIR "
        "holding something else, 130/143/129 stopped by SIGINT/SIGTERM/SIGHUP (nothing left).",
    )
    add_job_arguments(
        parser,
        key_info_help="an HLS key info file to use as it is",
        key_file_help="the 16-byte key: reused when PATH exists, made (with its key info file beside it) when "
        "it does not (default: a key made for every package, OUTPUT_DIR.key)",
    )
    parser.add_argument(
        "--force",
        action="store_true",
        help="replace OUTPUT_DIR even when it holds something other than a package (never when it holds the "
        "input or the current directory)",
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
    parser.add_argument(
        "--subtitles",
        type=subtitle_file,
        action="append",
        default=[],
        metavar="FILE[:LANG]",
        help="a subtitle file (SRT, WebVTT, ASS, ...) to add as a WebVTT subtitle rendition, in language LANG "
        "(default: the one its name ends with, as in film.de.srt); may be given again. The input's own text "
        "subtitles are always added",
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


def subtitle_file(text: str) -> str | tuple[str, str]:
    """FILE, or FILE:LANG when what follows the last colon is a language tag."""
    path, colon, language = text.rpartition(":")
    if colon and path and LANGUAGE_TAG.fullmatch(language):
        return (path, language)
    return text


def bitrate_list(text: str) -> list[int]:
    rates = []
    for item in text.split(","):
        item = item.strip()
        number, unit = (item[:-1], item[-1].lower()) if item[-1:].isalpha() else (item, "")
        try:
            value = float(number) * BITRATE_UNITS[unit]
        except (KeyError, ValueError):
            value = math.nan
        if not math.isfinite(value):
            raise argparse.ArgumentTypeError(f"not a bitrate: {item!r} (for example 2500000, 2500k or 2.5M)")
        rate = round(value)
        if not 0 < rate < 2**31:
            raise argparse.ArgumentTypeError(f"bitrate out of range: {item!r}")
        rates.append(rate)
    return rates


def tell_key(key: KeyPlan, stream: TextIO) -> None:
    print(
        f"Key: {key.path} (made for this package, readable by you only; its key info file {key.info_path}). "
        f"The playlists name it {key.uri!r}: serve it there to players you trust, and keep it out of anything "
        "public.",
        file=stream,
    )


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
        check_output_dir(final)
        key = plan_key(final, options.key_info, options.key_uri, options.key_file)
        sidecars = subtitles_argument(options.subtitles)
    except (TypeError, ValueError) as error:
        raise UsageError(str(error)) from None
    except OSError as error:
        raise UsageError(f"cannot read the subtitle file {error.filename}: {error.strerror}") from None
    check_nothing_needed_inside(final, options)
    _engine.set_library_log_level(AV_LOG_WARNING)

    bars = ProgressBars(sys.stderr) if not options.quiet and on_terminal() else None
    job: Placement | None = None
    made_key = False
    try:
        with stop_signals(), engine_log(options.quiet), redirect_log_around(bars), placement(final) as job:
            held = os.path.lexists(final) and not is_empty_directory(final)
            if held and not (holds_only_a_package(final) or options.force):
                raise UsageError(
                    f"{options.output_dir} holds files other than a vantrel package ({in_the_way(final)}); "
                    "it was left as it is (--force replaces it)"
                )
            with job_key(job, key) as used_key:
                made_key = used_key.made
                result = encode_into(
                    job,
                    options.input,
                    sidecars,
                    renditions=options.renditions,
                    bitrates=options.bitrates,
                    key_info=used_key.key_info,
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
    except ValueError as error:
        # The key, changed on disk since it was checked.
        raise UsageError(str(error)) from None
    except OSError as error:
        # Beside OUTPUT_DIR: its parent, the lock, the partial directory, the key.
        raise UsageError(f"cannot write {error.filename or options.output_dir}: {error.strerror}") from None
    finally:
        if bars:
            bars.close()
    report(options, key, made_key, relocated(result, options.output_dir, placed), placed)
    return EXIT_OK if placed else EXIT_FAILED


def check_nothing_needed_inside(final: str, options: argparse.Namespace) -> None:
    """OUTPUT_DIR is replaced as a whole: what it holds is gone once the new
    package is in, so neither the input nor the current directory may be
    inside it."""
    if not os.path.lexists(final):
        return
    real = os.path.realpath(final)
    for what, path in (("the input", options.input), ("the current directory", os.getcwd())):
        if os.path.commonpath([os.path.realpath(path), real]) == real:
            raise UsageError(
                f"{what} ({path}) is inside {options.output_dir}, which the package replaces as a whole; "
                "move it out, or choose another OUTPUT_DIR"
            )


def report(options: argparse.Namespace, key: KeyPlan, made_key: bool, result: EncodeResult, placed: bool) -> None:
    error = result.error
    if not_media(result, options.input):
        error = f"{options.input} is not a video FFmpeg can read (no media format recognised)"
        print(f"vantrel: error: {error}", file=sys.stderr)
    if options.json:
        # A key made for a job that placed nothing is gone with it.
        keeps_key = placed or not made_key
        print(json.dumps({**result.to_dict(), "key": {"uri": key.uri, "path": key.path} if keeps_key else None},
                         indent=2))
    if not options.quiet:
        if not options.json:
            print_summary(dataclasses.replace(result, error=error), options.output_dir)
        if placed and made_key:
            tell_key(key, sys.stderr if options.json else sys.stdout)


def redirect_log_around(bars: ProgressBars | None) -> contextlib.AbstractContextManager[None]:
    """Log lines written between the bars' redraws, not through them."""
    if bars is None:
        return contextlib.nullcontext()
    from tqdm.contrib.logging import logging_redirect_tqdm  # type: ignore[import-untyped]

    redirect: contextlib.AbstractContextManager[None] = logging_redirect_tqdm(loggers=[LOGGER])
    return redirect


def print_summary(result: EncodeResult, output_dir: str) -> None:
    created = sum(rendition.created for rendition in result.renditions)
    skipped = sum(bool(rendition.skipped) for rendition in result.renditions)
    where = result.master_playlist or f"nothing written to {output_dir}"
    also = f" ({skipped} skipped)" if skipped else ""
    print(f"{where}: {created} of {len(result.renditions)} renditions created{also} in {result.elapsed:.1f} s")
    if result.error:
        print(f"  {result.error}")
    if result.source_colour:
        conversion = result.colour_conversion if result.colour_conversion != "none" else "kept as they are"
        print(f"  colours: {result.source_colour}, {conversion}")
    for kind, tracks in (("audio", result.audio), ("subtitles", result.subtitles)):
        if tracks and (kind == "subtitles" or len(tracks) > 1):
            print(f"  {kind}: " + "; ".join(track_summary(track) for track in tracks))
    for stream in result.left_out:
        print(f"  left out: stream {stream.stream} ({stream.kind}): {stream.reason}")
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


def track_summary(track: TrackResult) -> str:
    marks = [track.language or "language unknown"]
    marks += [mark for mark, on in (("default", track.default), ("forced", track.forced),
                                    ("describes the video", track.describes_video)) if on]
    text = f"{track.name} ({', '.join(marks)})"
    if track.error is not None:
        text += f" failed: {track.error.step}: {track.error.message}"
    return text


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
