"""ClusterMap (fennowick.cluster) over a Redis Cluster on loopback started for the run."""

from __future__ import annotations

import shutil
from typing import Any

from fennowick.bench.adapters import Adapter, _module_missing
from fennowick.bench.settings import MISSING


class ClusterAdapter(Adapter):
    key = "cluster"
    label = "Redis Cluster"
    config = ("fennowick.cluster.ClusterMap (redis-py cluster client with hiredis; pickle; 256 buckets; "
              "writes not waiting for replicas) over a Redis Cluster of 3 masters with a replica each, "
              "redis-server on 127.0.0.1 started for the run (no persistence); one client per process")

    @classmethod
    def missing(cls) -> str | None:
        if shutil.which("redis-server") is None or shutil.which("redis-cli") is None:
            return "redis-server not found (apt-get install redis-server)"
        return _module_missing("redis")

    def start(self) -> None:
        from fennowick.bench.local_cluster import Cluster

        self.cluster = Cluster().start()
        self.cluster.wait_replicated()
        self.url = self.cluster.url

    def stop(self) -> None:
        self.cluster.remove()

    def _open(self) -> None:
        from fennowick.cluster import ClusterMap

        self.d = ClusterMap(self.url, namespace=self.namespace)
        self.insert, self.get, self.remove = self.d.insert, self.d.get, self.d.remove

    def create(self, entries: int, value_size: int) -> None:
        self.namespace = f"bench-{self._next('n').rsplit('/', 1)[-1]}"
        self._open()

    def attach(self) -> None:
        self._open()

    def detach(self) -> None:
        self.d.close()

    pause = detach      # no client connections across fork()
    resume = attach

    def destroy(self) -> None:
        self.d.unlink()
        self.d.close()

    def fetch(self, k: Any) -> Any:
        r = self.d.get(k)
        return r[1] if r[0] else MISSING

    def count(self) -> int:
        return len(self.d)

    def server_pids(self) -> list[int]:
        return [p.pid for p in self.cluster.procs.values()]
