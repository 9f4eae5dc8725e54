"""Arena use when processes end without closing the map, against runs where
every process closes cleanly.

Each round forks a writer that opens the map by name and inserts, replaces
and removes entries of a steady working set (200 keys, values of 10 to 300
bytes). The writer then ends in one of three ways:
  close   it closes the map and exits (the bound: every cache given back);
  exit    it calls os._exit without closing, as pool workers do;
  kill    it is SIGKILLed at a random moment, inside operations too.
After all rounds the working set is given the same contents in every mode
and the figures are read from a fresh process (carved: the arena's bump;
in use: carved minus what lies on the free lists); for `kill` the
map is then repaired offline (`quillmap repair`) and the carved space is
measured again after more rounds, to show that what repair reclaims is used.

    python bench/python/crash_space.py [--rounds 1000] [--modes close,exit,kill]
"""

import argparse
import os
import struct
import random
import signal
import sys
import time

import fennowick._inspect as inspect_map
from fennowick.quillmap import quillmap

KEYS = 200


def writer(name, seed, ops, close):
    d = quillmap(name=name)
    rng = random.Random(seed)
    n = 0
    while ops is None or n < ops:
        k = rng.randrange(KEYS)
        if rng.random() < 0.25:
            d.pop(k, None)
        else:
            d[k] = os.urandom(rng.randrange(10, 300))
        n += 1
    if close:
        d.close()
    os._exit(0)


def run(mode, rounds, seed, name=None):
    if name is None:
        d = quillmap(size=64 << 20, bucket_chunk_size_exponent=6)
        name = d.name
        d.close()
    rng = random.Random(seed)
    for r in range(rounds):
        pid = os.fork()
        if pid == 0:
            try:
                writer(name, rng.random(), None if mode == "kill" else 300, mode == "close")
            finally:
                os._exit(1)
        if mode == "kill":
            time.sleep(rng.uniform(0.002, 0.03))
            os.kill(pid, signal.SIGKILL)
        _, status = os.waitpid(pid, 0)
        if mode != "kill" and status != 0:
            raise SystemExit(f"writer failed in round {r}")
    return name


def free_bytes(name):
    """Bytes on the arena's three free lists (a walk of the file, read-only)."""
    with open(name, "rb") as f:
        data = f.read()
    arena = 24
    total = 0
    for record in (27, 37, 47):                 # class records: 176, 16, the data unit
        (head,) = struct.unpack_from("<Q", data, arena + record + 2)
        seen = 0
        while head and seen < 10_000_000:
            total += data[arena + head]          # the chunk's size byte
            (head,) = struct.unpack_from("<Q", data, arena + head + 2)
            seen += 1
    return total


def figures(name):
    """Bring the working set to the same contents in every mode (all keys,
    100-byte values), then read the carved space from a fresh process."""
    d = quillmap(name=name)
    for k in range(KEYS):
        d[k] = bytes(100)
    present = sum(1 for _ in d.keys())
    ok = len(d) == present == KEYS
    d.close()
    r = inspect_map.check(name)
    return r["arena_used"], r["arena_used"] - free_bytes(name), present, ok and r["ok"]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=1000)
    ap.add_argument("--modes", default="close,exit,kill")
    ap.add_argument("--seed", type=int, default=1)
    a = ap.parse_args()
    print(f"{'mode':8} {'rounds':>6} {'carved bytes':>13} {'in use':>11} {'entries':>7}  len/check")
    for mode in a.modes.split(","):
        t = time.time()
        name = run(mode, a.rounds, a.seed)
        used, free, present, ok = figures(name)
        print(f"{mode:8} {a.rounds:6} {used:13,} {free:11,} {present:7}  {'ok' if ok else 'WRONG'}"
              f"   ({time.time() - t:.0f} s)", flush=True)
        if mode == "kill":
            rep = inspect_map.repair(name)
            got = sum(x["bytes"] for x in rep["reclaimed"])
            print(f"  repair: reclaimed {got:,} bytes in "
                  f"{sum(x['chunks'] for x in rep['reclaimed']):,} chunks; sweep complete: {rep['sweep_complete']}")
            run("close", a.rounds // 5, a.seed + 1, name)
            used2, inuse2, present2, ok2 = figures(name)
            print(f"  then {a.rounds // 5} clean rounds: carved {used2:,} bytes (+{used2 - used:,}), "
                  f"in use {inuse2:,}, len/check {'ok' if ok2 else 'WRONG'}")
        os.unlink(name)


if __name__ == "__main__":
    sys.exit(main())
