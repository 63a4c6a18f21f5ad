// Speech recognition figures: for each model found, the load time, then per fixture the wait from
// the end of audio to the final text through the streaming recogniser (audio fed at the speed of
// speech), the CPU spent while the user speaks (partials and settling) per second of speech, and
// whisper.cpp's own whisper-cli transcribing the whole file after the fact, as a ratio.
//
// Models: the tiny test model (QUILLORY_TEST_WHISPER_MODEL), the random-weight models with the real
// dimensions from scripts/make-sized-whisper-models.sh (~/.cache/quillory/deps/sized-whisper), and
// real models in the speech model folder. The VAD model: QUILLORY_TEST_WHISPER_VAD_MODEL or the
// folder's. whisper-cli: QUILLORY_TEST_WHISPER_CLI or the runtime's bin/whisper-cli.
// A model that gets a faster one for its live text (see SpeechModels::automaticPartialModel) is
// measured twice: alone, and with the faster one (of the same kind) writing the live text; the
// gaps between live-text updates show whether the live text keeps flowing.
//
// Long dictations (with the tiny test model, whose decodes take milliseconds, so what is measured
// is the recogniser's own cost): 1, 3 and 10 minutes of the pauses fixture over and over, with a
// dictionary of 15 entries of 250 characters, fed as fast as the recogniser takes it (no live
// text). Per length:
// end of audio -> final text, the part of it spent in the decoder and the VAD, the rest (the
// recogniser's own overhead; target <= 50 ms at 10 min, and no growth with the length), and the
// resident memory during the dictation and once it has ended (the decoder told so and its working
// memory freed), against before the first one
// (target: within 10 MB after 10 minutes).
//
//   build/bench/bench_speech [--fixture NAME.wav ...] [--threads N] [--models tiny,sized,real] [--only ID-PART]
//                            [--one-pass] [--long-minutes 1,3,10 | --no-long]

#include "support/BenchFigures.h"

#include "Runtime/Paths.h"
#include "Runtime/Scheduler.h"
#include "Speech/SpeechModel.h"
#include "Speech/WavFileAudioSource.h"
#include "Speech/WhisperRecognizer.h"
#include "Speech/whisper/WhisperDecoder.h"
#include "Strings/StringTables.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>

#include <malloc.h>
#include <sys/resource.h>

using namespace quillory;

namespace {

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void pumpUntil(const std::function<bool()>& done) {
    while (!done()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

struct Streamed {
    double finalMs = 0;
    double cpuPerSpeechSecond = 0;
    int partials = 0;
    double medianGapMs = -1; // between live-text updates while speaking, from the first one
    double maxGapMs = -1;
    double firstPartialMs = -1;
    QString text;
    bool ok = false;
};

Streamed stream(WhisperRecognizerHost& host, const std::vector<float>& samples) {
    Streamed r;
    auto recognizer = host.makeRecognizer();
    auto request = recognizer->makeRequest({});
    bool ended = false;
    QElapsedTimer sinceStart;
    sinceStart.start();
    std::vector<double> updates;
    auto task = recognizer->recognitionTask(request, [&](const SpeechRecognitionSnapshot& s) {
        if (s.isProgress) {
            return; // a sign of life, no new text
        }
        if (s.isFinal || s.errorDescription) {
            ended = true;
            r.ok = s.isFinal || (s.errorDescription && s.errorDescription->contains("No speech"));
            r.text = s.text.value_or(s.errorDescription.value_or(QString()));
        } else {
            ++r.partials;
            updates.push_back(static_cast<double>(sinceStart.nsecsElapsed()) / 1e6);
        }
    });
    std::atomic<bool> fed{false};
    const double cpuBefore = cpuSeconds();
    std::thread feeder([&] {
        const auto begin = std::chrono::steady_clock::now();
        for (std::size_t at = 0; at < samples.size(); at += kAudioBufferFrames) {
            std::this_thread::sleep_until(begin + std::chrono::microseconds(static_cast<qint64>(at) * 1'000'000 /
                                                                             kRecognitionSampleRate));
            const std::size_t n = std::min<std::size_t>(kAudioBufferFrames, samples.size() - at);
            request->append(std::span<const float>(samples.data() + at, n));
        }
        std::this_thread::sleep_until(begin + std::chrono::microseconds(static_cast<qint64>(samples.size()) *
                                                                        1'000'000 / kRecognitionSampleRate));
        fed = true;
    });
    pumpUntil([&] { return fed.load() || ended; });
    feeder.join();
    const double speechSeconds = static_cast<double>(samples.size()) / kRecognitionSampleRate;
    r.cpuPerSpeechSecond = (cpuSeconds() - cpuBefore) / speechSeconds;
    // The silence at the end of the audio counts as a gap too: the live text did not move then.
    updates.push_back(static_cast<double>(sinceStart.nsecsElapsed()) / 1e6);
    if (updates.size() >= 2) {
        std::vector<double> gaps;
        for (std::size_t i = 1; i < updates.size(); ++i) {
            gaps.push_back(updates[i] - updates[i - 1]);
        }
        std::sort(gaps.begin(), gaps.end());
        r.medianGapMs = gaps[gaps.size() / 2];
        r.maxGapMs = gaps.back();
        r.firstPartialMs = updates.front();
    }
    QElapsedTimer t;
    t.start();
    request->endAudio();
    pumpUntil([&] { return ended; });
    r.finalMs = static_cast<double>(t.nsecsElapsed()) / 1e6;
    return r;
}

double whisperCliMs(const QString& cli, const QString& model, const QString& wav, int threads) {
    if (cli.isEmpty() || !QFileInfo(cli).isExecutable()) {
        return -1;
    }
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    QElapsedTimer t;
    t.start();
    // Greedy without temperature fallback, as the recogniser decodes.
    p.start(cli, {"-m", model, "-f", wav, "-l", "ja", "-t", QString::number(threads), "-nt", "-np", "-nf", "-bo", "1"});
    if (!p.waitForFinished(600'000) || p.exitCode() != 0) {
        return -1;
    }
    return static_cast<double>(t.nsecsElapsed()) / 1e6;
}


/// Resident memory of this process in MB.
double residentMb() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
        }
    }
    return -1;
}

/// Memory the allocator has handed out and not had back, in MB (what `residentMb` holds beyond
/// it is free memory the allocator keeps, or the code and the model).
double allocatedMb() {
    const struct mallinfo2 m = mallinfo2();
    return static_cast<double>(m.uordblks + m.hblkhd) / (1024.0 * 1024.0);
}

/// Time spent inside the decoder (decodes and the VAD), around the real one.
class TimedDecoder final : public SpeechDecoder {
public:
    explicit TimedDecoder(std::shared_ptr<SpeechDecoder> inner) : inner_(std::move(inner)) {}
    DecodeResult decode(std::span<const float> samples, const QString& prompt, int audioCtx,
                        const std::function<bool()>& shouldAbort) override {
        const auto t = begin();
        DecodeResult r = inner_->decode(samples, prompt, audioCtx, shouldAbort);
        end(t);
        return r;
    }
    DetectResult detectSpeech(std::span<const float> samples) override {
        const auto t = begin();
        DetectResult r = inner_->detectSpeech(samples);
        end(t);
        return r;
    }
    int maxPromptTokens() const override { return inner_->maxPromptTokens(); }
    int tokenCount(const QString& text) const override { return inner_->tokenCount(text); }
    int modelAudioCtx() const override { return inner_->modelAudioCtx(); }
    void setSharingCpu(bool sharing) override { inner_->setSharingCpu(sharing); }
    void beginRecognition() override {
        ++open_;
        inner_->beginRecognition();
    }
    void endRecognition() override {
        inner_->endRecognition();
        --open_;
    }
    /// True once every recognition that began has ended (its working memory freed).
    bool allEnded() const { return open_.load() == 0; }

    double takeMs() {
        std::lock_guard lock(mutex_);
        return std::exchange(ms_, 0.0);
    }
    /// True when no call has run for `quiet`.
    bool idleFor(std::chrono::milliseconds quiet) {
        std::lock_guard lock(mutex_);
        return active_ == 0 && std::chrono::steady_clock::now() - lastEnd_ >= quiet;
    }

private:
    std::chrono::steady_clock::time_point begin() {
        std::lock_guard lock(mutex_);
        ++active_;
        return std::chrono::steady_clock::now();
    }
    void end(std::chrono::steady_clock::time_point started) {
        std::lock_guard lock(mutex_);
        --active_;
        lastEnd_ = std::chrono::steady_clock::now();
        ms_ += bench::millis(lastEnd_ - started);
    }
    std::shared_ptr<SpeechDecoder> inner_;
    std::atomic<int> open_{0};
    std::mutex mutex_;
    double ms_ = 0;
    int active_ = 0;
    std::chrono::steady_clock::time_point lastEnd_{};
};

void longDictations(const QString& model, const QString& vad, const QList<int>& minutes) {
    QFile f(QStringLiteral(QUILLORY_SOURCE_DIR "/tests/fixtures/speech/pauses.wav"));
    if (!f.open(QIODevice::ReadOnly)) {
        return;
    }
    std::vector<float> piece = WavFileAudioSource::decode(f.readAll());
    piece.resize(piece.size() + kRecognitionSampleRate / 2, 0.0f); // a pause between repetitions
    std::shared_ptr<TimedDecoder> timed;
    const auto loader = whisper::makeDecoderLoader([vad] { return vad; });
    auto host = std::make_shared<WhisperRecognizerHost>(
        [model] { return model; },
        [&timed, loader](const QString& path) -> Expected<std::shared_ptr<SpeechDecoder>> {
            auto inner = loader(path);
            if (!inner) {
                timed = nullptr;
                return inner;
            }
            timed = std::make_shared<TimedDecoder>(inner.value());
            return std::shared_ptr<SpeechDecoder>(timed);
        },
        std::make_shared<ThreadRecognitionWorker>());
    host->preload();
    pumpUntil([&] { return host->loadState() != WhisperRecognizerHost::LoadState::loading; });
    if (host->loadState() != WhisperRecognizerHost::LoadState::loaded) {
        std::printf("long dictations: the tiny model did not load: %s\n", qPrintable(host->loadError()));
        return;
    }
    QStringList dictionary;
    for (int i = 0; i < 15; ++i) {
        dictionary << QString(250, QChar(char16_t(u'語' + i)));
    }
    std::printf("\n== long dictations (tiny test model: the decodes take milliseconds; 15 dictionary entries "
                "of 250 characters) ==\n");
    // One short dictation first: whisper.cpp allocates its decoding state at the first decode.
    (void)stream(*host, piece);
    pumpUntil([&] { return timed->allEnded(); });
    for (int i = 0; i < 20; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const double before = residentMb();
    std::printf("  resident before (idle after one short dictation): %.1f MB (allocated %.1f MB)\n", before,
                allocatedMb());
    for (const int length : minutes) {
        const auto total = static_cast<std::size_t>(length) * 60 * kRecognitionSampleRate;
        double peak = 0;
        double finalMs = 0;
        double decoderMs = 0;
        qsizetype characters = 0;
        {
            auto recognizer = host->makeRecognizer();
            RecognitionOptions options;
            options.contextualStrings = dictionary;
            // No live text: its decodes would only slow the feeding down; the final is the same.
            options.shouldReportPartialResults = false;
            auto request = recognizer->makeRequest(options);
            std::optional<SpeechRecognitionSnapshot> end;
            auto task = recognizer->recognitionTask(request, [&](const SpeechRecognitionSnapshot& s) {
                if (s.isFinal || s.errorDescription) {
                    end = s;
                }
            });
            // As fast as the recogniser takes it: never more than 4 s of audio it has not looked at.
            for (std::size_t at = 0; at < total;) {
                if (host->unprocessedSamples() > 4 * kRecognitionSampleRate) {
                    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    continue;
                }
                const std::size_t offset = at % piece.size();
                const std::size_t n = std::min({std::size_t(kAudioBufferFrames), piece.size() - offset, total - at});
                request->append(std::span<const float>(piece.data() + offset, n));
                at += n;
                if (at % (std::size_t(kRecognitionSampleRate) * 10) < n) {
                    QCoreApplication::processEvents();
                    peak = std::max(peak, residentMb());
                }
            }
            // Let the recogniser catch up with the audio, as it does while the user speaks: every
            // decode of what was said has finished and nothing new has started for a while.
            pumpUntil([&] {
                return end.has_value() || (host->unprocessedSamples() == 0 && timed->idleFor(std::chrono::seconds(1)));
            });
            timed->takeMs();
            const auto t = std::chrono::steady_clock::now();
            request->endAudio();
            pumpUntil([&] { return end.has_value(); });
            finalMs = bench::millis(std::chrono::steady_clock::now() - t);
            decoderMs = timed->takeMs();
            characters = end->text.value_or(QString()).size();
            if (!end->isFinal) {
                std::printf("  %2d min: FAILED %s\n", length, qPrintable(end->errorDescription.value_or(QString())));
            }
        }
        // The decoder frees its working memory once told the session ended, on its worker.
        pumpUntil([&] { return timed->allEnded(); });
        for (int i = 0; i < 20; ++i) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        const double idle = residentMb();
        const double own = finalMs - decoderMs;
        std::printf("  %2d min (%6lld characters) | end of audio -> final %8.1f ms, in the decoder %8.1f ms, "
                    "own %7.1f ms (target <= 50 ms: %s) | resident peak %6.1f MB, idle after %6.1f MB "
                    "(%+.1f MB against before; target within 10 MB: %s), allocated %.1f MB\n",
                    length, static_cast<long long>(characters), finalMs, decoderMs, own,
                    own <= 50 ? "meets target" : "MISSES target", peak, idle, idle - before,
                    idle - before <= 10 ? "meets target" : "MISSES target", allocatedMb());
    }
}

} // namespace

int main(int argc, char** argv) {
    quillory::Localization::installAllStrings();
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QStringList fixtures;
    QStringList kinds{"tiny", "sized", "real"};
    QString only; // a part of the model id
    int threads = whisper::defaultThreads();
    bool twoPass = true;
    QList<int> longMinutes{1, 3, 10};
    const QStringList args = app.arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == "--fixture" && i + 1 < args.size()) {
            fixtures << args[++i];
        } else if (args[i] == "--threads" && i + 1 < args.size()) {
            threads = args[++i].toInt();
        } else if (args[i] == "--models" && i + 1 < args.size()) {
            kinds = args[++i].split(',');
        } else if (args[i] == "--only" && i + 1 < args.size()) {
            only = args[++i];
        } else if (args[i] == "--one-pass") {
            twoPass = false;
        } else if (args[i] == "--long-minutes" && i + 1 < args.size()) {
            longMinutes.clear();
            for (const QString& m : args[++i].split(',')) {
                longMinutes << m.toInt();
            }
        } else if (args[i] == "--no-long") {
            longMinutes.clear();
        }
    }
    if (fixtures.isEmpty()) {
        fixtures = {"plain.wav", "pauses.wav"};
    }
    qputenv("QUILLORY_WHISPER_THREADS", QByteArray::number(threads));

    QString vad = qEnvironmentVariable("QUILLORY_TEST_WHISPER_VAD_MODEL");
    if (vad.isEmpty()) {
        vad = SpeechModels::vadPath();
    }
    QString cli = qEnvironmentVariable("QUILLORY_TEST_WHISPER_CLI");

    struct Entry {
        QString label;
        QString file;
        QString partialFile; // the live text's model; empty for one pass
    };
    QList<Entry> models;
    if (kinds.contains("tiny") && !qEnvironmentVariable("QUILLORY_TEST_WHISPER_MODEL").isEmpty()) {
        models << Entry{QStringLiteral("tiny test model"), qEnvironmentVariable("QUILLORY_TEST_WHISPER_MODEL"), {}};
    }
    const QString sizedDir = Paths::cacheDirectory() + QStringLiteral("/deps/sized-whisper");
    const auto add = [&](SpeechModel m, const QString& dir, const QString& kind) {
        const QString file = dir + '/' + SpeechModels::filename(m);
        models << Entry{SpeechModels::id(m) + kind, file, {}};
        if (const auto partial = SpeechModels::automaticPartialModel(m); partial && twoPass) {
            const QString partialFile = dir + '/' + SpeechModels::filename(*partial);
            if (QFileInfo::exists(partialFile)) {
                models << Entry{SpeechModels::id(m) + kind + ", live text by " + SpeechModels::id(*partial), file,
                                partialFile};
            }
        }
    };
    for (SpeechModel m : SpeechModels::allCases) {
        if (!only.isEmpty() && !SpeechModels::id(m).contains(only)) {
            continue;
        }
        if (kinds.contains("sized") && QFileInfo::exists(sizedDir + '/' + SpeechModels::filename(m))) {
            add(m, sizedDir, " (random weights, real size)");
        }
        if (kinds.contains("real") && SpeechModels::isDownloaded(m)) {
            add(m, SpeechModels::modelDirectory(), " (real)");
        }
    }
    if (models.isEmpty() || !QFileInfo::exists(vad)) {
        std::fprintf(stderr, "bench_speech: no speech model or VAD model found (see the header of %s)\n", __FILE__);
        return 0;
    }

    std::printf("threads=%d  vad=%s  whisper-cli=%s\n", threads, qPrintable(QFileInfo(vad).fileName()),
                cli.isEmpty() ? "(none)" : qPrintable(cli));
    const StreamingTuning tuning;
    std::printf("cadence: partial every max(%.1f s, last decode x %.1f); segment settles after a %.2f s pause "
                "or at %.0f s\n",
                std::chrono::duration<double>(tuning.minPartialInterval).count(), tuning.partialSpacingFactor,
                static_cast<double>(tuning.pauseSamples) / kRecognitionSampleRate,
                static_cast<double>(tuning.maxSegmentSamples) / kRecognitionSampleRate);
    for (const auto& entry : models) {
        const QString label = entry.label;
        const QString file = entry.file;
        auto host = std::make_shared<WhisperRecognizerHost>(
            [file] { return file; }, whisper::makeDecoderLoader([vad] { return vad; }),
            std::make_shared<ThreadRecognitionWorker>());
        if (!entry.partialFile.isEmpty()) {
            host->setPartialPass({[f = entry.partialFile] { return f; },
                                  whisper::makeDecoderLoader([vad] { return vad; }, whisper::partialThreads()),
                                  std::make_shared<ThreadRecognitionWorker>()});
        }
        qint64 loadMs = -1;
        host->setLoadObserver([&](WhisperRecognizerHost::LoadState, qint64 ms) { loadMs = ms; });
        host->preload();
        pumpUntil([&] {
            return host->loadState() != WhisperRecognizerHost::LoadState::loading &&
                   host->partialLoadState() != WhisperRecognizerHost::LoadState::loading;
        });
        std::printf("\n== %s ==\nload: %lld ms%s\n", qPrintable(label), static_cast<long long>(loadMs),
                    host->loadState() == WhisperRecognizerHost::LoadState::loaded ? "" : "  (FAILED)");
        if (host->loadState() != WhisperRecognizerHost::LoadState::loaded) {
            std::printf("  %s\n", qPrintable(host->loadError()));
            continue;
        }
        for (const QString& name : fixtures) {
            const QString wav = QStringLiteral(QUILLORY_SOURCE_DIR "/tests/fixtures/speech/") + name;
            QFile f(wav);
            if (!f.open(QIODevice::ReadOnly)) {
                std::printf("  %s: missing\n", qPrintable(name));
                continue;
            }
            const std::vector<float> samples = WavFileAudioSource::decode(f.readAll());
            const double seconds = static_cast<double>(samples.size()) / kRecognitionSampleRate;
            const Streamed s = stream(*host, samples);
            // Random weights never end a segment: whisper-cli (no token cap) would decode to its limit,
            // so the comparison is made on the tiny and the real models only.
            const bool randomWeights = label.contains(QLatin1String("random weights"));
            const double cliMs = randomWeights ? -1 : whisperCliMs(cli, file, wav, threads);
            // whisper-cli loads the model each run; the app keeps it loaded, so compare without it too.
            const double cliWithoutLoad = cliMs > 0 ? std::max(1.0, cliMs - static_cast<double>(loadMs)) : -1;
            std::printf("  %-11s %5.1f s audio | end of audio -> final %7.0f ms | whisper-cli whole file %7.0f ms "
                        "(%7.0f ms without its load) | ratio %5.2f (%5.2f) | CPU while speaking %.2f s/s | "
                        "%d partials, first at %.0f ms, gap median %.0f ms max %.0f ms%s\n",
                        qPrintable(name), seconds, s.finalMs, cliMs, cliWithoutLoad,
                        cliMs > 0 ? s.finalMs / cliMs : -1.0, cliMs > 0 ? s.finalMs / cliWithoutLoad : -1.0,
                        s.cpuPerSpeechSecond, s.partials, s.firstPartialMs, s.medianGapMs, s.maxGapMs,
                        s.ok ? "" : "  (FAILED)");
            if (!s.ok) {
                std::printf("    %s\n", qPrintable(s.text));
            }
        }
    }
    const QString tiny = qEnvironmentVariable("QUILLORY_TEST_WHISPER_MODEL");
    if (!longMinutes.isEmpty() && !tiny.isEmpty() && QFileInfo::exists(tiny) && QFileInfo::exists(vad)) {
        longDictations(tiny, vad, longMinutes);
    }
    return 0;
}
