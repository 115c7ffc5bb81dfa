#!/usr/bin/env python3
"""What a busy Python thread costs a call: 1000 three-word fragments on the
main thread, alone and beside a thread that spins in Python. The call runs
without the GIL and takes it back only to run signal handlers, about every
50 ms; each time it may wait for the spinning thread's switch interval.

    python bench/threads.py [--rounds N]

Needs vyn importable. Prints the median wall time of each and their ratio,
and how far the spinning thread got (it runs while the call synthesizes).
"""
import argparse
import os
import statistics
import sys
import tempfile
import threading
import time

import vyn

FRAGMENTS = [("en", "Three short words.")] * 1000


def timed_call(path, busy):
    spins, running = [0], True

    def spin():
        while running:
            spins[0] += 1

    spinner = threading.Thread(target=spin) if busy else None
    if spinner:
        spinner.start()
    start = time.perf_counter()
    vyn.synthesize_multiple(path, 0, 0, FRAGMENTS)
    seconds = time.perf_counter() - start
    running = False
    if spinner:
        spinner.join()
    return seconds, spins[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    rounds = parser.parse_args().rounds
    base = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    with tempfile.TemporaryDirectory(dir=base) as directory:
        path = os.path.join(directory, "out.wav")
        vyn.synthesize_multiple(path, 0, 0, FRAGMENTS[:1])
        alone, beside, spins = [], [], []
        for _ in range(rounds):  # interleaved, so load changes hit both
            alone.append(timed_call(path, busy=False)[0])
            seconds, count = timed_call(path, busy=True)
            beside.append(seconds)
            spins.append(count)
    a, b = statistics.median(alone), statistics.median(beside)
    print(f"1000 three-word fragments, median of {rounds}: alone "
          f"{a * 1000:,.0f} ms, beside a busy thread {b * 1000:,.0f} ms "
          f"({b / a:.3f}x); the busy thread spun "
          f"{statistics.median(spins):,.0f} times during the call "
          f"(switch interval {sys.getswitchinterval() * 1000:g} ms)")


if __name__ == "__main__":
    main()
