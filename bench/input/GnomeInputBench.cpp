// Paste latency on headless GNOME (mutter 43): from the paste key sent through mutter's remote
// desktop session to the text in a native Wayland Qt line edit of another application, and from the
// start of an insertion (the clipboard snapshot and write through the same session included) to the
// same point. Run on its own it starts a private headless GNOME compositor for itself
// (scripts/gnome-session.sh).
#include "Strings/StringTables.h"
#include "InputTargetClient.h"
#include "PasteRounds.h"
#include "support/BenchDesktop.h"

#include "Input/InputEngine.h"
#include "Input/gnome/MutterRemoteDesktop.h"
#include "Input/x11/LinuxInputPlatform.h"
#include "Platform/linux/DesktopProbe.h"

#include <QCoreApplication>

#include <cstdio>

using namespace quillory;

int main(int argc, char** argv) {
    bench::enterSession(QUILLORY_GNOME_SESSION_SCRIPT, argc, argv, {"--no-pulse"});
    quillory::Localization::installAllStrings();
    QCoreApplication app(argc, argv);
    constexpr int kRounds = 25;

    // The headless seat reads no keyboard: a session's lone Shift plugs one in (windows get the
    // keyboard focus only while the seat has one), as a real keyboard would be.
    const auto seatKeyboard = input::makeMutterSessionBus();
    if (!seatKeyboard->open({}) || !seatKeyboard->keysym(0xffe1, true) || !seatKeyboard->keysym(0xffe1, false)) {
        std::fprintf(stderr, "no keyboard on the seat\n");
        return 1;
    }
    input::LinuxInputPlatform desktop = input::createLinuxInputPlatform(
        platform::currentDesktopBackends(), input::LinuxInputFactories::thisBuild());
    if (!desktop.unavailableReason.isEmpty()) {
        std::fprintf(stderr, "cannot paste: %s\n", qPrintable(desktop.unavailableReason));
        return 1;
    }
    test::TargetWindow target({QStringLiteral("-platform"), QStringLiteral("wayland")});
    if (!target.ready()) {
        std::fprintf(stderr, "the target window did not start\n");
        return 1;
    }
    return bench::benchPaste(desktop.platform, target, kRounds,
                             "Paste into a native Wayland Qt line edit on GNOME (mutter's remote desktop session):",
                             "mutter")
               ? 0
               : 1;
}
