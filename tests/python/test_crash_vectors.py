"""eSpeak NG's own crash inputs, each run through vyn in a fresh interpreter
with the voice upstream's crash test uses. Each gives a valid WAVE file or
the documented ValueError, except the inputs that abort inside the eSpeak NG
library itself: no caller in the same process can survive an abort inside
the library, so those are expected to abort in the library versions that
have the defect, and are listed in the README's known limits."""
import json
import os
import signal
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import (SYNTHESIS_ERROR, espeak_version, library_patched,
                      read_wave, run_python)

VECTORS = Path(__file__).resolve().parents[1] / "data" / "crash-vectors"

# Library defects, each with the last eSpeak NG version known to have it
# (Debian 12's 1.51+dfsg-10+deb12u2, Debian 13's 1.52.0-1): these texts abort
# the process inside libespeak-ng (SIGABRT, a glibc fortify or
# stack-protector check) before vyn gets control back. Upstream fixed them
# after 1.52.0; vyn's patches fix them in the bundled library.
ABORTS_IN_LIBRARY_UP_TO = {
    ("dotted-abbrev-stack-oob", "en"): (1, 52, 0),
    ("dotted-abbrev-skipwords-oob", "en"): (1, 51),
    ("possessive-s-overflow", "en"): (1, 52, 0),
    ("number-decimal-zeros", "pl"): (1, 52, 0),
    ("phoneme-condition-missing", "kl"): (1, 52, 0),
}
# How a defect ends the process where it is not an abort: a read through a
# null pointer.
DEFECT_SIGNALS = {("phoneme-condition-missing", "kl"): signal.SIGSEGV}
# eSpeak NG 1.51 reads freed memory on cve-2023-49991 decoded as Latin-1,
# through the embedded commands its U+0001 bytes start: vyn speaks those as
# spaces, so the text runs clean here, also under AddressSanitizer.


def has_defect(table, key) -> bool:
    return (key in table and not library_patched()
            and espeak_version() <= table[key])


# Neither 1.51 nor 1.52.0 has a voice "ab": selecting it fails, which vyn reports.
UNKNOWN_VOICES = {"ab"}


def decodings(raw: bytes):
    try:
        raw.decode("utf-8")
        return ["utf-8"]
    except UnicodeDecodeError:
        return ["utf-8", "latin-1"]


def crash_runs():
    """One run per line of voices.txt and way of decoding the file."""
    runs = []
    for line in (VECTORS / "voices.txt").read_text().splitlines():
        words = line.split()
        if not words:
            continue
        name = words[1]
        voice = words[words.index("-v") + 1] if "-v" in words else "en"
        raw = (VECTORS / f"{name}.txt").read_bytes()
        for encoding in decodings(raw):
            runs.append(pytest.param(name, voice, encoding,
                                     id=f"{name}-{voice}-{encoding}"))
    return runs


def fragments_of(raw: bytes, voice: str, encoding: str):
    """vyn takes str fragments without NULs: the bytes decoded, split at
    the NULs the file holds."""
    errors = "replace" if encoding == "utf-8" else "strict"
    text = raw.decode(encoding, errors)
    return [(voice, part) for part in text.split("\0")]


# Runs the fragments in the child and prints what happened as JSON.
CHILD = """
import json, sys, vyn
path, fragments = sys.argv[1], json.loads(sys.argv[2])
try:
    rate, count, anchors = vyn.synthesize_multiple(
        path, 0, 0, [tuple(f) for f in fragments])
    print(json.dumps({"count": count, "anchors": anchors}))
except ValueError as error:
    print(json.dumps({"error": str(error)}))
"""


def run_vyn(path, fragments, env=None):
    return subprocess.run(
        [sys.executable, "-c", CHILD, str(path), json.dumps(fragments)],
        capture_output=True, text=True, timeout=120,
        env={**os.environ, **(env or {})})


@pytest.mark.parametrize("name,voice,encoding", crash_runs())
def test_crash_vector(tmp_path, name, voice, encoding):
    raw = (VECTORS / f"{name}.txt").read_bytes()
    fragments = fragments_of(raw, voice, encoding)
    path = tmp_path / "out.wav"
    result = run_vyn(path, fragments)

    if has_defect(ABORTS_IN_LIBRARY_UP_TO, (name, voice)):
        # A known library defect, not vyn's: the abort happens inside
        # libespeak-ng. If this starts passing, this eSpeak NG version no
        # longer has the defect: lower its version in the table and the
        # README.
        expected = DEFECT_SIGNALS.get((name, voice), signal.SIGABRT)
        assert result.returncode == -expected, (
            f"{name} no longer aborts inside eSpeak NG: "
            f"rc={result.returncode} {result.stdout} {result.stderr}")
        return

    assert result.returncode == 0, result.stderr
    outcome = json.loads(result.stdout)
    if voice in UNKNOWN_VOICES:
        assert outcome == {"error": SYNTHESIS_ERROR}
        # Voice codes are checked before the file is opened.
        assert not path.exists()
        return
    assert "error" not in outcome, outcome
    assert outcome["count"] == len(fragments)
    info = read_wave(path)
    assert info.channels == 1 and info.sample_width == 2
    end = outcome["anchors"][-1][1]
    assert info.seconds == pytest.approx(end, abs=1e-3)


# The reproducer given in the README: "s'" repeated 68 times or more aborts.
@pytest.mark.parametrize("repetitions", [67, 68, 69])
def test_known_limit_reproducer(tmp_path, repetitions):
    code = ("import vyn; vyn.synthesize_multiple("
            f"{str(tmp_path / 'out.wav')!r}, 0, 0, "
            f"[('en', \"s'\" * {repetitions})])")
    aborts = has_defect(ABORTS_IN_LIBRARY_UP_TO, ("possessive-s-overflow",
                                                  "en")) and repetitions >= 68
    assert run_python(code).returncode == (-signal.SIGABRT if aborts else 0)


# Fuzzed texts through the bundled library: all of Unicode mixed with the
# corpus' patterns, repeated up to past the lengths at which they aborted.
# The same examples every run; ./dev sanitize runs 20,000 of them under
# AddressSanitizer (VYN_FUZZ_TEXTS).
CORPUS = [(VECTORS / f"{name}.txt").read_bytes().decode("utf-8", "replace")
          .replace("\0", " ") for name in sorted(
              {line.split()[1] for line in
               (VECTORS / "voices.txt").read_text().splitlines() if line})]
UNITS = ["s'", "'s", "a . ", "é . ", "a.", "u.s.a.'s ", "1.", "\x01", "[[",
         "<", "&", " "]
unicode_text = st.text(st.characters(blacklist_categories=("Cs",),
                                     blacklist_characters="\0"), max_size=60)
repeated = st.tuples(st.sampled_from(UNITS), st.integers(1, 300)).map(
    lambda unit: unit[0] * unit[1])
corpus_slice = st.tuples(st.sampled_from(CORPUS), st.integers(0, 2000),
                         st.integers(1, 600)).map(
    lambda c: c[0][c[1]:c[1] + c[2]])
fuzzed_text = st.lists(st.one_of(unicode_text, repeated, corpus_slice),
                       min_size=1, max_size=6).map("".join)
CORPUS_VOICES = sorted({line.split()[-1] if "-v" in line else "en" for line in
                        (VECTORS / "voices.txt").read_text().splitlines()
                        if line} - UNKNOWN_VOICES)


@pytest.mark.skipif(not library_patched(), reason=(
    "the system eSpeak NG aborts on some of these (README, known limits)"))
@settings(max_examples=int(os.environ.get("VYN_FUZZ_TEXTS", "60")),
          deadline=None, database=None, derandomize=True,
          suppress_health_check=[HealthCheck.too_slow,
                                 HealthCheck.data_too_large,
                                 HealthCheck.function_scoped_fixture])
@given(voice=st.sampled_from(CORPUS_VOICES), text=fuzzed_text)
def test_fuzzed_texts_run_clean(tmp_path, voice, text):
    import vyn
    path = tmp_path / "fuzzed.wav"
    rate, count, anchors = vyn.synthesize_multiple(str(path), 0, 0,
                                                   [(voice, text)])
    assert count == 1
    assert read_wave(path).seconds == pytest.approx(anchors[-1][1], abs=1e-3)


# SSML from other people: malformed, deep, with breaks of a year in every
# spelling, and elements that would read a file or start a process. Each is
# spoken in a fresh interpreter, as the library speaks it, and the fragment
# after it follows. The longest break is the library's cap on one pause:
# 988.7 s at the default rate, 2,904 s at 80 words a minute.
LONGEST_BREAK = 2905.0
YEAR = "<speak>a<break time='{}'/>b</speak>"
SSML_VECTORS = {
    "unclosed": "<speak><prosody rate='x-slow'><emphasis><s><p>open <voice",
    "unknown": "<speak><foo bar='1'>x</foo><bogus/>y<?pi x?><!-- c -->"
               "<![CDATA[z]]></nosuch></speak>",
    "entities": "<speak>&amp; &lt; &#65; &#x42; &#99999999999; "
                "&#xFFFFFFFFFF; &nosuch; &; &#; &#x;</speak>",
    "nested": "<speak>" + "<prosody rate='fast'>" * 100_000 + "deep",
    "nested-voices": "<voice name='de' xml:lang='fr'>" * 100_000 + "tief",
    "year-s": YEAR.format("31536000s"),
    "year-ms": YEAR.format("31536000000ms"),
    "digits": YEAR.format("9" * 40 + "s"),
    "emphasis": "<speak><emphasis level='x'>unknown</emphasis> level</speak>",
    "prosody": "<speak><prosody rate='1e308' pitch='99999999999999%' "
               "volume='-1e300' range='+1e400st'>x</prosody></speak>",
    "audio": "<speak><audio src='/etc/hostname'>the text</audio><audio "
             "src='`touch pwned`;x'/><audio src='http://localhost/'/></speak>",
}
SSML_RATES = {"year-s": 80, "digits": 1000}
# The fragments from a file: 100,000 elements are too long for an argument.
SSML_CHILD = CHILD.replace("json.loads(sys.argv[2])",
                           "json.loads(open(sys.argv[2]).read())")


def run_ssml(tmp_path, fragments, prefix=()):
    listed = tmp_path / "fragments.json"
    listed.write_text(json.dumps(fragments))
    result = subprocess.run(
        [*prefix, sys.executable, "-c", SSML_CHILD,
         str(tmp_path / "out.wav"), str(listed)], capture_output=True,
        text=True, timeout=300, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)["anchors"]


@pytest.mark.parametrize("name", SSML_VECTORS)
def test_malformed_ssml(tmp_path, name):
    settings = {"ssml": True}
    if name in SSML_RATES:
        settings["rate"] = SSML_RATES[name]
    anchors = run_ssml(tmp_path, [("en", SSML_VECTORS[name], settings),
                                  ("en", "After.")])
    assert len(anchors) == 2
    assert anchors[0][1] - anchors[0][0] <= LONGEST_BREAK
    assert read_wave(tmp_path / "out.wav").seconds == pytest.approx(
        anchors[-1][1], abs=1e-3)
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "fragments.json", "out.wav"]


def test_ssml_opens_no_file_and_starts_no_process(tmp_path):
    """Under strace: the elements' files are never opened, nothing is
    created but the output, no program is run."""
    if shutil.which("strace") is None:
        pytest.skip("no strace")
    secret = tmp_path / "secret.wav"
    secret.write_bytes(b"RIFF")
    text = (f"<speak><audio src='{secret}'>spoken instead</audio>"
            f"<audio src='{secret.name}'/><voice name='de'>Hallo</voice>"
            "</speak>")
    log = tmp_path / "strace.log"
    fragments = [("en", text, {"ssml": True}), ("en", "plain")]
    assert run_ssml(tmp_path, fragments, prefix=[
        "strace", "-f", "-qq", "-o", str(log), "-e",
        "trace=open,openat,creat,execve,fork,vfork,clone,clone3,unlink,"
        "unlinkat,connect"])
    calls = log.read_text().splitlines()
    assert not [c for c in calls if "secret" in c]
    assert [c for c in calls if " execve(" in c or c.split()[1:2] == [
        "execve("]][1:] == []
    for name in ("fork(", "clone(", "clone3(", "unlink"):
        # Threads are no processes (1.51 starts one for its audio device).
        assert not [c for c in calls if name in c and
                    "CLONE_THREAD" not in c], name
    # No network (1.51 looks for a local audio server: README, known limits).
    assert not [c for c in calls if "connect(" in c and "AF_INET" in c]
    created = [c for c in calls if "O_CREAT" in c or "creat(" in c]
    assert all("out.wav" in c or "__pycache__" in c for c in created), created


# Fuzzed SSML: random nesting of every element the library knows and some
# it does not, their attributes with values from the edges (huge numbers,
# voice names and languages of the corpus, junk), closing tags dropped at
# random. Each is spoken, or refused for a voice it asks for, and the
# process goes on. ./dev sanitize runs more under AddressSanitizer
# (VYN_FUZZ_SSML), on the bundled build.
SSML_NAMES = CORPUS_VOICES + ["de", "fr", "en-us", "en+f3", "all", "mb-us1",
                              "klatt", "!v/m3", "variant", "", "x" * 50]
NUMBERS = ["0", "1", "50", "-3", "2147483648", "9" * 30, "1e308", "+20%",
           "-100%", "3st", "x-slow", "x-loud", "high", "default", "nan"]
ATTRIBUTES = {
    "speak": ["xml:lang"], "voice": ["name", "xml:lang", "gender", "age",
                                     "variant"],
    "prosody": ["rate", "pitch", "volume", "range"],
    "emphasis": ["level"], "say-as": ["interpret-as", "format", "detail"],
    "break": ["time", "strength"], "audio": ["src"], "s": ["xml:lang"],
    "p": ["xml:lang"], "sub": ["alias"], "mark": ["name"], "tts:style": [
        "field", "mode"], "nosuch": ["name", "xml:lang"],
}
VALUES = {"name": SSML_NAMES, "xml:lang": SSML_NAMES,
          "gender": ["male", "female", "neutral", "x"],
          "interpret-as": ["characters", "tts:char", "tts:digits",
                           "telephone", "date", "x"],
          "time": [n + unit for n in NUMBERS[:6] for unit in ("s", "ms", "")],
          "strength": ["none", "x-weak", "medium", "x-strong", "x"],
          "src": ["/etc/hostname", "x.wav", "file:///etc/passwd", ""]}
attribute = st.sampled_from(sorted({a for v in ATTRIBUTES.values()
                                    for a in v})).flatmap(
    lambda a: st.tuples(st.just(a), st.sampled_from(VALUES.get(a, NUMBERS))))
ssml_words = st.lists(st.sampled_from(WORDS := [
    "one", "Two", "3.5", "1999", "é", "мир", "&amp;", "&lt;", "&#65;", "&x;",
    "<", ">", "'", "\"", "/", "\x01"]), max_size=5).map(" ".join)


def element(children):
    def build(parts):
        tag, attributes, inner, closed = parts
        spelled = "".join(f" {a}={q}{v}{q}" for (a, v), q in attributes)
        return f"<{tag}{spelled}>{inner}" + (f"</{tag}>" if closed else "")
    return st.tuples(st.sampled_from(sorted(ATTRIBUTES)),
                     st.lists(st.tuples(attribute, st.sampled_from(
                         ["'", '"', ""])), max_size=3),
                     children, st.booleans()).map(build)


ssml_text = st.recursive(ssml_words, lambda inner: st.lists(
    st.one_of(element(inner), inner), max_size=4).map("".join),
    max_leaves=12)


@settings(max_examples=int(os.environ.get("VYN_FUZZ_SSML", "40")),
          deadline=None, database=None, derandomize=True,
          suppress_health_check=[HealthCheck.too_slow,
                                 HealthCheck.data_too_large,
                                 HealthCheck.function_scoped_fixture])
@given(voice=st.sampled_from(["en", "de", "en+f3", "cmn"]), text=ssml_text,
       rate=st.sampled_from([80, 175, 449, 1000]))
def test_fuzzed_ssml_runs_clean(tmp_path, voice, text, rate):
    import vyn
    path = tmp_path / "fuzzed.wav"
    fragments = [(voice, f"<speak>{text}</speak>",
                  {"ssml": True, "rate": rate}), ("en", "after")]
    try:
        rate, count, anchors = vyn.synthesize_multiple(str(path), 0, 0,
                                                       fragments)
    except ValueError as error:
        assert str(error) == SYNTHESIS_ERROR
        assert error.__notes__[0].startswith("fragment 0: SSML asks for voice")
        return
    assert count == 2
    assert read_wave(path).seconds == pytest.approx(anchors[-1][1], abs=1e-3)
