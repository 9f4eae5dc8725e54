"""Processes killed with SIGKILL while others work on the same map.

Asserted: a worker killed between two operations leaves nothing held and
nothing lost; the others go on, and every completed operation is kept.

Measured only (printed): a worker killed at an arbitrary moment, possibly
inside a critical section, can leave a lock held; how often do the others
block? More trials: python tests/python/test_kill.py --measure 40
"""

import multiprocessing as mp
import os
import random
import select
import signal
import subprocess
import sys
import time

import fennowick._inspect as inspect_map
from fennowick.quillmap import quillmap
from helpers import exit_with, join_all

# Starts with one bucket: the table doubles many times while workers die.
MAP_ARGS = dict(size=1 << 26, bucket_chunk_size_exponent=0, bucket_chunk_number=1 << 16)
OP_TIMEOUT = 20.0     # one operation never takes this long unless blocked


def value_of(wid, idx, seq):
    return f"{wid}/{idx}/{seq}|".encode() * (seq % 40)


# ---- killed between operations ---------------------------------------------

def stepped_worker(wid, name, seed, go_fd, report_fd):
    """One operation per byte read from go_fd; after each, a line on report_fd.
    Blocks on go_fd between operations, which is where it gets killed."""
    d = quillmap(name=name)
    rng = random.Random(f"{seed}/{wid}")
    model = {}            # idx -> value, None once removed
    seq = 0
    while True:
        cmd = os.read(go_fd, 1)
        if cmd != b"g":
            os._exit(0 if cmd == b"q" else 3)
        seq += 1
        r = rng.random()
        live = [i for i, v in model.items() if v is not None]
        if r < 0.45 or not live:
            idx = len(model) if r < 0.3 or not model else rng.randrange(len(model))
            v = value_of(wid, idx, seq)
            if d.insert(("k", wid, idx), v) != 1:
                os._exit(4)
            model[idx] = v
            line = f"I {idx} {seq}\n"
        elif r < 0.85:
            idx = rng.choice(list(model))
            want = [False] if model[idx] is None else [True, model[idx]]
            if d.get(("k", wid, idx)) != want:
                sys.stderr.write(f"worker {wid}: get of key {idx} lost its value\n")
                os._exit(1)
            line = "G\n"
        else:
            idx = rng.choice(live)
            if d.remove(("k", wid, idx)) != 1:
                sys.stderr.write(f"worker {wid}: remove of present key {idx} gave 0\n")
                os._exit(1)
            model[idx] = None
            line = f"R {idx}\n"
        os.write(report_fd, line.encode())


def verify_all(name, model):
    d = quillmap(name=name)
    bad = [(k, v) for k, v in model.items()
           if d.get(k) != ([False] if v is None else [True, v])]
    assert bad == [], f"{len(bad)} completed writes lost, e.g. {bad[:3]}"
    d.insert(("after", 0), b"x")          # the map still takes writes
    assert d.get(("after", 0)) == [True, b"x"]
    assert d.remove(("after", 0)) == 1


def test_workers_killed_between_operations_lose_and_block_nothing():
    seed = random.randrange(1 << 31)
    rng = random.Random(seed)
    tag = f"[kill seed {seed}]"
    d = quillmap(**MAP_ARGS)
    name = d.name
    ctx = mp.get_context("fork")
    workers = {}          # wid -> dict(p, go, rep, busy_since)
    killed = []
    model = {}            # ("k", wid, idx) -> value or None
    ops = 0
    next_wid = 0

    def start_worker():
        nonlocal next_wid
        wid, next_wid = next_wid, next_wid + 1
        go_r, go_w = os.pipe()
        rep_r, rep_w = os.pipe()
        p = ctx.Process(target=stepped_worker, args=(wid, name, seed, go_r, rep_w))
        p.start()
        os.close(go_r)
        os.close(rep_w)
        workers[wid] = dict(p=p, go=go_w, rep=rep_r, busy_since=time.monotonic())
        os.write(go_w, b"g")

    def close(w):
        os.close(w["go"])
        os.close(w["rep"])

    try:
        for _ in range(3):
            start_worker()
        deadline = time.monotonic() + 8.0
        while time.monotonic() < deadline or len(killed) < 20:
            assert time.monotonic() < deadline + 30, f"{tag} too slow: {len(killed)} kills"
            by_fd = {w["rep"]: wid for wid, w in workers.items()}
            ready, _, _ = select.select(list(by_fd), [], [], 1.0)
            now = time.monotonic()
            stuck = [wid for wid, w in workers.items() if now - w["busy_since"] > OP_TIMEOUT]
            assert not stuck, f"{tag} workers {stuck} blocked after {len(killed)} kills, {ops} ops"
            for fd in ready:
                wid = by_fd[fd]
                w = workers[wid]
                line = os.read(fd, 256).decode()
                assert line.endswith("\n") and line.count("\n") == 1, \
                    f"{tag} worker {wid} ended or garbled report {line!r} " \
                    f"(exit {w['p'].exitcode if not w['p'].is_alive() else None})"
                ops += 1
                kind, *rest = line.split()
                if kind == "I":
                    idx, seq = int(rest[0]), int(rest[1])
                    model[("k", wid, idx)] = value_of(wid, idx, seq)
                elif kind == "R":
                    model[("k", wid, int(rest[0]))] = None
                if rng.random() < 0.02:
                    # the worker is idle, blocked on its pipe: kill it there
                    time.sleep(rng.random() * 0.005)
                    os.kill(w["p"].pid, signal.SIGKILL)
                    w["p"].join(10)
                    assert w["p"].exitcode == -signal.SIGKILL, f"{tag} {w['p'].exitcode}"
                    killed.append(wid)
                    close(workers.pop(wid))
                    start_worker()
                else:
                    w["busy_since"] = time.monotonic()
                    os.write(w["go"], b"g")
        # let the last operations finish, then stop the survivors
        for wid, w in list(workers.items()):
            r, _, _ = select.select([w["rep"]], [], [], OP_TIMEOUT)
            assert r, f"{tag} worker {wid} blocked at the end"
            line = os.read(w["rep"], 256).decode()
            kind, *rest = line.split()
            if kind == "I":
                model[("k", wid, int(rest[0]))] = value_of(wid, int(rest[0]), int(rest[1]))
            elif kind == "R":
                model[("k", wid, int(rest[0]))] = None
            os.write(w["go"], b"q")
        codes = join_all([w["p"] for w in workers.values()], timeout=30)
        assert codes == [0] * len(workers), f"{tag} survivor exit codes {codes}"
        for w in workers.values():
            close(w)
        workers.clear()

        # check in a child: if a lock were left held, the child would block
        p = ctx.Process(target=exit_with, args=(verify_all, name, model))
        p.start()
        assert join_all([p], timeout=60) == [0], f"{tag} final check failed or blocked"
        report = inspect_map.check(name)
        assert report["ok"], f"{tag} {report['problem']}"
        present = sum(v is not None for v in model.values())
        assert report["entry_count"] == report["entries_found"] == present, \
            f"{tag} {report['entry_count']} / {report['entries_found']} entries, {present} expected"
        print(f"{tag} {len(killed)} workers killed between operations, {ops} operations, "
              f"{present} entries, {report['buckets']} buckets: nothing lost or blocked")
    finally:
        for w in workers.values():
            if w["p"].is_alive():
                os.kill(w["p"].pid, signal.SIGKILL)
                w["p"].join(10)
            close(w)
        d.__del__()
        os.unlink(name)


# ---- killed anywhere: measured, not asserted -----------------------------------

def busy_worker(wid, name, counters):
    d = quillmap(name=name)
    rng = random.Random(wid)
    i = 0
    while not counters[3]:        # counters[3]: stop
        i += 1
        key = ("b", wid, rng.randrange(4000))
        r = rng.random()
        if r < 0.5:
            d.insert(key, b"v" * rng.randrange(300))
        elif r < 0.8:
            d.get(key)
        else:
            d.remove(key)
        counters[wid] = i
    os._exit(0)


def one_op(name):
    d = quillmap(name=name)
    d.insert(("fresh",), b"x")
    assert d.get(("fresh",)) == [True, b"x"]


def measure(trials, seed):
    """Each trial: 3 workers hammer a fresh map; one is SIGKILLed after a random
    delay; do the two others, and a freshly started process, still progress?"""
    rng = random.Random(seed)
    ctx = mp.get_context("fork")
    tally = dict(ok=0, survivors_blocked=0, new_process_blocked=0, check_not_ok=0,
                 blocked_while_expanding=0)
    for t in range(trials):
        d = quillmap(**MAP_ARGS)
        name = d.name
        counters = ctx.RawArray("q", 4)
        ps = [ctx.Process(target=busy_worker, args=(w, name, counters)) for w in range(3)]
        for p in ps:
            p.start()
        try:
            time.sleep(0.05 + rng.random() * 0.3)
            os.kill(ps[0].pid, signal.SIGKILL)
            ps[0].join(10)
            time.sleep(0.2)
            before = counters[1], counters[2]
            time.sleep(0.8)
            after = counters[1], counters[2]
            survivors_ok = after[0] > before[0] and after[1] > before[1]
            q = ctx.Process(target=exit_with, args=(one_op, name))
            q.start()
            q.join(2.0 if survivors_ok else 0.5)
            fresh_ok = q.exitcode == 0
            if q.is_alive():
                q.kill()
                q.join(10)
        finally:
            counters[3] = 1       # survivors that are not blocked stop cleanly
            for p in ps[1:]:
                p.join(2)
            for p in ps:
                if p.is_alive():
                    p.kill()
                p.join(10)
        report = inspect_map.check(name)
        check_ok = report["ok"]
        if not check_ok:
            print(f"trial {t}: check: {report['problem']}", flush=True)
        d.__del__()
        os.unlink(name)
        tally["ok"] += survivors_ok and fresh_ok
        tally["survivors_blocked"] += not survivors_ok
        tally["new_process_blocked"] += not fresh_ok
        tally["check_not_ok"] += not check_ok
        tally["blocked_while_expanding"] += (not survivors_ok) and bool(report["expanding"])
    return tally


def test_measure_kill_at_arbitrary_moments():
    # Run in its own session: a blocked run is killed whole, never waited on.
    trials, seed = 6, random.randrange(1 << 31)
    proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--measure", str(trials),
                             "--seed", str(seed)], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, start_new_session=True, cwd=os.path.dirname(__file__))
    try:
        out, _ = proc.communicate(timeout=120)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, _ = proc.communicate()
        out += "\n(measurement killed after 120 s)"
    print(out)


if __name__ == "__main__" and "--measure" in sys.argv:
    import tempfile
    import shutil
    tmp = tempfile.mkdtemp(prefix="quillmap-kill-")
    os.environ["TMPDIR"] = tmp   # before the first map: read once per process
    try:
        n = int(sys.argv[sys.argv.index("--measure") + 1])
        s = int(sys.argv[sys.argv.index("--seed") + 1]) if "--seed" in sys.argv else 0
        tally = measure(n, s)
        print(f"kill at arbitrary moments, {n} trials (seed {s}): {tally}", flush=True)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
