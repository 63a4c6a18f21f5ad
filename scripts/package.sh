#!/usr/bin/env bash
# Installs what is missing, builds, builds the llama-server runtime (once, into the dependency
# cache), and writes the Debian package; prints its path.
#
# Usage: scripts/package.sh [--vulkan]
#   --vulkan   build the Vulkan variants of whisper.cpp and of llama-server first
#              (scripts/whisper-runtime.sh --vulkan and scripts/llama-runtime.sh --vulkan, once, into
#              the dependency cache; 12-29 and about 15 minutes on 2 cores), so the package can
#              recognise speech and polish text on a GPU. Without it the package carries each
#              variant only when the cache already has it.
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
    "") vulkan=0 ;;
    --vulkan) vulkan=1 ;;
    -h | --help) sed -n '2,10s/^# \{0,1\}//p' "$0"; exit 0 ;;
    *) echo "usage: scripts/package.sh [--vulkan]" >&2; exit 2 ;;
esac
scripts/deps.sh
scripts/build.sh
scripts/llama-runtime.sh >/dev/null
if [ "$vulkan" = 1 ]; then
    scripts/whisper-runtime.sh --vulkan >/dev/null
    scripts/llama-runtime.sh --vulkan >/dev/null
fi
rm -rf build/package
(cd build && cpack -G DEB >&2)
rm -rf build/package/_CPack_Packages
ls "$PWD"/build/package/quillory_*.deb
