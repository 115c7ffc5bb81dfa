"""vyn on every core: one long fragment list split over worker processes
and joined into one file, and a corpus of many lists into many files, on
local processes or any concurrent.futures executor (a Dask cluster's among
them); and synthesize, the keyword API with named, typed records (Synthesis,
Fragment, Word, Phoneme, Mark): each phoneme's span, IPA name and viseme
(vyn_tools.visemes), the marks of SSML fragments, and the audio in memory
when no output path is given."""
from concurrent.futures import Executor
from typing import Any, List, Optional, Tuple

from ._corpus import JobResult, synthesize_corpus
from ._long_list import run as _run
from ._records import Fragment, Mark, Phoneme, Synthesis, Word
from ._synthesize import synthesize

__all__ = ["synthesize", "Synthesis", "Fragment", "Word", "Phoneme", "Mark",
           "synthesize_multiple", "synthesize_words", "synthesize_corpus",
           "JobResult"]

_MISSING = object()


def synthesize_multiple(
        output_file_path: Any = _MISSING, quit_after: Any = _MISSING,
        backwards: Any = _MISSING, fragments: Any = _MISSING, /, *extra: Any,
        workers: Optional[int] = None, executor: Optional[Executor] = None,
) -> Tuple[int, int, List[Tuple[float, float]]]:
    """Does what vyn.synthesize_multiple does and returns what it returns,
    with the work split into contiguous parts over worker processes:
    workers local processes (default: the usable cores), or the given
    concurrent.futures.Executor instead. Lists too short to gain run as one
    call in this process. Arguments of the wrong number or shape raise the
    same ValueError as vyn's."""
    result = _run(*_given(output_file_path, quit_after, backwards, fragments),
                  *extra, workers=workers, executor=executor)
    return result.sample_rate, result.synthesized, result.anchors


def synthesize_words(
        output_file_path: Any = _MISSING, quit_after: Any = _MISSING,
        backwards: Any = _MISSING, fragments: Any = _MISSING, /, *extra: Any,
        workers: Optional[int] = None, executor: Optional[Executor] = None,
) -> Tuple[int, int, List[Tuple[float, float]],
           List[List[Tuple[float, float, int, int]]]]:
    """Does what vyn.synthesize_words does, returning (sample_rate,
    synthesized, anchors, words), with the work split as
    synthesize_multiple splits it: each word's times are read off the
    joined file's samples."""
    result = _run(*_given(output_file_path, quit_after, backwards, fragments),
                  *extra, workers=workers, executor=executor, words=True)
    return result.sample_rate, result.synthesized, result.anchors, result.words


def _given(*arguments):
    """The positional arguments the caller gave, for the same errors as
    vyn's on a wrong count."""
    return [a for a in arguments if a is not _MISSING]
