"""Adapters for the stores that take bytes (lmdb, diskcache, sqlite3, Redis):
keys and values are pickled by the adapter."""

from __future__ import annotations

import os
import shutil
import subprocess
import time


from fennowick.bench.settings import MISSING, dumps, loads
from fennowick.bench.adapters import Adapter, _allocated, _module_missing


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


class RedisAdapter(Adapter):
    key = "redis"
    label = "Redis"
    config = ("redis-py (with hiredis, its parser when installed) over a unix socket to a redis-server "
              "started for the run (--save '' --appendonly no, no TCP port), as a program on one machine "
              "would use it; one client connection per process")

    @classmethod
    def missing(cls) -> str | None:
        return _module_missing("redis") or (
            None if _redis_server() else "redis-server not found (apt-get install redis-server)")

    def start(self) -> None:
        import redis

        self.socket = os.path.join(self.workdir, "redis.sock")
        self.proc = subprocess.Popen(
            [_redis_server(), "--port", "0", "--unixsocket", self.socket, "--unixsocketperm", "700",
             "--save", "", "--appendonly", "no", "--dir", self.workdir, "--daemonize", "no"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.client = redis.Redis(unix_socket_path=self.socket)
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

        self.client = redis.Redis(unix_socket_path=self.socket)
        self._bind()

    def detach(self) -> None:
        self.client.close()

    def count(self) -> int:
        return self.client.dbsize()

    def server_pids(self) -> list[int]:
        return [self.proc.pid]
