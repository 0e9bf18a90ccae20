#!/usr/bin/env bash
# RabbitMQ for the job queue, as scripts/cluster.sh --broker rabbitmq and the
# queue tests run it: Debian's rabbitmq-server in the foreground with
# scripts/rabbitmq.conf, listening on 127.0.0.1:PORT (and ADDRESS:PORT when
# given), its data, logs and Erlang cookie in DATA, and an Erlang port mapper
# (epmd) of its own on EPMD_PORT, started and stopped here, so that nothing it
# starts outlives it. SIGTERM or SIGINT stops the broker, then the port mapper.
#
#   scripts/rabbitmq.sh DATA PORT DIST_PORT EPMD_PORT CONSUMER_TIMEOUT_MS [ADDRESS]
#
# DIST_PORT is the node's Erlang distribution port (loopback, for
# rabbitmqctl). With RABBITMQ_PASSWORD set, a first start on fresh DATA makes
# the user "vantrel" with that password, for workers on other machines.
set -euo pipefail
[ $# -ge 5 ] || { sed -n '2,14s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"; exit 2; }
DATA=$1 PORT=$2 DIST_PORT=$3 EPMD_PORT=$4 CONSUMER_TIMEOUT_MS=$5 ADDRESS=${6:-}
mkdir -p "$DATA/mnesia" "$DATA/log"
{
    cat "$(dirname "${BASH_SOURCE[0]}")/rabbitmq.conf"
    echo "listeners.tcp.1 = 127.0.0.1:$PORT"
    if [ -n "$ADDRESS" ]; then echo "listeners.tcp.2 = $ADDRESS:$PORT"; fi
    # Above the longest hard time limit of any task: see vantrel/queue.py.
    echo "consumer_timeout = $CONSUMER_TIMEOUT_MS"
} > "$DATA/rabbitmq.conf"
echo '[].' > "$DATA/enabled_plugins"
if [ -n "${RABBITMQ_PASSWORD:-}" ]; then
    export RABBITMQ_DEFAULT_USER=vantrel RABBITMQ_DEFAULT_PASS=$RABBITMQ_PASSWORD
fi
export HOME=$DATA ERL_EPMD_PORT=$EPMD_PORT RABBITMQ_NODENAME="vantrel-$PORT@localhost" \
    RABBITMQ_MNESIA_BASE=$DATA/mnesia RABBITMQ_LOG_BASE=$DATA/log RABBITMQ_LOGS=- \
    RABBITMQ_CONFIG_FILE=$DATA/rabbitmq.conf RABBITMQ_ENABLED_PLUGINS_FILE=$DATA/enabled_plugins \
    RABBITMQ_DIST_PORT=$DIST_PORT RABBITMQ_PID_FILE=$DATA/rabbitmq.pid

# Started before the broker, which then finds it rather than start a
# machine-wide one that would outlive us.
epmd -port "$EPMD_PORT" -address 127.0.0.1 &
EPMD_PID=$!
# Debian's /usr/sbin/rabbitmq-server switches to the rabbitmq user; this one
# runs as whoever runs the script, on DATA.
/usr/lib/rabbitmq/bin/rabbitmq-server &
SERVER_PID=$!

stop() {
    kill -TERM "$SERVER_PID" 2>/dev/null || true
    wait "$SERVER_PID" 2>/dev/null || true
    kill -TERM "$EPMD_PID" 2>/dev/null || true
    wait "$EPMD_PID" 2>/dev/null || true
}
trap 'stop; exit 0' TERM INT
status=0
wait "$SERVER_PID" || status=$?
stop
exit "$status"
