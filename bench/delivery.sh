#!/usr/bin/env bash
# Sets up an environment with the serve extra and aiohttp (the simulated
# viewers' client), then runs the load run of `vantrel serve` against
# Starlette's StaticFiles. Arguments go to delivery_bench.py (--viewers,
# --seconds, --time-limit, --work).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

install_system_packages "${SYSTEM_PACKAGES[@]}"
PYTHON=$(install_into_venv python3 serve)
"$PYTHON" -m pip install -q aiohttp
exec "$PYTHON" "$VANTREL_ROOT/bench/delivery_bench.py" "$@"
