"""The type stubs accept what users write: the README's calls pass
`mypy --strict` (the stubs ship with the package)."""

import subprocess
import sys

import pytest

SNIPPETS = {
    "unlink by the object's name": "d = quillmap(size=64 << 20)\nunlink(d.name)\n",
    "reopen by name": "d = quillmap()\ne = quillmap(name=d.name, check_identity=False)\n",
    "a path's text": "import os\nd = quillmap()\nunlink(os.fsdecode(d.name))\n",
}


@pytest.mark.parametrize("body", SNIPPETS.values(), ids=SNIPPETS.keys())
def test_snippets_pass_mypy_strict(tmp_path, body):
    pytest.importorskip("mypy")
    src = tmp_path / "user.py"
    src.write_text("from fennowick.quillmap import quillmap, unlink\n" + body)
    r = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(src)],
                       capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr
