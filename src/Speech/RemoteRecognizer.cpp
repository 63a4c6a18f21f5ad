// RemoteRecognizer: the server's final text, the on-device recogniser's live text and fallback.

#include "Speech/RemoteRecognizer.h"

#include "Runtime/Log.h"
#include "Runtime/ServerRequest.h"
#include "Speech/RecognitionText.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace quillory {

namespace {
/// The longest prompt sent, in characters (whisper keeps 224 tokens; a Japanese character is one).
constexpr int kPromptChars = 224;
} // namespace

/// One recognition: the audio kept for the server, the pieces sent, the on-device recognition
/// beside it, and which final wins. Everything but `append` runs on the main thread.
struct RemoteRecognizer::Session : std::enable_shared_from_this<Session> {
    std::shared_ptr<RecognitionRequest> inner;
    std::unique_ptr<RecognitionTask> innerTask;
    std::shared_ptr<RemoteTranscriber> transcriber;
    QStringList hints;
    ResultHandler handler;
    RemoteRecognizer::ServerOutcome outcome;

    std::mutex audioMutex;
    std::vector<float> audio; // the whole recording, kept until the recognition ends
    bool accepting = true;

    /// One stretch of audio sent to the server: the segments settled since the last piece, or the
    /// rest at the end of the audio.
    struct Piece {
        std::optional<Expected<QString>> answer;
        std::optional<Task<>> request;
    };
    std::vector<std::unique_ptr<Piece>> pieces;
    qint64 sentUpTo = 0; // samples

    bool audioEnded = false;
    /// A server on this computer shares its cores with the on-device decoder: whisper.cpp's threads
    /// of the two wait for one another (on 2 cores each decode took about 1 s instead of 0.1 s), so
    /// the on-device final is asked for only once the server failed.
    bool deviceFinalOnlyOnFailure = false;
    bool innerEnded = false;
    bool finished = false;
    bool reported = false;
    std::optional<SpeechRecognitionSnapshot> deviceFinal;
    Source cancel;

    void append(std::span<const float> samples) {
        std::lock_guard lock(audioMutex);
        if (accepting) {
            audio.insert(audio.end(), samples.begin(), samples.end());
        }
    }

    /// A segment settled on this computer while audio still comes: the audio up to its end goes
    /// to the server now, so only the last segment is left to wait for after the audio ends.
    void settled(qint64 end) {
        const bool failedBefore = std::any_of(pieces.begin(), pieces.end(),
                                              [](const auto& p) { return p->answer && !*p->answer; });
        if (!finished && !audioEnded && end > sentUpTo && !failedBefore) {
            send(end);
        }
    }

    void endAudio() {
        if (audioEnded) {
            return;
        }
        audioEnded = true;
        qint64 length = 0;
        {
            std::lock_guard lock(audioMutex);
            accepting = false;
            length = static_cast<qint64>(audio.size());
        }
        if (finished || !deviceFinalOnlyOnFailure) {
            endInnerAudio();
        } else {
            inner->holdDecoding(); // nor its live text: the server has the cores
        }
        if (finished) {
            return;
        }
        if (length > sentUpTo || pieces.empty()) {
            send(length);
        }
        decide();
    }

    /// The on-device recogniser's audio ends: it makes its final.
    void endInnerAudio() {
        if (!std::exchange(innerEnded, true)) {
            inner->endAudio();
        }
    }

    void send(qint64 end) {
        std::vector<float> samples;
        {
            std::lock_guard lock(audioMutex);
            end = std::min<qint64>(end, static_cast<qint64>(audio.size()));
            samples.assign(audio.begin() + sentUpTo, audio.begin() + end);
        }
        sentUpTo = end;
        // The hints, and the server's own text of the pieces before this one when it has come.
        QString before;
        for (const auto& piece : pieces) {
            if (!piece->answer || !*piece->answer) {
                break;
            }
            before += piece->answer->value();
        }
        const QString prompt = RecognitionText::buildPrompt(hints, before, kPromptChars,
                                                            [](const QString& t) { return int(t.size()); });
        pieces.push_back(std::make_unique<Piece>());
        Piece* piece = pieces.back().get();
        piece->request.emplace(askServer(weak_from_this(), piece, transcriber, std::move(samples), prompt,
                                         cancel.token()));
    }

    static Task<> askServer(std::weak_ptr<Session> weak, Piece* piece, std::shared_ptr<RemoteTranscriber> transcriber,
                            std::vector<float> samples, QString prompt, CancellationToken token) {
        Expected<QString> answer = co_await transcriber->transcribe(std::move(samples), std::move(prompt), token);
        if (token.isCancelled()) {
            co_return;
        }
        if (const auto self = weak.lock()) {
            piece->answer = std::move(answer);
            self->decide();
        }
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

    /// Tells the observer and logs how the server did, once every piece has answered or one failed.
    /// Returns the server's text, or none when the on-device final is to be used.
    std::optional<QString> serverText(bool* known) {
        *known = false;
        QString text;
        for (const auto& piece : pieces) {
            if (piece->answer && !*piece->answer) {
                *known = true;
                report(piece->answer->error());
                return std::nullopt;
            }
        }
        for (const auto& piece : pieces) {
            if (!piece->answer) {
                return std::nullopt; // still waiting
            }
            text += piece->answer->value();
        }
        *known = true;
        if (text.trimmed().isEmpty()) {
            report(QStringLiteral("the server heard no words"));
            return std::nullopt;
        }
        report({});
        return text;
    }

    void report(const QString& failure) {
        if (reported) {
            return;
        }
        reported = true;
        if (!failure.isEmpty()) {
            qCWarning(lcSpeech).noquote()
                << QStringLiteral("stage=server_fallback reason=\"%1\" (the on-device text is used)").arg(failure);
        }
        if (outcome) {
            outcome(failure.isEmpty(), failure);
        }
    }

    /// Delivers the final once it is known: the server's text when every piece came back, else the
    /// on-device final (waited for when it has not come yet).
    void decide() {
        if (finished) {
            return;
        }
        if (!audioEnded) {
            // The on-device recognition ended before the audio did (an error): that is the end.
            if (deviceFinal) {
                finish(*deviceFinal);
            }
            return;
        }
        bool known = false;
        const std::optional<QString> text = serverText(&known);
        if (text) {
            finish(SpeechRecognitionSnapshot{*text, true, std::nullopt});
        } else if (known && deviceFinal) {
            finish(*deviceFinal);
        } else if (known) {
            endInnerAudio(); // its final is awaited
        }
    }

    void finish(const SpeechRecognitionSnapshot& snapshot) {
        stop();
        const ResultHandler deliver = handler;
        deliver(snapshot);
    }

    void stop() {
        finished = true;
        cancel.cancel();
        if (innerTask) {
            innerTask->cancel(); // its final is not needed (or came already)
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
    session->deviceFinalOnlyOnFailure = isOnThisComputer(settings_.url);
    session->transcriber->connectAhead();
    session->outcome = outcome_;
    session->hints = options.contextualStrings.value_or(QStringList());
    std::weak_ptr<Session> weak = session;
    session->inner->setSettledAudioHandler([weak](qint64 end) {
        if (const auto self = weak.lock()) {
            self->settled(end);
        }
    });
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
