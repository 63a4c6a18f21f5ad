#pragma once

namespace quillory {

/// Facts about the machine the session core checks before it records.
class RuntimeEnvironmentStatus {
public:
    enum class DictationStatus { enabled, disabled, unknown };

    virtual ~RuntimeEnvironmentStatus() = default;
    /// Whether the system's own dictation is switched on (`unknown` where the system has none).
    virtual DictationStatus keyboardDictationStatus() const = 0;
};

} // namespace quillory
