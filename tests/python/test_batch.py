"""insert_many and get_many: the same results as loops of insert and get, at
every block boundary, with the pairs before a failure stored, and correct
while other processes write and grow the table. (Their agreement with a dict
on mixed steps is in test_dict_api.)"""

import multiprocessing as mp
import pickle

import pytest

from fennowick.quillmap import quillmap
import helpers
from helpers import SMALL, exit_with, join_all


@pytest.mark.parametrize("count", [1, 15, 16, 17, 33, 1000])
@pytest.mark.parametrize("value_size", [0, 100, 70_000])
def test_batches_match_single_calls_at_every_block_boundary(count, value_size):
    if value_size > 1000 and count > 100:
        count = 40
    with quillmap(size=1 << 26, bucket_chunk_size_exponent=2, bucket_chunk_number=4096) as d:
        pairs = ((i, bytes([i % 251]) * value_size) for i in range(count))  # a generator: read once
        assert d.insert_many(pairs) == count
        keys = [*range(-2, count + 2), 0, count - 1]
        assert d.get_many(iter(keys)) == [d.get(k) for k in keys]
        assert len(d) == count


def failing_value():
    return lambda: 0  # pickle refuses it


@pytest.mark.parametrize("bad_at", [0, 5, 16, 20, 40])
def test_a_failing_pair_leaves_the_pairs_before_it_stored(small, bad_at):
    pairs = [(i, i) for i in range(50)]
    pairs[bad_at] = (bad_at, failing_value())
    with pytest.raises((pickle.PicklingError, AttributeError)):
        small.insert_many(pairs)
    assert small.get_many(range(50)) == [[True, i] for i in range(bad_at)] + [[False]] * (50 - bad_at)


def test_a_failing_key_returns_nothing_and_changes_nothing(small):
    small.insert_many({1: "one"})
    with pytest.raises((pickle.PicklingError, AttributeError)):
        small.get_many([1, 2, failing_value(), 3])
    assert small.get_many([1]) == [[True, "one"]] and len(small) == 1


@pytest.mark.parametrize("call, error", [
    (lambda d: d.insert_many(), "insert_many() takes exactly 1 positional argument (0 given)"),
    (lambda d: d.get_many([], []), "get_many() takes exactly 1 positional argument (2 given)"),
    (lambda d: d.insert_many(pairs=[("k", 1)], x=1), "insert_many() got an unexpected keyword argument 'x'"),
    (lambda d: d.get_many(None), "'NoneType' object is not iterable"),
])
def test_argument_errors(small, call, error):
    with pytest.raises(TypeError) as e:
        call(small)
    assert str(e.value) == error
    assert small.insert_many(pairs=[("k", 1)]) == 1 and small.get_many(keys=["k"]) == [[True, 1]]


def test_a_full_arena_stops_the_batch_cleanly_and_the_map_stays_usable():
    d = quillmap(size=1 << 18, bucket_chunk_size_exponent=2, bucket_chunk_number=4)
    value = "v" * 200
    with pytest.raises((MemoryError, RuntimeError)):
        d.insert_many((i, value) for i in range(100_000))
    found = d.get_many(range(100_000))
    stored = found.index([False])
    assert stored > 100 and found[:stored] == [[True, value]] * stored and len(d) == stored
    assert all(f == [False] for f in found[stored:])
    for i in range(50):
        assert d.remove(i) == 1
    assert d.insert_many([("again", value)]) == 1 and d.get_many(["again"]) == [[True, value]]
    d.close()


def test_overrides_are_not_called_by_batches():
    class Counting(quillmap):
        def get(self, key):
            raise AssertionError("batches use the map directly")

        insert = get

    with Counting(**SMALL) as d:
        assert d.insert_many([(1, 2)]) == 1 and d.get_many([1]) == [[True, 2]]


def read_standing_while_others_write(name: bytes, rounds: int):
    d = quillmap(name=name)
    keys = [("old", i) for i in range(3000)]
    for _ in range(rounds):
        assert d.get_many(keys) == [[True, i] for i in range(3000)]
    d.close()


def insert_many_tagged(name: bytes, tag: str, count: int):
    d = quillmap(name=name)
    for start in range(0, count, 500):
        assert d.insert_many(((tag, i), i) for i in range(start, min(count, start + 500))) == min(500, count - start)
    d.close()


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_batches_from_several_processes_while_the_table_grows(method):
    ctx = mp.get_context(method)
    with quillmap(size=1 << 27, bucket_chunk_size_exponent=2, bucket_chunk_number=8192) as d:
        d.insert_many((("old", i), i) for i in range(3000))
        buckets = d.stats()["buckets"]
        procs = [ctx.Process(target=exit_with, args=(insert_many_tagged, d.name, f"w{w}", 8000)) for w in range(2)]
        procs += [ctx.Process(target=exit_with, args=(read_standing_while_others_write, d.name, 20))]
        procs += [ctx.Process(target=exit_with, args=(helpers.insert_tagged, d.name, "single", 3000))]
        for p in procs:
            p.start()
        assert join_all(procs) == [0] * len(procs)
        assert len(d) == 3000 * 2 + 2 * 8000
        for tag, count in (("w0", 8000), ("w1", 8000), ("single", 3000), ("old", 3000)):
            assert d.get_many((tag, i) for i in range(count)) == [[True, i] for i in range(count)], tag
        assert d.stats()["buckets"] > buckets
