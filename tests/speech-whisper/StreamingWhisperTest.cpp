// The streaming recogniser over the real whisper.cpp decoder and VAD (the generated tiny models,
// which find speech by its loudness; the tiny speech model writes one known sentence for any
// audio), on virtual time with a worker driven by hand.

#include "../speech/RecognizerFakes.h"
#include "support/CoreTest.h"

#include "Speech/WavFileAudioSource.h"
#include "SpeechFixtures.h"
#include "Speech/WhisperRecognizer.h"
#include "Speech/whisper/WhisperDecoder.h"

#include <QFile>
#include <QLoggingCategory>

#include <algorithm>
#include <cmath>
#include <iterator>

namespace quillory::testing {
namespace {

std::vector<float> fixture(const char* name) {
    return speechFixture(QLatin1String(name));
}

double rms(std::span<const float> v) {
    double sum = 0;
    for (float x : v) {
        sum += double(x) * double(x);
    }
    return v.empty() ? 0.0 : std::sqrt(sum / double(v.size()));
}

/// Records every decode's audio on the way to the real decoder.
class RecordingDecoder final : public SpeechDecoder {
public:
    explicit RecordingDecoder(std::shared_ptr<SpeechDecoder> inner) : inner_(std::move(inner)) {}
    DecodeResult decode(std::span<const float> samples, const QString& prompt, int audioCtx,
                        const std::function<bool()>& shouldAbort) override {
        decoded.emplace_back(samples.begin(), samples.end());
        return inner_->decode(samples, prompt, audioCtx, shouldAbort);
    }
    DetectResult detectSpeech(std::span<const float> samples) override {
        return inner_->detectSpeech(samples);
    }
    int maxPromptTokens() const override { return inner_->maxPromptTokens(); }
    int tokenCount(const QString& text) const override { return inner_->tokenCount(text); }
    int modelAudioCtx() const override { return inner_->modelAudioCtx(); }
    void beginRecognition() override { inner_->beginRecognition(); }
    void endRecognition() override { inner_->endRecognition(); }

    std::vector<std::vector<float>> decoded;

private:
    std::shared_ptr<SpeechDecoder> inner_;
};

class StreamingWhisperTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        QLoggingCategory::setFilterRules(QStringLiteral("app.quillory.quillory.*=false"));
        model_ = qEnvironmentVariable("QUILLORY_TEST_WHISPER_MODEL");
        vad_ = qEnvironmentVariable("QUILLORY_TEST_WHISPER_VAD_MODEL");
        if (model_.isEmpty() || vad_.isEmpty()) {
            GTEST_SKIP() << "the tiny whisper models are not set (scripts/run-tests.sh sets them)";
        }
        auto real = whisper::loadDecoder(model_, vad_, 1);
        ASSERT_TRUE(real) << real.error().toStdString();
        decoder_ = std::make_shared<RecordingDecoder>(real.value());
    }

    /// Runs `audio` through a recogniser in capture buffers at the speed of speech, with no live
    /// text; the final text.
    QString recognise(const std::vector<float>& audio) {
        auto worker = std::make_shared<ManualWorker>();
        auto host = std::make_shared<WhisperRecognizerHost>(
            [this] { return model_; },
            [this](const QString&) -> Expected<std::shared_ptr<SpeechDecoder>> { return decoder_; }, worker);
        host->preload();
        worker->runNext();
        clock_.runPending();
        auto recognizer = host->makeRecognizer();
        RecognitionOptions options;
        options.shouldReportPartialResults = false; // only the decodes that settle text
        auto request = recognizer->makeRequest(options);
        std::optional<SpeechRecognitionSnapshot> end;
        auto task = recognizer->recognitionTask(request, [&](const SpeechRecognitionSnapshot& s) {
            if (s.isFinal || s.errorDescription) {
                end = s;
            }
        });
        const auto run = [&] {
            while (worker->runNext()) {
                clock_.runPending();
            }
        };
        for (std::size_t at = 0; at < audio.size(); at += kAudioBufferFrames) {
            const std::size_t n = std::min<std::size_t>(kAudioBufferFrames, audio.size() - at);
            request->append(std::span<const float>(audio.data() + at, n));
            clock_.advance(std::chrono::microseconds(qint64(n) * 1'000'000 / kRecognitionSampleRate));
            run();
        }
        request->endAudio();
        for (int i = 0; i < 1000 && !end; ++i) {
            clock_.advance(10ms);
            run();
        }
        run(); // the decoder hears that the session ended
        if (!end || !end->isFinal || !end->text) {
            ADD_FAILURE() << "no final text: " << (end && end->errorDescription ? qPrintable(*end->errorDescription) : "");
            return {};
        }
        return *end->text;
    }

    /// Where `part` (copied out of `audio`) starts in it; -1 when it is not there.
    static qint64 locate(const std::vector<float>& audio, const std::vector<float>& part) {
        const std::size_t probe = part.size() / 2;
        constexpr std::size_t kProbe = 64;
        if (part.size() < probe + kProbe) {
            return -1;
        }
        const auto at = std::search(audio.begin(), audio.end(), part.begin() + std::ptrdiff_t(probe),
                                    part.begin() + std::ptrdiff_t(probe + kProbe));
        return at == audio.end() ? -1 : qint64(at - audio.begin()) - qint64(probe);
    }

    QString model_, vad_;
    std::shared_ptr<RecordingDecoder> decoder_;
};

TEST_F(StreamingWhisperTest, EachSessionHearsTheSentenceThoughTheOneBeforeFreedTheDecodingState) {
    const std::vector<float> plain = fixture("plain.wav");
    const QString sentence = qEnvironmentVariable("QUILLORY_TEST_WHISPER_SENTENCE");
    ASSERT_FALSE(sentence.isEmpty());
    EXPECT_EQ(recognise(plain), sentence);
    EXPECT_EQ(recognise(plain), sentence) << "the second session makes the state again";
}

TEST_F(StreamingWhisperTest, ContinuousSpeechIsCutInItsQuietMomentsAndDecodedWithAnOverlap) {
    // Seven sentences back to back with no pause between them: 25 s of continuous speech.
    const std::vector<float> plain = fixture("plain.wav");
    ASSERT_GT(plain.size(), std::size_t(samplesOf(1)));
    const auto lead = std::ptrdiff_t(samplesOf(0.3)); // the fixture's silence at both ends
    std::vector<float> audio;
    for (int i = 0; i < 7; ++i) {
        // Each copy a little quieter, so that every piece of the audio is found in one place only.
        const float gain = 1.0f - 0.03f * static_cast<float>(i);
        std::transform(plain.begin() + lead, plain.end() - lead, std::back_inserter(audio),
                       [gain](float x) { return x * gain; });
    }
    ASSERT_GT(audio.size(), std::size_t(samplesOf(20)));
    audio.resize(audio.size() + std::size_t(samplesOf(1)), 0.0f);

    EXPECT_FALSE(recognise(audio).isEmpty());

    const StreamingTuning tuning;
    std::vector<std::pair<qint64, qint64>> ranges;
    for (const auto& d : decoder_->decoded) {
        const qint64 at = locate(audio, d);
        ASSERT_GE(at, 0) << "a decode of audio that is not in the input";
        ranges.emplace_back(at, at + qint64(d.size()));
    }
    // How loud 10 ms of this speech usually is.
    std::vector<double> frames;
    for (qint64 f = 0; f + 160 <= qint64(audio.size()) - samplesOf(1); f += 160) {
        frames.push_back(rms(std::span<const float>(audio.data() + f, 160)));
    }
    std::sort(frames.begin(), frames.end());
    const double median = frames[frames.size() / 2];
    ASSERT_GE(ranges.size(), 3u) << "25 s without a pause is decoded in pieces";
    for (std::size_t i = 0; i + 1 < ranges.size(); ++i) {
        const auto [start, cut] = ranges[i];
        const qint64 next = ranges[i + 1].first;
        EXPECT_LE(cut - start, tuning.maxSegmentSamples + tuning.overlapSamples + tuning.padSamples);
        // The next piece starts a little before the cut, so a word on the cut is heard whole.
        EXPECT_GE(cut - next, tuning.overlapSamples / 2) << "piece " << i;
        EXPECT_LE(cut - next, tuning.overlapSamples + tuning.padSamples) << "piece " << i;
        // The cut is in a quiet moment of the speech.
        const double atCut = rms(std::span<const float>(audio.data() + cut - 80, 160));
        EXPECT_LE(atCut, 0.15 * median) << "piece " << i << " cut at " << cut << ", the speech's median " << median;
    }
}

TEST_F(StreamingWhisperTest, AQuickYesIsHeardAndDecoded) {
    // The loudest 150 ms of the sentence, alone between two seconds of silence.
    const std::vector<float> plain = fixture("plain.wav");
    const qint64 length = samplesOf(0.15);
    qint64 best = 0;
    double loudest = -1;
    for (qint64 at = 0; at + length <= qint64(plain.size()); at += 160) {
        const double level = rms(std::span<const float>(plain.data() + at, std::size_t(length)));
        if (level > loudest) {
            loudest = level;
            best = at;
        }
    }
    std::vector<float> audio(std::size_t(samplesOf(1)), 0.0f);
    audio.insert(audio.end(), plain.begin() + best, plain.begin() + best + length);
    audio.resize(audio.size() + std::size_t(samplesOf(1)), 0.0f);

    const DetectResult detected = decoder_->detectSpeech(audio);
    ASSERT_EQ(detected.status, DetectResult::Status::ok) << detected.error.toStdString();
    const auto& spans = detected.spans;
    ASSERT_EQ(spans.size(), 1u) << "speech shorter than 250 ms is speech too";
    EXPECT_LE(spans[0].start, samplesOf(1.0) + samplesOf(0.05));
    EXPECT_GE(spans[0].end, samplesOf(1.1));

    EXPECT_EQ(recognise(audio), qEnvironmentVariable("QUILLORY_TEST_WHISPER_SENTENCE"));
    ASSERT_EQ(decoder_->decoded.size(), 1u);
    EXPECT_GE(qint64(decoder_->decoded[0].size()), StreamingTuning{}.minDecodeSamples);
}

} // namespace
} // namespace quillory::testing
