// The engine cards of the settings: this computer or a server, stored only when the address rule
// accepts it, and the server check behind Test. Offscreen widgets on virtual time.

#include "support/CoreTest.h"
#include "support/MemorySecretStore.h"

#include "AI/RemotePolishEngine.h"
#include "Runtime/DefaultsStore.h"
#include "Runtime/Localization.h"
#include "Speech/RemoteSpeech.h"
#include "UI/Settings/ServerEngineModel.h"
#include "UI/Settings/ServerEngineSection.h"
#include "UI/Settings/SettingsWidgets.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <memory>

namespace quillory::testing {
namespace {

class ServerEngineSectionTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        Localization::setLanguage(Localization::Language::English);
    }
    void TearDown() override {
        page_.reset();
        CoreTest::TearDown();
    }
    ServerEngineSection* open(ServerEngineKind kind, ServerEngineModel::Check check = {}) {
        page_ = std::make_unique<SettingsPage>();
        model_ = new ServerEngineModel(kind, std::move(check), page_.get());
        return ServerEngineSection::add(page_.get(), model_);
    }
    static QString stored(const char* key) {
        return DefaultsStore::standard().stringValue(QLatin1String(key)).value_or(QStringLiteral("<none>"));
    }

    std::unique_ptr<SettingsPage> page_;
    ServerEngineModel* model_ = nullptr;
};

TEST_F(ServerEngineSectionTest, AServerIsStoredOnlyOnceTheAddressRuleAcceptsIt) {
    auto* card = open(ServerEngineKind::recognition);
    EXPECT_EQ(card->engine()->currentIndex(), 0) << "this computer by default";
    EXPECT_FALSE(card->url()->isEnabled());
    EXPECT_FALSE(card->test()->isEnabled()) << "nothing to test on this computer";

    card->engine()->setCurrentIndex(1);
    EXPECT_TRUE(card->url()->isEnabled());
    card->url()->setText(QStringLiteral("http://speech.example.org:8080"));
    card->save()->click();
    EXPECT_FALSE(card->error()->isHidden());
    EXPECT_TRUE(card->error()->text().contains(QStringLiteral("use https://"))) << card->error()->text().toStdString();
    EXPECT_EQ(stored(RemoteSpeechSettings::engineKey), QStringLiteral("<none>")) << "nothing stored";

    card->url()->setText(QStringLiteral(" http://192.168.1.5:8080 "));
    card->save()->click();
    EXPECT_TRUE(card->error()->text().contains(QStringLiteral("confirm"))) << card->error()->text().toStdString();
    card->privateConfirmed()->setChecked(true);
    card->api()->setCurrentIndex(card->api()->findData(QStringLiteral("openai")));
    card->modelName()->setText(QStringLiteral("large-v3"));
    card->save()->click();
    EXPECT_TRUE(card->error()->isHidden());
    EXPECT_TRUE(card->test()->isEnabled());
    const RemoteSpeechSettings s = RemoteSpeechSettings::read(DefaultsStore::standard());
    EXPECT_TRUE(s.useServer);
    EXPECT_EQ(s.url, QUrl(QStringLiteral("http://192.168.1.5:8080")));
    EXPECT_EQ(s.api, RemoteSpeechApi::openAi);
    EXPECT_EQ(s.model, QStringLiteral("large-v3"));
    EXPECT_TRUE(s.privateConfirmed);

    // Back to this computer: the address stays for next time, the choice goes.
    card->engine()->setCurrentIndex(0);
    card->save()->click();
    EXPECT_FALSE(RemoteSpeechSettings::read(DefaultsStore::standard()).useServer);
    auto* again = open(ServerEngineKind::recognition);
    EXPECT_EQ(again->url()->text(), QStringLiteral("http://192.168.1.5:8080"));
    EXPECT_EQ(again->api()->currentData().toString(), QStringLiteral("openai"));
}

TEST_F(ServerEngineSectionTest, TheTestButtonShowsTheServerCheck) {
    int checks = 0;
    bool answers = true;
    auto* card = open(ServerEngineKind::polish, [&]() -> Task<ServerEngineModel::CheckResult> {
        ++checks;
        co_await sleepFor(seconds(1));
        co_return answers ? ServerEngineModel::CheckResult{true, L("settings.server.test_ok").arg(42)}
                          : ServerEngineModel::CheckResult{false, L("settings.server.test_failed").arg("refused")};
    });
    EXPECT_EQ(card->api()->itemData(0).toString(), QStringLiteral("llama"));
    card->engine()->setCurrentIndex(1);
    card->url()->setText(QStringLiteral("https://llm.example.org"));
    card->save()->click();
    const RemotePolishSettings s = RemotePolishSettings::read(DefaultsStore::standard());
    EXPECT_TRUE(s.useServer);
    EXPECT_EQ(s.api, RemotePolishApi::llamaCompletion);

    card->test()->click();
    EXPECT_EQ(card->result()->text(), L("settings.server.testing"));
    EXPECT_FALSE(card->test()->isEnabled()) << "one check at a time";
    card->test()->click();
    clock_.advance(seconds(1));
    EXPECT_EQ(checks, 1);
    EXPECT_EQ(card->result()->text(), QStringLiteral("The server answered in 42 ms."));
    EXPECT_TRUE(card->test()->isEnabled());

    answers = false;
    card->test()->click();
    clock_.advance(seconds(1));
    EXPECT_EQ(card->result()->text(), QStringLiteral("The server did not answer: refused"));
}

TEST_F(ServerEngineSectionTest, TheApiKeyFieldIsWriteOnlyAndAFailingKeyringStoresNothing) {
    InstalledSecretStore secrets;
    auto* card = open(ServerEngineKind::polish);
    EXPECT_EQ(card->apiKey()->echoMode(), QLineEdit::Password);
    EXPECT_EQ(card->apiKey()->placeholderText(), L("settings.server.apikey.none"));
    EXPECT_FALSE(card->removeApiKey()->isEnabled());

    card->engine()->setCurrentIndex(1);
    card->url()->setText(QStringLiteral("https://llm.example.org"));
    card->apiKey()->setText(QStringLiteral(" sk-card-key "));
    card->save()->click();
    EXPECT_TRUE(card->error()->isHidden()) << card->error()->text().toStdString();
    EXPECT_EQ(secrets.store->secrets.value(QStringLiteral("polish-server")), "sk-card-key");
    EXPECT_EQ(RemotePolishSettings::read(DefaultsStore::standard()).accessToken, "sk-card-key");
    // Shown as stored, never as the key; not in the settings file.
    EXPECT_TRUE(card->apiKey()->text().isEmpty());
    EXPECT_EQ(card->apiKey()->placeholderText(), L("settings.server.apikey.stored"));
    EXPECT_TRUE(card->removeApiKey()->isEnabled());
    QFile file(path(QStringLiteral(".config/quillory/defaults.json")));
    const QByteArray onDisk = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    EXPECT_TRUE(onDisk.contains("polish.server.apiKeyStored"));
    EXPECT_FALSE(onDisk.contains("sk-card-key"));
    EXPECT_EQ(open(ServerEngineKind::polish)->apiKey()->placeholderText(), L("settings.server.apikey.stored"));
    card = open(ServerEngineKind::polish);

    // The keyring locked: the error says so, the field keeps what was typed, nothing else is stored.
    secrets.store->failure = QStringLiteral("the keyring is locked");
    card->apiKey()->setText(QStringLiteral("sk-new-key"));
    card->save()->click();
    EXPECT_TRUE(card->error()->text().contains(QStringLiteral("the keyring is locked"))) << card->error()->text().toStdString();
    EXPECT_EQ(card->apiKey()->text(), QStringLiteral("sk-new-key"));
    EXPECT_EQ(secrets.store->secrets.value(QStringLiteral("polish-server")), "sk-card-key");

    secrets.store->failure.clear();
    card->removeApiKey()->click();
    EXPECT_TRUE(secrets.store->secrets.isEmpty());
    EXPECT_EQ(card->apiKey()->placeholderText(), L("settings.server.apikey.none"));
    EXPECT_TRUE(RemotePolishSettings::read(DefaultsStore::standard()).accessToken.isEmpty());
}

} // namespace
} // namespace quillory::testing
