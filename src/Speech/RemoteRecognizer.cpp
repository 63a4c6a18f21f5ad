// RemoteRecognizer: the server's final text, the on-device recogniser's live text and fallback.

#include "Speech/RemoteRecognizer.h"

#include "Runtime/Log.h"
#include "Speech/RecognitionText.h"

#include <mutex>
#include <optional>
#include <vector>

namespace quillory {

namespace {
/// The longest prompt sent, in characters (whisper keeps 224 tokens; a Japanese character is one).
constexpr int kPromptChars = 224;
} // namespace

/// One recognition: the audio kept for the server, the on-device recognition beside it, and which
/// final wins. Everything but `append` runs on the main thread.
struct RemoteRecognizer::Session : std::enable_shared_from_this<Session> {
    std::shared_ptr<RecognitionRequest> inner;
    std::unique_ptr<RecognitionTask> innerTask;
    std::shared_ptr<RemoteTranscriber> transcriber;
    QString prompt;
    ResultHandler handler;
    RemoteRecognizer::ServerOutcome outcome;

    std::mutex audioMutex;
    std::vector<float> audio; // kept until the recognition ends
    bool accepting = true;

    bool audioEnded = false;
    bool finished = false;
    std::optional<SpeechRecognitionSnapshot> deviceFinal;
    std::optional<Expected<QString>> serverAnswer;
    Source cancel;
    std::optional<Task<>> serverTask;

    void append(std::span<const float> samples) {
        std::lock_guard lock(audioMutex);
        if (accepting) {
            audio.insert(audio.end(), samples.begin(), samples.end());
        }
    }

    void endAudio() {
        if (audioEnded) {
            return;
        }
        audioEnded = true;
        std::vector<float> samples;
        {
            std::lock_guard lock(audioMutex);
            accepting = false;
            samples = std::move(audio);
            audio = {};
        }
        inner->endAudio();
        if (finished) {
            return;
        }
        serverTask.emplace(askServer(weak_from_this(), transcriber, std::move(samples), prompt, cancel.token()));
    }

    static Task<> askServer(std::weak_ptr<Session> weak, std::shared_ptr<RemoteTranscriber> transcriber,
                            std::vector<float> samples, QString prompt, CancellationToken token) {
        Expected<QString> answer = co_await transcriber->transcribe(std::move(samples), std::move(prompt), token);
        if (token.isCancelled()) {
            co_return;
        }
        if (const auto self = weak.lock()) {
            self->serverAnswered(std::move(answer));
        }
    }

    void serverAnswered(Expected<QString> answer) {
        if (!answer) {
            qCWarning(lcSpeech).noquote()
                << QStringLiteral("stage=server_fallback reason=\"%1\" (the on-device text is used)").arg(answer.error());
        } else if (answer.value().isEmpty()) {
            qCWarning(lcSpeech).noquote() << QStringLiteral(
                "stage=server_fallback reason=\"the server heard no words\" (the on-device text is used)");
        }
        if (outcome) {
            outcome(answer && !answer.value().isEmpty(),
                    !answer ? answer.error() : answer.value().isEmpty() ? QStringLiteral("the server heard no words") : QString());
        }
        serverAnswer = std::move(answer);
        decide();
    }

    void onDevice(const SpeechRecognitionSnapshot& snapshot) {
        if (finished) {
            return;
        }
        if (snapshot.isFinal || snapshot.errorDescription) {
            deviceFinal = snapshot;
            decide();
            return;
        }
        handler(snapshot); // live text and progress as the on-device recogniser writes them
    }

    /// Delivers the final once it is known: the server's text when it gave one, else the
    /// on-device final (waited for when it has not come yet).
    void decide() {
        if (finished) {
            return;
        }
        if (!audioEnded) {
            // The on-device recognition ended before the audio did (an error): nothing to send.
            if (deviceFinal) {
                finish(*deviceFinal);
            }
            return;
        }
        if (serverAnswer && *serverAnswer && !serverAnswer->value().isEmpty()) {
            finish(SpeechRecognitionSnapshot{serverAnswer->value(), true, std::nullopt});
            return;
        }
        if (serverAnswer && deviceFinal) {
            finish(*deviceFinal);
        }
    }

    void finish(const SpeechRecognitionSnapshot& snapshot) {
        finished = true;
        cancel.cancel();
        if (innerTask) {
            innerTask->cancel(); // its final is not needed (or came already)
        }
        {
            std::lock_guard lock(audioMutex);
            accepting = false;
            audio = {};
        }
        const ResultHandler deliver = handler;
        deliver(snapshot);
    }

    void stop() {
        finished = true;
        cancel.cancel();
        if (innerTask) {
            innerTask->cancel();
        }
        std::lock_guard lock(audioMutex);
        accepting = false;
        audio = {};
    }
};

namespace {

class RemoteRequest final : public RecognitionRequest {
public:
    explicit RemoteRequest(std::shared_ptr<RemoteRecognizer::Session> session) : session_(std::move(session)) {}
    void append(std::span<const float> samples) override {
        session_->inner->append(samples);
        session_->append(samples);
    }
    void endAudio() override { session_->endAudio(); }
    const std::shared_ptr<RemoteRecognizer::Session>& session() const { return session_; }

private:
    std::shared_ptr<RemoteRecognizer::Session> session_;
};

class RemoteTask final : public RecognitionTask {
public:
    explicit RemoteTask(std::shared_ptr<RemoteRecognizer::Session> session) : session_(std::move(session)) {}
    ~RemoteTask() override { session_->stop(); }
    void cancel() override { session_->stop(); }

private:
    std::shared_ptr<RemoteRecognizer::Session> session_;
};

} // namespace

RemoteRecognizer::RemoteRecognizer(std::shared_ptr<SpeechRecognizer> onDevice, RemoteSpeechSettings settings)
    : onDevice_(std::move(onDevice)), settings_(std::move(settings)) {}

std::shared_ptr<RecognitionRequest> RemoteRecognizer::makeRequest(const RecognitionOptions& options) {
    auto session = std::make_shared<Session>();
    session->inner = onDevice_->makeRequest(options);
    if (!session->inner) {
        return nullptr;
    }
    session->transcriber = std::make_shared<RemoteTranscriber>(settings_);
    session->outcome = outcome_;
    session->prompt = RecognitionText::buildPrompt(options.contextualStrings.value_or(QStringList()), QString(),
                                                   kPromptChars, [](const QString& s) { return int(s.size()); });
    session->audio.reserve(30 * kRecognitionSampleRate);
    return std::make_shared<RemoteRequest>(std::move(session));
}

std::unique_ptr<RecognitionTask> RemoteRecognizer::recognitionTask(std::shared_ptr<RecognitionRequest> request,
                                                                   ResultHandler handler) {
    auto* remote = dynamic_cast<RemoteRequest*>(request.get());
    if (!remote) {
        throw SpeechBackendError(QStringLiteral("The request was not made by this recogniser."));
    }
    const auto session = remote->session();
    session->handler = std::move(handler);
    std::weak_ptr<Session> weak = session;
    session->innerTask = onDevice_->recognitionTask(session->inner, [weak](const SpeechRecognitionSnapshot& s) {
        if (const auto self = weak.lock()) {
            self->onDevice(s);
        }
    });
    if (!session->innerTask) {
        return nullptr;
    }
    return std::make_unique<RemoteTask>(session);
}

} // namespace quillory
