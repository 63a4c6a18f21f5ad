#include "Runtime/SecretStore.h"

#include "Runtime/DefaultsStore.h"

#include <mutex>

namespace quillory {

namespace {

std::mutex& storeMutex() {
    static std::mutex m;
    return m;
}

std::shared_ptr<SecretStore>& storeSlot() {
    static std::shared_ptr<SecretStore> store;
    return store;
}

} // namespace

SecretStore* SecretStore::installed() {
    std::lock_guard lock(storeMutex());
    return storeSlot().get();
}

void SecretStore::install(std::shared_ptr<SecretStore> store) {
    std::lock_guard lock(storeMutex());
    storeSlot() = std::move(store);
}

Expected<> ServerApiKey::store(DefaultsStore& settings, const QByteArray& key) const {
    SecretStore* secrets = SecretStore::installed();
    if (!secrets) {
        return Failure{QStringLiteral("no secret store on this system (a Secret Service such as GNOME Keyring or "
                                      "KWallet is needed for an API key)")};
    }
    const QString secretName = QLatin1String(name);
    const Expected<> done = key.isEmpty() ? secrets->remove(secretName) : secrets->write(secretName, key);
    if (!done) {
        return done;
    }
    if (!settings.setBool(QLatin1String(flagKey), !key.isEmpty())) {
        return Failure{settings.lastError()};
    }
    return {};
}

bool ServerApiKey::isStored(const DefaultsStore& settings) const {
    return settings.boolValue(QLatin1String(flagKey)).value_or(false);
}

Expected<QByteArray> ServerApiKey::load(const DefaultsStore& settings) const {
    if (!isStored(settings)) {
        return QByteArray();
    }
    SecretStore* secrets = SecretStore::installed();
    if (!secrets) {
        return Failure{QStringLiteral("the API key cannot be read: no secret store on this system")};
    }
    Expected<std::optional<QByteArray>> key = secrets->read(QLatin1String(name));
    if (!key) {
        return Failure{QStringLiteral("the API key cannot be read: %1").arg(key.error())};
    }
    if (!key.value()) {
        return Failure{QStringLiteral("the API key is no longer in the secret store: set it again")};
    }
    return *key.value();
}

} // namespace quillory
