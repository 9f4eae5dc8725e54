"""One process, operations per second: quillmap, a single redis-server and
ClusterMap over a Redis Cluster (3 masters with a replica each), side by side.

Rows: insert, get, insert_many and get_many (per entry, blocks of 1,000), and
for the cluster also insert with wait_replicas=1 (WAIT after each write) and
the time of one len(). Keys are ints, values 16 bytes, pickled. Redis is
reached with redis-py (hiredis); its batches are pipelines of SET/GET.

    python bench/python/bench_cluster.py [--n 20000]

Starts its own cluster and server on 127.0.0.1 and stops them at the end.
"""

from __future__ import annotations

import argparse
import pickle
import shutil
import subprocess
import tempfile
import time
import uuid

from fennowick.bench.local_cluster import Cluster, _pick_ports
from fennowick.cluster import ClusterMap
from fennowick.quillmap import quillmap

VALUE = b"0123456789abcdef"


def rate(fn, n: int) -> float:
    t = time.perf_counter()
    fn()
    return n / (time.perf_counter() - t)


def blocks(keys, size=1000):
    return [keys[i:i + size] for i in range(0, len(keys), size)]


def measure_map(d, keys) -> dict[str, float]:
    n = len(keys)
    r = {"insert": rate(lambda: [d.insert(k, VALUE) for k in keys], n),
         "get": rate(lambda: [d.get(k) for k in keys], n)}
    d.clear()
    r["insert_many"] = rate(lambda: [d.insert_many([(k, VALUE) for k in b]) for b in blocks(keys)], n)
    r["get_many"] = rate(lambda: [d.get_many(b) for b in blocks(keys)], n)
    return r


def measure_redis(r, keys) -> dict[str, float]:
    n, dumps, loads = len(keys), pickle.dumps, pickle.loads

    def get_all():
        for k in keys:
            b = r.get(dumps(k))
            loads(b)

    def insert_blocks():
        for b in blocks(keys):
            p = r.pipeline(transaction=False)
            for k in b:
                p.set(dumps(k), dumps(VALUE))
            p.execute()

    def get_blocks():
        for b in blocks(keys):
            p = r.pipeline(transaction=False)
            for k in b:
                p.get(dumps(k))
            [loads(x) for x in p.execute()]

    out = {"insert": rate(lambda: [r.set(dumps(k), dumps(VALUE)) for k in keys], n), "get": rate(get_all, n)}
    r.flushdb()
    out["insert_many"] = rate(insert_blocks, n)
    out["get_many"] = rate(get_blocks, n)
    return out


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--n", type=int, default=20000)
    n = ap.parse_args().n
    keys = list(range(n))
    rows: dict[str, dict[str, float]] = {}

    d = quillmap(size=max(64 << 20, n * 700), bucket_chunk_size_exponent=10, bucket_chunk_number=1 << 14)
    rows["quillmap"] = measure_map(d, keys)
    d.unlink()
    d.close()

    import redis
    port, tmp = _pick_ports(1)[0], tempfile.mkdtemp(prefix="bench-redis-")
    server = subprocess.Popen(["redis-server", "--port", str(port), "--bind", "127.0.0.1", "--save", "",
                               "--appendonly", "no", "--dir", tmp], stdout=subprocess.DEVNULL)
    c = Cluster()
    try:
        r = redis.Redis(host="127.0.0.1", port=port)
        for _ in range(200):
            try:
                r.ping()
                break
            except redis.ConnectionError:
                time.sleep(0.05)
        rows["Redis (one server)"] = measure_redis(r, keys)
        r.close()

        c.start()
        c.wait_replicated()
        with ClusterMap(c.url, namespace="bench-" + uuid.uuid4().hex[:8]) as m:
            rows["ClusterMap"] = measure_map(m, keys)
            m.clear()
            t = time.perf_counter()
            for _ in range(200):
                len(m)
            len_ms = (time.perf_counter() - t) / 200 * 1000
            m.unlink()
        with ClusterMap(c.url, namespace="bench-" + uuid.uuid4().hex[:8], wait_replicas=1) as w:
            rows["ClusterMap, wait_replicas=1"] = measure_map(w, keys)
            w.unlink()
    finally:
        c.remove()
        server.kill()
        server.wait()
        shutil.rmtree(tmp, ignore_errors=True)

    cols = ("insert", "get", "insert_many", "get_many")
    print(f"n={n}, one process; operations (entries) per second")
    print(f"| {'system':<28} | " + " | ".join(f"{c:>11}" for c in cols) + " |")
    print(f"|{'-' * 30}|" + "|".join("-" * 12 + ":" for _ in cols) + "|")
    for name, r in rows.items():
        print(f"| {name:<28} | " + " | ".join(f"{r[c] / 1000:>9.1f} k" for c in cols) + " |")
    print(f"len() of the cluster namespace (256 buckets, 3 masters): {len_ms:.2f} ms")


if __name__ == "__main__":
    main()
