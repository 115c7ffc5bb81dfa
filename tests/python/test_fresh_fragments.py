"""With the bundled eSpeak NG and vyn's patches, every fragment sounds as
in a fresh process: its samples are those of `espeak-ng -D -v VOICE -w`
(the command line built from the same sources; -D seeds the noise of
breathy variants as vyn's reset does) of that fragment alone, whatever the
call or the process spoke before. The system library keeps its history
(README, known limits), so these run on the bundled build only."""
import json
import os
import random
import shutil
import subprocess
import sys
import wave
from pathlib import Path

import pytest

import vyn
from conftest import (SYNTHESIS_ERROR, espeak_ng, library_patched,
                      mbrola, run_python)

pytestmark = pytest.mark.skipif(not library_patched(), reason=(
    "the system eSpeak NG keeps state between fragments (README)"))

NEUTRAL = "One two three, four five."
# Voices whose history showed most (Czech, Bulgarian), breathy and Klatt
# variants, voices with their own speed, tone languages, texts that leave
# the most behind (characters spelled, numbers), numbers with decimal parts,
# robosoft2 (its intonation line sets the emphasis flags) before a voice
# whose files set no intonation.
SAMPLE = [
    ("en", "The weather was fine, so we walked to the river and back."),
    ("en", "interpret-as='characters' word"),
    ("cs", "Dobrý den, jak se máte?"), ("bg", "Добър ден, как сте?"),
    ("de", "Guten Morgen, wie geht es dir?"), ("ru", "Привет, как дела?"),
    ("fr", "Bonjour à tous."), ("be", NEUTRAL), ("jbo", NEUTRAL),
    ("cmn", "你好，世界。"), ("vi", "Xin chào."), ("en", "12345 and 3.14"),
    ("ar", "1.5 01.1.1 2024 3.14159"), ("pl", "0,05 3,14 1,0001"),
    ("en+f3", NEUTRAL), ("en+whisper", NEUTRAL), ("en+klatt", NEUTRAL),
    ("en+Storm", NEUTRAL), ("en+croak", NEUTRAL),
    ("en+robosoft2", NEUTRAL), ("ti", NEUTRAL),
]
# Fragments with settings of their own (the ends of each range, sped up
# above 449) among them: each as the command line speaks it with the same
# options, and none leaves anything to the fragments after it.
SHAPED = SAMPLE + [
    ("en", NEUTRAL, {"rate": 80}), ("cs", "Dobrý den.", {"rate": 1000}),
    ("de", "Guten Morgen.", {"pitch": 0, "volume": 200}),
    ("ru", "Привет.", {"pitch": 99, "volume": 0}),
    ("en+f3", NEUTRAL, {"word_gap": 30, "rate": 449}),
    ("be", NEUTRAL, {"rate": 450, "pitch": 10}), ("fr", "Bonjour.", {}),
    # SSML, prosody left open among it: nothing of it reaches the next.
    ("en", "<speak><prosody rate='x-slow' pitch='x-high' volume='x-loud' "
           "range='x-high'>left <emphasis>open", {"ssml": True}),
    ("en", "<speak>One <break time='600ms'/> <say-as interpret-as="
           "'characters'>abc</say-as> <voice name='de'>drei</voice> <s "
           "xml:lang='fr'>quatre</s></speak>", {"ssml": True, "rate": 250}),
    ("en", "<speak><prosody rate='x-slow'>not SSML</prosody></speak>"),
]
OPTIONS = {"rate": "-s", "pitch": "-p", "volume": "-a", "word_gap": "-g"}


def oracle_samples(directory: Path, voice: str, text: str,
                   settings=None) -> bytes:
    settings = settings or {}
    key = json.dumps([voice, text, settings])
    path = directory / f"oracle{abs(hash(key))}.wav"
    options = [part for name, value in settings.items()
               for part in (["-m"] if name == "ssml" else
                            [OPTIONS[name], str(value)])]
    if not path.exists():
        subprocess.run([espeak_ng(), "-D", "-v", voice, *options, "-w",
                        str(path), text], check=True, capture_output=True,
                       timeout=60)
    with wave.open(str(path), "rb") as reader:
        return reader.readframes(reader.getnframes())


def file_samples(path) -> bytes:
    with wave.open(str(path), "rb") as reader:
        return reader.readframes(reader.getnframes())


CALLS_IN_CHILD = """
import json, sys, vyn
for path, fragments in json.loads(sys.argv[1]):
    vyn.synthesize_multiple(path, 0, 0, [tuple(f) for f in fragments])
"""


@pytest.mark.parametrize("fragments", [
    SAMPLE, SHAPED,
    pytest.param([("mb-us1", "Hello my friend."), ("mb-us1", NEUTRAL),
                  ("mb-us1", "Hello my friend.", {"rate": 300, "pitch": 90}),
                  ("mb-us1", "Hello my friend.")], marks=mbrola(0, "us1").marks),
], ids=["standard", "settings", "mbrola"])
def test_each_fragment_as_in_a_fresh_process(tmp_path, fragments):
    """The list in three orders, in a fresh interpreter and in this one
    (after whatever the suite spoke): each file is the fragments' fresh
    samples one after the other."""
    orders = [list(fragments), list(reversed(fragments)),
              random.Random(7).sample(fragments, len(fragments))]
    calls = [(str(tmp_path / f"child{i}.wav"), order)
             for i, order in enumerate(orders)]
    done = subprocess.run([sys.executable, "-c", CALLS_IN_CHILD,
                           json.dumps(calls)], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    for i, order in enumerate(orders):
        vyn.synthesize_multiple(str(tmp_path / f"here{i}.wav"), 0, 0, order)
    for i, order in enumerate(orders):
        expected = b"".join(oracle_samples(tmp_path, *f) for f in order)
        assert file_samples(tmp_path / f"child{i}.wav") == expected
        assert file_samples(tmp_path / f"here{i}.wav") == expected


def test_a_damaged_dictionary_fails_the_voice(tmp_path):
    """A copy of the module beside a copy of its data whose German
    dictionary is not one: German fails (the library alone would speak
    silence), English is spoken."""
    module = Path(vyn.__file__).resolve()
    shutil.copy(module, tmp_path / module.name)
    data = tmp_path / "vyn-data" / "espeak-ng-data"
    shutil.copytree(module.parent / "vyn-data" / "espeak-ng-data", data,
                    copy_function=os.symlink)
    (data / "de_dict").unlink()
    (data / "de_dict").write_bytes(bytes(range(256)) * 64)
    code = f"""
import sys; sys.path.insert(0, {str(tmp_path)!r})
import vyn
for voice in ["de", "en"]:
    try:
        print(vyn.synthesize_multiple({str(tmp_path / 'out.wav')!r}, 0, 0,
                                      [(voice, "Hallo")])[1])
    except ValueError as error:
        print(error)
"""
    done = run_python(code)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [SYNTHESIS_ERROR, "1"]


@pytest.mark.parametrize("code", [mbrola("mb-us1", "us1")])
def test_mbrola_starts_without_forking_the_host(tmp_path, code):
    """The host's fork handlers never run: mbrola is spawned, not forked."""
    done = run_python(f"""
import os, vyn
forks = []
os.register_at_fork(before=lambda: forks.append(1))
vyn.synthesize_multiple({str(tmp_path / 'out.wav')!r}, 0, 0,
                        [({code!r}, "one two three")] * 3)
print(len(forks))
""")
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["0"]
