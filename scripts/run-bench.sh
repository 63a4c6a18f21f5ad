#!/usr/bin/env bash
# Builds and runs every benchmark (or the ones named: bench_diagnostics ...), printing figures.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh
if [ $# -gt 0 ]; then
    benches=("$@")
else
    mapfile -t benches < <(find build/bench -maxdepth 1 -type f -executable -name 'bench_*' -printf '%f\n' | sort)
fi
for b in "${benches[@]}"; do
    echo "== $b =="
    "build/bench/$b"
done
