#!/usr/bin/env bash
# Sets up like scripts/cluster.sh with both brokers (redis-server,
# rabbitmq-server, the celery extra), then measures how long a job held by a
# lost worker instance waits before another takes it. Arguments go to
# redelivery.py (--broker, --how, --visibility, --heartbeat).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

install_system_packages "${SYSTEM_PACKAGES[@]}" redis-server rabbitmq-server
PYTHON=$(install_into_venv python3 celery)
exec "$PYTHON" "$VANTREL_ROOT/bench/redelivery.py" "$@"
