// Paste latency: from the synthesised paste key to the text in another application's line edit,
// and from the start of an insertion (clipboard snapshot and write included) to the same point.
// Run on its own it starts a private headless desktop for itself.
#include "support/BenchDesktop.h"
#include "InputTargetClient.h"
#include "RealTargetsBench.h"

#include "Input/InputEngine.h"
#include "Input/atspi/AtspiFocus.h"
#include "Input/x11/LinuxInputPlatform.h"

#include <QApplication>

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
    // (xterm and the rxvt family paste the primary selection: the engine must fill it too.)
    bool pasteReadsPrimarySelection() override { return inner_->pasteReadsPrimarySelection(); }
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

} // namespace

int main(int argc, char** argv) {
    quillory::bench::enterPrivateDesktop(argc, argv, {"--no-pulse", "--no-tray"});
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    constexpr int kRounds = 25;

    input::LinuxInputPlatform desktop = input::createLinuxInputPlatform();
    if (!desktop.unavailableReason.isEmpty()) {
        std::fprintf(stderr, "cannot paste: %s\n", qPrintable(desktop.unavailableReason));
        return 1;
    }
    auto keys = std::make_shared<TimedKeys>(desktop.platform.keys);
    desktop.platform.keys = keys;
    InputEngine engine(desktop.platform);

    test::TargetWindow target;
    if (!target.ready() || !target.request("copy-multi", "copied")) {
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
    std::printf("Paste into a Qt line edit of another application (target <= 50 ms):\n");
    report("paste key -> text in the target line edit", keyToText);
    report("insert() start -> text (snapshot included)", insertToText);
    // (Before anything here asks the accessibility bus: a focus listener of ours must not be
    // registered while real programs come and go.)
    bench::benchRealTargets(engine, [&] { return keys->keyDownNs; }, 15);

    // The focused field at the start of a recording: found by a search of the active windows
    // (the target gained focus before we listened to focus events), then from the events.
    auto* focus = dynamic_cast<input::AtspiFocusedElementProvider*>(desktop.platform.focus.get());
    std::vector<double> searched, fromEvents;
    std::unique_ptr<test::TargetWindow> second;
    for (int i = 0; i < kRounds && focus; ++i) {
        const qint64 start = test::monotonicNs();
        const bool found = focus->focusedElement() != nullptr;
        const double ms = double(test::monotonicNs() - start) / 1e6;
        if (found) {
            (focus->answeredFromEvents() ? fromEvents : searched).push_back(ms);
        }
        if (i == kRounds / 2) { // a second window takes the focus: its focus event names it
            second = std::make_unique<test::TargetWindow>();
            QTest::qWait(200);
        }
    }
    std::printf("Focused field over the accessibility bus (main thread):\n");
    if (!searched.empty()) {
        report("focused element by search", searched);
    }
    if (!fromEvents.empty()) {
        report("focused element from focus events", fromEvents);
    }
    return 0;
}
