"""Processes killed with SIGKILL while others work on the same map.

Killed between two operations: a worker leaves nothing held and nothing
lost; the others go on, and every completed operation is kept.

Killed at any moment, inside critical sections and expansions too: no
survivor waits more than a second on any operation, no acknowledged write is
lost, no value is torn, len() agrees with what is stored and with the
acknowledged operations, and `quillmap check` passes. The long run, with its
figures printed at the end:

    python tests/python/test_kill.py --kills 200 [--seed S] [--writers N]
"""

import multiprocessing as mp
import os
import pickle
import random
import select
import signal
import subprocess
import sys
import time

import pytest

import fennowick._inspect as inspect_map
from fennowick.quillmap import quillmap
from helpers import exit_with, join_all

# Starts with one bucket: the table doubles many times while workers die.
# Room for the entries of a long run (--kills 200 makes some 2 million
# operations; every writer has keys of its own, so the map keeps growing);
# space is taken only as it is used.
MAP_ARGS = dict(size=1 << 30, bucket_chunk_size_exponent=0, bucket_chunk_number=1 << 16)
WORKING_SET = 20_000  # keys per busy writer
OP_TIMEOUT = 20.0     # one operation never takes this long unless blocked


def value_of(wid, idx, seq):
    return f"{wid}/{idx}/{seq}|".encode() * (1 + seq % 40)


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


# ---- killed anywhere -------------------------------------------------------------
#
# Writers run flat out and are SIGKILLed at random moments, inside critical
# sections and expansions too. Each reports every operation before it starts
# ("P kind idx seq") and once it returns ("A"), so the parent knows what was
# acknowledged, what was in flight when a writer died, and how long each
# operation of the living has been waiting.

OP_LIMIT = 1.0        # a survivor's operation that takes longer is blocked
GIVE_UP_AFTER = 3     # blocked operations before a run stops early


def valid_value(key, value):
    """Whether `value` is whole: one that a writer wrote for `key`."""
    _, wid, idx = key
    try:
        head = value.split(b"|", 1)[0].decode()
        w, i, seq = (int(x) for x in head.split("/"))
    except (ValueError, UnicodeDecodeError):
        return False
    return (w, i) == (wid, idx) and value == value_of(wid, idx, seq)


def busy_writer(wid, name, seed, report_fd, stop):
    d = quillmap(name=name)
    rng = random.Random(f"{seed}/{wid}")
    model = {}            # idx -> value, None once removed
    live = []
    seq = 0
    while not stop.value:
        seq += 1
        r = rng.random()
        if r < 0.5 or not live:
            # new keys up to a bound, so that a long run keeps a steady
            # working set instead of filling the map
            new = (r < 0.3 and len(model) < WORKING_SET) or not model
            idx = len(model) if new else rng.randrange(len(model))
            v = value_of(wid, idx, seq)
            os.write(report_fd, f"P I {idx} {seq}\n".encode())
            d.insert(("k", wid, idx), v)
            if model.get(idx) is None:
                live.append(idx)
            model[idx] = v
        elif r < 0.8:
            idx = rng.choice(live)
            os.write(report_fd, f"P G {idx} {seq}\n".encode())
            got = d.get(("k", wid, idx))
            if got != [True, model[idx]]:
                os.write(report_fd, f"X {idx} {got[1][:40]!r}\n".encode() if len(got) == 2 else
                         f"X {idx} absent\n".encode())
        else:
            idx = live.pop(rng.randrange(len(live)))
            os.write(report_fd, f"P R {idx} {seq}\n".encode())
            if d.remove(("k", wid, idx)) != 1:
                os.write(report_fd, f"X {idx} remove gave 0\n".encode())
            model[idx] = None
        os.write(report_fd, b"A\n")
    d.close()
    os._exit(0)


def read_back(name, keys, out_path):
    """In a fresh process: every key's stored value (None if absent) and len()."""
    d = quillmap(name=name)
    got = {k: (r[1] if r[0] else None) for k, r in zip(keys, d.get_many(keys))}
    with open(out_path, "wb") as f:
        pickle.dump((got, len(d)), f)


def kill_run(kills, seed, writers=3, log=print):
    """SIGKILL `kills` writers at random moments; return the figures."""
    rng = random.Random(seed)
    ctx = mp.get_context("fork")
    d = quillmap(**MAP_ARGS)
    name = d.name
    d.close()             # the parent keeps no view: nothing of it can block
    stop = ctx.RawValue("b", 0)
    acked = {}            # key -> value of the last acknowledged write, None if removed
    maybe = {}            # key -> values it may hold: an operation died in flight
    f = dict(kills=0, ops=0, blocked=0, lost=0, torn=0, len_ok=False, check_ok=False, errors=0)
    running = {}          # wid -> dict(p, fd, buf, pending)
    next_wid = 0

    def start():
        nonlocal next_wid
        wid, next_wid = next_wid, next_wid + 1
        r, w = os.pipe()
        p = ctx.Process(target=busy_writer, args=(wid, name, seed, w, stop))
        p.start()
        os.close(w)
        running[wid] = dict(p=p, fd=r, buf=b"", pending=None)

    def take(wid, data):
        w = running[wid]
        w["buf"] += data
        *lines, w["buf"] = w["buf"].split(b"\n")
        for line in lines:
            kind, *rest = line.decode().split(" ", 3)
            if kind == "P":
                w["pending"] = (rest[0], ("k", wid, int(rest[1])), int(rest[2]), time.monotonic())
            elif kind == "A":
                op, key, seq, _ = w["pending"]
                f["ops"] += 1
                if op == "I":
                    acked[key] = value_of(wid, key[2], seq)
                elif op == "R":
                    acked[key] = None
                maybe.pop(key, None)   # written again since: the new write decides
                w["pending"] = None
            elif kind == "X":
                log(f"writer {wid}: own key {rest} lost or wrong")
                f["lost"] += 1

    def end(wid, stopped=False):
        """Kill a writer (unless `stopped`: it ends by itself) and take in its
        last reports; what it had in flight may or may not have happened."""
        w = running[wid]
        if not stopped and w["p"].is_alive():
            os.kill(w["p"].pid, signal.SIGKILL)
        w["p"].join(10)
        if w["p"].is_alive():      # still blocked after the stop: kill it
            os.kill(w["p"].pid, signal.SIGKILL)
            w["p"].join(10)
        while data := os.read(w["fd"], 65536):
            take(wid, data)
        del running[wid]
        os.close(w["fd"])
        if w["pending"] is not None:
            op, key, seq, _ = w["pending"]
            if op == "I":
                maybe[key] = {acked.get(key), value_of(wid, key[2], seq)}
            elif op == "R":
                maybe[key] = {acked.get(key), None}
        if stopped and w["p"].exitcode != 0:
            f["errors"] += 1
            log(f"writer {wid} ended with status {w['p'].exitcode}")

    try:
        for _ in range(writers):
            start()
        next_kill = time.monotonic() + rng.uniform(0.02, 0.15)
        while f["kills"] < kills and f["blocked"] < GIVE_UP_AFTER:
            by_fd = {w["fd"]: wid for wid, w in running.items()}
            ready, _, _ = select.select(list(by_fd), [], [], 0.01)
            for fd in ready:
                data = os.read(fd, 65536)
                if data:
                    take(by_fd[fd], data)
                else:              # ended by itself: an error
                    f["errors"] += 1
                    log(f"writer {by_fd[fd]} ended by itself")
                    end(by_fd[fd])
                    start()
            now = time.monotonic()
            for wid, w in list(running.items()):
                if w["pending"] and now - w["pending"][3] > OP_LIMIT:
                    f["blocked"] += 1
                    log(f"writer {wid} blocked over {OP_LIMIT} s on {w['pending'][:2]} "
                        f"after {f['kills']} kills, {f['ops']} operations")
                    end(wid)
                    start()
            if now >= next_kill:
                end(rng.choice(list(running)))
                f["kills"] += 1
                start()
                next_kill = time.monotonic() + rng.uniform(0.02, 0.15)
        # the survivors stop between operations, each within the limit
        stop.value = 1
        deadline = time.monotonic() + 2 * OP_LIMIT
        for wid, w in list(running.items()):
            w["p"].join(max(0.1, deadline - time.monotonic()))
            if w["p"].is_alive():
                f["blocked"] += 1
                log(f"writer {wid} did not stop: blocked on {w['pending'] and w['pending'][:2]}")
                end(wid)
            else:
                end(wid, stopped=True)

        # a fresh process reads everything back; blocked if it takes long
        keys = sorted(acked.keys() | maybe.keys())
        out_path = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"kill-read-back-{os.getpid()}")
        p = ctx.Process(target=exit_with, args=(read_back, name, keys, out_path))
        p.start()
        if join_all([p], timeout=5 + len(keys) / 50000) != [0]:
            f["blocked"] += 1
            log("the fresh process reading back blocked or failed")
        else:
            with open(out_path, "rb") as fh:
                got, length = pickle.load(fh)
            os.unlink(out_path)
            for key in keys:
                may = maybe.get(key, {acked.get(key)})
                v = got[key]
                if v in may:
                    continue
                if v is not None and not valid_value(key, v):
                    f["torn"] += 1
                    log(f"{key}: torn value {v[:60]!r}")
                else:
                    f["lost"] += 1
                    log(f"{key}: holds {v if v is None else v[:40]!r}, acknowledged {acked.get(key, '-')!r:.60}")
            states = [maybe.get(k, {acked.get(k)}) for k in keys]
            sure = sum(None not in st for st in states)
            possible = sum(any(v is not None for v in st) for st in states)
            present = sum(v is not None for v in got.values())
            f["len_ok"] = length == present and sure <= length <= possible
            if not f["len_ok"]:
                log(f"len() {length}, {present} keys found, {sure}..{possible} expected")
        r = subprocess.run([sys.executable, "-m", "fennowick", "check", os.fsdecode(name)],
                           capture_output=True, text=True, timeout=60, cwd=os.path.dirname(__file__))
        f["check_ok"] = r.returncode == 0
        if not f["check_ok"]:
            log(f"quillmap check: {r.stdout.strip()} {r.stderr.strip()}")
    finally:
        for wid, w in running.items():
            if w["p"].is_alive():
                os.kill(w["p"].pid, signal.SIGKILL)
                w["p"].join(10)
            os.close(w["fd"])
        os.unlink(name)
    return f


def figures(f, seed):
    return (f"kills {f['kills']}, operations {f['ops']}, blocked {f['blocked']}, lost {f['lost']}, "
            f"torn {f['torn']}, len check {'ok' if f['len_ok'] else 'FAILED'}, "
            f"quillmap check {'ok' if f['check_ok'] else 'FAILED'}, writer errors {f['errors']} (seed {seed})")


def clean(f):
    return (f["blocked"] == f["lost"] == f["torn"] == f["errors"] == 0) and f["len_ok"] and f["check_ok"]


def test_writers_killed_at_any_moment_block_lose_and_tear_nothing():
    # A long run: python tests/python/test_kill.py --kills 200
    seed = random.randrange(1 << 31)
    f = kill_run(30, seed)
    print(figures(f, seed))
    assert clean(f), figures(f, seed)


if __name__ == "__main__":
    import argparse
    import shutil
    import tempfile

    parser = argparse.ArgumentParser(description="writers SIGKILLed at random moments; figures at the end")
    parser.add_argument("--kills", type=int, default=200)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--writers", type=int, default=3)
    args = parser.parse_args()
    seed = random.randrange(1 << 31) if args.seed is None else args.seed
    tmp = tempfile.mkdtemp(prefix="quillmap-kill-")
    os.environ["TMPDIR"] = tmp   # before the first map: read once per process
    try:
        f = kill_run(args.kills, seed, args.writers)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    print(figures(f, seed), flush=True)
    sys.exit(0 if clean(f) else 1)
