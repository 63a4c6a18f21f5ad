#pragma once

#include "UI/App/AppWindows.h"
#include "UI/App/RemoteControl.h"

#include <QStringList>

namespace quillory::testing {

/// Records what the app asks of its windows; "visible" follows show/close like a real window.
class FakeAppWindows : public ui::AppWindows {
public:
    void showSettings() override {
        ++shown;
        visible = true;
        minimized = false;
    }
    bool closeSettingsIfVisible() override {
        if (!visible || minimized) return false;
        visible = false;
        ++closed;
        return true;
    }
    void showSpeechModelSetup() override {
        ++speechSetups;
        showSettings();
    }
    bool settingsReady() const override { return ready; }
    void startOverlaySync() override { ++overlaySyncs; }
    QWidget* settingsWindow() const override { return nullptr; }

    int shown = 0;
    int closed = 0;
    int overlaySyncs = 0;
    int speechSetups = 0;
    bool visible = false;
    bool minimized = false;
    bool ready = true;
};

/// Records the session operations remote control reaches.
class FakeSessionControl : public ui::SessionControl {
public:
    bool available() const override { return isAvailable; }
    void toggle() override { calls << QStringLiteral("toggle"); }
    void press() override { calls << QStringLiteral("press"); }
    void release() override { calls << QStringLiteral("release"); }
    bool cancelOrDismiss() override {
        calls << QStringLiteral("cancel");
        return status == QLatin1String("processing") || status == QLatin1String("error");
    }
    bool undoDiscard() override {
        calls << QStringLiteral("undo");
        return false;
    }
    QString statusName() const override { return status; }

    bool isAvailable = true;
    QString status = QStringLiteral("idle");
    QStringList calls;
};

} // namespace quillory::testing
