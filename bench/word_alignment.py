#!/usr/bin/env python3
"""An independent check of the word times of synthesize_words: forced
alignment of the same audio with a speech recognizer (PocketSphinx, from
PyPI, with the US English model its wheel ships) puts each word where it
hears it begin; this prints how far vyn's begins lie from those.

    python bench/word_alignment.py [--sentences N] [--tolerance MS]

Needs vyn, pocketsphinx (pip install pocketsphinx) and sox. English
sentences of the GPL-3 text (bench/workloads.py) whose words are all in the
recognizer's dictionary and hold no digits; each sentence is one fragment
of one call, and each fragment's audio, cut out by its anchors and brought
to 16 kHz, is aligned with its own words. The figure compared is the begin
of the first written word of each of vyn's words (a phrase the synthesizer
speaks as one counts once). Prints the share within the tolerance
(default 60 ms; target 90 %) and the spread.
"""
import argparse
import re
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

import vyn

sys.path.insert(0, str(Path(__file__).resolve().parent))
import workloads  # noqa: E402

TARGET_SHARE = 0.90
ALIGN_RATE = 16000
FRAMES_PER_SECOND = 100  # the recognizer's frame rate
WORD = re.compile(r"[A-Za-z]+(?:'[A-Za-z]+)?")


def aligned_begins(decoder, audio, words):
    """The begin (seconds) of each word as the recognizer aligns it, or None
    when it cannot align the text. Its normalisation of the signal adapts
    from one utterance to the next, so a second try may succeed."""
    for _ in range(2):
        begins = align_once(decoder, audio, words)
        if begins is not None:
            return begins
    return None


def align_once(decoder, audio, words):
    decoder.set_align_text(" ".join(words))
    decoder.start_utt()
    decoder.process_raw(audio)
    decoder.end_utt()
    segments = decoder.seg()
    if segments is None:
        return None
    found = [(seg.word, seg.start_frame) for seg in segments
             if seg.word not in ("<s>", "</s>", "<sil>", "[NOISE]")]
    names = [re.sub(r"\(\d+\)$", "", word) for word, _ in found]
    if names != words:
        return None
    return [start / FRAMES_PER_SECOND for _, start in found]


def fragment_audio(path, begin, end, work):
    """The fragment's samples at 16 kHz, 16-bit mono, with sox's dither:
    the recognizer aligns far fewer sentences whose pauses are eSpeak NG's
    exact digital silence."""
    out = work / "fragment.raw"
    subprocess.run(["sox", "-V1", str(path), "-t", "raw", "-r", str(ALIGN_RATE),
                    "-e", "signed", "-b", "16", "-c", "1", str(out),
                    "trim", f"{begin:.6f}", f"={end:.6f}"], check=True)
    return out.read_bytes()


def usable(sentence, decoder):
    if re.search(r"\d", sentence) or len(sentence.split()) > 30:
        return False
    words = [w.lower() for w in WORD.findall(sentence)]
    return bool(words) and all(decoder.lookup_word(w) for w in words)


def first_word_of_each(text, fragment_words):
    """Index (among the text's written words) of the first written word of
    each of vyn's words, and vyn's begin for it."""
    spans = [(m.start(), m.group().lower()) for m in WORD.finditer(text)]
    pairs = []
    for begin, _, start, length in fragment_words:
        inside = [i for i, (at, _) in enumerate(spans)
                  if start <= at < start + length]
        if inside:
            pairs.append((inside[0], begin))
    return [w for _, w in spans], pairs


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sentences", type=int, default=60)
    parser.add_argument("--tolerance", type=float, default=60.0,
                        help="milliseconds")
    args = parser.parse_args()
    try:
        from pocketsphinx import Decoder
    except ImportError:
        sys.exit("needs pocketsphinx: pip install pocketsphinx")
    decoder = Decoder(samprate=ALIGN_RATE, loglevel="FATAL")
    sentences = [t for _, t in workloads.gpl3_sentences() if usable(t, decoder)]
    fragments = [("en", t) for t in sentences[:args.sentences]]
    differences, skipped = [], 0
    with tempfile.TemporaryDirectory() as directory:
        work = Path(directory)
        path = work / "words.wav"
        _, _, anchors, words = vyn.synthesize_words(str(path), 0, 0, fragments)
        for (_, text), (begin, end), fragment_words in zip(fragments, anchors,
                                                           words):
            written, pairs = first_word_of_each(text, fragment_words)
            heard = aligned_begins(decoder,
                                   fragment_audio(path, begin, end, work),
                                   written)
            if heard is None:
                skipped += 1
                continue
            differences += [(vyn_begin - begin) - heard[i]
                            for i, vyn_begin in pairs]
    tolerance = args.tolerance / 1000
    within = sum(abs(d) <= tolerance for d in differences)
    share = within / len(differences)
    print(f"{len(fragments) - skipped} sentences aligned ({skipped} the "
          f"recognizer could not align), {len(differences)} words")
    print(f"within {args.tolerance:.0f} ms of the recognizer: {share:.1%} "
          f"(target {TARGET_SHARE:.0%}: "
          f"{'met' if share >= TARGET_SHARE else 'MISSED'})")
    ms = sorted(d * 1000 for d in differences)
    print(f"vyn minus recognizer, ms: median {statistics.median(ms):+.0f}, "
          f"10 % {ms[len(ms) // 10]:+.0f}, 90 % {ms[len(ms) * 9 // 10]:+.0f}")
    return 0 if share >= TARGET_SHARE else 1


if __name__ == "__main__":
    sys.exit(main())
