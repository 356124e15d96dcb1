"""Installs of the built wheel and sdist into fresh environments of one interpreter.

Run by tools/run-tests with the host's tool venv (tools/tool-venv), once per
interpreter: pytest tests_install --interpreter PYTHON --dist DIST. Each
install lives in a fresh temporary folder: a venv where the interpreter can
make one that runs, otherwise a --target folder filled by the interpreter's own
pip (a venv of a launcher-run interpreter from tools/provision-python holds
the bare binary, which cannot find its glibc).

The wheel is the one for the interpreter's processor (an arm64 interpreter from
tools/provision-python --arch arm64 runs under qemu-user and takes the aarch64
wheel); such an emulated interpreter skips the sdist install, which would need
a native arm64 compiler.
"""

import os
import re
import shutil
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[1]


def pytest_addoption(parser):
    parser.addoption("--interpreter", required=True, help="the Python to install into")
    parser.addoption("--dist", required=True, help="folder with the sdist and the repaired wheels")


def run(cmd, **kw):
    return subprocess.run([str(c) for c in cmd], capture_output=True, text=True, **kw)


def clean_env(**extra):
    """The environment without anything that would find the source tree or a build of it."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "PYTHONHOME", "PYTHONSTARTUP", "PYTHONUSERBASE")}
    env["PYTHONNOUSERSITE"] = "1"
    env.update(extra)
    return env


@dataclass
class Install:
    """One fresh environment holding tessik_codec."""

    root: Path
    kind: str             # "wheel" or "sdist"
    python: str           # the interpreter to run code with
    target: Path | None   # the --target folder, when no venv was made
    how: str              # "venv" or "--target"

    def env(self):
        return clean_env(**({"PYTHONPATH": str(self.target)} if self.target else {}))

    def run(self, code, *args, **kw):
        return run([self.python, "-c", code, *args], cwd=self.root, env=self.env(), **kw)

    def pip_install(self, *args):
        cmd = [self.python, "-m", "pip", "install", "--disable-pip-version-check"]
        if self.target:
            cmd += ["--target", self.target]
        r = run(cmd + list(args), cwd=self.root, env=self.env())
        assert r.returncode == 0, r.stdout + r.stderr
        return r


@pytest.fixture(scope="session")
def interpreter(request):
    return request.config.getoption("--interpreter")


@pytest.fixture(scope="session")
def version(interpreter):
    r = run([interpreter, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"])
    assert r.returncode == 0, r.stderr
    return r.stdout.strip()


@dataclass
class Target:
    """The processor the interpreter runs as, and the emulator running it, if any."""

    machine: str          # platform.machine() inside the interpreter: x86_64, aarch64
    emulator: str         # TESSIK_EMULATOR as the interpreter sees it ("" on real hardware)


@pytest.fixture(scope="session")
def target(interpreter):
    r = run([interpreter, "-c",
             "import os, platform; print(platform.machine()); print(os.environ.get('TESSIK_EMULATOR', ''))"])
    assert r.returncode == 0, r.stderr
    machine, emulator = (r.stdout.splitlines() + [""])[:2]
    return Target(machine, emulator)


@pytest.fixture(scope="session")
def dist(request):
    return Path(request.config.getoption("--dist")).resolve()


def platform_tags(wheel):
    """The wheel's platform tags: its name's last field, split at dots when compressed."""
    return wheel.name.removesuffix(".whl").split("-")[-1].split(".")


@pytest.fixture(scope="session")
def wheel(dist, version, target):
    tag = "cp" + version.replace(".", "")
    found = sorted(w for w in dist.glob(f"tessik_codec-*-{tag}-{tag}-*.whl")
                   if all(t.endswith("_" + target.machine) for t in platform_tags(w)))
    assert len(found) == 1, f"expected one {tag} {target.machine} wheel in {dist}, found {found}"
    return found[0]


@pytest.fixture(scope="session")
def sdist(dist):
    found = sorted(dist.glob("tessik_codec-*.tar.gz"))
    assert len(found) == 1, f"expected one sdist in {dist}, found {found}"
    return found[0]


def starts(python):
    """Runs `python -c pass`; a binary for another processor cannot even be executed."""
    try:
        return run([python, "-c", "pass"])
    except OSError as exc:
        return subprocess.CompletedProcess([python], 126, "", f"{python}: {exc.strerror}")


def fresh_environment(kind, interpreter, root, report):
    venv = root / "venv"
    python = venv / "bin" / "python"
    made = run([interpreter, "-m", "venv", venv])
    works = starts(python) if made.returncode == 0 else None
    if works is not None and works.returncode == 0:
        return Install(root, kind, str(python), None, "venv")
    if works is None:
        # Say why: no ensurepip, or (as with a launcher-run interpreter) a venv whose python
        # cannot start at all.
        shutil.rmtree(venv, ignore_errors=True)
        bare = run([interpreter, "-m", "venv", "--without-pip", venv])
        works = starts(python) if bare.returncode == 0 else bare
    why = (works.stderr.strip() or works.stdout.strip() or made.stdout.strip()).splitlines()[-1:]
    report(f"no working venv from {interpreter} ({' '.join(why)}); installing with --target")
    target = root / "target"
    target.mkdir()
    return Install(root, kind, interpreter, target, "--target")


@pytest.fixture(scope="module", params=["wheel", "sdist"])
def installed(request, interpreter, target, wheel, sdist, dist, tmp_path_factory):
    """A fresh environment with the wheel (from dist/ only) or the sdist (built there)."""
    if request.param == "sdist" and target.emulator:
        pytest.skip(f"the sdist needs a native {target.machine} C++ compiler to build, and under "
                    f"{os.path.basename(target.emulator)} CMake would find this machine's own")
    capture = request.config.pluginmanager.get_plugin("capturemanager")

    def report(text):
        with capture.global_and_fixture_disabled():
            print(f"\n[{request.param}] {text}", flush=True)

    inst = fresh_environment(request.param, interpreter, tmp_path_factory.mktemp(request.param), report)
    if request.param == "wheel":
        # No index: pip must take the wheel from dist/ and accept its platform tag here.
        inst.pip_install("--no-index", "--find-links", dist, "--only-binary", ":all:", "tessik_codec")
    else:
        settings = run([REPO / "tools" / "build-settings", interpreter]).stdout.split()
        # No cache: a wheel cached from an earlier sdist of the same name would be reused.
        r = inst.pip_install("--no-cache-dir", "--no-binary", "tessik_codec", *settings, sdist)
        assert re.search(r"Building wheel for tessik_codec|Created wheel for tessik_codec", r.stdout), r.stdout
    report(f"{request.param} installed into a fresh {inst.how} in {inst.root}")
    return inst
