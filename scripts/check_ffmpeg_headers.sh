#!/usr/bin/env bash
# Compiles every engine source against the headers of newer FFmpeg releases
# than the one this machine builds with, so that a removed or renamed FFmpeg
# API (or a version test that takes the wrong branch) fails here, not on a
# user's machine.
#
# Debian's archive has the newer releases' development packages: they are
# downloaded without being installed (a private apt configuration and state,
# nothing of the machine's own apt touched), unpacked with dpkg -x, and each
# source file is compiled with g++ -fsyntax-only, the project's warning flags
# and -Werror against their headers. Nothing is linked or run.
#
# Usage: scripts/check_ffmpeg_headers.sh [SUITE ...]
#   SUITE: Debian suites whose FFmpeg is checked (default: trixie sid, Debian's
#   stable and unstable releases: FFmpeg 7.1 and 9.0 on 2026-12-09). Keep the
#   default list at Debian's stable and unstable at least.
# Downloads and the unpacked headers are kept in build-ffmpeg-headers/.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

SUITES=("$@")
[ ${#SUITES[@]} -gt 0 ] || SUITES=(trixie sid)
PACKAGES=(libavcodec-dev libavformat-dev libavutil-dev libswscale-dev libavfilter-dev libswresample-dev)
WORK="$VANTREL_ROOT/build-ffmpeg-headers"
mkdir -p "$WORK/apt/lists/partial" "$WORK/apt/cache/archives/partial"

# The machine's own Debian mirror, as its apt sources name it.
mirror=$(awk '/^URIs:/{print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
[ -n "$mirror" ] || mirror=$(awk '/^deb /{print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
[ -n "$mirror" ] || mirror=http://deb.debian.org/debian
: >"$WORK/apt/sources.list"
for suite in "${SUITES[@]}"; do
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $suite main" \
        >>"$WORK/apt/sources.list"
done
APT_OPTIONS=(
    -o Dir::Etc::sourcelist="$WORK/apt/sources.list" -o Dir::Etc::sourceparts=-
    -o Dir::State::Lists="$WORK/apt/lists" -o Dir::Cache="$WORK/apt/cache"
    # Only the package lists: no contents or metadata indexes.
    -o Acquire::IndexTargets::deb::Contents-deb::DefaultEnabled=false
    -o Acquire::IndexTargets::deb::DEP-11::DefaultEnabled=false
    -o Acquire::IndexTargets::deb::DEP-11-icons::DefaultEnabled=false
    -o Acquire::IndexTargets::deb::DEP-11-icons-small::DefaultEnabled=false
    # The downloads go to a directory of the project's, not apt's own.
    -o APT::Sandbox::User=root
)
log "Package lists of ${SUITES[*]} from $mirror"
apt-get "${APT_OPTIONS[@]}" update -qq

# The project's warning flags, as CMakeLists.txt sets them, with -Werror.
read -r -a WARNINGS <<<"$(sed -n 's/^set(VANTREL_WARNINGS \(.*\))$/\1/p' "$VANTREL_ROOT/CMakeLists.txt")"
if [ ${#WARNINGS[@]} -eq 0 ]; then
    echo "error: no VANTREL_WARNINGS in CMakeLists.txt" >&2
    exit 1
fi
WARNINGS+=(-Werror)

# pybind11 and the interpreter's headers for the binding, in an environment of
# the check's own.
if [ ! -x "$WORK/venv/bin/python" ]; then
    python3 -m venv "$WORK/venv"
fi
"$WORK/venv/bin/python" -m pip install -q "pybind11>=3.0,<4"
BINDING_INCLUDES=(
    -isystem "$("$WORK/venv/bin/python" -c 'import pybind11; print(pybind11.get_include())')"
    -isystem "$("$WORK/venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"
    -DVANTREL_VERSION='"check"'
)

mapfile -t SOURCES < <(cd "$VANTREL_ROOT" && find src -name '*.cpp' | sort)
failed=0
for suite in "${SUITES[@]}"; do
    version=$(apt-cache "${APT_OPTIONS[@]}" show "libavcodec-dev/$suite" 2>/dev/null |
        awk '/^Version:/{print $2; exit}')
    if [ -z "$version" ]; then
        echo "error: $suite has no libavcodec-dev" >&2
        failed=1
        continue
    fi
    root="$WORK/$suite-${version//[:~]/_}"
    if [ ! -f "$root/.complete" ]; then
        rm -rf "$root" && mkdir -p "$root/debs"
        (cd "$root/debs" && apt-get "${APT_OPTIONS[@]}" download -q \
            "${PACKAGES[@]/%/=$version}" >/dev/null)
        for deb in "$root"/debs/*.deb; do
            dpkg -x "$deb" "$root/tree"
        done
        touch "$root/.complete"
    fi
    include=$(dirname "$(find "$root/tree/usr/include" -path '*/libavcodec/version.h' | head -n 1)")
    include=$(dirname "$include")
    version=${version#*:}
    log "FFmpeg $version ($suite): ${#SOURCES[@]} sources, g++ -fsyntax-only ${WARNINGS[*]}"
    # The headers compiled against must be the downloaded ones, not the
    # machine's own (which the compiler finds too, after these).
    major=${version%%.*}
    if ! printf '#include <libavutil/version.h>\n#if LIBAVUTIL_VERSION_MAJOR < %d\n#error\n#endif\n' \
        "$((major + 52))" | g++ -x c++ -fsyntax-only -isystem "$include" -; then
        echo "FAILED: the compiler does not see FFmpeg $version's headers in $include"
        failed=1
        continue
    fi
    for source in "${SOURCES[@]}"; do
        extra=()
        [[ $source == src/binding/* ]] && extra=("${BINDING_INCLUDES[@]}")
        if ! (cd "$VANTREL_ROOT" && g++ -std=c++17 -fsyntax-only "${WARNINGS[@]}" -Isrc \
            -isystem "$include" "${extra[@]}" "$source"); then
            echo "FAILED: $source against FFmpeg $version ($suite)"
            failed=1
        fi
    done
done
[ "$failed" -eq 0 ] && echo "Every engine source compiles against FFmpeg's headers of ${SUITES[*]}."
exit "$failed"
