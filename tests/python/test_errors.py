"""Bad arguments and failed syntheses: the exception and its exact message,
what is left on disk, and a process that goes on working afterwards."""
import os

import pytest

import vyn
import vyn_tools
from conftest import (
    ListSubclass, PARSE_ERROR, SYNTHESIS_ERROR, mbrola, read_wave,
    run_python, without_voice_data)

GOOD = ("en", "Hello there.")


class FailingPath:
    def __fspath__(self):
        raise RuntimeError("no path")


@pytest.mark.parametrize("args", [
    (),
    ("out.wav", 0.0, 0),
    ("out.wav", 0.0, 0, [GOOD], None),
    (bytearray(b"out.wav"), 0.0, 0, [GOOD]),
    (None, 0.0, 0, [GOOD]),
    ("out\0.wav", 0.0, 0, [GOOD]),
    (b"out\0.wav", 0.0, 0, [GOOD]),
    ("out\ud800.wav", 0.0, 0, [GOOD]),
    (FailingPath(), 0.0, 0, [GOOD]),
    ("out.wav", "1.0", 0, [GOOD]),
    ("out.wav", None, 0, [GOOD]),
    ("out.wav", 0.0, 1.5, [GOOD]),
    ("out.wav", 0.0, "1", [GOOD]),
    ("out.wav", 0.0, 2 ** 40, [GOOD]),
], ids=["no_args", "three_args", "five_args", "bytearray_path", "none_path",
        "nul_in_path", "nul_in_bytes_path", "unencodable_path",
        "failing_fspath", "str_limit", "none_limit", "float_flag", "str_flag",
        "flag_overflow"])
def test_bad_arguments(tmp_path, args, monkeypatch, synthesize):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ValueError) as raised:
        synthesize(*args)
    assert str(raised.value) == PARSE_ERROR
    assert list(tmp_path.iterdir()) == []


def test_keyword_arguments_are_refused_by_the_interpreter(wav_path):
    with pytest.raises(TypeError):
        vyn.synthesize_multiple(output_file_path=str(wav_path), quit_after=0,
                                backwards=0, fragments=[GOOD])
    assert not wav_path.exists()


@pytest.mark.parametrize("fragments", [
    (GOOD,),
    {"en": "Hello"},
    "en",
    None,
    iter([GOOD]),
    [["en", "Hello"]],
    [("en",)],
    [("en", "Hello", "extra")],
    [42],
    [(b"en", "Hello")],
    [("en", b"Hello")],
    [("en", None)],
    [("e\0n", "Hello")],
    [("en", "Hel\0lo")],
    [("en", "lone \ud800 surrogate")],
    [GOOD, GOOD, ("en", 7)],
    ListSubclass([GOOD, ["en", "Hello"]]),
], ids=["tuple", "dict", "str", "none", "iterator", "list_item",
        "one_tuple", "three_tuple", "number", "bytes_voice", "bytes_text",
        "none_text", "nul_in_voice", "nul_in_text", "lone_surrogate",
        "bad_after_good", "bad_in_subclass"])
def test_bad_fragments_synthesize_nothing(wav_path, fragments, synthesize):
    with pytest.raises(ValueError) as raised:
        synthesize(str(wav_path), 0.0, 0, fragments)
    assert str(raised.value) == PARSE_ERROR
    assert not wav_path.exists()


KEYS = "'rate', 'pitch', 'volume', 'word_gap', 'ssml'"
RATES = "rate must be from 80 to 1000 words per minute"


# The item comes third: the note counts from the whole list's start.
@pytest.mark.parametrize("settings, message, note", [
    ([("rate", 90)], PARSE_ERROR,
     "settings must be a mapping, such as a dict"),
    ({"SSML": True}, PARSE_ERROR, f"settings key 'SSML' is not one of {KEYS}"),
    ({"ssml": 1}, PARSE_ERROR, "settings key 'ssml' takes a bool"),
    ({"ssml": "yes"}, PARSE_ERROR, "settings key 'ssml' takes a bool"),
    ({1: 90}, PARSE_ERROR, f"settings key 1 is not one of {KEYS}"),
    ({"rate": True}, PARSE_ERROR, "settings key 'rate' takes an int"),
    ({"pitch": 50.0}, PARSE_ERROR, "settings key 'pitch' takes an int"),
    ({"volume": "100"}, PARSE_ERROR, "settings key 'volume' takes an int"),
    ({"rate": 79}, SYNTHESIS_ERROR, RATES),
    ({"rate": 1001}, SYNTHESIS_ERROR, RATES),
    ({"rate": 2 ** 70}, SYNTHESIS_ERROR, RATES),
    ({"rate": -2 ** 70}, SYNTHESIS_ERROR, RATES),
    ({"pitch": -1}, SYNTHESIS_ERROR, "pitch must be from 0 to 99"),
    ({"pitch": 100}, SYNTHESIS_ERROR, "pitch must be from 0 to 99"),
    ({"volume": 201}, SYNTHESIS_ERROR, "volume must be from 0 to 200"),
    ({"word_gap": -1}, SYNTHESIS_ERROR,
     "word_gap must be from 0 to 1000 (units of 10 ms)"),
    ({"rate": 200, "word_gap": 1001}, SYNTHESIS_ERROR,
     "word_gap must be from 0 to 1000 (units of 10 ms)"),
])
def test_bad_settings_name_the_fragment_and_leave_the_file(
        wav_path, settings, message, note, synthesize):
    wav_path.write_bytes(b"earlier")
    with pytest.raises(ValueError) as raised:
        synthesize(str(wav_path), 0.0, 0,
                   [GOOD, GOOD, ("en", "Hi", settings), GOOD])
    assert str(raised.value) == message
    assert raised.value.__notes__ == [f"fragment 2: {note}"]
    assert wav_path.read_bytes() == b"earlier"


# Voices an SSML text asks for pass the check a fragment's code passes (the
# library would otherwise reach the crashes that check guards) and MBROLA's
# other rate and process are refused inside a fragment; as the library reads
# attributes: the first of a tag, quoted or not, cut to its field.
@pytest.mark.parametrize("text, voice, reason", [
    ("<speak xml:lang='all'>Hi</speak>", "all", "voice 'all' is not installed"),
    ("<s xml:lang=allx>Hi</s>", "allx", "voice 'allx' is not installed"),
    ("<voice name='klatt'>Hi</voice>", "klatt",
     "voice 'klatt' is not installed"),
    ("<VOICE gender='female' name=\"!v/m3\">Hi</VOICE>", "!v/m3",
     "voice '!v/m3' is not a voice code"),
    ("<voice name=!v/m3>Hi</voice>", "!v", "voice '!v' is not a voice code"),
    ("<voice name='en+nosuch'>Hi</voice>", "en+nosuch",
     "voice 'en+nosuch' is not installed"),
    ("<p xml:lang='" + "a" * 30 + "'>Hi</p>", "a" * 16,
     f"voice '{'a' * 16}' is not installed"),
    pytest.param("<voice name='mb-us1'>Hi</voice>", "mb-us1",
                 "an MBROLA voice", marks=mbrola(0, "us1").marks),
])
def test_voices_inside_ssml_are_checked(wav_path, text, voice, reason):
    wav_path.write_bytes(b"earlier")
    with pytest.raises(ValueError) as raised:
        vyn.synthesize_multiple(str(wav_path), 0.0, 0,
                                [GOOD, ("en", text, {"ssml": True})])
    assert str(raised.value) == SYNTHESIS_ERROR
    assert raised.value.__notes__ == [
        f"fragment 1: SSML asks for voice '{voice}': {reason}"]
    assert wav_path.read_bytes() == b"earlier"
    # Without the flag the same text is spoken as written.
    assert vyn.synthesize_multiple(str(wav_path), 0.0, 0,
                                   [("en", text)])[1] == 1


def test_ssml_asks_for_a_bounded_number_of_voices(wav_path):
    """Each new code costs its check: 64 distinct ones at most, however
    often each is asked for."""
    asks = "".join(f"<s xml:lang='en-x{i % 65}'>a</s>" for i in range(500))
    with pytest.raises(ValueError) as raised:
        vyn.synthesize_multiple(str(wav_path), 0.0, 0,
                                [("en", asks, {"ssml": True})])
    assert raised.value.__notes__ == [
        "fragment 0: SSML asks for 65 voices (at most 64)"]
    assert not wav_path.exists()


@pytest.mark.parametrize("item", [("en", "Hi", {}, {}), ("en", "Hi", {}, 1),
                                  ("en",), ["en", "Hi", {}]])
def test_an_item_of_another_shape_is_named(wav_path, item):
    with pytest.raises(ValueError) as raised:
        vyn.synthesize_multiple(str(wav_path), 0.0, 0, [GOOD, item])
    assert str(raised.value) == PARSE_ERROR
    assert raised.value.__notes__ == [
        "fragment 1: not a (voice_code, text) or (voice_code, text, settings)"
        " tuple"]


SSML_MARK = "<speak>Hi <mark name='m'/>there</speak>"


@pytest.mark.parametrize("timed, fast", [
    (lambda path, fast: vyn.synthesize_words(path, 0.0, 0, fast),
     ("en", "Hi", {"rate": 450})),
    (lambda path, fast: vyn_tools.synthesize_words(path, 0.0, 0, fast),
     ("en", "Hi", {"rate": 450})),
    (lambda path, fast: vyn_tools.synthesize(fast, path, phonemes=True),
     ("en", "Hi", {"rate": 1000})),
    (lambda path, fast: vyn_tools.synthesize(fast, path),  # marks
     ("en", SSML_MARK, {"rate": 450, "ssml": True})),
], ids=["words", "tools-words", "phonemes", "marks"])
def test_rates_sped_up_afterwards_give_no_event_times(wav_path, timed, fast):
    """Above 449 words a minute the library's events are not where the
    sped-up words are: refused before the file is opened."""
    wav_path.write_bytes(b"earlier")
    fast = [GOOD, fast]
    with pytest.raises(ValueError) as raised:
        timed(str(wav_path), fast)
    assert raised.value.__notes__ == [
        "fragment 1: rate above 449 words per minute gives no event times"]
    assert wav_path.read_bytes() == b"earlier"
    assert vyn.synthesize_multiple(str(wav_path), 0.0, 0, fast)[1] == 2


def dev_full(tmp_path):
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    return "/dev/full"


@pytest.mark.parametrize("path, fragments, leaves", [
    (lambda tmp: "", [GOOD, GOOD], "nothing"),
    (lambda tmp: " \t\n ", [GOOD, GOOD], "nothing"),
    (lambda tmp: str(tmp), [GOOD, GOOD], "nothing"),
    (lambda tmp: str(tmp / "missing" / "out.wav"), [GOOD, GOOD], "nothing"),
    (dev_full, [GOOD, GOOD], "device"),
    (lambda tmp: str(tmp / "out.wav"), [("zz-nonexistent", "Hello")],
     "nothing"),
    (lambda tmp: str(tmp / "out.wav"),
     [GOOD, ("xx-nope", "Hello"), GOOD], "nothing"),
], ids=["empty_path", "blank_path", "directory", "missing_directory",
        "dev_full", "unknown_voice", "unknown_voice_in_the_middle"])
@pytest.mark.parametrize("backwards", [0, 1])
def test_synthesis_failures(tmp_path, path, fragments, leaves, backwards,
                            synthesize):
    output = path(tmp_path)
    before = set(tmp_path.iterdir())
    with pytest.raises(ValueError) as raised:
        synthesize(output, 100.0, backwards, fragments)
    assert str(raised.value) == SYNTHESIS_ERROR
    if leaves == "nothing":
        assert set(tmp_path.iterdir()) == before
    elif leaves == "wave":
        read_wave(output)  # a valid WAVE of whatever came before the failure
    # The process goes on working.
    good = tmp_path / "after.wav"
    assert vyn.synthesize_multiple(str(good), 0.0, 0, [GOOD])[1] == 1
    assert read_wave(good).frames > 0


def test_unknown_voice_leaves_the_earlier_file_as_it_was(wav_path):
    vyn.synthesize_multiple(str(wav_path), 0.0, 0, [GOOD])
    earlier = wav_path.read_bytes()
    with pytest.raises(ValueError):
        vyn.synthesize_multiple(str(wav_path), 0.0, 0,
                                [GOOD, ("xx-nope", "Hello")])
    assert wav_path.read_bytes() == earlier


MISSING_DATA = """
import os, sys, vyn
out = sys.argv[1] if len(sys.argv) > 1 else {out!r}
try:
    vyn.synthesize_multiple(out, 0.0, 0, [("en", "Hello")])
except ValueError as error:
    print("failed:", error, "| file:", os.path.exists(out))
{give_data_back}
print("then:", vyn.synthesize_multiple(out, 0.0, 0, [("en", "Hello")])[1])
"""


def test_missing_voice_data_is_an_error_not_an_exit(tmp_path):
    env, give_data_back = without_voice_data(tmp_path)
    out = tmp_path / "out.wav"
    done = run_python(MISSING_DATA.format(out=str(out),
                                          give_data_back=give_data_back),
                      env=env)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        f"failed: {SYNTHESIS_ERROR} | file: False", "then: 1"]
    assert read_wave(out).frames > 0


MANY_CALLS = """
import sys, vyn
out = sys.argv[1] if len(sys.argv) > 1 else {out!r}
for call in range(250):
    backwards = call % 2
    rate, count, anchors = vyn.synthesize_multiple(
        out, 1.0 if call % 3 else 0.0, backwards,
        [("en", "call %d" % call), ("de", "zwei"), ("fr", "trois")])
    assert count >= 1 and len(anchors) == count
print("done")
"""


def test_hundreds_of_calls_in_one_process_do_not_hang(tmp_path):
    done = run_python(MANY_CALLS.format(out=str(tmp_path / "out.wav")),
                      timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "done"
