"""One process, operations per second: quillmap, a single redis-server and
ClusterMap over a Redis Cluster (3 masters with a replica each), side by side.

Rows: insert, get, insert_many and get_many (per entry, blocks of 1,000), and
for the cluster also insert with wait_replicas=1 (WAIT after each write) and
the time of one len(). Keys are ints, values 16 bytes, pickled. Redis is
reached with redis-py (hiredis); its batches are pipelines of SET/GET.

    python bench/python/bench_cluster.py [--n 20000] [--repeat 3] [--write docs/benchmarks.md]

Starts its own cluster and server on 127.0.0.1 and stops them at the end.
Each round measures every system in turn; the median of the rounds is shown.
"""

from __future__ import annotations

import argparse
import os
import pickle
import shutil
import statistics
import subprocess
import tempfile
import time
import uuid

from fennowick.bench.local_cluster import Cluster, _pick_ports
from fennowick.cluster import ClusterMap
from fennowick.quillmap import quillmap

VALUE = b"0123456789abcdef"
NAME = "bench_cluster.py"  # of its section in a report


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
    ap.add_argument("--repeat", type=int, default=3, help="rounds over all systems; the median is shown")
    ap.add_argument("--write", metavar="REPORT", help="also put the table into this Markdown file (such as "
                    "docs/benchmarks.md) as a section that `quillmap bench` keeps")
    args = ap.parse_args()
    started, load = time.strftime("%Y-%m-%d %H:%M"), os.getloadavg()[0]
    n = args.n
    keys = list(range(n))
    runs: dict[str, list[dict[str, float]]] = {}

    import redis
    port, tmp = _pick_ports(1)[0], tempfile.mkdtemp(prefix="bench-redis-")
    server = subprocess.Popen(["redis-server", "--port", str(port), "--bind", "127.0.0.1", "--save", "",
                               "--appendonly", "no", "--dir", tmp], stdout=subprocess.DEVNULL)
    c = Cluster()
    lens: list[float] = []
    try:
        r = redis.Redis(host="127.0.0.1", port=port)
        for _ in range(200):
            try:
                r.ping()
                break
            except redis.ConnectionError:
                time.sleep(0.05)
        c.start()
        c.wait_replicated()

        def on_quillmap():
            d = quillmap(size=max(64 << 20, n * 700), bucket_chunk_size_exponent=10, bucket_chunk_number=1 << 14)
            try:
                return measure_map(d, keys)
            finally:
                d.unlink()
                d.close()

        def on_redis():
            r.flushdb()
            return measure_redis(r, keys)

        def on_cluster(wait: int):
            with ClusterMap(c.url, namespace="bench-" + uuid.uuid4().hex[:8], wait_replicas=wait) as m:
                out = measure_map(m, keys)
                if not wait:
                    t = time.perf_counter()
                    for _ in range(200):
                        len(m)
                    lens.append((time.perf_counter() - t) / 200 * 1000)
                m.unlink()
                return out

        systems = {"quillmap": on_quillmap, "Redis (one server)": on_redis,
                   "ClusterMap": lambda: on_cluster(0), "ClusterMap, wait_replicas=1": lambda: on_cluster(1)}
        for _ in range(args.repeat):  # rounds over all systems, so that a busy moment hits them alike
            for name, measure in systems.items():
                runs.setdefault(name, []).append(measure())
        r.close()
    finally:
        c.remove()
        server.kill()
        server.wait()
        shutil.rmtree(tmp, ignore_errors=True)

    cols = ("insert", "get", "insert_many", "get_many")
    table = [f"| system | {' | '.join(cols)} |", "|---|" + "---:|" * len(cols)]
    for name, rounds in runs.items():
        cells = [statistics.median(x[c] for x in rounds) for c in cols]
        table.append(f"| {name} | " + " | ".join(f"{v / 1e6:.2f} M/s" if v >= 1e6 else f"{v / 1000:.1f} k/s"
                                                  for v in cells) + " |")
    len_line = (f"len() of a ClusterMap namespace (256 buckets, HLEN pipelined per master): "
                f"{statistics.median(lens):.2f} ms.")
    print(f"n={n}, one process, median of {args.repeat} rounds; operations (entries) per second")
    print("\n".join(table))
    print(len_line)
    if args.write:
        write_section(args.write, args, started, load, table, len_line)


def write_section(path: str, args: argparse.Namespace, started: str, load: float, table: list[str],
                  len_line: str) -> None:
    import redis
    server = subprocess.run(["redis-server", "--version"], capture_output=True, text=True).stdout
    server = next((w[2:] for w in server.split() if w.startswith("v=")), "?")
    try:
        import hiredis
        client = f"redis-py {redis.__version__} with hiredis {hiredis.__version__}"
    except ImportError:
        client = f"redis-py {redis.__version__}"
    command = f"python bench/python/bench_cluster.py --n {args.n} --repeat {args.repeat} --write {args.write}"
    lines = [f"<!-- kept: {NAME} -->",
             "## Redis Cluster beside quillmap and one Redis server: single operations and batches", "",
             "Made with:", "", f"    {command}  # {started}, load average {load:.1f} at the start", "",
             f"One process on {os.cpu_count()} cores; redis-server {server}, {client}. Int keys, 16-byte values, "
             f"pickled; {args.n:,} entries; entries per second, the median of {args.repeat} rounds, each "
             "round measuring every system in turn with all servers up. Batches are insert_many and "
             "get_many in blocks of 1,000 (on the one Redis server, pipelines of SET and GET). ClusterMap "
             "runs over a cluster of 3 masters with a replica each on 127.0.0.1 (256 buckets); with "
             "wait_replicas=1 every write waits for a replica's confirmation (WAIT), a batch once per "
             "master and block.", "", *table, "", len_line, "<!-- /kept -->", ""]
    block = "\n".join(lines)
    try:
        with open(path) as f:
            text = f.read()
    except FileNotFoundError:
        text = ""
    begin, end = text.find(f"<!-- kept: {NAME} -->"), text.find("<!-- /kept -->\n", text.find(f"<!-- kept: {NAME} -->"))
    if begin >= 0 and end >= 0:
        text = text[:begin] + block + text[end + len("<!-- /kept -->\n"):]
    else:
        text = text.rstrip("\n") + "\n\n" + block
    with open(path, "w") as f:
        f.write(text)
    print(f"wrote the section to {path}")


if __name__ == "__main__":
    main()
