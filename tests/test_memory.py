"""Reference counts and memory stay flat over many calls; memory exhaustion is an ordinary MemoryError."""

import gc
import os
import sys
import tracemalloc
import weakref

import pytest

from conftest import Index, rss_bytes, run_child, under_qemu_user
from tessik_codec import columnarize

SMALL_OK = b'[{"a":1,"b":"x"},{"a":2,"b":"x"}]'
SMALL_ROW_ERROR = b'[{"a":1},[1,2,3]]'
SMALL_READ_ERROR = b'[{"a":1},{"a":'


class Raises:
    def __init__(self, exc_factory):
        self.exc_factory = exc_factory

    def __index__(self):
        raise self.exc_factory()


class WeakValueError(ValueError):
    """Python subclasses accept weak references, so a leaked instance can be detected."""


def mixed_calls(payload, min_rows, rounds):
    """Successful calls and every kind of failing call, repeated."""
    for _ in range(rounds):
        columnarize(payload)
        columnarize(payload, min_rows)
        columnarize(payload=payload, min_rows=min_rows)
        for bad in (
            lambda: columnarize(SMALL_ROW_ERROR),
            lambda: columnarize(SMALL_READ_ERROR),
            lambda: columnarize(b"[]", min_rows=-1),
            lambda: columnarize(b"[]", min_rows=None),
            lambda: columnarize(None),
            lambda: columnarize("[]"),
            lambda: columnarize(b"[]", 1, 2),
            lambda: columnarize(b"[]", foo=1),
            lambda: columnarize(b"[]", **{"\ud800": 1}),
            lambda: columnarize(b"[]", payload=b"[]"),
            lambda: columnarize(),
        ):
            try:
                bad()
            except (RuntimeError, TypeError, OverflowError):
                pass


def test_reference_counts_stay_flat():
    payload = bytes(SMALL_OK)
    big = int("18446744073709551615")
    index = Index(big)
    mixed_calls(payload, index, 10)
    before = (sys.getrefcount(payload), sys.getrefcount(big), sys.getrefcount(index))
    mixed_calls(payload, index, 1_000)
    for _ in range(1_000):
        columnarize(payload, big)
        columnarize(payload, min_rows=big)
    after = (sys.getrefcount(payload), sys.getrefcount(big), sys.getrefcount(index))
    assert after == before


def test_result_holds_no_extra_reference():
    result = columnarize(SMALL_OK)
    reference = bytes(bytearray(SMALL_OK))
    assert sys.getrefcount(result) == sys.getrefcount(reference)


def test_argument_references_released_on_every_error():
    payload = bytes(b"[1]")
    min_rows = int("12345678901234567890")
    kw_value = object()
    before = (sys.getrefcount(payload), sys.getrefcount(min_rows), sys.getrefcount(kw_value))
    for _ in range(2_000):
        for call in (
            lambda: columnarize(payload, min_rows),
            lambda: columnarize(payload, min_rows, kw_value),
            lambda: columnarize(payload, bogus=kw_value),
            lambda: columnarize(payload, payload=kw_value),
            lambda: columnarize(kw_value, min_rows),
            lambda: columnarize(payload, kw_value),
        ):
            try:
                call()
            except (RuntimeError, TypeError):
                pass
    after = (sys.getrefcount(payload), sys.getrefcount(min_rows), sys.getrefcount(kw_value))
    assert after == before


def test_index_exceptions_are_not_leaked():
    refs = []

    def make():
        exc = WeakValueError("from __index__")
        refs.append(weakref.ref(exc))
        return exc

    for _ in range(200):
        try:
            columnarize(b"[]", min_rows=Raises(make))
        except WeakValueError:
            pass
    gc.collect()
    assert len(refs) == 200
    assert [r for r in refs if r() is not None] == []


def test_min_rows_index_result_released():
    value = int("99999999999999999999")  # too big: overflow after __index__
    index = Index(value)
    before = sys.getrefcount(value)
    for _ in range(2_000):
        try:
            columnarize(b"[]", min_rows=index)
        except OverflowError:
            pass
    assert sys.getrefcount(value) == before


def test_traced_memory_stays_flat():
    payload = b"[" + b",".join(b'{"id":%d,"v":"s%d","c":1}' % (i, i) for i in range(200)) + b"]"
    mixed_calls(payload, 3, 20)
    gc.collect()
    tracemalloc.start()
    try:
        mixed_calls(payload, 3, 20)
        gc.collect()
        before, _ = tracemalloc.get_traced_memory()
        mixed_calls(payload, 3, 400)  # 400 rounds of 14 calls
        gc.collect()
        after, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert after - before < 64 * 1024, (before, after)


@pytest.mark.heavy
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_resident_memory_stays_flat():
    # About 60 KB each; a per-call leak of the copy, the parsed rows or the
    # output would add well over 100 MB across the loop.
    rows = [b'{"id":%d,"name":"n%d","k":[1,2,{"z":null}]}' % (i, i) for i in range(1_500)]
    ok = b"[" + b",".join(rows) + b"]"
    row_error = b"[" + b",".join(rows) + b",1]"
    read_error = b"[" + b",".join(rows) + b",{]"
    for _ in range(50):
        columnarize(ok)
    gc.collect()
    before = rss_bytes()
    for _ in range(400):
        columnarize(ok)
        for bad in (row_error, read_error):
            try:
                columnarize(bad)
            except RuntimeError:
                pass
    gc.collect()
    growth = rss_bytes() - before
    assert growth < 24 * 1024 * 1024, growth


@pytest.mark.heavy
@pytest.mark.skipif(sys.platform != "linux", reason="address-space limit and /proc are Linux")
@pytest.mark.skipif(under_qemu_user(), reason="qemu-user accepts RLIMIT_AS but does not apply it, "
                    "since the limit would also bind the emulator's own memory")
def test_exhausted_memory_in_transform_is_memory_error():
    child = run_child(
        """
        import os, resource
        from tessik_codec import columnarize
        # Small rows parse into far more memory than their text takes.
        payload = b"[" + b",".join([b'{"a":1,"b":[2]}'] * 3_000_000) + b"]"
        page = os.sysconf("SC_PAGE_SIZE")
        with open("/proc/self/statm") as f:
            used = int(f.read().split()[0]) * page
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (used + 160 * 1024 * 1024, hard))
        try:
            columnarize(payload)
        except Exception as exc:
            print(type(exc).__name__, flush=True)
        else:
            print("no error", flush=True)
        del payload
        print(columnarize(b'[{"a":1},{"a":2}]').decode(), flush=True)
        try:
            columnarize(b"[1]")
        except RuntimeError as exc:
            print(exc, flush=True)
        """
    )
    assert child.returncode == 0, child.stderr
    assert child.stdout == (
        "MemoryError\n"
        '{"columns":["a"],"rows":[[1],[2]],"constants":{}}\n'
        "expected a JSON object row, got: 1\n"
    )
    assert "PanicException" not in child.stderr


@pytest.mark.heavy
@pytest.mark.parametrize(
    "payload",
    [
        "b'[{\"a\":1},{\"a\":2}]'",
        # Large enough that the result bytes are made mid-transform, to be
        # written in place.
        "b'[' + b','.join(b'{\"a\":%d}' % i for i in range(100_000)) + b']'",
    ],
    ids=["small", "written in place"],
)
def test_result_object_that_cannot_be_created_is_memory_error(payload):
    # The interpreter's own allocator fails; the transform's memory is untouched.
    child = run_child(
        f"""
        import sys
        try:
            import _testcapi
            _testcapi.set_nomemory
        except (ImportError, AttributeError):
            print("SKIP")
            raise SystemExit(0)
        from tessik_codec import columnarize
        unraisable = []
        sys.unraisablehook = unraisable.append
        payload = {payload}
        expected = columnarize(payload)
        outcome = "no error"
        try:
            _testcapi.set_nomemory(0, 0)
            columnarize(payload)
        except MemoryError:
            outcome = "MemoryError"
        except BaseException as exc:
            outcome = "other"
            kind = type(exc)
        finally:
            _testcapi.remove_mem_hooks()
        if outcome == "other":
            outcome = kind.__module__ + "." + kind.__name__
        print(outcome, len(unraisable), flush=True)
        print(columnarize(payload) == expected, flush=True)
        """
    )
    if child.stdout == "SKIP\n":
        pytest.skip("_testcapi.set_nomemory is not available")
    assert child.returncode == 0, child.stderr
    assert child.stdout == "MemoryError 0\nTrue\n"
    assert child.stderr == ""


@pytest.mark.heavy
@pytest.mark.skipif(sys.platform != "linux", reason="/proc/self/clear_refs and VmHWM are Linux")
@pytest.mark.skipif(under_qemu_user(), reason="under qemu-user the peak holds the emulator's own memory")
def test_peak_memory_of_one_large_call():
    # The cells read are given back as the document is written over them,
    # so the peak is well under the cells and the document together
    # (about 1.15x this payload).
    bench = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench")
    child = run_child(
        f"""
        import sys
        sys.path.insert(0, {bench!r})
        import payloads
        from tessik_codec import columnarize
        payload = payloads.generate(50_000)
        columnarize(b'[{{"a":1}},{{"a":2}}]')

        def status(field):
            with open("/proc/self/status") as f:
                return next(int(l.split()[1]) for l in f if l.startswith(field + ":")) * 1024

        try:
            with open("/proc/self/clear_refs", "w") as f:
                f.write("5")
        except OSError:
            print("no clear_refs")
            raise SystemExit
        before = status("VmRSS")
        out = columnarize(payload)
        print((status("VmHWM") - before) / len(payload), len(out) / len(payload))
        """
    )
    assert child.returncode == 0, child.stderr
    if child.stdout.startswith("no clear_refs"):
        pytest.skip("this kernel cannot reset the resident high-water mark")
    peak, document = map(float, child.stdout.split())
    assert 0.5 < document < 0.65
    assert peak <= 1.0, peak
