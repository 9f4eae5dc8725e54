"""The whole benchmark: every system through every run, partial results kept,
and the command line entry point."""

from __future__ import annotations

import argparse
import copy
import json
import os
import re
import shutil
import signal
import sys
import tempfile
import time
from dataclasses import dataclass, field

from fennowick.bench.settings import Config, FULL, QUICK, clip
from fennowick.bench.adapters import Adapter
from fennowick.bench.systems import ADAPTERS, BY_KEY
from fennowick.bench.runner import RunSpec, _execute, _sweep, plan
from fennowick.bench.report import _part_spans, write_report


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
    if not chosen:
        raise ValueError(f"--systems {wanted!r} names no system; choose from {', '.join(BY_KEY)}")
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
    from fennowick.cli import _map_directory

    workdir = tempfile.mkdtemp(prefix="quillmap-bench-")
    old_tmp = os.environ.get("TMPDIR")
    # quillmap's files go where new maps go when the program names no place,
    # as its users run it ($TMPDIR when set, else /dev/shm), in a folder of
    # the benchmark's own that is swept after every run.
    maps = tempfile.mkdtemp(prefix="quillmap-bench-", dir=_map_directory())
    os.environ["TMPDIR"] = maps
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
                load, started = _load(), time.time()
                result = _execute(cls, run, cfg, workdir)
                _sweep(maps)
                # when it ran, and how busy the machine was before it: runs of
                # two benchmarks at the same time show in the report
                result.update(started=round(started, 3), ended=round(time.time(), 3), load_before=load)
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
        for d in (workdir, maps):
            _sweep(d)
            shutil.rmtree(d, ignore_errors=True)
    rep.seconds = time.perf_counter() - t0
    return rep


def _load() -> float | None:
    """The machine's load average over the last minute."""
    try:
        return round(os.getloadavg()[0], 2)
    except OSError:
        return None


def _stamp(t: float) -> str:
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(t))


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
            if r.get("note"):
                r["note"] = clip(r["note"])
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
    earlier = [c for c in old.get("commands", []) if c.split("  #")[0] not in ran]
    # A part none of whose runs is still in the report (every system it
    # measured has been measured again since) leaves it: its line, its time
    # and its overlap with other parts no longer describe the numbers shown.
    starts = [r["started"] for r in old["runs"] if r["system"] in kept and r.get("started") is not None]
    # Rows of runs made before runs carried stamps: told by the part's systems.
    unstamped = {r["system"] for r in old["runs"] if r["system"] in kept and r.get("started") is None}

    def contributes(c: str) -> bool:
        named = re.search(r"--systems (\S+)", c.split("  #")[0])
        if unstamped & (set(named.group(1).split(",")) if named else set(BY_KEY)):
            return True
        spans = _part_spans([c])
        if not spans:
            return True  # no stamps to tell by
        _, begin, end = spans[0]
        # Older lines give the start to the minute and the minutes taken: their
        # end may be up to a minute early.
        late = 0 if " to " in c.split("  #", 1)[-1] else 60
        return any(begin <= t <= end + late for t in starts)

    earlier = [c for c in earlier if contributes(c)]
    rep.commands = earlier + rep.commands
    # the time of the earlier parts still in the report, as their lines give it
    rep.seconds += sum(60 * float(m.group(1)) for c in earlier if (m := re.search(r", ([0-9.]+) min", c)))


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
    started, load = time.time(), _load()

    def save(part: Report, state: str = "", chart: bool = True) -> list[str]:
        # The report of what has run so far, merged with the folder's earlier
        # runs of other systems. Written after every run too (without the
        # chart, which takes longer than a quick run), so that a long
        # benchmark that is stopped keeps what it measured.
        done = copy.deepcopy(part)
        load_text = f", load {load:.2f} before" if load is not None else ""
        done.commands = [f"{command}  # {_stamp(started)} to {_stamp(time.time())}, "
                         f"{done.seconds / 60:.1f} min{load_text}{state}"]
        _merge_earlier(done, os.path.join(out, "results.json"))
        return write_report(done, out, chart=chart)

    latest: list[Report] = []

    def checkpoint(part: Report) -> None:
        latest[:] = [part]
        save(part, ", in progress", chart=False)

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
