"""`quillmap check` and `quillmap stat` tell the truth: a live map that
another process is writing is never called damaged, and a damaged map is
never called healthy (by stat neither), in text and in JSON alike."""

import json
import multiprocessing as mp
import struct
import time

import pytest

from fennowick.cli import CHECK_BUSY, CHECK_DAMAGED, main
from fennowick.quillmap import quillmap

from helpers import JOIN_TIMEOUT, SMALL, join_all

ARENA = 24
CTX = mp.get_context("fork")


def inserter(name, stop):
    d = quillmap(name=name)
    i = 0
    while not stop.is_set():   # a bounded working set: the table grows for a while, the arena stays in bounds
        d[i % 100_000] = b"v" * (i % 300)
        if i % 3 == 0:
            d.pop((i - 2) % 100_000, None)
        i += 1


def run(capsys, *argv):
    code = main(list(argv))
    return code, capsys.readouterr().out


@pytest.mark.parametrize("command", ["check", "stat"])
def test_a_map_written_by_another_process_is_never_called_damaged(capsys, command):
    d = quillmap(size=256 << 20, bucket_chunk_size_exponent=6, bucket_chunk_number=4096)
    name = d.name.decode()
    stop = CTX.Event()
    p = CTX.Process(target=inserter, args=(d.name, stop))
    p.start()
    codes = []
    try:
        deadline = time.monotonic() + 8
        while time.monotonic() < deadline:
            code, out = run(capsys, command, name)
            assert code != CHECK_DAMAGED, out
            assert code in (0, CHECK_BUSY), out
            codes.append(code)
    finally:
        stop.set()
        assert join_all([p]) == [0]
    assert codes   # busy or ok while it writes; ok once it has stopped:
    code, out = run(capsys, command, name, "--json")
    assert code == 0 and json.loads(out)["ok"] is True
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
