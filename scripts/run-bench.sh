#!/usr/bin/env bash
# Builds and runs every benchmark (or the ones named, with their arguments after "--":
# bench_e2e -- --models tiny), printing figures.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh
# The speech benchmarks' tiny whisper.cpp models (the same ones the tests use).
LOG_TAG="run-bench"
. scripts/lib/common.sh
. scripts/lib/tiny-models.sh
tiny_whisper_models
export QUILLORY_TEST_WHISPER_MODEL="${QUILLORY_TEST_WHISPER_MODEL:-$TINY_WHISPER_MODEL}"
export QUILLORY_TEST_WHISPER_VAD_MODEL="${QUILLORY_TEST_WHISPER_VAD_MODEL:-$TINY_WHISPER_VAD}"
# whisper.cpp's recognition server (bench_e2e's "tiny@server" rows on loopback).
QUILLORY_TEST_WHISPER_SERVER="${QUILLORY_TEST_WHISPER_SERVER:-$(scripts/whisper-runtime.sh --server)/bin/whisper-server}"
export QUILLORY_TEST_WHISPER_SERVER
bench_args=()
benches=()
while [ $# -gt 0 ]; do
    if [ "$1" = "--" ]; then shift; bench_args=("$@"); break; fi
    benches+=("$1")
    shift
done
if [ "${#benches[@]}" -eq 0 ]; then
    mapfile -t benches < <(find build/bench -maxdepth 1 -type f -executable -name 'bench_*' -printf '%f\n' | sort)
fi
for b in "${benches[@]}"; do
    echo "== $b =="
    "build/bench/$b" "${bench_args[@]}"
done
