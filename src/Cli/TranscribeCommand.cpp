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
#include "Speech/RemoteRecognizer.h"
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

/// The files one transcription decodes with.
struct ModelFiles {
    SpeechModel model;
    QString speech;
    QString vad;
    QString partial; ///< the live-text model; empty: the selected model writes the live text
};

/// A catalogue model by its id; nullopt after saying it is unknown.
std::optional<SpeechModel> catalogueModel(const QString& id, Io& io) {
    const auto model = SpeechModels::fromId(id);
    if (!model) {
        failure(io, QStringLiteral("Unknown speech model '%1' (see: quillory speech-models list)").arg(id));
    }
    return model;
}

/// A catalogue model's file; empty after saying it is not downloaded (named by `id`).
QString downloadedFile(SpeechModel model, const QString& id, Io& io) {
    const QString file = SpeechModels::modelPath(model);
    if (!QFileInfo::exists(file)) {
        failure(io, Localization::format("speech.cli.model_missing", id));
        return {};
    }
    return file;
}

/// A model file named on the command line; false after saying it cannot be read.
bool readableFile(const QString& file, const char* what, Io& io) {
    if (!QFileInfo(file).isFile()) {
        failure(io, QStringLiteral("Cannot read the %1 file %2").arg(QLatin1String(what), file));
        return false;
    }
    return true;
}

/// The speech model (--speech-model, --speech-model-file or the setting), its VAD model and the
/// live-text model; nullopt after saying what is missing.
std::optional<ModelFiles> chooseModels(const Options& opts, Io& io) {
    ModelFiles files{SpeechModels::selectedModel(), {}, {}, {}};
    if (opts.has("speech-model")) {
        const auto chosen = catalogueModel(opts.value("speech-model"), io);
        if (!chosen) {
            return std::nullopt;
        }
        files.model = *chosen;
    }
    const bool ownFile = opts.has("speech-model-file");
    files.speech = ownFile ? opts.value("speech-model-file") : SpeechModels::modelPath(files.model);
    if (ownFile ? !readableFile(files.speech, "speech model", io)
                : downloadedFile(files.model, SpeechModels::id(files.model), io).isEmpty()) {
        return std::nullopt;
    }
    // The VAD model: beside a stand-in file when there is one there, else the speech model folder's.
    files.vad = SpeechModels::vadPath();
    if (const QString beside =
            QFileInfo(files.speech).absolutePath() + QLatin1Char('/') + SpeechModels::vadFilename();
        ownFile && QFileInfo::exists(beside)) {
        files.vad = beside;
    }
    if (const QString env = qEnvironmentVariable("QUILLORY_SPEECH_VAD_MODEL"); !env.isEmpty()) {
        files.vad = env;
    }
    if (!QFileInfo::exists(files.vad)) {
        failure(io, Localization::format("speech.cli.model_missing", SpeechModels::id(files.model)));
        return std::nullopt;
    }
    // The model of the live text: the setting's (when downloaded) for a catalogue model, none for a
    // model file unless one is named.
    if (opts.has("partial-model-file")) {
        files.partial = opts.value("partial-model-file");
        if (!readableFile(files.partial, "speech model", io)) {
            return std::nullopt;
        }
    } else if (const QString chosen = opts.value("partial-model"); opts.has("partial-model") && chosen != "off") {
        const auto partial = catalogueModel(chosen, io);
        if (!partial || (files.partial = downloadedFile(*partial, chosen, io)).isEmpty()) {
            return std::nullopt;
        }
    } else if (!opts.has("partial-model") && !ownFile) {
        if (const auto partial = SpeechModels::partialModelFor(files.model);
            partial && SpeechModels::isDownloaded(*partial)) {
            files.partial = SpeechModels::modelPath(*partial);
        }
    }
    return files;
}

/// The WAV file (or stdin) as 16 kHz mono samples, its conversion notes on stderr; null after
/// saying why it cannot be used.
std::shared_ptr<const std::vector<float>> readAudio(const QString& source, Io& io) {
    const auto bytes = readInput(source, io);
    if (!bytes) {
        return nullptr;
    }
    try {
        QStringList notes;
        auto samples = std::make_shared<const std::vector<float>>(WavFileAudioSource::decode(*bytes, &notes));
        for (const QString& note : notes) {
            io.err << note << '\n';
        }
        io.err.flush();
        return samples;
    } catch (const std::exception& e) {
        failure(io, QString::fromLocal8Bit(e.what()));
        return nullptr;
    }
}

/// --polish/--no-polish (in the private settings) and --polish-model-file for this run; the
/// engine's configuration is put back and its server stopped when the run ends.
class PolishForRun {
public:
    /// False after saying the polish model file cannot be read.
    bool apply(const Options& opts, Io& io) {
        if (opts.has("polish") || opts.has("no-polish")) {
            PolishSettings::setEnabled(opts.has("polish"));
        }
        polishing_ = PolishSettings::isEnabled();
        if (!polishing_ || !opts.has("polish-model-file")) {
            return true;
        }
        const QString file = opts.value("polish-model-file");
        if (!readableFile(file, "polish model", io)) {
            return false;
        }
        saved_ = LocalPolishEngine::shared().configuration();
        auto config = *saved_;
        for (PolishModel m : PolishModels::allCases) {
            config.modelFiles.insert(m, file);
        }
        LocalPolishEngine::shared().setConfiguration(std::move(config));
        return true;
    }
    ~PolishForRun() {
        if (polishing_) {
            LocalPolishEngine::shared().shutdown();
        }
        if (saved_) {
            LocalPolishEngine::shared().setConfiguration(*saved_);
        }
    }

private:
    bool polishing_ = false;
    std::optional<LocalPolishEngine::Configuration> saved_;
};

/// The recogniser with its models loaded, as the app does at start-up; null after saying why not.
std::shared_ptr<WhisperRecognizerHost> loadRecognizer(const ModelFiles& files, Io& io) {
    const QString speech = files.speech, vad = files.vad, partial = files.partial;
    auto host = std::make_shared<WhisperRecognizerHost>(
        [speech] { return speech; }, whisper::makeDecoderLoader([vad] { return vad; }),
        std::make_shared<ThreadRecognitionWorker>());
    qint64 loadMs = -1;
    host->setLoadObserver([&loadMs](WhisperRecognizerHost::LoadState, qint64 ms) { loadMs = ms; });
    if (!partial.isEmpty()) {
        host->setPartialPass({[partial] { return partial; },
                              whisper::makeDecoderLoader([vad] { return vad; }, whisper::partialThreads()),
                              std::make_shared<ThreadRecognitionWorker>()});
    }
    host->preload();
    pumpUntil([&] {
        return host->loadState() != WhisperRecognizerHost::LoadState::loading &&
               host->partialLoadState() != WhisperRecognizerHost::LoadState::loading;
    }, 600'000);
    host->setLoadObserver({});
    if (host->loadState() != WhisperRecognizerHost::LoadState::loaded) {
        failure(io, QStringLiteral("The speech model could not be loaded: %1").arg(host->loadError()));
        return nullptr;
    }
    io.err << QStringLiteral("Speech model %1 loaded in %2 ms").arg(QFileInfo(speech).fileName()).arg(loadMs)
           << Qt::endl;
    if (host->partialLoadState() == WhisperRecognizerHost::LoadState::loaded) {
        io.err << QStringLiteral("Live text by %1").arg(QFileInfo(partial).fileName()) << Qt::endl;
    }
    return host;
}

/// The recognition server of this run: the settings', with `--server`, `--server-api` and
/// `--server-model` over them. None (after saying why) when the options are wrong or the address
/// may not be used.
std::optional<RemoteSpeechSettings> serverForRun(const Options& opts, Io& io) {
    RemoteSpeechSettings remote = RemoteSpeechSettings::read(DefaultsStore::standard());
    if (opts.has("server")) {
        remote.useServer = true;
        const QUrl url(opts.value("server").trimmed());
        if (url != remote.url) {
            // The stored API key belongs to the stored server: never sent anywhere else.
            remote.accessToken.clear();
            remote.accessTokenProblem.clear();
        }
        remote.url = url;
    }
    if (opts.has("server-api")) {
        const auto api = RemoteSpeechSettings::apiNamed(opts.value("server-api"));
        if (!api) {
            failure(io, QStringLiteral("--server-api is whisper or openai, not \"%1\"").arg(opts.value("server-api")));
            return std::nullopt;
        }
        remote.api = *api;
    }
    if (opts.has("server-model")) {
        remote.model = opts.value("server-model");
    }
    if (remote.useServer) {
        if (const QString problem = remoteServerUrlProblem(remote.url, remote.privateConfirmed); !problem.isEmpty()) {
            failure(io, problem);
            return std::nullopt;
        }
    }
    return remote;
}

/// One dictation over the samples, as a press held until the audio ends; the committed text goes
/// to stdout. Returns the exit status.
int runSession(const std::shared_ptr<WhisperRecognizerHost>& host,
               const std::shared_ptr<const std::vector<float>>& samples, const RemoteSpeechSettings& remote,
               const Options& opts, Io& io) {
    auto finished = std::make_shared<std::atomic<bool>>(false);
    SpeechBackends backends;
    backends.makeAudioSource = [samples, realtime = opts.has("realtime"), host, finished] {
        return std::make_unique<SamplesAudioSource>(samples, realtime, host, finished);
    };
    backends.makeRecognizer = [host, remote, &io](SpeechLocale) -> std::shared_ptr<SpeechRecognizer> {
        auto device = host->makeRecognizer();
        if (!remote.useServer || !device) {
            return device;
        }
        auto recognizer = std::make_shared<RemoteRecognizer>(std::move(device), remote);
        const QString where = remote.url.toDisplayString(QUrl::RemoveUserInfo);
        recognizer->setServerOutcomeObserver([&io, where](bool used, const QString& reason) {
            if (used) {
                io.err << QStringLiteral("Recognised by the server at %1").arg(where) << Qt::endl;
            } else {
                io.err << QStringLiteral("The server at %1 failed (%2); the text is this computer's").arg(where, reason)
                       << Qt::endl;
            }
        });
        return recognizer;
    };
    auto insertion = std::make_shared<StdoutInsertion>(io.out);
    int status = Ok;
    AppState state(AppStateServices{std::make_shared<SpeechManager>(backends), insertion,
                                    std::make_shared<GrantedPermissions>(),
                                    std::make_shared<UnknownRuntimeEnvironmentStatus>(),
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
    return status;
}

} // namespace

int transcribeCommand(const Command& self, const QStringList& args, Io& io) {
    const Options opts(args, self);
    if (!opts.ok()) {
        return usageError(io, opts.error());
    }
    if (opts.positional().size() != 1 || (opts.has("polish") && opts.has("no-polish"))) {
        return usageError(io, self);
    }
    const auto files = chooseModels(opts, io);
    if (!files) {
        return Failure;
    }
    const auto samples = readAudio(opts.positional().first(), io);
    if (!samples) {
        return Failure;
    }
    PrivateSettings settings;
    const auto remote = serverForRun(opts, io);
    if (!remote) {
        return Failure;
    }
    int status = Failure;
    {
        PolishForRun polish;
        if (polish.apply(opts, io)) {
            if (const auto host = loadRecognizer(*files, io)) {
                status = runSession(host, samples, *remote, opts, io);
            }
        }
    }
    // The session's watchdogs were cancelled as it ended; they finish on the event loop.
    if (auto* qt = dynamic_cast<QtScheduler*>(&Scheduler::current())) {
        pumpUntil([qt] { return qt->pendingCount() == 0; }, 300);
    }
    return status;
}

} // namespace quillory::cli
