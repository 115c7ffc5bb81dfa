"""synthesize_words against the library's own word events: a sentence in
every language the library lists and the cases that do not split cleanly
into words, in one list, in a fresh process, as a small program driving
the library directly sees them (tests/oracle)."""
import json
import os
import struct
import subprocess
import sys
import unicodedata
from pathlib import Path

import pytest

import vyn
from conftest import (PARSE_ERROR, SYNTHESIS_ERROR, library_data, mbrola,
                      run_python)

ROOT = Path(__file__).resolve().parents[2]
SENTENCES = ROOT / "tests" / "data" / "sentences.tsv"
ORACLE_BUILD = ROOT / "build" / "engine-tests"

# (text, its words as slices of the text): where the library's events are
# not one per written word.
CASES = [
    ("It's here, isn't it?", ["It's", "here,", "isn't", "it?"]),
    ("Two of a kind.", ["Two", "of a", "kind."]),
    ("Call 123 or 3.5 now.", ["Call", "123", "or", "3.5", "now."]),
    ("Send an e-mail to a.b@c.de today.",
     ["Send", "an", "e-mail", "to", "a.b", "@", "c", ".", "de", "today."]),
    ("Smile 😀 please.", ["Smile", "😀", "please."]),
    ("Héllo wörld", ["Héllo", "wörld"]),
    ("One\x01two three.", ["One", "two", "three."]),  # U+0001 is a space
    ("  Leading and trailing blanks.  ", ["Leading", "and", "trailing",
                                          "blanks."]),
    ('"Quoted," she said.', ['"Quoted,"', "she", "said."]),
    ("“Curly” quotes.", ["“Curly”", "quotes."]),
    ("(Open) and shut.", ["(Open)", "and", "shut."]),
    ("[Square] one.", ["[Square]", "one."]),
    ("«Guillemets» too.", ["«Guillemets»", "too."]),
    ("—Dashed off.", ["—Dashed", "off."]),
    ("", []),
    ("?!", []),
]
# Scripts written without spaces between words.
# Fragments with settings among the languages: words stay the library's at
# the ends of the rates it speaks itself, with pauses, pitch and volume.
SHAPED = [
    ("en", "Slowly, with long pauses between the words.",
     {"rate": 80, "word_gap": 50}),
    ("de", "Schnell gesprochen, so schnell es geht.",
     {"rate": 449, "pitch": 99}),
    ("fr", "Doucement et très bas.", {"volume": 10, "pitch": 0}),
]
UNSPACED = {"cmn", "hak", "yue", "ja", "th", "my", "shn"}
# Klingon's Latin spelling writes some letters as capitals; the library
# starts a word at each of them (nuqneH: nuqne, H).
SPLIT_BEFORE_CAPITALS = {"piqd"}


def float32(value):
    return struct.unpack("f", struct.pack("f", value))[0]


def sentence_for(language, sentences):
    """The sentence of the language's longest prefix in the table."""
    parts = language.split("-")
    for n in range(len(parts), 0, -1):
        if "-".join(parts[:n]) in sentences:
            return "-".join(parts[:n]), sentences["-".join(parts[:n])]
    pytest.fail(f"no sentence for {language} in {SENTENCES.name}")


def selectable(code):
    try:
        vyn.synthesize_multiple("/dev/null", 0, 0, [(code, "")])
        return True
    except ValueError:
        return False


def listed_languages():
    """(language, voice code) of every language espeak-ng lists: the
    language itself, or its voice file where the language does not select
    it (chr-US-Qaaa-x-west, whose file is iro/chr)."""
    program = os.environ.get("VYN_ESPEAK_NG") or "espeak-ng"
    listing = subprocess.run([program, "--voices"], check=True,
                             capture_output=True, text=True).stdout
    voices = {}
    for line in listing.splitlines()[1:]:
        language, file = line.split()[1], line.split()[4]
        voices.setdefault(language, language if selectable(language) else file)
    return sorted(voices.items())


def words_of(text, key):
    """(start, end) of each run of letters, marks and digits; in scripts
    written without spaces, of each of these characters (the library may
    start a word at a mark)."""
    words = []
    for i, c in enumerate(text):
        if unicodedata.category(c)[0] not in "LMN":
            continue
        split = key in UNSPACED or (key in SPLIT_BEFORE_CAPITALS and
                                    c.isupper())
        if words and words[-1][1] == i and not split:
            words[-1][1] = i + 1
        else:
            words.append([i, i + 1])
    return words


@pytest.fixture(scope="session")
def oracle():
    """The program that prints the library's word events for a list."""
    if os.environ.get("VYN_WORD_EVENTS"):
        return os.environ["VYN_WORD_EVENTS"]
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(ORACLE_BUILD),
                    "-DVYN_BUILD_MODULE=OFF", "-DVYN_BUILD_TESTS=ON",
                    "-DCMAKE_BUILD_TYPE=Debug"], check=True,
                   capture_output=True)
    subprocess.run(["cmake", "--build", str(ORACLE_BUILD), "--target",
                    "vyn_word_events"], check=True, capture_output=True)
    return str(ORACLE_BUILD / "tests" / "oracle" / "vyn_word_events")


def library_events(oracle, fragments, path):
    """Per fragment: (samples, rate, [(sample, position, length)])."""
    path.write_text("".join(
        "\t".join([v, t, *(",".join(f"{k}={n}" for k, n in s.items())
                            for s in settings)]) + "\n"
        for v, t, *settings in fragments))
    # The bundled library has no data of its own but the module's.
    env = {**os.environ, "ESPEAK_DATA_PATH": str(library_data().parent)} \
        if vyn._bundled else None
    out = subprocess.run([oracle, str(path)], check=True, capture_output=True,
                         text=True, timeout=300, env=env).stdout
    fragments = []
    for line in out.splitlines():
        kind, *values = line.split()
        if kind == "fragment":
            fragments.append([0, 0, []])
        elif kind == "word":
            fragments[-1][2].append(tuple(map(int, values)))
        else:
            fragments[-1][:2] = map(int, values)
    return fragments


def fresh_words(fragments, wav_path):
    """synthesize_words on the list as a fresh process's first call."""
    code = (f"import json, vyn; fragments = [tuple(f) for f in json.loads("
            f"{json.dumps(fragments)!r})]; print(json.dumps("
            f"vyn.synthesize_words({str(wav_path)!r}, 0, 0, fragments)))")
    completed = run_python(code)
    assert completed.returncode == 0, completed.stderr
    return json.loads(completed.stdout)


def expected_begins(rate, events, start, own_rate, delay=0):
    """The times of the events at each position, in the file."""
    begins = {}
    for sample, position, _ in events:
        offset = max(sample - delay, 0)
        offset = (offset * rate + own_rate // 2) // own_rate
        begins.setdefault(position - 1, set()).add(
            float32((start + offset) / rate))
    return begins


@pytest.fixture(scope="module")
def every_language(oracle, tmp_path_factory):
    table = dict(line.split("\t") for line in
                 SENTENCES.read_text(encoding="utf-8").splitlines())
    fragments, keys = [], []
    for language, code in listed_languages():
        key, sentence = sentence_for(language, table)
        fragments.append((code, sentence))
        keys.append(key)
    fragments += [("en", text) for text, _ in CASES] + SHAPED
    keys += ["en"] * len(CASES) + [voice for voice, _, _ in SHAPED]
    work = tmp_path_factory.mktemp("words")
    events = library_events(oracle, fragments, work / "fragments.txt")
    return fragments, keys, fresh_words(fragments, work / "out.wav"), events


def check_words(fragment_words, text, anchor, begins, key):
    """The words partition the text in order, each written word lies in
    one, their begins are the library's, and each ends where the next
    begins."""
    spans = [(start, start + length) for _, _, start, length in fragment_words]
    for (_, end), (start, _) in zip(spans, spans[1:]):
        assert end <= start
    for begin, end in words_of(text, key):
        holders = [s for s in spans if s[0] <= begin and end <= s[1]]
        assert len(holders) == 1, (text[begin:end], spans)
    for (begin, _, start, _), (next_begin, _, _, _) in zip(
            fragment_words, fragment_words[1:]):
        assert begin < next_begin
    for begin, end, start, _ in fragment_words[1:]:
        assert begin in begins[start], text[start:]
    if fragment_words:
        ends = [w[0] for w in fragment_words[1:]] + [anchor[1]]
        assert [w[1] for w in fragment_words] == ends
        # The first begins with its fragment, from the first character that
        # is not blank, whatever the library names it at.
        assert fragment_words[0][0] == anchor[0]
        assert fragment_words[0][2] == len(text) - len(text.lstrip())


def test_every_listed_language(every_language):
    fragments, keys, result, events = every_language
    rate, synthesized, anchors, words = result
    assert synthesized == len(fragments) == len(words)
    start = 0
    for i, (voice, text, *_) in enumerate(fragments):
        samples, own_rate, fragment_events = events[i]
        begins = expected_begins(rate, fragment_events, start, own_rate)
        check_words(words[i], text, anchors[i], begins, keys[i])
        start += samples
        assert words[i] or not any(
            unicodedata.category(c)[0] in "LN" for c in text), voice


# SSML: positions index the source as given, a word spans text content
# (from its first character, never a tag, to its last before the next word).
SSML_CASES = [
    ("<speak>Hello <emphasis>big</emphasis> world.</speak>",
     ["Hello", "big", "world."], {}),
    ("<speak><say-as interpret-as='characters'>abc</say-as> done</speak>",
     ["abc", "done"], {"rate": 449}),
    ("<speak> <p xml:lang='de'>Eins <break time='900ms'/>zwei</p></speak>",
     ["Eins", "zwei"], {"rate": 80}),
    ("Héllo <b>wörld</b> <unknown a='b'>end", ["Héllo", "wörld", "end"], {}),
]


@pytest.mark.parametrize("text, slices, settings", SSML_CASES)
def test_ssml_words_span_text_content(tmp_path, text, slices, settings):
    fragments = [("en", "Before."), ("en", text, {"ssml": True, **settings})]
    _, _, anchors, words = vyn.synthesize_words(str(tmp_path / "w.wav"), 0,
                                                0, fragments)
    words = words[1]
    assert [text[s:s + n] for _, _, s, n in words] == slices
    assert words[0][0] == anchors[1][0] and words[-1][1] == anchors[1][1]
    assert all(a[1] == b[0] for a, b in zip(words, words[1:]))
    if "break" in text:  # the word after a break begins after it
        assert words[1][0] - words[0][0] > 0.9


@pytest.mark.parametrize("text, slices", CASES,
                         ids=[text.strip()[:12] or "empty" for text, _ in CASES])
def test_words_that_are_not_one_event_each(every_language, text, slices):
    fragments, _, (_, _, _, words), _ = every_language
    i = fragments.index(("en", text))
    assert [text[s:s + n] for _, _, s, n in words[i]] == slices


@pytest.mark.parametrize("fragments", [
    mbrola([("mb-us1", "Hello there. This is a test, yes.")], "us1"),
    mbrola([("en", "First, a standard voice."),
            ("mb-us1", "Hello there. This is a test, yes.")], "us1"),
], ids=["mbrola_alone", "mbrola_converted"])
def test_mbrola_words_are_clauses_without_the_delay(oracle, tmp_path,
                                                    fragments):
    rate, _, anchors, words = fresh_words(fragments, tmp_path / "out.wav")
    events = library_events(oracle, fragments, tmp_path / "fragments.txt")
    start = 0
    for i, (voice, text) in enumerate(fragments):
        samples, own_rate, fragment_events = events[i]
        delay = 1000 if voice.startswith("mb-") else 0
        begins = expected_begins(rate, fragment_events, start, own_rate, delay)
        for begin, _, s, _ in words[i]:
            assert begin in begins[s]
        start += (samples * rate + own_rate // 2) // own_rate
    assert [text[s:s + n] for _, _, s, n in words[-1]] == [
        "Hello there.", "This is a test, yes."]


def test_same_result_file_and_errors_as_synthesize_multiple(tmp_path):
    """The same calls in two fresh processes, one with each function."""
    script = """
import json, sys, vyn
synthesize, out = getattr(vyn, sys.argv[1]), sys.argv[2]
fragments = [("en", "One two."), ("de", "Drei vier."), ("en", "Five.")]
for i, (quit_after, backwards) in enumerate([(0, 0), (0.5, 0), (1.2, 1)]):
    result = synthesize(f"{out}{i}.wav", quit_after, backwards, fragments)
    print(json.dumps(result[:3]))
for fragments in [[("en", 1)], [("en", "a"), ("xx-nosuch", "a")]]:
    try:
        synthesize(f"{out}x.wav", 0, 0, fragments)
    except ValueError as error:
        print(error, getattr(error, "__notes__", None))
"""
    outputs = {}
    for function in ["synthesize_multiple", "synthesize_words"]:
        completed = subprocess.run(
            [sys.executable, "-c", script, function, str(tmp_path / function)],
            capture_output=True, text=True, timeout=120)
        assert completed.returncode == 0, completed.stderr
        files = [(tmp_path / f"{function}{i}.wav").read_bytes()
                 for i in range(3)]
        outputs[function] = (completed.stdout, files)
    assert outputs["synthesize_words"] == outputs["synthesize_multiple"]
    assert PARSE_ERROR in outputs["synthesize_words"][0]
    assert SYNTHESIS_ERROR in outputs["synthesize_words"][0]


@pytest.mark.parametrize("quit_after, backwards", [(0.0, 0), (60.0, 1)],
                         ids=["forward", "backward"])
def test_layer_places_the_words_of_its_parts_in_the_joined_file(
        tmp_path, quit_after, backwards):
    """Split over two workers, each part's words land where its audio does
    in the joined file; the words are those of one call."""
    import vyn_tools
    fragments = [("en", "A sentence, of a long list; it's one more.")] * 160
    rate, synthesized, anchors, words = vyn_tools.synthesize_words(
        str(tmp_path / "joined.wav"), quit_after, backwards, fragments,
        workers=2)
    one = vyn.synthesize_words(str(tmp_path / "one.wav"), quit_after,
                               backwards, fragments)
    assert rate == one[0] and len(words) == synthesized
    # The backward start may come out one off where the limit falls within
    # a few milliseconds of a boundary (the calls' histories differ).
    assert abs(synthesized - one[1]) <= backwards
    for anchor, fragment_words, alone in zip(anchors, words, one[3]):
        assert [w[2:] for w in fragment_words] == [w[2:] for w in alone]
        assert fragment_words[0][0] == anchor[0]
        assert fragment_words[-1][1] == anchor[1]
        assert all(a[1] == b[0] for a, b in zip(fragment_words,
                                                fragment_words[1:]))
        # Within its fragment as in one call, but for the few per cent that
        # the synthesizer's history (another process's) makes.
        assert [w[0] - anchor[0] for w in fragment_words] == pytest.approx(
            [w[0] - alone[0][0] for w in alone], rel=0.05, abs=0.02)
