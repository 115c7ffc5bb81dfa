"""What tests/sanitize.sh reads in the sanitizers' logs:

    sanitizer_logs.py leaks ROOT LOGS   the leaks whose first frame past the
                                        allocator is our code (ROOT/engine/,
                                        ROOT/module/) in LOGS/asan*
    sanitizer_logs.py valgrind LOG      the invalid reads, writes and frees
                                        in our code in a valgrind log

Each prints what it found and exits with 1 when any is ours."""
import pathlib
import re
import sys

ALLOCATOR = re.compile(r"\b(malloc|calloc|realloc|operator new|aligned_alloc|"
                       r"posix_memalign|strdup)\b|libasan|/c\+\+/|libstdc\+\+")


def leaks(root, logs):
    """(the leak reports of ours, how many others, how many of those a
    library made during a call of ours)."""
    ours, others, through_us = [], 0, 0

    def mine(frame):
        return f"{root}/engine/" in frame or f"{root}/module/" in frame

    for log in sorted(pathlib.Path(logs).glob("asan*")):
        for block in log.read_text(errors="replace").split("\n\n"):
            if "leak of" not in block:
                continue
            frames = [line for line in block.splitlines()
                      if line.strip().startswith("#")]
            first = next((f for f in frames if not ALLOCATOR.search(f)), "")
            if mine(first):
                ours.append(block)
            else:
                others += 1
                through_us += any(mine(f) for f in frames)
    return ours, others, through_us


def report_leaks(root, logs):
    ours, others, through_us = leaks(root, logs)
    for block in ours:
        print(block, end="\n\n")
    print(f"leaks: {len(ours)} of ours; {others} of the interpreter or "
          f"libraries ignored ({through_us} of them made by a library during "
          f"a call of ours)")
    return 1 if ours else 0


def invalid_accesses(text):
    """(every invalid read, write or free, those in our code)."""
    errors = re.split(r"\n==\d+== \n", text)
    invalid = [e for e in errors if re.search(r"Invalid (read|write|free)", e)]
    ours = [e for e in invalid
            if re.search(r"vyn\.cpython|/engine/|/module/", e)]
    return invalid, ours


def report_valgrind(log):
    text = open(log, errors="replace").read()
    invalid, ours = invalid_accesses(text)
    summary = re.search(r"ERROR SUMMARY: .*", text)
    print("valgrind:", summary.group(0) if summary else "no summary")
    print(f"invalid reads/writes/frees: {len(invalid)}, in our code: "
          f"{len(ours)}")
    for e in ours:
        print(e)
    return 1 if ours else 0


if __name__ == "__main__":
    command, *arguments = sys.argv[1:]
    sys.exit({"leaks": report_leaks,
              "valgrind": report_valgrind}[command](*arguments))
