// The model host: loads the selected model (and the live-text model) on their workers and hands
// recognisers out. Main thread.

#include "Speech/WhisperRecognizer.h"

#include "Runtime/DefaultsStore.h"
#include "Speech/ModelSlot.h"
#include "Runtime/Log.h"

#include <QDateTime>
#include <QFileInfo>

#include <chrono>

namespace quillory {

WhisperRecognizerHost::WhisperRecognizerHost(std::function<QString()> modelPath, SpeechDecoderLoader loader,
                                             std::shared_ptr<RecognitionWorker> worker, StreamingTuning tuning)
    : modelPath_(std::move(modelPath)), loader_(std::move(loader)), worker_(std::move(worker)), tuning_(tuning) {}

WhisperRecognizerHost::~WhisperRecognizerHost() {
    // A recognition cancelled a moment ago may still be inside its last step on a worker; the
    // host waits for it, so no decode runs on after the models, the host or the program are gone.
    if (worker_) {
        worker_->drain();
    }
    if (partialPass_.worker) {
        partialPass_.worker->drain();
    }
}

namespace {
QString fileIdentity(const QString& path) {
    const QFileInfo info(path);
    return info.exists() ? QStringLiteral("%1:%2").arg(info.size()).arg(info.lastModified().toMSecsSinceEpoch())
                         : QString();
}
} // namespace

void WhisperRecognizerHost::preload() {
    const QString path = modelPath_ ? modelPath_() : QString();
    load(main_, path, loader_, worker_, true);
    preloadPartial(path);
}

void WhisperRecognizerHost::preloadPartial(const QString& selectedPath) {
    QString path = partialPass_.modelPath && partialPass_.worker ? partialPass_.modelPath() : QString();
    if (path == selectedPath || !QFileInfo::exists(path)) {
        path.clear(); // one pass
    }
    if (path.isEmpty()) {
        if (partial_.slot) {
            qCInfo(lcSpeech, "Live text is written by the selected speech model");
        }
        partial_ = Loaded{};
        return;
    }
    load(partial_, path, partialPass_.loader, partialPass_.worker, false);
}

void WhisperRecognizerHost::load(Loaded& into, const QString& path, const SpeechDecoderLoader& loader,
                                 const std::shared_ptr<RecognitionWorker>& worker, bool selected) {
    const QString identity = fileIdentity(path);
    if (into.slot && path == into.path && (into.state != LoadState::failed || identity == into.identity)) {
        return; // loaded, loading, or failed on this very file: a retry would fail the same way
    }
    auto slot = std::make_shared<Slot>();
    into.slot = slot;
    into.path = path;
    into.identity = identity;
    into.state = LoadState::loading;
    into.error.clear();
    // The worker may finish after the scheduler is gone (shutdown): post through a handle.
    const SchedulerHandle scheduler = Scheduler::current().handle();
    std::weak_ptr<WhisperRecognizerHost> weak = weak_from_this();
    worker->post([slot, path, loader, scheduler, weak, selected] {
        const auto started = std::chrono::steady_clock::now();
        QString error;
        std::shared_ptr<SpeechDecoder> decoder;
        if (path.isEmpty()) {
            error = QStringLiteral("no speech model is selected");
        } else if (!QFileInfo::exists(path)) {
            error = QStringLiteral("%1 does not exist").arg(path);
        } else {
            try {
                if (loader) {
                    Expected<std::shared_ptr<SpeechDecoder>> loaded = loader(path);
                    if (loaded) {
                        decoder = std::move(loaded).value();
                    } else {
                        error = loaded.error();
                    }
                }
            } catch (const std::exception& e) {
                error = QString::fromLocal8Bit(e.what());
            }
            if (!decoder && error.isEmpty()) {
                error = QStringLiteral("%1 could not be loaded").arg(path);
            }
        }
        const qint64 ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - started)
                              .count();
        {
            std::lock_guard lock(slot->mutex);
            slot->decoder = decoder;
            slot->error = error;
            slot->done = true;
        }
        scheduler.post([slot, weak, path, ms, ok = decoder != nullptr, error, selected] {
            auto host = weak.lock();
            if (!host) {
                return;
            }
            Loaded& loaded = selected ? host->main_ : host->partial_;
            if (loaded.slot != slot) {
                return; // a later selection replaced this load
            }
            loaded.state = ok ? LoadState::loaded : LoadState::failed;
            loaded.error = error;
            const char* which = selected ? "Speech model" : "Live-text speech model";
            if (ok) {
                qCInfo(lcSpeech, "%s loaded: %s in %lld ms", which, qUtf8Printable(QFileInfo(path).fileName()),
                       static_cast<long long>(ms));
            } else if (selected) {
                qCWarning(lcSpeech, "%s failed to load: %s", which, qUtf8Printable(error));
            } else {
                qCWarning(lcSpeech, "%s failed to load, the selected model writes the live text: %s", which,
                          qUtf8Printable(error));
            }
            if (selected && host->observer_) {
                host->observer_(loaded.state, ms);
            }
        });
    });
}

void WhisperRecognizerHost::preloadOnChangeOf(const QStringList& keys, const QStringList& reloadKeys) {
    connections_ = std::make_unique<QObject>();
    std::weak_ptr<WhisperRecognizerHost> weak = weak_from_this();
    QObject::connect(&DefaultsStore::standard(), &DefaultsStore::valueChanged, connections_.get(),
                     [weak, keys, reloadKeys](const QString& changed) {
                         auto host = weak.lock();
                         if (!host) {
                             return;
                         }
                         if (reloadKeys.contains(changed)) {
                             host->reload();
                         } else if (keys.contains(changed)) {
                             host->preload();
                         }
                     });
}

void WhisperRecognizerHost::reload() {
    // The loads in flight finish unseen: their slots are no longer the host's.
    main_ = Loaded{};
    partial_ = Loaded{};
    preload();
}

bool WhisperRecognizerHost::isAvailable() {
    const QString path = modelPath_ ? modelPath_() : QString();
    if (path.isEmpty() || !QFileInfo::exists(path)) {
        return false;
    }
    preload();
    return main_.state != LoadState::failed;
}

std::shared_ptr<SpeechRecognizer> WhisperRecognizerHost::makeRecognizer() {
    preload();
    return std::make_shared<WhisperRecognizer>(shared_from_this());
}

} // namespace quillory
