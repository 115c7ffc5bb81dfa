"""What tests/sanitize.sh makes of the sanitizers' logs: a leak counts as
ours when its first frame past the allocator is in engine/ or module/, and
only then fails the run; valgrind's invalid accesses likewise."""
import pytest

from conftest import load_script

ROOT = "/src/vyn"


def leak(*frames):
    return ("Direct leak of 24 byte(s) in 1 object(s) allocated from:\n"
            + "".join(f"    #{i} 0x7f00 in {frame}\n"
                      for i, frame in enumerate(frames)))


MALLOC = "malloc (/usr/lib/x86_64-linux-gnu/libasan.so.8+0xd9c18)"
NEW = "operator new(unsigned long) (/usr/lib/x86_64-linux-gnu/libasan.so.8)"
ESPEAK = "SetVoiceByName (/usr/lib/x86_64-linux-gnu/libespeak-ng.so.1+0x1)"


@pytest.mark.parametrize("blocks,ours,others,through_us", [
    pytest.param([leak(MALLOC, f"words_collect {ROOT}/engine/words.cpp:12")],
                 1, 0, 0, id="ours-right-past-malloc"),
    pytest.param([leak(NEW, "std::vector<int>::_M_realloc_insert "
                            "/usr/include/c++/12/bits/vector.tcc:1",
                       f"py_synthesize {ROOT}/module/vyn_module.cpp:40")],
                 1, 0, 0, id="ours-past-new-and-the-standard-library"),
    pytest.param([leak(MALLOC, ESPEAK,
                       f"apply_voice {ROOT}/engine/voices.cpp:9"),
                  leak(MALLOC, "PyObject_Malloc /usr/bin/python3")],
                 0, 2, 1, id="a-library-s-in-our-call-and-the-interpreter-s"),
    pytest.param(["==1==ERROR: LeakSanitizer: detected memory leaks",
                  "SUMMARY: AddressSanitizer: 24 byte(s) leaked"],
                 0, 0, 0, id="not-leak-reports"),
])
def test_leaks_are_ours_by_their_first_frame_past_the_allocator(
        tmp_path, blocks, ours, others, through_us):
    (tmp_path / "asan.123").write_text("\n\n".join(blocks) + "\n")
    logs = load_script("tests/sanitizer_logs.py")
    found = logs.leaks(ROOT, tmp_path)
    assert (len(found[0]), found[1], found[2]) == (ours, others, through_us)
    assert logs.report_leaks(ROOT, tmp_path) == (1 if ours else 0)


def test_valgrind_invalid_accesses_in_our_code_only(tmp_path):
    log = "\n==7== \n".join([
        "==7== Invalid read of size 4\n"
        "==7==    at 0x1: f (/src/vyn/engine/words.cpp:3)",
        "==7== Invalid write of size 1\n==7==    at 0x2: g (libpython3.11.so)",
        "==7== Conditional jump depends on uninitialised value(s)",
        "==7== ERROR SUMMARY: 3 errors from 3 contexts"])
    logs = load_script("tests/sanitizer_logs.py")
    invalid, ours = logs.invalid_accesses(log)
    assert (len(invalid), [e.split("\n")[0] for e in ours]) == (
        2, ["==7== Invalid read of size 4"])
