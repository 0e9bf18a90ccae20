#!/usr/bin/env bash
# A job queue on this machine: redis-server with scripts/redis.conf (or
# rabbitmq-server with scripts/rabbitmq.conf, Redis then keeping the results)
# and a Celery worker running vantrel.queue with N processes, in the foreground
# until Ctrl-C or SIGTERM, which stop them by their process ids (the worker
# first, the brokers after it). Submit jobs with vantrel-submit, as printed at
# start.
#
#   ./scripts/cluster.sh [--broker redis|rabbitmq] [--workers N] [--port PORT] [--bind ADDRESS] [--data DIR]
#   ./scripts/cluster.sh --no-broker [--workers N]
#
# --broker KIND  redis (the default) or rabbitmq, for queues whose titles run
#                long (see the README's "Choosing the broker")
# --workers N    pool processes, each running one job at a time (default 1)
# --port PORT    the broker's port (default 6379 for Redis, 5672 for RabbitMQ;
#                beside RabbitMQ, Redis keeps the results on 6379)
# --bind ADDRESS also listen on ADDRESS, for workers on other machines; set
#                REDIS_PASSWORD (and, for RabbitMQ, RABBITMQ_PASSWORD, the
#                password of its user "vantrel") in the environment
# --data DIR     where the brokers keep their data (default .cluster/)
# --no-broker    start only the worker, for the broker that VANTREL_BROKER_URL
#                names (another machine of the cluster)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

WORKERS=1
BROKER=redis
PORT=""
BIND=""
DATA="$VANTREL_ROOT/.cluster"
START_BROKER=1
usage() { sed -n '2,25s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"; exit 2; }
while [ $# -gt 0 ]; do
    case "$1" in
        --broker) BROKER=${2:?}; shift 2 ;;
        --workers) WORKERS=${2:?}; shift 2 ;;
        --port) PORT=${2:?}; shift 2 ;;
        --bind) BIND=${2:?}; shift 2 ;;
        --data) DATA=${2:?}; shift 2 ;;
        --no-broker) START_BROKER=0; shift ;;
        *) usage ;;
    esac
done
[[ "$WORKERS" =~ ^[1-9][0-9]*$ ]] || usage
case "$BROKER" in
    redis) REDIS_PORT=${PORT:-6379} ;;
    rabbitmq) REDIS_PORT=6379; PORT=${PORT:-5672} ;;
    *) usage ;;
esac
# Without a password Redis answers loopback clients only (its protected mode),
# and RabbitMQ's guest user too.
if [ -n "$BIND" ] && [ -z "${REDIS_PASSWORD:-}" ]; then
    echo "error: --bind needs REDIS_PASSWORD in the environment, for workers on other machines" >&2
    exit 2
fi
if [ -n "$BIND" ] && [ "$BROKER" = rabbitmq ] && [ -z "${RABBITMQ_PASSWORD:-}" ]; then
    echo "error: --bind with RabbitMQ needs RABBITMQ_PASSWORD in the environment, for workers on other machines" >&2
    exit 2
fi

if [ "$START_BROKER" = 0 ]; then
    install_system_packages "${SYSTEM_PACKAGES[@]}"
    : "${VANTREL_BROKER_URL:?--no-broker needs VANTREL_BROKER_URL, such as redis://HOST:6379/0}"
elif [ "$BROKER" = rabbitmq ]; then
    install_system_packages "${SYSTEM_PACKAGES[@]}" redis-server rabbitmq-server
else
    install_system_packages "${SYSTEM_PACKAGES[@]}" redis-server
fi
PYTHON=$(install_into_venv python3 celery)
VENV_BIN=$(dirname "$PYTHON")

REDIS_PID=""
RABBITMQ_PID=""
WORKER_PID=""
# Whatever ends the script, nothing it started outlives it: a worker still
# running is stopped at once (its jobs stay queued), then the brokers.
stop_leftovers() {
    local pid
    if [ -n "$WORKER_PID" ] && kill -0 "$WORKER_PID" 2>/dev/null; then
        kill -QUIT "$WORKER_PID" 2>/dev/null
        wait "$WORKER_PID" 2>/dev/null
    fi
    for pid in "$RABBITMQ_PID" "$REDIS_PID"; do
        if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
            kill -TERM "$pid" 2>/dev/null
            wait "$pid" 2>/dev/null
        fi
    done
    return 0
}
trap stop_leftovers EXIT

# Each service runs in a session of its own, so that Ctrl-C reaches this
# script alone and the services stop in order: a worker needs its broker to
# hand back the jobs it still holds.
if [ "$START_BROKER" = 1 ]; then
    mkdir -p "$DATA"
    REDIS_ARGS=(--port "$REDIS_PORT" --dir "$DATA" --logfile "$DATA/redis.log")
    [ -n "$BIND" ] && REDIS_ARGS+=(--bind 127.0.0.1 "$BIND")
    AUTH=""
    if [ -n "${REDIS_PASSWORD:-}" ]; then
        REDIS_ARGS+=(--requirepass "$REDIS_PASSWORD")
        AUTH=":$REDIS_PASSWORD@"
    fi
    log "Starting redis-server on port $REDIS_PORT${BIND:+ (127.0.0.1 and $BIND)}; its data in $DATA"
    setsid redis-server "$VANTREL_ROOT/scripts/redis.conf" "${REDIS_ARGS[@]}" &
    REDIS_PID=$!
    for _ in $(seq 100); do
        REDISCLI_AUTH="${REDIS_PASSWORD:-}" redis-cli -p "$REDIS_PORT" ping >/dev/null 2>&1 && break
        kill -0 "$REDIS_PID" 2>/dev/null || { echo "error: redis-server failed; see $DATA/redis.log" >&2; exit 1; }
        sleep 0.1
    done
    export VANTREL_BROKER_URL="redis://${AUTH}127.0.0.1:$REDIS_PORT/0"
    if [ "$BROKER" = rabbitmq ]; then
        # Redis keeps the results; RabbitMQ carries the jobs. Its consumer
        # timeout comes from the tasks' time limits (vantrel/queue.py).
        export VANTREL_RESULT_BACKEND=$VANTREL_BROKER_URL
        CONSUMER_TIMEOUT_MS=$("$PYTHON" -c 'from vantrel.queue import RABBITMQ_CONSUMER_TIMEOUT_MS as t; print(t)')
        log "Starting rabbitmq-server on port $PORT${BIND:+ (127.0.0.1 and $BIND)}; its data in $DATA/rabbitmq"
        setsid "$VANTREL_ROOT/scripts/rabbitmq.sh" "$DATA/rabbitmq" "$PORT" $((PORT + 20000)) $((PORT + 20001)) \
            "$CONSUMER_TIMEOUT_MS" "$BIND" > "$DATA/rabbitmq.log" 2>&1 &
        RABBITMQ_PID=$!
        USER_AUTH="guest:guest"
        [ -n "${RABBITMQ_PASSWORD:-}" ] && USER_AUTH="vantrel:$RABBITMQ_PASSWORD"
        export VANTREL_BROKER_URL="amqp://$USER_AUTH@127.0.0.1:$PORT//"
        for _ in $(seq 600); do
            "$PYTHON" -c 'import os, kombu; kombu.Connection(os.environ["VANTREL_BROKER_URL"]).connect()' \
                >/dev/null 2>&1 && break
            kill -0 "$RABBITMQ_PID" 2>/dev/null ||
                { echo "error: rabbitmq-server failed; see $DATA/rabbitmq.log" >&2; exit 1; }
            sleep 0.2
        done
    fi
fi

log "Starting a Celery worker with $WORKERS process(es)"
setsid "$VENV_BIN/celery" -A vantrel.queue worker --concurrency "$WORKERS" --hostname "vantrel@%h" \
    --loglevel INFO &
WORKER_PID=$!

cat <<EOF

Submit a job from another shell (paths as every worker sees them):
    VANTREL_BROKER_URL=$VANTREL_BROKER_URL${VANTREL_RESULT_BACKEND:+ VANTREL_RESULT_BACKEND=$VANTREL_RESULT_BACKEND} $VENV_BIN/vantrel-submit INPUT OUTPUT_DIR
Ctrl-C (or SIGTERM) stops the worker (running jobs finish first), then the brokers.

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
[ -n "$REDIS_PID" ] && log "Stopping the brokers"
stop_leftovers
[ "$INTERRUPTS" -gt 0 ] && exit 0
exit "$status"
