"""vyn: synthesize many text fragments into one WAVE file with eSpeak NG,
with the time span of each fragment in it."""

import os
from typing import TypedDict, overload, type_check_only

@type_check_only
class FragmentSettings(TypedDict, total=False):
    """A fragment's own settings, for that fragment only (the next starts
    from its own voice's); each as the espeak-ng command line's option."""

    rate: int      # -s, words per minute: 80 to 1000 (449 with words)
    pitch: int     # -p, 0 to 99
    volume: int    # -a, 0 to 200
    word_gap: int  # -g, pause between words in 10 ms units: 0 to 1000
    ssml: bool     # -m, the text is SSML (False: spoken as written)

_Path = str | bytes | os.PathLike[str] | os.PathLike[bytes]
# A list of fragments: a list of one kind of tuple, or of both, so that a
# list typed as either kind alone is taken too.
_WithSettings = list[tuple[str, str, FragmentSettings]]
_Mixed = list[tuple[str, str] | tuple[str, str, FragmentSettings]]
_Words = list[list[tuple[float, float, int, int]]]

@overload
def synthesize_multiple(
    output_file_path: str | bytes | os.PathLike[str] | os.PathLike[bytes],
    quit_after: float,
    backwards: int,
    fragments: list[tuple[str, str]],
    /,
) -> tuple[int, int, list[tuple[float, float]]]:
    """Synthesize multiple text fragments with eSpeak into one mono 16-bit
    WAVE file at output_file_path.

    quit_after: if > 0, stop after the fragment whose end reaches it (seconds).
    backwards: if non-zero and quit_after > 0, choose the start fragment by
    measuring from the last fragment backwards until quit_after is reached,
    then write from it onwards under the same limit.
    fragments: (voice_code, text) or (voice_code, text, settings) tuples.
    A voice code is what `espeak-ng -v` takes: a voice name or file (en,
    en+f3, mb-us1, gmw/en-GB-x-gbclan), else a language to match (de-CH
    finds de); "" is the default voice. settings (FragmentSettings) change
    that fragment's rate, pitch, volume or word gap. Every code and setting
    is checked before the file is opened.

    Returns (sample_rate, synthesized, anchors): sample_rate is the file's,
    the highest rate among the voices of the whole list (fragments of
    slower voices, such as MBROLA's 16,000 Hz, are converted up); anchors
    holds one (begin, end) pair in seconds per fragment written, in file
    order.
    Raises ValueError("Error while parsing the arguments") for arguments of
    the wrong shape and ValueError("Error while synthesizing multiple
    fragments") when synthesis fails, with a note naming the fragment and
    the reason where one fragment is to blame, or the cause alone where it
    has one and no fragment is ("too few file descriptors free"; Python 3.11
    and later).
    """

@overload
def synthesize_multiple(
    output_file_path: _Path, quit_after: float, backwards: int,
    fragments: _WithSettings, /,
) -> tuple[int, int, list[tuple[float, float]]]: ...
@overload
def synthesize_multiple(
    output_file_path: _Path, quit_after: float, backwards: int,
    fragments: _Mixed, /,
) -> tuple[int, int, list[tuple[float, float]]]: ...
@overload
def synthesize_words(
    output_file_path: str | bytes | os.PathLike[str] | os.PathLike[bytes],
    quit_after: float,
    backwards: int,
    fragments: list[tuple[str, str]],
    /,
) -> tuple[int, int, list[tuple[float, float]],
           list[list[tuple[float, float, int, int]]]]:
    """Synthesize multiple text fragments with eSpeak, as synthesize_multiple
    does (the same arguments, file and errors), with the time at which each
    word begins.

    Returns (sample_rate, synthesized, anchors, words): the first three as
    synthesize_multiple returns them; words holds one list per fragment
    written, in file order, of (begin, end, start, length) per word. begin
    and end are seconds from the start of the file (a word ends where the
    next begins, the last where its fragment ends); text[start:start +
    length] is the word in the fragment's text, up to its last non-blank
    character before the next word. A number or a phrase the synthesizer
    speaks as one ("of a") is one word; MBROLA voices give one per clause.
    In an SSML text a word spans text content, never a tag, and start and
    length index the text as given, markup included.
    """
@overload
def synthesize_words(
    output_file_path: _Path, quit_after: float, backwards: int,
    fragments: _WithSettings, /,
) -> tuple[int, int, list[tuple[float, float]], _Words]: ...
@overload
def synthesize_words(
    output_file_path: _Path, quit_after: float, backwards: int,
    fragments: _Mixed, /,
) -> tuple[int, int, list[tuple[float, float]], _Words]: ...
