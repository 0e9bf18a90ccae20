#!/usr/bin/env bash
# Sets everything up, then measures what the package defaults cost against
# hls_encoder and what their master playlists declare. Arguments go to
# defaults_bench.py (--clip bench|hard, --rounds, --seconds, --work).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

install_system_packages "${SYSTEM_PACKAGES[@]}"
PYTHON=$(install_into_venv "$(find_python310)")
# The bench clip is run_bench.py's, and run_bench.py imports psutil.
"$PYTHON" -m pip install -q psutil
exec "$PYTHON" "$VANTREL_ROOT/bench/defaults_bench.py" "$@"
