#!/usr/bin/env bash
# Generate, on demand, random-weight whisper.cpp models with the real dimensions of each speech
# model in the catalogue, quantised like the published files, for the benchmark only.
#
# Cost does not depend on the weights, so these measure load time, encoder and decoder speed of the
# real models on this machine without downloading them. They write nonsense. Never part of the
# test command: they take minutes and about 1.5 GB of disk while quantising the large ones.
#
# Usage:
#   scripts/make-sized-whisper-models.sh [NAME...]   generate (default: all); print the dir
#   scripts/make-sized-whisper-models.sh --list      print "NAME FILE TYPE" for every entry
#
# Output: ${XDG_CACHE_HOME:-~/.cache}/quillory/deps/sized-whisper/FILE, named like the real file:
#   kotoba-whisper-v2.0  ggml-kotoba-whisper-v2.0-q5_0.bin  q5_0  (large-v3 encoder, 2 decoder layers)
#   large-v3-turbo       ggml-large-v3-turbo-q5_0.bin       q5_0  (32 encoder, 4 decoder layers)
#   large-v3-turbo       ggml-large-v3-turbo-q8_0.bin       q8_0
#   small                ggml-small-q8_0.bin                q8_0
#   small                ggml-small-q5_1.bin                q5_1
#   base                 ggml-base-q5_1.bin                 q5_1
# A file already there and newer than the generator is kept.
set -euo pipefail
cd "$(dirname "$0")/.."

ENTRIES=(
    "kotoba-whisper-v2.0 ggml-kotoba-whisper-v2.0-q5_0.bin q5_0"
    "large-v3-turbo ggml-large-v3-turbo-q5_0.bin q5_0"
    "large-v3-turbo ggml-large-v3-turbo-q8_0.bin q8_0"
    "small ggml-small-q8_0.bin q8_0"
    "small ggml-small-q5_1.bin q5_1"
    "base ggml-base-q5_1.bin q5_1"
)
LOG_TAG="sized-whisper"
. scripts/lib/common.sh
. scripts/lib/tiny-models.sh
OUT="$QUILLORY_DEPS_CACHE/sized-whisper"

if [ "${1:-}" = "--list" ]; then
    printf '%s\n' "${ENTRIES[@]}"
    exit 0
fi

wanted=("$@")
prefix="$(scripts/whisper-runtime.sh)"
quantize="$prefix/bin/whisper-quantize"
mkdir -p "$OUT"

for entry in "${ENTRIES[@]}"; do
    read -r name file qtype <<<"$entry"
    if [ "${#wanted[@]}" -gt 0 ] && [[ ! " ${wanted[*]} " == *" $name "* ]]; then
        continue
    fi
    target="$OUT/$file"
    if ! tiny_model_stale "$target" scripts/make-tiny-whisper.py; then
        log "$file is up to date"
        continue
    fi
    f16="$OUT/.$name-$qtype-f16.tmp.bin"
    log "$name: writing random f16 weights"
    start=$(date +%s)
    "$PYTHON" scripts/make-tiny-whisper.py --sized "$name" "$f16"
    log "$name: quantising to $qtype"
    if ! "$quantize" "$f16" "$target.tmp" "$qtype" >"$OUT/.$name-quantize.log" 2>&1; then
        tail -n 20 "$OUT/.$name-quantize.log" >&2
        rm -f "$f16" "$target.tmp"
        die "quantising $name failed"
    fi
    rm -f "$f16" "$OUT/.$name-quantize.log"
    mv -f "$target.tmp" "$target"
    log "$name: $(stat -c %s "$target") bytes in $(( $(date +%s) - start ))s"
done
printf '%s\n' "$OUT"
