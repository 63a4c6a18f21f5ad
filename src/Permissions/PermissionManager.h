#pragma once

#include "Runtime/Async.h"

#include <QObject>
#include <QString>

#include <functional>

namespace quillory {

enum class PermissionState { notDetermined, denied, authorized };

/// The grants a dictation needs (microphone, speech recognition, input injection). The platform
/// backend fills in the real checks; the session core only asks and refreshes.
class PermissionManager {
public:
    virtual ~PermissionManager() = default;

    virtual PermissionState microphone() const = 0;
    virtual PermissionState speech() const = 0;
    virtual PermissionState accessibility() const = 0;

    virtual void refreshMicrophone() = 0;
    virtual void refreshSpeech() = 0;
    virtual void refreshAccessibility() = 0;

    /// Asks for the microphone; resumes with the granted flag. The default refreshes and reports.
    virtual Task<bool> requestMicrophone() {
        refreshMicrophone();
        co_return microphone() == PermissionState::authorized;
    }
    /// Asks for speech recognition; true only when it ends `authorized`.
    virtual Task<bool> requestSpeech() {
        refreshSpeech();
        co_return speech() == PermissionState::authorized;
    }
    /// Brings the app forward and asks for input injection; does not refresh (a later refresh
    /// picks the grant up).
    virtual void requestAccessibility() {}
    /// The one thing the user can do on this desktop while input injection is not authorised
    /// (localised); empty when there is nothing specific to say.
    virtual QString accessibilityFix() const { return {}; }

    void refreshAll() {
        refreshMicrophone();
        refreshSpeech();
        refreshAccessibility();
    }
    /// All three grants are `authorized`.
    bool allGranted() const {
        return microphone() == PermissionState::authorized && speech() == PermissionState::authorized &&
               accessibility() == PermissionState::authorized;
    }
};

/// Every grant given and nothing to refresh: headless sessions (the command line, benchmarks),
/// where no desktop asks the user.
class GrantedPermissions final : public PermissionManager {
public:
    PermissionState microphone() const override { return PermissionState::authorized; }
    PermissionState speech() const override { return PermissionState::authorized; }
    PermissionState accessibility() const override { return PermissionState::authorized; }
    void refreshMicrophone() override {}
    void refreshSpeech() override {}
    void refreshAccessibility() override {}
};

/// The permission manager of this system: the three grants from the authorisation types
/// (Authorizations.h), observable through signals that fire only on a real change.
class SystemPermissionManager final : public QObject, public PermissionManager {
    Q_OBJECT
public:
    /// How the requests bring the app's windows forward; empty members do nothing (the
    /// windowing layer wires `AppActivation` in).
    struct WindowHooks {
        std::function<void()> bringAppToFrontForPermissions;
        std::function<void()> refocusWindowsAfterPermissionSheet;
    };

    /// Starts with every grant `notDetermined`, then refreshes all three.
    explicit SystemPermissionManager(WindowHooks hooks = {}, QObject* parent = nullptr);

    PermissionState microphone() const override { return microphone_; }
    PermissionState speech() const override { return speech_; }
    PermissionState accessibility() const override { return accessibility_; }

    void refreshMicrophone() override;
    void refreshSpeech() override;
    /// Trusted → authorized, otherwise denied (never notDetermined after a refresh).
    void refreshAccessibility() override;

    Task<bool> requestMicrophone() override;
    Task<bool> requestSpeech() override;
    void requestAccessibility() override;
    /// The desktop's fix for the chosen paste path (`AccessibilityAuthorization::fix`).
    QString accessibilityFix() const override;

    void setWindowHooks(WindowHooks hooks) { hooks_ = std::move(hooks); }

signals:
    void microphoneChanged();
    void speechChanged();
    void accessibilityChanged();

private:
    void bringForward();
    void refocus();

    WindowHooks hooks_;
    PermissionState microphone_ = PermissionState::notDetermined;
    PermissionState speech_ = PermissionState::notDetermined;
    PermissionState accessibility_ = PermissionState::notDetermined;
};

} // namespace quillory
