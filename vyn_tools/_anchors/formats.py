"""The anchor formats: JSON, SRT and WebVTT subtitles, TSV, Praat's
TextGrid; each a function of the outcome of one input giving the file's
text."""
import json
from typing import Any, Dict, List, Tuple

from .records import Outcome

def word_records(outcome: Outcome, i: int) -> List[Dict[str, Any]]:
    """Fragment i's words: times, and their text and place in its text."""
    assert outcome.words is not None
    text = outcome.fragments[i].text
    return [{"begin": begin, "end": end, "start": start, "length": length,
             "text": text[start:start + length]}
            for begin, end, start, length in outcome.words[i]]


def phoneme_records(outcome: Outcome, i: int) -> List[Dict[str, Any]]:
    """Fragment i's phonemes: times, IPA, viseme and place in its text."""
    assert outcome.phonemes is not None
    return [{"begin": begin, "end": end, "ipa": ipa, "viseme": viseme,
             "start": start}
            for begin, end, ipa, viseme, start in outcome.phonemes[i]]


def anchor_records(outcome: Outcome) -> List[Dict[str, Any]]:
    records = [{"fragment": outcome.start + i, "line": fragment.line,
                "voice": fragment.voice, "begin": begin, "end": end,
                "text": fragment.text}
               for i, (fragment, (begin, end))
               in enumerate(zip(outcome.fragments, outcome.anchors))]
    if outcome.words is not None:
        for i, record in enumerate(records):
            record["words"] = word_records(outcome, i)
    if outcome.phonemes is not None:
        for i, record in enumerate(records):
            record["phonemes"] = phoneme_records(outcome, i)
    return records


def as_json(outcome: Outcome) -> str:
    job = outcome.job
    document = {
        "input": str(job.input_path), "wav": str(job.wav_path),
        "sample_rate": outcome.sample_rate,
        "quit_after": job.quit_after or None, "backwards": job.backwards,
        "settings": job.settings, "start": outcome.start, "anchors": anchor_records(outcome),
    }
    return json.dumps(document, ensure_ascii=False, indent=2) + "\n"


def cue_time(seconds: float, separator: str = ",") -> str:
    milliseconds = round(seconds * 1000)
    hours, rest = divmod(milliseconds, 3_600_000)
    minutes, rest = divmod(rest, 60_000)
    return (f"{hours:02}:{minutes:02}:{rest // 1000:02}{separator}"
            f"{rest % 1000:03}")


def as_srt(outcome: Outcome) -> str:
    return "".join(
        f"{number}\n{cue_time(r['begin'])} --> {cue_time(r['end'])}\n"
        f"{r['text']}\n\n"
        for number, r in enumerate(anchor_records(outcome), start=1))


def vtt_text(text: str) -> str:
    """Cue text kept from reading as markup and from ending the cue."""
    text = text.replace("&", "&amp;").replace("<", "&lt;")
    return text.replace(">", "&gt;").replace("-->", "--&gt;")


def vtt_timed_text(record: Dict[str, Any]) -> str:
    """The cue text with a timestamp tag where each word after the first
    begins (WebVTT's karaoke-style word timing)."""
    text, words = record["text"], record["words"]
    if not words:
        return vtt_text(text)
    pieces = [vtt_text(text[:words[0]["start"]])]
    for k, word in enumerate(words):
        stop = words[k + 1]["start"] if k + 1 < len(words) else len(text)
        if k:
            pieces.append(f"<{cue_time(word['begin'], '.')}>")
        pieces.append(vtt_text(text[word["start"]:stop]))
    return "".join(pieces)


def as_vtt(outcome: Outcome) -> str:
    """WebVTT: a cue per fragment; with words, each word's time in it."""
    timed = outcome.words is not None
    return "WEBVTT\n\n" + "".join(
        f"{number}\n{cue_time(r['begin'], '.')} --> "
        f"{cue_time(r['end'], '.')}\n"
        f"{vtt_timed_text(r) if timed else vtt_text(r['text'])}\n\n"
        for number, r in enumerate(anchor_records(outcome), start=1))


def as_tsv(outcome: Outcome) -> str:
    """A row per fragment; with words, a row per word; with phonemes, a row
    per phoneme (its IPA as the text, then its viseme and its place in the
    fragment's text)."""
    records = anchor_records(outcome)
    if outcome.phonemes is not None:
        rows = ["fragment\tline\tvoice\tbegin\tend\tipa\tviseme\tstart"]
        rows += [f"{r['fragment']}\t{r['line']}\t{r['voice']}\t"
                 f"{p['begin']:.6f}\t{p['end']:.6f}\t{p['ipa']}\t"
                 f"{p['viseme']}\t{p['start']}"
                 for r in records for p in r["phonemes"]]
        return "\n".join(rows) + "\n"
    if outcome.words is not None:
        records = [{**r, **word} for r in records for word in r["words"]]
    rows = ["fragment\tline\tvoice\tbegin\tend\ttext"]
    rows += [f"{r['fragment']}\t{r['line']}\t{r['voice']}\t{r['begin']:.6f}"
             f"\t{r['end']:.6f}\t{r['text'].replace(chr(9), ' ')}"
             for r in records]
    return "\n".join(rows) + "\n"


def praat_text(text: str) -> str:
    return '"' + text.replace('"', '""') + '"'


def tiled(spans: List[Tuple[float, float, str]],
          end: float) -> List[Tuple[float, float, str]]:
    """Intervals from 0 to end, in order: the spans, empty ones between
    them where nothing is, none of no length (Praat has none; the library
    gives some phonemes no length, a second one at the same sample)."""
    intervals, at = [], 0.0
    for begin, stop, text in spans:
        if begin > at:
            intervals.append((at, begin, ""))
        if stop > max(begin, at):
            intervals.append((max(begin, at), stop, text))
            at = stop
    if end > at or not intervals:
        intervals.append((at, max(end, at), ""))
    return intervals


def interval_tier(number: int, name: str, intervals, end: float) -> str:
    lines = [f"    item [{number}]:", '        class = "IntervalTier"',
             f"        name = {praat_text(name)}", "        xmin = 0",
             f"        xmax = {end!r}",
             f"        intervals: size = {len(intervals)}"]
    for k, (begin, stop, text) in enumerate(intervals, start=1):
        lines += [f"        intervals [{k}]:", f"            xmin = {begin!r}",
                  f"            xmax = {stop!r}",
                  f"            text = {praat_text(text)}"]
    return "\n".join(lines)


def as_textgrid(outcome: Outcome) -> str:
    """Praat's TextGrid, long text format: an interval tier of the
    fragments, with words one of the words, with phonemes one of their IPA
    names; what no record covers is an empty interval."""
    records = anchor_records(outcome)
    end = records[-1]["end"] if records else 0.0
    tiers = [("fragments", [(r["begin"], r["end"], r["text"])
                            for r in records])]
    if outcome.words is not None:
        tiers.append(("words", [(w["begin"], w["end"], w["text"])
                                for r in records for w in r["words"]]))
    if outcome.phonemes is not None:
        tiers.append(("phonemes", [(p["begin"], p["end"], p["ipa"])
                                   for r in records for p in r["phonemes"]]))
    head = ['File type = "ooTextFile"', 'Object class = "TextGrid"', "",
            "xmin = 0", f"xmax = {end!r}", "tiers? <exists>",
            f"size = {len(tiers)}", "item []:"]
    return "\n".join(head + [interval_tier(k, name, tiled(spans, end), end)
                             for k, (name, spans) in enumerate(tiers, 1)]) \
        + "\n"


WRITERS = {"json": as_json, "srt": as_srt, "tsv": as_tsv, "vtt": as_vtt,
           "textgrid": as_textgrid}
FORMATS = tuple(WRITERS)  # in the order --help names them
