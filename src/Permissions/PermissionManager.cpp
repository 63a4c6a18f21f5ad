#include "Permissions/PermissionManager.h"

#include "Permissions/Authorizations.h"

namespace quillory {

SystemPermissionManager::SystemPermissionManager(WindowHooks hooks, QObject* parent)
    : QObject(parent), hooks_(std::move(hooks)) {
    refreshAll();
}

void SystemPermissionManager::refreshMicrophone() {
    const PermissionState state = MicrophoneAuthorization::status();
    if (state != microphone_) {
        microphone_ = state;
        emit microphoneChanged();
    }
}

void SystemPermissionManager::refreshSpeech() {
    const PermissionState state = SpeechAuthorization::permissionState(SpeechAuthorization::status());
    if (state != speech_) {
        speech_ = state;
        emit speechChanged();
    }
}

void SystemPermissionManager::refreshAccessibility() {
    const PermissionState state =
        AccessibilityAuthorization::isTrusted() ? PermissionState::authorized : PermissionState::denied;
    if (state != accessibility_) {
        accessibility_ = state;
        emit accessibilityChanged();
    }
}

QString SystemPermissionManager::accessibilityFix() const {
    return accessibility_ == PermissionState::authorized
               ? QString()
               : AccessibilityAuthorization::fix(PermissionProbes::current());
}

void SystemPermissionManager::bringForward() {
    if (hooks_.bringAppToFrontForPermissions) {
        hooks_.bringAppToFrontForPermissions();
    }
}

void SystemPermissionManager::refocus() {
    if (hooks_.refocusWindowsAfterPermissionSheet) {
        hooks_.refocusWindowsAfterPermissionSheet();
    }
}

Task<bool> SystemPermissionManager::requestMicrophone() {
    bringForward();
    const bool granted = co_await MicrophoneAuthorization::request();
    refreshMicrophone();
    refocus();
    co_return granted;
}

Task<bool> SystemPermissionManager::requestSpeech() {
    bringForward();
    const SpeechAuthorizationStatus status = co_await SpeechAuthorization::request();
    refreshSpeech();
    refocus();
    co_return status == SpeechAuthorizationStatus::authorized;
}

void SystemPermissionManager::requestAccessibility() {
    bringForward();
    AccessibilityAuthorization::promptIfNeeded();
}

} // namespace quillory
