#include "Speech/SpeechError.h"

#include "Runtime/Localization.h"

namespace quillory {

QString SpeechError::localizedDescription() const {
    switch (kind_) {
    case Kind::audioEngineFailed:
        return message_;
    case Kind::recognitionFailed:
        return isDictationDisabledMessage(message_) ? L("error.dictation_disabled") : message_;
    case Kind::onDeviceUnavailable:
        return Localization::format("speech.error.on_device", message_);
    case Kind::authorizationDenied:
        return L("speech.error.auth");
    case Kind::recognizerUnavailable:
        return L("speech.error.recognizer");
    }
    return message_;
}

bool SpeechError::isUnrecoverable() const {
    switch (kind_) {
    case Kind::audioEngineFailed:
    case Kind::recognitionFailed:
        return isUnrecoverableSystemMessage(message_);
    case Kind::onDeviceUnavailable:
    case Kind::authorizationDenied:
    case Kind::recognizerUnavailable:
        return true;
    }
    return true;
}

bool SpeechError::isDictationDisabledMessage(const QString& message) {
    const QString lower = message.toLower();
    auto has = [](const QString& s, const char16_t* a, const char16_t* b) {
        return s.contains(QString::fromUtf16(a)) && s.contains(QString::fromUtf16(b));
    };
    return has(lower, u"dictation", u"disabled") || has(lower, u"siri", u"disabled") ||
           has(message, u"音声入力", u"無効") || has(message, u"Siri", u"無効");
}

bool SpeechError::isUnrecoverableSystemMessage(const QString& message) {
    if (isDictationDisabledMessage(message)) {
        return true;
    }
    const QString lower = message.toLower();
    const bool code = lower.contains(QLatin1String("-10868"));
    return code &&
           (lower.contains(QLatin1String("avfaudio")) || lower.contains(QLatin1String("avfoundation")));
}

} // namespace quillory
