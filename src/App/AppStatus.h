#pragma once

#include <QString>

namespace quillory {

/// The session status; `error` carries the user-visible (already localised) message.
class AppStatus {
public:
    enum class Kind { idle, recording, processing, error };

    static AppStatus idle() { return AppStatus(Kind::idle, {}); }
    static AppStatus recording() { return AppStatus(Kind::recording, {}); }
    static AppStatus processing() { return AppStatus(Kind::processing, {}); }
    static AppStatus error(QString message) { return AppStatus(Kind::error, std::move(message)); }

    AppStatus() = default;
    Kind kind() const { return kind_; }
    const QString& message() const { return message_; }
    bool isRecording() const { return kind_ == Kind::recording; }
    bool is(Kind k) const { return kind_ == k; }

    /// "idle", "recording", "processing" or "error".
    QString caseName() const;
    /// The case name; an error with its message: error("…").
    QString logDescription() const;

    bool operator==(const AppStatus&) const = default;

private:
    AppStatus(Kind kind, QString message) : kind_(kind), message_(std::move(message)) {}
    Kind kind_ = Kind::idle;
    QString message_;
};

/// Where a session's text goes.
enum class RecognitionSink { focusedApplication, settingsTestField };
QString caseName(RecognitionSink sink);

/// Which voice test control started a test-field session.
enum class VoiceTestRecordingOrigin { toggle, pushToTalk };
/// Which hotkey started a focused-application session.
enum class FocusedAppVoiceRecordingOrigin { toggleHotkey, pushToTalkHotkey };

/// A selection of the voice test field, in UTF-16 code units.
struct TextSelection {
    qsizetype location = 0;
    qsizetype length = 0;
    bool operator==(const TextSelection&) const = default;
};

} // namespace quillory
