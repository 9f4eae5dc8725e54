"""The dict-like face of quillmap: len, `in`, subscription, pop, setdefault,
update against a dict model; closing and the context manager; repr, stats and
unlink."""

import multiprocessing as mp
import os
import sys

import pytest
from hypothesis import given, settings, strategies as st

import fennowick.quillmap as qm
from fennowick import _inspect
from fennowick.cli import shape_of
from fennowick.quillmap import quillmap
import helpers
from helpers import SAMPLE, SMALL, exit_with, join_all, run_python

CLOSED = "operation on a closed quillmap"
MISSING = object()


def dict_insert_many(model, pairs):
    """insert_many on a dict: pairs or a mapping's items, in order, stopping at a bad one."""
    stored = 0
    for i, item in enumerate(pairs.items() if hasattr(pairs, "keys") else pairs):
        try:
            pair = list(item)
        except TypeError:
            raise TypeError(f"cannot convert insert_many sequence element #{i} to a sequence") from None
        if len(pair) != 2:
            raise ValueError(f"insert_many sequence element #{i} has length {len(pair)}; 2 is required")
        model[pair[0]] = pair[1]
        stored += 1
    return stored


def apply(target, op, *args):
    """Run one step on a dict or a quillmap: its result, or its exception's type and args."""
    try:
        if isinstance(target, dict) and op == "insert_many":
            return dict_insert_many(target, *args)
        if isinstance(target, dict) and op == "get_many":
            return [[True, target[k]] if k in target else [False] for k in args[0]]
        if op == "set":
            target[args[0]] = args[1]
            return None
        if op == "get":
            return target[args[0]]
        if op == "del":
            del target[args[0]]
            return None
        if op == "in":
            return args[0] in target
        if op == "len":
            return len(target)
        if op in ("iter", "keys", "values", "items"):
            walk = iter(target) if op == "iter" else getattr(target, op)()
            return sorted(walk, key=repr)
        return getattr(target, op)(*args)
    except (KeyError, TypeError, ValueError) as e:
        return type(e), e.args


# Each script runs on a fresh map and on a dict; every step must agree.
SCRIPTS = {
    "set-get-replace": [("set", "a", 1), ("get", "a"), ("set", "a", [2]), ("get", "a"), ("len",)],
    "absent-key": [("get", "nope"), ("del", "nope"), ("in", "nope"), ("pop", "nope"), ("len",)],
    "tuple-key-error-keeps-tuple": [("get", (1, 2)), ("del", (1, 2)), ("pop", (1, 2))],
    "del-then-absent": [("set", b"k", None), ("in", b"k"), ("del", b"k"), ("in", b"k"), ("del", b"k"), ("len",)],
    "pop": [("set", 7, "x"), ("pop", 7), ("pop", 7), ("pop", 7, "dflt"), ("pop", 8, None), ("len",)],
    "setdefault": [("setdefault", "s", 1), ("setdefault", "s", 2), ("get", "s"), ("setdefault", "n"),
                   ("get", "n"), ("len",)],
    "update-mapping": [("update", {"a": 1, (2,): "b"}), ("get", "a"), ("get", (2,)), ("len",)],
    "update-pairs": [("update", [("a", 1), ["b", 2]]), ("update", (("a", 3),)), ("get", "a"), ("len",)],
    "update-nothing": [("update",), ("update", {}), ("len",)],
    "clear": [("update", {i: str(i) for i in range(40)}), ("clear",), ("len",), ("get", 3), ("clear",),
              ("set", 3, "back"), ("get", 3), ("len",)],
    "update-bad-length-stops": [("update", [("a", 1), ("b", 2, 3), ("c", 4)]), ("in", "a"), ("in", "c")],
    "update-not-a-pair": [("update", [("a", 1), 5]), ("in", "a")],
    "update-not-iterable": [("update", 5), ("len",)],
    "walks": [("iter",), ("items",), ("update", {(i, "k"): [i] for i in range(50)}), ("set", None, 0),
              ("iter",), ("keys",), ("values",), ("items",), ("del", (7, "k")), ("items",)],
    "sample-keys": [step for key, value in SAMPLE for step in (("set", key, value), ("get", key))] + [("len",)],
    "batches": [("insert_many", [(i, str(i)) for i in range(40)]), ("len",),
                ("get_many", [*range(-3, 45), 5, 5]), ("insert_many", ([3, "x"], (3, "y"), (b"z", None))),
                ("get_many", (3, b"z")), ("insert_many", {"a": 1, (2,): [2]}), ("get_many", ["a", (2,), "c"])],
    "batches-empty": [("insert_many", []), ("insert_many", {}), ("get_many", []), ("get_many", ""), ("len",)],
    "batch-sample-keys": [("insert_many", SAMPLE), ("get_many", [key for key, _ in SAMPLE]), ("len",)],
    "insert-many-stops-at-a-bad-pair": [("insert_many", [*((i, i) for i in range(20)), 5, (99, 99)]),
                                        ("len",), ("get_many", [19, 99])],
    "insert-many-stops-at-a-bad-length": [("insert_many", [*((i, i) for i in range(37)), (1, 2, 3), (99, 99)]),
                                          ("len",), ("get_many", [36, 99])],
    "batches-not-iterable": [("insert_many", 5), ("get_many", 5), ("len",)],
}


@pytest.mark.parametrize("script", SCRIPTS.values(), ids=SCRIPTS.keys())
def test_steps_agree_with_a_dict(small, script):
    model = {}
    for step in script:
        assert apply(small, *step) == apply(model, *step), step


@settings(max_examples=40, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(["set", "get", "del", "in", "pop", "setdefault", "clear", "items",
                                           "insert_many", "get_many"]),
                          st.integers(0, 6), st.integers())))
def test_random_steps_agree_with_a_dict(steps):
    with quillmap(**SMALL) as d:
        model = {}
        for op, key, value in steps:
            args = (key, value) if op in ("set", "setdefault") else () if op in ("clear", "items") else (key,)
            if op == "insert_many":
                args = ([(key, value), (key + 1, -value), (key, value + 1)],)
            elif op == "get_many":
                args = ([key, key + 1, key, key + 7],)
            assert apply(d, op, *args) == apply(model, op, *args), (op, args)
        assert len(d) == len(model)
        assert all(d.get(k) == [True, v] for k, v in model.items())


@pytest.mark.parametrize("serializer", ["pickle", "json", "orjson", "msgpack", "msgspec"])
def test_subscription_goes_through_the_same_path_as_the_methods(serializer):
    with quillmap(serializer=serializer, **SMALL) as d:
        d["k"] = [1, "two"]
        assert d.get("k") == [True, [1, "two"]]
        assert d.insert("j", {"x": 1}) == 1 and d["j"] == {"x": 1}
        del d["j"]
        assert d.remove("j") == 0 and d.remove("k") == 1 and "k" not in d


# pickle's own refusal of a lambda, worded differently from 3.13
CANT_PICKLE = "Can't pickle" if sys.version_info < (3, 13) else "Can't get local object"


@pytest.mark.parametrize("step, error", [
    (lambda d: d.__setitem__("new", lambda: 0), CANT_PICKLE),
    (lambda d: d.__getitem__(lambda: 0), CANT_PICKLE),
    (lambda d: d.pop(), "pop() takes at least 1 positional argument (0 given)"),
    (lambda d: d.setdefault(), "setdefault() takes at least 1 positional argument (0 given)"),
    (lambda d: d.update({}, {}), "update() takes at most 1 positional argument (2 given)"),
    (lambda d: d.close(1), "close() takes exactly 0 positional arguments (1 given)"),
    (lambda d: d.__exit__(None), "__exit__() takes exactly 3 positional arguments (1 given)"),
])
def test_errors_leave_the_map_unchanged(small, step, error):
    small["keep"] = 1
    with pytest.raises((TypeError, AttributeError)) as e:
        step(small)
    assert error in str(e.value)
    assert len(small) == 1 and small["keep"] == 1


def test_len_and_contents_are_shared_with_other_processes(small):
    other = quillmap(name=small.name)
    small.update(SAMPLE)
    assert len(other) == len(SAMPLE)
    r = run_python(f"from fennowick.quillmap import quillmap\n"
                   f"d = quillmap(name={small.name!r})\n"
                   f"assert len(d) == {len(SAMPLE)} and d['text'] == 'a str key'\n"
                   f"d['child'] = 1\ndel d[12345]\nd.close()\n")
    assert r.returncode == 0, r.stderr
    assert len(other) == len(small) == len(SAMPLE) and "child" in other and 12345 not in small


def test_clear_removes_every_standing_entry_while_another_process_expands():
    with quillmap(size=1 << 26, bucket_chunk_size_exponent=2, bucket_chunk_number=8192) as d:
        d.update((("old", i), i) for i in range(3000))
        buckets = d.stats()["buckets"]
        p = mp.get_context("spawn").Process(target=exit_with, args=(helpers.insert_tagged, d.name, "new", 6000))
        p.start()
        while ("new", 0) not in d and p.is_alive():
            pass
        d.clear()
        assert join_all([p]) == [0]
        assert not any(("old", i) in d for i in range(3000))
        remaining = [i for i in range(6000) if ("new", i) in d]
        assert all(d[("new", i)] == i for i in remaining)
        assert len(d) == len(remaining)
        assert d.stats()["buckets"] > buckets
        assert _inspect.check(d.name)["ok"]


def walk_while(d, step):
    """Walk d's items, calling step(i) after the i-th: how often each key came, and the last value seen."""
    seen, values = {}, {}
    for i, (key, value) in enumerate(d.items()):
        seen[key] = seen.get(key, 0) + 1
        values[key] = value
        step(i)
    return seen, values


@pytest.mark.parametrize("change, doubles", [
    pytest.param(lambda d, i: d.__setitem__(("new", i), i), True, id="inserts-that-double-the-table"),
    pytest.param(lambda d, i: d.pop(("old", 2999 - i), None), False, id="removals-ahead"),
    pytest.param(lambda d, i: d.__setitem__(("old", i), -1), False, id="replacing-what-was-seen"),
])
def test_walk_sees_every_standing_entry_once_while_this_process_changes_the_map(change, doubles):
    with quillmap(size=1 << 26, bucket_chunk_size_exponent=2, bucket_chunk_number=8192) as d:
        d.update((("old", i), i) for i in range(3000))
        buckets = d.stats()["buckets"]
        standing = set(d.keys())
        seen, values = walk_while(d, lambda i: change(d, i))
        assert all(n == 1 for n in seen.values()), [k for k, n in seen.items() if n > 1]
        now = set(d.keys())
        untouched = {k for k in standing if k in now and d[k] == k[1]}
        assert untouched <= set(seen) and all(values[k] == k[1] for k in untouched)
        assert set(seen) <= standing | now
        assert (d.stats()["buckets"] > buckets) == doubles


def test_walk_sees_every_standing_entry_once_while_another_process_expands():
    with quillmap(size=1 << 26, bucket_chunk_size_exponent=2, bucket_chunk_number=8192) as d:
        d.update((("old", i), i) for i in range(3000))
        buckets = d.stats()["buckets"]
        p = mp.get_context("spawn").Process(target=exit_with, args=(helpers.insert_tagged, d.name, "new", 6000))
        p.start()
        while ("new", 0) not in d and p.is_alive():
            pass
        seen, values = walk_while(d, lambda i: None)
        assert join_all([p]) == [0]
        assert all(n == 1 for n in seen.values())
        assert {k for k in seen if k[0] == "old"} == {("old", i) for i in range(3000)}
        assert all(values[k] == k[1] for k in seen)
        assert d.stats()["buckets"] > buckets


def test_next_after_closing_is_refused(small):
    small.update({1: 1, 2: 2})
    it = iter(small)
    next(it)
    small.close()
    with pytest.raises(ValueError, match=CLOSED):
        next(it)


CLOSING = {
    "close": lambda d: d.close(),
    "close-twice": lambda d: (d.close(), d.close()),
    "exit": lambda d: d.__exit__(None, None, None),
    "finalizer": lambda d: d.__del__(),
}

AFTER_CLOSE = {
    "len": len,
    "getitem": lambda d: d["k"],
    "setitem": lambda d: d.__setitem__("k", 1),
    "delitem": lambda d: d.__delitem__("k"),
    "contains": lambda d: "k" in d,
    "pop": lambda d: d.pop("k", None),
    "setdefault": lambda d: d.setdefault("k", 1),
    "update": lambda d: d.update({"k": 1}),
    "clear": lambda d: d.clear(),
    "iter": iter,
    "keys": lambda d: d.keys(),
    "values": lambda d: d.values(),
    "items": lambda d: d.items(),
    "stats": lambda d: d.stats(),
    "enter": lambda d: d.__enter__(),
    "get": lambda d: d.get("k"),
    "insert": lambda d: d.insert("k", 1),
    "remove": lambda d: d.remove("k"),
    "insert_many": lambda d: d.insert_many([("k", 1)]),
    "get_many": lambda d: d.get_many(["k"]),
    "unlink": lambda d: d.unlink(),
}


@pytest.mark.parametrize("close", CLOSING.values(), ids=CLOSING.keys())
@pytest.mark.parametrize("operation", AFTER_CLOSE.values(), ids=AFTER_CLOSE.keys())
def test_every_operation_after_closing_is_refused(close, operation):
    d = quillmap(**SMALL)
    keeper = quillmap(name=d.name)
    d["k"] = "v"
    assert not d.closed
    close(d)
    assert d.closed
    with pytest.raises(ValueError, match=CLOSED):
        operation(d)
    d.close()  # idempotent after any way of closing
    assert os.path.exists(d.name)
    assert keeper["k"] == "v" and len(keeper) == 1  # the shared table is untouched
    keeper.close()


def test_context_manager_closes_on_exit_and_lets_exceptions_through():
    with quillmap(**SMALL) as d:
        assert isinstance(d, quillmap) and not d.closed
        d["k"] = 1
    assert d.closed
    with pytest.raises(RuntimeError, match="boom"):
        with quillmap(name=d.name) as e:
            assert e["k"] == 1
            raise RuntimeError("boom")
    assert e.closed


def test_repr_shows_name_entries_and_buckets(small):
    small.update({i: i for i in range(3)})
    assert repr(small) == f"<quillmap name={small.name!r} entries=3 buckets=16>"
    small.close()
    assert repr(small) == f"<quillmap name={small.name!r} closed>"
    assert repr(quillmap.__new__(quillmap)) == "<quillmap name=None closed>"


def test_stats_are_the_figures_of_quillmap_stat(small):
    small.update((i, "v" * i) for i in range(20))
    stats = small.stats()
    assert stats == shape_of(_inspect.check(small.name))
    assert stats["entries"] == len(small) == 20
    assert stats["buckets"] == stats["bucket_chunks_in_use"] * stats["buckets_per_chunk"]
    assert stats["longest_bucket"] >= 1 and stats["expanding"] is False


@pytest.mark.parametrize("lose_name", ["unlink", "chdir"])
def test_stats_come_from_the_open_file_when_its_name_is_gone(small, tmp_path, monkeypatch, lose_name):
    small.update((i, i) for i in range(50))
    before = small.stats()
    if lose_name == "unlink":
        small.unlink()
    else:
        monkeypatch.chdir(os.path.dirname(small.name))
        d = quillmap(name=os.path.basename(small.name))
        monkeypatch.chdir(tmp_path)
        small = d
    assert small.stats() == before and before["entries"] == 50
    if lose_name == "chdir":
        small.close()


@pytest.mark.parametrize("content", [b"", b"hello\n" * 100, b"\0" * 4096])
def test_module_unlink_refuses_a_file_that_is_not_a_map(tmp_path, content):
    path = tmp_path / "notes.txt"
    path.write_bytes(content)
    with pytest.raises(ValueError, match="refusing to unlink .*not a map file"):
        qm.unlink(path)
    assert path.read_bytes() == content
    with pytest.raises(ValueError, match="not a regular file"):
        qm.unlink(tmp_path)


@pytest.mark.parametrize("remove", [
    lambda d: d.unlink(),
    lambda d: qm.unlink(d.name),
    lambda d: qm.unlink(name=os.fsdecode(d.name)),
])
def test_unlink_removes_the_file_and_open_views_keep_working(remove):
    d = quillmap(**SMALL)
    other = quillmap(name=d.name)
    d["k"] = 1
    remove(d)
    assert not os.path.exists(d.name)
    d["j"] = 2
    assert other["j"] == 2 and len(other) == 2
    with pytest.raises(RuntimeError):
        quillmap(name=d.name)
    with pytest.raises(FileNotFoundError):
        d.unlink()
    with pytest.raises(FileNotFoundError):
        qm.unlink(d.name)
    d.close()
    other.close()
