"""The calls tests/sanitize.sh runs under valgrind: synthesis forwards,
under a limit and backwards, an empty list, and each kind of failure."""
import os
import tempfile

import vyn

d = tempfile.mkdtemp()
p = os.path.join(d, "out.wav")
f = [("en", "Hello there."), ("de", "Guten Tag."), ("fr", "Bonjour.")]
print(vyn.synthesize_multiple(p, 0, 0, f))
print(vyn.synthesize_multiple(p, 1.0, 0, f))
print(vyn.synthesize_multiple(p, 1.0, 1, f))
print(vyn.synthesize_multiple(p, 0, 0, []))
for args in [(p, 0, 0, f + [("xx-none", "a")]), (d, 0, 0, f),
             (os.path.join(d, "no", "x.wav"), 0, 0, f), ("/dev/full", 0, 0, f),
             (p, 0, 0, [("en", 1)]), (p, 0, 0, [("en", "a\0b")]),
             (p, 100, 1, [("xx-none", "a")] + f), (p, "x", 0, f)]:
    try:
        vyn.synthesize_multiple(*args)
    except ValueError as error:
        print(error)
os.remove(p)
os.rmdir(d)
