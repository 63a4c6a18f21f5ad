#pragma once

#include "Runtime/Async.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace quillory {

/// Which engine a server card chooses.
enum class ServerEngineKind { recognition, polish };

/// The state behind one "this computer or a server" card of the settings: the stored choice,
/// storing a new one after the address rule accepts it, and the server check of `quillory doctor`.
class ServerEngineModel : public QObject {
    Q_OBJECT

public:
    struct Fields {
        bool useServer = false;
        QString url;
        QString api; ///< "whisper" / "openai" for recognition, "llama" / "openai" for polish
        QString model;
        bool privateConfirmed = false;
        bool operator==(const Fields&) const = default;
    };
    /// What a check found: whether the server answered, and a sentence saying how or why not.
    struct CheckResult {
        bool answered = false;
        QString text;
    };
    using Check = std::function<Task<CheckResult>()>;

    /// `check` (tests) replaces the doctor's check of the stored settings.
    explicit ServerEngineModel(ServerEngineKind kind, Check check = {}, QObject* parent = nullptr);

    ServerEngineKind kind() const { return kind_; }
    /// The API names this kind of server may speak, the default first.
    QStringList apiNames() const;
    /// The settings as stored now.
    Fields stored() const;
    /// Stores `fields` when a server address passes the rule (or the choice is this computer) and
    /// returns true; otherwise stores nothing and `error()` says why.
    bool apply(const Fields& fields);
    /// Whether an API key for this server is in the secret store (the key itself is never shown).
    bool apiKeyStored() const;
    /// Stores `key` in the desktop's secret store (an empty one removes it) and returns true;
    /// otherwise nothing is stored anywhere and `error()` says why (no secret service, locked).
    bool setApiKey(const QString& key);
    /// Why the last `apply` or `setApiKey` stored nothing (empty when it stored).
    const QString& error() const { return error_; }

    /// Checks the stored server (a short request as a dictation would send it).
    void test();
    bool testing() const { return testing_; }
    /// The last check's result (none before the first one ends).
    const std::optional<CheckResult>& testResult() const { return result_; }

signals:
    void changed();

private:
    Task<> runTest();

    ServerEngineKind kind_;
    Check check_;
    QString error_;
    bool testing_ = false;
    std::optional<CheckResult> result_;
};

} // namespace quillory
