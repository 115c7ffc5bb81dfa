"""The full proof that, with the bundled eSpeak NG and vyn's patches, every
fragment's samples are those of `espeak-ng -D -v VOICE -w` of that fragment
alone in a fresh process (the command line built from the same sources,
$VYN_ESPEAK_NG; -D seeds breathy noise as vyn's reset does): every language
and every variant in one call, then 1,000 fragments of 30 voices in random
order, then the installed MBROLA voices. Run by tests/soak.py on the bundled
build; prints the figures and fails on the first fragment that differs.

    python tests/fresh_proof.py [--fragments N] [--voices N] [--seed N]
"""
import argparse
import os
import random
import subprocess
import tempfile
import wave
from pathlib import Path

import vyn

NEUTRAL = "One two three, four five."
SENTENCES = {
    "en": "The weather was fine, so we walked to the river and back.",
    "de": "Guten Morgen, wie geht es dir?", "fr": "Bonjour à tous.",
    "es": "Hola, mundo.", "ru": "Привет, как дела?",
    "cs": "Dobrý den, jak se máte?", "bg": "Добър ден, как сте?",
    "cmn": "你好，世界。", "el": "Καλημέρα σας.", "vi": "Xin chào.",
}
MORE_TEXTS = ["interpret-as='characters' word", "12345 and 3.14, on 2024.",
              "Hello? Yes... (quite) \"so\"; well: fine."]
PROGRAM = os.environ.get("VYN_ESPEAK_NG", "espeak-ng")


def listed(kind: str, column: str = ""):
    """A column of the command line's voice list: the language (the second
    word), or the file, read at the header's positions (a variant's file
    name may hold a space)."""
    out = subprocess.run([PROGRAM, f"--voices={kind}" if kind else "--voices"],
                         check=True, capture_output=True, text=True).stdout
    header, *lines = [line for line in out.splitlines() if line.strip()]
    if not column:
        return [line.split()[1] for line in lines]
    names = header.split()
    start = header.index(column)
    end = header.index(names[names.index(column) + 1])
    return [line[start:end].strip() for line in lines]


def accepted(codes, directory: Path):
    """The codes vyn takes (it refuses some the command line lists: README,
    voice codes); says how many it refused."""
    taken = []
    for code in codes:
        try:
            vyn.synthesize_multiple(str(directory / "probe.wav"), 0, 0,
                                    [(code, "")])
            taken.append(code)
        except ValueError:
            print(f"  {code!r}: refused by vyn, left out")
    return taken


def voices(directory: Path):
    languages = accepted(sorted(set(listed(""))), directory)
    variants = accepted(["en+" + name.split("/", 1)[1]
                         for name in listed("variant", "File")], directory)
    mbrola = ["mb-" + name.split("-", 1)[1] for name in listed("mb", "File")
              if Path("/usr/share/mbrola", name.split("-", 1)[1]).exists()]
    return languages, variants, mbrola


class Oracle:
    def __init__(self, directory: Path):
        self.directory, self.cache = directory, {}

    def samples(self, voice: str, text: str) -> bytes:
        key = (voice, text)
        if key not in self.cache:
            path = self.directory / f"oracle{len(self.cache)}.wav"
            subprocess.run([PROGRAM, "-D", "-v", voice, "-w", str(path), text],
                           check=True, capture_output=True, timeout=120)
            with wave.open(str(path), "rb") as reader:
                self.cache[key] = reader.readframes(reader.getnframes())
            path.unlink()
        return self.cache[key]


def prove(name: str, fragments, oracle: Oracle, directory: Path) -> int:
    """One call; every fragment's samples against its fresh process."""
    path = directory / "proof.wav"
    vyn.synthesize_multiple(str(path), 0, 0, fragments)
    with wave.open(str(path), "rb") as reader:
        got = reader.readframes(reader.getnframes())
    offset = 0
    for index, fragment in enumerate(fragments):
        expected = oracle.samples(*fragment)
        if got[offset:offset + len(expected)] != expected:
            raise SystemExit(f"{name}: fragment {index} {fragment} differs "
                             f"from its fresh process")
        offset += len(expected)
    if offset != len(got):
        raise SystemExit(f"{name}: {len(got) - offset} bytes more than the "
                         f"fragments' fresh processes")
    print(f"{name}: {len(fragments)} of {len(fragments)} fragments "
          f"byte-identical to their fresh processes")
    return len(fragments)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--fragments", type=int, default=1000)
    parser.add_argument("--voices", type=int, default=30)
    parser.add_argument("--seed", type=int, default=19)
    options = parser.parse_args()
    if not getattr(vyn, "_patched", False):
        raise SystemExit("fresh proof: needs the bundled build")
    rng = random.Random(options.seed)
    with tempfile.TemporaryDirectory(prefix="vyn-fresh-") as name:
        directory = Path(name)
        languages, variants, mbrola = voices(directory)
        oracle = Oracle(directory)
        every = [(code, SENTENCES.get(code.split("-")[0], NEUTRAL))
                 for code in languages] + [(code, NEUTRAL) for code in variants]
        rng.shuffle(every)
        prove(f"every language ({len(languages)}) and variant "
              f"({len(variants)})", every, oracle, directory)
        chosen = rng.sample(languages + variants, options.voices)
        texts = [NEUTRAL] + MORE_TEXTS
        mixed = [(code, rng.choice(texts + [SENTENCES.get(code, NEUTRAL)]))
                 for code in rng.choices(chosen, k=options.fragments)]
        prove(f"{options.fragments} fragments of {options.voices} voices in "
              f"random order", mixed, oracle, directory)
        for code in mbrola:
            prove(f"MBROLA {code}", [(code, rng.choice(texts))
                                     for _ in range(20)], oracle, directory)


if __name__ == "__main__":
    main()
