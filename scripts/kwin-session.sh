#!/usr/bin/env bash
# Runs one command inside a private headless KDE Plasma Wayland desktop (KWin) with the desktop
# portal and its KDE backend, and tears everything down afterwards.
#
# Usage: scripts/kwin-session.sh [--no-pulse] [--no-portal] [--] COMMAND [ARG...]
#
# What the command gets (all of it private to this run, nothing from the caller's session):
#   - fresh XDG folders under a temporary HOME (as scripts/wayland-session.sh), the caller's
#     dependency cache reachable through QUILLORY_DEPS_CACHE
#   - kwin_wayland on its virtual backend (software rendering, one 1280x800 output, no input
#     devices) as WAYLAND_DISPLAY, XDG_SESSION_TYPE=wayland, XDG_CURRENT_DESKTOP=KDE, and its
#     rootless XWayland as DISPLAY
#   - a session D-Bus (DBUS_SESSION_BUS_ADDRESS) with the accessibility bus launcher, and on it
#     xdg-desktop-portal with the KDE backend (RemoteDesktop, GlobalShortcuts…) unless --no-portal;
#     the portal's process ids are QUILLORY_TEST_PORTAL_PID and QUILLORY_TEST_PORTAL_KDE_PID, and
#     the addresses the KDE portal asked xdg-open to open are lines of QUILLORY_TEST_PORTAL_OPENED_URLS
#   - a PulseAudio server with a pipe microphone (QUILLORY_TEST_PIPE_SOURCE, QUILLORY_TEST_PULSE_PID)
#     unless --no-pulse
#
# kwin_wayland is installed with a file capability (CAP_SYS_RESOURCE), which a container refuses to
# execute: it runs from a copy in the temporary root, under its own name (KWin and the portal's
# authorisation of privileged clients go by it).
#
# The exit status is the command's. Every process started here is stopped on the way out,
# also when the command fails or the script is interrupted.
set -euo pipefail

with_pulse=1
with_portal=1
while [ $# -gt 0 ]; do
    case "$1" in
        --no-pulse) with_pulse=0; shift ;;
        --no-portal) with_portal=0; shift ;;
        --) shift; break ;;
        *) break ;;
    esac
done
[ $# -gt 0 ] || { echo "usage: $0 [--no-pulse] [--no-portal] [--] COMMAND [ARG...]" >&2; exit 2; }

log() { printf '[kwin-session] %s\n' "$*" >&2; }
command -v kwin_wayland >/dev/null 2>&1 || { log "kwin_wayland is not installed (scripts/deps.sh installs it)"; exit 1; }
portal_kde=/usr/lib/x86_64-linux-gnu/libexec/xdg-desktop-portal-kde
for candidate in /usr/lib/*/libexec/xdg-desktop-portal-kde /usr/libexec/xdg-desktop-portal-kde; do
    [ -x "$candidate" ] && { portal_kde="$candidate"; break; }
done
if [ "$with_portal" = 1 ]; then
    [ -x /usr/libexec/xdg-desktop-portal ] || { log "xdg-desktop-portal is not installed (scripts/deps.sh)"; exit 1; }
    [ -x "$portal_kde" ] || { log "xdg-desktop-portal-kde is not installed (scripts/deps.sh)"; exit 1; }
fi

# shellcheck source=lib/test-session.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib/test-session.sh"
session_begin quillory-kwin kwin.log portal.log portal-kde.log
export XDG_CURRENT_DESKTOP=KDE XDG_SESSION_TYPE=wayland KDE_SESSION_VERSION=5
# KWin asks kglobalaccel and friends over the bus; nothing of the caller's configuration is read.
session_bus

# KWin: virtual backend, QPainter compositing, no lock screen, rootless XWayland. Its
# "applications" argument tells us when Wayland and XWayland are up, and the X display.
mkdir -p "$root/bin"
cp /usr/bin/kwin_wayland "$root/bin/kwin_wayland"
printf '#!/bin/sh\nprintf "%%s" "$DISPLAY" >"%s/xdisplay.tmp" && mv "%s/xdisplay.tmp" "%s/xdisplay"\n' \
    "$root" "$root" "$root" >"$root/bin/started"
chmod +x "$root/bin/started"
KWIN_COMPOSE=Q LIBGL_ALWAYS_SOFTWARE=1 QT_QPA_PLATFORM=wayland \
    "$root/bin/kwin_wayland" --virtual --width 1280 --height 800 --no-lockscreen --no-kactivities \
    --xwayland --socket quillory-kwin "$root/bin/started" >"$root/kwin.log" 2>&1 &
kwin_pid=$!
pids+=("$kwin_pid")
for _ in $(seq 1200); do
    [ -S "$XDG_RUNTIME_DIR/quillory-kwin" ] && [ -e "$root/xdisplay" ] && break
    kill -0 "$kwin_pid" 2>/dev/null || { log "kwin_wayland did not start"; exit 1; }
    sleep 0.05
done
[ -S "$XDG_RUNTIME_DIR/quillory-kwin" ] || { log "kwin_wayland opened no Wayland socket"; exit 1; }
export WAYLAND_DISPLAY=quillory-kwin
if [ -s "$root/xdisplay" ]; then
    DISPLAY="$(cat "$root/xdisplay")"
    export DISPLAY
else
    log "kwin_wayland gave no X display: XWayland is not available"
fi
# Services the bus starts on demand (the permission store, the document portal) see this desktop.
dbus-update-activation-environment WAYLAND_DISPLAY DISPLAY XDG_CURRENT_DESKTOP XDG_SESSION_TYPE \
    XDG_RUNTIME_DIR HOME XDG_CONFIG_HOME XDG_DATA_HOME XDG_CACHE_HOME >/dev/null 2>&1 || true

if [ "$with_portal" = 1 ]; then
    # The KDE backend first (a native Wayland Qt program: its dialogs are KWin windows), then the
    # portal front end, which picks the backend by XDG_CURRENT_DESKTOP.
    # Binding shortcuts, the KDE portal opens System Settings' shortcuts page (QDesktopServices,
    # which runs xdg-open). This desktop has no System Settings: Qt would start a web browser
    # instead, whose window takes the keyboard. The portal's xdg-open writes the address down.
    mkdir -p "$root/portal-bin"
    printf '#!/bin/sh\nprintf "%%s\\n" "$*" >>"%s/opened-urls"\n' "$root" >"$root/portal-bin/xdg-open"
    chmod +x "$root/portal-bin/xdg-open"
    export QUILLORY_TEST_PORTAL_OPENED_URLS="$root/opened-urls"
    PATH="$root/portal-bin:$PATH" QT_QPA_PLATFORM=wayland "$portal_kde" >"$root/portal-kde.log" 2>&1 &
    pids+=($!)
    export QUILLORY_TEST_PORTAL_KDE_PID="${pids[-1]}"
    for _ in $(seq 600); do
        dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner \
            string:org.freedesktop.impl.portal.desktop.kde 2>/dev/null | grep -q 'boolean true' && break
        kill -0 "${pids[-1]}" 2>/dev/null || { log "xdg-desktop-portal-kde exited"; exit 1; }
        sleep 0.05
    done
    /usr/libexec/xdg-desktop-portal -r >"$root/portal.log" 2>&1 &
    pids+=($!)
    export QUILLORY_TEST_PORTAL_PID="${pids[-1]}"
    for _ in $(seq 600); do
        dbus-send --session --print-reply --dest=org.freedesktop.portal.Desktop /org/freedesktop/portal/desktop \
            org.freedesktop.DBus.Properties.Get string:org.freedesktop.portal.RemoteDesktop string:version \
            2>/dev/null | grep -q uint32 && break
        kill -0 "${pids[-1]}" 2>/dev/null || { log "xdg-desktop-portal exited"; exit 1; }
        sleep 0.05
    done
    dbus-send --session --print-reply --dest=org.freedesktop.portal.Desktop /org/freedesktop/portal/desktop \
        org.freedesktop.DBus.Properties.Get string:org.freedesktop.portal.RemoteDesktop string:version \
        >/dev/null 2>&1 || { log "the desktop portal offers no RemoteDesktop"; exit 1; }
fi

if [ "$with_pulse" = 1 ]; then
    session_pipe_microphone
fi

set +e
"$@"
rc=$?
set -e
# Services the bus started on demand (the permission store, the document portal, kglobalaccel's
# helpers…) write into the private home: they are stopped with the rest before it is removed.
for name in $(dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.ListNames \
        2>/dev/null | grep -o '":1\.[0-9]*"' | tr -d '"' || true); do
    pid="$(dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
        org.freedesktop.DBus.GetConnectionUnixProcessID "string:$name" 2>/dev/null | awk '/uint32/ {print $2}' || true)"
    if [ -n "$pid" ] && [ "$pid" != "$$" ] && ! printf '%s\n' "${pids[@]}" | grep -qx "$pid"; then
        pids=("$pid" "${pids[@]}") # stopped last, after what this script started
    fi
done
exit "$rc"
