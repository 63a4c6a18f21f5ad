#!/usr/bin/env bash
# Configures (once) and builds the tree into build/. Quick when nothing changed.
# whisper.cpp is built once into the dependency cache first (scripts/whisper-runtime.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
whisper_root="$(scripts/whisper-runtime.sh)"
if [ ! -f build/build.ninja ]; then
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE="${CMAKE_BUILD_TYPE:-RelWithDebInfo}" \
        -DQUILLORY_WHISPER_ROOT="$whisper_root"
elif ! grep -qxF "QUILLORY_WHISPER_ROOT:PATH=$whisper_root" build/CMakeCache.txt; then
    cmake -S . -B build -DQUILLORY_WHISPER_ROOT="$whisper_root"
fi
cmake --build build -j"$(nproc)"
