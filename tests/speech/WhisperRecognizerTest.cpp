#include "RecognizerFakes.h"
#include "support/CoreTest.h"
#include "support/LogCapture.h"

#include "../session/SpeechFakes.h"
#include "Runtime/Async.h"
#include "Speech/SpeechManager.h"
#include "Speech/WhisperRecognizer.h"

#include <QFile>
#include <QLoggingCategory>
#include <QRegularExpression>

#include <future>

namespace quillory::testing {
namespace {

class WhisperRecognizerTest : public CoreTest {
protected:
    void endSessionAndJoin(std::shared_ptr<ThreadRecognitionWorker>& thread);
    void SetUp() override {
        CoreTest::SetUp();
        QLoggingCategory::setFilterRules(QStringLiteral("app.quillory.quillory.*=false"));
        modelFile = path(QStringLiteral("model.bin"));
        writeModel(modelFile);
        decoder = std::make_shared<FakeDecoder>();
        worker = std::make_shared<ManualWorker>();
        makeHost(worker);
    }

    /// A model file: the fake loader reads nothing of it, the host only sees that it is there.
    static void writeModel(const QString& file, const QByteArray& bytes = "ggml") {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

    void makeHost(std::shared_ptr<RecognitionWorker> w) {
        host = std::make_shared<WhisperRecognizerHost>(
            [this] { return modelFile; },
            [this](const QString&) -> Expected<std::shared_ptr<SpeechDecoder>> {
                ++loads;
                if (loadFails) {
                    return Failure{QStringLiteral("not a whisper model")};
                }
                return decoder;
            },
            std::move(w), tuning);
    }

    void startSession(QStringList hints = {}, bool partials = true) {
        recognizer = host->makeRecognizer();
        ASSERT_TRUE(recognizer->isAvailable());
        RecognitionOptions options;
        options.shouldReportPartialResults = partials;
        if (!hints.isEmpty()) {
            options.contextualStrings = hints;
        }
        request = recognizer->makeRequest(options);
        task = recognizer->recognitionTask(request, [this](const SpeechRecognitionSnapshot& s) {
            snapshots.push_back(s);
            if (s.text && !s.isFinal) {
                partials_ << *s.text;
            }
        });
    }

    void loadModel() {
        host->preload();
        worker->runNext();
        clock_.runPending();
        ASSERT_EQ(host->loadState(), WhisperRecognizerHost::LoadState::loaded);
    }

    /// Moves time on; a job waiting on a worker runs once it has waited that worker's cost.
    void step(Duration d) {
        clock_.advance(d);
        runDue(*worker, decodeCost, jobSeenAt);
        if (fastWorker) {
            runDue(*fastWorker, fastCost, fastSeenAt);
        }
    }
    void runDue(ManualWorker& w, Duration cost, std::optional<Duration>& seenAt) {
        if (w.queued() > 0) {
            if (!seenAt) {
                seenAt = clock_.monotonicNow();
            }
            if (clock_.monotonicNow() - *seenAt >= cost) {
                seenAt.reset();
                w.runNext();
                clock_.runPending();
            }
        }
    }

    /// A fast model writes the live text on a worker of its own.
    void addFastModel() {
        fastFile = path(QStringLiteral("fast.bin"));
        writeModel(fastFile);
        fast = std::make_shared<FakeDecoder>();
        fast->mark = QStringLiteral("~");
        fastWorker = std::make_shared<ManualWorker>();
        host->setPartialPass({[this] { return fastFile; },
                              [this](const QString&) -> Expected<std::shared_ptr<SpeechDecoder>> {
                                  if (fastLoadFails) {
                                      return Failure{QStringLiteral("not a whisper model")};
                                  }
                                  return fast;
                              },
                              fastWorker});
    }
    void loadBoth() {
        host->preload();
        worker->runNext();
        fastWorker->runNext();
        clock_.runPending();
    }

    /// Speaks (level > 0) or stays silent (0) for `secs`, in capture buffers of 1024 frames.
    void feed(double secs, float level) {
        qint64 left = samplesOf(secs);
        while (left > 0) {
            const qint64 n = std::min<qint64>(left, kAudioBufferFrames);
            const std::vector<float> buffer(static_cast<std::size_t>(n), level);
            request->append(buffer);
            left -= n;
            step(seconds(static_cast<double>(n) / kRate));
        }
    }

    /// Speech without pauses (for the decoder's word mode): `count` words of 0.31 s, each at its own
    /// level, with 30 ms dips between them. Returns the words said.
    QString feedWords(int count) {
        QString said;
        for (int k = 0; k < count; ++k) {
            const float level = 0.20f + 0.01f * static_cast<float>(k % 40);
            feed(0.31, level);
            feed(0.03, 0.001f);
            said += word(level);
        }
        return said;
    }

    /// Ends the audio and runs until the session has ended (or a minute of virtual time passed).
    void finish() {
        request->endAudio();
        for (int i = 0; i < 6000 && !ended(); ++i) {
            step(10ms);
        }
    }

    bool ended() const {
        for (const auto& s : snapshots) {
            if (s.isFinal || s.errorDescription) {
                return true;
            }
        }
        return false;
    }
    int endings() const {
        int n = 0;
        for (const auto& s : snapshots) {
            n += (s.isFinal || s.errorDescription) ? 1 : 0;
        }
        return n;
    }
    QString finalText() const {
        for (const auto& s : snapshots) {
            if (s.isFinal && s.text) {
                return *s.text;
            }
        }
        return {};
    }

    StreamingTuning tuning;
    QString modelFile;
    std::shared_ptr<FakeDecoder> decoder;
    std::shared_ptr<ManualWorker> worker;
    std::shared_ptr<WhisperRecognizerHost> host;
    int loads = 0;
    bool loadFails = false;
    Duration decodeCost = Duration::zero();
    std::optional<Duration> jobSeenAt;
    QString fastFile;
    std::shared_ptr<FakeDecoder> fast;
    std::shared_ptr<ManualWorker> fastWorker;
    bool fastLoadFails = false;
    Duration fastCost = Duration::zero();
    std::optional<Duration> fastSeenAt;

    std::shared_ptr<SpeechRecognizer> recognizer;
    std::shared_ptr<RecognitionRequest> request;
    std::unique_ptr<RecognitionTask> task;
    std::vector<SpeechRecognitionSnapshot> snapshots;
    QStringList partials_;
};

// ---- cadence ----

TEST_F(WhisperRecognizerTest, SlowDecoderGetsFewerPartialsAndNeverABacklog) {
    loadModel();
    decodeCost = seconds(1.5);
    decoder->wordSeconds = 0.31;
    startSession();
    const QString said = feedWords(30); // 10 s
    EXPECT_LE(worker->maxQueued, 1u) << "never more than one job waiting";
    const auto calls = decoder->callsCopy();
    // Each decode takes 1.5 s and the next waits at least as long again: about one every 3 s.
    EXPECT_GE(calls.size(), 2u);
    EXPECT_LE(calls.size(), 4u);
    finish();
    EXPECT_EQ(endings(), 1);
    EXPECT_EQ(finalText(), said) << "a segment cut near 8 s, then the rest";
}

TEST_F(WhisperRecognizerTest, FastDecoderGivesPartialsAtTheShortestIntervalWithTheWholeTextSoFar) {
    startSession();
    feed(4, 0.1f);
    // 4 s at one partial per 0.4 s at most.
    EXPECT_GE(partials_.size(), 6);
    EXPECT_LE(partials_.size(), 10);
    for (int i = 1; i < partials_.size(); ++i) {
        EXPECT_TRUE(partials_[i].startsWith(partials_[i - 1])) << "the hypothesis only grows in steady speech";
    }
    EXPECT_LE(worker->maxQueued, 1u);
}

TEST_F(WhisperRecognizerTest, NoPartialsWhenTheRequestAsksForNone) {
    startSession({}, false);
    feed(3, 0.1f);
    feed(1, 0.0f);
    feed(2, 0.2f);
    finish();
    EXPECT_TRUE(partials_.isEmpty());
    EXPECT_EQ(finalText(), spoken(0.1f, 6) + spoken(0.2f, 4));
}

// ---- segments ----

TEST_F(WhisperRecognizerTest, SegmentsSettleAtPausesAreAnnouncedWithTheEndOfTheirAudioAndNeverChange) {
    startSession();
    std::vector<qint64> ends;
    request->setSettledAudioHandler([&](qint64 end) {
        ends.push_back(end);
        EXPECT_EQ(finalText(), QString()) << "announced before the final";
    });
    feed(2, 0.1f);
    feed(1, 0.0f); // a pause: the first segment settles
    const std::size_t callsAfterFirst = decoder->callCount();
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0], samplesOf(2) + tuning.padSamples) << "the speech and its padding";
    feed(2, 0.2f);
    feed(1, 0.0f);
    feed(1.5, 0.3f);
    finish();
    // The last segment settles in the final: nothing is announced after the audio ended.
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_EQ(ends[1], samplesOf(5) + tuning.padSamples);

    const QString first = spoken(0.1f, 4);
    const QString second = spoken(0.2f, 4);
    EXPECT_EQ(finalText(), first + second + spoken(0.3f, 3));
    EXPECT_EQ(endings(), 1);
    // Once a partial shows the next segment, the earlier text stays as it was.
    for (const QString& p : partials_) {
        if (p.contains(QChar(u'う'))) {
            EXPECT_TRUE(p.startsWith(first)) << qPrintable(p);
        }
        if (p.contains(QChar(u'え'))) {
            EXPECT_TRUE(p.startsWith(first + second)) << qPrintable(p);
        }
    }
    // Later decodes cover only the current segment (with its padding), sized to it.
    const auto calls = decoder->callsCopy();
    for (std::size_t i = callsAfterFirst; i < calls.size(); ++i) {
        EXPECT_LE(calls[i].samples, samplesOf(2.0) + 2 * tuning.padSamples + tuning.pauseSamples) << i;
        EXPECT_EQ(calls[i].audioCtx, RecognitionText::audioContextFor(calls[i].samples, 1500));
        EXPECT_LT(calls[i].audioCtx, 1500);
    }
    // The previous settled text conditions the decoder.
    EXPECT_TRUE(calls.back().prompt.endsWith(first + second)) << qPrintable(calls.back().prompt);
}

TEST_F(WhisperRecognizerTest, SpeechWithoutPausesIsCutBetweenWordsAndNoWordIsSplitDoubledOrLost) {
    decoder->wordSeconds = 0.31;
    startSession();
    const QString said = feedWords(74); // 25 s: cut three times
    feed(1.0, 0.0f);
    ASSERT_FALSE(partials_.isEmpty());
    for (const QString& p : partials_) {
        EXPECT_TRUE(said.startsWith(p)) << "live text: " << qPrintable(p);
    }
    finish();
    EXPECT_EQ(finalText(), said);
    for (const auto& c : decoder->callsCopy()) {
        EXPECT_LE(c.samples, tuning.maxSegmentSamples + tuning.overlapSamples + tuning.padSamples);
    }
}

TEST_F(WhisperRecognizerTest, TheFinalDecodesOnlyWhatHasNotSettled) {
    startSession();
    feed(2, 0.1f);
    feed(1, 0.0f);
    feed(1, 0.2f);
    const std::size_t before = decoder->callCount();
    finish();
    const auto calls = decoder->callsCopy();
    ASSERT_GT(calls.size(), before);
    EXPECT_LE(calls.size() - before, 1u);
    EXPECT_LE(calls.back().samples, samplesOf(1.0) + 2 * tuning.padSamples);
    EXPECT_EQ(finalText(), spoken(0.1f, 4) + spoken(0.2f, 2));
}

TEST_F(WhisperRecognizerTest, TheFinalReusesThePartialWhenNothingWasSaidSince) {
    startSession();
    feed(1.5, 0.1f);
    feed(0.4, 0.0f); // shorter than a pause: the last partial covered all the speech
    ASSERT_FALSE(partials_.isEmpty());
    const std::size_t before = decoder->callCount();
    finish();
    EXPECT_EQ(decoder->callCount(), before);
    EXPECT_EQ(finalText(), spoken(0.1f, 3));
}

TEST_F(WhisperRecognizerTest, ASlowFinalReportsEachSegmentItSettlesWithTheTextSoFar) {
    // The selected model is so slow that three segments wait for the final.
    decodeCost = seconds(20);
    startSession();
    feed(2, 0.1f);
    feed(1, 0.0f);
    feed(2, 0.2f);
    feed(1, 0.0f);
    feed(2, 0.3f);
    finish();
    const QString first = spoken(0.1f, 4);
    const QString second = spoken(0.2f, 4);
    const QString third = spoken(0.3f, 4);
    ASSERT_EQ(finalText(), first + second + third);

    // Before the final: progress with the selected model's text after each settled segment, and
    // plain steps as the decodes finish.
    QStringList confirmed;
    int steps = 0;
    for (const auto& snapshot : snapshots) {
        if (snapshot.isFinal) {
            break;
        }
        if (snapshot.isProgress) {
            EXPECT_FALSE(snapshot.text) << "progress is no partial";
            if (snapshot.confirmedText) {
                confirmed << *snapshot.confirmedText;
            } else {
                ++steps;
            }
        }
    }
    EXPECT_GT(steps, 0);
    // Each decode first says how long its encoder pass may stay silent: longer for more audio,
    // never less than the usual limit, and before the segment it settles.
    std::vector<std::chrono::milliseconds> silences;
    std::size_t firstSilence = snapshots.size();
    std::size_t firstConfirmed = snapshots.size();
    for (std::size_t i = 0; i < snapshots.size(); ++i) {
        if (snapshots[i].silentStep) {
            silences.push_back(*snapshots[i].silentStep);
            firstSilence = std::min(firstSilence, i);
        }
        if (snapshots[i].confirmedText) {
            firstConfirmed = std::min(firstConfirmed, i);
        }
    }
    ASSERT_GE(silences.size(), 3u);
    EXPECT_LT(firstSilence, firstConfirmed);
    EXPECT_GE(*std::min_element(silences.begin(), silences.end()), std::chrono::seconds(8 + 13 * 2));
    const auto at = [&](const QString& text) { return confirmed.indexOf(text); };
    EXPECT_GE(at(first), 0) << qPrintable(confirmed.join(u'|'));
    EXPECT_GT(at(first + second), at(first)) << qPrintable(confirmed.join(u'|'));
    EXPECT_GT(at(first + second + third), at(first + second)) << qPrintable(confirmed.join(u'|'));
    EXPECT_EQ(endings(), 1);
}

// ---- context ----

TEST_F(WhisperRecognizerTest, DictionaryHintsLeadThePromptWithinTheLimit) {
    startSession({QStringLiteral("鈴木"), QStringLiteral("ClaudeCode")});
    feed(1, 0.1f);
    finish();
    const auto calls = decoder->callsCopy();
    ASSERT_FALSE(calls.empty());
    EXPECT_TRUE(calls.front().prompt.startsWith(QStringLiteral("鈴木、ClaudeCode"))) << qPrintable(calls.front().prompt);

    const auto count = [](const QString& s) { return static_cast<int>(s.size()); };
    const QString prompt = RecognitionText::buildPrompt({QStringLiteral("一二三四五六七八"), QStringLiteral("九十")},
                                                        QStringLiteral("あいうえおかきくけこさしすせそ"), 20, count);
    EXPECT_LE(prompt.size(), 20);
    EXPECT_TRUE(prompt.startsWith(QStringLiteral("一二三四五六七八。"))) << qPrintable(prompt);
    EXPECT_TRUE(prompt.endsWith(QStringLiteral("そ"))) << "the newest settled text is kept";
    EXPECT_EQ(RecognitionText::buildPrompt({}, {}, 20, count), QString());
}

TEST(RecognitionTextTest, ThePromptCountsABoundedTextWhateverTheDictationAndTheDictionary) {
    int calls = 0;
    qsizetype longest = 0;
    const auto count = [&](const QString& t) {
        ++calls;
        longest = std::max(longest, t.size());
        return static_cast<int>(t.size());
    };
    QStringList hints;
    for (int i = 0; i < 15; ++i) {
        hints << QString(250, QChar(char16_t(u'語' + i)));
    }
    hints.prepend(QStringLiteral("鈴木"));
    for (const qsizetype length : {100, 3000, 30000}) {
        calls = 0;
        longest = 0;
        const QString settled = QString(length, QChar(u'あ')) + QStringLiteral("おわり");
        const QString prompt = RecognitionText::buildPrompt(hints, settled, 224, count);
        EXPECT_LE(longest, 224 * RecognitionText::kPromptCharsPerToken) << length;
        EXPECT_LE(calls, 12) << length;
        EXPECT_LE(prompt.size(), 224);
        EXPECT_TRUE(prompt.startsWith(QStringLiteral("鈴木。"))) << qPrintable(prompt.left(20));
        EXPECT_TRUE(prompt.endsWith(QStringLiteral("おわり")));
    }
}

TEST(RecognitionTextTest, RepetitionLoopsAreCutAndOrdinaryRepeatsKept) {
    EXPECT_EQ(RecognitionText::cutRepetitions(QStringLiteral(" 今日はありがとうありがとうありがとうありがとうありがとう")),
              QStringLiteral("今日はありがとう"));
    EXPECT_EQ(RecognitionText::cutRepetitions(QStringLiteral("ははは、そうですね")), QStringLiteral("ははは、そうですね"));
    EXPECT_EQ(RecognitionText::cutRepetitions(QString(200, QChar(u'ー'))), QStringLiteral("ー"));
    EXPECT_EQ(RecognitionText::audioContextFor(samplesOf(1), 1500), 150);
    EXPECT_EQ(RecognitionText::audioContextFor(samplesOf(10), 1500), 532);
    EXPECT_EQ(RecognitionText::audioContextFor(samplesOf(40), 1500), 1500);
}

TEST(RecognitionTextTest, TheTextOfAnOverlapIsKeptOnceAndACutLandsInTheQuietestMoment) {
    using RecognitionText::joinOverlap;
    EXPECT_EQ(joinOverlap(QStringLiteral("今日は良い天気なので"), QStringLiteral("天気なので午後から")), QStringLiteral("午後から"));
    // A word half heard at the end of the first decode and whole in the next one.
    EXPECT_EQ(joinOverlap(QStringLiteral("良い天気なの"), QStringLiteral("天気なので午後")), QStringLiteral("で午後"));
    EXPECT_EQ(joinOverlap(QStringLiteral("良い天気な"), QStringLiteral("気なので午後")), QStringLiteral("ので午後"));
    // Nothing shared, or a single character in common: nothing is dropped.
    EXPECT_EQ(joinOverlap(QStringLiteral("散歩に"), QStringLiteral("出かけます")), QStringLiteral("出かけます"));
    EXPECT_EQ(joinOverlap(QStringLiteral("私の"), QStringLiteral("の話")), QStringLiteral("の話"));
    EXPECT_EQ(joinOverlap(QString(), QStringLiteral("はい")), QStringLiteral("はい"));

    std::vector<float> audio(samplesOf(3), 0.3f);
    std::fill(audio.begin() + samplesOf(1.5), audio.begin() + samplesOf(1.53), 0.01f);
    const qint64 cut = RecognitionText::quietestCut(audio, samplesOf(1), samplesOf(2));
    EXPECT_GE(cut, samplesOf(1.5));
    EXPECT_LE(cut, samplesOf(1.53));
    EXPECT_EQ(RecognitionText::quietestCut(audio, samplesOf(2), samplesOf(2.5)), samplesOf(2.5))
        << "evenly loud: at the limit";
}

TEST_F(WhisperRecognizerTest, ARepetitionLoopIsNeverPasted) {
    decoder->loopText = QStringLiteral("はい") + QString(40, QChar(u'。'));
    startSession();
    feed(1, 0.1f);
    finish();
    EXPECT_EQ(finalText(), QStringLiteral("はい。"));
}

// ---- long and short ----

TEST_F(WhisperRecognizerTest, TenMinutesOfDictationKeepOnlyTheUnsettledAudioAndCountABoundedPrompt) {
    decoder->promptTokens = 224;
    QStringList hints;
    for (int i = 0; i < 15; ++i) {
        hints << QString(30, QChar(char16_t(u'語' + i)));
    }
    startSession(hints);
    qint64 mostHeld = 0;
    qint64 mostReserved = 0;
    for (int i = 0; i < 120; ++i) { // 120 × 5 s
        feed(4, 0.1f + 0.01f * static_cast<float>(i % 5));
        feed(1, 0.0f);
        mostHeld = std::max(mostHeld, host->audioFigures().held.load());
        mostReserved = std::max(mostReserved, host->audioFigures().reserved.load());
    }
    finish();
    ASSERT_TRUE(ended());
    EXPECT_EQ(finalText().size(), 120 * 16);
    EXPECT_LE(mostHeld, samplesOf(6)) << "only what has not settled is kept";
    EXPECT_LE(mostReserved, tuning.captureSamples) << "the ring never grew";
    EXPECT_EQ(host->audioFigures().held.load(), 0) << "released when the session ends";
    EXPECT_EQ(host->audioFigures().reserved.load(), 0);
    // Counting the prompt costs the same at the end as at the start.
    EXPECT_LE(decoder->longestCounted.load(), 224 * RecognitionText::kPromptCharsPerToken);
    EXPECT_LE(decoder->tokenCounts.load(), 4 * static_cast<int>(decoder->callCount()) + 40);
}

TEST_F(WhisperRecognizerTest, ADecodeSlowerThanTheRingsRoomGrowsItAndLosesNoAudio) {
    loadModel();
    decodeCost = seconds(40); // far more audio arrives during one decode than the ring first holds
    startSession();
    QString said;
    for (int i = 0; i < 10; ++i) {
        const float level = 0.1f * static_cast<float>(1 + i % 5);
        feed(5, level);
        feed(1, 0.0f);
        said += spoken(level, 10);
    }
    EXPECT_GT(host->audioFigures().reserved.load(), tuning.captureSamples);
    finish();
    for (int i = 0; i < 200 && !ended(); ++i) {
        step(1s);
    }
    EXPECT_EQ(finalText(), said);
}

TEST_F(WhisperRecognizerTest, AQuickYesIsDecodedWithSilenceAroundIt) {
    startSession();
    feed(0.5, 0.0f);
    feed(0.15, 0.1f);
    feed(1.0, 0.0f);
    finish();
    EXPECT_EQ(finalText(), spoken(0.1f, 1));
    const auto calls = decoder->callsCopy();
    ASSERT_FALSE(calls.empty());
    for (const auto& c : calls) {
        EXPECT_GE(c.samples, tuning.minDecodeSamples);
    }
}

// ---- endings ----

TEST_F(WhisperRecognizerTest, SilenceIsNeverDecodedAndEndsAsTheSilentEnd) {
    startSession();
    feed(5, 0.0f);
    finish();
    EXPECT_EQ(decoder->callCount(), 0u);
    EXPECT_GT(decoder->vadCalls.load(), 0);
    ASSERT_EQ(snapshots.size(), 1u);
    ASSERT_TRUE(snapshots[0].errorDescription);
    EXPECT_TRUE(SpeechManager::isSilentEndSystemMessage(*snapshots[0].errorDescription));
}

TEST_F(WhisperRecognizerTest, ADecodeFailureEndsTheSessionOnceAsARecognitionFailure) {
    decoder->failAtCall = 1;
    startSession();
    feed(3, 0.1f);
    feed(2, 0.2f);
    finish();
    ASSERT_EQ(endings(), 1);
    const auto& last = snapshots.back();
    ASSERT_TRUE(last.errorDescription);
    EXPECT_TRUE(last.errorDescription->contains(QStringLiteral("out of memory")));
    EXPECT_FALSE(SpeechManager::isSilentEndSystemMessage(*last.errorDescription));
    const std::size_t calls = decoder->callCount();
    feed(2, 0.1f);
    EXPECT_EQ(decoder->callCount(), calls) << "nothing more is decoded after the failure";
}

TEST_F(WhisperRecognizerTest, AVadFailureIsARecognitionFailure) {
    decoder->vadFails = true;
    startSession();
    feed(1, 0.1f);
    finish();
    ASSERT_EQ(endings(), 1);
    EXPECT_TRUE(snapshots.back().errorDescription->contains(QStringLiteral("VAD")));
}

TEST_F(WhisperRecognizerTest, CancelInsideTheHandlerStopsEverything) {
    startSession();
    feed(1, 0.1f);
    ASSERT_FALSE(partials_.isEmpty());
    task->cancel();
    const std::size_t calls = decoder->callCount();
    const std::size_t seen = snapshots.size();
    feed(2, 0.1f);
    finish();
    EXPECT_EQ(decoder->callCount(), calls);
    EXPECT_EQ(snapshots.size(), seen);
}

// ---- the model ----

TEST_F(WhisperRecognizerTest, TheModelLoadsOnceAndStaysForLaterSessions) {
    QLoggingCategory::setFilterRules(QStringLiteral("app.quillory.quillory.speech.info=true"));
    LogCapture log("app.quillory.quillory.speech");
    std::vector<WhisperRecognizerHost::LoadState> outcomes;
    host->setLoadObserver([&](WhisperRecognizerHost::LoadState s, qint64) { outcomes.push_back(s); });
    host->preload();
    EXPECT_EQ(host->loadState(), WhisperRecognizerHost::LoadState::loading);
    startSession(); // starts while the load waits on the worker: decodes simply follow it
    feed(1, 0.1f);
    finish();
    EXPECT_EQ(finalText(), spoken(0.1f, 2));
    snapshots.clear();
    startSession();
    feed(1, 0.2f);
    finish();
    EXPECT_EQ(finalText(), spoken(0.2f, 2));
    EXPECT_EQ(loads, 1);
    EXPECT_EQ(outcomes, std::vector{WhisperRecognizerHost::LoadState::loaded});
    ASSERT_FALSE(log.lines.isEmpty());
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^Speech model loaded: model\\.bin in \\d+ ms$"))
                    .match(log.lines.first())
                    .hasMatch())
        << qPrintable(log.lines.first());
}

TEST_F(WhisperRecognizerTest, ChangingTheSelectedModelOrTheDeviceLoadsInTheBackground) {
    host->preloadOnChangeOf({QStringLiteral("quillory.speech.model")}, {QStringLiteral("quillory.speech.device")});
    loadModel();
    const QString other = path(QStringLiteral("other.bin"));
    writeModel(other);
    modelFile = other;
    store_->setString(QStringLiteral("quillory.speech.other"), QStringLiteral("x"));
    EXPECT_EQ(worker->queued(), 0u) << "other keys do not matter";
    store_->setString(QStringLiteral("quillory.speech.model"), QStringLiteral("whisper-base-q5_1"));
    EXPECT_EQ(host->loadState(), WhisperRecognizerHost::LoadState::loading);
    worker->runNext();
    clock_.runPending();
    EXPECT_EQ(host->loadedPath(), other);
    EXPECT_EQ(loads, 2);

    // The device changed: the same file again, on the device now chosen.
    store_->setString(QStringLiteral("quillory.speech.device"), QStringLiteral("cpu"));
    EXPECT_EQ(host->loadState(), WhisperRecognizerHost::LoadState::loading);
    worker->runNext();
    clock_.runPending();
    EXPECT_EQ(host->loadState(), WhisperRecognizerHost::LoadState::loaded);
    EXPECT_EQ(host->loadedPath(), other);
    EXPECT_EQ(loads, 3);
}

TEST_F(WhisperRecognizerTest, AMissingOrBrokenModelIsUnavailable) {
    ASSERT_TRUE(QFile::remove(modelFile));
    auto r = host->makeRecognizer();
    EXPECT_FALSE(r->isAvailable());
    worker->runNext();
    clock_.runPending();
    EXPECT_EQ(host->loadState(), WhisperRecognizerHost::LoadState::failed);
    EXPECT_EQ(loads, 0) << "a missing file is never handed to the loader";

    writeModel(modelFile, {});
    loadFails = true;
    EXPECT_TRUE(r->isAvailable()) << "a file that appeared is tried";
    worker->runNext();
    clock_.runPending();
    EXPECT_EQ(host->loadState(), WhisperRecognizerHost::LoadState::failed);
    EXPECT_EQ(host->loadError(), QStringLiteral("not a whisper model"));
    EXPECT_FALSE(r->isAvailable());
    EXPECT_EQ(worker->queued(), 0u) << "an unchanged file that failed is not loaded again";

    // A new file (a fresh download) is tried again.
    loadFails = false;
    writeModel(modelFile, "a complete model");
    EXPECT_TRUE(r->isAvailable());
    worker->runNext();
    clock_.runPending();
    EXPECT_EQ(host->loadState(), WhisperRecognizerHost::LoadState::loaded);
}

TEST_F(WhisperRecognizerTest, ASessionOnAModelThatFailedToLoadFailsCleanly) {
    loadFails = true;
    recognizer = host->makeRecognizer();
    request = recognizer->makeRequest({});
    task = recognizer->recognitionTask(request, [this](const SpeechRecognitionSnapshot& s) { snapshots.push_back(s); });
    feed(1, 0.1f);
    finish();
    ASSERT_EQ(endings(), 1);
    ASSERT_TRUE(snapshots.back().errorDescription);
    EXPECT_TRUE(snapshots.back().errorDescription->contains(QStringLiteral("not a whisper model")));
}

// ---- two passes ----

TEST_F(WhisperRecognizerTest, TheFastModelWritesTheLiveTextWhileTheSelectedOneSettlesIt) {
    addFastModel();
    loadBoth();
    ASSERT_EQ(host->partialLoadState(), WhisperRecognizerHost::LoadState::loaded);
    decodeCost = seconds(2.0); // the selected model is far slower than speech
    fastCost = seconds(0.1);
    startSession();
    feed(2, 0.1f);
    feed(1, 0.0f); // the first segment settles, slowly
    feed(3, 0.2f);
    const QString first = spoken(0.1f, 4);
    // Live text flows at the fast model's pace, never waiting for the slow settling decodes.
    EXPECT_GE(partials_.size(), 6) << qPrintable(partials_.join(u'|'));
    EXPECT_TRUE(partials_.first().startsWith(QStringLiteral("~"))) << qPrintable(partials_.first());
    // The first segment's live text is replaced once, by the selected model's, when it settles.
    qsizetype settledAt = -1;
    for (qsizetype i = 0; i < partials_.size(); ++i) {
        if (partials_[i].startsWith(first)) {
            settledAt = i;
            break;
        }
    }
    ASSERT_GE(settledAt, 0) << qPrintable(partials_.join(u'|'));
    int whileSettling = 0;
    for (qsizetype i = 0; i < settledAt; ++i) {
        whileSettling += partials_[i].contains(spoken(0.2f, 1).left(1)) ? 1 : 0;
    }
    EXPECT_GE(whileSettling, 2) << "the next words show before the segment before them settles: "
                                << qPrintable(partials_.join(u'|'));
    for (qsizetype i = settledAt; i < partials_.size(); ++i) {
        EXPECT_TRUE(partials_[i].startsWith(first)) << "settled text stays: " << qPrintable(partials_[i]);
    }
    EXPECT_TRUE(partials_.last().contains(QStringLiteral("~") + spoken(0.2f, 1).left(1))) << qPrintable(partials_.last());
    // The selected model decodes only settled pieces, leaving the fast model a core meanwhile.
    const std::size_t settling = decoder->callCount();
    EXPECT_LE(settling, 1u);
    for (const auto& c : decoder->callsCopy()) {
        EXPECT_TRUE(c.sharingCpu);
    }
    // The fast model sees the settled text as its context.
    EXPECT_TRUE(fast->callsCopy().back().prompt.endsWith(first)) << qPrintable(fast->callsCopy().back().prompt);

    const std::size_t fastCalls = fast->callCount();
    finish();
    EXPECT_EQ(endings(), 1);
    EXPECT_EQ(finalText(), first + spoken(0.2f, 6)) << "the final is the selected model's alone";
    EXPECT_EQ(fast->callCount(), fastCalls) << "nothing more is decoded for live text after the audio ends";
    EXPECT_FALSE(decoder->callsCopy().back().sharingCpu) << "the final gets every core";

    // What the recogniser stands by is the selected model's alone, never the fast model's words.
    bool confirmedFirst = false;
    for (const auto& snapshot : snapshots) {
        if (snapshot.confirmedText) {
            EXPECT_FALSE(snapshot.confirmedText->contains(QChar(u'~'))) << qPrintable(*snapshot.confirmedText);
            confirmedFirst = confirmedFirst || *snapshot.confirmedText == first;
        }
    }
    EXPECT_TRUE(confirmedFirst);
}

TEST_F(WhisperRecognizerTest, TheFastModelDecodesBackToBackOnItsOwnCores) {
    addFastModel();
    loadBoth();
    fastCost = seconds(0.6);
    startSession();
    feed(8, 0.1f);
    // One decode every 0.7 s or so; waiting as long again after each, as one pass does to leave the
    // selected model time for settling, would give about half as many.
    EXPECT_GE(fast->callCount(), 8u);
    EXPECT_LE(fastWorker->maxQueued, 1u) << "never more than one live-text decode waiting";
    finish();
    EXPECT_EQ(finalText(), spoken(0.1f, 16));
    while (fastWorker->runNext() || worker->runNext()) {
        clock_.runPending(); // the queued jobs hold the recognition: let them go
    }
}

TEST_F(WhisperRecognizerTest, HeldAfterTheAudioNothingIsDecodedUntilTheFinalIsAskedFor) {
    addFastModel();
    loadBoth();
    fastCost = seconds(0.4);
    startSession();
    feed(1.5, 0.1f);
    ASSERT_EQ(fastWorker->queued(), 1u) << "a live-text decode is on its way";
    const std::size_t calls = decoder->callCount();
    const std::size_t fastCalls = fast->callCount();
    request->holdDecoding();
    for (int i = 0; i < 300; ++i) {
        step(10ms);
    }
    EXPECT_EQ(fast->callCount(), fastCalls) << "the live-text decode on its way is dropped";
    EXPECT_LE(decoder->callCount(), calls + 1) << "at most the settling decode already on its way";
    EXPECT_FALSE(ended());
    finish();
    EXPECT_EQ(endings(), 1);
    EXPECT_EQ(finalText(), spoken(0.1f, 3));
}

TEST_F(WhisperRecognizerTest, WithTwoPassesTheFinalNeverReusesTheFastModelsText) {
    addFastModel();
    loadBoth();
    startSession();
    feed(1.5, 0.1f);
    feed(0.4, 0.0f);
    ASSERT_FALSE(partials_.isEmpty());
    ASSERT_TRUE(partials_.last().startsWith(QStringLiteral("~")));
    finish();
    EXPECT_EQ(finalText(), spoken(0.1f, 3));
    EXPECT_EQ(decoder->callCount(), 1u);
}

TEST_F(WhisperRecognizerTest, AFastModelThatFailsHandsTheLiveTextBackToTheSelectedOne) {
    addFastModel();
    loadBoth();
    fast->failAtCall = 1;
    startSession();
    feed(3, 0.1f);
    finish();
    ASSERT_EQ(endings(), 1);
    EXPECT_EQ(finalText(), spoken(0.1f, 6)) << "a live-text failure never fails the dictation";
    EXPECT_EQ(fast->callCount(), 2u);
    ASSERT_FALSE(partials_.isEmpty());
    EXPECT_FALSE(partials_.last().startsWith(QStringLiteral("~"))) << qPrintable(partials_.last());

    // A fast model that does not load leaves one pass.
    snapshots.clear();
    partials_.clear();
    fastLoadFails = true;
    fastFile = path(QStringLiteral("other-fast.bin"));
    writeModel(fastFile, {});
    loadBoth();
    EXPECT_EQ(host->partialLoadState(), WhisperRecognizerHost::LoadState::failed);
    EXPECT_EQ(host->loadState(), WhisperRecognizerHost::LoadState::loaded);
    startSession();
    feed(2, 0.2f);
    finish();
    EXPECT_EQ(finalText(), spoken(0.2f, 4));
    ASSERT_FALSE(partials_.isEmpty());
    EXPECT_FALSE(partials_.first().startsWith(QStringLiteral("~")));

    // The selected model itself, or no file, is no second pass.
    fastFile = modelFile;
    host->preload();
    EXPECT_EQ(host->partialLoadState(), WhisperRecognizerHost::LoadState::none);
    EXPECT_EQ(fastWorker->queued(), 0u);
}

// ---- memory between sessions ----

TEST_F(WhisperRecognizerTest, EveryDecoderHearsTheEndOfEachSessionAfterItsLastDecode) {
    // The decoder frees its working memory at the end of a session (whisper.cpp's caches and
    // compute buffers: tens of MB): each session it decoded for must end, however it ended.
    addFastModel();
    loadBoth();
    const auto drain = [this] {
        while (worker->runNext() || fastWorker->runNext()) {
            clock_.runPending();
        }
    };

    // Finished: both lanes decoded; the end comes after the final's decode.
    startSession();
    feed(2, 0.1f);
    feed(0.7, 0.0f);
    finish();
    ASSERT_EQ(finalText(), spoken(0.1f, 4));
    drain();
    EXPECT_EQ(decoder->recognitionsBegun, 1);
    EXPECT_EQ(decoder->inUse, 0);
    EXPECT_EQ(decoder->decodesAtLastEnd, static_cast<int>(decoder->callCount()));
    EXPECT_EQ(fast->recognitionsBegun, 1);
    EXPECT_EQ(fast->inUse, 0);

    // Cancelled while a live-text decode is under way.
    snapshots.clear();
    fastCost = seconds(100); // run by hand below
    fast->blocking = true;
    startSession();
    feed(1, 0.1f);
    ASSERT_EQ(fastWorker->queued(), 1u);
    std::thread running([this] { fastWorker->runNext(); });
    ASSERT_TRUE(fast->waitUntilEntered());
    task->cancel();
    running.join();
    drain();
    EXPECT_EQ(fast->recognitionsBegun, 2);
    EXPECT_EQ(fast->inUse, 0);
    EXPECT_EQ(decoder->inUse, 0);
    fast->blocking = false;
    fastCost = Duration::zero();

    // Failed; then a session the recogniser is dropped from without an end.
    snapshots.clear();
    decoder->failAtCall = static_cast<int>(decoder->callCount());
    startSession({}, false);
    feed(1, 0.1f);
    finish();
    ASSERT_EQ(endings(), 1);
    drain();
    EXPECT_EQ(decoder->inUse, 0);
    decoder->failAtCall = -1;
    startSession({}, false);
    feed(1, 0.1f);
    task.reset();
    request.reset();
    recognizer.reset();
    drain();
    EXPECT_EQ(decoder->recognitionsBegun, 4);
    EXPECT_EQ(decoder->inUse, 0);

    // A session that never decoded tells nothing.
    startSession();
    task->cancel();
    drain();
    EXPECT_EQ(decoder->recognitionsEnded, 4);
}

// ---- threads ----

// Ends the session and joins the real worker while the test's clock is still installed: a job that
// finished after the fixture's clock was gone would post into a destroyed scheduler. Jobs run in
// order: once the last one posted here has run, every earlier job has let go of what it held, so
// the worker is released (and joined) on the main thread, not inside a job.
void WhisperRecognizerTest::endSessionAndJoin(std::shared_ptr<ThreadRecognitionWorker>& thread) {
    task.reset();
    request.reset();
    recognizer.reset();
    host.reset();
    std::promise<void> idle;
    thread->post([&idle] { idle.set_value(); });
    ASSERT_EQ(idle.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    clock_.runPending();
    thread.reset();
}

TEST_F(WhisperRecognizerTest, CancellingMidDecodeAbortsTheWorkersDecodeAndNothingFollows) {
    auto thread = std::make_shared<ThreadRecognitionWorker>();
    makeHost(thread);
    decoder->blocking = true;
    startSession();
    std::vector<float> speech(samplesOf(1), 0.1f);
    request->append(speech);
    clock_.advance(1s);
    ASSERT_TRUE(decoder->waitUntilEntered());
    // The decode may have reported a step already: signs of life, no text.
    for (const auto& s : snapshots) {
        EXPECT_TRUE(s.isProgress && !s.text && !s.errorDescription);
    }
    const std::size_t beforeCancel = snapshots.size();
    task->cancel();
    // The decode sees the abort and returns; its result (and any step it reported) is dropped on
    // the main thread.
    clock_.waitForPosted(std::chrono::seconds(10));
    clock_.advance(5s);
    EXPECT_EQ(snapshots.size(), beforeCancel) << "nothing follows the cancel";
    const auto calls = decoder->callsCopy();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_NE(calls[0].thread, std::this_thread::get_id()) << "decoding never runs on the main thread";
    ASSERT_NO_FATAL_FAILURE(endSessionAndJoin(thread));
}

// The command line and the app let go of the host right after a cancel; a decode still inside
// its last step must be over by then, or it runs on while the program exits under it.
TEST_F(WhisperRecognizerTest, LettingGoOfTheHostWaitsForTheDecodeACancelIsEnding) {
    auto thread = std::make_shared<ThreadRecognitionWorker>();
    makeHost(thread);
    decoder->blocking = true;
    startSession();
    request->append(std::vector<float>(samplesOf(1), 0.1f));
    clock_.advance(1s);
    ASSERT_TRUE(decoder->waitUntilEntered());
    task->cancel();
    task.reset();
    request.reset();
    recognizer.reset();
    std::weak_ptr<RecognitionWorker> worker = thread;
    thread.reset();
    host.reset();
    EXPECT_EQ(decoder->running.load(), 0) << "a decode outlived the host";
    clock_.runPending();
    EXPECT_TRUE(worker.expired()) << "the worker is let go of (and joined) on the main thread";
}

TEST_F(WhisperRecognizerTest, SegmentsSettledOnTheWorkerThreadShareNoStringWithTheMainThread) {
    // Each settled segment grows the settled text on the main thread while the worker lets go of
    // what its job was given. Qt grows a string in place when a relaxed read of its reference count
    // says nobody else holds it, so a string both threads held is a data race that
    // ThreadSanitizer reports here (scripts/run-hardening.sh).
    auto thread = std::make_shared<ThreadRecognitionWorker>();
    makeHost(thread);
    startSession({QStringLiteral("鈴木")}, false);
    QString said;
    for (int i = 1; i <= 4; ++i) {
        const float level = 0.1f * static_cast<float>(i);
        request->append(std::vector<float>(samplesOf(1), level));
        request->append(std::vector<float>(samplesOf(1), 0.0f));
        said += spoken(level, 2);
        // Virtual time runs on while the worker decodes for real; its results come in meanwhile.
        for (int k = 0; k < 30; ++k) {
            clock_.advance(100ms);
            clock_.waitForPosted(std::chrono::milliseconds(20));
        }
    }
    request->endAudio();
    for (int i = 0; i < 100 && !ended(); ++i) {
        clock_.waitForPosted(std::chrono::milliseconds(100));
        clock_.advance(10ms);
    }
    EXPECT_EQ(finalText(), said);
    ASSERT_NO_FATAL_FAILURE(endSessionAndJoin(thread));
}

TEST_F(WhisperRecognizerTest, ThroughTheSpeechManagerAWholeSessionCommitsTheSettledText) {
    SpeechBackends backends;
    FakeAudioSource* source = nullptr;
    backends.makeAudioSource = [&source] {
        auto s = std::make_unique<FakeAudioSource>();
        source = s.get();
        return s;
    };
    backends.makeRecognizer = [this](SpeechLocale) { return host->makeRecognizer(); };
    SpeechManager manager(backends);
    std::vector<SpeechResult> results;
    QStringList partials;
    const auto begin = [&] {
        return runUntilDone(manager.start({}, [&](const QString& t) { partials << t; },
                                          [&](const SpeechResult& r) { results.push_back(r); }, {}),
                            [this] { clock_.runPending(); });
    };
    ASSERT_TRUE(begin());
    EXPECT_TRUE(manager.partialsCoverWholeSession()) << "each partial holds the whole text so far";
    for (int i = 0; i < 30; ++i) {
        source->feed(0.1f);
        step(64ms);
    }
    manager.stop();
    for (int i = 0; i < 100 && results.empty(); ++i) {
        step(10ms);
    }
    ASSERT_EQ(results.size(), 1u);
    ASSERT_TRUE(results[0].isSuccess());
    EXPECT_EQ(results[0].text(), spoken(0.1f, 4));
    EXPECT_FALSE(partials.isEmpty());

    results.clear();
    ASSERT_TRUE(begin());
    for (int i = 0; i < 30; ++i) {
        source->feed(0.0f);
        step(64ms);
    }
    manager.stop();
    for (int i = 0; i < 100 && results.empty(); ++i) {
        step(10ms);
    }
    ASSERT_EQ(results.size(), 1u);
    ASSERT_TRUE(results[0].isSuccess()) << "silence is the quiet end, not a failure";
    EXPECT_EQ(results[0].text(), QString());
}

} // namespace
} // namespace quillory::testing
