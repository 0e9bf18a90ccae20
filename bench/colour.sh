#!/usr/bin/env bash
# Sets everything up, then measures what the colour conversion costs: an SDR
# clip against the build of REV (default: the commit before the colour stage),
# and HLG against SDR sources of the same size. Other arguments go to
# colour_bench.py (--rounds, --seconds, --sizes).
#   bench/colour.sh [--base REV] [colour_bench.py options]
set -euo pipefail
shopt -s inherit_errexit
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

base=6005363
if [ "${1:-}" = --base ]; then
    base=$2
    shift 2
fi
sha=$(git -C "$VANTREL_ROOT" rev-parse --verify "$base^{commit}")
install_system_packages "${SYSTEM_PACKAGES[@]}"
INTERPRETER=$(find_python310)
BASE_PYTHON=$(install_revision_into_venv "$INTERPRETER" "$base" "$sha")
PYTHON=$(install_into_venv "$INTERPRETER")
exec "$PYTHON" "$VANTREL_ROOT/bench/colour_bench.py" --base-python "$BASE_PYTHON" "$@"
