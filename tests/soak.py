"""The long reliability run (./dev soak): 10,000 consecutive calls in one
process, mixing forward, limited and backward calls with every kind of
failure; 5,000 distinct voice codes over a process's life and 700 in one
call; missing voice data in a fresh process; several threads at once;
a stream and a file past WAVE's 4 GiB; and the fuzz tests at 10,000
examples each; with the bundled build, the full proof that every fragment
sounds as in a fresh process (tests/fresh_proof.py). Prints the figures:
calls made,
outcomes, time, and RSS growth (skipped under AddressSanitizer, whose
allocator makes it meaningless).

    python tests/soak.py [--calls N] [--no-fuzz]
"""
import argparse
import os
import subprocess
import sys
import tempfile
import threading
import time
import wave
from collections import Counter
from pathlib import Path

import vyn

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "python"))
from conftest import espeak_ng, library_data, without_voice_data  # noqa: E402
PARSE_ERROR = "Error while parsing the arguments"
SYNTHESIS_ERROR = "Error while synthesizing multiple fragments"

SENTENCES = [
    ("en", "The quick brown fox jumps over the lazy dog."),
    ("de", "Guten Morgen, wie geht es dir?"),
    ("fr", "Bonjour à tous."),
    ("ru", "Привет, как дела?"),
    ("en", "Short."),
    ("es", "Hola, mundo."),
]


def sanitized() -> bool:
    return "libasan" in os.environ.get("LD_PRELOAD", "")


def rss_kib() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS")


def mixed_calls(directory: Path):
    """The kinds of call, each (name, arguments, expected outcome)."""
    out = str(directory / "out.wav")
    return [
        ("forward", (out, 0, 0, SENTENCES), "ok"),
        ("limit", (out, 2.0, 0, SENTENCES), "ok"),
        ("backward", (out, 2.0, 1, SENTENCES), "ok"),
        ("empty", (out, 0, 0, []), "ok"),
        ("unknown-voice", (out, 0, 0, SENTENCES[:2] + [("xx-none", "a")]),
         SYNTHESIS_ERROR),
        ("unknown-voice-backward", (out, 100, 1, [("xx-none", "a")]
                                    + SENTENCES[:2]), SYNTHESIS_ERROR),
        ("missing-directory", (str(directory / "missing" / "o.wav"), 0, 0,
                               SENTENCES[:1]), SYNTHESIS_ERROR),
        ("directory", (str(directory), 0, 0, SENTENCES[:1]), SYNTHESIS_ERROR),
        ("dev-full", ("/dev/full", 0, 0, SENTENCES[:1]), SYNTHESIS_ERROR),
        ("bad-item", (out, 0, 0, SENTENCES[:2] + [("en", 3)]), PARSE_ERROR),
        ("embedded-nul", (out, 0, 0, [("en", "a\0b")]), PARSE_ERROR),
        ("not-a-list", (out, 0, 0, tuple(SENTENCES)), PARSE_ERROR),
        ("bad-arity", (out, 0, 0), PARSE_ERROR),
    ]


def call(args):
    try:
        result = vyn.synthesize_multiple(*args)
    except ValueError as error:
        return str(error), None
    return "ok", result


def check_file(path, result):
    with wave.open(path, "rb") as reader:
        seconds = reader.getnframes() / reader.getframerate()
    end = result[2][-1][1] if result[2] else 0.0
    assert abs(seconds - end) < 1e-3, (path, seconds, end)


def soak_calls(directory: Path, total: int):
    kinds = mixed_calls(directory)
    if not os.path.exists("/dev/full"):
        kinds = [kind for kind in kinds if kind[0] != "dev-full"]
    outcomes = Counter()
    warm_up = min(500, total // 10)
    started = time.perf_counter()
    rss_start = None
    for index in range(total):
        if index == warm_up:
            rss_start = rss_kib()
        name, args, expected = kinds[index % len(kinds)]
        outcome, result = call(args)
        if outcome != expected:
            raise AssertionError(f"call {index} ({name}): {outcome}")
        if result is not None and index % 97 == 0:
            check_file(args[0], result)
        outcomes[name] += 1
    elapsed = time.perf_counter() - started
    rss_end = rss_kib()
    return outcomes, elapsed, rss_start, rss_end


def distinct_codes(count: int):
    """Languages that speak alone (every one the command line speaks),
    each with every installed variant, the language changing fastest."""
    data = library_data()
    variants = sorted(path.name for path in (data / "voices" / "!v").iterdir())
    listing = subprocess.run([espeak_ng(), "--voices"], check=True,
                             capture_output=True,
                             text=True).stdout.splitlines()[1:]
    languages = [line.split()[1] for line in listing]
    languages = [language for language in languages
                 if call(("/dev/null", 0, 0, [(language, "a")]))[0] == "ok"]
    # Every language, and so every dictionary, within the first 1,000.
    codes = [f"{language}+{variant}" for variant in variants
             for language in languages]
    if len(codes) < count:
        raise SystemExit(f"only {len(codes)} distinct codes installed")
    return codes[:count]


def many_codes(directory: Path, lifetime: int = 5000, one_call: int = 700):
    """Every code a call checked stays until it ends: calls of ten codes,
    then one of 700, all unseen before."""
    codes = distinct_codes(lifetime + one_call)
    out = str(directory / "codes.wav")
    rss_start = None
    started = time.perf_counter()
    for first in range(0, lifetime, 10):
        if first == 1000:
            rss_start = rss_kib()
        batch = codes[first:first + 10]
        result = vyn.synthesize_multiple(out, 0, 0, [(c, "a") for c in batch])
        assert result[1] == len(batch), (first, result)
    batch = codes[lifetime:]
    result = vyn.synthesize_multiple(out, 0, 0, [(c, "a") for c in batch])
    assert result[1] == len(batch), result
    return time.perf_counter() - started, rss_start, rss_kib()


def missing_voice_data(directory: Path):
    env, give_data_back = without_voice_data(directory)
    code = (
        "import os, vyn\n"
        "p = os.environ['SOAK_OUT']\n"
        "for _ in range(100):\n"
        "    try: vyn.synthesize_multiple(p, 0, 0, [('en', 'Hello.')])\n"
        "    except ValueError as e: assert str(e) == %r\n"
        "    else: raise SystemExit('succeeded without voice data')\n"
        "%s\n"
        "print(vyn.synthesize_multiple(p, 0, 0, [('en', 'Hello.')])[1])\n"
    ) % (SYNTHESIS_ERROR, give_data_back)
    result = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True,
        timeout=300, env={**os.environ, **env,
                          "SOAK_OUT": str(directory / "data.wav")})
    assert result.returncode == 0 and result.stdout.strip() == "1", result
    return 101


def threads(directory: Path, count: int = 4, rounds: int = 100):
    errors = []

    def worker(index):
        for round_ in range(rounds):
            path = str(directory / f"thread-{index}.wav")
            fragments = SENTENCES[index:] + SENTENCES[:index]
            outcome, result = call((path, 0, 0, fragments))
            if outcome != "ok" or result[1] != len(fragments):
                errors.append((index, round_, outcome))
                return
            check_file(path, result)

    workers = [threading.Thread(target=worker, args=(index,))
               for index in range(count)]
    for thread in workers:
        thread.start()
    for thread in workers:
        thread.join(timeout=600)
    assert not any(thread.is_alive() for thread in workers), "a thread hung"
    assert not errors, errors
    return count * rounds


def past_4_gib(directory: Path, fragments: int = 250_000):
    """Over 2^31 samples (about 27 hours at 22,050 Hz): a stream takes them
    all, with exact anchors; a regular file fails at WAVE's 4 GiB, saying
    so, and is a valid WAVE file of what fitted."""
    fragments = [("en", "a")] * fragments
    rate, count, anchors = vyn.synthesize_multiple(os.devnull, 0, 0, fragments)
    assert count == len(fragments), count
    assert anchors[-1][1] * rate > 2**31, anchors[-1]
    path = directory / "4gib.wav"
    try:
        vyn.synthesize_multiple(str(path), 0, 0, fragments)
    except ValueError as error:
        notes = getattr(error, "__notes__", [])
        assert str(error) == SYNTHESIS_ERROR and "4 GiB" in notes[0], notes
    else:
        raise AssertionError("a regular file took more than 4 GiB")
    with wave.open(str(path), "rb") as reader:
        frames = reader.getnframes()
    assert path.stat().st_size == 44 + 2 * frames < 2**32
    path.unlink()
    return anchors[-1][1], frames


def fuzz():
    started = time.perf_counter()
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
         "--hypothesis-show-statistics", str(HERE / "python" / "test_fuzz.py")],
        env={**os.environ, "VYN_FUZZ_PROFILE": "soak"}, cwd=HERE.parent,
        capture_output=True, text=True)
    tail = [line for line in result.stdout.splitlines()
            if "::" in line or " passed" in line or " failed" in line
            or "passing," in line or "returned" in line]
    return result.returncode, time.perf_counter() - started, tail


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=10_000)
    parser.add_argument("--no-fuzz", action="store_true")
    options = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="vyn-soak-") as name:
        directory = Path(name)
        outcomes, elapsed, rss_start, rss_end = soak_calls(directory,
                                                           options.calls)
        print(f"calls: {sum(outcomes.values())} in {elapsed:.1f} s "
              f"({elapsed / sum(outcomes.values()) * 1000:.2f} ms each)")
        for kind, count in sorted(outcomes.items()):
            print(f"  {kind:24} {count}")
        if sanitized():
            print("RSS growth: skipped under AddressSanitizer")
        else:
            growth = rss_end - rss_start
            print(f"RSS growth after warm-up: {growth} KiB "
                  f"({rss_start} -> {rss_end} KiB; target < 1024 KiB)")
        seconds, rss_start, rss_end = many_codes(directory)
        print(f"distinct voice codes: 5000 in calls of 10, then 700 in one "
              f"call, all spoken, in {seconds:.1f} s")
        if not sanitized():
            print(f"  RSS growth after the first 1,000 codes: "
                  f"{rss_end - rss_start} KiB ({rss_start} -> {rss_end} KiB; "
                  f"target < 1024 KiB)")
        print(f"missing voice data (fresh process): "
              f"{missing_voice_data(directory)} calls")
        print(f"threads: {threads(directory)} calls from 4 threads, correct")
        seconds, frames = past_4_gib(directory)
        print(f"past 4 GiB: {seconds:.0f} s into {os.devnull}; a regular "
              f"file stopped at {frames} samples, with the note")

    if not options.no_fuzz:
        code, seconds, tail = fuzz()
        print(f"fuzz (10,000 examples per property) in {seconds:.0f} s:")
        for line in tail:
            print("  " + line.strip())
        if code != 0:
            raise SystemExit("fuzz failed")
    if getattr(vyn, "_patched", False):
        subprocess.run([sys.executable, str(HERE / "fresh_proof.py")],
                       check=True)
    print("soak: no hang, no failure")


if __name__ == "__main__":
    main()
