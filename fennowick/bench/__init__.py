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

from fennowick.bench.run import main

__all__ = ["main"]
