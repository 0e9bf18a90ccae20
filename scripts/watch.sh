#!/usr/bin/env bash
# Serves the demo package (or the package directory given) with the browser
# player page on 127.0.0.1 and prints the address to open. Run
# ./scripts/demo.sh first. Options after the directory go to the server
# (--port PORT; 8000 by default, 0 for any free port).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

PACKAGE=${1:-$VANTREL_ROOT/demo}
[ $# -gt 0 ] && shift
if [ ! -f "$PACKAGE/master.m3u8" ]; then
    echo "error: no master.m3u8 in $PACKAGE; make one with ./scripts/demo.sh or vantrel INPUT DIR" >&2
    exit 1
fi
install_player_packages
exec node "$PLAYER_DIR/watch.js" "$PACKAGE" "$@"
