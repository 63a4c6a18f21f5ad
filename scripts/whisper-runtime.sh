#!/usr/bin/env bash
# Build whisper.cpp once into a per-user cache and reuse it: shared libraries and headers for the
# speech binding, plus `whisper-cli` (the benchmark's reference) and `whisper-quantize` (used by
# scripts/make-sized-whisper-models.sh).
#
# The whisper.cpp sources come from the npm package nodejs-whisper (package/cpp/whisper.cpp),
# because the npm registry and Debian's archive are the only package sources we can rely on.
#
# One build runs on any x86-64 processor: ggml's CPU backend is built as run-time loaded variants
# (GGML_BACKEND_DL; scripts/lib/ggml-cpu-variants.sh: x64, haswell, skylakex, as llama-server's).
# libwhisper and libggml link no CPU code: the program loads the best variant for the processor
# before its first model (quillory from its own folder, see src/Speech/whisper/CpuBackend.cpp;
# whisper.cpp's tools from their own folder, bin/, where the variants are linked too). Every
# binary carries RUNPATH $ORIGIN:$ORIGIN/../lib.
#
# Usage:
#   scripts/whisper-runtime.sh              ensure built; print the prefix (include/, lib/, bin/)
#   scripts/whisper-runtime.sh --print-src  ensure built; print the whisper.cpp source dir
#   scripts/whisper-runtime.sh --check      exit 0 if the cache is complete, 1 if not (builds nothing)
#   scripts/whisper-runtime.sh --vulkan [...]   the same for the Vulkan variant: ggml's Vulkan backend
#                                           (libggml-vulkan.so, GGML_BACKEND_DL) built from the same
#                                           sources with the same options as the runtime above (built
#                                           first when missing), so the libggml-base the program links
#                                           loads it; kept apart in CACHE/whisper-vulkan-<version>-<FLAVOUR>/lib
#                                           (the program loads it from there by choice, never with the
#                                           CPU variants). Needs glslc, libvulkan-dev, spirv-headers
#                                           (and installs mesa-vulkan-drivers: lavapipe, for the tests).
#                                           Opt-in: its shaders take 10-30 minutes on 2 cores.
#   scripts/whisper-runtime.sh --server [...]   whisper.cpp's `whisper-server` (the tests' recognition
#                                           server on loopback), in a cache entry of its own
#                                           (CACHE/whisper-server-<version>-<FLAVOUR>/bin/whisper-server,
#                                           its libraries in lib/) so the library cache every build
#                                           uses stays as it is; the library objects come from
#                                           ccache, so it costs about the server's own sources.
#
# Cache layout (CACHE = ${XDG_CACHE_HOME:-$HOME/.cache}/quillory/deps; FLAVOUR names the CPU
# variants, so a build with another list is never reused):
#   CACHE/whisper-<version>-<FLAVOUR>/include/   whisper.h and the ggml headers
#   CACHE/whisper-<version>-<FLAVOUR>/lib/       libwhisper.so.1, libggml.so.0, libggml-base.so.0 (under
#                                                their SONAMEs) and the libggml-cpu-*.so variants
#   CACHE/whisper-<version>-<FLAVOUR>/bin/       whisper-cli, whisper-quantize, links to the variants
#   CACHE/whisper-<version>-<FLAVOUR>/src/       the whisper.cpp sources (models/ scripts)
#   CACHE/whisper-<version>-<FLAVOUR>/BUILD_INFO version, source, flavour, flags, build time
#   CACHE/whisper-current                        name of the finished dir; written last
#   CACHE/whisper-vulkan-<version>-<FLAVOUR>/lib/libggml-vulkan.so, CACHE/whisper-vulkan-current
#                                                the Vulkan variant (BUILD_INFO names the runtime it fits)
#   CACHE/whisper-server-<version>-<FLAVOUR>/, CACHE/whisper-server-current   whisper-server alone
#
# Only stdout carries the answer; all logs go to stderr.
# Environment: QUILLORY_WHISPER_JOBS (default 2) sets the build parallelism.
set -euo pipefail

NODEJS_WHISPER_VERSION="0.3.1"
WHISPER_VERSION="1.9.1"
RUNTIME="whisper"
VULKAN=0
SERVER=0
if [ "${1:-}" = "--vulkan" ]; then
    VULKAN=1
    RUNTIME="whisper-vulkan"
    shift
elif [ "${1:-}" = "--server" ]; then
    SERVER=1
    RUNTIME="whisper-server"
    shift
fi
. "$(dirname "${BASH_SOURCE[0]}")/lib/ggml-cpu-variants.sh"
FLAVOUR="$CPU_VARIANTS_TAG"
RUNTIME_NAME="$RUNTIME-$WHISPER_VERSION-$FLAVOUR"
RUNTIME_PRINTS=""
. "$(dirname "${BASH_SOURCE[0]}")/lib/runtime-cache.sh"

# The shared libraries every flavour carries in lib/, under their SONAMEs (beside the variants).
WHISPER_LIBS=(libwhisper.so.1 libggml.so.0 libggml-base.so.0)

runtime_complete() {
    local dir="$1" f
    grep -qx "flavour=$FLAVOUR" "$dir/BUILD_INFO" 2>/dev/null || return 1
    if [ "$VULKAN" = 1 ]; then
        grep -qx "version=$WHISPER_VERSION" "$dir/BUILD_INFO" && [ -f "$dir/lib/libggml-vulkan.so" ]
        return
    fi
    cpu_variants_present "$dir/lib" && cpu_variants_present "$dir/bin" || return 1
    for f in "${WHISPER_LIBS[@]}"; do
        [ -f "$dir/lib/$f" ] || return 1
    done
    if [ "$SERVER" = 1 ]; then
        [ -x "$dir/bin/whisper-server" ]
        return
    fi
    [ -f "$dir/include/whisper.h" ] && [ -f "$dir/include/ggml.h" ] \
        && [ -x "$dir/bin/whisper-cli" ] && [ -x "$dir/bin/whisper-quantize" ]
}

runtime_start "$@"
ensure_debian_packages ca-certificates cmake make g++ tar gzip
if [ "$VULKAN" = 1 ]; then
    . "$(dirname "${BASH_SOURCE[0]}")/lib/ggml-vulkan.sh"
    vulkan_build_packages
    # The backend is loaded by the runtime's own libggml-base: that runtime comes first.
    cpu_runtime="$("$(dirname "${BASH_SOURCE[0]}")/whisper-runtime.sh")" || die "the CPU runtime could not be built"
fi
ensure_npm

package="$(npm_unpack nodejs-whisper "$NODEJS_WHISPER_VERSION")"
src="$package/cpp/whisper.cpp"
[ -f "$src/include/whisper.h" ] || die "nodejs-whisper@$NODEJS_WHISPER_VERSION has no cpp/whisper.cpp/include/whisper.h"
grep -q "project(\"whisper.cpp\" VERSION $WHISPER_VERSION)" "$src/CMakeLists.txt" \
    || die "nodejs-whisper@$NODEJS_WHISPER_VERSION does not carry whisper.cpp $WHISPER_VERSION"
grep -q 'whisper_vad_init_from_file_with_params' "$src/include/whisper.h" \
    || die "this whisper.cpp has no Silero VAD API"

cpu_variants_restrict "$src/ggml/src/CMakeLists.txt"
[ "$VULKAN" = 0 ] || vulkan_guard_layer_settings "$src/ggml/src/ggml-vulkan/ggml-vulkan.cpp"

CMAKE_ARGS=(
    -DCMAKE_BUILD_TYPE=Release
    "${CPU_VARIANTS_CMAKE_ARGS[@]}"
    "-DCMAKE_INSTALL_RPATH=\$ORIGIN:\$ORIGIN/../lib"
    -DCMAKE_BUILD_WITH_INSTALL_RPATH=ON
    -DGGML_OPENMP=OFF
    -DGGML_CCACHE=OFF
    -DWHISPER_BUILD_TESTS=OFF
    -DWHISPER_BUILD_SERVER="$([ "$SERVER" = 1 ] && echo ON || echo OFF)"
    -DWHISPER_BUILD_EXAMPLES=ON
    -DWHISPER_SDL2=OFF
    -DWHISPER_CURL=OFF
    -DWHISPER_COREML=OFF
    -DWHISPER_OPENVINO=OFF
)
[ "$VULKAN" = 0 ] || CMAKE_ARGS+=(-DGGML_VULKAN=ON)
stage="$WORK/stage"

# Copies the libraries (lib/) and the tools (bin/, with links to the variants ggml looks for in the
# program's folder); checks that each tool has the RUNPATH and finds its libraries, and that the
# first one runs.
stage_binaries() {
    local exe lib v
    mkdir -p "$stage/bin"
    cpu_variants_copy_libs "$(dirname "$(built_file "libggml-cpu-${CPU_VARIANTS[0]}.so")")" "$stage/lib"
    for lib in "${WHISPER_LIBS[@]}"; do
        [ -f "$stage/lib/$lib" ] || die "the build has no $lib"
    done
    for v in "${CPU_VARIANTS[@]}"; do
        ln -s "../lib/libggml-cpu-$v.so" "$stage/bin/libggml-cpu-$v.so"
    done
    for exe in "$@"; do
        cp "$(built_file "$exe" -perm -u+x)" "$stage/bin/"
        readelf -d "$stage/bin/$exe" | grep -q 'R.*PATH.*\$ORIGIN/../lib' || die "$exe lacks RUNPATH \$ORIGIN/../lib"
        ! ldd "$stage/bin/$exe" | grep 'not found' >&2 || die "$exe misses libraries"
    done
    # whisper-cli and whisper-server answer --help with success (whisper-quantize with its usage
    # and a failure).
    "$stage/bin/$1" --help >/dev/null 2>&1 || die "the built $1 does not run"
}

write_build_info() {
    {
        echo "version=$WHISPER_VERSION"
        echo "source=npm:nodejs-whisper@$NODEJS_WHISPER_VERSION/cpp/whisper.cpp"
        echo "flavour=$FLAVOUR"
        echo "cpu_variants=${CPU_VARIANTS[*]}"
        echo "cmake_args=${CMAKE_ARGS[*]}"
        echo "jobs=$JOBS"
        echo "build_seconds=$BUILD_SECONDS"
        echo "build_cpu_seconds=$BUILD_CPU_SECONDS"
        echo "built_at=$(date -u +%Y-%m-%dT%H:%M:%SZ)"
    } >"$stage/BUILD_INFO"
}

if [ "$SERVER" = 1 ]; then
    cmake_build "$src" whisper-server "${CPU_VARIANT_TARGETS[@]}"
    stage_binaries whisper-server
    write_build_info
    runtime_install "$stage" "$RUNTIME_NAME"
    exit 0
fi
if [ "$VULKAN" = 1 ]; then
    # Only the backend module (and the libggml-base it links, from ccache): the program keeps the
    # runtime's libggml-base, which must define every ggml symbol the module takes from it.
    cmake_build "$src" ggml-vulkan
    mkdir -p "$stage/lib"
    cp "$(built_file libggml-vulkan.so)" "$stage/lib/libggml-vulkan.so"
    base="$cpu_runtime/lib/libggml-base.so.0"
    vulkan_check_module "$stage/lib/libggml-vulkan.so" "$base"
    write_build_info
    {
        echo "cpu_runtime=$(basename "$cpu_runtime")"
        echo "same_ggml_base=$(vulkan_same_base "$base")"
    } >>"$stage/BUILD_INFO"
    runtime_install "$stage" "$RUNTIME_NAME"
    exit 0
fi
targets=(whisper whisper-cli whisper-quantize "${CPU_VARIANT_TARGETS[@]}")
cmake_build "$src" "${targets[@]}"
stage_binaries whisper-cli whisper-quantize

mkdir -p "$stage/include"
cp "$src/include/whisper.h" "$stage/include/"
cp "$src"/ggml/include/*.h "$stage/include/"
# Keep the sources small: the model scripts and the headers are what later steps read.
mkdir -p "$stage/src"
cp -r "$src/models" "$src/include" "$src/LICENSE" "$stage/src/"
write_build_info
runtime_install "$stage" "$RUNTIME_NAME"
