#include "SpeechFakes.h"
#include "support/CoreTest.h"

#include "Runtime/Localization.h"
#include "Speech/SpeechManager.h"
#include "Speech/WavFileAudioSource.h"

#include <QFile>
#include <QLoggingCategory>
#include <QtEndian>

#include <cmath>
#include <thread>

namespace quillory::testing {
namespace {

class SpeechManagerTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        QLoggingCategory::setFilterRules(QStringLiteral("app.quillory.quillory.*=false"));
        Localization::setLanguage(Localization::Language::English);
        recognizer = std::make_shared<FakeRecognizer>();
        SpeechBackends backends;
        backends.makeAudioSource = [this] {
            auto source = std::make_unique<FakeAudioSource>();
            source->failWith = audioFailure;
            audio = source.get();
            return source;
        };
        backends.makeRecognizer = [this](SpeechLocale) { return haveRecognizer ? recognizer : nullptr; };
        backends.isAuthorized = [this] { return authorized; };
        manager = std::make_unique<SpeechManager>(backends);
    }
    void TearDown() override {
        manager.reset();
        CoreTest::TearDown();
    }

    bool start(QStringList hints = {}) {
        auto task = manager->start(
            hints, [this](const QString& t) { partials << t; },
            [this](const SpeechResult& r) { completions.push_back(r); }, [this](bool v) { voice.push_back(v); },
            [this](const SpeechService::Progress& p) { progress.push_back(p.confirmedText); });
        return runUntilDone(std::move(task), [this] { clock_.runPending(); });
    }
    void send(std::optional<QString> text, bool isFinal, std::optional<QString> error = std::nullopt) {
        recognizer->send(std::move(text), isFinal, std::move(error));
        clock_.runPending();
    }

    std::shared_ptr<FakeRecognizer> recognizer;
    FakeAudioSource* audio = nullptr;
    std::optional<QString> audioFailure;
    bool haveRecognizer = true;
    bool authorized = true;
    std::unique_ptr<SpeechManager> manager;
    QStringList partials;
    std::vector<SpeechResult> completions;
    std::vector<bool> voice;
    std::vector<std::optional<QString>> progress;
};

TEST_F(SpeechManagerTest, StartFailuresCompleteOnceWithTheirError) {
    authorized = false;
    EXPECT_FALSE(start());
    haveRecognizer = false;
    authorized = true;
    EXPECT_FALSE(start());
    haveRecognizer = true;
    recognizer->onDevice = false;
    EXPECT_FALSE(start());
    recognizer->onDevice = true;
    audioFailure = QStringLiteral("no input device");
    EXPECT_FALSE(start());
    ASSERT_EQ(completions.size(), 4u);
    EXPECT_EQ(completions[0].error(), SpeechError::authorizationDenied());
    EXPECT_EQ(completions[1].error(), SpeechError::recognizerUnavailable());
    EXPECT_EQ(completions[2].error(), SpeechError::onDeviceUnavailable(SpeechLocale::jaJP));
    EXPECT_EQ(completions[3].error(), SpeechError::audioEngineFailed(QStringLiteral("no input device")));
    EXPECT_EQ(completions[2].error().localizedDescription(),
              Localization::format("speech.error.on_device", QStringLiteral("ja-JP")));
    // The voice handler is only known (and told "false" at cleanup) once capture was attempted.
    EXPECT_EQ(voice, std::vector<bool>{false});
    EXPECT_FALSE(manager->isSessionRunning());
}

TEST_F(SpeechManagerTest, FinalResultsAndFallbacks) {
    ASSERT_TRUE(start({QStringLiteral("Quillory")}));
    EXPECT_EQ(recognizer->request->options.contextualStrings, QStringList{QStringLiteral("Quillory")});
    send(QStringLiteral("今日は"), false);
    send(QStringLiteral("  "), true); // blank final: the last partial
    send(QStringLiteral("late"), true);
    EXPECT_EQ(partials, QStringList{QStringLiteral("今日は")});
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0], SpeechResult::success(QStringLiteral("今日は")));
    EXPECT_TRUE(*recognizer->taskCancelled);

    ASSERT_TRUE(start());
    EXPECT_EQ(recognizer->request->options.contextualStrings, std::nullopt);
    send(QStringLiteral(" spaced "), true);
    EXPECT_EQ(completions.back(), SpeechResult::success(QStringLiteral(" spaced ")));

    ASSERT_TRUE(start()); // a silent end carrying text: trimmed
    send(QStringLiteral(" hi "), false, QStringLiteral("No speech detected"));
    EXPECT_EQ(completions.back(), SpeechResult::success(QStringLiteral("hi")));

    ASSERT_TRUE(start()); // an empty error message is a silent end too, with no text at all
    send(std::nullopt, false, QStringLiteral("   "));
    EXPECT_EQ(completions.back(), SpeechResult::success(QString()));

    ASSERT_TRUE(start());
    send(std::nullopt, false, QStringLiteral("decoder exploded"));
    send(QStringLiteral("after the error"), true);
    EXPECT_EQ(completions.back(), SpeechResult::failure(SpeechError::recognitionFailed("decoder exploded")));
    EXPECT_EQ(completions.size(), 5u);
}

TEST_F(SpeechManagerTest, ResultsOfATornDownRecognitionNeverReachTheNextSession) {
    ASSERT_TRUE(start());
    auto oldHandler = recognizer->handler;
    // A result already on its way when the session is replaced.
    oldHandler(SpeechRecognitionSnapshot{QStringLiteral("old final"), true, std::nullopt});
    ASSERT_TRUE(start());
    clock_.runPending();
    oldHandler(SpeechRecognitionSnapshot{QStringLiteral("old partial"), false, std::nullopt});
    clock_.runPending();
    EXPECT_TRUE(completions.empty());
    EXPECT_TRUE(partials.isEmpty());
    send(QStringLiteral("new"), true);
    EXPECT_EQ(completions, std::vector<SpeechResult>{SpeechResult::success(QStringLiteral("new"))});
}

TEST_F(SpeechManagerTest, AWholeSessionRecognisersEmptyFinalIsEmptyNeverItsLastPartial) {
    // Its partials may be a faster helper model's guess; only its final counts.
    recognizer->wholeSession = true;
    ASSERT_TRUE(start());
    send(QStringLiteral("ご視聴ありがとうございました"), false);
    send(QStringLiteral("  "), true);
    EXPECT_EQ(completions.back(), SpeechResult::success(QString()));

    ASSERT_TRUE(start());
    send(QStringLiteral("雑音"), false);
    send(std::nullopt, false, QStringLiteral("No speech detected"));
    EXPECT_EQ(completions.back(), SpeechResult::success(QString()));
    EXPECT_EQ(completions.size(), 2u);
}

TEST_F(SpeechManagerTest, ProgressReachesTheCallerWithTheConfirmedTextAndStopsAtTheCompletion) {
    ASSERT_TRUE(start());
    SpeechRecognitionSnapshot step;
    step.isProgress = true;
    recognizer->handler(step);
    step.confirmedText = QStringLiteral("一文目。");
    recognizer->handler(step);
    SpeechRecognitionSnapshot live{QStringLiteral("一文目。にぶ"), false, std::nullopt};
    live.confirmedText = QStringLiteral("一文目。");
    recognizer->handler(live);
    clock_.runPending();
    EXPECT_EQ(progress, (std::vector<std::optional<QString>>{std::nullopt, QStringLiteral("一文目。"),
                                                             QStringLiteral("一文目。")}));
    EXPECT_EQ(partials, QStringList{QStringLiteral("一文目。にぶ")}); // a step is no partial
    EXPECT_TRUE(completions.empty());
    send(QStringLiteral("一文目。二文目。"), true);
    recognizer->handler(step);
    clock_.runPending();
    EXPECT_EQ(progress.size(), 3u);
}

TEST_F(SpeechManagerTest, AMicrophoneThatBreaksEndsTheSessionWithAnAudioFailureOnce) {
    ASSERT_TRUE(start());
    send(QStringLiteral("途中"), false);
    const auto firstSessionsReport = audio->onFailure;
    ASSERT_TRUE(firstSessionsReport);
    // The capture thread reports the failure; the session learns of it on the main thread.
    std::thread([this] { audio->breakDown(QStringLiteral("Connection terminated")); }).join();
    EXPECT_TRUE(completions.empty());
    clock_.runPending();
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0], SpeechResult::failure(SpeechError::audioEngineFailed("Connection terminated")));
    EXPECT_TRUE(*recognizer->taskCancelled);
    EXPECT_FALSE(manager->isSessionRunning());
    EXPECT_EQ(voice.back(), false);

    // A late report of the first session's capture never ends the next session.
    ASSERT_TRUE(start());
    firstSessionsReport(QStringLiteral("late"));
    clock_.runPending();
    EXPECT_EQ(completions.size(), 1u);
    EXPECT_TRUE(manager->isSessionRunning());
    send(QStringLiteral("done"), true);
    EXPECT_EQ(completions.back(), SpeechResult::success(QStringLiteral("done")));
}

TEST_F(SpeechManagerTest, StopEndsAudioButWaitsForTheFinalResult) {
    ASSERT_TRUE(start());
    manager->stop();
    EXPECT_FALSE(audio->running);
    EXPECT_TRUE(recognizer->request->ended);
    EXPECT_TRUE(completions.empty());
    send(QStringLiteral("done"), true);
    EXPECT_EQ(completions.size(), 1u);
}

TEST_F(SpeechManagerTest, TheMeterIsSampledEvery40MsAgainstAThresholdOf0018) {
    ASSERT_TRUE(start());
    // A steady level settles the smoothed value at the level itself.
    auto settleAt = [this](float level) {
        for (int i = 0; i < 200; ++i) {
            audio->feed(level);
        }
    };
    settleAt(0.0181f);
    clock_.advance(std::chrono::milliseconds(39));
    EXPECT_TRUE(voice.empty()); // not sampled before 40 ms
    clock_.advance(std::chrono::milliseconds(1));
    EXPECT_EQ(voice, std::vector<bool>{true});

    settleAt(0.0179f);
    clock_.advance(std::chrono::milliseconds(40 * 5));
    EXPECT_EQ(voice, std::vector<bool>{true}); // five quiet samples
    clock_.advance(std::chrono::milliseconds(40));
    EXPECT_EQ(voice, (std::vector<bool>{true, false}));
    EXPECT_FLOAT_EQ(AudioLevelMeter::rms(std::vector<float>{0.3f, -0.4f}), std::sqrt(0.125f));
}

TEST_F(SpeechManagerTest, AResultFromAnotherThreadStillReachesTheMainThreadInOrder) {
    ASSERT_TRUE(start());
    std::thread other([this] {
        recognizer->send(QStringLiteral("partial"), false);
        recognizer->send(QStringLiteral("final"), true);
    });
    other.join();
    clock_.runPending();
    EXPECT_EQ(partials, QStringList{QStringLiteral("partial")});
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0], SpeechResult::success(QStringLiteral("final")));
}

TEST_F(SpeechManagerTest, StartFailuresOfTheManagerItselfAreLocalised) {
    Localization::setLanguage(Localization::Language::Japanese);
    recognizer->failRequest = true;
    EXPECT_FALSE(start());
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].error().localizedDescription(), L("speech.error.request"));
    EXPECT_NE(L("speech.error.request"), QStringLiteral("speech.error.request"));
}

TEST_F(SpeechManagerTest, VoiceActivityHasSixTickHysteresis) {
    ASSERT_TRUE(start());
    // Capture thread feeding the meter while the main thread samples it.
    std::thread capture([this] {
        for (int i = 0; i < 40; ++i) {
            audio->feed(0.5f);
        }
    });
    capture.join();
    EXPECT_EQ(recognizer->request->frameCount(), 40u * 1024u);
    clock_.advance(SpeechManager::kMeterInterval);
    EXPECT_EQ(voice, std::vector<bool>{true});

    auto quietTicks = [this](int n) {
        for (int i = 0; i < n; ++i) {
            for (int k = 0; k < 60; ++k) {
                audio->feed(0.0f); // pull the smoothed level well below the threshold
            }
            clock_.advance(SpeechManager::kMeterInterval);
        }
    };
    quietTicks(5);
    audio->feed(1.0f);
    audio->feed(1.0f);
    clock_.advance(SpeechManager::kMeterInterval); // loud again before the sixth quiet tick
    EXPECT_EQ(voice, std::vector<bool>{true});
    quietTicks(6);
    EXPECT_EQ(voice, (std::vector<bool>{true, false}));
    manager->stop();
    send(QStringLiteral("x"), true); // cleanup reports "false" once more
    EXPECT_EQ(voice, (std::vector<bool>{true, false, false}));
}

TEST(AudioLevelMeterTest, RmsOfTheSamples) {
    EXPECT_EQ(AudioLevelMeter::rms({}), 0.0f);
    const std::vector<float> samples{0.5f, -0.5f, 0.5f, -0.5f};
    EXPECT_FLOAT_EQ(AudioLevelMeter::rms(samples), 0.5f);
    AudioLevelMeter meter;
    meter.feed(1.0f);
    EXPECT_FLOAT_EQ(meter.value(), 0.12f);
    meter.feed(1.0f);
    EXPECT_FLOAT_EQ(meter.value(), 0.12f + 0.12f * 0.88f);
}

TEST(SpeechErrorTest, ClassifiersAndDescriptions) {
    Localization::setLanguage(Localization::Language::English);
    EXPECT_TRUE(SpeechManager::isSilentEndSystemMessage(QStringLiteral("  ")));
    EXPECT_TRUE(SpeechManager::isSilentEndSystemMessage(QStringLiteral("NO SPEECH DETECTED")));
    EXPECT_TRUE(SpeechManager::isSilentEndSystemMessage(QStringLiteral("No speech was detected")));
    EXPECT_TRUE(SpeechManager::isSilentEndSystemMessage(QString::fromUtf16(u"音声が検出されませんでした。")));
    EXPECT_FALSE(SpeechManager::isSilentEndSystemMessage(QStringLiteral("network down")));

    const auto siri = SpeechError::recognitionFailed(QStringLiteral("SIRI is DISABLED"));
    EXPECT_EQ(siri.localizedDescription(), L("error.dictation_disabled"));
    EXPECT_TRUE(siri.isUnrecoverable());
    EXPECT_TRUE(SpeechError::isDictationDisabledMessage(QString::fromUtf16(u"音声入力が無効です")));
    EXPECT_TRUE(SpeechError::audioEngineFailed(QStringLiteral("AVFAudio error -10868")).isUnrecoverable());
    EXPECT_FALSE(SpeechError::audioEngineFailed(QStringLiteral("error -10868")).isUnrecoverable());
    EXPECT_FALSE(SpeechError::recognitionFailed(QStringLiteral("timeout")).isUnrecoverable());
    EXPECT_EQ(SpeechError::recognitionFailed(QStringLiteral("timeout")).localizedDescription(), "timeout");
    EXPECT_TRUE(SpeechError::authorizationDenied().isUnrecoverable());
    EXPECT_EQ(SpeechError::recognizerUnavailable().localizedDescription(), L("speech.error.recognizer"));
}

// ---- WAV file source ----

QByteArray wav(quint16 format, quint16 channels, quint32 rate, quint16 bits, const QByteArray& data) {
    QByteArray out("RIFF");
    auto put32 = [&](quint32 v) {
        char b[4];
        qToLittleEndian(v, b);
        out.append(b, 4);
    };
    auto put16 = [&](quint16 v) {
        char b[2];
        qToLittleEndian(v, b);
        out.append(b, 2);
    };
    put32(36 + quint32(data.size()));
    out.append("WAVEfmt ");
    put32(16);
    put16(format);
    put16(channels);
    put32(rate);
    put32(rate * channels * bits / 8);
    put16(quint16(channels * bits / 8));
    put16(bits);
    out.append("data");
    put32(quint32(data.size()));
    out.append(data);
    return out;
}

QByteArray pcm16(int frames, int channels, qint16 value) {
    QByteArray d;
    for (int i = 0; i < frames * channels; ++i) {
        char b[2];
        qToLittleEndian(value, b);
        d.append(b, 2);
    }
    return d;
}

TEST(WavFileAudioSourceTest, DecodesAndResamplesToSixteenKilohertzMono) {
    const auto stereo48k = WavFileAudioSource::decode(wav(1, 2, 48000, 16, pcm16(4800, 2, 16384)));
    EXPECT_EQ(stereo48k.size(), 1600u);
    EXPECT_NEAR(stereo48k[100], 0.5f, 1e-4);

    QByteArray floats;
    for (float f : {0.25f, -0.25f, 0.25f, -0.25f}) {
        char b[4];
        std::memcpy(b, &f, 4);
        floats.append(b, 4);
    }
    const auto mono = WavFileAudioSource::decode(wav(3, 1, 16000, 32, floats));
    EXPECT_EQ(mono, (std::vector<float>{0.25f, -0.25f, 0.25f, -0.25f}));
}

TEST(WavFileAudioSourceTest, OddFilesGiveClearErrors) {
    auto message = [](const QByteArray& bytes) {
        try {
            WavFileAudioSource::decode(bytes);
        } catch (const SpeechBackendError& e) {
            return QString::fromUtf8(e.what());
        }
        return QString();
    };
    const QByteArray good = wav(1, 1, 16000, 16, pcm16(100, 1, 1));
    // Cut short: what is there is read, and said so (see WavReader in the speech tests).
    QStringList notes;
    EXPECT_EQ(WavFileAudioSource::decode(good.left(good.size() - 10), &notes).size(), 95u);
    ASSERT_EQ(notes.size(), 1);
    EXPECT_TRUE(notes.first().startsWith("Truncated WAV file"));
    EXPECT_TRUE(message(QByteArray("hello")).startsWith("Not a WAV file"));
    EXPECT_TRUE(message(wav(1, 1, 16000, 8, QByteArray(100, 0))).startsWith("Unsupported WAV encoding"));
    EXPECT_TRUE(
        message(wav(1, 6, 16000, 16, pcm16(10, 6, 0))).startsWith("Unsupported WAV file: 6 channels"));
    notes.clear();
    EXPECT_EQ(WavFileAudioSource::decode(wav(1, 2, 16000, 16, pcm16(10, 2, 0).left(38)), &notes).size(), 9u);
    ASSERT_EQ(notes.size(), 1);
    EXPECT_TRUE(notes.first().contains("sample frame"));
}

TEST(WavFileAudioSourceTest, DeliversBuffersOnItsOwnThread) {
    QTemporaryDir dir;
    const QString path = dir.filePath("speech.wav");
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(wav(1, 1, 16000, 16, pcm16(2500, 1, 100)));
    f.close();

    WavFileAudioSource source(path);
    std::vector<std::size_t> sizes;
    std::thread::id deliveryThread;
    source.start([&](std::span<const float> samples) {
        sizes.push_back(samples.size());
        deliveryThread = std::this_thread::get_id();
    });
    source.waitUntilFinished();
    EXPECT_EQ(sizes, (std::vector<std::size_t>{1024, 1024, 452}));
    EXPECT_NE(deliveryThread, std::this_thread::get_id());

    WavFileAudioSource missing(dir.filePath("none.wav"));
    EXPECT_THROW(missing.start([](std::span<const float>) {}), SpeechBackendError);
}

} // namespace
} // namespace quillory::testing
