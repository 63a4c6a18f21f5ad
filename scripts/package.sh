#!/usr/bin/env bash
# Installs what is missing, builds, builds the llama-server runtime (once, into the dependency
# cache), and writes the Debian package; prints its path.
#
# Usage: scripts/package.sh [--vulkan]
#   --vulkan   build whisper.cpp's Vulkan variant first (scripts/whisper-runtime.sh --vulkan, once,
#              into the dependency cache; about half an hour on 2 cores), so the package can
#              recognise speech on a GPU. Without it the package carries that variant only when
#              the cache already has it.
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
    "") vulkan=0 ;;
    --vulkan) vulkan=1 ;;
    -h | --help) sed -n '2,9s/^# \{0,1\}//p' "$0"; exit 0 ;;
    *) echo "usage: scripts/package.sh [--vulkan]" >&2; exit 2 ;;
esac
scripts/deps.sh
scripts/build.sh
scripts/llama-runtime.sh >/dev/null
[ "$vulkan" = 0 ] || scripts/whisper-runtime.sh --vulkan >/dev/null
rm -rf build/package
(cd build && cpack -G DEB >&2)
rm -rf build/package/_CPack_Packages
ls "$PWD"/build/package/quillory_*.deb
