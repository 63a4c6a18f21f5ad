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

# shellcheck source=lib/test-session.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib/test-session.sh"
session_begin quillory-desktop
export XDG_SESSION_TYPE=x11

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
session_bus

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
    session_pipe_microphone
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
