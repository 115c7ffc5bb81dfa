#!/usr/bin/env python3
"""What a busy Python thread costs a call: 1000 three-word fragments on the
main thread, alone, beside a thread that spins in Python, and beside a
process that spins (the same competition for a core, without the GIL). The
call runs without the GIL and takes it back only to run signal handlers,
about every 50 ms; each time it may wait for the spinning thread's switch
interval. What the thread costs beyond the process is that wait.

    python bench/threads.py [--rounds N]

Needs vyn importable. Prints the median wall time of each and the ratios,
and how far the spinning thread got (it runs while the call synthesizes).
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import vyn

FRAGMENTS = [("en", "Three short words.")] * 1000


def beside_a_busy_process(path):
    spinner = subprocess.Popen([sys.executable, "-c", "while True: pass"])
    try:
        time.sleep(0.2)  # let it start spinning
        return timed_call(path, busy=False)[0]
    finally:
        spinner.kill()
        spinner.wait()


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
        alone, beside, process, spins = [], [], [], []
        for _ in range(rounds):  # interleaved, so load changes hit all
            alone.append(timed_call(path, busy=False)[0])
            seconds, count = timed_call(path, busy=True)
            beside.append(seconds)
            spins.append(count)
            process.append(beside_a_busy_process(path))
    a, b, p = (statistics.median(alone), statistics.median(beside),
               statistics.median(process))
    print(f"1000 three-word fragments, median of {rounds} (switch interval "
          f"{sys.getswitchinterval() * 1000:g} ms):\n"
          f"  alone                  {a * 1000:7,.0f} ms\n"
          f"  beside a busy thread   {b * 1000:7,.0f} ms  {b / a:.3f}x "
          f"(it spun {statistics.median(spins):,.0f} times meanwhile)\n"
          f"  beside a busy process  {p * 1000:7,.0f} ms  {p / a:.3f}x\n"
          f"  the thread beyond the process: {b / p:.3f}x")


if __name__ == "__main__":
    main()
