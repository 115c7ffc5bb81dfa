"""Several Python threads calling at once: the calls are serialised by the
interpreter lock, and each thread gets its own correct result and file."""
import threading

import pytest

import vyn
from conftest import SYNTHESIS_ERROR, read_wave

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
