// Paste latency on headless KWin (KDE Plasma): from the paste key sent through the RemoteDesktop
// portal's keyboard, then through KWin's fake-input (once a desktop entry authorises this program),
// to the text in a native Wayland Qt line edit of another application, and from the start of an
// insertion (clipboard snapshot and write over KWin's data-control included) to the same point.
// Run on its own it starts a private headless KWin desktop with the portal for itself
// (scripts/kwin-session.sh).
#include "Strings/StringTables.h"
#include "InputTargetClient.h"
#include "PasteRounds.h"
#include "support/BenchDesktop.h"

#include "Input/InputEngine.h"
#include "Input/kde/FakeInputKeyPoster.h"
#include "Input/wayland/WaylandConnection.h"
#include "Input/portal/RemoteDesktopKeyPoster.h"
#include "Input/x11/LinuxInputPlatform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QElapsedTimer>
#include <QTest>

#include <cstdio>

using namespace quillory;

int main(int argc, char** argv) {
    bench::enterSession(QUILLORY_KWIN_SESSION_SCRIPT, argc, argv, {"--no-pulse"});
    quillory::Localization::installAllStrings();
    QCoreApplication app(argc, argv);
    constexpr int kRounds = 25;

    input::LinuxInputPlatform desktop = input::createLinuxInputPlatform();
    auto* portal = dynamic_cast<input::RemoteDesktopKeyPoster*>(desktop.platform.keys.get());
    if (!desktop.unavailableReason.isEmpty() || !portal) {
        std::fprintf(stderr, "cannot paste through the portal: %s\n", qPrintable(desktop.unavailableReason));
        return 1;
    }
    QElapsedTimer opening;
    opening.start();
    while (portal->state() == input::RemoteDesktopKeyPoster::State::opening && opening.elapsed() < 60000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    if (portal->state() != input::RemoteDesktopKeyPoster::State::started) {
        std::fprintf(stderr, "the portal session did not start: %s\n", qPrintable(portal->lastError()));
        return 1;
    }
    std::printf("RemoteDesktop session opened in %lld ms\n", static_cast<long long>(opening.elapsed()));
    test::TargetWindow target({QStringLiteral("-platform"), QStringLiteral("wayland")});
    if (!target.ready()) {
        std::fprintf(stderr, "the target window did not start\n");
        return 1;
    }
    if (!bench::benchPaste(desktop.platform, target, kRounds,
                           "Paste into a native Wayland Qt line edit on KWin (RemoteDesktop portal, data-control):",
                           "kwin")) {
        return 1;
    }

    // KWin's fake-input: a desktop entry for this program (KWin reads it for connections made after).
    const QString folder = qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/applications");
    QDir().mkpath(folder);
    QFile entry(folder + QStringLiteral("/bench.desktop.tmp"));
    if (!entry.open(QIODevice::WriteOnly) ||
        entry.write("[Desktop Entry]\nType=Application\nName=Bench\nNoDisplay=true\nExec=" +
                    QCoreApplication::applicationFilePath().toUtf8() +
                    "\nX-KDE-Wayland-Interfaces=org_kde_kwin_fake_input\n") < 0) {
        std::fprintf(stderr, "cannot write the desktop entry\n");
        return 1;
    }
    entry.close();
    QFile::rename(entry.fileName(), folder + QStringLiteral("/bench.desktop"));
    std::shared_ptr<input::WaylandConnection> connection;
    QElapsedTimer authorising;
    authorising.start();
    QString why;
    while (authorising.elapsed() < 60000) {
        connection = input::WaylandConnection::open(&why);
        if (connection && connection->offersFakeInput()) {
            break;
        }
        connection.reset();
        QTest::qWait(200);
    }
    auto fakeInput = connection ? input::makeFakeInputKeyPoster(connection, &why) : nullptr;
    if (!fakeInput) {
        std::fprintf(stderr, "KWin did not offer fake-input: %s\n", qPrintable(why));
        return 1;
    }
    desktop.platform.keys = fakeInput;
    return bench::benchPaste(desktop.platform, target, kRounds,
                             "Paste into a native Wayland Qt line edit on KWin (fake-input, data-control):",
                             "kwin: fake-input")
               ? 0
               : 1;
}
