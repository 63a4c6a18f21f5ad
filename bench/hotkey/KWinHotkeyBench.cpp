// Global hotkeys on headless KWin (KDE Plasma): the path the app chooses there, KDE's global
// shortcut service (org.kde.kglobalaccel in KWin). A key combination typed through KWin's
// fake-input (authorised by a desktop entry for this program) → the backend's toggle callback, and
// a push-to-talk key's press and release → its press and release callbacks.
// Run on its own it starts a private headless KWin desktop for itself (scripts/kwin-session.sh).
#include "HotkeyRounds.h"
#include "KGlobalAccelChords.h"
#include "Strings/StringTables.h"
#include "support/BenchDesktop.h"

#include "Hotkey/kde/KGlobalAccelBackend.h"
#include "Input/kde/FakeInputKeyPoster.h"
#include "Input/wayland/WaylandConnection.h"
#include "Platform/linux/DesktopProbe.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDir>
#include <QFile>

#include <cstdio>

using namespace quillory;
using namespace quillory::input;

namespace {

using namespace test::chordKeys;

/// A desktop entry for this program: KWin offers fake-input to the connections made after it.
bool authoriseFakeInput() {
    const QString folder = qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/applications");
    QDir().mkpath(folder);
    QFile entry(folder + QStringLiteral("/bench-hotkey.desktop.tmp"));
    if (!entry.open(QIODevice::WriteOnly) ||
        entry.write("[Desktop Entry]\nType=Application\nName=Bench\nNoDisplay=true\nExec=" +
                    QCoreApplication::applicationFilePath().toUtf8() +
                    "\nX-KDE-Wayland-Interfaces=org_kde_kwin_fake_input\n") < 0) {
        return false;
    }
    entry.close();
    return QFile::rename(entry.fileName(), folder + QStringLiteral("/bench-hotkey.desktop"));
}

/// What the user does in System Settings: gives push-to-talk Meta+Alt+F11.

} // namespace

int main(int argc, char** argv) {
    bench::enterSession(QUILLORY_KWIN_SESSION_SCRIPT, argc, argv, {"--no-pulse", "--no-portal"});
    quillory::Localization::installAllStrings();
    QCoreApplication app(argc, argv);

    const DesktopBackends choice = platform::currentDesktopBackends();
    if (choice.hotkeys.path != DesktopPaths::kglobalaccel) {
        std::fprintf(stderr, "the app does not choose kglobalaccel here: %s\n", qPrintable(choice.logLine()));
        return 1;
    }

    // The keys are typed through fake-input, which KWin offers once the desktop entry is there.
    if (!authoriseFakeInput()) {
        std::fprintf(stderr, "cannot write the desktop entry\n");
        return 1;
    }
    std::shared_ptr<WaylandConnection> connection;
    QString why;
    bench::spinUntil([&] {
        connection = WaylandConnection::open(&why);
        if (connection && connection->offersFakeInput()) {
            return true;
        }
        connection.reset();
        bench::spinFor(200);
        return false;
    });
    if (!connection) {
        std::fprintf(stderr, "KWin did not offer fake-input: %s\n", qPrintable(why));
        return 1;
    }
    const auto channel = makeFakeInputChannel(connection);
    channel->authenticate(QStringLiteral("Quillory bench"), QStringLiteral("types the shortcuts"));
    if (!channel->sync()) {
        std::fprintf(stderr, "KWin did not take fake-input's authentication\n");
        return 1;
    }

    // The toggle on Meta+Alt+F12, push-to-talk on Meta+Alt+F11.
    const test::ToggleChord chord = test::metaAltF12Toggle();
    bench::CallbackClock toggled, pressed, released;
    KGlobalAccelBackend backend;
    backend.bind({[&] { toggled.hit(); }, [&] { pressed.hit(); }, [&] { released.hit(); }}, chord.config, chord.keys);
    bench::spinUntil([&] { return backend.state() != KGlobalAccelBackend::State::registering; });
    if (backend.state() != KGlobalAccelBackend::State::registered) {
        std::fprintf(stderr, "the shortcuts did not register: %s\n", qPrintable(backend.lastError()));
        return 1;
    }
    if (!test::assignPushToTalkInSystemSettings(bench::kHotkeyWaitMs, &why)) {
        std::fprintf(stderr, "cannot give push-to-talk a key: %s\n", qPrintable(why));
        return 1;
    }

    // Each round: the modifiers go down first, the timed key last (as a hand types a chord).
    const auto chordDown = [&](quint32 key) -> std::optional<std::chrono::steady_clock::time_point> {
        channel->key(meta, true);
        channel->key(alt, true);
        if (!channel->sync()) {
            return std::nullopt;
        }
        const auto sent = std::chrono::steady_clock::now();
        channel->key(key, true);
        return sent;
    };
    const auto chordUp = [&](quint32 key) -> std::optional<std::chrono::steady_clock::time_point> {
        const auto sent = std::chrono::steady_clock::now();
        channel->key(key, false);
        channel->key(alt, false);
        channel->key(meta, false);
        return channel->sync() ? std::optional(sent) : std::nullopt;
    };

    std::printf("Global hotkeys on KWin 5.27 (KDE's global shortcut service, keys typed through fake-input):\n");
    const std::vector<double> toggle = bench::keyRounds(
        toggled, [&] { return chordDown(f12); }, [&] { return chordUp(f12).has_value(); });
    bench::printHotkeyRow("KWin", "kglobalaccel, toggle Meta+Alt+F12 -> toggle", toggle);
    std::vector<double> press, release;
    const bool held = bench::holdRounds(
        pressed, released, [&] { return chordDown(f11); }, [&] { return chordUp(f11); }, press, release);
    bench::printHotkeyRow("KWin", "kglobalaccel, push-to-talk Meta+Alt+F11 down -> press", press);
    bench::printHotkeyRow("KWin", "kglobalaccel, push-to-talk Meta+Alt+F11 up -> release", release);
    if (toggled.count != int(toggle.size())) {
        std::printf("note: %d toggles for %zu presses\n", toggled.count, toggle.size());
    }
    return !toggle.empty() && held ? 0 : 1;
}
