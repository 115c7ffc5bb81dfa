#!/usr/bin/env python3
"""What a busy Python thread costs a call of 1000 three-word fragments.

The call runs without the GIL. On the main thread it takes the GIL back
about every 50 ms to run signal handlers, and each time it may wait for a
busy thread's switch interval; on any other thread it never does. So the
call is timed:

  - on the main thread, alone;
  - on the main thread beside a thread that spins in Python;
  - on a second thread beside the same spinning thread (no GIL taken back:
    the difference to the line above is what the signal checks cost);
  - on the main thread beside a process that spins (a competitor for a core
    that shares nothing with the call).

    python bench/threads.py [--rounds N]

Needs vyn importable. Prints the median wall time of each and its ratio to
the call alone.
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


def timed_call(path):
    start = time.perf_counter()
    vyn.synthesize_multiple(path, 0, 0, FRAGMENTS)
    return time.perf_counter() - start


def on_a_second_thread(path):
    seconds = []
    caller = threading.Thread(target=lambda: seconds.append(timed_call(path)))
    caller.start()
    caller.join()
    return seconds[0]


def beside_a_spinning_thread(call, path):
    running = True

    def spin():
        while running:
            pass

    spinner = threading.Thread(target=spin)
    spinner.start()
    try:
        return call(path)
    finally:
        running = False
        spinner.join()


def beside_a_spinning_process(path):
    spinner = subprocess.Popen([sys.executable, "-c", "while True: pass"])
    try:
        time.sleep(0.2)  # let it start spinning
        return timed_call(path)
    finally:
        spinner.kill()
        spinner.wait()


RUNS = {
    "main thread, alone": timed_call,
    "main thread, beside a busy thread":
        lambda path: beside_a_spinning_thread(timed_call, path),
    "second thread, beside a busy thread":
        lambda path: beside_a_spinning_thread(on_a_second_thread, path),
    "main thread, beside a busy process": beside_a_spinning_process,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    rounds = parser.parse_args().rounds
    base = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    times = {name: [] for name in RUNS}
    with tempfile.TemporaryDirectory(dir=base) as directory:
        path = os.path.join(directory, "out.wav")
        vyn.synthesize_multiple(path, 0, 0, FRAGMENTS[:1])
        for _ in range(rounds):  # interleaved, so load changes hit all
            for name, run in RUNS.items():
                times[name].append(run(path))
    medians = {name: statistics.median(values)
               for name, values in times.items()}
    alone = medians["main thread, alone"]
    print(f"1000 three-word fragments, median of {rounds} (switch interval "
          f"{sys.getswitchinterval() * 1000:g} ms):")
    for name, seconds in medians.items():
        print(f"  {name:38} {seconds * 1000:7,.0f} ms  {seconds / alone:.3f}x")
    checks = (medians["main thread, beside a busy thread"] /
              medians["second thread, beside a busy thread"])
    print(f"  the signal checks beside a busy thread: {checks:.3f}x")


if __name__ == "__main__":
    main()
