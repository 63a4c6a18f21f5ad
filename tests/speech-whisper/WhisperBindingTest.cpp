// The whisper.cpp binding against the real library, with the generated tiny models
// (scripts/make-tiny-whisper.py) and the committed speech fixtures.
//
// QUILLORY_TEST_WHISPER_MODEL, QUILLORY_TEST_WHISPER_VAD_MODEL and QUILLORY_TEST_WHISPER_SENTENCE
// come from scripts/run-tests.sh; without them the tests that need the models skip.

#include "Speech/WavFileAudioSource.h"
#include "SpeechFixtures.h"
#include "Speech/whisper/ModelFileCheck.h"
#include "Speech/whisper/WhisperContext.h"
#include "Speech/whisper/WhisperDecoder.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace quillory;
using namespace quillory::whisper;

namespace {

QString env(const char* name) {
    return qEnvironmentVariable(name);
}

using quillory::testing::speechFixture;

/// The reason `result` failed; empty when it did not fail.
template <typename T>
QString failureOf(const Expected<T>& result) {
    return result ? QString() : result.error();
}

QString joined(const std::vector<Segment>& segments) {
    QString text;
    for (const auto& s : segments) {
        text += s.text;
    }
    return text;
}

/// The text of a decode; empty when it failed.
QString joined(const Expected<Transcript>& decoded) {
    return decoded ? joined(decoded->segments) : QString();
}

enum class Outcome { ok, aborted, failed };
Outcome outcomeOf(const Expected<Transcript>& decoded) {
    return !decoded ? Outcome::failed : decoded->aborted ? Outcome::aborted : Outcome::ok;
}

/// The value of `result`; a test failure (and an empty value) when it failed.
template <typename T>
T valueOf(Expected<T> result) {
    EXPECT_TRUE(result.ok()) << result.error().toStdString();
    return result ? std::move(result).value() : T();
}

// One loaded tiny model for the whole suite: loading is the slow part.
class TinyWhisper : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const QString path = env("QUILLORY_TEST_WHISPER_MODEL");
        if (path.isEmpty()) {
            return;
        }
        auto loaded = WhisperModel::load(path);
        s_model = loaded ? loaded.value() : nullptr;
        s_loadError = loaded.error();
    }
    static void TearDownTestSuite() { s_model.reset(); }

    void SetUp() override {
        if (env("QUILLORY_TEST_WHISPER_MODEL").isEmpty()) {
            GTEST_SKIP() << "QUILLORY_TEST_WHISPER_MODEL is not set (scripts/run-tests.sh sets it)";
        }
        ASSERT_TRUE(s_model) << s_loadError.toStdString();
        sentence_ = env("QUILLORY_TEST_WHISPER_SENTENCE");
        ASSERT_FALSE(sentence_.isEmpty());
    }

    static inline std::shared_ptr<WhisperModel> s_model;
    static inline QString s_loadError;
    QString sentence_;
};

TEST_F(TinyWhisper, LoadsAndDecodesTheFixturesToTheKnownSentence) {
    EXPECT_TRUE(s_model->isMultilingual());
    EXPECT_EQ(s_model->modelAudioCtx(), 1500);
    EXPECT_EQ(s_model->maxPromptTokens(), 224);
    EXPECT_GE(s_model->loadMs(), 0);

    const auto plain = speechFixture("plain.wav");
    ASSERT_GT(plain.size(), 16000u * 3);
    auto decoded = s_model->decode(plain, DecodeOptions{});
    EXPECT_EQ(outcomeOf(decoded), Outcome::ok) << decoded.error().toStdString();
    EXPECT_EQ(joined(decoded), sentence_);
    // The nine pieces of the sentence, plus end-of-text.
    EXPECT_GE(s_model->lastTimings().tokens, 9);
    EXPECT_GT(s_model->lastTimings().encodeMs, 0.0);

    // The recogniser's way: a prompt with hints and earlier text, a context sized to the audio,
    // two threads. Timestamps on must still give the sentence, with times inside the audio.
    DecodeOptions options;
    options.initialPrompt = QStringLiteral("会議 議事録。明日の予定を確認します。");
    options.audioCtx = audioCtxFor(4200);
    options.threads = 2;
    options.maxTokens = 64;
    options.timestamps = true;
    decoded = s_model->decode(plain, options);
    EXPECT_EQ(outcomeOf(decoded), Outcome::ok) << decoded.error().toStdString();
    EXPECT_EQ(joined(decoded), sentence_);
    ASSERT_TRUE(decoded && !decoded->segments.empty());
    const std::vector<Segment>& segments = decoded->segments;
    EXPECT_GE(segments.front().t0Ms, 0);
    EXPECT_LE(segments.back().t1Ms, 30000);
    EXPECT_LT(segments.front().noSpeechProb, 0.5f);

    // Audio shorter than whisper.cpp's minimum is padded, not dropped.
    std::vector<float> blip(plain.begin(), plain.begin() + 800);
    decoded = s_model->decode(blip, DecodeOptions{});
    EXPECT_EQ(outcomeOf(decoded), Outcome::ok);
    EXPECT_EQ(joined(decoded), sentence_);
}

TEST_F(TinyWhisper, RejectsRequestsItCannotServeWithoutDecoding) {
    auto decoded = s_model->decode({}, DecodeOptions{});
    EXPECT_TRUE(joined(decoded).isEmpty());
    EXPECT_EQ(outcomeOf(decoded), Outcome::ok);

    DecodeOptions klingon;
    klingon.language = QStringLiteral("tlh");
    const auto plain = speechFixture("plain.wav");
    decoded = s_model->decode(plain, klingon);
    EXPECT_TRUE(joined(decoded).isEmpty());
    EXPECT_EQ(outcomeOf(decoded), Outcome::failed);
    EXPECT_TRUE(decoded.error().contains(QStringLiteral("tlh"))) << decoded.error().toStdString();

    // An audio context beyond the model's is clamped, not an error.
    DecodeOptions huge;
    huge.audioCtx = 100000;
    decoded = s_model->decode(plain, huge);
    EXPECT_EQ(joined(decoded), sentence_) << decoded.error().toStdString();
    EXPECT_EQ(outcomeOf(decoded), Outcome::ok);
}

TEST_F(TinyWhisper, TheDecodingStateIsFreedAfterASessionAndMadeAgainForTheNext) {
    // whisper.cpp's caches and compute buffers (tens of MB, hundreds for the large models) are
    // freed between dictations; the weights stay loaded and the next decode hears as well.
    const auto plain = speechFixture("plain.wav");
    const Expected<> prepared = s_model->prepare();
    ASSERT_TRUE(prepared) << prepared.error().toStdString();
    EXPECT_TRUE(s_model->holdsState());
    EXPECT_EQ(joined(s_model->decode(plain, DecodeOptions{})), sentence_);
    s_model->releaseState();
    EXPECT_FALSE(s_model->holdsState());
    s_model->releaseState(); // twice is harmless

    // Made again by the next decode when nobody prepared it.
    const auto decoded = s_model->decode(plain, DecodeOptions{});
    EXPECT_EQ(joined(decoded), sentence_);
    EXPECT_EQ(outcomeOf(decoded), Outcome::ok) << decoded.error().toStdString();
    EXPECT_TRUE(s_model->holdsState());
    EXPECT_EQ(s_model->tokenCount(QStringLiteral("明日")), s_model->tokenCount(QStringLiteral("明日")));
    s_model->releaseState();
    EXPECT_GT(s_model->tokenCount(QStringLiteral("明日の会議")), 0) << "the vocabulary needs no state";
}

TEST_F(TinyWhisper, AbortEndsADecodeAndTheModelStaysUsable) {
    const auto pauses = speechFixture("pauses.wav");
    DecodeOptions now;
    now.shouldAbort = [] { return true; };
    auto decoded = s_model->decode(pauses, now);
    EXPECT_TRUE(joined(decoded).isEmpty());
    EXPECT_EQ(outcomeOf(decoded), Outcome::aborted);

    // Cancelled mid-way: after the encoder and a few decoder steps.
    std::atomic<int> polls{0};
    DecodeOptions later;
    later.shouldAbort = [&] { return ++polls > 3; };
    decoded = s_model->decode(pauses, later);
    EXPECT_TRUE(joined(decoded).isEmpty());
    EXPECT_EQ(outcomeOf(decoded), Outcome::aborted);
    EXPECT_EQ(polls.load(), 4);

    // A cancel from another thread while the decode runs.
    std::atomic<bool> cancel{false};
    DecodeOptions watched;
    watched.shouldAbort = [&] { return cancel.load(); };
    std::thread canceller([&] { cancel = true; });
    canceller.join();
    EXPECT_EQ(outcomeOf(s_model->decode(pauses, watched)), Outcome::aborted);

    DecodeOptions never;
    never.shouldAbort = [] { return false; };
    decoded = s_model->decode(pauses, never);
    EXPECT_EQ(joined(decoded), sentence_);
    EXPECT_EQ(outcomeOf(decoded), Outcome::ok);
}

TEST_F(TinyWhisper, ConcurrentCallersAreSerialised) {
    const auto plain = speechFixture("plain.wav");
    std::vector<QString> results(4);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < results.size(); ++i) {
        threads.emplace_back([&, i] {
            results[i] = joined(s_model->decode(plain, DecodeOptions{}));
            if (i % 2 == 0) {
                (void)s_model->tokenCount(QStringLiteral("明日の会議"));
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    for (const auto& r : results) {
        EXPECT_EQ(r, sentence_);
    }
    EXPECT_GT(s_model->tokenCount(QStringLiteral("明日の会議は十時から始まります。")), 0);
    EXPECT_EQ(s_model->tokenCount(QString()), 0);
}

// ---------------------------------------------------------------------------------------------
// Bad model files: every one gives a readable error and no model, never a crash.

class WhisperModelFiles : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        speech_ = env("QUILLORY_TEST_WHISPER_MODEL");
        vad_ = env("QUILLORY_TEST_WHISPER_VAD_MODEL");
    }

    QString write(const QString& name, const QByteArray& bytes) {
        const QString path = dir_.filePath(name);
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
        return path;
    }

    static QByteArray read(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    QTemporaryDir dir_;
    QString speech_;
    QString vad_;
};

TEST_F(WhisperModelFiles, MissingEmptyAndForeignFilesAreRefused) {
    QString error;
    error = failureOf(WhisperModel::load(dir_.filePath("absent.bin")));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_TRUE(error.contains(QStringLiteral("does not exist"))) << error.toStdString();
    error = failureOf(WhisperModel::load(QString()));
    EXPECT_FALSE(error.isEmpty());
    error = failureOf(WhisperModel::load(dir_.path()));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_TRUE(error.contains(QStringLiteral("not a regular file"))) << error.toStdString();
    error = failureOf(WhisperModel::load(write("empty.bin", {})));
    EXPECT_FALSE(error.isEmpty());
    error = failureOf(WhisperModel::load(write("html.bin", "<html>Not Found</html>")));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_TRUE(error.contains(QStringLiteral("not a whisper.cpp speech model"))) << error.toStdString();
    error = failureOf(VadModel::load(dir_.filePath("absent.bin")));
    EXPECT_FALSE(error.isEmpty());
    error = failureOf(VadModel::load(write("html2.bin", "<html>Not Found</html>")));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_TRUE(error.contains(QStringLiteral("voice activity"))) << error.toStdString();
}

TEST_F(WhisperModelFiles, TruncatedDownloadsAreRefusedAtEveryCut) {
    if (speech_.isEmpty() || vad_.isEmpty()) {
        GTEST_SKIP() << "the tiny models are not set (scripts/run-tests.sh sets them)";
    }
    const QByteArray model = read(speech_);
    ASSERT_GT(model.size(), 1000000);
    // In the header, the mel filters, the vocabulary, a tensor record, the last tensor's data,
    // and one byte short of the end.
    for (qsizetype cut : {qsizetype(10), qsizetype(60), qsizetype(70000), qsizetype(400000),
                          model.size() / 2, model.size() - 1000, model.size() - 1}) {
        QString error;
        const QString path = write(QStringLiteral("cut-%1.bin").arg(cut), model.left(cut));
        error = failureOf(WhisperModel::load(path));
        EXPECT_FALSE(error.isEmpty()) << "cut at " << cut;
    }
    // Cut exactly between two tensors: the records are whole but some tensors are missing.
    {
        QString error = failureOf(checkSpeechModelFile(speech_));
        EXPECT_TRUE(error.isEmpty()) << error.toStdString();
        // The last tensor is a decoder layer's MLP output bias: 64 floats behind a 3-int
        // header, 1 dimension and the name.
        const QByteArray lastName = "decoder.blocks.0.mlp.2.bias";
        const qsizetype lastRecord = model.size() - (4 * 4 + lastName.size() + 64 * 4);
        ASSERT_EQ(model.mid(lastRecord + 16, lastName.size()), lastName);
        const QString path = write("boundary.bin", model.left(lastRecord));
        error = failureOf(WhisperModel::load(path));
        EXPECT_FALSE(error.isEmpty());
        EXPECT_TRUE(error.contains(QStringLiteral("incomplete"))) << error.toStdString();
    }
    const QByteArray vadBytes = read(vad_);
    for (qsizetype cut : {qsizetype(20), qsizetype(100), vadBytes.size() / 2, vadBytes.size() - 1}) {
        QString error;
        error = failureOf(VadModel::load(write(QStringLiteral("vadcut-%1.bin").arg(cut), vadBytes.left(cut))));
        EXPECT_FALSE(error.isEmpty()) << "cut at " << cut;
    }
    // Each kind of model in the other's place.
    QString error;
    error = failureOf(WhisperModel::load(vad_));
    EXPECT_FALSE(error.isEmpty());
    error = failureOf(VadModel::load(speech_));
    EXPECT_FALSE(error.isEmpty());
}

TEST_F(WhisperModelFiles, HeadersTheLoaderCannotRunAreRefused) {
    if (speech_.isEmpty()) {
        GTEST_SKIP() << "the tiny model is not set (scripts/run-tests.sh sets it)";
    }
    const QByteArray model = read(speech_);
    auto patched = [&](int field, qint32 value) {
        QByteArray copy = model;
        const qsizetype at = 4 + 4 * field;
        for (int i = 0; i < 4; ++i) {
            copy[at + i] = char((quint32(value) >> (8 * i)) & 0xff);
        }
        return copy;
    };
    QString error;
    error = failureOf(WhisperModel::load(write("f32.bin", patched(10, 0))));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_TRUE(error.contains(QStringLiteral("32-bit"))) << error.toStdString();
    error = failureOf(WhisperModel::load(write("vocab.bin", patched(0, 51000))));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_TRUE(error.contains(QStringLiteral("vocabulary"))) << error.toStdString();
    error = failureOf(WhisperModel::load(write("layers.bin", patched(4, 100000))));
    EXPECT_FALSE(error.isEmpty());
    error = failureOf(WhisperModel::load(write("heads.bin", patched(3, 3))));
    EXPECT_FALSE(error.isEmpty());
    error = failureOf(WhisperModel::load(write("width.bin", patched(6, 32))));
    EXPECT_FALSE(error.isEmpty());
}

// ---------------------------------------------------------------------------------------------
// The voice activity model.

class TinyVad : public ::testing::Test {
protected:
    void SetUp() override {
        const QString path = env("QUILLORY_TEST_WHISPER_VAD_MODEL");
        if (path.isEmpty()) {
            GTEST_SKIP() << "QUILLORY_TEST_WHISPER_VAD_MODEL is not set (scripts/run-tests.sh sets it)";
        }
        auto loaded = VadModel::load(path);
        ASSERT_TRUE(loaded) << loaded.error().toStdString();
        vad_ = loaded.value();
        ASSERT_EQ(vad_->frameSamples(), 512);
    }

    std::shared_ptr<VadModel> vad_;
};

TEST_F(TinyVad, FindsTheSpeechAndNothingInSilence) {
    const auto plain = speechFixture("plain.wav");
    const qint64 plainMs = qint64(plain.size()) * 1000 / kSampleRate;
    auto speech = valueOf(vad_->detect(plain));
    ASSERT_FALSE(speech.empty());
    // The synthesiser's lead-in and tail are 0.3 s of silence.
    EXPECT_GE(speech.front().startMs, 150);
    EXPECT_LE(speech.front().startMs, 600);
    EXPECT_GE(speech.back().endMs, plainMs - 700);
    EXPECT_LE(speech.back().endMs, plainMs);
    qint64 covered = 0;
    for (size_t i = 0; i < speech.size(); ++i) {
        EXPECT_LT(speech[i].startMs, speech[i].endMs);
        if (i > 0) {
            EXPECT_GE(speech[i].startMs, speech[i - 1].endMs);
        }
        covered += speech[i].endMs - speech[i].startMs;
    }
    EXPECT_GT(covered, plainMs * 6 / 10);

    EXPECT_TRUE(valueOf(vad_->detect(speechFixture("silence.wav"))).empty());
    EXPECT_TRUE(valueOf(vad_->detect({})).empty());
    const auto probs = valueOf(vad_->probabilities(speechFixture("silence.wav")));
    ASSERT_EQ(probs.size(), (3u * 16000 + 511) / 512);
    for (float p : probs) {
        EXPECT_LT(p, 0.1f);
    }

    // Background noise well below the voice is not speech; the voice still is.
    const auto noisy = valueOf(vad_->detect(speechFixture("noisy.wav")));
    ASSERT_FALSE(noisy.empty());
    EXPECT_NEAR(double(noisy.front().startMs), double(speech.front().startMs), 100.0);
    EXPECT_NEAR(double(noisy.back().endMs), double(speech.back().endMs), 200.0);
}

TEST_F(TinyVad, TheLongPausesSeparateTheSentences) {
    const auto pauses = speechFixture("pauses.wav");
    VadOptions options;
    options.minSilenceMs = 700;  // pauses inside a sentence stay inside its interval
    const auto speech = valueOf(vad_->detect(pauses, options));
    ASSERT_EQ(speech.size(), 3u);
    EXPECT_GE(speech[1].startMs - speech[0].endMs, 1000);
    EXPECT_GE(speech[2].startMs - speech[1].endMs, 1500);

    // A length limit splits long speech into pieces that follow each other without a gap.
    options.maxSpeechMs = 1000;
    const auto pieces = valueOf(vad_->detect(pauses, options));
    EXPECT_GT(pieces.size(), 6u);
    EXPECT_EQ(pieces.front().startMs, speech.front().startMs);
    EXPECT_EQ(pieces.back().endMs, speech.back().endMs);
    size_t sentence = 0;
    for (size_t i = 0; i < pieces.size(); ++i) {
        EXPECT_LE(pieces[i].endMs - pieces[i].startMs, 1000);
        EXPECT_GT(pieces[i].endMs, pieces[i].startMs);
        while (sentence < speech.size() && pieces[i].startMs >= speech[sentence].endMs) {
            ++sentence;
        }
        ASSERT_LT(sentence, speech.size());
        EXPECT_GE(pieces[i].startMs, speech[sentence].startMs);
        EXPECT_LE(pieces[i].endMs, speech[sentence].endMs);
        if (i > 0 && pieces[i].startMs < speech[sentence].startMs + 1) {
            continue;
        }
        if (i > 0 && pieces[i - 1].endMs > speech[sentence].startMs) {
            EXPECT_EQ(pieces[i].startMs, pieces[i - 1].endMs);
        }
    }
}

TEST(WhisperAudioCtx, GrowsWithTheAudioWithinTheModelsWindow) {
    EXPECT_EQ(audioCtxFor(0), 256);
    EXPECT_EQ(audioCtxFor(2000), 256);
    const int five = audioCtxFor(5000);
    const int fifteen = audioCtxFor(15000);
    EXPECT_GE(five, 250);
    EXPECT_GT(fifteen, five);
    EXPECT_GE(fifteen, 750);
    EXPECT_EQ(audioCtxFor(30000), 1500);
    EXPECT_EQ(audioCtxFor(120000), 1500);
    EXPECT_EQ(audioCtxFor(5000, 200), 200);
    EXPECT_EQ(audioCtxFor(-5), 256);
}

} // namespace

TEST(WhisperThreads, ADecodeTakesOnlyTheIdleCoresAndAtLeastOne) {
    using quillory::whisper::threadsForIdleCores;
    EXPECT_EQ(threadsForIdleCores(2, 2, 0), 2); // a quiet machine: what was asked for
    EXPECT_EQ(threadsForIdleCores(4, 8, 3), 4); // enough idle cores left
    EXPECT_EQ(threadsForIdleCores(4, 8, 6), 2);
    EXPECT_EQ(threadsForIdleCores(2, 2, 1), 1); // one core busy elsewhere
    EXPECT_EQ(threadsForIdleCores(2, 2, 9), 1); // overloaded: still one
    EXPECT_EQ(threadsForIdleCores(0, 2, 0), 1);
    EXPECT_EQ(threadsForIdleCores(2, 2, -1), 2); // unknown
    EXPECT_GE(quillory::whisper::othersRunning(), 0);
}
