#pragma once
// A secret store in memory for the tests of the code that uses API keys; `failure` set makes every
// call fail with it (a missing or locked secret service).

#include "Runtime/SecretStore.h"

#include <QMap>

namespace quillory::testing {

class MemorySecretStore : public SecretStore {
public:
    Expected<std::optional<QByteArray>> read(const QString& name) override {
        if (!failure.isEmpty()) return Failure{failure};
        if (!secrets.contains(name)) return std::optional<QByteArray>();
        return std::optional<QByteArray>(secrets.value(name));
    }
    Expected<> write(const QString& name, const QByteArray& secret) override {
        if (!failure.isEmpty()) return Failure{failure};
        secrets.insert(name, secret);
        return {};
    }
    Expected<> remove(const QString& name) override {
        if (!failure.isEmpty()) return Failure{failure};
        secrets.remove(name);
        return {};
    }

    QMap<QString, QByteArray> secrets;
    QString failure;
};

/// Installs `store` as the process's secret store for one test.
class InstalledSecretStore {
public:
    InstalledSecretStore() : store(std::make_shared<MemorySecretStore>()) { SecretStore::install(store); }
    ~InstalledSecretStore() { SecretStore::install(nullptr); }
    std::shared_ptr<MemorySecretStore> store;
};

} // namespace quillory::testing
