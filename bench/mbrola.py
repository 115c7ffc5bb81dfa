"""What an MBROLA fragment costs, in a small host and in one holding 1 GiB
of touched heap: eSpeak NG starts `mbrola` for every selection of an MBROLA
voice, and a start that forks the host costs more the more memory the host
has. Each figure is the median (and the fastest) of N calls of one
`mb-us1` fragment of three words, in a fresh interpreter.

    python bench/mbrola.py [--calls N]      (./dev bench runs it too)
"""
import argparse
import shutil
import subprocess
import sys
from pathlib import Path

CHILD = """
import os, statistics, sys, tempfile, time, vyn
heap = bytearray(int(sys.argv[1]) << 20)
for page in range(0, len(heap), 4096):
    heap[page] = 1
path = tempfile.mktemp(suffix=".wav", dir="/dev/shm")
fragment = [("mb-us1", "one two three")]
vyn.synthesize_multiple(path, 0, 0, fragment)
times = []
for _ in range(int(sys.argv[2])):
    start = time.perf_counter()
    vyn.synthesize_multiple(path, 0, 0, fragment)
    times.append(time.perf_counter() - start)
os.unlink(path)
print(statistics.median(times) * 1000, min(times) * 1000)
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=50)
    options = parser.parse_args()
    if shutil.which("mbrola") is None or not Path("/usr/share/mbrola/us1").exists():
        print("mbrola: skipped (mbrola and mbrola-us1 are not installed: "
              "./dev mbrola)")
        return
    import vyn
    build = "bundled" if getattr(vyn, "_bundled", False) else "system"
    for heap_mib, host in [(0, "small host"), (1024, "1 GiB touched heap")]:
        done = subprocess.run([sys.executable, "-c", CHILD, str(heap_mib),
                               str(options.calls)], check=True,
                              capture_output=True, text=True)
        median, fastest = (float(word) for word in done.stdout.split())
        print(f"mbrola ({build} eSpeak NG), {host}: {median:.2f} ms per "
              f"mb-us1 fragment of three words (fastest {fastest:.2f} ms)")


if __name__ == "__main__":
    main()
