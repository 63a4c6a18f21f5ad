#pragma once

#include "Speech/SpeechLocale.h"

#include <QString>

#include <exception>
#include <variant>

namespace quillory {

/// The error of one recognition session, with the classifiers of recogniser and audio messages.
class SpeechError {
public:
    enum class Kind {
        audioEngineFailed,
        recognitionFailed,
        onDeviceUnavailable,
        authorizationDenied,
        recognizerUnavailable
    };

    static SpeechError audioEngineFailed(QString message) {
        return {Kind::audioEngineFailed, std::move(message)};
    }
    static SpeechError recognitionFailed(QString message) {
        return {Kind::recognitionFailed, std::move(message)};
    }
    static SpeechError onDeviceUnavailable(SpeechLocale locale) {
        return {Kind::onDeviceUnavailable, identifier(locale)};
    }
    static SpeechError authorizationDenied() { return {Kind::authorizationDenied, {}}; }
    static SpeechError recognizerUnavailable() { return {Kind::recognizerUnavailable, {}}; }

    Kind kind() const { return kind_; }
    /// The carried message (the locale identifier for `onDeviceUnavailable`, empty otherwise).
    const QString& message() const { return message_; }

    /// The user-visible text.
    QString localizedDescription() const;
    QString errorDescription() const { return localizedDescription(); }
    /// True when no reconnect can fix the failure.
    bool isUnrecoverable() const;

    /// The message says that system dictation (or the assistant) is switched off.
    static bool isDictationDisabledMessage(const QString& message);
    /// The message names a failure that a reconnect cannot fix.
    static bool isUnrecoverableSystemMessage(const QString& message);

    bool operator==(const SpeechError&) const = default;

private:
    SpeechError(Kind kind, QString message) : kind_(kind), message_(std::move(message)) {}
    Kind kind_;
    QString message_;
};

/// The outcome of a recognition session: the final text, or the error.
class SpeechResult {
public:
    static SpeechResult success(QString text) { return SpeechResult(std::move(text)); }
    static SpeechResult failure(SpeechError error) { return SpeechResult(std::move(error)); }

    bool isSuccess() const { return std::holds_alternative<QString>(value_); }
    const QString& text() const { return std::get<QString>(value_); }
    const SpeechError& error() const { return std::get<SpeechError>(value_); }

    bool operator==(const SpeechResult&) const = default;

private:
    explicit SpeechResult(QString text) : value_(std::move(text)) {}
    explicit SpeechResult(SpeechError error) : value_(std::move(error)) {}
    std::variant<QString, SpeechError> value_;
};

} // namespace quillory
