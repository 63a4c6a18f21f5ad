#pragma once

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

} // namespace quillory
