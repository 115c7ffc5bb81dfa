"""Where each input's files go: the WAVE file, the anchors and the picture,
from the options; checked before anything is synthesized."""
import argparse
import os
from pathlib import Path
from typing import List, Optional

from .arguments import speech_settings
from .records import Job, ToolError

STANDARD_OUTPUT = "-"
STEM = "{stem}"


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
                        arguments.backwards, arguments.words,
                        speech_settings(arguments),
                        phonemes=arguments.phonemes))
    written = [p for job in jobs for p in (job.wav_path, job.plot_path,
                                           *job.anchor_paths.values()) if p]
    inputs = {p.resolve() for p in arguments.inputs}
    for path in written:
        if written.count(path) > 1 or path.resolve() in inputs:
            raise ToolError(f"{path} would be written twice or overwrite an "
                            "input; give --output with {stem}")
    return jobs
