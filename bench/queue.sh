#!/usr/bin/env bash
# Sets up like scripts/cluster.sh (redis-server, the celery extra), then
# measures the job queue's throughput and overhead. Arguments go to
# queue_bench.py (--seconds, --jobs, --sequential, --processes, --work);
# with "split" first, split_bench.py measures a title split on two worker
# instances pinned to a core each (--seconds, --chunk-seconds, --work).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

install_system_packages "${SYSTEM_PACKAGES[@]}" redis-server
PYTHON=$(install_into_venv python3 celery)
if [[ ${1:-} == split ]]; then
    shift
    exec "$PYTHON" "$VANTREL_ROOT/bench/split_bench.py" "$@"
fi
exec "$PYTHON" "$VANTREL_ROOT/bench/queue_bench.py" "$@"
