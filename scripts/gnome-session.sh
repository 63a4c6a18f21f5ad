#!/usr/bin/env bash
# Runs one command inside a private headless GNOME compositor (mutter) and tears everything down
# afterwards.
#
# Usage: scripts/gnome-session.sh [--no-pulse] [--no-xwayland] [--shell] [--] COMMAND [ARG...]
#
# What the command gets (all of it private to this run, nothing from the caller's session):
#   - fresh XDG folders under a temporary HOME (as scripts/wayland-session.sh), so GSettings writes
#     go to a private dconf database
#   - mutter 43 as a headless Wayland display server (software rendering, one 1280x800 virtual
#     monitor, no input devices) as WAYLAND_DISPLAY, XDG_SESSION_TYPE=wayland and
#     XDG_CURRENT_DESKTOP=GNOME; its D-Bus services (org.gnome.Mutter.RemoteDesktop, ScreenCast, …)
#     on the run's session bus
#   - XWayland as GNOME starts it (DISPLAY, XAUTHORITY), unless --no-xwayland
#   - with --shell: gnome-shell (headless) in place of bare mutter, and GNOME's settings daemon's
#     media keys (gsd-media-keys), which run the desktop's custom shortcuts through the keys
#     gnome-shell grabs for it; gnome-shell reaches for the system bus at start-up (logind), so it
#     gets a private one. It runs in unsafe mode: its org.gnome.Shell.Eval answers, so that a test
#     can activate a window as the user's click would (the shell gives a new window no keyboard
#     without an activation token)
#   - a session D-Bus (DBUS_SESSION_BUS_ADDRESS) with the accessibility bus launcher
#   - a PulseAudio server with a pipe microphone (QUILLORY_TEST_PIPE_SOURCE, QUILLORY_TEST_PULSE_PID,
#     as in scripts/desktop-session.sh) unless --no-pulse
#
# The exit status is the command's. Every process started here is stopped on the way out,
# also when the command fails or the script is interrupted.
set -euo pipefail

with_pulse=1
with_xwayland=1
with_shell=0
while [ $# -gt 0 ]; do
    case "$1" in
        --no-pulse) with_pulse=0; shift ;;
        --no-xwayland) with_xwayland=0; shift ;;
        --shell) with_shell=1; shift ;;
        --) shift; break ;;
        *) break ;;
    esac
done
[ $# -gt 0 ] || { echo "usage: $0 [--no-pulse] [--no-xwayland] [--shell] [--] COMMAND [ARG...]" >&2; exit 2; }

log() { printf '[gnome-session] %s\n' "$*" >&2; }
command -v mutter >/dev/null 2>&1 || { log "mutter is not installed (scripts/deps.sh installs it)"; exit 1; }
media_keys=/usr/libexec/gsd-media-keys
if [ "$with_shell" = 1 ] && { ! command -v gnome-shell >/dev/null 2>&1 || [ ! -x "$media_keys" ]; }; then
    log "gnome-shell or gsd-media-keys is not installed (scripts/deps.sh installs them)"
    exit 1
fi

# shellcheck source=lib/test-session.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib/test-session.sh"
session_begin quillory-gnome mutter.log media-keys.log
export XDG_CURRENT_DESKTOP=GNOME XDG_SESSION_TYPE=wayland

# mutter's services and the command share this bus.
session_bus

if [ "$with_shell" = 1 ]; then
    # A private system bus (gnome-shell's login manager connects to one where systemd's seat
    # folder exists, and ends at start-up when it cannot), and no welcome dialog: a modal
    # dialog would hold the shortcuts back.
    system_bus="$(dbus-launch --sh-syntax)"
    pids+=("$(printf '%s\n' "$system_bus" | sed -n "s/^DBUS_SESSION_BUS_PID=\(.*\);$/\1/p")")
    system_bus="$(printf '%s\n' "$system_bus" | sed -n "s/^DBUS_SESSION_BUS_ADDRESS='\(.*\)';$/\1/p")"
    gsettings set org.gnome.shell welcome-dialog-last-shown-version '999' >/dev/null 2>&1 || true
    display_name="quillory-gnome-$$"
    shell_args=(--wayland --headless --unsafe-mode --virtual-monitor 1280x800 --wayland-display="$display_name")
    [ "$with_xwayland" = 1 ] || shell_args+=(--no-x11)
    DBUS_SYSTEM_BUS_ADDRESS="$system_bus" gnome-shell "${shell_args[@]}" >"$root/mutter.log" 2>&1 &
    mutter_pid=$!
    pids+=("$mutter_pid")
    # Up when its start-up is complete, as its log says (it owns its bus name before its user
    # interface is there).
    for _ in $(seq 1200); do
        [ -S "$XDG_RUNTIME_DIR/$display_name" ] && grep -q 'GNOME Shell started at' "$root/mutter.log" && break
        kill -0 "$mutter_pid" 2>/dev/null || { cat "$root/mutter.log" >&2; log "gnome-shell did not start"; exit 1; }
        sleep 0.05
    done
    [ -S "$XDG_RUNTIME_DIR/$display_name" ] && grep -q 'GNOME Shell started at' "$root/mutter.log" ||
        { log "gnome-shell did not finish starting"; exit 1; }
    export WAYLAND_DISPLAY="$display_name"
    if [ "$with_xwayland" = 1 ]; then
        # gnome-shell runs no command of ours: its XWayland (started with it, as the session has no
        # systemd to start it on demand) is the display its log names, with the authority file
        # mutter writes beside its sockets.
        DISPLAY="$(sed -n 's/.*Using public X11 display \(:[0-9]*\).*/\1/p' "$root/mutter.log" | head -n 1)"
        XAUTHORITY="$(find "$XDG_RUNTIME_DIR" -maxdepth 1 -name '.mutter-Xwaylandauth.*' | head -n 1)"
        [ -n "$DISPLAY" ] || { log "gnome-shell gave no X display: XWayland did not start"; exit 1; }
        export DISPLAY
        [ -z "$XAUTHORITY" ] || export XAUTHORITY
    fi
    # The settings daemon's media keys: a GTK program on this display.
    GDK_BACKEND=wayland "$media_keys" >"$root/media-keys.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 1200); do
        dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner \
            string:org.gnome.SettingsDaemon.MediaKeys 2>/dev/null | grep -q 'boolean true' && break
        kill -0 "${pids[-1]}" 2>/dev/null || { log "gsd-media-keys exited"; exit 1; }
        sleep 0.05
    done
else
    # mutter runs the trailing command once its displays are up, with DISPLAY and XAUTHORITY of its
    # XWayland: that command writes them down and stays as long as mutter does (mutter quits when it
    # ends).
    display_name="quillory-gnome-$$"
    mutter_args=(--wayland --headless --virtual-monitor 1280x800 --wayland-display="$display_name")
    [ "$with_xwayland" = 1 ] || mutter_args+=(--no-x11)
    mutter "${mutter_args[@]}" -- sh -c '
        printf "%s\n%s\n%s\n" "$$" "${DISPLAY:-}" "${XAUTHORITY:-}" >"$1.tmp" && mv "$1.tmp" "$1"
        while kill -0 "$PPID" 2>/dev/null; do sleep 1; done' sh "$root/mutter-env" >"$root/mutter.log" 2>&1 &
    mutter_pid=$!
    pids+=("$mutter_pid")

    for _ in $(seq 600); do
        [ -S "$XDG_RUNTIME_DIR/$display_name" ] && [ -e "$root/mutter-env" ] && break
        kill -0 "$mutter_pid" 2>/dev/null || { cat "$root/mutter.log" >&2; log "mutter did not start"; exit 1; }
        sleep 0.05
    done
    [ -S "$XDG_RUNTIME_DIR/$display_name" ] && [ -e "$root/mutter-env" ] || { log "mutter opened no Wayland socket"; exit 1; }
    export WAYLAND_DISPLAY="$display_name"
    pids+=("$(sed -n 1p "$root/mutter-env")")
    if [ "$with_xwayland" = 1 ]; then
        DISPLAY="$(sed -n 2p "$root/mutter-env")"
        XAUTHORITY="$(sed -n 3p "$root/mutter-env")"
        [ -n "$DISPLAY" ] || { log "mutter gave no X display: XWayland did not start"; exit 1; }
        export DISPLAY
        [ -z "$XAUTHORITY" ] || export XAUTHORITY
    fi
fi
# The remote desktop service answers before anything else starts.
for _ in $(seq 200); do
    dbus-send --session --print-reply --dest=org.gnome.Mutter.RemoteDesktop /org/gnome/Mutter/RemoteDesktop \
        org.freedesktop.DBus.Properties.Get string:org.gnome.Mutter.RemoteDesktop string:Version \
        >/dev/null 2>&1 && break
    sleep 0.05
done
dbus-send --session --print-reply --dest=org.gnome.Mutter.RemoteDesktop /org/gnome/Mutter/RemoteDesktop \
    org.freedesktop.DBus.Properties.Get string:org.gnome.Mutter.RemoteDesktop string:Version >/dev/null 2>&1 ||
    { log "mutter does not answer on org.gnome.Mutter.RemoteDesktop"; exit 1; }

if [ "$with_pulse" = 1 ]; then
    session_pipe_microphone
fi

set +e
"$@"
rc=$?
set -e
exit "$rc"
