"""Stress: thousands of calls from 8 threads over valid, broken and huge payloads.

Every call must give exactly the single-threaded result (bytes or error text),
and afterwards reference counts, traced Python memory and resident memory
must be flat. Three equal rounds run; the first warms the allocator's
per-thread arenas, the growth is measured between the second and the third.
"""

import gc
import os
import sys
import threading
import tracemalloc

import pytest

from conftest import rss_bytes
from tessik_codec import columnarize

THREADS = 8
CALLS_PER_THREAD = 300  # per round; 3 rounds, 7,200 calls in all


class Index:
    """A min_rows argument converted through __index__ on every call."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def rows(n, start=0):
    return b",".join(
        b'{"id":%d,"name":"user%d","score":%d.5,"tags":["a","\\u00e9"],"unit":"kg","note":null}'
        % (i, i % 997, i % 101)
        for i in range(start, start + n)
    )


def payloads():
    big_rows = rows(70_000)  # about 6 MB
    return {
        "small": b"[" + rows(20) + b"]",
        "empty": b"[]",
        "constants": b'[{"a":1,"b":"x"},{"a":1.0,"b":"x"}]',
        "unicode": '[{"k":"Zürich 東京 😀"},{"k":"Oslo"}]'.encode(),
        "eof": b"[1,",
        "not array": b'{"a":1}',
        "row error": b'[{"a":1},[2,3],null]',
        "bad utf8": b'[{"s":"\xff"}]',
        "too deep": b"[" * 128 + b"]" * 128,
        "out of range": b'[{"n":1e400}]',
        "huge": b"[" + big_rows + b"]",
        "huge read error": b"[" + big_rows + b",{]",
        "huge row error": b"[" + big_rows + b",7]",
    }


def outcome(payload, min_rows=20):
    try:
        return ("ok", columnarize(payload, min_rows))
    except RuntimeError as exc:
        return ("error", exc.args)


@pytest.mark.heavy
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_threads_stress_results_and_memory_stay_flat():
    cases = payloads()
    names = sorted(cases)
    expected = {name: outcome(cases[name]) for name in names}
    # Exact texts for a few, so that a wrong single-threaded answer fails too.
    assert expected["eof"] == ("error", ("invalid row-oriented JSON: EOF while parsing a value at line 1 column 3",))
    assert expected["row error"] == ("error", ("expected a JSON object row, got: [2,3]",))
    assert expected["constants"] == ("ok", b'{"columns":[],"rows":[[],[]],"constants":{"a":1,"b":"x"}}')
    assert expected["huge row error"] == ("error", ("expected a JSON object row, got: 7",))
    assert expected["huge"][0] == "ok"

    min_rows_values = [0, 20, 10**6, Index(3), True]
    failures = []
    counts = [0] * THREADS

    def worker(t):
        # Huge payloads every 40th call; the rest cycle through the others.
        small_names = [n for n in names if not n.startswith("huge")]
        huge_names = [n for n in names if n.startswith("huge")]
        for i in range(CALLS_PER_THREAD):
            if i % 40 == t % 40:
                name = huge_names[(i // 40 + t) % len(huge_names)]
            else:
                name = small_names[(i + t) % len(small_names)]
            got = outcome(cases[name], min_rows_values[(i + t) % len(min_rows_values)])
            if got != expected[name]:
                failures.append((t, i, name))
            counts[t] += 1

    def run_round():
        threads = [threading.Thread(target=worker, args=(t,)) for t in range(THREADS)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        gc.collect()

    run_round()  # warm-up: arenas, interned objects, first-use caches
    refs_before = {name: sys.getrefcount(cases[name]) for name in names}
    index_refs_before = sys.getrefcount(min_rows_values[3])
    tracemalloc.start()
    try:
        run_round()
        traced_before, _ = tracemalloc.get_traced_memory()
        rss_before = rss_bytes()
        run_round()
        traced_after, _ = tracemalloc.get_traced_memory()
        rss_after = rss_bytes()
    finally:
        tracemalloc.stop()
    refs_after = {name: sys.getrefcount(cases[name]) for name in names}
    # Outside the assert: its rewriting would hold the object in a temporary.
    index_refs_after = sys.getrefcount(min_rows_values[3])

    print(
        f"traced growth {traced_after - traced_before} B, "
        f"RSS growth {(rss_after - rss_before) / 2**20:.1f} MB over {THREADS * CALLS_PER_THREAD} calls"
    )
    assert failures == []
    assert counts == [3 * CALLS_PER_THREAD] * THREADS
    # No reference to any payload or min_rows object is gained or lost.
    assert refs_after == refs_before
    assert index_refs_after == index_refs_before
    # Traced Python memory: a leaked result object would add at least its
    # size per call; 256 KB is the slack for interpreter caches.
    assert traced_after - traced_before < 256 * 1024, (traced_before, traced_after)
    # Resident memory: one round reads 60 huge payloads of 6 MB, so leaking
    # their copies, rows or output would add over 350 MB; 64 MB is the slack
    # for the allocator's per-thread arenas.
    assert rss_after - rss_before < 64 * 1024 * 1024, (rss_before, rss_after)
