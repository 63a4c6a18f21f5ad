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
RUNTIME="llama"
RUNTIME_NAME="" # llama-<commit>: the commit is known once the bundle is cloned
RUNTIME_PRINTS="bin"
. "$(dirname "${BASH_SOURCE[0]}")/lib/runtime-cache.sh"

runtime_complete() {
    local dir="$1"
    [ -x "$dir/bin/llama-server" ] && [ -d "$dir/src/gguf-py/gguf" ] \
        && [ -f "$dir/src/models/ggml-vocab-qwen2.gguf" ]
}

runtime_start "$@"
ensure_debian_packages ca-certificates git cmake make g++ pkg-config python3 python3-numpy python3-yaml tar gzip
ensure_npm

package="$(npm_unpack node-llama-cpp "$NODE_LLAMA_CPP_VERSION")"
bundle="$package/llama/gitRelease.bundle"
[ -f "$bundle" ] || die "node-llama-cpp@$NODE_LLAMA_CPP_VERSION has no llama/gitRelease.bundle"
release_tag=""
if [ -f "$package/llama/llama.cpp.info.json" ]; then
    release_tag="$(sed -n 's/.*"tag"[[:space:]]*:[[:space:]]*"\([^"]*\)".*/\1/p' \
        "$package/llama/llama.cpp.info.json" | head -n1)"
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

# Someone already finished this commit but the stamp was lost: reuse it.
if [ -x "$final/bin/llama-server" ] && [ -d "$final/src/gguf-py/gguf" ]; then
    log "found an existing build in $final"
    runtime_write_stamp "$name"
    runtime_emit "$final"
    exit 0
fi

for f in gguf-py/gguf/__init__.py models/ggml-vocab-qwen2.gguf; do
    [ -e "$stage/src/$f" ] || die "llama.cpp source lacks $f"
done

CMAKE_ARGS=(
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
    CMAKE_ARGS+=(-DLLAMA_CURL=OFF)
fi
cmake_build "$stage/src" llama-server
cp "$(built_file llama-server -perm -u+x)" "$stage/bin/llama-server"
"$stage/bin/llama-server" --version >/dev/null 2>&1 || die "the built llama-server does not run"

{
    echo "commit=$full_commit"
    echo "short=$commit"
    echo "release=$release_tag"
    echo "source=npm:node-llama-cpp@$NODE_LLAMA_CPP_VERSION/llama/gitRelease.bundle"
    echo "cmake_args=${CMAKE_ARGS[*]}"
    echo "jobs=$JOBS"
    echo "build_seconds=$BUILD_SECONDS"
    echo "built_at=$(date -u +%Y-%m-%dT%H:%M:%SZ)"
} >"$stage/BUILD_INFO"

runtime_install "$stage" "$name"
