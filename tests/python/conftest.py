"""Shared helpers for the module's tests: the real eSpeak NG, real files,
and independent readers (Python's wave module, soxi) for what was written."""
import ctypes
import functools
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


def run_python(code: str, timeout: float = 120, env=None):
    """Runs code in a fresh interpreter: for what must start from a process
    that has never initialised the synthesizer, or might not survive."""
    return subprocess.run([sys.executable, "-c", code], capture_output=True,
                          text=True, timeout=timeout,
                          env={**os.environ, **(env or {})})


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


@functools.lru_cache(maxsize=None)
def espeak_version() -> tuple:
    """The version of the eSpeak NG library vyn actually loaded, e.g.
    (1, 51) or (1, 52, 0): read from the mapping in this process, not from
    the distribution."""
    import vyn  # noqa: F401  (maps the library it links against)
    maps = Path("/proc/self/maps").read_text().split("\n")
    path = next(line.split()[-1] for line in maps
                if "/libespeak-ng.so" in line)
    info = ctypes.CDLL(path).espeak_Info
    info.restype = ctypes.c_char_p
    return tuple(int(part) for part in
                 info(None).decode().split()[0].split("."))


class ListSubclass(list):
    """Accepted wherever a list is."""


class TupleSubclass(tuple):
    """Accepted wherever a tuple is."""


@pytest.fixture
def wav_path(tmp_path):
    return tmp_path / "out.wav"


def library_patched() -> bool:
    """The module runs against the bundled eSpeak NG with vyn's patches:
    every fragment as in a fresh process, no known text aborts."""
    import vyn
    return getattr(vyn, "_patched", False)
