// The desktop composition where nothing of the desktop is there: every service is still built,
// says why it cannot work, and the state on top of it stays usable.
#include "Platform/linux/DesktopServices.h"
#include "App/AppState.h"
#include "Hotkey/GlobalHotKeyManager.h"
#include "Runtime/Localization.h"
#include "Speech/SpeechManager.h"
#include "session/SpeechFakes.h"
#include "support/CoreTest.h"

#include <QLoggingCategory>
#include <QScopeGuard>

using namespace quillory;

namespace {

class DesktopServicesTest : public quillory::testing::CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        QLoggingCategory::setFilterRules(QStringLiteral("app.quillory.quillory.*=false"));
        Localization::setLanguage(Localization::Language::English);
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE", "PULSE_SERVER"}) {
            saved_.push_back({name, qgetenv(name)});
            qunsetenv(name);
        }
        // A sound server that is not there.
        qputenv("PULSE_SERVER", "unix:" + path(QStringLiteral("no-such-socket")).toUtf8());
    }
    void TearDown() override {
        for (const auto& [name, value] : saved_) {
            value.isNull() ? qunsetenv(name) : qputenv(name, value);
        }
        Localization::resetLanguage();
        CoreTest::TearDown();
    }

    /// One start of the speech manager; the completion it delivered, if any.
    std::optional<SpeechResult> startSpeech(SpeechManager& speech) {
        std::optional<SpeechResult> completion;
        auto task = speech.start(
            {}, [](const QString&) {}, [&](const SpeechResult& r) { completion = r; }, [](bool) {});
        EXPECT_FALSE(quillory::runUntilDone(std::move(task), [this] { clock_.runPending(); }));
        clock_.runPending();
        return completion;
    }

    std::vector<std::pair<const char*, QByteArray>> saved_;
};

TEST_F(DesktopServicesTest, WithoutADesktopEverythingIsBuiltAndSaysWhy) {
    auto services = platform::makeDesktopServices();
    EXPECT_TRUE(services->hotkeyUnavailableReason().contains(QStringLiteral("no X11 display")))
        << services->hotkeyUnavailableReason().toStdString();
    EXPECT_EQ(services->inputUnavailableReason(), QStringLiteral("no display"));
    EXPECT_FALSE(services->hotkeyManager().modifierMonitorInstalled());

    // The state on top: the failed registration is recorded, nothing else.
    AppState state(services->appStateServices());
    EXPECT_FALSE(state.globalHotkeyRegistered());
    EXPECT_TRUE(state.status().is(AppStatus::Kind::idle));
    state.applyHotkeyConfiguration();
    EXPECT_FALSE(state.globalHotkeyRegistered());
}

TEST_F(DesktopServicesTest, SessionsUseTheRecognizerHookAndThePulseMicrophone) {
    auto services = platform::makeDesktopServices({.hotkeys = false, .input = false});

    // No recogniser yet: the session cannot start, and says so.
    auto completion = startSpeech(*services->speech());
    ASSERT_TRUE(completion && !completion->isSuccess());
    EXPECT_EQ(completion->error().kind(), SpeechError::Kind::recognizerUnavailable);

    // With one, the session goes on to the microphone, whose server is missing.
    auto recognizer = std::make_shared<quillory::testing::FakeRecognizer>();
    std::optional<SpeechLocale> asked;
    services->setRecognizerFactory([&](SpeechLocale locale) {
        asked = locale;
        return recognizer;
    });
    completion = startSpeech(*services->speech());
    EXPECT_EQ(asked, SpeechLocale::jaJP);
    ASSERT_TRUE(completion && !completion->isSuccess());
    EXPECT_EQ(completion->error().kind(), SpeechError::Kind::audioEngineFailed);
    EXPECT_TRUE(completion->error().localizedDescription().contains(QStringLiteral("sound server")))
        << completion->error().localizedDescription().toStdString();
}

} // namespace
