# shellcheck shell=bash
# Shared by the scripts: sourced, never run. Set LOG_TAG before sourcing to name the script in logs.
#   log MESSAGE...                 one line on stderr, "[LOG_TAG] MESSAGE"
#   die MESSAGE...                 log "error: MESSAGE" and exit 2
#   QUILLORY_DEPS_CACHE            ${XDG_CACHE_HOME:-$HOME/.cache}/quillory/deps (the dependency cache)
#   PYTHON                         Debian's python3 (the one with python3-numpy), else the first on PATH
#   debian_missing PACKAGE...      prints the packages that are not installed, one a line
#   ensure_debian_packages PACKAGE...   installs the missing ones (apt-get, through sudo when not root)
#   ensure_npm                     npm on PATH, else Debian's npm (a nodejs build may bundle its own)

: "${LOG_TAG:=quillory}"
QUILLORY_DEPS_CACHE="${XDG_CACHE_HOME:-$HOME/.cache}/quillory/deps"
PYTHON=/usr/bin/python3
[ -x "$PYTHON" ] || PYTHON="$(command -v python3 || echo python3)"

log() { printf '[%s] %s\n' "$LOG_TAG" "$*" >&2; }
die() { log "error: $*"; exit 2; }

debian_missing() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || printf '%s\n' "$p"
    done
}

ensure_debian_packages() {
    local missing=()
    mapfile -t missing < <(debian_missing "$@")
    [ "${#missing[@]}" -eq 0 ] && return 0
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null 2>&1 || die "missing packages (${missing[*]}) and not root; install them first"
        sudo=(sudo)
    fi
    log "installing Debian packages: ${missing[*]}"
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q >&2
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
}

ensure_npm() {
    command -v npm >/dev/null 2>&1 || ensure_debian_packages npm
}
