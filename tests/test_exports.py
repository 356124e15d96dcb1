"""The shared library's entry symbols and both of its import roads."""
import ctypes
import importlib.machinery
import shutil
import struct
import sysconfig
import subprocess

import pytest

import tessik_codec

SO = tessik_codec.__file__


def test_module_is_the_shared_library_itself():
    assert SO.endswith(".so")
    assert type(tessik_codec).__name__ == "module"
    assert not hasattr(tessik_codec, "__path__")


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm (binutils) is not installed")
def test_exports_exactly_the_two_entry_symbols():
    out = subprocess.run(["nm", "-D", "--defined-only", SO], capture_output=True, text=True, check=True).stdout
    symbols = sorted(line.split()[-1] for line in out.splitlines() if line.strip())
    assert symbols == ["PyInit_tessik_codec", "PyModExport_tessik_codec"]


def new_module_from_definition():
    """The road an interpreter without the export entry takes: the definition
    from PyInit and a module built from it, before its execution step."""
    lib = ctypes.PyDLL(SO)
    init = lib.PyInit_tessik_codec
    init.restype = ctypes.c_void_p
    definition = init()
    assert definition
    api = ctypes.pythonapi
    api.PyModule_FromDefAndSpec2.restype = ctypes.py_object
    api.PyModule_FromDefAndSpec2.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
    spec = importlib.machinery.ModuleSpec("tessik_codec", None, origin=SO)
    return api.PyModule_FromDefAndSpec2(definition, spec, 1013), definition


def execute(module, definition):
    exec_def = ctypes.pythonapi.PyModule_ExecDef
    exec_def.restype = ctypes.c_int
    exec_def.argtypes = [ctypes.py_object, ctypes.c_void_p]
    return exec_def(module, definition)


def test_pyinit_road_builds_the_same_module():
    module, definition = new_module_from_definition()
    assert execute(module, definition) == 0
    assert module.__name__ == "tessik_codec"
    assert module.__doc__ == ""
    assert module.__all__ == ["columnarize"]
    assert module.columnarize is not tessik_codec.columnarize
    assert module.columnarize(b'[{"a":1},{"a":2}]') == b'{"columns":["a"],"rows":[[1],[2]],"constants":{}}'


def test_export_road_hands_over_the_slot_array():
    lib = ctypes.CDLL(SO)
    export = lib.PyModExport_tessik_codec
    export.restype = ctypes.POINTER(ctypes.c_uint64)
    slots = export()
    # Each record: 16-bit id, 16-bit flags, 32 reserved bits, 64-bit value.
    records = []
    for i in range(6):
        head = slots[2 * i]
        records.append((head & 0xFFFF, (head >> 16) & 0xFFFF, head >> 32, slots[2 * i + 1]))
    ids = [r[0] for r in records]
    flags = [r[1] for r in records]
    assert ids == [85, 109, 87, 100, 101, 0]
    assert flags == [0, 2, 4, 2, 2, 0]
    assert all(r[2] == 0 for r in records)
    assert records[2][3] == 1  # the interpreter lock is not used
    assert ctypes.string_at(records[3][3]) == b"tessik_codec"
    assert ctypes.string_at(records[4][3]) == b""
    assert records[5][3] == 0
    # Record format 1.0, the build's default flags, versions not stated.
    major, minor, flags_, build, abi_version = struct.unpack("<BBHII", ctypes.string_at(records[1][3], 12))
    assert (major, minor) == (1, 0)
    assert flags_ == (0x4 if sysconfig.get_config_var("Py_GIL_DISABLED") else 0x2)
    assert (build, abi_version) == (0, 0)


class ModuleRefusingAll(type(tessik_codec)):
    def __getattribute__(self, name):
        if name == "__all__":
            raise ValueError("no export list here")
        return super().__getattribute__(name)


@pytest.mark.parametrize(
    "prepare, error, message",
    [
        (lambda m: setattr(m, "__all__", ("x",)), TypeError, "'tuple' object is not an instance of 'list'"),
        (lambda m: setattr(m, "__class__", ModuleRefusingAll), ValueError, "no export list here"),
    ],
    ids=["export list not a list", "export list unreadable"],
)
def test_execution_step_failures(prepare, error, message):
    module, definition = new_module_from_definition()
    prepare(module)
    with pytest.raises(error) as info:
        execute(module, definition)
    assert str(info.value) == message
    assert not hasattr(module, "columnarize")


def test_execution_step_appends_to_an_existing_export_list():
    module, definition = new_module_from_definition()
    module.__all__ = ["other"]
    assert execute(module, definition) == 0
    assert module.__all__ == ["other", "columnarize"]
