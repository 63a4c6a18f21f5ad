#include "UI/Settings/ServerEngineModel.h"

#include "AI/PolishSettings.h"
#include "AI/RemotePolishEngine.h"
#include "Runtime/DefaultsStore.h"
#include "Runtime/Localization.h"
#include "Runtime/SecretStore.h"
#include "Speech/RemoteSpeech.h"

#include <QPointer>
#include <QUrl>

namespace quillory {

namespace {

struct Keys {
    const char* engine;
    const char* url;
    const char* api;
    const char* model;
    const char* privateConfirmed;
};

Keys keysOf(ServerEngineKind kind) {
    if (kind == ServerEngineKind::recognition) {
        return {RemoteSpeechSettings::engineKey, RemoteSpeechSettings::urlKey, RemoteSpeechSettings::apiKey,
                RemoteSpeechSettings::modelKey, RemoteSpeechSettings::privateConfirmedKey};
    }
    return {RemotePolishSettings::engineKey, RemotePolishSettings::urlKey, RemotePolishSettings::apiKey,
            RemotePolishSettings::modelKey, RemotePolishSettings::privateConfirmedKey};
}

ServerEngineModel::CheckResult describe(bool answered, qint64 latencyMs, const QString& error) {
    if (answered) {
        return {true, L("settings.server.test_ok").arg(latencyMs)};
    }
    return {false, L("settings.server.test_failed").arg(error)};
}

/// The doctor's check of the stored settings of `kind`.
Task<ServerEngineModel::CheckResult> doctorCheck(ServerEngineKind kind) {
    if (kind == ServerEngineKind::recognition) {
        const RemoteServerCheck c = co_await checkRemoteServer(RemoteSpeechSettings::read(DefaultsStore::standard()));
        co_return describe(c.answered, c.latencyMs, c.error);
    }
    const RemotePolishCheck c = co_await checkRemotePolishServer(
        RemotePolishSettings::read(DefaultsStore::standard()), PolishSettings::selectedModel(), PolishSettings::prompt());
    co_return describe(c.answered, c.latencyMs, c.error);
}

} // namespace

ServerEngineModel::ServerEngineModel(ServerEngineKind kind, Check check, QObject* parent)
    : QObject(parent), kind_(kind), check_(std::move(check)) {
    if (!check_) {
        check_ = [kind] { return doctorCheck(kind); };
    }
}

QStringList ServerEngineModel::apiNames() const {
    return kind_ == ServerEngineKind::recognition ? QStringList{QStringLiteral("whisper"), QStringLiteral("openai")}
                                                  : QStringList{QStringLiteral("llama"), QStringLiteral("openai")};
}

ServerEngineModel::Fields ServerEngineModel::stored() const {
    const DefaultsStore& store = DefaultsStore::standard();
    const Keys keys = keysOf(kind_);
    Fields f;
    f.useServer = store.stringValue(QLatin1String(keys.engine)).value_or(QString()) == QLatin1String("server");
    f.url = store.stringValue(QLatin1String(keys.url)).value_or(QString());
    f.api = store.stringValue(QLatin1String(keys.api)).value_or(QString());
    if (!apiNames().contains(f.api)) {
        f.api = apiNames().first();
    }
    f.model = store.stringValue(QLatin1String(keys.model)).value_or(QString());
    f.privateConfirmed = store.boolValue(QLatin1String(keys.privateConfirmed)).value_or(false);
    return f;
}

bool ServerEngineModel::apply(const Fields& fields) {
    error_.clear();
    const QString url = fields.url.trimmed();
    if (fields.useServer) {
        error_ = remoteServerUrlProblem(QUrl(url), fields.privateConfirmed);
    }
    if (error_.isEmpty() && !apiNames().contains(fields.api)) {
        error_ = L("settings.server.unknown_api").arg(fields.api);
    }
    if (error_.isEmpty()) {
        DefaultsStore& store = DefaultsStore::standard();
        const Keys keys = keysOf(kind_);
        const bool written =
            store.setString(QLatin1String(keys.url), url) && store.setString(QLatin1String(keys.api), fields.api) &&
            store.setString(QLatin1String(keys.model), fields.model.trimmed()) &&
            store.setBool(QLatin1String(keys.privateConfirmed), fields.privateConfirmed) &&
            // The choice last: a server is never chosen with half its settings.
            store.setString(QLatin1String(keys.engine),
                            fields.useServer ? QStringLiteral("server") : QStringLiteral("device"));
        if (!written) {
            error_ = L("settings.server.not_saved").arg(store.lastError());
        }
    }
    result_.reset();
    emit changed();
    return error_.isEmpty();
}

bool ServerEngineModel::apiKeyStored() const {
    const ServerApiKey& key = kind_ == ServerEngineKind::recognition ? speechServerApiKey : polishServerApiKey;
    return key.isStored(DefaultsStore::standard());
}

bool ServerEngineModel::setApiKey(const QString& key) {
    const ServerApiKey& slot = kind_ == ServerEngineKind::recognition ? speechServerApiKey : polishServerApiKey;
    const Expected<> stored = slot.store(DefaultsStore::standard(), key.trimmed().toUtf8());
    error_ = stored ? QString() : L("settings.server.apikey.not_stored").arg(stored.error());
    result_.reset();
    emit changed();
    return stored.ok();
}

void ServerEngineModel::test() {
    if (testing_) {
        return;
    }
    testing_ = true;
    result_.reset();
    emit changed();
    runTest();
}

Task<> ServerEngineModel::runTest() {
    QPointer<ServerEngineModel> self(this);
    const Check check = check_;
    const CheckResult result = co_await check();
    if (!self) {
        co_return;
    }
    testing_ = false;
    result_ = result;
    emit changed();
}

} // namespace quillory
