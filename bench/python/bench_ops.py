"""Nanoseconds per operation of quillmap beside its serializer floor and a dict.

For small int keys and 10-character str keys with 16-byte values, pickled:
get of a present key, get of an absent key, insert replacing a value, insert
of a new key and remove; then get_many and insert_many against a loop of get
and insert calls that keeps the same results. The floor is what every get must spend anyway in
pickle (pickle.dumps(key) + pickle.loads(value)); a plain dict shows what the
same loop costs without any sharing.

    python bench/python/bench_ops.py            # full run
    python bench/python/bench_ops.py --quick    # a few thousand keys, to keep it working

Each figure is the best of --repeat passes over --n keys with the collector
off, loop included (the same loop for every column), so the columns compare
directly. The machine should be otherwise idle.
"""

from __future__ import annotations

import argparse
import gc
import os
import pickle
import shlex
import sys
import tempfile
import time

from fennowick.quillmap import quillmap

VALUE = b"0123456789abcdef"  # 16 bytes
OPS = ("get present", "get absent", "insert replace", "insert new", "remove")
BATCH_OPS = ("get loop", "get_many", "insert loop", "insert_many")


def per_op(loop, *args) -> float:
    """ns per key of loop(*args, keys); the collector is off, as in timeit."""
    n = len(args[-1])
    enabled = gc.isenabled()
    gc.disable()
    try:
        t = time.perf_counter_ns()
        loop(*args)
        return (time.perf_counter_ns() - t) / n
    finally:
        if enabled:
            gc.enable()


# The loops: one call per key, nothing kept.
def loop_insert(insert, value, keys):
    for k in keys:
        insert(k, value)


def loop_one(op, keys):
    for k in keys:
        op(k)


def loop_floor(dumps, loads, pickled_value, keys):
    for k in keys:
        dumps(k)
        loads(pickled_value)


def bench_quillmap(keys, absent, repeat):
    best = {op: float("inf") for op in OPS}
    d = quillmap(size=1 << 28, bucket_chunk_size_exponent=16, bucket_chunk_number=64)
    try:
        for _ in range(repeat):
            times = {
                "insert new": per_op(loop_insert, d.insert, VALUE, keys),
                "insert replace": per_op(loop_insert, d.insert, VALUE, keys),
                "get present": per_op(loop_one, d.get, keys),
                "get absent": per_op(loop_one, d.get, absent),
                "remove": per_op(loop_one, d.remove, keys),
            }
            for op, t in times.items():
                best[op] = min(best[op], t)
        assert d.get(keys[0]) == [False]
    finally:
        name = d.name
        d.__del__()
        os.unlink(name)
    return best


# Batches against the loops a caller would otherwise write, same results kept.
def loop_get_list(get, keys):
    return [get(k) for k in keys]


def loop_insert_pairs(insert, pairs):
    for k, v in pairs:
        insert(k, v)


def bench_batches(keys, repeat):
    """ns per entry: loop of get vs get_many, loop of insert vs insert_many."""
    pairs = [(k, VALUE) for k in keys]
    best = {op: float("inf") for op in BATCH_OPS}
    d = quillmap(size=1 << 28, bucket_chunk_size_exponent=16, bucket_chunk_number=64)
    try:
        d.insert_many(pairs)
        for _ in range(repeat):
            times = {
                "get loop": per_op(loop_get_list, d.get, keys),
                "get_many": per_op(d.get_many, keys),
                "insert loop": per_op(loop_insert_pairs, d.insert, pairs),
                "insert_many": per_op(d.insert_many, pairs),
            }
            for op, t in times.items():
                best[op] = min(best[op], t)
        assert d.get_many(keys[:1]) == [[True, VALUE]]
    finally:
        name = d.name
        d.__del__()
        os.unlink(name)
    return best


def bench_floor(keys, repeat):
    return min(per_op(loop_floor, pickle.dumps, pickle.loads, pickle.dumps(VALUE), keys) for _ in range(repeat))


def bench_dict(keys, absent, repeat):
    best = {op: float("inf") for op in OPS}
    for _ in range(repeat):
        d: dict = {}
        times = {
            "insert new": per_op(loop_insert, d.__setitem__, VALUE, keys),
            "insert replace": per_op(loop_insert, d.__setitem__, VALUE, keys),
            "get present": per_op(loop_one, d.get, keys),
            "get absent": per_op(loop_one, d.get, absent),
            "remove": per_op(loop_one, d.pop, keys),
        }
        for op, t in times.items():
            best[op] = min(best[op], t)
    return best


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--n", type=int, default=100_000, help="keys per pass")
    ap.add_argument("--repeat", type=int, default=5, help="passes; the best is reported")
    ap.add_argument("--quick", action="store_true", help="2,000 keys, 2 passes")
    args = ap.parse_args(argv)
    if args.quick:
        args.n, args.repeat = 2000, 2

    key_sets = {
        "int": (list(range(args.n)), list(range(args.n, 2 * args.n))),
        "str10": ([f"{i:010d}" for i in range(args.n)], [f"x{i:09d}" for i in range(args.n)]),
    }
    print("command:", " ".join(shlex.quote(a) for a in [os.path.basename(sys.executable), *sys.argv]))
    print(f"python {sys.version.split()[0]}, {os.cpu_count()} cpus, n={args.n}, best of {args.repeat}, "
          f"values {len(VALUE)} bytes, serializer pickle, TMPDIR {tempfile.gettempdir()}")
    print()
    header = f"{'operation':<16}{'key':<7}{'quillmap ns':>12}{'floor ns':>10}{'x floor':>9}{'dict ns':>9}"
    print(header)
    print("-" * len(header))
    for kind, (keys, absent) in key_sets.items():
        q = bench_quillmap(keys, absent, args.repeat)
        floor = bench_floor(keys, args.repeat)
        plain = bench_dict(keys, absent, args.repeat)
        for op in OPS:
            print(f"{op:<16}{kind:<7}{q[op]:>12.0f}{floor:>10.0f}{q[op] / floor:>9.2f}{plain[op]:>9.0f}")
    print()
    header = f"{'batch':<16}{'key':<7}{'loop ns':>12}{'batch ns':>10}{'speed-up':>9}"
    print(header)
    print("-" * len(header))
    for kind, (keys, _) in key_sets.items():
        b = bench_batches(keys, args.repeat)
        for single, many in (("get loop", "get_many"), ("insert loop", "insert_many")):
            ratio = b[single] / b[many]
            print(f"{many:<16}{kind:<7}{b[single]:>12.0f}{b[many]:>10.0f}{ratio:>9.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
