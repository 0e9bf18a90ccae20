#!/usr/bin/env bash
# Plays the demo package (or the package directory given) in a browser through
# `vantrel serve`: the player page on 127.0.0.1, the package served from its
# parent directory, and its key only to the token this run makes. Prints the
# address to open. Run ./scripts/demo.sh first. Options after the directory
# go to the page's server (--port PORT; 8000 by default, 0 for any free port).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

PACKAGE=${1:-$VANTREL_ROOT/demo}
[ $# -gt 0 ] && shift
if [ ! -f "$PACKAGE/master.m3u8" ]; then
    echo "error: no master.m3u8 in $PACKAGE; make one with ./scripts/demo.sh or vantrel INPUT DIR" >&2
    exit 1
fi
install_player_packages
# The demo's environment, with the serve extra added the first time.
PYTHON310=$(find_python310)
VENV="$VENV_ROOT/py$("$PYTHON310" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')"
if ! "$VENV/bin/python" -c 'import vantrel.delivery, uvicorn' 2>/dev/null; then
    install_into_venv "$PYTHON310" serve >/dev/null
fi
exec node "$PLAYER_DIR/watch.js" "$PACKAGE" --vantrel "$VENV/bin/vantrel" "$@"
