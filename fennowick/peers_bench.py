"""Side-by-side benchmark of quillmap and the shared dictionaries a Python
user would pick instead, on the same workloads, keys, values and serializer.

``quillmap bench [--quick] [--out DIR] [--systems a,b,...]`` writes
``benchmarks.md`` (tables), ``benchmarks.png`` (chart) and ``results.json``
(raw numbers) to DIR.

How a run is organised:

* every system sits behind a small adapter (``start``/``stop`` for servers,
  ``create``/``destroy`` for a store, ``attach``/``detach`` in a worker, and
  ``insert``/``get``/``remove``), so each workload is written once;
* each (system, workload case) runs in its own forked coordinator process,
  in its own process group: a peer that hangs or blows its budget is killed
  with everything it started, and the next one starts clean;
* the measured operations always run in forked worker processes (also for one
  process), started together through a barrier; every operation is
  timestamped with ``perf_counter_ns`` so p99 and the longest operation come
  from the same loop as the throughput;
* every timed phase has a time limit, growth its own budget; a phase that
  stops at its limit is reported with how far it got, its rate taken over
  the part done;
* results written into a folder that holds an earlier run with the same
  sizes keep that run's other systems, so a long benchmark can be run in parts.

Keys and values are pickled for every system: quillmap, Manager().dict(),
UltraDict and shared-memory-dict pickle by themselves; for lmdb, sqlite3,
diskcache and Redis the adapter pickles keys and values to bytes.
"""

from __future__ import annotations

import argparse
import array
import copy
import importlib.util
import json
import math
import multiprocessing as mp
import os
import pickle
import platform
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from itertools import repeat
from typing import Any

MISSING = object()
CHUNK = 2048                     # at most this many operations between two looks at the clock
FORK = mp.get_context("fork")
dumps = pickle.dumps
loads = pickle.loads


# ---- sizes and time limits -----------------------------------------------------------

@dataclass(frozen=True)
class Config:
    quick: bool
    n: int                    # keys in the single-process, read-heavy and writer workloads
    m: int                    # entries the growth workload aims at
    size_bytes: int           # data per store in the value-size workload
    size_cap: int             # at most this many entries per value size
    phase_cap: float          # seconds one timed phase (or a prefill) may take; its rate is over what it did
    growth_budget: float      # seconds to grow from empty to m
    early_stop: bool          # growth: give up at a quarter of the budget when the average rate so far
                              # would not reach 60 % of m by the end
    rep_allowance: float      # a short run is repeated (up to reps) while all its repetitions fit in this
    reps: int = 5

    def sizes_count(self, value_size: int) -> int:
        return max(8, min(self.size_cap, self.size_bytes // value_size))


FULL = Config(quick=False, n=1_000_000, m=10_000_000, size_bytes=256 << 20, size_cap=100_000,
              phase_cap=10.0, growth_budget=600.0, early_stop=True, rep_allowance=15.0)
QUICK = Config(quick=True, n=500, m=2_000, size_bytes=1 << 20, size_cap=300,
               phase_cap=5.0, growth_budget=10.0, early_stop=False, rep_allowance=0.3)

VALUE_SIZES = (16, 256, 4096, 65536)
SINGLE_PHASES = ("insert", "get", "get absent", "replace", "remove")
READ_PHASES = {"get", "get absent", "mixed"}


# ---- adapters ------------------------------------------------------------------------

def _allocated(*paths: str) -> int:
    """Bytes actually allocated on disk (or in tmpfs) by files or folders."""
    total = 0
    for p in paths:
        if os.path.isdir(p):
            for root, _dirs, files in os.walk(p):
                for f in files:
                    try:
                        total += os.stat(os.path.join(root, f)).st_blocks * 512
                    except OSError:
                        pass
        else:
            try:
                total += os.stat(p).st_blocks * 512
            except OSError:
                pass
    return total


def _module_missing(*modules: str) -> str | None:
    for m in modules:
        if importlib.util.find_spec(m) is None:
            return f"Python package `{m}` is not installed"
    return None


class Adapter:
    """One system under test. ``insert(k, v)``, ``get(k)`` and ``remove(k)``
    are plain attributes bound to the fastest callables the system offers
    (the timed loops call them directly); ``fetch(k)`` returns the value or
    MISSING and is used for checks only."""

    key = ""
    label = ""
    shared = True          # one store usable from several processes
    floor = False          # a reference row, not a peer
    reads_only = False     # report read phases only
    checks = True          # fetch()/count() tell the stored state
    config = ""

    insert: Any
    get: Any
    remove: Any

    def __init__(self, workdir: str) -> None:
        self.workdir = workdir
        self.serial = 0

    @classmethod
    def missing(cls) -> str | None:
        return None

    def _next(self, stem: str) -> str:
        self.serial += 1
        return os.path.join(self.workdir, f"{stem}-{os.getpid()}-{self.serial}")

    def start(self) -> None: ...
    def stop(self) -> None: ...
    def create(self, entries: int, value_size: int) -> None: raise NotImplementedError
    def destroy(self) -> None: ...
    def attach(self) -> None: ...
    def detach(self) -> None: ...
    def begin_phase(self) -> None: ...
    def pause(self) -> None: ...     # before forking workers: close what must not cross a fork
    def resume(self) -> None: ...    # after they are done: open it again
    def fetch(self, k: Any) -> Any: raise NotImplementedError
    def count(self) -> int | None: return None
    def footprint(self) -> int | None: return None
    def server_pids(self) -> list[int]: return []


class QuillmapAdapter(Adapter):
    key = "quillmap"
    label = "quillmap"
    config = ("pickle serializer; starts at 1,024 buckets (bucket_chunk_size_exponent=10, "
              "bucket_chunk_number=2**14) and grows by itself; arena sized for the entries")

    @classmethod
    def missing(cls) -> str | None:
        try:
            from fennowick.quillmap import quillmap  # noqa: F401  (does it import?)
        except ImportError as e:
            return f"fennowick.quillmap does not import: {e}"
        return None

    def create(self, entries: int, value_size: int) -> None:
        from fennowick.quillmap import quillmap

        size = max(64 << 20, entries * (640 + 2 * value_size))
        self.d = quillmap(size=size, bucket_chunk_size_exponent=10, bucket_chunk_number=1 << 14)
        self.name = self.d.name
        self._bind()

    def _bind(self) -> None:
        self.insert, self.get, self.remove = self.d.insert, self.d.get, self.d.remove

    def attach(self) -> None:
        from fennowick.quillmap import quillmap

        self.d = quillmap(name=self.name)
        self._bind()

    def detach(self) -> None:
        self.d = self.insert = self.get = self.remove = None

    def destroy(self) -> None:
        self.detach()
        try:
            os.unlink(self.name)
        except OSError:
            pass

    def fetch(self, k: Any) -> Any:
        r = self.d.get(k)
        return r[1] if r[0] else MISSING

    def count(self) -> int:
        from fennowick import _inspect

        return _inspect.check(self.name)["entry_count"]

    def footprint(self) -> int:
        return _allocated(os.fsdecode(self.name))


class DictAdapter(Adapter):
    key = "dict"
    label = "dict (floor)"
    shared = False
    floor = True
    config = "a plain dict in the process: no sharing, no serializer"

    def create(self, entries: int, value_size: int) -> None:
        d = self.d = {}
        self.insert, self.get = d.__setitem__, d.get
        self.remove = lambda k: d.pop(k, None)

    def destroy(self) -> None:
        self.d = {}

    def fetch(self, k: Any) -> Any:
        return self.d.get(k, MISSING)

    def count(self) -> int:
        return len(self.d)


class PickleAdapter(Adapter):
    key = "pickle"
    label = "pickle (floor)"
    shared = False
    floor = True
    checks = False
    config = "serializer alone: pickle.dumps(key) + pickle.loads(value) for a read, dumps of both for a write"

    def create(self, entries: int, value_size: int) -> None:
        stored = dumps(b"v" * value_size)
        self.insert = lambda k, v: (dumps(k), dumps(v))
        self.get = lambda k: (dumps(k), loads(stored))
        self.remove = lambda k: dumps(k)


class ManagerAdapter(Adapter):
    key = "manager"
    label = "Manager().dict()"
    config = "multiprocessing.Manager() (fork) dict proxy; every worker uses its own connection"

    def start(self) -> None:
        self.mgr = FORK.Manager()

    def stop(self) -> None:
        self.mgr.shutdown()

    def create(self, entries: int, value_size: int) -> None:
        self.d = self.mgr.dict()
        self._bind()

    def _bind(self) -> None:
        d = self.d
        self.insert, self.get = d.__setitem__, d.get
        self.remove = lambda k: d.pop(k, None)

    def attach(self) -> None:
        self._bind()  # the proxy came through fork; it opens its own connection

    def destroy(self) -> None:
        self.d = self.insert = self.get = self.remove = None

    def fetch(self, k: Any) -> Any:
        v = self.d.get(k)
        return MISSING if v is None else v

    def count(self) -> int:
        return len(self.d)

    def server_pids(self) -> list[int]:
        return [self.mgr._process.pid]


class LmdbAdapter(Adapter):
    key = "lmdb"
    label = "lmdb"
    config = ("py-lmdb, one transaction per operation; sync=False with writemap=False (keeps "
              "atomicity and consistency, gives up durability on a system crash, like sqlite's "
              "WAL + synchronous=NORMAL); max_spare_txns=1; map_size sized for the data")

    @classmethod
    def missing(cls) -> str | None:
        return _module_missing("lmdb")

    def _open(self) -> None:
        import lmdb

        self.env = lmdb.open(self.path, map_size=self.map_size, subdir=True, sync=False,
                             writemap=False, max_spare_txns=1)
        self._bind()

    def create(self, entries: int, value_size: int) -> None:
        self.path = self._next("lmdb")
        self.map_size = max(1 << 30, 4 * entries * (value_size + 128))
        self._open()

    def attach(self) -> None:
        self._open()

    def _bind(self) -> None:
        env = self.env

        def insert(k, v):
            with env.begin(write=True) as txn:
                txn.put(dumps(k), dumps(v))

        def get(k):
            with env.begin(buffers=True) as txn:
                b = txn.get(dumps(k))
                return MISSING if b is None else loads(b)

        def remove(k):
            with env.begin(write=True) as txn:
                return txn.delete(dumps(k))

        self.insert, self.get, self.remove, self.fetch = insert, get, remove, get

    def detach(self) -> None:
        self.env.close()

    pause = detach      # LMDB: an environment must not be used across fork()
    resume = attach

    def destroy(self) -> None:
        self.env.close()
        shutil.rmtree(self.path, ignore_errors=True)

    def count(self) -> int:
        return self.env.stat()["entries"]

    def footprint(self) -> int:
        return _allocated(self.path)


class LmdbBatchAdapter(LmdbAdapter):
    key = "lmdb-batch"
    label = "lmdb (reads batched)"
    reads_only = True
    BATCH = 1000
    config = (f"as lmdb, but reads share one read transaction per {BATCH} reads "
              "(writes stay one transaction each)")

    def _bind(self) -> None:
        super()._bind()
        env, batch = self.env, self.BATCH
        state = [None, 0]   # open read transaction, reads left in it

        def get(k):
            if state[1] <= 0:
                if state[0] is not None:
                    state[0].abort()
                state[0] = env.begin(buffers=True)
                state[1] = batch
            state[1] -= 1
            b = state[0].get(dumps(k))
            return MISSING if b is None else loads(b)

        def begin_phase():
            if state[0] is not None:
                state[0].abort()
            state[0], state[1] = None, 0

        self.get, self.begin_phase = get, begin_phase

    def detach(self) -> None:
        self.begin_phase()
        super().detach()

    pause = detach

    def destroy(self) -> None:
        self.begin_phase()
        super().destroy()


class DiskcacheAdapter(Adapter):
    key = "diskcache"
    label = "diskcache"
    config = "diskcache.Cache (its defaults: sqlite WAL, synchronous=NORMAL) with eviction_policy='none'"

    @classmethod
    def missing(cls) -> str | None:
        return _module_missing("diskcache")

    def _open(self) -> None:
        import diskcache

        c = self.cache = diskcache.Cache(self.path, eviction_policy="none")

        def get(k):
            b = c.get(dumps(k))
            return MISSING if b is None else loads(b)

        self.insert = lambda k, v: c.set(dumps(k), dumps(v))
        self.get = self.fetch = get
        self.remove = lambda k: c.delete(dumps(k))

    def create(self, entries: int, value_size: int) -> None:
        self.path = self._next("diskcache")
        self._open()

    def attach(self) -> None:
        self._open()

    def detach(self) -> None:
        self.cache.close()

    pause = detach      # no open sqlite connection across fork()
    resume = attach

    def destroy(self) -> None:
        self.cache.close()
        shutil.rmtree(self.path, ignore_errors=True)

    def count(self) -> int:
        return len(self.cache)

    def footprint(self) -> int:
        return _allocated(self.path)


class SqliteAdapter(Adapter):
    key = "sqlite"
    label = "sqlite3 (WAL)"
    config = ("sqlite3, autocommit (one transaction per operation), journal_mode=WAL, "
              "synchronous=NORMAL, busy timeout 60 s; key BLOB PRIMARY KEY, WITHOUT ROWID "
              "for small values")

    def _open(self) -> None:
        import sqlite3

        con = self.con = sqlite3.connect(self.path, isolation_level=None, timeout=60)
        con.execute("PRAGMA journal_mode=WAL")
        con.execute("PRAGMA synchronous=NORMAL")
        ex = con.execute
        put = "INSERT INTO kv (k, v) VALUES (?, ?) ON CONFLICT(k) DO UPDATE SET v = excluded.v"
        sel = "SELECT v FROM kv WHERE k = ?"
        dele = "DELETE FROM kv WHERE k = ?"

        def get(k):
            row = ex(sel, (dumps(k),)).fetchone()
            return MISSING if row is None else loads(row[0])

        self.insert = lambda k, v: ex(put, (dumps(k), dumps(v)))
        self.get = self.fetch = get
        self.remove = lambda k: ex(dele, (dumps(k),)).rowcount

    def create(self, entries: int, value_size: int) -> None:
        self.path = self._next("sqlite") + ".db"
        self._open()
        # WITHOUT ROWID suits rows well below a twentieth of a page
        rowid = " WITHOUT ROWID" if value_size <= 128 else ""
        self.con.execute(f"CREATE TABLE kv (k BLOB PRIMARY KEY, v BLOB NOT NULL){rowid}")

    def attach(self) -> None:
        self._open()

    def detach(self) -> None:
        self.con.close()

    pause = detach      # no open sqlite connection across fork()
    resume = attach

    def destroy(self) -> None:
        self.con.close()
        for suffix in ("", "-wal", "-shm"):
            try:
                os.unlink(self.path + suffix)
            except OSError:
                pass

    def count(self) -> int:
        return self.con.execute("SELECT count(*) FROM kv").fetchone()[0]

    def footprint(self) -> int:
        return _allocated(self.path, self.path + "-wal", self.path + "-shm")


def _redis_server() -> str | None:
    for p in (shutil.which("redis-server"), "/usr/bin/redis-server"):
        if p and os.access(p, os.X_OK):
            return p
    return None


def _free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class RedisAdapter(Adapter):
    key = "redis"
    label = "Redis"
    config = ("redis-py over TCP to a redis-server on 127.0.0.1 started for the run "
              "(--save '' --appendonly no); one client connection per process")

    @classmethod
    def missing(cls) -> str | None:
        return _module_missing("redis") or (
            None if _redis_server() else "redis-server not found (apt-get install redis-server)")

    def start(self) -> None:
        import redis

        self.port = _free_port()
        self.proc = subprocess.Popen(
            [_redis_server(), "--port", str(self.port), "--bind", "127.0.0.1", "--save", "",
             "--appendonly", "no", "--dir", self.workdir, "--daemonize", "no"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.client = redis.Redis(host="127.0.0.1", port=self.port)
        until = time.monotonic() + 20
        while True:
            try:
                self.client.ping()
                break
            except redis.ConnectionError:
                if self.proc.poll() is not None or time.monotonic() > until:
                    raise RuntimeError("redis-server did not start")
                time.sleep(0.02)

    def stop(self) -> None:
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()

    def _bind(self) -> None:
        r = self.client

        def get(k):
            b = r.get(dumps(k))
            return MISSING if b is None else loads(b)

        self.insert = lambda k, v: r.set(dumps(k), dumps(v))
        self.get = self.fetch = get
        self.remove = lambda k: r.delete(dumps(k))

    def create(self, entries: int, value_size: int) -> None:
        self.client.flushdb()
        self._bind()

    def attach(self) -> None:
        import redis

        self.client = redis.Redis(host="127.0.0.1", port=self.port)
        self._bind()

    def detach(self) -> None:
        self.client.close()

    def count(self) -> int:
        return self.client.dbsize()

    def server_pids(self) -> list[int]:
        return [self.proc.pid]


class UltraDictAdapter(Adapter):
    key = "ultradict"
    label = "UltraDict"
    config = ("UltraDict with the pickle serializer, shared_lock=True (needs `atomics`; "
              "otherwise the fork-inherited lock), update stream sized for the writes")

    @classmethod
    def missing(cls) -> str | None:
        return _module_missing("UltraDict")

    def start(self) -> None:
        self.shared_lock = importlib.util.find_spec("atomics") is not None
        if not self.shared_lock:
            self.config = "UltraDict, pickle serializer, fork-inherited lock (`atomics` missing)"

    def create(self, entries: int, value_size: int) -> None:
        from UltraDict import UltraDict

        self.name = f"qmb{os.getpid()}_{self.serial}"
        self.serial += 1
        buffer_size = min((1 << 31) - 1, max(1 << 20, 2 * entries * (value_size + 64)))
        self.ud = UltraDict(name=self.name, create=True, buffer_size=buffer_size,
                            shared_lock=self.shared_lock, auto_unlink=False)
        self._bind()

    def _bind(self) -> None:
        ud = self.ud
        self.insert, self.get = ud.__setitem__, ud.get
        self.remove = lambda k: ud.pop(k, None)

    def attach(self) -> None:
        if self.shared_lock:
            from UltraDict import UltraDict

            self.ud = UltraDict(name=self.name, create=False)
        self._bind()

    def detach(self) -> None:
        if self.shared_lock:
            self.ud.close()

    def destroy(self) -> None:
        self.ud.unlink()

    def fetch(self, k: Any) -> Any:
        v = self.ud.get(k)
        return MISSING if v is None else v

    def count(self) -> int:
        return len(self.ud)

    def footprint(self) -> int:
        dump = bytes(self.ud.full_dump_memory_name_remote).decode().strip().strip("\x00")
        names = [self.name, self.name + "_memory"] + ([dump] if dump else [])
        return _allocated(*(f"/dev/shm/{n}" for n in names))


class SharedMemoryDictAdapter(Adapter):
    key = "shared-memory-dict"
    label = "shared-memory-dict"
    config = ("SharedMemoryDict (pickle) with SHARED_MEMORY_USE_LOCK=1; segment sized to "
              "twice the pickled data")

    @classmethod
    def missing(cls) -> str | None:
        return _module_missing("shared_memory_dict")

    def start(self) -> None:
        os.environ["SHARED_MEMORY_USE_LOCK"] = "1"   # read when the module is imported

    def create(self, entries: int, value_size: int) -> None:
        from shared_memory_dict import SharedMemoryDict

        self.name = f"qmb{os.getpid()}_{self.serial}"
        self.serial += 1
        self.size = max(1 << 20, 2 * entries * (value_size + 48))
        self.smd = SharedMemoryDict(name=self.name, size=self.size)
        self._bind()

    def _bind(self) -> None:
        smd = self.smd
        self.insert, self.get = smd.__setitem__, smd.get
        self.remove = lambda k: smd.pop(k, None)

    def attach(self) -> None:
        from shared_memory_dict import SharedMemoryDict

        self.smd = SharedMemoryDict(name=self.name, size=self.size)
        self._bind()

    def destroy(self) -> None:
        try:
            self.smd.shm.unlink()
        finally:
            self.smd.cleanup()

    def fetch(self, k: Any) -> Any:
        v = self.smd.get(k)
        return MISSING if v is None else v

    def count(self) -> int:
        return len(self.smd)

    def footprint(self) -> int:
        return _allocated(f"/dev/shm/sm_{self.name}")


ADAPTERS: list[type[Adapter]] = [
    QuillmapAdapter, DictAdapter, PickleAdapter, ManagerAdapter, LmdbAdapter, LmdbBatchAdapter,
    DiskcacheAdapter, SqliteAdapter, RedisAdapter, UltraDictAdapter, SharedMemoryDictAdapter,
]
BY_KEY = {a.key: a for a in ADAPTERS}


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
            conn.send(("error", f"{type(e).__name__}: {e}"))
        except Exception:
            pass
    finally:
        conn.close()
        release.wait(120)
        os._exit(0)


# ---- running workers and watching their memory -------------------------------------------

PAGE = os.sysconf("SC_PAGE_SIZE")


def _memory(pids: list[int]) -> int:
    """Resident memory of a group of processes, shared pages counted once:
    the private resident pages of each plus the largest shared part."""
    private, shared = 0, 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/statm") as f:
                fields = f.read().split()
        except OSError:
            continue
        res, sh = int(fields[1]), int(fields[2])
        private += res - sh
        shared = max(shared, sh)
    return (private + shared) * PAGE


class _Sampler(threading.Thread):
    def __init__(self, pids: list[int]) -> None:
        super().__init__(daemon=True)
        self.pids, self.peak = pids, 0
        self.stopping = threading.Event()
        self.baseline = _memory(pids)

    def run(self) -> None:
        while not self.stopping.wait(0.05):
            self.peak = max(self.peak, _memory(self.pids))

    def finish(self) -> int:
        self.peak = max(self.peak, _memory(self.pids))
        self.stopping.set()
        self.join()
        return max(0, self.peak - self.baseline)


def _run_workers(a: Adapter, task: str, params: list[dict], limit: float,
                 watch_memory: bool = False) -> tuple[list[Any], int | None]:
    """Fork one worker per params, start them together, collect what each
    reports within ``limit`` seconds. Returns
    ([("ok", result) | ("error", text) | ("timeout", "")], memory rise)."""
    hard = time.monotonic() + limit
    ready = FORK.Barrier(len(params) + 1)
    go, release = FORK.Event(), FORK.Event()
    procs, conns = [], []
    a.pause()
    for prm in params:
        r, w = FORK.Pipe(duplex=False)
        proc = FORK.Process(target=_worker, args=(a, task, prm, ready, go, release, w))
        proc.start()
        w.close()
        procs.append(proc)
        conns.append(r)
    sampler = None
    try:
        ready.wait(max(1.0, hard - time.monotonic()))
        if watch_memory:
            sampler = _Sampler([p.pid for p in procs] + a.server_pids())
            sampler.start()
    except threading.BrokenBarrierError:
        pass
    go.set()
    results: list[Any] = []
    for c in conns:
        try:
            results.append(c.recv() if c.poll(max(0.0, hard - time.monotonic())) else ("timeout", ""))
        except EOFError:
            results.append(("error", "a worker died"))
    memory = sampler.finish() if sampler else None
    release.set()
    for proc in procs:
        proc.join(5)
        if proc.is_alive():
            proc.kill()
            proc.join()
    a.resume()
    return results, memory


# ---- workloads (run in the coordinator of one run) ---------------------------------------

def _phase_stats(parts: list[dict]) -> dict[str, Any]:
    """One phase of one repetition, over all its workers."""
    n = sum(p["n"] for p in parts)
    done = sum(p["done"] for p in parts)
    span = max(p["t1"] for p in parts) - min(p["t0"] for p in parts)
    keys = [p["keys"] for p in parts if p.get("keys") is not None]
    return {"n": n, "done": done, "secs": span / 1e9,
            "ops_s": done / (span / 1e9) if span > 0 and done else math.nan,
            "p99_us": p99_from_tops([p["top"] for p in parts], done) / 1e3 if done else math.nan,
            "max_us": max(p["max"] for p in parts) / 1e3,
            "keys": min(keys) if keys else None, "full_keys": parts[0].get("full_keys"),
            "status": "ok" if done == n else "capped"}


def _median_phase(reps: list[dict]) -> dict[str, Any]:
    """Median over repetitions that did all their work; a capped one stands alone."""
    import statistics

    capped = [r for r in reps if r["status"] != "ok"]
    if capped:
        return dict(capped[0], reps=1)
    out = dict(reps[0])
    out["ops_s"] = statistics.median(r["ops_s"] for r in reps)
    out["p99_us"] = statistics.median(r["p99_us"] for r in reps)
    out["max_us"] = max(r["max_us"] for r in reps)
    out["reps"] = len(reps)
    return out


def _trouble(results: list[Any]) -> dict | None:
    for kind, payload in results:
        if kind == "error":
            return {"status": "failed", "note": payload}
    for kind, _ in results:
        if kind == "timeout":
            return {"status": "timeout", "note": "no answer within the run's hard limit"}
    return None


def _limit(cfg: Config, phases: int) -> float:
    """Hard limit for one round of workers: only reached when something hangs."""
    return phases * cfg.phase_cap * 3 + 120


def _w_single(a: Adapter, run: "RunSpec", cfg: Config) -> dict:
    reps: dict[str, list] = {ph: [] for ph in SINGLE_PHASES}
    started = time.perf_counter()
    for _ in range(cfg.reps):
        t = time.perf_counter()
        a.create(cfg.n, 16)
        try:
            results, _mem = _run_workers(a, "single", [{"n": cfg.n, "kind": run.case,
                                                        "cap_ns": int(cfg.phase_cap * 1e9)}], _limit(cfg, 5))
        finally:
            a.destroy()
        bad = _trouble(results)
        if bad:
            return dict(bad, phases={ph: _median_phase(r) for ph, r in reps.items() if r})
        got = results[0][1]
        for ph in SINGLE_PHASES:
            reps[ph].append(_phase_stats([got[ph]]))
        if any(r[-1]["status"] != "ok" for r in reps.values()):
            break
        once = time.perf_counter() - t
        if time.perf_counter() - started + once > cfg.rep_allowance:
            break
    return {"status": "ok", "phases": {ph: _median_phase(r) for ph, r in reps.items()}}


def _w_sizes(a: Adapter, run: "RunSpec", cfg: Config) -> dict:
    size = int(run.case)
    count = cfg.sizes_count(size)
    a.create(count, size)
    try:
        results, _mem = _run_workers(a, "sizes", [{"count": count, "size": size, "reps": cfg.reps,
                                                   "cap_ns": int(cfg.phase_cap * 1e9),
                                                   "allowance": cfg.rep_allowance}],
                                     _limit(cfg, 1 + 2 * cfg.reps))
    finally:
        a.destroy()
    bad = _trouble(results)
    if bad:
        return dict(bad, phases={})
    got = results[0][1]
    phases = {ph: _median_phase([_phase_stats([s]) for s in got[ph]]) for ph in ("get", "replace") if got[ph]}
    return {"status": "ok", "phases": phases, "entries": count}


def _w_read90(a: Adapter, run: "RunSpec", cfg: Config) -> dict:
    procs, n = int(run.case), cfg.n
    a.create(n, 16)
    try:
        present = _fill(a.insert, _int_keys(0, n), b"p%015d" % 0, int(cfg.phase_cap * 1e9))
        reps: list[dict] = []
        started = time.perf_counter()
        for _ in range(cfg.reps):
            t = time.perf_counter()
            params = [{"present": present, "n": n, "ops": n, "worker": w, "procs": procs,
                       "cap_ns": int(cfg.phase_cap * 1e9)} for w in range(procs)]
            results, _mem = _run_workers(a, "mixed", params, _limit(cfg, 1))
            bad = _trouble(results)
            if bad:
                return dict(bad, phases={"mixed": _median_phase(reps)} if reps else {})
            reps.append(_phase_stats([r[1]["mixed"] for r in results]))
            if reps[-1]["status"] != "ok":
                break
            once = time.perf_counter() - t
            if time.perf_counter() - started + once > cfg.rep_allowance:
                break
        if a.checks and a.shared and a.count() != present:
            return {"status": "failed", "note": f"{a.count()} entries after the run, expected {present}",
                    "phases": {"mixed": _median_phase(reps)}}
    finally:
        a.destroy()
    return {"status": "ok", "phases": {"mixed": _median_phase(reps)}}


def _check_writers(a: Adapter, procs: int, shared: bool, results: list[Any], keyspace: int) -> str:
    """The final state after the writers, seen from another process: every
    key written holds the value of a worker that wrote it, and the count is right."""
    written = [set(r[1]["written"]) for r in results]
    if shared:
        keys = set().union(*written)
        for k in sorted(keys):
            v = a.fetch(k)
            if v not in [_writer_value(w, k) for w in range(procs) if k in written[w]]:
                return f"key {k} holds {_show(v)}"
        expected = len(keys)
    else:
        expected = 0
        for w, ks in enumerate(written):
            expected += len(ks)
            for k in ks:
                v = a.fetch(k)
                if v != _writer_value(w, k):
                    return f"key {k} holds {_show(v)}, expected {_writer_value(w, k)!r}"
    if a.fetch(keyspace + 1) is not MISSING:
        return "a key never written is present"
    c = a.count()
    if c is not None and c != expected:
        return f"{c} entries, expected {expected}"
    return ""


def _w_writers(a: Adapter, run: "RunSpec", cfg: Config) -> dict:
    procs_s, mode = run.case.split()
    procs, shared, n = int(procs_s), mode == "shared", cfg.n
    reps: list[dict] = []
    check = ""
    started = time.perf_counter()
    for _ in range(cfg.reps):
        t = time.perf_counter()
        a.create(n, 16)
        try:
            if shared:
                per = keyspace = n // procs
                params = [{"keys": (0, per), "shuffle": True, "worker": w, "total": per * procs}
                          for w in range(procs)]
            else:
                share, keyspace = math.ceil(n / procs), n
                params = [{"keys": (w * share, min(n, (w + 1) * share)), "shuffle": False, "worker": w,
                           "total": n} for w in range(procs)]
            for prm in params:
                prm["cap_ns"] = int(cfg.phase_cap * 1e9)
            results, _mem = _run_workers(a, "write", params, _limit(cfg, 1))
            bad = _trouble(results)
            if bad:
                return dict(bad, phases={})
            reps.append(_phase_stats([r[1]["write"] for r in results]))
            if a.checks:
                check = _check_writers(a, procs, shared, results, keyspace)
        finally:
            a.destroy()
        if check or reps[-1]["status"] != "ok":
            break
        once = time.perf_counter() - t
        if time.perf_counter() - started + once > cfg.rep_allowance:
            break
    return {"status": "failed" if check else "ok", "phases": {"write": _median_phase(reps)},
            "checked": (check or "ok") if a.checks else "not checked",
            "note": f"final state wrong: {check}" if check else ""}


def _w_growth(a: Adapter, run: "RunSpec", cfg: Config) -> dict:
    procs, m = int(run.case), cfg.m
    a.create(m, 16)
    try:
        per = math.ceil(m / procs)
        params = [{"range": (w * per, min(m, (w + 1) * per)), "total": m, "early": cfg.early_stop,
                   "budget_ns": int(cfg.growth_budget * 1e9)} for w in range(procs)]
        results, memory = _run_workers(a, "grow", params, cfg.growth_budget * 1.5 + 120, watch_memory=True)
        bad = _trouble(results)
        if bad:
            return dict(bad, phases={})
        phase = _phase_stats([r[1]["insert"] for r in results])
        gave_up = any(r[1]["gave_up"] for r in results)
        phase["status"] = "ok" if phase["done"] == m else ("gave up" if gave_up else "over budget")
        extra = {"memory": memory, "footprint": a.footprint()}
        problem = ""
        if a.checks and a.shared:
            c = a.count()
            if c is not None and c != phase["done"]:
                problem = f"{c:,} entries, expected {phase['done']:,}"
            for w, r in enumerate(results):
                lo, d = params[w]["range"][0], r[1]["insert"]["done"]
                for k in range(lo, lo + d, max(1, d // 100)):
                    if a.fetch(k) != b"g%015d" % lo:
                        problem = problem or f"key {k} holds {_show(a.fetch(k))}"
                        break
        return {"status": "failed" if problem else "ok", "phases": {"insert": phase}, "extra": extra,
                "checked": (problem or "ok") if a.checks and a.shared else "not checked",
                "note": f"final state wrong: {problem}" if problem else ""}
    finally:
        a.destroy()


WORKLOADS = {"single": _w_single, "read90": _w_read90, "writers": _w_writers,
             "sizes": _w_sizes, "growth": _w_growth}


@dataclass(frozen=True)
class RunSpec:
    workload: str
    case: str
    procs: int


def plan() -> list[RunSpec]:
    runs = [RunSpec("single", "int", 1), RunSpec("single", "str", 1),
            RunSpec("read90", "1", 1), RunSpec("read90", "2", 2)]
    runs += [RunSpec("writers", f"{p} {mode}", p) for p in (2, 4) for mode in ("disjoint", "shared")]
    runs += [RunSpec("sizes", str(s), 1) for s in VALUE_SIZES]
    runs += [RunSpec("growth", "1", 1), RunSpec("growth", "2", 2)]
    return runs


def _outer_limit(cfg: Config, run: RunSpec) -> float:
    if run.workload == "growth":
        return cfg.growth_budget * 2 + 300
    rounds = {"single": cfg.reps * 5, "read90": 1 + cfg.reps, "writers": cfg.reps,
              "sizes": 1 + 2 * cfg.reps}[run.workload]
    return rounds * (cfg.phase_cap * 3 + 60) + 300


def _coordinate(cls: type[Adapter], run: RunSpec, cfg: Config, workdir: str, conn) -> None:
    """One run, in its own process group so that everything it starts can be
    stopped together."""
    os.setpgid(0, 0)
    a = cls(workdir)
    try:
        a.start()
        try:
            result = WORKLOADS[run.workload](a, run, cfg)
        finally:
            a.stop()
    except BaseException as e:
        result = {"status": "failed", "note": f"{type(e).__name__}: {e}", "phases": {}}
    result["config"] = a.config
    conn.send(result)
    conn.close()
    os._exit(0)


def _execute(cls: type[Adapter], run: RunSpec, cfg: Config, workdir: str) -> dict:
    limit = _outer_limit(cfg, run)
    r, w = FORK.Pipe(duplex=False)
    proc = FORK.Process(target=_coordinate, args=(cls, run, cfg, workdir, w))
    proc.start()
    w.close()
    try:
        if r.poll(limit):
            result = r.recv()
        else:
            result = {"status": "timeout", "note": f"stopped after {limit:.0f} s", "phases": {}}
    except EOFError:
        result = {"status": "failed", "note": f"the run died (exit code {proc.exitcode})", "phases": {}}
    finally:
        proc.join(10)
        try:
            os.killpg(proc.pid, signal.SIGKILL)   # whatever the run left behind (servers, workers)
        except (ProcessLookupError, PermissionError):
            pass
        proc.join()
        _sweep(workdir)
    return result


def _sweep(workdir: str) -> None:
    """Remove what a stopped run may have left: files in the work folder and
    shared-memory segments named after the run."""
    for entry in os.listdir(workdir):
        p = os.path.join(workdir, entry)
        shutil.rmtree(p, ignore_errors=True) if os.path.isdir(p) else _unlink(p)
    try:
        for entry in os.listdir("/dev/shm"):
            if entry.startswith(("qmb", "sm_qmb")):
                _unlink(os.path.join("/dev/shm", entry))
    except OSError:
        pass


def _unlink(p: str) -> None:
    try:
        os.unlink(p)
    except OSError:
        pass


# ---- the whole benchmark ------------------------------------------------------------------

@dataclass
class Report:
    cfg: Config
    systems: list[type[Adapter]]
    skipped: dict[str, str] = field(default_factory=dict)
    results: dict[tuple[str, str, str], dict] = field(default_factory=dict)   # (system, workload, case)
    configs: dict[str, str] = field(default_factory=dict)
    commands: list[str] = field(default_factory=list)
    seconds: float = 0.0


def _blocked(rep: Report, cls: type[Adapter], run: RunSpec) -> str | None:
    if run.procs > 1 and not cls.shared:
        return "n/a"
    if cls.reads_only and run.workload in ("writers", "growth"):
        return "n/a"
    if run.workload == "growth" and run.case != "1":
        ins = rep.results.get((cls.key, "growth", "1"), {}).get("phases", {}).get("insert")
        if ins and ins["status"] != "ok" and ins["done"] < 0.5 * ins["n"]:
            return "not run: one process reached under half the entries in the budget"
    return None


def parse_systems(wanted: str) -> list[type[Adapter]]:
    if not wanted or not wanted.strip():
        return list(ADAPTERS)
    chosen = []
    for name in (s.strip().lower() for s in wanted.split(",") if s.strip()):
        if name not in BY_KEY:
            raise ValueError(f"unknown system {name!r}; choose from {', '.join(BY_KEY)}")
        chosen.append(BY_KEY[name])
    return [a for a in ADAPTERS if a in chosen]


def _run_status(result: dict) -> str:
    phases = result.get("phases", {})
    if result["status"] != "ok":
        return result["status"]
    marks = {p["status"] for p in phases.values()} - {"ok"}
    return "ok" if not marks else ", ".join(sorted(marks))


def run_all(cfg: Config, systems: list[type[Adapter]], log=print, on_result=None) -> Report:
    import numpy  # noqa: F401  (loaded once here, inherited by every run through fork)

    rep = Report(cfg=cfg, systems=systems)
    workdir = tempfile.mkdtemp(prefix="quillmap-bench-")
    old_tmp = os.environ.get("TMPDIR")
    os.environ["TMPDIR"] = workdir      # quillmap's backing files go beside the peers' files
    t0 = time.perf_counter()
    try:
        for cls in systems:
            why = cls.missing()
            if why:
                rep.skipped[cls.key] = why
                log(f"{cls.label:<22} skipped: {why}")
                continue
            rep.configs[cls.key] = cls.config
            for run in plan():
                why = _blocked(rep, cls, run)
                if why:
                    rep.results[(cls.key, run.workload, run.case)] = {"status": "not run", "note": why,
                                                                       "phases": {}}
                    continue
                t = time.perf_counter()
                result = _execute(cls, run, cfg, workdir)
                rep.configs[cls.key] = result.pop("config", cls.config)
                rep.results[(cls.key, run.workload, run.case)] = result
                note = f"  ({result['note']})" if result.get("note") else ""
                log(f"{cls.label:<22} {run.workload:<8} {run.case:<11} {_run_status(result):<12} "
                    f"{time.perf_counter() - t:6.1f} s{note}")
                if on_result is not None:
                    rep.seconds = time.perf_counter() - t0
                    on_result(rep)
    finally:
        if old_tmp is None:
            os.environ.pop("TMPDIR", None)
        else:
            os.environ["TMPDIR"] = old_tmp
        _sweep(workdir)
        shutil.rmtree(workdir, ignore_errors=True)
    rep.seconds = time.perf_counter() - t0
    return rep


def _merge_earlier(rep: Report, path: str) -> None:
    """Keep, from an earlier run into the same folder with the same sizes, the
    systems this run did not cover, so a long benchmark can be run in parts."""
    try:
        with open(path) as f:
            old = json.load(f)
    except (OSError, ValueError):
        return
    if (old.get("quick"), old.get("n"), old.get("m")) != (rep.cfg.quick, rep.cfg.n, rep.cfg.m):
        return
    ours = {c.key for c in rep.systems}
    kept = {r["system"] for r in old.get("runs", []) if r.get("system") in BY_KEY} | set(old.get("skipped", {}))
    kept -= ours
    if not kept:
        return
    for r in old["runs"]:
        if r["system"] in kept:
            r = dict(r)
            rep.results[(r.pop("system"), r.pop("workload"), r.pop("case"))] = r
    for k in kept:
        if k in old.get("skipped", {}):
            rep.skipped[k] = old["skipped"][k]
        if k in old.get("configs", {}):
            rep.configs[k] = old["configs"][k]
    rep.systems = [a for a in ADAPTERS if a.key in ours | kept]
    # one line per command: a later run of the same command (or the last
    # checkpoint of the one under way) replaces an earlier one's line
    ran = {c.split("  #")[0] for c in rep.commands}
    rep.commands = [c for c in old.get("commands", []) if c.split("  #")[0] not in ran] + rep.commands
    rep.seconds += old.get("seconds", 0.0)


def main(args: argparse.Namespace) -> int:
    cfg = QUICK if getattr(args, "quick", False) else FULL
    try:
        systems = parse_systems(getattr(args, "systems", "") or "")
    except ValueError as e:
        print(f"quillmap bench: {e}", file=sys.stderr)
        return 2
    out = getattr(args, "out", None) or "bench-results"
    os.makedirs(out, exist_ok=True)
    wanted = getattr(args, "systems", "") or ""
    command = "quillmap bench" + (" --quick" if cfg.quick else "") + (f" --systems {wanted}" if wanted else "") \
        + f" --out {out}"
    print(f"{'quick' if cfg.quick else 'full'} run of {len(systems)} systems: N={cfg.n:,}, growth to "
          f"{cfg.m:,}; results in {out}", flush=True)
    started = time.strftime('%Y-%m-%d %H:%M')

    def save(part: Report, state: str = "") -> list[str]:
        # The report of what has run so far, merged with the folder's earlier
        # runs of other systems. Written after every run too, so that a long
        # benchmark that is stopped keeps what it measured.
        done = copy.deepcopy(part)
        done.commands = [f"{command}  # {started}, {done.seconds / 60:.1f} min{state}"]
        _merge_earlier(done, os.path.join(out, "results.json"))
        return write_report(done, out)

    latest: list[Report] = []

    def checkpoint(part: Report) -> None:
        latest[:] = [part]
        save(part, ", in progress")

    signal.signal(signal.SIGTERM, signal.default_int_handler)  # stopped like Ctrl-C: the report is kept
    try:
        rep = run_all(cfg, systems, log=lambda s: print(s, flush=True), on_result=checkpoint)
    except KeyboardInterrupt:
        if latest:
            save(latest[0], ", stopped before the end")
        print("stopped: the report holds the runs that finished", file=sys.stderr)
        return 130
    paths = save(rep)
    print("wrote " + ", ".join(paths))
    bad = [k for k in rep.results if k[0] == "quillmap" and k[0] in {c.key for c in systems}
           and rep.results[k]["status"] in ("failed", "timeout")]
    for k in bad:
        print(f"quillmap {rep.results[k]['status']} in {k[1]} {k[2]}: {rep.results[k].get('note', '')}",
              file=sys.stderr)
    return 1 if bad else 0


# ---- the report -------------------------------------------------------------------------

SIZE_NAMES = {16: "16 B", 256: "256 B", 4096: "4 KiB", 65536: "64 KiB"}


def _rate(x: float | None) -> str:
    if x is None or not math.isfinite(x):
        return "–"
    for div, unit in ((1e6, " M"), (1e3, " k")):
        if x >= div:
            return f"{x / div:.3g}{unit}"
    return f"{x:.3g}"


def _dur_us(us: float | None) -> str:
    if us is None or not math.isfinite(us):
        return "–"
    if us >= 1e6:
        return f"{us / 1e6:.3g} s"
    if us >= 1e3:
        return f"{us / 1e3:.3g} ms"
    return f"{us:.3g} µs"


def _mib(b: int | None) -> str:
    return "–" if b is None else f"{b / 2**20:,.1f} MiB"


def _seconds(s: float) -> str:
    return f"{s / 60:g} minutes" if s >= 120 else f"{s:g} s"


def _count(x: int) -> str:
    return f"{x / 1e6:.3g} M" if x >= 1e6 else f"{x / 1e3:.3g} k" if x >= 1e4 else f"{x:,}"


def _phase(rep: Report, system: str, workload: str, case: str, phase: str) -> tuple[dict, dict | None]:
    res = rep.results.get((system, workload, case), {})
    return res, res.get("phases", {}).get(phase)


def _value(rep: Report, key: str, workload: str, case: str, phase: str) -> float | None:
    """Operations per second of a measured phase whose run went right, else None."""
    res, ph = _phase(rep, key, workload, case, phase)
    if ph and res.get("status") == "ok" and ph.get("done") and math.isfinite(ph.get("ops_s", math.nan)):
        return ph["ops_s"]
    return None


def _cell(rep: Report, cls: type[Adapter], workload: str, case: str, phase: str) -> str:
    if cls.reads_only and phase not in READ_PHASES:
        return "·"
    res, ph = _phase(rep, cls.key, workload, case, phase)
    status = res.get("status")
    if not res:
        return "–"
    if status == "not run":
        return "n/a" if res.get("note") == "n/a" else "not run"
    if ph and ph.get("done"):
        text = f"{_rate(ph['ops_s'])}/s · {_dur_us(ph['p99_us'])}"
        if ph["status"] != "ok":
            text += f" †{ph['done'] / ph['n']:.0%}"
        if ph.get("keys") is not None and ph.get("full_keys") and ph["keys"] < ph["full_keys"]:
            text += f" ‡{_count(ph['keys'])}"
        return text
    if status in ("failed", "timeout"):
        return status
    return "not reached"


def _table(header: list[str], rows: list[list[str]]) -> list[str]:
    out = ["| " + " | ".join(header) + " |", "|" + "|".join(["---"] + ["---:"] * (len(header) - 1)) + "|"]
    return out + ["| " + " | ".join(r) + " |" for r in rows]


def _label(cls: type[Adapter]) -> str:
    return f"*{cls.label}*" if cls.floor else (f"**{cls.label}**" if cls.key == "quillmap" else cls.label)


def _ran(rep: Report) -> list[type[Adapter]]:
    return [c for c in rep.systems if c.key not in rep.skipped]


def _columns() -> list[tuple[str, str, str, str, str]]:
    """Every compared column: (section, column title, workload, case, phase)."""
    cols = [("one process, int keys", ph, "single", "int", ph) for ph in SINGLE_PHASES]
    cols += [("one process, str keys", ph, "single", "str", ph) for ph in SINGLE_PHASES]
    cols += [("read-heavy", f"{p} process{'es' if p > 1 else ''}", "read90", str(p), "mixed") for p in (1, 2)]
    cols += [("writers", f"{p} processes, {m} keys", "writers", f"{p} {m}", "write")
             for p in (2, 4) for m in ("disjoint", "shared")]
    cols += [("value sizes", f"{ph} {SIZE_NAMES[s]}", "sizes", str(s), ph)
             for ph in ("get", "replace") for s in VALUE_SIZES]
    cols += [("growth", f"{p} process{'es' if p > 1 else ''}", "growth", str(p), "insert") for p in (1, 2)]
    return cols


def _not_ahead(rep: Report) -> list[str]:
    """Every column where a peer (not a floor) beat quillmap, or quillmap has no number."""
    lines = []
    peers = [c for c in _ran(rep) if not c.floor and c.key != "quillmap"]
    for section, title, wl, case, ph in _columns():
        ours = _value(rep, "quillmap", wl, case, ph)
        rivals = [(v, c) for c in peers if not (c.reads_only and ph not in READ_PHASES)
                  for v in [_value(rep, c.key, wl, case, ph)] if v is not None]
        best = max(rivals, default=None, key=lambda t: t[0])
        if ours is None:
            res = rep.results.get(("quillmap", wl, case), {})
            lines.append(f"- {section}, {title}: quillmap has no result ({res.get('note') or res.get('status', '?')})")
        elif best and best[0] > ours:
            lines.append(f"- {section}, {title}: {best[1].label} {_rate(best[0])}/s, quillmap "
                         f"{_rate(ours)}/s (quillmap at {ours / best[0]:.2f}× of it)")
    return lines


def _machine() -> list[str]:
    from importlib import metadata

    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((l.split(":", 1)[1].strip() for l in f if l.startswith("model name")), cpu)
    except OSError:
        pass
    mem = ""
    try:
        with open("/proc/meminfo") as f:
            kb = int(next(l for l in f if l.startswith("MemTotal")).split()[1])
        mem = f", {kb / 2**20:.0f} GiB memory"
    except (OSError, StopIteration, ValueError):
        pass
    versions = []
    for dist in ("lmdb", "diskcache", "redis", "hiredis", "UltraDict", "atomics", "shared-memory-dict", "numpy"):
        try:
            versions.append(f"{dist} {metadata.version(dist)}")
        except metadata.PackageNotFoundError:
            pass
    server = _redis_server()
    if server:
        try:
            v = subprocess.run([server, "--version"], capture_output=True, text=True, timeout=10).stdout
            versions.append("redis-server " + next((w[2:] for w in v.split() if w.startswith("v=")), "?"))
        except (OSError, subprocess.SubprocessError):
            pass
    return [f"- Machine: {cpu}, {os.cpu_count()} cores{mem}, Linux {platform.release()}",
            f"- Python {platform.python_version()}; {', '.join(versions)}",
            f"- Every system's files in {tempfile.gettempdir()} (one file system for all; "
            "shared-memory segments in /dev/shm)"]


def _markdown(rep: Report) -> str:
    cfg = rep.cfg
    systems = _ran(rep)
    L = ["# quillmap against its peers", ""]
    L += ["Made with:", ""]
    L += [f"    {c}" for c in rep.commands]
    L += ["", f"Full run: {rep.seconds / 60:.0f} minutes." if not cfg.quick else
          "Quick mode: tiny sizes, to test the benchmark itself; the numbers are not for comparing.", ""]
    L += _machine()
    L += ["", "![chart](benchmarks.png)", "", "## How to read", "",
          f"Every system gets the same keys and the same values, pickled. N = {cfg.n:,} keys; "
          f"values of 16 bytes unless said otherwise; growth to M = {cfg.m:,} entries.",
          "",
          "A cell gives operations per second over all processes of the run, then the "
          "99th-percentile latency of one operation. A run is repeated, up to "
          f"{cfg.reps} times, while its repetitions together take less than {cfg.rep_allowance:g} s, "
          "and the medians are shown. "
          "Each operation is timestamped on its own, so every number includes one timer call "
          "(about 50 ns). The measured operations always run in forked worker processes, "
          "started together.",
          "",
          f"Time limits: a timed phase (and a prefill) stops after {cfg.phase_cap:g} s; "
          f"growth to M has {_seconds(cfg.growth_budget)}"
          + (", and a growth run gives up after a quarter of that when, at its average rate so far, "
             "it would not reach 60 % of M by the end" if cfg.early_stop else "") + ".",
          "",
          "- *†x%*: the phase stopped at its time limit after x% of its operations; the rate is "
          "over the part done.",
          "- *‡k*: the store held only k keys (its prefill or insert phase stopped at the limit), "
          "not the full number.",
          "- *n/a*: a one-process reference cannot share a store between processes; "
          "*not run*: see the notes at the end; *·*: not measured (lmdb with batched reads "
          "differs from lmdb only in its reads).",
          "- The floors are references, not peers: *pickle (floor)* is the serializer alone "
          "(pickle.dumps(key) + pickle.loads(value) for a read), *dict (floor)* a plain dict "
          "in one process.", ""]

    for kind, title in (("int", "small int keys"), ("str", "10-character str keys")):
        L += [f"## One process, {title}", "",
              "Insert N keys into an empty store, get each, get N keys never inserted, "
              "replace each value, remove each.", ""]
        L += _table(["system"] + list(SINGLE_PHASES),
                    [[_label(c)] + [_cell(rep, c, "single", kind, ph) for ph in SINGLE_PHASES] for c in systems])
        L.append("")

    L += ["## Read-heavy: 90 % get, 10 % replace", "",
          "N keys; each process does N operations on random keys.", ""]
    rows = []
    for c in systems:
        one, two = _value(rep, c.key, "read90", "1", "mixed"), _value(rep, c.key, "read90", "2", "mixed")
        rows.append([_label(c), _cell(rep, c, "read90", "1", "mixed"), _cell(rep, c, "read90", "2", "mixed"),
                     f"{two / one:.2f}×" if one and two else "–"])
    L += _table(["system", "1 process", "2 processes", "2 processes / 1"], rows)
    L.append("")

    L += ["## Writers", "",
          "N inserts in all into an empty store. *disjoint*: each process inserts its own share "
          "of the N keys; *shared*: every one of the P processes inserts the same N / P keys, "
          "each in its own order. Afterwards every key written is read back from another "
          "process and the entries counted: ✓ the final state is right, ✗ it is not.", ""]
    rows = []
    for c in systems:
        row = [_label(c)]
        for p in (2, 4):
            for m in ("disjoint", "shared"):
                chk = rep.results.get((c.key, "writers", f"{p} {m}"), {}).get("checked")
                mark = " ✓" if chk == "ok" else "" if chk in (None, "not checked") else " ✗"
                row.append(_cell(rep, c, "writers", f"{p} {m}", "write") + mark)
        rows.append(row)
    L += _table(["system", "2 disjoint", "2 shared", "4 disjoint", "4 shared"], rows)
    L.append("")

    L += ["## Value sizes", "",
          "Entries per size: " + ", ".join(f"{SIZE_NAMES[s]}: {cfg.sizes_count(s):,}" for s in VALUE_SIZES)
          + "; int keys, read and replaced in a random order.", ""]
    for ph in ("get", "replace"):
        L += [f"### {ph}", ""]
        L += _table(["system"] + [SIZE_NAMES[s] for s in VALUE_SIZES],
                    [[_label(c)] + [_cell(rep, c, "sizes", str(s), ph) for s in VALUE_SIZES] for c in systems])
        L.append("")

    L += [f"## Growth from empty to {cfg.m:,} entries", "",
          "With two processes each inserts half the keys. *Peak memory* is the rise of resident "
          "memory during the run, over the writing processes and the system's server if it has "
          "one, pages shared between them counted once; data a system keeps only in the kernel's "
          "page cache (sqlite, diskcache, lmdb's written pages) does not show there but under "
          "*on disk* (bytes allocated to its files, or to its shared-memory segments).", ""]
    rows = []
    for c in systems:
        for p in (1, 2):
            res, ph = _phase(rep, c.key, "growth", str(p), "insert")
            if not res or res.get("note") == "n/a":
                continue
            ex = res.get("extra", {})
            if ph and ph.get("done"):
                reached = {"ok": "all", "over budget": "over budget at", "gave up": "gave up at"}[ph["status"]]
                if ph["status"] != "ok":
                    reached += f" {_count(ph['done'])} ({ph['done'] / ph['n']:.0%})"
                if res.get("checked") not in (None, "ok", "not checked"):
                    reached += " ✗"
                rows.append([_label(c), str(p), reached, f"{ph['secs']:.1f}", f"{_rate(ph['ops_s'])}/s",
                             _dur_us(ph["p99_us"]), _dur_us(ph["max_us"]), _mib(ex.get("footprint")),
                             _mib(ex.get("memory"))])
            else:
                rows.append([_label(c), str(p), res.get("status", "–")] + ["–"] * 6)
    L += _table(["system", "processes", "reached", "seconds", "inserts", "p99", "longest insert",
                 "on disk", "peak memory"], rows)
    L.append("")

    if QuillmapAdapter in systems:
        ahead = _not_ahead(rep)
        L += ["## Where quillmap is not ahead", ""]
        L += ahead or ["Nowhere: in every column quillmap is ahead of every peer that has a number."]
        L.append("")

    L += ["## How each system is set up", ""]
    L += [f"- {c.label}: {rep.configs.get(c.key, c.config)}" for c in systems]
    L += [f"- {BY_KEY[k].label}: skipped, {why}" for k, why in rep.skipped.items()]
    notes = [f"- {c.label}, {wl} {case}: {r['note']}" for c in systems
             for (k, wl, case), r in rep.results.items() if k == c.key and r.get("note") not in (None, "", "n/a")]
    if notes:
        L += ["", "## Notes from the runs", ""] + notes
    L.append("")
    return "\n".join(L)


def _chart(rep: Report, path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np

    systems = _ran(rep)
    colors = {c.key: plt.cm.tab20(i / max(1, len(ADAPTERS) - 1)) for i, c in enumerate(ADAPTERS)}
    panels = [
        ("one process, int keys", [(ph, "single", "int", ph) for ph in SINGLE_PHASES]),
        ("one process, str keys", [(ph, "single", "str", ph) for ph in SINGLE_PHASES]),
        ("read-heavy 90/10", [(f"{p} proc", "read90", str(p), "mixed") for p in (1, 2)]),
        ("writers", [(f"{p} {m}", "writers", f"{p} {m}", "write") for p in (2, 4) for m in ("disjoint", "shared")]),
        ("value sizes", [(f"{ph} {SIZE_NAMES[s]}", "sizes", str(s), ph) for ph in ("get", "replace")
                         for s in VALUE_SIZES]),
        (f"growth to {rep.cfg.m:,}", [(f"{p} proc", "growth", str(p), "insert") for p in (1, 2)]),
    ]
    fig, axes = plt.subplots(2, 3, figsize=(20, 10))
    width = 0.8 / max(1, len(systems))
    for ax, (title, cols) in zip(axes.flat, panels):
        x = np.arange(len(cols))
        for i, c in enumerate(systems):
            heights, partial = [], []
            for _, wl, case, ph in cols:
                res, p = _phase(rep, c.key, wl, case, ph)
                v = None if c.reads_only and ph not in READ_PHASES else _value(rep, c.key, wl, case, ph)
                heights.append(v or 0.0)
                partial.append(bool(v) and p["status"] != "ok")
            bars = ax.bar(x + (i - (len(systems) - 1) / 2) * width, heights, width, color=colors[c.key],
                          label=c.label, edgecolor="black" if c.key == "quillmap" else "none", linewidth=0.8)
            for b, h in zip(bars, partial):
                if h:
                    b.set_hatch("///")
                    b.set_alpha(0.55)
        ax.set_yscale("log")
        ax.set_xticks(x, [c[0] for c in cols], rotation=30 if len(cols) > 4 else 0, fontsize=8)
        ax.set_title(title)
        ax.set_ylabel("operations / s (log)")
        ax.grid(axis="y", which="major", alpha=0.3)
    handles, labels = axes.flat[0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="lower center", ncol=min(len(labels), 6), fontsize=9)
    fig.suptitle("quillmap against its peers: operations per second, higher is better; "
                 "hatched: stopped at its time limit" + (" (quick mode)" if rep.cfg.quick else ""))
    fig.tight_layout(rect=(0, 0.07, 1, 0.96))
    fig.savefig(path, dpi=100)
    plt.close(fig)


def write_report(rep: Report, out: str) -> list[str]:
    md, png, raw = (os.path.join(out, f) for f in ("benchmarks.md", "benchmarks.png", "results.json"))
    os.makedirs(out, exist_ok=True)
    with open(md, "w") as f:
        f.write(_markdown(rep))
    _chart(rep, png)
    with open(raw, "w") as f:
        json.dump({"commands": rep.commands, "quick": rep.cfg.quick, "n": rep.cfg.n, "m": rep.cfg.m,
                   "seconds": rep.seconds, "skipped": rep.skipped, "configs": rep.configs,
                   "runs": [{"system": k, "workload": wl, "case": case, **r}
                            for (k, wl, case), r in rep.results.items()]}, f, indent=1)
    return [md, png, raw]
