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
#   scripts/llama-runtime.sh --vulkan [--check]   the same for the Vulkan variant: a copy of the runtime's
#                                         bin/ above (built first when missing) with ggml's Vulkan
#                                         backend beside it (libggml-vulkan.so, built from the same
#                                         source with the same options, checked against the copy's
#                                         libggml-base), in CACHE/llama-vulkan-<commit>-<FLAVOUR>/bin.
#                                         llama-server loads every backend module it finds in its own
#                                         folder (ggml_backend_load_all: the executable's folder, then
#                                         the current one), so the CPU runtime keeps no Vulkan module
#                                         and runs as before. Needs what whisper-runtime.sh --vulkan
#                                         needs (scripts/lib/ggml-vulkan.sh). Opt-in: shaders take long.
#
# One build runs on any x86-64 processor: ggml is built as shared libraries with its CPU backend
# as run-time loaded variants (scripts/lib/ggml-cpu-variants.sh: x64, haswell, skylakex), and
# llama-server loads the best one the processor supports from its own folder (then from the
# current folder). The binaries carry RUNPATH $ORIGIN, so the folder can be copied as a whole
# anywhere.
#
# Cache layout (CACHE = ${XDG_CACHE_HOME:-$HOME/.cache}/quillory/deps; FLAVOUR names the
# variants and the compiler, so a build of another flavour is never reused):
#   CACHE/llama-<commit>-<FLAVOUR>/bin/     llama-server, its lib*.so and the libggml-cpu-*.so variants
#   CACHE/llama-<commit>-<FLAVOUR>/src/     the llama.cpp checkout (gguf-py, models/, docs)
#   CACHE/llama-<commit>-<FLAVOUR>/BUILD_INFO   commit, release tag, flavour, flags, build time
#   CACHE/llama-current                     name of the finished dir; written last
#   CACHE/llama-vulkan-<commit>-<FLAVOUR>/bin/, CACHE/llama-vulkan-current   the Vulkan variant
#                                           (BUILD_INFO names the CPU runtime it was copied from)
#
# Only stdout carries the answer; all logs go to stderr.
# Environment: QUILLORY_LLAMA_JOBS (default 2) sets the build parallelism;
# QUILLORY_LLAMA_COMPILER=gcc|clang overrides the compiler (a flavour of its own).
set -euo pipefail

NODE_LLAMA_CPP_VERSION="3.21.1"
RUNTIME="llama"
VULKAN=0
if [ "${1:-}" = "--vulkan" ]; then
    VULKAN=1
    RUNTIME="llama-vulkan"
    shift
    # Its cache entry keeps no source: the CPU runtime's is the one it was built from.
    [ "${1:-}" != --print-src ] || { echo "--vulkan keeps no source: use --print-src alone" >&2; exit 2; }
fi
RUNTIME_NAME="" # RUNTIME-<commit>-<flavour>: the commit is known once the bundle is cloned
RUNTIME_PRINTS="bin"
# The CPU backend variants (CPU_VARIANTS, the baseline first). Changing the list or the compiler
# changes FLAVOUR and so the cache entry.
. "$(dirname "${BASH_SOURCE[0]}")/lib/ggml-cpu-variants.sh"
LLAMA_COMPILER="${QUILLORY_LLAMA_COMPILER:-clang}"
case "$LLAMA_COMPILER" in
    clang) CC_BIN=clang-14 CXX_BIN=clang++-14 COMPILER_TAG=clang14 ;;
    gcc) CC_BIN=gcc CXX_BIN=g++ COMPILER_TAG=gcc ;;
    *) echo "QUILLORY_LLAMA_COMPILER must be gcc or clang" >&2; exit 2 ;;
esac
FLAVOUR="$CPU_VARIANTS_TAG-$COMPILER_TAG"
. "$(dirname "${BASH_SOURCE[0]}")/lib/runtime-cache.sh"

runtime_complete() {
    local dir="$1"
    if [ "$VULKAN" = 1 ]; then
        [ -x "$dir/bin/llama-server" ] && [ -f "$dir/bin/libggml-vulkan.so" ] \
            && grep -qx "flavour=$FLAVOUR" "$dir/BUILD_INFO" 2>/dev/null \
            && grep -qx "source=$LLAMA_SOURCE" "$dir/BUILD_INFO" \
            && cpu_variants_present "$dir/bin"
        return
    fi
    [ -x "$dir/bin/llama-server" ] && [ -d "$dir/src/gguf-py/gguf" ] \
        && [ -f "$dir/src/models/ggml-vocab-qwen2.gguf" ] \
        && grep -qx "flavour=$FLAVOUR" "$dir/BUILD_INFO" 2>/dev/null \
        && cpu_variants_present "$dir/bin"
}

LLAMA_SOURCE="npm:node-llama-cpp@$NODE_LLAMA_CPP_VERSION/llama/gitRelease.bundle"

runtime_start "$@"
if [ "$VULKAN" = 1 ]; then
    . "$(dirname "${BASH_SOURCE[0]}")/lib/ggml-vulkan.sh"
    vulkan_build_packages
    # The module is loaded by the runtime's own libggml-base: that runtime comes first, and its
    # source checkout is the one built again (a copy: the Vulkan build edits ggml-vulkan.cpp).
    cpu_bin="$("$(dirname "${BASH_SOURCE[0]}")/llama-runtime.sh")" || die "the CPU runtime could not be built"
    cpu_runtime="$(dirname "$cpu_bin")"
fi
compiler_package=g++
[ "$LLAMA_COMPILER" = gcc ] || compiler_package=clang-14
ensure_debian_packages ca-certificates git cmake make g++ $compiler_package binutils pkg-config python3 python3-numpy python3-yaml tar gzip
stage="$WORK/stage"
if [ "$VULKAN" = 0 ]; then
    ensure_npm

    package="$(npm_unpack node-llama-cpp "$NODE_LLAMA_CPP_VERSION")"
    bundle="$package/llama/gitRelease.bundle"
    [ -f "$bundle" ] || die "node-llama-cpp@$NODE_LLAMA_CPP_VERSION has no llama/gitRelease.bundle"
    release_tag=""
    if [ -f "$package/llama/llama.cpp.info.json" ]; then
        release_tag="$(sed -n 's/.*"tag"[[:space:]]*:[[:space:]]*"\([^"]*\)".*/\1/p' \
            "$package/llama/llama.cpp.info.json" | head -n1)"
    fi

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
else
    # The same path as the CPU build's, so that ccache serves libggml-base again.
    log "copying the llama.cpp source of $cpu_runtime"
    mkdir -p "$stage"
    cp -a "$cpu_runtime/src" "$stage/src"
    commit="$(sed -n 's/^short=//p' "$cpu_runtime/BUILD_INFO")"
    full_commit="$(sed -n 's/^commit=//p' "$cpu_runtime/BUILD_INFO")"
    release_tag="$(sed -n 's/^release=//p' "$cpu_runtime/BUILD_INFO")"
    [ -n "$commit" ] || die "$cpu_runtime/BUILD_INFO names no commit"
fi
name="$RUNTIME-$commit-$FLAVOUR"
final="$CACHE_ROOT/$name"
log "llama.cpp commit $full_commit${release_tag:+ (release $release_tag)}, flavour $FLAVOUR"

# Someone already finished this commit but the stamp was lost: reuse it.
if runtime_complete "$final"; then
    log "found an existing build in $final"
    runtime_write_stamp "$name"
    runtime_emit "$final"
    exit 0
fi

for f in gguf-py/gguf/__init__.py models/ggml-vocab-qwen2.gguf; do
    [ -e "$stage/src/$f" ] || die "llama.cpp source lacks $f"
done

cpu_variants_restrict "$stage/src/ggml/src/CMakeLists.txt"
[ "$VULKAN" = 0 ] || vulkan_guard_layer_settings "$stage/src/ggml/src/ggml-vulkan/ggml-vulkan.cpp"

CMAKE_ARGS=(
    -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_C_COMPILER="$CC_BIN"
    -DCMAKE_CXX_COMPILER="$CXX_BIN"
    "${CPU_VARIANTS_CMAKE_ARGS[@]}"
    "-DCMAKE_INSTALL_RPATH=\$ORIGIN"
    -DCMAKE_BUILD_WITH_INSTALL_RPATH=ON
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
if [ "$VULKAN" = 1 ]; then
    # Only the backend module (and the libggml-base it links, from ccache), beside a copy of the
    # CPU runtime's folder: llama-server keeps that runtime's libggml-base, which loads it.
    CMAKE_ARGS+=(-DGGML_VULKAN=ON)
    cmake_build "$stage/src" ggml-vulkan
    rm -rf "$stage/src"
    cp -a "$cpu_bin" "$stage/bin"
    cp "$(built_file libggml-vulkan.so)" "$stage/bin/libggml-vulkan.so"
    vulkan_check_module "$stage/bin/libggml-vulkan.so" "$stage/bin/libggml-base.so.0"
else
    cmake_build "$stage/src" llama-server "${CPU_VARIANT_TARGETS[@]}"
    server="$(built_file llama-server -perm -u+x)"
    cp "$server" "$stage/bin/llama-server"
    cpu_variants_copy_libs "$(dirname "$server")" "$stage/bin"
fi
readelf -d "$stage/bin/llama-server" | grep -q 'R.*PATH.*\$ORIGIN' || die "llama-server lacks RUNPATH \$ORIGIN"
"$stage/bin/llama-server" --version >/dev/null 2>&1 || die "the built llama-server does not run"

{
    echo "commit=$full_commit"
    echo "short=$commit"
    echo "release=$release_tag"
    echo "source=$LLAMA_SOURCE"
    echo "flavour=$FLAVOUR"
    echo "cpu_variants=${CPU_VARIANTS[*]}"
    echo "compiler=$("$CXX_BIN" --version | head -n1)"
    echo "cmake_args=${CMAKE_ARGS[*]}"
    echo "jobs=$JOBS"
    echo "build_seconds=$BUILD_SECONDS"
    echo "build_cpu_seconds=$BUILD_CPU_SECONDS"
    echo "built_at=$(date -u +%Y-%m-%dT%H:%M:%SZ)"
    if [ "$VULKAN" = 1 ]; then
        echo "cpu_runtime=$(basename "$cpu_runtime")"
        echo "same_ggml_base=$(vulkan_same_base "$stage/bin/libggml-base.so.0")"
    fi
} >"$stage/BUILD_INFO"

runtime_install "$stage" "$name"
