"""Threads and calls: several threads calling at once are serialised by the
engine and each gets its own correct result and file; other threads run
while a call synthesizes; a daemon thread inside a call lets the
interpreter exit."""
import json
import threading

import pytest

import vyn
from conftest import SYNTHESIS_ERROR, mbrola, read_wave, run_python

# Per thread: (quit_after, backwards, fragments, expected count or an error)
WORK = [
    (0, 0, [("en", "First thread, first words."), ("de", "Zweiter Satz.")], 2),
    (0, 0, [("fr", "Bonjour."), ("ru", "Привет."), ("es", "Hola.")], 3),
    (0.5, 0, [("en", "One."), ("en", "Two."), ("en", "Three."),
              ("en", "Four.")], None),
    (0.5, 1, [("en", "Alpha."), ("en", "Beta."), ("en", "Gamma."),
              ("en", "Delta.")], None),
    (0, 0, [("en", "Before."), ("xx-none", "Never."), ("en", "After.")],
     SYNTHESIS_ERROR),
    (0, 0, [], 0),
]
ROUNDS = 8


def test_concurrent_calls(tmp_path):
    # What each piece of work gives when called alone. The synthesizer's
    # output depends on its history: once a Russian text has been spoken,
    # English ones come out about 6% longer for the rest of the process, and
    # the voice used just before moves times by 1-2%. So every voice is used
    # once first, and times are compared within 10%; what shows that calls
    # did not mix is exact: each file holds its own call's anchors.
    expected = []
    for _ in range(2):
        expected.clear()
        for index, (quit_after, backwards, fragments, _) in enumerate(WORK):
            try:
                expected.append(vyn.synthesize_multiple(
                    str(tmp_path / f"alone-{index}.wav"), quit_after,
                    backwards, fragments))
            except ValueError as error:
                expected.append(str(error))

    results = {}
    failures = []
    start = threading.Barrier(len(WORK))

    def worker(index):
        quit_after, backwards, fragments, _ = WORK[index]
        start.wait()
        for round_ in range(ROUNDS):
            path = tmp_path / f"thread-{index}-{round_}.wav"
            try:
                outcome = vyn.synthesize_multiple(str(path), quit_after,
                                                  backwards, fragments)
            except ValueError as error:
                outcome = str(error)
            except BaseException as error:  # reported by the main thread
                failures.append(error)
                return
            results[index, round_] = (path, outcome)

    threads = [threading.Thread(target=worker, args=(index,))
               for index in range(len(WORK))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
        assert not thread.is_alive(), "a call hung"
    assert failures == []
    assert len(results) == len(WORK) * ROUNDS

    for (index, _), (path, outcome) in results.items():
        want = expected[index]
        count = WORK[index][3]
        if isinstance(want, str) or count == SYNTHESIS_ERROR:
            assert outcome == want == SYNTHESIS_ERROR
            assert not path.exists()  # refused before the file is opened
            continue
        rate, synthesized, anchors = outcome
        assert (rate, synthesized) == want[:2]
        if count is not None:
            assert synthesized == count
        for (begin, end), (want_begin, want_end) in zip(anchors, want[2]):
            assert begin == pytest.approx(want_begin, rel=0.1, abs=1e-3)
            assert end == pytest.approx(want_end, rel=0.1, abs=1e-3)
        info = read_wave(path)
        assert info.sample_rate == rate
        assert info.seconds == pytest.approx(
            anchors[-1][1] if anchors else 0.0, abs=1e-3)


def test_other_threads_run_during_a_call(tmp_path):
    # A thread that ticks every 10 ms through a long call, and a busy one
    # beside 1000 short fragments (bench/threads.py measures the slowdown).
    result = run_python(f"""
import json, threading, time, vyn
path = {str(tmp_path / "out.wav")!r}
ticks, running = [], True
def tick():
    while running:
        ticks.append(time.monotonic())
        time.sleep(0.01)
def spin(counter):
    while running:
        counter[0] += 1
ticker = threading.Thread(target=tick)
ticker.start()
start = time.monotonic()
vyn.synthesize_multiple(path, 0, 0, [("en", f"Sentence {{i}} of a long call.")
                                     for i in range(400)])
end = time.monotonic()
during = [start] + [t for t in ticks if start < t < end] + [end]
spins = [0]
spinner = threading.Thread(target=spin, args=(spins,))
spinner.start()
_, count, _ = vyn.synthesize_multiple(path, 0, 0, [("en", "Three short words.")] * 1000)
running = False
ticker.join()
spinner.join()
print(json.dumps({{"gap": max(b - a for a, b in zip(during, during[1:])),
                  "count": count, "spins": spins[0]}}))
""", timeout=300)
    assert result.returncode == 0, result.stderr
    outcome = json.loads(result.stdout.splitlines()[-1])
    assert outcome["gap"] < 0.5, "the ticking thread stopped during the call"
    assert outcome["count"] == 1000
    assert outcome["spins"] > 0


def test_exit_with_a_daemon_thread_inside_a_call(tmp_path):
    # The interpreter exits while daemon threads are inside calls. It
    # flushes sys.stdout once it has started finalising: a slow flush keeps
    # it there while their calls come back for the GIL.
    result = run_python(f"""
import sys, threading, time, vyn
path = {str(tmp_path / "out")!r}
def short_calls():
    while True:
        vyn.synthesize_multiple(path + "-short.wav", 0, 0, [("en", "One.")])
long = [("en", "A longer sentence that keeps the synthesizer busy.")] * 300
class SlowFlush:
    def write(self, text):
        return len(text)
    def flush(self, finalizing=sys.is_finalizing, sleep=time.sleep):
        if finalizing():
            sleep(0.5)
sys.stdout = SlowFlush()
threading.Thread(target=short_calls, daemon=True).start()
threading.Thread(target=vyn.synthesize_multiple,
                 args=(path + "-long.wav", 0, 0, long), daemon=True).start()
time.sleep(0.3)
""", timeout=120)
    assert (result.returncode, result.stderr) == (0, "")


def test_an_exit_handler_may_wait_for_a_thread_inside_a_call(tmp_path):
    # Exit handlers registered before the import run after the module's
    # own: the call they wait for still comes back.
    result = run_python(f"""
import atexit, threading
waited = []
atexit.register(lambda: (waited[0].join(), print("joined")))
import vyn
waited.append(threading.Thread(
    target=vyn.synthesize_multiple, daemon=True,
    args=({str(tmp_path / "out.wav")!r}, 0, 0, [("en", "A sentence.")] * 20)))
waited[0].start()
""", timeout=60)
    assert (result.returncode, result.stdout, result.stderr) == (
        0, "joined\n", "")


# A parent that has used MBROLA forks a pool; the workers and the parent then
# synthesize MBROLA lists at once. MBROLA's audio does not depend on history,
# so every result must be the bytes the parent made before the fork.
FORK_POOL = """
import hashlib, json, multiprocessing, os, wave
import vyn
LISTS = [[("mb-us1", "The quick brown fox."), ("mb-de2", "Guten Morgen.")],
         [("mb-de2", "Wie geht es dir?"), ("mb-us1", "Very well, thank you.")]]
def job(i):
    path = os.path.join(os.environ["OUT_DIR"], f"{os.getpid()}-{i}.wav")
    vyn.synthesize_multiple(path, 0, 0, LISTS[i % 2])
    with wave.open(path) as reader:
        return hashlib.md5(reader.readframes(reader.getnframes())).hexdigest()
if __name__ == "__main__":
    before = [job(0), job(1)]
    multiprocessing.set_start_method("fork")
    with multiprocessing.Pool(2) as pool:
        theirs = pool.map_async(job, range(8))
        mine = [job(i) for i in range(8)]
        theirs = theirs.get(timeout=240)
    print(json.dumps([before, mine, theirs]))
"""


@pytest.mark.parametrize("script", [mbrola(FORK_POOL, "us1", "de2")])
def test_fork_pool_and_its_parent_use_mbrola_at_once(tmp_path, script):
    done = run_python(script, timeout=300, env={"OUT_DIR": str(tmp_path)})
    assert done.returncode == 0, done.stderr
    before, mine, theirs = json.loads(done.stdout)
    assert mine == theirs == before * 4
