"""`quillmap check` and `quillmap repair` on maps left behind by SIGKILLed
processes, run as the user runs them: the command line in a subprocess."""

import json
import multiprocessing as mp
import os
import signal
import struct
import subprocess
import sys
import time

from fennowick.quillmap import quillmap

from helpers import JOIN_TIMEOUT, PACKAGE_PARENT, SMALL, join_all

ARENA = 24
CTX = mp.get_context("fork")


def cli(*args, timeout=JOIN_TIMEOUT):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (PACKAGE_PARENT, env.get("PYTHONPATH")) if p)
    return subprocess.run([sys.executable, "-m", "fennowick", *args], env=env, capture_output=True,
                          text=True, timeout=timeout)


def cli_json(*args):
    r = cli(*args, "--json")
    return r.returncode, json.loads(r.stdout)


# ---- the file's own words, located as any reader locates them --------------

def u64(f, off):
    f.seek(off)
    return struct.unpack("<Q", f.read(8))[0]


def registry_offset(f):
    f.seek(ARENA + 57)
    return int.from_bytes(f.read(7), "little")


def slot_of(f, pid):
    """The holder id of the live registry slot of process `pid`."""
    reg = registry_offset(f)
    for i in range(255):
        state = u64(f, reg + 256 + 256 * i)
        f.seek(reg + 256 + 256 * i + 8)
        if state & 0xFF == 1 and struct.unpack("<I", f.read(4))[0] == pid:
            return ((state >> 8) & 0xFFFF) << 16 | i
    raise AssertionError(f"no live slot of pid {pid}")


def bucket0_lock_offset(f):
    table = u64(f, ARENA + 66 + 56)
    return ARENA + u64(f, ARENA + table)


# ---- children --------------------------------------------------------------

def open_and_wait(name, ready):
    d = quillmap(name=name)   # kept open until the parent kills this process
    ready.send(os.getpid())
    time.sleep(600)
    d.close()


def writer(name, w, acked):
    d = quillmap(name=name)
    for i in range(1 << 30):
        d[(w, i)] = bytes([w]) * (50 + i % 700)
        acked[w] = i + 1


def kill(p):
    os.kill(p.pid, signal.SIGKILL)
    p.join(JOIN_TIMEOUT)
    assert p.exitcode == -signal.SIGKILL


def test_check_names_a_dead_bucket_holder_and_opening_recovers():
    d = quillmap(**SMALL)
    for i in range(100):
        d[i] = str(i)
    name = d.name
    d.close()
    here, there = CTX.Pipe()
    p = CTX.Process(target=open_and_wait, args=(name, there))
    p.start()
    assert here.poll(JOIN_TIMEOUT), "child never opened the map"
    pid = here.recv()
    # What the child writes when it locks bucket 0: held, its holder id.
    with open(name, "r+b") as f:
        holder = slot_of(f, pid)
        f.seek(bucket0_lock_offset(f))
        f.write(struct.pack("<Q", 1 << 32 | holder))
    kill(p)

    r = cli("check", name)
    assert r.returncode == 0, r.stdout + r.stderr   # not damaged
    first, *rest = r.stdout.splitlines()
    assert "needs recovery" in first
    assert f"  held: bucket 0, holder {holder} (slot {holder & 0xFFFF}, pid {pid}): dead" in rest
    assert any(line.startswith(f"  view: slot {holder & 0xFFFF}, pid {pid}, dead") for line in rest)
    code, report = cli_json("check", name)
    assert code == 0 and report["ok"] and report["needs_recovery"]
    assert report["held_locks"] == [dict(lock="bucket", bucket=0, holder=holder, slot=holder & 0xFFFF,
                                         pid=pid, liveness="dead")]

    # Opening recovers; reading every key goes through bucket 0's lock.
    e = quillmap(name=name)
    assert [e.get(i) for i in range(100)] == [[True, str(i)] for i in range(100)]
    assert len(e) == 100
    e.close()
    code, report = cli_json("check", name)
    assert code == 0 and report["ok"], report["problem"]
    assert not report["needs_recovery"] and report["held_locks"] == [] and report["live_slots"] == []
    assert report["exact_entry_count"] == 100


def test_repair_refuses_while_open_then_reclaims_after_kills():
    d = quillmap(size=1 << 25, bucket_chunk_size_exponent=4)
    name = d.name
    r = cli("repair", name)
    assert r.returncode == 3, r.stdout + r.stderr
    assert f"pid {os.getpid()} (alive)" in r.stdout
    d.close()

    acked = CTX.Array("q", 4, lock=False)
    writers = [CTX.Process(target=writer, args=(name, w, acked)) for w in range(4)]
    for p in writers:
        p.start()
    for w, p in enumerate(writers):
        deadline = time.monotonic() + JOIN_TIMEOUT
        while acked[w] < 300 + 200 * w and time.monotonic() < deadline and p.is_alive():
            time.sleep(0.001)
        kill(p)
    join_all(writers)
    code, before = cli_json("check", name)
    assert code == 0, before["problem"]

    code, result = cli_json("repair", name)
    assert code == 0, result["problem"]
    after = result["after"]
    assert after["ok"] and not after["needs_recovery"] and not after["in_use"]
    assert after["held_locks"] == [] and after["live_slots"] == []
    reclaimed = sum(c["chunks"] for c in result["reclaimed"])
    assert after["free_chunks"] >= before["free_chunks"] + reclaimed
    r = cli("check", name)
    assert r.returncode == 0 and r.stdout.startswith(f"{name.decode()}: ok,"), r.stdout

    e = quillmap(name=name)
    present = 0
    for w in range(4):
        for i in range(acked[w] + 1):   # the one in flight may or may not be there
            got = e.get((w, i))
            if i < acked[w]:
                assert got == [True, bytes([w]) * (50 + i % 700)], (w, i)
            present += got[0]
    assert len(e) == present == result["entries_found"]
    e.close()


def test_repair_stops_its_sweep_at_a_block_without_recorded_size():
    d = quillmap(**SMALL)
    for i in range(50):
        d[i] = i
    name = d.name
    d.close()
    with open(name, "r+b") as f:   # as a file made before blocks recorded their size
        table_block = u64(f, ARENA + 66 + 56) - 8
        f.seek(ARENA + table_block + 1)
        f.write(bytes(5))
    r = cli("repair", name)
    assert r.returncode == 0, r.stdout + r.stderr
    assert f"stopped: offset {table_block} starts a block without a recorded size" in r.stdout
    assert "check afterwards: ok, 50 entries" in r.stdout
    e = quillmap(name=name)
    assert sorted(e.items()) == [(i, i) for i in range(50)]
    e.close()
