"""The benchmark against the peers, in its quick mode, end to end: it runs
through the command line, measures quillmap in every workload, checks the
final state after the multi-process writers, writes its table, chart and raw
numbers, and leaves no backing file behind."""

import importlib.util
import json
import math
import os
import random
import subprocess
import sys

import numpy as np

from fennowick.bench.loops import p99_from_tops


def test_quick_bench_reports_quillmap_and_peers(tmp_path):
    systems = ["quillmap", "dict", "sqlite"] + (["lmdb"] if importlib.util.find_spec("lmdb") else [])
    out, scratch = tmp_path / "out", tmp_path / "scratch"
    scratch.mkdir()
    out.mkdir()
    kept = "<!-- kept: another benchmark -->\n## Written by another benchmark\n\n| a |\n<!-- /kept -->\n"
    (out / "benchmarks.md").write_text("# an earlier report\n\n" + kept)
    proc = subprocess.run(
        [sys.executable, "-m", "fennowick", "bench", "--quick", "--out", str(out), "--systems", ",".join(systems)],
        capture_output=True, text=True, timeout=240, env=dict(os.environ, TMPDIR=str(scratch)))
    assert proc.returncode == 0, proc.stdout + proc.stderr

    png = (out / "benchmarks.png").read_bytes()
    assert png.startswith(b"\x89PNG\r\n\x1a\n") and len(png) > 10_000
    runs = {(r["system"], r["workload"], r["case"]): r
            for r in json.loads((out / "results.json").read_text())["runs"]}

    ours = {k: r for k, r in runs.items() if k[0] == "quillmap"}
    assert len(ours) == 14  # every workload and case
    for key, run in ours.items():
        assert run["status"] == "ok", (key, run)
        assert run["phases"], key
        for name, phase in run["phases"].items():
            assert phase["status"] == "ok" and phase["done"] == phase["n"] > 0, (key, name, phase)
            assert phase["ops_s"] > 0 and 0 < phase["p99_us"] <= phase["max_us"], (key, name, phase)
    for case in ("2 disjoint", "2 shared", "4 disjoint", "4 shared"):
        assert ours[("quillmap", "writers", case)]["checked"] == "ok"
    for case in ("1", "2"):
        growth = ours[("quillmap", "growth", case)]
        assert growth["checked"] == "ok"
        assert growth["extra"]["footprint"] > 0 and growth["extra"]["memory"] > 0
    # a peer that shares its store went through the same checks
    assert runs[("sqlite", "writers", "4 shared")]["checked"] == "ok"
    # one-process references are not run where processes must share
    assert runs[("dict", "writers", "2 disjoint")]["status"] == "not run"
    # every run that ran has its stamps and the load before it, one after the other
    spans = sorted((r["started"], r["ended"]) for r in runs.values() if r["status"] != "not run")
    assert all(r["load_before"] >= 0 for r in runs.values() if r["status"] != "not run")
    assert all(s <= e <= later for (s, e), (later, _) in zip(spans, spans[1:] + [(math.inf, 0)]))

    md = (out / "benchmarks.md").read_text()
    tables = md.split("## One process", 1)[1]   # the figures, after when the runs ran
    rows = [line for line in tables.splitlines() if line.startswith("| **quillmap** |")]
    assert len(rows) == 8  # two key kinds, read-heavy, writers, get and replace by size, growth twice
    assert all("/s" in row and "failed" not in row for row in rows)
    assert "![chart](benchmarks.png)" in md
    assert "ran at the same time" not in md and "| first run started | last run ended |" in md
    assert md.endswith("\n" + kept) and "an earlier report" not in md  # another benchmark's section stays

    assert os.listdir(scratch) == []  # no backing file or database left behind


def test_p99_merges_the_tails_of_several_workers():
    rng = random.Random(3)
    for sizes in ([1], [7], [100], [250, 250], [1000, 37, 5], [999, 1001, 500, 3]):
        parts = [np.array([rng.randrange(1, 10**6) for _ in range(n)], dtype=np.int64) for n in sizes]
        total = sum(sizes)
        k = math.ceil(0.01 * total) + 1
        tops = [np.sort(p)[-min(k, len(p)):].tobytes() for p in parts]
        every = np.sort(np.concatenate(parts))
        assert p99_from_tops(tops, total) == every[math.ceil(0.99 * total) - 1]
