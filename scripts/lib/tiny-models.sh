# shellcheck shell=bash
# The generated test models in the dependency cache: sourced, never run (after common.sh).
#   tiny_model_stale MODEL GENERATOR [INPUT...]
#       true when MODEL is missing or empty, or GENERATOR or any INPUT is newer than it
#   tiny_polish_model LLAMA_SRC    prints the tiny polish model's path, generating it when stale
#                                  (it depends on make-tiny-gguf.py and on the llama.cpp runtime)
#   tiny_whisper_models            generates the tiny whisper model and VAD model when stale

_TINY_SCRIPTS="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
TINY_POLISH_MODEL="$QUILLORY_DEPS_CACHE/tiny-polish.gguf"
TINY_WHISPER_MODEL="$QUILLORY_DEPS_CACHE/tiny-whisper.bin"
TINY_WHISPER_VAD="$QUILLORY_DEPS_CACHE/tiny-whisper-vad.bin"

tiny_model_stale() {
    local model="$1" input
    shift
    [ -s "$model" ] || return 0
    for input in "$@"; do
        [ "$input" -nt "$model" ] && return 0
    done
    return 1
}

tiny_polish_model() {
    local llama_src="$1" generator="$_TINY_SCRIPTS/make-tiny-gguf.py"
    if tiny_model_stale "$TINY_POLISH_MODEL" "$generator" "$QUILLORY_DEPS_CACHE/llama-current"; then
        log "generating $TINY_POLISH_MODEL"
        mkdir -p "$(dirname "$TINY_POLISH_MODEL")"
        local tmp="${TINY_POLISH_MODEL%.gguf}.tmp-$$.gguf"
        "$PYTHON" "$generator" --llama-src "$llama_src" "$tmp"
        mv -f "$tmp" "$TINY_POLISH_MODEL"
    fi
    printf '%s\n' "$TINY_POLISH_MODEL"
}

tiny_whisper_models() {
    local generator="$_TINY_SCRIPTS/make-tiny-whisper.py" spec out flag
    for spec in "$TINY_WHISPER_MODEL:" "$TINY_WHISPER_VAD:--vad"; do
        out="${spec%%:*}"
        flag="${spec#*:}"
        if tiny_model_stale "$out" "$generator"; then
            log "generating $out"
            mkdir -p "$(dirname "$out")"
            # Written aside and renamed: a test reading the model never sees half of it.
            "$PYTHON" "$generator" $flag "$out.tmp-$$"
            mv -f "$out.tmp-$$" "$out"
        fi
    done
}
