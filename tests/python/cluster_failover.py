"""Failover of a Redis Cluster master under a ClusterMap write load.

Two writer processes insert entries as fast as they can; one master is killed
with SIGKILL; its replica takes over. Measured: how long the writers' inserts
stalled (the longest gap between two acknowledged inserts), how long until the
cluster said ok again, which errors reached the writers (only ClusterMap's
documented ClusterError types may), and how many acknowledged inserts are
missing afterwards - without and with wait_replicas=1 (WAIT after each write).

    python tests/python/cluster_failover.py [--rounds N] [--pause]

starts a cluster of its own (three masters, a replica each), prints a table
and stops the cluster. test_cluster_failover.py runs one round of each.

A master killed with SIGKILL loses hardly any acknowledged write even without
waiting: its kernel still sends the replica what the master had written to
the link. A master that stops and comes back after its replica took over (a
frozen host, a network partition) does lose them: it answers the writes that
waited for it before it learns that it is a replica now, then drops them.
--pause stops the master with SIGSTOP instead of killing it and lets it go on
(SIGCONT) once the failover is done.
"""

import multiprocessing as mp
import os
import sys
import time
import uuid

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from helpers import join_all  # noqa: E402
from redis_cluster import Cluster  # noqa: E402

from fennowick.cluster import ClusterError, ClusterMap  # noqa: E402


def _writer(url, namespace, me, wait, stop, out):
    d = ClusterMap(url, namespace=namespace, wait_replicas=wait, wait_timeout=0.5)
    acked, errors, gap, last, i = [], {}, (0.0, 0.0), time.monotonic(), 0
    try:
        while not stop.is_set():
            try:
                d.insert((me, i), i)
            except ClusterError as e:  # the documented ones; anything else escapes and fails the run
                errors[type(e).__name__] = errors.get(type(e).__name__, 0) + 1
            else:
                now = time.monotonic()
                acked.append(i)
                if now - last > gap[0]:
                    gap = (now - last, last)
                last = now
            i += 1
        now = time.monotonic()  # a stall that lasts until the end counts too
        if now - last > gap[0]:
            gap = (now - last, last)
        out.put((me, acked, errors, gap, None))
    except BaseException as e:
        out.put((me, acked, errors, gap, repr(e)))
    finally:
        d.close()


def one_round(c: Cluster, wait: int, before: float = 1.0, after: float = 1.5, pause: bool = False) -> dict:
    """Kill a master under load (or stop it, with `pause`); restart it afterwards (or let
    it go on): it comes back as a replica."""
    namespace = "failover-" + uuid.uuid4().hex[:10]
    ctx = mp.get_context("fork")
    stop, out = ctx.Event(), ctx.Queue()
    ps = [ctx.Process(target=_writer, args=(c.url, namespace, me, wait, stop, out)) for me in range(2)]
    for p in ps:
        p.start()
    try:
        time.sleep(before)
        victim = c.masters()[0]
        killed_at = time.monotonic()
        c.pause(victim) if pause else c.kill(victim)
        c.wait_failover(victim)
        ok_after = time.monotonic() - killed_at
        if pause:
            c.resume(victim)
        time.sleep(after)
        stop.set()
        results = [out.get(timeout=60) for _ in ps]
    finally:
        stop.set()
        join_all(ps, 60)
    escaped = [r[4] for r in results if r[4] is not None]
    d = ClusterMap(c.url, namespace=namespace)
    lost = acked = 0
    errors: dict = {}
    for me, done, errs, _, _ in results:
        acked += len(done)
        got = d.get_many([(me, i) for i in done])
        lost += sum(1 for g in got if not g[0])
        for k, v in errs.items():
            errors[k] = errors.get(k, 0) + v
    d.unlink()
    d.close()
    if not pause:
        c.restart(victim)
    c.wait_ok()
    c.wait_replicated()
    return {"wait_replicas": wait, "acknowledged": acked, "lost": lost, "errors": errors, "escaped": escaped,
            "stall_s": max(r[3][0] for r in results), "ok_after_s": ok_after,
            "rate": acked / (before + ok_after + after)}


def main(argv: list[str]) -> int:
    rounds = int(argv[argv.index("--rounds") + 1]) if "--rounds" in argv else 3
    pause = "--pause" in argv
    c = Cluster()
    try:
        c.start()
        c.wait_replicated()
        print(f"a master {'stopped with SIGSTOP until its replica took over' if pause else 'killed with SIGKILL'}"
              " under the load of two writers")
        print(f"{'wait':>4} {'acked':>8} {'lost':>5} {'stall s':>8} {'ok after s':>10} {'inserts/s':>10}  errors")
        for r in range(rounds):
            for wait in (0, 1):
                x = one_round(c, wait, pause=pause)
                print(f"{wait:>4} {x['acknowledged']:>8} {x['lost']:>5} {x['stall_s']:>8.2f} {x['ok_after_s']:>10.2f} "
                      f"{x['rate']:>10.0f}  {x['errors'] or '-'}{' ESCAPED ' + str(x['escaped']) if x['escaped'] else ''}",
                      flush=True)
    finally:
        c.remove()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
