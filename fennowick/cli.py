"""Command line of fennowick.quillmap: ``quillmap demo | stat | check | repair | bench``.

``demo`` shows the map at work: worker processes insert, read back, replace
and remove their share of the entries in one shared map, phase by phase, and a
fresh process then checks every entry. ``stat`` prints a map file's shape,
``check`` walks it for inconsistencies, ``repair`` gives back what dead
processes left behind in a map that no one has open, ``bench`` compares the
map with the shared dictionaries a Python user would otherwise pick.
"""

from __future__ import annotations

import argparse
import json
import math
import multiprocessing as mp
import os
import signal
import sys
import time
from typing import Any

PHASES = ("insert", "read back", "replace", "remove")


class CliError(Exception):
    """An error reported to the user as one line, without a traceback."""


def _count(n: int, noun: str) -> str:
    if n == 1:
        return f"1 {noun}"
    return f"{n:,} " + (noun[:-1] + "ies" if noun.endswith("y") else noun + "es" if noun.endswith("s") else noun + "s")


def _operations(phase: str, entries: int) -> int:
    """The map operations a phase performs over `entries` keys: the remove
    phase removes the even keys only."""
    return (entries + 1) // 2 if phase == "remove" else entries


# ---- demo -----------------------------------------------------------------

def _value(i: int, generation: int) -> bytes:
    # 16 bytes that say which entry and which write they belong to
    return f"{generation}:{i:014d}".encode()[:16].ljust(16, b".")


def _ignore_interrupt() -> None:
    # Ctrl-C reaches the whole process group; the parent alone answers it and
    # ends the workers, so they print no tracebacks of their own.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _worker(name: bytes, phase: str, start: int, stop: int, progress: Any, errors: Any) -> None:
    _ignore_interrupt()
    from fennowick.quillmap import quillmap

    d = quillmap(name=name)
    step = 1024
    bad = 0
    for lo in range(start, stop, step):
        hi = min(lo + step, stop)
        if phase == "insert":
            for i in range(lo, hi):
                d.insert(i, _value(i, 0))
        elif phase == "read back":
            for i in range(lo, hi):
                if d.get(i) != [True, _value(i, 0)]:
                    bad += 1
        elif phase == "replace":
            for i in range(lo, hi):
                d.insert(i, _value(i, 1))
        elif phase == "remove":
            for i in range(lo, hi):
                if i % 2 == 0 and d.remove(i) != 1:
                    bad += 1
        with progress.get_lock():
            progress.value += hi - lo
    if bad:
        with errors.get_lock():
            errors.value += bad


def _verify(name: bytes, entries: int, out: Any) -> None:
    """Runs in a fresh process: every odd entry holds its replaced value,
    every even one is gone, and the count agrees."""
    _ignore_interrupt()
    from fennowick.quillmap import quillmap

    d = quillmap(name=name)
    wrong = 0
    for i in range(entries):
        expected = [True, _value(i, 1)] if i % 2 else [False]
        if d.get(i) != expected:
            wrong += 1
    from fennowick import _inspect

    del d
    out.put((wrong, shape_of(_inspect.check(name))))


def _end_all(procs: list[Any], grace: float = 5.0) -> None:
    """End every process still running: SIGTERM, then SIGKILL after `grace`
    seconds, and reap them all. A worker may be waiting inside the map, in
    native code, where only a signal's default action reaches it."""
    procs = [p for p in procs if p.pid is not None]   # started ones only
    for p in procs:
        if p.is_alive():
            p.terminate()
    deadline = time.monotonic() + grace
    for p in procs:
        p.join(max(0.0, deadline - time.monotonic()))
        if p.is_alive():
            p.kill()
            p.join(5)


def _shares(entries: int, processes: int) -> list[tuple[int, int]]:
    per = math.ceil(entries / processes)
    return [(p * per, min(entries, (p + 1) * per)) for p in range(processes) if p * per < entries]


def demo(args: argparse.Namespace) -> int:
    from rich.console import Console
    from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn
    from rich.table import Table

    from fennowick.quillmap import quillmap

    console = Console()
    if args.entries < 1 or args.processes < 1:
        raise CliError("--entries and --processes must be at least 1")
    ctx = mp.get_context(args.start_method)
    size = max(64 << 20, args.entries * 640)
    d = quillmap(size=size, bucket_chunk_size_exponent=10, bucket_chunk_number=1 << 14)
    name = d.name
    from fennowick import _inspect

    start_buckets = _inspect.check(name)["buckets"]
    processes = len(_shares(args.entries, args.processes))   # no more than there are shares
    console.print(f"map [bold]{name.decode()}[/]: {_count(processes, 'process')} ({args.start_method}), "
                  f"{_count(args.entries, 'entry')}")
    rows = []
    started: list[Any] = []   # every process of the run, ended in the finally below
    try:
        with Progress(TextColumn("{task.description:>10}"), BarColumn(), MofNCompleteColumn(),
                      TimeElapsedColumn(), console=console) as bar:
            for phase in PHASES:
                task = bar.add_task(phase, total=args.entries)
                progress = ctx.Value("q", 0)
                errors = ctx.Value("q", 0)
                procs = [ctx.Process(target=_worker, args=(name, phase, lo, hi, progress, errors))
                         for lo, hi in _shares(args.entries, args.processes)]
                t0 = time.perf_counter()
                for p in procs:
                    started.append(p)
                    p.start()
                while any(p.is_alive() for p in procs):
                    bar.update(task, completed=progress.value)
                    time.sleep(0.05)
                elapsed = time.perf_counter() - t0
                bar.update(task, completed=progress.value)
                failed = [p.exitcode for p in procs if p.exitcode != 0]
                if failed:
                    raise CliError(f"{phase}: {len(failed)} worker(s) failed (exit codes {failed})")
                rows.append((phase, _operations(phase, args.entries), elapsed, errors.value))
        out = ctx.Queue()
        checker = ctx.Process(target=_verify, args=(name, args.entries, out))
        t0 = time.perf_counter()
        started.append(checker)
        checker.start()
        wrong, shape = out.get(timeout=3600)
        checker.join(60)
        rows.append(("check", args.entries, time.perf_counter() - t0, wrong))
    finally:
        # On Ctrl-C (or any failure) no worker may outlive the demo: one left
        # waiting inside the map would spin there for good. A second Ctrl-C
        # must not cut this short.
        previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
        try:
            _end_all(started)
            del d
            if not args.keep:
                try:
                    os.unlink(name)
                except OSError:
                    pass
        finally:
            signal.signal(signal.SIGINT, previous)

    table = Table(title="quillmap demo")
    for col in ("phase", "operations", "seconds", "operations/s", "wrong"):
        table.add_column(col, justify="right" if col != "phase" else "left")
    for phase, ops, secs, bad in rows:
        table.add_row(phase, f"{ops:,}", f"{secs:.2f}", f"{ops / secs:,.0f}" if secs else "-", str(bad))
    console.print(table)
    expansions = int(math.log2(shape["buckets"] / start_buckets)) if shape["buckets"] >= start_buckets else 0
    console.print(f"final shape: {shape['entries']:,} entries in {shape['buckets']:,} buckets, "
                  f"{_count(expansions, 'expansion')}, {shape['arena_used'] / 2**20:.1f} MiB of "
                  f"{shape['arena_size'] / 2**20:.1f} MiB used")
    total_bad = sum(r[3] for r in rows)
    if total_bad or shape["entries"] != args.entries // 2:
        console.print(f"[bold red]FAILED[/]: {total_bad} missing or wrong entries")
        return 1
    console.print("[bold green]every entry checked[/]")
    return 0


# ---- stat and check -------------------------------------------------------

def _inspect(path: str) -> dict[str, Any]:
    from fennowick import _inspect

    if not os.path.exists(path):
        raise CliError(f"no such file: {path}")
    return _inspect.check(os.fsencode(path))


def shape_of(report: dict[str, Any]) -> dict[str, Any]:
    buckets = report["buckets"]
    # The registry's count is exact; the entry_count word is an estimate now
    # (and the only count of a file that has no registry).
    entries = report.get("exact_entry_count")
    if entries is None:
        entries = report["entry_count"]
    return {
        "file_size": report["file_size"],
        "arena_size": report["arena_size"],
        "arena_used": report["arena_used"],
        "bucket_chunks_in_use": report["bucket_chunks_in_use"],
        "bucket_chunk_number": report["bucket_chunk_number"],
        "buckets_per_chunk": report["buckets_per_chunk"],
        "buckets": buckets,
        "entries": entries,
        "load": entries / buckets if buckets else 0.0,
        "longest_bucket": report["longest_bucket"],
        "data_chunk_unit": report["data_chunk_unit"],
        "expanding": report["expanding"],
        # the table has all its chunks: it grows no more, buckets get longer
        "at_capacity": bool(report["bucket_chunk_number"]) and
        report["bucket_chunks_in_use"] >= report["bucket_chunk_number"],
    }


CHECK_DAMAGED = 1
CHECK_BUSY = 4
WALKS = 6


def _live(report: dict[str, Any]) -> bool:
    """Whether processes that may be writing have the map open."""
    return (report["in_use"] or any(s["liveness"] in ("alive", "unknown") for s in report["live_slots"])
            or any(lock["liveness"] in ("alive", "unknown holder", "unknown") for lock in report["held_locks"]))


def _fingerprint(report: dict[str, Any]) -> tuple[Any, ...]:
    return (report["problem"], report["arena_used"], report["entry_count"], report["exact_entry_count"],
            report["entries_found"], report["free_chunks"],
            tuple((s["index"], s["count_delta"], s["operation"]) for s in report["live_slots"]))


def _settled(name: str) -> tuple[dict[str, Any], bool]:
    """Walk the file until the walk is clean, finds damage where nothing could
    change under it (a quiet map, or under the map's locks), or finds the same
    damage twice running over a file that did not change between the walks.
    A map that live processes have open is walked under its locks when this
    process may write the file; without that, a walk of a map that others are
    writing can meet a chunk between its free list and its bucket, or a word
    written after the one that points to it: an inconsistency that the next
    walk no longer sees. Returns the report and whether the map stayed busy
    (changed under every walk) so that no verdict can be given."""
    report = _inspect(name)
    seen = None
    for _ in range(WALKS):
        if report["ok"] or report["confirmed"] or not _live(report):
            return report, False
        now = _fingerprint(report)
        if now == seen:
            return report, False
        seen = now
        time.sleep(0.02)
        report = _inspect(name)
    return report, not report["ok"]


def _verdict(report: dict[str, Any], busy: bool) -> dict[str, Any]:
    """What --json adds to the figures of stat and check alike."""
    return {"ok": report["ok"] and not busy, "busy": busy, "damaged": not report["ok"] and not busy,
            "problem": report["problem"]}


def _exit_code(report: dict[str, Any], busy: bool) -> int:
    return CHECK_BUSY if busy else 0 if report["ok"] else CHECK_DAMAGED


def stat(args: argparse.Namespace) -> int:
    report, busy = _settled(args.name)
    if not report["bucket_chunk_number"] and not report["ok"] and not busy:
        if args.json:
            print(json.dumps(_verdict(report, busy), indent=2))
            return CHECK_DAMAGED
        raise CliError(f"{args.name}: {report['problem']}")
    shape = shape_of(report)
    if args.json:
        print(json.dumps({**shape, **_verdict(report, busy)}, indent=2))
        return _exit_code(report, busy)
    width = max(len(k) for k in shape)
    for k, v in shape.items():
        print(f"{k.replace('_', ' '):<{width}}  {v:,.2f}" if isinstance(v, float) else
              f"{k.replace('_', ' '):<{width}}  {v:,}" if isinstance(v, int) and not isinstance(v, bool) else
              f"{k.replace('_', ' '):<{width}}  {'yes' if v else 'no'}" if isinstance(v, bool) else
              f"{k.replace('_', ' '):<{width}}  {v}")
    if busy:
        print(f"busy, try again: other processes changed the map under each of {WALKS} walks; "
              f"the figures are as far as the last walk got")
    elif not report["ok"]:
        print(f"damaged: {report['problem']} (the figures are as far as the walk got; see quillmap check)")
    return _exit_code(report, busy)


def _holder(lock: dict[str, Any]) -> str:
    if lock["holder"] == 0:
        return "holder unknown (plain held value)"
    pid = f", pid {lock['pid']}" if lock["pid"] is not None else ""
    slot = f"slot {lock['slot']}" if lock["slot"] is not None else "no slot"
    return f"holder {lock['holder']} ({slot}{pid}): {lock['liveness']}"


def _check_lines(report: dict[str, Any]) -> list[str]:
    """The detail lines of a check: counts, held locks, views, notes."""
    lines = []
    if report["exact_entry_count"] is not None:
        lines.append(f"  entries: {report['entries_found']:,} found, the registry counts "
                     f"{report['exact_entry_count']:,} (entry_count word {report['entry_count']:,}, an estimate)")
    for lock in report["held_locks"]:
        what = f"bucket {lock['bucket']}" if lock["lock"] == "bucket" else lock["lock"]
        lines.append(f"  held: {what}, {_holder(lock)}")
    for slot in report["live_slots"]:
        doing = [] if slot["operation"] == "none" else [f"{slot['operation']} under way"]
        if slot["expansion"] == "in":
            doing.append("in an expansion")
        lines.append(f"  view: slot {slot['index']}, pid {slot['pid']}, {slot['liveness']}"
                     + (f", {', '.join(doing)}" if doing else ""))
    lines.extend(f"  note: {n}" for n in report["notes"])
    return lines


def check(args: argparse.Namespace) -> int:
    report, busy = _settled(args.name)
    if args.json:
        print(json.dumps({**report, **_verdict(report, busy)}, indent=2))
    elif busy:
        print(f"{args.name}: busy, try again: other processes changed the map under each of {WALKS} walks "
              f"(last walk stopped at: {report['problem']})")
        for line in _check_lines(report):
            print(line)
    elif report["ok"]:
        state = ("needs recovery" if report["needs_recovery"] else
                 "in use" if report["in_use"] else "ok")
        print(f"{args.name}: {state}, {report['entries_found']:,} entries in {report['buckets']:,} buckets, "
              f"{report['free_chunks']:,} free chunks")
        for line in _check_lines(report):
            print(line)
    else:
        print(f"{args.name}: damaged: {report['problem']}")
        for line in _check_lines(report):
            print(line)
    return _exit_code(report, busy)


def _map_directory() -> str:
    """Where new maps go, as the core chooses it: $TMPDIR when set, else
    /dev/shm when writable, else the temporary directory."""
    import tempfile

    tmpdir = os.environ.get("TMPDIR")
    if tmpdir and os.path.isdir(tmpdir):
        return tmpdir
    if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK | os.X_OK):
        return "/dev/shm"
    return tempfile.gettempdir()


def ls(args: argparse.Namespace) -> int:
    from fennowick import _inspect as inspect_map

    directory = args.dir or _map_directory()
    try:
        names = sorted(os.listdir(directory))
    except OSError as e:
        raise CliError(f"{directory}: {e.strerror}")
    rows = []
    for n in names:
        path = os.path.join(directory, n)
        try:
            if not os.path.isfile(path) or os.path.getsize(path) < 88:
                continue
            report = inspect_map.check(os.fsencode(path))
        except OSError:
            continue
        if not report["bucket_chunk_number"] and report["problem"].startswith("not a map file"):
            continue   # not a map
        alive = sum(1 for s in report["live_slots"] if s["liveness"] in ("alive", "unknown"))
        dead = sum(1 for s in report["live_slots"] if s["liveness"] in ("dead", "gone"))
        entries = shape_of(report)["entries"] if report["bucket_chunk_number"] else None
        rows.append({"path": path, "file_size": report["file_size"], "entries": entries,
                     "processes": alive, "dead_views": dead, "damaged": not report["ok"],
                     "problem": report["problem"]})
    if args.json:
        print(json.dumps(rows, indent=2))
        return 0
    if not rows:
        print(f"no map files in {directory}")
        return 0
    print(f"{'size':>12}  {'entries':>12}  {'processes':>9}  path")
    for r in rows:
        entries = f"{r['entries']:,}" if r["entries"] is not None else "-"
        note = ("  (dead views: " + str(r["dead_views"]) + ")" if r["dead_views"] else "") + \
               ("  (walk: " + r["problem"] + ")" if r["damaged"] else "")
        print(f"{r['file_size']:>12,}  {entries:>12}  {r['processes']:>9}  {r['path']}{note}")
    return 0


REPAIR_REFUSED = 3


def repair(args: argparse.Namespace) -> int:
    from fennowick import _inspect

    if not os.path.exists(args.name):
        raise CliError(f"no such file: {args.name}")
    result = _inspect.repair(os.fsencode(args.name))
    code = 0 if result["done"] else REPAIR_REFUSED if result["refused"] else 1
    if args.json:
        print(json.dumps(result, indent=2))
        return code
    if result["refused"]:
        print(f"{args.name}: not repaired: {result['problem']}; close them first:")
        for slot in result["blocking"]:
            print(f"  slot {slot['index']}: pid {slot['pid']} ({slot['liveness']})")
        return code
    if result["bump"] == 0:   # stopped before the sweep
        print(f"{args.name}: not repaired: {result['problem']}")
        return code
    print(f"{args.name}: recovered {result['dead_views']} view(s) of dead processes, "
          f"{result['entries_found']:,} entries found")
    for c in result["reclaimed"]:
        print(f"  reclaimed: {c['chunks']:,} chunks of unit {c['unit']} ({c['bytes']:,} bytes)")
    if result["sweep_complete"]:
        print(f"  swept: the whole carved space ({result['bump']:,} bytes)")
    else:
        print(f"  swept: {result['swept_to']:,} of {result['bump']:,} bytes, stopped: {result['sweep_stop']}; "
              f"nothing beyond was reclaimed")
    print(f"  cleared: {result['locks_cleared']} lock words, {result['forwards_cleared']} forward words")
    after = result["after"]
    if result["done"]:
        print(f"  check afterwards: ok, {after['entries_found']:,} entries, {after['free_chunks']:,} free chunks")
    else:
        print(f"  check afterwards: {result['problem']}")
        for line in _check_lines(after):
            print(line)
    return code


def bench(args: argparse.Namespace) -> int:
    try:
        import numpy  # noqa: F401
    except ImportError:
        raise CliError("the benchmark needs numpy: install the bench extra (pip install 'fennowick[bench]') "
                       "or numpy alone; systems whose packages are missing are skipped with a note")
    try:
        from fennowick.bench import main as run_bench
    except ImportError as e:  # pragma: no cover - optional part
        raise CliError(f"the benchmark needs its extra packages: {e}")
    return run_bench(args)


# ---- entry ---------------------------------------------------------------------

def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("fennowick")
    except PackageNotFoundError:
        return "(not installed)"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="quillmap", description="A dictionary shared by processes through a mapped file.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("demo", help="run worker processes on one shared map and check every entry")
    p.add_argument("--processes", type=int, default=os.cpu_count() or 1,
                   help="worker processes per phase (default: the number of CPUs; no more than entries)")
    p.add_argument("--entries", type=int, default=1_000_000, help="keys to insert (default: 1,000,000)")
    p.add_argument("--start-method", choices=("fork", "spawn", "forkserver"), default="fork",
                   help="how the workers are started (default: fork)")
    p.add_argument("--keep", action="store_true", help="keep the backing file")
    p.set_defaults(func=demo)
    p = sub.add_parser(
        "stat", help="print the shape of a map file",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="exit status: as quillmap check (0 ok, 1 damaged, 2 no such file, 4 busy, try again)")
    p.add_argument("name", help="path of the map file")
    p.add_argument("--json", action="store_true", help="print the figures and the verdict (ok, busy, damaged, problem) as JSON")
    p.set_defaults(func=stat)
    p = sub.add_parser(
        "check", help="walk a map file and report the first inconsistency",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Walk a map file: report the first inconsistency, the lock words held "
                    "with their holders (alive, dead, unknown: another pid namespace or a plain held "
                    "value, gone: its view closed or was recovered) and the views attached. A map that "
                    "live processes have open is walked bucket by bucket under each bucket's lock "
                    "(taken with bounded retries; a bucket whose lock stays held is walked as held), "
                    "so a map that others write without pause is checked all the same.",
        epilog="exit status:\n"
               "  0  not damaged. The first line says 'ok', 'in use' (live holders, operations under\n"
               "     way) or 'needs recovery' (locks or work of dead or gone holders; the next process\n"
               "     that opens the map or waits on such a lock recovers it)\n"
               "  1  damaged: the line says what is inconsistent\n"
               "  2  no such file, or a usage error\n"
               "  4  busy, try again: processes that have the map open changed it under every walk\n"
               "     (rare: when the table doubled under every reading of it, or when this process may\n"
               "     not write the file and so walks it without locks; an inconsistency met then is\n"
               "     walked again, and called damage only when it stays while the map does not change)")
    p.add_argument("name", help="path of the map file")
    p.add_argument("--json", action="store_true", help="print the whole report as JSON (ok, busy, damaged, problem)")
    p.set_defaults(func=check)
    p = sub.add_parser(
        "repair", help="offline repair of a map that no process has open",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Recover the views of dead processes, give chunks that nothing reaches (taken by "
                    "processes that died mid-operation) back to the free lists, clear the lock words "
                    "of dead holders and reset the counts; then check the file. Only for a map that no "
                    "process has open: nothing stops one from opening it meanwhile.",
        epilog="exit status:\n"
               "  0  repaired, and the check afterwards is clean\n"
               "  1  not repaired: the map is damaged (or the repair left it so)\n"
               "  2  no such file, or a usage error\n"
               "  3  refused: views of running processes (or of another pid namespace) have the map open")
    p.add_argument("name", help="path of the map file")
    p.add_argument("--json", action="store_true", help="print the whole result as JSON")
    p.set_defaults(func=repair)
    p = sub.add_parser(
        "ls", help="list the map files in a directory with size, entries and attached processes",
        description="List the map files of DIR (default: where new maps go: $TMPDIR, else /dev/shm, else the "
                    "temporary directory) with their size, entries and the live processes that have them "
                    "open, so that stale ones can be found and unlinked. Each file is walked as quillmap check "
                    "walks it (time in proportion to its size); files that are not maps are left out.")
    p.add_argument("dir", nargs="?", default=None, help="the directory to list")
    p.add_argument("--json", action="store_true", help="print the list as JSON")
    p.set_defaults(func=ls)
    p = sub.add_parser("bench", help="benchmark against other shared dictionaries")
    p.add_argument("--quick", action="store_true",
                   help="tiny sizes, to check the benchmark works: a few seconds per system (Redis Cluster "
                        "about 40 s, it starts six servers for every run), about a minute for all of them")
    p.add_argument("--out", default="bench-results", help="folder for the Markdown table and the chart")
    p.add_argument("--systems", default="", help="comma-separated subset of systems")
    p.set_defaults(func=bench)
    return parser


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return args.func(args)
    except CliError as e:
        print(f"quillmap: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("quillmap: interrupted", file=sys.stderr)
        return 130
    except (OSError, RuntimeError, ValueError, TypeError, MemoryError) as e:
        print(f"quillmap: {type(e).__name__}: {e}", file=sys.stderr)
        return 1


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
