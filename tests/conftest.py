"""Shared fixtures for the Python-level tests of tessik_codec."""

import ctypes
import os
import platform
import subprocess
import sys
import textwrap

import pytest

import tessik_codec


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "heavy: large payloads or child interpreters; runs by default, bounded in time",
    )


def panic_exception_class():
    """The fault class the module creates on first import; it is not a module attribute."""
    found = [
        c
        for c in BaseException.__subclasses__()
        if c.__module__ == "pyo3_runtime" and c.__name__ == "PanicException"
    ]
    assert len(found) == 1, found
    return found[0]


@pytest.fixture(scope="session")
def PanicException():
    return panic_exception_class()


def under_qemu_user():
    """An arm64 interpreter run by qemu-user (tools/provision-python's launcher sets the marker)."""
    return platform.machine() == "aarch64" and os.path.basename(
        os.environ.get("TESSIK_EMULATOR", "")).startswith("qemu-")


def big_rows_payload(n_rows):
    """A row-oriented payload of n_rows rows, about 80 bytes each."""
    row = b'{"id":%d,"name":"user%d","score":%d.5,"tags":["a","b"],"unit":"kg","ok":true}'
    return b"[" + b",".join(row % (i, i % 997, i % 101) for i in range(n_rows)) + b"]"


@pytest.fixture(scope="session")
def big_payload():
    # About 25 MB: long enough to keep the transform busy for a noticeable time.
    return big_rows_payload(320_000)


def run_child(code, timeout=120):
    """Run code in a fresh interpreter that imports the same tessik_codec build."""
    module_dir = os.path.dirname(os.path.abspath(tessik_codec.__file__))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        p for p in (module_dir, env.get("PYTHONPATH", "")) if p
    )
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )


def rss_bytes():
    """Resident memory after handing the allocator's free pages back.

    glibc keeps freed memory in per-thread arenas (and raises its mmap
    threshold after large frees), so without a trim a flat workload can look
    like growth; a real leak is still resident after the trim."""
    try:
        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):
        pass
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Index:
    """An object that converts to an int only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value
