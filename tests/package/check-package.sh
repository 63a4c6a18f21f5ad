#!/usr/bin/env bash
# The install and the Debian package, as a user meets them (CTest "package"):
#   1. `cmake --install` into a temporary prefix: the layout, PNG icon sizes, `ldd` of every
#      binary, the CPU variants of llama-server (libexec/quillory) and of the speech recognition
#      in quillory (lib/quillory/whisper) (present; no AVX, FMA, F16C or BMI2 instruction outside the
#      variants made for them; the one each loads here is the best this processor runs; on a
#      Westmere emulated by qemu each loads the baseline, the server answers the tiny model's
#      sentence and `quillory transcribe` writes the tiny speech model's), desktop-file-validate,
#      appstreamcli validate, the bash completion answering, and the manual page and the
#      completion naming every command `--help` names;
#   2. inside a private headless desktop (scripts/desktop-session.sh): the desktop entry's command
#      starts the tray app from that prefix, a dictation with the tiny speech model reaches a GTK
#      field, `quillory doctor` finds the installed llama-server and the speech recognition's CPU
#      variant, `quillory quit` ends it;
#   3. `cpack` builds the .deb once: its contents, Depends, no processor check before install,
#      lintian without errors, then it is installed into a throw-away root with dpkg, where
#      `quillory doctor` names the recognition device and why, and removed without leftovers.
# ggml's Vulkan backend (lib/quillory/whisper/vulkan) is in the install exactly when it is built
# (scripts/whisper-runtime.sh --vulkan, or -DQUILLORY_WHISPER_VULKAN=PATH); then it is stripped, the
# package only recommends libvulkan1 and a driver, and doctor in the throw-away root reports the
# backend found (on lavapipe, when Mesa's Vulkan driver is installed, computing the device check).
# Likewise llama-server's (libexec/quillory/libggml-vulkan.so, scripts/llama-runtime.sh --vulkan or
# -DQUILLORY_LLAMA_VULKAN=PATH): beside the server, stripped, and the installed server, given -ngl 99
# as the app gives it, answers the tiny model's sentence on the CPU when lavapipe is the only device.
# Usage: check-package.sh BUILD_DIR SOURCE_DIR
set -euo pipefail

step() { printf '== %s\n' "$*"; }
fail() { printf 'FAIL: %s\n' "$*" >&2; exit 1; }

# ---- 2. inside the private desktop (check-package.sh --in-session PREFIX SOURCE_DIR) ----
if [ "${1:-}" = --in-session ]; then
    prefix="$2"
    source_dir="$3"
    desktop="$prefix/share/applications/app.quillory.Quillory.desktop"
    exec_line="$(sed -n 's/^Exec=//p' "$desktop" | head -n1)"
    # The absolute path (KWin offers fake-input by it), of this install.
    [ "$exec_line" = "$prefix/bin/quillory" ] || fail "the desktop entry runs '$exec_line'"
    export PATH="$prefix/bin:$PATH"
    unset QUILLORY_RUNTIME_DIR
    # The tiny speech model stands in for the default model, as if the user had downloaded it.
    models="${XDG_DATA_HOME:-$HOME/.local/share}/quillory/SpeechModels"
    mkdir -p "$models"
    ln -s "$QUILLORY_TEST_WHISPER_MODEL" "$models/ggml-kotoba-whisper-v2.0-q5_0.bin"
    ln -s "$QUILLORY_TEST_WHISPER_VAD_MODEL" "$models/ggml-silero-v5.1.2.bin"
    export QUILLORY_WHISPER_THREADS=1
    # shellcheck disable=SC2086 # the entry's command, split as a launcher splits it
    $exec_line >"$HOME/app.log" 2>&1 &
    app=$!
    # The tray app answers on its socket once it runs (generous for a loaded machine).
    for _ in $(seq 1 600); do
        quillory status >/dev/null 2>&1 && break
        kill -0 "$app" 2>/dev/null || { cat "$HOME/app.log" >&2; fail "the app ended at start"; }
        sleep 0.1
    done
    quillory status >/dev/null 2>&1 || { cat "$HOME/app.log" >&2; fail "the app never answered 'quillory status'"; }
    step "the app runs from $(readlink "/proc/$app/exe")"

    # A dictation into a GTK field: toggle, the sentence into the pipe microphone, toggle.
    mkfifo "$HOME/target.in"
    /usr/bin/python3 "$source_dir/tests/desktop/real_target.py" gtk3 <"$HOME/target.in" >"$HOME/target.out" 2>&1 &
    exec 3>"$HOME/target.in" # the target lives while its input is open
    wait_for() { # wait_for SECONDS COMMAND...: polls until the command succeeds
        local deadline=$((SECONDS + $1))
        shift
        until "$@"; do
            [ "$SECONDS" -lt "$deadline" ] || return 1
            sleep 0.1
        done
    }
    field_text() { sed -n 's/^text [0-9]* //p' "$HOME/target.out" | tail -n1 | base64 -d; }
    status_is() { [ "$(quillory status 2>/dev/null)" = "$1" ]; }
    wait_for 60 grep -qx ready "$HOME/target.out" || { cat "$HOME/target.out" >&2; fail "the GTK field never had the focus"; }
    quillory toggle || fail "quillory toggle"
    wait_for 10 status_is recording || fail "no recording: $(quillory status)"
    python3 - "$source_dir/tests/fixtures/speech/plain.wav" "$QUILLORY_TEST_PIPE_SOURCE" <<'PY'
import array, fcntl, os, sys, wave
with wave.open(sys.argv[1]) as w:
    assert w.getframerate() == 16000 and w.getnchannels() == 1 and w.getsampwidth() == 2
    pcm = array.array("h", w.readframes(w.getnframes()))
samples = array.array("f", (v / 32768.0 for v in pcm))
samples.extend([0.0] * 16000)  # a second of silence after the sentence
data = samples.tobytes()
fd = os.open(sys.argv[2], os.O_WRONLY)
fcntl.fcntl(fd, 1031, min(len(data) + 4096, 1 << 20))  # F_SETPIPE_SZ: no gap while feeding
view = memoryview(data)
while view:
    view = view[os.write(fd, view):]
os.close(fd)
PY
    sleep 0.3
    quillory toggle || fail "quillory toggle (stop)"
    wait_for 120 status_is idle || fail "the dictation never ended: $(quillory status)"
    sentence_is() { [ "$(field_text)" = "$QUILLORY_TEST_WHISPER_SENTENCE" ]; }
    wait_for 30 sentence_is || { cat "$HOME/target.out" "$HOME/app.log" >&2; fail "the field holds '$(field_text)'"; }
    step "dictated into a GTK field: $(field_text)"
    exec 3>&-

    quillory doctor --json >"$HOME/doctor.json" || true
    python3 - "$HOME/doctor.json" "$prefix" <<'PY'
import json, os, sys
report = json.load(open(sys.argv[1]))
checks = {c["id"]: c for c in report["checks"]}
runtime = checks.get("llama-runtime")
expected = os.path.realpath(os.path.join(sys.argv[2], "libexec/quillory/llama-server"))
if not runtime or runtime["status"] != "OK" or os.path.realpath(runtime["detail"]) != expected:
    sys.exit("doctor does not report the installed llama-server: %r" % (runtime,))
speech = checks.get("speech-runtime")
variants = os.path.realpath(os.path.join(sys.argv[2], "lib/quillory/whisper"))
if not speech or speech["status"] != "OK" or "(%s/libggml-cpu-" % variants not in speech["detail"]:
    sys.exit("doctor does not report a CPU variant of the installed speech recognition: %r" % (speech,))
for c in report["checks"]:
    print("   doctor %-4s %s: %s" % (c["status"], c["id"], c["detail"]))
PY
    quillory quit || fail "quillory quit failed"
    for _ in $(seq 1 300); do
        kill -0 "$app" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$app" 2>/dev/null && fail "the app did not quit"
    wait "$app" || fail "the app exited with status $?"
    exit 0
fi

build="$(cd "$1" && pwd)"
source_dir="$(cd "$2" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
app_id=app.quillory.Quillory
# vulkan_built SETTING RUNTIME_SCRIPT: whether the install must carry that runtime's Vulkan backend:
# an explicit path (or "none") when configuring, else whether the dependency cache has it.
vulkan_built() {
    case "$(sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt")" in
        none) return 1 ;;
        "") "$source_dir/scripts/$2" --vulkan --check ;;
        *) return 0 ;;
    esac
}
with_vulkan=0
vulkan_built QUILLORY_WHISPER_VULKAN whisper-runtime.sh && with_vulkan=1
with_llama_vulkan=0
vulkan_built QUILLORY_LLAMA_VULKAN llama-runtime.sh && with_llama_vulkan=1
vulkan_module=lib/quillory/whisper/vulkan/libggml-vulkan.so
llama_vulkan_module=libexec/quillory/libggml-vulkan.so
lavapipe=/usr/share/vulkan/icd.d/lvp_icd.x86_64.json

# ---- 1. the install tree ----
prefix="$work/prefix"
step "cmake --install into $prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log" >&2; fail "install"; }
for f in bin/quillory libexec/quillory/llama-server \
    lib/quillory/whisper/libwhisper.so.1 lib/quillory/whisper/libggml.so.0 lib/quillory/whisper/libggml-base.so.0 \
    share/applications/$app_id.desktop share/metainfo/$app_id.metainfo.xml \
    share/icons/hicolor/scalable/apps/quillory.svg share/icons/hicolor/symbolic/apps/quillory-symbolic.svg \
    share/man/man1/quillory.1.gz share/bash-completion/completions/quillory \
    share/doc/quillory/copyright share/doc/quillory/changelog.Debian.gz; do
    [ -f "$prefix/$f" ] || fail "the install has no $f"
done
for f in "$prefix"/bin/quillory "$prefix"/libexec/quillory/llama-server; do
    [ -x "$f" ] || fail "$f is not executable"
done
# vulkan_linked MODULE RUNPATH: MODULE links the Vulkan loader and a libggml-base, which its RUNPATH
# finds in the install.
vulkan_linked() {
    local dynamic
    dynamic="$(readelf -d "$prefix/$1")"
    grep -q 'NEEDED.*\[libvulkan\.so\.1\]' <<<"$dynamic" && grep -q 'NEEDED.*\[libggml-base\.so\.0\]' <<<"$dynamic" \
        && grep -qF "RUNPATH) Library runpath: [$2]" <<<"$(tr -s ' ' <<<"$dynamic")" \
        || fail "$1 does not link libvulkan.so.1 and libggml-base.so.0 with RUNPATH $2: $dynamic"
    echo "   $1 ($(du -k "$prefix/$1" | cut -f1) KiB)"
}
if [ "$with_vulkan" = 1 ]; then
    [ "$(ls "$prefix/lib/quillory/whisper/vulkan")" = libggml-vulkan.so ] \
        || fail "lib/quillory/whisper/vulkan holds '$(ls "$prefix/lib/quillory/whisper/vulkan" 2>&1)', not libggml-vulkan.so"
    # shellcheck disable=SC2016 # the RUNPATH's own $ORIGIN
    vulkan_linked "$vulkan_module" '$ORIGIN/..'
else
    [ ! -e "$prefix/lib/quillory/whisper/vulkan" ] || fail "the install has lib/quillory/whisper/vulkan, but no Vulkan variant is built"
fi
# llama-server's beside it: ggml loads backend modules from the executable's folder.
if [ "$with_llama_vulkan" = 1 ]; then
    # shellcheck disable=SC2016 # the RUNPATH's own $ORIGIN
    vulkan_linked "$llama_vulkan_module" '$ORIGIN'
else
    [ ! -e "$prefix/$llama_vulkan_module" ] || fail "the install has $llama_vulkan_module, but llama-server's Vulkan runtime is not built"
fi
python3 - "$prefix/share/icons/hicolor" <<'PY'
import glob, os, struct, sys
pngs = glob.glob(os.path.join(sys.argv[1], "*x*", "apps", "quillory.png"))
if len(pngs) < 6:
    sys.exit("only %d PNG icon sizes" % len(pngs))
for p in pngs:
    data = open(p, "rb").read(24)
    w, h = struct.unpack(">II", data[16:24])
    size = os.path.basename(os.path.dirname(os.path.dirname(p)))
    if data[:8] != b"\x89PNG\r\n\x1a\n" or "%dx%d" % (w, h) != size:
        sys.exit("%s is %dx%d" % (p, w, h))
PY

step "ldd of every installed binary and library"
while IFS= read -r -d '' f; do
    if head -c4 "$f" | grep -q $'\x7fELF'; then
        missing="$(ldd "$f" | grep 'not found' || true)"
        [ -z "$missing" ] || fail "$f: $missing"
        echo "   $f"
    fi
done < <(find "$prefix" -type f \( -perm -u+x -o -name '*.so*' \) -print0)

step "the CPU variants of llama-server and of quillory's speech recognition"
runtime="$prefix/libexec/quillory"
speech_libs="$prefix/lib/quillory/whisper"
read -r -a variants <<<"$(sed -n 's/^CPU_VARIANTS=(\(.*\))$/\1/p' "$source_dir/scripts/lib/ggml-cpu-variants.sh")"
[ "${variants[0]:-}" = x64 ] || fail "scripts/lib/ggml-cpu-variants.sh names no baseline CPU variant first: ${variants[*]}"
for v in "${variants[@]}"; do
    [ -f "$runtime/libggml-cpu-$v.so" ] || fail "the install has no libexec/quillory/libggml-cpu-$v.so"
    [ -f "$speech_libs/libggml-cpu-$v.so" ] || fail "the install has no lib/quillory/whisper/libggml-cpu-$v.so"
done
# Everything but the variants built for newer processors runs on any x86-64: no VEX/EVEX-encoded
# instruction (AVX, AVX2, FMA, F16C, AVX-512) and no BMI2 one in the server, quillory, their
# libraries and the baseline variants.
for f in "$runtime"/llama-server "$runtime"/lib*.so* "$prefix/bin/quillory" "$speech_libs"/lib*.so*; do
    case "$(basename "$f")" in libggml-cpu-*.so) [ "$(basename "$f")" = libggml-cpu-x64.so ] || continue ;; esac
    newer="$(objdump -d --no-show-raw-insn "$f" \
        | grep -E -m3 $'\t(v[a-z0-9]+ .*%[xyz]mm|(shlx|sarx|shrx|rorx|pdep|pext|mulx|bzhi) )' || true)"
    [ -z "$newer" ] || fail "$f needs a newer processor than x86-64: $newer"
done
# The variant this processor gets: the best whose instructions it has (what ggml scores).
flags=" $(sed -n 's/^flags[[:space:]]*:[[:space:]]*//p' /proc/cpuinfo | head -n1) "
has() { local f; for f in "$@"; do [[ "$flags" == *" $f "* ]] || return 1; done; }
expected=x64
if has sse4_2 avx f16c fma avx2 bmi2; then
    expected=haswell
    if has avx512f avx512cd avx512vl avx512dq avx512bw && [[ " ${variants[*]} " == *" skylakex "* ]]; then
        expected=skylakex
    fi
fi
if [ -z "${QUILLORY_TEST_TINY_MODEL:-}" ]; then
    # Outside scripts/run-tests.sh: the tiny polish model from the dependency cache.
    LOG_TAG=package
    . "$source_dir/scripts/lib/common.sh"
    . "$source_dir/scripts/lib/tiny-models.sh"
    QUILLORY_TEST_TINY_MODEL="$(tiny_polish_model "$("$source_dir/scripts/llama-runtime.sh" --print-src)")"
fi
known="${QUILLORY_TEST_KNOWN_SENTENCE:-$(python3 "$source_dir/scripts/make-tiny-gguf.py" --print-sentence)}"
# serve NAME [ENV=VALUE | -u NAME...] [EMULATOR...]: starts the installed llama-server on the tiny
# model with the -ngl the app gives it (99 when its Vulkan backend is beside it), waits until it
# answers /health, asks for the polished sentence and stops it: sets answer (the reply), maps (the
# ggml libraries mapped into the server by then: while it starts, ggml opens every CPU variant in
# turn to score it, so an earlier look can catch one about to be unloaded) and log (its output).
serve() {
    local name="$1" port pid ngl=0
    shift
    [ "$with_llama_vulkan" = 0 ] || ngl=99
    log="$work/server-$name.log"
    port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
    (cd / && exec env "$@" "$runtime/llama-server" -m "$QUILLORY_TEST_TINY_MODEL" --host 127.0.0.1 \
        --port "$port" -c 512 -t 1 -ngl "$ngl" --no-webui) >"$log" 2>&1 &
    pid=$!
    answer="$(python3 - "$port" "$pid" <<'PY'
import json, os, sys, time, urllib.request
base = "http://127.0.0.1:%s" % sys.argv[1]
deadline = time.monotonic() + 600  # emulation on a loaded machine is slow
while True:
    try:
        with urllib.request.urlopen(base + "/health", timeout=5) as r:
            if r.status == 200:
                break
    except Exception:
        pass
    if time.monotonic() > deadline or not os.path.exists("/proc/%s" % sys.argv[2]):
        sys.exit("the server never became ready")
    time.sleep(0.1)
body = json.dumps({"messages": [{"role": "user", "content": "えーと、今日は天気がいいです"}],
                   "max_tokens": 32, "temperature": 0}).encode()
req = urllib.request.Request(base + "/v1/chat/completions", body, {"Content-Type": "application/json"})
with urllib.request.urlopen(req, timeout=300) as r:
    print(json.load(r)["choices"][0]["message"]["content"])
PY
)" || { cat "$log" >&2; kill "$pid" 2>/dev/null; fail "llama-server ($name)"; }
    maps="$(grep -o '/[^ ]*/libggml-[a-z0-9_-]*\.so' "/proc/$pid/maps" 2>/dev/null | sort -u || true)"
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    [ "$answer" = "$known" ] || { cat "$log" >&2; fail "llama-server ($name) answered '$answer', not '$known'"; }
}
# cpu_variant_is VARIANT NAME: the server loaded that CPU variant and no other.
cpu_variant_is() {
    local loaded
    loaded="$(grep '/libggml-cpu-' <<<"$maps" || true)"
    [ "$(basename "$loaded")" = "libggml-cpu-$1.so" ] && [ "$(wc -l <<<"$loaded")" = 1 ] \
        || { cat "$log" >&2; fail "llama-server ($2) loaded '$loaded', not libggml-cpu-$1.so"; }
}
# With its Vulkan backend beside it and lavapipe the only Vulkan driver: the server loads the module,
# which offers no device (ggml leaves CPU-type Vulkan devices out unless named), and -ngl 99 leaves
# the model on the CPU.
lavapipe_only=()
[ "$with_llama_vulkan" = 0 ] || [ ! -f "$lavapipe" ] || lavapipe_only=(-u GGML_VK_VISIBLE_DEVICES VK_ICD_FILENAMES="$lavapipe")
serve native "${lavapipe_only[@]}"
cpu_variant_is "$expected" native
if [ "$with_llama_vulkan" = 1 ]; then
    grep -qx "$(realpath "$runtime")/libggml-vulkan.so" <<<"$maps" \
        || { cat "$log" >&2; fail "llama-server did not load $llama_vulkan_module: $maps"; }
    if [ "${#lavapipe_only[@]}" != 0 ]; then
        grep -q "no usable GPU found" "$log" || { cat "$log" >&2; fail "llama-server offloaded to lavapipe unasked"; }
    fi
fi
echo "   variants ${variants[*]}; this processor gets libggml-cpu-$expected.so; answered $answer$(
    [ "$with_llama_vulkan" = 0 ] || echo " (-ngl 99, its Vulkan backend loaded, no GPU device)")"

# An older processor: emulated as a Westmere (SSE4.2, no AVX) by qemu, the server offered all the
# variants loads the baseline one and answers the tiny model's sentence.
step "llama-server on an emulated processor without AVX"
command -v qemu-x86_64 >/dev/null || fail "qemu-x86_64 is missing (scripts/deps.sh installs qemu-user)"
serve Westmere "${lavapipe_only[@]}" qemu-x86_64 -cpu Westmere
cpu_variant_is x64 Westmere
echo "   Westmere (emulated): libggml-cpu-x64.so, answered $answer"

# quillory's own speech recognition, natively and on the emulated Westmere: `quillory transcribe`
# of a speech fixture with the tiny speech model writes its sentence, and logs the CPU variant it
# loaded from lib/quillory/whisper.
step "quillory transcribe, natively and on an emulated processor without AVX"
if [ -z "${QUILLORY_TEST_WHISPER_MODEL:-}" ] || [ -z "${QUILLORY_TEST_WHISPER_SENTENCE:-}" ]; then
    # Outside scripts/run-tests.sh: the tiny speech models from the dependency cache.
    LOG_TAG=package
    . "$source_dir/scripts/lib/common.sh"
    . "$source_dir/scripts/lib/tiny-models.sh"
    tiny_whisper_models
    export QUILLORY_TEST_WHISPER_MODEL="$TINY_WHISPER_MODEL" QUILLORY_TEST_WHISPER_VAD_MODEL="$TINY_WHISPER_VAD"
    QUILLORY_TEST_WHISPER_SENTENCE="$("$PYTHON" "$source_dir/scripts/make-tiny-whisper.py" --print-sentence)"
    export QUILLORY_TEST_WHISPER_SENTENCE
fi
# transcribe CPU WANT [EMULATOR...]: the installed quillory on the plain fixture, in a home of its
# own, writes the tiny model's sentence with the CPU variant WANT from lib/quillory/whisper.
transcribe() {
    local cpu="$1" want="$2" log="$work/transcribe-$1.log" heard chosen
    shift 2
    mkdir -p "$work/home-$cpu"
    heard="$(cd / && env -u QUILLORY_WHISPER_CPU_DIR HOME="$work/home-$cpu" XDG_CONFIG_HOME= XDG_DATA_HOME= \
        XDG_CACHE_HOME= XDG_STATE_HOME= QT_LOGGING_RULES="app.quillory.quillory.speech.info=true" \
        QUILLORY_SPEECH_VAD_MODEL="$QUILLORY_TEST_WHISPER_VAD_MODEL" QUILLORY_WHISPER_THREADS=1 \
        timeout 600 "$@" "$prefix/bin/quillory" transcribe "$source_dir/tests/fixtures/speech/plain.wav" \
        --speech-model-file "$QUILLORY_TEST_WHISPER_MODEL" --no-polish 2>"$log")" \
        || { cat "$log" >&2; fail "quillory transcribe ($cpu)"; }
    chosen="$(sed -n 's/.*Speech CPU backend: \([a-z0-9_]*\) (\(.*\))$/\1 \2/p' "$log" | head -n1)"
    [ "$chosen" = "$want $(realpath "$speech_libs")/libggml-cpu-$want.so" ] \
        || { cat "$log" >&2; fail "quillory ($cpu) loaded '$chosen', not lib/quillory/whisper/libggml-cpu-$want.so"; }
    [ "$heard" = "$QUILLORY_TEST_WHISPER_SENTENCE" ] \
        || { cat "$log" >&2; fail "quillory ($cpu) heard '$heard', not '$QUILLORY_TEST_WHISPER_SENTENCE'"; }
    echo "   $cpu: libggml-cpu-$want.so, heard $heard"
}
transcribe native "$expected"
transcribe Westmere x64 qemu-x86_64 -cpu Westmere

step "desktop-file-validate, appstreamcli validate"
desktop-file-validate "$prefix/share/applications/$app_id.desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net --explain "$prefix/share/metainfo/$app_id.metainfo.xml" || fail "appstreamcli validate"

step "the manual page and the completion name every command of --help"
help="$("$prefix/bin/quillory" --help)"
commands="$(sed -n 's/^  \([a-z][a-z-]*\).*/\1/p' <<<"$help")"
[ "$(wc -l <<<"$commands")" -ge 15 ] || fail "--help lists only: $commands"
man_text="$(zcat "$prefix/share/man/man1/quillory.1.gz" | sed 's/\\-/-/g')"
completion="$prefix/share/bash-completion/completions/quillory"
complete_words() { # complete_words WORD... : what completion offers for the last word
    bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _quillory; printf "%s\n" "${COMPREPLY[@]}"' \
        _ "$completion" quillory "$@"
}
first_level="$(complete_words '')"
for c in $commands; do
    grep -qF "quillory $c" <<<"$man_text" || fail "the manual page lacks '$c'"
    grep -qx -- "$c" <<<"$first_level" || fail "the completion lacks '$c'"
done
expect_completion() { # expect_completion 'EXPECTED WORDS' WORD...
    local expected="$1" got
    shift
    got="$(complete_words "$@" | sort | tr '\n' ' ')"
    [ "$got" = "$expected " ] || fail "completing 'quillory $*' gives '$got', not '$expected'"
}
expect_completion "kotoba-whisper-v2.0-q5_0 whisper-base-q5_1 whisper-large-v3-turbo-q5_0 whisper-large-v3-turbo-q8_0 whisper-small-q5_1 whisper-small-q8_0" \
    speech-models download ''
expect_completion "delete download list path select" speech-models ''
expect_completion "--speech-model --speech-model-file" transcribe --spe
expect_completion "kotoba-whisper-v2.0-q5_0 off whisper-base-q5_1 whisper-large-v3-turbo-q5_0 whisper-large-v3-turbo-q8_0 whisper-small-q5_1 whisper-small-q8_0" \
    transcribe --partial-model ''
expect_completion "15 180 60" diagnostics export --minutes ''
expect_completion "" mic --seconds ''
expect_completion "" dictionary remove ''
touch "$work/take.wav"
expect_completion "$work/take.wav" transcribe "$work/ta"
polish_ids="$(complete_words polish --model '' | wc -l)"
[ "$polish_ids" -ge 3 ] || fail "completing 'polish --model' offers $polish_ids ids"

# ---- 2. the installed app on a private desktop ----
step "the desktop entry's command starts the installed app on a private desktop"
"$source_dir/scripts/desktop-session.sh" "$0" --in-session "$prefix" "$source_dir"

# ---- 3. the Debian package ----
step "cpack"
rm -rf "$build/package"
(cd "$build" && cpack -G DEB >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; fail "cpack"; }
deb="$(ls "$build"/package/quillory_*.deb)"
[ -f "$deb" ] || fail "cpack wrote no .deb"
echo "   $(basename "$deb"): $(du -k "$deb" | cut -f1) KiB, installed $(dpkg-deb -f "$deb" Installed-Size) KiB"

step "dpkg-deb: contents and Depends"
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's#^\./#/#' >"$work/contents"
for f in /usr/bin/quillory /usr/libexec/quillory/llama-server /usr/share/applications/$app_id.desktop \
    /usr/share/metainfo/$app_id.metainfo.xml /usr/share/icons/hicolor/48x48/apps/quillory.png \
    /usr/share/man/man1/quillory.1.gz /usr/share/bash-completion/completions/quillory \
    /usr/share/doc/quillory/copyright; do
    grep -qx -- "$f" "$work/contents" || fail "the package lacks $f"
done
for v in "${variants[@]}"; do
    for folder in /usr/libexec/quillory /usr/lib/quillory/whisper; do
        grep -qx -- "$folder/libggml-cpu-$v.so" "$work/contents" || fail "the package lacks $folder/libggml-cpu-$v.so"
    done
done
if [ "$with_vulkan" = 1 ]; then
    grep -qx -- "/usr/$vulkan_module" "$work/contents" || fail "the package lacks /usr/$vulkan_module"
else
    ! grep -q -- "/usr/lib/quillory/whisper/vulkan" "$work/contents" || fail "the package has a vulkan folder"
fi
if [ "$with_llama_vulkan" = 1 ]; then
    grep -qx -- "/usr/$llama_vulkan_module" "$work/contents" || fail "the package lacks /usr/$llama_vulkan_module"
else
    ! grep -qx -- "/usr/$llama_vulkan_module" "$work/contents" || fail "the package has /usr/$llama_vulkan_module"
fi
depends="$(dpkg-deb -f "$deb" Depends)"
recommends="$(dpkg-deb -f "$deb" Recommends)"
echo "   Depends: $depends"
echo "   Recommends: $recommends"
# Only the Vulkan backends link libvulkan.so.1, and without it recognition and the polish model run
# on the CPU.
! grep -q "libvulkan" <<<"$depends" || fail "Depends names the Vulkan loader"
for d in libvulkan1 mesa-vulkan-drivers; do
    if [ "$with_vulkan$with_llama_vulkan" != 00 ]; then
        grep -qE "(^|, |\| )$d( |,|$)" <<<"$recommends" || fail "Recommends lacks $d"
    else
        ! grep -q "$d" <<<"$recommends" || fail "Recommends names $d, but the package has no Vulkan backend"
    fi
done
for d in libqt6core6 libqt6gui6 libqt6widgets6 libqt6dbus6 libqt6svg6 libx11-6 libxi6 libxtst6 libpulse0 \
    libatspi2.0-0 fonts-noto-cjk; do
    grep -qE "(^|, )$d( |,|$)" <<<"$depends" || fail "Depends lacks $d"
done
dpkg-deb -I "$deb" postinst >/dev/null || fail "the package has no postinst"
dpkg-deb -e "$deb" "$work/control"
# Every part runs on any x86-64 processor (checked above): nothing refuses an older one.
! dpkg-deb -I "$deb" preinst >/dev/null 2>&1 || fail "the package has a preinst"
# The private libraries need no ldconfig run (CPack would add one for libraries in /usr/lib/*/).
! dpkg-deb -I "$deb" postrm >/dev/null 2>&1 || fail "the package has a postrm"

step "lintian"
lintian --fail-on error --tag-display-limit 0 "$deb" || fail "lintian reports errors"

step "install into a throw-away root and remove"
root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
touch "$root/var/lib/dpkg/status"
dpkg_root=(dpkg --root="$root" --log=/dev/null --force-depends --force-script-chrootless --force-not-root)
"${dpkg_root[@]}" -i "$deb" >"$work/dpkg-install.log" 2>&1 || { cat "$work/dpkg-install.log" >&2; fail "dpkg -i"; }
grep -q "quillory doctor" "$work/dpkg-install.log" || fail "the install printed no note for the user"
[ -x "$root/usr/bin/quillory" ] && [ -x "$root/usr/libexec/quillory/llama-server" ] || fail "dpkg installed no binaries"
"$root/usr/bin/quillory" --help >"$work/quillory-help.log" 2>&1 \
    || { cat "$work/quillory-help.log" >&2; fail "the installed quillory does not run"; }
"$root/usr/libexec/quillory/llama-server" --version >"$work/server-version.log" 2>&1 \
    || { cat "$work/server-version.log" >&2; fail "the installed llama-server does not run"; }
# The recognition device `quillory doctor` names, with quillory.speech.device at auto: without the
# backend, that it is in none of the folders searched, the installed one first; with it, anything but
# that (a GPU, or why Vulkan offers none). Mesa's lavapipe counts as a GPU only when named in
# GGML_VK_VISIBLE_DEVICES: then the backend from the package computes the device check on it.
for module in "$vulkan_module" "$llama_vulkan_module"; do
    [ ! -f "$root/usr/$module" ] || ! readelf -S "$root/usr/$module" | grep -q '\.symtab' \
        || fail "the package's $module is not stripped"
done
speech_device() { # speech_device [ENV...]: doctor's speech-device line, in a home of its own
    rm -rf "$work/home-doctor" && mkdir -p "$work/home-doctor"
    (cd / && env -u QUILLORY_WHISPER_VULKAN_DIR -u QUILLORY_WHISPER_CPU_DIR -u GGML_VK_VISIBLE_DEVICES \
        -u VK_ICD_FILENAMES HOME="$work/home-doctor" XDG_CONFIG_HOME= XDG_DATA_HOME= XDG_CACHE_HOME= \
        XDG_STATE_HOME= QT_QPA_PLATFORM=offscreen "$@" timeout 300 "$root/usr/bin/quillory" doctor --json \
        >"$work/doctor.json" 2>"$work/doctor.log") || true
    python3 -c 'import json, sys
checks = {c["id"]: c for c in json.load(open(sys.argv[1]))["checks"]}
print("%s %s" % (checks["speech-device"]["status"], checks["speech-device"]["detail"]))' "$work/doctor.json" \
        || { cat "$work/doctor.log" >&2; fail "the installed quillory doctor names no recognition device"; }
}
device="$(speech_device)"
echo "   doctor: $device"
absent="CPU: no Vulkan backend: libggml-vulkan.so is in none of $(realpath "$root")/usr/lib/quillory/whisper/vulkan"
vulkan_cache="$(sed -n 's/^QUILLORY_WHISPER_VULKAN_ROOT:INTERNAL=//p' "$build/CMakeCache.txt")"
if [ "$with_vulkan" = 0 ]; then
    # quillory also searches the dependency cache it was built with (left out of this package by
    # -DQUILLORY_WHISPER_VULKAN=none): only without it there is nothing to find.
    [[ -f "$vulkan_cache/lib/libggml-vulkan.so" || "$device" == "OK $absent"* ]] \
        || fail "doctor says '$device', not that the backend is absent"
else
    [[ "$device" == OK* && "$device" != *"$absent"* ]] || fail "doctor does not find the packaged backend: $device"
    if [ -f "$lavapipe" ]; then
        device="$(speech_device VK_ICD_FILENAMES="$lavapipe")"
        echo "   doctor with lavapipe alone: $device"
        [[ "$device" == "OK CPU: no Vulkan GPU: "* ]] || fail "doctor counts lavapipe unasked: $device"
        device="$(speech_device VK_ICD_FILENAMES="$lavapipe" GGML_VK_VISIBLE_DEVICES=0)"
        echo "   doctor with lavapipe named: $device"
        [[ "$device" == "OK "*"it computed the check right" && "$device" != "OK CPU:"* ]] \
            || fail "the packaged backend does not compute on lavapipe: $device"
    fi
fi
"${dpkg_root[@]}" -P quillory >"$work/dpkg-remove.log" 2>&1 || { cat "$work/dpkg-remove.log" >&2; fail "dpkg -P"; }
leftovers="$(find "$root" -mindepth 1 -not -path "$root/var" -not -path "$root/var/lib" -not -path "$root/var/lib/dpkg*")"
[ -z "$leftovers" ] || fail "left after removal: $leftovers"
rm -rf "$build/package/_CPack_Packages"
step "ok"
