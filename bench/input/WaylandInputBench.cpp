// Paste latency on headless sway (wlroots): from the paste key sent over virtual-keyboard to the
// text in a native Wayland Qt line edit of another application, and from the start of an insertion
// (clipboard snapshot and write over wlr-data-control included) to the same point. Run on its own
// it starts a private headless Wayland desktop for itself (scripts/wayland-session.sh).
#include "Strings/StringTables.h"
#include "InputTargetClient.h"

#include "Input/InputEngine.h"
#include "Input/wayland/WaylandInputPlatform.h"

#include <QCoreApplication>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <unistd.h>
#include <vector>

using namespace quillory;

namespace {

/// Notes when the paste key goes down.
class TimedKeys final : public KeyEventPoster {
public:
    explicit TimedKeys(std::shared_ptr<KeyEventPoster> inner) : inner_(std::move(inner)) {}
    bool createEventSource() override { return inner_->createEventSource(); }
    bool createEvent(const KeyEvent& e) override { return inner_->createEvent(e); }
    void post(const KeyEvent& e) override {
        if (e.keyDown) {
            keyDownNs = test::monotonicNs();
        }
        inner_->post(e);
    }
    qint64 keyDownNs = 0;

private:
    std::shared_ptr<KeyEventPoster> inner_;
};

void report(const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    const auto at = [&](double q) { return ms[std::min(ms.size() - 1, size_t(q * double(ms.size())))]; };
    std::printf("%-44s median %6.2f ms   p90 %6.2f ms   max %6.2f ms   (n=%zu)\n", what, at(0.5), at(0.9),
                ms.back(), ms.size());
}

/// Runs this program again inside the private Wayland desktop, unless it already is in one.
void enterWaylandDesktop(int argc, char** argv) {
    if (!qEnvironmentVariableIsEmpty("QUILLORY_DESKTOP_SESSION")) {
        return;
    }
    std::fflush(stdout);
    static char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        std::perror("readlink");
        std::exit(1);
    }
    self[n] = '\0';
    std::vector<char*> args{const_cast<char*>(QUILLORY_WAYLAND_SESSION_SCRIPT), const_cast<char*>("--no-pulse"),
                            const_cast<char*>("--seat-keyboard"), const_cast<char*>(QUILLORY_WAYLAND_SEAT_KEYBOARD),
                            const_cast<char*>("--"), self};
    for (int i = 1; i < argc; ++i) {
        args.push_back(argv[i]);
    }
    args.push_back(nullptr);
    ::execv(QUILLORY_WAYLAND_SESSION_SCRIPT, args.data());
    std::perror("cannot start the private Wayland desktop (wayland-session.sh)");
    std::exit(1);
}

} // namespace

int main(int argc, char** argv) {
    enterWaylandDesktop(argc, argv);
    quillory::Localization::installAllStrings();
    QCoreApplication app(argc, argv);
    constexpr int kRounds = 25;

    input::LinuxInputPlatform desktop = input::createWaylandInputPlatform();
    if (!desktop.unavailableReason.isEmpty()) {
        std::fprintf(stderr, "cannot paste: %s\n", qPrintable(desktop.unavailableReason));
        return 1;
    }
    auto keys = std::make_shared<TimedKeys>(desktop.platform.keys);
    desktop.platform.keys = keys;
    InputEngine engine(desktop.platform);

    test::TargetWindow target({QStringLiteral("-platform"), QStringLiteral("wayland")});
    if (!target.ready()) {
        std::fprintf(stderr, "the target window did not start\n");
        return 1;
    }
    std::vector<double> keyToText, insertToText;
    for (int i = 0; i < kRounds; ++i) {
        const QString text = QStringLiteral("bench %1 テキスト").arg(i);
        target.request("set", "set", QString());
        const qint64 start = test::monotonicNs();
        engine.insert(text);
        if (!target.waitForText(text, 3000)) {
            std::fprintf(stderr, "round %d: the text did not arrive\n", i);
            return 1;
        }
        keyToText.push_back(double(target.textNs() - keys->keyDownNs) / 1e6);
        insertToText.push_back(double(target.textNs() - start) / 1e6);
        QTest::qWait(650); // the clipboard restore, as between two dictations
    }
    std::printf("Paste into a native Wayland Qt line edit on sway (virtual-keyboard, wlr-data-control):\n");
    report("sway: paste key -> text in the line edit", keyToText);
    report("sway: insert() start -> text (snapshot incl.)", insertToText);
    return 0;
}
