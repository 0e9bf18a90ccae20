#!/usr/bin/env bash
# Builds revision REV and the working tree, each into its own environment, then
# encodes the same inputs with both and checks that every file of every package
# is byte-identical (bench/compare_packages.py). Usage:
#   bench/compare.sh REV [--cases NAME,...] [--keep]
set -euo pipefail
# A build that fails inside $(...) must stop the script, not hand back a python
# with a stale or missing vantrel.
shopt -s inherit_errexit
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

if [ $# -lt 1 ] || [[ $1 == -* ]]; then
    echo "usage: $0 REV [--cases NAME,...] [--keep]" >&2
    exit 2
fi
rev=$1
shift
if ! sha=$(git -C "$VANTREL_ROOT" rev-parse --verify --quiet "$rev^{commit}"); then
    echo "error: $rev names no commit" >&2
    exit 2
fi

install_system_packages "${SYSTEM_PACKAGES[@]}"
INTERPRETER=$(find_python310)
BASE_PYTHON=$(install_revision_into_venv "$INTERPRETER" "$rev" "$sha")
PYTHON=$(install_into_venv "$INTERPRETER")
# The comparison reuses run_bench.py's input maker, and run_bench.py imports psutil.
"$PYTHON" -m pip install -q psutil
log "Comparing $rev (${sha:0:12}) with the working tree"
exec "$PYTHON" "$VANTREL_ROOT/bench/compare_packages.py" \
    --base-python "$BASE_PYTHON" --base-name "$rev (${sha:0:12})" "$@"
