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
#   scripts/whisper-runtime.sh --vulkan [...]   the same for the Vulkan variant (GGML_VULKAN=ON: also
#                                           libggml-vulkan.a; needs glslc, libvulkan-dev, spirv-headers
#                                           and Vulkan headers 1.3.261 or newer: Debian 12's 1.3.239
#                                           are refused), kept apart in CACHE/whisper-vulkan-<version>.
#                                           Opt-in: its cold build takes over half an hour on 2 cores.
#   scripts/whisper-runtime.sh --server [...]   whisper.cpp's `whisper-server` (the tests' recognition
#                                           server on loopback), in a cache entry of its own
#                                           (CACHE/whisper-server-<version>/bin/whisper-server) so the
#                                           library cache every build uses stays as it is; the
#                                           library objects come from ccache, so it costs about the
#                                           server's own sources.
#
# Cache layout (CACHE = ${XDG_CACHE_HOME:-$HOME/.cache}/quillory/deps):
#   CACHE/whisper-<version>/include/        whisper.h and the ggml headers
#   CACHE/whisper-<version>/lib/            libwhisper.a, libggml*.a (CPU only)
#   CACHE/whisper-<version>/bin/            whisper-cli, whisper-quantize
#   CACHE/whisper-<version>/src/            the whisper.cpp sources (models/ scripts)
#   CACHE/whisper-<version>/BUILD_INFO      version, source, flags, build time
#   CACHE/whisper-current                   name of the finished dir; written last
#   CACHE/whisper-vulkan-<version>/, CACHE/whisper-vulkan-current   the Vulkan variant
#   CACHE/whisper-server-<version>/, CACHE/whisper-server-current   whisper-server alone
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
RUNTIME_NAME="$RUNTIME-$WHISPER_VERSION"
RUNTIME_PRINTS=""
. "$(dirname "${BASH_SOURCE[0]}")/lib/runtime-cache.sh"

runtime_complete() {
    local dir="$1"
    if [ "$SERVER" = 1 ]; then
        [ -x "$dir/bin/whisper-server" ] && [ -f "$dir/BUILD_INFO" ]
        return
    fi
    [ -f "$dir/include/whisper.h" ] && [ -f "$dir/include/ggml.h" ] \
        && [ -f "$dir/lib/libwhisper.a" ] && [ -f "$dir/lib/libggml.a" ] \
        && [ -f "$dir/lib/libggml-base.a" ] && [ -f "$dir/lib/libggml-cpu.a" ] \
        && [ -x "$dir/bin/whisper-cli" ] && [ -x "$dir/bin/whisper-quantize" ] \
        && [ -f "$dir/BUILD_INFO" ] \
        && { [ "$VULKAN" = 0 ] || [ -f "$dir/lib/libggml-vulkan.a" ]; }
}

runtime_start "$@"
ensure_debian_packages ca-certificates cmake make g++ tar gzip
if [ "$VULKAN" = 1 ]; then
    ensure_debian_packages glslc libvulkan-dev spirv-headers
    # ggml-vulkan uses VK_EXT_layer_settings (headers 1.3.261 on); fail now, not after the half
    # hour the shaders take.
    vk_headers="$(sed -n 's/^#define VK_HEADER_VERSION \([0-9]*\)$/\1/p' /usr/include/vulkan/vulkan_core.h 2>/dev/null)"
    [ "${vk_headers:-0}" -ge 261 ] \
        || die "the Vulkan variant needs Vulkan headers 1.3.261 or newer; this system has 1.3.${vk_headers:-?}"
fi
ensure_npm

package="$(npm_unpack nodejs-whisper "$NODEJS_WHISPER_VERSION")"
src="$package/cpp/whisper.cpp"
[ -f "$src/include/whisper.h" ] || die "nodejs-whisper@$NODEJS_WHISPER_VERSION has no cpp/whisper.cpp/include/whisper.h"
grep -q "project(\"whisper.cpp\" VERSION $WHISPER_VERSION)" "$src/CMakeLists.txt" \
    || die "nodejs-whisper@$NODEJS_WHISPER_VERSION does not carry whisper.cpp $WHISPER_VERSION"
grep -q 'whisper_vad_init_from_file_with_params' "$src/include/whisper.h" \
    || die "this whisper.cpp has no Silero VAD API"

CMAKE_ARGS=(
    -DCMAKE_BUILD_TYPE=Release
    -DBUILD_SHARED_LIBS=OFF
    -DCMAKE_POSITION_INDEPENDENT_CODE=ON
    -DGGML_NATIVE=OFF
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
if [ "$SERVER" = 1 ]; then
    cmake_build "$src" whisper-server
    mkdir -p "$stage/bin"
    cp "$(built_file whisper-server -perm -u+x)" "$stage/bin/"
    "$stage/bin/whisper-server" --help >/dev/null 2>&1 || die "the built whisper-server does not run"
    {
        echo "version=$WHISPER_VERSION"
        echo "source=npm:nodejs-whisper@$NODEJS_WHISPER_VERSION/cpp/whisper.cpp"
        echo "cmake_args=${CMAKE_ARGS[*]}"
        echo "build_seconds=$BUILD_SECONDS"
        echo "built_at=$(date -u +%Y-%m-%dT%H:%M:%SZ)"
    } >"$stage/BUILD_INFO"
    runtime_install "$stage" "$RUNTIME_NAME"
    exit 0
fi
cmake_build "$src" whisper whisper-cli whisper-quantize

mkdir -p "$stage/include" "$stage/lib" "$stage/bin"
cp "$src/include/whisper.h" "$stage/include/"
cp "$src"/ggml/include/*.h "$stage/include/"
libs=(whisper ggml ggml-base ggml-cpu)
[ "$VULKAN" = 0 ] || libs+=(ggml-vulkan)
for lib in "${libs[@]}"; do
    cp "$(built_file "lib$lib.a")" "$stage/lib/"
done
for exe in whisper-cli whisper-quantize; do
    cp "$(built_file "$exe" -perm -u+x)" "$stage/bin/"
done
"$stage/bin/whisper-cli" --help >/dev/null 2>&1 || die "the built whisper-cli does not run"
# Keep the sources small: the model scripts and the headers are what later steps read.
mkdir -p "$stage/src"
cp -r "$src/models" "$src/include" "$src/LICENSE" "$stage/src/"

{
    echo "version=$WHISPER_VERSION"
    echo "source=npm:nodejs-whisper@$NODEJS_WHISPER_VERSION/cpp/whisper.cpp"
    echo "cmake_args=${CMAKE_ARGS[*]}"
    echo "jobs=$JOBS"
    echo "build_seconds=$BUILD_SECONDS"
    echo "built_at=$(date -u +%Y-%m-%dT%H:%M:%SZ)"
} >"$stage/BUILD_INFO"

runtime_install "$stage" "$RUNTIME_NAME"
