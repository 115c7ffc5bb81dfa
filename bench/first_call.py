#!/usr/bin/env python3
"""The cost of a fresh process's import and first one-fragment call, for
each interpreter given (e.g. the system build's and the bundled build's
venvs): the median of RUNS fresh processes, run interleaved.

    python bench/first_call.py [--runs N] PYTHON...
"""
import argparse
import statistics
import subprocess
import tempfile

CHILD = """
import sys, time
began = time.perf_counter()
import vyn
vyn.synthesize_multiple(sys.argv[1], 0.0, 0, [("en", "Hello.")])
print(time.perf_counter() - began)
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--runs", type=int, default=30)
    parser.add_argument("pythons", nargs="+")
    options = parser.parse_args()
    seconds = {python: [] for python in options.pythons}
    with tempfile.TemporaryDirectory(dir="/dev/shm") as work:
        for _ in range(options.runs):
            for python in options.pythons:
                out = subprocess.run([python, "-c", CHILD, work + "/first.wav"],
                                     check=True, capture_output=True, text=True)
                seconds[python].append(float(out.stdout))
    base = statistics.median(seconds[options.pythons[0]])
    for python, values in seconds.items():
        median = statistics.median(values)
        print(f"{median * 1e3:8.2f} ms  ({(median - base) * 1e3:+.2f} ms)  {python}")


if __name__ == "__main__":
    main()
