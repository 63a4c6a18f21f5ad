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
//   build/bench/bench_speech [--fixture NAME.wav ...] [--threads N] [--models tiny,sized,real] [--only ID-PART]
//                            [--one-pass]

#include "Runtime/Paths.h"
#include "Runtime/Scheduler.h"
#include "Speech/SpeechModel.h"
#include "Speech/WavFileAudioSource.h"
#include "Speech/WhisperRecognizer.h"
#include "Speech/whisper/WhisperDecoder.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

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

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QStringList fixtures;
    QStringList kinds{"tiny", "sized", "real"};
    QString only; // a part of the model id
    int threads = whisper::defaultThreads();
    bool twoPass = true;
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
    return 0;
}
