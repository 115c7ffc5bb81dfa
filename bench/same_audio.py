#!/usr/bin/env python3
"""Whether two floors write the same bytes on every list of the benchmark:
the bundled eSpeak NG built with its profile against the same sources built
without (both built by `./dev bench --bundled`). Prints a line per list and
exits with 1 when any file differs.

    python bench/same_audio.py [FLOOR FLOOR]
"""
import hashlib
import subprocess
import sys
import tempfile
from pathlib import Path

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
sys.path.insert(0, str(BENCH))

import workloads  # noqa: E402

FLOORS = [ROOT / "build" / "bench-bundled" / "bench" / "vyn_floor",
          ROOT / "build" / "bench-bundled-unprofiled" / "bench" / "vyn_floor"]


def lists():
    sentences = workloads.gpl3_sentences()
    three_words = workloads.gpl3_three_words(1000)
    mixed, _ = workloads.multilingual(20)
    return {"sentences": sentences, "three-word fragments": three_words,
            "multilingual, 20 rounds": mixed,
            "sentences with settings": workloads.with_settings(sentences)}


def written(floor, fragments_file, output):
    subprocess.run([str(floor), "write", str(fragments_file), "--output",
                    str(output)], check=True, capture_output=True)
    return (hashlib.sha256(output.read_bytes()).hexdigest(),
            output.stat().st_size)


def main():
    floors = [Path(f) for f in sys.argv[1:3]] if len(sys.argv) == 3 \
        else FLOORS
    same = True
    with tempfile.TemporaryDirectory(prefix="vyn-same-") as work:
        work = Path(work)
        for name, fragments in lists().items():
            path = work / "list.txt"
            workloads.write_fragments(path, fragments)
            results = [written(floor, path, work / f"{i}.wav")
                       for i, floor in enumerate(floors)]
            equal = results[0] == results[1]
            same = same and equal
            print(f"{name} ({len(fragments)} fragments, "
                  f"{results[0][1]:,} bytes): "
                  f"{'identical' if equal else 'DIFFERENT'}")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
