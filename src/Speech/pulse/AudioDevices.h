#pragma once

#include <QList>
#include <QString>

#include <chrono>

namespace quillory {

/// One source (capture device or a sink's monitor) the sound server offers.
struct AudioSourceInfo {
    QString name;
    QString description;
    /// Records what a sink plays, not a microphone.
    bool isMonitor = false;
};

/// What the sound server says about its capture devices.
struct AudioDeviceReport {
    /// The server answered (when false, `error` says why).
    bool serverReachable = false;
    /// "pulseaudio 16.1", "PulseAudio (on PipeWire 1.0.5) 15.0.0", ...
    QString server;
    QString defaultSource;
    QList<AudioSourceInfo> sources;
    QString error;

    /// Any source that is not a monitor.
    bool hasCaptureDevice() const;
};

/// Asks the sound server for its sources; never takes longer than `timeout`. `server`: empty
/// for the default one.
AudioDeviceReport probeAudioDevices(std::chrono::milliseconds timeout = std::chrono::milliseconds(2000),
                                    const QString& server = {});

/// There is a microphone (any non-monitor source) on the default sound server. False when no
/// server answers within `timeout`.
bool hasAudioCaptureDevice(std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));

} // namespace quillory
