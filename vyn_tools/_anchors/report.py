"""What the user sees while the inputs run: a progress bar, a summary line
per input written."""
import sys
from typing import Any

from .records import Outcome


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
