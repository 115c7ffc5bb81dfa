"""The two errors vyn raises, with the extension's own messages, for the
package's calls to raise as a call of vyn would."""
import vyn

PARSE_ERROR = vyn._parse_error_message
SYNTHESIS_ERROR = vyn._synthesis_error_message


def parse_error():
    return ValueError(PARSE_ERROR)


def synthesis_error(note=None):
    """The synthesis error, with the note where the interpreter has notes
    (3.11 on), as vyn adds one."""
    error = ValueError(SYNTHESIS_ERROR)
    if note is not None and hasattr(error, "add_note"):
        error.add_note(note)
    return error
