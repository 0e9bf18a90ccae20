# Shared set-up for the demo and test commands: system packages, then a
# virtual environment per supported interpreter with vantrel built and installed.
# Sourced, not run.

# A command substitution such as PYTHON=$(install_into_venv ...) must fail the
# script when a step inside it fails, not carry on with a stale build.
shopt -s inherit_errexit

VANTREL_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENV_ROOT="$VANTREL_ROOT/.venv"

log() { printf '\n==> %s\n' "$*"; }

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# FFmpeg's development packages, the ffmpeg tool and the build tools.
SYSTEM_PACKAGES=(pkg-config cmake ninja-build g++ ffmpeg
                 libavformat-dev libavcodec-dev libswscale-dev libavfilter-dev libavutil-dev)

install_system_packages() {
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$pkg")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        log "Installing system packages: ${missing[*]}"
        as_root apt-get update -qq
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

# The player page (tests/player/) serves a package to hls.js in a browser; the
# playback checks drive it in Debian's Chromium, the watch command in yours.
PLAYER_DIR="$VANTREL_ROOT/tests/player"

# Node.js is often installed from elsewhere than Debian (with npm inside its
# package), so Debian's nodejs and npm are only installed when no node exists.
install_node() {
    if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
        install_system_packages nodejs npm
    fi
}

# hls.js and playwright-core at the versions the lock file pins. playwright-core
# downloads no browser: the driver starts Debian's Chromium. npm ci writes
# node_modules/.package-lock.json last: when it is there and newer than the
# lock file, what the lock file pins is installed.
install_player_packages() {
    install_node
    if [ "$PLAYER_DIR/node_modules/.package-lock.json" -nt "$PLAYER_DIR/package-lock.json" ]; then
        return 0
    fi
    log "Installing the player's Node packages" >&2
    (cd "$PLAYER_DIR" && npm ci --no-audit --no-fund --loglevel=error) >&2
}

# The default python3 and pyenv's CPython 3.10, the version vantrel targets.
find_python310() {
    if command -v pyenv >/dev/null 2>&1; then
        local prefix
        prefix=$(ls -d "$(pyenv root)"/versions/3.10.* 2>/dev/null | sort -V | tail -n 1)
        if [ -n "$prefix" ] && [ -x "$prefix/bin/python3.10" ]; then
            echo "$prefix/bin/python3.10"
            return
        fi
    fi
    if command -v python3.10 >/dev/null 2>&1 && python3.10 -c '' 2>/dev/null; then
        command -v python3.10
        return
    fi
    echo "error: CPython 3.10 not found (expected under pyenv's versions/3.10.*)" >&2
    return 1
}

# Builds and installs vantrel (with the extras $2 names, such as "test" or
# "celery", when given) into a virtual environment for interpreter $1; prints
# the environment's python.
# With a sanitizer in $3 ("address" or "thread") the module is built with it,
# into an environment and a build directory of its own.
install_into_venv() {
    local interpreter=$1 extras=${2:-} sanitizer=${3:-}
    local version
    version=$("$interpreter" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')
    local venv="$VENV_ROOT/py$version" build_dir="build/{wheel_tag}"
    if [ -n "$sanitizer" ]; then
        venv="$VENV_ROOT/$sanitizer-py$version"
        build_dir="build/$sanitizer-{wheel_tag}"
    fi
    if [ ! -x "$venv/bin/python" ]; then
        "$interpreter" -m venv "$venv" >&2
    fi
    "$venv/bin/python" -m pip install -q --upgrade pip >&2
    local target="$VANTREL_ROOT"
    [ -n "$extras" ] && target="$VANTREL_ROOT[$extras]"
    log "Building and installing vantrel for Python $version${sanitizer:+ ($sanitizer sanitizer)}" >&2
    VANTREL_SANITIZE="$sanitizer" "$venv/bin/python" -m pip install -q \
        --config-settings=build-dir="$build_dir" "$target" >&2
    echo "$venv/bin/python"
}

# Runs bench script $2 with this tree's build, handing it --base-python, an
# interpreter with the build of an earlier commit: $1, or REV of a first
# argument --base REV. The other arguments go to the script.
run_bench_against_revision() {
    local base=$1 script=$2
    shift 2
    if [ "${1:-}" = --base ]; then
        base=$2
        shift 2
    fi
    local sha interpreter base_python python
    sha=$(git -C "$VANTREL_ROOT" rev-parse --verify "$base^{commit}")
    install_system_packages "${SYSTEM_PACKAGES[@]}"
    interpreter=$(find_python310)
    base_python=$(install_revision_into_venv "$interpreter" "$base" "$sha")
    python=$(install_into_venv "$interpreter")
    exec "$python" "$script" --base-python "$base_python" "$@"
}

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
