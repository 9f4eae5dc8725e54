"""Processes that end while their daemon threads are inside the map.

At shutdown CPython ends a daemon thread that waits for the interpreter lock
with pthread_exit. The thread may be in the middle of an operation, waiting
for a bucket lock another process holds; the forced unwind must travel out
through the binding and the core, releasing every lock on the way, instead of
aborting the process (and leaving a bucket held for good).
"""

import os
import random
import subprocess
import sys

import pytest

from fennowick.quillmap import quillmap
from helpers import PACKAGE_PARENT, SMALL, TESTS_DIR, run_python

KEYS = 12            # few keys in few buckets: the threads of both processes collide
RUNS = 16
RUN_TIMEOUT = 30     # one process lives well under a second unless it hangs

HAMMER = """
import sys, threading, time
from fennowick.quillmap import quillmap
d = quillmap(name={name!r})

def hammer(t):
    i = t
    while True:
        i += 1
        key = ("k", i % {keys})
        d.insert(key, b"v" * (i % 300))
        d.get(key)
        d.remove(key)
        d[key] = t
        key in d

for t in range(4):
    threading.Thread(target=hammer, args=(t,), daemon=True).start()
time.sleep({delay})
sys.exit(0)
"""


def start_pair(name, rng):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (PACKAGE_PARENT, TESTS_DIR, env.get("PYTHONPATH")) if p)
    return [subprocess.Popen([sys.executable, "-c", HAMMER.format(name=name, keys=KEYS,
                                                                   delay=0.05 + rng.random() * 0.25)],
                             env=env, cwd=TESTS_DIR, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            for _ in range(2)]


def test_sys_exit_with_daemon_threads_in_the_map_ends_cleanly_and_holds_nothing():
    seed = random.randrange(1 << 31)
    rng = random.Random(seed)
    d = quillmap(**SMALL)
    name = d.name
    failures = []
    try:
        for run in range(RUNS):
            # two processes at once, so that threads wait on locks the other holds
            procs = start_pair(name, rng)
            for p in procs:
                try:
                    _, err = p.communicate(timeout=RUN_TIMEOUT)
                except subprocess.TimeoutExpired:
                    p.kill()
                    _, err = p.communicate()
                    failures.append(f"run {run}: pid {p.pid} hung at exit")
                    continue
                if p.returncode != 0:
                    failures.append(f"run {run}: exit status {p.returncode}: {err.strip()[-300:]}")
        assert not failures, f"[seed {seed}] {len(failures)} of {2 * RUNS} processes: {failures[:4]}"

        # A fresh process must find every key's bucket free: a lock left held
        # would stop it for good, so it runs with a timeout.
        r = run_python(f"""
from fennowick.quillmap import quillmap
import fennowick._inspect as inspect_map
d = quillmap(name={name!r})
for i in range({KEYS}):
    key = ("k", i)
    d.insert(key, "fresh")
    assert d.get(key) == [True, "fresh"], key
    assert d.remove(key) == 1, key
    assert d.get(key) == [False], key
report = inspect_map.check({name!r})
assert report["ok"], report["problem"]
assert report["entry_count"] == report["entries_found"] == 0, report
""", timeout=RUN_TIMEOUT)
        assert r.returncode == 0, f"[seed {seed}] fresh process: {r.stdout}{r.stderr}"
    finally:
        d.unlink()   # by the open object: a closed one refuses every operation
        d.close()


if __name__ == "__main__":  # pragma: no cover
    raise SystemExit(pytest.main([__file__, "-q"]))
