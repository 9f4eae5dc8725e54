"""Growth of the table: by inserts alone, by expansion(p) with a real pool
(also while other processes insert), the driver's bookkeeping against a
stand-in pool, and dict_expansion's arguments."""

import multiprocessing as mp
import os
import types

import pytest

import fennowick._inspect as inspect_map
import fennowick.quillmap as qm
import helpers
from fennowick.quillmap import quillmap
from helpers import SMALL, exit_with, join_all


def chunks(d):
    report = inspect_map.check(d.name)
    assert report["ok"], report["problem"]
    return report["bucket_chunks_in_use"]


def test_inserts_grow_sixteen_buckets_to_two_hundred_thousand_entries():
    d = quillmap(size=1 << 27, bucket_chunk_size_exponent=4, bucket_chunk_number=1 << 14)
    value = b"0123456789abcdef"
    n = 200_000
    for i in range(n):
        d.insert(i, value)
    assert [i for i in range(n) if d.get(i) != [True, value]] == []
    report = inspect_map.check(d.name)
    assert report["ok"], report["problem"]
    assert report["entry_count"] == n
    assert report["bucket_chunks_in_use"] * 16 * 2 >= n  # at most two entries per bucket


def test_expansion_doubles_once_per_call_and_keeps_entries():
    d = quillmap(size=1 << 24, bucket_chunk_size_exponent=4, bucket_chunk_number=64)
    for i in range(20):
        d.insert(i, i)
    start = chunks(d)
    assert d.expansion(1) == 1
    assert chunks(d) == 2 * start
    assert d.expansion(parallelism=2) == 1
    assert chunks(d) == 4 * start
    assert all(d.get(i) == [True, i] for i in range(20))


def test_expansion_while_other_processes_insert():
    d = quillmap(size=1 << 26, bucket_chunk_size_exponent=4, bucket_chunk_number=1 << 12)
    per = 15000
    ctx = mp.get_context("fork")
    writers = [ctx.Process(target=exit_with, args=(helpers.insert_range, d.name, w * per, (w + 1) * per))
               for w in range(2)]
    for p in writers:
        p.start()
    calls = 0
    while any(p.is_alive() for p in writers) and calls < 4:
        assert d.expansion(2) == 1
        calls += 1
    assert join_all(writers) == [0, 0]
    assert calls >= 1
    assert [i for i in range(2 * per) if d.get(i) != [True, f"v{i}"]] == []
    report = inspect_map.check(d.name)
    assert report["ok"], report["problem"]
    assert report["entry_count"] == 2 * per and not report["expanding"]


class NoPool:
    def Pool(self, n):
        raise AssertionError("a full table must not start workers")


@pytest.mark.parametrize("bucket_chunk_number, full", [(1, 1), (3, 2), (4, 4)])
def test_expansion_at_capacity_returns_1_and_changes_nothing(monkeypatch, bucket_chunk_number, full):
    d = quillmap(size=1 << 22, bucket_chunk_size_exponent=2, bucket_chunk_number=bucket_chunk_number)
    while chunks(d) < full:
        assert d.expansion(1) == 1
    monkeypatch.setattr(qm, "multiprocessing", NoPool())
    assert d.expansion(1) == 1
    assert chunks(d) == full


def test_worker_failure_is_reported_after_all_workers_end():
    d = quillmap(**SMALL)
    os.unlink(d.name)  # the workers cannot open the map
    with pytest.raises(RuntimeError) as e:
        d.expansion(2)
    assert str(e.value) == "Subprocess finished with error[RuntimeError('file status wrong with errno: 2')]"


# ---- the driver against a stand-in pool ---------------------------------------

class Result:
    def __init__(self, log, outcome):
        self.log, self.outcome = log, outcome

    def get(self):
        self.log.append("get")
        if isinstance(self.outcome, BaseException):
            raise self.outcome
        return self.outcome


class FakePool:
    def __init__(self, log, outcomes):
        self.log, self.outcomes = log, list(outcomes)

    def apply_async(self, fn, args):
        self.log.append(("apply_async", fn.__name__, args))
        return Result(self.log, self.outcomes.pop(0))

    def close(self):
        self.log.append("close")

    def join(self):
        self.log.append("join")

    def terminate(self):
        self.log.append("terminate")


@pytest.fixture
def fake_pool(monkeypatch):
    log = []
    state = types.SimpleNamespace(log=log, outcomes=[])

    def pool(n):
        log.append(("Pool", n))
        return FakePool(log, state.outcomes or [1] * n)
    monkeypatch.setattr(qm, "multiprocessing", types.SimpleNamespace(Pool=pool))
    monkeypatch.setattr(qm, "os", types.SimpleNamespace(cpu_count=lambda: 3))
    return state


def test_parallelism_0_means_cpu_count_workers_with_one_target(small, fake_pool):
    assert small.expansion() == 1
    task = ("apply_async", "dict_expansion", (small.name, 2))
    assert fake_pool.log == [("Pool", 3), task, task, task, "get", "get", "get", "close", "join"]


def test_first_failure_is_reported_and_the_pool_still_joined(small, fake_pool):
    fake_pool.outcomes = [1, ValueError("boom"), RuntimeError("later")]
    with pytest.raises(RuntimeError) as e:
        small.expansion(3)
    assert str(e.value) == "Subprocess finished with error[ValueError('boom')]"
    assert fake_pool.log[-4:] == ["get", "get", "close", "join"]


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt("^C"), SystemExit(3)])
def test_interrupt_while_waiting_ends_the_workers_and_propagates_unchanged(small, fake_pool, interrupt):
    fake_pool.outcomes = [1, interrupt, 1]
    with pytest.raises(type(interrupt)) as e:
        small.expansion(3)
    assert e.value is interrupt
    # no waiting for the third worker, no close: terminated, then joined
    assert fake_pool.log[-4:] == ["get", "get", "terminate", "join"]


def test_missing_globals_raise_name_error(small, monkeypatch):
    monkeypatch.delattr(qm, "multiprocessing")
    with pytest.raises(NameError) as e:
        small.expansion(1)
    assert str(e.value) == "name 'multiprocessing' is not defined"


def test_cpu_count_none_is_refused(small, fake_pool, monkeypatch):
    monkeypatch.setattr(qm, "os", types.SimpleNamespace(cpu_count=lambda: None))
    with pytest.raises(TypeError, match="^an integer is required$"):
        small.expansion()


# ---- dict_expansion ----------------------------------------------------------------

def test_dict_expansion_joins_only_below_its_target(small):
    assert qm.dict_expansion(small.name, 0) == 1
    assert qm.dict_expansion(name=small.name, target_length=1) == 1
    assert chunks(small) == 1
    assert qm.dict_expansion(small.name, 2) == 1
    assert chunks(small) == 2


@pytest.mark.parametrize("call, error, message", [
    (lambda d: qm.dict_expansion(None, 4), TypeError, "expected bytes, NoneType found"),
    (lambda d: qm.dict_expansion("x", 4), TypeError,
     "Argument 'name' has incorrect type (expected bytes, got str)"),
    (lambda d: qm.dict_expansion(d.name, -1), OverflowError, "can't convert negative value to size_t"),
    (lambda d: qm.dict_expansion(d.name), TypeError, "dict_expansion() takes exactly 2 positional arguments (1 given)"),
    (lambda d: qm.dict_expansion(b"", 4), ValueError, "dict_expansion needs the name of an existing map"),
    (lambda d: qm.dict_expansion(b"/tmp/a\0b", 4), ValueError, "embedded null byte"),
    (lambda d: qm.dict_expansion(b"/nonexistent/map", 4), RuntimeError, "file status wrong with errno: 2"),
    (lambda d: d.expansion(-1), OverflowError, "can't convert negative value to size_t"),
    (lambda d: d.expansion("2"), TypeError, "an integer is required"),
    (lambda d: d.expansion(1, 2), TypeError, "expansion() takes at most 1 positional argument (2 given)"),
    (lambda d: d.expansion(workers=2), TypeError, "expansion() got an unexpected keyword argument 'workers'"),
])
def test_argument_errors(small, call, error, message):
    with pytest.raises(error) as e:
        call(small)
    assert str(e.value) == message
