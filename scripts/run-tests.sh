#!/usr/bin/env bash
# Installs what is missing, builds, prepares the local AI test runtime, and runs every test
# (CTest prints the summary).
#
# The llama-server runtime is built once into the dependency cache (scripts/llama-runtime.sh; the
# first build takes a long time) and the tiny test model is generated next to it; their paths go
# to the tests in QUILLORY_TEST_LLAMA_SERVER, QUILLORY_TEST_TINY_MODEL and
# QUILLORY_TEST_KNOWN_SENTENCE. whisper.cpp is built the same way (scripts/whisper-runtime.sh, by
# scripts/build.sh) and its tiny test models go to the tests in QUILLORY_TEST_WHISPER_MODEL,
# QUILLORY_TEST_WHISPER_VAD_MODEL and QUILLORY_TEST_WHISPER_SENTENCE (QUILLORY_TEST_WHISPER_CLI is
# whisper.cpp's own command-line transcriber, built from the same source).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh

PYTHON=/usr/bin/python3
[ -x "$PYTHON" ] || PYTHON="$(command -v python3)"
deps_cache="${XDG_CACHE_HOME:-$HOME/.cache}/quillory/deps"
llama_bin="$(scripts/llama-runtime.sh)"
llama_src="$(scripts/llama-runtime.sh --print-src)"
tiny_model="$deps_cache/tiny-polish.gguf"
if [ ! -s "$tiny_model" ] || [ scripts/make-tiny-gguf.py -nt "$tiny_model" ] \
    || [ "$deps_cache/llama-current" -nt "$tiny_model" ]; then
    echo "run-tests: generating $tiny_model" >&2
    tmp_model="${tiny_model%.gguf}.tmp-$$.gguf"
    "$PYTHON" scripts/make-tiny-gguf.py --llama-src "$llama_src" "$tmp_model"
    mv -f "$tmp_model" "$tiny_model"
fi
export QUILLORY_TEST_LLAMA_SERVER="$llama_bin/llama-server"
export QUILLORY_TEST_TINY_MODEL="$tiny_model"
QUILLORY_TEST_KNOWN_SENTENCE="$("$PYTHON" scripts/make-tiny-gguf.py --print-sentence)"
export QUILLORY_TEST_KNOWN_SENTENCE

# Speech: the tiny whisper.cpp model (writes one known sentence for any audio) and the tiny
# Silero-shaped VAD model (loud frames are speech), generated next to the whisper.cpp runtime.
whisper_model="$deps_cache/tiny-whisper.bin"
whisper_vad="$deps_cache/tiny-whisper-vad.bin"
for spec in "$whisper_model:" "$whisper_vad:--vad"; do
    out="${spec%%:*}"; flag="${spec#*:}"
    if [ ! -s "$out" ] || [ scripts/make-tiny-whisper.py -nt "$out" ]; then
        echo "run-tests: generating $out" >&2
        "$PYTHON" scripts/make-tiny-whisper.py $flag "$out"
    fi
done
export QUILLORY_TEST_WHISPER_MODEL="$whisper_model"
export QUILLORY_TEST_WHISPER_VAD_MODEL="$whisper_vad"
QUILLORY_TEST_WHISPER_SENTENCE="$("$PYTHON" scripts/make-tiny-whisper.py --print-sentence)"
export QUILLORY_TEST_WHISPER_SENTENCE
QUILLORY_TEST_WHISPER_CLI="$(scripts/whisper-runtime.sh)/bin/whisper-cli"
export QUILLORY_TEST_WHISPER_CLI

ctest --test-dir build --output-on-failure -j"$(nproc)" "$@"
