"""Runs vyn on one workload in a process of its own and prints what it did.

    python vyn_worker.py FRAGMENTS OUTPUT [--quit-after S] [--backwards]
                         [--per-call [--calls N]] [--empty] [--words]
                         [--phonemes] [--warm]

FRAGMENTS holds one VOICE<TAB>TEXT a line. A first call with no fragments
initialises the synthesizer, as the floor program does before its clock
starts. Then either one call with every fragment or, with --per-call, one
call per fragment (--calls N: N calls, cycling through the fragments, so
that runs of different lengths hold the same list). --empty does everything
but the timed calls: the run that callgrind subtracts. --words calls
synthesize_words instead of synthesize_multiple, --phonemes the call
vyn_tools.synthesize makes for phonemes=True. --warm makes the first
call speak every voice of the list with no text: what vyn does once per
process for a voice (the voice list, its dictionary's check) then falls
outside the timed calls. Prints key=value pairs:
the sample rate, fragments written, bytes in the output file, wall seconds
of the timed calls and the peak resident set size in KiB.
"""
import argparse
import os
import resource
import time

import vyn

from workloads import read_fragments


def peak_rss_kib():
    """The high-water mark of this process image. On Linux ru_maxrss also
    carries the resident size of the parent at fork, which a benchmark
    parent of 25 MiB would mask; VmHWM starts afresh at exec."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("fragments")
    parser.add_argument("output")
    parser.add_argument("--quit-after", type=float, default=0.0)
    parser.add_argument("--backwards", action="store_true")
    parser.add_argument("--per-call", action="store_true")
    parser.add_argument("--calls", type=int, default=None)
    parser.add_argument("--empty", action="store_true")
    parser.add_argument("--words", action="store_true")
    parser.add_argument("--phonemes", action="store_true")
    parser.add_argument("--warm", action="store_true")
    args = parser.parse_args()

    fragments = read_fragments(args.fragments)
    backwards = 1 if args.backwards else 0
    if args.words:
        def synthesize(*arguments):
            return vyn.synthesize_words(*arguments)[:3]
    elif args.phonemes:
        def synthesize(*arguments):
            return vyn._synthesize_part_events(*arguments, 0, 0, False,
                                               True)[:3]
    else:
        synthesize = vyn.synthesize_multiple
    voices = dict.fromkeys(voice for voice, *_ in fragments)
    first = [(voice, "") for voice in voices] if args.warm else []
    rate, synthesized, _ = synthesize(args.output, 0.0, 0, first)

    began = time.perf_counter()
    if args.empty:
        pass
    elif args.per_call:
        synthesized = 0
        calls = len(fragments) if args.calls is None else args.calls
        for i in range(calls):
            rate, count, _ = synthesize(args.output, args.quit_after,
                                        backwards,
                                        [fragments[i % len(fragments)]])
            synthesized += count
    else:
        rate, synthesized, _ = synthesize(args.output, args.quit_after,
                                          backwards, fragments)
    seconds = time.perf_counter() - began

    peak_kib = peak_rss_kib()
    print(f"rate={rate} synthesized={synthesized} "
          f"bytes={os.path.getsize(args.output)} seconds={seconds:.6f} "
          f"maxrss_kib={peak_kib}")


if __name__ == "__main__":
    main()
