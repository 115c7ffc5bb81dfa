#!/usr/bin/env bash
# The sanitizer runs (./dev sanitize):
#  1. the module built with AddressSanitizer + UndefinedBehaviorSanitizer
#     (-DVYN_SANITIZE=ON) into its own venv, build/asan-venv, and the whole
#     pytest suite run with ASan's runtime preloaded into the interpreter;
#  1b. (bundled) the bundled build, eSpeak NG itself compiled with the same
#     sanitizers, running eSpeak NG's crash inputs, 20,000 fuzzed texts,
#     2,000 fuzzed SSML texts and the fresh-fragment tests;
#  2. the engine tests built with the same sanitizers and run by ctest;
#  2b. (tsan) the engine tests built with ThreadSanitizer, which sees what
#     ASan cannot: accesses to the engine's state from two threads outside
#     its lock;
#  3. valgrind memcheck of a short script against the regular module, with
#     PYTHONMALLOC=malloc so that every allocation goes through valgrind.
# Any sanitizer error fails the run, as does a leak of our own, an invalid
# read or write in our code under valgrind.
#
#   tests/sanitize.sh [asan|bundled|engine|tsan|valgrind]...   (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="$root/build"
venv="$build/asan-venv"
logs="$build/sanitize-logs"
python=${PYTHON:-python3}

asan_runtime=$(${CC:-gcc} -print-file-name=libasan.so)
[ -f "$asan_runtime" ] || { echo "no libasan.so from ${CC:-gcc}" >&2; exit 1; }
# libstdc++ is preloaded with it: the interpreter does not link it, and
# ASan's __cxa_throw interceptor needs it present from the start, or the
# first C++ exception in any extension module (ours, matplotlib's) aborts.
asan_preload="$asan_runtime $(${CXX:-g++} -print-file-name=libstdc++.so.6)"

# Leak detection is limited to our own allocations. LeakSanitizer cannot be
# told to watch one library only (a suppression matches any frame of a
# stack, and every stack of ours has the interpreter's frames below it), and
# CPython and eSpeak NG deliberately leave memory allocated at exit (the
# interpreter does not free all its objects; the synthesizer is initialised
# once and never terminated, as 1.51 hangs on re-initialisation). So leaks
# do not fail the process (LSAN_OPTIONS exitcode=0, which sets the exit
# code of every sanitizer report: so other errors abort instead,
# abort_on_error=1, and report_errors scans the logs); they are logged, and
# report_leaks below fails the run when the first frame past the allocator
# of a leaked block is in engine/ or module/. No suppression file is used.
asan_env=(
    "ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:abort_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1:log_path=$logs/asan"
    "LSAN_OPTIONS=exitcode=0"
    "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan"
)

# Prints the leaks whose first frame past the allocator is our code; fails
# if there is one. Counts the others.
report_leaks() {
    "$python" tests/sanitizer_logs.py leaks "$root" "$logs"
}

# Any ASan or UBSan error other than a leak, in any process of the run.
report_errors() {
    local found=0 log
    for log in "$logs"/asan* "$logs"/ubsan*; do
        [ -e "$log" ] || continue
        if grep -qE "ERROR: AddressSanitizer|runtime error:" "$log"; then
            echo "== $log" && sed -n '1,60p' "$log"
            found=1
        fi
    done
    [ "$found" -eq 0 ] && echo "sanitizer errors: none"
    return "$found"
}

asan_suite() {
    rm -rf "$logs" && mkdir -p "$logs"
    [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
    "$venv/bin/python" -m pip install -q ".[test]" \
        -Ccmake.define.VYN_SANITIZE=ON -Ccmake.build-type=RelWithDebInfo \
        -Cbuild-dir="$build/asan-module"
    # Figures such as RSS mean nothing under ASan's allocator; tests/soak.py
    # sees the preloaded runtime and skips them. The pytest suite makes no
    # such measurement.
    local status=0
    env "${asan_env[@]}" LD_PRELOAD="$asan_preload" VYN_SANITIZED=1 \
        "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" || status=$?
    report_errors || status=1
    report_leaks || status=1
    return "$status"
}

bundled_suite() {
    local venv="$build/asan-bundled-venv" module_build="$build/asan-bundled"
    rm -rf "$logs" && mkdir -p "$logs"
    third_party/fetch-sources
    [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
    # The build compiles the data with the instrumented espeak-ng program,
    # which leaves memory allocated at exit.
    ASAN_OPTIONS=detect_leaks=0 "$venv/bin/python" -m pip install -q ".[test]" \
        -Ccmake.define.VYN_BUNDLED=ON -Ccmake.define.VYN_SANITIZE=ON \
        -Ccmake.build-type=RelWithDebInfo -Cbuild-dir="$module_build"
    local status=0
    env "${asan_env[@]}" LD_PRELOAD="$asan_preload" VYN_SANITIZED=1 \
        VYN_FUZZ_TEXTS=20000 VYN_FUZZ_SSML=2000 VYN_ESPEAK_NG="$module_build/tool/espeak-ng" \
        "$venv/bin/python" -m pytest -q -p no:cacheprovider \
        tests/python/test_crash_vectors.py tests/python/test_fresh_fragments.py \
        "$@" || status=$?
    report_errors || status=1
    report_leaks || status=1
    return "$status"
}

engine_suite() {
    if [ ! -f tests/engine/CMakeLists.txt ]; then
        echo "engine tests: none yet"
        return 0
    fi
    cmake -S "$root" -B "$build/asan-engine-tests" -DVYN_BUILD_MODULE=OFF \
        -DVYN_BUILD_TESTS=ON -DVYN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug \
        >/dev/null
    cmake --build "$build/asan-engine-tests" -j "$(nproc)"
    # Everything in these binaries is ours or GoogleTest's: full leak
    # detection, a leak fails the test.
    ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --test-dir "$build/asan-engine-tests" --output-on-failure
}

tsan_engine_suite() {
    cmake -S "$root" -B "$build/tsan-engine-tests" -DVYN_BUILD_MODULE=OFF \
        -DVYN_BUILD_TESTS=ON -DVYN_SANITIZE_THREAD=ON -DCMAKE_BUILD_TYPE=Debug \
        >/dev/null
    cmake --build "$build/tsan-engine-tests" -j "$(nproc)"
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
        ctest --test-dir "$build/tsan-engine-tests" --output-on-failure
}

valgrind_run() {
    local module_python="$root/.venv/bin/python" log="$build/valgrind.log"
    [ -x "$module_python" ] || { echo "run ./dev setup first" >&2; exit 1; }
    mkdir -p "$build"
    PYTHONMALLOC=malloc valgrind --tool=memcheck --error-limit=no \
        --num-callers=30 --log-file="$log" \
        "$module_python" tests/valgrind_calls.py
    "$python" tests/sanitizer_logs.py valgrind "$log"
}

stages=("$@")
[ ${#stages[@]} -eq 0 ] && stages=(asan bundled engine tsan valgrind)
status=0
for stage in "${stages[@]}"; do
    echo "== $stage"
    case "$stage" in
        asan) asan_suite || status=1 ;;
        bundled) bundled_suite || status=1 ;;
        engine) engine_suite || status=1 ;;
        tsan) tsan_engine_suite || status=1 ;;
        valgrind) valgrind_run || status=1 ;;
        *) echo "unknown stage $stage" >&2; exit 2 ;;
    esac
done
exit "$status"
