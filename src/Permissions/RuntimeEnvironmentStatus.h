#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

namespace quillory {

/// Facts about the machine: what the session core checks before it records, and what the
/// permissions tab shows. Every read asks the system again; nothing is cached.
///
/// Linux has no system dictation switch and no improvement opt-in: those read `unknown`, which
/// never blocks a recording.
class RuntimeEnvironmentStatus {
public:
    enum class DictationStatus { enabled, disabled, unknown };
    enum class SiriImprovementOptInStatus { optedIn, optedOut, undetermined, unknown };

    virtual ~RuntimeEnvironmentStatus() = default;
    /// Whether the system's own dictation is switched on (`unknown` where the system has none).
    virtual DictationStatus keyboardDictationStatus() const = 0;

    // ---- reads of this machine ----

    /// Always `unknown` on Linux.
    static DictationStatus systemKeyboardDictationStatus();
    /// Always `unknown` on Linux.
    static SiriImprovementOptInStatus siriDictationImprovementStatus();
    /// Nothing to re-read on Linux (kept so callers can run it before reading the two statuses).
    static void synchronizeDictationDefaults();
    /// True: what the build needs is checked when it is built.
    static bool meetsMinimumOperatingSystem();
    /// The distribution's pretty name and the kernel version ("Debian GNU/Linux 12 (bookworm),
    /// kernel 6.1.0-18-amd64").
    static QString operatingSystemVersionString();
    /// "model name" of /proc/cpuinfo (else "Hardware"), or "—".
    static QString cpuBrandString();
    /// /sys/devices/virtual/dmi/id/product_name (else the device-tree model), or "—".
    static QString hardwareModelIdentifier();
    /// The installed memory in binary units ("15.5 GB"), or "—".
    static QString physicalMemoryDescription();
    /// Whether a microphone-type capture device (a non-monitor source) exists; false until the
    /// audio backend provides the query.
    static bool hasAudioCaptureDevice();

    /// Where the reads come from; tests point them at fakes. Empty members mean the real system.
    struct Sources {
        /// The root the system files are read under ("/" when empty).
        QString root;
        std::function<qint64()> physicalMemoryBytes;
        std::function<bool()> hasAudioCaptureDevice;
    };
    static Sources sources();
    /// Installs `sources`; returns the previous ones.
    static Sources setSources(Sources sources);
    /// Installs only the audio device query (what the audio backend wires in).
    static void setAudioCaptureDeviceQuery(std::function<bool()> query);

    // ---- the rules, for tests ----

    /// Text up to the first NUL, trimmed; empty → "—".
    static QString systemValueOrDash(const QByteArray& raw);
    /// The brand line of a /proc/cpuinfo text ("model name", else "Hardware"), or "—".
    static QString cpuBrandFromCpuinfo(const QByteArray& cpuinfo);
};

/// No keyboard dictation of the system to know about: headless sessions.
class UnknownRuntimeEnvironmentStatus final : public RuntimeEnvironmentStatus {
public:
    DictationStatus keyboardDictationStatus() const override { return DictationStatus::unknown; }
};

/// The environment of this system for the session core.
class SystemRuntimeEnvironmentStatus final : public RuntimeEnvironmentStatus {
public:
    DictationStatus keyboardDictationStatus() const override { return systemKeyboardDictationStatus(); }
};

} // namespace quillory
