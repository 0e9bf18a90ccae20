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

# Builds commit $3 (named $2) for interpreter $1 into .venv/compare-<short sha>,
# once per commit; prints the environment's python. The sources are a snapshot
# of the commit (git archive), so nothing of the working tree leaks into them
# and no worktree is left behind; a subshell, so that its trap removes them on
# every way out.
install_revision_into_venv() (
    local interpreter=$1 name=$2 commit=$3
    local venv="$VENV_ROOT/compare-${commit:0:12}"
    # Written last, so an interrupted build is redone rather than reused.
    local stamp="$venv/vantrel-commit"
    if [ -x "$venv/bin/python" ] && [ "$(cat "$stamp" 2>/dev/null)" = "$commit" ]; then
        echo "$venv/bin/python"
        return
    fi
    local src
    src=$(mktemp -d)
    trap 'rm -rf "$src"' EXIT
    git -C "$VANTREL_ROOT" archive "$commit" | tar -x -C "$src"
    [ -x "$venv/bin/python" ] || "$interpreter" -m venv "$venv" >&2
    "$venv/bin/python" -m pip install -q --upgrade pip >&2
    log "Building and installing vantrel at $name (${commit:0:12})" >&2
    "$venv/bin/python" -m pip install -q "$src" >&2
    echo "$commit" >"$stamp"
    echo "$venv/bin/python"
)

install_system_packages "${SYSTEM_PACKAGES[@]}"
INTERPRETER=$(find_python310)
BASE_PYTHON=$(install_revision_into_venv "$INTERPRETER" "$rev" "$sha")
PYTHON=$(install_into_venv "$INTERPRETER")
# The comparison reuses run_bench.py's input maker, and run_bench.py imports psutil.
"$PYTHON" -m pip install -q psutil
log "Comparing $rev (${sha:0:12}) with the working tree"
exec "$PYTHON" "$VANTREL_ROOT/bench/compare_packages.py" \
    --base-python "$BASE_PYTHON" --base-name "$rev (${sha:0:12})" "$@"
