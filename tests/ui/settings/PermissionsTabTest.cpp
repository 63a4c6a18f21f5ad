// The permissions tab: refreshes, the Linux rows, autostart failures, and the diagnostics export.
#include "SettingsTestSupport.h"
#include "ModelTabTestSupport.h"

#include "UI/Settings/AppSettingsBackend.h"
#include "UI/Settings/DiagnosticsSavePanel.h"
#include "UI/Settings/PermissionsTab.h"
#include "Runtime/DefaultsStore.h"
#include "Speech/RemoteSpeech.h"
#include "AI/PolishSettings.h"
#include "AI/RemotePolishEngine.h"
#include "UI/Settings/SpeechModelSetupRow.h"

#include <QProgressBar>
#include "Utilities/CommitDiagnostics.h"

#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTest>

using namespace quillory;
using namespace quillory::testing;
namespace R = quillory::PermissionsTabRules;

namespace {

class PermissionsTabTest : public SettingsTest {
protected:
    PermissionsTab* tab() {
        if (!tab_) {
            tab_ = shown(new PermissionsTab(*state, *backend));
        }
        return tab_;
    }
    PermissionsTab* tab_ = nullptr;
};

TEST(PermissionsTabRulesTest, RowsWithNoLinuxMeaningAreNeverAlarming) {
    using D = RuntimeEnvironmentStatus::DictationStatus;
    using S = RuntimeEnvironmentStatus::SiriImprovementOptInStatus;
    EXPECT_EQ(R::permissionPill(PermissionState::notDetermined).tone, StatusPill::Tone::orange);
    EXPECT_EQ(R::permissionPill(PermissionState::denied).tone, StatusPill::Tone::red);
    EXPECT_EQ(R::permissionPill(PermissionState::authorized).tone, StatusPill::Tone::green);
    EXPECT_EQ(R::dictationPill(D::disabled).tone, StatusPill::Tone::red);
    EXPECT_EQ(R::audioSharingPill(S::optedIn).tone, StatusPill::Tone::red);
    // What Linux reports: neutral, "not applicable on Linux".
    for (const PillAppearance& a : {R::dictationPill(D::unknown), R::audioSharingPill(S::unknown)}) {
        EXPECT_EQ(a.tone, StatusPill::Tone::neutral);
        EXPECT_EQ(L(a.textKey), QStringLiteral("Not applicable on Linux"));
    }
    EXPECT_STREQ(R::dictationFootnoteKey(D::unknown), "permission.dictation.hint.unknown");
    EXPECT_STREQ(R::audioSharingFootnoteKey(S::optedOut), "permission.siri_improvement.hint.opted_out");
}

TEST_F(PermissionsTabTest, ShowingAndReloadRefreshEverythingAndRedrawThePills) {
    backend->ax = PermissionState::denied;
    backend->inputMonitoring = PermissionState::notDetermined;
    tab();
    EXPECT_EQ(tab()->environmentRefreshTick(), 1);
    EXPECT_EQ(backend->permissionRefreshes, 1);
    EXPECT_EQ(backend->loginRefreshes, 1);
    EXPECT_EQ(backend->applyCount, 1);
    using Row = PermissionsTab::Row;
    EXPECT_EQ(tab()->permissionPill(Row::accessibility)->text(), QStringLiteral("Denied"));
    EXPECT_EQ(tab()->permissionPill(Row::inputMonitoring)->tone(), StatusPill::Tone::orange);
    EXPECT_FALSE(tab()->requestButton(Row::microphone)->isVisible()); // granted: no request
    EXPECT_TRUE(tab()->requestButton(Row::accessibility)->isVisible());
    EXPECT_EQ(tab()->dictationPill()->tone(), StatusPill::Tone::neutral);
    EXPECT_EQ(tab()->audioSharingPill()->text(), QStringLiteral("Not applicable on Linux"));

    // A granted row offers neither button; rows that need something offer both.
    EXPECT_FALSE(tab()->settingsButton(Row::microphone)->isVisible());
    EXPECT_TRUE(tab()->settingsButton(Row::accessibility)->isVisible());
    const QRect pillBefore = tab()->permissionPill(Row::accessibility)->geometry();
    const QRect settingsBefore = tab()->settingsButton(Row::accessibility)->geometry();

    // Granted elsewhere, then the reload button.
    backend->ax = PermissionState::authorized;
    auto buttons = tab()->findChildren<QPushButton*>();
    auto reload = std::find_if(buttons.begin(), buttons.end(),
                               [](QPushButton* b) { return b->accessibleName() == QStringLiteral("Reload"); });
    ASSERT_NE(reload, buttons.end());
    (*reload)->click();
    EXPECT_EQ(tab()->environmentRefreshTick(), 2);
    EXPECT_EQ(tab()->permissionPill(Row::accessibility)->text(), QStringLiteral("Allowed"));
    EXPECT_FALSE(tab()->requestButton(Row::accessibility)->isVisible());
    EXPECT_FALSE(tab()->settingsButton(Row::accessibility)->isVisible());
    QApplication::processEvents();
    // The row keeps its layout: the pill neither grows nor moves, the settings button's place stays.
    EXPECT_EQ(tab()->permissionPill(Row::accessibility)->geometry(), pillBefore);
    EXPECT_EQ(tab()->settingsButton(Row::accessibility)->geometry(), settingsBefore);

    // The request of a missing grant asks the backend; input monitoring opens its settings.
    backend->ax = PermissionState::denied;
    backend->linkOpens = false;
    (*reload)->click();
    tab()->requestButton(Row::accessibility)->click();
    tab()->requestButton(Row::inputMonitoring)->click();
    EXPECT_EQ(backend->requests, QStringList{"accessibility"});
    ASSERT_EQ(backend->openedLinks.size(), 1u);
    EXPECT_EQ(backend->openedLinks[0], SystemSettingsLink::Link::inputMonitoring);
}

TEST_F(PermissionsTabTest, ThePrivacyCardNamesTheServersThatGetAudioOrText) {
    auto* title = tab()->findChild<QLabel*>(QStringLiteral("privacyTitle"));
    auto* body = tab()->findChild<QLabel*>(QStringLiteral("privacyBody"));
    ASSERT_TRUE(title && body);
    EXPECT_EQ(title->text(), L("permission.dictation.privacy.title"));
    DefaultsStore::standard().setValue(QLatin1String(RemoteSpeechSettings::engineKey), QStringLiteral("server"));
    DefaultsStore::standard().setValue(QLatin1String(RemoteSpeechSettings::urlKey),
                                       QStringLiteral("https://user:pw@speech.example.org:8443/base"));
    tab()->performFullRefresh();
    EXPECT_EQ(title->text(), L("permission.dictation.privacy.server_title"));
    EXPECT_TRUE(body->text().contains(QStringLiteral("https://speech.example.org:8443"))) << body->text().toStdString();
    EXPECT_FALSE(body->text().contains(QStringLiteral("pw")));
    EXPECT_TRUE(body->text().contains(L("permission.dictation.privacy.polish_local")));

    // A polish server is named while polishing is on.
    DefaultsStore::standard().setValue(QLatin1String(RemotePolishSettings::engineKey), QStringLiteral("server"));
    DefaultsStore::standard().setValue(QLatin1String(RemotePolishSettings::urlKey),
                                       QStringLiteral("http://127.0.0.1:8081/x"));
    PolishSettings::setEnabled(true);
    tab()->performFullRefresh();
    EXPECT_EQ(title->text(), L("permission.dictation.privacy.servers_title"));
    EXPECT_TRUE(body->text().contains(QStringLiteral("http://127.0.0.1:8081"))) << body->text().toStdString();
    DefaultsStore::standard().setValue(QLatin1String(RemoteSpeechSettings::engineKey), QStringLiteral("device"));
    tab()->performFullRefresh();
    EXPECT_EQ(title->text(), L("permission.dictation.privacy.polish_server_title"));
    EXPECT_TRUE(body->text().startsWith(L("permission.dictation.privacy.speech_local")));
    PolishSettings::setEnabled(false);
    tab()->performFullRefresh();
    EXPECT_EQ(title->text(), L("permission.dictation.privacy.title")) << "no text leaves without polishing";
}

TEST_F(PermissionsTabTest, AFailingAutostartChangeShowsTheErrorAndKeepsTheCachedState) {
    tab()->loginItemSwitch()->click();
    EXPECT_EQ(backend->loginRequests, std::vector<bool>{true});
    EXPECT_TRUE(tab()->loginItemSwitch()->isChecked());

    backend->loginFailure = QStringLiteral("The autostart folder is read-only.");
    tab()->loginItemSwitch()->click();
    EXPECT_EQ(backend->errors, QStringList{"The autostart folder is read-only."});
    EXPECT_TRUE(backend->launchAtLogin);
    EXPECT_TRUE(tab()->loginItemSwitch()->isChecked()); // the cached state, not the click
}

TEST_F(PermissionsTabTest, ExportPassesTheChosenLookbackAndRunsOnceAtATime) {
    EXPECT_EQ(tab()->diagnosticsLookbackMinutes(), 60);
    tab()->lookbackButton(180)->click();
    EXPECT_EQ(tab()->diagnosticsLookbackMinutes(), 180);
    backend->exportDelay = std::chrono::seconds(2);
    tab()->exportButton()->click();
    EXPECT_TRUE(tab()->diagnosticsExportInProgress());
    EXPECT_FALSE(tab()->exportButton()->isEnabled());
    tab()->exportDiagnostics(); // a second press while running does nothing
    EXPECT_EQ(backend->exportLookbacks, std::vector<int>{180});
    advance(2);
    EXPECT_FALSE(tab()->diagnosticsExportInProgress());
    EXPECT_TRUE(tab()->exportButton()->isEnabled());
    EXPECT_FALSE(tab()->diagnosticsErrorMessage().has_value());

    // A failure shows its description; the next export clears it.
    backend->exportDelay = {};
    backend->exportFailure = true;
    tab()->lookbackButton(15)->click();
    tab()->exportDiagnostics();
    settle();
    EXPECT_EQ(backend->exportLookbacks.back(), 15);
    ASSERT_TRUE(tab()->diagnosticsErrorMessage().has_value());
    EXPECT_EQ(*tab()->diagnosticsErrorMessage(),
              QStringLiteral("The diagnostics log has no entries in the selected period."));
    EXPECT_TRUE(tab()->errorLabel()->isVisible());
    backend->exportFailure = false;
    backend->exportCancelled = true; // cancelling is not an error
    tab()->exportDiagnostics();
    settle();
    EXPECT_FALSE(tab()->diagnosticsErrorMessage().has_value());
    EXPECT_FALSE(tab()->errorLabel()->isVisible());
}

// ---- the speech model row ----

class PermissionsSpeechModelTest : public PermissionsTabTest {
protected:
    void SetUp() override {
        PermissionsTabTest::SetUp();
        catalogue_ = std::make_shared<FakeSpeechCatalogue>();
        catalogue_->present.clear(); // a first run: no model file at all
        setSpeechModelCatalogueForSettings(catalogue_);
    }
    void TearDown() override {
        setSpeechModelCatalogueForSettings(nullptr);
        PermissionsTabTest::TearDown();
    }
    SpeechModelSetupRow* row() { return tab()->findChild<SpeechModelSetupRow*>(QStringLiteral("permissionsSpeechModel")); }
    std::shared_ptr<FakeSpeechCatalogue> catalogue_;
};

TEST_F(PermissionsSpeechModelTest, WithoutAModelFileSpeechIsNotAllowedAndTheRowDownloadsTheRecommendedOne) {
    ASSERT_NE(row(), nullptr);
    EXPECT_FALSE(row()->installed());
    EXPECT_EQ(row()->pill()->tone(), StatusPill::Tone::orange);
    EXPECT_EQ(row()->pill()->text(), L("permission.speech_model.missing"));
    // The speech recognition row no longer promises a dictation that cannot run.
    QStringList pills;
    for (StatusPill* pill : tab()->findChildren<StatusPill*>()) pills << pill->text();
    EXPECT_TRUE(pills.contains(L("permission.speech.needs_model"))) << pills.join(" | ").toStdString();
    EXPECT_TRUE(row()->recommendation()->text().contains(QStringLiteral("Medium")) &&
                row()->recommendation()->text().contains(QStringLiteral("539 MB")))
        << row()->recommendation()->text().toStdString();

    row()->downloadButton()->click();
    settle();
    EXPECT_TRUE(row()->cancelButton()->isVisibleTo(row()));
    EXPECT_FALSE(row()->downloadButton()->isVisibleTo(row()));
    advance(1);
    EXPECT_TRUE(row()->progressBar()->isVisibleTo(row()));
    EXPECT_EQ(row()->progressBar()->value(), 250);
    EXPECT_TRUE(row()->pill()->text().contains(QStringLiteral("25%"))) << row()->pill()->text().toStdString();
    advance(3);
    settle();
    EXPECT_TRUE(row()->installed());
    EXPECT_EQ(catalogue_->selected, QStringLiteral("medium")) << "the missing selection gives way to the download";
    EXPECT_EQ(row()->pill()->tone(), StatusPill::Tone::green);
    EXPECT_FALSE(row()->cancelButton()->isVisibleTo(row()));
    pills.clear();
    for (StatusPill* pill : tab()->findChildren<StatusPill*>()) pills << pill->text();
    EXPECT_FALSE(pills.contains(L("permission.speech.needs_model")));
}

TEST_F(PermissionsSpeechModelTest, ACancelledDownloadLeavesNoModelAndSaysSo) {
    ASSERT_NE(row(), nullptr);
    row()->downloadButton()->click();
    settle();
    advance(1);
    row()->cancelButton()->click();
    settle();
    EXPECT_FALSE(row()->installed());
    EXPECT_TRUE(catalogue_->present.empty());
    EXPECT_EQ(catalogue_->selected, QStringLiteral("small"));
    EXPECT_TRUE(row()->downloadButton()->isVisibleTo(row()));
    EXPECT_FALSE(row()->progressBar()->isVisibleTo(row()));
    const QLabel* error = nullptr;
    for (QLabel* label : row()->findChildren<QLabel*>()) {
        if (label->text() == L("permission.speech_model.cancelled")) error = label;
    }
    EXPECT_NE(error, nullptr);
}

class SavePanelTest : public SettingsTest {
protected:
    void TearDown() override {
        DiagnosticsSavePanel::setHooks({});
        SettingsTest::TearDown();
    }
};

TEST_F(SavePanelTest, SuggestsTheNameWritesTheWindowAndRevealsTheFile) {
    CommitDiagnostics::record(CommitDiagnostics::Level::Info, QStringLiteral("stage=start session=1"));
    CommitDiagnostics::waitUntilWritten();
    QString suggested, revealed;
    QStringList offeredFilters;
    const QString destination = path(QStringLiteral("export.log"));
    DiagnosticsSavePanel::setHooks(
        {[&](const QString& s, const QStringList& f, const QString&, const QString&) {
             suggested = s;
             offeredFilters = f;
             return destination;
         },
         [&](const QString& p) { revealed = p; }});
    std::optional<QString> result;
    bool done = false;
    auto run = [&]() -> Task<> {
        result = co_await DiagnosticsSavePanel::presentSavePanelAndExport(180);
        done = true;
    };
    auto task = run();
    for (int i = 0; i < 200 && !done; ++i) {
        clock_.waitForPosted(std::chrono::milliseconds(50));
        settle();
    }
    ASSERT_TRUE(done);
    EXPECT_TRUE(suggested.endsWith(QStringLiteral("/quillory-diagnostics-20260314T080000.log"))) << suggested.toStdString();
    EXPECT_EQ(offeredFilters, (QStringList{"Log files (*.log)", "Text files (*.txt)"}));
    EXPECT_EQ(result, destination);
    EXPECT_EQ(revealed, destination);
    QFile file(destination);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    EXPECT_TRUE(text.contains(QStringLiteral("# lookback_minutes: 180"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("stage=start session=1")));

    // Cancelled: nothing written, nothing revealed.
    revealed.clear();
    DiagnosticsSavePanel::setHooks({[](auto&&...) { return QString(); }, [&](const QString& p) { revealed = p; }});
    done = false;
    auto cancelled = run();
    settle();
    ASSERT_TRUE(done);
    EXPECT_FALSE(result.has_value());
    EXPECT_TRUE(revealed.isEmpty());
}

} // namespace

namespace {

/// A login item whose changes can be made to fail.
class FakeLoginItem final : public LoginItemService {
public:
    LoginItemStatus status() const override { return registered ? LoginItemStatus::enabled : LoginItemStatus::notRegistered; }
    void registerItem() override {
        if (failing) {
            throw LoginItemError("Permission denied: ~/.config/autostart");
        }
        registered = true;
    }
    void unregisterItem() override { registered = false; }
    void openSettings() override { ++opened; }
    bool registered = false;
    bool failing = false;
    int opened = 0;
};

TEST_F(PermissionsTabTest, TheAppBackendDrivesTheStateAndReportsAutostartFailures) {
    auto loginItem = std::make_shared<FakeLoginItem>();
    AppStateServices services{speech, input, permissions, environment, polish};
    services.loginItem = loginItem;
    services.inputMonitoringAccess = [] { return PermissionState::denied; };
    AppState app(services);
    QStringList reported;
    AppSettingsBackend appBackend(app, permissions, [&](const QString& m) { reported << m; });
    auto* page = shown(new PermissionsTab(app, appBackend));

    EXPECT_EQ(page->permissionPill(PermissionsTab::Row::inputMonitoring)->text(), QStringLiteral("Denied"));
    page->loginItemSwitch()->click();
    EXPECT_TRUE(loginItem->registered);
    EXPECT_TRUE(app.launchAtLoginEnabledCached());
    EXPECT_TRUE(page->loginItemSwitch()->isChecked());

    loginItem->registered = false;
    app.refreshLaunchAtLoginStatus();
    EXPECT_FALSE(page->loginItemSwitch()->isChecked()); // follows the state's cache
    loginItem->failing = true;
    page->loginItemSwitch()->click();
    EXPECT_EQ(reported, QStringList{"Permission denied: ~/.config/autostart"});
    EXPECT_FALSE(page->loginItemSwitch()->isChecked());
    advance(3); // the deferred re-reads of the login item find nothing new
    EXPECT_FALSE(page->loginItemSwitch()->isChecked());
}

} // namespace
