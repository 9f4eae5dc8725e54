"""Shared fixtures for the Python tests.

Backing files outlive every process, so the whole session runs with TMPDIR
pointing at a private directory that is removed at the end. It is set at
import, before any map exists: the core reads the temporary directory once
per process, and child processes inherit the environment.
"""

import os
import shutil
import tempfile

import pytest

pytest_plugins = ["redis_cluster"]  # the session's Redis Cluster, started on first use

_SESSION_TMP = tempfile.mkdtemp(prefix="quillmap-tests-")
os.environ["TMPDIR"] = _SESSION_TMP

import fennowick.quillmap as qm  # noqa: E402

from helpers import SMALL  # noqa: E402


def pytest_sessionfinish(session, exitstatus):
    shutil.rmtree(_SESSION_TMP, ignore_errors=True)


@pytest.fixture
def small():
    """A fresh small map, closed at the end of the test."""
    d = qm.quillmap(**SMALL)
    yield d
    d.__del__()
