#!/usr/bin/env bash
# The sanitizer jobs, run by test.sh after the ordinary suites:
#   ./scripts/sanitize.sh address [pytest args]  AddressSanitizer + UndefinedBehaviorSanitizer
#   ./scripts/sanitize.sh thread [pytest args]   ThreadSanitizer
# Each builds the native unit tests and the module with the sanitizer, runs the
# native tests, then pytest (the whole suite but the tests marked "queue" and "python_side"
# under address, the tests marked "threads" under thread) with the sanitizer's runtime preloaded into the
# interpreter, which is not instrumented itself. Any report from any process
# fails the job.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

SANITIZER=${1:?usage: sanitize.sh address|thread [pytest args]}
shift
case "$SANITIZER" in
    address) RUNTIME_LIB=libasan.so ;;
    thread) RUNTIME_LIB=libtsan.so ;;
    *) echo "error: unknown sanitizer '$SANITIZER' (address or thread)" >&2; exit 2 ;;
esac

install_system_packages "${SYSTEM_PACKAGES[@]}" libgtest-dev
cd "$VANTREL_ROOT"
# Warnings are the ordinary build's gate: with the sanitizers' instrumentation
# g++ 12 reports maybe-uninitialized in the standard library's own headers.
export VANTREL_WERROR=OFF
RUNTIME=$(g++ -print-file-name="$RUNTIME_LIB")
if [ ! -e "$RUNTIME" ]; then
    echo "error: g++ has no $RUNTIME_LIB (Debian ships it with g++'s libgcc-*-dev)" >&2
    exit 1
fi
SUPPRESSIONS="$VANTREL_ROOT/scripts/sanitizers"

# Every process writes its reports to its own file here instead of standard
# error, so that none is lost in output a test captures and does not read.
REPORTS=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-$SANITIZER-reports.XXXXXX")

print_reports() {
    for report in "$REPORTS"/*; do
        [ -e "$report" ] || continue
        echo "=== sanitizer report $(basename "$report")"
        cat "$report"
    done
}
trap 'print_reports >&2; rm -rf "$REPORTS"' EXIT

# fast_unwind_on_malloc=0: the interpreter and the media libraries have no
# frame pointers, so only the slow unwinder gets past their frames to the ones
# the leak suppressions match. malloc_context_size=10: deep enough for every
# suppression and for a report to reach our own frames; the default 30 frames
# on every allocation doubled the job's time.
ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=10:strict_string_checks=1"
ASAN_OPTIONS+=":detect_stack_use_after_return=1:check_initialization_order=1"
# g++ 12's runtime misreads the dynamic TLS blocks that glibc 2.36 gives some
# libraries loaded late (OpenSSL's, through hashlib, is one): the leak
# checker's tracer then reads a bogus range at exit and dies ("Tracer caught
# signal 11"), depending on the heap's layout. Those blocks are ordinary
# allocations reachable from the threads' TLS, which is still scanned.
ASAN_OPTIONS+=":intercept_tls_get_addr=0"
ASAN_OPTIONS+=":log_path=$REPORTS/asan"
export ASAN_OPTIONS
export LSAN_OPTIONS="suppressions=$SUPPRESSIONS/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$REPORTS/ubsan"
# The media libraries are not instrumented, so only our own code's accesses are
# checked; the one suppression is the libraries' reference counting, explained
# in its file.
export TSAN_OPTIONS="halt_on_error=0:second_deadlock_stack=1:log_path=$REPORTS/tsan"
TSAN_OPTIONS+=":suppressions=$SUPPRESSIONS/tsan.supp"

log "Native unit tests ($SANITIZER sanitizer)"
cmake -S . -B "build-native-$SANITIZER" -G Ninja -DVANTREL_BUILD_TESTS=ON -DVANTREL_WERROR=OFF \
    -DVANTREL_SANITIZE="$SANITIZER" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "build-native-$SANITIZER"
ctest --test-dir "build-native-$SANITIZER" --output-on-failure

PYTHON=$(install_into_venv python3 test "$SANITIZER")
PYTEST_ARGS=(-p no:cacheprovider)
if [ "$SANITIZER" = thread ]; then
    PYTEST_ARGS+=(-m threads)
else
    # The job queue's tests (marked "queue") check Celery, Redis and the
    # packages' placement across processes, and those marked "python_side"
    # what Python code, servers and browsers do (placing files, serving and
    # playing packages that other tests make here too): not the native code's
    # memory, which the rest of the suite covers. Under the preloaded runtime
    # they would only be slower.
    PYTEST_ARGS+=(-m "not queue and not python_side")
    # Several hundred bit-flipped inputs, each one job in a long-lived process.
    export VANTREL_MUTANTS=${VANTREL_MUTANTS:-320}
fi

log "Python suite under $("$PYTHON" --version) ($SANITIZER sanitizer)"
status=0
# PYTHONMALLOC=malloc: the interpreter's own allocator keeps objects in arenas
# that it maps itself and the leak checker does not scan, so memory reachable
# only from Python objects would be reported as leaked.
# The C++ runtime is preloaded with the sanitizer's: the address sanitizer finds
# the real __cxa_throw when it starts, and the interpreter would load the C++
# runtime only later, with the module.
env -u VANTREL_TEST_PYTHONS LD_PRELOAD="$RUNTIME libstdc++.so.6" PYTHONMALLOC=malloc \
    VANTREL_SANITIZER="$SANITIZER" VANTREL_SANITIZER_LOG_DIR="$REPORTS" \
    "$PYTHON" -m pytest "${PYTEST_ARGS[@]}" "$@" || status=$?

# Reports written after the last test (the pytest process's own exit) fail the
# job too; the trap prints them.
if [ -n "$(ls -A "$REPORTS")" ]; then
    echo "error: the $SANITIZER sanitizer reported problems (below)" >&2
    exit 1
fi
exit "$status"
