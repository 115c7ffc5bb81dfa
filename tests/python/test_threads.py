"""Several Python threads calling at once: the calls are serialised by the
interpreter lock, and each thread gets its own correct result and file."""
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
