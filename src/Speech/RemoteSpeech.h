#pragma once

// Recognition on a server the user runs: its settings, the rule for which addresses may be used,
// and the client that sends one stretch of audio and reads the text back.
//
// Two kinds of server are spoken: whisper.cpp's `whisper-server` (POST <base>/inference) and the
// OpenAI-style POST <base>/v1/audio/transcriptions. Both take a multipart form with the audio as a
// WAV file, the language and a prompt, and answer JSON with a "text" member. Nothing about the
// request's content is ever logged: error texts carry statuses, lengths and times only.

#include "Runtime/Async.h"
#include "Runtime/Expected.h"
#include "Runtime/Scheduler.h"
#include "Runtime/ServerRequest.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <memory>
#include <optional>
#include <vector>
#include <span>

class QNetworkAccessManager;

namespace quillory {

class DefaultsStore;

/// Which server API a recognition server speaks.
enum class RemoteSpeechApi { whisperServer, openAi };

/// The recognition engine chosen in the settings.
struct RemoteSpeechSettings : ServerConnection {
    /// "quillory.speech.engine": "device" (the default) or "server".
    static constexpr const char* engineKey = "quillory.speech.engine";
    /// "quillory.speech.server.url": the server's base address (http://host:port[/path]).
    static constexpr const char* urlKey = "quillory.speech.server.url";
    /// "quillory.speech.server.api": "whisper" (whisper-server's /inference, the default) or "openai".
    static constexpr const char* apiKey = "quillory.speech.server.api";
    /// "quillory.speech.server.model": the model name sent to an OpenAI-style server.
    static constexpr const char* modelKey = "quillory.speech.server.model";
    /// "quillory.speech.server.privateConfirmed": the user confirmed plain http to a private address.
    static constexpr const char* privateConfirmedKey = "quillory.speech.server.privateConfirmed";
    /// "quillory.speech.server.timeoutSeconds": the longest wait for one answer (1 to 7 s).
    static constexpr const char* timeoutKey = "quillory.speech.server.timeoutSeconds";

    RemoteSpeechApi api = RemoteSpeechApi::whisperServer;

    RemoteSpeechSettings() {
        model = QStringLiteral("whisper-1");
        // Below the session's 8 s wait for the recogniser's progress, so a stalled server leaves
        // time for the on-device text.
        timeout = seconds(6);
    }
    static RemoteSpeechSettings read(const DefaultsStore& store);
    /// The API named in the settings or on the command line ("whisper", "openai"); none for others.
    static std::optional<RemoteSpeechApi> apiNamed(const QString& name);
};

/// The endpoint of `api` under the base address `base`.
QUrl remoteSpeechEndpoint(const QUrl& base, RemoteSpeechApi api);

/// A 16-bit PCM mono WAV file of 16 kHz `samples` (clipped to [-1, 1]).
QByteArray encodePcm16Wav(std::span<const float> samples);

/// The "text" of a transcription answer; a failure for anything else (not JSON, no text member).
Expected<QString> parseTranscriptionAnswer(const QByteArray& body);

/// What `checkRemoteServer` found.
struct RemoteServerCheck {
    bool answered = false; ///< a transcription came back
    qint64 latencyMs = -1; ///< how long it took (answered only)
    QString error;         ///< why not (not answered)
};

/// Sends half a second of silence to the configured server as a dictation would (same endpoint,
/// model, language, time limit) and times the answer: for `quillory doctor`.
Task<RemoteServerCheck> checkRemoteServer(RemoteSpeechSettings settings, CancellationToken cancel = {});

/// Sends audio to a recognition server. Main thread; one instance can send many requests.
class RemoteTranscriber {
public:
    explicit RemoteTranscriber(RemoteSpeechSettings settings);
    ~RemoteTranscriber();

    /// The server's text of `samples` (Japanese, with `prompt`), or why there is none: an address
    /// the rules refuse, no connection, no answer within the time limit, a status other than 2xx,
    /// an answer that is not a transcription. Cancelling ends it at once (the request is aborted).
    Task<Expected<QString>> transcribe(std::vector<float> samples, QString prompt, CancellationToken cancel);

    /// Opens the connection to the server (TCP, and TLS for https) before the first request, so
    /// that the handshake is done while the user speaks rather than after the release; that
    /// request then goes over it. Nothing is opened to an address the rules refuse, nor without
    /// the access token that was asked for.
    void connectAhead();

    /// Requests sent and not yet finished (tests).
    int requestsInFlight() const { return inFlight_; }
    const RemoteSpeechSettings& settings() const { return settings_; }

private:
    /// Why no request may be sent with these settings (empty when one may).
    QString settingsProblem() const;

    RemoteSpeechSettings settings_;
    std::unique_ptr<QNetworkAccessManager> manager_;
    int inFlight_ = 0;
};

} // namespace quillory
