#pragma once

// API keys of the servers the user points Quillory at, kept in the desktop's secret store (the
// Secret Service: GNOME Keyring, KWallet), never in the settings file or the log. The settings
// only remember that a key was stored ("…server.apiKeyStored"), so nobody is asked for a key that
// was never set. The store itself is a platform backend installed at start-up; without one (the
// tests of the core, a build without D-Bus) nothing can be stored.

#include "Runtime/Expected.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

namespace quillory {

class DefaultsStore;

/// A place for secrets keyed by a short name ("speech-server", "polish-server").
class SecretStore {
public:
    virtual ~SecretStore() = default;
    /// The secret stored under `name`, none when nothing is, or why it could not be read (no
    /// secret service, the keyring is locked).
    virtual Expected<std::optional<QByteArray>> read(const QString& name) = 0;
    /// Stores (replaces) the secret under `name`; on failure nothing is stored anywhere.
    virtual Expected<> write(const QString& name, const QByteArray& secret) = 0;
    /// Removes the secret under `name` (nothing stored is not an error).
    virtual Expected<> remove(const QString& name) = 0;

    /// The process's store (null when none was installed).
    static SecretStore* installed();
    static void install(std::shared_ptr<SecretStore> store);
};

/// A server's API key: stored in the secret store with a flag in the settings (`flagKey`), read
/// back for each request. `name` is the secret's name in the store.
struct ServerApiKey {
    const char* name;
    const char* flagKey;

    /// Stores `key` and sets the flag; an empty key removes it. Nothing is written to the
    /// settings but the flag, and the flag only after the store took the key.
    Expected<> store(DefaultsStore& settings, const QByteArray& key) const;
    /// Whether the settings say a key is stored (no call to the secret store).
    bool isStored(const DefaultsStore& settings) const;
    /// The key when one is stored; empty when none is; why not when it could not be read.
    Expected<QByteArray> load(const DefaultsStore& settings) const;
};

/// The recognition server's key and the polish server's.
inline constexpr ServerApiKey speechServerApiKey{"speech-server", "quillory.speech.server.apiKeyStored"};
inline constexpr ServerApiKey polishServerApiKey{"polish-server", "quillory.polish.server.apiKeyStored"};

} // namespace quillory
