#include "SessionTestSupport.h"

#include "AI/LocalPolishError.h"
#include "AI/PolishSettings.h"

#include <QSignalSpy>

namespace quillory::testing {
namespace {

/// The hotkey manager as the state sees it: records every registration and answers as told.
class FakeHotkeys final : public HotkeyService {
public:
    bool update(const HotkeyConfig& config, Callback toggle, Callback press, Callback release) override {
        configs.push_back(config);
        onToggle = std::move(toggle);
        onPress = std::move(press);
        onRelease = std::move(release);
        return succeed;
    }
    void onRegistrationSettled(std::function<void(bool)> settledNow) override { settled = std::move(settledNow); }
    bool succeed = true;
    std::vector<HotkeyConfig> configs;
    Callback onToggle, onPress, onRelease;
    std::function<void(bool)> settled;
};

/// A login item whose status is set by the test; counts how often it is read, with the time.
class FakeLoginItem final : public LoginItemService {
public:
    LoginItemStatus status() const override {
        reads.push_back(Scheduler::current().monotonicNow());
        return current;
    }
    void registerItem() override {
        if (registerError) {
            throw LoginItemError(registerError->toStdString());
        }
        current = LoginItemStatus::enabled;
    }
    void unregisterItem() override {
        if (unregisterError) {
            throw LoginItemError(unregisterError->toStdString());
        }
        current = LoginItemStatus::notRegistered;
    }
    void openSettings() override { ++opened; }

    LoginItemStatus current = LoginItemStatus::notRegistered;
    std::optional<QString> registerError;
    std::optional<QString> unregisterError;
    mutable std::vector<Duration> reads;
    int opened = 0;
};

/// The state with every settings seam faked; `build()` runs the initialiser, so tests can put
/// values into the stores first.
class AppStateSettingsTest : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        state.reset(); // rebuilt by build() with the settings seams
        hotkeys = std::make_shared<FakeHotkeys>();
        loginItem = std::make_shared<FakeLoginItem>();
    }
    void build() {
        AppStateServices services{speech, input, permissions, environment, polish};
        services.hotkeys = hotkeys;
        services.loginItem = loginItem;
        services.inputMonitoringAccess = [this] { return listenAccess; };
        services.localRuntimeSupported = [this] { return runtimeSupported; };
        services.cleanupPolishServers = [this] {
            if (cleanupThrows) {
                throw LocalPolishError::cleanupFailed(QStringLiteral("pgrep exited with 2"));
            }
            return residualServers;
        };
        permissions->refreshes = 0;
        state = std::make_unique<AppState>(services);
        wire();
    }
    QVariant stored(const char* key) const { return store_->value(QString::fromLatin1(key)); }

    std::shared_ptr<FakeHotkeys> hotkeys;
    std::shared_ptr<FakeLoginItem> loginItem;
    PermissionState listenAccess = PermissionState::authorized;
    bool runtimeSupported = true;
    bool cleanupThrows = false;
    int residualServers = 0;
};

HotkeyConfig registeredKeyOnly() {
    HotkeyConfig c;
    c.toggleDoubleCommand = false;
    c.keyCode = 49; // Space
    c.modifiers = 0x0800;
    c.pushToTalkShortcutEnabled = false;
    return c;
}

/// Push-to-talk on fn+Option, no toggle: a record that reads back as it was written.
HotkeyConfig fnOptionOnly() {
    HotkeyConfig c;
    c.toggleShortcutEnabled = false;
    c.modifierChordFnCommand = false;
    c.modifierChordFnOption = true;
    return c;
}

// ---- loading ----

TEST_F(AppStateSettingsTest, LoadingReadsEveryStoreWithoutReactions) {
    const HotkeyConfig custom = fnOptionOnly();
    HotkeyStorage::save(custom);
    PolishSettings::setEnabled(true);
    PolishSettings::setSelectedModel(PolishModel::phi3_miniQ4);
    PolishSettings::setPrompt(QStringLiteral("  敬体にして  "));
    loginItem->current = LoginItemStatus::requiresApproval;
    QSignalSpy storeWrites(store_.get(), &DefaultsStore::valueChanged);

    build();

    EXPECT_EQ(state->hotkeyConfig(), custom);
    EXPECT_TRUE(state->aiPolishEnabled());
    EXPECT_EQ(state->selectedPolishModel(), PolishModel::phi3_miniQ4);
    EXPECT_EQ(state->polishPrompt(), QStringLiteral("  敬体にして  "));
    EXPECT_TRUE(state->launchAtLoginEnabledCached()); // requiresApproval counts as enabled
    // Registered once with the loaded configuration, and nothing else happened.
    ASSERT_EQ(hotkeys->configs.size(), 1u);
    EXPECT_EQ(hotkeys->configs[0], custom);
    EXPECT_TRUE(state->globalHotkeyRegistered());
    EXPECT_EQ(storeWrites.count(), 0);
    EXPECT_EQ(polish->stopCount, 0);
    EXPECT_EQ(polish->warmUps, 0);
    // The initialiser refreshes the permissions last, once each.
    EXPECT_EQ(permissions->refreshes, 3);
}

TEST_F(AppStateSettingsTest, LoadingOnAnUnsupportedHostStoresPolishingOffAndStopsNothing) {
    PolishSettings::setEnabled(true);
    runtimeSupported = false;
    hotkeys->succeed = false;
    build();
    EXPECT_FALSE(state->aiPolishEnabled());
    EXPECT_FALSE(PolishSettings::isEnabled());
    EXPECT_EQ(polish->stopCount, 0);
    // A failed registration is only recorded.
    EXPECT_FALSE(state->globalHotkeyRegistered());
    EXPECT_TRUE(state->status().is(AppStatus::Kind::idle));
}

// ---- hotkeys ----

TEST_F(AppStateSettingsTest, HotkeyAssignmentsSaveAndReRegisterButNotifyOnlyOnChange) {
    build();
    QSignalSpy changed(state.get(), &AppState::hotkeyConfigChanged);
    QSignalSpy registeredChanged(state.get(), &AppState::globalHotkeyRegisteredChanged);

    state->setHotkeyConfig(state->hotkeyConfig());
    EXPECT_EQ(changed.count(), 0);
    EXPECT_EQ(hotkeys->configs.size(), 2u); // the reaction ran anyway
    EXPECT_TRUE(stored(HotkeyStorage::storageKey).isValid());

    const HotkeyConfig custom = fnOptionOnly();
    hotkeys->succeed = false; // e.g. another client holds the key
    state->setHotkeyConfig(custom);
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(hotkeys->configs.back(), custom);
    EXPECT_EQ(HotkeyStorage::load(), custom);
    EXPECT_FALSE(state->globalHotkeyRegistered());
    EXPECT_EQ(registeredChanged.count(), 1);

    hotkeys->succeed = true; // the next activation tries again
    state->applyHotkeyConfiguration();
    EXPECT_TRUE(state->globalHotkeyRegistered());
    EXPECT_EQ(registeredChanged.count(), 2);
    EXPECT_EQ(changed.count(), 1);

    // A desktop's shortcut service that answers later (the portal bound nothing) takes it back,
    // and one answering after the state is gone reaches nothing.
    ASSERT_TRUE(hotkeys->settled);
    hotkeys->settled(false);
    EXPECT_FALSE(state->globalHotkeyRegistered());
    EXPECT_EQ(registeredChanged.count(), 3);
    state.reset();
    hotkeys->settled(true);
}

TEST_F(AppStateSettingsTest, HotkeyCallbacksReachTheSessionAndOutliveNothing) {
    build();
    hotkeys->onPress();
    settle();
    EXPECT_TRUE(state->isRecording());
    EXPECT_EQ(state->focusedAppRecordingOrigin(), FocusedAppVoiceRecordingOrigin::pushToTalkHotkey);
    hotkeys->onRelease();
    settle();
    EXPECT_FALSE(state->isRecording());
    speech->completeText(QStringLiteral("x"));
    settle();
    clock_.advance(seconds(1));

    // The callbacks check nothing themselves: the disabled shortcut is refused by the state.
    HotkeyConfig noToggle = state->hotkeyConfig();
    noToggle.toggleShortcutEnabled = false;
    state->setHotkeyConfig(noToggle);
    hotkeys->onToggle();
    settle();
    EXPECT_TRUE(state->status().is(AppStatus::Kind::idle));

    // A callback arriving after the state is gone does nothing.
    const auto toggle = hotkeys->onToggle;
    state.reset();
    toggle();
    SUCCEED();
}

TEST_F(AppStateSettingsTest, InputMonitoringIsNeededOnlyForModifierGestures) {
    listenAccess = PermissionState::denied;
    build();
    state->setHotkeyConfig(registeredKeyOnly());
    EXPECT_EQ(state->inputMonitoringPermissionState(), PermissionState::authorized);

    HotkeyConfig fnOption = registeredKeyOnly();
    fnOption.pushToTalkShortcutEnabled = true;
    fnOption.modifierChordFnCommand = false;
    fnOption.modifierChordFnOption = true;
    state->setHotkeyConfig(fnOption);
    EXPECT_EQ(state->inputMonitoringPermissionState(), PermissionState::denied);
    listenAccess = PermissionState::notDetermined;
    EXPECT_EQ(state->inputMonitoringPermissionState(), PermissionState::notDetermined);

    // Double Command on a disabled toggle needs nothing; on an enabled one it does.
    HotkeyConfig doubleCommand;
    doubleCommand.pushToTalkShortcutEnabled = false;
    doubleCommand.toggleShortcutEnabled = false;
    state->setHotkeyConfig(doubleCommand);
    EXPECT_EQ(state->inputMonitoringPermissionState(), PermissionState::authorized);
    doubleCommand.toggleShortcutEnabled = true;
    state->setHotkeyConfig(doubleCommand);
    listenAccess = PermissionState::authorized;
    EXPECT_EQ(state->inputMonitoringPermissionState(), PermissionState::authorized);
}

// ---- polishing ----

TEST_F(AppStateSettingsTest, PolishingIsForcedOffOnUnsupportedHosts) {
    runtimeSupported = false;
    build();
    QSignalSpy changed(state.get(), &AppState::aiPolishEnabledChanged);
    state->setAiPolishEnabled(true);
    EXPECT_FALSE(state->aiPolishEnabled());
    EXPECT_EQ(stored(PolishSettings::enabledKey), QVariant(false));
    EXPECT_EQ(changed.count(), 0);
    EXPECT_EQ(polish->warmUps, 0);
    EXPECT_EQ(polish->stopCount, 1); // the "false" reaction ran
    // Switching models starts nothing either.
    state->setSelectedPolishModel(PolishModel::qwen35_4bQ4KM);
    EXPECT_EQ(polish->warmUps, 0);
}

TEST_F(AppStateSettingsTest, PolishSwitchAndModelSwitchDriveTheServer) {
    build();
    QSignalSpy modelChanged(state.get(), &AppState::selectedPolishModelChanged);

    // Off: a model switch stops the server of the old model and starts nothing.
    state->setSelectedPolishModel(PolishModel::mistral7b_v03Q4KM);
    EXPECT_EQ(polish->stopCount, 1);
    EXPECT_EQ(polish->warmUps, 0);
    EXPECT_EQ(PolishSettings::selectedModel(), PolishModel::mistral7b_v03Q4KM);
    EXPECT_EQ(modelChanged.count(), 1);

    state->setAiPolishEnabled(true);
    EXPECT_TRUE(PolishSettings::isEnabled());
    EXPECT_EQ(polish->warmUps, 1);

    // On: the same model again still restarts the server, without a notification.
    state->setSelectedPolishModel(PolishModel::mistral7b_v03Q4KM);
    EXPECT_EQ(polish->stopCount, 2);
    EXPECT_EQ(polish->warmUps, 2);
    EXPECT_EQ(modelChanged.count(), 1);

    state->setAiPolishEnabled(false);
    EXPECT_EQ(polish->stopCount, 3);
    EXPECT_EQ(stored(PolishSettings::enabledKey), QVariant(false));
}

TEST_F(AppStateSettingsTest, PromptKeepsWhatWasTypedAndResetsToTheDefault) {
    build();
    EXPECT_EQ(state->polishPrompt(), PolishSettings::defaultPrompt());
    state->setPolishPrompt(QStringLiteral("箇条書きに\n"));
    EXPECT_EQ(state->polishPrompt(), QStringLiteral("箇条書きに\n"));
    EXPECT_EQ(PolishSettings::prompt(), QStringLiteral("箇条書きに\n"));

    state->setPolishPrompt(QStringLiteral("   ")); // blank: the field keeps it, the store drops it
    EXPECT_EQ(state->polishPrompt(), QStringLiteral("   "));
    EXPECT_FALSE(stored(PolishSettings::promptKey).isValid());

    state->setPolishPrompt(QStringLiteral("x"));
    QSignalSpy changed(state.get(), &AppState::polishPromptChanged);
    state->resetPolishPrompt();
    EXPECT_EQ(state->polishPrompt(), PolishSettings::defaultPrompt());
    EXPECT_FALSE(stored(PolishSettings::promptKey).isValid());
    EXPECT_EQ(changed.count(), 1);
}

TEST_F(AppStateSettingsTest, CleanupReportsTheServersFoundAndPassesErrorsThrough) {
    residualServers = 2;
    build();
    EXPECT_EQ(state->cleanupLocalPolishServers(), 2);
    cleanupThrows = true;
    EXPECT_THROW(state->cleanupLocalPolishServers(), LocalPolishError);
}

// ---- login item ----

TEST_F(AppStateSettingsTest, RegisteringTheLoginItemRefreshesOnTheDeferredSchedule) {
    build();
    loginItem->reads.clear();
    QSignalSpy changed(state.get(), &AppState::launchAtLoginEnabledCachedChanged);
    const Duration start = clock_.monotonicNow();

    state->setLaunchAtLoginEnabled(true);
    EXPECT_TRUE(state->launchAtLoginEnabledCached());
    EXPECT_EQ(changed.count(), 1);
    EXPECT_TRUE(loginItem->reads.empty()); // set at once, not read

    // Someone removes the entry meanwhile: the deferred reads pick it up.
    clock_.advance(std::chrono::milliseconds(100));
    loginItem->current = LoginItemStatus::notRegistered;
    clock_.advance(std::chrono::seconds(3));
    std::vector<qint64> at;
    for (const Duration d : loginItem->reads) {
        at.push_back(wholeMilliseconds(d - start));
    }
    EXPECT_EQ(at, (std::vector<qint64>{150, 550, 1200, 2500}));
    EXPECT_FALSE(state->launchAtLoginEnabledCached());
    EXPECT_EQ(changed.count(), 2);
}

TEST_F(AppStateSettingsTest, LoginItemFailures) {
    build();
    // Register fails: rethrown, the cache re-read, the deferred refreshes still run.
    loginItem->registerError = QStringLiteral("read-only folder");
    loginItem->reads.clear();
    EXPECT_THROW(state->setLaunchAtLoginEnabled(true), LoginItemError);
    EXPECT_FALSE(state->launchAtLoginEnabledCached());
    clock_.advance(std::chrono::seconds(3));
    EXPECT_EQ(loginItem->reads.size(), 5u);

    // Unregister fails: rethrown, nothing read, nothing scheduled.
    loginItem->current = LoginItemStatus::enabled;
    state->refreshLaunchAtLoginStatus();
    loginItem->unregisterError = QStringLiteral("permission denied");
    loginItem->reads.clear();
    EXPECT_THROW(state->setLaunchAtLoginEnabled(false), LoginItemError);
    clock_.advance(std::chrono::seconds(3));
    EXPECT_TRUE(loginItem->reads.empty());
    EXPECT_TRUE(state->launchAtLoginEnabledCached());

    // Refreshes still pending when the state goes away do nothing.
    loginItem->unregisterError.reset();
    state->setLaunchAtLoginEnabled(false);
    state.reset();
    clock_.advance(std::chrono::seconds(3));
    SUCCEED();
}

// ---- launch ----

TEST_F(AppStateSettingsTest, RefreshOnLaunchWarmsUpOrTurnsPolishingOff) {
    PolishSettings::setEnabled(true);
    build();
    permissions->refreshes = 0;
    loginItem->current = LoginItemStatus::enabled;
    state->refreshOnLaunch();
    EXPECT_EQ(permissions->refreshes, 3);
    EXPECT_TRUE(state->launchAtLoginEnabledCached());
    EXPECT_EQ(polish->warmUps, 1);
    EXPECT_EQ(polish->stopCount, 0);

    runtimeSupported = false; // e.g. the runtime check changed its mind
    state->refreshOnLaunch();
    EXPECT_FALSE(state->aiPolishEnabled());
    EXPECT_FALSE(PolishSettings::isEnabled());
    EXPECT_EQ(polish->warmUps, 1);
    EXPECT_EQ(polish->stopCount, 1);
}

} // namespace
} // namespace quillory::testing
