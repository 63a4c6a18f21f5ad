#!/usr/bin/env bash
# Build whisper.cpp once into a per-user cache and reuse it: static libraries and headers for the
# speech binding, plus `whisper-cli` (the benchmark's reference) and `whisper-quantize` (used by
# scripts/make-sized-whisper-models.sh).
#
# The whisper.cpp sources come from the npm package nodejs-whisper (package/cpp/whisper.cpp),
# because the npm registry and Debian's archive are the only package sources we can rely on.
#
# Usage:
#   scripts/whisper-runtime.sh              ensure built; print the prefix (include/, lib/, bin/)
#   scripts/whisper-runtime.sh --print-src  ensure built; print the whisper.cpp source dir
#   scripts/whisper-runtime.sh --check      exit 0 if the cache is complete, 1 if not (builds nothing)
#
# Cache layout (CACHE = ${XDG_CACHE_HOME:-$HOME/.cache}/quillory/deps):
#   CACHE/whisper-<version>/include/        whisper.h and the ggml headers
#   CACHE/whisper-<version>/lib/            libwhisper.a, libggml*.a (CPU only)
#   CACHE/whisper-<version>/bin/            whisper-cli, whisper-quantize
#   CACHE/whisper-<version>/src/            the whisper.cpp sources (models/ scripts)
#   CACHE/whisper-<version>/BUILD_INFO      version, source, flags, build time
#   CACHE/whisper-current                   name of the finished dir; written last
#
# Only stdout carries the answer; all logs go to stderr.
# Environment: QUILLORY_WHISPER_JOBS (default 2) sets the build parallelism.
set -euo pipefail

NODEJS_WHISPER_VERSION="0.3.1"
WHISPER_VERSION="1.9.1"
CACHE_ROOT="${XDG_CACHE_HOME:-$HOME/.cache}/quillory/deps"
STAMP="$CACHE_ROOT/whisper-current"
JOBS="${QUILLORY_WHISPER_JOBS:-2}"
NAME="whisper-$WHISPER_VERSION"

log() { printf '[whisper-runtime] %s\n' "$*" >&2; }
die() { log "error: $*"; exit 2; }

usage() {
    sed -n '2,/^set -euo/p' "$0" | sed -e '/^set -euo/d' -e 's/^# \{0,1\}//' >&2
}

mode="prefix"
case "${1:-}" in
    "") ;;
    --print-src) mode="src" ;;
    --check) mode="check" ;;
    -h|--help) usage; exit 0 ;;
    *) usage; exit 2 ;;
esac
[ "$#" -le 1 ] || { usage; exit 2; }

complete() {
    local dir="$1"
    [ -f "$dir/include/whisper.h" ] && [ -f "$dir/include/ggml.h" ] \
        && [ -f "$dir/lib/libwhisper.a" ] && [ -f "$dir/lib/libggml.a" ] \
        && [ -f "$dir/lib/libggml-base.a" ] && [ -f "$dir/lib/libggml-cpu.a" ] \
        && [ -x "$dir/bin/whisper-cli" ] && [ -x "$dir/bin/whisper-quantize" ] \
        && [ -f "$dir/BUILD_INFO" ]
}

# Prints the finished cache dir and returns 0 when the stamp points at a complete build.
cached_dir() {
    [ -f "$STAMP" ] || return 1
    local name
    name="$(head -n1 "$STAMP" 2>/dev/null || true)"
    [ "$name" = "$NAME" ] || return 1
    complete "$CACHE_ROOT/$name" || return 1
    printf '%s\n' "$CACHE_ROOT/$name"
}

emit() {
    case "$mode" in
        prefix) printf '%s\n' "$1" ;;
        src) printf '%s\n' "$1/src" ;;
        check) ;;
    esac
}

if dir="$(cached_dir)"; then
    emit "$dir"
    exit 0
fi
[ "$mode" = "check" ] && exit 1

ensure_debian_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    [ "${#missing[@]}" -eq 0 ] && return 0
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null 2>&1 || die "missing packages (${missing[*]}) and not root; install them first"
        sudo=(sudo)
    fi
    log "installing Debian packages: ${missing[*]}"
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q >&2
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
}

mkdir -p "$CACHE_ROOT"

# Serialise concurrent callers: the second one waits and then finds the finished cache.
if command -v flock >/dev/null 2>&1; then
    exec 9>"$CACHE_ROOT/.whisper-runtime.lock"
    if ! flock -n 9; then
        log "another build is running; waiting for it (lock $CACHE_ROOT/.whisper-runtime.lock)"
        flock 9
    fi
    if dir="$(cached_dir)"; then
        emit "$dir"
        exit 0
    fi
    find "$CACHE_ROOT" -maxdepth 1 -name '.tmp-whisper.*' -type d -exec rm -rf {} + 2>/dev/null || true
fi

ensure_debian_packages ca-certificates cmake make g++ tar gzip
command -v npm >/dev/null 2>&1 || ensure_debian_packages npm

WORK="$(mktemp -d "$CACHE_ROOT/.tmp-whisper.XXXXXX")"
cleanup() { rm -rf "$WORK"; }
trap cleanup EXIT
trap 'exit 130' INT TERM

log "fetching nodejs-whisper@$NODEJS_WHISPER_VERSION from the npm registry (for its whisper.cpp sources)"
(cd "$WORK" && npm pack "nodejs-whisper@$NODEJS_WHISPER_VERSION" --silent --ignore-scripts >/dev/null)
tgz="$(find "$WORK" -maxdepth 1 -name 'nodejs-whisper-*.tgz' | head -n1)"
[ -n "$tgz" ] || die "npm pack produced no tarball"
mkdir -p "$WORK/pkg"
tar -xzf "$tgz" -C "$WORK/pkg"
src="$WORK/pkg/package/cpp/whisper.cpp"
[ -f "$src/include/whisper.h" ] || die "nodejs-whisper@$NODEJS_WHISPER_VERSION has no cpp/whisper.cpp/include/whisper.h"
grep -q "project(\"whisper.cpp\" VERSION $WHISPER_VERSION)" "$src/CMakeLists.txt" \
    || die "nodejs-whisper@$NODEJS_WHISPER_VERSION does not carry whisper.cpp $WHISPER_VERSION"
grep -q 'whisper_vad_init_from_file_with_params' "$src/include/whisper.h" \
    || die "this whisper.cpp has no Silero VAD API"

cmake_args=(
    -DCMAKE_BUILD_TYPE=Release
    -DBUILD_SHARED_LIBS=OFF
    -DCMAKE_POSITION_INDEPENDENT_CODE=ON
    -DGGML_NATIVE=OFF
    -DGGML_OPENMP=OFF
    -DGGML_CCACHE=OFF
    -DWHISPER_BUILD_TESTS=OFF
    -DWHISPER_BUILD_SERVER=OFF
    -DWHISPER_BUILD_EXAMPLES=ON
    -DWHISPER_SDL2=OFF
    -DWHISPER_CURL=OFF
    -DWHISPER_COREML=OFF
    -DWHISPER_OPENVINO=OFF
)
if command -v ccache >/dev/null 2>&1; then
    cmake_args+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    # The work dir's name is random: relative paths let a rebuild hit the compiler cache.
    export CCACHE_BASEDIR="$WORK"
fi

start=$(date +%s)
log "configuring: cmake ${cmake_args[*]}"
if ! cmake -S "$src" -B "$WORK/build" "${cmake_args[@]}" >"$WORK/configure.log" 2>&1; then
    tail -n 40 "$WORK/configure.log" >&2
    die "cmake configure failed"
fi
log "building whisper, whisper-cli and whisper-quantize with -j$JOBS (a few minutes the first time)"
set +e
cmake --build "$WORK/build" --target whisper whisper-cli whisper-quantize -j"$JOBS" 2>&1 \
    | tee "$WORK/build.log" \
    | while IFS= read -r line; do
        case "$line" in "["*%"]"*) printf '[whisper-runtime] %s\n' "$line" >&2 ;; esac
    done
rc=${PIPESTATUS[0]}
set -e
if [ "$rc" -ne 0 ]; then
    grep -E 'error|Error' "$WORK/build.log" | tail -n 40 >&2 || tail -n 40 "$WORK/build.log" >&2
    die "build failed (exit $rc)"
fi

stage="$WORK/stage"
mkdir -p "$stage/include" "$stage/lib" "$stage/bin"
cp "$src/include/whisper.h" "$stage/include/"
cp "$src"/ggml/include/*.h "$stage/include/"
for lib in whisper ggml ggml-base ggml-cpu; do
    f="$(find "$WORK/build" -type f -name "lib$lib.a" | head -n1)"
    [ -n "$f" ] || die "build finished but lib$lib.a was not found"
    cp "$f" "$stage/lib/"
done
for exe in whisper-cli whisper-quantize; do
    f="$(find "$WORK/build" -type f -name "$exe" -perm -u+x | head -n1)"
    [ -n "$f" ] || die "build finished but $exe was not found"
    cp "$f" "$stage/bin/"
done
"$stage/bin/whisper-cli" --help >/dev/null 2>&1 || die "the built whisper-cli does not run"
# Keep the sources small: the model scripts and the headers are what later steps read.
mkdir -p "$stage/src"
cp -r "$src/models" "$src/include" "$src/LICENSE" "$stage/src/"
secs=$(( $(date +%s) - start ))

{
    echo "version=$WHISPER_VERSION"
    echo "source=npm:nodejs-whisper@$NODEJS_WHISPER_VERSION/cpp/whisper.cpp"
    echo "cmake_args=${cmake_args[*]}"
    echo "jobs=$JOBS"
    echo "build_seconds=$secs"
    echo "built_at=$(date -u +%Y-%m-%dT%H:%M:%SZ)"
} >"$stage/BUILD_INFO"

final="$CACHE_ROOT/$NAME"
rm -rf "$final"
mv "$stage" "$final"
printf '%s\n' "$NAME" >"$STAMP.tmp.$$"
mv -f "$STAMP.tmp.$$" "$STAMP"
log "built $final in ${secs}s"
emit "$final"
