"""Large values: get and replace of 4 KiB and 64 KiB values, quillmap beside lmdb.

For each value size, --keys keys (ints) with values of random bytes, the same
pickled bytes for both stores: a get of every key, then a replace of every
key with a value of the same size, each pass timed with the collector off and
the best of --repeat kept. lmdb runs one transaction per operation, as a
program that shares it between processes would, and stores the pickled
bytes. Then the bytes a 64 KiB value takes in a map file, for each
chunk_size_exponent given.

    python bench/python/bench_values.py
    python bench/python/bench_values.py --quick        # to keep it working
    python bench/python/bench_values.py --exponents 5,6,8,10

Both stores live in the same directory (TMPDIR, else /dev/shm when writable,
where new maps go by default).
Compare the ratios of one run, on an otherwise idle machine.
"""

from __future__ import annotations

import argparse
import gc
import os
import pickle
import shutil
import tempfile
import time

from fennowick.quillmap import quillmap

SIZES = (4096, 65536)
NAMES = {4096: "4 KiB", 65536: "64 KiB"}


def where() -> str:
    if os.environ.get("TMPDIR"):
        return os.environ["TMPDIR"]
    if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK):
        return "/dev/shm"
    return tempfile.gettempdir()


def best_rate(fn, n: int) -> float:
    """Operations per second of one pass of n operations, collector off."""
    gc.disable()
    try:
        t = time.perf_counter()
        fn()
        return n / (time.perf_counter() - t)
    finally:
        gc.enable()


def values(n: int, size: int) -> list[bytes]:
    return [os.urandom(size) for _ in range(n)]


class Quillmap:
    name = "quillmap"

    def __init__(self, keys, first, second, exponent=5):
        total = sum(len(v) for v in first)
        self.d = quillmap(size=max(64 << 20, 4 * total), bucket_chunk_size_exponent=12,
                          chunk_size_exponent=exponent)
        for k, v in zip(keys, first):
            self.d.insert(k, v)
        get, insert = self.d.get, self.d.insert

        def gets():
            for k in keys:
                get(k)

        def replaces():
            for vs in (second, first):
                for k, v in zip(keys, vs):
                    insert(k, v)

        self.gets, self.replaces = gets, replaces

    def close(self):
        self.d.unlink()
        self.d.close()


class Lmdb:
    name = "lmdb"

    def __init__(self, keys, first, second):
        import lmdb

        total = sum(len(v) for v in first)
        self.path = tempfile.mkdtemp(dir=where())
        self.env = env = lmdb.open(self.path, map_size=max(64 << 20, 8 * total), sync=False, metasync=False)
        dumps, loads = pickle.dumps, pickle.loads
        with env.begin(write=True) as txn:
            for k, v in zip(keys, first):
                txn.put(dumps(k), dumps(v))

        def gets():
            for k in keys:
                with env.begin() as txn:
                    loads(txn.get(dumps(k)))

        def replaces():
            for vs in (second, first):
                for k, v in zip(keys, vs):
                    with env.begin(write=True) as txn:
                        txn.put(dumps(k), dumps(v))

        self.gets, self.replaces = gets, replaces

    def close(self):
        self.env.close()
        shutil.rmtree(self.path, ignore_errors=True)


def compare(keys, size: int, repeat: int, exponent: int) -> dict[tuple[str, str], float]:
    """Best rates of both stores, their passes taken in turn so that a change
    in the machine's load falls on both alike."""
    first, second = values(len(keys), size), values(len(keys), size)
    stores = [Quillmap(keys, first, second, exponent), Lmdb(keys, first, second)]
    best: dict[tuple[str, str], float] = {}
    try:
        for _ in range(repeat):
            for op in ("get", "replace"):
                for s in stores:
                    fn, n = (s.gets, len(keys)) if op == "get" else (s.replaces, 2 * len(keys))
                    best[(s.name, op)] = max(best.get((s.name, op), 0.0), best_rate(fn, n))
    finally:
        for s in stores:
            s.close()
    return best


def space(exponent: int, n: int = 200) -> tuple[int, float]:
    """Arena bytes taken per 64 KiB value stored with this chunk_size_exponent."""
    d = quillmap(size=64 << 20, bucket_chunk_size_exponent=10, chunk_size_exponent=exponent)
    try:
        before = d.stats()["arena_used"]
        v = os.urandom(65536)
        for k in range(n):
            d.insert(k, v)
        used = d.stats()["arena_used"] - before
        return 1 << exponent, used / n
    finally:
        d.unlink()
        d.close()


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--keys", type=int, default=2000)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--quick", action="store_true", help="200 keys, one pass")
    ap.add_argument("--exponent", type=int, default=5, help="quillmap's chunk_size_exponent for the timed runs")
    ap.add_argument("--exponents", default="5,6,7", help="chunk_size_exponent values for the space table")
    args = ap.parse_args()
    if args.quick:
        args.keys, args.repeat = 200, 1
    keys = list(range(args.keys))
    print(f"{args.keys} keys, best of {args.repeat} passes taken in turn, chunk_size_exponent {args.exponent}, "
          f"files in {where()}")
    print(f"{'operation':<16}{'quillmap':>14}{'lmdb':>14}{'ratio':>8}")
    for size in SIZES:
        best = compare(keys, size, args.repeat, args.exponent)
        for op in ("get", "replace"):
            q, lm = best[("quillmap", op)], best[("lmdb", op)]
            print(f"{op + ' ' + NAMES[size]:<16}{q / 1e3:>12.1f} k{lm / 1e3:>12.1f} k{q / lm:>8.2f}")
    print()
    print(f"{'chunk_size_exponent':<22}{'unit':>6}{'bytes per 64 KiB value':>26}{'overhead':>10}")
    for e in (int(x) for x in args.exponents.split(",")):
        unit, per = space(e)
        print(f"{e:<22}{unit:>6}{per:>26,.0f}{per / 65536 - 1:>10.0%}")


if __name__ == "__main__":
    main()
