#pragma once

#include "AI/LocalLLMChat.h"
#include "AI/PolishModel.h"
#include "Runtime/Async.h"

#include <QList>
#include <QString>

#include <exception>
#include <functional>
#include <memory>

namespace quillory {

class LocalPolishEngine;

/// What the polish and chat tabs need of the local model engine: model files, the stray-server
/// clean-up, one polish request and one chat turn. The app passes `LocalModelEngine::shared()`
/// (the process-wide `LocalPolishEngine`); tests pass a scripted fake.
class LocalModelEngine {
public:
    /// bytes received, total bytes (-1 when unknown)
    using Progress = std::function<void(qint64 received, qint64 total)>;

    virtual ~LocalModelEngine() = default;

    virtual bool isModelDownloaded(PolishModel model) const = 0;
    /// Downloads the model file when it is missing; throws with a describable error on failure.
    virtual Task<> prepareModel(PolishModel model, Progress progress) = 0;
    /// Removes the model file; throws on failure.
    virtual void deleteModel(PolishModel model) = 0;
    /// Ends the stray inference servers; returns how many there were. Throws on failure.
    virtual int cleanupResidualServers() = 0;
    /// Polishes `text` with `model` following `prompt`.
    virtual Task<QString> polish(QString text, PolishModel model, QString prompt) = 0;
    /// One assistant reply to a dialogue that ends with the user's message.
    virtual Task<QString> chatCompletion(QList<LocalLLMChatMessage> dialogue, PolishModel model) = 0;

    /// The adapter over `LocalPolishEngine::shared()`.
    static std::shared_ptr<LocalModelEngine> shared();
    /// An adapter over a given engine (not owned; it must outlive the adapter).
    static std::shared_ptr<LocalModelEngine> over(LocalPolishEngine& engine);
};

/// The user-visible description of an error thrown by the engine (the localised description of
/// the polish subsystem's errors, the message of anything else).
QString describeEngineError(std::exception_ptr error);

} // namespace quillory
