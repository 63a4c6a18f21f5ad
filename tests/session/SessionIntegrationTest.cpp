// The state, the real speech manager and the real input engine together, on fake devices.

#include "SessionTestSupport.h"
#include "SpeechFakes.h"

#include "Input/InputEngine.h"
#include "Speech/SpeechManager.h"

namespace quillory::testing {
namespace {

class SessionIntegrationTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        QLoggingCategory::setFilterRules(QStringLiteral("app.quillory.quillory.*=false"));
        recognizer = std::make_shared<FakeRecognizer>();
        SpeechBackends backends;
        backends.makeAudioSource = [this] {
            auto source = std::make_unique<FakeAudioSource>();
            audio = source.get();
            return source;
        };
        backends.makeRecognizer = [this](SpeechLocale) { return recognizer; };
        clipboard = std::make_shared<FakeClipboard>();
        clipboard->userCopies(QStringLiteral("user clipboard"));
        keys = std::make_shared<FakeKeys>();
        keys->onPost = [this](const KeyEvent& e) {
            if (e.keyDown) {
                pasted << clipboard->text();
            }
        };
        auto focus = std::make_shared<FakeFocus>();
        focus->element = std::make_shared<FakeElement>();
        focus->element->attributes["AXRole"] = QStringLiteral("AXTextField");
        focus->element->attributes["AXValue"] = QStringLiteral("Dear team,");
        state = std::make_unique<AppState>(
            AppStateServices{std::make_shared<SpeechManager>(backends),
                             std::make_shared<InputEngine>(
                                 InputPlatform{std::make_shared<FakeTrust>(), focus, clipboard, keys}),
                             std::make_shared<FakePermissions>(), std::make_shared<FakeEnvironment>(),
                             std::make_shared<FakePolish>()});
    }
    void TearDown() override {
        state.reset();
        CoreTest::TearDown();
    }
    void send(std::optional<QString> text, bool isFinal) {
        recognizer->send(std::move(text), isFinal);
        clock_.runPending();
    }

    std::shared_ptr<FakeRecognizer> recognizer;
    FakeAudioSource* audio = nullptr;
    std::shared_ptr<FakeClipboard> clipboard;
    std::shared_ptr<FakeKeys> keys;
    std::unique_ptr<AppState> state;
    QStringList pasted;
};

TEST_F(SessionIntegrationTest, OneDictationFromHotkeyToPaste) {
    state->handleHotkeyPress();
    clock_.runPending();
    ASSERT_TRUE(state->speechCaptureReady());
    EXPECT_EQ(state->dictationBaseline(), QStringLiteral("Dear team,"));
    audio->feed(0.3f);
    clock_.advance(SpeechManager::kMeterInterval);
    EXPECT_TRUE(state->voiceInputDetected());
    send(QStringLiteral("the build"), false);
    send(QStringLiteral("the build is green"), false);
    EXPECT_EQ(state->partialText(), QStringLiteral("the build is green"));

    state->handleHotkeyRelease();
    EXPECT_TRUE(recognizer->request->ended);
    EXPECT_FALSE(audio->running);
    auto handler = recognizer->handler;
    send(QStringLiteral("The build is green."), true);
    EXPECT_EQ(state->status(), AppStatus::idle());
    EXPECT_EQ(pasted, QStringList{QStringLiteral("The build is green.")});
    EXPECT_FALSE(state->voiceInputDetected());

    // The recogniser keeps talking after its session ended: nothing reaches the state.
    handler(SpeechRecognitionSnapshot{QStringLiteral("echo"), false, std::nullopt});
    clock_.runPending();
    EXPECT_EQ(state->partialText(), QString());

    clock_.advance(seconds(0.6));
    EXPECT_EQ(clipboard->text(), QStringLiteral("user clipboard"));
}

TEST_F(SessionIntegrationTest, ARecogniserThatNeverAnswersIsEndedByTheWatchdog) {
    state->handleHotkeyPress();
    clock_.runPending();
    send(QStringLiteral("half"), false);
    state->handleHotkeyRelease();
    clock_.advance(seconds(8));
    EXPECT_TRUE(*recognizer->taskCancelled);
    EXPECT_EQ(pasted, QStringList{QStringLiteral("half")});
    send(QStringLiteral("half, and more"), true); // too late
    EXPECT_EQ(pasted.size(), 1);
}

} // namespace
} // namespace quillory::testing
