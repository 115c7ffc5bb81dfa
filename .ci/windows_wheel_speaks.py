"""Run by .ci/windows-checks under wine, with the embeddable CPython the
win_amd64 wheel was unpacked into: windows_wheel_speaks.py README OUT.
Prints the ANSI code page and where the module was found, runs the
example of README's Install section (the line that runs python -c) in OUT,
and checks that an MBROLA voice fails the call with the synthesis error
(and, where the interpreter has notes, the note saying why)."""
import ctypes
import os
import re
import sys

import vyn

readme, out = sys.argv[1:]
print("code-page %d" % ctypes.windll.kernel32.GetACP())
print("module", ascii(vyn.__file__))

with open(readme, encoding="utf-8") as f:
    install = f.read().split("## Install", 1)[1].split("\n## ", 1)[0]
example = re.search(r'^python -c "(.*)"$', install, re.M).group(1)
os.makedirs(out, exist_ok=True)
os.chdir(out)
exec(example)

try:
    vyn.synthesize_multiple("mbrola.wav", 0, 0,
                            [("en", "Hello."), ("mb-us1", "Hello.")])
    sys.exit("an MBROLA voice spoke on Windows")
except ValueError as error:
    notes = getattr(error, "__notes__", None)
    expected = "fragment 1: voice 'mb-us1': MBROLA voices do not run on Windows"
    if str(error) != vyn._synthesis_error_message or (
            notes is not None and notes != [expected]):
        sys.exit("an MBROLA voice failed otherwise: %r %r" % (error, notes))
    print("MBROLA refused:", error, notes or "(no notes before Python 3.11)")
