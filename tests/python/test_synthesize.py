"""synthesize_multiple against the real eSpeak NG: the result, the WAVE file
read back by independent readers, and anchors that point at the samples."""
import inspect
import os
import struct
import subprocess
import sys

import pytest

import vyn
from conftest import (HEADER_SIZE, ListSubclass, TupleSubclass, espeak_ng,
                      library_data, mbrola, read_wave, run_python, soxi)

SENTENCES = [
    ("en", "The quick brown fox jumps over the lazy dog."),
    ("en", "Speech in one file, and every fragment in its place."),
    ("en", "Short."),
    ("en", "A rather longer sentence, with a pause in it, and an ending."),
]

# Four languages, two of them in non-Latin scripts.
MULTILINGUAL = [
    ("en", "Good morning."),
    ("de", "Guten Morgen, wie geht es dir?"),
    ("fr", "Bonjour à tous, ça va très bien."),
    ("ru", "Привет, как дела?"),
    ("cmn", "你好，世界。"),
    ("ar", "مرحبا بالعالم"),
]


def synthesize(path, fragments, quit_after=0.0, backwards=0):
    return vyn.synthesize_multiple(str(path), quit_after, backwards, fragments)


def durations(anchors):
    return [end - begin for begin, end in anchors]


def test_module_and_function_are_documented():
    assert vyn.__doc__ == "vyn"
    assert vyn.synthesize_multiple.__doc__ == (
        "Synthesize multiple text fragments with eSpeak\n"
        ":param string output_file_path: the path of the WAVE file to be created\n"
        ":param float quit_after: if > 0, stop synthesizing when reaching quit_after seconds\n"
        ":param int backwards: if 1, synthesize backwards, from the last fragment to the first\n"
        ":param list fragments: list of (voice_code, text) tuples of text fragments to be synthesized\n"
        ":rtype: tuple (sample_rate, synthesized, list) where list is a list of (begin, end) time values")
    assert vyn.synthesize_words.__doc__ == (
        "Synthesize multiple text fragments with eSpeak, with the time at which each word begins\n"
        ":rtype: tuple (sample_rate, synthesized, anchors, words) where words holds, per fragment, a list of (begin, end, start, length): times in seconds and the word's place in the fragment's text")
    assert [name for name in dir(vyn) if not name.startswith("_")] == [
        "synthesize_multiple", "synthesize_words"]
    for function in (vyn.synthesize_multiple, vyn.synthesize_words):
        assert str(inspect.signature(function)) == (
            "(output_file_path, quit_after, backwards, fragments, /)")


def test_build_facts_name_the_library_the_command_line_runs():
    # "eSpeak NG text-to-speech: 1.51  Data at: ..."
    said = subprocess.run([espeak_ng(), "--version"], check=True,
                          capture_output=True, text=True).stdout
    assert said.split()[3] == vyn._library_version
    assert (type(vyn._bundled), type(vyn._patched)) == (bool, bool)
    # Patches reach only a library compiled in, which is 1.52.0.
    assert vyn._bundled >= vyn._patched
    assert not vyn._bundled or vyn._library_version == "1.52.0"


@pytest.mark.parametrize("fragments", [
    SENTENCES,
    ListSubclass(TupleSubclass(item) for item in SENTENCES),
], ids=["list_of_tuples", "subclasses"])
def test_result_shape_and_types(wav_path, fragments):
    result = synthesize(wav_path, fragments)
    assert type(result) is tuple and len(result) == 3
    sample_rate, synthesized, anchors = result
    assert type(sample_rate) is int and sample_rate == 22050
    assert type(synthesized) is int and synthesized == len(fragments)
    assert type(anchors) is list and len(anchors) == synthesized
    for pair in anchors:
        assert type(pair) is tuple and len(pair) == 2
        assert all(type(value) is float for value in pair)


def test_wave_file_read_back_by_independent_readers(wav_path):
    sample_rate, _, anchors = synthesize(wav_path, MULTILINGUAL)
    info = read_wave(wav_path)
    assert (info.sample_rate, info.channels, info.sample_width) == (
        sample_rate, 1, 2)
    assert soxi(wav_path, "-r") == str(sample_rate)
    assert soxi(wav_path, "-c") == "1"
    assert soxi(wav_path, "-b") == "16"
    assert soxi(wav_path, "-e") == "Signed Integer PCM"
    assert int(soxi(wav_path, "-s")) == info.frames
    assert info.frames > sample_rate * 5, "six fragments of speech"
    raw = wav_path.read_bytes()
    assert raw[:4] == b"RIFF" and raw[8:16] == b"WAVEfmt " and raw[36:40] == b"data"
    assert struct.unpack_from("<IHHIIHH", raw, 16) == (
        16, 1, 1, sample_rate, 2 * sample_rate, 2, 16)


def test_empty_list_writes_a_bare_header(wav_path):
    assert synthesize(wav_path, []) == (22050, 0, [])
    info = read_wave(wav_path)
    assert (info.file_size, info.riff_size, info.data_size) == (
        HEADER_SIZE, 36, 0)


def test_anchors_are_contiguous_and_end_at_the_last_sample(wav_path):
    fragments = [("en", word) for word in
                 "one two three four five six seven eight nine ten".split()] * 30
    sample_rate, synthesized, anchors = synthesize(wav_path, fragments)
    assert synthesized == 300
    assert anchors[0][0] == 0.0
    for (_, end), (begin, _) in zip(anchors, anchors[1:]):
        assert begin == end
    assert all(end > begin for begin, end in anchors)
    info = read_wave(wav_path)
    # float32 rounding of the sample count, no drift of whole milliseconds.
    last_end = anchors[-1][1]
    assert abs(last_end - info.frames / sample_rate) <= last_end * 2 ** -23


def test_each_span_is_the_fragment_synthesized_alone(wav_path):
    alone = [durations(synthesize(wav_path, [item])[2])[0] for item in SENTENCES]
    together = durations(synthesize(wav_path, SENTENCES)[2])
    # The synthesizer's state carries over between texts, so a repeated text
    # comes out a few samples different; never more than a few ms.
    assert together == pytest.approx(alone, abs=0.015, rel=0.02)


@pytest.mark.parametrize("fragments", [MULTILINGUAL, MULTILINGUAL[::-1]],
                         ids=["forward", "reversed"])
def test_languages_and_scripts(wav_path, fragments):
    sample_rate, synthesized, anchors = synthesize(wav_path, fragments)
    assert synthesized == len(fragments)
    assert all(end - begin > 0.3 for begin, end in anchors), "each is speech"
    assert anchors[-1][1] == pytest.approx(read_wave(wav_path).seconds,
                                           rel=1e-6)


class BytesPathLike:
    def __init__(self, path):
        self.path = os.fsencode(path)

    def __fspath__(self):
        return self.path


# (file name, the path as the argument)
@pytest.mark.parametrize("name, as_argument", [
    ("ausgabe-äöü-звук.wav", str),
    ("out.wav", os.fsencode),
    ("out.wav", lambda path: path),
    ("out.wav", BytesPathLike),
    (os.fsdecode(b"caf\xe9-\xff.wav"), str),
], ids=["str", "bytes", "pathlib", "pathlike_of_bytes", "not_utf8"])
def test_path_kinds(tmp_path, name, as_argument):
    path = tmp_path / name
    vyn.synthesize_multiple(as_argument(path), 0.0, 0, SENTENCES[:1])
    assert os.listdir(os.fsencode(tmp_path)) == [os.fsencode(name)]
    assert read_wave(path).frames > 0


# Readers of a stream of unknown length: each writes the samples it read.
STREAM_READERS = {
    "sox": ["sox", "-t", "wav", "-", "-t", "s16", "-"],
    "wave": [sys.executable, "-c", "import sys, wave; sys.stdout.buffer."
             "write(wave.open(sys.stdin.buffer).readframes(2 ** 31))"],
}


@pytest.mark.parametrize("backwards", [0, 1], ids=["forward", "backward"])
@pytest.mark.parametrize("reader", [None, "sox", "wave"],
                         ids=["dev_null", "pipe_to_sox", "pipe_to_wave"])
def test_stream_outputs(tmp_path, reader, backwards):
    """/dev/null gives the anchors; a pipe takes one WAVE stream of what the
    call writes: the backward mode measures without writing into it."""
    quit_after = 2.5 * backwards
    expected = synthesize(tmp_path / "file.wav", SENTENCES, quit_after,
                          backwards)
    if reader is None:
        result = synthesize("/dev/null", SENTENCES, quit_after, backwards)
    else:
        read_end, write_end = os.pipe()
        samples = tmp_path / "read.raw"
        with samples.open("wb") as output:
            process = subprocess.Popen(STREAM_READERS[reader], stdin=read_end,
                                       stdout=output,
                                       stderr=subprocess.DEVNULL)
        os.close(read_end)
        try:
            result = synthesize(f"/dev/fd/{write_end}", SENTENCES, quit_after,
                                backwards)
        finally:
            os.close(write_end)
        assert process.wait(timeout=60) == 0
        assert samples.stat().st_size // 2 == round(result[2][-1][1] *
                                                     result[0])
    assert result[:2] == expected[:2]
    assert durations(result[2]) == pytest.approx(durations(expected[2]),
                                                 abs=0.02)


# MBROLA voices speak at 16,000 Hz, the standard voices at 22,050 Hz.
MIXED_RATES = [
    ("mb-us1", "The quick brown fox jumps over the lazy dog."),
    ("en", "Speech in one file, and every fragment in its place."),
    ("mb-de2", "Guten Morgen, wie geht es dir?"),
    ("de", "Das ist ein ganz normaler Satz."),
]


def alone_in_a_fresh_process(item, directory):
    """(sample rate, frames) of one fragment synthesized alone."""
    done = run_python("import sys, vyn\n"
                      f"rate, _, [(begin, end)] = vyn.synthesize_multiple("
                      f"{str(directory / 'alone.wav')!r}, 0, 0, [{item!r}])\n"
                      "print(rate, round(end * rate))")
    rate, frames = done.stdout.split()
    return int(rate), int(frames)


@pytest.mark.parametrize("case", [
    mbrola(([MIXED_RATES[0]] * 2, 16000), "us1"),
    mbrola(([MIXED_RATES[0], MIXED_RATES[2]], 16000), "us1", "de2"),
    mbrola((MIXED_RATES, 22050), "us1", "de2"),
], ids=["one_mbrola_voice", "two_mbrola_voices", "mbrola_and_standard"])
def test_voices_of_different_rates_in_one_file(wav_path, case):
    fragments, file_rate = case
    sample_rate, _, anchors = synthesize(wav_path, fragments)
    info = read_wave(wav_path)
    assert sample_rate == info.sample_rate == file_rate
    assert soxi(wav_path, "-r") == str(file_rate)
    assert int(soxi(wav_path, "-s")) == info.frames
    assert anchors[-1][1] == pytest.approx(info.frames / file_rate, rel=1e-6)
    for item, (begin, end) in zip(fragments, anchors):
        rate, frames = alone_in_a_fresh_process(item, wav_path.parent)
        alone = frames * file_rate / rate
        if rate != file_rate:  # converted: exactly as long as alone
            assert (end - begin) * file_rate == pytest.approx(alone, abs=3)
        else:  # the synthesizer's history moves a text by a few ms
            assert (end - begin) * file_rate == pytest.approx(alone, rel=0.02)


@pytest.mark.parametrize("fragments", [mbrola(MIXED_RATES[::-1], "us1", "de2")])
def test_backward_over_voices_of_different_rates(wav_path, fragments):
    """The search and the file follow one rate: that of the whole list,
    though only the MBROLA fragment at its end is written."""
    *_, forward = synthesize(wav_path, fragments)
    last = forward[-1][1] - forward[-1][0]
    sample_rate, synthesized, anchors = synthesize(wav_path, fragments,
                                                   quit_after=last / 2,
                                                   backwards=1)
    assert (sample_rate, synthesized) == (22050, 1)
    assert anchors[0][1] == pytest.approx(last, abs=3 / 22050)
    assert read_wave(wav_path).frames == round(anchors[0][1] * 22050)


def distinct_codes(languages):
    variants = sorted(path.name for path in
                      (library_data() / "voices" / "!v").iterdir())
    return [f"{language}+{variant}" for language in languages
            for variant in variants]


def test_more_distinct_codes_than_a_process_remembers(wav_path):
    """The codes a call checked stay until it ends, however many: 700 in
    one call, then a call of codes unseen while the memory is over its
    bound, then a code seen before."""
    codes = distinct_codes(["en", "de", "fr", "es", "it", "nl", "pt", "sv"])
    assert len(codes) >= 800
    for fragments in [codes[:700], codes[700:702], codes[699:701]]:
        wav_path.write_bytes(b"earlier")
        result = synthesize(wav_path, [(code, "a") for code in fragments])
        assert result[1] == len(fragments)
        assert read_wave(wav_path).frames > 0
