"""Runs vyn on one workload in a process of its own and prints what it did.

    python vyn_worker.py FRAGMENTS OUTPUT [--quit-after S] [--backwards]
                         [--per-call] [--empty]

FRAGMENTS holds one VOICE<TAB>TEXT a line. A first call with no fragments
initialises the synthesizer, as the floor program does before its clock
starts. Then either one call with every fragment or, with --per-call, one
call per fragment. --empty does everything but the timed calls: the run that
callgrind subtracts. Prints key=value pairs: the sample rate, fragments
written, bytes in the output file, wall seconds of the timed calls and the
peak resident set size.
"""
import argparse
import os
import resource
import time

import vyn

from workloads import read_fragments


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("fragments")
    parser.add_argument("output")
    parser.add_argument("--quit-after", type=float, default=0.0)
    parser.add_argument("--backwards", action="store_true")
    parser.add_argument("--per-call", action="store_true")
    parser.add_argument("--empty", action="store_true")
    args = parser.parse_args()

    fragments = read_fragments(args.fragments)
    backwards = 1 if args.backwards else 0
    synthesize = vyn.synthesize_multiple
    rate, synthesized, _ = synthesize(args.output, 0.0, 0, [])

    began = time.perf_counter()
    if args.empty:
        pass
    elif args.per_call:
        synthesized = 0
        for fragment in fragments:
            rate, count, _ = synthesize(args.output, args.quit_after,
                                        backwards, [fragment])
            synthesized += count
    else:
        rate, synthesized, _ = synthesize(args.output, args.quit_after,
                                          backwards, fragments)
    seconds = time.perf_counter() - began

    peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(f"rate={rate} synthesized={synthesized} "
          f"bytes={os.path.getsize(args.output)} seconds={seconds:.6f} "
          f"maxrss_kib={peak_kib}")


if __name__ == "__main__":
    main()
