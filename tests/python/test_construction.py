"""quillmap(...): argument conversion and its exact errors, new and named maps,
and hostile arguments and files, each tried in a child interpreter that must
survive them."""

import enum
import os
import subprocess
import sys
import textwrap

import pytest

import fennowick._inspect as inspect_map
from fennowick.quillmap import quillmap
from helpers import SMALL, run_python


class IntLike:
    def __init__(self, v):
        self.v = v

    def __int__(self):
        return self.v


class Exponent(enum.IntEnum):
    FOUR = 4


BytesSub = type("BytesSub", (bytes,), {})

E = TypeError, OverflowError, ValueError, RuntimeError


@pytest.mark.parametrize("args, kwargs, error, message", [
    ([None] * 8, {}, TypeError, "__init__() takes at most 7 positional arguments (8 given)"),
    ([], {"bogus": 1}, TypeError, "__init__() got an unexpected keyword argument 'bogus'"),
    ([None], {"name": None}, TypeError, "__init__() got multiple values for keyword argument 'name'"),
    ([], {1: 2}, TypeError, "__init__() keywords must be strings"),
    ([], {"name": "x"}, TypeError, "Argument 'name' has incorrect type (expected bytes, got str)"),
    ([], {"name": bytearray(b"x")}, TypeError,
     "Argument 'name' has incorrect type (expected bytes, got bytearray)"),
    ([], {"name": BytesSub(b"x")}, TypeError, "Argument 'name' has incorrect type (expected bytes, got BytesSub)"),
    ([], {"serializer": b"pickle"}, TypeError,
     "Argument 'serializer' has incorrect type (expected str, got bytes)"),
    ([], {"serializer": "Pickle"}, ValueError, "Invalid serializer!"),
    ([], {"serializer": None}, ValueError, "Invalid serializer!"),
    ([], {"bucket_chunk_size_exponent": 256}, OverflowError, "value too large to convert to unsigned char"),
    ([], {"chunk_size_exponent": -1}, OverflowError, "can't convert negative value to unsigned char"),
    ([], {"size": -1}, OverflowError, "can't convert negative value to size_t"),
    ([], {"bucket_chunk_number": 2 ** 64}, OverflowError, "int too big to convert"),
    ([], {"size": "12"}, TypeError, "an integer is required"),
    ([], {"size": None}, TypeError, "an integer is required"),
    ([], {"size": IntLike(1.5)}, TypeError, "__int__ returned non-int (type float)"),
    # conversions come before the type checks of name and serializer
    ([], {"name": "x", "size": -1}, OverflowError, "can't convert negative value to size_t"),
    ([], {"size": 0}, ValueError, "size should be greater than zero!"),
    ([], {"bucket_chunk_number": 0}, ValueError, "bucket chunk number should be greater than zero!"),
    ([], {"chunk_size_exponent": 2}, ValueError, "string_chunk_size_exponent should be greater than 2!"),
    ([], {"name": b"/nonexistent/quillmap"}, RuntimeError, "file status wrong with errno: 2"),
    ([], {"name": b"/tmp/a\0b"}, ValueError, "embedded null byte"),
    ([], {"hash_function": 3}, TypeError, "hash_function must be callable, not int"),
])
def test_argument_errors(args, kwargs, error, message):
    with pytest.raises(error) as e:
        quillmap(*args, **{**SMALL, **kwargs})
    assert str(e.value) == message


@pytest.mark.parametrize("kwargs, shape", [
    (dict(size=float(1 << 24) + 0.9, bucket_chunk_size_exponent=4.7),
     dict(buckets_per_chunk=16, data_chunk_unit=32, bucket_chunk_number=100)),
    (dict(size=IntLike(1 << 24), bucket_chunk_size_exponent=Exponent.FOUR, bucket_chunk_number=IntLike(7),
          chunk_size_exponent=True + 5), dict(buckets_per_chunk=16, data_chunk_unit=64, bucket_chunk_number=7)),
    (dict(size=1 << 24, bucket_chunk_size_exponent=0, chunk_size_exponent=3),
     dict(buckets_per_chunk=1, data_chunk_unit=8)),
])
def test_conversions_reach_the_map(kwargs, shape):
    d = quillmap(**kwargs)
    report = inspect_map.check(d.name)
    assert report["ok"], report["problem"]
    assert {k: report[k] for k in shape} == shape
    # the arena, its headers rounded to pages, and the process registry behind it
    assert (1 << 24) <= os.path.getsize(d.name) < (1 << 24) + 2 * 4096 + 65536


def test_new_map_gets_a_fresh_file_and_named_map_keeps_the_callers_name():
    a = quillmap(**SMALL)
    b = quillmap(name=b"", **SMALL)  # empty name: a new map, as with None
    assert a.name != b.name
    for d in (a, b):
        assert os.path.isabs(d.name) and os.path.basename(d.name).startswith(b"mm%d" % os.getpid())
        assert os.path.dirname(d.name) == os.fsencode(os.path.realpath(os.environ["TMPDIR"]))
    a.insert("k", "v")
    name = bytes(a.name)
    # The stored parameters apply to a named map, not the ones given.
    c = quillmap(name=name, size=1, bucket_chunk_size_exponent=9, bucket_chunk_number=1)
    assert c.name is name
    assert c.get("k") == [True, "v"]
    assert inspect_map.check(name)["buckets_per_chunk"] == 16


WHERE = """
import os
from fennowick.quillmap import quillmap
d = quillmap(**{small!r})
print(os.path.dirname(os.fsdecode(d.name)))
d.unlink()
"""


@pytest.mark.parametrize("tmpdir_set", [False, True], ids=["default", "TMPDIR"])
def test_new_maps_go_to_the_memory_file_system_unless_tmpdir_is_set(tmp_path, tmpdir_set):
    env = {k: v for k, v in os.environ.items() if k not in ("TMPDIR", "TEMP", "TMP")}
    if tmpdir_set:
        env["TMPDIR"] = str(tmp_path)
        expected = os.path.realpath(tmp_path)
    elif os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK | os.X_OK):
        expected = "/dev/shm"
    else:
        expected = os.path.realpath("/tmp")
    out = subprocess.run([sys.executable, "-c", WHERE.format(small=SMALL)], env=env, capture_output=True,
                         text=True, timeout=60, check=True).stdout.strip()
    assert out == expected


# ---- hostile input, in a child interpreter -----------------------------------

SURVIVE = """
import os, sys
from fennowick.quillmap import quillmap
tmp = os.environ["TMPDIR"]
{setup}
before = set(os.listdir(tmp))
try:
    d = quillmap(**kwargs)
except Exception as e:
    print("refused", type(e).__name__, e)
else:
    try:
        d.insert(1, 2); d.get(1); d.remove(1); d.expansion(1)
        print("worked")
    except Exception as e:
        print("refused later", type(e).__name__, e)
    d.__del__()
if set(os.listdir(tmp)) - before:
    print("leaked", set(os.listdir(tmp)) - before)
print("survived")
"""


def _survives(setup, timeout=60):
    r = run_python(SURVIVE.format(setup=textwrap.dedent(setup)), timeout=timeout)
    assert r.returncode == 0, r.stdout + r.stderr
    assert r.stdout.rstrip().endswith("survived"), r.stdout + r.stderr
    assert "leaked" not in r.stdout
    return r.stdout


@pytest.mark.parametrize("kwargs", [
    dict(size=2 ** 63, bucket_chunk_size_exponent=4),
    dict(size=2 ** 64 - 1, bucket_chunk_size_exponent=4),
    dict(size=100, bucket_chunk_size_exponent=4),
    dict(size=1 << 20, bucket_chunk_size_exponent=255),
    dict(size=1 << 20, bucket_chunk_size_exponent=30),
    dict(size=1 << 20, bucket_chunk_size_exponent=2, bucket_chunk_number=2 ** 62),
    dict(size=1 << 20, bucket_chunk_size_exponent=2, chunk_size_exponent=255),
    dict(size=1 << 20, bucket_chunk_size_exponent=2, chunk_size_exponent=63),
], ids=lambda k: ",".join(f"{a}={b}" for a, b in k.items()))
def test_hostile_arguments_raise(kwargs):
    out = _survives(f"kwargs = {kwargs!r}")
    assert out.startswith("refused") or out.startswith("worked")


def _map_file(tmp):
    return f"""
m = quillmap(size=1 << 20, bucket_chunk_size_exponent=2)
for i in range(200): m.insert(i, "v" * 50)
with open(m.name, "rb") as f: data = f.read()
m.__del__(); os.unlink(m.name)
path = os.path.join({tmp!r} or tmp, "hostile")
"""


@pytest.mark.parametrize("setup", [
    "path = os.path.join(tmp, 'empty'); open(path, 'wb').close()",
    "path = os.path.join(tmp, 'noise'); open(path, 'wb').write(os.urandom(1 << 16))",
    "path = tmp",
    "path = '/dev/null'",
    _map_file("") + "open(path, 'wb').write(data[:len(data) // 2])",
    _map_file("") + "open(path, 'wb').write(data[:100])",
    _map_file("") + "open(path, 'wb').write(data[:24] + os.urandom(200) + data[224:])",
], ids=["empty", "random", "directory", "devnull", "half", "headers-only", "damaged-headers"])
def test_hostile_files_raise(setup):
    out = _survives(setup + "\nkwargs = dict(name=os.fsencode(path))")
    if "worked" not in out:
        assert out.startswith("refused"), out


def test_random_bucket_area_raises():
    _survives(_map_file("") + "open(path, 'wb').write(data[:4096] + os.urandom(len(data) - 4096))"
              "\nkwargs = dict(name=os.fsencode(path))", timeout=10)
