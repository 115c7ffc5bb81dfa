"""os.fork() from a second thread while a call runs: the child can call at
once, its first call sounds like a call in a fresh process (nothing of the
parent's unfinished text), and neither its call nor its exit writes into the
parent's file."""
import json

import pytest

from conftest import mbrola, read_wave, run_python

CHILD_TEXT = "The child speaks only this sentence."

SCRIPT = """
import ctypes, faulthandler, json, os, threading, time, warnings, vyn
warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads
faulthandler.enable()  # a child that dies says where
parent_path, child_path = {parent!r}, {child!r}
def fork_during_the_call(status):
    time.sleep(0.4)
    pid = os.fork()
    if pid == 0:
        vyn.synthesize_multiple(child_path, 0, 0, [("en", {text!r})])
        # What exit() does to every stdio stream, without the sanitizer's
        # leak check, which would count the parent's threads' memory.
        ctypes.CDLL(None).fflush(None)
        os._exit(0)
    status.append(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
status = []
forker = threading.Thread(target=fork_during_the_call, args=(status,))
forker.start()
fragments = [("en", f"The parent reads sentence {{i}} aloud.") for i in range(800)]
rate, count, anchors = vyn.synthesize_multiple(parent_path, 0, 0, fragments)
forker.join()
print(json.dumps({{"child": status, "count": count, "end": anchors[-1][1]}}))
"""


def test_fork_from_a_thread_during_a_call(tmp_path):
    parent, child = tmp_path / "parent.wav", tmp_path / "child.wav"
    result = run_python(SCRIPT.format(parent=str(parent), child=str(child),
                                      text=CHILD_TEXT), timeout=300)
    assert result.returncode == 0, result.stderr
    outcome = json.loads(result.stdout.splitlines()[-1])
    assert outcome["child"] == [0], result.stderr
    assert outcome["count"] == 800
    assert read_wave(parent).seconds == pytest.approx(outcome["end"],
                                                      abs=1e-3)

    # The oracle: the same call in a fresh interpreter.
    oracle = tmp_path / "oracle.wav"
    fresh = run_python("import vyn; vyn.synthesize_multiple("
                       f"{str(oracle)!r}, 0, 0, [('en', {CHILD_TEXT!r})])")
    assert fresh.returncode == 0, fresh.stderr
    # The child's synthesizer has the parent's history, which moves a
    # duration by a few ms; the parent's unfinished text would add 0.4 s or
    # more.
    assert read_wave(child).seconds == pytest.approx(
        read_wave(oracle).seconds, abs=0.1)



# A process's first call lists the library's voices and fills the engine's
# caches: children forked meanwhile from another thread (60 in a row, each
# calling at once) must not find them half made.
STARTING_SCRIPT = """
import json, os, threading, warnings, vyn
warnings.simplefilter("ignore", DeprecationWarning)
go = threading.Event()
def fork_in_a_row(pids):
    go.wait()
    for _ in range(60):
        pid = os.fork()
        if pid == 0:
            vyn.synthesize_multiple(os.devnull, 0, 0, [("en", "a")])
            os._exit(0)
        pids.append(pid)
pids = []
forker = threading.Thread(target=fork_in_a_row, args=(pids,))
forker.start()
go.set()
vyn.synthesize_multiple(os.devnull, 0, 0, [("de", "Guten Tag."), ("en", "Hi.")])
forker.join()
codes = {os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) for pid in pids}
print(json.dumps(sorted(codes)))
"""


# Each run hits the listing with some of its forks, not always: three runs.
@pytest.mark.parametrize("run", range(3))
def test_forks_while_the_first_call_checks_its_voices(run):
    result = run_python(STARTING_SCRIPT)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout.splitlines()[-1]) == [0], result.stderr

# The parent speaks one long MBROLA fragment (about 2 s of work); a thread
# forks 0.4 s in and the child selects the same MBROLA voice. The parent's
# MBROLA process must not hear from the child (but for the SIGTERM it
# ignores, which the library sends before it starts the child's own): its
# file is the same bytes as without the fork.
MBROLA_SCRIPT = """
import os, sys, threading, time, warnings, vyn
warnings.simplefilter("ignore", DeprecationWarning)
def fork_during_the_call():
    time.sleep(0.4)
    pid = os.fork()
    if pid == 0:
        vyn.synthesize_multiple(os.devnull, 0, 0, [("mb-us1", "Hello.")])
        os._exit(0)
    os.waitpid(pid, 0)
forker = threading.Thread(target=fork_during_the_call)
if {fork}:
    forker.start()
text = " ".join(["The quick brown fox jumps over the lazy dog."] * 800)
vyn.synthesize_multiple({path!r}, 0, 0, [("mb-us1", text)])
"""


@pytest.mark.parametrize("voice", [mbrola("mb-us1", "us1")])
def test_fork_leaves_the_parent_s_mbrola_alone(tmp_path, voice):
    files = []
    for fork in (False, True):
        path = tmp_path / f"fork-{fork}.wav"
        result = run_python(MBROLA_SCRIPT.format(fork=fork, path=str(path)),
                            timeout=120)
        assert result.returncode == 0, result.stderr
        # Nor does the child's library find anything amiss with it.
        assert "mbrowrap" not in result.stderr
        files.append(path.read_bytes())
    assert files[0] == files[1]
