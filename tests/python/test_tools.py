"""vyn_tools: one list split over worker processes (local ones and a real
Dask cluster of two worker processes) and joined into one file, and a corpus
of lists into many files; checked against vyn's own call and the file's
own samples."""
import json
import multiprocessing
import os
import signal
import struct
import subprocess
import sys
import threading
import time
from concurrent.futures import Executor, ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool

import pytest

import vyn
import vyn_tools
import vyn_tools._corpus
import vyn_tools._long_list
import vyn_tools._runners
import vyn_tools._wave
from conftest import (PARSE_ERROR, SYNTHESIS_ERROR, library_patched,
                      read_wave, run_python)
from vyn_tools._wave import JoinedWave

SENTENCES = [
    ("en", "The first sentence is short."),
    ("de", "Der zweite Satz ist deutlich länger als der erste, viel länger."),
    ("en", "A third one.", {"rate": 300, "pitch": 80}),
    ("fr", "Et voici une phrase française, avec beaucoup de mots."),
    ("en", ""),
    ("en+f3", "A voice variant speaks here."),
    ("en", "The seventh comes near the end."),
    ("es", "La última frase.", {"volume": 150, "word_gap": 5}),
    ("en", "<speak>Then <break time='300ms'/> <emphasis>SSML</emphasis>"
           ".</speak>", {"ssml": True}),
]
LIST = SENTENCES * 3  # 27 fragments, about 45 s


@pytest.fixture
def split(monkeypatch):
    """Every list of two fragments or more is split into parts."""
    monkeypatch.setattr(vyn_tools._long_list, "MIN_PART_CHARACTERS", 1)


@pytest.fixture(params=["local", "dask"])
def where(request, split):
    if request.param == "local":
        return {"workers": 2}
    return {"executor": request.getfixturevalue("dask_executor")}


def float32(value):
    return struct.unpack("f", struct.pack("f", value))[0]


def durations(anchors):
    return [end - begin for begin, end in anchors]


def samples_of(path):
    return read_wave(path).frames


def check_exact(result, path):
    """Anchors read off whole-sample offsets, rounded once to float32, that
    tile the file."""
    rate, synthesized, anchors = result
    assert synthesized == len(anchors)
    offsets = [round(begin * rate) for begin, _ in anchors]
    assert [float32(k / rate) for k in offsets] == [b for b, _ in anchors]
    assert offsets == sorted(offsets) and offsets[:1] in ([0], [])
    assert all(a[1] == b[0] for a, b in zip(anchors, anchors[1:]))
    if anchors:
        assert float32(samples_of(path) / rate) == anchors[-1][1]


# Limits inside the list, beyond it, and none; forwards and backwards.
CASES = [(0.0, 0), (9.0, 0), (9.0, 1), (25.0, 1), (1000.0, 1)]


@pytest.mark.parametrize("quit_after, backwards", CASES)
def test_a_split_list_means_what_one_call_means(tmp_path, where, quit_after,
                                                backwards):
    one, joined = tmp_path / "one.wav", tmp_path / "joined.wav"
    expected = vyn._synthesize_part(str(one), quit_after, backwards, LIST, 0,
                                    0)
    result = vyn_tools.synthesize_multiple(str(joined), quit_after,
                                           backwards, LIST, **where)
    check_exact(result, joined)
    rate, synthesized, anchors = result
    assert rate == expected.sample_rate == read_wave(joined).sample_rate
    # The same fragments, far from every limit here; each as long as in one
    # call to within what the system library carries from the fragment
    # spoken before it (up to some 4 % after a variant or another language,
    # and some milliseconds for the shortest).
    assert synthesized == expected.synthesized
    assert durations(anchors) == pytest.approx(durations(expected.anchors),
                                               rel=0.05, abs=0.05)
    if getattr(vyn, "_patched", False):
        assert result == tuple(expected[:3])
        assert joined.read_bytes() == one.read_bytes()


def test_parts_are_written_at_the_rate_of_the_whole_list(tmp_path, split):
    # The 16 kHz voice comes last: every part is written at 22,050 Hz.
    fragments = [("en", "Standard.")] * 4 + [("mb-us1", "Mbrola.")]
    if not os.path.exists("/usr/share/mbrola/us1"):
        fragments[-1] = ("en", "Standard again.")
    result = vyn_tools.synthesize_multiple(str(tmp_path / "j.wav"), 0.0, 0,
                                           fragments, workers=2)
    assert result[0] == 22050
    check_exact(result, tmp_path / "j.wav")


@pytest.mark.parametrize("part_offset", [0, 10])
def test_failure_notes_name_the_fragment_in_the_whole_list(tmp_path,
                                                           part_offset):
    with pytest.raises(ValueError) as raised:
        vyn._synthesize_part(str(tmp_path / "p.wav"), 0.0, 0,
                             [("en", "Fine."), ("xx-nope", "No.")], 0,
                             part_offset)
    assert str(raised.value) == SYNTHESIS_ERROR
    assert raised.value.__notes__[0].startswith(
        f"fragment {1 + part_offset}: ")


def test_a_bad_voice_anywhere_fails_before_anything_is_written(tmp_path,
                                                               where):
    path = tmp_path / "out.wav"
    path.write_bytes(b"earlier")
    fragments = LIST[:20] + [("xx-nope", "Late.")] + LIST[20:]
    with pytest.raises(ValueError) as raised:
        vyn_tools.synthesize_multiple(str(path), 5.0, 0, fragments, **where)
    assert raised.value.__notes__ == ["fragment 20: voice 'xx-nope' is not "
                                      "installed"]
    assert path.read_bytes() == b"earlier"


class RefusingExecutor(Executor):
    def submit(self, fn, /, *args, **kwargs):
        raise AssertionError("a short list went to a worker")


def test_short_lists_run_as_one_call_in_this_process(tmp_path):
    result = vyn_tools.synthesize_multiple(
        str(tmp_path / "s.wav"), 0.0, 0, SENTENCES, executor=RefusingExecutor())
    assert result[1] == len(SENTENCES)


def test_a_dying_worker_fails_the_call_with_a_valid_file(tmp_path, split):
    # eSpeak NG aborts the process on this text (see the crash vectors);
    # the patched library speaks it, so there the workers abort at start.
    fragments = LIST[:12] + [("en", "s'" * 70)] + LIST[12:]
    dying = {"initializer": os.abort} if library_patched() else {}
    path = tmp_path / "out.wav"
    spawn = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(2, mp_context=spawn, **dying) as pool:
        with pytest.raises(ValueError) as raised:
            vyn_tools.synthesize_multiple(str(path), 0.0, 0, fragments,
                                          executor=pool)
    check_worker_failure(raised, path, "a worker failed")


def test_the_kept_local_pool_is_renewed_once_a_worker_died():
    pool = vyn_tools._runners.local_pool(2)
    with pytest.raises(BrokenProcessPool):
        pool.submit(os._exit, 1).result()
    renewed = vyn_tools._runners.local_pool(2)
    assert renewed is not pool and renewed.submit(abs, -3).result() == 3


def check_worker_failure(raised, path, note):
    """The synthesis error, its note naming what the worker did, and the
    file a valid WAVE file of what was joined, or none."""
    assert str(raised.value) == SYNTHESIS_ERROR
    assert note in raised.value.__notes__[0]
    assert not path.exists() or read_wave(path).frames >= 0


# Run by every Dask worker as it starts, restarts included: while the marker
# file exists a part ends its worker; "once" removes the marker first.
DYING_DASK_WORKER = """
import os
import vyn_tools._long_list as long_list

synthesize_part = long_list.synthesize_part


def dying(*arguments):
    if os.path.exists({marker!r}):
        with open({marker!r}) as marker:
            if marker.read() == "once":
                os.unlink({marker!r})
        os._exit(1)
    return synthesize_part(*arguments)


def dask_setup(worker):
    long_list.synthesize_part = dying
"""


def test_a_dask_worker_that_dies_is_retried_then_fails_the_call(tmp_path,
                                                                split):
    distributed = pytest.importorskip("distributed")
    import dask
    marker, preload = tmp_path / "die", tmp_path / "dying_worker.py"
    preload.write_text(DYING_DASK_WORKER.format(marker=str(marker)))
    path = tmp_path / "out.wav"
    expected = vyn.synthesize_multiple(str(path), 0.0, 0, LIST)
    with dask.config.set({"distributed.scheduler.allowed-failures": 1}):
        cluster = distributed.LocalCluster(
            n_workers=1, threads_per_worker=1, processes=True,
            dashboard_address=":0", preload=[str(preload)])
    with cluster, distributed.Client(cluster) as client:
        executor = client.get_executor()
        marker.write_text("once")
        assert vyn_tools.synthesize_multiple(
            str(path), 0.0, 0, LIST, executor=executor)[:2] == expected[:2]
        assert not marker.exists()
        marker.write_text("always")
        with pytest.raises(ValueError) as raised:
            vyn_tools.synthesize_multiple(str(path), 0.0, 0, LIST,
                                          executor=executor)
    check_worker_failure(raised, path, "a worker failed: KilledWorker")


def test_into_a_pipe_the_parts_stream_in_order(tmp_path, split):
    vyn_tools.synthesize_multiple("/dev/null", 0.0, 0, LIST, workers=2)
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    descriptor = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    os.set_blocking(descriptor, True)
    # A writer of its own, so the reader sees no end before the call's.
    holder = os.open(fifo, os.O_WRONLY)
    received = []
    reader = threading.Thread(target=lambda: received.append(
        open(descriptor, "rb").read()), daemon=True)
    reader.start()
    rate, synthesized, anchors = vyn_tools.synthesize_multiple(
        str(fifo), 0.0, 0, LIST, workers=2)
    os.close(holder)
    reader.join(60)
    stream = received[0]
    assert struct.unpack_from("<I", stream, 4) == (0xFFFFFFFF,)
    assert struct.unpack_from("<I", stream, 40) == (0xFFFFFFFF,)
    assert float32((len(stream) - 44) / 2 / rate) == anchors[-1][1]
    null = vyn_tools.synthesize_multiple("/dev/null", 0.0, 0, LIST,
                                         workers=2)
    assert null[:2] == (rate, synthesized)


def test_a_file_fails_at_the_wave_limit_where_a_stream_goes_on(
        tmp_path, split, monkeypatch):
    path = tmp_path / "out.wav"
    rate, _, anchors = vyn.synthesize_multiple(str(path), 0.0, 0, LIST)
    ends = [round(end * rate) for _, end in anchors]
    # Half a fragment from either end: the system library's parts may
    # differ from one call by a few hundred samples.
    monkeypatch.setattr(vyn_tools._wave, "MAX_SAMPLES",
                        (ends[9] + ends[10]) // 2)
    with pytest.raises(ValueError) as raised:
        vyn_tools.synthesize_multiple(str(path), 0.0, 0, LIST, workers=2)
    assert raised.value.__notes__ == [
        "fragment 10: the audio would pass the 4 GiB a WAVE file can hold"]
    assert samples_of(path) == pytest.approx(ends[9], rel=0.005)
    assert vyn_tools.synthesize_multiple(os.devnull, 0.0, 0, LIST,
                                         workers=2)[1] == len(LIST)


class WatchedWave(JoinedWave):
    """Records the samples the sizes on disk cover at each update."""

    def _put_sizes(self):
        super()._put_sizes()
        self.updates = getattr(self, "updates", []) + [self.samples]


# A slow device keeps the blocks at a second of audio; a fast one lets them
# grow (doubling here).
@pytest.mark.parametrize("slow, updates", [(-1.0, [100, 200, 300, 350]),
                                           (60.0, [100, 300, 350])])
def test_the_joined_header_follows_the_audio_on_disk(tmp_path, monkeypatch,
                                                     slow, updates):
    monkeypatch.setattr(vyn_tools._wave, "SLOW_BLOCK_SECONDS", slow)
    monkeypatch.setattr(vyn_tools._wave, "FAST_BLOCK_SECONDS", slow + 1)
    path = tmp_path / "j.wav"
    output = WatchedWave(str(path), 100)
    output.append_bytes(bytes(2 * 350))  # 3.5 s at 100 Hz
    data_size = struct.unpack_from("<I", path.read_bytes(), 40)[0]
    assert data_size == 2 * 350 and output.updates == updates
    output.close()
    assert read_wave(path).frames == 350


def test_a_corpus_yields_every_job_and_its_failure(tmp_path, where):
    jobs = [(str(tmp_path / f"{i}.wav"), 0.0, 0, [SENTENCES[i % 8]] * 2)
            for i in range(12)]
    jobs[5] = (str(tmp_path / "5.wav"), 0.0, 0, [("en", "A"), ("xx-no", "B")])
    jobs[7] = (str(tmp_path / "7.wav"), 0.0, 0, [("en", 7)])
    done = list(vyn_tools.synthesize_corpus(jobs, **where))
    assert sorted(map(jobs.index, [d.job for d in done])) == list(range(12))
    results = {d.job[0]: d.result for d in done}
    bad, parse = results.pop(jobs[5][0]), results.pop(jobs[7][0])
    assert (str(bad), bad.__notes__) == (
        SYNTHESIS_ERROR, ["fragment 1: voice 'xx-no' is not installed"])
    assert str(parse) == PARSE_ERROR
    for path, (rate, synthesized, anchors) in results.items():
        assert synthesized == 2
        assert float32(samples_of(path) / rate) == anchors[-1][1]


class EndsItsWorker:
    """A text that ends the worker process that receives it, as a text that
    aborts the library does (the patched library aborts on none); read
    back in this process (Dask's scheduler runs here) it stays itself."""

    def __reduce__(self):
        return (eval, (f"__import__('os').abort() if __import__('os')"
                       f".getpid() != {os.getpid()} else __import__("
                       f"{type(self).__module__!r}).EndsItsWorker()",))


def killing_text():
    return EndsItsWorker() if library_patched() else "s'" * 68


@pytest.mark.parametrize("count, place", [(600, "local"), (10, "dask")])
def test_a_corpus_fails_only_the_job_that_kills_its_worker(
        tmp_path, request, monkeypatch, count, place):
    where = {"workers": 2}
    if place == "dask":  # batches of 5, as a larger corpus makes them
        where = {"executor": request.getfixturevalue("dask_executor")}
        monkeypatch.setattr(vyn_tools._corpus, "BATCHES_PER_WORKER", 1)
    jobs = [(str(tmp_path / f"{i}.wav"), 0.0, 0, [("en", f"Job {i}.")])
            for i in range(count)]
    culprit = count * 2 // 3
    jobs[culprit] = (str(tmp_path / "c.wav"), 0.0, 0, [("en", killing_text())])
    done = {jobs.index(d.job): d.result
            for d in vyn_tools.synthesize_corpus(jobs, **where)}
    assert sorted(done) == list(range(count))
    failed = done.pop(culprit)
    assert str(failed) == SYNTHESIS_ERROR
    assert failed.__notes__[0].startswith(f"job {culprit} ended its worker")
    if place == "local":
        assert failed.__notes__ == [f"job {culprit} ended its worker "
                                    "(SIGABRT)"]
    rerun = [r for r in done.values() if hasattr(r, "__notes__")]
    assert all(r[1] == 1 for r in done.values()), rerun
    assert 0 < len(rerun) < count and all(
        r.__notes__ == ["its first worker died, with other jobs in hand"]
        for r in rerun)


# -- the caller's end: workers in a fresh interpreter, checked from outside ---

# Splits every list; report() prints the pool's workers, the resource
# tracker and the caller's entries in /dev/shm, for the test to see them
# gone in the end.
CALLER = """
import json, os, sys, threading, time, vyn, vyn_tools
import vyn_tools._long_list, vyn_tools._runners as runners
from multiprocessing import resource_tracker
vyn_tools._long_list.MIN_PART_CHARACTERS = 1
def sentences(n):
    return [("en", f"This is sentence number {i} of a long list.")
            for i in range(n)]
def children():
    pids = []
    for task in os.listdir("/proc/self/task"):
        try:  # a thread may end meanwhile
            with open(f"/proc/self/task/{task}/children") as listed:
                pids += map(int, listed.read().split())
        except FileNotFoundError:
            pass
    return pids
def report(**what):
    what["processes"] = list(runners._pool._processes)
    what["tracker"] = resource_tracker._resource_tracker._pid
    what["shm"] = sorted({line.split()[-1] for line in open("/proc/self/maps")
                          if "/dev/shm/" in line})
    print(json.dumps(what), flush=True)
"""


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def vyn_shm_entries():
    # The bench's scratch directories are another program's, which may run
    # beside the tests.
    return {name for name in os.listdir("/dev/shm")
            if "vyn" in name and not name.startswith("vyn-bench-")}


def left_behind(outcome, tmp_path, shm_before):
    """What of the caller is still there: its workers after 2 s; then its
    resource tracker (which ends with the last of them, and removes the
    pool's semaphores), its /dev/shm entries (another vyn process's that
    were there before it started are not its), its temporary files."""
    def workers():
        return [pid for pid in outcome["processes"] if alive(pid)]

    def the_rest():
        return ([pid for pid in [outcome["tracker"]] if alive(pid)]
                + [path for path in outcome["shm"] if os.path.exists(path)]
                + sorted(vyn_shm_entries() - shm_before)
                + os.listdir(tmp_path / "tmp"))
    return within(2.0, workers) + within(10.0, the_rest)


def within(seconds, left):
    deadline = time.monotonic() + seconds
    while left() and time.monotonic() < deadline:
        time.sleep(0.05)
    return left()


def run_caller(tmp_path, body, timeout=120):
    """The caller's report, and what of it is left behind."""
    (tmp_path / "tmp").mkdir()
    shm_before = vyn_shm_entries()
    result = run_python(CALLER + body, timeout=timeout,
                        env={"TMPDIR": str(tmp_path / "tmp")})
    assert result.returncode == 0, result.stderr
    outcome = json.loads(result.stdout.splitlines()[-1])
    return outcome, lambda: left_behind(outcome, tmp_path, shm_before)


def test_workers_hold_none_of_the_caller_s_descriptors(tmp_path):
    # Both pipes are open before the pool starts.
    outcome, leftovers = run_caller(tmp_path, """
import subprocess
consumer = subprocess.Popen(["cat"], stdin=subprocess.PIPE,
                            stdout=subprocess.DEVNULL)
read_end, write_end = os.pipe()
vyn_tools.synthesize_multiple(f"/dev/fd/{consumer.stdin.fileno()}", 0.0, 0,
                              sentences(20), workers=2)
consumer.stdin.close()
closed = time.monotonic()
consumer.wait(10)
eof = time.monotonic() - closed
def leave():  # a reader that goes away after a little
    os.read(read_end, 100)
    os.close(read_end)
threading.Thread(target=leave).start()
try:
    vyn_tools.synthesize_multiple(f"/dev/fd/{write_end}", 0.0, 0,
                                  sentences(400), workers=2)
    left = "ok"
except ValueError as error:
    left = str(error)
report(eof=eof, left=left)
""")
    # At once; held by a worker, never before the caller's exit (the bound
    # leaves room for a loaded machine).
    assert outcome["eof"] < 5.0
    assert outcome["left"] == SYNTHESIS_ERROR
    assert leftovers() == []


# The pool is made from a thread that has ended before the call.
LONG_PARALLEL_CALL = CALLER + """
maker = threading.Thread(target=vyn_tools.synthesize_multiple,
                         args=(os.devnull, 0.0, 0, sentences(20)),
                         kwargs={"workers": 2})
maker.start()
maker.join()
report()
vyn_tools.synthesize_multiple(sys.argv[1], 0.0, 0, sentences(3000), workers=2)
"""


@pytest.mark.parametrize("signum", [signal.SIGKILL, signal.SIGTERM,
                                    signal.SIGINT],
                         ids=["kill", "term", "ctrl-c"])
def test_a_caller_s_death_ends_its_workers(tmp_path, signum):
    (tmp_path / "tmp").mkdir()
    path = tmp_path / "out.wav"
    shm_before = vyn_shm_entries()
    caller = subprocess.Popen(
        [sys.executable, "-c", LONG_PARALLEL_CALL, str(path)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        start_new_session=True, env={**os.environ,
                                     "TMPDIR": str(tmp_path / "tmp")})
    try:
        outcome = json.loads(caller.stdout.readline())
        while not path.exists() or path.stat().st_size < 500_000:
            assert caller.poll() is None, caller.stderr.read()
            time.sleep(0.01)
        # Ctrl-C reaches the terminal's whole process group, a kill the
        # caller alone.
        (os.killpg if signum == signal.SIGINT else os.kill)(caller.pid, signum)
        _, stderr = caller.communicate(timeout=60)
    finally:
        if caller.poll() is None:
            caller.kill()
            caller.wait()
    assert left_behind(outcome, tmp_path, shm_before) == []
    if signum == signal.SIGINT:
        # The caller's traceback alone; the file valid, of what was joined.
        assert caller.returncode == -signal.SIGINT
        assert stderr.count("Traceback") == 1, stderr
        assert stderr.rstrip().endswith("KeyboardInterrupt")
        assert read_wave(path).frames > 0


def test_a_stopped_worker_fails_the_call(tmp_path):
    outcome, leftovers = run_caller(tmp_path, """
runners.STALL_SECONDS = 2.0
vyn_tools.synthesize_multiple(os.devnull, 0.0, 0, sentences(20), workers=2)
stopped = list(runners._pool._processes)[0]
def stop():
    time.sleep(0.3)
    os.kill(stopped, 19)  # SIGSTOP
threading.Thread(target=stop).start()
began = time.monotonic()
try:
    vyn_tools.synthesize_multiple(sys.argv[1], 0.0, 0, sentences(600),
                                  workers=2)
    failed = ["ok"]
except ValueError as error:
    failed = [str(error), *error.__notes__]
took = time.monotonic() - began
_, count, _ = vyn_tools.synthesize_multiple(os.devnull, 0.0, 0,
                                            sentences(40), workers=2)
report(failed=failed, took=took, count=count, stopped=stopped)
""".replace("sys.argv[1]", repr(str(tmp_path / "out.wav"))))
    assert outcome["failed"] == [SYNTHESIS_ERROR,
                                 "a worker made no progress for 2 s"]
    # Not for ever: the bound, after the other worker's share of the list.
    assert outcome["took"] < 60 and outcome["count"] == 40
    assert read_wave(tmp_path / "out.wav").frames >= 0
    outcome["processes"].append(outcome["stopped"])
    assert leftovers() == []


def test_a_corpus_job_that_stops_its_worker_fails_alone(tmp_path):
    # The text stops the worker that receives it, with its batch and then
    # alone; every child of the caller's must be gone in the end. The job
    # after it, run alone too, works longer than the bound with an output
    # that never grows: its worker's CPU time is its progress.
    outcome, leftovers = run_caller(tmp_path, """
runners.STALL_SECONDS = 2.0
STOP = "__import__('os').kill(__import__('os').getpid(), 19)"  # SIGSTOP
class StopsItsWorker:
    def __reduce__(self):
        return (eval, (STOP,))
jobs = [(os.devnull, 0.0, 0, [("en", f"Job {i}.")]) for i in range(300)]
jobs[200] = (os.devnull, 0.0, 0, [("en", StopsItsWorker())])
jobs[201] = (os.devnull, 0.0, 0, [("en", "A long job. " * 6000)])
done = {jobs.index(d.job): d.result
        for d in vyn_tools.synthesize_corpus(jobs, workers=2)}
failed = done.pop(200)
report(failed=[str(failed), *failed.__notes__], count=len(done),
       synthesized=sorted({r[1] for r in done.values()}),
       notes=sorted({tuple(getattr(r, "__notes__", ()))
                     for r in done.values()}),
       children=children())
""")
    assert outcome["failed"] == [SYNTHESIS_ERROR,
                                 "job 200 made no progress for 2 s"]
    assert outcome["count"] == 299 and outcome["synthesized"] == [1]
    assert outcome["notes"] == [[], ["its first worker made no progress for "
                                     "2 s, with other jobs in hand"]]
    outcome["processes"] += [pid for pid in outcome["children"]
                             if pid != outcome["tracker"]]
    assert leftovers() == []
