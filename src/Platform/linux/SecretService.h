#pragma once

// The desktop's secret store over the freedesktop Secret Service D-Bus API (GNOME Keyring,
// KWallet, KeePassXC), spoken with Qt D-Bus directly: the same bus code as the portals, no GLib
// main loop and no second D-Bus client library. Secrets travel over the session bus in a "plain"
// session (the bus is this user's own; the store encrypts them on disk) into the default
// collection, as items labelled "Quillory: …" with the attributes application=quillory and
// name=<the secret's name>.
//
// Calls block for at most a few seconds (a local service answers in milliseconds). A locked
// keyring is not unlocked behind the user's back: the error says to unlock it.

#include "Runtime/SecretStore.h"

#include <QDBusConnection>

#include <optional>

namespace quillory::platform {

class SecretServiceStore : public SecretStore {
public:
    /// On the session bus, connected at the first call (after the application object exists).
    SecretServiceStore() = default;
    /// On `bus` (tests: a private bus).
    explicit SecretServiceStore(QDBusConnection bus) : bus_(std::move(bus)) {}

    Expected<std::optional<QByteArray>> read(const QString& name) override;
    Expected<> write(const QString& name, const QByteArray& secret) override;
    Expected<> remove(const QString& name) override;

private:
    QDBusConnection bus() const { return bus_ ? *bus_ : QDBusConnection::sessionBus(); }

    std::optional<QDBusConnection> bus_;
};

} // namespace quillory::platform
