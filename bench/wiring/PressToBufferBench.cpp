// The whole way from a hold-to-talk chord to the first audio: the chord is typed with XTest (another
// X connection, exact keycodes) into a private headless desktop; the composed desktop services
// hear it, the application state starts a session, the speech manager opens PulseAudio (the
// session's pipe microphone, fed at real time in 20 ms blocks like a sound card), and the first
// captured buffer reaches the recogniser (a stand-in that only notes the time).
//
// Figures: injected chord -> onPress, onPress -> first captured buffer (the words said in that
// time are lost when the source does not keep them), and injected chord -> first buffer.

#include "support/BenchDesktop.h"
#include "support/BenchFigures.h"
#include "App/AppState.h"
#include "Hotkey/ModifierKeyMap.h"
#include "Platform/linux/DesktopServices.h"
#include "Strings/StringTables.h"

#include <QApplication>
#include <QLoggingCategory>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

// X11 last: its macros clash with the headers above.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include "support/X11UserKeyboard.h" // after Qt: Xlib defines None, KeyPress...

using namespace quillory;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

using quillory::bench::millis;
using quillory::bench::report;


std::atomic<Clock::rep> gFirstBuffer{0};

class StampRequest final : public RecognitionRequest {
public:
    void append(std::span<const float>) override {
        Clock::rep expected = 0;
        gFirstBuffer.compare_exchange_strong(expected, Clock::now().time_since_epoch().count());
    }
    void endAudio() override { ended = true; }
    std::atomic<bool> ended{false};
};

class StampTask final : public RecognitionTask {
public:
    void cancel() override {}
};

/// A recogniser that notes when audio arrives and answers nothing until told.
class StampRecognizer final : public SpeechRecognizer {
public:
    bool isAvailable() const override { return true; }
    bool supportsOnDeviceRecognition() const override { return true; }
    std::shared_ptr<RecognitionRequest> makeRequest(const RecognitionOptions&) override {
        request = std::make_shared<StampRequest>();
        return request;
    }
    std::unique_ptr<RecognitionTask> recognitionTask(std::shared_ptr<RecognitionRequest>,
                                                     ResultHandler h) override {
        handler = std::move(h);
        return std::make_unique<StampTask>();
    }
    std::shared_ptr<StampRequest> request;
    ResultHandler handler;
};

/// The manager's callbacks, with the time `onPress` ran.
class StampHotkeys final : public HotkeyService {
public:
    explicit StampHotkeys(std::shared_ptr<HotkeyService> inner) : inner_(std::move(inner)) {}
    bool update(const HotkeyConfig& config, Callback onToggle, Callback onPress,
                Callback onRelease) override {
        return inner_->update(
            config, std::move(onToggle),
            [this, onPress = std::move(onPress)] {
                pressedAt = Clock::now();
                onPress();
            },
            std::move(onRelease));
    }
    Clock::time_point pressedAt{};

private:
    std::shared_ptr<HotkeyService> inner_;
};

bool waitFor(const std::function<bool()>& done, Clock::duration limit) {
    const auto end = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > end) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        std::this_thread::sleep_for(100us);
    }
    return true;
}

int runInsideDesktop(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("app.quillory.quillory.*.info=false\n"
                                                    "app.quillory.quillory.*.debug=false"));
    test::X11UserKeyboard keyboard; // the user's keyboard: synthetic (XTEST) keys are ignored
    if (!keyboard.ok()) {
        std::fprintf(stderr, "no X display\n");
        return 1;
    }
    quillory::bench::PipeMicrophoneFeeder feeder([](std::vector<float>& block, std::size_t) { std::fill(block.begin(), block.end(), 0.01f); });

    auto services = platform::makeDesktopServices();
    auto recognizer = std::make_shared<StampRecognizer>();
    services->setRecognizerFactory([recognizer](SpeechLocale) { return recognizer; });
    AppStateServices wiring = services->appStateServices();
    auto hotkeys = std::make_shared<StampHotkeys>(wiring.hotkeys);
    wiring.hotkeys = hotkeys;
    AppState state(wiring);
    if (!state.globalHotkeyRegistered()) {
        std::fprintf(stderr, "the hotkeys could not be registered: %s\n",
                     qUtf8Printable(services->hotkeyUnavailableReason()));
        return 1;
    }

    const ModifierKeyMap keys = ModifierKeyMap::defaults();
    const int fn = keys.fn.front();
    const int command = keys.rightCommand.front();
    auto key = [&keyboard](int keycode, bool down) { keyboard.keyNoWait(keycode, down); };

    std::vector<double> toPress, pressToBuffer, toBuffer;
    int failures = 0;
    const int rounds = 30;
    for (int r = 0; r < rounds + 3; ++r) { // the first three warm up the sound server
        gFirstBuffer = 0;
        hotkeys->pressedAt = {};
        key(fn, true);
        waitFor([] { return false; }, 15ms); // a person's keys are never closer together
        const auto injected = Clock::now();
        key(command, true);
        const bool pressed = waitFor([&] { return hotkeys->pressedAt != Clock::time_point{}; }, 2s);
        const bool captured = pressed && waitFor([] { return gFirstBuffer != 0; }, 3s);
        key(command, false);
        key(fn, false);
        if (!pressed || !captured) {
            ++failures;
            std::fprintf(stderr, "round %d: %s\n", r, pressed ? "no audio" : "no onPress");
        } else if (r >= 3) {
            const Clock::time_point first{Clock::duration(gFirstBuffer.load())};
            toPress.push_back(millis(hotkeys->pressedAt - injected));
            pressToBuffer.push_back(millis(first - hotkeys->pressedAt));
            toBuffer.push_back(millis(first - injected));
        }
        // End the session without words (nothing is pasted) and let the state come back to idle.
        waitFor([&] { return recognizer->request && recognizer->request->ended; }, 2s);
        if (recognizer->handler) {
            recognizer->handler(SpeechRecognitionSnapshot{QString(), true, std::nullopt});
        }
        if (!waitFor([&] { return state.status().is(AppStatus::Kind::idle); }, 3s)) {
            std::fprintf(stderr, "round %d: the state did not come back to idle\n", r);
            ++failures;
            break;
        }
        // Vary the phase against the feeder's 20 ms blocks, as a real press would.
        waitFor([] { return false; }, 40ms + std::chrono::milliseconds((r * 7) % 20));
    }

    report("injected chord -> onPress", toPress, 5);
    report("onPress -> first captured buffer", pressToBuffer, 150);
    report("injected chord -> first captured buffer", toBuffer, 0);
    if (failures > 0) {
        std::printf("failures: %d\n", failures);
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    quillory::Localization::installAllStrings();
    // Inside a private desktop: no key reaches the user's own desktop.
    quillory::bench::enterPrivateDesktop(argc, argv, {"--no-tray"});
    return runInsideDesktop(argc, argv);
}
