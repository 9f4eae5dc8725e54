"""The dictionary API over both backends: a quillmap file and a namespace of a
real Redis Cluster (the session's, see redis_cluster.py) give the same results
for the same steps; what only the cluster has (its namespace record, names,
the backend-picking helper) is checked after."""

import pickle
import uuid

import pytest

from fennowick.quillmap import quillmap
from helpers import SAMPLE, SMALL
from test_dict_api import SCRIPTS, apply

cluster = pytest.importorskip("fennowick.cluster")
ClusterMap = cluster.ClusterMap


def fresh_namespace() -> str:
    return "t-" + uuid.uuid4().hex[:12]


@pytest.fixture
def cluster_map(redis_cluster):
    d = ClusterMap(redis_cluster.url, namespace=fresh_namespace())
    yield d
    if not d.closed:
        d.unlink()
        d.close()


def make(backend, redis_cluster, **options):
    if backend == "quillmap":
        return quillmap(**SMALL, **options)
    return ClusterMap(redis_cluster.url, namespace=fresh_namespace(), **options)


def dispose(d):
    if isinstance(d, ClusterMap):
        if d.closed:
            d = ClusterMap(d.name.replace("redis://", f"redis://:{redis_password()}@", 1))
        d.unlink()
    elif not d.closed:
        d.unlink()
    d.close()


def redis_password():
    from redis_cluster import PASSWORD
    return PASSWORD


@pytest.fixture(params=["quillmap", "cluster"])
def backend(request):
    """The name of a backend; the cluster one brings the session's cluster up."""
    if request.param == "cluster":
        request.getfixturevalue("redis_cluster")
    return request.param


@pytest.fixture
def either(backend, request):
    """A fresh empty map of each backend."""
    rc = request.getfixturevalue("redis_cluster") if backend == "cluster" else None
    d = make(backend, rc)
    yield d
    dispose(d)


@pytest.mark.parametrize("script", SCRIPTS.values(), ids=SCRIPTS.keys())
def test_steps_agree_with_a_dict(either, script):
    model = {}
    for step in script:
        assert apply(either, *step) == apply(model, *step), step


@pytest.mark.parametrize("serializer", ["pickle", "json", "orjson", "msgpack", "msgspec"])
def test_result_shapes_and_serializers(backend, request, serializer):
    rc = request.getfixturevalue("redis_cluster") if backend == "cluster" else None
    d = make(backend, rc, serializer=serializer)
    try:
        assert d.insert("k", [1, "two"]) == 1 and d.insert("k", {"x": 1}) == 1
        assert d.get("k") == [True, {"x": 1}] and d.get("nope") == [False]
        assert d.remove("k") == 1 and d.remove("k") == 0 and len(d) == 0
        assert d.insert_many([("a", 1), ("b", None)]) == 2
        assert d.get_many(["b", "zz", "a"]) == [[True, None], [False], [True, 1]]
    finally:
        dispose(d)


def test_keys_are_equal_by_their_bytes(either):
    # 1, 1.0 and True are three keys; equal bytes are one key.
    either[1], either[1.0], either[True] = "int", "float", "bool"
    either[(1, "a")] = "t1"
    either[(1, "a")] = "t2"
    assert len(either) == 4
    assert (either[1], either[1.0], either[True], either[(1, "a")]) == ("int", "float", "bool", "t2")


def test_sample_keys_round_trip_and_walk(either):
    either.insert_many(SAMPLE)
    assert sorted(either.items(), key=repr) == sorted(SAMPLE, key=repr)
    assert sorted(either.values(), key=repr) == sorted((v for _, v in SAMPLE), key=repr)


def test_close_and_context_manager(backend, request):
    rc = request.getfixturevalue("redis_cluster") if backend == "cluster" else None
    d = make(backend, rc)
    with d as same:
        assert same is d
        d["a"] = 1
    assert d.closed
    d.close()  # idempotent
    for step in (lambda: d.get("a"), lambda: d.insert("a", 2), lambda: len(d), lambda: "a" in d,
                 lambda: list(d.items()), lambda: d.get_many(["a"]), lambda: d.stats()):
        with pytest.raises(ValueError, match="closed"):
            step()
    assert "closed" in repr(d)
    dispose(d)


def test_repr_and_stats_count_the_entries(either):
    either.insert_many([(i, i) for i in range(30)])
    assert "entries=30" in repr(either)
    stats = either.stats()
    assert stats["entries"] == 30


# --- what only the cluster has ---

def test_walk_with_many_entries_per_bucket(redis_cluster):
    # 3000 entries in 2 buckets: Redis keeps them in hash tables (not in the
    # small packed form), which HSCAN walks in many steps.
    with ClusterMap(redis_cluster.url, namespace=fresh_namespace(), buckets=2) as d:
        d.insert_many((i, -i) for i in range(3000))
        assert len(d) == 3000
        keys = list(d.keys())
        assert sorted(keys) == list(range(3000))
        assert dict(d.items()) == {i: -i for i in range(3000)}
        d.clear()
        assert len(d) == 0 and list(d) == []
        d.unlink()


def test_namespaces_do_not_mix(redis_cluster, cluster_map):
    other = ClusterMap(redis_cluster.url, namespace=cluster_map.namespace + "-other")
    try:
        cluster_map.insert_many([(i, "mine") for i in range(50)])
        other["x"] = "theirs"
        assert len(other) == 1 and list(other.items()) == [("x", "theirs")]
        assert other.get(3) == [False]
        cluster_map.clear()
        assert other["x"] == "theirs"
        other.unlink()
        assert len(cluster_map) == 0 and len(other) == 0
    finally:
        other.close()


def test_keys_outside_the_namespaces_are_never_touched(redis_cluster, cluster_map):
    import redis
    rc = redis.RedisCluster.from_url(redis_cluster.url)
    try:
        rc.set("user:key", "kept")
        rc.hset("fq:plain", "f", "kept")
        cluster_map.insert_many([(i, i) for i in range(100)])
        cluster_map.clear()
        cluster_map.unlink()
        assert rc.get("user:key") == b"kept" and rc.hget("fq:plain", "f") == b"kept"
    finally:
        rc.delete("user:key", "fq:plain")
        rc.close()


def test_the_namespace_record_is_adopted_and_checked(redis_cluster):
    ns = fresh_namespace()
    with ClusterMap(redis_cluster.url, namespace=ns, serializer="json", buckets=8) as d:
        d["k"] = [1, 2]
        with ClusterMap(redis_cluster.url, namespace=ns) as e:  # adopts json and 8 buckets
            assert e.stats()["serializer"] == "json" and e.stats()["buckets"] == 8
            assert e["k"] == [1, 2]
        with pytest.raises(ValueError, match="serializer 'json', not 'pickle'"):
            ClusterMap(redis_cluster.url, namespace=ns, serializer="pickle")
        with pytest.raises(ValueError, match="8 buckets, not 16"):
            ClusterMap(redis_cluster.url, namespace=ns, buckets=16)
        d.unlink()


def test_name_opens_the_same_entries_and_hides_the_password(cluster_map):
    cluster_map["a"] = 1
    name = cluster_map.name
    assert name.startswith("redis://127.0.0.1:") and "quillmap-test" not in name
    assert f"namespace={cluster_map.namespace}" in name
    with ClusterMap(name.replace("redis://", f"redis://:{redis_password()}@")) as same:
        assert same["a"] == 1 and len(same) == 1


def test_a_pickled_cluster_map_reopens(cluster_map):
    cluster_map["a"] = 1
    with pickle.loads(pickle.dumps(cluster_map)) as copy:
        assert copy.namespace == cluster_map.namespace and copy["a"] == 1


def test_expansion_does_nothing(cluster_map):
    cluster_map["a"] = 1
    assert cluster_map.expansion() == 0 and cluster_map.expansion(4) == 0
    assert cluster_map["a"] == 1


def test_atomic_pop_and_setdefault_against_a_racing_process(redis_cluster, cluster_map):
    # Two processes pop the same 200 keys: each value is popped exactly once.
    import multiprocessing as mp
    cluster_map.insert_many([(i, i) for i in range(200)])
    ctx = mp.get_context("fork")
    q = ctx.Queue()
    ps = [ctx.Process(target=_pop_all, args=(cluster_map.name, redis_password(), q)) for _ in range(2)]
    for p in ps:
        p.start()
    got = [q.get(timeout=60) for _ in ps]
    for p in ps:
        p.join(30)
    assert sorted(got[0] + got[1]) == list(range(200)) and len(cluster_map) == 0


def _pop_all(name, password, q):
    d = ClusterMap(name.replace("redis://", f"redis://:{password}@"))
    q.put([v for v in (d.pop(i, None) for i in range(200)) if v is not None])
    d.close()


@pytest.mark.parametrize("kwargs, error", [
    (dict(namespace=""), "namespace"),
    (dict(namespace=None), "namespace"),
    (dict(namespace="a{b"), "'{' or '}'"),
    (dict(namespace="n", serializer="yaml"), "Invalid serializer"),
    (dict(namespace="n", buckets=0), "buckets"),
    (dict(namespace="n", wait_replicas=-1), "wait_replicas"),
])
def test_bad_arguments_are_refused(redis_cluster, kwargs, error):
    with pytest.raises(ValueError, match=error):
        ClusterMap(redis_cluster.url, **kwargs)


@pytest.mark.parametrize("url, error", [
    ("http://127.0.0.1:1", ValueError),
    ("127.0.0.1:7000", ValueError),
    (b"redis://127.0.0.1:1", TypeError),
])
def test_bad_urls_are_refused(url, error):
    with pytest.raises(error):
        ClusterMap(url, namespace="n")


def test_open_dict_picks_the_backend_from_the_name(redis_cluster):
    local = cluster.open_dict(**SMALL)
    try:
        assert isinstance(local, quillmap)
        local["a"] = 1
        for name in (local.name, local.name.decode()):
            with cluster.open_dict(name=name) as again:
                assert isinstance(again, quillmap) and again["a"] == 1
    finally:
        local.unlink()
        local.close()
    remote = cluster.open_dict(name=redis_cluster.url, namespace=fresh_namespace())
    try:
        assert isinstance(remote, ClusterMap)
        remote["a"] = 2
        name = remote.name.replace("redis://", f"redis://:{redis_password()}@")
        with cluster.open_dict(name=name) as again:
            assert isinstance(again, ClusterMap) and again["a"] == 2
    finally:
        remote.unlink()
        remote.close()


def test_the_stubs_match_the_module_and_accept_what_users_write(tmp_path):
    import subprocess
    import sys
    pytest.importorskip("mypy")
    src = tmp_path / "user.py"
    src.write_text(
        "from fennowick.cluster import ClusterMap, ClusterError, open_dict\n"
        "from fennowick.quillmap import quillmap\n"
        "with ClusterMap('redis://h:7000', namespace='n', serializer='json', wait_replicas=1) as d:\n"
        "    n: int = d.insert('a', 1) + d.remove('a') + d.insert_many({'b': 2}) + len(d)\n"
        "    name: str = d.name\n"
        "    pairs = [(k, v) for k, v in d.items()]\n"
        "local: quillmap = open_dict(size=1 << 24)\n"
        "either = open_dict(name=name)\n"
        "either['x'] = either.get('x')\n")
    for args in (["mypy", "--strict", "--no-incremental", str(src)], ["mypy.stubtest", "fennowick.cluster"]):
        r = subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, timeout=300, cwd=tmp_path)
        assert r.returncode == 0, r.stdout + r.stderr


def test_a_walk_on_a_map_closed_under_it_raises_value_error(redis_cluster):
    d = ClusterMap(redis_cluster.url, namespace=fresh_namespace(), buckets=4)
    d.insert_many((i, i) for i in range(100))
    walk = d.items()
    next(walk)
    name = d.name
    d.close()
    with pytest.raises(ValueError, match="closed"):
        list(walk)
    ClusterMap(name.replace("redis://", f"redis://:{redis_password()}@")).unlink()
