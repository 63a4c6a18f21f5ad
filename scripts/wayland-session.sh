#!/usr/bin/env bash
# Runs one command inside a private headless Wayland desktop (sway) and tears everything down
# afterwards.
#
# Usage: scripts/wayland-session.sh [--no-pulse] [--seat-keyboard PROGRAM] [--] COMMAND [ARG...]
#
# What the command gets (all of it private to this run, nothing from the caller's session):
#   - fresh XDG folders under a temporary HOME (HOME, XDG_CONFIG_HOME, XDG_DATA_HOME,
#     XDG_CACHE_HOME, XDG_RUNTIME_DIR); the caller's dependency cache is kept reachable through
#     QUILLORY_DEPS_CACHE
#   - sway on the headless backend (software rendering, one 1280x800 output, no input devices)
#     as WAYLAND_DISPLAY, its IPC socket as SWAYSOCK, XDG_SESSION_TYPE=wayland and
#     XDG_CURRENT_DESKTOP=sway; XWayland is started on demand and its display is DISPLAY
#   - PROGRAM of --seat-keyboard, started once sway runs and kept running: it should plug a
#     virtual keyboard into the seat and stay (GTK 3 windows get keyboard focus only while the
#     seat has a keyboard, and a headless compositor reads no real one)
#   - a session D-Bus (DBUS_SESSION_BUS_ADDRESS) with the accessibility bus launcher
#   - a PulseAudio server with a pipe microphone (QUILLORY_TEST_PIPE_SOURCE, QUILLORY_TEST_PULSE_PID,
#     as in scripts/desktop-session.sh) unless --no-pulse
#
# sway refuses to run as root: as root it runs in a user namespace as uid 1000 (files of root
# look like its own there, and clients outside connect to its socket as usual), or as nobody
# where user namespaces are not allowed.
#
# The exit status is the command's. Every process started here is stopped on the way out,
# also when the command fails or the script is interrupted.
set -euo pipefail

with_pulse=1
seat_keyboard=""
while [ $# -gt 0 ]; do
    case "$1" in
        --no-pulse) with_pulse=0; shift ;;
        --seat-keyboard) seat_keyboard="$2"; shift 2 ;;
        --) shift; break ;;
        *) break ;;
    esac
done
[ $# -gt 0 ] || { echo "usage: $0 [--no-pulse] [--seat-keyboard PROGRAM] [--] COMMAND [ARG...]" >&2; exit 2; }

log() { printf '[wayland-session] %s\n' "$*" >&2; }
command -v sway >/dev/null 2>&1 || { log "sway is not installed (scripts/deps.sh installs it)"; exit 1; }

# shellcheck source=lib/test-session.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib/test-session.sh"
session_begin quillory-wayland sway.log

# A session bus for this run (sway's children and the command share it), with the
# accessibility bus launched on demand.
session_bus

# sway: headless, software rendering, no input devices, XWayland on demand. The exec line tells
# us the X display sway gives its clients.
cat >"$root/sway.config" <<EOF
output HEADLESS-1 resolution 1280x800 position 0 0
xwayland enable
focus_on_window_activation focus
exec sh -c 'printf "%s" "\$DISPLAY" >"$root/xdisplay.tmp" && mv "$root/xdisplay.tmp" "$root/xdisplay"'
EOF
sway_command=(sway --config "$root/sway.config")
if [ "$(id -u)" -eq 0 ]; then
    if unshare --user --map-user=1000 --map-group=1000 -- true 2>/dev/null; then
        sway_command=(unshare --user --map-user=1000 --map-group=1000 -- "${sway_command[@]}")
    else
        # No user namespaces here (a container's seccomp profile): sway runs as nobody, owning the
        # runtime folder; the command, as root, still reaches its sockets.
        log "no user namespace: running sway as nobody"
        chown nobody "$XDG_RUNTIME_DIR" "$root"
        sway_command=(setpriv --reuid=nobody --regid=nogroup --clear-groups -- "${sway_command[@]}")
    fi
fi
WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman WLR_HEADLESS_OUTPUTS=1 \
    "${sway_command[@]}" >"$root/sway.log" 2>&1 &
sway_pid=$!
pids+=("$sway_pid")

socket=""
for _ in $(seq 400); do
    for s in "$XDG_RUNTIME_DIR"/wayland-*; do
        [ -S "$s" ] && { socket="$(basename "$s")"; break; }
    done
    [ -n "$socket" ] && [ -e "$root/xdisplay" ] && break
    kill -0 "$sway_pid" 2>/dev/null || { cat "$root/sway.log" >&2; log "sway did not start"; exit 1; }
    sleep 0.05
done
[ -n "$socket" ] || { log "sway opened no Wayland socket"; exit 1; }
export WAYLAND_DISPLAY="$socket" XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=sway
for s in "$XDG_RUNTIME_DIR"/sway-ipc.*.sock; do
    [ -S "$s" ] && export SWAYSOCK="$s"
done
if [ -s "$root/xdisplay" ]; then
    DISPLAY="$(cat "$root/xdisplay")"
    export DISPLAY
else
    log "sway gave no X display: XWayland is not available"
fi
# The compositor answers before anything else starts.
for _ in $(seq 100); do
    swaymsg -t get_version >/dev/null 2>&1 && break
    sleep 0.05
done
swaymsg -t get_version >/dev/null 2>&1 || { log "sway does not answer on its IPC socket"; exit 1; }

if [ -n "$seat_keyboard" ]; then
    "$seat_keyboard" >"$root/seat-keyboard.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 200); do
        swaymsg -t get_seats 2>/dev/null | grep -q '"type": "keyboard"' && break
        kill -0 "${pids[-1]}" 2>/dev/null || { cat "$root/seat-keyboard.log" >&2; log "the seat keyboard exited"; exit 1; }
        sleep 0.05
    done
    swaymsg -t get_seats 2>/dev/null | grep -q '"type": "keyboard"' || { log "no keyboard on the seat"; exit 1; }
fi

if [ "$with_pulse" = 1 ]; then
    session_pipe_microphone
fi

set +e
"$@"
rc=$?
set -e
exit "$rc"
