"""A full file system never kills a process.

The backing file is sparse and gets its blocks as the map grows. On a small
tmpfs of its own (skipped where mounting is not allowed), a map that runs the
file system full raises the map's out-of-memory error instead of dying of
SIGBUS, and keeps every entry stored before; a creation without room fails
with MemoryError and leaves no file; a 650 MB map holding a few entries takes
about a megabyte.

The core reads TMPDIR once per process, so the maps are created in fresh
interpreters whose TMPDIR is the small file system.
"""

import json
import os
import subprocess

import pytest

import fennowick._inspect as inspect_map
from fennowick.quillmap import quillmap
from helpers import run_python

MiB = 1 << 20


@pytest.fixture
def small_fs(tmp_path, monkeypatch):
    """A 12 MiB tmpfs, TMPDIR of the interpreters that run_python starts."""
    mount = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=12m,mode=0700", "tmpfs", str(tmp_path)],
                           capture_output=True, text=True)
    if mount.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {mount.stderr.strip()}")
    monkeypatch.setenv("TMPDIR", str(tmp_path))
    try:
        yield tmp_path
    finally:
        subprocess.run(["umount", "-l", str(tmp_path)], check=False)


def run(code: str) -> dict:
    """Run code that prints one JSON object; it must end normally."""
    proc = run_python(code)
    assert proc.returncode == 0, f"ended with {proc.returncode}\n{proc.stderr}"
    return json.loads(proc.stdout.splitlines()[-1])


# Each writer process opens the map by name and inserts its own keys until the
# map refuses one; it reports how many it stored and what it got.
FILL = """
import json, os
from fennowick.quillmap import quillmap

WRITERS = {writers}
d = quillmap(size=1 << 30, bucket_chunk_size_exponent=4)

def value(w, i):
    return "v" * (i % 300)

def fill(w, fd):
    m = quillmap(name=d.name)
    i = 0
    try:
        while True:
            m.insert((w, i), value(w, i))
            i += 1
    except Exception as e:
        os.write(fd, json.dumps([i, type(e).__name__, str(e)]).encode())
    os._exit(0)

children = []
for w in range(WRITERS):
    r, wfd = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        fill(w, wfd)
    os.close(wfd)
    children.append((pid, r))
results, codes = [], []
for pid, r in children:
    with os.fdopen(r) as f:
        results.append(json.loads(f.read() or "null"))
    codes.append(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
print(json.dumps(dict(name=os.fsdecode(d.name), results=results, codes=codes)))
"""


@pytest.mark.parametrize("writers", [1, 2])
def test_filling_the_file_system_raises_the_maps_error_and_keeps_every_stored_entry(small_fs, writers):
    out = run(FILL.format(writers=writers))
    assert out["codes"] == [0] * writers, "a writer died of a signal (negative: its number)"
    stored = 0
    for count, kind, text in out["results"]:
        # What a full arena raises for an insert (the table reached its
        # capacity long before, so no doubling is under way).
        assert (kind, text) == ("RuntimeError", "Cannot allocate memory")
        assert count > 1000
        stored += count
    fs = os.statvfs(small_fs)
    assert fs.f_bavail * fs.f_frsize < 2 * MiB, "the file system was filled"

    d = quillmap(name=os.fsencode(out["name"]))
    assert len(d) == stored
    for w, (count, _, _) in enumerate(out["results"]):
        assert all(d.get((w, i)) == [True, "v" * (i % 300)] for i in range(count)), f"writer {w}"
        assert d.get((w, count)) == [False], "the refused insert stored nothing"
    assert inspect_map.check(d.name)["ok"]
    d.close()


def test_large_map_takes_what_it_uses_and_creation_without_room_fails_without_a_file(small_fs):
    out = run("""
import json, os
from fennowick.quillmap import quillmap
d = quillmap(size=650000000, bucket_chunk_size_exponent=4)   # the default size, 54 times the file system
for i in range(10):
    d[i] = str(i)
st = os.stat(d.name)
# Take everything but half a megabyte: not enough for another map's first structures.
with open(os.path.join(os.environ["TMPDIR"], "filler"), "wb") as f:
    s = os.statvfs(os.environ["TMPDIR"])
    os.posix_fallocate(f.fileno(), 0, s.f_bavail * s.f_frsize - (512 << 10))
try:
    quillmap(size=1 << 20, bucket_chunk_size_exponent=4)
    error = None
except Exception as e:
    error = [type(e).__name__, str(e)]
print(json.dumps(dict(size=st.st_size, allocated=st.st_blocks * 512, used=d.stats()["arena_used"],
                      entries=[d[i] for i in range(10)], error=error)))
""")
    assert out["size"] > 650000000
    assert out["entries"] == [str(i) for i in range(10)]
    # the granule in use, and the 2 MiB reserved ahead of the allocations
    assert out["allocated"] <= 4 * MiB, "only the granules in use and those reserved ahead have blocks"
    assert out["allocated"] >= out["used"]
    assert out["error"] is not None and out["error"][0] == "MemoryError"
    names = sorted(os.listdir(small_fs))
    assert len(names) == 2 and "filler" in names, f"the failed creation left a file: {names}"
