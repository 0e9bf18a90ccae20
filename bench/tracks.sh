#!/usr/bin/env bash
# Sets everything up, then measures what every track costs: a clip with one
# audio stream against the build of REV (default: the commit before audio
# renditions), and three audio streams against one. Other arguments go to
# tracks_bench.py (--rounds, --seconds).
#   bench/tracks.sh [--base REV] [tracks_bench.py options]
set -euo pipefail
shopt -s inherit_errexit
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

base=3bfdf37
if [ "${1:-}" = --base ]; then
    base=$2
    shift 2
fi
sha=$(git -C "$VANTREL_ROOT" rev-parse --verify "$base^{commit}")
install_system_packages "${SYSTEM_PACKAGES[@]}"
INTERPRETER=$(find_python310)
BASE_PYTHON=$(install_revision_into_venv "$INTERPRETER" "$base" "$sha")
PYTHON=$(install_into_venv "$INTERPRETER")
exec "$PYTHON" "$VANTREL_ROOT/bench/tracks_bench.py" --base-python "$BASE_PYTHON" "$@"
