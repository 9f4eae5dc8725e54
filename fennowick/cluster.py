"""The quillmap dictionary over a Redis Cluster, for data that outgrows one host.

    from fennowick.cluster import ClusterMap
    d = ClusterMap("redis://10.0.0.5:7000", namespace="jobs")
    d.insert("answer", 42)          # -> 1
    d.get("answer")                 # -> [True, 42]
    e = ClusterMap(d.name)          # the same entries, from any process on any host

or, picking the backend from one argument (`open_dict`, below):

    d = open_dict(name=os.environ.get("JOBS_MAP"))   # a map file's path, or a redis:// name

Layout. A namespace `ns` keeps its entries in `buckets` Redis hashes (256 by
default), named ``fq:{ns:b}`` for b in 0..buckets-1, and a record
``fq:{ns}:meta`` of the serializer and bucket count it was made with. An entry
lives in the field named by its key's serialized bytes of bucket
``crc32(key bytes) % buckets``: keys are the same key when their serialized
bytes are equal, as in quillmap. The braces are Redis hash tags: each bucket
sits in one hash slot, the buckets of a namespace are spread over the slots,
so over the masters. Nothing outside the ``fq:{ns...`` keys is ever touched.

Why hashes. Each write is one command on one key (HSET, HDEL, a short script
for pop and setdefault), atomic on its own, and Redis counts a hash's fields
itself: len() is the sum of the buckets' HLEN, exact at once and cheap (one
pipelined round per master, whatever the number of entries), with no counter
that a lost reply or a failover could put out of step with the entries.

Consistency. Redis replicates asynchronously: a write acknowledged by a master
that fails before its replica has it is lost when the replica takes over.
`wait_replicas=n` sends WAIT after each write on the same connection and
raises `NotReplicated` when fewer than n replicas confirm it within
`wait_timeout` seconds, or when the master steps down while waiting (the
write was applied by the master but is not known to be safe: it is lost if
that master fails, or has been replaced, before a replica has it). Reads go to the masters, so a process reads its own writes.

Iteration. keys(), values() and items() walk the buckets with HSCAN: never an
error because of concurrent changes, every entry present for the whole walk
comes, and none comes twice in one walk; entries changed meanwhile may come or
not.

Failures. Every operation is retried while the cluster reorganizes (a
failover, a slot moved), for at most `retry_for` seconds, then raises
`ClusterUnavailable`. A wrong password raises `ClusterAuthError`. Both, and
`NotReplicated`, derive from `ClusterError`, itself a `ConnectionError`.
A write retried after a lost reply is done again: inserts are idempotent; a
remove may then report 0 for an entry it did remove.
"""

from __future__ import annotations

import json
import pickle
import time
import zlib
from typing import Any, Callable, Iterable, Iterator
from urllib.parse import parse_qsl, urlencode, urlsplit, urlunsplit

__all__ = ["ClusterMap", "ClusterError", "ClusterUnavailable", "ClusterAuthError", "NotReplicated", "open_dict"]

FORMAT = "fennowick-cluster-1"
DEFAULT_BUCKETS = 256
SCAN_COUNT = 1000
BATCH = 1000  # commands per pipeline round in the batch operations
SERIALIZERS = ("pickle", "orjson", "msgpack", "json", "msgspec")

# pop and setdefault, each one atomic step on the entry's bucket.
_POP = "local v = redis.call('HGET', KEYS[1], ARGV[1]) if v then redis.call('HDEL', KEYS[1], ARGV[1]) end return v"
_SETDEFAULT = ("if redis.call('HSETNX', KEYS[1], ARGV[1], ARGV[2]) == 1 then return false end "
               "return redis.call('HGET', KEYS[1], ARGV[1])")


# What a node says when it refuses a client's credentials, or has none.
_AUTH_TEXTS = ("NOAUTH", "WRONGPASS", "invalid username-password pair", "must be called with the client already "
               "authenticated", "Authentication required", "NOPERM")


class ClusterError(ConnectionError):
    """The cluster could not do what was asked (base of this module's errors)."""


class ClusterUnavailable(ClusterError):
    """No answer from the cluster, or no working master for a key, within the time allowed."""


class ClusterAuthError(ClusterError, PermissionError):
    """The cluster refused the credentials."""


class NotReplicated(ClusterError):
    """A write was applied on its master but fewer replicas than asked confirmed it in
    time (or the master stepped down meanwhile): it may be lost in a failover."""


def _redis():
    try:
        import redis
        import redis.cluster
    except ImportError as e:  # pragma: no cover - depends on the installation
        raise ImportError("ClusterMap needs redis-py: pip install 'fennowick[cluster]'") from e
    return redis


def _codec(serializer: str) -> tuple[Callable[[Any], bytes], Callable[[bytes], Any]]:
    """dumps and loads giving the bytes quillmap stores for the same serializer."""
    if serializer == "pickle":
        return pickle.dumps, pickle.loads
    if serializer == "json":
        return (lambda o: json.dumps(o).encode()), json.loads
    if serializer == "orjson":
        import orjson
        return orjson.dumps, orjson.loads
    if serializer == "msgpack":
        import msgpack
        return msgpack.dumps, msgpack.loads
    if serializer == "msgspec":
        import msgspec.json
        return msgspec.json.encode, msgspec.json.decode
    raise ValueError("Invalid serializer!")


def _split_name(url: str) -> tuple[str, str | None]:
    """A URL without its `namespace` query parameter, and that parameter."""
    parts = urlsplit(url)
    query = parse_qsl(parts.query, keep_blank_values=True)
    namespace = None
    rest = []
    for k, v in query:
        if k == "namespace":
            namespace = v
        else:
            rest.append((k, v))
    return urlunsplit(parts._replace(query=urlencode(rest))), namespace


def _public(url: str) -> str:
    """The URL without its password."""
    parts = urlsplit(url)
    if parts.password is None:
        return url
    host = parts.hostname or ""
    if ":" in host:
        host = f"[{host}]"
    netloc = (f"{parts.username}@" if parts.username else "") + host + (f":{parts.port}" if parts.port else "")
    return urlunsplit(parts._replace(netloc=netloc))


class ClusterMap:
    """A dictionary over a Redis Cluster, with quillmap's operations and results.

    `url` reaches any node (``redis://host:port``, ``rediss://`` for TLS,
    ``redis://:password@host:port``); a `name` of another ClusterMap (the URL
    with ``?namespace=``) works too. Entries of one `namespace` never mix with
    another's. A new namespace records its `serializer` (default pickle) and
    `buckets` (default 256); opening an existing one adopts them, and naming
    different ones raises ValueError.

    `wait_replicas=n` makes every write wait until n replicas have it (WAIT,
    at most `wait_timeout` seconds, else NotReplicated); `timeout` bounds each
    connection attempt and reply, `retry_for` the time an operation goes on
    retrying while the cluster reorganizes before ClusterUnavailable.
    """

    def __init__(self, url: str, *, namespace: str | None = None, serializer: str | None = None,
                 buckets: int | None = None, wait_replicas: int = 0, wait_timeout: float = 1.0,
                 timeout: float = 5.0, retry_for: float = 15.0) -> None:
        self._rc = None
        if not isinstance(url, str):
            raise TypeError(f"url must be str, not {type(url).__name__}")
        base, in_url = _split_name(url)
        if namespace is None:
            namespace = in_url
        elif in_url is not None and in_url != namespace:
            raise ValueError(f"namespace {namespace!r} differs from the URL's {in_url!r}")
        if not isinstance(namespace, str) or not namespace:
            raise ValueError("a namespace (non-empty str) is required")
        if "{" in namespace or "}" in namespace:
            raise ValueError("a namespace may not contain '{' or '}'")
        if serializer is not None and serializer not in SERIALIZERS:
            raise ValueError("Invalid serializer!")
        if buckets is not None and (not isinstance(buckets, int) or not 1 <= buckets <= 16384):
            raise ValueError("buckets must be an int from 1 to 16384")
        if not isinstance(wait_replicas, int) or wait_replicas < 0:
            raise ValueError("wait_replicas must be an int >= 0")
        if timeout <= 0 or retry_for < 0 or wait_timeout <= 0:
            raise ValueError("timeout and wait_timeout must be > 0, retry_for >= 0")
        scheme = urlsplit(base).scheme
        if scheme not in ("redis", "rediss"):
            raise ValueError(f"url must start with redis:// or rediss://, not {url!r}")
        self._url = base
        self._namespace = namespace
        self._wait = wait_replicas
        self._wait_ms = max(1, int(wait_timeout * 1000))
        self._timeout = float(timeout)
        self._retry_for = float(retry_for)
        self._closed = False
        self._options = dict(wait_replicas=wait_replicas, wait_timeout=wait_timeout, timeout=timeout,
                             retry_for=retry_for)
        redis = _redis()
        self._errors = redis.exceptions
        try:
            self._rc = redis.cluster.RedisCluster.from_url(
                base, socket_timeout=self._timeout + wait_timeout, socket_connect_timeout=self._timeout,
                retry=redis.retry.Retry(redis.backoff.NoBackoff(), 0), require_full_coverage=False)
        except Exception as e:
            raise self._translate(e) from e
        try:
            self._serializer, self._buckets = self._adopt(serializer, buckets)
        except BaseException:
            self._rc.close()
            raise
        self._dumps, self._loads = _codec(self._serializer)
        self._prefix = f"fq:{{{namespace}:"
        self._keys = [f"{self._prefix}{b}}}".encode() for b in range(self._buckets)]

    # --- plumbing ---

    def _translate(self, e: BaseException) -> BaseException:
        x = self._errors
        auth = (x.AuthenticationError, x.AuthorizationError, x.NoPermissionError, x.AuthenticationWrongNumberOfArgsError)
        cause: BaseException | None = e
        seen: set[int] = set()
        while cause is not None and id(cause) not in seen:  # the cluster client wraps what a node said
            seen.add(id(cause))
            text = str(cause)
            if isinstance(cause, auth) or any(s in text for s in _AUTH_TEXTS):
                return ClusterAuthError(f"the cluster at {_public(self._url)} refused the credentials: {e}")
            cause = cause.__cause__ or cause.__context__
        if isinstance(e, (x.ConnectionError, x.TimeoutError, x.ClusterError, x.RedisClusterException,
                          x.TryAgainError, x.AskError, x.ReadOnlyError, OSError)):
            return ClusterUnavailable(f"the cluster at {_public(self._url)} did not answer: {e}")
        if isinstance(e, x.RedisError):
            return ClusterError(f"the cluster at {_public(self._url)} refused a command: {e}")
        return e

    def _check(self) -> None:
        if self._closed:
            raise ValueError("operation on a closed ClusterMap")

    def _run(self, step: Callable[[], Any]) -> Any:
        """step(), again while the cluster reorganizes, for at most retry_for seconds."""
        self._check()
        deadline = time.monotonic() + self._retry_for
        pause = 0.02
        while True:
            try:
                return step()
            except NotReplicated:
                raise
            except Exception as e:
                error = self._translate(e)
                if not isinstance(error, ClusterUnavailable) or time.monotonic() + pause > deadline:
                    if error is e:
                        raise
                    raise error from e
            self._refresh()
            time.sleep(pause)
            pause = min(pause * 2, 0.5)

    def _refresh(self) -> None:
        try:
            self._rc.nodes_manager.initialize()
        except Exception:
            pass  # the next attempt says what is wrong

    def _node_client(self, key: bytes):
        return self._rc.get_node_from_key(key).redis_connection

    def _single(self, key: bytes, *args: Any) -> Any:
        """One command on a bucket, sent straight to the master of its slot (half the
        client-side time of the cluster client's routing). A redirect (the slot
        moved or is moving) goes through the cluster client, which follows it and
        learns the new layout."""
        def step():
            try:
                return self._node_client(key).execute_command(*args)
            except self._errors.AskError:  # MovedError too
                return self._rc.execute_command(*args)
        return self._run(step)

    def _command(self, key: bytes, *args: Any) -> Any:
        """One write on a bucket, followed by WAIT on the same connection when asked."""
        if not self._wait:
            return self._single(key, *args)

        def step():
            p = self._node_client(key).pipeline(transaction=False)
            p.execute_command(*args)
            p.execute_command("WAIT", self._wait, self._wait_ms)
            (result,), acked = self._waited(p.execute(raise_on_error=False))
            return result, acked

        result, acked = self._run(step)
        self._confirm(acked)
        return result

    @staticmethod
    def _waited(out: list[Any]) -> tuple[list[Any], int]:
        """The replies of a pipeline that ends with WAIT: those of its commands (raising the
        first error among them) and the number of replicas that confirmed. A master that
        steps down to replica while waiting (its replica took over) ends the WAIT with
        UNBLOCKED: no replica confirmed, and the write is lost with the old master's data."""
        *results, acked = out
        for r in results:
            if isinstance(r, Exception):
                raise r
        if isinstance(acked, Exception):
            if "UNBLOCKED" not in str(acked):
                raise acked
            acked = 0
        return results, int(acked)

    def _confirm(self, acked: int) -> None:
        if acked < self._wait:
            raise NotReplicated(f"{acked} of {self._wait} replicas confirmed the write within {self._wait_ms} ms")

    def _grouped(self, commands: list[tuple[bytes, tuple]], write: bool) -> list[Any]:
        """Commands on buckets, pipelined per master; their results in order."""
        results: list[Any] = [None] * len(commands)
        pending = list(range(len(commands)))

        short: list[int] = []

        def step():
            groups: dict[str, tuple[Any, list[int]]] = {}
            for i in pending:
                node = self._rc.get_node_from_key(commands[i][0])
                if node.name not in groups:
                    groups[node.name] = (node.redis_connection, [])
                groups[node.name][1].append(i)
            for client, idx in groups.values():
                p = client.pipeline(transaction=False)
                for i in idx:
                    p.execute_command(*commands[i][1])
                if write and self._wait:
                    p.execute_command("WAIT", self._wait, self._wait_ms)
                    out, acked = self._waited(p.execute(raise_on_error=False))
                    short.append(acked)
                else:
                    out = p.execute()
                for i, r in zip(idx, out):
                    results[i] = r
                done = set(idx)
                pending[:] = [i for i in pending if i not in done]

        self._run(step)
        if short:
            self._confirm(min(short))  # every group was sent; then say whether one fell short
        return results

    def _adopt(self, serializer: str | None, buckets: int | None) -> tuple[str, int]:
        """The namespace's record: made now when there is none, else read and compared."""
        meta = f"fq:{{{self._namespace}}}:meta".encode()
        mine = f"{FORMAT} {serializer or 'pickle'} {buckets or DEFAULT_BUCKETS}".encode()

        def step():
            self._rc.execute_command("SET", meta, mine, "NX")
            return self._rc.execute_command("GET", meta)

        record = self._run(step)
        fields = record.decode("utf-8", "replace").split() if isinstance(record, bytes) else []
        if len(fields) != 3 or fields[0] != FORMAT or fields[1] not in SERIALIZERS or not fields[2].isdigit() \
                or not 1 <= int(fields[2]) <= 16384:
            raise ValueError(f"namespace {self._namespace!r} has a record this version does not read: {record!r}")
        if serializer is not None and serializer != fields[1]:
            raise ValueError(f"namespace {self._namespace!r} was made with serializer {fields[1]!r}, "
                             f"not {serializer!r}")
        if buckets is not None and buckets != int(fields[2]):
            raise ValueError(f"namespace {self._namespace!r} was made with {fields[2]} buckets, not {buckets}")
        return fields[1], int(fields[2])

    def _encode(self, obj: Any) -> bytes:
        b = self._dumps(obj)
        if isinstance(b, str):
            b = b.encode()
        if not isinstance(b, bytes):
            raise TypeError(f"Expected bytes, got {type(b).__name__}")
        return b

    def _bucket(self, kb: bytes) -> bytes:
        return self._keys[zlib.crc32(kb) % self._buckets]

    # --- quillmap's operations ---

    def insert(self, input_key: Any, input_value: Any) -> int:
        """Store the entry (replacing the value of an equal key): 1."""
        self._check()
        kb, vb = self._encode(input_key), self._encode(input_value)
        bucket = self._bucket(kb)
        self._command(bucket, "HSET", bucket, kb, vb)
        return 1

    def get(self, input_key: Any) -> list[Any]:
        """[True, value] when the key is present, else [False]."""
        self._check()
        kb = self._encode(input_key)
        bucket = self._bucket(kb)
        v = self._single(bucket, "HGET", bucket, kb)
        return [False] if v is None else [True, self._loads(v)]

    def remove(self, input_key: Any) -> int:
        """1 when the entry was there and is removed, else 0."""
        self._check()
        kb = self._encode(input_key)
        bucket = self._bucket(kb)
        return int(self._command(bucket, "HDEL", bucket, kb))

    def expansion(self, parallelism: int = 0) -> int:
        """Nothing to do: Redis grows its hashes by itself. Returns 0, so code written for quillmap runs."""
        self._check()
        return 0

    # --- the dict protocol ---

    def __len__(self) -> int:
        self._check()
        return sum(self._grouped([(k, ("HLEN", k)) for k in self._keys], write=False))

    def __contains__(self, key: object) -> bool:
        self._check()
        kb = self._encode(key)
        bucket = self._bucket(kb)
        return bool(self._single(bucket, "HEXISTS", bucket, kb))

    def __getitem__(self, key: Any) -> Any:
        r = self.get(key)
        if not r[0]:
            raise KeyError(key)
        return r[1]

    def __setitem__(self, key: Any, value: Any) -> None:
        self.insert(key, value)

    def __delitem__(self, key: Any) -> None:
        if not self.remove(key):
            raise KeyError(key)

    _MISSING = object()

    def pop(self, key: Any, default: Any = _MISSING, /) -> Any:
        """Remove the entry and return its value (one atomic step); default or KeyError when absent."""
        self._check()
        kb = self._encode(key)
        bucket = self._bucket(kb)
        v = self._command(bucket, "EVAL", _POP, 1, bucket, kb)
        if v is None:
            if default is ClusterMap._MISSING:
                raise KeyError(key)
            return default
        return self._loads(v)

    def setdefault(self, key: Any, default: Any = None, /) -> Any:
        """The value of key, storing default first when absent (one atomic step)."""
        self._check()
        kb, vb = self._encode(key), self._encode(default)
        bucket = self._bucket(kb)
        v = self._command(bucket, "EVAL", _SETDEFAULT, 1, bucket, kb, vb)
        return default if v is None else self._loads(v)

    def update(self, other: Any = (), /) -> None:
        """Insert the pairs of a mapping or of an iterable of (key, value) pairs."""
        self._insert_pairs(other, "dictionary update")

    def clear(self) -> None:
        """Remove every entry of the namespace (each bucket at once; the record stays)."""
        self._check()
        self._grouped([(k, ("UNLINK", k)) for k in self._keys], write=True)

    def insert_many(self, pairs: Any) -> int:
        """Insert many pairs (or a mapping's items), pipelined per master: the number stored.

        A bad pair raises after the pairs before it are stored, as in quillmap.
        """
        return self._insert_pairs(pairs, "insert_many")

    def _insert_pairs(self, pairs: Any, what: str) -> int:
        self._check()
        items = ((k, pairs[k]) for k in pairs.keys()) if hasattr(pairs, "keys") else pairs
        stored = 0
        commands: list[tuple[bytes, tuple]] = []
        try:
            for i, item in enumerate(items):
                try:
                    pair = list(item)
                except TypeError:
                    raise TypeError(f"cannot convert {what} sequence element #{i} to a sequence") from None
                if len(pair) != 2:
                    raise ValueError(f"{what} sequence element #{i} has length {len(pair)}; 2 is required")
                kb, vb = self._encode(pair[0]), self._encode(pair[1])
                bucket = self._bucket(kb)
                commands.append((bucket, ("HSET", bucket, kb, vb)))
                if len(commands) == BATCH:
                    batch, commands = commands, []
                    self._grouped(batch, write=True)
                    stored += len(batch)
        finally:
            if commands:  # the pairs before a bad one are stored, as in quillmap
                batch, commands = commands, []
                self._grouped(batch, write=True)
                stored += len(batch)
        return stored

    def get_many(self, keys: Iterable[Any]) -> list[list[Any]]:
        """get for many keys, pipelined per master: the results in the keys' order."""
        self._check()
        out: list[list[Any]] = []
        commands: list[tuple[bytes, tuple]] = []

        def flush():
            for v in self._grouped(commands, write=False):
                out.append([False] if v is None else [True, self._loads(v)])
            commands.clear()

        for key in keys:
            kb = self._encode(key)
            bucket = self._bucket(kb)
            commands.append((bucket, ("HGET", bucket, kb)))
            if len(commands) == BATCH:
                flush()
        if commands:
            flush()
        return out

    def _walk(self) -> Iterator[tuple[bytes, bytes]]:
        """Every entry present for the whole walk, once: HSCAN bucket by bucket.

        HSCAN returns every field present for a whole scan, and may return one
        twice when the hash is resized meanwhile; the fields already given of
        the bucket under way are remembered, so none comes twice. A cursor is a
        position in one node's table (each node hashes with a seed of its own),
        so a bucket's scan stays on the node it began on; when that node stops
        serving the bucket (a failover, a slot moved by a resharding: the node
        is gone or redirects), the bucket is scanned again from the start on
        its new master, also without repeats.
        """
        def restart(bucket: bytes) -> tuple[Any, Any, Any]:
            node = self._rc.get_node_from_key(bucket)
            cursor, flat = node.redis_connection.execute_command("HSCAN", bucket, 0, "COUNT", SCAN_COUNT)
            return node, cursor, flat

        for bucket in self._keys:
            seen: set[bytes] = set()
            cursor, node = 0, None
            while True:
                self._check()
                try:
                    if node is None:
                        node, cursor, flat = restart(bucket)
                    else:
                        cursor, flat = node.redis_connection.execute_command("HSCAN", bucket, cursor, "COUNT",
                                                                             SCAN_COUNT)
                except Exception as e:
                    error = self._translate(e)  # a redirect (MOVED, ASK) is ClusterUnavailable too
                    if not isinstance(error, ClusterUnavailable):
                        if error is e:
                            raise
                        raise error from e
                    node, cursor, flat = self._run(lambda: restart(bucket))
                if isinstance(flat, dict):
                    flat = [x for kv in flat.items() for x in kv]
                for j in range(0, len(flat), 2):
                    kb = flat[j]
                    if kb not in seen:
                        seen.add(kb)
                        yield kb, flat[j + 1]
                cursor = int(cursor)
                if cursor == 0:
                    break

    def __iter__(self) -> Iterator[Any]:
        return self.keys()

    def keys(self) -> Iterator[Any]:
        """The keys, as a one-shot iterator walking the buckets one at a time with HSCAN.

        Never an error because of concurrent changes; every entry present for the
        whole walk comes, and no entry comes twice in one walk (also when its
        bucket is resized or its master fails over meanwhile). Entries inserted
        or removed meanwhile may come or not. values() and items() walk the same way.
        """
        self._check()
        return (self._loads(k) for k, _ in self._walk())

    def values(self) -> Iterator[Any]:
        self._check()
        return (self._loads(v) for _, v in self._walk())

    def items(self) -> Iterator[tuple[Any, Any]]:
        self._check()
        return ((self._loads(k), self._loads(v)) for k, v in self._walk())

    # --- life of this client ---

    @property
    def name(self) -> str:
        """A URL naming this dictionary (without the password): ClusterMap(name) and open_dict(name=...) open it."""
        base = _public(self._url)
        parts = urlsplit(base)
        query = parse_qsl(parts.query, keep_blank_values=True) + [("namespace", self._namespace)]
        return urlunsplit(parts._replace(path=parts.path or "/", query=urlencode(query)))

    @property
    def namespace(self) -> str:
        return self._namespace

    @property
    def closed(self) -> bool:
        return self._closed

    def close(self) -> None:
        """Close this client's connections (idempotent); the entries stay in the cluster."""
        if not self._closed:
            self._closed = True
            if self._rc is not None:
                self._rc.close()

    def __del__(self) -> None:
        try:
            if getattr(self, "_rc", None) is not None and not self._closed:
                self.close()
        except Exception:
            pass

    def __enter__(self) -> "ClusterMap":
        self._check()
        return self

    def __exit__(self, exc_type: Any, exc_value: Any, traceback: Any) -> bool:
        self.close()
        return False

    def unlink(self) -> None:
        """Delete the namespace: every entry and its record. This object stays usable."""
        self._check()
        keys = self._keys + [f"fq:{{{self._namespace}}}:meta".encode()]
        self._grouped([(k, ("UNLINK", k)) for k in keys], write=True)

    def stats(self) -> dict[str, Any]:
        """The namespace's figures: entries in all and per master, buckets, serializer, masters."""
        self._check()
        counts = self._grouped([(k, ("HLEN", k)) for k in self._keys], write=False)
        per_master: dict[str, int] = {}
        for k, n in zip(self._keys, counts):
            name = self._rc.get_node_from_key(k).name
            per_master[name] = per_master.get(name, 0) + int(n)
        return {
            "backend": "redis-cluster",
            "name": self.name,
            "namespace": self._namespace,
            "serializer": self._serializer,
            "buckets": self._buckets,
            "entries": sum(int(n) for n in counts),
            "largest_bucket": max(int(n) for n in counts),
            "entries_per_master": per_master,
            "masters": len(self._rc.get_primaries()),
            "wait_replicas": self._wait,
        }

    def __repr__(self) -> str:
        if self._closed:
            return f"<ClusterMap name={self.name!r} closed>"
        try:
            entries: Any = len(self)
        except ClusterError:
            entries = "?"
        return f"<ClusterMap name={self.name!r} entries={entries} buckets={self._buckets}>"

    def __reduce__(self) -> tuple[Any, ...]:
        # The full URL (password included) goes along: a pickled ClusterMap is a
        # way to hand the dictionary to a worker process.
        return (_reopen, (self._url, self._namespace, self._serializer, self._buckets, self._options))


def _reopen(url: str, namespace: str, serializer: str, buckets: int, options: dict[str, Any]) -> ClusterMap:
    return ClusterMap(url, namespace=namespace, serializer=serializer, buckets=buckets, **options)


def open_dict(name: bytes | str | None = None, **options: Any) -> Any:
    """A quillmap or a ClusterMap, chosen by `name`, so that moving is one line.

    - no name (None): a new local map, ``quillmap(**options)``;
    - a path (bytes, or a str that is not a URL): the local map in that file,
      ``quillmap(name=..., **options)``;
    - ``redis://...`` or ``rediss://...``: ``ClusterMap(name, **options)``, the
      namespace given by ``?namespace=`` in the URL or by ``namespace=``.

    Either object's `name` opens it again here or in another process.
    """
    if isinstance(name, str) and name.startswith(("redis://", "rediss://")):
        return ClusterMap(name, **options)
    from fennowick.quillmap import quillmap
    if name is None:
        return quillmap(**options)
    if isinstance(name, str):
        name = name.encode()
    return quillmap(name=name, **options)
