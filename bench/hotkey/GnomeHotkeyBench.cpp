// Global hotkeys on headless GNOME: what the app offers there, the binding of `quillory toggle`
// among GNOME's custom shortcuts. A key combination typed through a mutter remote desktop session
// → gnome-shell, which grabs the key for the settings daemon → gsd-media-keys runs
// `quillory toggle` → the command reaches the running app over its socket → the app's toggle
// callback, here the same socket server with a clock for a session.
//
// mutter alone grabs nothing for the settings daemon (gsd-media-keys has its keys grabbed through
// org.gnome.Shell), so the desktop is gnome-shell with gsd-media-keys
// (scripts/gnome-session.sh --shell); where they are not installed the row says so instead of a
// figure. Run on its own it starts that private headless desktop for itself.
#include "HotkeyRounds.h"
#include "ToggleSocket.h"
#include "Strings/StringTables.h"
#include "support/BenchDesktop.h"

#include "Cli/RemoteChannel.h"
#include "Input/gnome/MutterRemoteDesktop.h"
#include "Platform/linux/DesktopProbe.h"
#include "Platform/linux/GnomeShortcuts.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>

#include <cstdio>

using namespace quillory;

namespace {

constexpr quint32 kControlL = 0xffe3, kAltL = 0xffe9, kD = 0x64; // keysyms
constexpr const char* kCompositor = "GNOME";
constexpr const char* kPath = "custom shortcut Ctrl+Alt+D: quillory toggle -> the app's toggle";

bool onBus(const QString& name) {
    return QDBusConnection::sessionBus().interface()->isServiceRegistered(name).value();
}

} // namespace

int main(int argc, char** argv) {
    // The session script installs gnome-shell and gnome-settings-daemon when they are missing.
    bench::enterSession(QUILLORY_GNOME_SESSION_SCRIPT, argc, argv, {"--no-pulse", "--shell"});
    quillory::Localization::installAllStrings();
    QCoreApplication app(argc, argv);

    const DesktopBackends choice = platform::currentDesktopBackends();
    if (!platform::desktopToggleBindingOffered(choice)) {
        std::fprintf(stderr, "the app offers no GNOME binding here: %s\n", qPrintable(choice.logLine()));
        return 1;
    }
    std::printf("Global hotkeys on GNOME 43 (%s, a custom shortcut of `quillory toggle`, keys typed through "
                "a mutter remote desktop session):\n",
                onBus(QStringLiteral("org.gnome.Shell")) ? "gnome-shell with gsd-media-keys" : "bare mutter");
    if (!onBus(QStringLiteral("org.gnome.SettingsDaemon.MediaKeys"))) {
        bench::printHotkeyNoFigure(
            kCompositor, kPath,
            QStringLiteral("gsd-media-keys (gnome-settings-daemon) is not on the bus; mutter "
                           "alone runs no custom shortcut: gsd-media-keys runs them, with the keys grabbed "
                           "through gnome-shell's org.gnome.Shell GrabAccelerators"));
        return 0;
    }

    bench::CallbackClock toggled;
    const std::unique_ptr<remote::Server> server = bench::listenForToggle(toggled);
    if (!server) {
        return 1;
    }

    // The binding the settings window offers, for the built program.
    platform::GnomeCustomShortcut shortcut(platform::gsettingsProgram(), QStringLiteral("Quillory"),
                                           QStringLiteral(QUILLORY_EXECUTABLE) + QStringLiteral(" toggle"));
    if (const Expected<> installed = shortcut.install(); !installed) {
        std::fprintf(stderr, "cannot bind the shortcut: %s\n", qPrintable(installed.error()));
        return 1;
    }

    const auto keyboard = input::makeMutterSessionBus();
    if (const Expected<> opened = keyboard->open({}); !opened) {
        std::fprintf(stderr, "no remote desktop session: %s\n", qPrintable(opened.error()));
        return 1;
    }
    const auto chordDown = [&]() -> std::optional<std::chrono::steady_clock::time_point> {
        if (!keyboard->keysym(kControlL, true).ok() || !keyboard->keysym(kAltL, true).ok()) {
            return std::nullopt;
        }
        const auto sent = std::chrono::steady_clock::now(); // the key's D-Bus call to mutter included
        return keyboard->keysym(kD, true).ok() ? std::optional(sent) : std::nullopt;
    };
    const auto chordUp = [&] {
        return keyboard->keysym(kD, false).ok() && keyboard->keysym(kAltL, false).ok() &&
               keyboard->keysym(kControlL, false).ok();
    };

    // The first press: does the shortcut reach the app at all? (The daemon grabs a new binding's
    // keys through gnome-shell once it has read the change: given generous time.)
    bool reaches = false;
    for (int attempt = 0; attempt < 3 && !reaches; ++attempt) {
        if (!chordDown() || !chordUp()) {
            std::fprintf(stderr, "the remote desktop session took no keys\n");
            return 1;
        }
        reaches = bench::spinUntil([&] { return toggled.count > 0; }, 20000);
    }
    if (!reaches) {
        bench::printHotkeyNoFigure(kCompositor, kPath,
                                   QStringLiteral("Ctrl+Alt+D typed 3 times, 20 s apart: `quillory toggle` never "
                                                  "reached the app"));
        return 1;
    }
    bench::spinFor(1000); // a late second run of the first press would count in the first round

    const std::vector<double> toggle = bench::keyRounds(toggled, chordDown, chordUp);
    bench::printHotkeyRow(kCompositor, kPath, toggle);
    (void)shortcut.remove();
    return toggle.empty() ? 1 : 0;
}
