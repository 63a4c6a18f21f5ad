#pragma once

#include <QString>

#include <stdexcept>

namespace quillory {

/// The error of the whole polish subsystem. Five kinds carry a message, three carry nothing.
class LocalPolishError : public std::runtime_error {
public:
    enum class Kind {
        modelDownloadFailed,
        cleanupFailed,
        serverStartFailed,
        requestFailed,
        invalidResponse,
        unsupportedPlatform,
        missingRuntime,
        emptyOutput,
    };

    LocalPolishError(Kind kind, QString message = {});

    static LocalPolishError modelDownloadFailed(const QString& m) { return {Kind::modelDownloadFailed, m}; }
    static LocalPolishError cleanupFailed(const QString& m) { return {Kind::cleanupFailed, m}; }
    static LocalPolishError serverStartFailed(const QString& m) { return {Kind::serverStartFailed, m}; }
    static LocalPolishError requestFailed(const QString& m) { return {Kind::requestFailed, m}; }
    static LocalPolishError invalidResponse(const QString& m) { return {Kind::invalidResponse, m}; }
    static LocalPolishError unsupportedPlatform() { return {Kind::unsupportedPlatform}; }
    static LocalPolishError missingRuntime() { return {Kind::missingRuntime}; }
    static LocalPolishError emptyOutput() { return {Kind::emptyOutput}; }

    Kind kind() const { return kind_; }
    /// The carried message (empty for the three kinds without one).
    const QString& message() const { return message_; }
    /// The localisation key of the description.
    static const char* descriptionKey(Kind kind);
    /// The localised description (a format filled with the message where one is carried).
    QString localizedDescription() const;

private:
    Kind kind_;
    QString message_;
};

/// A model file could not be removed; carries the file system's own message, not wrapped.
class ModelFileError : public std::runtime_error {
public:
    explicit ModelFileError(const QString& description)
        : std::runtime_error(description.toStdString()), description_(description) {}
    QString localizedDescription() const { return description_; }

private:
    QString description_;
};

} // namespace quillory
