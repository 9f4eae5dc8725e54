"""ClusterMap used by several processes at once, against the session's real
Redis Cluster: nothing written is lost, len() stays exact, and walks yield
every entry present for the whole walk exactly once while others write."""

import collections
import multiprocessing as mp
import uuid

import pytest

from helpers import join_all

cluster = pytest.importorskip("fennowick.cluster")
ClusterMap = cluster.ClusterMap


def _writer(url, namespace, me, n, done):
    d = ClusterMap(url, namespace=namespace)
    for i in range(n):
        d.insert((me, i), [me, i])
        d[("shared", i % 50)] = me
    d.insert_many(((me, "batch", i), i) for i in range(n))
    for i in range(0, n, 2):
        assert d.remove((me, i)) == 1
    done.put(me)
    d.close()


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_processes_writing_at_once_lose_nothing(redis_cluster, method):
    ns = "p-" + uuid.uuid4().hex[:12]
    n, writers = 300, 4
    ctx = mp.get_context(method)
    done = ctx.Queue()
    ps = [ctx.Process(target=_writer, args=(redis_cluster.url, ns, me, n, done)) for me in range(writers)]
    for p in ps:
        p.start()
    assert join_all(ps) == [0] * writers
    with ClusterMap(redis_cluster.url, namespace=ns) as d:
        expected = {}
        for me in range(writers):
            expected.update({(me, i): [me, i] for i in range(1, n, 2)})
            expected.update({(me, "batch", i): i for i in range(n)})
        shared = {k: v for k, v in d.items() if k[0] == "shared"}
        assert len(shared) == 50 and set(shared.values()) <= set(range(writers))
        expected.update(shared)
        assert len(d) == len(expected)
        assert d.get_many(list(expected)) == [[True, v] for v in expected.values()]
        assert dict(d.items()) == expected
        d.unlink()


def _churn(url, namespace, rounds, started):
    d = ClusterMap(url, namespace=namespace)
    started.set()
    for r in range(rounds):
        d.insert_many((("churn", r, i), i) for i in range(2000))  # grows the bucket's table...
        for i in range(2000):
            d.remove(("churn", r, i))  # ...and empties it again
    d.close()


def test_walks_yield_every_lasting_entry_once_while_others_write(redis_cluster):
    # One bucket, so that every write lands in the hash being walked and
    # resizes it under the walk (HSCAN may then return a field twice).
    ns = "w-" + uuid.uuid4().hex[:12]
    with ClusterMap(redis_cluster.url, namespace=ns, buckets=1) as d:
        lasting = {("keep", i): i for i in range(3000)}
        d.insert_many(lasting)
        ctx = mp.get_context("fork")
        started = ctx.Event()
        p = ctx.Process(target=_churn, args=(redis_cluster.url, ns, 4, started))
        p.start()
        started.wait(30)
        walks = 0
        while p.is_alive() or walks < 2:
            seen = collections.Counter(d.keys())
            assert max(seen.values()) == 1  # no key twice in one walk
            assert all(seen[k] == 1 for k in lasting)
            walks += 1
        assert join_all([p]) == [0]
        assert dict(d.items()) == lasting and len(d) == len(lasting)
        d.unlink()


def test_len_stays_exact_under_concurrent_inserts_and_removes(redis_cluster):
    ns = "l-" + uuid.uuid4().hex[:12]
    ctx = mp.get_context("fork")
    done = ctx.Queue()
    ps = [ctx.Process(target=_writer, args=(redis_cluster.url, ns, me, 200, done)) for me in range(3)]
    with ClusterMap(redis_cluster.url, namespace=ns) as d:
        for p in ps:
            p.start()
        sizes = []
        while any(p.is_alive() for p in ps):
            sizes.append(len(d))
        assert join_all(ps) == [0, 0, 0]
        # each writer ends with 100 + 200 own entries; 50 shared keys
        assert len(d) == 3 * 300 + 50 == len(list(d.keys()))
        assert all(0 <= s <= 3 * 400 + 50 for s in sizes)
        d.unlink()


def _walk_across(redis_cluster, prefix, disrupt):
    """Walks 3,000 entries of a one-bucket namespace, calling disrupt(ns)
    half-way; returns what the walk gave and the open map."""
    ns = prefix + uuid.uuid4().hex[:12]
    d = ClusterMap(redis_cluster.url, namespace=ns, buckets=1)
    try:
        d.insert_many((i, i) for i in range(3000))
        walk = d.keys()
        got = [next(walk) for _ in range(1500)]
        disrupt(ns)
        got += list(walk)
    except BaseException:
        d.close()
        raise
    return got, d


def test_a_walk_goes_on_after_the_servers_drop_its_connections(redis_cluster):
    # The servers drop every client connection in the middle of a walk: the
    # walk reconnects and gives every entry once (the cursor lives with the client).
    import redis

    def drop_connections(ns):
        admin = redis.RedisCluster.from_url(redis_cluster.url)
        killed = admin.execute_command("CLIENT KILL", "TYPE", "normal", "SKIPME", "yes",
                                       target_nodes=redis.RedisCluster.PRIMARIES)
        admin.close()
        assert sum(killed.values()) >= 1

    got, d = _walk_across(redis_cluster, "c-", drop_connections)
    with d:
        assert sorted(got) == list(range(3000))
        d.unlink()


def test_a_walk_goes_on_after_its_bucket_moves_to_another_master(redis_cluster):
    # A resharding moves the bucket's slot in the middle of a walk: the cursor
    # was a position in the old master's table, so the walk starts the bucket
    # again on the new one, without giving an entry twice.
    from redis_cluster import _cli

    def move_bucket(ns):
        slot = int(_cli(redis_cluster.live_ports()[0], "cluster", "keyslot", f"fq:{{{ns}:0}}"))
        src = redis_cluster.owner(slot)
        redis_cluster.move_slot(slot, next(p for p in redis_cluster.masters() if p != src))

    got, d = _walk_across(redis_cluster, "m-", move_bucket)
    with d:
        assert sorted(got) == list(range(3000))
        assert len(d) == 3000 and d[2999] == 2999
        d.unlink()


def _use_inherited(d, me, q):
    d.insert_many(((me, i), i) for i in range(100))
    q.put((len(d) >= 100, d.get((me, 5))))


def test_a_cluster_map_made_before_fork_works_in_the_children(redis_cluster):
    with ClusterMap(redis_cluster.url, namespace="f-" + uuid.uuid4().hex[:12]) as d:
        d["parent"] = 1  # connections open before the fork
        ctx = mp.get_context("fork")
        q = ctx.Queue()
        ps = [ctx.Process(target=_use_inherited, args=(d, me, q)) for me in range(3)]
        for p in ps:
            p.start()
        got = [q.get(timeout=60) for _ in ps]
        assert join_all(ps) == [0, 0, 0]
        assert got == [(True, [True, 5])] * 3
        assert len(d) == 301 and d["parent"] == 1
        d.unlink()


_RUN = """
import os, signal
def test_with_the_cluster(redis_cluster):
    with open(os.environ["NODES"], "w") as f:
        f.write(redis_cluster.dir + " " + " ".join(str(p.pid) for p in redis_cluster.procs.values()))
    {end}
"""


def _gone(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


@pytest.mark.parametrize("end", ["assert False, 'a test that fails'", "os.kill(os.getpid(), signal.SIGKILL)"],
                         ids=["test-fails", "runner-killed"])
def test_the_session_cluster_is_stopped_however_the_run_ends(tmp_path, monkeypatch, end):
    import os
    import shutil
    import signal
    import time

    from helpers import run_python
    (tmp_path / "test_run.py").write_text(_RUN.format(end=end))
    monkeypatch.setenv("NODES", str(tmp_path / "nodes"))
    r = run_python(f"import pytest, sys; sys.exit(pytest.main(['-q', '-p', 'no:cacheprovider', '-p', "
                   f"'redis_cluster', {str(tmp_path / 'test_run.py')!r}]))")
    assert r.returncode == (1 if "assert" in end else -9), r.stdout + r.stderr
    folder, *pids = (tmp_path / "nodes").read_text().split()
    try:
        assert len(pids) == 6
        deadline = time.monotonic() + 30
        while not all(_gone(int(p)) for p in pids) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert [p for p in pids if not _gone(int(p))] == []
        if "assert" in end:
            assert not os.path.exists(folder)
    finally:  # whatever the outcome, leave no server of this test behind
        for p in pids:
            if not _gone(int(p)):
                os.kill(int(p), signal.SIGKILL)
        shutil.rmtree(folder, ignore_errors=True)
