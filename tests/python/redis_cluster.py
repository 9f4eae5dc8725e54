"""A real Redis Cluster on loopback for the tests: three masters, three replicas.

Registered as a pytest plugin by conftest.py. The session fixture
`redis_cluster` starts six Debian `redis-server` processes in cluster mode
(no persistence, bound to 127.0.0.1, on ports found free, their files in a
temporary directory), joins them with `redis-cli --cluster create
--cluster-replicas 1`, waits for `cluster_state:ok` on every node and stops
them all when the session ends, also after a failure or an interrupt (see
fennowick/bench/local_cluster.py, shared with `quillmap bench`).

Run on its own (`python tests/python/redis_cluster.py`) it starts a cluster,
prints its URL and keeps it up until Ctrl-C: for benchmarks and trials.
"""

import signal
import sys
import time

import pytest

from fennowick.bench.local_cluster import PASSWORD, Cluster, _cli, _pick_ports  # noqa: F401


@pytest.fixture(scope="session")
def redis_cluster():
    """The session's Redis Cluster (started on first use)."""
    pytest.importorskip("redis", reason="redis-py is not installed (pip install fennowick[cluster])")
    c = Cluster()
    try:
        c.start()
        yield c
    finally:
        c.remove()


if __name__ == "__main__":
    c = Cluster()
    try:
        c.start()
        print(c.url, flush=True)
        signal.signal(signal.SIGTERM, signal.default_int_handler)
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass
    finally:
        c.remove()
        sys.exit(0)
