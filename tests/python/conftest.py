"""Shared helpers for the module's tests: the real eSpeak NG, real files,
and independent readers (Python's wave module, soxi) for what was written."""
import functools
import importlib.machinery
import importlib.util
import os
import shutil
import struct
import subprocess
import sys
import wave
from dataclasses import dataclass
from pathlib import Path

import pytest

PARSE_ERROR = "Error while parsing the arguments"
SYNTHESIS_ERROR = "Error while synthesizing multiple fragments"
HEADER_SIZE = 44


@dataclass
class WaveInfo:
    sample_rate: int
    channels: int
    sample_width: int
    frames: int
    riff_size: int  # header field at offset 4
    data_size: int  # header field at offset 40
    file_size: int

    @property
    def seconds(self) -> float:
        return self.frames / self.sample_rate


def read_wave(path) -> WaveInfo:
    """Reads a WAVE file with Python's wave module and checks its header
    sizes against the file's length."""
    raw = Path(path).read_bytes()
    riff_size, = struct.unpack_from("<I", raw, 4)
    data_size, = struct.unpack_from("<I", raw, 40)
    with wave.open(str(path), "rb") as reader:
        info = WaveInfo(reader.getframerate(), reader.getnchannels(),
                        reader.getsampwidth(), reader.getnframes(),
                        riff_size, data_size, len(raw))
    assert info.riff_size == info.file_size - 8
    assert info.data_size == info.file_size - HEADER_SIZE
    assert info.frames * info.channels * info.sample_width == info.data_size
    return info


def soxi(path, flag: str) -> str:
    return subprocess.run(["soxi", flag, str(path)], check=True,
                          capture_output=True, text=True).stdout.strip()


def run_python(code: str, timeout: float = 120, env=None, argv=()):
    """Runs code in a fresh interpreter: for what must start from a process
    that has never initialised the synthesizer, or might not survive."""
    return subprocess.run([sys.executable, "-c", code, *argv],
                          capture_output=True,
                          text=True, timeout=timeout,
                          env={**os.environ, **(env or {})})


def library_data() -> Path:
    """The data directory of the library vyn runs on: the bundled build's
    beside the module, else the command line's."""
    import vyn
    if vyn._bundled:
        return Path(vyn.__file__).resolve().parent / "vyn-data" / "espeak-ng-data"
    said = subprocess.run([espeak_ng(), "--version"], check=True,
                          capture_output=True, text=True).stdout
    return Path(said.split("Data at:")[1].strip())


MBROLA_DATA = Path("/usr/share/mbrola")


def mbrola(value, *databases):
    """A parameter that needs MBROLA voice data: skipped where it is not
    installed."""
    missing = [name for name in databases if not (MBROLA_DATA / name).exists()]
    return pytest.param(value, marks=pytest.mark.skipif(
        bool(missing) or shutil.which("mbrola") is None,
        reason=f"MBROLA or its data {missing} is not installed (Debian: "
               f"mbrola, mbrola-{'/'.join(databases)}, contrib/non-free)"))


def espeak_ng() -> str:
    """The espeak-ng program to compare with: the one built from the
    bundled library's sources where VYN_ESPEAK_NG names it, else the
    system's."""
    return os.environ.get("VYN_ESPEAK_NG") or "espeak-ng"


def espeak_version() -> tuple:
    """The version of the eSpeak NG library vyn runs against, e.g. (1, 51)
    or (1, 52, 0), as the module says: the bundled build has the library
    inside, and the system build the one the loader found."""
    import vyn
    return tuple(int(part) for part in vyn._library_version.split("."))


REPOSITORY = Path(__file__).resolve().parents[2]


def load_script(relative_path: str):
    """A helper script of the repository (its name need not end in .py),
    loaded as a module, for testing its functions as Python code."""
    path = str(REPOSITORY / relative_path)
    name = Path(path).stem.replace("-", "_")
    loader = importlib.machinery.SourceFileLoader(name, path)
    module = importlib.util.module_from_spec(
        importlib.util.spec_from_loader(name, loader))
    loader.exec_module(module)
    return module


def module_copy(directory: Path):
    """The environment of a fresh interpreter that imports a copy of the
    module from directory: the bundled build reads only the data installed
    beside its own file, so a copy can be given other data."""
    import vyn
    shutil.copy(Path(vyn.__file__).resolve(), directory)
    return {"PYTHONPATH": os.pathsep.join(
        filter(None, [str(directory), os.environ.get("PYTHONPATH")]))}


def with_voice_data(directory: Path, data: Path):
    """The environment of a fresh interpreter whose vyn reads the voice data
    in data: the system library follows ESPEAK_DATA_PATH, the bundled build
    a copy of the module with data beside it."""
    import vyn
    if not vyn._bundled:
        return {"ESPEAK_DATA_PATH": str(data)}
    home = directory / "module"
    (home / "vyn-data").mkdir(parents=True)
    (home / "vyn-data" / "espeak-ng-data").symlink_to(data)
    return module_copy(home)


def without_voice_data(directory: Path):
    """For a fresh interpreter that finds no voice data: the environment to
    start it with, and a statement that gives it the data back."""
    import vyn
    empty = directory / "no-voice-data"
    empty.mkdir()
    if not vyn._bundled:
        return ({"ESPEAK_DATA_PATH": str(empty)},
                'del os.environ["ESPEAK_DATA_PATH"]')
    data = Path(vyn.__file__).resolve().parent / "vyn-data"
    return (module_copy(empty),
            f"os.symlink({str(data)!r}, {str(empty / 'vyn-data')!r})")


class ListSubclass(list):
    """Accepted wherever a list is."""


class TupleSubclass(tuple):
    """Accepted wherever a tuple is."""


@pytest.fixture
def wav_path(tmp_path):
    return tmp_path / "out.wav"


@pytest.fixture(params=["vyn", "vyn_tools"])
def synthesize(request, monkeypatch):
    """vyn's function, and the vyn_tools layer's over two worker processes
    with every list of two fragments or more split into parts."""
    import vyn
    if request.param == "vyn":
        return vyn.synthesize_multiple
    import vyn_tools
    import vyn_tools._long_list
    monkeypatch.setattr(vyn_tools._long_list, "MIN_PART_CHARACTERS", 1)
    return functools.partial(vyn_tools.synthesize_multiple, workers=2)


@pytest.fixture(scope="module")
def dask_executor():
    """A real Dask cluster on this machine: two worker processes of one
    thread each, as a concurrent.futures executor. Closed after each module
    that uses it: its scheduler's thread in this process makes objects all
    the time, which the reference-count tests would see."""
    distributed = pytest.importorskip("distributed")
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1,
                                       processes=True, dashboard_address=":0")
    client = distributed.Client(cluster)
    yield client.get_executor()
    client.close()
    cluster.close()


def library_patched() -> bool:
    """The module runs against the bundled eSpeak NG with vyn's patches:
    every fragment as in a fresh process, no known text aborts."""
    import vyn
    return vyn._patched
