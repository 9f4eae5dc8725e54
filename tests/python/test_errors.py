"""Failures of the operating system are raised as the OSError their errno
selects, with errno and file name, and still as the type raised for them
before (MemoryError, RuntimeError), so that old except clauses catch them."""

import errno
import os

import pytest

from helpers import SMALL, run_python

CASES = {
    "missing file": ("", "quillmap(name=b'/nonexistent/dir/map')",
                     FileNotFoundError, RuntimeError, errno.ENOENT, "/nonexistent/dir/map"),
    "no place for new files": ("os.environ['TMPDIR'] = '/proc'\n", f"quillmap(**{SMALL!r})",
                               OSError, MemoryError, None, "/proc"),
    "no descriptors left": (
        f"d = quillmap(**{SMALL!r}); import resource\n"
        "resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))\n"
        "held = []\n"
        "try:\n"
        "    while True: held.append(open(os.devnull))\n"
        "except OSError: pass\n",
        "quillmap(name=d.name)", OSError, MemoryError, errno.EMFILE, None),
    "read-only file": (
        f"d = quillmap(**{SMALL!r}); os.chmod(d.name, 0o444)\n",
        "quillmap(name=d.name)", PermissionError, MemoryError, errno.EACCES, None),
}


@pytest.mark.parametrize("setup, call, os_type, old_type, number, filename", CASES.values(), ids=CASES.keys())
def test_os_failures_carry_errno_and_file_and_keep_their_old_type(setup, call, os_type, old_type, number, filename):
    if os_type is PermissionError and os.geteuid() == 0:
        pytest.skip("root may write a read-only file")
    code = ("import os\nfrom fennowick.quillmap import quillmap\n" + setup +
            f"try:\n    {call}\nexcept {old_type.__name__} as e:\n"
            f"    print(isinstance(e, {os_type.__name__}), e.errno, e.filename, sep='|')\n")
    r = run_python(code)
    assert r.returncode == 0, r.stderr
    is_os, got_errno, got_filename = r.stdout.splitlines()[0].split("|")
    assert is_os == "True" and got_errno != "None", r.stdout
    if number is not None:
        assert int(got_errno) == number
    if filename is not None:
        assert got_filename == filename


def test_a_missing_file_keeps_its_old_text():
    from fennowick.quillmap import quillmap
    with pytest.raises(RuntimeError) as info:
        quillmap(name=b"/nonexistent/dir/map")
    e = info.value
    assert isinstance(e, FileNotFoundError)
    assert str(e) == "file status wrong with errno: 2"
    assert (e.errno, e.filename) == (errno.ENOENT, "/nonexistent/dir/map")
    assert repr(e) == "RuntimeError('file status wrong with errno: 2')"   # as messages embedding it read
    import pickle
    back = pickle.loads(pickle.dumps(e))   # a pool worker's exception crosses back to its parent
    assert type(back) is type(e) and str(back) == str(e)
    assert (back.errno, back.filename) == (errno.ENOENT, "/nonexistent/dir/map")


@pytest.mark.parametrize("kwargs, exponent, mib", [
    (dict(size=1 << 24), 20, 265),
    (dict(size=1 << 20, bucket_chunk_size_exponent=14), 14, 5),
])
def test_a_map_too_small_for_its_table_says_what_to_change(kwargs, exponent, mib):
    from fennowick.quillmap import quillmap
    with pytest.raises(RuntimeError) as info:
        quillmap(**kwargs)
    text = str(info.value)
    assert text.startswith("Cannot allocate memory: the first bucket chunk")
    assert f"bucket_chunk_size_exponent={exponent}) and its nodes need about {mib} MiB" in text
    assert f"size={kwargs['size']}" in text and "raise size or lower bucket_chunk_size_exponent" in text


INSERTS = {
    "setitem": lambda d, keys: [d.__setitem__(k, k) for k in keys],
    "insert": lambda d, keys: [d.insert(k, k) for k in keys],
    "insert_many": lambda d, keys: d.insert_many([(k, k) for k in keys]),
    "update": lambda d, keys: d.update({k: k for k in keys}),
}


@pytest.mark.parametrize("fill", INSERTS.values(), ids=INSERTS.keys())
@pytest.mark.parametrize("chunks, warned", [(2, True), (1 << 10, False)])
def test_inserts_past_the_load_limit_at_capacity_warn_once_per_map_and_process(fill, chunks, warned):
    import subprocess
    import sys
    import warnings
    from fennowick.quillmap import quillmap
    d = quillmap(size=64 << 20, bucket_chunk_size_exponent=4, bucket_chunk_number=chunks)
    other = quillmap(name=d.name)   # a second object on the same map warns no more
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for start in range(0, 400, 100):
            fill(d if start % 200 else other, range(start, start + 100))
        # a child made by fork() is another process: it warns for itself, once
        read, write = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(read)
            fill(other, range(1000, 1100))
            fill(quillmap(name=d.name), range(2000, 2100))
            os.write(write, str(sum(issubclass(w.category, RuntimeWarning) for w in caught)).encode())
            os._exit(0)
        os.close(write)
        with os.fdopen(read) as r:
            child_warnings = int(r.read() or -1)
        assert os.waitpid(pid, 0)[1] == 0
    messages = [str(w.message) for w in caught if issubclass(w.category, RuntimeWarning)]
    assert len(messages) == (1 if warned else 0), messages
    assert child_warnings == (2 if warned else 0)   # the parent's one, inherited, and the child's own
    if warned:
        assert "is at capacity" in messages[0] and "bucket_chunk_number" in messages[0]
    assert d.stats()["at_capacity"] is warned and len(d) == 600
    shown = subprocess.run([sys.executable, "-m", "fennowick", "stat", os.fsdecode(d.name)],
                           capture_output=True, text=True, cwd=os.path.dirname(os.path.abspath(__file__)))
    assert shown.returncode == 0, shown.stderr
    assert [line.split()[-1] for line in shown.stdout.splitlines() if line.startswith("at capacity")] == \
        ["yes" if warned else "no"]
    d.unlink()
    d.close()
    other.close()


def test_a_new_map_in_a_reused_inode_warns_again():
    """Once the last object on a map closes, this process forgets the file:
    a new map that gets its inode number warns about itself."""
    import warnings
    from fennowick.quillmap import quillmap
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for _ in range(20):
            d = quillmap(size=64 << 20, bucket_chunk_size_exponent=4, bucket_chunk_number=2)
            d.update({k: k for k in range(100)})
            d.unlink()
            d.close()
    assert sum(issubclass(w.category, RuntimeWarning) for w in caught) == 20
