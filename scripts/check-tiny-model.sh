#!/usr/bin/env bash
# End-to-end check of the test runtime: a real llama-server serving the tiny
# generated model must answer every ChatML prompt with the known sentence.
#
# Builds the llama.cpp runtime and the model when they are missing (the model
# goes to ${XDG_CACHE_HOME:-$HOME/.cache}/quillory/deps/tiny-polish.gguf and is
# regenerated when scripts/make-tiny-gguf.py or the runtime is newer), starts
# llama-server on a free loopback port, and checks:
#   * /health answers 200 once the model is loaded (503 before);
#   * /completion returns exactly the known sentence, for different system
#     prompts and user texts, with and without the "<|im_end|>" stop string;
#   * sampling at temperature 1 gives the same sentence (sharp logits);
#   * a corrupt model file makes llama-server exit with a non-zero status.
# Prints "N passed, N failed" last; exits 0 only when all checks pass.
#
# Environment: QUILLORY_TINY_MODEL overrides the model path.
set -euo pipefail

SCRIPT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
LOG_TAG="check-tiny-model"
. "$SCRIPT_DIR/lib/common.sh"
. "$SCRIPT_DIR/lib/tiny-models.sh"
TINY_POLISH_MODEL="${QUILLORY_TINY_MODEL:-$TINY_POLISH_MODEL}"
GENERATOR="$SCRIPT_DIR/make-tiny-gguf.py"
READY_LIMIT_S=120   # upper bound for loading; not a performance assertion
EXIT_LIMIT_S=60     # upper bound for llama-server to give up on a bad model


passed=0
failed=0
pass() { passed=$((passed + 1)); log "PASS: $*"; }
fail() { failed=$((failed + 1)); log "FAIL: $*"; }

WORK="$(mktemp -d "${TMPDIR:-/tmp}/quillory-check.XXXXXX")"
SERVER_PID=""
stop_server() {
    local pid="$SERVER_PID"
    SERVER_PID=""
    [ -n "$pid" ] || return 0
    kill -TERM "$pid" 2>/dev/null || true
    local i
    for i in $(seq 1 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}
cleanup() { stop_server; rm -rf "$WORK"; }
trap cleanup EXIT
trap 'exit 130' INT TERM

now_ms() { date +%s%3N; }

free_port() {
    "$PYTHON" -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])'
}

# http METHOD URL [BODY_FILE] -> prints the status code; body in $WORK/resp
http() {
    local method="$1" url="$2" body="${3:-}"
    if command -v curl >/dev/null 2>&1; then
        local args=(-sS -o "$WORK/resp" -w '%{http_code}' --max-time 60 -X "$method")
        [ -z "$body" ] || args+=(-H 'Content-Type: application/json' --data-binary "@$body")
        curl "${args[@]}" "$url" 2>/dev/null || echo 000
    else
        "$PYTHON" - "$method" "$url" "$body" "$WORK/resp" <<'PY'
import sys, urllib.request, urllib.error
method, url, body, out = sys.argv[1:5]
data = open(body, "rb").read() if body else None
req = urllib.request.Request(url, data=data, method=method,
                             headers={"Content-Type": "application/json"} if data else {})
try:
    with urllib.request.urlopen(req, timeout=60) as r:
        code, payload = r.status, r.read()
except urllib.error.HTTPError as e:
    code, payload = e.code, e.read()
except OSError:
    code, payload = 0, b""
open(out, "wb").write(payload)
print(f"{code:03d}")
PY
    fi
}

# json_field FILE EXPR: evaluates a Python expression on the parsed JSON `j`
# (EXPR is always a literal from this script).
json_field() {
    "$PYTHON" -c 'import json, sys
try:
    j = json.load(open(sys.argv[1], encoding="utf-8"))
    v = eval(sys.argv[2])
except Exception as e:  # a bad answer must fail the check, not abort the script
    v = f"<unreadable response: {e}>"
sys.stdout.write(v if isinstance(v, str) else json.dumps(v, ensure_ascii=False))' "$1" "$2"
}

# completion_body SYSTEM USER [EXTRA_JSON_OBJECT] -> writes $WORK/req.json
completion_body() {
    "$PYTHON" -c 'import json, sys
system, user = sys.argv[1], sys.argv[2]
extra = json.loads(sys.argv[3] or "{}")
body = {
    "prompt": f"<|im_start|>system\n{system}<|im_end|>\n"
              f"<|im_start|>user\n{user}<|im_end|>\n<|im_start|>assistant\n",
    "n_predict": 128,
    "temperature": 0.0,
    "stop": ["<|im_end|>"],
    "cache_prompt": False,
}
body.update(extra)
json.dump(body, open(sys.argv[4], "w", encoding="utf-8"), ensure_ascii=False)' \
        "$1" "$2" "${3:-}" "$WORK/req.json"
}

# --- runtime and model ----------------------------------------------------------
BIN_DIR="$("$SCRIPT_DIR/llama-runtime.sh")"
SRC_DIR="$("$SCRIPT_DIR/llama-runtime.sh" --print-src)"
SERVER="$BIN_DIR/llama-server"
KNOWN="$("$PYTHON" "$GENERATOR" --print-sentence)"

MODEL="$(tiny_polish_model "$SRC_DIR")"
log "server: $SERVER"
log "model:  $MODEL ($(stat -c %s "$MODEL") bytes)"
log "known sentence: $KNOWN"

# --- a good model -----------------------------------------------------------------
PORT="$(free_port)"
BASE="http://127.0.0.1:$PORT"
SERVER_CMD=("$SERVER" -m "$MODEL" --host 127.0.0.1 --port "$PORT" -ngl 99 -c 2048 --no-warmup --no-webui)
log "starting: ${SERVER_CMD[*]}"
t0=$(now_ms)
"${SERVER_CMD[@]}" >"$WORK/server.log" 2>&1 &
SERVER_PID=$!

ready=0
saw_503=0
deadline=$(( $(date +%s) + READY_LIMIT_S ))
while [ "$(date +%s)" -lt "$deadline" ]; do
    if ! kill -0 "$SERVER_PID" 2>/dev/null; then
        break
    fi
    code="$(http GET "$BASE/health")"
    if [ "$code" = 200 ]; then
        ready=1
        break
    fi
    [ "$code" != 503 ] || saw_503=1
    sleep 0.05
done
t_ready=$(( $(now_ms) - t0 ))
if [ "$ready" = 1 ]; then
    note=""
    [ "$saw_503" = 0 ] || note=" (answered 503 while loading)"
    pass "llama-server ready (/health 200) ${t_ready} ms after launch$note"
else
    fail "llama-server did not become ready; last log lines:"
    tail -n 30 "$WORK/server.log" >&2
    log "$passed passed, $failed failed"
    printf '%s passed, %s failed\n' "$passed" "$failed"
    exit 1
fi

# check_completion NAME SYSTEM USER [EXTRA_JSON]
check_completion() {
    local name="$1"
    completion_body "$2" "$3" "${4:-}"
    local code content stop_type
    code="$(http POST "$BASE/completion" "$WORK/req.json")"
    if [ "$code" != 200 ]; then
        fail "$name: HTTP $code: $(head -c 300 "$WORK/resp")"
        return
    fi
    content="$(json_field "$WORK/resp" 'j["content"]')"
    stop_type="$(json_field "$WORK/resp" 'j.get("stop_type", "")')"
    printf '%s: content=%s\n' "$name" "$content"
    if [ "$content" = "$KNOWN" ] && { [ "$stop_type" = eos ] || [ "$stop_type" = word ]; }; then
        pass "$name: got the known sentence (stop_type=$stop_type)"
    else
        fail "$name: expected '$KNOWN' ending by eos/word, got '$content' (stop_type=$stop_type)"
    fi
}

check_completion "basic" "X" "こんにちは"
check_completion "other user text" "X" "えーと、あのー、明日の会議は十時からです。"
check_completion "other system prompt" \
    "You are a careful editor. Fix punctuation and remove filler words. Reply with the text only." \
    "hello world, this is a test"
check_completion "no stop string (stops at the end-of-generation token)" "X" "テスト" '{"stop": []}'
check_completion "sampling at temperature 1" "X" "テスト" \
    '{"temperature": 1.0, "top_k": 0, "top_p": 1.0, "min_p": 0.0, "seed": 1234}'

# The generated tokens must be the tokenizer's own split of the sentence
# followed by the single control token <|im_end|>, so the chain survives a
# detokenize/tokenize round trip.
completion_body "X" "こんにちは" '{"return_tokens": true}'
http POST "$BASE/completion" "$WORK/req.json" >/dev/null
gen_tokens="$(json_field "$WORK/resp" 'j.get("tokens")')"
"$PYTHON" -c 'import json, sys
json.dump({"content": sys.argv[1] + "<|im_end|>", "parse_special": True},
          open(sys.argv[2], "w", encoding="utf-8"), ensure_ascii=False)' "$KNOWN" "$WORK/tok.json"
http POST "$BASE/tokenize" "$WORK/tok.json" >/dev/null
tok_tokens="$(json_field "$WORK/resp" 'j.get("tokens")')"
if [ -n "$gen_tokens" ] && [ "$gen_tokens" = "$tok_tokens" ]; then
    pass "generated tokens $gen_tokens equal /tokenize of the sentence + <|im_end|>"
else
    fail "generated tokens $gen_tokens differ from /tokenize of the sentence + <|im_end|>: $tok_tokens"
fi

stop_server

# --- a corrupt model ----------------------------------------------------------------
head -c 100 /dev/urandom >"$WORK/corrupt.gguf"
PORT="$(free_port)"
t0=$(now_ms)
"$SERVER" -m "$WORK/corrupt.gguf" --host 127.0.0.1 --port "$PORT" -ngl 99 -c 2048 --no-warmup --no-webui \
    >"$WORK/corrupt.log" 2>&1 &
SERVER_PID=$!
deadline=$(( $(date +%s) + EXIT_LIMIT_S ))
while kill -0 "$SERVER_PID" 2>/dev/null && [ "$(date +%s)" -lt "$deadline" ]; do
    sleep 0.05
done
if kill -0 "$SERVER_PID" 2>/dev/null; then
    fail "llama-server still running ${EXIT_LIMIT_S}s after being given a corrupt model"
    stop_server
else
    set +e
    wait "$SERVER_PID"
    rc=$?
    set -e
    SERVER_PID=""
    t_exit=$(( $(now_ms) - t0 ))
    if [ "$rc" -ne 0 ]; then
        pass "corrupt model: llama-server exited with status $rc after ${t_exit} ms"
    else
        fail "corrupt model: llama-server exited with status 0"
    fi
fi

log "launch-to-ready: ${t_ready} ms"
printf '%s passed, %s failed\n' "$passed" "$failed"
[ "$failed" -eq 0 ]
