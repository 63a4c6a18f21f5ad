#!/usr/bin/env bash
# Build a real llama.cpp `llama-server` once into a per-user cache and reuse it.
#
# The llama.cpp sources come from the npm package node-llama-cpp (its
# llama/gitRelease.bundle is a git bundle of llama.cpp), because the npm
# registry and Debian's archive are the only package sources we can rely on.
#
# Usage:
#   scripts/llama-runtime.sh              ensure built; print the bin dir (holds llama-server)
#   scripts/llama-runtime.sh --print-src  ensure built; print the llama.cpp source dir
#   scripts/llama-runtime.sh --check      exit 0 if the cache is complete, 1 if not (builds nothing)
#
# Cache layout (CACHE = ${XDG_CACHE_HOME:-$HOME/.cache}/quillory/deps):
#   CACHE/llama-<commit>/bin/llama-server   the server binary (llama/ggml linked statically)
#   CACHE/llama-<commit>/src/               the llama.cpp checkout (gguf-py, models/, docs)
#   CACHE/llama-<commit>/BUILD_INFO         commit, release tag, flags, build time
#   CACHE/llama-current                     name of the finished dir; written last
#
# Only stdout carries the answer; all logs go to stderr.
# Environment: QUILLORY_LLAMA_JOBS (default 2) sets the build parallelism.
set -euo pipefail

NODE_LLAMA_CPP_VERSION="3.21.1"
CACHE_ROOT="${XDG_CACHE_HOME:-$HOME/.cache}/quillory/deps"
STAMP="$CACHE_ROOT/llama-current"
JOBS="${QUILLORY_LLAMA_JOBS:-2}"

log() { printf '[llama-runtime] %s\n' "$*" >&2; }
die() { log "error: $*"; exit 2; }

usage() {
    sed -n '2,/^set -euo/p' "$0" | sed -e '/^set -euo/d' -e 's/^# \{0,1\}//' >&2
}

mode="bin"
case "${1:-}" in
    "") ;;
    --print-src) mode="src" ;;
    --check) mode="check" ;;
    -h|--help) usage; exit 0 ;;
    *) usage; exit 2 ;;
esac
[ "$#" -le 1 ] || { usage; exit 2; }

# Prints the finished cache dir and returns 0 when the stamp points at a
# complete build; returns 1 otherwise. Never builds anything.
cached_dir() {
    [ -f "$STAMP" ] || return 1
    local name dir
    name="$(head -n1 "$STAMP" 2>/dev/null || true)"
    case "$name" in llama-*) ;; *) return 1 ;; esac
    dir="$CACHE_ROOT/$name"
    [ -x "$dir/bin/llama-server" ] || return 1
    [ -d "$dir/src/gguf-py/gguf" ] || return 1
    [ -f "$dir/src/models/ggml-vocab-qwen2.gguf" ] || return 1
    printf '%s\n' "$dir"
}

emit() {
    local dir="$1"
    case "$mode" in
        bin) printf '%s\n' "$dir/bin" ;;
        src) printf '%s\n' "$dir/src" ;;
        check) ;;
    esac
}

# Fast path: nothing to do (no apt, no npm, no network).
if dir="$(cached_dir)"; then
    emit "$dir"
    exit 0
fi
if [ "$mode" = "check" ]; then
    exit 1
fi

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

# Serialise concurrent callers (e.g. parallel test set-ups): the second one
# waits and then finds the finished cache.
if command -v flock >/dev/null 2>&1; then
    exec 9>"$CACHE_ROOT/.llama-runtime.lock"
    if ! flock -n 9; then
        log "another build is running; waiting for it (lock $CACHE_ROOT/.llama-runtime.lock)"
        flock 9
    fi
    if dir="$(cached_dir)"; then
        emit "$dir"
        exit 0
    fi
    # We hold the lock, so temp dirs left by a killed build are stale.
    find "$CACHE_ROOT" -maxdepth 1 -name '.tmp-llama.*' -type d -exec rm -rf {} + 2>/dev/null || true
fi

ensure_debian_packages ca-certificates git cmake make g++ pkg-config python3 python3-numpy python3-yaml tar gzip
# npm is often present without Debian's package (e.g. a nodejs build that
# bundles it, which conflicts with Debian's npm): look for the command.
command -v npm >/dev/null 2>&1 || ensure_debian_packages npm

# All work happens in a temp dir on the same filesystem as the cache, so the
# final `mv` is an atomic rename and an interrupted build leaves no half cache.
WORK="$(mktemp -d "$CACHE_ROOT/.tmp-llama.XXXXXX")"
cleanup() { rm -rf "$WORK"; }
trap cleanup EXIT
trap 'exit 130' INT TERM

log "fetching node-llama-cpp@$NODE_LLAMA_CPP_VERSION from the npm registry (for its llama.cpp git bundle)"
(
    cd "$WORK"
    npm pack "node-llama-cpp@$NODE_LLAMA_CPP_VERSION" --silent --ignore-scripts >/dev/null
)
tgz="$(find "$WORK" -maxdepth 1 -name 'node-llama-cpp-*.tgz' | head -n1)"
[ -n "$tgz" ] || die "npm pack produced no tarball"
mkdir -p "$WORK/pkg"
tar -xzf "$tgz" -C "$WORK/pkg"
bundle="$WORK/pkg/package/llama/gitRelease.bundle"
[ -f "$bundle" ] || die "node-llama-cpp@$NODE_LLAMA_CPP_VERSION has no llama/gitRelease.bundle"
release_tag=""
if [ -f "$WORK/pkg/package/llama/llama.cpp.info.json" ]; then
    release_tag="$(sed -n 's/.*"tag"[[:space:]]*:[[:space:]]*"\([^"]*\)".*/\1/p' \
        "$WORK/pkg/package/llama/llama.cpp.info.json" | head -n1)"
fi

stage="$WORK/stage"
mkdir -p "$stage/bin"
log "cloning llama.cpp from the bundle"
git -c advice.detachedHead=false clone --quiet "$bundle" "$stage/src" >&2 || true
if ! git -C "$stage/src" rev-parse --verify -q HEAD >/dev/null; then
    # The bundle may carry only a tag or a branch that is not HEAD.
    ref="$(git bundle list-heads "$bundle" | awk 'NR==1{print $2}')"
    [ -n "$ref" ] || die "the git bundle lists no refs"
    [ -d "$stage/src/.git" ] || git init --quiet "$stage/src"
    git -C "$stage/src" fetch --quiet "$bundle" "$ref"
    git -C "$stage/src" -c advice.detachedHead=false checkout --quiet FETCH_HEAD
fi
git -C "$stage/src" remote remove origin 2>/dev/null || true
commit="$(git -C "$stage/src" rev-parse --short=10 HEAD)"
full_commit="$(git -C "$stage/src" rev-parse HEAD)"
name="llama-$commit"
final="$CACHE_ROOT/$name"
log "llama.cpp commit $full_commit${release_tag:+ (release $release_tag)}"

write_stamp() {
    printf '%s\n' "$name" >"$STAMP.tmp.$$"
    mv -f "$STAMP.tmp.$$" "$STAMP"
}

# Someone already finished this commit but the stamp was lost: reuse it.
if [ -x "$final/bin/llama-server" ] && [ -d "$final/src/gguf-py/gguf" ]; then
    log "found an existing build in $final"
    write_stamp
    emit "$final"
    exit 0
fi

for f in gguf-py/gguf/__init__.py models/ggml-vocab-qwen2.gguf; do
    [ -e "$stage/src/$f" ] || die "llama.cpp source lacks $f"
done

cmake_args=(
    -DCMAKE_BUILD_TYPE=Release
    -DBUILD_SHARED_LIBS=OFF
    -DGGML_NATIVE=OFF
    -DGGML_OPENMP=OFF
    -DLLAMA_OPENSSL=OFF
    -DLLAMA_BUILD_UI=OFF
    -DLLAMA_USE_PREBUILT_UI=OFF
    -DLLAMA_BUILD_TESTS=OFF
    -DLLAMA_BUILD_EXAMPLES=OFF
)
if grep -rqs --include=CMakeLists.txt 'LLAMA_CURL' "$stage/src/CMakeLists.txt" "$stage/src/common"; then
    cmake_args+=(-DLLAMA_CURL=OFF)
fi

start=$(date +%s)
log "configuring: cmake ${cmake_args[*]}"
if ! cmake -S "$stage/src" -B "$WORK/build" "${cmake_args[@]}" >"$WORK/configure.log" 2>&1; then
    tail -n 40 "$WORK/configure.log" >&2
    die "cmake configure failed"
fi
log "building llama-server with -j$JOBS (the first build takes a long time; progress follows)"
set +e
cmake --build "$WORK/build" --target llama-server -j"$JOBS" 2>&1 \
    | tee "$WORK/build.log" \
    | awk '/^\[ *[0-9]+%\]/ { print "[llama-runtime] " $0 > "/dev/stderr"; fflush("/dev/stderr") }'
rc=${PIPESTATUS[0]}
set -e
if [ "$rc" -ne 0 ]; then
    grep -E 'error|Error' "$WORK/build.log" | tail -n 40 >&2 || tail -n 40 "$WORK/build.log" >&2
    die "build failed (exit $rc)"
fi
server="$(find "$WORK/build" -type f -name llama-server -perm -u+x | head -n1)"
[ -n "$server" ] || die "build finished but no llama-server binary was found"
cp "$server" "$stage/bin/llama-server"
"$stage/bin/llama-server" --version >/dev/null 2>&1 || die "the built llama-server does not run"
secs=$(( $(date +%s) - start ))

{
    echo "commit=$full_commit"
    echo "short=$commit"
    echo "release=$release_tag"
    echo "source=npm:node-llama-cpp@$NODE_LLAMA_CPP_VERSION/llama/gitRelease.bundle"
    echo "cmake_args=${cmake_args[*]}"
    echo "jobs=$JOBS"
    echo "build_seconds=$secs"
    echo "built_at=$(date -u +%Y-%m-%dT%H:%M:%SZ)"
} >"$stage/BUILD_INFO"

rm -rf "$final"
mv "$stage" "$final"
write_stamp
log "built $final/bin/llama-server in ${secs}s"
emit "$final"
