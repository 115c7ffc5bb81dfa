"""The command line of vyn-anchors: its options, their checks and its
help."""
import argparse
import math
from pathlib import Path
from typing import Dict, List, Optional, Sequence

from .formats import FORMATS

PROGRAM = "vyn-anchors"

DESCRIPTION = """\
Speaks each non-blank line of a UTF-8 text file as one fragment into a WAVE
file and writes the span of every fragment in it. A line may name its own
voice as VOICE<TAB>TEXT; other lines use --voice. A voice is what
`espeak-ng -v` takes: en, de-CH, en+f3, mb-us1 (MBROLA, where installed).
Blank lines are skipped but still counted, so the line numbers in the
anchors are those of the file."""

EPILOG = """\
output paths:
  By default INPUT.txt gives INPUT.wav beside it, and the anchors go beside
  the WAVE file with the suffix of their format (INPUT.json, INPUT.srt,
  INPUT.tsv, INPUT.vtt, INPUT.textgrid). -o - streams the audio to standard output (the
  summary line then goes to standard error); the anchors of audio sent to
  standard output, a pipe or a device go beside the input. With several
  inputs, --output and --plot must contain {stem}, which stands for each
  input's name without its suffix: -o out/{stem}.wav.

backward mode:
  With --backwards and --quit-after S the WAVE file holds the last fragments
  of the file: vyn measures the fragments from the last one backwards until S
  seconds are reached, starts at the fragment it reached and writes from there
  onwards under the same limit. The anchors are labelled with the lines
  they came from ("start" in the JSON is the first fragment written).

processes:
  vyn has one synthesizer per process, so processes are how it scales.
  --jobs N splits one input's lines into parts over N processes and joins
  them into one WAVE file; with several inputs, each gets its own WAVE file
  and anchors, N files at a time. --scheduler ADDRESS does the same on a
  Dask cluster. A progress bar goes to standard error when it is a terminal
  (needs tqdm: pip install 'vyn[progress]'); --quiet turns it off.

exit status: 0 when every input was written, 1 when any failed, 2 for a
usage error."""


def format_list(value: str) -> List[str]:
    names = [name.strip().lower() for name in value.split(",") if name.strip()]
    unknown = [name for name in names if name not in FORMATS]
    if unknown or not names:
        raise argparse.ArgumentTypeError(
            f"choose from {', '.join(FORMATS)}, comma-separated")
    return names


def seconds(value: str) -> float:
    number = float(value)
    if not math.isfinite(number) or number < 0:
        raise argparse.ArgumentTypeError("a number of seconds, 0 or more")
    return number


# Every line's own speech settings, as vyn takes them (its ranges): option,
# key, low, high, what it sets.
SETTINGS = [
    ("--rate", "rate", 80, 1000, "words per minute, as espeak-ng -s"),
    ("--pitch", "pitch", 0, 99, "as espeak-ng -p (50: the voice's own)"),
    ("--volume", "volume", 0, 200, "as espeak-ng -a (default 100)"),
    ("--word-gap", "word_gap", 0, 1000,
     "pause between words in units of 10 ms, as espeak-ng -g"),
]


def setting(low: int, high: int):
    def number(value: str) -> int:
        try:
            result = int(value)
        except ValueError:
            result = low - 1
        if not low <= result <= high:
            raise argparse.ArgumentTypeError(
                f"a whole number from {low} to {high}")
        return result
    return number


def speech_settings(arguments: argparse.Namespace) -> Dict[str, int]:
    """The settings given, as vyn's fragments carry them ("ssml" a bool)."""
    given = {key: getattr(arguments, key) for _, key, _, _, _ in SETTINGS
             if getattr(arguments, key) is not None}
    if arguments.ssml:
        given["ssml"] = True
    return given


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog=PROGRAM, description=DESCRIPTION, epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("inputs", nargs="+", type=Path, metavar="INPUT",
                   help="UTF-8 text file, one fragment per line")
    p.add_argument("-o", "--output", metavar="WAV",
                   help="the WAVE file to write, - for standard output "
                        "(default: INPUT.wav)")
    p.add_argument("--voice", default="en",
                   help="voice for lines without one, as espeak-ng -v "
                        "takes it (default: en)")
    for option, key, low, high, meaning in SETTINGS:
        p.add_argument(option, type=setting(low, high), dest=key,
                       metavar="N",
                       help=f"every line: {meaning}; {low} to {high}")
    p.add_argument("--ssml", action="store_true",
                   help="every line is SSML, as espeak-ng -m reads it "
                        "(word positions index the line as written)")
    p.add_argument("--quit-after", type=seconds, default=0.0,
                   metavar="SECONDS",
                   help="stop after the fragment whose end reaches SECONDS")
    p.add_argument("--backwards", action="store_true",
                   help="with --quit-after: the last fragments instead of "
                        "the first (see below)")
    p.add_argument("-f", "--format", type=format_list, default=["json"],
                   help="anchor formats: json, srt, tsv, vtt (WebVTT), "
                        "textgrid (Praat), comma-separated "
                        "(default: json)")
    p.add_argument("--words", action="store_true",
                   help="also where each word begins: in the JSON, as "
                        "WebVTT timestamps, and a TSV row per word")
    p.add_argument("--phonemes", action="store_true",
                   help="also each phoneme's span, IPA and viseme: in the "
                        "JSON, a TSV row per phoneme, a TextGrid tier")
    p.add_argument("--plot", metavar="PNG",
                   help="also draw the waveform with the fragment spans "
                        "(needs matplotlib: pip install 'vyn[plot]')")
    p.add_argument("-j", "--jobs", type=int, default=1, metavar="N",
                   help="N processes: one input's lines split over them, or "
                        "N input files at a time")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="run on the Dask cluster of the scheduler at ADDRESS "
                        "(tcp://host:8786) instead (needs pip install "
                        "'vyn[dask]'; output paths must be shared storage)")
    p.add_argument("-q", "--quiet", action="store_true",
                   help="no progress bar and no summary lines (errors are "
                        "still reported)")
    p.add_argument("--start-method", choices=("fork", "spawn", "forkserver"),
                   help="how --jobs starts its processes (default: the "
                        "platform's)")
    return p


def parse(argv: Optional[Sequence[str]] = None) -> argparse.Namespace:
    """The options; a usage error (one the parser cannot see alone, too)
    exits with status 2."""
    p = parser()
    arguments = p.parse_args(argv)
    if arguments.backwards and not arguments.quit_after:
        p.error("--backwards needs --quit-after")
    if arguments.jobs < 1:
        p.error("--jobs needs a number of 1 or more")
    for option in ("words", "phonemes"):
        if getattr(arguments, option) and (arguments.rate or 0) > 449:
            p.error(f"--{option} needs a --rate of 449 or less: above, "
                    "eSpeak NG speeds the audio up afterwards and gives no "
                    f"{option[:-1]} times")
    return arguments
