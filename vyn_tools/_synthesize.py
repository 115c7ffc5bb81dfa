"""vyn_tools.synthesize: the keyword API over the long-list layer, with
named records, the phonemes and marks, and the audio in memory."""
import os
import sys
from array import array
from concurrent.futures import Executor
from numbers import Real
from typing import (Any, List, Mapping, Optional, Sequence, Tuple, Union)

from ._long_list import (Events, as_float32, path_of, run as run_long_list,
                         scratch_file)
from ._records import Fragment, Mark, Phoneme, Synthesis, Word
from ._wave import HEADER_SIZE
from .visemes import viseme


def _require(name: str, value: Any, kinds: tuple, what: str) -> None:
    """TypeError, as Python's own functions raise it, for a value that is
    not of kinds (bool counts as no number here)."""
    if isinstance(value, bool) and bool not in kinds or \
            not isinstance(value, kinds):
        raise TypeError(f"synthesize() argument '{name}' must be {what}, "
                        f"not {type(value).__name__}")


def _check_types(output, quit_after, backwards, words, phonemes, workers,
                 executor) -> None:
    _require("output", output, (str, bytes, os.PathLike, type(None)),
             "str, bytes, os.PathLike or None")
    _require("quit_after", quit_after, (Real,), "a real number")
    for name, flag in (("backwards", backwards), ("words", words),
                       ("phonemes", phonemes)):
        _require(name, flag, (bool,), "bool")
    _require("workers", workers, (int,), "int")
    _require("executor", executor, (Executor, type(None)),
             "a concurrent.futures.Executor or None")


def _seconds(samples: Sequence[int], rate: int) -> List[float]:
    return as_float32([sample / rate for sample in samples])


def _words(text: str, offsets, begin: int, end: float, rate: int):
    times = _seconds([begin + offset for offset, _, _ in offsets], rate)
    ends = times[1:] + [end]
    return tuple(Word(times[k], ends[k], start, length,
                      text[start:start + length])
                 for k, (_, start, length) in enumerate(offsets))


def phoneme_records(offsets, begin: int, end: float, rate: int):
    """A fragment's phonemes from their offsets in samples from its begin
    (a sample of the file), each to the next one's begin, the last to
    end."""
    times = _seconds([begin + offset for offset, _, _ in offsets], rate)
    ends = times[1:] + [end]
    return tuple(Phoneme(times[k], ends[k], ipa, viseme(ipa), start)
                 for k, (_, start, ipa) in enumerate(offsets))


def _marks(offsets, begin: int, rate: int):
    times = _seconds([begin + offset for offset, _ in offsets], rate)
    return tuple(Mark(name, time) for (_, name), time in zip(offsets, times))


def _fragments(result, texts: List[str]):
    fragments = []
    for i, (words, phonemes, marks) in enumerate(result.words):
        begin, end = result.anchors[i]
        first = result.ends[i - 1] if i else 0
        rate, text = result.sample_rate, texts[result.start + i]
        fragments.append(Fragment(
            result.start + i, begin, end, _words(text, words, first, end, rate),
            phoneme_records(phonemes, first, end, rate),
            _marks(marks, first, rate)))
    return tuple(fragments)


def _read_samples(descriptor: int) -> "array[int]":
    """The samples of the WAVE file open as descriptor, read straight into
    the array."""
    samples = array("h")
    count = (os.fstat(descriptor).st_size - HEADER_SIZE) // samples.itemsize
    with open(descriptor, "rb", closefd=False) as wave_file:
        wave_file.seek(HEADER_SIZE)
        samples.fromfile(wave_file, max(count, 0))
    if sys.byteorder == "big":
        samples.byteswap()
    return samples


# A list as vyn takes it (a list of 2-tuples, 3-tuples with settings, or
# both), and an output path or None.
Fragments = Sequence[Union[Tuple[str, str],
                          Tuple[str, str, Mapping[str, object]]]]
Output = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]", None]


def synthesize(fragments: Fragments, output: Output, *,
               quit_after: float = 0.0,
               backwards: bool = False, words: bool = False,
               phonemes: bool = False, workers: int = 1,
               executor: Optional[Executor] = None) -> Synthesis:
    """Synthesizes fragments, vyn's list of (voice_code, text) or
    (voice_code, text, settings) tuples, into one mono 16-bit WAVE file at
    output, as vyn.synthesize_multiple does (quit_after and backwards mean
    what they mean there), or with output None into memory: no file is
    made and the samples come back in the result. words and phonemes add
    each fragment's words and phonemes (rates above 449 are then refused);
    an SSML fragment's marks come always. workers and executor split the
    list as synthesize_multiple of this package does, the result the same.
    Arguments of the wrong type raise TypeError; otherwise vyn's two
    errors, as vyn raises them."""
    _check_types(output, quit_after, backwards, words, phonemes, workers,
                 executor)
    events = Events(words, phonemes)
    texts = [item[1] if isinstance(item, tuple) and len(item) > 1 else ""
             for item in fragments] if isinstance(fragments, list) else []
    memory = scratch_file() if output is None else None
    try:
        path = path_of(memory) if memory is not None else output
        result = run_long_list(path, float(quit_after), int(backwards),
                               fragments, workers=workers, executor=executor,
                               words=events)
        samples = _read_samples(memory) if memory is not None else None
    finally:
        if memory is not None:
            os.close(memory)
    return Synthesis(result.sample_rate, result.synthesized, result.start,
                     samples, _fragments(result, texts))
