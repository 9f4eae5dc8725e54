"""`quillmap bench` with bad --systems or missing extras ends with a clear
line and the extra to install, never a traceback; without matplotlib the
report is written without its chart."""

import os
import subprocess
import sys

import pytest

from helpers import PACKAGE_PARENT

BLOCK = "import sys\nfor m in {blocked!r}: sys.modules[m] = None\n"


def bench(tmp_path, *args, blocked=()):
    code = (BLOCK.format(blocked=list(blocked)) +
            "from fennowick.cli import main\nsys.exit(main(sys.argv[1:]))\n")
    env = dict(os.environ, PYTHONPATH=PACKAGE_PARENT)
    return subprocess.run([sys.executable, "-c", code, "bench", "--out", str(tmp_path / "out"), *args],
                          capture_output=True, text=True, timeout=600, env=env, cwd=tmp_path)


@pytest.mark.parametrize("args, blocked, says", [
    (["--systems", ","], (), "names no system"),
    (["--systems", " , "], (), "names no system"),
    (["--systems", "nosuch"], (), "unknown system 'nosuch'"),
    (["--quick", "--systems", "dict"], ("numpy",), "pip install 'fennowick[bench]'"),
])
def test_bench_refuses_with_a_clear_line(tmp_path, args, blocked, says):
    r = bench(tmp_path, *args, blocked=blocked)
    assert r.returncode != 0 and says in r.stderr, r.stdout + r.stderr
    assert "Traceback" not in r.stderr


def test_bench_without_matplotlib_writes_the_report_without_a_chart(tmp_path):
    pytest.importorskip("numpy")
    r = bench(tmp_path, "--quick", "--systems", "dict", blocked=("matplotlib",))
    assert r.returncode == 0, r.stdout + r.stderr
    assert "no chart: matplotlib is missing" in r.stdout
    assert sorted(os.listdir(tmp_path / "out")) == ["benchmarks.md", "results.json"]
