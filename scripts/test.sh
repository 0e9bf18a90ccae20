#!/usr/bin/env bash
# Sets everything up and runs the whole test suite: the native unit tests,
# the engine's sources compiled against newer FFmpeg releases' headers
# (scripts/check_ffmpeg_headers.sh), then the Python suite (with the playlist and browser playback checks) under
# pyenv's CPython 3.10 and the default python3, then the sanitizer jobs
# (scripts/sanitize.sh). Every job runs even when one before it failed; the
# last line counts them: "jobs: N passed, M failed". Extra arguments go to pytest.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# Chromium, Node.js, hls.js and playwright-core for the browser playback check;
# redis-server and rabbitmq-server, the job queue tests' brokers (the tests
# start their own, on free loopback ports).
install_system_packages "${SYSTEM_PACKAGES[@]}" libgtest-dev chromium redis-server rabbitmq-server
install_player_packages
cd "$VANTREL_ROOT"
# Warnings fail the build here, not for users who install the package.
export VANTREL_WERROR=ON

# Every job runs, whatever became of the ones before it; the last lines sum
# them all up.
JOB_LINES=()
PASSED=0
FAILED=0
run_job() {
    local name=$1 started=$SECONDS status=0
    shift
    # In a subshell of its own, so that errexit ends the job, not the script.
    set +e
    (set -e; "$@")
    status=$?
    set -e
    local minutes=$(((SECONDS - started + 30) / 60))
    if [ "$status" -eq 0 ]; then
        PASSED=$((PASSED + 1))
        JOB_LINES+=("  passed  $name (${minutes} min)")
    else
        FAILED=$((FAILED + 1))
        JOB_LINES+=("  FAILED  $name (${minutes} min, exit status $status)")
    fi
}

native_tests() {
    log "Native unit tests"
    cmake -S . -B build-native -G Ninja -DVANTREL_BUILD_TESTS=ON -DVANTREL_WERROR=ON \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build-native
    ctest --test-dir build-native --output-on-failure
}

python_suite() {
    local python=$1
    shift
    log "Python suite under $("$python" --version)"
    "$python" -m pytest "$@"
}

run_job "native unit tests" native_tests
# Newer FFmpeg releases' headers (Debian's stable and unstable), which this
# machine's build never sees; left out with a pytest selection, like the
# sanitizer jobs.
if [ $# -eq 0 ]; then
    run_job "engine against newer FFmpeg headers" "$VANTREL_ROOT/scripts/check_ffmpeg_headers.sh"
fi

# The sanitizer jobs take arguments of their own: with a pytest selection given
# here they are left out (VANTREL_SANITIZERS=0 leaves them out too). They run
# beside the ordinary suites, one after the other in a lane of their own at a
# lower priority: the suites spend most of their time waiting on players,
# servers and child processes rather than using both cores, and the tests that
# depend on timing (the job queue's, the browsers') are in the ordinary
# suites, which keep the first claim on the processor. The lane's output is
# printed when both the lane and the suites are done.
SANITIZER_LANE=""
if [ $# -eq 0 ] && [ "${VANTREL_SANITIZERS:-1}" != 0 ]; then
    SANITIZER_LANE=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-sanitizer-jobs.XXXXXX")
    (
        JOB_LINES=()
        PASSED=0
        FAILED=0
        run_job "address sanitizer job" nice -n 10 "$VANTREL_ROOT/scripts/sanitize.sh" address
        run_job "thread sanitizer job" nice -n 10 "$VANTREL_ROOT/scripts/sanitize.sh" thread
        printf '%s\n' "${JOB_LINES[@]}" > "$SANITIZER_LANE/jobs"
        echo "$PASSED $FAILED" > "$SANITIZER_LANE/counts"
    ) > "$SANITIZER_LANE/output" 2>&1 &
    SANITIZER_LANE_PID=$!
    # Interrupted, the run ends the lane's jobs with its own.
    trap 'trap - INT TERM; kill 0' INT TERM
fi

# One substitution per assignment: in a list, only the last one's failure would count.
PYTHON310=$(find_python310)
PYTHON310=$(install_into_venv "$PYTHON310" test)
PYTHON_DEFAULT=$(install_into_venv python3 test)
PYTHONS=("$PYTHON310" "$PYTHON_DEFAULT")
# Each interpreter's suite imports the other's build to check the version guard.
export VANTREL_TEST_PYTHONS="${PYTHONS[*]}"
for python in "${PYTHONS[@]}"; do
    run_job "pytest under $("$python" --version)" python_suite "$python" "$@"
done

if [ -n "$SANITIZER_LANE" ]; then
    status=0
    wait "$SANITIZER_LANE_PID" || status=$?
    log "The sanitizer jobs (they ran beside the suites above)"
    cat "$SANITIZER_LANE/output"
    if [ -s "$SANITIZER_LANE/counts" ]; then
        mapfile -t lane_jobs < "$SANITIZER_LANE/jobs"
        JOB_LINES+=("${lane_jobs[@]}")
        read -r lane_passed lane_failed < "$SANITIZER_LANE/counts"
        PASSED=$((PASSED + lane_passed))
        FAILED=$((FAILED + lane_failed))
    else
        FAILED=$((FAILED + 1))
        JOB_LINES+=("  FAILED  sanitizer jobs (their lane ended with status $status before it counted them)")
    fi
    rm -rf "$SANITIZER_LANE"
fi

log "Summary ($(((SECONDS + 30) / 60)) min in all)"
printf '%s\n' "${JOB_LINES[@]}"
echo "jobs: $PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
