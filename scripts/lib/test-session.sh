# shellcheck shell=bash
# What the private test desktops (desktop-, wayland-, kwin- and gnome-session.sh) share: sourced, never
# run. The sourcing script defines `log` first.
#   session_begin PREFIX [LOG...]
#                             a temporary root ($root) under TMPDIR, the list of started
#                             processes ($pids, stopped in reverse order on exit: 2 s to go, then
#                             SIGKILL), the exit traps, private XDG homes under it, and none of the
#                             caller's desktop (display, bus, audio server and toolkit variables);
#                             the caller's dependency cache stays reachable through
#                             QUILLORY_DEPS_CACHE. After a failed run the last lines of each LOG
#                             (a file name under $root) are shown before the root is removed.
#   session_bus               a session D-Bus for this run, with the accessibility bus launcher
#   session_pipe_microphone   PulseAudio whose default source is the pipe QUILLORY_TEST_PIPE_SOURCE
#                             (16 kHz mono float32le); its process is QUILLORY_TEST_PULSE_PID

session_cleanup() {
    local rc=$?
    trap - EXIT INT TERM HUP
    local i
    for (( i=${#pids[@]}-1; i>=0; i-- )); do
        kill "${pids[$i]}" 2>/dev/null || true
    done
    for (( i=${#pids[@]}-1; i>=0; i-- )); do
        # Up to 2 s for a polite exit, then SIGKILL.
        for _ in $(seq 20); do kill -0 "${pids[$i]}" 2>/dev/null || break; sleep 0.1; done
        kill -9 "${pids[$i]}" 2>/dev/null || true
    done
    if [ -n "${DBUS_SESSION_BUS_PID:-}" ]; then kill "$DBUS_SESSION_BUS_PID" 2>/dev/null || true; fi
    session_stop_leftovers
    if [ "$rc" -ne 0 ]; then
        local f
        for f in "${session_logs[@]}"; do
            if [ -s "$root/$f" ]; then
                log "$f (last lines):" || true
                tail -n 20 "$root/$f" >&2 || true
            fi
        done
    fi
    if ! rm -rf "$root" 2>/dev/null; then
        log "could not remove all of $root" || true
    fi
    exit "$rc"
}

# What the bus started on demand (the portals, the document portal with its FUSE mount under
# $XDG_RUNTIME_DIR/doc, …) outlives the bus: every process whose environment names this
# session's runtime folder is stopped, then whatever is still mounted under the root is
# unmounted, so nothing of the session stays behind.
session_stop_leftovers() {
    [ -n "${root:-}" ] || return 0
    local signal left p m alive
    for signal in TERM KILL; do
        left=()
        for p in $(grep -lzxF "XDG_RUNTIME_DIR=$root/run" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3); do
            [ "$p" = "$$" ] || left+=("$p")
        done
        [ "${#left[@]}" -gt 0 ] || break
        kill "-$signal" "${left[@]}" 2>/dev/null || true
        # Up to 2 s for them to go.
        for _ in $(seq 20); do
            alive=0
            for p in "${left[@]}"; do
                if kill -0 "$p" 2>/dev/null; then alive=1; break; fi
            done
            [ "$alive" = 1 ] || break
            sleep 0.1
        done
    done
    while read -r m; do
        fusermount3 -uz "$m" 2>/dev/null || fusermount -uz "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || true
    done < <(awk -v r="$root/" 'index($2, r) == 1 { print $2 }' /proc/self/mounts)
}

session_begin() {
    root="$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")"
    shift
    session_logs=("$@")
    pids=()
    trap session_cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    trap 'exit 129' HUP

    # Nothing of the caller's desktop: each session script sets what its own desktop has.
    unset DISPLAY XAUTHORITY WAYLAND_DISPLAY SWAYSOCK XDG_SESSION_TYPE XDG_CURRENT_DESKTOP SESSION_MANAGER \
        DBUS_SESSION_BUS_ADDRESS PULSE_SERVER QT_QPA_PLATFORM GDK_BACKEND GSETTINGS_BACKEND KDE_FULL_SESSION
    export QUILLORY_DESKTOP_SESSION=1

    # Private homes. The dependency cache stays the caller's (it holds built runtimes).
    export QUILLORY_DEPS_CACHE="${QUILLORY_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quillory/deps}"
    export HOME="$root/home"
    export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share" XDG_CACHE_HOME="$HOME/.cache"
    export XDG_RUNTIME_DIR="$root/run"
    mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR"
    chmod 700 "$XDG_RUNTIME_DIR"
}

session_bus() {
    eval "$(dbus-launch --sh-syntax)"
    export DBUS_SESSION_BUS_ADDRESS
    export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 NO_AT_BRIDGE=0
    if [ -x /usr/libexec/at-spi-bus-launcher ]; then
        /usr/libexec/at-spi-bus-launcher >"$root/atspi.log" 2>&1 &
        pids+=($!)
    fi
}

session_pipe_microphone() {
    export QUILLORY_TEST_PIPE_SOURCE="$root/mic.pipe"
    export PULSE_RUNTIME_PATH="$XDG_RUNTIME_DIR/pulse"
    mkdir -p "$PULSE_RUNTIME_PATH"
    cat >"$root/pulse.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 socket=$PULSE_RUNTIME_PATH/native
load-module module-null-sink sink_name=quillory_test_sink
load-module module-pipe-source source_name=quillory_test_mic file=$QUILLORY_TEST_PIPE_SOURCE format=float32le rate=16000 channels=1
set-default-source quillory_test_mic
set-default-sink quillory_test_sink
PA
    pulseaudio --daemonize=no --exit-idle-time=-1 --disallow-exit -n -F "$root/pulse.pa" \
        --log-target=file:"$root/pulse.log" --system=false >/dev/null 2>&1 &
    pids+=($!)
    # A test may stop the server mid-dictation (a sound server that dies under the user).
    export QUILLORY_TEST_PULSE_PID="${pids[-1]}"
    export PULSE_SERVER="unix:$PULSE_RUNTIME_PATH/native"
    for _ in $(seq 100); do
        pactl info >/dev/null 2>&1 && break
        kill -0 "${pids[-1]}" 2>/dev/null || { cat "$root/pulse.log" >&2 || true; log "PulseAudio did not start"; exit 1; }
        sleep 0.05
    done
    pactl info >/dev/null 2>&1 || { log "PulseAudio did not answer"; exit 1; }
}
