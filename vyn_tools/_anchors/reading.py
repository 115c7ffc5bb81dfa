"""Reading an input file: its non-blank lines as fragments, numbered as the
file numbers them."""
from pathlib import Path
from typing import List

from .records import Fragment, ToolError


def read_fragments(path: Path, default_voice: str) -> List[Fragment]:
    try:
        text = path.read_bytes().decode("utf-8-sig")
    except FileNotFoundError:
        raise ToolError("no such file") from None
    except UnicodeDecodeError as error:
        raise ToolError(f"not UTF-8 text ({error.reason} at byte "
                        f"{error.start})") from None
    except OSError as error:
        raise ToolError(f"cannot read it ({error.strerror})") from None
    fragments = []
    for number, line in enumerate(file_lines(text), start=1):
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


def file_lines(text: str) -> List[str]:
    """The lines as grep and editors number them: split at LF only, a CRLF
    being one line end. A form feed, a lone CR, NEL, U+2028 and the other
    separators str.splitlines knows stay inside their line (PDF extracts
    are full of form feeds), so every later line keeps its number."""
    return [line[:-1] if line.endswith("\r") else line
            for line in text.split("\n")]


def count_lines(path: Path) -> int:
    """The input's non-blank lines, for the progress bar's total (0 for a
    file it cannot read: reading it reports why)."""
    try:
        with open(path, "rb") as text:
            return sum(1 for line in text
                       if line.decode("utf-8", "replace").strip())
    except OSError:
        return 0
