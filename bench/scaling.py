#!/usr/bin/env python3
"""vyn_tools on several cores: one long list split over worker processes and
a corpus of short lists, against one vyn call, a loop of calls and the
floor (eSpeak NG driven directly, build/bench). Prints figures; nothing is
asserted.

    .venv/bin/python bench/scaling.py            # about 4 minutes on 2 cores
    .venv/bin/python bench/scaling.py --quick    # a smaller run
    .venv/bin/python bench/scaling.py --runs 7   # more runs per median

Times are medians of interleaved runs; outputs go to /dev/shm. On a machine
shared with other work the figures are lower than on an idle one: the run
prints how busy the machine was (its load average) beside them.
"""
import argparse
import importlib.machinery
import importlib.util
import multiprocessing
import os
import shutil
import statistics
import struct
import subprocess
import sys
import time
import types
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import vyn
import vyn_tools
import vyn_tools._long_list as long_list
from vyn_tools._runners import InlineExecutor

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))
import workloads  # noqa: E402


def load_bench_run():
    loader = importlib.machinery.SourceFileLoader("bench_run",
                                                  str(BENCH / "run"))
    spec = importlib.util.spec_from_loader("bench_run", loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def interleaved(functions, runs):
    """Median seconds of each, the runs interleaved and rotated; a function
    that times itself returns its seconds as a float."""
    times = {name: [] for name in functions}
    names = list(functions)
    for run in range(runs):
        for name in names[run % len(names):] + names[:run % len(names)]:
            began = time.perf_counter()
            took = functions[name]()
            times[name].append(took if isinstance(took, float)
                               else time.perf_counter() - began)
    return {name: statistics.median(values) for name, values in times.items()}


def float32(value):
    return struct.unpack("f", struct.pack("f", value))[0]


def exact_share(result, path):
    """Share of anchors that are float32(whole samples / rate), and whether
    the file holds exactly the samples the last anchor says."""
    rate, _, anchors = result
    exact = sum(float32(round(b * rate) / rate) == b for b, _ in anchors)
    with open(path, "rb") as wave_file:
        data_size = struct.unpack_from("<I", wave_file.read(44), 40)[0]
    return exact / len(anchors), float32(data_size / 2 / rate) == \
        anchors[-1][1]


COLD = """
import sys, time, vyn_tools
sys.path.insert(0, {bench!r})
import workloads
fragments = workloads.gpl3_sentences()
began = time.perf_counter()
vyn_tools.synthesize_multiple({out!r}, 0.0, 0, fragments, workers=2)
print(time.perf_counter() - began)
"""


def cold_seconds(out, runs):
    code = COLD.format(bench=str(BENCH), out=out)
    return statistics.median(
        float(subprocess.run([sys.executable, "-c", code], check=True,
                             capture_output=True, text=True).stdout)
        for _ in range(runs))


def half_call(job):
    path, fragments = job
    began = time.perf_counter()
    vyn.synthesize_multiple(path, 0.0, 0, fragments)
    return time.perf_counter() - began


def parallel_capacity(work, runs):
    """What the machine gives two processes: the same work alone and two
    of it at once. 2.0 on two idle cores; on a shared machine less, and
    every speedup below is bounded by it."""
    half = workloads.gpl3_sentences()[:100]
    jobs = [(str(work / f"half{i}.wav"), half) for i in range(2)]
    with ProcessPoolExecutor(2) as pool:
        list(pool.map(half_call, jobs))  # warm
        times = interleaved({
            "alone": lambda: list(pool.map(half_call, jobs[:1])),
            "two at once": lambda: list(pool.map(half_call, jobs)),
        }, runs)
    capacity = 2 * times["alone"] / times["two at once"]
    print(f"parallel capacity: two processes at once do {capacity:.2f}x the "
          "work of one (2.00 on two idle cores)")


def part_count(fragments, workers):
    """How many parts vyn_tools cuts the list into for that many workers."""
    planner = types.SimpleNamespace(parallelism=workers)
    return len(long_list.plan_parts(fragments, planner))


def long_list_figures(bench_run, work, runs):
    fragments = workloads.gpl3_sentences()
    listing = work / "gpl3.txt"
    workloads.write_fragments(listing, fragments)
    one, joined = str(work / "one.wav"), str(work / "joined.wav")
    with ProcessPoolExecutor(2) as pool, ProcessPoolExecutor(1) as one_pool:
        for warming in (pool, one_pool):
            vyn_tools.synthesize_multiple(joined, 0.0, 0, fragments,
                                          executor=warming)
        vyn_tools.synthesize_multiple(joined, 0.0, 0, fragments, workers=2)
        times = interleaved({
            "floor": lambda: bench_run.run_floor(
                "write", listing, work / "floor.wav").seconds,
            "one call": lambda: vyn.synthesize_multiple(one, 0.0, 0,
                                                        fragments),
            "2 workers": lambda: vyn_tools.synthesize_multiple(
                joined, 0.0, 0, fragments, executor=pool),
            "1 worker": lambda: vyn_tools.synthesize_multiple(
                joined, 0.0, 0, fragments, executor=one_pool),
            "own pool": lambda: vyn_tools.synthesize_multiple(
                joined, 0.0, 0, fragments, workers=2),
        }, runs)
        result = vyn_tools.synthesize_multiple(joined, 0.0, 0, fragments,
                                               executor=pool)
    share, sizes = exact_share(result, joined)
    parts = part_count(fragments, 2)
    one_worker_parts = part_count(fragments, 1)
    audio = result[2][-1][1]
    print(f"GPL-3 sentences ({len(fragments)}, {audio / 60:.0f} min of "
          f"audio), {parts} parts:")
    print(f"  floor (write) {times['floor'] * 1000:,.0f} ms, one vyn call "
          f"{times['one call'] * 1000:,.0f} ms, 2 workers warm "
          f"{times['2 workers'] * 1000:,.0f} ms")
    print(f"  warm: {times['one call'] / times['2 workers']:.2f}x one call, "
          f"{times['floor'] / times['2 workers']:.2f}x the floor; "
          f"vyn_tools' own pool of 2 (spawned workers): "
          f"{times['one call'] / times['own pool']:.2f}x one call")
    print(f"  joined anchors equal to float32(samples / rate): "
          f"{share * 100:.1f} %; file samples = the parts' sum: {sizes}")
    cold = cold_seconds(str(work / "cold.wav"), max(1, runs // 2))
    print(f"  cold (a fresh process; its pool's start included): "
          f"{times['one call'] / cold:.2f}x one call ({cold * 1000:,.0f} ms)")
    overhead = (times["1 worker"] - times["one call"]) / one_worker_parts
    print(f"  overhead per part (the {one_worker_parts} parts of one worker, "
          f"one after another): {overhead * 1000:.1f} ms")
    return fragments


def limit_figures(fragments, work, runs):
    long = fragments * 2  # about an hour
    out = str(work / "limit.wav")
    for backwards, limit in ((1, 1500.0), (0, 600.0)):
        mode = "backward" if backwards else "forward"
        figures = {"one call": lambda: vyn.synthesize_multiple(
            out, limit, backwards, long)}
        pools = {count: ProcessPoolExecutor(count) for count in (2, 4)}
        try:
            for count, pool in pools.items():
                vyn_tools.synthesize_multiple(out, limit, backwards, long,
                                              executor=pool)  # warm
                figures[f"{count} workers"] = (
                    lambda pool=pool: vyn_tools.synthesize_multiple(
                        out, limit, backwards, long, executor=pool))
            figures["1 worker"] = lambda: vyn_tools.synthesize_multiple(
                out, limit, backwards, long, executor=InlineExecutor())
            times = interleaved(figures, runs)
        finally:
            for pool in pools.values():
                pool.shutdown()
        base = times.pop("one call")
        print(f"{mode} mode, {len(long)} sentences, limit {limit:.0f} s: "
              f"one call {base * 1000:,.0f} ms; "
              + ", ".join(f"{name} {base / seconds:.2f}x"
                          for name, seconds in times.items()))


def corpus_figures(work, runs, count):
    words = workloads.gpl3_three_words(2 * count)
    jobs = [(str(work / f"c{i % 50}.wav"), 0.0, 0, words[2 * i:2 * i + 2])
            for i in range(count)]

    def loop():
        for job in jobs:
            vyn.synthesize_multiple(*job)

    with ProcessPoolExecutor(2) as pool:
        list(vyn_tools.synthesize_corpus(jobs[:20], executor=pool))  # warm
        times = interleaved({
            "loop": loop,
            "corpus": lambda: list(vyn_tools.synthesize_corpus(
                jobs, executor=pool)),
        }, runs)
    print(f"corpus of {count} short lists (two three-word fragments each) "
          f"on 2 workers: {times['loop'] / times['corpus']:.2f}x a loop of "
          f"single calls ({times['loop'] * 1000:,.0f} ms against "
          f"{times['corpus'] * 1000:,.0f} ms)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    runs = 3 if args.quick else args.runs
    bench_run = load_bench_run()
    bench_run.build_floor()
    work, _ = bench_run.output_dir()
    multiprocessing.set_start_method("fork", force=True)
    print(f"{os.cpu_count()} cores, load average "
          f"{os.getloadavg()[0]:.1f} at the start")
    try:
        parallel_capacity(work, runs)
        fragments = long_list_figures(bench_run, work, runs)
        limit_figures(fragments, work, runs)
        corpus_figures(work, runs, 200 if args.quick else 1000)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"load average {os.getloadavg()[0]:.1f} at the end")
    return 0


if __name__ == "__main__":
    sys.exit(main())
