"""A master killed with SIGKILL, or stopped until its replica took over and
then let go on, under the write load of two processes (see cluster_failover.py,
which also prints the figures): the writers go on after the replica takes
over, only ClusterMap's documented errors reach them, and with
wait_replicas=1 no acknowledged insert is lost."""

import pytest

pytest.importorskip("fennowick.cluster")

from cluster_failover import one_round  # noqa: E402
from redis_cluster import Cluster  # noqa: E402


@pytest.fixture(scope="module")
def own_cluster():
    c = Cluster()  # killing masters would disturb the session's cluster
    try:
        c.start()
        c.wait_replicated()
        yield c
    finally:
        c.remove()


@pytest.mark.parametrize("pause", [False, True], ids=["killed", "paused"])
@pytest.mark.parametrize("wait", [0, 1])
def test_writers_resume_after_a_master_fails(own_cluster, wait, pause):
    r = one_round(own_cluster, wait, pause=pause)
    print(r)
    assert r["escaped"] == []
    assert set(r["errors"]) <= {"ClusterUnavailable", "NotReplicated"}
    assert r["stall_s"] < 15 and r["acknowledged"] > 100
    if wait:
        assert r["lost"] == 0
