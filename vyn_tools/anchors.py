"""vyn-anchors: speak a text file line by line into one WAVE file with vyn
and write where each line begins and ends in it, as JSON, SRT or WebVTT
subtitles, or TSV.

    vyn-anchors story.txt --format json,srt --plot story.png
    python -m vyn_tools.anchors story.txt

Run with --help for every option.
"""
import argparse
import json
import math
import multiprocessing
import os
import sys
import wave
from concurrent.futures import Executor, ProcessPoolExecutor, as_completed
from dataclasses import dataclass, field
from pathlib import Path
from types import ModuleType
from typing import (Any, Callable, Dict, Iterator, List, Optional, Sequence,
                    Tuple)

from ._long_list import run as run_long_list
from ._wave import check as check_arguments

PROGRAM = "vyn-anchors"
STANDARD_OUTPUT = "-"
FORMATS = ("json", "srt", "tsv", "vtt")
STEM = "{stem}"

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
  INPUT.tsv, INPUT.vtt). -o - streams the audio to standard output (the
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
    # How one input's list is split: local processes, or an executor (a
    # Dask cluster's); several inputs run one call each.
    workers: int = 1
    executor: Optional[Executor] = None


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


# --- reading the input ---------------------------------------------------

def read_fragments(path: Path, default_voice: str) -> List[Fragment]:
    try:
        text = path.read_text(encoding="utf-8-sig")
    except FileNotFoundError:
        raise ToolError("no such file") from None
    except UnicodeDecodeError as error:
        raise ToolError(f"not UTF-8 text ({error.reason} at byte "
                        f"{error.start})") from None
    except OSError as error:
        raise ToolError(f"cannot read it ({error.strerror})") from None
    fragments = []
    for number, line in enumerate(text.splitlines(), start=1):
        voice, tab, spoken = line.partition("\t")
        if not tab:
            voice, spoken = "", voice
        if "\0" in line:
            raise ToolError(f"line {number} contains a NUL character")
        if spoken.strip():
            fragments.append(Fragment(number, voice.strip() or default_voice,
                                      spoken.strip()))
    if not fragments:
        raise ToolError("nothing to speak (the file is empty or has only "
                        "blank lines)")
    return fragments


# --- synthesis -----------------------------------------------------------

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
    items = [(fragment.voice, fragment.text) for fragment in fragments]
    job.wav_path.parent.mkdir(parents=True, exist_ok=True)
    check_voices(fragments)
    try:
        sample_rate, _, anchors, start, words = run_long_list(
            synthesis_path(job.wav_path), job.quit_after,
            int(job.backwards), items, workers=job.workers,
            executor=job.executor, progress=progress, words=job.words)
    except ValueError as error:
        raise ToolError(f"{job.wav_path}: cannot synthesize into it "
                        f"({error})") from None
    return Outcome(job, sample_rate, start,
                   fragments[start:start + len(anchors)], anchors,
                   words=words)


# --- writing the anchors -------------------------------------------------

def word_records(outcome: Outcome, i: int) -> List[Dict[str, Any]]:
    """Fragment i's words: times, and their text and place in its text."""
    assert outcome.words is not None
    text = outcome.fragments[i].text
    return [{"begin": begin, "end": end, "start": start, "length": length,
             "text": text[start:start + length]}
            for begin, end, start, length in outcome.words[i]]


def anchor_records(outcome: Outcome) -> List[Dict[str, Any]]:
    records = [{"fragment": outcome.start + i, "line": fragment.line,
                "voice": fragment.voice, "begin": begin, "end": end,
                "text": fragment.text}
               for i, (fragment, (begin, end))
               in enumerate(zip(outcome.fragments, outcome.anchors))]
    if outcome.words is not None:
        for i, record in enumerate(records):
            record["words"] = word_records(outcome, i)
    return records


def as_json(outcome: Outcome) -> str:
    job = outcome.job
    document = {
        "input": str(job.input_path), "wav": str(job.wav_path),
        "sample_rate": outcome.sample_rate,
        "quit_after": job.quit_after or None, "backwards": job.backwards,
        "start": outcome.start, "anchors": anchor_records(outcome),
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
    """A row per fragment; with words, a row per word."""
    records = anchor_records(outcome)
    if outcome.words is not None:
        records = [{**r, **word} for r in records for word in r["words"]]
    rows = ["fragment\tline\tvoice\tbegin\tend\ttext"]
    rows += [f"{r['fragment']}\t{r['line']}\t{r['voice']}\t{r['begin']:.6f}"
             f"\t{r['end']:.6f}\t{r['text'].replace(chr(9), ' ')}"
             for r in records]
    return "\n".join(rows) + "\n"


WRITERS = {"json": as_json, "srt": as_srt, "tsv": as_tsv, "vtt": as_vtt}


# --- the picture ---------------------------------------------------------

def import_pyplot() -> ModuleType:
    try:
        import matplotlib
    except ImportError:
        raise ToolError("--plot needs matplotlib: pip install 'vyn[plot]' "
                        "(or pip install matplotlib)") from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as pyplot
    return pyplot


def plot(outcome: Outcome, path: Path) -> None:
    """The waveform as a min/max envelope, each fragment's span shaded and
    numbered with its input line, so the boundaries can be seen to sit in
    the pauses between the words."""
    import numpy
    pyplot = import_pyplot()
    with wave.open(str(outcome.job.wav_path), "rb") as reader:
        rate = reader.getframerate()
        samples = numpy.frombuffer(reader.readframes(reader.getnframes()),
                                   dtype="<i2") / 32768.0
    bins = max(1, len(samples) // 4000)
    usable = samples[:len(samples) // bins * bins].reshape(-1, bins)
    times = numpy.arange(len(usable)) * bins / rate
    figure, axes = pyplot.subplots(figsize=(16, 4.5), dpi=100)
    axes.fill_between(times, usable.min(axis=1), usable.max(axis=1),
                      color="#1f3b5a", linewidth=0, zorder=2)
    label_every = max(1, len(outcome.anchors) // 60)
    for i, ((begin, end), fragment) in enumerate(zip(outcome.anchors,
                                                     outcome.fragments)):
        axes.axvspan(begin, end, color=("#f6c85f", "#6fb3d2")[i % 2],
                     alpha=0.35, linewidth=0, zorder=0)
        axes.axvline(begin, color="#c0392b", linewidth=0.8)
        if i % label_every == 0:
            axes.text((begin + end) / 2, 1.02, str(fragment.line),
                      ha="center", va="bottom", fontsize=9,
                      transform=axes.get_xaxis_transform())
    if outcome.anchors:
        axes.axvline(outcome.anchors[-1][1], color="#c0392b", linewidth=0.8)
    axes.set_xlim(0, max(len(samples) / rate, 1e-3))
    axes.set_ylim(-1, 1)
    axes.set_xlabel("seconds")
    axes.set_title(f"{outcome.job.wav_path.name}: {len(outcome.anchors)} "
                   "fragments, numbered by input line", pad=18)
    figure.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path)
    pyplot.close(figure)


# --- one input file ------------------------------------------------------

def run_job(job: Job,
            progress: Optional[Callable[[int], None]] = None) -> Outcome:
    """Everything for one input file; runs in a worker process when there
    are several. Failures come back as the outcome's error, so one bad file
    does not stop the others."""
    try:
        outcome = synthesize(job, read_fragments(job.input_path, job.voice),
                             progress)
        for name, path in job.anchor_paths.items():
            path.write_text(WRITERS[name](outcome), encoding="utf-8")
        if job.plot_path is not None:
            plot(outcome, job.plot_path)
        return outcome
    except ToolError as error:
        return Outcome(job, error=f"{job.input_path}: {error}")
    except OSError as error:
        return Outcome(job, error=f"{job.input_path}: cannot write "
                                  f"{error.filename} ({error.strerror})")


class Progress:
    """A bar on standard error when it is a terminal and tqdm is installed
    (pip install 'vyn[progress]'); nothing otherwise."""

    def __init__(self, enabled: bool, total: int, unit: str) -> None:
        self.bar: Any = None
        if enabled and sys.stderr.isatty():
            try:
                from tqdm import tqdm  # type: ignore
            except ImportError:
                return
            self.bar = tqdm(total=total, unit=unit, file=sys.stderr,
                            leave=False, dynamic_ncols=True)

    def advance(self, count: int = 1) -> None:
        if self.bar is not None:
            self.bar.update(count)

    def write(self, line: str, file: Any) -> None:
        if self.bar is not None:
            self.bar.write(line, file=file)
        else:
            print(line, file=file)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def count_lines(path: Path) -> int:
    try:
        with open(path, "rb") as text:
            return sum(1 for line in text if line.strip())
    except OSError:
        return 0


def run_jobs(jobs: List[Job], workers: int, start_method: Optional[str],
             executor: Optional[Executor],
             progress: Progress) -> Iterator[Outcome]:
    """One input: its list split over the workers (or the executor). Several:
    workers of them at a time, one call each, in the order they finish."""
    if len(jobs) == 1:
        job = jobs[0]
        pool = None
        if executor is None and workers > 1:
            executor = pool = ProcessPoolExecutor(
                max_workers=workers,
                mp_context=multiprocessing.get_context(start_method))
        job.workers, job.executor = workers, executor
        try:
            yield run_job(job, progress.advance)
        finally:
            if pool is not None:
                pool.shutdown()
        return
    if executor is None and workers <= 1:
        for job in jobs:
            yield run_job(job)
            progress.advance()
        return
    pool = None
    if executor is None:
        executor = pool = ProcessPoolExecutor(
            max_workers=min(workers, len(jobs)),
            mp_context=multiprocessing.get_context(start_method))
    try:
        for future in as_completed([executor.submit(run_job, job)
                                    for job in jobs]):
            yield future.result()
            progress.advance()
    finally:
        if pool is not None:
            pool.shutdown()


def connect(address: str) -> Executor:
    try:
        from distributed import Client
    except ImportError:
        raise ToolError("--scheduler needs Dask: pip install 'vyn[dask]'") \
            from None
    try:
        client = Client(address, timeout=30)
    except (OSError, TimeoutError) as error:
        raise ToolError(f"cannot reach the scheduler at {address} "
                        f"({error})") from None
    executor: Executor = client.get_executor()
    return executor


def summary(outcome: Outcome) -> str:
    job = outcome.job
    first, last = outcome.fragments[0].line, outcome.fragments[-1].line
    lines = f"line {first}" if first == last else f"lines {first}-{last}"
    count = len(outcome.anchors)
    written = [job.wav_path, *job.anchor_paths.values()]
    if job.plot_path is not None:
        written.append(job.plot_path)
    return (f"{job.input_path}: {count} fragment{'s' * (count != 1)} "
            f"({lines}), {outcome.anchors[-1][1]:.2f} s at "
            f"{outcome.sample_rate} Hz -> "
            + ", ".join(str(path) for path in written))


# --- command line --------------------------------------------------------

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
    p.add_argument("--quit-after", type=seconds, default=0.0,
                   metavar="SECONDS",
                   help="stop after the fragment whose end reaches SECONDS")
    p.add_argument("--backwards", action="store_true",
                   help="with --quit-after: the last fragments instead of "
                        "the first (see below)")
    p.add_argument("-f", "--format", type=format_list, default=["json"],
                   help="anchor formats: json, srt, tsv, vtt (WebVTT), "
                        "comma-separated "
                        "(default: json)")
    p.add_argument("--words", action="store_true",
                   help="also where each word begins: in the JSON, as "
                        "WebVTT timestamps, and a TSV row per word")
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


def output_path(template: Optional[str], input_path: Path, suffix: str,
                several: bool) -> Path:
    if template is None:
        return input_path.with_suffix(suffix)
    if several and STEM not in template:
        raise ToolError(f"with several inputs, {template!r} must contain "
                        f"{STEM}")
    return Path(template.replace(STEM, input_path.stem))


def synthesis_path(wav_path: Path) -> str:
    return "/dev/stdout" if str(wav_path) == STANDARD_OUTPUT else str(wav_path)


def is_standard_output(wav_path: Path) -> bool:
    """Whether the audio goes to this process's standard output: "-", or a
    name of it such as /dev/stdout."""
    if str(wav_path) == STANDARD_OUTPUT:
        return True
    try:
        return os.path.samestat(os.stat(wav_path), os.fstat(1))
    except OSError:
        return False


def is_stream(wav_path: Path) -> bool:
    """Audio that cannot be read back: standard output, a pipe, a device."""
    return is_standard_output(wav_path) or (wav_path.exists()
                                            and not wav_path.is_file())


def plan(arguments: argparse.Namespace) -> List[Job]:
    several = len(arguments.inputs) > 1
    if several and arguments.output == STANDARD_OUTPUT:
        raise ToolError("standard output takes the audio of one input")
    jobs = []
    for input_path in arguments.inputs:
        wav_path = output_path(arguments.output, input_path, ".wav", several)
        plot_path = (None if arguments.plot is None else
                     output_path(arguments.plot, input_path, ".png", several))
        streamed = is_stream(wav_path)
        if streamed and plot_path is not None:
            raise ToolError("--plot reads the WAVE file back: give -o a "
                            "file, not standard output, a pipe or a device")
        # Beside the input when the audio goes where no file can go beside.
        beside = input_path if streamed else wav_path
        anchors = {name: beside.with_suffix("." + name)
                   for name in dict.fromkeys(arguments.format)}
        jobs.append(Job(input_path, wav_path, anchors, plot_path,
                        arguments.voice, arguments.quit_after,
                        arguments.backwards, arguments.words))
    written = [p for job in jobs for p in (job.wav_path, job.plot_path,
                                           *job.anchor_paths.values()) if p]
    inputs = {p.resolve() for p in arguments.inputs}
    for path in written:
        if written.count(path) > 1 or path.resolve() in inputs:
            raise ToolError(f"{path} would be written twice or overwrite an "
                            "input; give --output with {stem}")
    return jobs


def run_tool(argv: Optional[Sequence[str]] = None) -> int:
    p = parser()
    arguments = p.parse_args(argv)
    if arguments.backwards and not arguments.quit_after:
        p.error("--backwards needs --quit-after")
    if arguments.jobs < 1:
        p.error("--jobs needs a number of 1 or more")
    try:
        if arguments.plot is not None:
            import_pyplot()
        jobs = plan(arguments)
    except ToolError as error:
        print(f"{PROGRAM}: error: {error}", file=sys.stderr)
        return 1
    try:
        executor = (None if arguments.scheduler is None
                    else connect(arguments.scheduler))
    except ToolError as error:
        print(f"{PROGRAM}: error: {error}", file=sys.stderr)
        return 1
    one = len(jobs) == 1
    progress = Progress(not arguments.quiet,
                        count_lines(jobs[0].input_path) if one else len(jobs),
                        "fragment" if one else "file")
    # Never text into the audio.
    report = (sys.stderr if any(is_standard_output(job.wav_path)
                                for job in jobs) else sys.stdout)
    failed = 0
    try:
        for outcome in run_jobs(jobs, arguments.jobs, arguments.start_method,
                                executor, progress):
            if outcome.error is not None:
                failed += 1
                progress.write(f"{PROGRAM}: error: {outcome.error}",
                               sys.stderr)
            elif not arguments.quiet:
                progress.write(summary(outcome), report)
    finally:
        progress.close()
    return 1 if failed else 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    """The tool, with a reader of standard output that went away (| head)
    an error status rather than a traceback."""
    try:
        return run_tool(argv)
    except BrokenPipeError:
        # Python would report the pipe again when it flushes at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(main())
