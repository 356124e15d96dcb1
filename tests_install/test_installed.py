"""What a user gets from `pip install`: the module imports from the install,
works, exports only its entry symbols, and its type stub reaches mypy."""

import json
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import REPO, platform_tags, run

sys.path.insert(0, str(REPO / "bench"))
from payloads import generate  # noqa: E402
from pure_columnar import columnarize_rows  # noqa: E402

STUB = REPO / "src" / "tessik_codec.pyi"


@pytest.fixture(scope="module")
def module_file(installed):
    r = installed.run("import tessik_codec; print(tessik_codec.__file__)")
    assert r.returncode == 0, r.stderr
    return Path(r.stdout.strip())


def test_module_comes_from_the_fresh_install(installed, module_file):
    assert module_file.is_relative_to(installed.root), module_file
    assert not module_file.is_relative_to(REPO)
    assert module_file.name.startswith("tessik_codec.cpython-") and module_file.suffix == ".so"


def test_columnarizes_a_tool_result_as_the_python_codec_does(installed, tmp_path):
    payload = generate(rows=400, seed=7)
    (tmp_path / "in.json").write_bytes(payload)
    code = (
        "import sys, tessik_codec\n"
        "data = open(sys.argv[1], 'rb').read()\n"
        "open(sys.argv[2], 'wb').write(tessik_codec.columnarize(data, min_rows=5))\n"
    )
    r = installed.run(code, tmp_path / "in.json", tmp_path / "out.json")
    assert r.returncode == 0, r.stderr
    out = (tmp_path / "out.json").read_bytes()
    assert json.loads(out) == columnarize_rows(json.loads(payload))
    assert len(out) < len(payload)


def test_a_broken_payload_raises_runtime_error(installed):
    code = (
        "import tessik_codec\n"
        "try:\n"
        "    tessik_codec.columnarize(b'[{\"a\":1},2,]')\n"
        "except RuntimeError as e:\n"
        "    print(e)\n"
    )
    r = installed.run(code)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "invalid row-oriented JSON: trailing comma at line 1 column 12"


def test_exhausted_memory_is_memory_error_and_the_module_goes_on(installed, target):
    """The module's C++ exceptions unwind through whatever runtime the wheel links
    (the x86-64 wheels: GCC's libstdc++ with another unwinder), and only a failed
    allocation deep in the transform throws one."""
    if target.emulator:
        pytest.skip("qemu-user accepts RLIMIT_AS but does not apply it")
    code = (
        "import os, resource, tessik_codec\n"
        "payload = b'[' + b','.join([b'{\"a\":1,\"b\":[2]}'] * 3_000_000) + b']'\n"
        "used = int(open('/proc/self/statm').read().split()[0]) * os.sysconf('SC_PAGE_SIZE')\n"
        "resource.setrlimit(resource.RLIMIT_AS, (used + 160 * 1024 * 1024, resource.RLIM_INFINITY))\n"
        "try:\n"
        "    tessik_codec.columnarize(payload)\n"
        "except MemoryError:\n"
        "    print('MemoryError')\n"
        "del payload\n"
        "print(tessik_codec.columnarize(b'[{\"a\":1},{\"a\":1}]').decode())\n"
    )
    r = installed.run(code)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["MemoryError", '{"columns":[],"rows":[[],[]],"constants":{"a":1}}']


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm (binutils) is not installed")
def test_installed_module_exports_exactly_the_two_entry_symbols(module_file):
    out = run(["nm", "-D", "--defined-only", module_file]).stdout
    symbols = sorted(line.split()[-1] for line in out.splitlines() if line.strip())
    assert symbols == ["PyInit_tessik_codec", "PyModExport_tessik_codec"]


def test_type_stub_is_installed_beside_the_module_and_as_a_stub_package(module_file):
    assert (module_file.parent / "tessik_codec.pyi").read_bytes() == STUB.read_bytes()
    assert (module_file.parent / "tessik_codec-stubs" / "__init__.pyi").read_bytes() == STUB.read_bytes()


def mypy(installed, version, tmp_path, source):
    (tmp_path / "caller.py").write_text(source)
    # mypy asks the interpreter for its search path, which then holds the --target folder.
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--verbose", "--strict", "--no-incremental",
         "--python-executable", installed.python, "--python-version", version,
         "--cache-dir", tmp_path / "mypy-cache", "caller.py"],
        capture_output=True, text=True, cwd=tmp_path, env=installed.env())


def test_mypy_accepts_a_correct_caller_through_the_installed_stub(installed, version, module_file, tmp_path):
    r = mypy(installed, version, tmp_path, (
        "from typing import assert_type\n"
        "from tessik_codec import columnarize\n"
        "assert_type(columnarize(b'[]'), bytes)\n"
        "assert_type(columnarize(b'[]', 5), bytes)\n"
        "assert_type(columnarize(payload=bytes(2), min_rows=0), bytes)\n"
    ))
    assert r.returncode == 0, r.stdout + r.stderr
    assert r.stdout.strip() == "Success: no issues found in 1 source file"
    # The stub mypy read is the installed one.
    stub = module_file.parent / "tessik_codec-stubs" / "__init__.pyi"
    assert f"Parsing {stub} (tessik_codec)" in r.stderr


def test_mypy_rejects_a_str_payload(installed, version, tmp_path):
    r = mypy(installed, version, tmp_path, (
        "from tessik_codec import columnarize\n"
        "out: bytes = columnarize(b'[]')\n"
        "columnarize('[{\"a\": 1}]')\n"
    ))
    assert r.returncode == 1, r.stdout + r.stderr
    assert r.stdout.splitlines() == [
        'caller.py:3: error: Argument 1 to "columnarize" has incompatible type "str"; expected "bytes"  [arg-type]',
        "Found 1 error in 1 file (checked 1 source file)",
    ]


# The legacy manylinux names and the glibc versions they stand for.
LEGACY_MANYLINUX = {"manylinux1": "2_5", "manylinux2010": "2_12", "manylinux2014": "2_17"}


def test_wheel_carries_a_manylinux_tag_that_auditwheel_confirms(wheel, target):
    tags = platform_tags(wheel)
    (platform,) = [t for t in tags if t.startswith("manylinux_")]
    glibc = re.fullmatch(rf"manylinux_(\d+_\d+)_{target.machine}", platform)
    assert glibc, tags
    # A legacy alias beside it must name the same glibc.
    for alias in tags:
        if alias != platform:
            name, _, machine = alias.partition("_")
            assert (LEGACY_MANYLINUX.get(name), machine) == (glibc[1], target.machine), tags
    shown = run([sys.executable, "-m", "auditwheel", "show", wheel])
    assert shown.returncode == 0, shown.stderr
    assert f'consistent with the following platform tag: "{platform}"' in " ".join(shown.stdout.split())


def test_installed_distribution_is_the_one_asked_for(installed, module_file, wheel, target):
    """The wheel install is the repaired wheel; the sdist install a wheel built here."""
    (info,) = module_file.parent.glob("tessik_codec-*.dist-info")
    tags = [line.split(": ", 1)[1] for line in (info / "WHEEL").read_text().splitlines()
            if line.startswith("Tag: ")]
    python_abi = "-".join(wheel.name.removesuffix(".whl").split("-")[-3:-1])
    if installed.kind == "wheel":
        # One Tag line per platform tag of a compressed set.
        assert sorted(tags) == sorted(f"{python_abi}-{p}" for p in platform_tags(wheel))
    else:
        assert tags == [f"{python_abi}-linux_{target.machine}"]
