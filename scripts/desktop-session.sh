#!/usr/bin/env bash
# Runs one command inside a private headless desktop and tears everything down afterwards.
#
# Usage: scripts/desktop-session.sh [--no-pulse] [--no-tray] [--dark-panel] [--] COMMAND [ARG...]
#
# What the command gets (all of it private to this run, nothing from the caller's session):
#   - fresh XDG folders under a temporary HOME (HOME, XDG_CONFIG_HOME, XDG_DATA_HOME,
#     XDG_CACHE_HOME, XDG_RUNTIME_DIR); the caller's dependency cache is kept reachable through
#     QUILLORY_DEPS_CACHE
#   - Xvfb on a free display (DISPLAY), 1280x800x24, with openbox as the window manager
#   - a tray host (trayer) unless --no-tray: a light panel (the GTK default, #dcdad5), or a dark
#     one (#202124) with --dark-panel; QUILLORY_TEST_PANEL says which (light, dark)
#   - a session D-Bus (DBUS_SESSION_BUS_ADDRESS) with the accessibility bus launcher
#     (QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 so Qt windows expose themselves over AT-SPI)
#   - a PulseAudio server (PULSE_SERVER, its process QUILLORY_TEST_PULSE_PID) whose default source
#     is a pipe fed through QUILLORY_TEST_PIPE_SOURCE (16 kHz mono float32 little-endian), unless
#     --no-pulse
#
# The exit status is the command's. Every process started here is stopped on the way out,
# also when the command fails or the script is interrupted.
set -euo pipefail

with_pulse=1
with_tray=1
panel=light
while [ $# -gt 0 ]; do
    case "$1" in
        --no-pulse) with_pulse=0; shift ;;
        --no-tray) with_tray=0; shift ;;
        --dark-panel) panel=dark; shift ;;
        --) shift; break ;;
        *) break ;;
    esac
done
[ $# -gt 0 ] || { echo "usage: $0 [--no-pulse] [--no-tray] [--dark-panel] [--] COMMAND [ARG...]" >&2; exit 2; }

log() { printf '[desktop-session] %s\n' "$*" >&2; }

root="$(mktemp -d "${TMPDIR:-/tmp}/quillory-desktop.XXXXXX")"
pids=()
cleanup() {
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
    rm -rf "$root"
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# Private homes. The dependency cache stays the caller's (it holds built runtimes).
export QUILLORY_DEPS_CACHE="${QUILLORY_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quillory/deps}"
export HOME="$root/home"
export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share" XDG_CACHE_HOME="$HOME/.cache"
export XDG_RUNTIME_DIR="$root/run"
mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
unset WAYLAND_DISPLAY XDG_SESSION_TYPE SESSION_MANAGER DBUS_SESSION_BUS_ADDRESS PULSE_SERVER
export XDG_SESSION_TYPE=x11 QUILLORY_DESKTOP_SESSION=1

# Xvfb picks a free display itself and writes its number to the given descriptor. The file
# exists before Xvfb starts, so the loop below never races the background job's redirection.
: >"$root/display"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset +extension XInputExtension \
    +extension XTEST 3>"$root/display" >"$root/xvfb.log" 2>&1 &
pids+=($!)
display=""
for _ in $(seq 200); do
    display="$(tr -d '[:space:]' <"$root/display")"
    [ -n "$display" ] && break
    kill -0 "${pids[0]}" 2>/dev/null || { cat "$root/xvfb.log" >&2; log "Xvfb did not start"; exit 1; }
    sleep 0.05
done
[ -n "$display" ] || { log "Xvfb gave no display number"; exit 1; }
export DISPLAY=":$display"

# A session bus for this run, with the accessibility bus launched on demand.
eval "$(dbus-launch --sh-syntax)"
export DBUS_SESSION_BUS_ADDRESS
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 NO_AT_BRIDGE=0
if [ -x /usr/libexec/at-spi-bus-launcher ]; then
    /usr/libexec/at-spi-bus-launcher >"$root/atspi.log" 2>&1 &
    pids+=($!)
fi

openbox --sm-disable >"$root/openbox.log" 2>&1 &
pids+=($!)

if [ "$with_tray" = 1 ] && command -v trayer >/dev/null 2>&1; then
    panel_colours=()
    if [ "$panel" = dark ]; then
        panel_colours=(--transparent true --alpha 0 --tint 0x202124)
    fi
    export QUILLORY_TEST_PANEL="$panel"
    trayer --edge top --align right --widthtype pixel --width 200 --height 24 --SetDockType true \
        "${panel_colours[@]}" >"$root/trayer.log" 2>&1 &
    pids+=($!)
fi

if [ "$with_pulse" = 1 ]; then
    export QUILLORY_TEST_PIPE_SOURCE="$root/mic.pipe"
    export PULSE_RUNTIME_PATH="$XDG_RUNTIME_DIR/pulse"
    mkdir -p "$PULSE_RUNTIME_PATH"
    cat >"$root/pulse.pa" <<EOF
load-module module-native-protocol-unix auth-anonymous=1 socket=$PULSE_RUNTIME_PATH/native
load-module module-null-sink sink_name=quillory_test_sink
load-module module-pipe-source source_name=quillory_test_mic file=$QUILLORY_TEST_PIPE_SOURCE format=float32le rate=16000 channels=1
set-default-source quillory_test_mic
set-default-sink quillory_test_sink
EOF
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
fi

# Wait until the window manager owns the screen so windows get focus the usual way.
for _ in $(seq 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
    sleep 0.05
done

set +e
"$@"
rc=$?
set -e
exit "$rc"
