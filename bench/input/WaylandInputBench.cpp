// Paste latency on headless sway (wlroots): from the paste key sent over virtual-keyboard to the
// text in a native Wayland Qt line edit of another application, and from the start of an insertion
// (clipboard snapshot and write over wlr-data-control included) to the same point. Run on its own
// it starts a private headless Wayland desktop for itself (scripts/wayland-session.sh).
#include "Strings/StringTables.h"
#include "InputTargetClient.h"
#include "PasteRounds.h"
#include "support/BenchDesktop.h"

#include "Input/InputEngine.h"
#include "Input/wayland/WaylandInputPlatform.h"

#include <QCoreApplication>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <unistd.h>
#include <vector>

using namespace quillory;

int main(int argc, char** argv) {
    bench::enterSession(QUILLORY_WAYLAND_SESSION_SCRIPT, argc, argv,
                        {"--no-pulse", "--seat-keyboard", QUILLORY_WAYLAND_SEAT_KEYBOARD});
    quillory::Localization::installAllStrings();
    QCoreApplication app(argc, argv);
    constexpr int kRounds = 25;

    input::LinuxInputPlatform desktop = input::createWaylandInputPlatform();
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
                             "Paste into a native Wayland Qt line edit on sway (virtual-keyboard, wlr-data-control):",
                             "sway")
               ? 0
               : 1;
}
