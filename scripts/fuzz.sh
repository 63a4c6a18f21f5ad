#!/usr/bin/env bash
# Runs one libFuzzer target for a bounded time:
#   scripts/fuzz.sh [--no-build] TARGET [SECONDS] [libFuzzer options...]
# TARGET is a folder name under fuzz/corpus/ (hotkey_record, dictionary_record, defaults_store,
# completion_response, diagnostics_export, wav_reader); SECONDS defaults to 60. The target is built
# in build-asan, the AddressSanitizer + UndefinedBehaviorSanitizer folder of the unit tests
# (scripts/run-hardening.sh; configured here when it does not exist yet).
# The seed corpus fuzz/corpus/TARGET/ is read, never written: new inputs collect in
# build-asan/corpus/TARGET/, and a crashing input is saved in build-asan/artifacts/TARGET/.
# Fix the fault, then copy the input into fuzz/corpus/TARGET/ so it stays a regression input.
# Prints "fuzz TARGET: N execs, 0 crashes" and exits non-zero on a crash, leak or timeout.
set -uo pipefail
cd "$(dirname "$0")/.."

build=1
if [ "${1:-}" = "--no-build" ]; then
    build=0
    shift
fi
target="${1:?usage: scripts/fuzz.sh [--no-build] TARGET [SECONDS] [libFuzzer options...]}"
seconds="${2:-60}"
shift $(( $# >= 2 ? 2 : 1 ))

. scripts/lib/hardening-build.sh
dir="$ASAN_DIR"
seeds="fuzz/corpus/$target"
if [ ! -d "$seeds" ]; then
    echo "fuzz: no target $target (no folder $seeds)" >&2
    exit 2
fi
if [ "$build" -eq 1 ]; then
    mkdir -p "$dir"
    if ! hardening_configure "$dir" "$dir/fuzz-configure.log" "${ASAN_ARGS[@]}"; then
        cat "$dir/fuzz-configure.log" >&2
        exit 1
    fi
    cmake --build "$dir" -j"$(nproc)" --target "fuzz_$target" >&2 || exit 1
fi

binary="$dir/fuzz/fuzz_$target"
work="$dir/corpus/$target"
artifacts="$dir/artifacts/$target/"
mkdir -p "$work" "$artifacts"
log="$(mktemp)"
trap 'rm -f "$log"' EXIT

# Leaks are reported too (LeakSanitizer is part of AddressSanitizer here).
ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1}" \
    "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=16384 \
    -print_final_stats=1 -artifact_prefix="$artifacts" "$@" "$work" "$seeds" >"$log" 2>&1
rc=$?
cat "$log" >&2

execs="$(grep -E '^stat::number_of_executed_units:' "$log" | awk '{print $2}' | tail -1)"
if [ -z "$execs" ]; then
    execs="$(grep -oE '^#[0-9]+' "$log" | tail -1 | tr -d '#')"
fi
crashes="$(grep -cE '^(==[0-9]+==ERROR|SUMMARY: libFuzzer|ERROR: libFuzzer)' "$log")"
if [ "$rc" -ne 0 ] && [ "$crashes" -eq 0 ]; then
    crashes=1
fi
echo "fuzz $target: ${execs:-0} execs, $crashes crashes"
if [ "$rc" -ne 0 ]; then
    grep -E 'Test unit written to|artifact_prefix' "$log" | tail -2 >&2
    exit 1
fi
