#!/usr/bin/env bash
# Sets everything up, then measures what every track costs: a clip with one
# audio stream against the build of REV (default: the commit before audio
# renditions), and three audio streams against one. Other arguments go to
# tracks_bench.py (--rounds, --seconds).
#   bench/tracks.sh [--base REV] [tracks_bench.py options]
set -euo pipefail
shopt -s inherit_errexit
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
run_bench_against_revision 3bfdf37 "$VANTREL_ROOT/bench/tracks_bench.py" "$@"
