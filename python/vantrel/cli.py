"""The vantrel command: one input video to OUTPUT_DIR/master.m3u8, with its key.

    vantrel INPUT OUTPUT_DIR [--renditions 1080p,720p] [--bitrates 5M,2500k] [--upscale]
            [--key-info FILE | --key-uri URI --key-file PATH] [--json] [--quiet]

Exit status: 0 when every rendition was created, 1 when some failed, 2 for
usage errors, a missing input or an unreadable key, 130 after Ctrl-C (the
partial files removed)."""

from __future__ import annotations

import argparse
import contextlib
import json
import logging
import os
import secrets
import sys
import tempfile
from collections.abc import Iterator
from pathlib import Path
from typing import Any, TextIO

from vantrel import _engine
from vantrel._encode import LOGGER, EncodeResult, Progress, encode
from vantrel._keys import KEY_BYTES, generate_key

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
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
        epilog="Without key options a fresh key and IV are made for the package and kept beside "
        "OUTPUT_DIR, not in it: OUTPUT_DIR.key and OUTPUT_DIR.keyinfo, the playlists naming the key "
        "by its file name. Exit status: 0 every rendition created, 1 some failed, 2 usage error, "
        "missing input or unreadable key, 130 interrupted.",
    )
    add_job_arguments(
        parser,
        key_info_help="an HLS key info file to use as it is",
        key_file_help="the 16-byte key to use; made fresh when PATH does not exist (default: OUTPUT_DIR.key)",
    )
    parser.add_argument("--json", action="store_true", help="print the result as JSON instead of a summary")
    parser.add_argument("--quiet", action="store_true", help="no progress bar, no summary; errors only")
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


class KeyFiles:
    """The key info file the job uses, and what the command made for it."""

    def __init__(self) -> None:
        self.key_info = ""
        self.key_path = ""
        self.key_uri = ""
        self.made: list[str] = []  # removed again when the job is interrupted
        self.temporary: list[str] = []  # removed when the command ends

    def remove(self, paths: list[str]) -> None:
        for path in paths:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(path)


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


def prepare_key(options: argparse.Namespace, output_dir: Path, keys: KeyFiles) -> None:
    if options.key_info:
        keys.key_info = options.key_info
        keys.key_uri, keys.key_path = read_key_info(options.key_info)
        return
    if options.key_file is None:
        beside = output_dir.resolve()
        if not beside.name:
            raise UsageError(f"{output_dir} has no parent to keep its key beside; give --key-file or --key-info")
        key_path = str(beside.with_name(beside.name + ".key"))
        make_key(options.key_uri or os.path.basename(key_path), key_path, key_path + "info", keys)
        return
    key_uri = options.key_uri or os.path.basename(options.key_file)
    # The key info file of a given key lives as long as the command: it only
    # adds a fresh IV, which the playlists state anyway.
    descriptor, key_info = tempfile.mkstemp(prefix="vantrel-", suffix=".keyinfo")
    os.close(descriptor)
    keys.temporary.append(key_info)
    if not os.path.lexists(options.key_file):
        make_key(key_uri, options.key_file, key_info, keys)
        keys.made.remove(key_info)
        return
    check_key(options.key_file)
    keys.key_info, keys.key_uri, keys.key_path = key_info, key_uri, os.path.abspath(options.key_file)
    with open(key_info, "w", encoding="utf-8", errors="surrogateescape") as file:
        file.write(f"{key_uri}\n{keys.key_path}\n{secrets.token_hex(KEY_BYTES)}\n")


def make_key(key_uri: str, key_path: str, key_info: str, keys: KeyFiles) -> None:
    try:
        info = generate_key(key_uri, key_path, key_info)
    except (OSError, ValueError) as error:
        raise UsageError(f"cannot make the key {key_path}: {error}") from None
    keys.made += [info.key_path, info.key_info_path]
    keys.key_info, keys.key_uri, keys.key_path = info.key_info_path, key_uri, info.key_path


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


def run(options: argparse.Namespace, keys: KeyFiles) -> int:
    if not os.path.isfile(options.input):
        raise UsageError(f"no such input file: {options.input}")
    output_dir = Path(options.output_dir)
    prepare_key(options, output_dir, keys)
    try:
        output_dir.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise UsageError(f"cannot make the output directory {output_dir}: {error.strerror}") from None
    _engine.set_library_log_level(AV_LOG_WARNING)

    bars = ProgressBars(sys.stderr) if not options.quiet and on_terminal() else None
    try:
        with engine_log(options.quiet), redirect_log_around(bars):
            result = encode(
                options.input,
                output_dir / MASTER_PLAYLIST,
                renditions=options.renditions,
                bitrates=options.bitrates,
                key_info=keys.key_info,
                progress=bars,
                upscale=options.upscale,
            )
    finally:
        if bars:
            bars.close()
    if options.json:
        print(json.dumps(result.to_dict(), indent=2))
    if not options.quiet:
        if not options.json:
            print_summary(result)
        tell_key(keys, sys.stderr if options.json else sys.stdout)
    return EXIT_OK if result.ok else EXIT_FAILED


def redirect_log_around(bars: ProgressBars | None) -> contextlib.AbstractContextManager[None]:
    """Log lines written between the bars' redraws, not through them."""
    if bars is None:
        return contextlib.nullcontext()
    from tqdm.contrib.logging import logging_redirect_tqdm  # type: ignore[import-untyped]

    redirect: contextlib.AbstractContextManager[None] = logging_redirect_tqdm(loggers=[LOGGER])
    return redirect


def tell_key(keys: KeyFiles, stream: TextIO) -> None:
    if not keys.made:
        return
    info = f"; its key info file {keys.key_info}" if keys.key_info in keys.made else ""
    print(
        f"Key: {keys.key_path} (made for this package, readable by you only{info}). The playlists "
        f"name it {keys.key_uri!r}: serve it there to players you trust, and keep it out of anything public.",
        file=stream,
    )


def print_summary(result: EncodeResult) -> None:
    created = sum(rendition.created for rendition in result.renditions)
    skipped = sum(bool(rendition.skipped) for rendition in result.renditions)
    planned = len(result.renditions) - skipped
    where = result.master_playlist or "no master playlist"
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
    options = parse_arguments(argv)
    keys = KeyFiles()
    try:
        return run(options, keys)
    except UsageError as error:
        keys.remove(keys.made)
        print(f"vantrel: error: {error}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        keys.remove(keys.made)
        print("vantrel: interrupted; the partial files were removed", file=sys.stderr)
        return EXIT_INTERRUPTED
    finally:
        keys.remove(keys.temporary)
