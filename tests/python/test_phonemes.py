"""vyn_tools.synthesize: phonemes against the library's own phoneme events
(tests/oracle, a fresh process each) and its command line's IPA, the
visemes, the audio in memory, and a split list against one call."""
import json
import os
import string
import subprocess
import unicodedata
from array import array
from concurrent.futures import ThreadPoolExecutor

import pytest

import vyn
import vyn_tools
import vyn_tools._long_list
from conftest import PARSE_ERROR, espeak_ng, library_data, mbrola, run_python
from test_words import (CASES, SENTENCES, SHAPED, float32, listed_languages,
                        oracle, sentence_for)
from vyn_tools.visemes import VISEME_OF_SOUND, VISEMES, viseme

__all__ = ["oracle"]  # the fixture, shared with the word tests
SWITCH = "("  # a language switch comes as a phoneme named "(en)"


def library_phonemes(oracle, fragments, path):
    """Per fragment: (samples, rate, [(sample, position, name)])."""
    path.write_text("".join(f"{v}\t{t}\t" + ",".join(
        f"{k}={n}" for s in settings for k, n in s.items()) + "\n"
        for v, t, *settings in fragments))
    env = {**os.environ, "ESPEAK_DATA_PATH": str(library_data().parent)} \
        if vyn._bundled else None
    out = subprocess.run([oracle, str(path), "--phonemes"], check=True,
                         capture_output=True, text=True, timeout=300,
                         env=env).stdout
    found = []
    for line in out.splitlines():
        kind, *values = line.split(" ")
        if kind == "fragment":
            found.append([0, 0, []])
        elif kind == "phoneme":
            name = "" if values[2] == "-" else values[2]
            found[-1][2].append((int(values[0]), int(values[1]), name))
        elif kind == "samples":
            found[-1][:2] = map(int, values)
    return found


def fresh_synthesis(fragments, output, **asked):
    """vyn_tools.synthesize on the list as a fresh process's first call:
    per fragment (begin, end, phonemes as lists), and the samples in
    memory as a list when output is None."""
    code = f"""
import json, vyn_tools
fragments = [tuple(f) for f in json.loads({json.dumps(fragments)!r})]
r = vyn_tools.synthesize(fragments, {output!r}, **{asked!r})
print(json.dumps([r.sample_rate, r.samples and r.samples.tolist(),
    [[f.begin, f.end, [[p.begin, p.end, p.ipa, p.viseme, p.start]
                       for p in f.phonemes]] for f in r.fragments]]))
"""
    completed = run_python(code, timeout=300)
    assert completed.returncode == 0, completed.stderr
    return json.loads(completed.stdout)


def check_phonemes(phonemes, events, anchor, start, rate, own_rate, delay=0):
    """Names as the library's without its language switches; the first
    begins with the fragment, the others at their event's sample in the
    file, each ends where the next begins, the last with the fragment."""
    events = [e for e in events if not e[2].startswith(SWITCH)]
    assert [p[2] for p in phonemes] == [e[2] for e in events]
    assert [p[4] for p in phonemes] == [max(e[1] - 1, 0) for e in events]
    offset, begins = 0, []
    for k, (sample, _, _) in enumerate(events):
        if k:
            converted = max(sample - delay, 0)
            converted = (converted * rate + own_rate // 2) // own_rate
            offset = max(offset, converted)
        begins.append(float32((start + offset) / rate))
    assert [p[0] for p in phonemes] == begins
    if phonemes:
        assert phonemes[0][0] == anchor[0]
        assert [p[1] for p in phonemes] == [p[0] for p in phonemes[1:]] + [
            anchor[1]]


def test_every_listed_language_as_the_library_gives_it(oracle, tmp_path):
    table = dict(line.split("\t") for line in
                 SENTENCES.read_text(encoding="utf-8").splitlines())
    fragments = [(code, sentence_for(language, table)[1])
                 for language, code in listed_languages()]
    fragments += [("en", text) for text, _ in CASES] + SHAPED
    rate, _, written = fresh_synthesis(fragments, str(tmp_path / "o.wav"),
                                       phonemes=True)
    events = library_phonemes(oracle, fragments, tmp_path / "f.txt")
    start = 0
    for (begin, end, phonemes), (samples, own_rate, fragment_events) in zip(
            written, events):
        check_phonemes(phonemes, fragment_events, (begin, end), start, rate,
                       own_rate)
        start += samples
    # Every name the library gives maps onto the table's sounds, never by
    # chance: each letter of it is a sound of the table or a mark.
    for _, _, phonemes in written:
        for _, _, ipa, mouth, _ in phonemes:
            assert mouth in VISEMES
            assert all(c in VISEME_OF_SOUND or c in "ˈˌːˑ" or
                       c in string.punctuation or
                       unicodedata.category(c) in ("Mn", "Lm", "Sk")
                       for c in unicodedata.normalize("NFD", ipa)), ipa


@pytest.mark.parametrize("fragments", [
    mbrola([("en", "First, a standard voice."),
            ("mb-us1", "Hello there, a test.")], "us1"),
], ids=["mbrola_converted"])
def test_mbrola_phonemes_without_the_delay(oracle, tmp_path, fragments):
    rate, _, written = fresh_synthesis(fragments, str(tmp_path / "o.wav"),
                                       phonemes=True)
    events = library_phonemes(oracle, fragments, tmp_path / "f.txt")
    start = 0
    for (voice, _), (begin, end, phonemes), (samples, own_rate, found) in zip(
            fragments, written, events):
        check_phonemes(phonemes, found, (begin, end), start, rate, own_rate,
                       1000 if voice.startswith("mb-") else 0)
        start += (samples * rate + own_rate // 2) // own_rate


@pytest.mark.parametrize("voice, text", [
    ("en", "Church bells ring at noon, twenty-one times."),
    ("de", "Zwölf Boxkämpfer jagen Viktor quer über den großen Sylter Deich."),
    ("fr", "Le cœur a ses raisons que la raison ne connaît point."),
    ("ru", "Съешь же ещё этих мягких французских булок."),
])
def test_joined_ipa_is_what_the_command_line_prints(voice, text):
    """Up to what the command line adds between the phonemes: spaces and
    line breaks between words and clauses and its language switches, which
    are no phonemes; and up to the stress marks, which the command line
    writes where its words are stressed and 1.52.0's events carry on the
    vowel's name (1.51's on none)."""
    printed = subprocess.run([espeak_ng(), "-q", "--ipa", "-v", voice, text],
                             check=True, capture_output=True,
                             text=True).stdout
    for switch in {printed[i:printed.index(")", i) + 1]
                   for i, c in enumerate(printed) if c == "("}:
        printed = printed.replace(switch, "")
    expected = "".join(c for c in printed if c not in " \nˈˌ_")
    result = vyn_tools.synthesize([(voice, text)], None, phonemes=True)
    joined = "".join(p.ipa for p in result.fragments[0].phonemes)
    assert "".join(c for c in joined if c not in "ˈˌ") == expected


@pytest.mark.parametrize("ipa, mouth", [
    ("", "sil"), ("p", "PP"), ("b", "PP"), ("m", "PP"), ("f", "FF"),
    ("v", "FF"), ("θ", "TH"), ("ð", "TH"), ("t", "DD"), ("d", "DD"),
    ("k", "kk"), ("ɡ", "kk"), ("h", "kk"), ("tʃ", "CH"), ("dʒ", "CH"),
    ("ʃ", "CH"), ("ʒ", "CH"), ("s", "SS"), ("z", "SS"), ("n", "nn"),
    ("l", "nn"), ("ŋ", "nn"), ("ɹ", "RR"), ("ɑː", "aa"), ("a", "aa"),
    ("æ", "aa"), ("ʌ", "aa"), ("aɪ", "aa"), ("aʊ", "aa"), ("ɛ", "E"),
    ("eɪ", "E"), ("ə", "E"), ("ɜː", "E"), ("ɪ", "ih"), ("iː", "ih"),
    ("i", "ih"), ("j", "ih"), ("ɒ", "aa"), ("ɔː", "oh"), ("ɔɪ", "oh"),
    ("oʊ", "oh"), ("əʊ", "E"), ("ʊ", "ou"), ("uː", "ou"), ("w", "ou"),
    ("ɚ", "RR"), ("ᵻ", "E"), ("ˈaɪ", "aa"), ("t̻͡s̪", "SS"), ("kʰ", "kk"),
])
def test_english_visemes(ipa, mouth):
    assert viseme(ipa) == mouth


def test_audio_in_memory_is_the_file_s_data(tmp_path):
    """The same list, each call a fresh process's first, the second with
    phoneme events: the samples equal the file's data byte for byte, and
    no file is made."""
    fragments = [("en", "Hello there."), ("de", "Guten Tag."),
                 ("en", "A third one."), ("ru", "Привет."),
                 ("cmn", "你好。")]
    wav = tmp_path / "out.wav"
    rate, none, on_disk = fresh_synthesis(fragments, str(wav))
    rate_2, samples, in_memory = fresh_synthesis(fragments, None,
                                                 phonemes=True)
    assert none is None and rate == rate_2
    assert [f[:2] for f in on_disk] == [f[:2] for f in in_memory]
    assert array("h", samples).tobytes() == wav.read_bytes()[44:]
    assert os.listdir(tmp_path) == ["out.wav"]


def test_a_split_list_in_memory_leaves_nothing_behind(tmp_path, monkeypatch):
    monkeypatch.setattr(vyn_tools._long_list, "MIN_PART_CHARACTERS", 1)
    monkeypatch.setenv("TMPDIR", str(tmp_path))
    shm = {name for name in os.listdir("/dev/shm") if "vyn" in name}
    fragments = [("en", "One sentence, then another.")] * 6
    result = vyn_tools.synthesize(fragments, None, workers=2)
    assert len(result.samples) == round(result.fragments[-1].end *
                                        result.sample_rate)
    assert os.listdir(tmp_path) == []
    assert {name for name in os.listdir("/dev/shm") if "vyn" in name} <= shm


@pytest.fixture(params=["local", "dask"])
def split_over(request, monkeypatch):
    monkeypatch.setattr(vyn_tools._long_list, "MIN_PART_CHARACTERS", 1)
    if request.param == "local":
        return {"workers": 2}
    return {"executor": request.getfixturevalue("dask_executor")}


def test_a_split_list_has_the_phonemes_of_one_call(tmp_path, split_over):
    fragments = [("en", "A sentence, of a long list."), ("de", "Noch einer."),
                 ("fr", "Et un autre.")] * 4
    one = vyn_tools.synthesize(fragments, tmp_path / "one.wav", words=True,
                               phonemes=True)
    joined = vyn_tools.synthesize(fragments, tmp_path / "joined.wav",
                                  words=True, phonemes=True, **split_over)
    assert [f.index for f in joined.fragments] == list(range(12))
    for alone, part in zip(one.fragments, joined.fragments):
        assert [p.ipa for p in part.phonemes] == [p.ipa for p in alone.phonemes]
        assert [w.text for w in part.words] == [w.text for w in alone.words]
        assert part.phonemes[0].begin == part.begin
        assert part.phonemes[-1].end == part.end
    if vyn._patched:
        assert joined == one


@pytest.mark.parametrize("arguments", [
    {"output": 3}, {"quit_after": "1"}, {"backwards": 1}, {"words": None},
    {"phonemes": "yes"}, {"workers": 2.0}, {"workers": True},
    {"executor": "local"},
])
def test_keywords_of_the_wrong_type(tmp_path, arguments):
    given = {"output": str(tmp_path / "x.wav"), **arguments}
    with pytest.raises(TypeError, match=next(iter(arguments))):
        vyn_tools.synthesize([("en", "a")], **given)
    assert not (tmp_path / "x.wav").exists()


def test_records_and_the_seed_s_errors(tmp_path):
    result = vyn_tools.synthesize([("en", "Two words.")], None, words=True,
                                  quit_after=0.1, backwards=True)
    fragment = result.fragments[0]
    assert (result.synthesized, result.start, fragment.index) == (1, 0, 0)
    assert [w.text for w in fragment.words] == ["Two", "words."]
    assert fragment.phonemes == () and fragment.marks == ()
    with pytest.raises(AttributeError):
        fragment.begin = 1.0  # type: ignore[misc]
    with pytest.raises(ValueError, match=PARSE_ERROR):
        vyn_tools.synthesize([("en", 1)], None)
    with pytest.raises(ValueError) as raised:
        vyn_tools.synthesize([("en", "a", {"rate": 450})], None,
                             phonemes=True)
    assert "449" in "".join(getattr(raised.value, "__notes__", ["449"]))


def ssml_fragment(text):
    """An SSML fragment as the "ssml" setting gives it, where this build
    takes that setting; else the test is skipped."""
    for value in (True, 1):
        try:
            vyn.synthesize_multiple(os.devnull, 0, 0,
                                    [("en", "<speak>a</speak>",
                                      {"ssml": value})])
            return ("en", text, {"ssml": value})
        except ValueError:
            continue
    pytest.skip("this build takes no SSML fragments")


def test_ssml_marks_in_text_order_at_their_words():
    text = ('<speak><mark name="start"/>One two <mark name="middle"/>three '
            'four.<mark name="' + "n" * 100 + '"/></speak>')
    result = vyn_tools.synthesize([("en", "Before."), ssml_fragment(text)],
                                  None)
    before, fragment = result.fragments
    assert before.marks == ()
    assert [m.name for m in fragment.marks] == ["start", "middle", "n" * 100]
    times = [m.time for m in fragment.marks]
    assert times[0] == fragment.begin and times == sorted(times)
    assert fragment.begin < times[1] < times[2] <= fragment.end
