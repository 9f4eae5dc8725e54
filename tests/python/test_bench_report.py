"""The benchmark report tells how its numbers came about: when each part and
each run ran and the load before them, plainly when parts ran at the same
time, and, where quillmap is not ahead, every peer that is, its disk use and
longest insert, with comparisons of stores of different sizes flagged."""

import pytest

pytest.importorskip("numpy")

from fennowick.bench.report import write_report  # noqa: E402
from fennowick.bench.run import Report  # noqa: E402
from fennowick.bench.settings import FULL  # noqa: E402
from fennowick.bench.systems import BY_KEY  # noqa: E402

T0 = 1_800_000_000.0   # a fixed epoch second: the test reads its own stamps back


def phase(ops_s, n=1000, keys=None, max_us=50.0, done=None, short="capped"):
    done = n if done is None else done
    return {"n": n, "done": done, "secs": done / ops_s, "ops_s": ops_s, "p99_us": 5.0, "max_us": max_us,
            "keys": n if keys is None else keys, "full_keys": n,
            "status": "ok" if done == n else short}


def run(started, minutes, phases, **extra):
    return {"status": "ok", "phases": phases, "started": T0 + 60 * started,
            "ended": T0 + 60 * (started + minutes), "load_before": 0.25, **extra}


def markdown(tmp_path, commands, results, systems=("quillmap", "sqlite", "lmdb")):
    rep = Report(cfg=FULL, systems=[BY_KEY[k] for k in systems], results=results, commands=commands,
                 seconds=600.0)
    write_report(rep, str(tmp_path), chart=False)
    return (tmp_path / "benchmarks.md").read_text()


def stamp(minutes):
    import time
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(T0 + 60 * minutes))


SAID = "**Parts of this report ran at the same time**"
PART_A = "quillmap bench --systems quillmap --out docs"
PART_B = "quillmap bench --systems sqlite,lmdb --out docs"


@pytest.mark.parametrize("commands, runs, overlap", [
    # one after the other, by lines with start and end
    ([f"{PART_A}  # {stamp(0)} to {stamp(10)}, 10.0 min, load 0.10 before",
      f"{PART_B}  # {stamp(11)} to {stamp(40)}, 29.0 min, load 0.20 before"],
     {"quillmap": 0, "sqlite": 11, "lmdb": 25}, False),
    # at the same time: the lines and the runs' stamps overlap
    ([f"{PART_A}  # {stamp(0)} to {stamp(10)}, 10.0 min, load 0.10 before",
      f"{PART_B}  # {stamp(1)} to {stamp(30)}, 29.0 min, load 1.90 before"],
     {"quillmap": 0, "sqlite": 1, "lmdb": 15}, True),
    # older lines, a start to the minute and the minutes taken
    ([f"{PART_A}  # {stamp(0)[:16]}, 95.7 min", f"{PART_B}  # {stamp(1)[:16]}, 17.7 min"],
     {}, True),
])
def test_parts_that_ran_at_the_same_time_are_said_so(tmp_path, commands, runs, overlap):
    results = {(k, "single", "int"): run(at, 5, {"get": phase(1e6)}) for k, at in runs.items()}
    md = markdown(tmp_path, commands, results)
    assert (SAID in md) is overlap
    if overlap:
        assert f"`{PART_A}` ({stamp(0)[:16]}" in md and f"`{PART_B}` ({stamp(1)[:16]}" in md
    if runs:
        assert f"| **quillmap** | {stamp(0)} | {stamp(5)} | 1 | 0.25 |" in md   # start, end, load before
        assert ("2 runs overlap another run" in md) is overlap


def test_where_quillmap_is_not_ahead_lists_every_peer_disk_and_longest_insert(tmp_path):
    growth = {"quillmap": (phase(2e5, n=10_000, max_us=30_000.0), 300 << 20),
              "sqlite": (phase(5e4, n=10_000, done=4_000, max_us=2_000.0, short="over budget"), 40 << 20),
              "lmdb": (phase(1e5, n=10_000, max_us=90_000.0), 500 << 20)}
    results = {
        ("quillmap", "single", "int"): run(0, 1, {"get": phase(1e6)}),
        ("sqlite", "single", "int"): run(2, 1, {"get": phase(2e6)}),
        ("lmdb", "single", "int"): run(4, 1, {"get": phase(3e6, keys=300)}),   # stopped at 300 keys
    }
    for i, (k, (ph, disk)) in enumerate(growth.items()):
        results[(k, "growth", "1")] = run(10 + i, 1, {"insert": ph}, extra={"footprint": disk, "memory": 0})
    md = markdown(tmp_path, [], results)
    lines = md.split("## Where quillmap is not ahead")[1].split("\n## ")[0].splitlines()
    get = next(line for line in lines if line.startswith("- one process, int keys, get:"))
    assert get.index("lmdb") < get.index("sqlite3")   # every peer ahead, the fastest first
    assert "[not the same size: quillmap 1,000 entries, lmdb 300]" in get
    assert "sqlite3 (WAL) 2 M/s (quillmap at 0.50× of it)" in get and get.count("not the same size") == 1
    disk = next(line for line in lines if line.startswith("- growth, 1 process, on disk:"))
    assert "quillmap 300.0 MiB; less: sqlite3 (WAL) 40.0 MiB [not the same size" in disk and "lmdb" not in disk
    longest = next(line for line in lines if line.startswith("- growth, 1 process, longest single insert:"))
    assert "quillmap 30 ms; shorter: sqlite3 (WAL) 2 ms" in longest and "lmdb" not in longest


def test_a_part_measured_again_in_full_leaves_the_merged_report(tmp_path):
    """A long benchmark is run in parts into one folder: a part whose systems
    have all been measured again since no longer stands in the report, nor
    does its overlap with the part it once shared the machine with. A part
    whose rows carry no stamps (older runs) stays while its systems' rows do."""
    import json

    from fennowick.bench.run import _merge_earlier

    def rows(system, at):
        return {"system": system, "workload": "single", "case": "int", **run(at, 5, {"get": phase(1e6)})}

    unstamped = "quillmap bench --systems cluster --out docs"
    cluster = {"system": "cluster", "workload": "single", "case": "int", "status": "ok",
               "phases": {"get": phase(1e4)}}
    old = {"commands": [f"{unstamped}  # {stamp(-100)[:16]}, 8.9 min",
                        f"{PART_A}  # {stamp(0)} to {stamp(10)}, 10.0 min, load 0.10 before",
                        f"{PART_B}  # {stamp(1)} to {stamp(30)}, 29.0 min, load 1.90 before"],
           "quick": FULL.quick, "n": FULL.n, "m": FULL.m, "seconds": 39 * 60.0, "skipped": {}, "configs": {},
           "runs": [cluster, rows("quillmap", 0), rows("sqlite", 1), rows("lmdb", 15)]}
    (tmp_path / "results.json").write_text(json.dumps(old))
    again = f"quillmap bench --systems sqlite,lmdb --out {tmp_path}"
    rep = Report(cfg=FULL, systems=[BY_KEY["sqlite"], BY_KEY["lmdb"]],
                 results={(k, "single", "int"): run(at, 5, {"get": phase(1e6)}) for k, at in (("sqlite", 60),
                                                                                            ("lmdb", 70))},
                 commands=[f"{again}  # {stamp(60)} to {stamp(80)}, 20.0 min, load 0.10 before"], seconds=20 * 60.0)
    _merge_earlier(rep, str(tmp_path / "results.json"))
    assert [c.split("  #")[0] for c in rep.commands] == [unstamped, PART_A, again]
    assert rep.seconds == pytest.approx((20 + 10 + 8.9) * 60)
    md = markdown(tmp_path, rep.commands, rep.results)
    assert SAID not in md
