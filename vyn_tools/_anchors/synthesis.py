"""An input's fragments into its WAVE file. The package's long-list layer
does the work (one call, or parts over workers): the tool takes from it
what the public calls leave out, the start of the backward mode that
labels the fragments, and the progress of the parts."""
import os
from dataclasses import astuple
from typing import Callable, List, Optional

from .._long_list import Events, placed_words, run as run_long_list
from .._synthesize import phoneme_records
from .._wave import check as check_arguments
from .paths import synthesis_path
from .records import Fragment, Job, Outcome, ToolError


def check_voices(fragments: List[Fragment]) -> None:
    """Names a voice code vyn refuses before the long synthesis, with its
    line. Each voice is checked alone, which synthesizes nothing."""
    def speaks(voice: str) -> bool:
        try:
            check_arguments(os.devnull, 0.0, 0, [(voice, "")])
            return True
        except ValueError:
            return False

    refused = {v for v in {f.voice for f in fragments} if not speaks(v)}
    if not refused:
        return
    if not speaks("en"):
        raise ToolError("eSpeak NG cannot synthesize at all here; is its "
                        "voice data (espeak-ng-data) installed?")
    first = next(f for f in fragments if f.voice in refused)
    raise ToolError(f"unknown voice {first.voice!r} (first on line "
                    f"{first.line}); `espeak-ng --voices` lists the voices")


def synthesize(job: Job, fragments: List[Fragment],
               progress: Optional[Callable[[int], None]] = None) -> Outcome:
    settings = (job.settings,) if job.settings else ()
    items = [(fragment.voice, fragment.text, *settings)
             for fragment in fragments]
    job.wav_path.parent.mkdir(parents=True, exist_ok=True)
    check_voices(fragments)
    asked = Events(job.words, True) if job.phonemes else job.words
    try:
        sample_rate, _, anchors, start, words, ends = run_long_list(
            synthesis_path(job.wav_path), job.quit_after,
            int(job.backwards), items, workers=job.workers,
            executor=job.executor, progress=progress, words=asked)
    except ValueError as error:
        raise ToolError(f"{job.wav_path}: cannot synthesize into it "
                        f"({error})") from None
    phonemes = None
    if job.phonemes:
        collected = words
        words = (placed_words([w for w, _, _ in collected], ends, sample_rate)
                 if job.words else None)
        phonemes = [[astuple(p) for p in phoneme_records(
                        p_offsets, ends[i - 1] if i else 0, anchors[i][1],
                        sample_rate)]
                    for i, (_, p_offsets, _) in enumerate(collected)]
    return Outcome(job, sample_rate, start,
                   fragments[start:start + len(anchors)], anchors,
                   words=words, phonemes=phonemes)
