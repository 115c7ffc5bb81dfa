"""vyn on every core: one long fragment list split over worker processes
and joined into one file, and a corpus of many lists into many files, on
local processes or any concurrent.futures executor (a Dask cluster's among
them)."""
from ._corpus import JobResult, synthesize_corpus
from ._long_list import run as _run

__all__ = ["synthesize_multiple", "synthesize_words", "synthesize_corpus",
           "JobResult"]


def synthesize_multiple(output_file_path, quit_after, backwards, fragments,
                        *, workers=None, executor=None):
    """Does what vyn.synthesize_multiple does, returning what it returns,
    with the work split into contiguous parts over worker processes:
    workers local processes (default: the usable cores), or the given
    concurrent.futures.Executor instead. Short lists run as one call in this
    process."""
    return _run(output_file_path, quit_after, backwards, fragments,
                workers, executor)[:3]


def synthesize_words(output_file_path, quit_after, backwards, fragments,
                     *, workers=None, executor=None):
    """Does what vyn.synthesize_words does, returning (sample_rate,
    synthesized, anchors, words), with the work split as
    synthesize_multiple splits it: each word's times are read off the
    joined file's samples."""
    rate, synthesized, anchors, _, words = _run(
        output_file_path, quit_after, backwards, fragments, workers, executor,
        words=True)
    return rate, synthesized, anchors, words
