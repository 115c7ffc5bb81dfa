"""Faults: each leaves a valid WAVE of what was written or no file, raises
the documented ValueError, and the next call succeeds. Faults that need a
fresh process (missing voice data, a file-size limit, a synthesizer call
made to fail by a preloaded shim) run in one; the rest run here."""
import json
import os
import resource
import signal
import stat
import struct
import subprocess
import sys
import textwrap
import time
import wave

import pytest

from conftest import (HEADER_SIZE, SYNTHESIS_ERROR, library_data, mbrola,
                      read_wave, run_python, soxi, with_voice_data,
                      without_voice_data)

import vyn

SHORT = ("en", "One.")
LONG = ("en", "This sentence is a good deal longer than the others are.")
OTHER = ("de", "Guten Tag.")
UNKNOWN = ("xx-unknown", "Never spoken.")


def frames_of(path, fragments):
    """The frames of the fragments spoken in a fresh process, as the calls
    they are compared with are (the system library's history would lengthen
    them by a percent or so after some other texts)."""
    assert call_in_child(path, 0, 0, fragments) == "ok"
    return read_wave(path).frames


def assert_next_call_succeeds(tmp_path):
    path = tmp_path / "next.wav"
    rate, count, anchors = vyn.synthesize_multiple(str(path), 0, 0,
                                                   [SHORT, OTHER])
    assert count == 2 and len(anchors) == 2
    assert read_wave(path).seconds == pytest.approx(anchors[-1][1], abs=1e-3)


# -- faults of the output path, in either mode ------------------------------

def dev_full(tmp_path):
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    return "/dev/full"


def a_directory(tmp_path):
    return str(tmp_path)


def in_missing_directory(tmp_path):
    return str(tmp_path / "missing" / "out.wav")


def blank(tmp_path):
    return " \t\n"


PATH_FAULTS = [
    pytest.param(dev_full, id="dev-full"),
    pytest.param(a_directory, id="directory"),
    pytest.param(in_missing_directory, id="missing-directory"),
    pytest.param(blank, id="blank"),
]


@pytest.mark.parametrize("backwards,quit_after", [(0, 0), (1, 2.5)],
                         ids=["forward", "backward"])
@pytest.mark.parametrize("make_path", PATH_FAULTS)
def test_output_path_fault(tmp_path, make_path, backwards, quit_after):
    path = make_path(tmp_path)
    before = sorted(os.listdir(tmp_path))
    with pytest.raises(ValueError) as raised:
        vyn.synthesize_multiple(path, quit_after, backwards,
                                [LONG, SHORT, LONG])
    assert str(raised.value) == SYNTHESIS_ERROR
    assert sorted(os.listdir(tmp_path)) == before  # nothing created
    if path == "/dev/full":
        assert stat.S_ISCHR(os.stat(path).st_mode)
    assert_next_call_succeeds(tmp_path)


# -- a pipe or FIFO that nobody reads, or stops reading ----------------------

STREAM_FAULT_CHILD = """
import os, subprocess, vyn
kind, backwards, path = {kind!r}, {backwards}, {path!r}
if kind == "fifo_without_reader":
    os.mkfifo(path)
else:  # the reader goes away after 100 bytes: writes then fail (EPIPE)
    reader = subprocess.Popen(["head", "-c", "100"], stdin=subprocess.PIPE,
                              stdout=subprocess.DEVNULL)
    path = "/dev/fd/%d" % reader.stdin.fileno()
try:
    vyn.synthesize_multiple(path, 1000 * backwards, backwards,
                            [("en", "A sentence to fill the pipe.")] * 20)
    print("ok")
except ValueError as error:
    print(error)
"""


@pytest.mark.parametrize("backwards", [0, 1], ids=["forward", "backward"])
@pytest.mark.parametrize("kind", ["fifo_without_reader", "reader_goes_away"])
def test_stream_without_reader_fails(tmp_path, kind, backwards):
    """The synthesis error, at once: no call blocked for ever, no process
    ended by SIGPIPE."""
    done = run_python(STREAM_FAULT_CHILD.format(
        kind=kind, backwards=backwards, path=str(tmp_path / "fifo")),
        timeout=60)
    assert (done.returncode, done.stdout.strip()) == (0, SYNTHESIS_ERROR), \
        done.stderr


# -- a process killed in the middle of a call --------------------------------

LONG_CALL = """
import sys, vyn
sentence = "A sentence that goes on, again and again, until it is stopped."
vyn.synthesize_multiple(sys.argv[1], 0, 0, [("en", sentence)] * 5000)
"""


def test_killed_call_leaves_readable_audio(tmp_path):
    """The header's sizes describe the samples on disk, up to about the
    last second of them: readers see the audio, not an empty file."""
    path = tmp_path / "out.wav"
    child = subprocess.Popen([sys.executable, "-c", LONG_CALL, str(path)])
    try:
        while not path.exists() or path.stat().st_size < 20 * 44100:
            assert child.poll() is None, "the call ended before the kill"
            time.sleep(0.001)
    finally:
        child.kill()
        child.wait()
    raw = path.read_bytes()
    riff_size, data_size = (struct.unpack_from("<I", raw, offset)[0]
                            for offset in (4, 40))
    on_disk = len(raw) - HEADER_SIZE
    assert riff_size == data_size + 36 and data_size % 2 == 0
    assert on_disk - 2 * 22050 * 1.5 <= data_size <= on_disk
    with wave.open(str(path)) as reader:
        assert len(reader.readframes(2 ** 31)) == data_size
    assert int(soxi(path, "-s")) == data_size // 2


# -- the MBROLA process killed or stopped during a fragment -------------------

# A thread aims the signal at this process's MBROLA children 0.6 s into a
# fragment that takes about 2 s; the fragment before it is spoken with a
# standard voice. Prints the outcome, the file's length in seconds, and
# the next call's anchors.
MBROLA_FAULT = """
import json, os, signal, sys, threading, time, vyn, wave
path, signum = sys.argv[1], int(sys.argv[2])
def mbrola_children():
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            stat = open(f"/proc/{entry}/stat").read()
        except OSError:
            continue
        name, rest = stat[stat.index("(") + 1:].rsplit(")", 1)
        if name == "mbrola" and int(rest.split()[1]) == os.getpid():
            yield int(entry)
def aim():
    time.sleep(0.6)
    for pid in mbrola_children():
        os.kill(pid, signum)
threading.Thread(target=aim, daemon=True).start()
text = " ".join(["The quick brown fox jumps over the lazy dog."] * 800)
try:
    vyn.synthesize_multiple(path, 0, 0, [("en", "Before it."),
                                         ("mb-us1", text), ("en", "After.")])
    outcome = ["ok"]
except ValueError as error:
    outcome = [str(error), *getattr(error, "__notes__", [])]
with wave.open(path) as reader:
    seconds = reader.getnframes() / reader.getframerate()
_, _, anchors = vyn.synthesize_multiple(path, 0, 0, [("en", "Before it."),
                                                     ("mb-us1", "Hello.")])
print(json.dumps([outcome, seconds, anchors]))
"""


@pytest.mark.parametrize("case", [
    mbrola((signal.SIGKILL, "the MBROLA process died"), "us1"),
    mbrola((signal.SIGSTOP, "the MBROLA process gave no samples for 5 s"),
           "us1")], ids=["killed", "stopped"])
def test_mbrola_process_killed_or_stopped(tmp_path, case):
    signum, cause = case
    path = tmp_path / "out.wav"
    result = run_python(MBROLA_FAULT, timeout=60,
                        argv=[str(path), str(int(signum))])
    assert result.returncode == 0, result.stderr
    outcome, seconds, anchors = json.loads(result.stdout.splitlines()[-1])
    assert outcome[0] == SYNTHESIS_ERROR
    assert outcome[1].startswith(f"fragment 1: {cause}")
    # Cut back to the failed fragment's first sample: the first fragment
    # alone (within the few ms one call differs from the next).
    assert seconds == pytest.approx(anchors[0][1], abs=0.05)
    assert read_wave(path).seconds == pytest.approx(anchors[1][1])
    assert anchors[1][1] - anchors[1][0] > 0.2, "a new MBROLA process speaks"


# One call in a fresh interpreter: prints "ok", or the error and its notes.
CHILD_CALL = """
import json, sys, vyn
path, quit_after, backwards, fragments = json.loads(sys.argv[1])
try:
    vyn.synthesize_multiple(path, quit_after, backwards,
                            [tuple(f) for f in fragments])
    print("ok")
except ValueError as error:
    print(" | ".join([str(error), *getattr(error, "__notes__", [])]))
"""


def call_in_child(path, quit_after, backwards, fragments, env=None):
    argument = json.dumps([str(path), quit_after, backwards, fragments])
    result = subprocess.run([sys.executable, "-c", CHILD_CALL, argument],
                            capture_output=True, text=True, timeout=120,
                            env={**os.environ, **(env or {})})
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


# -- refused voice codes -------------------------------------------------------

# A refused code anywhere in the list, also past the point where quit_after
# stops either pass, fails the call before the output is opened: a file
# already at the path stays as it was. (fragments, quit_after, backwards,
# the index of the refused fragment)
UNKNOWN_VOICE_CASES = [
    pytest.param([SHORT, OTHER, UNKNOWN, LONG], 0, 0, 2, id="forward-middle"),
    pytest.param([SHORT, LONG, UNKNOWN], 0.1, 0, 2, id="forward-after-cut"),
    pytest.param([SHORT, UNKNOWN, OTHER, LONG], 1000, 1, 1,
                 id="backward-middle"),
    pytest.param([UNKNOWN, SHORT, LONG], 0.1, 1, 0, id="backward-after-cut"),
]


@pytest.mark.parametrize("fragments,quit_after,backwards,index",
                         UNKNOWN_VOICE_CASES)
def test_unknown_voice(tmp_path, fragments, quit_after, backwards, index):
    path = tmp_path / "out.wav"
    path.write_bytes(b"earlier")
    with pytest.raises(ValueError) as raised:
        vyn.synthesize_multiple(str(path), quit_after, backwards, fragments)
    assert str(raised.value) == SYNTHESIS_ERROR
    assert raised.value.__notes__ == [
        f"fragment {index}: voice 'xx-unknown' is not installed"]
    assert path.read_bytes() == b"earlier"
    assert_next_call_succeeds(tmp_path)


def mbrola_af1_missing():
    return not os.path.exists("/usr/share/mbrola/af1")


# Codes refused as the first voice of a fresh process, where those marked
# "crash" brought the library down (SIGSEGV, or SIGABRT past 1,463 bytes).
REFUSED_CODES = [
    ("en+nosuch", "is not installed"),
    ("mb-af1", "is not installed"),
    ("/usr/share/espeak-ng-data/voices/!v/f3", "is not a voice code"),
    ("gmw/../gmw/en", "is not a voice code"),
    ("f3", "is not installed"),  # a variant entry, not a voice
    ("all", "is not installed"),  # crash
    ("variant", "is not installed"),  # crash
    ("variant-x", "is not installed"),  # crash
    ("en-" + "x" * 1461, "of 1464 bytes is too long"),  # crash
    ("en-" + "x" * 22, "is not installed"),  # overran a 20-byte field
    # the formant synthesizer, at another rate than the library reports
    pytest.param("mb-us1+f3", "an MBROLA voice takes no variant",
                 marks=mbrola(None, "us1").marks),
]


@pytest.mark.parametrize("code,reason", REFUSED_CODES,
                         ids=lambda value: value[:12])
def test_refused_voice_code_in_a_fresh_process(tmp_path, code, reason):
    if code == "mb-af1" and not mbrola_af1_missing():
        pytest.skip("mbrola-af1 is installed here")
    path = tmp_path / "out.wav"
    said = call_in_child(path, 0, 0, [[code, "Hello."], ["en", "Hello."]])
    assert said.startswith(SYNTHESIS_ERROR + " | fragment 0: voice ")
    assert reason in said
    assert not path.exists()


def test_missing_voice_data(tmp_path):
    """Only a process that never initialised the synthesizer can meet it."""
    env, give_data_back = without_voice_data(tmp_path)
    path = tmp_path / "out.wav"
    code = textwrap.dedent(f"""
        import os, vyn
        path = {str(path)!r}
        try:
            vyn.synthesize_multiple(path, 0, 0, [("en", "Hello.")])
        except ValueError as error:
            print(error)
        print(os.path.exists(path))
        {give_data_back}
        print(vyn.synthesize_multiple(path, 0, 0, [("en", "Hello.")])[1])
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True,
                            text=True, timeout=120, env={**os.environ, **env})
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [SYNTHESIS_ERROR, "False", "1"]
    assert read_wave(path).frames > 0


def unreadable(path, original):
    if os.geteuid() == 0:  # root reads a file of mode 000
        path.mkdir()
    else:
        path.write_bytes(original)
        path.chmod(0)


def rules_overwritten(path, original):
    rules, = struct.unpack_from("<I", original, 4)
    path.write_bytes(original[:rules] + b"\xff" * (len(original) - rules))


def lists_run_off(path, original):
    """The header kept, every length byte 255: the walk of the word lists
    runs past the rules and the end of the file."""
    path.write_bytes(original[:8] + b"\xff" * (len(original) - 8))


DAMAGES = {
    "missing": lambda path, original: None,
    "unreadable": unreadable,
    "truncated": lambda path, original: path.write_bytes(original[:20000]),
    "garbage": lambda path, original: path.write_bytes(
        bytes((i * 37 + 11) % 256 for i in range(len(original)))),
    "word-lists-zeroed": lambda path, original: path.write_bytes(
        original[:8] + bytes(len(original) - 8)),
    "rules-overwritten": rules_overwritten,
    "lists-run-off": lists_run_off,
}


# (voice code, the dictionary it loads, its damage): a dictionary line
# (cmn), the first language's subtag (ru, de), language matching with a
# variant, the default voice.
@pytest.mark.parametrize("code,dictionary,damage", [
    ("cmn", "cmn", "missing"),
    ("ru", "ru", "garbage"),
    ("ar", "ar", "unreadable"),
    ("de", "de", "truncated"),
    ("de-CH+f3", "de", "word-lists-zeroed"),
    ("", "en", "rules-overwritten"),
    ("it", "it", "lists-run-off"),
])
def test_voice_whose_dictionary_cannot_be_read(tmp_path, code, dictionary,
                                               damage):
    """Refused before the library selects it, which would speak silence or
    read past the end of a truncated file."""
    data = tmp_path / "data"
    data.mkdir()
    for entry in library_data().iterdir():
        (data / entry.name).symlink_to(entry)
    damaged = data / f"{dictionary}_dict"
    damaged.unlink()
    DAMAGES[damage](damaged, (library_data() / damaged.name).read_bytes())
    path = tmp_path / "out.wav"
    said = call_in_child(path, 0, 0, [["es", "Hola."], [code, "Hello."]],
                         env=with_voice_data(tmp_path, data))
    assert said == (f"{SYNTHESIS_ERROR} | fragment 1: voice '{code}': "
                    "its dictionary cannot be read")
    assert not path.exists()


# -- I/O failure part-way through a file: a file-size limit ------------------

def limit_file_size(limit):
    def set_limit():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE,
                           (limit, resource.RLIM_INFINITY))
    return set_limit


FSIZE_CHILD = """
import os, resource, sys, vyn
path, backwards = sys.argv[1], int(sys.argv[2])
fragments = [("en", "This sentence is long enough to fill a few blocks.")] * 3
try:
    vyn.synthesize_multiple(path, 30 if backwards else 0, backwards, fragments)
    print("ok")
except ValueError as error:
    print(error)
resource.setrlimit(resource.RLIMIT_FSIZE,
                   (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
print(vyn.synthesize_multiple(path + ".next", 0, 0, fragments[:1])[1])
"""


@pytest.mark.parametrize("backwards", [0, 1], ids=["forward", "backward"])
@pytest.mark.parametrize("limit", [0, 20, 45, 4141, 10001, 100000])
def test_file_size_limit(tmp_path, limit, backwards):
    """The write that meets the limit fails part-way through a block of
    samples; the file left must still be a whole WAVE, or be gone."""
    path = tmp_path / "out.wav"
    result = subprocess.run(
        [sys.executable, "-c", FSIZE_CHILD, str(path), str(backwards)],
        capture_output=True, text=True, timeout=120,
        preexec_fn=limit_file_size(limit))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [SYNTHESIS_ERROR, "1"]
    if path.exists():
        info = read_wave(path)
        assert info.file_size <= limit
    assert read_wave(tmp_path / "out.wav.next").frames > 0


# -- out of file descriptors -------------------------------------------------

# A fresh process: a call of the first `warm` fragments (none, English
# alone: "de-de" is new to the limited call's voice check, which lists the
# voices to match it as a language, or both); then
# one call with the descriptor limit set so that exactly `free` descriptors
# are free, one with it restored. Replayed without a limit (only the calls that succeeded),
# the same sequence is the reference: output depends on a process's history.
DESCRIPTOR_CHILD = r"""
import json, os, resource, sys, vyn
directory, warm, free, replay = json.loads(sys.argv[1])
fragments = [("en", "Hello world."), ("de-de", "Guten Tag.")]
def call(name):
    try:
        vyn.synthesize_multiple(os.path.join(directory, name), 0, 0, fragments)
        return None
    except ValueError as error:
        return [str(error), *getattr(error, "__notes__", [])]
if warm:
    vyn.synthesize_multiple(os.path.join(directory, "warm.wav"), 0, 0,
                            fragments[:warm])
said = {}
if replay is None:
    def is_open(fd):
        try:
            return os.fstat(fd) is not None
        except OSError:
            return False
    unused = [fd for fd in range(1024) if not is_open(fd)]
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (unused[free], hard))
    said["limited"] = call("limited.wav")
    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
elif replay:
    said["limited"] = call("limited.wav")
said["next"] = call("next.wav")
print(json.dumps(said))
"""


def descriptor_child(directory, warm, free, replay=None):
    directory.mkdir()
    argument = json.dumps([str(directory), warm, free, replay])
    result = run_python(DESCRIPTOR_CHILD, argv=[argument])
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


@pytest.mark.parametrize("warm", [0, 1, 2],
                         ids=["fresh", "after-en", "after-en-de"])
@pytest.mark.parametrize("free", range(5))
def test_out_of_descriptors_then_the_next_call(tmp_path, free, warm):
    """Where the limit bites (initialisation, the voice list, a voice's
    files, the output), the call fails with a note naming the cause or
    succeeds with the right sound, and the next call is as usual."""
    said = descriptor_child(tmp_path / "limited", warm, free)
    succeeded = said["limited"] is None
    assert succeeded or said["limited"] in (
        [SYNTHESIS_ERROR, "too few file descriptors free"],
        [SYNTHESIS_ERROR, "fragment 1: too few file descriptors free"])
    assert said["next"] is None
    reference = descriptor_child(tmp_path / "reference", warm, 0, succeeded)
    assert reference == ({"limited": None, "next": None} if succeeded
                         else {"next": None})
    names = ["next.wav"] + (["limited.wav"] if succeeded else [])
    for name in names:
        assert ((tmp_path / "limited" / name).read_bytes() ==
                (tmp_path / "reference" / name).read_bytes())
    assert sorted(os.listdir(tmp_path / "limited")) == sorted(
        names + (["warm.wav"] if warm else []))


# -- synthesizer calls made to fail by a preloaded shim ----------------------

SHIM_SOURCE = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>
#include <espeak-ng/speak_lib.h>

/* VYN_FAIL="function:n" makes the n-th call of that function fail. */
static int should_fail(const char *function) {
    static long calls;
    const char *spec = getenv("VYN_FAIL");
    size_t length = strlen(function);
    if (spec == NULL || strncmp(spec, function, length) != 0 ||
        spec[length] != ':')
        return 0;
    return ++calls == atol(spec + length + 1);
}

/* The library as the module loaded it (locally, so RTLD_NEXT cannot see
   it); the shim is not linked against it, which keeps the order in which
   the process loads and initialises libraries as it is without the shim. */
static void *library(void) {
    static void *handle;
    if (handle == NULL)
        handle = dlopen("libespeak-ng.so.1", RTLD_LAZY | RTLD_NOLOAD);
    return handle;
}

#define REAL(name) ((__typeof__(&name))dlsym(library(), #name))

espeak_ERROR espeak_SetVoiceByName(const char *name) {
    if (should_fail("espeak_SetVoiceByName")) return EE_NOT_FOUND;
    return REAL(espeak_SetVoiceByName)(name);
}

espeak_ERROR espeak_Synth(const void *text, size_t size,
                          unsigned int position, espeak_POSITION_TYPE type,
                          unsigned int end, unsigned int flags,
                          unsigned int *identifier, void *user_data) {
    if (should_fail("espeak_Synth")) return EE_INTERNAL_ERROR;
    return REAL(espeak_Synth)(text, size, position, type, end, flags,
                              identifier, user_data);
}

espeak_ERROR espeak_Synchronize(void) {
    espeak_ERROR result = REAL(espeak_Synchronize)();
    return should_fail("espeak_Synchronize") ? EE_INTERNAL_ERROR : result;
}
"""


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    directory = tmp_path_factory.mktemp("shim")
    source, library = directory / "shim.c", directory / "shim.so"
    source.write_text(SHIM_SOURCE)
    compiler = os.environ.get("CC", "cc")
    subprocess.run([compiler, "-shared", "-fPIC", "-o", str(library),
                    str(source), "-ldl"],
                   check=True)
    return library


def with_shim(shim, failing_call):
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(shim)]))
    return {"LD_PRELOAD": preload, "VYN_FAIL": failing_call}


@pytest.fixture(scope="module")
def seconds():
    """Durations of the fragments, to pick limits between them."""
    import tempfile
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "measure.wav")
        return {fragment: vyn.synthesize_multiple(path, 0, 0, [fragment])[2][0][1]
                for fragment in (SHORT, LONG, OTHER)}


# (fragments, limit as a function of the durations, backwards, failing call,
# the fragments the file then holds). Backward mode with [SHORT, LONG,
# OTHER] and a limit between LONG and LONG + OTHER: the check of the codes
# selects no standard voice, the search selects the voices of OTHER and LONG
# (calls 1, 2), the forward pass those of LONG and OTHER (calls 3, 4).
SHIM_CASES = [
    pytest.param([SHORT, LONG, OTHER], lambda s: s[LONG] + s[OTHER] / 2, 1,
                 "espeak_SetVoiceByName:4", [LONG],
                 id="voice-in-forward-pass-after-search"),
    pytest.param([SHORT, LONG, OTHER], lambda s: s[LONG] + s[OTHER] / 2, 1,
                 "espeak_SetVoiceByName:3", [],
                 id="voice-at-start-of-forward-pass"),
    pytest.param([SHORT, LONG, OTHER], lambda s: s[LONG] + s[OTHER] / 2, 1,
                 "espeak_SetVoiceByName:2", [OTHER],
                 id="voice-in-backward-search"),
    pytest.param([SHORT, LONG, OTHER], lambda s: s[LONG] + s[OTHER] / 2, 1,
                 "espeak_Synth:2", [OTHER], id="synth-in-backward-search"),
    pytest.param([SHORT, LONG, OTHER], lambda s: s[LONG] + s[OTHER] / 2, 1,
                 "espeak_Synth:4", [LONG], id="synth-in-forward-pass"),
    pytest.param([SHORT, OTHER, LONG], lambda s: 0, 0,
                 "espeak_Synchronize:2", [SHORT, OTHER],
                 id="synchronize-forward"),
    pytest.param([SHORT, OTHER, LONG], lambda s: 0, 0, "espeak_Synth:3",
                 [SHORT, OTHER], id="synth-forward-last"),
]


@pytest.mark.skipif(vyn._bundled, reason=(
    "the bundled library is compiled into the module with its symbols "
    "hidden: a preloaded shim cannot reach its calls (the system build "
    "runs these; the engine tests' fake synthesizer fails the same calls)"))
@pytest.mark.parametrize("fragments,limit,backwards,failing,written",
                         SHIM_CASES)
def test_synthesizer_call_fails(tmp_path, shim, seconds, fragments, limit,
                                backwards, failing, written):
    path = tmp_path / "out.wav"
    env = with_shim(shim, failing)
    assert call_in_child(path, limit(seconds), backwards, fragments,
                         env) == SYNTHESIS_ERROR
    expected = frames_of(tmp_path / "expected.wav", written) if written else 0
    # A failing espeak_Synchronize comes after the text's samples arrived.
    assert read_wave(path).frames == pytest.approx(expected, rel=0.01)

    # The shim fails one call only: the same process goes on.
    code = CHILD_CALL + "print(vyn.synthesize_multiple(path, 0, 0, " \
        "[tuple(f) for f in fragments])[1])"
    argument = json.dumps([str(path), limit(seconds), backwards, fragments])
    result = subprocess.run([sys.executable, "-c", code, argument],
                            capture_output=True, text=True, timeout=120,
                            env={**os.environ, **env})
    assert result.stdout.split() [-1] == str(len(fragments)), result.stderr
