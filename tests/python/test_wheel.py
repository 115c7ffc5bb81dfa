"""`pip wheel .` from the tracked sources gives a wheel that installs into a
fresh virtual environment and synthesizes there, stub included."""
import ast
import shutil
import subprocess
import sys
import venv
import zipfile
from pathlib import Path

import pytest

from conftest import read_wave

ROOT = Path(__file__).resolve().parents[2]


@pytest.fixture(scope="module")
def wheel(tmp_path_factory) -> Path:
    # A copy of the tracked files: the build cannot lean on anything left
    # in the work tree, and its build directory is its own.
    source = tmp_path_factory.mktemp("source")
    tracked = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, check=True,
                             capture_output=True).stdout.decode().split("\0")
    for name in filter(None, tracked):
        if (ROOT / name).is_file():
            (source / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(ROOT / name, source / name)
    out = tmp_path_factory.mktemp("wheels")
    completed = subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--no-deps", "-q", "-w",
         str(out), str(source)], capture_output=True, text=True, timeout=900)
    assert completed.returncode == 0, completed.stdout + completed.stderr
    wheels = list(out.glob("vyn-*.whl"))
    assert len(wheels) == 1
    return wheels[0]


@pytest.fixture(scope="module")
def fresh_python(wheel, tmp_path_factory) -> Path:
    environment = tmp_path_factory.mktemp("venv")
    venv.EnvBuilder(with_pip=True).create(environment)
    python = environment / "bin" / "python"
    subprocess.run([str(python), "-m", "pip", "install", "-q", "--no-index",
                    str(wheel)], check=True, timeout=300)
    return python


def test_wheel_holds_the_module_the_stub_and_the_license(wheel):
    # One module on the stable ABI, for every CPython from 3.9 on.
    assert "-cp39-abi3-" in wheel.name
    names = zipfile.ZipFile(wheel).namelist()
    assert [n for n in names if n.startswith("vyn.")] == ["vyn.abi3.so"]
    assert "vyn-stubs/__init__.pyi" in names
    assert any(n.endswith(".dist-info/licenses/LICENSE") for n in names)
    metadata = zipfile.ZipFile(wheel).read(
        next(n for n in names if n.endswith(".dist-info/METADATA"))).decode()
    assert ("GPL-3.0-or-later AND LGPL-2.1-or-later AND Apache-2.0"
            in metadata)
    # Nothing to install with it: every dependency belongs to an extra.
    assert [line for line in metadata.splitlines()
            if line.startswith("Requires-Dist:") and "extra ==" not in line] == []


def test_installed_wheel_synthesizes_in_a_fresh_environment(fresh_python,
                                                            tmp_path):
    output = tmp_path / "fresh.wav"
    completed = subprocess.run(
        [str(fresh_python), "-c",
         "import sys, vyn; print(vyn.synthesize_multiple(sys.argv[1], 0.0, "
         "0, [('en', 'Installed.'), ('de', 'Installiert.')]))", str(output)],
        capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert completed.returncode == 0, completed.stderr
    sample_rate, synthesized, anchors = ast.literal_eval(completed.stdout)
    assert (sample_rate, synthesized) == (22050, 2)
    assert anchors[-1][1] == pytest.approx(read_wave(output).seconds,
                                           abs=1e-5)
    stub = subprocess.run(
        [str(fresh_python), "-c", "import importlib.util as u; "
         "print(u.find_spec('vyn-stubs').submodule_search_locations[0])"],
        capture_output=True, text=True, check=True).stdout.strip()
    assert (Path(stub) / "__init__.pyi").read_text() == (
        ROOT / "vyn.pyi").read_text()
