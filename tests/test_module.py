"""The module object, the function object and the fault class, as callers see them."""

import importlib.machinery
import inspect
import os

import pytest

import tessik_codec
from tessik_codec import columnarize

DOC_HEAD = [
    "Columnarize a row-oriented JSON payload (bytes or str), GIL released",
    "for the duration of the transform.",
    "",
    "Args:",
    "    payload: UTF-8 JSON bytes/str encoding a `list[dict]` of rows.",
    "    min_rows: Accepted for parity with the Python codec's signature;",
    "        not re-checked here (the Python caller already applied the",
    "        guard before calling this function).",
    "",
    "Returns:",
    '    UTF-8 JSON bytes encoding `{"columns", "rows", "constants"}`.',
    "",
]


@pytest.mark.parametrize(
    "attribute, expected",
    [
        ("__name__", "tessik_codec"),
        ("__doc__", ""),
        ("__all__", ["columnarize"]),
        ("__package__", ""),
    ],
)
def test_module_attribute(attribute, expected):
    assert getattr(tessik_codec, attribute) == expected


def test_all_is_a_plain_list():
    assert type(tessik_codec.__all__) is list


def test_no_other_public_attribute():
    assert [n for n in dir(tessik_codec) if not n.startswith("_")] == ["columnarize"]


def test_no_private_extras_in_module_dict():
    # Only what the import system sets, plus the two names the exec step adds.
    extra = set(vars(tessik_codec)) - {
        "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
        "__all__", "columnarize",
    }
    assert extra == set()


def test_module_is_the_extension_itself():
    path = tessik_codec.__file__
    assert path.endswith(".so")
    assert any(path.endswith(s) for s in importlib.machinery.EXTENSION_SUFFIXES)
    assert os.path.basename(path).startswith("tessik_codec.")
    assert isinstance(tessik_codec.__loader__, importlib.machinery.ExtensionFileLoader)
    assert tessik_codec.__spec__.origin == path
    assert not hasattr(tessik_codec, "__path__")


@pytest.mark.parametrize(
    "attribute, expected",
    [
        ("__name__", "columnarize"),
        ("__qualname__", "columnarize"),
        ("__module__", "tessik_codec"),
        ("__self__", None),
        ("__text_signature__", "(payload, min_rows=20)"),
    ],
)
def test_function_attribute(attribute, expected):
    assert getattr(columnarize, attribute) == expected


def test_function_is_a_builtin():
    assert type(columnarize) is type(len)
    assert tessik_codec.columnarize is columnarize


def test_signature_through_inspect():
    sig = inspect.signature(columnarize)
    assert str(sig) == "(payload, min_rows=20)"
    kinds = [(p.name, p.kind, p.default) for p in sig.parameters.values()]
    assert kinds == [
        ("payload", inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.empty),
        ("min_rows", inspect.Parameter.POSITIONAL_OR_KEYWORD, 20),
    ]


def test_doc_lines_after_signature():
    # The three signature lines are stripped by the interpreter; 21 lines remain.
    lines = columnarize.__doc__.split("\n")
    assert len(lines) == 21
    assert lines[:12] == DOC_HEAD
    assert not columnarize.__doc__.endswith("\n")


def test_doc_last_paragraph():
    paragraph = columnarize.__doc__.split("\n")[12:]
    assert len(paragraph) == 9
    assert all(line.strip() for line in paragraph), paragraph
    text = " ".join(paragraph)
    assert text.startswith("Panic safety: `columnarize_json` is run inside")
    assert text.endswith("by any mechanism \u2014 a residual, documented limitation.")
    for word in ("RuntimeError", "PanicException", "BaseException", "except Exception"):
        assert word in text, word


def test_doc_starts_with_summary():
    assert columnarize.__doc__.startswith(
        "Columnarize a row-oriented JSON payload (bytes or str), GIL released"
    )


def test_panic_exception_class(PanicException):
    assert PanicException.__module__ == "pyo3_runtime"
    assert PanicException.__name__ == "PanicException"
    assert PanicException.__qualname__ == "PanicException"
    assert PanicException.__bases__ == (BaseException,)
    assert not issubclass(PanicException, Exception)
    assert PanicException.__doc__
    assert not hasattr(tessik_codec, "PanicException")
    assert str(PanicException("m")) == "m"


def test_panic_exception_created_by_import_alone():
    from conftest import run_child

    child = run_child(
        """
        import tessik_codec
        print(sum(1 for c in BaseException.__subclasses__()
                  if c.__module__ == "pyo3_runtime" and c.__name__ == "PanicException"))
        """
    )
    assert (child.returncode, child.stdout, child.stderr) == (0, "1\n", "")


def test_import_is_silent_and_works_in_fresh_interpreter():
    from conftest import run_child

    child = run_child(
        """
        import tessik_codec
        print(tessik_codec.columnarize(b'[{"a":1},{"a":2}]').decode())
        """
    )
    assert (child.returncode, child.stderr) == (0, "")
    assert child.stdout == '{"columns":["a"],"rows":[[1],[2]],"constants":{}}\n'
