#!/usr/bin/env bash
# Sets everything up, then measures what the colour conversion costs: an SDR
# clip against the build of REV (default: the commit before the colour stage),
# and HLG against SDR sources of the same size. Other arguments go to
# colour_bench.py (--rounds, --seconds, --sizes).
#   bench/colour.sh [--base REV] [colour_bench.py options]
set -euo pipefail
shopt -s inherit_errexit
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
run_bench_against_revision 6005363 "$VANTREL_ROOT/bench/colour_bench.py" "$@"
