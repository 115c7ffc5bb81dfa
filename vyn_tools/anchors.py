"""vyn-anchors: speak a text file line by line into one WAVE file with vyn
and write where each line begins and ends in it, as JSON, SRT or WebVTT
subtitles, or TSV.

    vyn-anchors story.txt --format json,srt --plot story.png
    python -m vyn_tools.anchors story.txt

Run with --help for every option. This module is the entry; the rest of
the tool (arguments, paths, reading, synthesis, formats, plot, running,
report) is in the modules of vyn_tools._anchors.
"""
import argparse
import os
import sys
from concurrent.futures import Executor
from typing import List, Optional, Sequence

from ._anchors.arguments import PROGRAM, parse
from ._anchors.paths import is_standard_output, plan
from ._anchors.plot import import_pyplot
from ._anchors.reading import count_lines
from ._anchors.records import Job, ToolError
from ._anchors.report import Progress, summary
from ._anchors.running import connect, run_jobs


def prepare(arguments: argparse.Namespace) -> List[Job]:
    """The jobs, once what they need is there: matplotlib for --plot."""
    if arguments.plot is not None:
        import_pyplot()
    return plan(arguments)


def run_tool(argv: Optional[Sequence[str]] = None) -> int:
    arguments = parse(argv)
    try:
        jobs = prepare(arguments)
        executor = (None if arguments.scheduler is None
                    else connect(arguments.scheduler))
    except ToolError as error:
        print(f"{PROGRAM}: error: {error}", file=sys.stderr)
        return 1
    return run_and_report(jobs, arguments, executor)


def run_and_report(jobs: List[Job], arguments: argparse.Namespace,
                   executor: Optional[Executor]) -> int:
    """Runs the jobs, reporting each as it ends: the exit status."""
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
    an error status rather than a traceback, and Ctrl-C one line and the
    shell's status for SIGINT (the call it stopped has left a valid WAVE
    file of what it wrote)."""
    try:
        return run_tool(argv)
    except KeyboardInterrupt:
        print(f"{PROGRAM}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # Python would report the pipe again when it flushes at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(main())
