"""The named results of vyn_tools.synthesize: frozen records, typed."""
from array import array
from dataclasses import dataclass
from typing import Optional, Tuple


@dataclass(frozen=True)
class Word:
    """A word of a fragment: it begins at begin and ends where the next word
    begins, the last where its fragment ends (seconds from the start of the
    file); text is fragment_text[start:start + length]."""
    begin: float
    end: float
    start: int
    length: int
    text: str


@dataclass(frozen=True)
class Phoneme:
    """A phoneme of a fragment, from begin to where the next one begins (the
    last to its fragment's end), in seconds from the start of the file; the
    first begins where its fragment begins. ipa is the library's IPA name
    ("" for a pause; a stressed vowel's with its stress mark from eSpeak NG
    1.52.0 on), cut by the library at 8 bytes; tones are not reported. viseme is its mouth shape (vyn_tools.visemes). start
    is the character of the fragment's text the library ties it to."""
    begin: float
    end: float
    ipa: str
    viseme: str
    start: int


@dataclass(frozen=True)
class Mark:
    """A named mark of an SSML fragment (<mark name="..."/>): where the
    synthesizer reached it, in seconds from the start of the file."""
    name: str
    time: float


@dataclass(frozen=True)
class Fragment:
    """A fragment written: its index in the input list, its span in seconds
    from the start of the file, and what was asked of it (words and
    phonemes empty unless asked; marks whenever its text has any)."""
    index: int
    begin: float
    end: float
    words: Tuple[Word, ...]
    phonemes: Tuple[Phoneme, ...]
    marks: Tuple[Mark, ...]


@dataclass(frozen=True)
class Synthesis:
    """What vyn_tools.synthesize gives: the file's sample rate, how many
    fragments were written, the index of the first one written (the
    backward mode's choice; else 0), the audio's mono 16-bit samples when
    no output path was given (else None), and one record per fragment
    written, in file order."""
    sample_rate: int
    synthesized: int
    start: int
    samples: Optional["array[int]"]
    fragments: Tuple[Fragment, ...]
