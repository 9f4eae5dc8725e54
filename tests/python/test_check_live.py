"""`quillmap check` and `quillmap stat` tell the truth: a live map that
another process is writing is never called damaged, and a damaged map is
never called healthy (by stat neither), in text and in JSON alike."""

import json
import multiprocessing as mp
import struct

import pytest

from fennowick.cli import CHECK_BUSY, CHECK_DAMAGED, main
from fennowick.quillmap import quillmap

from helpers import SMALL, join_all

ARENA = 24
CTX = mp.get_context("fork")


def inserter(name, stop):
    d = quillmap(name=name)
    i = 0
    while not stop.is_set():   # a bounded working set: the table grows for a while, the arena stays in bounds
        d[i % 200_000] = b"v" * (i % 300)
        if i % 3 == 0:
            d.pop((i - 2) % 200_000, None)
        i += 1


def run(capsys, *argv):
    code = main(list(argv))
    return code, capsys.readouterr().out


@pytest.mark.parametrize("command", ["check", "stat"])
def test_a_map_written_and_grown_by_another_process_is_checked_under_its_locks(capsys, command):
    d = quillmap(size=256 << 20, bucket_chunk_size_exponent=4, bucket_chunk_number=1 << 16)
    name = d.name.decode()
    stop = CTX.Event()
    p = CTX.Process(target=inserter, args=(d.name, stop))
    p.start()
    codes, sizes = [], set()
    try:
        for _ in range(10):
            code, out = run(capsys, command, name, "--json")
            assert code in (0, CHECK_BUSY), out   # never damaged
            report = json.loads(out)
            assert report["damaged"] is False and report["ok"] is (code == 0)
            codes.append(code)
            sizes.add(report["buckets"])
            code, out = run(capsys, command, name)
            assert code in (0, CHECK_BUSY) and "damaged" not in out, out
            codes.append(code)
    finally:
        stop.set()
        assert join_all([p]) == [0]
    assert len(sizes) > 1, "the table never grew while it was checked"
    assert codes.count(0) >= len(codes) * 3 // 4, codes   # busy is for what the locks cannot settle: rare
    code, out = run(capsys, command, name, "--json")
    assert code == 0 and json.loads(out)["ok"] is True
    d.unlink()
    d.close()


def test_a_check_that_died_holding_a_bucket_lock_blocks_no_one(capsys):
    """A check takes bucket locks as its process (the id of a process
    without a registry slot). Killed holding one, it leaves that word: the
    check after it walks past it, and writers take it back."""
    d = quillmap(**SMALL)
    d.update((i, str(i)) for i in range(100))
    dead = CTX.Process(target=int)
    dead.start()
    assert join_all([dead]) == [0]
    with open(d.name, "r+b") as f:
        f.seek(ARENA + 66 + 56)
        table = struct.unpack("<Q", f.read(8))[0]
        f.seek(ARENA + table)
        bucket0 = struct.unpack("<Q", f.read(8))[0]
        f.seek(ARENA + bucket0)
        f.write(struct.pack("<Q", 1 << 32 | 0x80000000 | dead.pid))
    code, out = run(capsys, "check", d.name.decode(), "--json")
    report = json.loads(out)
    assert code == 0 and report["ok"] and report["needs_recovery"], out
    assert report["held_locks"] == [dict(lock="bucket", bucket=0, holder=0x80000000 | dead.pid, slot=None,
                                         pid=dead.pid, liveness="dead")]
    assert [d.get(i) for i in range(100)] == [[True, str(i)] for i in range(100)]   # through bucket 0's lock
    code, out = run(capsys, "check", d.name.decode(), "--json")
    assert code == 0 and json.loads(out)["held_locks"] == []
    d.unlink()
    d.close()


def test_a_table_slot_beyond_the_chunks_in_use_is_damage_for_stat_and_check(capsys):
    d = quillmap(**SMALL)
    d.update((i, i) for i in range(100))
    name = d.name.decode()
    d.close()
    with open(name, "r+b") as f:
        f.seek(ARENA + 66 + 56)
        table = struct.unpack("<Q", f.read(8))[0]
        f.seek(ARENA + table + 8 * 50)
        f.write(struct.pack("<Q", 4096))
    for command in ("stat", "check"):
        code, out = run(capsys, command, name)
        assert code == CHECK_DAMAGED and "damaged" in out, out
        code, out = run(capsys, command, name, "--json")
        report = json.loads(out)
        assert code == CHECK_DAMAGED
        assert (report["ok"], report["damaged"], report["busy"]) == (False, True, False)
        assert report["problem"]
