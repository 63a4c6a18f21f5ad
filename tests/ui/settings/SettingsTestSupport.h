#pragma once

#include "session/SessionTestSupport.h"

#include "Platform/LoginItem.h"
#include "UI/Settings/SettingsBackend.h"
#include "Utilities/CommitDiagnosticsExporter.h"

#include <QApplication>
#include <QDir>
#include <QWidget>

namespace quillory::testing {

/// A settings backend that records what the tabs ask of it.
class FakeSettingsBackend final : public SettingsBackend {
public:
    bool globalHotkeyRegistered() const override { return registered; }
    void applyHotkeyConfiguration() override {
        ++applyCount;
        emit changed();
    }
    ModifierKeyMap modifierKeys() const override { return keys; }
    void setModifierKeys(const ModifierKeyMap& map) override {
        keys = map;
        ++keyWrites;
    }
    PermissionState microphone() const override { return mic; }
    PermissionState speech() const override { return speechState; }
    PermissionState accessibility() const override { return ax; }
    PermissionState inputMonitoringPermissionState() const override { return inputMonitoring; }
    void refreshPermissions() override { ++permissionRefreshes; }
    void requestMicrophone() override { requests << QStringLiteral("microphone"); }
    void requestSpeech() override { requests << QStringLiteral("speech"); }
    void requestAccessibility() override { requests << QStringLiteral("accessibility"); }
    bool openSettingsLink(SystemSettingsLink::Link link) override {
        openedLinks.push_back(link);
        return linkOpens;
    }
    bool launchAtLoginEnabledCached() const override { return launchAtLogin; }
    void refreshLaunchAtLoginStatus() override { ++loginRefreshes; }
    void setLaunchAtLoginEnabled(bool enabled) override {
        loginRequests.push_back(enabled);
        if (loginFailure) {
            throw LoginItemError(loginFailure->toStdString());
        }
        launchAtLogin = enabled;
    }
    void openSystemSettingsLoginItems() override { ++loginItemsOpened; }
    void reportError(const QString& message) override { errors << message; }
    Task<std::optional<QString>> presentSavePanelAndExport(int lookbackMinutes) override {
        exportLookbacks.push_back(lookbackMinutes);
        if (exportDelay > Duration::zero()) {
            co_await sleepFor(exportDelay);
        }
        if (exportFailure) {
            throw CommitDiagnosticsExporter::ExportError::noEntries();
        }
        co_return exportCancelled ? std::nullopt : std::optional<QString>(QStringLiteral("/tmp/x.log"));
    }

    DesktopToggleBinding desktopToggleBinding() override { return binding; }
    Expected<> bindToggleInDesktop(bool bound) override {
        bindRequests.push_back(bound);
        if (bindFailure) {
            return Failure{*bindFailure};
        }
        binding.boundKeys = bound ? binding.offeredKeys : QString();
        return {};
    }

    void setGrants(PermissionState state) {
        mic = speechState = ax = state;
        emit changed();
    }

    bool registered = true;
    int applyCount = 0;
    ModifierKeyMap keys = ModifierKeyMap::defaults();
    int keyWrites = 0;
    PermissionState mic = PermissionState::authorized;
    PermissionState speechState = PermissionState::authorized;
    PermissionState ax = PermissionState::authorized;
    PermissionState inputMonitoring = PermissionState::authorized;
    int permissionRefreshes = 0;
    QStringList requests;
    std::vector<SystemSettingsLink::Link> openedLinks;
    bool linkOpens = true;
    bool launchAtLogin = false;
    int loginRefreshes = 0;
    std::vector<bool> loginRequests;
    std::optional<QString> loginFailure;
    int loginItemsOpened = 0;
    QStringList errors;
    std::vector<int> exportLookbacks;
    Duration exportDelay{};
    bool exportFailure = false;
    bool exportCancelled = false;
    DesktopToggleBinding binding;
    std::vector<bool> bindRequests;
    std::optional<QString> bindFailure;
};

/// An application state on fakes plus a fake settings backend, on virtual time, English texts.
class SettingsTest : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        backend = std::make_unique<FakeSettingsBackend>();
    }
    void TearDown() override {
        widgets_.clear();
        backend.reset();
        SessionTest::TearDown();
    }
    /// Keeps `widget` alive for the test and shows it.
    template <typename W> W* shown(W* widget) {
        widgets_.emplace_back(widget);
        widget->show();
        QApplication::processEvents();
        return widget;
    }
    /// A dictation into the focused application that is still recording.
    void startRecordingByHotkey() {
        press();
        ASSERT_TRUE(state->status().isRecording());
    }
    /// Writes a PNG of `widget` under the build folder's screenshots.
    static void screenshot(QWidget* widget, const QString& name) {
        QDir().mkpath(QStringLiteral(QUILLORY_SCREENSHOT_DIR));
        widget->grab().save(QStringLiteral(QUILLORY_SCREENSHOT_DIR "/") + name + QStringLiteral(".png"));
    }

    std::unique_ptr<FakeSettingsBackend> backend;
    std::vector<std::unique_ptr<QWidget>> widgets_;
};

} // namespace quillory::testing
