// `quillory transcribe`: one whole dictation session, headless. The WAV file plays as the
// microphone into the speech manager and the application state — the same accumulator, commit
// pipeline, dictionary, polish and diagnostics lines as a dictation in the app — and the committed
// text goes to stdout through a text-insertion backend that prints.
//
// The session runs on a private copy of the settings, so `--polish`/`--no-polish` and the
// session's own hotkey set-up never change what the app has stored.

#include "Cli/Cli.h"

#include "AI/LocalPolishEngine.h"
#include "AI/PolishSettings.h"
#include "App/AppState.h"
#include "Runtime/DefaultsStore.h"
#include "Runtime/Localization.h"
#include "Runtime/Scheduler.h"
#include "Speech/SpeechManager.h"
#include "Speech/SpeechModel.h"
#include "Speech/WavFileAudioSource.h"
#include "Speech/WhisperRecognizer.h"
#include "Speech/whisper/WhisperDecoder.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <atomic>
#include <thread>

namespace quillory::cli {

namespace {

/// Prints the committed text.
class StdoutInsertion final : public TextInsertion {
public:
    explicit StdoutInsertion(QTextStream& out) : out_(out) {}
    std::optional<QString> captureBaselineForLiveDictation() override { return std::nullopt; }
    Task<> commitFinal(std::optional<QString>, QString finalText, CancellationToken) override {
        out_ << finalText << Qt::endl;
        committed = true;
        co_return;
    }
    bool committed = false;

private:
    QTextStream& out_;
};


/// Plays decoded samples as a microphone on its own thread: at the speed of speech, or as fast as
/// the recogniser takes them (never more than a couple of seconds ahead of it).
class SamplesAudioSource final : public AudioSource {
public:
    SamplesAudioSource(std::shared_ptr<const std::vector<float>> samples, bool realtime,
                       std::shared_ptr<WhisperRecognizerHost> host, std::shared_ptr<std::atomic<bool>> finished)
        : samples_(std::move(samples)), realtime_(realtime), host_(std::move(host)), finished_(std::move(finished)) {}
    ~SamplesAudioSource() override { stop(); }

    void start(BufferHandler onBuffer) override {
        thread_ = std::thread([this, onBuffer = std::move(onBuffer)] {
            const auto begin = std::chrono::steady_clock::now();
            const auto& all = *samples_;
            std::size_t at = 0;
            constexpr qint64 kAhead = 2 * kRecognitionSampleRate;
            while (at < all.size() && !stop_) {
                if (realtime_) {
                    const auto due = begin + std::chrono::microseconds(static_cast<qint64>(at) * 1'000'000 /
                                                                       kRecognitionSampleRate);
                    std::this_thread::sleep_until(due);
                } else if (host_->unprocessedSamples() > kAhead) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                    continue;
                }
                const std::size_t n = std::min<std::size_t>(kAudioBufferFrames, all.size() - at);
                onBuffer(std::span<const float>(all.data() + at, n));
                at += n;
            }
            if (realtime_ && !stop_) {
                std::this_thread::sleep_until(begin + std::chrono::microseconds(static_cast<qint64>(all.size()) *
                                                                                1'000'000 / kRecognitionSampleRate));
            }
            finished_->store(true);
        });
    }
    void stop() override {
        stop_ = true;
        if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
            thread_.join();
        }
    }

private:
    std::shared_ptr<const std::vector<float>> samples_;
    bool realtime_;
    std::shared_ptr<WhisperRecognizerHost> host_;
    std::shared_ptr<std::atomic<bool>> finished_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

/// Pumps the event loop (and the scheduler) until `done` or the real-time bound.
bool pumpUntil(const std::function<bool()>& done, qint64 boundMs) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > boundMs) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (!done()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    return true;
}

std::optional<QByteArray> readInput(const QString& file, Io& io) {
    if (file == QLatin1String("-")) {
        QFile in;
        if (!in.open(stdin, QIODevice::ReadOnly)) {
            failure(io, QStringLiteral("Cannot read standard input"));
            return std::nullopt;
        }
        return in.readAll();
    }
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly)) {
        failure(io, QStringLiteral("Cannot read %1: %2").arg(file, in.errorString()));
        return std::nullopt;
    }
    return in.readAll();
}

/// Installs a private copy of the settings for the command's lifetime.
class PrivateSettings {
public:
    PrivateSettings() : previous_(&DefaultsStore::standard()) {
        const QString copy = dir_.filePath(QStringLiteral("defaults.json"));
        QFile::copy(previous_->filePath(), copy);
        QFile(copy).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        store_ = std::make_unique<DefaultsStore>(copy);
        DefaultsStore::setStandardForTesting(store_.get());
    }
    ~PrivateSettings() { DefaultsStore::setStandardForTesting(previous_); }

private:
    DefaultsStore* previous_;
    QTemporaryDir dir_;
    std::unique_ptr<DefaultsStore> store_;
};

} // namespace

int transcribeCommand(const QStringList& args, Io& io) {
    const Options opts(args,
                       {"speech-model", "speech-model-file", "partial-model", "partial-model-file", "polish-model-file"},
                       {"polish", "no-polish", "partials", "realtime"});
    const QString synopsis = QStringLiteral(
        "transcribe FILE.wav|- [--speech-model ID] [--speech-model-file F] [--partial-model ID|off] "
        "[--partial-model-file F] [--polish|--no-polish] [--polish-model-file F] [--partials] [--realtime]");
    if (!opts.ok()) {
        return usageError(io, opts.error());
    }
    if (opts.positional().size() != 1 || (opts.has("polish") && opts.has("no-polish"))) {
        return usageError(io, synopsis);
    }

    // The speech model.
    SpeechModel model = SpeechModels::selectedModel();
    if (opts.has("speech-model")) {
        const auto chosen = SpeechModels::fromId(opts.value("speech-model"));
        if (!chosen) {
            return failure(io, QStringLiteral("Unknown speech model '%1' (see: quillory speech-models list)")
                                   .arg(opts.value("speech-model")));
        }
        model = *chosen;
    }
    QString modelFile = SpeechModels::modelPath(model);
    if (opts.has("speech-model-file")) {
        modelFile = opts.value("speech-model-file");
        if (!QFileInfo(modelFile).isFile()) {
            return failure(io, QStringLiteral("Cannot read the speech model file %1").arg(modelFile));
        }
    } else if (!QFileInfo::exists(modelFile)) {
        return failure(io, Localization::format("speech.cli.model_missing", SpeechModels::id(model)));
    }
    // The VAD model: beside a stand-in file when there is one there, else the speech model folder's.
    QString vadFile = SpeechModels::vadPath();
    if (const QString beside = QFileInfo(modelFile).absolutePath() + QLatin1Char('/') + SpeechModels::vadFilename();
        opts.has("speech-model-file") && QFileInfo::exists(beside)) {
        vadFile = beside;
    }
    if (const QString env = qEnvironmentVariable("QUILLORY_SPEECH_VAD_MODEL"); !env.isEmpty()) {
        vadFile = env;
    }
    if (!QFileInfo::exists(vadFile)) {
        return failure(io, Localization::format("speech.cli.model_missing", SpeechModels::id(model)));
    }

    // The model of the live text: the setting's (when downloaded) for a catalogue model, none for a
    // model file unless one is named.
    QString partialFile;
    if (opts.has("partial-model-file")) {
        partialFile = opts.value("partial-model-file");
        if (!QFileInfo(partialFile).isFile()) {
            return failure(io, QStringLiteral("Cannot read the speech model file %1").arg(partialFile));
        }
    } else if (opts.has("partial-model")) {
        const QString chosen = opts.value("partial-model");
        if (chosen != QLatin1String("off")) {
            const auto partial = SpeechModels::fromId(chosen);
            if (!partial) {
                return failure(io, QStringLiteral("Unknown speech model '%1' (see: quillory speech-models list)")
                                       .arg(chosen));
            }
            partialFile = SpeechModels::modelPath(*partial);
            if (!QFileInfo::exists(partialFile)) {
                return failure(io, Localization::format("speech.cli.model_missing", chosen));
            }
        }
    } else if (!opts.has("speech-model-file")) {
        if (const auto partial = SpeechModels::partialModelFor(model); partial && SpeechModels::isDownloaded(*partial)) {
            partialFile = SpeechModels::modelPath(*partial);
        }
    }

    // The audio.
    const auto bytes = readInput(opts.positional().first(), io);
    if (!bytes) {
        return Failure;
    }
    std::shared_ptr<const std::vector<float>> samples;
    try {
        QStringList notes;
        samples = std::make_shared<const std::vector<float>>(WavFileAudioSource::decode(*bytes, &notes));
        for (const QString& note : notes) {
            io.err << note << '\n';
        }
        io.err.flush();
    } catch (const std::exception& e) {
        return failure(io, QString::fromLocal8Bit(e.what()));
    }

    PrivateSettings settings;
    if (opts.has("polish") || opts.has("no-polish")) {
        PolishSettings::setEnabled(opts.has("polish"));
    }
    const bool polishing = PolishSettings::isEnabled();
    std::optional<LocalPolishEngine::Configuration> savedPolish;
    if (polishing && opts.has("polish-model-file")) {
        const QString file = opts.value("polish-model-file");
        if (!QFileInfo(file).isFile()) {
            return failure(io, QStringLiteral("Cannot read the polish model file %1").arg(file));
        }
        savedPolish = LocalPolishEngine::shared().configuration();
        auto config = *savedPolish;
        for (PolishModel m : PolishModels::allCases) {
            config.modelFiles.insert(m, file);
        }
        LocalPolishEngine::shared().setConfiguration(std::move(config));
    }

    // Load the model first, as the app does at start-up.
    auto host = std::make_shared<WhisperRecognizerHost>(
        [modelFile] { return modelFile; }, whisper::makeDecoderLoader([vadFile] { return vadFile; }),
        std::make_shared<ThreadRecognitionWorker>());
    qint64 loadMs = -1;
    host->setLoadObserver([&loadMs](WhisperRecognizerHost::LoadState, qint64 ms) { loadMs = ms; });
    if (!partialFile.isEmpty()) {
        host->setPartialPass({[partialFile] { return partialFile; },
                              whisper::makeDecoderLoader([vadFile] { return vadFile; }, whisper::partialThreads()),
                              std::make_shared<ThreadRecognitionWorker>()});
    }
    host->preload();
    pumpUntil([&] {
        return host->loadState() != WhisperRecognizerHost::LoadState::loading &&
               host->partialLoadState() != WhisperRecognizerHost::LoadState::loading;
    }, 600'000);
    if (host->loadState() != WhisperRecognizerHost::LoadState::loaded) {
        return failure(io, QStringLiteral("The speech model could not be loaded: %1").arg(host->loadError()));
    }
    io.err << QStringLiteral("Speech model %1 loaded in %2 ms").arg(QFileInfo(modelFile).fileName()).arg(loadMs)
           << Qt::endl;
    if (host->partialLoadState() == WhisperRecognizerHost::LoadState::loaded) {
        io.err << QStringLiteral("Live text by %1").arg(QFileInfo(partialFile).fileName()) << Qt::endl;
    }

    auto finished = std::make_shared<std::atomic<bool>>(false);
    SpeechBackends backends;
    backends.makeAudioSource = [samples, realtime = opts.has("realtime"), host, finished] {
        return std::make_unique<SamplesAudioSource>(samples, realtime, host, finished);
    };
    backends.makeRecognizer = [host](SpeechLocale) { return host->makeRecognizer(); };
    auto insertion = std::make_shared<StdoutInsertion>(io.out);
    int status = Ok;
    {
        AppState state(AppStateServices{std::make_shared<SpeechManager>(backends), insertion,
                                        std::make_shared<GrantedPermissions>(), std::make_shared<UnknownRuntimeEnvironmentStatus>(),
                                        std::shared_ptr<PolishService>(&LocalPolishEngine::shared(),
                                                                       [](PolishService*) {})});
        state.setHotkeyConfig(HotkeyConfig::factoryDefaults());
        if (opts.has("partials")) {
            QObject::connect(&state, &AppState::partialTextChanged, &state, [&] {
                if (!state.partialText().isEmpty()) {
                    io.err << "partial: " << state.partialText() << Qt::endl;
                }
            });
        }
        QElapsedTimer clock;
        state.handleHotkeyPress();
        pumpUntil([&] { return finished->load() || !state.isRecording(); }, 24 * 3600 * 1000);
        const qint64 audioEndMs = clock.elapsed();
        state.handleHotkeyRelease();
        pumpUntil([&] { return state.status().is(AppStatus::Kind::idle) || state.status().is(AppStatus::Kind::error); },
                  600'000);
        if (state.status().is(AppStatus::Kind::error)) {
            status = failure(io, state.status().message());
        } else if (!state.status().is(AppStatus::Kind::idle)) {
            status = failure(io, QStringLiteral("The session did not end"));
        } else if (!insertion->committed) {
            io.err << "No speech was recognised." << Qt::endl;
        }
        io.err << QStringLiteral("End of audio to commit: %1 ms").arg(clock.elapsed() - audioEndMs) << Qt::endl;
    }
    if (polishing) {
        LocalPolishEngine::shared().shutdown();
    }
    if (savedPolish) {
        LocalPolishEngine::shared().setConfiguration(*savedPolish);
    }
    // The session's watchdogs were cancelled as it ended; they finish on the event loop.
    if (auto* qt = dynamic_cast<QtScheduler*>(&Scheduler::current())) {
        pumpUntil([qt] { return qt->pendingCount() == 0; }, 300);
    }
    return status;
}

} // namespace quillory::cli
