"""Space kept by processes that end without closing the map.

A process takes chunks from the arena in batches and keeps those it frees in
its own cache. Pool workers hold their map open for the pool's life and end
without closing it: a fork pool's workers with os._exit, any pool's with the
SIGTERM of Pool.terminate (what leaving `with Pool()` does). Their caches
must come back to the arena, or a map with a steady working set fills up
after enough pools.
"""

import multiprocessing as mp
import random

import pytest

from fennowick.quillmap import quillmap

ROUNDS = 20
WORKERS = 2
KEYS = 100            # the steady working set, shared by all workers
WARM_ROUNDS = 3       # after these the arena use must stay where it is
SLACK = 256 << 10     # growth allowed after the warm rounds (a leak is ~200 KiB a round)

# Set in each pool worker by open_map: kept open until the worker ends.
WORKER_MAP = None


def open_map(name):
    global WORKER_MAP
    WORKER_MAP = quillmap(name=name)


def churn(args):
    """Replace and remove values of varied sizes over the working set; with
    `close`, on a map of the task's own, closed at the end."""
    seed, rounds, close = args
    rng = random.Random(seed)
    d = quillmap(name=WORKER_MAP.name) if close else WORKER_MAP
    for _ in range(rounds):
        key = ("k", rng.randrange(KEYS))
        if rng.random() < 0.3:
            d.remove(key)
        else:
            d.insert(key, bytes(rng.randrange(1, 3000)))
    if close:
        d.close()
    return True


@pytest.mark.parametrize("method, close", [
    ("fork", False),
    ("spawn", False),
    ("fork", True),   # the same churn with every cache given back: shows the bound holds
])
def test_pools_of_workers_do_not_use_up_the_arena(method, close):
    d = quillmap(size=1 << 24, bucket_chunk_size_exponent=4)
    for i in range(KEYS):
        d.insert(("k", i), b"")
    ctx = mp.get_context(method)
    used = []
    try:
        for r in range(ROUNDS):
            with ctx.Pool(WORKERS, initializer=open_map, initargs=(d.name,)) as pool:
                # MemoryError from a worker, once the arena is full, ends the test here
                assert pool.map_async(churn, [(f"{r}/{w}", 2000, close) for w in range(WORKERS)]).get(60) == \
                    [True] * WORKERS
            used.append(d.stats()["arena_used"])
        warm = used[WARM_ROUNDS - 1]
        assert used[-1] <= warm + SLACK, f"arena use by round: {used}"
        assert len(d) <= KEYS and all(d.get(("k", i))[0] in (True, False) for i in range(KEYS))
    finally:
        d.unlink()   # by the open object: a closed one refuses every operation
        d.close()
