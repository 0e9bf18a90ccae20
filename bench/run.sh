#!/usr/bin/env bash
# Sets everything up, then runs the benchmark. Arguments go to run_bench.py
# (--rounds, --seconds, --no-scaling, --no-60fps, --work).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

install_system_packages "${SYSTEM_PACKAGES[@]}"
PYTHON=$(install_into_venv "$(find_python310)")
"$PYTHON" -m pip install -q psutil
exec "$PYTHON" "$VANTREL_ROOT/bench/run_bench.py" "$@"
