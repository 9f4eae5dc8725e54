"""The extension modules as each supported interpreter (3.11 to 3.13) loads
them: built for the running version, so that the import-time version check
stays silent, and usable at once in a fresh process."""

import sysconfig

import pytest

from helpers import run_python


@pytest.mark.parametrize("module", ["fennowick.quillmap", "fennowick.tolvane_base", "fennowick._inspect"])
def test_modules_are_built_for_the_running_interpreter(module):
    r = run_python(
        "import warnings\n"
        "warnings.simplefilter('error')\n"  # a version mismatch warning fails the import
        f"import {module} as m\n"
        "print(m.__file__)\n")
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip().endswith(sysconfig.get_config_var("EXT_SUFFIX"))

