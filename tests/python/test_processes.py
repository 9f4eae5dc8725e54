"""Sharing one map between processes: fork, spawn and separate interpreters
with other hash seeds, concurrent writers, and objects inherited by fork."""

import multiprocessing as mp

import pytest

import fennowick._inspect as inspect_map
import helpers
from fennowick.quillmap import quillmap
from helpers import JOIN_TIMEOUT, SAMPLE, SMALL, exit_with, join_all, run_python


def _run_child(how, fn, *args):
    if how == "subprocess":
        r = run_python(f"from helpers import *; exit_with({fn.__name__}, *{args!r})", seed="4242")
        assert r.returncode == 0, r.stdout + r.stderr
        return
    p = mp.get_context(how).Process(target=exit_with, args=(fn, *args))
    p.start()
    assert join_all([p]) == [0]


@pytest.mark.parametrize("how", ["fork", "spawn", "subprocess"])
def test_child_reads_what_the_parent_wrote_and_back(how):
    d = quillmap(**SMALL)
    for key, value in SAMPLE:
        d.insert(key, value)
    _run_child(how, helpers.read_sample_and_answer, d.name)
    for key, value in SAMPLE:
        assert d.get(("answer", key)) == [True, f"seen {value}"], key


def test_programs_with_different_hash_seeds_share_entries():
    # str, bytes and None hash differently under each seed with Python's hash
    d = quillmap(**SMALL)
    for seed, fn in (("1", "write_sample"), ("2", "read_sample_and_answer")):
        r = run_python(f"from helpers import *; exit_with({fn}, {d.name!r})", seed=seed)
        assert r.returncode == 0, r.stdout + r.stderr
    assert all(d.get(key) == [True, value] for key, value in SAMPLE)


def test_four_writers_grow_one_map_together():
    d = quillmap(size=1 << 26, bucket_chunk_size_exponent=4, bucket_chunk_number=1 << 12)
    per = 5000
    ctx = mp.get_context("fork")
    ps = [ctx.Process(target=exit_with, args=(helpers.insert_range, d.name, w * per, (w + 1) * per))
          for w in range(4)]
    for p in ps:
        p.start()
    assert join_all(ps) == [0, 0, 0, 0]
    missing = [i for i in range(4 * per) if d.get(i) != [True, f"v{i}"]]
    assert missing == []
    report = inspect_map.check(d.name)
    assert report["ok"], report["problem"]
    assert report["entry_count"] == report["entries_found"] == 4 * per
    assert report["bucket_chunks_in_use"] > 1


def test_pool_workers_use_an_object_inherited_through_fork():
    d = quillmap(size=1 << 25, bucket_chunk_size_exponent=4, bucket_chunk_number=1 << 10)
    # Fill this process's chunk caches first: the children must not take
    # chunks from the copies they inherit, or the entries below would clash.
    for i in range(2000):
        d.insert(("parent", i), "p" * (i % 89))
    helpers.INHERITED = d
    try:
        with mp.get_context("fork").Pool(3) as pool:
            results = pool.map_async(helpers.use_inherited, range(600)).get(JOIN_TIMEOUT)
    finally:
        helpers.INHERITED = None
    assert results == [[True, "x" * (i % 97)] for i in range(600)]
    for i in range(2000, 4000):
        d.insert(("parent", i), "p" * (i % 89))
    assert all(d.get(("parent", i)) == [True, "p" * (i % 89)] for i in range(4000))
    assert all(d.get(("pool", i)) == [True, "x" * (i % 97)] for i in range(600))
    report = inspect_map.check(d.name)
    assert report["ok"], report["problem"]
