"""`quillmap demo` and the parser say what ran: the processes that ran, the
operations each phase performed (the remove phase removes the even keys),
singular nouns for one, and `--version`."""

import json
import os
import re
import subprocess
import sys

import pytest

from helpers import PACKAGE_PARENT


def quillmap_cli(*args):
    env = {"PYTHONPATH": PACKAGE_PARENT, "PATH": "/usr/bin:/bin", "COLUMNS": "120"}
    return subprocess.run([sys.executable, "-m", "fennowick", *args], env=env, capture_output=True, text=True,
                          timeout=120)


@pytest.mark.parametrize("processes, entries, header, removes", [
    (50, 11, "11 processes (fork), 11 entries", 6),
    (1, 1, "1 process (fork), 1 entry", 1),
    (2, 1000, "2 processes (fork), 1,000 entries", 500),
])
def test_demo_reports_what_ran(processes, entries, header, removes):
    r = quillmap_cli("demo", "--processes", str(processes), "--entries", str(entries))
    assert r.returncode == 0, r.stdout + r.stderr
    assert header in r.stdout
    row = re.search(r"remove\s*│\s*([\d,]+)\s*│", r.stdout)
    assert row and int(row.group(1).replace(",", "")) == removes, r.stdout
    assert re.search(r", 0 expansions,|, 1 expansion,|, \d+ expansions,", r.stdout)
    assert not re.search(r"(?<![\d,])1 (processes|expansions|entries)", r.stdout)


def test_version_and_option_help():
    r = quillmap_cli("--version")
    assert r.returncode == 0 and re.fullmatch(r"quillmap \S+\n", r.stdout), r.stdout
    from fennowick.cli import build_parser
    import argparse
    sub = next(a for a in build_parser()._actions if isinstance(a, argparse._SubParsersAction))
    for command, parser in sub.choices.items():
        for action in parser._actions:
            assert action.help, f"quillmap {command} {action.dest} has no help"


def test_ls_lists_map_files_with_entries_and_attached_processes(tmp_path, capsys):
    from fennowick.cli import main
    from fennowick.quillmap import quillmap, unlink

    open_map = quillmap(size=1 << 24, bucket_chunk_size_exponent=4)
    open_map.update({i: i for i in range(3)})
    closed = quillmap(size=1 << 24, bucket_chunk_size_exponent=4)
    closed.update({i: i for i in range(5)})
    closed.close()
    directory = os.path.dirname(open_map.name.decode())
    (tmp_path / "notes.txt").write_text("not a map\n" * 20)
    try:
        for where in (directory, str(tmp_path)):
            assert main(["ls", where, "--json"]) == 0
            rows = {r["path"]: r for r in json.loads(capsys.readouterr().out)}
            if where == str(tmp_path):
                assert rows == {}   # a text file is no map
                continue
            assert (rows[open_map.name.decode()]["entries"], rows[open_map.name.decode()]["processes"]) == (3, 1)
            assert (rows[closed.name.decode()]["entries"], rows[closed.name.decode()]["processes"]) == (5, 0)
    finally:
        open_map.unlink()
        open_map.close()
        unlink(closed.name)
