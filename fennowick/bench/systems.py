"""Every system the benchmark knows, in report order."""

from __future__ import annotations


from fennowick.bench.adapters import (Adapter, DictAdapter, ManagerAdapter, PickleAdapter, QuillmapAdapter,
                                      SharedMemoryDictAdapter, UltraDictAdapter)
from fennowick.bench.stores import DiskcacheAdapter, LmdbAdapter, LmdbBatchAdapter, RedisAdapter, SqliteAdapter
from fennowick.bench.cluster_store import ClusterAdapter


ADAPTERS: list[type[Adapter]] = [
    QuillmapAdapter, DictAdapter, PickleAdapter, ManagerAdapter, LmdbAdapter, LmdbBatchAdapter,
    DiskcacheAdapter, SqliteAdapter, RedisAdapter, ClusterAdapter, UltraDictAdapter, SharedMemoryDictAdapter,
]
BY_KEY = {a.key: a for a in ADAPTERS}
