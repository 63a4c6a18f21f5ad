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
RUNTIME="whisper"
RUNTIME_NAME="whisper-$WHISPER_VERSION"
RUNTIME_PRINTS=""
. "$(dirname "${BASH_SOURCE[0]}")/lib/runtime-cache.sh"

runtime_complete() {
    local dir="$1"
    [ -f "$dir/include/whisper.h" ] && [ -f "$dir/include/ggml.h" ] \
        && [ -f "$dir/lib/libwhisper.a" ] && [ -f "$dir/lib/libggml.a" ] \
        && [ -f "$dir/lib/libggml-base.a" ] && [ -f "$dir/lib/libggml-cpu.a" ] \
        && [ -x "$dir/bin/whisper-cli" ] && [ -x "$dir/bin/whisper-quantize" ] \
        && [ -f "$dir/BUILD_INFO" ]
}

runtime_start "$@"
ensure_debian_packages ca-certificates cmake make g++ tar gzip
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
    -DWHISPER_BUILD_SERVER=OFF
    -DWHISPER_BUILD_EXAMPLES=ON
    -DWHISPER_SDL2=OFF
    -DWHISPER_CURL=OFF
    -DWHISPER_COREML=OFF
    -DWHISPER_OPENVINO=OFF
)
cmake_build "$src" whisper whisper-cli whisper-quantize

stage="$WORK/stage"
mkdir -p "$stage/include" "$stage/lib" "$stage/bin"
cp "$src/include/whisper.h" "$stage/include/"
cp "$src"/ggml/include/*.h "$stage/include/"
for lib in whisper ggml ggml-base ggml-cpu; do
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
