"""Ctrl-C in programs that run worker processes on a map: `quillmap demo` and
d.expansion(p). The program must end its workers itself and leave no process
behind (a worker left waiting inside the map spins there for good), and the
map must stay usable by everyone else.

Each program runs in its own session, so that its process group holds it and
every worker it starts: Ctrl-C at a terminal signals that whole group, the
`parent` cases signal the program alone (as `kill -INT` does).
"""

import ast
import os
import random
import select
import signal
import subprocess
import sys
import time

import pytest

from helpers import PACKAGE_PARENT, TESTS_DIR

EXIT_TIMEOUT = 15      # from the signal to the program's end
START_TIMEOUT = 60     # until the program has its workers running
STALL_TIMEOUT = 10     # the map check prints a line at least this often unless blocked
CHECK_TIMEOUT = 120    # the structural check of a map of two million entries, in one call


def child_env(**extra):
    env = dict(os.environ, **extra)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (PACKAGE_PARENT, TESTS_DIR, env.get("PYTHONPATH")) if p)
    return env


def live_members(pgid):
    """Pids of the processes of group `pgid` that are not zombies."""
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue           # ended meanwhile
        state, pgrp = fields[0], int(fields[2])
        if pgrp == pgid and state != "Z":
            pids.append(int(entry))
    return pids


def wait_for_members(pgid, count, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if len(live_members(pgid)) >= count:
            return True
        time.sleep(0.02)
    return False


def leftovers(pgid, grace=3.0):
    """Processes of the group still alive `grace` seconds after its leader ended."""
    deadline = time.monotonic() + grace
    while live_members(pgid) and time.monotonic() < deadline:
        time.sleep(0.05)
    return live_members(pgid)


def default_sigint():
    """In the child before it starts: SIGINT back to its default. A test run
    started as a background job of a shell inherits SIGINT ignored, and a
    Python started with it ignored never raises KeyboardInterrupt."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def interrupt(proc, target):
    if target == "group":
        os.killpg(proc.pid, signal.SIGINT)
    else:
        os.kill(proc.pid, signal.SIGINT)


def finish(proc, timeout):
    """(returncode, stdout, stderr), or None when the program did not end in time."""
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        return None
    return proc.returncode, out, err


def kill_group(pgid):
    try:
        os.killpg(pgid, signal.SIGKILL)
    except ProcessLookupError:
        pass


# ---- quillmap demo -------------------------------------------------------------

@pytest.mark.parametrize("target", ["group", "parent"])
def test_ctrl_c_ends_the_demo_and_all_its_workers(tmp_path, target):
    proc = subprocess.Popen([sys.executable, "-m", "fennowick", "demo", "--entries", "3000000", "--processes", "2"],
                            env=child_env(TMPDIR=str(tmp_path)), cwd=TESTS_DIR, start_new_session=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, preexec_fn=default_sigint)
    try:
        assert wait_for_members(proc.pid, 3, START_TIMEOUT), "the demo never had its two workers running"
        time.sleep(random.uniform(0.2, 1.5))
        interrupt(proc, target)
        ended = finish(proc, EXIT_TIMEOUT)
        assert ended is not None, f"the demo still ran {EXIT_TIMEOUT} s after SIGINT"
        code, _, err = ended
        assert code == 130, err
        assert err.strip().splitlines()[-1] == "quillmap: interrupted", err
        assert "Traceback" not in err, err
        assert leftovers(proc.pid) == [], "processes of the demo outlived it"
        assert os.listdir(tmp_path) == [], "the demo left its map file behind"
    finally:
        kill_group(proc.pid)
        proc.wait(10)


# ---- d.expansion(p) ------------------------------------------------------------

ENTRIES = 1_000_000   # a doubling of this many takes most of a second
PARALLELISM = 2

EXPANDING_PROGRAM = f"""
import sys
from fennowick.quillmap import quillmap
d = quillmap(size=1 << 30, bucket_chunk_size_exponent=12, bucket_chunk_number=1 << 12)
d.insert_many((i, i) for i in range({ENTRIES}))
print(repr(d.name), d.stats()["buckets"], flush=True)
d.expansion({PARALLELISM})
print("expanded", flush=True)
"""


class Interrupted:
    """One run of EXPANDING_PROGRAM, interrupted while its pool works."""

    def __init__(self, target, tmp):
        self.target = target
        proc = subprocess.Popen([sys.executable, "-c", EXPANDING_PROGRAM], env=child_env(TMPDIR=str(tmp)),
                                cwd=TESTS_DIR, start_new_session=True, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, preexec_fn=default_sigint)
        try:
            ready, _, _ = select.select([proc.stdout], [], [], START_TIMEOUT)
            if not ready:
                kill_group(proc.pid)
                raise AssertionError(f"the program never filled its map: {proc.communicate()[1][-500:]}")
            first = proc.stdout.readline().split()
            self.name, self.buckets = ast.literal_eval(first[0]), int(first[1])
            # the pool's workers are up: let them get into the doubling
            assert wait_for_members(proc.pid, 1 + PARALLELISM, START_TIMEOUT), "no pool workers"
            time.sleep(0.05)
            interrupt(proc, target)
            self.ended = finish(proc, EXIT_TIMEOUT)
            self.leftovers = leftovers(proc.pid) if self.ended else None
        finally:
            kill_group(proc.pid)
            proc.wait(10)


@pytest.fixture(scope="module", params=["group", "parent"])
def interrupted(request, tmp_path_factory):
    run = Interrupted(request.param, tmp_path_factory.mktemp("expansion"))
    yield run
    try:
        os.unlink(run.name)
    except OSError:
        pass


def test_ctrl_c_during_expansion_ends_the_pool_and_raises_keyboard_interrupt(interrupted):
    assert interrupted.ended is not None, f"still running {EXIT_TIMEOUT} s after SIGINT"
    code, out, err = interrupted.ended
    assert "expanded" not in out, "the doubling ended before the interrupt: nothing was tested"
    # uncaught KeyboardInterrupt: the interpreter ends itself by SIGINT
    assert code == -signal.SIGINT, err
    assert err.strip().splitlines()[-1] == "KeyboardInterrupt", err
    assert interrupted.leftovers == [], "pool workers outlived the program"


CHECK_PROGRAM = """
import sys
from fennowick.quillmap import quillmap
import fennowick._inspect as inspect_map
name, entries, buckets = {name!r}, {entries}, {buckets}
def step(*what):
    print(*what, flush=True)
d = quillmap(name=name)
step("opened", d.stats())
block = 50_000
for lo in range(0, entries, block):
    got = d.get_many(range(lo, lo + block))
    bad = [lo + i for i, g in enumerate(got) if g != [True, lo + i]]
    assert not bad, f"entries lost or wrong: {{bad[:5]}}"
    step("read", lo + block)
assert len(d) == entries, (len(d), entries)
# past two entries per bucket an insert doubles the table
start = d.stats()["buckets"]
assert start in (buckets, 2 * buckets), (start, buckets)
# An insert past that load starts the doubling and does a slice of it; later
# inserts do the rest.
def doubling_open():
    s = d.stats()
    return s["expanding"] or s["buckets"] == start
n = entries
while n <= 2 * start + 1000 or doubling_open() and n < 4 * start:
    d.insert_many((i, i) for i in range(n, n + block))
    n += block
    step("inserted", n)
assert len(d) == n, (len(d), n)
after = d.stats()
assert after["buckets"] > start and not after["expanding"], (start, after)
step("checking")
report = inspect_map.check(name)
assert report["ok"], report["problem"]
step("ok")
"""


def test_map_survives_an_interrupted_expansion(interrupted):
    """Every entry is kept, len() is exact and the table doubles again.

    Checked in a fresh process that prints a line per step: one that makes
    no progress for STALL_TIMEOUT seconds is blocked on the dead workers'
    share of the doubling."""
    if interrupted.ended is None:
        pytest.skip("the interrupted program did not end")
    proc = subprocess.Popen([sys.executable, "-c", CHECK_PROGRAM.format(
        name=interrupted.name, entries=ENTRIES, buckets=interrupted.buckets)],
        env=child_env(), cwd=TESTS_DIR, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        start_new_session=True)
    lines = []
    try:
        while True:
            # the structural check of the whole file is one call
            wait = CHECK_TIMEOUT if lines[-1:] == ["checking"] else STALL_TIMEOUT
            ready, _, _ = select.select([proc.stdout], [], [], wait)
            assert ready, f"the map check made no progress for {wait} s after {lines[-1:]}"
            line = proc.stdout.readline()
            if not line:
                break
            lines.append(line.strip())
        proc.wait(STALL_TIMEOUT)
        assert proc.returncode == 0 and lines[-1] == "ok", proc.stderr.read()
    finally:
        kill_group(proc.pid)
        proc.wait(10)
