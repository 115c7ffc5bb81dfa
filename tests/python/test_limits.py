"""The time limit and the backward mode with real fragments. Durations are
measured first, one fragment per call, and every limit lies well away from
any fragment boundary."""
import math

import pytest

import vyn
from conftest import read_wave

SHORT = ("en", "One small step.")
LONG = ("en", "This sentence goes on for a good while, much longer than the others around it.")
OTHER = ("en", "Then another.")
LAST = ("en", "And the last.")

# Synthesis of the same text differs by a few samples from call to call, and
# the voices spoken earlier in the process can change its speed by a few per
# cent (a voice's own speed stays in force in eSpeak NG 1.51).
TOLERANCE = dict(abs=0.02, rel=0.03)


@pytest.fixture(scope="module")
def duration(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("alone") / "alone.wav")
    measured = {}

    def measure(fragment):
        if fragment not in measured:
            _, _, anchors = vyn.synthesize_multiple(path, 0.0, 0, [fragment])
            measured[fragment] = anchors[0][1]
        return measured[fragment]
    return measure


def check_written(path, anchors, expected_fragments, duration):
    """The file holds exactly the fragments written, from 0.0 on."""
    assert anchors[0][0] == 0.0
    for (_, end), (begin, _) in zip(anchors, anchors[1:]):
        assert begin == end
    spans = [end - begin for begin, end in anchors]
    assert spans == pytest.approx([duration(f) for f in expected_fragments],
                                  **TOLERANCE)
    assert read_wave(path).seconds == pytest.approx(anchors[-1][1], rel=1e-6)


def test_limit_stops_after_the_fragment_that_reaches_it(wav_path, duration):
    fragments = [SHORT, LONG, OTHER, LAST]
    limit = duration(SHORT) + duration(LONG) / 2
    _, synthesized, anchors = vyn.synthesize_multiple(
        str(wav_path), limit, 0, fragments)
    assert synthesized == 2
    check_written(wav_path, anchors, fragments[:2], duration)


@pytest.mark.parametrize("quit_after, written", [
    (2, 2),  # an int: two seconds fall inside the second fragment
    (math.nan, 4),
    (0, 4),
    (-5.0, 4),
])
def test_limit_values(wav_path, duration, quit_after, written):
    fragments = [SHORT] * 4
    assert 1.1 < duration(SHORT) < 1.9, "the int limit ends in fragment 2"
    _, synthesized, anchors = vyn.synthesize_multiple(
        str(wav_path), quit_after, 0, fragments)
    assert synthesized == written
    check_written(wav_path, anchors, fragments[:written], duration)


def long_middle(duration):
    return [SHORT, LONG, OTHER], (duration(OTHER) + duration(LONG)) / 2


def three_equal(duration):
    return [SHORT] * 3, 1.5 * duration(SHORT)


def shorter_than_the_limit(duration):
    return [SHORT, OTHER, LAST], 3 * duration(LONG) + 1


def single(duration):
    return [LONG], duration(LONG) / 2


def forward_stops_early(duration):
    # Measured from the end: LAST, OTHER, then LONG reaches the limit; the
    # forward pass from LONG reaches it again at OTHER, before LAST.
    fragments = [SHORT, LONG, OTHER, LAST]
    limit = duration(LONG) + duration(OTHER) / 2
    assert duration(LAST) + duration(OTHER) < limit
    return fragments, limit


@pytest.mark.parametrize("case, start, written", [
    (long_middle, 1, 1),
    (three_equal, 1, 2),
    (shorter_than_the_limit, 0, 3),
    (single, 0, 1),
    (forward_stops_early, 1, 2),
], ids=lambda value: getattr(value, "__name__", None))
def test_backward_mode_chooses_the_start(wav_path, duration, case, start,
                                         written):
    fragments, limit = case(duration)
    _, synthesized, anchors = vyn.synthesize_multiple(
        str(wav_path), limit, 1, fragments)
    assert synthesized == written
    check_written(wav_path, anchors, fragments[start:start + written],
                  duration)


@pytest.mark.parametrize("quit_after", [0, -1.0, math.nan])
@pytest.mark.parametrize("backwards", [1, -3, 99])
def test_backward_flag_without_a_limit_is_a_forward_call(
        wav_path, duration, quit_after, backwards):
    fragments = [SHORT, LONG, OTHER]
    _, synthesized, anchors = vyn.synthesize_multiple(
        str(wav_path), quit_after, backwards, fragments)
    assert synthesized == 3
    check_written(wav_path, anchors, fragments, duration)


def test_backward_mode_with_an_empty_list(wav_path):
    assert vyn.synthesize_multiple(str(wav_path), 5.0, 1, []) == (22050, 0, [])
    assert read_wave(wav_path).file_size == 44
