"""Helpers for the Python tests: small maps, child processes, mappings.

Functions that child processes run live here, at module level, so that the
spawn start method can import them by name.
"""

import os
import subprocess
import sys

import fennowick
from fennowick.quillmap import quillmap

# A default quillmap() lays out 2**20 buckets in a 650 MB file: tests use this.
SMALL = dict(size=1 << 24, bucket_chunk_size_exponent=4)

PACKAGE_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(fennowick.__file__)))
TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
JOIN_TIMEOUT = 120

# One key of each kind a program is likely to use, with a value for each.
SAMPLE = [("text", "a str key"), (b"raw", "a bytes key"), (12345, "an int key"),
          ((1, "two", 3.0), "a tuple key"), (None, "the None key")]


def mapped(path: bytes) -> bool:
    """Whether this process currently maps the file `path`."""
    with open("/proc/self/maps") as f:
        return os.fsdecode(path) in f.read()


def run_python(code: str, *, seed: str = "0", timeout: float = JOIN_TIMEOUT):
    """Run `code` in a fresh interpreter that imports this build of fennowick."""
    env = dict(os.environ, PYTHONHASHSEED=seed)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (PACKAGE_PARENT, TESTS_DIR, env.get("PYTHONPATH")) if p)
    # cwd: not the source tree, whose fennowick/ may hold another build
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                          timeout=timeout, cwd=TESTS_DIR)


def join_all(processes, timeout=JOIN_TIMEOUT):
    """Join every process with a timeout; kill stragglers; return the exit codes."""
    codes = []
    for p in processes:
        p.join(timeout)
        if p.is_alive():
            p.kill()
            p.join(5)
        codes.append(p.exitcode)
    return codes


def exit_with(fn, *args):
    """Run fn in a child and end it with os._exit: 0 on success, 1 on a failed
    check, 2 on any other exception (printed)."""
    try:
        fn(*args)
    except AssertionError:
        import traceback
        traceback.print_exc()
        os._exit(1)
    except BaseException:
        import traceback
        traceback.print_exc()
        os._exit(2)
    os._exit(0)


# ---- bodies run in child processes ---------------------------------------

def read_sample_and_answer(name: bytes):
    """Check every SAMPLE entry, then write each key's answer for the parent."""
    d = quillmap(name=name)
    for key, value in SAMPLE:
        assert d.get(key) == [True, value], (key, d.get(key))
        d.insert(("answer", key), f"seen {value}")


def insert_range(name: bytes, start: int, stop: int):
    d = quillmap(name=name)
    for i in range(start, stop):
        d.insert(i, f"v{i}")
    for i in range(start, stop):
        assert d.get(i) == [True, f"v{i}"], i


def write_sample(name: bytes):
    d = quillmap(name=name)
    for key, value in SAMPLE:
        d.insert(key, value)


# Set by a test before it forks a pool: the workers use the inherited object.
INHERITED: "quillmap | None" = None


def use_inherited(i: int):
    assert INHERITED is not None
    INHERITED.insert(("pool", i), "x" * (i % 97))
    return INHERITED.get(("pool", i))


def insert_tagged(name: bytes, tag: str, count: int):
    """Insert (tag, i) -> i for i < count, growing the table as it goes."""
    d = quillmap(name=name)
    for i in range(count):
        d[(tag, i)] = i
    d.close()
