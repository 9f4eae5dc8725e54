"""`quillmap demo` and the parser say what ran: the processes that ran, the
operations each phase performed (the remove phase removes the even keys),
singular nouns for one, and `--version`."""

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
