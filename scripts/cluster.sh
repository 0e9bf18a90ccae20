#!/usr/bin/env bash
# A job queue on this machine: redis-server with scripts/redis.conf and a
# Celery worker running vantrel.queue with N processes, in the foreground until
# Ctrl-C, which stops them by their process ids (the worker first, the broker
# after it). Submit jobs with vantrel-submit, as printed at start.
#
#   ./scripts/cluster.sh [--workers N] [--port PORT] [--bind ADDRESS] [--data DIR]
#   ./scripts/cluster.sh --no-broker [--workers N]
#
# --workers N    pool processes, each running one job at a time (default 1)
# --port PORT    the broker's port (default 6379)
# --bind ADDRESS also listen on ADDRESS, for workers on other machines; set
#                REDIS_PASSWORD in the environment to require it
# --data DIR     where the broker keeps its append-only file (default .cluster/)
# --no-broker    start only the worker, for the broker that VANTREL_BROKER_URL
#                names (another machine of the cluster)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

WORKERS=1
PORT=6379
BIND=""
DATA="$VANTREL_ROOT/.cluster"
START_BROKER=1
usage() { sed -n '2,16s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"; exit 2; }
while [ $# -gt 0 ]; do
    case "$1" in
        --workers) WORKERS=${2:?}; shift 2 ;;
        --port) PORT=${2:?}; shift 2 ;;
        --bind) BIND=${2:?}; shift 2 ;;
        --data) DATA=${2:?}; shift 2 ;;
        --no-broker) START_BROKER=0; shift ;;
        *) usage ;;
    esac
done
[[ "$WORKERS" =~ ^[1-9][0-9]*$ ]] || usage
# Without a password Redis answers loopback clients only (its protected mode).
if [ -n "$BIND" ] && [ -z "${REDIS_PASSWORD:-}" ]; then
    echo "error: --bind needs REDIS_PASSWORD in the environment, for workers on other machines" >&2
    exit 2
fi

if [ "$START_BROKER" = 1 ]; then
    install_system_packages "${SYSTEM_PACKAGES[@]}" redis-server
else
    install_system_packages "${SYSTEM_PACKAGES[@]}"
    : "${VANTREL_BROKER_URL:?--no-broker needs VANTREL_BROKER_URL, such as redis://HOST:6379/0}"
fi
PYTHON=$(install_into_venv python3 celery)
VENV_BIN=$(dirname "$PYTHON")

REDIS_PID=""
WORKER_PID=""
# Whatever ends the script, nothing it started outlives it: a worker still
# running is stopped at once (its jobs stay queued), then the broker.
stop_leftovers() {
    if [ -n "$WORKER_PID" ] && kill -0 "$WORKER_PID" 2>/dev/null; then
        kill -QUIT "$WORKER_PID" 2>/dev/null
        wait "$WORKER_PID" 2>/dev/null
    fi
    if [ -n "$REDIS_PID" ] && kill -0 "$REDIS_PID" 2>/dev/null; then
        kill -TERM "$REDIS_PID" 2>/dev/null
        wait "$REDIS_PID" 2>/dev/null
    fi
    return 0
}
trap stop_leftovers EXIT

# Each service runs in a session of its own, so that Ctrl-C reaches this
# script alone and the services stop in order: a worker needs its broker to
# hand back the jobs it still holds.
if [ "$START_BROKER" = 1 ]; then
    mkdir -p "$DATA"
    REDIS_ARGS=(--port "$PORT" --dir "$DATA" --logfile "$DATA/redis.log")
    [ -n "$BIND" ] && REDIS_ARGS+=(--bind 127.0.0.1 "$BIND")
    AUTH=""
    if [ -n "${REDIS_PASSWORD:-}" ]; then
        REDIS_ARGS+=(--requirepass "$REDIS_PASSWORD")
        AUTH=":$REDIS_PASSWORD@"
    fi
    log "Starting redis-server on port $PORT${BIND:+ (127.0.0.1 and $BIND)}; its data in $DATA"
    setsid redis-server "$VANTREL_ROOT/scripts/redis.conf" "${REDIS_ARGS[@]}" &
    REDIS_PID=$!
    for _ in $(seq 100); do
        REDISCLI_AUTH="${REDIS_PASSWORD:-}" redis-cli -p "$PORT" ping >/dev/null 2>&1 && break
        kill -0 "$REDIS_PID" 2>/dev/null || { echo "error: redis-server failed; see $DATA/redis.log" >&2; exit 1; }
        sleep 0.1
    done
    export VANTREL_BROKER_URL="redis://${AUTH}127.0.0.1:$PORT/0"
fi

log "Starting a Celery worker with $WORKERS process(es)"
setsid "$VENV_BIN/celery" -A vantrel.queue worker --concurrency "$WORKERS" --hostname "vantrel@%h" \
    --loglevel INFO &
WORKER_PID=$!

cat <<EOF

Submit a job from another shell (paths as every worker sees them):
    VANTREL_BROKER_URL=$VANTREL_BROKER_URL $VENV_BIN/vantrel-submit INPUT OUTPUT_DIR
Ctrl-C stops the worker (running jobs finish first), then the broker.

EOF

INTERRUPTS=0
on_interrupt() {
    INTERRUPTS=$((INTERRUPTS + 1))
    if [ "$INTERRUPTS" = 1 ]; then
        log "Stopping the worker once its running jobs end (Ctrl-C again: stop them now; they stay queued)"
        kill -TERM "$WORKER_PID" 2>/dev/null || true
    else
        kill -QUIT "$WORKER_PID" 2>/dev/null || true
    fi
}
trap on_interrupt INT TERM

# A trapped signal ends `wait` early; wait again until the worker is gone.
status=0
while kill -0 "$WORKER_PID" 2>/dev/null; do
    wait "$WORKER_PID" || status=$?
done
[ -n "$REDIS_PID" ] && log "Stopping redis-server"
stop_leftovers
[ "$INTERRUPTS" -gt 0 ] && exit 0
exit "$status"
