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


def listed(kind: str):
    """Codes from the command line's voice list: column 2 (languages) or 5
    (files: variants, MBROLA voices)."""
    out = subprocess.run([PROGRAM, f"--voices={kind}" if kind else "--voices"],
                         check=True, capture_output=True, text=True).stdout
    return [line.split() for line in out.splitlines()[1:] if line.split()]


def voices():
    languages = sorted({row[1] for row in listed("")})
    variants = ["en+" + row[4].split("/")[-1] for row in listed("variant")]
    mbrola = [row[3] for row in listed("mb")
              if Path("/usr/share/mbrola", row[3][3:]).exists()]
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
    languages, variants, mbrola = voices()
    with tempfile.TemporaryDirectory(prefix="vyn-fresh-") as name:
        directory = Path(name)
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
