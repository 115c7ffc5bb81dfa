"""What the parts of vyn-anchors hand each other: an input's fragments, the
job of one input file and its outcome, and the error reported in one
line."""
from concurrent.futures import Executor
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, List, Optional, Tuple


class ToolError(Exception):
    """A failure to report to the user in one line, without a traceback."""


@dataclass
class Fragment:
    line: int  # 1-based line number in the input file
    voice: str
    text: str


@dataclass
class Job:
    input_path: Path
    wav_path: Path
    anchor_paths: Dict[str, Path]
    plot_path: Optional[Path]
    voice: str
    quit_after: float
    backwards: bool
    words: bool = False  # where each word begins, too
    # Every line's own rate, pitch, volume, word gap: vyn's fragment
    # settings; empty, each voice's own.
    settings: Dict[str, int] = field(default_factory=dict)
    # How one input's list is split: local processes, or an executor (a
    # Dask cluster's); several inputs run one call each.
    workers: int = 1
    executor: Optional[Executor] = None
    phonemes: bool = False  # each phoneme's span, IPA and viseme, too


@dataclass
class Outcome:
    job: Job
    sample_rate: int = 0
    start: int = 0
    fragments: List[Fragment] = field(default_factory=list)
    anchors: List[Tuple[float, float]] = field(default_factory=list)
    error: Optional[str] = None
    # With --words: per fragment written, (begin, end, start, length) of
    # each word, start and length in the fragment's text.
    words: Optional[List[List[Tuple[float, float, int, int]]]] = None
    # With --phonemes: per fragment written, (begin, end, ipa, viseme,
    # start) of each phoneme.
    phonemes: Optional[List[List[Tuple[float, float, str, str, int]]]] = None
