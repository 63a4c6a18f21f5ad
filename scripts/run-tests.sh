#!/usr/bin/env bash
# Installs what is missing, builds, prepares the local AI test runtime, and runs every test:
# the normal suite (CTest), then the sanitizer and fuzzing harnesses. The last line is the
# summary of everything: "N passed, N failed".
#
# The llama-server runtime is built once into the dependency cache (scripts/llama-runtime.sh; the
# first build takes a long time) and the tiny test model is generated next to it; their paths go
# to the tests in QUILLORY_TEST_LLAMA_SERVER, QUILLORY_TEST_TINY_MODEL and
# QUILLORY_TEST_KNOWN_SENTENCE. whisper.cpp is built the same way (scripts/whisper-runtime.sh, by
# scripts/build.sh) and its tiny test models go to the tests in QUILLORY_TEST_WHISPER_MODEL,
# QUILLORY_TEST_WHISPER_VAD_MODEL and QUILLORY_TEST_WHISPER_SENTENCE (QUILLORY_TEST_WHISPER_CLI is
# whisper.cpp's own command-line transcriber, built from the same source, and
# QUILLORY_TEST_WHISPER_SERVER its recognition server). whisper.cpp's Vulkan variant is opt-in (its
# shaders take 10–30 minutes to compile on 2 cores): when `scripts/whisper-runtime.sh --vulkan` has built it,
# its folder goes to the tests in QUILLORY_TEST_WHISPER_VULKAN_DIR and its test labelled "vulkan"
# (test_speech_vulkan) runs; otherwise one line says so and it is left out. llama-server's Vulkan
# runtime is opt-in the same way (`scripts/llama-runtime.sh --vulkan`; its bin folder goes to
# test_ai_vulkan in QUILLORY_TEST_LLAMA_VULKAN_DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh

LOG_TAG="run-tests"
. scripts/lib/common.sh
. scripts/lib/tiny-models.sh
llama_bin="$(scripts/llama-runtime.sh)"
llama_src="$(scripts/llama-runtime.sh --print-src)"
export QUILLORY_TEST_LLAMA_SERVER="$llama_bin/llama-server"
QUILLORY_TEST_TINY_MODEL="$(tiny_polish_model "$llama_src")"
export QUILLORY_TEST_TINY_MODEL
QUILLORY_TEST_KNOWN_SENTENCE="$("$PYTHON" scripts/make-tiny-gguf.py --print-sentence)"
export QUILLORY_TEST_KNOWN_SENTENCE

# Speech: the tiny whisper.cpp model (writes one known sentence for any audio) and the tiny
# Silero-shaped VAD model (loud frames are speech), generated next to the whisper.cpp runtime.
tiny_whisper_models
export QUILLORY_TEST_WHISPER_MODEL="$TINY_WHISPER_MODEL"
export QUILLORY_TEST_WHISPER_VAD_MODEL="$TINY_WHISPER_VAD"
QUILLORY_TEST_WHISPER_SENTENCE="$("$PYTHON" scripts/make-tiny-whisper.py --print-sentence)"
export QUILLORY_TEST_WHISPER_SENTENCE
QUILLORY_TEST_WHISPER_CLI="$(scripts/whisper-runtime.sh)/bin/whisper-cli"
export QUILLORY_TEST_WHISPER_CLI
# whisper.cpp's recognition server, the same source (a cache entry of its own; ccache makes its
# first build cost about the server's own files): the loopback server of the recognition tests.
QUILLORY_TEST_WHISPER_SERVER="$(scripts/whisper-runtime.sh --server)/bin/whisper-server"
export QUILLORY_TEST_WHISPER_SERVER
# Every other test recognises on the CPU, whatever this machine has: the backend's folder is one
# without it (the "vulkan" tests name the real one to their own child processes).
export QUILLORY_WHISPER_VULKAN_DIR="$PWD/build/no-vulkan"
vulkan_left_out=()
# vulkan_variant TEST VAR SUBDIR WHAT SCRIPT...: exports VAR as the SUBDIR of the Vulkan variant
# `SCRIPT... --vulkan` prints when it is built, else leaves TEST out and says so in one line.
vulkan_variant() {
    local test="$1" var="$2" subdir="$3" what="$4" dir
    shift 4
    if "$@" --vulkan --check; then
        dir="$("$@" --vulkan)"
        export "$var=$dir$subdir"
    else
        log "$what is not built, so $test is left out (build it with $* --vulkan, 10 to 30 minutes on 2 cores)"
        vulkan_left_out+=("$test")
    fi
}
vulkan_variant test_speech_vulkan QUILLORY_TEST_WHISPER_VULKAN_DIR /lib "whisper.cpp's Vulkan variant" scripts/whisper-runtime.sh
vulkan_variant test_ai_vulkan QUILLORY_TEST_LLAMA_VULKAN_DIR "" "llama-server's Vulkan runtime" scripts/llama-runtime.sh
vulkan_args=()
[ "${#vulkan_left_out[@]}" -eq 0 ] || vulkan_args=(-E "^($(IFS='|'; echo "${vulkan_left_out[*]}"))\$")

# The normal suite, then the hardening harnesses (sanitizer builds and fuzzing; see
# scripts/run-hardening.sh). Both always run; the last line sums them up as "N passed, N failed".
# QUILLORY_SKIP_HARDENING=1 runs the normal suite only.
ctest_log="$(mktemp)"
totals="$(mktemp)"
trap 'rm -f "$ctest_log" "$totals"' EXIT
set +e
ctest --test-dir build --output-on-failure -j"$(nproc)" "${vulkan_args[@]}" "$@" 2>&1 | tee "$ctest_log"
ctest_rc=${PIPESTATUS[0]}
ctest_line="$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$ctest_log" | tail -1)"
ctest_total="$(sed -nE 's/.* out of ([0-9]+).*/\1/p' <<<"$ctest_line")"
ctest_failed="$(sed -nE 's/.*passed, ([0-9]+) tests? failed.*/\1/p' <<<"$ctest_line")"
ctest_total="${ctest_total:-0}"
ctest_failed="${ctest_failed:-0}"
if [ "$ctest_rc" -ne 0 ] && [ "$ctest_failed" -eq 0 ]; then
    ctest_failed=1 # ctest itself failed (no tests found, a crash of the runner...)
fi
passed=$((ctest_total - ctest_failed))
failed=$ctest_failed

if [ "${QUILLORY_SKIP_HARDENING:-0}" != 1 ]; then
    QUILLORY_HARDENING_TOTALS="$totals" scripts/run-hardening.sh
    hardening_rc=$?
    read -r h_passed h_failed <"$totals" 2>/dev/null || { h_passed=0; h_failed=1; }
    if [ "$hardening_rc" -ne 0 ] && [ "${h_failed:-0}" -eq 0 ]; then
        h_failed=1
    fi
    passed=$((passed + ${h_passed:-0}))
    failed=$((failed + ${h_failed:-0}))
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
