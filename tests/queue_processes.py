"""The job queue's processes for the tests: a redis-server on a free loopback
port with the project's configuration and celery worker nodes, each started
here and stopped by its process id; and the session's broker, the
module's worker and a test's output directory as fixtures, shared by every module through conftest."""

from __future__ import annotations

import contextlib
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest
import redis
from kombu.exceptions import OperationalError

from conftest import TOOL_ENV
from vantrel import queue

REDIS_CONF = Path(__file__).resolve().parent.parent / "scripts" / "redis.conf"
NODE = "test@vantrel"
WORKER_PROCESSES = 2
# Generous: jobs share two cores with whatever else the machine runs.
JOB_SECONDS = 240
START_SECONDS = 60


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def wait_for(condition, seconds: float, what: str):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError(f"gave up waiting for {what}")


def process_start(pid: int) -> int | None:
    """The kernel's start time of `pid`, which tells it from a later process given the same id."""
    try:
        return int(Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[19])
    except (OSError, IndexError, ValueError):
        return None


def descendants(pid: int) -> list[tuple[int, int | None]]:
    """(pid, start time) of every process below `pid`."""
    children: dict[int, list[int]] = {}
    for stat in Path("/proc").glob("[0-9]*/stat"):
        with contextlib.suppress(OSError, IndexError, ValueError):
            children.setdefault(int(stat.read_text().rsplit(")", 1)[1].split()[1]), []).append(int(stat.parent.name))
    found, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append((child, process_start(child)))
            todo.append(child)
    return found


def stop_process(process: subprocess.Popen, grace: float = 20) -> None:
    """SIGTERM, then SIGKILL after `grace` seconds; then SIGKILL to whatever
    it had started that outlived it (only the very processes seen before)."""
    family = descendants(process.pid)
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(grace)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    for pid, started in family:
        if started is not None and process_start(pid) == started:
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)


class Broker:
    """redis-server with scripts/redis.conf, its data in `directory`."""

    def __init__(self, directory: Path) -> None:
        self.directory = directory
        self.port = free_port()
        self.process: subprocess.Popen | None = None

    @property
    def url(self) -> str:
        return f"redis://127.0.0.1:{self.port}/0"

    def client(self) -> redis.Redis:
        return redis.Redis(port=self.port)

    def start(self) -> None:
        with open(self.directory / "redis.log", "ab") as log:
            self.process = subprocess.Popen(
                ["redis-server", str(REDIS_CONF), "--port", str(self.port), "--dir", str(self.directory)],
                stdout=log, stderr=subprocess.STDOUT, env=TOOL_ENV,
            )

        def answers() -> bool:
            with contextlib.suppress(redis.ConnectionError):
                return self.client().ping()
            return False

        wait_for(answers, START_SECONDS, "redis-server to answer")

    def stop(self) -> None:
        if self.process is not None:
            stop_process(self.process)
            self.process = None

    def restart(self) -> None:
        self.stop()
        self.start()


class Worker:
    """One celery worker node, with WORKER_PROCESSES pool processes unless told otherwise."""

    def __init__(self, directory: Path, broker: Broker, node: str = NODE, processes: int = WORKER_PROCESSES,
                 **settings: str) -> None:
        env = dict(TOOL_ENV, VANTREL_BROKER_URL=broker.url, VANTREL_RESULT_BACKEND=broker.url, **settings)
        self.node = node
        self.log = directory / "worker.log"
        with open(self.log, "ab") as log:
            self.process = subprocess.Popen(
                [sys.executable, "-m", "celery", "-A", "vantrel.queue", "worker", "--hostname", node,
                 "--concurrency", str(processes), "--loglevel", "INFO",
                 "--without-gossip", "--without-mingle", "--without-heartbeat"],
                stdout=log, stderr=subprocess.STDOUT, cwd=directory, env=env,
            )
        try:
            wait_for(lambda: queue.app.control.ping([node], timeout=1), START_SECONDS, "the worker to answer")
        except BaseException:
            stop_process(self.process)
            raise

    def pool_processes(self) -> list[int]:
        stats = queue.app.control.inspect([self.node], timeout=5).stats()
        return sorted(stats[self.node]["pool"]["processes"])

    def consume(self, name: str) -> None:
        def added() -> list:
            # After a broker restart the client's pooled connection is
            # found closed once, and the worker needs a moment to reconnect.
            with contextlib.suppress(redis.ConnectionError, OperationalError):
                return queue.app.control.add_consumer(name, destination=[self.node], reply=True, timeout=1)
            return []

        wait_for(added, START_SECONDS, f"the worker to take queue {name}")


# One for the session, defined once for every module: the client keeps its
# connections, and with them the first broker's address, for as long as the
# process lives, so a second broker would never hear it.
@pytest.fixture(scope="session")
def broker(tmp_path_factory: pytest.TempPathFactory):
    if shutil.which("redis-server") is None:
        pytest.fail("redis-server is needed for the queue tests (apt-get install redis-server)")
    broker = Broker(tmp_path_factory.mktemp("redis"))
    queue.app.conf.update(broker_url=broker.url, result_backend=broker.url)
    try:
        broker.start()
        yield broker
    finally:
        queue.app.close()
        broker.stop()


@pytest.fixture(scope="module")
def worker(broker: Broker, tmp_path_factory: pytest.TempPathFactory):
    worker = Worker(tmp_path_factory.mktemp("worker"), broker)
    try:
        yield worker
    finally:
        stop_process(worker.process)


@pytest.fixture
def outputs(tmp_path: Path) -> Path:
    (tmp_path / "out" / "keys").mkdir(parents=True)
    return tmp_path / "out"
