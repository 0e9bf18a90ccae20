#!/usr/bin/env bash
# Sets everything up and runs the whole test suite: the native unit tests,
# then the Python suite (with the playlist and browser playback checks) under
# pyenv's CPython 3.10 and the default python3, then the sanitizer jobs
# (scripts/sanitize.sh). Extra arguments go to pytest.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# Chromium, Node.js, hls.js and playwright-core for the browser playback check.
install_system_packages "${SYSTEM_PACKAGES[@]}" libgtest-dev chromium
install_player_packages
cd "$VANTREL_ROOT"
# Warnings fail the build here, not for users who install the package.
export VANTREL_WERROR=ON

log "Native unit tests"
cmake -S . -B build-native -G Ninja -DVANTREL_BUILD_TESTS=ON -DVANTREL_WERROR=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-native
ctest --test-dir build-native --output-on-failure

# One substitution per assignment: in a list, only the last one's failure would count.
PYTHON310=$(find_python310)
PYTHON310=$(install_into_venv "$PYTHON310" test)
PYTHON_DEFAULT=$(install_into_venv python3 test)
PYTHONS=("$PYTHON310" "$PYTHON_DEFAULT")
# Each interpreter's suite imports the other's build to check the version guard.
export VANTREL_TEST_PYTHONS="${PYTHONS[*]}"
for python in "${PYTHONS[@]}"; do
    log "Python suite under $("$python" --version)"
    "$python" -m pytest "$@"
done

# The sanitizer jobs take arguments of their own: with a pytest selection given
# here they are left out (VANTREL_SANITIZERS=0 leaves them out too).
if [ $# -eq 0 ] && [ "${VANTREL_SANITIZERS:-1}" != 0 ]; then
    unset VANTREL_TEST_PYTHONS
    "$VANTREL_ROOT/scripts/sanitize.sh" address
    "$VANTREL_ROOT/scripts/sanitize.sh" thread
fi
