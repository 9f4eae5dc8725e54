"""The report: Markdown tables, a chart and the raw numbers."""

from __future__ import annotations

import json
import math
import os
import platform
import re
import subprocess
import tempfile
from typing import TYPE_CHECKING

from fennowick.bench.settings import READ_PHASES, SINGLE_PHASES, VALUE_SIZES
from fennowick.bench.adapters import Adapter, QuillmapAdapter
from fennowick.bench.stores import _redis_server
from fennowick.bench.systems import ADAPTERS, BY_KEY

if TYPE_CHECKING:
    from fennowick.bench.run import Report


# ---- the report -------------------------------------------------------------------------

SIZE_NAMES = {16: "16 B", 256: "256 B", 4096: "4 KiB", 65536: "64 KiB"}


def _rate(x: float | None) -> str:
    if x is None or not math.isfinite(x):
        return "–"
    for div, unit in ((1e6, " M"), (1e3, " k")):
        if x >= div:
            return f"{x / div:.3g}{unit}"
    return f"{x:.3g}"


def _dur_us(us: float | None) -> str:
    if us is None or not math.isfinite(us):
        return "–"
    if us >= 1e6:
        return f"{us / 1e6:.3g} s"
    if us >= 1e3:
        return f"{us / 1e3:.3g} ms"
    return f"{us:.3g} µs"


def _mib(b: int | None) -> str:
    return "–" if b is None else f"{b / 2**20:,.1f} MiB"


def _seconds(s: float) -> str:
    return f"{s / 60:g} minutes" if s >= 120 else f"{s:g} s"


def _count(x: int) -> str:
    return f"{x / 1e6:.3g} M" if x >= 1e6 else f"{x / 1e3:.3g} k" if x >= 1e4 else f"{x:,}"


def _phase(rep: Report, system: str, workload: str, case: str, phase: str) -> tuple[dict, dict | None]:
    res = rep.results.get((system, workload, case), {})
    return res, res.get("phases", {}).get(phase)


def _value(rep: Report, key: str, workload: str, case: str, phase: str) -> float | None:
    """Operations per second of a measured phase whose run went right, else None."""
    res, ph = _phase(rep, key, workload, case, phase)
    if ph and res.get("status") == "ok" and ph.get("done") and math.isfinite(ph.get("ops_s", math.nan)):
        return ph["ops_s"]
    return None


def _cell(rep: Report, cls: type[Adapter], workload: str, case: str, phase: str) -> str:
    if cls.reads_only and phase not in READ_PHASES:
        return "·"
    res, ph = _phase(rep, cls.key, workload, case, phase)
    status = res.get("status")
    if not res:
        return "–"
    if status == "not run":
        return "n/a" if res.get("note") == "n/a" else "not run"
    if ph and ph.get("done"):
        text = f"{_rate(ph['ops_s'])}/s · {_dur_us(ph['p99_us'])}"
        if ph["status"] != "ok":
            text += f" †{ph['done'] / ph['n']:.0%}"
        if ph.get("keys") is not None and ph.get("full_keys") and ph["keys"] < ph["full_keys"]:
            text += f" ‡{_count(ph['keys'])}"
        return text
    if status in ("failed", "timeout"):
        return status
    return "not reached"


def _table(header: list[str], rows: list[list[str]]) -> list[str]:
    out = ["| " + " | ".join(header) + " |", "|" + "|".join(["---"] + ["---:"] * (len(header) - 1)) + "|"]
    return out + ["| " + " | ".join(r) + " |" for r in rows]


def _label(cls: type[Adapter]) -> str:
    return f"*{cls.label}*" if cls.floor else (f"**{cls.label}**" if cls.key == "quillmap" else cls.label)


def _ran(rep: Report) -> list[type[Adapter]]:
    return [c for c in rep.systems if c.key not in rep.skipped]


def _columns() -> list[tuple[str, str, str, str, str]]:
    """Every compared column: (section, column title, workload, case, phase)."""
    cols = [("one process, int keys", ph, "single", "int", ph) for ph in SINGLE_PHASES]
    cols += [("one process, str keys", ph, "single", "str", ph) for ph in SINGLE_PHASES]
    cols += [("read-heavy", f"{p} process{'es' if p > 1 else ''}", "read90", str(p), "mixed") for p in (1, 2)]
    cols += [("writers", f"{p} processes, {m} keys", "writers", f"{p} {m}", "write")
             for p in (2, 4) for m in ("disjoint", "shared")]
    cols += [("value sizes", f"{ph} {SIZE_NAMES[s]}", "sizes", str(s), ph)
             for ph in ("get", "replace") for s in VALUE_SIZES]
    cols += [("growth", f"{p} process{'es' if p > 1 else ''}", "growth", str(p), "insert") for p in (1, 2)]
    return cols


def _size(rep: Report, key: str, workload: str, case: str, phase: str) -> int | None:
    """Entries in the store while a phase ran: what growth reached, else the
    keys it held (None when the run does not say)."""
    _res, ph = _phase(rep, key, workload, case, phase)
    if not ph:
        return None
    if workload == "growth":
        return ph.get("done")
    return ph["keys"] if ph.get("keys") is not None else ph.get("full_keys")


def _sizes_differ(rep: Report, peer: type[Adapter], workload: str, case: str, phase: str) -> str:
    """A flag for a comparison of stores that did not hold the same number of
    entries, else ''."""
    ours, theirs = (_size(rep, k, workload, case, phase) for k in ("quillmap", peer.key))
    if ours is None or theirs is None or ours == theirs:
        return ""
    return f" [not the same size: quillmap {_count(ours)} entries, {peer.label} {_count(theirs)}]"


def _not_ahead(rep: Report) -> list[str]:
    """Every column where a peer (not a floor) beat quillmap, with every peer
    that did, or where quillmap has no number; then growth's disk use and
    longest insert where a peer did better. A comparison of stores of
    different sizes is flagged on its line."""
    lines = []
    peers = [c for c in _ran(rep) if not c.floor and c.key != "quillmap"]
    for section, title, wl, case, ph in _columns():
        ours = _value(rep, "quillmap", wl, case, ph)
        rivals = [(v, c) for c in peers if not (c.reads_only and ph not in READ_PHASES)
                  for v in [_value(rep, c.key, wl, case, ph)] if v is not None]
        if ours is None:
            res = rep.results.get(("quillmap", wl, case), {})
            lines.append(f"- {section}, {title}: quillmap has no result ({res.get('note') or res.get('status', '?')})")
            continue
        ahead = sorted(((v, c) for v, c in rivals if v > ours), key=lambda t: -t[0])
        if ahead:
            lines.append(f"- {section}, {title}: quillmap {_rate(ours)}/s; ahead of it: " + "; ".join(
                f"{c.label} {_rate(v)}/s (quillmap at {ours / v:.2f}× of it){_sizes_differ(rep, c, wl, case, ph)}"
                for v, c in ahead))
    for p in (1, 2):
        title = f"growth, {p} process{'es' if p > 1 else ''}"
        res, ours = _phase(rep, "quillmap", "growth", str(p), "insert")
        if not ours or not ours.get("done"):
            continue
        disk = res.get("extra", {}).get("footprint")
        smaller, shorter = [], []
        for c in peers:
            pres, theirs = _phase(rep, c.key, "growth", str(p), "insert")
            if not theirs or not theirs.get("done"):
                continue
            flag = _sizes_differ(rep, c, "growth", str(p), "insert")
            their_disk = pres.get("extra", {}).get("footprint")
            if disk is not None and their_disk is not None and their_disk < disk:
                smaller.append((their_disk, f"{c.label} {_mib(their_disk)}{flag}"))
            if theirs["max_us"] < ours["max_us"]:
                shorter.append((theirs["max_us"], f"{c.label} {_dur_us(theirs['max_us'])}{flag}"))
        if smaller:
            lines.append(f"- {title}, on disk: quillmap {_mib(disk)}; less: "
                         + "; ".join(t for _, t in sorted(smaller)))
        if shorter:
            lines.append(f"- {title}, longest single insert: quillmap {_dur_us(ours['max_us'])}; shorter: "
                         + "; ".join(t for _, t in sorted(shorter)))
    return lines


# ---- when the parts of a report ran --------------------------------------------------------

STAMP = re.compile(r"#\s+(\d{4}-\d\d-\d\d \d\d:\d\d(?::\d\d)?)(?: to (\d{4}-\d\d-\d\d \d\d:\d\d:\d\d))?, ([0-9.]+) min")


def _part_spans(commands: list[str]) -> list[tuple[str, float, float]]:
    """(command, start, end) of every part whose line carries its stamps: the
    end as written, or (older lines) the start plus the minutes it took."""
    import time

    spans = []
    for c in commands:
        m = STAMP.search(c)
        if not m:
            continue
        first = m.group(1)
        start = time.mktime(time.strptime(first, "%Y-%m-%d %H:%M:%S" if first.count(":") == 2 else "%Y-%m-%d %H:%M"))
        end = (time.mktime(time.strptime(m.group(2), "%Y-%m-%d %H:%M:%S")) if m.group(2)
               else start + 60 * float(m.group(3)))
        spans.append((c.split("  #")[0], start, end))
    return spans


def _clock(t: float) -> str:
    import time

    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(t))


def _when(rep: Report) -> list[str]:
    """When each part and each system's runs ran, the load before them, and,
    said plainly, which parts ran at the same time."""
    L: list[str] = []
    spans = _part_spans(rep.commands)
    overlaps = [(a, b, min(a[2], b[2]) - max(a[1], b[1])) for i, a in enumerate(spans) for b in spans[i + 1:]
                if a[1] < b[2] and b[1] < a[2]]
    runs = sorted((r["started"], r["ended"], k) for k, r in rep.results.items()
                  if r.get("started") is not None and r.get("ended") is not None)
    crossed = set()
    for i, (s1, e1, k1) in enumerate(runs):
        for s2, e2, k2 in runs[i + 1:]:
            if s2 >= e1:
                break
            crossed.update((k1, k2))
    if overlaps or crossed:
        L += ["**Parts of this report ran at the same time**, sharing the machine's cores: their numbers "
              "are lower than each would be alone, and not comparable with the rest."]
        L += [f"- `{a[0]}` ({_clock(a[1])} to {_clock(a[2])}) and `{b[0]}` ({_clock(b[1])} to {_clock(b[2])}) "
              f"overlap for {_seconds(round(both))}." for a, b, both in overlaps]
        if crossed:
            L.append(f"- {len(crossed)} runs overlap another run by their stamps: " + ", ".join(
                f"{BY_KEY[k].label if k in BY_KEY else k} {wl} {case}" for k, wl, case in sorted(crossed)) + ".")
        L.append("")
    by_system: dict[str, list[dict]] = {}
    for (key, _wl, _case), r in rep.results.items():
        if r.get("started") is not None:
            by_system.setdefault(key, []).append(r)
    if by_system:
        L += ["When each system's runs ran, and the machine's load (1-minute average) before them; a load "
              f"near or above the number of cores ({os.cpu_count()}) means other work shared the machine:", ""]
        rows = []
        for c in rep.systems:
            rs = by_system.get(c.key)
            if not rs:
                continue
            loads = [r["load_before"] for r in rs if r.get("load_before") is not None]
            load = "–" if not loads else f"{min(loads):.2f}" if min(loads) == max(loads) else \
                f"{min(loads):.2f} to {max(loads):.2f}"
            rows.append([_label(c), _clock(min(r["started"] for r in rs)), _clock(max(r["ended"] for r in rs)),
                         str(len(rs)), load])
        L += _table(["system", "first run started", "last run ended", "runs", "load before its runs"], rows)
        L.append("")
    return L


def _machine() -> list[str]:
    from importlib import metadata

    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((l.split(":", 1)[1].strip() for l in f if l.startswith("model name")), cpu)
    except OSError:
        pass
    mem = ""
    try:
        with open("/proc/meminfo") as f:
            kb = int(next(l for l in f if l.startswith("MemTotal")).split()[1])
        mem = f", {kb / 2**20:.0f} GiB memory"
    except (OSError, StopIteration, ValueError):
        pass
    versions = []
    for dist in ("lmdb", "diskcache", "redis", "hiredis", "UltraDict", "atomics", "shared-memory-dict", "numpy"):
        try:
            versions.append(f"{dist} {metadata.version(dist)}")
        except metadata.PackageNotFoundError:
            pass
    server = _redis_server()
    if server:
        try:
            v = subprocess.run([server, "--version"], capture_output=True, text=True, timeout=10).stdout
            versions.append("redis-server " + next((w[2:] for w in v.split() if w.startswith("v=")), "?"))
        except (OSError, subprocess.SubprocessError):
            pass
    return [f"- Machine: {cpu}, {os.cpu_count()} cores{mem}, Linux {platform.release()}",
            f"- Python {platform.python_version()}; {', '.join(versions)}",
            f"- quillmap's files where new maps go when the program names no place (/dev/shm, a memory "
            f"file system, unless TMPDIR is set); every other system's files in {tempfile.gettempdir()} "
            "(shared-memory segments in /dev/shm)"]


def _markdown(rep: Report) -> str:
    cfg = rep.cfg
    systems = _ran(rep)
    L = ["# quillmap against its peers", ""]
    L += ["Made with:", ""]
    L += [f"    {c}" for c in rep.commands]
    spans = _part_spans(rep.commands)
    clock = (max(e for _, _, e in spans) - min(s for _, s, _ in spans)) / 60 if spans else None
    if cfg.quick:
        L += ["", "Quick mode: tiny sizes, to test the benchmark itself; the numbers are not for comparing.", ""]
    elif len(spans) > 1 and clock is not None:
        L += ["", f"Run time of its parts together: {rep.seconds / 60:.0f} minutes; from the first start to "
              f"the last end: {clock:.0f} minutes.", ""]
    else:
        L += ["", f"Full run: {rep.seconds / 60:.0f} minutes.", ""]
    L += _when(rep)
    L += _machine()
    L += ["", "![chart](benchmarks.png)", "", "## How to read", "",
          f"Every system gets the same keys and the same values, pickled. N = {cfg.n:,} keys; "
          f"values of 16 bytes unless said otherwise; growth to M = {cfg.m:,} entries.",
          "",
          "A cell gives operations per second over all processes of the run, then the "
          "99th-percentile latency of one operation. A run is repeated, up to "
          f"{cfg.reps} times, while its repetitions together take less than {cfg.rep_allowance:g} s, "
          "and the medians are shown. "
          "Each operation is timestamped on its own, so every number includes one timer call "
          "(about 50 ns). The measured operations always run in forked worker processes, "
          "started together.",
          "",
          f"Time limits: a timed phase (and a prefill) stops after {cfg.phase_cap:g} s; "
          f"growth to M has {_seconds(cfg.growth_budget)}"
          + (", and a growth run gives up after a quarter of that when, at its average rate so far, "
             "it would not reach 60 % of M by the end" if cfg.early_stop else "") + ".",
          "",
          "- *†x%*: the phase stopped at its time limit after x% of its operations; the rate is "
          "over the part done.",
          "- *‡k*: the store held only k keys (its prefill or insert phase stopped at the limit), "
          "not the full number.",
          "- *n/a*: a one-process reference cannot share a store between processes; "
          "*not run*: see the notes at the end; *·*: not measured (lmdb with batched reads "
          "differs from lmdb only in its reads).",
          "- The floors are references, not peers: *pickle (floor)* is the serializer alone "
          "(pickle.dumps(key) + pickle.loads(value) for a read), *dict (floor)* a plain dict "
          "in one process.", ""]

    for kind, title in (("int", "small int keys"), ("str", "10-character str keys")):
        L += [f"## One process, {title}", "",
              "Insert N keys into an empty store, get each, get N keys never inserted, "
              "replace each value, remove each.", ""]
        L += _table(["system"] + list(SINGLE_PHASES),
                    [[_label(c)] + [_cell(rep, c, "single", kind, ph) for ph in SINGLE_PHASES] for c in systems])
        L.append("")

    L += ["## Read-heavy: 90 % get, 10 % replace", "",
          "N keys; each process does N operations on random keys.", ""]
    rows = []
    for c in systems:
        one, two = _value(rep, c.key, "read90", "1", "mixed"), _value(rep, c.key, "read90", "2", "mixed")
        rows.append([_label(c), _cell(rep, c, "read90", "1", "mixed"), _cell(rep, c, "read90", "2", "mixed"),
                     f"{two / one:.2f}×" if one and two else "–"])
    L += _table(["system", "1 process", "2 processes", "2 processes / 1"], rows)
    L.append("")

    L += ["## Writers", "",
          "N inserts in all into an empty store. *disjoint*: each process inserts its own share "
          "of the N keys; *shared*: every one of the P processes inserts the same N / P keys, "
          "each in its own order. Afterwards every key written is read back from another "
          "process and the entries counted: ✓ the final state is right, ✗ it is not.", ""]
    rows = []
    for c in systems:
        row = [_label(c)]
        for p in (2, 4):
            for m in ("disjoint", "shared"):
                chk = rep.results.get((c.key, "writers", f"{p} {m}"), {}).get("checked")
                mark = " ✓" if chk == "ok" else "" if chk in (None, "not checked") else " ✗"
                row.append(_cell(rep, c, "writers", f"{p} {m}", "write") + mark)
        rows.append(row)
    L += _table(["system", "2 disjoint", "2 shared", "4 disjoint", "4 shared"], rows)
    L.append("")

    L += ["## Value sizes", "",
          "Entries per size: " + ", ".join(f"{SIZE_NAMES[s]}: {cfg.sizes_count(s):,}" for s in VALUE_SIZES)
          + "; int keys, read and replaced in a random order.", ""]
    for ph in ("get", "replace"):
        L += [f"### {ph}", ""]
        L += _table(["system"] + [SIZE_NAMES[s] for s in VALUE_SIZES],
                    [[_label(c)] + [_cell(rep, c, "sizes", str(s), ph) for s in VALUE_SIZES] for c in systems])
        L.append("")

    L += [f"## Growth from empty to {cfg.m:,} entries", "",
          "With two processes each inserts half the keys. *Peak memory* is the rise of resident "
          "memory during the run, over the writing processes and the system's server if it has "
          "one, pages shared between them counted once; data a system keeps only in the kernel's "
          "page cache (sqlite, diskcache, lmdb's written pages) does not show there but under "
          "*on disk* (bytes allocated to its files, or to its shared-memory segments).", ""]
    rows = []
    for c in systems:
        for p in (1, 2):
            res, ph = _phase(rep, c.key, "growth", str(p), "insert")
            if not res or res.get("note") == "n/a":
                continue
            ex = res.get("extra", {})
            if ph and ph.get("done"):
                reached = {"ok": "all", "over budget": "over budget at", "gave up": "gave up at"}[ph["status"]]
                if ph["status"] != "ok":
                    reached += f" {_count(ph['done'])} ({ph['done'] / ph['n']:.0%})"
                if res.get("checked") not in (None, "ok", "not checked"):
                    reached += " ✗"
                rows.append([_label(c), str(p), reached, f"{ph['secs']:.1f}", f"{_rate(ph['ops_s'])}/s",
                             _dur_us(ph["p99_us"]), _dur_us(ph["max_us"]), _mib(ex.get("footprint")),
                             _mib(ex.get("memory"))])
            else:
                rows.append([_label(c), str(p), res.get("status", "–")] + ["–"] * 6)
    L += _table(["system", "processes", "reached", "seconds", "inserts", "p99", "longest insert",
                 "on disk", "peak memory"], rows)
    L.append("")

    if QuillmapAdapter in systems:
        ahead = _not_ahead(rep)
        L += ["## Where quillmap is not ahead", "",
              "Every column where a peer's rate is above quillmap's, with every peer that is; then growth's "
              "disk use and longest single insert where a peer's is lower. *[not the same size]* flags a "
              "comparison of stores that held different numbers of entries (one stopped at its time limit).", ""]
        L += ahead or ["Nowhere: in every column quillmap is ahead of every peer that has a number."]
        L.append("")

    L += ["## How each system is set up", ""]
    L += [f"- {c.label}: {rep.configs.get(c.key, c.config)}" for c in systems]
    L += [f"- {BY_KEY[k].label}: skipped, {why}" for k, why in rep.skipped.items()]
    notes = [f"- {c.label}, {wl} {case}: {r['note']}" for c in systems
             for (k, wl, case), r in rep.results.items() if k == c.key and r.get("note") not in (None, "", "n/a")]
    if notes:
        L += ["", "## Notes from the runs", ""] + notes
    L.append("")
    return "\n".join(L)


def _chart(rep: Report, path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np

    systems = _ran(rep)
    colors = {c.key: plt.cm.tab20(i / max(1, len(ADAPTERS) - 1)) for i, c in enumerate(ADAPTERS)}
    panels = [
        ("one process, int keys", [(ph, "single", "int", ph) for ph in SINGLE_PHASES]),
        ("one process, str keys", [(ph, "single", "str", ph) for ph in SINGLE_PHASES]),
        ("read-heavy 90/10", [(f"{p} proc", "read90", str(p), "mixed") for p in (1, 2)]),
        ("writers", [(f"{p} {m}", "writers", f"{p} {m}", "write") for p in (2, 4) for m in ("disjoint", "shared")]),
        ("value sizes", [(f"{ph} {SIZE_NAMES[s]}", "sizes", str(s), ph) for ph in ("get", "replace")
                         for s in VALUE_SIZES]),
        (f"growth to {rep.cfg.m:,}", [(f"{p} proc", "growth", str(p), "insert") for p in (1, 2)]),
    ]
    fig, axes = plt.subplots(2, 3, figsize=(20, 10))
    width = 0.8 / max(1, len(systems))
    for ax, (title, cols) in zip(axes.flat, panels):
        x = np.arange(len(cols))
        for i, c in enumerate(systems):
            heights, partial = [], []
            for _, wl, case, ph in cols:
                res, p = _phase(rep, c.key, wl, case, ph)
                v = None if c.reads_only and ph not in READ_PHASES else _value(rep, c.key, wl, case, ph)
                heights.append(v or 0.0)
                partial.append(bool(v) and p["status"] != "ok")
            bars = ax.bar(x + (i - (len(systems) - 1) / 2) * width, heights, width, color=colors[c.key],
                          label=c.label, edgecolor="black" if c.key == "quillmap" else "none", linewidth=0.8)
            for b, h in zip(bars, partial):
                if h:
                    b.set_hatch("///")
                    b.set_alpha(0.55)
        if any(p.get_height() > 0 for p in ax.patches):
            ax.set_yscale("log")   # (a log axis of nothing but zeros only warns)
        ax.set_xticks(x, [c[0] for c in cols], rotation=30 if len(cols) > 4 else 0, fontsize=8)
        ax.set_title(title)
        ax.set_ylabel("operations / s (log)")
        ax.grid(axis="y", which="major", alpha=0.3)
    handles, labels = axes.flat[0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="lower center", ncol=min(len(labels), 6), fontsize=9)
    fig.suptitle("quillmap against its peers: operations per second, higher is better; "
                 "hatched: stopped at its time limit" + (" (quick mode)" if rep.cfg.quick else ""))
    fig.tight_layout(rect=(0, 0.07, 1, 0.96))
    fig.savefig(path, dpi=100)
    plt.close(fig)


KEPT = re.compile(r"^<!-- kept: .*?^<!-- /kept -->\n", re.S | re.M)


def kept_sections(path: str) -> list[str]:
    """The sections of a report that other benchmarks write (between `<!-- kept: NAME -->`
    and `<!-- /kept -->`, such as bench/python/bench_cluster.py's): a new report keeps them."""
    try:
        with open(path) as f:
            return KEPT.findall(f.read())
    except OSError:
        return []


def write_report(rep: Report, out: str, chart: bool = True) -> list[str]:
    """Write the tables, the raw numbers and (with `chart`) the chart; a
    chart left from an earlier write stays until the next one with it."""
    md, png, raw = (os.path.join(out, f) for f in ("benchmarks.md", "benchmarks.png", "results.json"))
    os.makedirs(out, exist_ok=True)
    kept = kept_sections(md)
    with open(md, "w") as f:
        f.write(_markdown(rep) + "".join("\n" + k for k in kept))
    try:
        import matplotlib  # noqa: F401
        have_matplotlib = True
    except ImportError:
        have_matplotlib = False
    if not chart:
        png = ""
    elif not have_matplotlib:
        print("note: no chart: matplotlib is missing (pip install 'fennowick[bench]' installs it)")
        png = ""
    else:
        _chart(rep, png)
    with open(raw, "w") as f:
        json.dump({"commands": rep.commands, "quick": rep.cfg.quick, "n": rep.cfg.n, "m": rep.cfg.m,
                   "seconds": rep.seconds, "skipped": rep.skipped, "configs": rep.configs,
                   "runs": [{"system": k, "workload": wl, "case": case, **r}
                            for (k, wl, case), r in rep.results.items()]}, f, indent=1)
    return [p for p in (md, png, raw) if p]
