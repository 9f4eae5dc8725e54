"""ClusterMap against bad addresses, bad credentials, a cluster that goes down
and data it did not write: a clear exception within a bounded time, never a
hang. The cluster-down cases run on a cluster of their own."""

import socket
import subprocess
import time
import uuid

import pytest

from redis_cluster import PASSWORD, Cluster, _pick_ports

cluster = pytest.importorskip("fennowick.cluster")
ClusterMap = cluster.ClusterMap
ClusterError, ClusterUnavailable, ClusterAuthError = cluster.ClusterError, cluster.ClusterUnavailable, \
    cluster.ClusterAuthError


def timed(fn):
    t = time.monotonic()
    try:
        fn()
    except Exception as e:
        return e, time.monotonic() - t
    return None, time.monotonic() - t


@pytest.fixture
def silent_port():
    """A port that accepts connections and never answers."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        s.listen(16)
        yield s.getsockname()[1]


def test_unreachable_and_silent_addresses(silent_port):
    port = _pick_ports(1)[0]  # free: nothing listens there
    e, took = timed(lambda: ClusterMap(f"redis://127.0.0.1:{port}", namespace="n", timeout=1))
    assert isinstance(e, ClusterUnavailable) and "did not answer" in str(e) and took < 5
    e, took = timed(lambda: ClusterMap(f"redis://127.0.0.1:{silent_port}", namespace="n", timeout=1))
    assert isinstance(e, ClusterUnavailable) and took < 10, (e, took)


@pytest.mark.parametrize("auth", ["wrong", ""])
def test_bad_credentials(redis_cluster, auth):
    url = redis_cluster.url.replace(f":{PASSWORD}@", f":{auth}@" if auth else "")
    e, took = timed(lambda: ClusterMap(url, namespace="n", timeout=2))
    assert isinstance(e, ClusterAuthError) and isinstance(e, PermissionError), e
    assert PASSWORD not in str(e) and took < 5


def test_a_server_that_is_not_a_cluster(tmp_path):
    port = _pick_ports(1)[0]
    p = subprocess.Popen(["redis-server", "--port", str(port), "--bind", "127.0.0.1", "--save", "",
                          "--appendonly", "no", "--dir", str(tmp_path)], stdout=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            with socket.socket() as s:
                if s.connect_ex(("127.0.0.1", port)) == 0:
                    break
            time.sleep(0.05)
        e, took = timed(lambda: ClusterMap(f"redis://127.0.0.1:{port}", namespace="n", timeout=2))
        assert isinstance(e, ClusterError) and "luster" in str(e) and took < 5, e
    finally:
        p.kill()
        p.wait()


def test_data_written_by_others_is_refused_not_trusted(redis_cluster):
    import redis
    ns = "bad-" + uuid.uuid4().hex[:12]
    admin = redis.RedisCluster.from_url(redis_cluster.url)
    try:
        with ClusterMap(redis_cluster.url, namespace=ns, buckets=1) as d:
            d["k"] = 1
            admin.hset(f"fq:{{{ns}:0}}", "not pickle", b"\x80\x05garbage")
            with pytest.raises(Exception) as e:  # whatever pickle says about it, as a Python exception
                list(d.items())
            assert not isinstance(e.value, ClusterError)
            admin.delete(f"fq:{{{ns}:0}}")
            admin.set(f"fq:{{{ns}:0}}", "a string where a hash belongs")
            for step in (lambda: d.get("k"), lambda: d.insert("k", 2), lambda: len(d), lambda: list(d)):
                with pytest.raises(ClusterError, match="WRONGTYPE"):
                    step()
            admin.delete(f"fq:{{{ns}:0}}")
        for record in (b"something else", b"fennowick-cluster-1 pickle 0", b"fennowick-cluster-1 yaml 8"):
            admin.set(f"fq:{{{ns}}}:meta", record)
            with pytest.raises(ValueError, match="record this version does not read"):
                ClusterMap(redis_cluster.url, namespace=ns)
    finally:
        admin.delete(f"fq:{{{ns}}}:meta", f"fq:{{{ns}:0}}")
        admin.close()


def test_a_cluster_that_goes_down():
    # Three masters, no replicas: a master lost takes its slots away.
    c = Cluster(masters=3, replicas=0)
    try:
        c.start()
        d = ClusterMap(c.url, namespace="n", timeout=1, retry_for=1)
        d.insert_many((i, i) for i in range(100))
        c.kill(c.masters()[0])
        # Until the others notice (cluster-node-timeout), keys elsewhere may
        # still work; every operation either succeeds or raises in time, and
        # each ends up raising.
        steps = {"get": lambda: d.get(1), "insert": lambda: d.insert(2, 2), "len": lambda: len(d),
                 "get_many": lambda: d.get_many(range(20)), "walk": lambda: list(d.items())}
        raised = set()
        deadline = time.monotonic() + 15
        while raised != set(steps) and time.monotonic() < deadline:
            for name, step in steps.items():
                e, took = timed(step)
                assert took < 1 + 1 + 1.5, (name, e, took)
                assert e is None or isinstance(e, ClusterUnavailable), (name, e)
                if e is not None:
                    raised.add(name)
        assert raised == set(steps)
        for port in c.live_ports():
            c.kill(port)
        e, took = timed(lambda: len(d))
        assert isinstance(e, ClusterUnavailable) and took < 5, (e, took)
        e, took = timed(lambda: ClusterMap(f"redis://:{PASSWORD}@127.0.0.1:{c.ports[0]}", namespace="n", timeout=1))
        assert isinstance(e, ClusterUnavailable) and took < 5, (e, took)
        d.close()
    finally:
        c.remove()


def test_open_dict_without_redis_py_names_the_extra():
    code = ("import sys; sys.modules['redis'] = None\n"
            "from fennowick.cluster import open_dict\n"
            "try:\n    open_dict(name='redis://127.0.0.1:1', namespace='n')\n"
            "except ImportError as e:\n    print(e)\n")
    from helpers import run_python
    r = run_python(code)
    assert "pip install 'fennowick[cluster]'" in r.stdout, r.stderr
