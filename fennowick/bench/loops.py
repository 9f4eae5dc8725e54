"""The timed loops and the tasks that run them in forked worker processes."""

from __future__ import annotations

import array
import math
import os
import time
from itertools import repeat
from typing import Any

from fennowick.bench.settings import CHUNK, MISSING, SINGLE_PHASES, error_note
from fennowick.bench.adapters import Adapter


# ---- timed loops ---------------------------------------------------------------------
# ts[0] is taken before the first operation and ts[i] right after operation i,
# so ts[i] - ts[i-1] is the latency of operation i (plus one timer call). The
# clock is looked at in chunks of operations sized to take about 20 ms, so a
# slow system stops close to its time limit and a fast one pays nothing for it.

def _next_chunk(ts: array.array, lo: int, hi: int) -> int:
    span = ts[hi] - ts[lo]
    return CHUNK if span <= 0 else max(1, min(CHUNK, (hi - lo) * 20_000_000 // span))


def _loop_k(op, keys, ts, cap_ns):
    now = time.perf_counter_ns
    n = len(keys)
    ts[0] = now()
    end = ts[0] + cap_ns
    done, chunk = 0, 64
    while done < n:
        hi = min(done + chunk, n)
        for i, k in zip(range(done + 1, hi + 1), keys[done:hi]):
            op(k)
            ts[i] = now()
        chunk = _next_chunk(ts, done, hi)
        done = hi
        if ts[done] > end:
            break
    return done


def _loop_kv(op, keys, vals, ts, cap_ns):
    """vals: a list parallel to keys, or one value for all."""
    now = time.perf_counter_ns
    n = len(keys)
    ts[0] = now()
    end = ts[0] + cap_ns
    done, chunk = 0, 64
    while done < n:
        hi = min(done + chunk, n)
        vs = vals[done:hi] if isinstance(vals, list) else repeat(vals, hi - done)
        for i, k, v in zip(range(done + 1, hi + 1), keys[done:hi], vs):
            op(k, v)
            ts[i] = now()
        chunk = _next_chunk(ts, done, hi)
        done = hi
        if ts[done] > end:
            break
    return done


def _loop_mixed(get, put, keys, writes, value, ts, cap_ns):
    now = time.perf_counter_ns
    n = len(keys)
    ts[0] = now()
    end = ts[0] + cap_ns
    done, chunk = 0, 64
    while done < n:
        hi = min(done + chunk, n)
        for i, k, w in zip(range(done + 1, hi + 1), keys[done:hi], writes[done:hi]):
            if w:
                put(k, value)
            else:
                get(k)
            ts[i] = now()
        chunk = _next_chunk(ts, done, hi)
        done = hi
        if ts[done] > end:
            break
    return done


def _loop_grow(op, lo, hi, value, ts, budget_ns, early):
    """Insert keys lo..hi-1; returns (inserted, gave up early)."""
    now = time.perf_counter_ns
    n = hi - lo
    ts[0] = now()
    end = ts[0] + budget_ns
    look = ts[0] + budget_ns // 4 if early else None
    done, chunk = 0, 64
    while done < n:
        h = min(done + chunk, n)
        for i, k in zip(range(done + 1, h + 1), range(lo + done, lo + h)):
            op(k, value)
            ts[i] = now()
        chunk = _next_chunk(ts, done, h)
        done = h
        t = ts[done]
        if t > end:
            break
        if look is not None and t >= look:
            look = None
            if done * budget_ns / (t - ts[0]) < 0.6 * n:
                return done, True
    return done, False


def _fill(op, keys, vals, cap_ns):
    """Untimed prefill; returns how many keys were written within the cap."""
    now = time.perf_counter_ns
    n = len(keys)
    start = now()
    end = start + cap_ns
    done, chunk = 0, 64
    while done < n:
        hi = min(done + chunk, n)
        vs = vals[done:hi] if isinstance(vals, list) else repeat(vals, hi - done)
        t = now()
        for k, v in zip(keys[done:hi], vs):
            op(k, v)
        t2 = now()
        chunk = CHUNK if t2 <= t else max(1, min(CHUNK, (hi - done) * 20_000_000 // (t2 - t)))
        done = hi
        if t2 > end:
            break
    return done


def _stamps(n: int) -> array.array:
    return array.array("q", bytes(8 * (n + 1)))   # zero-filled, so its pages are resident now


def _summary(ts: array.array, done: int, n: int, total: int, keys: int | None = None,
             full_keys: int | None = None) -> dict[str, Any]:
    """What a worker reports for one timed phase: counts, span and the slowest
    operations (enough of them to take the p99 of all workers together).
    keys/full_keys: entries in the store during the phase, and how many were meant."""
    import numpy as np

    out: dict[str, Any] = {"n": n, "done": done, "t0": ts[0], "t1": ts[done], "max": 0, "top": b"",
                           "keys": keys, "full_keys": full_keys}
    if done:
        lat = np.diff(np.frombuffer(ts, dtype=np.int64, count=done + 1))
        k = min(done, math.ceil(0.01 * total) + 1)
        top = np.partition(lat, done - k)[done - k:]
        out["max"] = int(lat.max())
        out["top"] = top.astype(np.int64).tobytes()
    return out


def p99_from_tops(tops: list[bytes], total: int) -> float:
    """Nearest-rank 99th percentile of ``total`` latencies, from each part's
    largest values (each part must send at least ceil(total/100)+1 of them,
    or all it has)."""
    import numpy as np

    if total <= 0:
        return math.nan
    merged = np.sort(np.concatenate([np.frombuffer(t, dtype=np.int64) for t in tops]))[::-1]
    return float(merged[total - math.ceil(0.99 * total)])


def _int_keys(lo: int, hi: int) -> list[int]:
    return list(range(lo, hi))


def _str_keys(prefix: str, lo: int, hi: int) -> list[str]:
    return [f"{prefix}{i:09d}" for i in range(lo, hi)]   # 10 characters


def _writer_value(worker: int, k: int) -> bytes:
    return b"%02d:%013d" % (worker, k)                   # 16 bytes that tell who wrote what


def _show(v: Any) -> str:
    return "missing" if v is MISSING else repr(v)


# ---- worker tasks (run in forked processes) --------------------------------------------

def _task_single(a: Adapter, p: dict, ready, go) -> dict:
    n, cap = p["n"], p["cap_ns"]
    if p["kind"] == "int":
        keys, absent = _int_keys(0, n), _int_keys(n, 2 * n)
    else:
        keys, absent = _str_keys("k", 0, n), _str_keys("a", 0, n)
    first = [b"i%015d" % i for i in range(n)]
    second = [b"r%015d" % i for i in range(n)]
    ts = _stamps(n)
    ready.wait()
    go.wait()
    out: dict[str, Any] = {}
    present = n
    for phase in SINGLE_PHASES:
        a.begin_phase()
        ks = keys if present == n else keys[:present]
        if phase == "insert":
            todo = n
            done = present = _loop_kv(a.insert, keys, first, ts, cap)
        elif phase == "get":
            todo, done = present, _loop_k(a.get, ks, ts, cap)
        elif phase == "get absent":
            todo, done = present, _loop_k(a.get, absent[:present], ts, cap)
        elif phase == "replace":
            todo, done = present, _loop_kv(a.insert, ks, second[:present], ts, cap)
        else:
            todo, done = present, _loop_k(a.remove, ks, ts, cap)
        out[phase] = _summary(ts, done, todo, todo, present, n)
        if not a.checks or done < todo:
            continue
        sample = range(0, present, max(1, present // 200))
        if phase in ("insert", "replace"):
            want = first if phase == "insert" else second
            for i in sample:
                if a.fetch(keys[i]) != want[i]:
                    raise AssertionError(f"after {phase}: key {keys[i]!r} holds {_show(a.fetch(keys[i]))}")
        if phase == "get absent" and any(a.fetch(absent[i]) is not MISSING for i in sample):
            raise AssertionError("a key never inserted was found")
        if phase == "remove" and present == n and a.count() != 0:
            raise AssertionError(f"{a.count()} entries left after removing all")
    return out


def _task_sizes(a: Adapter, p: dict, ready, go) -> dict:
    import random

    count, size, cap = p["count"], p["size"], p["cap_ns"]
    keys = _int_keys(0, count)
    values = [b"a" * size, b"b" * size]
    shuffled = keys[:]
    random.Random(7).shuffle(shuffled)
    ts = _stamps(count)
    ready.wait()
    go.wait()
    present = _fill(a.insert, keys, values[0], cap)
    order = shuffled if present == count else [k for k in shuffled if k < present]
    out: dict[str, Any] = {"get": [], "replace": [], "present": present}
    started = time.perf_counter()
    for rep in range(p["reps"]):
        a.begin_phase()
        done = _loop_k(a.get, order, ts, cap)
        out["get"].append(_summary(ts, done, present, present, present, count))
        new = values[(rep + 1) % 2]
        a.begin_phase()
        done2 = _loop_kv(a.insert, order, new, ts, cap)
        out["replace"].append(_summary(ts, done2, present, present, present, count))
        if done < present or done2 < present:
            break
        if a.checks:
            for k in order[:: max(1, present // 50)]:
                if a.fetch(k) != new:
                    raise AssertionError(f"key {k}: wrong {size}-byte value after replace")
        spent = time.perf_counter() - started
        if spent * (rep + 2) / (rep + 1) > p["allowance"]:
            break
    return out


def _task_mixed(a: Adapter, p: dict, ready, go) -> dict:
    import random

    present, ops, worker = p["present"], p["ops"], p["worker"]
    rng = random.Random(1000 + worker)
    keys = [rng.randrange(present) for _ in range(ops)]
    writes = bytes(rng.random() < 0.1 for _ in range(ops))
    value = b"w%015d" % worker
    ts = _stamps(ops)
    ready.wait()
    go.wait()
    a.begin_phase()
    done = _loop_mixed(a.get, a.insert, keys, writes, value, ts, p["cap_ns"])
    return {"mixed": _summary(ts, done, ops, ops * p["procs"], present, p["n"])}


def _task_write(a: Adapter, p: dict, ready, go) -> dict:
    import random

    keys, worker = list(range(*p["keys"])), p["worker"]
    if p["shuffle"]:
        random.Random(worker).shuffle(keys)
    vals = [_writer_value(worker, k) for k in keys]
    ts = _stamps(len(keys))
    ready.wait()
    go.wait()
    done = _loop_kv(a.insert, keys, vals, ts, p["cap_ns"])
    return {"write": _summary(ts, done, len(keys), p["total"]), "written": keys[:done]}


def _task_grow(a: Adapter, p: dict, ready, go) -> dict:
    lo, hi = p["range"]
    ts = _stamps(hi - lo)
    ready.wait()
    go.wait()
    done, gave_up = _loop_grow(a.insert, lo, hi, b"g%015d" % lo, ts, p["budget_ns"], p["early"])
    return {"insert": _summary(ts, done, hi - lo, p["total"]), "gave_up": gave_up}


TASKS = {"single": _task_single, "sizes": _task_sizes, "mixed": _task_mixed,
         "write": _task_write, "grow": _task_grow}


def _worker(a: Adapter, task: str, params: dict, ready, go, release, conn) -> None:
    try:
        a.attach()
        result = TASKS[task](a, params, ready, go)
        a.detach()
        conn.send(("ok", result))
    except BaseException as e:  # reported, never raised past the fork
        ready.abort()
        try:
            conn.send(("error", error_note(e)))
        except Exception:
            pass
    finally:
        conn.close()
        release.wait(120)
        os._exit(0)
