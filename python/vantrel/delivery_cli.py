"""The vantrel command's serve and token subcommands (vantrel.delivery).

    vantrel serve ROOT [--keys DIR] [--secret-file FILE] [--host 127.0.0.1] [--port 8000]
                  [--public-segments] [--allow-origin ORIGIN]...
    vantrel token PACKAGE_DIR [--secret-file FILE] [--ttl SECONDS] [--viewer ID]

Both take the secret from the file given or from VANTREL_SECRET, never from
their arguments, which any user of the machine can read in the process list.
Exit status: 0, or 2 for a usage error (nothing served, no token made)."""

from __future__ import annotations

import argparse
import logging
import os
import socket
import sys
from urllib.parse import quote

from vantrel._tokens import SECRET_ENV, VIEWER_MAX_CHARS, load_secret, sign

EXIT_OK = 0
EXIT_USAGE = 2
MASTER_PLAYLIST = "master.m3u8"
SECRET_HELP = f"a file holding the server's secret, readable by its owner only (default: ${SECRET_ENV})"
SECRET_HOWTO = f"make one with: (umask 077; head -c 32 /dev/urandom > vantrel.secret), or set {SECRET_ENV}"


def main(argv: list[str]) -> int:
    """`argv` starts with the subcommand's name."""
    command, arguments = argv[0], argv[1:]
    parser = serve_parser() if command == "serve" else token_parser()
    options = parser.parse_args(arguments)
    try:
        secret = load_secret(options.secret_file)
    except (OSError, ValueError) as error:
        text = f"{error.filename}: {error.strerror}" if isinstance(error, OSError) else str(error)
        parser.exit(EXIT_USAGE, f"{parser.prog}: error: {text}; {SECRET_HOWTO}\n")
    return serve(parser, options, secret) if command == "serve" else token(parser, options, secret)


def serve_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vantrel serve",
        description="Serve the packages under ROOT (each a directory right under it) to HLS players: playlists "
        "and segments to holders of a token for the package, the package's key at /keys/PACKAGE/NAME only with "
        "a valid one. Make tokens with vantrel token.",
    )
    parser.add_argument("root", metavar="ROOT", help="the directory holding the packages")
    parser.add_argument("--keys", metavar="DIR",
                        help="where the keys are kept as PACKAGE.key or PACKAGE.keyinfo (default: ROOT, beside "
                        "each package, where the vantrel command keeps them)")
    parser.add_argument("--secret-file", metavar="FILE", help=SECRET_HELP)
    parser.add_argument("--host", default="127.0.0.1", help="the address to listen on (default: %(default)s)")
    parser.add_argument("--port", type=int, default=8000, help="default: %(default)s; 0 takes any free port")
    parser.add_argument("--public-segments", action="store_true",
                        help="serve segments without a token (they are encrypted), so that caches can share them")
    parser.add_argument("--allow-origin", action="append", default=[], metavar="ORIGIN",
                        help="a web page origin (https://example.com) allowed to fetch from the server; repeat "
                        "for more (default: none, no CORS headers)")
    return parser


def token_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vantrel token",
        description="Print the path of PACKAGE_DIR's master playlist with a token for it "
        f"(/PACKAGE/{MASTER_PLAYLIST}?token=...), to open at the address of vantrel serve.",
    )
    parser.add_argument("package_dir", metavar="PACKAGE_DIR", help="the package, a directory right under ROOT")
    parser.add_argument("--secret-file", metavar="FILE", help=SECRET_HELP)
    parser.add_argument("--ttl", type=float, default=3600, metavar="SECONDS",
                        help="how long the token opens the key and the segments (default: %(default)g)")
    parser.add_argument("--viewer", metavar="ID",
                        help=f"a viewer id the server's key log names (printable, at most {VIEWER_MAX_CHARS} characters)")
    return parser


def token(parser: argparse.ArgumentParser, options: argparse.Namespace, secret: bytes) -> int:
    directory = os.path.abspath(options.package_dir)
    if not os.path.isfile(os.path.join(directory, MASTER_PLAYLIST)):
        parser.exit(EXIT_USAGE, f"{parser.prog}: error: no {MASTER_PLAYLIST} in {options.package_dir}\n")
    package = os.path.basename(directory)
    try:
        made = sign(package, secret=secret, ttl=options.ttl, viewer=options.viewer)
    except ValueError as error:
        parser.exit(EXIT_USAGE, f"{parser.prog}: error: {error}\n")
    print(f"/{quote(package)}/{MASTER_PLAYLIST}?token={made}")
    return EXIT_OK


def serve(parser: argparse.ArgumentParser, options: argparse.Namespace, secret: bytes) -> int:
    import uvicorn

    from vantrel.delivery import create_app

    for name, directory in (("ROOT", options.root), ("--keys", options.keys)):
        if directory is not None and not os.path.isdir(directory):
            parser.exit(EXIT_USAGE, f"{parser.prog}: error: {name} is not a directory: {directory}\n")
    try:
        listener = listen(options.host, options.port)
    except OSError as error:
        parser.exit(EXIT_USAGE, f"{parser.prog}: error: cannot listen on {options.host}:{options.port}: "
                    f"{error.strerror}\n")
    app = create_app(options.root, secret=secret, keys=options.keys, public_segments=options.public_segments,
                     allow_origins=options.allow_origin)
    host, port = listener.getsockname()[:2]
    shown = f"[{host}]" if ":" in host else host
    print(f"Serving the packages in {os.path.abspath(options.root)} at http://{shown}:{port}/ "
          "(Ctrl-C stops it)", flush=True)
    log_key_requests()
    # uvicorn's own access log would write every URL, tokens included.
    config = uvicorn.Config(app, access_log=False, lifespan="off", log_level="warning")
    uvicorn.Server(config).run(sockets=[listener])
    return EXIT_OK


def listen(host: str, port: int) -> socket.socket:
    family, kind, protocol, _, address = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM,
                                                            flags=socket.AI_PASSIVE)[0]
    # The protocol named, not 0: asyncio turns Nagle's algorithm off only on
    # sockets that say they are TCP, and with it on, a small response written
    # in two parts (headers, then a key or a playlist) waits for the client's
    # delayed acknowledgement, some 40 ms.
    listener = socket.socket(family, kind, protocol)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(address)
    listener.listen(2048)
    listener.set_inheritable(True)
    return listener


def log_key_requests() -> None:
    """The key log on standard error, one line per key request."""
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(asctime)s vantrel: %(levelname)s: %(message)s"))
    logger = logging.getLogger("vantrel.delivery")
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    logger.propagate = False
