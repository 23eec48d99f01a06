"""The wheels `make wheels` leaves in dist/, as users receive them: the Linux
wheel installed into a fresh virtual environment and used through its
`tagtool` command from another folder; the Windows wheel holding the same
files around the cross-built module, which loads under wine."""

import email.parser
import importlib.util
import io
import os
import shutil
import subprocess
import sys
import venv
import zipfile
from pathlib import Path

import pytest

from tagtool.cli import VERSION

ROOT = Path(__file__).resolve().parents[1]
DIST = ROOT / "dist"
EXAMPLE = ROOT / "examples" / "network.inp"
LOADTEST = ROOT / "build-win" / "loadtest"

spec = importlib.util.spec_from_file_location("winwheel", ROOT / "win" / "winwheel.py")
winwheel = importlib.util.module_from_spec(spec)
spec.loader.exec_module(winwheel)
record_faults = winwheel.record_faults

NAME = f"orvane-{VERSION}"
MODULE_SO = "api/orvane.cpython-312-x86_64-linux-gnu.so"
MODULE_PYD = "api/orvane.cp312-win_amd64.pyd"


def built(pattern):
    found = sorted(DIST.glob(pattern))
    if len(found) != 1:
        pytest.skip(f"no {pattern} in dist/ (make wheels builds the wheels)")
    return found[0]


@pytest.fixture(scope="module")
def linux():
    return built(f"{NAME}-cp312-cp312-*manylinux_2_17_x86_64*.whl")


@pytest.fixture(scope="module")
def windows():
    return built(f"{NAME}-cp312-cp312-win_amd64.whl")


def contents(path):
    with zipfile.ZipFile(path) as wheel:
        return {name: wheel.read(name) for name in wheel.namelist() if not name.endswith("/")}


def wheel_tags(files):
    wheel = email.parser.Parser().parsestr(files[f"{NAME}.dist-info/WHEEL"].decode())
    return wheel.get_all("Tag"), wheel["Root-Is-Purelib"]


def test_linux_wheel_needs_libc_alone(linux):
    from elftools.elf.dynamic import DynamicSection
    from elftools.elf.elffile import ELFFile

    files = contents(linux)
    assert record_faults(linux) == []
    assert wheel_tags(files) == (["cp312-cp312-manylinux_2_17_x86_64",
                                  "cp312-cp312-manylinux2014_x86_64"], "false")
    # Nothing bundled: no library folder beside the packages, and the module
    # needs libc and nothing else.
    assert sorted({name.split("/")[0] for name in files}) == ["api", f"{NAME}.dist-info", "tagtool"]
    elf = ELFFile(io.BytesIO(files[MODULE_SO]))
    needed = [tag.needed for section in elf.iter_sections() if isinstance(section, DynamicSection)
              for tag in section.iter_tags() if tag.entry.d_tag == "DT_NEEDED"]
    assert needed == ["libc.so.6"]
    # The sdist holds the sources, no built module.
    sdist = built(f"{NAME}.tar.gz")
    names = subprocess.run(["tar", "tzf", sdist], capture_output=True, text=True,
                           check=True).stdout.split()
    assert f"{NAME}/pyproject.toml" in names and f"{NAME}/src/module.cpp" in names
    assert not [n for n in names if n.endswith((".so", ".pyd"))]


def test_windows_wheel_is_the_linux_one_around_the_pyd(linux, windows):
    lin, win = contents(linux), contents(windows)
    assert record_faults(windows) == []
    assert wheel_tags(win) == (["cp312-cp312-win_amd64"], "false")
    assert sorted(win) == sorted(set(lin) - {MODULE_SO} | {MODULE_PYD})
    same = set(lin) - {MODULE_SO, f"{NAME}.dist-info/WHEEL", f"{NAME}.dist-info/RECORD"}
    assert [name for name in sorted(same) if win[name] != lin[name]] == []
    assert b"tagtool = tagtool.cli:console_main" in win[f"{NAME}.dist-info/entry_points.txt"]


@pytest.fixture(scope="module")
def pyd(windows, tmp_path_factory):
    folder = tmp_path_factory.mktemp("pyd")
    with zipfile.ZipFile(windows) as wheel:
        (folder / "orvane.cp312-win_amd64.pyd").write_bytes(wheel.read(MODULE_PYD))
    return folder


def test_windows_module_needs_no_dll_beyond_windows_and_python(pyd):
    if not shutil.which("objdump"):
        pytest.skip("no objdump here to read the Windows module (make windows-deps installs wine "
                    "and binutils)")
    done = subprocess.run([sys.executable, ROOT / "win" / "check_pyd.py", "--objdump", "objdump",
                           pyd / "orvane.cp312-win_amd64.pyd"], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


def test_windows_module_loads_under_wine(pyd):
    if not shutil.which("wine") or not (LOADTEST / "loadtest.exe").exists():
        pytest.skip("no wine or no load test here (make windows-deps installs wine; make windows "
                    "builds the load test)")
    for name in ("loadtest.exe", "python312.dll"):
        shutil.copy(LOADTEST / name, pyd / name)
    env = dict(os.environ, WINEPREFIX=str(ROOT / "build-win" / "wineprefix"), WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
    done = subprocess.run(["wine", "loadtest.exe", "orvane.cp312-win_amd64.pyd"], cwd=pyd, env=env,
                          capture_output=True, text=True, timeout=300)
    subprocess.run(["wineserver", "-w"], env=env, timeout=60)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.startswith("load test passed: orvane.cp312-win_amd64.pyd loads")


def test_installed_wheel_session(linux, tmp_path):
    # A fresh environment of the interpreter the tests run on, the wheel
    # installed with its dependencies (the core's alone: no extra), and a
    # session in a folder with no sources in it, the networks in the user's
    # data folder.
    env_dir = tmp_path / "venv"
    venv.EnvBuilder(with_pip=True).create(env_dir)
    pip = subprocess.run([env_dir / "bin" / "python", "-m", "pip", "install", "-q",
                          "--disable-pip-version-check", linux], capture_output=True, text=True)
    assert pip.returncode == 0, pip.stderr
    work = tmp_path / "work"
    work.mkdir()
    shutil.copy(EXAMPLE, work / "model.inp")
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("ORVANE_", "PYTHON", "VIRTUAL_ENV"))}
    env["PATH"] = f"{env_dir / 'bin'}{os.pathsep}{env['PATH']}"
    env["XDG_DATA_HOME"] = str(tmp_path / "share")

    def tagtool(*argv):
        done = subprocess.run(["tagtool", *argv], cwd=work, env=env, capture_output=True,
                              text=True, timeout=120)
        return done.returncode, done.stdout, done.stderr

    assert tagtool("--version") == (0, f"tagtool {VERSION}\n", "")
    assert tagtool("create", "hillside") == (0, "created network hillside\n", "")
    assert tagtool("import", "hillside", "model.inp") == (0, "imported 7 tags into hillside\n", "")
    assert tagtool("-q", "set", "hillside", "NODE", "J1", "Uphill") == (0, "", "")
    assert tagtool("get", "hillside", "NODE", "J1") == (0, "Uphill\n", "")
    assert tagtool("undo", "hillside") == (0, "undone: NODE J1: tag 'Pumped'\n", "")
    assert tagtool("export", "hillside", "--into", "model.inp")[0] == 0
    assert (work / "model.inp").read_bytes() == EXAMPLE.read_bytes()
    assert tagtool("import", "hillside", "missing.inp")[0] == 66
    assert "complete -o" in tagtool("--print-completion", "bash")[1]
    # A map needs the extra maps, which the core leaves out.
    assert tagtool("map", "hillside", "model.inp", "-o", "m.png") == (
        69, "", "tagtool: matplotlib is not installed (maps need it): pip install 'orvane[maps]'\n")
    # The module and the tool come from the environment, not from the clone.
    where = subprocess.run([env_dir / "bin" / "python", "-c",
                            "import api.orvane, tagtool; print(api.orvane.__file__, "
                            "tagtool.__file__)"], cwd=work, env=env, capture_output=True,
                           text=True)
    assert all(path.startswith(str(env_dir)) for path in where.stdout.split()), where
    assert (tmp_path / "share" / "orvane" / "hillside.db").is_file()
    assert not (work / "data").exists()
    extras = subprocess.run([env_dir / "bin" / "python", "-c", "import matplotlib"], cwd=work,
                            env=env, capture_output=True)
    assert extras.returncode == 1
