// Recognition on a server: settings, the address rule, the WAV body and the client.

#include "Speech/RemoteSpeech.h"

#include "Runtime/SecretStore.h"

#include "Runtime/DefaultsStore.h"
#include "Runtime/FileDownload.h"
#include "Runtime/Log.h"
#include "Speech/SpeechBackend.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QHttpMultiPart>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QStringDecoder>
#include <QtEndian>

#include <algorithm>
#include <cmath>

namespace quillory {

namespace {
/// The longest transcription answer read (a minute of speech is a few hundred bytes of text).
constexpr qint64 kMaxAnswerBytes = 1024 * 1024;
} // namespace

std::optional<RemoteSpeechApi> RemoteSpeechSettings::apiNamed(const QString& name) {
    if (name == QLatin1String("whisper")) {
        return RemoteSpeechApi::whisperServer;
    }
    if (name == QLatin1String("openai")) {
        return RemoteSpeechApi::openAi;
    }
    return std::nullopt;
}

RemoteSpeechSettings RemoteSpeechSettings::read(const DefaultsStore& store) {
    RemoteSpeechSettings s;
    s.ServerConnection::read(store, {engineKey, urlKey, modelKey, privateConfirmedKey, timeoutKey, 7.0,
                                     speechServerApiKey});
    if (const auto api = apiNamed(store.stringValue(QLatin1String(apiKey)).value_or(QString()))) {
        s.api = *api;
    }
    return s;
}

QUrl remoteSpeechEndpoint(const QUrl& base, RemoteSpeechApi api) {
    return remoteServerEndpoint(base, api == RemoteSpeechApi::whisperServer
                                          ? QStringLiteral("/inference")
                                          : QStringLiteral("/v1/audio/transcriptions"));
}

QByteArray encodePcm16Wav(std::span<const float> samples) {
    const quint32 dataBytes = static_cast<quint32>(samples.size() * 2);
    QByteArray out;
    out.reserve(44 + static_cast<qsizetype>(dataBytes));
    const auto u32 = [&out](quint32 v) {
        char b[4];
        qToLittleEndian(v, b);
        out.append(b, 4);
    };
    const auto u16 = [&out](quint16 v) {
        char b[2];
        qToLittleEndian(v, b);
        out.append(b, 2);
    };
    out.append("RIFF", 4);
    u32(36 + dataBytes);
    out.append("WAVEfmt ", 8);
    u32(16);
    u16(1); // PCM
    u16(1); // mono
    u32(kRecognitionSampleRate);
    u32(kRecognitionSampleRate * 2);
    u16(2);
    u16(16);
    out.append("data", 4);
    u32(dataBytes);
    for (const float s : samples) {
        const float clipped = std::isfinite(s) ? std::clamp(s, -1.0f, 1.0f) : 0.0f;
        u16(static_cast<quint16>(static_cast<qint16>(std::lround(clipped * 32767.0f))));
    }
    return out;
}

Expected<QString> parseTranscriptionAnswer(const QByteArray& body) {
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) {
        return Failure{QStringLiteral("the answer is not a JSON object (%1 bytes)").arg(body.size())};
    }
    const QJsonValue text = doc.object().value(QLatin1String("text"));
    if (!text.isString()) {
        return Failure{QStringLiteral("the answer has no \"text\" string (%1 bytes)").arg(body.size())};
    }
    return text.toString().trimmed();
}

RemoteTranscriber::RemoteTranscriber(RemoteSpeechSettings settings)
    : settings_(std::move(settings)), manager_(makeServerNetworkManager()) {}

RemoteTranscriber::~RemoteTranscriber() = default;

QString RemoteTranscriber::settingsProblem() const {
    return settings_.accessTokenProblem.isEmpty() ? remoteServerUrlProblem(settings_.url, settings_.privateConfirmed)
                                                  : settings_.accessTokenProblem;
}

void RemoteTranscriber::connectAhead() {
    if (!settingsProblem().isEmpty()) {
        return;
    }
    const QUrl endpoint = remoteSpeechEndpoint(settings_.url, settings_.api);
#if QT_CONFIG(ssl)
    if (endpoint.scheme() == QLatin1String("https")) {
        manager_->connectToHostEncrypted(endpoint.host(), static_cast<quint16>(endpoint.port(443)));
        return;
    }
#endif
    manager_->connectToHost(endpoint.host(), static_cast<quint16>(endpoint.port(80)));
}

Task<Expected<QString>> RemoteTranscriber::transcribe(std::vector<float> samples, QString prompt,
                                                      CancellationToken cancel) {
    if (QString problem = settingsProblem(); !problem.isEmpty()) {
        co_return Failure{problem};
    }
    if (cancel.isCancelled()) {
        co_return Failure{QStringLiteral("cancelled")};
    }
    const QUrl endpoint = remoteSpeechEndpoint(settings_.url, settings_.api);

    auto* form = new QHttpMultiPart(QHttpMultiPart::FormDataType);
    const auto field = [form](const char* name, const QByteArray& value) {
        QHttpPart part;
        part.setHeader(QNetworkRequest::ContentDispositionHeader,
                       QStringLiteral("form-data; name=\"%1\"").arg(QLatin1String(name)));
        part.setBody(value);
        form->append(part);
    };
    QHttpPart file;
    file.setHeader(QNetworkRequest::ContentDispositionHeader,
                   QStringLiteral("form-data; name=\"file\"; filename=\"audio.wav\""));
    file.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("audio/wav"));
    file.setBody(encodePcm16Wav(samples));
    form->append(file);
    if (settings_.api == RemoteSpeechApi::openAi) {
        field("model", settings_.model.toUtf8());
    }
    field("language", "ja");
    if (!prompt.isEmpty()) {
        field("prompt", prompt.toUtf8());
    }
    field("response_format", "json");
    if (settings_.api == RemoteSpeechApi::whisperServer) {
        field("temperature", "0.0");
    }

    QElapsedTimer took;
    took.start();
    ++inFlight_;
    QNetworkRequest request(endpoint);
    if (!settings_.accessToken.isEmpty()) {
        request.setRawHeader("Authorization", "Bearer " + settings_.accessToken);
    }
    qCDebug(lcSpeech, "Server request: %lld ms of audio", static_cast<long long>(samples.size() * 1000 / kRecognitionSampleRate));
    const ServerReply reply = co_await postToServer(*manager_, request, {}, form,
                                                    settings_.timeout, kMaxAnswerBytes, cancel);
    --inFlight_;

    const QString where = endpoint.host();
    if (!reply.status) {
        co_return Failure{reply.failure};
    }
    const QByteArray& body = reply.body;
    if (*reply.status < 200 || *reply.status > 299) {
        co_return Failure{QStringLiteral("%1 answered HTTP %2 (%3 bytes)").arg(where).arg(*reply.status).arg(body.size())};
    }
    Expected<QString> text = parseTranscriptionAnswer(body);
    if (!text) {
        co_return Failure{QStringLiteral("%1: %2").arg(where, text.error())};
    }
    qCInfo(lcSpeech).noquote() << QStringLiteral("stage=server_transcribed host=%1 audio_ms=%2 ms=%3 chars=%4")
                                      .arg(where)
                                      .arg(samples.size() * 1000 / kRecognitionSampleRate)
                                      .arg(took.elapsed())
                                      .arg(text.value().size());
    co_return text;
}

Task<RemoteServerCheck> checkRemoteServer(RemoteSpeechSettings settings, CancellationToken cancel) {
    RemoteServerCheck check;
    RemoteTranscriber transcriber(std::move(settings));
    const Duration start = Scheduler::current().monotonicNow();
    const Expected<QString> text =
        co_await transcriber.transcribe(std::vector<float>(kRecognitionSampleRate / 2, 0.0f), QString(), cancel);
    if (!text) {
        check.error = text.error();
        co_return check;
    }
    check.answered = true;
    check.latencyMs = std::chrono::duration_cast<std::chrono::milliseconds>(Scheduler::current().monotonicNow() - start).count();
    co_return check;
}

} // namespace quillory
