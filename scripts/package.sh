#!/usr/bin/env bash
# Installs what is missing, builds, builds the llama-server runtime (once, into the dependency
# cache), and writes the Debian package; prints its path.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh
scripts/llama-runtime.sh >/dev/null
rm -rf build/package
(cd build && cpack -G DEB >&2)
rm -rf build/package/_CPack_Packages
ls "$PWD"/build/package/quillory_*.deb
