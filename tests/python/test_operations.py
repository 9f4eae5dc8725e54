"""insert, get and remove: results, serializers, hashing, argument errors, the
closed-object refusal, a full arena and threads."""

import threading
import types

import pytest

import fennowick.quillmap as qm
from fennowick import _inspect
from fennowick.quillmap import quillmap
from helpers import SMALL

CLOSED = "operation on a closed quillmap"


def test_results_and_entry_identity(small):
    assert small.insert(1, "a") == 1
    assert small.get(1) == [True, "a"]
    assert small.get(1.0) == [False]  # equal in Python, different bytes: another key
    assert small.get(True) == [False]
    assert small.insert(1, "b") == 1  # replaces
    assert small.get(1) == [True, "b"]
    assert small.insert("none", None) == 1
    assert small.get("none") == [True, None]
    assert small.remove(1) == 1
    assert small.remove(1) == 0
    assert small.get(1) == [False]
    assert small.get("never") == [False]


def test_module_functions_and_keywords_reach_the_same_map(small):
    assert qm.dict_insert(small, "k", 1) == 1
    assert small.insert(input_key="j", input_value=2) == 1
    assert qm.dict_get(target=small, input_key="j") == [True, 2]
    assert small.get(input_key="k") == [True, 1]
    assert qm.dict_remove(small, input_key="k") == 1 and small.remove("j") == 1


@pytest.mark.parametrize("serializer, key, value", [
    ("pickle", (1, "two", 3.0), {"nested": [1, 2, {3}]}),
    ("orjson", "k", {"a": [1, 2, None]}),
    ("msgpack", [1, "k"], {"a": [1, 2]}),
    ("json", "ключ", {"значение": [1, 2.5, None]}),  # str results stored as UTF-8
    ("msgspec", {"k": 1}, [1, "two", None]),
])
def test_every_serializer_round_trips(serializer, key, value):
    d = quillmap(serializer=serializer, **SMALL)
    assert d.insert(key, value) == 1
    assert d.get(key) == [True, value]
    assert d.remove(key) == 1 and d.get(key) == [False]


def test_msgspec_is_given_its_json_codec():
    import msgspec
    quillmap(serializer="msgspec", **SMALL)
    assert msgspec.dumps is msgspec.json.encode
    assert msgspec.loads is msgspec.json.decode


@pytest.fixture
def fake_serializer(monkeypatch):
    """Stand a namespace in for `pickle`; returns it and the keys hashed."""
    hashed = []
    fake = types.SimpleNamespace(dumps=lambda o: o, loads=lambda b: b)
    monkeypatch.setattr(qm, "pickle", fake)

    def make():
        return quillmap(serializer="pickle", hash_function=lambda k: hashed.append(k) or 7, **SMALL)
    return fake, hashed, make


def test_rebinding_dumps_or_loads_on_the_module_takes_effect_at_once(monkeypatch):
    module = types.ModuleType("codec")
    module.dumps, module.loads = (lambda o: o), (lambda b: b)
    monkeypatch.setattr(qm, "pickle", module)
    d = quillmap(**SMALL)
    assert d.insert(b"k", b"v") == 1 and d.get(b"k") == [True, b"v"]
    module.loads = lambda b: b.upper()
    assert d.get(b"k") == [True, b"V"]
    module.dumps = lambda o: o + b"!"
    assert d.get(b"k") == [False]
    del module.dumps
    with pytest.raises(AttributeError):
        d.get(b"k")


BytesSub = type("BytesSub", (bytes,), {})
OPS = {"insert": lambda d, k: d.insert(k, b"v"), "get": lambda d, k: d.get(k), "remove": lambda d, k: d.remove(k)}


@pytest.mark.parametrize("op", OPS)
@pytest.mark.parametrize("result, message, hashed", [
    (bytearray(b"k"), "Expected bytes, got bytearray", False),
    (BytesSub(b"k"), "Expected bytes, got BytesSub", False),
    ("k", "Expected bytes, got str", False),
    (None, "expected bytes, NoneType found", True),  # refused only after hashing
])
def test_serializer_results_other_than_bytes_are_refused(fake_serializer, op, result, message, hashed):
    fake, calls, make = fake_serializer
    d = make()
    fake.dumps = lambda o: result
    with pytest.raises(TypeError) as e:
        OPS[op](d, "key")
    assert str(e.value) == message
    assert calls == (["key"] if hashed else [])


def test_value_serialized_to_none_is_refused_and_nothing_written(fake_serializer):
    fake, _, make = fake_serializer
    d = make()
    fake.dumps = lambda o: None if o == "bad" else o
    with pytest.raises(TypeError, match="^expected bytes, NoneType found$"):
        d.insert(b"k", "bad")
    assert d.get(b"k") == [False]


@pytest.mark.parametrize("length", [0, 1, 7, 31, 32, 33, 64, 1000, 1 << 20])
def test_raw_bytes_of_every_length_round_trip(fake_serializer, length):
    _, _, make = fake_serializer
    d = make()
    key, value = b"k" * length, bytes(range(256)) * (length // 256) + b"v" * (length % 256)
    assert d.insert(key, value) == 1
    assert d.get(key) == [True, value]


def test_caller_hash_function_is_called_on_the_key_object():
    seen = []
    d = quillmap(hash_function=lambda k: seen.append(k) or 0, **SMALL)  # every key collides
    for i in range(50):
        d.insert(("k", i), i)
    assert all(d.get(("k", i)) == [True, i] for i in range(50))
    assert seen[:2] == [("k", 0), ("k", 1)]


@pytest.mark.parametrize("hash_function, error, message", [
    (lambda k: 1 / 0, ZeroDivisionError, "division by zero"),
    (lambda k: "h", TypeError, "hash function returned non-int (type str)"),
])
def test_failing_hash_function_fails_the_operation(hash_function, error, message):
    d = quillmap(hash_function=hash_function, **SMALL)
    for op in OPS.values():
        with pytest.raises(error) as e:
            op(d, "k")
        assert str(e.value) == message


def test_any_int_is_a_hash():
    d = quillmap(hash_function=lambda k: 2 ** 100 + k, **SMALL)
    for k in (-1, 0, 1, 2 ** 64):
        d.insert(k, k)
    assert [d.get(k) for k in (-1, 0, 1, 2 ** 64)] == [[True, k] for k in (-1, 0, 1, 2 ** 64)]


ARG_ERRORS = [
    (lambda d: d.get(), "get() takes exactly 1 positional argument (0 given)"),
    (lambda d: d.insert(1), "insert() takes exactly 2 positional arguments (1 given)"),
    (lambda d: d.insert(1, 2, 3), "insert() takes exactly 2 positional arguments (3 given)"),
    (lambda d: d.insert(1, input_value=2, input_key=1),
     "insert() got multiple values for keyword argument 'input_key'"),
    (lambda d: d.remove(key=1), "remove() got an unexpected keyword argument 'key'"),
    (lambda d: d.insert(input_value=1), "insert() takes exactly 2 positional arguments (0 given)"),
    (lambda d: qm.dict_insert(1, 2, 3),
     "Argument 'target' has incorrect type (expected fennowick.quillmap.quillmap, got int)"),
    (lambda d: qm.dict_get(None, 1),
     "Argument 'target' has incorrect type (expected fennowick.quillmap.quillmap, got NoneType)"),
    (lambda d: qm.dict_remove(d), "dict_remove() takes exactly 2 positional arguments (1 given)"),
    (lambda d: qm.dict_insert(target=d, input_value=1),
     "dict_insert() takes exactly 3 positional arguments (1 given)"),
]


@pytest.mark.parametrize("call, message", ARG_ERRORS)
def test_argument_errors(small, call, message):
    with pytest.raises(TypeError) as e:
        call(small)
    assert str(e.value) == message


def _closed_by_del():
    d = quillmap(**SMALL)
    d.__del__()
    return d


def _closed_by_failed_reinit():
    d = quillmap(**SMALL)
    with pytest.raises(ValueError):
        d.__init__(serializer="nope", **SMALL)
    return d


CALLS = {
    "insert": lambda d: d.insert(1, 2), "get": lambda d: d.get(1), "remove": lambda d: d.remove(1),
    "expansion": lambda d: d.expansion(1), "dict_insert": lambda d: qm.dict_insert(d, 1, 2),
    "dict_get": lambda d: qm.dict_get(d, 1), "dict_remove": lambda d: qm.dict_remove(d, 1),
}


@pytest.mark.parametrize("make", [_closed_by_del, _closed_by_failed_reinit, lambda: quillmap.__new__(quillmap)],
                         ids=["del", "failed-reinit", "never-initialised"])
@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_closed_object_refuses_every_operation(make, call):
    d = make()
    with pytest.raises(ValueError) as e:
        call(d)
    assert str(e.value) == CLOSED


@pytest.mark.parametrize("bucket_chunk_number, size", [
    (4, 1 << 18),   # the table grows while the arena fills
    (1, 1 << 18),   # the table is at its capacity from the start
    (2, 1 << 20),   # the table reaches its capacity, then buckets grow long until the arena is full
], ids=["growing", "at-capacity", "reaches-capacity"])
def test_full_arena_raises_and_the_map_stays_usable(bucket_chunk_number, size):
    d = quillmap(size=size, bucket_chunk_size_exponent=2, bucket_chunk_number=bucket_chunk_number)
    values = ["v" * n for n in (0, 7, 40, 200, 1000)]  # several chunk counts per entry
    inserted = 0
    with pytest.raises((MemoryError, RuntimeError)):
        for inserted in range(100000):
            d.insert(inserted, values[inserted % 5])
    assert inserted > 100
    assert d.stats()["bucket_chunks_in_use"] == bucket_chunk_number
    assert d.get(inserted) == [False] and len(d) == inserted
    assert all(d.get(i) == [True, values[i % 5]] for i in range(inserted))
    # What is freed is used again: the same entries fit back without fresh arena space.
    used = d.stats()["arena_used"]
    largest = [i for i in range(inserted) if i % 5 == 4]
    assert all(d.remove(i) == 1 for i in largest)
    assert all(d.insert(("again", i), values[4]) == 1 for i in largest)
    assert d.stats()["arena_used"] == used
    assert all(d.get(("again", i)) == [True, values[4]] for i in largest)
    assert _inspect.check(d.name)["ok"]
    d.close()


def test_chunks_given_back_through_one_view_serve_another():
    # Each view (each process) caches the chunks it gives back, but only up to
    # a share of the arena: the rest returns to the arena for everyone. Here
    # one view inserts 4 MiB of values at a time and another removes them.
    a = quillmap(size=32 << 20, bucket_chunk_size_exponent=4, bucket_chunk_number=64)
    b = quillmap(name=a.name)
    big = b"x" * 65536
    for r in range(30):
        assert a.insert_many(((r, i), big) for i in range(64)) == 64
        assert all(b.remove((r, i)) == 1 for i in range(64))
    assert a.stats()["arena_used"] < 24 << 20 and len(a) == 0
    b.close()
    a.close()


def test_threads_share_one_object_while_it_grows():
    d = quillmap(size=1 << 25, bucket_chunk_size_exponent=2, bucket_chunk_number=1 << 12)
    errors = []

    def work(t):
        try:
            for i in range(3000):
                d.insert((t, i), i)
                if i % 7 == 0:
                    assert d.get((t, i // 2)) == [True, i // 2]
        except BaseException as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert not errors and not any(t.is_alive() for t in threads)
    assert all(d.get((t, i)) == [True, i] for t in range(4) for i in range(3000))


def test_closing_while_other_threads_operate():
    d = quillmap(size=1 << 25, bucket_chunk_size_exponent=2, bucket_chunk_number=1 << 12)
    outcomes = []
    started = threading.Barrier(5)

    def work(t):
        started.wait()
        try:
            for i in range(1 << 30):
                d.insert((t, i % 500), i)  # bounded: the arena never fills
                d.get((t, i % 500))
        except ValueError as e:
            outcomes.append(str(e))

    threads = [threading.Thread(target=work, args=(t,)) for t in range(4)]
    for t in threads:
        t.start()
    started.wait()
    threading.Event().wait(0.2)
    d.__del__()
    for t in threads:
        t.join(60)
    assert outcomes == [CLOSED] * 4
