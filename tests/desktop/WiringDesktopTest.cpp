// The composed desktop services on a real desktop: the hold-to-talk chord, typed with XTest by
// exact keycode, starts a session of the application state that records from PulseAudio (the
// desktop session's pipe microphone); releasing it ends the session. And `quillory doctor`
// registers the stored shortcut for real. Last, the sound server dies under a dictation (this test
// stops the session's PulseAudio, so it comes after every other one).
#include "App/AppState.h"
#include "Platform/linux/DesktopServices.h"
#include "Hotkey/GlobalHotKeyManager.h"
#include "Hotkey/ModifierKeyMap.h"
#include "session/SpeechFakes.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

// X11 last: its macros (None, Bool, Status...) break the headers above.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include "support/X11UserKeyboard.h" // after Qt: Xlib defines None, KeyPress...

using namespace quillory;
using namespace std::chrono_literals;

namespace {

/// Feeds silence into the pipe microphone in 10 ms blocks at real time, like a live device.
class PipeMicrophone {
public:
    PipeMicrophone() {
        thread_ = std::thread([this] {
            const int fd =
                ::open(qgetenv("QUILLORY_TEST_PIPE_SOURCE").constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) {
                return;
            }
            std::vector<float> block(160, 0.001f);
            while (!stop_) {
                const ssize_t done = ::write(fd, block.data(), block.size() * sizeof(float));
                if (done < 0 && errno != EAGAIN) {
                    break;
                }
                std::this_thread::sleep_for(10ms);
            }
            ::close(fd);
        });
    }
    ~PipeMicrophone() {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

/// The user's keyboard: keys through the X server's own keyboard device, not the XTEST one.
class Keyboard {
public:
    bool ok() const { return keyboard_.ok(); }
    void key(int keycode, bool down) {
        keyboard_.key(keycode, down);
        QTest::qWait(15);
    }

private:
    test::X11UserKeyboard keyboard_;
};

TEST(WiringDesktop, TheHoldChordRecordsFromTheMicrophoneThroughTheComposedServices) {
    Keyboard keyboard;
    ASSERT_TRUE(keyboard.ok());
    PipeMicrophone microphone;

    auto services = platform::makeDesktopServices();
    EXPECT_TRUE(services->hotkeyUnavailableReason().isEmpty())
        << services->hotkeyUnavailableReason().toStdString();
    EXPECT_TRUE(services->inputUnavailableReason().isEmpty())
        << services->inputUnavailableReason().toStdString();
    EXPECT_TRUE(RuntimeEnvironmentStatus::hasAudioCaptureDevice());

    auto recognizer = std::make_shared<quillory::testing::FakeRecognizer>();
    services->setRecognizerFactory([recognizer](SpeechLocale) { return recognizer; });
    auto state = std::make_unique<AppState>(services->appStateServices());
    ASSERT_TRUE(state->globalHotkeyRegistered());
    EXPECT_TRUE(services->hotkeyManager().modifierMonitorInstalled());

    const ModifierKeyMap keys = ModifierKeyMap::defaults();
    const int fn = keys.fn.front();
    const int command = keys.rightCommand.front();
    keyboard.key(fn, true);
    keyboard.key(command, true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return state->isRecording(); }, 3000));
    EXPECT_EQ(state->focusedAppRecordingOrigin(), FocusedAppVoiceRecordingOrigin::pushToTalkHotkey);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return recognizer->request && recognizer->request->frameCount() > 0; }, 3000))
        << "no audio reached the recogniser";

    keyboard.key(command, false);
    keyboard.key(fn, false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return recognizer->request->ended; }, 3000));
    EXPECT_FALSE(state->isRecording());
    recognizer->send(QString(), true); // nothing was said: nothing is pasted
    EXPECT_TRUE(QTest::qWaitFor([&] { return state->status().is(AppStatus::Kind::idle); }, 3000));
    state.reset();
}

TEST(WiringDesktop, DoctorRegistersTheStoredShortcut) {
    QProcess doctor;
    doctor.start(QStringLiteral(QUILLORY_EXECUTABLE), {"doctor", "--json"});
    ASSERT_TRUE(doctor.waitForFinished(20000));
    const QByteArray out = doctor.readAllStandardOutput();
    QJsonObject hotkey;
    for (const auto& value : QJsonDocument::fromJson(out).object().value("checks").toArray()) {
        if (value.toObject().value("id").toString() == "hotkey") {
            hotkey = value.toObject();
        }
    }
    EXPECT_EQ(hotkey.value("status").toString(), "OK") << out.toStdString();

    // What doctor does, in-process: a registration attempt that leaves nothing installed.
    EXPECT_EQ(platform::tryHotkeyRegistration(HotkeyConfig::factoryDefaults()), std::optional<bool>(true));
    const QByteArray display = qgetenv("DISPLAY");
    qunsetenv("DISPLAY");
    EXPECT_EQ(platform::tryHotkeyRegistration(HotkeyConfig::factoryDefaults()), std::nullopt);
    qputenv("DISPLAY", display);
}

} // namespace

// Defined last, so it runs last in this program: it kills the desktop session's sound server.
TEST(WiringDesktop, ASoundServerThatDiesMidDictationCommitsWhatWasSaidThenShowsTheError) {
    const pid_t server = pid_t(qEnvironmentVariableIntValue("QUILLORY_TEST_PULSE_PID"));
    ASSERT_GT(server, 0) << "the desktop session names no PulseAudio process";
    auto microphone = std::make_unique<PipeMicrophone>();

    auto services = platform::makeDesktopServices();
    auto recognizer = std::make_shared<quillory::testing::FakeRecognizer>();
    services->setRecognizerFactory([recognizer](SpeechLocale) { return recognizer; });
    auto state = std::make_unique<AppState>(services->appStateServices());

    // The settings window's voice test: its field shows exactly what was committed.
    state->toggleVoiceTestRecording();
    ASSERT_TRUE(QTest::qWaitFor([&] { return state->speechCaptureReady(); }, 10000))
        << state->status().logDescription().toStdString();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return recognizer->request && recognizer->request->frameCount() > 0; }, 10000))
        << "no audio reached the recogniser";
    recognizer->send(QStringLiteral("途中まで"), false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return state->partialText() == QStringLiteral("途中まで"); }, 5000));

    // The feed stops first: a pipe whose reader died would end this process with SIGPIPE.
    microphone.reset();
    ASSERT_EQ(::kill(server, SIGKILL), 0) << std::strerror(errno);
    // Generous: the client notices the closed socket on its own thread, then the main loop acts.
    ASSERT_TRUE(QTest::qWaitFor([&] { return state->status().is(AppStatus::Kind::error); }, 30000))
        << "status stays " << state->status().logDescription().toStdString();
    EXPECT_EQ(state->voiceTestFieldText(), QStringLiteral("途中まで")) << "the words said before are kept";
    EXPECT_TRUE(state->status().message().contains(QStringLiteral("The microphone stopped recording")) ||
                state->status().message().contains(QStringLiteral("マイクの録音が止まりました")))
        << state->status().message().toStdString();
    EXPECT_TRUE(*recognizer->taskCancelled);
    state.reset();
}
