"""The long reliability run (./dev soak): 10,000 consecutive calls in one
process, mixing forward, limited and backward calls with every kind of
failure; missing voice data in a fresh process; several threads at once;
and the fuzz tests at 10,000 examples each; with the bundled build, the
full proof that every fragment sounds as in a fresh process
(tests/fresh_proof.py). Prints the figures: calls made,
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


def missing_voice_data(directory: Path):
    empty = directory / "empty-data"
    empty.mkdir()
    code = (
        "import os, vyn\n"
        "p = os.environ['SOAK_OUT']\n"
        "for _ in range(100):\n"
        "    try: vyn.synthesize_multiple(p, 0, 0, [('en', 'Hello.')])\n"
        "    except ValueError as e: assert str(e) == %r\n"
        "    else: raise SystemExit('succeeded without voice data')\n"
        "del os.environ['ESPEAK_DATA_PATH']\n"
        "print(vyn.synthesize_multiple(p, 0, 0, [('en', 'Hello.')])[1])\n"
    ) % SYNTHESIS_ERROR
    result = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True,
        timeout=300, env={**os.environ, "ESPEAK_DATA_PATH": str(empty),
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
        print(f"missing voice data (fresh process): "
              f"{missing_voice_data(directory)} calls")
        print(f"threads: {threads(directory)} calls from 4 threads, correct")

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
