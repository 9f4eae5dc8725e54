"""One run of one system and workload case: workers, their memory, the
workloads, and the coordinator process that keeps a run apart from the next."""

from __future__ import annotations

import math
import os
import shutil
import signal
import threading
import time
from dataclasses import dataclass
from typing import Any

from fennowick.bench.settings import Config, FORK, MISSING, SINGLE_PHASES, VALUE_SIZES, clip, error_note
from fennowick.bench.adapters import Adapter
from fennowick.bench.loops import _fill, _int_keys, _show, _worker, _writer_value, p99_from_tops


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
        result = {"status": "failed", "note": error_note(e), "phases": {}}
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
    if result.get("note"):
        result["note"] = clip(result["note"])
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
