"""Fuzzed arguments: whatever a call is given, it returns a well-formed
result with a valid WAVE file, or raises TypeError, ValueError with one of
its two messages, or MemoryError, and the interpreter goes on.

VYN_FUZZ_PROFILE=soak runs 10,000 examples per property (tests/soak.py
does); the default profile runs a few hundred."""
import math
import os
import shutil
import tempfile
from pathlib import Path

from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import vyn
from conftest import (
    ListSubclass, PARSE_ERROR, SYNTHESIS_ERROR, TupleSubclass, read_wave)

# CI draws the same examples every run: the synthesizer's output depends a
# little on what it spoke before in the process (see test_threads.py), so
# random texts here would make later tests' timings vary from run to run.
settings.register_profile(
    "ci", max_examples=300, deadline=None, database=None, derandomize=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.register_profile(
    "soak", max_examples=10_000, deadline=None, database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
PROFILE = os.environ.get("VYN_FUZZ_PROFILE", "ci")

VOICES = ["en", "en-us", "de", "fr", "es", "ru", "cmn", "ar", "", "EN"]
C_BLANKS = " \t\n\v\f\r"  # what the engine skips at the start of a path
INT_MIN, INT_MAX = -2**31, 2**31 - 1


class StrSubclass(str):
    pass


# -- the pieces of a call ----------------------------------------------------

# Every character, lone surrogates included (Python's "s" rejects them).
any_char = st.characters(blacklist_categories=())
short_text = st.text(any_char, max_size=40)
WORDS = ["one", "two", "three", "and", "Dog.", "é", "über", "мир", "数",
         "1999", "3.5", "?", ",", "—", "!", "'s", "s'"]
long_text = st.lists(st.sampled_from(WORDS), min_size=50, max_size=400).map(
    " ".join)
# Word lists are kept under the lengths at which eSpeak NG 1.51 is known to
# abort on runs such as "s' s' s'" (see tests/data/crash-vectors).
texts = st.one_of(short_text, st.sampled_from(["", " ", "\0", "a\0b",
                                                "\ud800", "...", "\n\n"]),
                  long_text.filter(lambda t: "s's'" not in t))
voices = st.one_of(st.sampled_from(VOICES), short_text)
path_names = st.text(st.characters(blacklist_characters="/",
                                   blacklist_categories=()),
                     min_size=1, max_size=300).filter(
                         lambda name: name not in (".", ".."))

pair = st.tuples(voices, texts)
strings = st.one_of(short_text, st.binary(max_size=10))
items = st.one_of(
    pair,
    pair.map(TupleSubclass),
    st.tuples(voices.map(StrSubclass), texts.map(StrSubclass)),
    pair.map(list),
    st.tuples(voices),
    st.tuples(voices, texts, texts),
    st.tuples(st.binary(max_size=5), texts),
    st.tuples(voices, st.integers()),
    strings, st.none(), st.integers(),
)
clean_text = st.one_of(
    st.text(st.characters(blacklist_categories=("Cs",),
                          blacklist_characters="\0"), max_size=40),
    long_text.filter(lambda t: "s's'" not in t))
good_pair = st.tuples(st.sampled_from(VOICES), clean_text)
# Half the lists are all well-formed fragments, so that calls get as far as
# the synthesizer; the rest mix in items of every shape.
fragment_lists = st.one_of(st.lists(good_pair, max_size=6),
                           st.lists(st.one_of(good_pair, items), max_size=6))
numbers = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(min_value=-10**40, max_value=10**40),
    st.integers(min_value=-3, max_value=3),
    st.booleans(),
    st.sampled_from([0, 0.0, -0.0, 0.01, 0.5, 2.0, math.nan, math.inf,
                     -math.inf, 1e300, 1e-45, 2**31, -2**31 - 1, 10**400]),
)
anything = st.one_of(numbers, strings, st.none(),
                     st.lists(st.integers(), max_size=3),
                     st.dictionaries(st.text(max_size=3), st.integers(),
                                     max_size=2))


@st.composite
def output_paths(draw, directory: str):
    kind = draw(st.sampled_from(["file", "file", "file", "named", "named",
                                 "blank-prefix", "dir",
                                 "missing-dir", "blank", "long", "other"]))
    if kind == "file":
        return os.path.join(directory, "out.wav")
    if kind == "named":
        return os.path.join(directory, draw(path_names))
    if kind == "blank-prefix":
        prefix = draw(st.text(st.sampled_from(C_BLANKS), min_size=1))
        return prefix + os.path.join(directory, "blank.wav")
    if kind == "dir":
        return directory
    if kind == "missing-dir":
        return os.path.join(directory, "missing", "out.wav")
    if kind == "blank":
        return draw(st.text(st.sampled_from(C_BLANKS), max_size=5))
    if kind == "long":
        return os.path.join(directory, "a" * draw(st.integers(250, 5000)))
    # A bytes path is a name in the workspace, the current directory.
    names = st.binary(max_size=10).filter(lambda name: b"/" not in name)
    return draw(st.one_of(names, st.none(), numbers,
                          st.just(os.path.join(directory, "a\0b"))))


# -- what a call may do ------------------------------------------------------

def is_c_string(value) -> bool:
    """What the "s" format accepts: a str encodable as UTF-8, without NUL."""
    if not isinstance(value, str) or "\0" in value:
        return False
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def is_path(value) -> bool:
    """What a path may be: str, bytes or os.PathLike in the file-system
    encoding, without NUL."""
    try:
        return b"\0" not in os.fsencode(value)
    except (TypeError, UnicodeEncodeError):
        return False


def is_c_float(value) -> bool:
    if not isinstance(value, (int, float)):
        return False
    try:
        float(value)
    except OverflowError:
        return False
    return True


def well_formed(args) -> bool:
    """Whether the arguments get past parsing."""
    if len(args) != 4:
        return False
    path, quit_after, backwards, fragments = args
    return (is_path(path) and is_c_float(quit_after)
            and isinstance(backwards, int)
            and INT_MIN <= backwards <= INT_MAX
            and isinstance(fragments, list)
            and all(isinstance(item, tuple) and len(item) == 2
                    and all(is_c_string(part) for part in item)
                    for item in fragments))


def written_path(path) -> str:
    return os.fsdecode(os.fsencode(path).lstrip(C_BLANKS.encode()))


def check_result(args, result):
    path, quit_after, backwards, fragments = args
    assert type(result) is tuple and len(result) == 3
    sample_rate, synthesized, anchors = result
    assert type(sample_rate) is int and sample_rate > 0
    assert type(synthesized) is int and 0 <= synthesized <= len(fragments)
    assert type(anchors) is list and len(anchors) == synthesized
    previous_end = 0.0
    for begin, end in anchors:
        assert type(begin) is float and type(end) is float
        assert begin == previous_end <= end  # fragments follow each other
        previous_end = end
    limited = float(quit_after) > 0  # NaN compares false: no limit
    if not limited:
        assert synthesized == len(fragments)
    elif synthesized < len(fragments) and not backwards:
        assert previous_end >= float(quit_after) - 1e-6
    if fragments and (not limited or not backwards):
        assert synthesized > 0
    info = read_wave(written_path(path))
    assert info.sample_rate == sample_rate
    assert info.channels == 1 and info.sample_width == 2
    assert abs(info.seconds - previous_end) < 1e-3


def call(args, kwargs=None):
    """Calls and classifies: ("ok", result) or (exception type, message)."""
    try:
        result = vyn.synthesize_multiple(*args, **(kwargs or {}))
    except ValueError as error:
        assert str(error) in (PARSE_ERROR, SYNTHESIS_ERROR), error
        event(str(error))
        return ValueError, str(error)
    except (TypeError, MemoryError) as error:
        event(type(error).__name__)
        return type(error), str(error)
    event("returned")
    return "ok", result


class Workspace:
    """A fresh directory under the test's temporary directory per example,
    removed after it; the current directory is moved there too, so that no
    path can land outside."""

    def __init__(self, base: Path):
        self.base = base

    def __enter__(self) -> str:
        self.directory = tempfile.mkdtemp(dir=self.base)
        self.previous = os.getcwd()
        os.chdir(self.directory)
        return self.directory

    def __exit__(self, *exc):
        os.chdir(self.previous)
        shutil.rmtree(self.directory)


def check_outcome(args, outcome, detail):
    """A result for well-formed arguments, the parse message for the rest,
    the synthesis message or MemoryError for anything else."""
    if outcome == "ok":
        assert well_formed(args)
        check_result(args, detail)
    elif outcome is ValueError:
        assert (detail == PARSE_ERROR) != well_formed(args)
    else:
        assert outcome is MemoryError


@settings(settings.get_profile(PROFILE))
@given(data=st.data())
def test_arbitrary_arguments(tmp_path_factory, data):
    """Any positional tuple: wrong arities, wrong types, keyword arguments."""
    with Workspace(tmp_path_factory.getbasetemp()) as directory:
        first = data.draw(st.one_of(output_paths(directory), anything))
        rest = data.draw(st.lists(st.one_of(anything, fragment_lists),
                                  max_size=5))
        args = [first] + rest
        kwargs = data.draw(st.one_of(
            st.just({}), st.dictionaries(st.sampled_from(
                ["fragments", "quit_after", "x"]), anything, min_size=1,
                max_size=2)))
        outcome, detail = call(args, kwargs)
        if kwargs:
            assert outcome is TypeError
        else:
            check_outcome(args, outcome, detail)


@settings(settings.get_profile(PROFILE))
@given(data=st.data())
def test_fragment_lists(tmp_path_factory, data):
    """Four arguments of nearly the right kinds, and lists of fragments of
    every shape."""
    with Workspace(tmp_path_factory.getbasetemp()) as directory:
        path = data.draw(output_paths(directory))
        quit_after = data.draw(st.one_of(
            st.sampled_from([0, -1, 0.3, 1.0, 3.0, math.nan]), numbers))
        backwards = data.draw(st.one_of(st.sampled_from([0, 1, -1]),
                                        st.sampled_from([0, 1]), numbers))
        fragments = data.draw(st.one_of(
            fragment_lists, fragment_lists, fragment_lists.map(ListSubclass),
            fragment_lists.map(tuple), st.lists(fragment_lists, max_size=2)))
        args = (path, quit_after, backwards, fragments)
        outcome, detail = call(args)
        check_outcome(args, outcome, detail)

        # Well-formed fragments in known voices at a usable path always work.
        known = all(isinstance(item, tuple) and item[0] in VOICES
                    for item in fragments) if well_formed(args) else False
        target = Path(written_path(path)) if is_path(path) else None
        usable = (target is not None and target.parent == Path(directory)
                  and len(os.fsencode(target.name)) <= 255)
        if known and usable:
            assert outcome == "ok", (args, detail)


def test_interpreter_survives(tmp_path):
    rate, count, anchors = vyn.synthesize_multiple(
        str(tmp_path / "after.wav"), 0, 0, [("en", "Still here.")])
    assert count == 1 and read_wave(tmp_path / "after.wav").frames > 0
