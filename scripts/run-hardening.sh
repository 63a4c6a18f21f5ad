#!/usr/bin/env bash
# The hardening harnesses, in two build folders (CMake uses ccache when present; the folders and
# their CMake arguments are in scripts/lib/hardening-build.sh):
#   build-asan  AddressSanitizer + UndefinedBehaviorSanitizer over every unit test (ctest), and,
#               from the same objects (compiled with libFuzzer coverage as well), each libFuzzer
#               target in fuzz/ for QUILLORY_FUZZ_SECONDS (default 10) from its seed corpus in
#               fuzz/corpus/<target>/
#   build-tsan  ThreadSanitizer over the threaded suites (diagnostics writer, background work and
#               the scheduler, the speech manager's capture thread)
# Any sanitizer report aborts its test (-fno-sanitize-recover, halt_on_error), so it fails here.
# Prints one summary line per harness, then "hardening: N passed, N failed" (a fuzz target counts
# as one); the exit status is non-zero when anything failed.
#
# QUILLORY_HARDENING=asan,tsan,fuzz (default all three) chooses the harnesses;
# QUILLORY_HARDENING_TOTALS=FILE also writes "PASSED FAILED" to FILE (used by run-tests.sh).
set -uo pipefail
cd "$(dirname "$0")/.."
root="$PWD"

harnesses="${QUILLORY_HARDENING:-asan,tsan,fuzz}"
fuzz_seconds="${QUILLORY_FUZZ_SECONDS:-10}"
jobs="$(nproc)"

passed=0
failed=0
summary=()
log_dir="$root/build-hardening-logs"
mkdir -p "$log_dir"

note() { echo "hardening: $*" >&2; }

. scripts/lib/hardening-build.sh

# configure DIR CMAKE_ARGS...: once per folder; again when the arguments change.
configure() {
    local dir="$1"
    shift
    hardening_configure "$dir" "$log_dir/$(basename "$dir")-configure.log" "$@"
}

# build LOG DIR TARGETS...: the output goes to $log_dir/LOG.
build() {
    local log="$1" dir="$2"
    shift 2
    cmake --build "$dir" -j"$jobs" --target "$@" >"$log_dir/$log" 2>&1
}

record() { # record LINE PASSED FAILED
    summary+=("$1")
    passed=$((passed + $2))
    failed=$((failed + $3))
    echo "$1"
}

# Recognition on the CPU only: Mesa's Vulkan drivers are not instrumented (see run_asan).
export QUILLORY_WHISPER_VULKAN_DIR="$root/build/no-vulkan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
export LSAN_OPTIONS="suppressions=$root/scripts/sanitizers/lsan.supp:print_suppressions=0"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/scripts/sanitizers/tsan.supp:print_suppressions=0"

run_asan() {
    local dir="$ASAN_DIR"
    note "building $dir (AddressSanitizer + UndefinedBehaviorSanitizer; the tests and the fuzz targets)"
    if ! configure "$dir" "${ASAN_ARGS[@]}" || ! build "$dir-build.log" "$dir" all; then
        record "asan+ubsan: build failed (see $log_dir/$dir-build.log)" 0 1
        return
    fi
    local out="$log_dir/asan-ctest.log"
    # Not under ASan: the desktop tests (their reports come from inside the uninstrumented X
    # libraries Qt's xcb plugin starts with, e.g. libxkbcommon-x11 read through strndup), the
    # Vulkan tests (Mesa's driver and its threads are not instrumented either), and the
    # one test that exhausts the file descriptors (the sanitizer runtime itself then fails to check
    # types and reports a bogus vptr error). Both run in the normal suite.
    ctest --test-dir "$dir" -j"$jobs" --output-on-failure --timeout 600 -LE 'desktop|vulkan' \
        -E '^DefaultsStoreTest\.AFailedReadIsNeitherCachedNorWrittenOver$' \
        >"$out" 2>&1
    local rc=$?
    local line total failures
    line="$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$out" | tail -1)"
    total="$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")"
    failures="$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")"
    if [ -z "$line" ]; then
        record "asan+ubsan: no test summary (see $out)" 0 1
    elif [ "$rc" -ne 0 ] || [ "$failures" -ne 0 ]; then
        grep -E '^\s*[0-9]+ - |ERROR: (Address|Leak)Sanitizer|runtime error:' "$out" | head -20 >&2
        record "asan+ubsan: $((total - failures)) tests passed, $failures failed (see $out)" \
            "$((total - failures))" "$((failures > 0 ? failures : 1))"
    else
        record "asan+ubsan: $total tests passed" "$total" 0
    fi
}

# The threaded suites, with a gtest filter each: the scheduler, cancellation from other threads
# and background work (test_runtime), the diagnostics writer and the export's background read
# (test_diagnostics), the speech manager's capture thread and the WAV source (test_session), the
# recogniser's workers (test_speech), and whole transcriptions on real whisper.cpp with the live-text
# model on a second worker (test_speech_cli; the polish case starts a server, and ThreadSanitizer's
# runtime fails in the fork of a threaded process). The download tests are left out: they run Qt's
# network thread, whose own locking ThreadSanitizer cannot see.
tsan_filters=(
    "test_runtime:*:-FileDownloadTest.*"
    "test_diagnostics:*"
    "test_session:*"
    "test_speech:WhisperRecognizerTest.*:RecognitionTextTest.*:CaptureBufferTest.*"
    "test_speech_cli:TranscribeCliTest.*:-*WithPolish*"
)

run_tsan() {
    local dir="$TSAN_DIR"
    local suites=("${tsan_filters[@]%%:*}")
    note "building $dir (ThreadSanitizer: ${suites[*]})"
    if ! configure "$dir" "${TSAN_ARGS[@]}" || ! build "$dir-build.log" "$dir" "${suites[@]}"; then
        record "tsan: build failed (see $log_dir/$dir-build.log)" 0 1
        return
    fi
    local ok=0 bad=0 spec suite out n bin
    for spec in "${tsan_filters[@]}"; do
        suite="${spec%%:*}"
        out="$log_dir/tsan-$suite.log"
        bin="$(find "$dir/tests" -maxdepth 2 -type f -name "$suite" -perm -u+x | head -1)"
        if [ -n "$bin" ] && timeout 900 "$bin" --gtest_brief=1 --gtest_filter="${spec#*:}" >"$out" 2>&1; then
            n="$(grep -E '^\[  PASSED  \] [0-9]+ tests?' "$out" | sed -E 's/[^0-9]*([0-9]+).*/\1/')"
            ok=$((ok + ${n:-0}))
        else
            grep -E 'WARNING: ThreadSanitizer|^\[  FAILED  \]|SUMMARY' "$out" | head -10 >&2
            n="$(grep -cE '^\[  FAILED  \] [A-Za-z]' "$out")"
            bad=$((bad + (n > 0 ? n : 1)))
            note "tsan: $suite failed (see $out)"
        fi
    done
    if [ "$bad" -eq 0 ]; then
        record "tsan: $ok tests passed" "$ok" 0
    else
        record "tsan: $ok tests passed, $bad failed" "$ok" "$bad"
    fi
}

# The fuzz targets live in the AddressSanitizer folder: after run_asan they are built already.
run_fuzz() {
    local dir="$ASAN_DIR"
    local targets=()
    local t
    for t in fuzz/corpus/*/; do
        targets+=("$(basename "$t")")
    done
    note "building the fuzz targets in $dir (libFuzzer: ${targets[*]})"
    if ! configure "$dir" "${ASAN_ARGS[@]}" || ! build fuzz-build.log "$dir" "${targets[@]/#/fuzz_}"; then
        record "fuzz: build failed (see $log_dir/fuzz-build.log)" 0 1
        return
    fi
    # A libFuzzer run is one process on one core: as many targets run at once as there are cores,
    # each for the full time; they are reported in order.
    local running=0
    for t in "${targets[@]}"; do
        rm -f "$log_dir/fuzz-$t.rc"
        (
            scripts/fuzz.sh --no-build "$t" "$fuzz_seconds" >"$log_dir/fuzz-$t.summary" 2>"$log_dir/fuzz-$t.log"
            echo "$?" >"$log_dir/fuzz-$t.rc"
        ) &
        running=$((running + 1))
        if [ "$running" -ge "$jobs" ]; then
            wait -n
            running=$((running - 1))
        fi
    done
    wait
    for t in "${targets[@]}"; do
        if [ "$(cat "$log_dir/fuzz-$t.rc" 2>/dev/null)" = 0 ]; then
            record "$(cat "$log_dir/fuzz-$t.summary")" 1 0
        else
            tail -30 "$log_dir/fuzz-$t.log" >&2
            record "$(cat "$log_dir/fuzz-$t.summary" 2>/dev/null || echo "fuzz $t: failed") (see $log_dir/fuzz-$t.log)" 0 1
        fi
    done
}

start=$SECONDS
[[ ",$harnesses," == *",asan,"* ]] && run_asan
[[ ",$harnesses," == *",tsan,"* ]] && run_tsan
[[ ",$harnesses," == *",fuzz,"* ]] && run_fuzz

echo "hardening: $passed passed, $failed failed ($((SECONDS - start)) s)"
if [ -n "${QUILLORY_HARDENING_TOTALS:-}" ]; then
    echo "$passed $failed" >"$QUILLORY_HARDENING_TOTALS"
fi
[ "$failed" -eq 0 ]
