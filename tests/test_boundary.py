"""Argument binding, argument conversion and the exceptions of the call boundary."""

import pytest

from conftest import Index
from tessik_codec import columnarize

EMPTY = b'{"columns":[],"rows":[],"constants":{}}'
PAYLOAD_NOTE = ["while processing 'payload'"]
MIN_ROWS_NOTE = ["while processing 'min_rows'"]


class Holder:
    class Nested:
        pass


class RaisingIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class IntWithBrokenIndex(int):
    # An int subclass is converted directly; its __index__ must not be consulted.
    def __index__(self):
        raise AssertionError("__index__ called on an int subclass")


class BytesSub(bytes):
    def __len__(self):
        return 0

    def __bytes__(self):
        return b"[]"


# --- successful binding -------------------------------------------------------------

@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((b"[]",), {}),
        ((), {"payload": b"[]"}),
        ((b"[]", 5), {}),
        ((b"[]",), {"min_rows": 5}),
        ((), {"payload": b"[]", "min_rows": 5}),
        ((), {"min_rows": 5, "payload": b"[]"}),
    ],
    ids=["positional", "payload-kw", "two-positional", "min_rows-kw", "both-kw", "both-kw-reversed"],
)
def test_binding_forms_reach_the_transform(args, kwargs):
    result = columnarize(*args, **kwargs)
    assert type(result) is bytes
    assert result == EMPTY
    assert len(result) == 39


# --- binding errors: TypeError, exact text, no note ---------------------------------

BINDING_ERRORS = [
    ((), {}, "columnarize() missing 1 required positional argument: 'payload'"),
    ((), {"min_rows": 1}, "columnarize() missing 1 required positional argument: 'payload'"),
    ((), {"min_rows": None}, "columnarize() missing 1 required positional argument: 'payload'"),
    ((b"[]", 1, 2), {}, "columnarize() takes from 1 to 2 positional arguments but 3 were given"),
    ((1, 2, 3, 4), {}, "columnarize() takes from 1 to 2 positional arguments but 4 were given"),
    ((None,) * 11, {}, "columnarize() takes from 1 to 2 positional arguments but 11 were given"),
    # Positional count is judged before any keyword.
    ((b"[]", 1, 2), {"foo": 1}, "columnarize() takes from 1 to 2 positional arguments but 3 were given"),
    ((b"[]",), {"payload": b"[]"}, "columnarize() got multiple values for argument 'payload'"),
    ((b"[]", 20), {"min_rows": 20}, "columnarize() got multiple values for argument 'min_rows'"),
    ((b"[]", 20), {"payload": b"[]"}, "columnarize() got multiple values for argument 'payload'"),
    ((b"[]",), {"foo": 1}, "columnarize() got an unexpected keyword argument 'foo'"),
    ((), {"foo": 1}, "columnarize() got an unexpected keyword argument 'foo'"),
    ((b"[]",), {"Payload": b"[]"}, "columnarize() got an unexpected keyword argument 'Payload'"),
    ((b"[]",), {"MIN_ROWS": 1}, "columnarize() got an unexpected keyword argument 'MIN_ROWS'"),
    ((b"[]",), {"min_row": 1}, "columnarize() got an unexpected keyword argument 'min_row'"),
    ((b"[]",), {"min_rowss": 1}, "columnarize() got an unexpected keyword argument 'min_rowss'"),
    ((b"[]",), {"": 1}, "columnarize() got an unexpected keyword argument ''"),
    # Matching is by the whole UTF-8 text, an embedded NUL included.
    ((b"[]",), {"min_rows\x00": 1}, "columnarize() got an unexpected keyword argument 'min_rows\x00'"),
    ((), {"payload\x00": b"[]"}, "columnarize() got an unexpected keyword argument 'payload\x00'"),
    ((b"[]",), {"p\u00e4yload": 1}, "columnarize() got an unexpected keyword argument 'p\u00e4yload'"),
    ((b"[]",), {"\U0001f600": 1}, "columnarize() got an unexpected keyword argument '\U0001f600'"),
    # Names without a UTF-8 form: each such character is shown as U+FFFD.
    ((b"[]",), {"\ud800": 1}, "columnarize() got an unexpected keyword argument '\ufffd'"),
    ((b"[]",), {"a\udcffb\ud800": 1}, "columnarize() got an unexpected keyword argument 'a\ufffdb\ufffd'"),
    ((b"[]",), {"payload\udc80": 1}, "columnarize() got an unexpected keyword argument 'payload\ufffd'"),
    # Keywords are judged in the order they were passed.
    ((b"[]",), {"foo": 1, "payload": b"[]"}, "columnarize() got an unexpected keyword argument 'foo'"),
    ((b"[]",), {"payload": b"[]", "foo": 1}, "columnarize() got multiple values for argument 'payload'"),
    ((b"[]", 1), {"bar": 1, "min_rows": 1}, "columnarize() got an unexpected keyword argument 'bar'"),
    ((b"[]", 1), {"min_rows": 1, "bar": 1}, "columnarize() got multiple values for argument 'min_rows'"),
    ((), {"min_rows": 1, "zz": 1}, "columnarize() got an unexpected keyword argument 'zz'"),
    # Binding errors win over conversion errors.
    (("not bytes", -1), {"foo": 1}, "columnarize() got an unexpected keyword argument 'foo'"),
    ((None, None, None), {}, "columnarize() takes from 1 to 2 positional arguments but 3 were given"),
]


@pytest.mark.parametrize("args, kwargs, message", BINDING_ERRORS)
def test_binding_error(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        columnarize(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)
    assert not hasattr(info.value, "__notes__")


# --- payload conversion --------------------------------------------------------------

PAYLOAD_ERRORS = [
    ("[]", "'str' object is not an instance of 'bytes'"),
    ("", "'str' object is not an instance of 'bytes'"),
    (bytearray(b"[]"), "'bytearray' object is not an instance of 'bytes'"),
    (memoryview(b"[]"), "'memoryview' object is not an instance of 'bytes'"),
    (None, "'None' is not an instance of 'bytes'"),
    (0, "'int' object is not an instance of 'bytes'"),
    (1.5, "'float' object is not an instance of 'bytes'"),
    ([b"[]"], "'list' object is not an instance of 'bytes'"),
    ((b"[]",), "'tuple' object is not an instance of 'bytes'"),
    (Holder.Nested(), "'Holder.Nested' object is not an instance of 'bytes'"),
    (Holder, "'type' object is not an instance of 'bytes'"),
    (b"[]".decode, "'builtin_function_or_method' object is not an instance of 'bytes'"),
]


@pytest.mark.parametrize("payload, message", PAYLOAD_ERRORS)
def test_payload_type_rejected(payload, message):
    with pytest.raises(TypeError) as info:
        columnarize(payload)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)
    assert info.value.__notes__ == PAYLOAD_NOTE


@pytest.mark.parametrize("min_rows", [-1, None, 1.5, 2**64])
def test_payload_error_wins_over_min_rows_error(min_rows):
    with pytest.raises(TypeError) as info:
        columnarize("x", min_rows=min_rows)
    assert info.value.args == ("'str' object is not an instance of 'bytes'",)
    assert info.value.__notes__ == PAYLOAD_NOTE


def test_bytes_subclass_is_read_as_its_bytes():
    # Neither __len__ nor __bytes__ is consulted: the stored bytes are used.
    payload = BytesSub(b'[{"a":1},{"a":2}]')
    result = columnarize(payload)
    assert type(result) is bytes
    assert result == b'{"columns":["a"],"rows":[[1],[2]],"constants":{}}'


def test_bytes_subclass_error_is_runtime_error():
    with pytest.raises(RuntimeError) as info:
        columnarize(BytesSub(b"[7]"))
    assert info.value.args == ("expected a JSON object row, got: 7",)


# --- min_rows conversion -----------------------------------------------------------

ACCEPTED_MIN_ROWS = [
    True,
    False,
    0,
    1,
    20,
    10**6,
    2**63,
    2**64 - 1,
    Index(0),
    Index(2**64 - 1),
    IntWithBrokenIndex(3),
    IntWithBrokenIndex(2**64 - 1),
]


@pytest.mark.parametrize("min_rows", ACCEPTED_MIN_ROWS, ids=repr)
def test_min_rows_accepted_and_ignored(min_rows):
    payload = b'[{"a":1,"b":2},{"a":1,"b":3}]'
    expected = b'{"columns":["b"],"rows":[[2],[3]],"constants":{"a":1}}'
    assert columnarize(payload, min_rows) == expected
    assert columnarize(payload, min_rows=min_rows) == expected


MIN_ROWS_ERRORS = [
    (-1, OverflowError, "can't convert negative int to unsigned"),
    (-(2**70), OverflowError, "can't convert negative int to unsigned"),
    (2**64, OverflowError, "int too big to convert"),
    (2**200, OverflowError, "int too big to convert"),
    (Index(-1), OverflowError, "can't convert negative int to unsigned"),
    (Index(2**64), OverflowError, "int too big to convert"),
    (IntWithBrokenIndex(-1), OverflowError, "can't convert negative int to unsigned"),
    (None, TypeError, "'NoneType' object cannot be interpreted as an integer"),
    (1.5, TypeError, "'float' object cannot be interpreted as an integer"),
    (20.0, TypeError, "'float' object cannot be interpreted as an integer"),
    ("3", TypeError, "'str' object cannot be interpreted as an integer"),
    (b"3", TypeError, "'bytes' object cannot be interpreted as an integer"),
    ([], TypeError, "'list' object cannot be interpreted as an integer"),
]


@pytest.mark.parametrize("min_rows, exc_type, message", MIN_ROWS_ERRORS, ids=repr)
def test_min_rows_rejected(min_rows, exc_type, message):
    for call in (
        lambda: columnarize(b"[]", min_rows),
        lambda: columnarize(b"[]", min_rows=min_rows),
        lambda: columnarize(min_rows=min_rows, payload=b"[]"),
    ):
        with pytest.raises(exc_type) as info:
            call()
        assert type(info.value) is exc_type
        assert info.value.args == (message,)
        assert info.value.__notes__ == MIN_ROWS_NOTE


def test_min_rows_index_returning_non_int():
    import operator

    bad = Index("7")
    with pytest.raises(TypeError) as expected:
        operator.index(bad)
    with pytest.raises(TypeError) as info:
        columnarize(b"[]", min_rows=bad)
    assert info.value.args == expected.value.args
    assert info.value.__notes__ == MIN_ROWS_NOTE


class CustomError(Exception):
    pass


class CustomBase(BaseException):
    pass


@pytest.mark.parametrize(
    "exc",
    [ValueError("nope"), CustomError("custom", 2), KeyError("k"), CustomBase("base")],
    ids=repr,
)
def test_min_rows_index_raising_propagates_same_object_with_note(exc):
    with pytest.raises(type(exc)) as info:
        columnarize(b"[]", min_rows=RaisingIndex(exc))
    assert info.value is exc
    assert info.value.__notes__ == MIN_ROWS_NOTE


def test_note_is_appended_to_existing_notes():
    exc = ValueError("nope")
    exc.add_note("first")
    with pytest.raises(ValueError) as info:
        columnarize(b"[]", min_rows=RaisingIndex(exc))
    assert info.value.__notes__ == ["first", "while processing 'min_rows'"]


def test_note_goes_through_add_note_method():
    seen = []

    class Recording(ValueError):
        def add_note(self, note):
            seen.append(note)
            super().add_note(note)

    with pytest.raises(Recording) as info:
        columnarize(b"[]", min_rows=RaisingIndex(Recording("r")))
    assert seen == ["while processing 'min_rows'"]
    assert info.value.__notes__ == MIN_ROWS_NOTE


def test_failing_add_note_is_discarded():
    class NoNotes(ValueError):
        def add_note(self, note):
            raise RuntimeError("add_note refused")

    exc = NoNotes("kept")
    with pytest.raises(NoNotes) as info:
        columnarize(b"[]", min_rows=RaisingIndex(exc))
    assert info.value is exc
    assert not hasattr(info.value, "__notes__")
    assert info.value.__context__ is None


def test_note_shows_in_printed_traceback():
    import traceback

    with pytest.raises(OverflowError) as info:
        columnarize(b"[]", min_rows=-1)
    text = "".join(traceback.format_exception_only(type(info.value), info.value))
    assert text == (
        "OverflowError: can't convert negative int to unsigned\n"
        "while processing 'min_rows'\n"
    )


# --- transform errors as RuntimeError ------------------------------------------------

@pytest.mark.parametrize(
    "payload, message",
    [
        (b"[1]", "expected a JSON object row, got: 1"),
        (b"", "invalid row-oriented JSON: EOF while parsing a value at line 1 column 0"),
        (b"{}", "invalid row-oriented JSON: invalid type: map, expected a sequence at line 1 column 0"),
    ],
)
def test_runtime_error_shape(payload, message):
    with pytest.raises(RuntimeError) as info:
        columnarize(payload)
    exc = info.value
    assert type(exc) is RuntimeError
    assert exc.args == (message,)
    assert type(exc.args[0]) is str
    assert not hasattr(exc, "__notes__")
    assert exc.__cause__ is None
    assert exc.__context__ is None
    assert exc.__suppress_context__ is False
    assert isinstance(exc, Exception)


def test_runtime_error_inside_handler_gets_only_implicit_context():
    # The interpreter links the exception being handled; the module adds nothing.
    try:
        raise KeyError("outer")
    except KeyError as outer:
        with pytest.raises(RuntimeError) as info:
            columnarize(b"[null]")
        assert info.value.__context__ is outer
        assert info.value.__cause__ is None


# --- a taken-over PanicException -----------------------------------------------------

def test_panic_exception_from_index_is_resumed_as_new_panic(PanicException, capfd):
    original = PanicException("boom")
    with pytest.raises(BaseException) as info:
        columnarize(b"[]", min_rows=RaisingIndex(original))
    exc = info.value
    assert type(exc) is PanicException
    assert exc is not original
    assert str(exc) == "boom"
    assert exc.args == ("boom",)
    assert not hasattr(exc, "__notes__")
    assert not hasattr(original, "__notes__")
    err = capfd.readouterr().err
    assert err.strip()
    assert "boom" in err
    assert "Traceback" in err
    assert "__index__" in err


def test_panic_exception_is_not_caught_by_except_exception(PanicException):
    with pytest.raises(PanicException):
        try:
            columnarize(b"[]", min_rows=RaisingIndex(PanicException("x")))
        except Exception:  # noqa: BLE001 - must not catch it
            pytest.fail("PanicException caught by except Exception")


def test_panic_exception_subclass_is_an_ordinary_exception(PanicException, capfd):
    # Only the exact class is resumed as a fault; a subclass propagates with the note.
    class SubPanic(PanicException):
        pass

    exc = SubPanic("sub")
    with pytest.raises(SubPanic) as info:
        columnarize(b"[]", min_rows=RaisingIndex(exc))
    assert info.value is exc
    assert info.value.__notes__ == MIN_ROWS_NOTE
    assert capfd.readouterr().err == ""


def test_panic_resumption_in_child_interpreter():
    from conftest import run_child

    child = run_child(
        """
        import sys
        from tessik_codec import columnarize
        P = next(c for c in BaseException.__subclasses__()
                 if c.__module__ == "pyo3_runtime" and c.__name__ == "PanicException")
        class Boom:
            def __index__(self):
                raise P("boom")
        try:
            columnarize(b"[]", min_rows=Boom())
        except BaseException as e:
            print(type(e).__module__, type(e).__name__, str(e), flush=True)
        print(columnarize(b'[{"a":1}]').decode())
        """
    )
    assert child.returncode == 0, child.stderr
    assert child.stdout == (
        "pyo3_runtime PanicException boom\n"
        '{"columns":["a"],"rows":[[1]],"constants":{}}\n'
    )
    assert "boom" in child.stderr
    assert "Traceback" in child.stderr
