"""Run by .ci/wheel-root in its Debian 11 root, from /tmp: CPython 3.9, the
oldest the wheel is for, imports the installed wheel and speaks."""
import vyn

print("wheel-root: CPython 3.9:",
      vyn.synthesize_multiple("hello.wav", 0, 0, [("en", "Hello.")]))
